// The states of a MadeFile, by the names of its State, with what its name_
// and its slot on the interrupt list (g_made) hold in each:
//
//   kNamed     TakeWorkingFile made it, or took over a leftover, at the
//              working file's name; name_ is that name and its slot holds
//              it, entered with the interrupts held in the step that made
//              and locked it. Leaves by MoveBeside (to kBeside), by Remove or
//              the destructor (to kGivenUp).
//   kNameless  CreateBeside made it without a name: name_ is empty, no slot,
//              nothing for a handler to remove. Leaves by MoveBeside (to
//              kBeside) or the destructor (to kGivenUp).
//   kBeside    MoveBeside linked it at a CopyName beside the UCF, or
//              CreateBeside made it there; name_ is that name and its slot
//              holds it (the old name's slot was cleared in the same step).
//              Leaves by MoveTo, or by Remove or the destructor (to kGivenUp).
//   swapped    Within MoveTo only, with the interrupts held: after an
//              Exchange, name_ holds what stood at the UCF, and the slot
//              still names it. Leaves, in the same step, to kGivenUp (the
//              swap was right: the old UCF at name_ is removed), or back to
//              kBeside (a save came: swapped back, this file at name_ again).
//              Should the swap back and the rename back both fail, name_
//              holds their save: to kGivenUp, its slot cleared.
//   kGivenUp   It took the UCF's place, or its name was removed: no slot;
//              nothing is the run's to remove any more.
//
// Entries change only with the interrupts held, so the handler reads either
// a whole name or none, and never one that another run now owns.
#include "made_file.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "retry_limits.h"

