// End to end: the UCF safe at the edges a real system has: standard
// descriptors, signals, other users, runs from many folders, deep folders.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "e2e_test.h"

namespace romseed {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kUsers = 100;  // Debian's group "users"

void AsNobody() {
  if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
    ::_exit(126);
  }
}

// Nobody, as a member of the group "users".
void AsMemberOfUsers() {
  const gid_t groups[] = {kUsers};
  if (::setgroups(1, groups) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(126);
}

// Runs the tool under strace, which injects `faults` ("-e", "inject=...").
RunOptions Traced(std::vector<std::string> faults) {
  RunOptions traced;
  // LeakSanitizer, in a sanitizer build, cannot work under ptrace.
  traced.wrapper = {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-o",
                    "/dev/null"};
  traced.wrapper.insert(traced.wrapper.end(), faults.begin(), faults.end());
  return traced;
}

// The tests that watch or steer the run through strace, where it is installed.
class Strace : public Edges {
 protected:
  void SetUp() override {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    Edges::SetUp();
  }
};

TEST_F(Edges, StandardOutputClosedUnreadOrTheWorkingFile) {
  // A long name makes long messages, which go out while the run works.
  const std::string name(100000, 'r');
  const std::string statement = Statement(name + "00\" INIT_00", kValue3412);
  RunOptions closed;
  closed.in_child = [] { ::close(0), ::close(1); };
  EXPECT_EQ(Run({"fw.bin", "top.ucf", name}, closed).status, 0);
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf + statement);

  RunOptions unread;
  unread.reader_gone = true;
  EXPECT_EQ(Run({"fw.bin", "top.ucf", name}, unread).status, 0);
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf + statement);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));

  RunOptions into;
  into.in_child = [] { ::dup2(::open("tempucf.ucf", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1); };
  WriteFile(dir / "top.ucf", kTopUcf);
  EXPECT_EQ(Run({"fw.bin", "top.ucf", "rom"}, into).status, 1);
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf);
  EXPECT_EQ(AfterBanner(ReadFile(dir / "tempucf.ucf")),
            "standard output is the working file tempucf.ucf");
}

TEST_F(Edges, SignalsRemoveWhatTheRunMade) {
  // A producer that never closes its end: the run waits for more forever.
  ::mkfifo((dir / "fw.fifo").c_str(), 0644);
  int producer = ::open((dir / "fw.fifo").c_str(), O_RDWR | O_CLOEXEC);
  // Every signal whose default ends the process.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
                  SIGPROF}) {
    RunOptions stop;
    // A umask that would let others read it, and one that would let them write.
    stop.in_child = sig == SIGTERM ? [] { ::umask(022); } : [] { ::umask(0); };
    stop.kill_once_working = true;
    stop.signal = sig;
    ToolResult r = Run({"fw.fifo", "top.ucf", "rom"}, stop);
    EXPECT_EQ(r.status, 128 + sig) << sig;
    EXPECT_EQ(r.working_mode, 0600) << "private while the run works, whatever the umask";
    EXPECT_FALSE(Exists(dir / "tempucf.ucf")) << sig;
    EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf);
  }
  ::close(producer);

  // A hang-up that the caller ignores (nohup) stays ignored: the run goes on
  // once the producer closes.
  std::filesystem::remove(dir / "tempucf.ucf");  // left if a case above failed
  std::thread closer([&] {
    int end = ::open((dir / "fw.fifo").c_str(), O_RDWR | O_CLOEXEC);  // not waiting for a reader
    for (int waited = 0; !Exists(dir / "tempucf.ucf") && waited < 10000; ++waited) ::usleep(1000);
    ::usleep(100000);
    EXPECT_EQ(::write(end, "\x12\x34", 2), 2);
    ::close(end);
  });
  RunOptions nohup;
  nohup.in_child = [] { ::signal(SIGHUP, SIG_IGN); };
  nohup.kill_once_working = true;
  nohup.signal = SIGHUP;
  EXPECT_EQ(Run({"fw.fifo", "top.ucf", "rom"}, nohup).status, 0);
  closer.join();
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopNew);
}

