// The tool's contract, run end to end on the built binary.
#include "e2e_test.h"

#include <sys/stat.h>

#include <filesystem>

namespace romseed {
namespace {

const std::string kUcf =
    "# pins\n"
    "NET \"clk\" LOC = \"P55\";\n"
    "INST \"rom00\" INIT_00 = 1111111111111111111111111111111111111111111111111111111111111111;\n"
    "INST \"rom00\" LOC = RAMB4_R0C0;\n"
    "INST rom01 LOC = RAMB4_R1C0;\n"
    "  INST \"rom01\" LOC = RAMB4_R1C0;\n"
    "\n";
const std::string kKept =
    "# pins\n"
    "NET \"clk\" LOC = \"P55\";\n"
    "INST rom01 LOC = RAMB4_R1C0;\n"
    "  INST \"rom01\" LOC = RAMB4_R1C0;\n"
    "\n";

TEST_F(Romseed, NeedsThreeArguments) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"a"}, {"a", "b"}}) {
    ToolResult r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "use:romseed [binaryfile] [ucf-in] [component_name]");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(Romseed, ReportsTheFirstFileThatCannotBeOpened) {
  ToolResult r = Run({"none.bin", "none.ucf", "rom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(AfterBanner(r.out), "can't open binary file none.bin");
  // A person gets the system's reason too; standard output stays as it was.
  EXPECT_EQ(r.err, "romseed: can't open binary file none.bin: No such file or directory\n");

  WriteFile(dir / "fw.bin", "x");
  r = Run({"fw.bin", "none.ucf", "rom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(AfterBanner(r.out), "can't open ucf file none.ucf");
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));

  WriteFile(dir / "top.ucf", kUcf);
  ::mkdir((dir / "tempucf.ucf").c_str(), 0755);
  r = Run({"fw.bin", "top.ucf", "rom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(AfterBanner(r.out), "can't open file tempucf.ucf");
  EXPECT_EQ(r.err, "romseed: can't open file tempucf.ucf: Is a directory\n");
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kUcf);
}

TEST_F(Romseed, ReplacesTheComponentsStatements) {
  WriteFile(dir / "top.ucf", kUcf);
  WriteFile(dir / "fw.bin", std::string(32, '\x01') + "\xff");
  ToolResult r = Run({"fw.bin", "top.ucf", "rom", "ignored"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
            "romseed: dropped line 4: INST \"rom00\" LOC = RAMB4_R0C0;");
  EXPECT_EQ(AfterBanner(r.out),
            "'INST \"rom'\ncopy lines 5\ndelete lines 2\nadd lines 2\ncomplete!\n");
  std::string ones;
  for (int i = 0; i < 32; ++i) ones += "01";
  const std::string first = kKept + Statement("rom00\" INIT_00", ones) +
                            Statement("rom00\" INIT_01", std::string(62, '0') + "ff");
  EXPECT_EQ(ReadFile(dir / "top.ucf"), first);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));

  // A second run drops the first one's statements.
  WriteFile(dir / "fw.bin", "\x80");
  r = Run({"fw.bin", "top.ucf", "rom"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.out),
            "'INST \"rom'\ncopy lines 5\ndelete lines 2\nadd lines 1\ncomplete!\n");
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kKept + Statement("rom00\" INIT_00", std::string(62, '0') + "80"));
}

TEST_F(Romseed, WorksOnAUcfElsewhereAndReusesAStaleWorkingFile) {
  ScratchDir other;
  WriteFile(other / "top.ucf", kUcf);
  WriteFile(dir / "fw.bin", "");
  WriteFile(dir / "tempucf.ucf", std::string(100000, 'j'));  // left by a killed run
  ToolResult r = Run({"fw.bin", other / "top.ucf", "rom"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(other / "top.ucf"), kKept);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
  EXPECT_FALSE(Exists(other / "tempucf.ucf"));
}

TEST_F(Romseed, ReadsTheBinaryFromAPipe) {
  std::string bin;
  for (int i = 0; i < 100; ++i) bin += static_cast<char>(i * 37);
  WriteFile(dir / "fw.bin", bin);
  WriteFile(dir / "a.ucf", "");
  WriteFile(dir / "b.ucf", "");
  EXPECT_EQ(Run({"fw.bin", "a.ucf", "rom"}).status, 0);
  RunOptions piped;
  piped.input = bin;
  EXPECT_EQ(Run({"/dev/stdin", "b.ucf", "rom"}, piped).status, 0);
  EXPECT_EQ(ReadFile(dir / "b.ucf"), ReadFile(dir / "a.ucf"));
  EXPECT_EQ(ReadFile(dir / "b.ucf").size(), 4 * (84 + 3 + 2));
}

TEST_F(Romseed, FollowsTheUcfsLineEnds) {
  WriteFile(dir / "fw.bin", "\x01");
  const std::string value = std::string(62, '0') + "01";
  struct Case {
    std::string ucf, result;
  } cases[] = {
      {"NET a;\r\nNET b;", "NET a;\r\nNET b;\r\nINST \"rom00\" INIT_00 = " + value + ";\r\n"},
      {"NET a;\nNET b;", "NET a;\nNET b;\nINST \"rom00\" INIT_00 = " + value + ";\n"},
      {"NET a;\r\nINST \"rom00\" X;", "NET a;\r\nINST \"rom00\" INIT_00 = " + value + ";\r\n"},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "top.ucf", c.ucf);
    EXPECT_EQ(Run({"fw.bin", "top.ucf", "rom"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "top.ucf"), c.result);
  }
  // Without statements to follow, the open last line stays as it was.
  WriteFile(dir / "fw.bin", "");
  WriteFile(dir / "top.ucf", "NET a;\nNET b;");
  EXPECT_EQ(Run({"fw.bin", "top.ucf", "rom"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "top.ucf"), "NET a;\nNET b;");
}

// A run that would change nothing leaves the UCF as it is, its time too, so
// that nothing built from it is made again.
TEST_F(Edges, LeavesAUcfThatHoldsTheStatementsAlready) {
  ASSERT_EQ(Run({"fw.bin", "top.ucf", "rom"}).status, 0);
  struct stat before, after;
  ASSERT_EQ(::stat((dir / "top.ucf").c_str(), &before), 0);
  ToolResult r = Run({"fw.bin", "top.ucf", "rom"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.out), "'INST \"rom'\ncopy lines 1\ndelete lines 1\nadd lines 1\ncomplete!\n");
  EXPECT_EQ(r.err, "romseed: top.ucf already holds these statements\n");
  ASSERT_EQ(::stat((dir / "top.ucf").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
}

// Options: help and the version are no run; a word file that does not parse
// stops the run before the UCF changes, with the line on standard error.
TEST_F(Edges, OptionsForOtherBlockRamsAndWordFiles) {
  for (const char* asked : {"-h", "--version"}) {
    ToolResult r = Run({asked, "fw.bin", "top.ucf", "rom"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(AfterBanner(r.out).find("romseed"), std::string::npos);
  }
  ExpectRefused({"-w", "9", "fw.bin", "top.ucf", "rom"}, "use:romseed [binaryfile] [ucf-in] [component_name]");
  WriteFile(dir / "fw.hex", "1ff\n2_0001 // ok\n412345\n");
  ToolResult r = Run({"-p", "RAMB16_S18", "-w", "18", "fw.hex", "top.ucf", "rom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "romseed: dropped line 2: INST \"rom00\" INIT_00 = 00;\n"
                   "romseed: can't read binary file fw.hex: line 3: word 412345 is wider than 18 bits\n");
  ExpectRefused({"-p", "RAMB16_S18", "-w", "18", "fw.hex", "top.ucf", "rom"}, "can't read binary file fw.hex");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);  // no more

  WriteFile(dir / "fw.hex", "1ff\n2_0001\n");
  r = Run({"-p", "ramb16_s18", "-w", "18", "fw.hex", "top.ucf", "rom"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(dir / "top.ucf"), "NET \"clk\" LOC = \"P55\";\n" +
                                           Statement("rom00\" INIT_00", std::string(56, '0') + "000101ff") +
                                           Statement("rom00\" INITP_00", std::string(63, '0') + "8"));
}

}  // namespace
}  // namespace romseed
