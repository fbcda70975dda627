// The run against files in memory: the order of its calls, and every way
// they can fail.
#include "romseed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "memory_io.h"

namespace romseed {
namespace {

// Files in memory behind the platform interface. Every call is recorded as
// "verb path", a run of equal calls once, and then handed to `meanwhile`; the
// `fail_nth` call equal to `fail` fails, one equal to `raise` throws, and with
// `cross_device` a rename from one folder into another fails as one across
// file systems does.
class FakePlatform : public Platform {
 public:
  struct Node {
    std::string data;
    FileInfo info;
  };

  class File : public OutputFile {
   public:
    File(FakePlatform* fake, std::string name) : fake_(fake), name_(name), node_(fake->files[name]) {}
    bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
      *got = std::min(n, node_->data.size() - std::min(pos_, node_->data.size()));
      std::memcpy(p, node_->data.data() + pos_, *got);
      pos_ += *got;
      return fake_->Call("read " + name_);
    }
    bool Write(const unsigned char* p, std::size_t n) override {
      node_->data.replace(pos_, n, reinterpret_cast<const char*>(p), n);
      pos_ += n;
      return fake_->Call("write " + name_);
    }
    bool TakeOver() override {
      if (!fake_->Call("takeover " + name_)) return false;
      fake_->Put(name_, "");
      node_ = fake_->files[name_];
      return true;
    }
    void TakePermissions(const FileInfo& ucf) override {
      node_->info.mode = ucf.mode;
      fake_->Call("chmod " + name_);
    }
    bool Sync() override { return fake_->Call("sync " + name_); }
    bool Rewind() override { return (pos_ = 0) == 0; }
    bool MoveTo(const std::string& target, bool* cross_device) override {
      bool ok = fake_->Call("rename " + name_ + " " + target);
      *cross_device = ok && fake_->cross_device && Folder(name_) != Folder(target);
      if (!ok || *cross_device) return false;
      fake_->files[target] = node_;
      return fake_->files.erase(name_);
    }
    bool Remove() override { return fake_->Call("remove " + name_) && fake_->files.erase(name_); }

   private:
    FakePlatform* fake_;
    std::string name_;
    std::shared_ptr<Node> node_;
    std::size_t pos_ = 0;
  };

  class Input : public InputFile {
   public:
    Input(FakePlatform* fake, const std::string& name)
        : InputFile(fake->Info(name)), file_(fake, name) {}
    bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
      return file_.Read(p, n, got);
    }

   private:
    File file_;
  };

  static std::string Folder(const std::string& path) {
    return path.substr(0, path.find_last_of('/') + 1);
  }
  void Put(const std::string& path, const std::string& data) {
    files[path] = std::make_shared<Node>(Node{data, {}});
    files[path]->info.id = {1, ++made_, true};
  }
  FileInfo Info(const std::string& path) {
    FileInfo info = files[path]->info;
    info.size = files[path]->data.size();
    return info;
  }
  std::set<std::string> Paths() const {
    std::set<std::string> paths;
    for (const auto& entry : files) paths.insert(entry.first);
    return paths;
  }
  bool Call(const std::string& call) {
    if (calls.empty() || calls.back() != call) calls.push_back(call);
    if (meanwhile) meanwhile(call);
    if (call == raise) throw std::runtime_error("injected failure");
    return call != fail || --fail_nth != 0;
  }

  bool OpenInput(const std::string& path, std::unique_ptr<InputFile>* file) override {
    if (!Call("open " + path) || !files.count(path)) return false;
    *file = std::make_unique<Input>(this, path);
    return true;
  }
  bool OpenUcf(const std::string& path, std::unique_ptr<InputFile>* file) override {
    if (!Call("lock " + path) || !files.count(path)) return false;
    *file = std::make_unique<Input>(this, path);
    return true;
  }
  bool OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file,
                       bool* made) override {
    if (!Call("work " + name)) return false;
    *made = !files.count(name);
    if (*made) Put(name, "");
    *file = std::make_unique<File>(this, name);
    return true;
  }
  FileId StandardOutputId() override { return stdout_id; }
  bool Stat(const std::string& path, FileInfo* info) override {
    if (!Call("stat " + path) || !files.count(path)) return false;
    *info = Info(path);
    return true;
  }
  bool ResolvePath(const std::string& path, std::string* target) override {
    *target = path;
    return Call("resolve " + path);
  }
  bool CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) override {
    const std::string name = Folder(target) + ".romseed-1";
    if (!Call("create " + name)) return false;
    Put(name, "");
    *file = std::make_unique<File>(this, name);
    return true;
  }
  bool SyncFolder(const std::string& path) override { return Call("syncdir " + path); }

  std::map<std::string, std::shared_ptr<Node>> files;
  std::vector<std::string> calls;
  std::function<void(const std::string&)> meanwhile;
  std::string fail, raise;
  int fail_nth = 1;
  bool cross_device = true;
  FileId stdout_id;

 private:
  std::uint64_t made_ = 0;
};