// The real system's calls, as strace sees them: the content is durable before
// it takes the UCF's place (by a rename, or a swap of names), and the folder
// after it.
TEST_F(Strace, FlushesTheFileBeforeItsRenameAndTheFolderAfter) {
  ScratchDir shm("/dev/shm");
  WriteFile(shm / "top.ucf", kTopUcf);
  for (const std::string& ucf : {dir / "top.ucf", shm / "top.ucf"}) {
    const std::string log = dir / "strace.log", folder = ucf.substr(0, ucf.rfind('/'));
    RunOptions traced = Traced({"-f", "-y", "-o", log, "-e", "trace=fsync,rename,renameat2"});
    ASSERT_EQ(Run({"fw.bin", ucf, "rom"}, traced).status, 0) << ucf;
    EXPECT_EQ(ReadFile(ucf), kTopNew);
    // The flush before the rename that took the UCF's place is of the file
    // moved (the working file, or the nameless copy), the one after of the folder.
    const std::string calls = ReadFile(log);
    const std::string::size_type renamed = calls.find("\"" + ucf + "\"");
    ASSERT_NE(renamed, std::string::npos) << calls;
    auto line_at = [&](std::string::size_type at) {
      return at == std::string::npos ? "" : calls.substr(at, calls.find('\n', at) - at);
    };
    const std::string moved = ucf == dir / "top.ucf" ? dir / "tempucf.ucf>" : folder + "/#";
    EXPECT_NE(line_at(calls.rfind("fsync(", renamed)).find(moved), std::string::npos) << calls;
    EXPECT_NE(line_at(calls.find("fsync(", renamed)).find("<" + folder + ">)"), std::string::npos)
        << calls;
  }
}

// Run A is interrupted as it locks the working file it made; run B took the
// file over just before (A had not yet locked it). A's handler must leave
// B's new file alone: it stands, held there by B, once A has ended.
TEST_F(Strace, AnInterruptedRunRemovesNoOtherRunsFile) {
  WriteFile(dir / "b.ucf", kTopUcf);
  ToolResult a, b;
  std::thread first([&] {
    a = Run({"fw.bin", "top.ucf", "rom"},
            Traced({"-P", dir / "tempucf.ucf", "-e",
                    "inject=fcntl:signal=SIGTERM:delay_exit=2000000:when=1"}));
  });
  for (int waited = 0; !Exists(dir / "tempucf.ucf") && waited < 10000; ++waited) ::usleep(1000);
  std::thread second([&] {
    b = Run({"fw.bin", "b.ucf", "rom"}, Traced({"-e", "inject=link:delay_enter=4000000"}));
  });
  first.join();
  EXPECT_TRUE(Exists(dir / "tempucf.ucf"));
  second.join();
  EXPECT_EQ(a.status, 128 + SIGTERM);
  EXPECT_EQ(b.status, 0) << b.out;
  EXPECT_EQ(ReadFile(dir / "b.ucf"), kTopNew);
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf);
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
}

// What takes the UCF's place is what the run wrote, even if another user
// puts a link to a file of theirs at the working file's name meanwhile.
TEST_F(Strace, OnlyTheFileTheRunWroteTakesTheUcfsPlace) {
  WriteFile(dir / "theirs", "theirs");
  ToolResult r;
  std::atomic<bool> done{false};
  std::thread run([&] {
    r = Run({"fw.bin", "top.ucf", "rom"}, Traced({"-e", "inject=link:delay_enter=1500000"}));
    done = true;
  });
  struct stat st;
  while (!done && !(::stat((dir / "tempucf.ucf").c_str(), &st) == 0 && st.st_size > 0)) ::usleep(1000);
  ::link((dir / "theirs").c_str(), (dir / "swap").c_str());
  ::rename((dir / "swap").c_str(), (dir / "tempucf.ucf").c_str());
  run.join();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopNew);
  EXPECT_EQ(ReadFile(dir / "theirs"), "theirs");
}

