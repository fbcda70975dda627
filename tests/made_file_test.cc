// The owner of the files a run makes, driven through its states on files in
// memory: what each way out of a state leaves behind.
#include "made_file.h"

#include <gtest/gtest.h>

#include "fake_os.h"
#include "hex.h"

namespace romseed {
namespace {

const Waiting kNoWait = [] {};

TEST(MadeFile, EachWayOutOfEachStateLeavesOnlyWhatItShould) {
  const std::string first = FakeOs::Beside("top.ucf", 1), second = FakeOs::Beside("top.ucf", 2);
  struct Case {
    const char* what;
    bool exchange, unchanged, taken;  // names can be swapped; the UCF as read; the first name is someone's
    int saves;                        // newer saves, one at each swap back
    MadeFile::Moved moved;
    std::set<std::string> left;
    std::string ucf;  // what top.ucf holds after
  } cases[] = {
      {"renamed over the ucf", false, true, false, 0, MadeFile::Moved::kDone, {"top.ucf"}, "new"},
      {"swapped with the ucf", true, true, false, 0, MadeFile::Moved::kDone, {"top.ucf"}, "new"},
      {"a save kept, no swap", false, false, false, 0, MadeFile::Moved::kChanged, {"top.ucf"}, "old"},
      {"a save swapped back", true, false, false, 0, MadeFile::Moved::kChanged, {"top.ucf"}, "old"},
      // Their newest save where they put it, and nothing at the run's name.
      {"a newer save as it swaps back", true, false, false, 1, MadeFile::Moved::kChanged,
       {"top.ucf"}, "save 2"},
      {"saves that never stop", true, false, false, 99, MadeFile::Moved::kChanged, {"top.ucf"},
       "save 17"},
      {"the next name beside", false, true, true, 0, MadeFile::Moved::kDone, {"top.ucf", first}, "new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeOs fake;
    fake.exchange = c.exchange;
    fake.Put("top.ucf", "old");
    if (c.taken) fake.Put(first, "theirs");
    int exchanges = 0;
    fake.meanwhile = [&](const std::string& call) {
      if (call.compare(0, 9, "exchange ") == 0 && ++exchanges > 1 && exchanges <= c.saves + 1) {
        fake.Put("top.ucf", "save " + std::to_string(exchanges));
      }
    };
    OsError err;
    {
      std::unique_ptr<MadeFile> work = TakeWorkingFile(fake, "tempucf.ucf", &err, kNoWait);
      ASSERT_TRUE(work) << err.reason;
      ASSERT_TRUE(work->file().Write(reinterpret_cast<const unsigned char*>("new"), 3, &err));
      ASSERT_TRUE(work->MoveBeside("top.ucf", &err));
      EXPECT_EQ(fake.files.count("tempucf.ucf"), 0u);
      EXPECT_EQ(fake.files.count(c.taken ? second : first), 1u);
      EXPECT_EQ(work->MoveTo("top.ucf", [&](const std::string&) { return c.unchanged; }, &err), c.moved);
    }  // destroyed: whatever is still the run's goes
    EXPECT_EQ(fake.Paths(), c.left);
    EXPECT_EQ(fake.files["top.ucf"]->data, c.ucf);
  }
}

TEST(MadeFile, RemovesOnlyANameThatIsStillItsFile) {
  FakeOs fake;
  OsError err;
  std::unique_ptr<MadeFile> work = TakeWorkingFile(fake, "tempucf.ucf", &err, kNoWait);
  ASSERT_TRUE(work) << err.reason;
  fake.Put("tempucf.ucf", "another run's");  // renamed onto the name meanwhile
  EXPECT_TRUE(work->Remove(&err));
  work.reset();
  ASSERT_EQ(fake.files.count("tempucf.ucf"), 1u);
  EXPECT_EQ(fake.files["tempucf.ucf"]->data, "another run's");

  // A copy beside the UCF: nameless where the folder allows, so a failure
  // leaves nothing; else at the first free name, removed when given up.
  for (bool nameless : {false, true}) {
    fake = FakeOs();
    fake.nameless = nameless;
    fake.Put("ext/top.ucf", "old");
    fake.Put(FakeOs::Beside("ext/top.ucf", 1), "taken");  // the next token is drawn
    std::unique_ptr<MadeFile> copy = CreateBeside(fake, "ext/top.ucf", true, &err);
    ASSERT_TRUE(copy) << err.reason;
    EXPECT_EQ(fake.files.count(FakeOs::Beside("ext/top.ucf", 2)), nameless ? 0u : 1u);
    copy.reset();
    EXPECT_EQ(fake.Paths(), (std::set<std::string>{"ext/top.ucf", FakeOs::Beside("ext/top.ucf", 1)}));
  }
}

// A UCF whose name leaves no room beside it goes by its hash there, in a form
// that no name spells: another UCF named with those digits keeps its files.
TEST(MadeFile, AHashedNameIsNoOtherUcfsName) {
  FakeOs fake;
  const std::string name = std::string(226, 'u') + ".ucf";
  std::uint64_t hash = kFnvStart;
  for (unsigned char c : name) hash = FnvStep(hash, c);
  const std::string theirs = ".romseed-" + Hex(hash, 16) + "." + FakeOs::Token(7);
  fake.Put(name, "NET a;\n");
  fake.Put(theirs, "a run on the UCF named with those digits is at work");
  OsError err;
  HeldUcf ucf;
  ASSERT_TRUE(OpenUcf(fake, name, &ucf, &err, kNoWait)) << err.reason;
  EXPECT_EQ(fake.files.count(theirs), 1u);
}

}  // namespace
}  // namespace romseed