const std::string kUcf = "NET a;\nINST \"rom00\" X;\n";
const std::string kNew = "NET a;\nINST \"rom00\" INIT_00 = " + std::string(60, '0') + "3412;\n";

class RunTest : public testing::Test {
 protected:
  // Runs on fw.bin and the UCF at `ucf`, made unless there; keeps what was
  // printed.
  int Run(const std::string& ucf = "top.ucf", const std::string& name = "rom") {
    if (!fake.files.count("fw.bin")) fake.Put("fw.bin", "\x12\x34");
    if (!fake.files.count(ucf)) fake.Put(ucf, kUcf);
    StringSink out;
    int status = Main({"romseed", "fw.bin", ucf, name}, fake, out);
    printed = out.data;
    return status;
  }
  std::string Message() const { return printed.substr(printed.rfind('\n') + 1); }
  std::vector<std::string> Calls(const std::string& ucf, std::vector<std::string> replace) {
    std::vector<std::string> calls = {
        "open fw.bin", "lock " + ucf, "stat tempucf.ucf", "work tempucf.ucf", "read " + ucf,
        "read fw.bin",
        "write tempucf.ucf", "sync tempucf.ucf", "resolve " + ucf, "stat " + ucf,
        "chmod tempucf.ucf", "rename tempucf.ucf " + ucf};
    calls.insert(calls.end(), replace.begin(), replace.end());
    return calls;
  }

  FakePlatform fake;
  std::string printed;
};

TEST_F(RunTest, MakesTheContentDurableBeforeItTakesTheUcfsPlace) {
  ASSERT_EQ(Run(), 0) << printed;
  EXPECT_EQ(fake.calls, Calls("top.ucf", {"syncdir top.ucf"}));
  EXPECT_EQ(fake.files["top.ucf"]->data, kNew);
  EXPECT_EQ(fake.Paths(), (std::set<std::string>{"fw.bin", "top.ucf"}));

  // Across file systems the content goes through a copy beside the UCF.
  fake = FakePlatform();
  ASSERT_EQ(Run("ext/top.ucf"), 0) << printed;
  EXPECT_EQ(fake.calls,
            Calls("ext/top.ucf",
                  {"create ext/.romseed-1", "read tempucf.ucf", "write ext/.romseed-1",
                   "read tempucf.ucf", "sync ext/.romseed-1", "remove tempucf.ucf",
                   "stat ext/top.ucf", "chmod ext/.romseed-1",
                   "rename ext/.romseed-1 ext/top.ucf", "syncdir ext/top.ucf"}));
  EXPECT_EQ(fake.files["ext/top.ucf"]->data, kNew);
  EXPECT_EQ(fake.Paths(), (std::set<std::string>{"ext/top.ucf", "fw.bin"}));
}

TEST_F(RunTest, EveryFailureKeepsTheUcfAndLeavesNothingBehind) {
  const std::string cant_replace = "can't replace ucf file ext/top.ucf";
  struct Case {
    std::string ucf, fail, message;
  } cases[] = {
      {"top.ucf", "open fw.bin", "can't open binary file fw.bin"},
      {"top.ucf", "lock top.ucf", "can't open ucf file top.ucf"},
      {"top.ucf", "work tempucf.ucf", "can't open file tempucf.ucf"},
      {"top.ucf", "read top.ucf", "can't read ucf file top.ucf"},
      {"top.ucf", "read fw.bin", "can't read binary file fw.bin"},
      {"top.ucf", "write tempucf.ucf", "can't write file tempucf.ucf"},
      {"top.ucf", "sync tempucf.ucf", "can't write file tempucf.ucf"},
      {"top.ucf", "resolve top.ucf", "can't replace ucf file top.ucf"},
      // Only a rename across file systems takes the way through a copy.
      {"top.ucf", "rename tempucf.ucf top.ucf", "can't replace ucf file top.ucf"},
      {"ext/top.ucf", "rename tempucf.ucf ext/top.ucf", cant_replace},
      {"ext/top.ucf", "create ext/.romseed-1", cant_replace},
      {"ext/top.ucf", "read tempucf.ucf", cant_replace},
      {"ext/top.ucf", "write ext/.romseed-1", cant_replace},
      {"ext/top.ucf", "sync ext/.romseed-1", cant_replace},
      {"ext/top.ucf", "remove tempucf.ucf", cant_replace},
      {"ext/top.ucf", "rename ext/.romseed-1 ext/top.ucf", cant_replace},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    fake = FakePlatform();
    fake.fail = c.fail;
    EXPECT_EQ(Run(c.ucf), 1);
    EXPECT_EQ(Message(), c.message);
    EXPECT_EQ(fake.files[c.ucf]->data, kUcf);
    EXPECT_EQ(fake.Paths(), (std::set<std::string>{c.ucf, "fw.bin"}));
    // After the failure, nothing but cleaning up.
    auto call = std::find(fake.calls.begin(), fake.calls.end(), c.fail);
    ASSERT_NE(call, fake.calls.end());
    while (++call != fake.calls.end()) EXPECT_EQ(call->rfind("remove ", 0), 0u) << *call;
  }
}