// An editor's save after the run's last look at the UCF, as it replaces
// it: the names are swapped, the save seen and swapped back.
TEST_F(Strace, KeepsASaveRightBeforeTheReplace) {
  ToolResult r;
  std::thread run([&] {
    r = Run({"fw.bin", "top.ucf", "rom"}, Traced({"-e", "inject=rename,renameat2:delay_enter=2000000"}));
  });
  for (int waited = 0; Beside(dir.path()).empty() && waited < 10000; ++waited) ::usleep(1000);
  ::usleep(300000);
  WriteFile(dir / "top.ucf", "NET \"clk\" LOC = \"P56\";\n");
  run.join();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(ReadFile(dir / "top.ucf"), "NET \"clk\" LOC = \"P56\";\n");
  EXPECT_TRUE(Beside(dir.path()).empty());
}

// A fault or a signal at one of the system's calls: the UCF as it was,
// nothing of the run's left, and what another run made meanwhile at the
// working file's name kept.
TEST_F(Strace, AFaultOrASignalAtACallKeepsTheUcfAndLeavesNothing) {
  ScratchDir shm("/dev/shm");
  struct Case {
    std::string ucf;
    std::vector<std::string> inject;
    int status;
  } cases[] = {
      {dir / "top.ucf", {"-e", "inject=fchmod:error=EPERM:when=2"}, 1},  // the UCF's mode
      // As it flushes its folder, once the file is beside the UCF.
      {dir / "top.ucf", {"-e", "inject=fsync:signal=SIGTERM:delay_exit=1000000:when=1"}, 128 + SIGTERM},
      // As it flushes a named copy, where no file can be made without a name.
      {shm / "top.ucf", {"-e", "inject=access:error=ENOENT", "-e", "inject=fsync:signal=SIGTERM:when=1"},
       128 + SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inject.back());
    const std::string folder = c.ucf.substr(0, c.ucf.rfind('/'));
    WriteFile(c.ucf, kTopUcf);
    std::atomic<bool> made{false};
    std::thread other([&] {
      for (int waited = 0; waited < 5000 && !made; ++waited, ::usleep(1000)) {
        if (!Exists(dir / "tempucf.ucf") && !Beside(folder).empty()) {
          WriteFile(dir / "tempucf.ucf", "another run's");
          made = true;
        }
      }
    });
    ToolResult r = Run({"fw.bin", c.ucf, "rom"}, Traced(c.inject));
    other.join();
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(ReadFile(c.ucf), kTopUcf);
    EXPECT_TRUE(Beside(folder).empty());
    EXPECT_EQ(made, Exists(dir / "tempucf.ucf"));
    std::filesystem::remove(dir / "tempucf.ucf");
  }
}

// Root on a UCF of another user's, killed right before the replace, or
// right after it swapped the names, here and across file systems: the next
// run is not locked out.
TEST_F(Strace, AKillBeforeTheRenameStopsNoLaterRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act for another user";
  ScratchDir shm("/dev/shm");
  const std::pair<const char*, std::string> kills[] = {
      {"inject=rename,renameat2:signal=SIGKILL", kTopUcf},
      {"inject=unlink:signal=SIGKILL:when=2", kTopNew}};
  for (const auto& [kill, left] : kills) {
    for (const std::string& ucf : {dir / "top.ucf", shm / "top.ucf"}) {
      WriteFile(ucf, kTopUcf);
      ::chown(ucf.c_str(), kNobody, kNobody);
      EXPECT_NE(Run({"fw.bin", ucf, "rom"}, Traced({"-e", kill})).status, 0);
      EXPECT_EQ(ReadFile(ucf), left);
      ToolResult r = Run({"fw.bin", ucf, "rom"});
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(ReadFile(ucf), kTopNew);
      EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
      EXPECT_TRUE(Beside(ucf.substr(0, ucf.rfind('/'))).empty());
    }
  }

  // A member of the UCF's group, killed right after the swap, on a UCF with
  // a second name: the old UCF left beside keeps its owner and that name,
  // and the next run of that member removes it all the same.
  ::chmod(dir.path().c_str(), 0777);
  std::filesystem::copy_file(ROMSEED_EXE, dir / "romseed");
  WriteFile(dir / "top.ucf", kTopUcf);
  ::chmod((dir / "top.ucf").c_str(), 0664);
  ::chown((dir / "top.ucf").c_str(), 0, kUsers);
  ::link((dir / "top.ucf").c_str(), (dir / "second.ucf").c_str());
  RunOptions member = Traced({"-e", kills[1].first});
  member.exe = dir / "romseed";
  member.in_child = AsMemberOfUsers;
  EXPECT_NE(Run({"fw.bin", "top.ucf", "rom"}, member).status, 0);
  EXPECT_EQ(Beside(dir.path()).size(), 1u);
  member.wrapper.clear();
  ToolResult r = Run({"fw.bin", "top.ucf", "rom"}, member);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Beside(dir.path()).empty());
  EXPECT_EQ(ReadFile(dir / "second.ucf"), kTopUcf);
}

