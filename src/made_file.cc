// A file the run makes goes through these states:
//
//   made, marked      Os::Open created it with the interrupts held, and its
//                     name went into the list at once;
//   nameless          CreateNameless made it: nothing to remove, nothing on
//                     the list, until MoveTo links it and marks the name;
//   given up          MoveTo renamed it over the UCF, or Remove removed it,
//                     and the list no longer holds its name.
//
// Entries change only with the interrupts held, so the handler reads either
// a whole name or none, and never one that another run now owns.
#include "made_file.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace romseed {
namespace {

// Each new attempt means that another run finished or moved a file away,
// so the bound only stops a loop that could not end.
constexpr int kAttempts = 1000;

char g_made[2][4096];  // the names the handler removes; "" for a free slot

void RemoveMade() {
  for (const char* name : g_made) {
    if (name[0]) RemoveWhileEnding(name);
  }
}

// Puts `name` on the list. Called with the interrupts held. -1 if the list
// is full or the name too long: the run then goes on without that guard.
int Mark(const std::string& name) {
  static const bool installed = (OnInterrupt(RemoveMade), true);
  (void)installed;
  for (int slot = 0; slot < 2; ++slot) {
    if (g_made[slot][0] || name.size() >= sizeof g_made[slot]) continue;
    std::memcpy(g_made[slot], name.c_str(), name.size() + 1);
    return slot;
  }
  return -1;
}

void Unmark(int* slot) {
  if (*slot >= 0) g_made[*slot][0] = '\0';
  *slot = -1;
}

// Opens `path`, and marks a file that this opening made at once.
std::unique_ptr<File> OpenMarked(Os& os, const std::string& path, OpenMode mode, int* slot,
                                 OpenError* err) {
  InterruptsHeld held;
  std::unique_ptr<File> file = os.Open(path, mode, err);
  if (file && file->created()) *slot = Mark(path);
  return file;
}

enum class Turn { kTaken, kAgain, kRefused };

// A working file that this run did not make, under its lock, so no other
// run's: one that was killed left it, or one made it and has not yet locked
// it (and will find it gone). Its name goes, and the next attempt makes a
// new file.
Turn TakeOver(Os& os, const std::string& path, const FileInfo& left, std::string* why) {
  *why = !left.mine ? "it belongs to another user" : left.links != 1 ? "it has other names" : "";
  if (!why->empty()) return Turn::kRefused;
  if (os.Remove(path)) return Turn::kAgain;
  *why = os.LastError();
  // Gone already: another run that waited beside this one took it over.
  FileInfo now;
  return os.Stat(path, false, &now) ? Turn::kRefused : Turn::kAgain;
}

// Waits for the lock of `file`, opened at `path`, and checks that it still
// bears the name, as the run that had the turn may have moved it away.
Turn AfterLock(Os& os, const std::string& path, OpenMode mode, File& file, int* slot,
               std::string* why, const Waiting& waiting) {
  // A turn of another run that ends within a second goes unsaid.
  bool locked = file.Lock(false);
  for (int tries = 0; !locked && tries < 100; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    locked = file.Lock(false);
  }
  if (!locked) {
    waiting();
    locked = file.Lock(true);
  }
  if (!locked) {
    *why = os.LastError();
    InterruptsHeld held;
    // Made, but never this run's turn: the name would block the next run.
    if (*slot >= 0) os.Remove(path);
    Unmark(slot);
    return Turn::kRefused;
  }
  FileInfo now;
  if (!os.Stat(path, mode == OpenMode::kUcf, &now) || !(now.id == file.info().id)) {
    InterruptsHeld held;
    Unmark(slot);  // no longer this run's to remove
    return Turn::kAgain;
  }
  if (mode != OpenMode::kWorking || file.created()) return Turn::kTaken;
  return TakeOver(os, path, file.info(), why);
}

// Opens `path` and waits for its turn, taking over a working file that this
// run did not make. Sets `*slot` to the list entry of a file it made; on
// failure, `*why` to the reason.
std::unique_ptr<File> TakeTurn(Os& os, const std::string& path, OpenMode mode, int* slot,
                               std::string* why, const Waiting& waiting) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    OpenError err = OpenError::kNone;
    std::unique_ptr<File> file = OpenMarked(os, path, mode, slot, &err);
    // Gone between two calls: another run moved it away or removed it.
    if (!file && err == OpenError::kGone && mode == OpenMode::kWorking) continue;
    *why = !file ? os.LastError() : !file->info().regular ? "not a regular file" : "";
    if (!why->empty()) return nullptr;
    // Not to be changed, so no turn.
    if (mode == OpenMode::kUcf && file->info().read_only) return file;
    const Turn turn = AfterLock(os, path, mode, *file, slot, why, waiting);
    if (turn == Turn::kTaken) return file;
    if (turn == Turn::kRefused) return nullptr;
  }
  *why = "other runs kept moving it or taking it";
  return nullptr;
}

}  // namespace