namespace romseed {
namespace {

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

enum class Turn { kTaken, kAgain, kRefused };

// What a turn is taken at: the UCF, to replace it or only to read it, or
// the working file of this folder.
enum class TurnAt { kUcf, kReader, kWorking };

// Makes the working file at `path`. It is locked at once, and marked only if
// it still bears the name then: another run that found it unlocked may have
// taken it over, and the handler must never remove what that run made in
// its place. Null, with the reason in `*err`, if it was not made; else sets
// `*turn`.
std::unique_ptr<File> MakeMarked(Os& os, const std::string& path, int* slot, OsError* err,
                                 Turn* turn, std::string* why) {
  InterruptsHeld held;
  std::unique_ptr<File> file = os.Open(path, kOpenWrite | kOpenCreate | kOpenNoFollow, err);
  if (!file) return nullptr;
  // A run taking it over lets go at once, so this waits a moment at most.
  const bool locked = file->Lock(true);
  if (!locked) *why = file->error();
  FileInfo now;
  const bool named = os.Stat(path, false, &now) && now.id == file->info().id;
  *turn = !named ? Turn::kAgain : locked ? Turn::kTaken : Turn::kRefused;
  if (*turn == Turn::kTaken) *slot = Mark(path);
  // Made, but never this run's turn: the name would block the next run.
  OsError ignored;
  if (*turn == Turn::kRefused) os.Remove(path, &ignored);
  return file;
}

// A working file that stands at `path` already, opened to wait for its
// turn. One of this user's that they may not write (a run killed while
// giving it a read-only UCF's permissions) is made writable and looked at
// anew (kGone); another's is read, which is enough to wait for the turn.
std::unique_ptr<File> OpenFound(Os& os, const std::string& path, OsError* err) {
  constexpr unsigned kFound = kOpenNoFollow | kOpenNoWait;
  std::unique_ptr<File> file = os.Open(path, kOpenWrite | kFound, err);
  if (file || err->kind != OsError::kDenied) return file;
  FileInfo left;
  if (os.Stat(path, false, &left) && left.regular && left.mine && os.MakeWritable(path)) {
    err->kind = OsError::kGone;
    return nullptr;
  }
  return os.Open(path, kOpenRead | kFound, err);
}

// The UCF: for writing where it may be, as some network file systems lock
// only such files; else read-only, which marks it so.
std::unique_ptr<File> OpenUcfFile(Os& os, const std::string& path, OsError* err) {
  constexpr unsigned kUcf = kOpenNoWait | kOpenLockByName;
  std::unique_ptr<File> file = os.Open(path, kOpenWrite | kUcf, err);
  if (file || err->kind != OsError::kDenied) return file;
  return os.Open(path, kOpenRead | kUcf, err);
}

// A working file that this run did not make, under its lock, so no other
// run's: one that was killed left it, or one made it and has not yet locked
// it (and will find it gone). Its name goes, and the next attempt makes a
// new file.
Turn TakeOver(Os& os, const std::string& path, const FileInfo& left, std::string* why) {
  *why = !left.mine ? "it belongs to another user" : left.links != 1 ? "it has other names" : "";
  if (!why->empty()) return Turn::kRefused;
  OsError err;
  if (os.Remove(path, &err)) return Turn::kAgain;
  *why = err.reason;
  // Gone already: another run that waited beside this one took it over.
  FileInfo now;
  return os.Stat(path, false, &now) ? Turn::kRefused : Turn::kAgain;
}

// Waits for the lock of `file`, opened at `path`, and checks that it still
// bears the name, as the run that had the turn may have moved it away.
Turn AfterLock(Os& os, const std::string& path, TurnAt at, File& file, std::string* why,
               const Waiting& waiting) {
  // A turn of another run that ends within a second goes unsaid.
  bool locked = file.Lock(false);
  for (int tries = 0; !locked && tries < kQuietTurnTries; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    locked = file.Lock(false);
  }
  if (!locked) {
    waiting();
    locked = file.Lock(true);
  }
  if (!locked) {
    *why = file.error();
    return Turn::kRefused;
  }
  FileInfo now;
  if (!os.Stat(path, at != TurnAt::kWorking, &now) || !(now.id == file.info().id)) return Turn::kAgain;
  if (at != TurnAt::kWorking) return Turn::kTaken;
  return TakeOver(os, path, file.info(), why);
}

// The turn at `file`, opened at `path`, that this run found there: only at
// a regular file, and none at a read-only UCF, which is not to be changed.
Turn TurnOfFound(Os& os, const std::string& path, TurnAt at, File& file, std::string* why,
                 const Waiting& waiting) {
  if (!file.info().regular) {
    *why = "not a regular file";
    return Turn::kRefused;
  }
  if (at == TurnAt::kUcf && file.info().read_only) return Turn::kTaken;
  return AfterLock(os, path, at, file, why, waiting);
}

// One attempt at the turn at `path`: sets `*file` to what it opened.
Turn TryTurn(Os& os, const std::string& path, TurnAt at, std::unique_ptr<File>* file, int* slot,
             std::string* why, const Waiting& waiting) {
  OsError err;
  if (at == TurnAt::kUcf) {
    *file = OpenUcfFile(os, path, &err);
  } else if (at == TurnAt::kReader) {
    *file = os.Open(path, kOpenRead | kOpenNoWait | kOpenLockByName, &err);
  } else {
    Turn turn = Turn::kAgain;
    *file = MakeMarked(os, path, slot, &err, &turn, why);
    if (*file) return turn;
    if (err.kind == OsError::kExists) *file = OpenFound(os, path, &err);
  }
  if (*file) return TurnOfFound(os, path, at, **file, why, waiting);
  // Gone between two calls: another run moved it away or removed it.
  if (at == TurnAt::kWorking && err.kind == OsError::kGone) return Turn::kAgain;
  *why = err.reason;
  return Turn::kRefused;
}

// Opens `path` and waits for its turn, taking over a working file that this
// run did not make. Sets `*slot` to the list entry of a file it made; on
// failure, `*why` to the reason.
std::unique_ptr<File> TakeTurn(Os& os, const std::string& path, TurnAt at, int* slot,
                               std::string* why, const Waiting& waiting) {
  for (int attempt = 0; attempt < kTurnAttempts; ++attempt) {
    std::unique_ptr<File> file;
    const Turn turn = TryTurn(os, path, at, &file, slot, why, waiting);
    if (turn == Turn::kTaken) return file;
    if (turn == Turn::kRefused) return nullptr;
  }
  *why = "other runs kept moving it or taking it";
  return nullptr;
}

// True if `left`, the file beside the UCF `ucf` that CopyName names, is
// what a run killed before its rename leaves, and no one's own file: this
// user's and private, as made (its other name, if any, the working file
// here, as a kill while it moved there leaves it); or, once given them, with
// the UCF's group and mode, and its owner or this user's.
bool LeftByARun(Os& os, const FileInfo& left, const FileInfo& ucf, const std::string& working) {
  if (!left.regular) return false;
  FileInfo other;
  if (left.mine && !left.shared) {
    return left.links == 1 ||
           (left.links == 2 && os.Stat(working, false, &other) && other.id == left.id);
  }
  return left.links == 1 && (left.mine || left.owner == ucf.owner) && left.group == ucf.group &&
         left.mode == ucf.mode;
}

}  // namespace

MadeFile::MadeFile(Os& os, std::unique_ptr<File> file, std::string name, State state, int slot)
    : os_(os), file_(std::move(file)), name_(std::move(name)), state_(state), slot_(slot) {}

MadeFile::~MadeFile() {
  // While the file is open, and so still locked.
  OsError ignored;
  Remove(&ignored);
}

bool MadeFile::MoveBeside(const std::string& target, OsError* err) {
  if (state_ == State::kBeside) return true;
  InterruptsHeld held;
  const std::string from = state_ == State::kNamed ? name_ : std::string();
  // A leftover at these names went as the turn began: what is left is
  // someone's own, and passed by.
  for (int n = 0; n < kCopyNames; ++n) {
    const std::string beside = CopyName(target, n);
    if (os_.Move(*file_, from, beside, err)) {
      // The old name, if it still stands, is not this file's.
      Unmark(&slot_);
      name_ = beside;
      state_ = State::kBeside;
      slot_ = Mark(name_);
      return true;
    }
    if (err->kind != OsError::kExists) return false;
  }
  return false;
}

MadeFile::Moved MadeFile::MoveTo(const std::string& target,
                                 const std::function<bool(const std::string&)>& unchanged,
                                 OsError* err) {
  InterruptsHeld held;
  if (state_ != State::kBeside) {
    *err = {OsError::kOther, "not beside " + target};
    return Moved::kFailed;
  }
  // What stood at `target` is judged once: swapped out to this file's name,
  // or, where names cannot be swapped, still there, right before the rename.
  const bool swapped = os_.Exchange(name_, target);
  if (!unchanged(swapped ? name_ : target)) {
    if (!swapped) return Moved::kChanged;
    // Their save goes back; this file, at its own name again, is removed.
    const bool back = os_.Exchange(name_, target) || os_.Rename(name_, target, err);
    if (back) return Moved::kChanged;
    // Their save is at this file's name now: never the run's to remove.
    state_ = State::kGivenUp;
    Unmark(&slot_);
    return Moved::kFailed;
  }
  if (!swapped && !os_.Rename(name_, target, err)) return Moved::kFailed;
  state_ = State::kGivenUp;
  Unmark(&slot_);
  // The UCF as it was, swapped out; one that a kill leaves here is the next run's.
  OsError ignored;
  if (swapped) os_.Remove(name_, &ignored);
  return Moved::kDone;
}

bool MadeFile::Remove(OsError* err) {
  InterruptsHeld held;
  // A name that could not be removed stays the run's, to try again; one
  // that another file took is not the run's.
  FileInfo now;
  const bool named = (state_ == State::kNamed || state_ == State::kBeside) &&
                     os_.Stat(name_, false, &now) && now.id == file_->info().id;
  if (named && !os_.Remove(name_, err)) return false;
  state_ = State::kGivenUp;
  Unmark(&slot_);
  return true;
}

std::unique_ptr<File> OpenUcf(Os& os, const std::string& path, const std::string& working,
                              OsError* err, const Waiting& waiting) {
  int slot = -1;  // the UCF is never made
  std::unique_ptr<File> ucf = TakeTurn(os, path, TurnAt::kUcf, &slot, &err->reason, waiting);
  std::string target;
  OsError ignored;
  if (!ucf || ucf->info().read_only || !os.ResolvePath(path, &target, &ignored)) return ucf;
  // The names are taken in turn, so the first free one ends the search.
  FileInfo left;
  for (int n = 0; n < kCopyNames && os.Stat(CopyName(target, n), false, &left); ++n) {
    if (LeftByARun(os, left, ucf->info(), working)) os.Remove(CopyName(target, n), &ignored);
  }
  return ucf;
}

std::unique_ptr<File> OpenUcfToRead(Os& os, const std::string& path, OsError* err,
                                    const Waiting& waiting) {
  int slot = -1;
  return TakeTurn(os, path, TurnAt::kReader, &slot, &err->reason, waiting);
}

std::unique_ptr<MadeFile> TakeWorkingFile(Os& os, const std::string& name, OsError* err,
                                          const Waiting& waiting) {
  int slot = -1;
  std::unique_ptr<File> file = TakeTurn(os, name, TurnAt::kWorking, &slot, &err->reason, waiting);
  if (!file) return nullptr;
  return std::unique_ptr<MadeFile>(
      new MadeFile(os, std::move(file), name, MadeFile::State::kNamed, slot));
}

std::unique_ptr<MadeFile> CreateBeside(Os& os, const std::string& target, bool nameless,
                                       OsError* err) {
  if (std::unique_ptr<File> file = nameless ? os.CreateNameless(target) : nullptr) {
    return std::unique_ptr<MadeFile>(
        new MadeFile(os, std::move(file), "", MadeFile::State::kNameless, -1));
  }
  InterruptsHeld held;  // made and marked at once
  *err = {OsError::kExists, ""};
  for (int n = 0; n < kCopyNames && err->kind == OsError::kExists; ++n) {
    const std::string name = CopyName(target, n);
    if (std::unique_ptr<File> file = os.Open(name, kOpenWrite | kOpenCreate, err)) {
      const int slot = Mark(name);
      return std::unique_ptr<MadeFile>(
          new MadeFile(os, std::move(file), name, MadeFile::State::kBeside, slot));
    }
  }
  return nullptr;
}

std::string CopyName(const std::string& target, int n) {
  const std::string::size_type sep = target.find_last_of(kPathSeparators);
  const std::string name = target.substr(sep == std::string::npos ? 0 : sep + 1);
  const std::string folder = target.substr(0, sep == std::string::npos ? 0 : sep + 1);
  return folder + ".romseed-" + name + (n > 0 ? "." + std::to_string(n) : "");
}

}  // namespace romseed