TEST_F(Edges, OtherUsersAndReadOnlyFiles) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ::chmod(dir.path().c_str(), 0777);
  // A copy of the tool where that user can reach it, wherever the build is.
  std::filesystem::copy_file(ROMSEED_EXE, dir / "romseed");
  RunOptions nobody;
  nobody.in_child = AsNobody;
  nobody.exe = dir / "romseed";
  // The last line printed by a run that fails and leaves nothing behind.
  auto refused = [&](const std::vector<std::string>& args, const RunOptions& options) {
    ToolResult r = Run(args, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
    return r.out.substr(r.out.rfind('\n') + 1);
  };

  // Another user's working file is never written through, nor removed.
  WriteFile(dir / "tempucf.ucf", "theirs");
  ::chown((dir / "tempucf.ucf").c_str(), kNobody, kNobody);
  EXPECT_EQ(AfterBanner(Run({"fw.bin", "top.ucf", "rom"}).out), "can't open file tempucf.ucf");
  EXPECT_EQ(ReadFile(dir / "tempucf.ucf"), "theirs");
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopUcf);
  // Its owner's next runs take it over, read-only or unreadable as it is.
  ::chown((dir / "top.ucf").c_str(), kNobody, kNobody);
  for (mode_t mode : {0444, 0}) {
    WriteFile(dir / "tempucf.ucf", "left");
    ::chown((dir / "tempucf.ucf").c_str(), kNobody, kNobody);
    ::chmod((dir / "tempucf.ucf").c_str(), mode);
    EXPECT_EQ(Run({"fw.bin", "top.ucf", "rom"}, nobody).status, 0) << mode;
    EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopNew);
    EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
  }

  // Read-only: no write bit at all (even for root), or none for this user.
  ::chmod((dir / "top.ucf").c_str(), 0444);
  EXPECT_EQ(refused({"fw.bin", "top.ucf", "rom"}, {}), "ucf file top.ucf is read-only");
  ::chown((dir / "top.ucf").c_str(), 0, 0);
  ::chmod((dir / "top.ucf").c_str(), 0644);
  EXPECT_EQ(refused({"fw.bin", "top.ucf", "rom"}, nobody), "ucf file top.ucf is read-only");
  EXPECT_EQ(refused({"--xdc", "fw.bin", "top.ucf", "rom"}, nobody), "xdc file top.ucf is read-only");
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopNew);

  // A UCF that may be written but not replaced, in a folder of root's.
  ::mkdir((dir / "sub").c_str(), 0755);
  WriteFile(dir / "sub/top.ucf", kTopUcf);
  ::chmod((dir / "sub/top.ucf").c_str(), 0666);
  EXPECT_EQ(refused({"fw.bin", "sub/top.ucf", "rom"}, nobody), "can't replace ucf file sub/top.ucf");
  EXPECT_EQ(ReadFile(dir / "sub/top.ucf"), kTopUcf);

  // As root, a UCF keeps its owner.
  ::chown((dir / "sub/top.ucf").c_str(), kNobody, kNobody);
  EXPECT_EQ(Run({"fw.bin", "sub/top.ucf", "rom"}).status, 0);
  struct stat st;
  ASSERT_EQ(::stat((dir / "sub/top.ucf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  // From a folder that the user may not write: why, at once.
  EXPECT_EQ(RunTool(dir / "sub", {"../fw.bin", "top.ucf", "rom"}, nobody).err,
            "romseed: can't open file tempucf.ucf: Permission denied (the working file is made in the "
            "current folder, which this user may not write: run romseed from a folder you may "
            "write, the UCF's own say)\n");

  // A UCF shared through its group, updated by another member of the group,
  // keeps the group.
  WriteFile(dir / "shared.ucf", kTopUcf);
  ::chmod((dir / "shared.ucf").c_str(), 0664);
  EXPECT_EQ(::chown((dir / "shared.ucf").c_str(), 0, kUsers), 0);
  RunOptions member = nobody;
  member.in_child = AsMemberOfUsers;
  EXPECT_EQ(Run({"fw.bin", "shared.ucf", "rom"}, member).status, 0);
  ASSERT_EQ(::stat((dir / "shared.ucf").c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, kUsers);
  EXPECT_EQ(st.st_mode & 07777, 0664u);

  // In a sticky folder, another user's files at any fixed names beside the
  // UCF stop no update of it.
  ::chmod(dir.path().c_str(), 01777);
  WriteFile(dir / "mine.ucf", kTopUcf);
  ::chown((dir / "mine.ucf").c_str(), kNobody, kNobody);
  for (const char* n : {"", ".1", ".2", ".3"}) WriteFile(dir / (std::string(".romseed-mine.ucf") + n), "");
  EXPECT_EQ(Run({"fw.bin", "mine.ucf", "rom"}, nobody).status, 0);
  EXPECT_EQ(ReadFile(dir / "mine.ucf"), kTopNew);
  ::chmod(dir.path().c_str(), 0777);

  // A read-only umask stops no run of parallel ones from one folder.
  std::vector<std::thread> runs;
  std::vector<int> statuses(16);
  for (int i = 0; i < 16; ++i) {
    WriteFile(dir / (std::to_string(i) + ".ucf"), kTopUcf);
    ::chown((dir / (std::to_string(i) + ".ucf")).c_str(), kNobody, kNobody);
    runs.emplace_back([&, i] {
      RunOptions read_only_umask;
      read_only_umask.in_child = [] { ::umask(0222), AsNobody(); };
      read_only_umask.exe = nobody.exe;
      statuses[i] = Run({"fw.bin", std::to_string(i) + ".ucf", "rom"}, read_only_umask).status;
    });
  }
  for (std::thread& t : runs) t.join();
  EXPECT_EQ(statuses, std::vector<int>(16, 0));
}

// flock(1) on the UCF, the usual way to serialise builds, is the caller's
// and does not stop the run (an alarm ends one that hangs).
TEST_F(Edges, TakesNoFlockOfTheCallers) {
  int held = ::open((dir / "top.ucf").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  RunOptions alarmed;
  alarmed.in_child = [] { ::alarm(20); };
  EXPECT_EQ(Run({"fw.bin", "top.ucf", "rom"}, alarmed).status, 0);
  EXPECT_EQ(ReadFile(dir / "top.ucf"), kTopNew);
  ::close(held);
}

// Another run's turn (held here) during which the UCF is saved in place:
// the run starts from that save, and takes it for no change of its own.
TEST_F(Edges, StartsFromASaveMadeWhileItWaitedForItsTurn) {
  int held = ::open((dir / "top.ucf").c_str(), O_RDWR | O_CLOEXEC);
  struct flock turn = {};
  turn.l_type = F_WRLCK;
  ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &turn), 0);
  ToolResult r;
  std::thread run([&] { r = Run({"fw.bin", "top.ucf", "rom"}); });
  ::usleep(300000);
  WriteFile(dir / "top.ucf", "NET \"rst\" LOC = \"P1\";\n" + kTopUcf);
  ::close(held);
  run.join();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / "top.ucf"), "NET \"rst\" LOC = \"P1\";\n" + kTopNew);
}