TEST_F(RunTest, RefusesWhatWouldDestroyOrLoseAFile) {
  // Someone saves the UCF while the run is at `call`: in place, its size
  // unchanged, or by renaming a new file over it.
  const std::string saved = "NET b;\nINST \"rom00\" X;\n";
  auto saved_at = [&](const std::string& call, const std::string& ucf, bool renamed) {
    fake.meanwhile = [=, done = false](const std::string& now) mutable {
      if (done || now != call) return;
      done = true;
      if (renamed) fake.Put(ucf, saved);
      fake.files[ucf]->data = saved;
      fake.files[ucf]->info.mtime = 1;
    };
  };
  struct Case {
    std::string message;
    std::function<void()> setup;
    bool early;  // refused before any file is made
    std::string name = "rom", ucf = "top.ucf", kept = kUcf;
  } cases[] = {
      {"invalid component name ", [] {}, true, ""},
      {"ucf file top.ucf is read-only", [&] { fake.files["top.ucf"]->info.read_only = true; }, true},
      {"binary file fw.bin is the ucf file top.ucf",
       [&] { fake.files["fw.bin"] = fake.files["top.ucf"]; }, true},
      {"ucf file top.ucf is not a text file",
       [&] { fake.files["top.ucf"]->data = std::string("NET a;\0\n", 8); }, false, "rom",
       "top.ucf", std::string("NET a;\0\n", 8)},
      {"standard output is the working file tempucf.ucf",
       [&] {
         fake.Put("tempucf.ucf", "banner");
         fake.stdout_id = fake.files["tempucf.ucf"]->info.id;
       },
       true},
      {"can't open file tempucf.ucf",
       [&] {
         fake.Put("tempucf.ucf", "another user's");
         fake.fail = "takeover tempucf.ucf";
       },
       false},
      {"ucf file top.ucf changed during the run", [&] { saved_at("sync tempucf.ucf", "top.ucf", false); },
       false, "rom", "top.ucf", saved},
      {"ucf file top.ucf changed during the run", [&] { saved_at("resolve top.ucf", "top.ucf", true); },
       false, "rom", "top.ucf", saved},
      {"ucf file ext/top.ucf changed during the run",
       [&] { saved_at("sync ext/.romseed-1", "ext/top.ucf", false); }, false, "rom",
       "ext/top.ucf", saved},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    fake = FakePlatform();
    fake.Put("fw.bin", "\x12\x34");
    fake.Put(c.ucf, kUcf);
    c.setup();
    const std::set<std::string> before = fake.Paths();
    const std::string left = fake.files.count("tempucf.ucf") ? fake.files["tempucf.ucf"]->data : "";
    EXPECT_EQ(Run(c.ucf, c.name), 1);
    EXPECT_EQ(Message(), c.message);
    EXPECT_EQ(fake.files[c.ucf]->data, c.kept);
    EXPECT_EQ(fake.Paths(), before);
    if (before.count("tempucf.ucf")) {
      EXPECT_EQ(fake.files["tempucf.ucf"]->data, left);
    }
    const bool made = std::count(fake.calls.begin(), fake.calls.end(), "work tempucf.ucf");
    EXPECT_EQ(made, !c.early);
  }
}

TEST_F(RunTest, ReplacesAWorkingFileLeftBehind) {
  fake.Put("tempucf.ucf", "left by a killed run");
  ASSERT_EQ(Run(), 0) << printed;
  EXPECT_EQ(fake.calls[4], "takeover tempucf.ucf");
  EXPECT_EQ(fake.files["top.ucf"]->data, kNew);
  EXPECT_EQ(fake.Paths(), (std::set<std::string>{"fw.bin", "top.ucf"}));
}

TEST_F(RunTest, AnExceptionEndsTheRunWithAMessage) {
  fake.raise = "read fw.bin";
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Message(), "romseed: injected failure");
  EXPECT_EQ(fake.Paths(), (std::set<std::string>{"fw.bin", "top.ucf"}));
}

}  // namespace
}  // namespace romseed
