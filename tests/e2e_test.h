#ifndef ROMSEED_TESTS_E2E_TEST_H_
#define ROMSEED_TESTS_E2E_TEST_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_tool.h"

namespace romseed {

// Each test runs the built tool in a scratch folder of its own.
class Romseed : public testing::Test {
 protected:
  ToolResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) {
    return RunTool(dir.path(), args, options);
  }
  // What the tool printed after its two banner lines; fails the test if the
  // banner is missing.
  static std::string AfterBanner(const std::string& out) {
    const std::string first = "romseed test vertsion\n";
    EXPECT_EQ(out.compare(0, first.size(), first), 0) << out;
    std::string::size_type second = out.find('\n', first.size());
    EXPECT_NE(second, std::string::npos) << out;
    EXPECT_GT(second, first.size()) << out;
    return second == std::string::npos ? out : out.substr(second + 1);
  }
  static std::string Statement(const std::string& head, const std::string& value) {
    return "INST \"" + head + " = " + value + ";\n";
  }

  ScratchDir dir;
};

}  // namespace romseed

#endif  // ROMSEED_TESTS_E2E_TEST_H_