TEST_F(Edges, RunsOnOneUcfFromManyFoldersTakeTurns) {
  std::vector<ScratchDir> folders(16);
  std::vector<std::thread> runs;
  for (int i = 0; i < 16; ++i) {
    WriteFile(folders[i] / "fw.bin", std::string(1000 * (i + 1), 'x'));
    runs.emplace_back([&, i] {
      EXPECT_EQ(RunTool(folders[i].path(), {"fw.bin", dir / "top.ucf", "c" + std::to_string(i) + "_"}).status, 0);
    });
  }
  for (std::thread& t : runs) t.join();
  const std::string ucf = ReadFile(dir / "top.ucf");
  for (int i = 0; i < 16; ++i) {
    EXPECT_NE(ucf.find("INST \"c" + std::to_string(i) + "_00\" INIT_00"), std::string::npos) << i;
  }
}

// A UCF given as /dev/stdin, through /proc's links, whose sizes are wrong.
TEST_F(Edges, TakesAUcfOnStandardInputFromALongPath) {
  static const std::string kDeep = std::string(100, 'd') + "/top.ucf";
  ::mkdir((dir / std::string(100, 'd')).c_str(), 0755);
  WriteFile(dir / kDeep, kTopUcf);
  RunOptions from_file;
  from_file.in_child = [] { ::dup2(::open(kDeep.c_str(), O_RDWR), 0); };
  ToolResult r = Run({"fw.bin", "/dev/stdin", "rom"}, from_file);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / kDeep), kTopNew);
}

