// End to end: the UCF survives bad input, failures, races and kills.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "e2e_test.h"

namespace romseed {
namespace {

TEST_F(Edges, KeepsTheUcfsLinkAndPermissions) {
  ::chmod((dir / "top.ucf").c_str(), 0640);
  ::mkdir((dir / "sub").c_str(), 0755);
  std::filesystem::create_symlink("top.ucf", dir / "link.ucf");
  std::filesystem::create_symlink(dir / "top.ucf", dir / "sub/absolute.ucf");
  std::filesystem::create_symlink("../top.ucf", dir / "sub/relative.ucf");  // from its own folder
  for (const char* link : {"link.ucf", "sub/absolute.ucf", "sub/relative.ucf"}) {
    WriteFile(dir / "top.ucf", kTopUcf);
    ASSERT_EQ(Run({"fw.bin", link, "rom"}).status, 0) << link;
    EXPECT_TRUE(std::filesystem::is_symlink(dir / link));
    EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopNew);
  }
  struct stat st;
  ASSERT_EQ(::stat((dir / "top.ucf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(Edges, ReadErrorsAreFailures) {
  ::mkdir((dir / "d").c_str(), 0755);
  ExpectRefused({"d", "top.ucf", "rom"}, "can't read binary file d");
  ExpectRefused({"fw.bin", "d", "rom"}, "can't open ucf file d");
  ::mkfifo((dir / "fifo").c_str(), 0644);
  ExpectRefused({"fw.bin", "fifo", "rom"}, "can't open ucf file fifo");
  // Reading a process's memory at address 0 is an I/O error.
  ExpectRefused({"/proc/self/mem", "top.ucf", "rom"}, "can't read binary file /proc/self/mem");
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
}

TEST_F(Edges, RefusesTheWorkingFileAsAnInput) {
  WriteFile(dir / "tempucf.ucf", kTopUcf);
  ::link((dir / "tempucf.ucf").c_str(), (dir / "hard.ucf").c_str());
  std::filesystem::create_symlink("tempucf.ucf", dir / "soft.ucf");
  const std::vector<std::string> names = {"tempucf.ucf", "./tempucf.ucf", dir / "tempucf.ucf",
                                          "hard.ucf", "soft.ucf"};
  for (const std::string& name : names) {
    ToolResult r = Run({"fw.bin", name, "rom"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "ucf file " + name + " is the working file tempucf.ucf");
    r = Run({name, "top.ucf", "rom"});
    EXPECT_EQ(AfterBanner(r.out), "binary file " + name + " is the working file tempucf.ucf");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(dir / "tempucf.ucf"), kTopUcf);
    EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf);
  }
}

TEST_F(Edges, KeepsWhatStandsAtTheWorkingFilesNameUnlessALeftover) {
  ScratchDir elsewhere;
  WriteFile(elsewhere / "victim", "precious");
  const std::string work = dir / "tempucf.ucf";
  const std::function<void()> makes[] = {
      [&] { std::filesystem::create_symlink(elsewhere / "victim", work); },
      [&] { std::filesystem::create_symlink(elsewhere / "absent", work); },
      [&] { ::mkfifo(work.c_str(), 0600); },
  };
  for (const auto& make : makes) {
    make();
    ExpectRefused({"fw.bin", "top.ucf", "rom"}, "can't open file tempucf.ucf");
    EXPECT_TRUE(Exists(work));
    std::filesystem::remove(work);
  }
  // A second name of one's own file (as a crash can leave it) is only a
  // name: it goes, and the file stays as it was.
  ::link((elsewhere / "victim").c_str(), work.c_str());
  EXPECT_EQ(Run({"fw.bin", "top.ucf", "rom"}).status, 0);
  EXPECT_FALSE(Exists(work));
  EXPECT_EQ(ReadFile(elsewhere / "victim"), "precious");
  EXPECT_FALSE(Exists(elsewhere / "absent"));
}

TEST_F(Edges, RefusesMisuse) {
  // A message ROM: text and 0xff padding, no NUL.
  WriteFile(dir / "msgs.bin", "BOOT OK\r\n" + std::string(54, '\xff'));
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"top.ucf", "msgs.bin", "rom"}, "binary file top.ucf is named as a ucf file"},
      {{"sub/TOP.Ucf", "msgs.bin", "rom"}, "binary file sub/TOP.Ucf is named as a ucf file"},
      {{"--xdc", "TOP.Xdc", "msgs.bin", "rom"}, "binary file TOP.Xdc is named as an xdc file"},
      // A control character that no text holds (here 0x12).
      {{"msgs.bin", "fw.bin", "rom"}, "ucf file fw.bin is not a text file"},
  };
  // An empty name, as an unset make variable gives, would drop every instance.
  for (std::string bad : {"ro\"m", "rom\n", "ro\rm", "", "ro\tm", "ro\x7fm", "r*", "ro?"}) {
    cases.push_back({{"fw.bin", "top.ucf", bad}, "invalid component name " + bad});
  }
  for (const auto& [args, message] : cases) {
    ExpectRefused(args, message);
    EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
  }
  EXPECT_EQ(ReadFile(dir / "msgs.bin"), "BOOT OK\r\n" + std::string(54, '\xff'));

