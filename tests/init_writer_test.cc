#include "init_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "memory_io.h"

namespace romseed {
namespace {

// Where the passes put why they failed, where a test does not ask.
OsError e;

// Writes the statements for `bin`, read `step` bytes at a time.
std::string Inits(const std::string& bin, std::int64_t* count = nullptr,
                  std::size_t step = SIZE_MAX, const std::string& component = "rom",
                  const char* eol = "\n", const char* lead = "", BlockShape shape = kRamb4) {
  MemorySource in(bin, step);
  StringSink sink;
  Output out(sink);
  std::int64_t n = -1;
  EXPECT_EQ(WriteInits(in, out, component, shape, eol, lead, &n, &e), PassResult::kOk);
  EXPECT_TRUE(out.Flush(&e));
  if (count) *count = n;
  return sink.data;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

const std::string kZeros62(62, '0');

TEST(InitWriter, WritesOneStatementPerChunk) {
  EXPECT_EQ(Inits(Bytes({1, 2, 3})),
            "INST \"rom00\" INIT_00 = "
            "0000000000000000000000000000000000000000000000000000000000030201;\n");

  std::string ramp;
  for (int i = 0; i < 32; ++i) ramp += static_cast<char>(i);
  EXPECT_EQ(Inits(ramp),
            "INST \"rom00\" INIT_00 = "
            "1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100;\n");

  std::int64_t n;
  EXPECT_EQ(Inits("", &n), "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(Inits(std::string(32, '\0') + "\x21", &n),
            "INST \"rom00\" INIT_00 = " + std::string(64, '0') + ";\n"
            "INST \"rom00\" INIT_01 = " + kZeros62 + "21;\n");
  EXPECT_EQ(n, 2);
}

TEST(InitWriter, FormatsEveryByteValueInEveryPosition) {
  // 33 passes over all byte values, so that each value meets each of the 32
  // positions in a chunk; checked against printf's hex digits.
  std::string bin;
  for (int i = 0; i < 256 * 33; ++i) bin += static_cast<char>(i);
  std::vector<std::string> lines = Lines(Inits(bin));
  ASSERT_EQ(lines.size(), bin.size() / 32);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::string value;
    char digits[3];
    for (int i = 31; i >= 0; --i) {
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bin[32 * k + i]));
      value += digits;
    }
    ASSERT_EQ(lines[k].substr(lines[k].find('=') + 2), value + ";") << "chunk " << k;
  }
}

TEST(InitWriter, NumbersBlocksAndIndexes) {
  // 4097 chunks reach block 256, whose number grows to three digits.
  std::int64_t n;
  std::vector<std::string> lines = Lines(Inits(std::string(4096 * 32 + 1, '\x5a'), &n));
  ASSERT_EQ(n, 4097);
  ASSERT_EQ(lines.size(), 4097u);
  auto head = [&](std::size_t k) { return lines[k].substr(0, lines[k].find('=')); };
  EXPECT_EQ(head(0), "INST \"rom00\" INIT_00 ");
  EXPECT_EQ(head(10), "INST \"rom00\" INIT_0a ");
  EXPECT_EQ(head(15), "INST \"rom00\" INIT_0f ");
  EXPECT_EQ(head(16), "INST \"rom01\" INIT_00 ");
  EXPECT_EQ(head(10 * 16 + 3), "INST \"rom0a\" INIT_03 ");
  EXPECT_EQ(head(255 * 16 + 15), "INST \"romff\" INIT_0f ");
  EXPECT_EQ(head(4096), "INST \"rom100\" INIT_00 ");
  EXPECT_EQ(lines[4095].size(), 84u + 3 + 1);  // + "rom" + ';'

  // Larger block RAMs: the indexes run on, up to the last a RAM has.
  for (std::size_t per : {32, 64, 128}) {
    char last[40];
    std::snprintf(last, sizeof last, "INST \"rom00\" INIT_%02zX ", per - 1);  // as the guides spell them
    lines = Lines(Inits(std::string(per * 32 + 1, '\0'), nullptr, 7, "rom", "\n", "",
                        BlockShape{per, 0}));
    ASSERT_EQ(lines.size(), per + 1);
    EXPECT_EQ(head(per - 1), last);
    EXPECT_EQ(head(per), "INST \"rom01\" INIT_00 ");
  }
}

TEST(InitWriter, ChunksDoNotDependOnHowTheInputArrives) {
  std::string bin;
  for (int i = 0; i < 1000; ++i) bin += static_cast<char>(i * 7);
  const std::string whole = Inits(bin);
  for (std::size_t step : {1, 5, 31, 33}) EXPECT_EQ(Inits(bin, nullptr, step), whole);
}

TEST(InitWriter, UsesTheGivenLineEndAndLead) {
  EXPECT_EQ(Inits(std::string(33, '\0'), nullptr, SIZE_MAX, "rom", "\r\n", "\r\n"),
            "\r\nINST \"rom00\" INIT_00 = " + std::string(64, '0') + ";\r\n"
            "INST \"rom00\" INIT_01 = " + std::string(64, '0') + ";\r\n");
  EXPECT_EQ(Inits("", nullptr, SIZE_MAX, "rom", "\n", "\n"), "");
  // Once, however many reads the binary takes.
  const std::string many = Inits(std::string(70000, '\0'), nullptr, 4096, "rom", "\n", "\n");
  EXPECT_EQ(many.find("\n\n"), std::string::npos);
  EXPECT_EQ(many.rfind("\nINST", 0), 0u);
}

TEST(InitWriter, TakesComponentNamesOfAnyLength) {
  const std::string name(5000, 'n');
  EXPECT_EQ(Inits(Bytes({0xff}), nullptr, SIZE_MAX, name),
            "INST \"" + name + "00\" INIT_00 = " + kZeros62 + "ff;\n");
}

}  // namespace
}  // namespace romseed
