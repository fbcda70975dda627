#ifndef ROMSEED_TESTS_E2E_TEST_H_
#define ROMSEED_TESTS_E2E_TEST_H_

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
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

// A UCF with a statement of an earlier run, and what a run on the fixture's
// fw.bin makes of it.
inline const std::string kTopUcf = "NET \"clk\" LOC = \"P55\";\nINST \"rom00\" INIT_00 = 00;\n";
inline const std::string kValue3412 = std::string(60, '0') + "3412";  // of the bytes 12 34
inline const std::string kTopNew =
    "NET \"clk\" LOC = \"P55\";\nINST \"rom00\" INIT_00 = " + kValue3412 + ";\n";

// Runs on top.ucf and fw.bin, made afresh for each test.
class Edges : public Romseed {
 protected:
  void SetUp() override {
    WriteFile(dir / "top.ucf", kTopUcf);
    WriteFile(dir / "fw.bin", "\x12\x34");
  }
  // The run failed with `message` and left the UCF as it was.
  void ExpectRefused(const std::vector<std::string>& args, const std::string& message,
                     const RunOptions& options = {}) {
    ToolResult r = Run(args, options);
    EXPECT_EQ(r.status, 1);
    const std::string printed = AfterBanner(r.out);
    // The message ends the output; a failed replace comes after the counts.
    ASSERT_GE(printed.size(), message.size()) << printed;
    EXPECT_EQ(printed.substr(printed.size() - message.size()), message);
    EXPECT_EQ(printed.find("complete!"), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf);
  }
  // Runs on `ucf`, made anew as kTopUcf each time, killed 0, `step_us`,
  // 2·`step_us`, ... microseconds in, below `until_us`; `check(us)` looks at
  // what each kill left. Some run must have been killed before it ended.
  void KillAlongTheRun(const std::string& ucf, int step_us, int until_us,
                       const std::function<void(int)>& check, std::vector<std::string> args = {}) {
    int killed = 0;
    args.insert(args.end(), {"fw.bin", ucf, "rom"});
    for (int us = 0; us < until_us; us += step_us) {
      WriteFile(ucf, kTopUcf);
      RunOptions kill;
      kill.kill_after_us = us;
      killed += Run(args, kill).status == 128 + SIGKILL;
      check(us);
    }
    EXPECT_GT(killed, 0);
  }
};

}  // namespace romseed

#endif  // ROMSEED_TESTS_E2E_TEST_H_