  const std::string name(3000, 'r');
  WriteFile(dir / "top.ucf", "INST \"" + name + "7\" X;\nINST \"" + name.substr(1) + "\" X;\n");
  ToolResult r = Run({"fw.bin", "top.ucf", name});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / "top.ucf"), "INST \"" + name.substr(1) + "\" X;\n" +
                                           Statement(name + "00\" INIT_00", kValue3412));
}

TEST_F(Edges, AFailedWriteKeepsTheUcf) {
  WriteFile(dir / "fw.bin", std::string(100000, '\xee'));
  RunOptions small_files;
  small_files.in_child = [] {
    struct rlimit limit = {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);  // and SIGXFSZ as the caller left it
  };
  ExpectRefused({"fw.bin", "top.ucf", "rom"}, "can't write file tempucf.ucf", small_files);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
}


TEST_F(Edges, ReplacesAUcfOnAnotherFileSystem) {
  ScratchDir shm("/dev/shm");
  struct stat a, b;
  ASSERT_EQ(::stat(dir.path().c_str(), &a), 0);
  ASSERT_EQ(::stat(shm.path().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system as /tmp";
  WriteFile(shm / "top.ucf", kTopUcf);
  ::chmod((shm / "top.ucf").c_str(), 0604);
  ToolResult r = Run({"fw.bin", shm / "top.ucf", "rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(shm / "top.ucf"),
            kTopNew);
  ASSERT_EQ(::stat((shm / "top.ucf").c_str(), &b), 0);
  EXPECT_EQ(b.st_mode & 07777, 0604u);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
  int left = 0;
  for (auto& entry : std::filesystem::directory_iterator(shm.path())) left += entry.exists();
  EXPECT_EQ(left, 1);
}

TEST_F(Edges, ParallelRunsFromOneFolderEachGetTheirOwnResult) {
  const int kRuns = 8;
  for (int i = 0; i < kRuns; ++i) {
    WriteFile(dir / (std::to_string(i) + ".bin"), std::string(20000 + i, static_cast<char>(i)));
    WriteFile(dir / (std::to_string(i) + ".ucf"), kTopUcf);
  }
  // Two more runs put two components into one UCF at the same time.
  WriteFile(dir / "shared.ucf", kTopUcf);
  std::vector<std::thread> runs;
  std::vector<ToolResult> results(kRuns + 2);
  for (int i = 0; i < kRuns; ++i) {
    runs.emplace_back([&, i] {
      results[i] = Run({std::to_string(i) + ".bin", std::to_string(i) + ".ucf", "rom"});
    });
  }
  runs.emplace_back([&] { results[kRuns] = Run({"0.bin", "shared.ucf", "ram"}); });
  runs.emplace_back([&] { results[kRuns + 1] = Run({"1.bin", "shared.ucf", "rim"}); });
  for (std::thread& t : runs) t.join();
  for (const ToolResult& r : results) EXPECT_EQ(r.status, 0) << r.out;

  ScratchDir alone;
  for (int i = 0; i < kRuns; ++i) {
    std::string ucf = std::to_string(i) + ".ucf";
    WriteFile(alone / ucf, kTopUcf);
    RunTool(alone.path(), {dir / (std::to_string(i) + ".bin"), ucf, "rom"});
    EXPECT_EQ(ReadFile(dir / ucf), ReadFile(alone / ucf)) << ucf;
  }
  std::string shared = ReadFile(dir / "shared.ucf");
  EXPECT_NE(shared.find("INST \"ram00\" INIT_00"), std::string::npos);
  EXPECT_NE(shared.find("INST \"rim00\" INIT_00"), std::string::npos);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
}

TEST_F(Edges, AKilledRunLeavesTheUcfWhole) {
  WriteFile(dir / "fw.bin", std::string(1 << 20, '\x5a'));
  // An XDC is a constraints file like the other.
  for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"--xdc"}}) {
    ScratchDir done;
    WriteFile(done / "top.ucf", kTopUcf);
    std::vector<std::string> args = options;
    args.insert(args.end(), {dir / "fw.bin", "top.ucf", "rom"});
    ASSERT_EQ(RunTool(done.path(), args).status, 0);
    const std::string after = ReadFile(done / "top.ucf");
    KillAlongTheRun(dir / "top.ucf", 3000, 60000, [&](int us) {
      const std::string now = ReadFile(dir / "top.ucf");
      EXPECT_TRUE(now == kTopUcf || now == after) << options.size() << " options, killed after " << us << " us";
    }, options);
  }
}

}  // namespace
}  // namespace romseed
