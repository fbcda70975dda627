#include "command_line.h"

#include <gtest/gtest.h>

namespace romseed {
namespace {

// Parses `given`, the arguments after the program name.
bool Parse(const std::vector<std::string>& given, Job* job, Failure* err) {
  std::vector<std::string> args = {"romseed"};
  args.insert(args.end(), given.begin(), given.end());
  Asked asked;
  return ParseCommandLine(args, job, &asked, err);
}

TEST(CommandLine, OptionsBeforeTheThreeArguments) {
  struct Case {
    std::vector<std::string> args;
    std::string refused;  // a part of the reason; "" if accepted
    std::size_t inits = 16, initps = 0;
    unsigned width = 0;
    Parity parity = Parity::kPorts;
  } cases[] = {
      {{"a", "b", "c", "ignored", "-p"}, ""},
      {{"-p", "ramb16_s9_s36", "a", "b", "c"}, "", 64, 8},
      {{"--primitive=RAMB8BWER", "-w", "9", "a", "b", "c"}, "", 32, 4, 9},
      {{"-pRAMB36E1", "-w36", "--parity=lanes", "a", "b", "c"}, "", 128, 16, 36, Parity::kLanes},
      {{"-w", "16", "--", "-a", "b", "c"}, "", 16, 0, 16},
      {{"-w", "8", "-w", "32", "a", "b", "c"}, "", 16, 0, 32},  // the last one counts
      {{"-p", "RAMB16_S18X", "a", "b", "c"}, "no block RAM RAMB16_S18X"},
      {{"-p", "RAMB4_S9", "a", "b", "c"}, "no block RAM"},
      {{"-p", "ramb16bwe_s36_s9", "a", "b", "c"}, "", 64, 8},
      {{"-p", "RAMB36SDP", "a", "b", "c"}, "", 128, 16},
      {{"-p", "RAMB16BWE_S9", "a", "b", "c"}, "no block RAM"},
      {{"-p", "RAMB8BWER_S9", "a", "b", "c"}, "no block RAM"},
      {{"-w", "12", "a", "b", "c"}, "no word width 12"},
      {{"-w", "18", "a", "b", "c"}, "18-bit words need a block RAM with parity bits, such as -p RAMB16_S18 (romseed --help"},
      {{"-p", "Spartan-3E", "a", "b", "c"}, "no block RAM Spartan-3E: that is a device family; Spartan-3's block RAMs are RAMB16"},
      {{"-p", "virtex5", "a", "b", "c"}, "Virtex-5's block RAMs are RAMB18, RAMB36"},
      {{"-p", "RAMB16", "--parity=lanes", "a", "b", "c"},
       "--parity goes with words of 9, 18 or 36"},
      {{"-p", "RAMB16", "-w", "18", "--parity=sideways", "a", "b", "c"},
       "no parity wiring sideways"},
      {{"-x", "a", "b", "c"}, "no option -x"},
      {{"--bogus", "a", "b", "c"}, "no option --bogus"},
      {{"a", "b"}, "missing COMPONENT"},
      {{}, "missing BINARY, UCF and COMPONENT"},
      {{"-p"}, "a value is missing after -p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Job job;
    Failure err;
    const bool ok = Parse(c.args, &job, &err);
    EXPECT_EQ(ok, c.refused.empty());
    if (!ok) {
      EXPECT_EQ(err.message, kUsage);
      EXPECT_NE((err.message + err.reason).find(c.refused), std::string::npos) << err.reason;
      continue;
    }
    EXPECT_EQ(job.bin_path.back(), 'a');  // "a", or "-a" after "--"
    EXPECT_EQ(job.ucf_path + job.delstr, "bINST \"c");
    EXPECT_EQ(job.shape.inits_per_block, c.inits);
    EXPECT_EQ(job.shape.initps_per_block, c.initps);
    EXPECT_EQ(job.word_width, c.width);
    EXPECT_EQ(job.parity, c.parity);
  }
  Job job;
  Asked asked;
  Failure err;
  ASSERT_TRUE(ParseCommandLine({"romseed", "-w", "8", "--help", "-x"}, &job, &asked, &err));
  EXPECT_EQ(asked, Asked::kHelp);
  ASSERT_TRUE(ParseCommandLine({"romseed", "-V"}, &job, &asked, &err));
  EXPECT_EQ(asked, Asked::kVersion);
}

TEST(CommandLine, EveryFamilyHasItsShape) {
  const struct {
    const char* name;
    std::size_t inits, initps;
  } cases[] = {{"RAMB4_S16_S16", 16, 0}, {"RAMB16_S36", 64, 8}, {"RAMB16BWE_S18", 64, 8},
               {"RAMB16BWER", 64, 8},    {"RAMB8BWER", 32, 4},   {"RAMB18", 64, 8},
               {"RAMB18E1", 64, 8},      {"RAMB18SDP", 64, 8},   {"RAMB36", 128, 16},
               {"RAMB36E1", 128, 16},    {"RAMB36SDP", 128, 16}};
  for (const auto& c : cases) {
    BlockShape shape{0, 0};
    ASSERT_TRUE(FindBlockRam(c.name, &shape)) << c.name;
    EXPECT_EQ(shape.inits_per_block, c.inits) << c.name;
    EXPECT_EQ(shape.initps_per_block, c.initps) << c.name;
  }
}

// Whether a command line asks for the check decides the status of its
// failure (2, not the 1 that says "differ"); what follows the operands and
// the values of options never asks for it.
TEST(CommandLine, KnowsACheckEvenWhenItFails) {
  const struct {
    std::vector<std::string> args;
    bool check;
    std::string refused;  // a part of the reason; "" if accepted
  } cases[] = {
      {{"-p", "RAMB16_S81", "-cw", "8", "a", "b", "c"}, true, "no block RAM"},
      {{"--chec", "-x", "a", "b", "c"}, true, "no option -x"},
      {{"--check=1", "a", "b", "c"}, true, "option --check takes no value"},
      {{"--w", "-c", "a", "b", "c"}, false, "no word width -c"},
      {{"-pc", "a", "b", "c"}, false, "no block RAM c"},
      {{"a", "b", "c", "-c"}, false, ""},
      {{"--", "-c", "b", "c"}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Job job;
    Failure err;
    EXPECT_EQ(Parse(c.args, &job, &err), c.refused.empty());
    EXPECT_EQ(job.check, c.check);
    if (!c.refused.empty()) {
      EXPECT_NE(err.reason.find(c.refused), std::string::npos) << err.reason;
    }
  }
}

}  // namespace
}  // namespace romseed
