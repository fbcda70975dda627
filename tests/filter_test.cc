#include "filter.h"

#include <gtest/gtest.h>

#include <string>

#include "memory_io.h"

namespace romseed {
namespace {

// Where the passes put why they failed, where a test does not ask.
OsError e;

const std::string kDelstr = "INST \"rom";

// Filters `ucf` read `step` bytes at a time; returns what was kept.
std::string Filter(const std::string& ucf, FilterResult* r, std::size_t step = SIZE_MAX) {
  MemorySource in(ucf, step);
  StringSink sink;
  Output out(sink, 7);  // a tiny buffer, so that large pieces pass it too
  EXPECT_EQ(FilterUcf(in, out, kDelstr, r, &e), PassResult::kOk);
  EXPECT_TRUE(out.Flush(&e));
  return sink.data;
}

TEST(Filter, DropsExactlyTheLinesThatBeginWithThePrefix) {
  const std::string ucf =
      "INST \"rom00\" INIT_00 = 0000;\n"
      "NET \"clk\" LOC = \"P55\";\n"
      "\n"
      "INST \"rom1f\" INIT_0f = 1234;\n"
      "INST \"rom00\" LOC = RAMB4_R0C0;\n"
      "INST \"ro\" LOC = X;\n"
      "INST \"ram00\" INIT_00 = 00;\n"
      "INST \"rom\" LOC = X;\n"
      "inst \"rom00\" LOC = X;\n"
      " INST \"rom00\" LOC = X;\n"
      "\tINST \"rom00\" LOC = X;\n"
      "INST \"romctl\" LOC = X;\n"
      "INST  \"rom00\" LOC = X;\n"
      "# INST \"rom00\" INIT_00 = 00;\n"
      "INST rom00 LOC = X;\n";
  const std::string kept =
      "NET \"clk\" LOC = \"P55\";\n"
      "\n"
      "INST \"ro\" LOC = X;\n"
      "INST \"ram00\" INIT_00 = 00;\n"
      "inst \"rom00\" LOC = X;\n"
      " INST \"rom00\" LOC = X;\n"
      "\tINST \"rom00\" LOC = X;\n"
      "INST  \"rom00\" LOC = X;\n"
      "# INST \"rom00\" INIT_00 = 00;\n"
      "INST rom00 LOC = X;\n";
  for (std::size_t step : {1, 2, 3, 5, 9, 64, 100000}) {
    FilterResult r;
    EXPECT_EQ(Filter(ucf, &r, step), kept) << "step " << step;
    EXPECT_EQ(r.copy_count, 10);
    EXPECT_EQ(r.delete_count, 5);
    EXPECT_FALSE(r.crlf);
    EXPECT_FALSE(r.open_line);
  }
}

TEST(Filter, DecidesLongLinesWholeFromTheirStart) {
  // A later piece of a kept line that looks like a stale line stays, and a
  // long stale line goes entirely: no line is judged by a piece of it.
  std::string kept_line = "NET \"a\"" + std::string(4088, ' ');
  for (int i = 0; i < 30; ++i) kept_line += kDelstr + std::string(5000, 'x');
  kept_line += "\n";
  std::string stale_line = kDelstr + "00\" " + std::string(300000, 'y') + "\n";
  for (std::size_t step : {1000, 4095, 65536}) {
    FilterResult r;
    EXPECT_EQ(Filter(stale_line + kept_line + stale_line, &r, step), kept_line);
    EXPECT_EQ(r.copy_count, 1);
    EXPECT_EQ(r.delete_count, 2);
  }
}

TEST(Filter, CopiesEveryByteOfTextButRefusesOtherControls) {
  const std::string odd = "a\tb\r\x80\xff\v\f\r\n\r\n\x1a\nINST \"ro\xffm\n";
  FilterResult r;
  EXPECT_EQ(Filter(odd, &r, 3), odd);
  EXPECT_EQ(r.copy_count, 4);

  // A NUL, another C0 control that text does not hold, or DEL, anywhere (in
  // a kept line, a dropped one, one that begins as a dropped one would):
  // not a UCF, most likely the binary given in its place.
  for (int c = 0; c < 256; ++c) {
    const bool text = (c >= 0x20 && c != 0x7f) || (c >= '\t' && c <= '\r') || c == 0x1a;
    for (const std::string& start : {std::string(), kDelstr, kDelstr.substr(0, 3)}) {
      for (std::size_t at : {0, 21, 70000}) {
        MemorySource in(start + std::string(at, 'a') + static_cast<char>(c) + std::string(40, 'b'));
        StringSink sink;
        Output out(sink);
        EXPECT_EQ(FilterUcf(in, out, kDelstr, &r, &e) == PassResult::kNotText, !text)
            << c << " at " << at << " after " << start;
      }
    }
  }
}

TEST(Filter, CountsDroppedLinesThatAreNotStatementsAndCopiesAByteOrderMark) {
  const std::string bom = "\xef\xbb\xbf";
  const std::string ours = "INST \"rom1f\" INIT_0A = " + std::string(63, 'a') + "F;\r\n";
  const std::string value = std::string(64, '0') + ";";
  struct Case {
    std::string ucf, kept;
    std::int64_t others, first;
  } cases[] = {
      {ours + ours, "", 0, 0},
      {"NET a;\n" + ours + "INST \"rom_hi00\" INIT_00 = " + value + "\nINST \"rom00\" X;", "NET a;\n", 2, 3},
      {"INST \"rom" + std::string(5000, '0') + "\" INIT_00 = " + value + "\n", "", 1, 1},
      {"INST \"rom00\" INIT_00 = " + value.substr(1) + "\n", "", 1, 1},
      {"INST \"rom00\" INIT_00 = " + std::string(63, '0') + "g;\n", "", 1, 1},
      {"INST \"rom00\" INIT_00 = " + value + " \n", "", 1, 1},
      {"INST \"rom0A\" INIT_00 = " + value + "\n", "", 1, 1},
      {"INST \"rom00\" INIT_00 = \x95" + value.substr(1) + "\n", "", 1, 1},
      {"INST \"rom00\" INIT_00 = " + value.substr(1) + "0\n", "", 1, 1},
      {"INST \"rom", "", 1, 1},
      {bom + ours + "NET a;\n", bom + "NET a;\n", 0, 0},
      {bom + "NET a;", bom + "NET a;", 0, 0},
      {"\xef\xbb" + ours, "\xef\xbb" + ours, 0, 0},
      {"\xef", "\xef", 0, 0},
  };
  for (const Case& c : cases) {
    for (std::size_t step : {1, 2, 7, 100000}) {
      FilterResult r;
      EXPECT_EQ(Filter(c.ucf, &r, step), c.kept) << c.ucf.substr(0, 40) << " step " << step;
      EXPECT_EQ(r.other_count, c.others) << c.ucf.substr(0, 40) << " step " << step;
      EXPECT_EQ(r.first_other_line, c.first) << c.ucf.substr(0, 40) << " step " << step;
    }
  }
}

TEST(Filter, TakesTheLineEndStyleFromTheFirstLine) {
  struct Case {
    std::string ucf;
    bool crlf;
  } cases[] = {
      {"a\r\nb\n", true},
      {"INST \"rom00\" X;\r\nb\n", true},  // a dropped first line counts too
      {"\r\n", true},
      {"a\nb\r\n", false},
      {"a\rb\n", false},
      {"a\r", false},
      {"", false},
  };
  for (const Case& c : cases) {
    for (std::size_t step : {1, 2, 100}) {
      FilterResult r;
      Filter(c.ucf, &r, step);
      EXPECT_EQ(r.crlf, c.crlf) << c.ucf << " step " << step;
    }
  }
}

TEST(Filter, ReportsALastKeptLineWithoutLineEnd) {
  FilterResult r;
  EXPECT_EQ(Filter("a\nb", &r), "a\nb");
  EXPECT_TRUE(r.open_line);
  EXPECT_EQ(r.copy_count, 2);

  EXPECT_EQ(Filter("a\nINST \"rom00\" X;", &r), "a\n");
  EXPECT_FALSE(r.open_line);
  EXPECT_EQ(r.delete_count, 1);

  // The input ends inside what could still have become the prefix.
  EXPECT_EQ(Filter("a\nINST \"ro", &r, 2), "a\nINST \"ro");
  EXPECT_TRUE(r.open_line);
  EXPECT_EQ(r.copy_count, 2);

  EXPECT_EQ(Filter("INST \"rom", &r), "");
  EXPECT_FALSE(r.open_line);
  EXPECT_EQ(r.delete_count, 1);
}

}  // namespace
}  // namespace romseed