TEST_F(Edges, UpdatesAUcfOfTheLongestName) {
  // Either side of the length that leaves no room for the name beside.
  for (std::size_t length : {229, 230, 255}) {
    const std::string name = std::string(length - 4, 'u') + ".ucf";
    WriteFile(dir / name, kTopUcf);
    ToolResult r = Run({"fw.bin", name, "rom"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir / name), kTopNew);
    EXPECT_TRUE(Beside(dir.path()).empty());
  }
}

TEST_F(Edges, WorksInAFolderDeeperThanPathMax) {
  // Made a folder at a time: no path that long can be opened.
  const std::string step(200, 'd');
  std::string deep = dir.path();
  int fd = ::open(dir.path().c_str(), O_DIRECTORY);
  for (; deep.size() <= 4200; deep += "/" + step) {
    ::mkdirat(fd, step.c_str(), 0755);
    int next = ::openat(fd, step.c_str(), O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  for (const char* name : {"top.ucf", "fw.bin"}) {
    ::linkat(AT_FDCWD, (dir / name).c_str(), fd, name, 0);
  }
  ToolResult r = RunTool(deep, {"fw.bin", "top.ucf", "rom"});
  EXPECT_EQ(r.status, 0) << r.out;
  char got[256];
  int ucf = ::openat(fd, "top.ucf", O_RDONLY);
  EXPECT_EQ(std::string(got, std::max<ssize_t>(::read(ucf, got, sizeof got), 0)), kTopNew);
  ::close(ucf);
  ::close(fd);
  // rm copes with a depth that std::filesystem does not.
  EXPECT_EQ(std::system(("rm -rf " + dir / step).c_str()), 0);
}

TEST_F(Edges, NothingLeftBehindWhenKilledOrOutOfDescriptors) {
  // Bin, UCF and the UCF's turn take the last three descriptors the limit
  // allows. (A sanitizer's runtime needs some of its own, to check memory.)
  RunOptions few;
  few.in_child = [] {
    for (int fd = 3; fd < 61; ++fd) ::dup2(0, fd);
    struct rlimit limit = {64, 64};
    ::setrlimit(RLIMIT_NOFILE, &limit);
  };
#ifndef __SANITIZE_ADDRESS__
  ToolResult r = Run({"fw.bin", "top.ucf", "rom"}, few);
  EXPECT_EQ(AfterBanner(r.out), "can't open file tempucf.ucf");
  EXPECT_FALSE(Exists(dir / "tempucf.ucf"));
#endif

  // Killed while copying to a UCF on another file system: the copy has no
  // name but in the moment between its link and its rename, and what that
  // leaves the next run removes.
  ScratchDir shm("/dev/shm");
  WriteFile(dir / "fw.bin", std::string(8 << 20, '\x5a'));
  KillAlongTheRun(shm / "top.ucf", 5000, 100000, [&](int us) {
    if (!Beside(shm.path()).empty()) {
      EXPECT_EQ(Run({"fw.bin", shm / "top.ucf", "rom"}).status, 0);
    }
    std::vector<std::string> left;
    for (auto& entry : std::filesystem::directory_iterator(shm.path())) {
      left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left, std::vector<std::string>{"top.ucf"}) << "killed after " << us << " us";
  });
}

}  // namespace
}  // namespace romseed