MadeFile::MadeFile(Os& os, std::unique_ptr<File> file, std::string name, State state, int slot)
    : os_(os), file_(std::move(file)), name_(std::move(name)), state_(state), slot_(slot) {}

MadeFile::~MadeFile() {
  // While the file is open, and so still locked.
  Remove();
}

bool MadeFile::MoveTo(const std::string& target, bool* cross_device) {
  InterruptsHeld held;
  if (state_ == State::kNameless) {
    if (!os_.Link(*file_, name_)) return false;
    state_ = State::kNamed;
    slot_ = Mark(name_);
  }
  if (!os_.Rename(name_, target, cross_device)) return false;
  state_ = State::kGivenUp;
  Unmark(&slot_);
  return true;
}

bool MadeFile::Remove() {
  InterruptsHeld held;
  // A name that could not be removed stays the run's, to try again.
  if (state_ == State::kNamed && !os_.Remove(name_)) return false;
  state_ = State::kGivenUp;
  Unmark(&slot_);
  return true;
}

std::unique_ptr<File> OpenUcf(Os& os, const std::string& path, std::string* why,
                              const Waiting& waiting) {
  int slot = -1;  // the UCF is never made
  std::unique_ptr<File> ucf = TakeTurn(os, path, OpenMode::kUcf, &slot, why, waiting);
  std::string target;
  if (!ucf || ucf->info().read_only || !os.ResolvePath(path, &target)) return ucf;
  // Left by a run on this UCF that was killed as it was renamed: what such a
  // run leaves, and nobody else's file that bears the name.
  const std::string copy = CopyName(target);
  FileInfo left;
  if (os.Stat(copy, false, &left) && left.regular && left.mine && left.links == 1 && !left.shared) {
    os.Remove(copy);
  }
  return ucf;
}

std::unique_ptr<MadeFile> TakeWorkingFile(Os& os, const std::string& name, std::string* why,
                                          const Waiting& waiting) {
  int slot = -1;
  std::unique_ptr<File> file = TakeTurn(os, name, OpenMode::kWorking, &slot, why, waiting);
  if (!file) return nullptr;
  return std::unique_ptr<MadeFile>(
      new MadeFile(os, std::move(file), name, MadeFile::State::kNamed, slot));
}

std::unique_ptr<MadeFile> CreateBeside(Os& os, const std::string& target, std::string* why) {
  const std::string name = CopyName(target);
  if (std::unique_ptr<File> file = os.CreateNameless(target)) {
    return std::unique_ptr<MadeFile>(
        new MadeFile(os, std::move(file), name, MadeFile::State::kNameless, -1));
  }
  InterruptsHeld held;  // made and marked at once
  OpenError err;
  std::unique_ptr<File> file = os.Open(name, OpenMode::kCreate, &err);
  if (!file) {
    *why = os.LastError();
    return nullptr;
  }
  const int slot = Mark(name);
  return std::unique_ptr<MadeFile>(
      new MadeFile(os, std::move(file), name, MadeFile::State::kNamed, slot));
}

std::string CopyName(const std::string& target) {
  const std::string::size_type sep = target.find_last_of(kPathSeparators);
  if (sep == std::string::npos) return ".romseed-" + target;
  return target.substr(0, sep + 1) + ".romseed-" + target.substr(sep + 1);
}

}  // namespace romseed
