// The run against files in memory: the order of its calls, and every way
// they can fail.
#include "romseed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>

#include "fake_os.h"
#include "memory_io.h"

// The fake system's first token, which ends the first name beside a UCF;
// a copy on another file system gets the second, as the move drew the first.
#define TOKEN "0000000000000001"
#define COPY_TOKEN "0000000000000002"

namespace romseed {
namespace {

const std::string kUcf = "NET a;\nINST \"rom00\" X;\n";
const std::string kNew = "NET a;\nINST \"rom00\" INIT_00 = " + std::string(60, '0') + "3412;\n";

class RunTest : public testing::Test {
 protected:
  // Runs on fw.bin and the UCF at `ucf`, made unless there; keeps what was
  // printed.
  int Run(const std::string& ucf = "top.ucf", const std::string& name = "rom") {
    if (!fake.files.count("fw.bin")) fake.Put("fw.bin", "\x12\x34");
    if (!fake.files.count(ucf)) fake.Put(ucf, kUcf);
    StringSink out, errors;
    int status = Main({"romseed", "fw.bin", ucf, name}, fake, out, errors);
    printed = out.data;
    errors_printed = errors.data;
    return status;
  }
  std::string Message() const { return printed.substr(printed.rfind('\n') + 1); }
  // The calls of `order` were made in that order.
  void ExpectOrder(const std::vector<std::string>& order) {
    auto at = fake.calls.begin();
    for (const std::string& call : order) {
      at = std::find(at, fake.calls.end(), call);
      ASSERT_NE(at, fake.calls.end()) << call << " in that order";
    }
  }

  // Runs the case of a refused run below, on the UCF at `ucf`.
  void ExpectRefused(const struct Refusal& c, const std::string& ucf = "top.ucf");

  FakeOs fake;
  std::string component;  // for ExpectRefused
  std::string printed, errors_printed;
};

TEST_F(RunTest, MakesTheContentDurableBeforeItTakesTheUcfsPlace) {
  ASSERT_EQ(Run(), 0) << printed;
  // The UCF's permissions before the flush; the check that the UCF is as it
  // was read right before the rename; the folder after.
  // Beside the UCF first, and only then its permissions.
  ExpectOrder({"lock top.ucf", "create tempucf.ucf", "lock tempucf.ucf",
               "move tempucf.ucf .romseed-top.ucf." TOKEN, "syncdir tempucf.ucf",
               "chmod tempucf.ucf", "sync tempucf.ucf",
               "stat top.ucf", "rename .romseed-top.ucf." TOKEN " top.ucf", "syncdir top.ucf"});
  EXPECT_EQ(fake.files["top.ucf"]->data, kNew);
  EXPECT_EQ(fake.Paths(), (std::set<std::string>{"fw.bin", "top.ucf"}));

  // Across file systems the content goes through a copy beside the UCF,
  // nameless until it is renamed where the file system allows; the working
  // file stays private.
  for (bool nameless : {false, true}) {
    fake = FakeOs();
    fake.nameless = nameless;
    ASSERT_EQ(Run("ext/top.ucf"), 0) << printed;
    const std::string copy = nameless ? "nameless" : "ext/.romseed-top.ucf." COPY_TOKEN;
    ExpectOrder({"write " + copy, "remove tempucf.ucf", "chmod " + copy, "sync " + copy,
                 "stat ext/top.ucf", "rename ext/.romseed-top.ucf." COPY_TOKEN " ext/top.ucf",
                 "syncdir ext/top.ucf"});
    if (nameless) {
      ExpectOrder({"sync nameless", "move nameless ext/.romseed-top.ucf." COPY_TOKEN,
                   "rename ext/.romseed-top.ucf." COPY_TOKEN " ext/top.ucf"});
    }
    EXPECT_EQ(fake.At("chmod tempucf.ucf"), fake.calls.size());
    EXPECT_EQ(fake.files["ext/top.ucf"]->data, kNew);
    EXPECT_EQ(fake.Paths(), (std::set<std::string>{"ext/top.ucf", "fw.bin"}));
  }

  // Another file took the working file's name before the move: it stays
  // theirs, and the content goes by a copy of the file the run wrote.
  fake = FakeOs();
  int resolved = 0;
  fake.meanwhile = [&](const std::string& call) {
    if (call == "resolve top.ucf" && ++resolved == 2) fake.Put("tempucf.ucf", "theirs");
  };
  ASSERT_EQ(Run(), 0) << printed;
  EXPECT_EQ(fake.files["top.ucf"]->data, kNew);
  EXPECT_EQ(fake.files["tempucf.ucf"]->data, "theirs");

  // Without the system's random source, a token of the same form, from
  // the clock, is drawn for each name.
  fake = FakeOs();
  fake.random = false;
  ASSERT_EQ(Run(), 0) << printed;
  const auto moved = std::find_if(fake.calls.begin(), fake.calls.end(),
                                  [](const std::string& c) { return c.rfind("move tempucf.ucf ", 0) == 0; });
  ASSERT_NE(moved, fake.calls.end());
  EXPECT_TRUE(std::regex_match(*moved, std::regex("move tempucf.ucf .romseed-top.ucf.[0-9a-f]{16}")));

  // From another folder: that folder's names are made durable too.
  fake = FakeOs();
  fake.folders = true;
  ASSERT_EQ(Run("sub/top.ucf"), 0) << printed;
  ExpectOrder({"move tempucf.ucf sub/.romseed-top.ucf." TOKEN, "rename sub/.romseed-top.ucf." TOKEN " sub/top.ucf",
               "syncdir sub/top.ucf", "syncdir tempucf.ucf"});
}

TEST_F(RunTest, EveryFailureKeepsTheUcfAndLeavesNothingBehind) {
  const std::string cant_replace = "can't replace ucf file ext/top.ucf";
  struct Case {
    std::string ucf, fail, message;
    bool nameless = false;
    int nth = 1;
  } cases[] = {
      {"top.ucf", "open fw.bin", "can't open binary file fw.bin"},
      {"top.ucf", "open top.ucf", "can't open ucf file top.ucf"},
      {"top.ucf", "lock top.ucf", "can't open ucf file top.ucf", false, 0},
      {"top.ucf", "create tempucf.ucf", "can't open file tempucf.ucf"},
      {"top.ucf", "lock tempucf.ucf", "can't open file tempucf.ucf", false, 0},
      {"top.ucf", "read top.ucf", "can't read ucf file top.ucf"},
      {"top.ucf", "read fw.bin", "can't read binary file fw.bin"},
      {"top.ucf", "write tempucf.ucf", "can't write file tempucf.ucf"},
      {"top.ucf", "sync tempucf.ucf", "can't write file tempucf.ucf"},
      {"top.ucf", "resolve top.ucf", "can't replace ucf file top.ucf", false, 2},
      {"top.ucf", "chmod tempucf.ucf", "can't replace ucf file top.ucf"},
      // Only a move across file systems takes the way through a copy.
      {"top.ucf", "move tempucf.ucf .romseed-top.ucf." TOKEN, "can't replace ucf file top.ucf"},
      {"top.ucf", "rename .romseed-top.ucf." TOKEN " top.ucf", "can't replace ucf file top.ucf"},
      // Opened again with the turn, for its permissions, and (a UCF with
      // whole-second times) for its content, to compare.
      {"top.ucf", "open top.ucf", "can't open ucf file top.ucf", false, 2},
      {"top.ucf", "open top.ucf", "can't replace ucf file top.ucf", false, 3},
      {"top.ucf", "open top.ucf", "can't replace ucf file top.ucf", false, 4},
      {"ext/top.ucf", "create ext/.romseed-top.ucf." COPY_TOKEN, cant_replace},
      {"ext/top.ucf", "read tempucf.ucf", cant_replace},
      {"ext/top.ucf", "write ext/.romseed-top.ucf." COPY_TOKEN, cant_replace},
      {"ext/top.ucf", "sync ext/.romseed-top.ucf." COPY_TOKEN, cant_replace},
      {"ext/top.ucf", "remove tempucf.ucf", cant_replace},
      {"ext/top.ucf", "chmod ext/.romseed-top.ucf." COPY_TOKEN, cant_replace},
      {"ext/top.ucf", "rename ext/.romseed-top.ucf." COPY_TOKEN " ext/top.ucf", cant_replace},
      {"ext/top.ucf", "move nameless ext/.romseed-top.ucf." COPY_TOKEN, cant_replace, true},
      {"ext/top.ucf", "rename ext/.romseed-top.ucf." COPY_TOKEN " ext/top.ucf", cant_replace, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    fake = FakeOs();
    fake.fail = c.fail;
    fake.fail_nth = c.nth;
    fake.fail_always = c.nth == 0;  // a lock is tried again before the run gives up
    fake.nameless = c.nameless;
    EXPECT_EQ(Run(c.ucf), 1);
    EXPECT_EQ(Message(), c.message);
    const std::string said = "romseed: " + c.message + ": injected failure\n";
    EXPECT_EQ(errors_printed.substr(errors_printed.size() - std::min(said.size(), errors_printed.size())), said);
    EXPECT_EQ(fake.files[c.ucf]->data, kUcf);
    EXPECT_EQ(fake.Paths(), (std::set<std::string>{c.ucf, "fw.bin"}));
    // After the failure, nothing but cleaning up, once sure what is the run's.
    auto call = fake.calls.begin() - 1;
    for (int n = 0; n < std::max(c.nth, 1); ++n) call = std::find(call + 1, fake.calls.end(), c.fail);
    ASSERT_NE(call, fake.calls.end());
    while (++call != fake.calls.end()) {
      EXPECT_TRUE(call->rfind("remove ", 0) == 0 || call->rfind("stat ", 0) == 0) << *call;
    }
  }
}

// Each case sets the files up and says how the run is refused: its message,
// the reason added on standard error, and whether that comes before any file
// is made. The UCF keeps `kept`, and no file comes or goes.
struct Refusal {
  std::string message;
  std::function<void()> setup;
  std::string reason = "";
  bool early = false;
  std::string kept = kUcf;
};

void RunTest::ExpectRefused(const Refusal& c, const std::string& ucf) {
  SCOPED_TRACE(c.message + c.reason);
  fake = FakeOs();
  component = "rom";
  fake.Put("fw.bin", "\x12\x34");
  fake.Put(ucf, kUcf);
  c.setup();
  const std::set<std::string> before = fake.Paths();
  const std::string left = fake.files.count("tempucf.ucf") ? fake.files["tempucf.ucf"]->data : "";
  EXPECT_EQ(Run(ucf, component), 1);
  EXPECT_EQ(Message(), c.message);
  // Preceded, where the filter ran, by the line of the component it dropped.
  const std::string said = "romseed: " + c.message + c.reason + "\n";
  EXPECT_TRUE(errors_printed == said ||
              errors_printed == "romseed: dropped line 2: INST \"rom00\" X;\n" + said)
      << errors_printed;
  EXPECT_EQ(fake.files[ucf]->data, c.kept);
  EXPECT_EQ(fake.Paths(), before);
  if (before.count("tempucf.ucf")) {
    EXPECT_EQ(fake.files["tempucf.ucf"]->data, left);
  }
  EXPECT_EQ(fake.At("open tempucf.ucf") == fake.calls.size() &&
                fake.At("create tempucf.ucf") == fake.calls.size(),
            c.early);
}

TEST_F(RunTest, RefusesWhatWouldDestroyAFile) {
  const std::string working = "can't open file tempucf.ucf";
  const Refusal cases[] = {
      {"invalid component name ", [&] { component = ""; }, "", true},
      {"ucf file top.ucf is read-only", [&] { fake.files["top.ucf"]->info.read_only = true; }, "", true},
      {"binary file fw.bin is the ucf file top.ucf",
       [&] { fake.files["fw.bin"] = fake.files["top.ucf"]; }, "", true},
      {"standard output is the working file tempucf.ucf",
       [&] { fake.stdout_id = fake.Put("tempucf.ucf", "banner")->info.id; }, "", true},
      {"ucf file top.ucf is not a text file",
       [&] { fake.files["top.ucf"]->data = std::string("NET a;\0\n", 8); }, "", false,
       std::string("NET a;\0\n", 8)},
      {working, [&] { fake.Put("tempucf.ucf", "another user's")->info.mine = false; },
       ": it belongs to another user"},
      {working, [&] { fake.Put("tempucf.ucf", "")->info.regular = false; }, ": not a regular file"},
      // What the run ahead left in the UCF's place is no file (a pipe, say).
      {"can't open ucf file top.ucf",
       [&] {
         fake.meanwhile = [&](const std::string& call) {
           if (call == "lock top.ucf") fake.files["top.ucf"]->info.regular = false;
         };
       },
       ": not a regular file", true},
      {working,
       [&] {
         fake.Put("tempucf.ucf", "left");
         fake.fail = "remove tempucf.ucf";
       },
       ": injected failure"},
      // Other runs move it away each time this one has the lock.
      {working,
       [&] {
         fake.Put("tempucf.ucf", "");
         fake.meanwhile = [&](const std::string& call) {
           if (call == "lock tempucf.ucf") fake.Put("tempucf.ucf", "");
         };
       },
       ": other runs kept moving it or taking it"},
      // A write fails while the UCF is still being read.
      {"can't write file tempucf.ucf",
       [&] {
         fake.files["top.ucf"]->data = std::string(100000, '\n');
         fake.fail = "write tempucf.ucf";
       },
       ": injected failure", false, std::string(100000, '\n')},
  };
  for (const Refusal& c : cases) ExpectRefused(c);

  // Standard error into the UCF: nothing goes there, not even why.
  fake = FakeOs();
  fake.stderr_id = fake.Put("top.ucf", kUcf)->info.id;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Message(), "standard error is the ucf file top.ucf");
  EXPECT_EQ(errors_printed, "");
  EXPECT_EQ(fake.Paths(), (std::set<std::string>{"fw.bin", "top.ucf"}));
}

TEST_F(RunTest, KeepsASaveMadeDuringTheRun) {
  // Someone saves the UCF while the run is at `call`: in place or by renaming
  // a new file over it, changing its size, its time or neither.
  auto saved_at = [&](const std::string& call, const std::string& ucf, bool renamed,
                      const std::string& data, std::int64_t mtime) {
    fake.meanwhile = [=, done = false](const std::string& now) mutable {
      if (done || now != call) return;
      done = true;
      FileInfo info = fake.files[ucf]->info;
      if (renamed) info.id = fake.Put(ucf, data)->info.id;
      fake.files[ucf]->data = data;
      fake.files[ucf]->info = info;
      fake.files[ucf]->info.mtime = mtime;
    };
  };
  const std::string saved = "NET b;\nINST \"rom00\" X;\n", longer = "NET bb;\n";
  const std::string changed = "ucf file top.ucf changed during the run";
  const Refusal cases[] = {
      {changed, [&] { saved_at("sync tempucf.ucf", "top.ucf", false, saved, 1); }, "", false, saved},
      {changed, [&] { saved_at("resolve top.ucf", "top.ucf", true, saved, 0); }, "", false, saved},
      {changed, [&] { saved_at("resolve top.ucf", "top.ucf", false, longer, 0); }, "", false, longer},
      // In place, of the same size, with times fine enough that its content
      // is not hashed: only the time tells.
      {changed,
       [&] {
         fake.files["top.ucf"]->info.mtime = 5;
         saved_at("sync tempucf.ucf", "top.ucf", false, saved, 6);
       },
       "", false, saved},
      // By rename, of the same size and time to the nanosecond: only the
      // file's identity tells.
      {changed,
       [&] {
         fake.files["top.ucf"]->info.mtime = 1;
         saved_at("resolve top.ucf", "top.ucf", true, saved, 1);
       },
       "", false, saved},
      // Where times have a grain of a second, a save of the same size
      // within the same second shows in the content alone.
      {changed,
       [&] {
         fake.files["top.ucf"]->info.mtime = 2000000000;
         saved_at("sync tempucf.ucf", "top.ucf", false, saved, 2000000000);
       },
       "", false, saved},
      // After the last look, as the names are swapped: swapped back.
      {changed,
       [&] {
         fake.exchange = true;
         saved_at("exchange .romseed-top.ucf." TOKEN " top.ucf", "top.ucf", false, saved, 1);
       },
       "", false, saved},
  };
  for (const Refusal& c : cases) ExpectRefused(c);
  ExpectRefused({"ucf file ext/top.ucf changed during the run",
                 [&] { saved_at("sync ext/.romseed-top.ucf." COPY_TOKEN, "ext/top.ucf", false, saved, 1); }, "",
                 false, saved},
                "ext/top.ucf");
}

TEST_F(RunTest, ReplacesWhatAKilledRunLeftBehind) {
  // Beside the UCF, what a killed run leaves at a name of a run's form goes:
  // as made, private; with any part of the UCF's owner and mode; the old UCF
  // swapped out, with a second name. So does its working file, a second name
  // of one of them. Names of another form, and what no run makes, stay.
  struct Left {
    std::string name;
    void (*as)(FileInfo*);
    bool goes;
  } left[] = {
      {".romseed-top.ucf.0123456789abcdef", [](FileInfo*) {}, true},
      {".romseed-top.ucf.00000000000000aa", [](FileInfo* i) { i->mine = false; }, true},
      {".romseed-top.ucf.00000000000000bb", [](FileInfo* i) { i->mine = false, i->read_only = true; }, true},
      {".romseed-top.ucf.00000000000000cc", [](FileInfo* i) { i->regular = false; }, false},
      {".romseed-top.ucf.00000000000000zz", [](FileInfo*) {}, false},
      {".romseed-top.ucf.00000000000000AA", [](FileInfo*) {}, false},
      {".romseed-top.ucf.0123456789abcdef0", [](FileInfo*) {}, false},
      {".romseed-top.ucf", [](FileInfo*) {}, false},
      {".romseed-top.ucf.bak.0123456789abcdef", [](FileInfo*) {}, false},
      {"sub/.romseed-top.ucf.0123456789abcdef", [](FileInfo*) {}, false},
  };
  for (const Left& l : left) l.as(&fake.Put(l.name, "left")->info);
  fake.files["tempucf.ucf"] = fake.files[left[0].name];
  ASSERT_EQ(Run(), 0) << printed;
  ExpectOrder({"lock top.ucf", "remove " + left[0].name, "open tempucf.ucf", "lock tempucf.ucf",
               "remove tempucf.ucf", "create tempucf.ucf", "rename .romseed-top.ucf." TOKEN " top.ucf"});
  EXPECT_EQ(fake.files["top.ucf"]->data, kNew);
  for (const Left& l : left) EXPECT_EQ(fake.files.count(l.name), l.goes ? 0u : 1u) << l.name;
  EXPECT_EQ(fake.files.count("tempucf.ucf"), 0u);

  // The longest UCF name that still stands beside it whole; and a read-only
  // UCF, which no run changes, keeps what stands beside it.
  for (bool read_only : {false, true}) {
    fake = FakeOs();
    const std::string ucf = std::string(225, 'u') + ".ucf", leftover = FakeOs::Beside(ucf, 9);
    fake.Put(ucf, kUcf)->info.read_only = read_only;
    fake.Put(leftover, "left");
    EXPECT_EQ(Run(ucf), read_only ? 1 : 0) << printed;
    EXPECT_EQ(fake.files.count(leftover), read_only ? 1u : 0u);
  }
}

TEST_F(RunTest, WarnsOfDroppedLinesThatAreNotItsStatements) {
  // A run's own statements go without a word; another component's whose
  // name begins with this one, or a constraint in quotes, are listed whole,
  // as met, to be pasted back.
  const std::string ours = "INST \"rom0a\" INIT_0F = " + std::string(64, 'F') + ";\r\n";
  const std::string keep =
      "romseed: to keep a constraint of rom's instances, write it where no run drops it: without "
      "quotes (INST rom00 LOC = ...;), or on the instance path with a wildcard, or in an AREA_GROUP\n";
  auto one = [&](const std::string& listed) {
    return "romseed: dropped line 1: " + listed +
           "\nromseed: warning: dropped 1 line that is not an INIT statement of this component "
           "(line 1, above)\n" + keep;
  };
  const std::string init = "INST \"rom\" INIT_00 = " + std::string(64, '0') + ";";
  const std::string initp = "INST \"rom\" INITP_00 = " + std::string(64, '0') + ";";
  const std::string after = "\n# " + std::string(120, 'x') + "\n";
  // Longer than a read, its carriage return the read's last byte.
  const std::string longest = "INST \"rom00\" LOC = " + std::string(65535 - 19, 'x');
  struct Case {
    std::string ucf, warning;
  } cases[] = {
      {kNew + ours, ""},
      {kNew + "INST \"rom0\" INITP_07 = " + std::string(64, '0') + ";\n", ""},
      {"NET a;\n" + ours + "INST \"rom_hi00\" INIT_00 = " + std::string(64, '0') + ";\nINST \"rom00\" X;",
       "romseed: dropped line 3: INST \"rom_hi00\" INIT_00 = " + std::string(64, '0') + ";\n"
       "romseed: dropped line 4: INST \"rom00\" X;\n"
       "romseed: warning: dropped 2 lines that are not this component's INIT statements (listed "
       "above, the first at line 3)\n"
       "romseed: another component's name begins with rom: rename the components so that no "
       "name begins another (boot_rom and char_rom, not rom and rom_hi), and run each again\n"},
      {"INST \"rom00\" LOC\r= RAMB4\x1a;\n", one("INST \"rom00\" LOC\\r= RAMB4\\x1a;")},
      // Named the component itself, no block number: not a statement of the
      // tool's, at the end or with a line after it (which a statement's end
      // is found in without a search).
      {init + "\n", one(init)},
      {init + after, one(init)},
      {initp + after, one(initp)},
      {"INST \"rom00\" LOC = RAMB4_R0C0;\n", one("INST \"rom00\" LOC = RAMB4_R0C0;")},
      {longest + "\r\nNET b;\n", one(longest)},
  };
  for (const Case& c : cases) {
    fake = FakeOs();
    fake.Put("top.ucf", c.ucf);
    EXPECT_EQ(Run(), 0) << printed;
    EXPECT_EQ(errors_printed, c.warning);
  }

  // A binary that is empty, or text of another format, is written all the same.
  fake = FakeOs();
  fake.Put("fw.bin", "");
  fake.Put("top.ucf", kNew);
  EXPECT_EQ(Run(), 0) << printed;
  EXPECT_EQ(errors_printed, "romseed: warning: fw.bin holds no data: rom is left with no statements\n");
  fake = FakeOs();
  fake.Put("fw.bin", ":00000001FF\n");
  fake.Put("top.ucf", "NET a;\n");
  EXPECT_EQ(Run(), 0) << printed;
  EXPECT_EQ(errors_printed,
            "romseed: warning: fw.bin looks like Intel HEX text, whose characters became the "
            "statements' bytes: convert it first: objcopy -I ihex -O binary IN OUT\n");
  // With options: a word file whose address leaves most of its image empty;
  // RAMB8BWER, whose contents need a BitGen option; an empty word file,
  // which adds nothing, not even a line end.
  const struct {
    std::string option, value, fw, ucf, said;
  } runs[] = {
      {"-w", "8", "0 @3fffff 1\n", "NET a;\n",
       "romseed: warning: fw.bin gives 2 words, but its word at @3fffff makes an image of 4194304 "
       "words, the rest zeros: 131072 statements\n"},
      {"-p", "ramb8bwer", "\x12", "NET a;\n",
       "romseed: notice: RAMB8BWER contents take effect only with BitGen's -g INIT_9K:Yes (ISE 13.2 "
       "and later)\n"},
      {"-w", "8", "// none yet\n", "NET a;",
       "romseed: top.ucf already holds these statements\n"
       "romseed: warning: fw.bin holds no data: rom is left with no statements\n"},
  };
  for (const auto& r : runs) {
    fake = FakeOs();
    fake.Put("fw.bin", r.fw);
    fake.Put("top.ucf", r.ucf);
    StringSink out, errors;
    EXPECT_EQ(Main({"romseed", r.option, r.value, "fw.bin", "top.ucf", "rom"}, fake, out, errors), 0);
    EXPECT_EQ(errors.data, r.said);
    if (r.fw[0] == '/') {
      EXPECT_EQ(fake.files["top.ucf"]->data, r.ucf);
    }
  }
}

TEST_F(RunTest, SaysWhenItWaitsForAnotherRun) {
  fake.Put("top.ucf", "NET a;\n");
  fake.Put("tempucf.ucf", "");
  fake.busy = {"top.ucf", "tempucf.ucf"};
  ASSERT_EQ(Run(), 0) << printed;
  EXPECT_EQ(errors_printed,
            "romseed: waiting for another run on top.ucf\n"
            "romseed: waiting for another run on tempucf.ucf\n");
}

// The run ahead replaced the UCF while this one looked for its turn: the
// turn is looked for anew, at the new UCF, without a word.
TEST_F(RunTest, TakesItsTurnAtTheUcfThatTheRunAheadLeft) {
  int locks = 0;
  fake.meanwhile = [&](const std::string& call) {
    if (call == "lock top.ucf" && ++locks == 1) fake.files.erase("top.ucf");
    if (call == "open top.ucf" && !fake.files.count("top.ucf")) fake.Put("top.ucf", "NET b;\n");
  };
  ASSERT_EQ(Run(), 0) << printed;
  EXPECT_EQ(errors_printed, "");
  EXPECT_EQ(fake.files["top.ucf"]->data.substr(0, 7), "NET b;\n");
}

TEST_F(RunTest, AnExceptionEndsTheRunWithAMessage) {
  fake.raise = "read fw.bin";
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Message(), "romseed: injected failure");
  EXPECT_EQ(errors_printed, "romseed: dropped line 2: INST \"rom00\" X;\nromseed: injected failure\n");
  EXPECT_EQ(fake.Paths(), (std::set<std::string>{"fw.bin", "top.ucf"}));
}

}  // namespace
}  // namespace romseed
