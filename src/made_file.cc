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
//   kBeside    MoveBeside gave it a name beside the UCF, or CreateBeside made
//              it there: `.romseed-`, the UCF's name, a dot and a token (see
//              BesideOf), made exclusively; name_ is that name and its slot
//              holds it (the old name's slot was cleared in the same step).
//              Leaves by MoveTo, or by Remove or the destructor (to kGivenUp).
//   swapped    Within MoveTo only, with the interrupts held: after an
//              Exchange, name_ holds what stood at the UCF, and the slot
//              still names it. Leaves, in the same step, to kGivenUp (the
//              swap was right: the old UCF at name_ is removed), or by
//              SwapBack (a save came: it goes back, and a newer one after
//              it), which leaves at name_ this file (back to kBeside) or a
//              save that their newer one replaced (removed: to kGivenUp).
//              Should no swap nor rename put their save back, it stays at
//              name_: to kGivenUp, its slot cleared.
//   kGivenUp   It took the UCF's place, or its name was removed: no slot;
//              nothing is the run's to remove any more.
//
// Entries change only with the interrupts held, so the handler reads either
// a whole name or none, and never one that another run now owns.
//
// What a kill, or a crash that keeps any part of the names' changes, leaves:
//   - at the working file's name, this user's file (the owner changes only
//     once its folder is flushed without that name), alone or a second name
//     of one beside the UCF: the next run in that folder takes it over, in
//     that folder's turn;
//   - beside the UCF, at a name of that form, this file, as made or with any
//     part of the UCF's owner, group and mode, or the old UCF swapped out:
//     the next run on the UCF removes it, in the UCF's turn, when no run is
//     at work there. Only a run makes such a name, and never over a file
//     (exclusively, with a token no one can guess), and a save that an
//     editor made during a run never stays at one.
#include "made_file.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "hex.h"
#include "retry_limits.h"

namespace romseed {
namespace {

// The names the handler removes, "" for a free slot. Changed only with the
// interrupts held, so it may grow: the handler never meets it half changed.
// Made by the first run that makes a file (a run that only prints starts no
// faster than it must), and never destroyed, as a signal may come while the
// process ends.
std::vector<std::string>* g_made = nullptr;

void RemoveMade() {
  for (std::size_t slot = 0; g_made && slot < g_made->size(); ++slot) {
    if (!(*g_made)[slot].empty()) RemoveWhileEnding((*g_made)[slot].c_str());
  }
}

// Puts `name` on the list, in a free slot or a new one. Called with the
// interrupts held.
int Mark(const std::string& name) {
  if (!g_made) {
    g_made = new std::vector<std::string>();
    OnInterrupt(RemoveMade);
  }
  std::vector<std::string>& made = *g_made;
  std::size_t slot = 0;
  while (slot < made.size() && !made[slot].empty()) ++slot;
  if (slot == made.size()) made.emplace_back();
  made[slot] = name;
  return static_cast<int>(slot);
}

void Unmark(int* slot) {
  if (*slot >= 0) (*g_made)[static_cast<std::size_t>(*slot)].clear();
  *slot = -1;
}

enum class Attempt { kTaken, kAgain, kRefused };

// Calls `call` (a move or a rename) until it is not kBusy: another process
// may hold a name open for a moment (a run about to wait for its turn, a
// virus scanner), and the moment passes.
template <typename Call>
bool UntilNotBusy(const Call& call, OsError* err) {
  for (int tries = 1; !call(err); ++tries) {
    if (err->kind != OsError::kBusy || tries == kMoveTries) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
  }
  return true;
}

// What a turn is taken at: the UCF, to replace it or only to read it, or
// the working file of this folder.
enum class TurnAt { kUcf, kReader, kWorking };

// One taking of the turn at `path`: what it opened and holds.
struct Taking {
  Taking(Os& o, const std::string& p, TurnAt a, const Waiting& w) : os(o), path(p), at(a), waiting(w) {}
  Os& os;
  const std::string& path;
  TurnAt at;
  const Waiting& waiting;
  std::unique_ptr<File> file;
  std::unique_ptr<Turn> turn;  // the UCF's; a working file's is its own lock
  bool read_only = false;      // the UCF: opened to read alone, or marked so
  int slot = -1;               // on the interrupt list, of a working file made
};

// True if `path` names the file `id` itself, not through a link.
bool Names(Os& os, const std::string& path, const FileId& id) {
  FileInfo now;
  return os.Stat(path, false, &now) && now.id == id;
}

// Gives `file`, named `from` ("" if it has none), the free name `to`, and
// takes the old one away. Systems move names, not files, so both are
// checked: should another file have taken the old name meanwhile, or this
// one have lost its last, it is not kept (kNeedsCopy: its content goes by
// a copy instead), and the old name goes only while it names this file.
bool MoveName(Os& os, File& file, const std::string& from, const std::string& to, OsError* err) {
  const FileId own = file.info().id;
  const OsError taken{OsError::kNeedsCopy, "another file took its name"};
  if (!from.empty() && !Names(os, from, own)) return (*err = taken, false);
  if (!UntilNotBusy([&](OsError* e) { return os.Move(file, from, to, e); }, err)) {
    // Gone: a rename over the name took the file's last between the two calls.
    const bool gone = err->kind == OsError::kGone && !from.empty();
    if (gone || err->kind == OsError::kNotSupported) err->kind = OsError::kNeedsCopy;
    return false;
  }
  OsError ignored;  // each undoes a step for a failure that is said already
  if (!Names(os, to, own)) {
    // Another's file: a second name of it goes, or it goes back.
    FileInfo there;
    if (os.Stat(from, false, &there)) os.Remove(to, &ignored);
    else os.Rename(to, from, &ignored);
    return (*err = taken, false);
  }
  if (from.empty() || !Names(os, from, own) || os.Remove(from, err)) return true;
  err->kind = OsError::kOther;
  os.Remove(to, &ignored);
  return false;
}

// Takes the lock that gives the turn. Where the system or the file system
// has no such locks there are no turns: the replace in one step and its
// check keep the UCF whole all the same.
bool TakeLock(Taking& t, bool wait, OsError* err) {
  if (t.at == TurnAt::kWorking) return t.file->Lock(wait, err) || err->kind == OsError::kNotSupported;
  t.turn = t.os.TakeTurn(t.path, t.at == TurnAt::kReader, wait, err);
  return t.turn || err->kind == OsError::kNotSupported;
}

// Makes the working file. It is locked at once, and marked only if it still
// bears the name then: another run that found it unlocked may have taken it
// over, and the handler must never remove what that run made in its place.
// False, with the reason in `*err`, if it was not made; else sets
// `*attempt` (kRefused with the reason in `*err`).
bool MakeMarked(Taking& t, OsError* err, Attempt* attempt) {
  InterruptsHeld held;
  t.file = t.os.Open(t.path, kOpenWrite | kOpenCreate | kOpenNoFollow, err);
  if (!t.file) return false;
  // A run taking it over lets go at once, so this waits a moment at most.
  const bool locked = TakeLock(t, true, err);
  const bool named = Names(t.os, t.path, t.file->info().id);
  *attempt = !named ? Attempt::kAgain : locked ? Attempt::kTaken : Attempt::kRefused;
  if (*attempt == Attempt::kTaken) t.slot = Mark(t.path);
  // Made, but never this run's turn: the name would block the next run.
  OsError ignored;
  if (*attempt == Attempt::kRefused) t.os.Remove(t.path, &ignored);
  return true;
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
  OsError unwritable;  // then read, as another's file is, to wait for its turn
  if (os.Stat(path, false, &left) && left.regular && left.mine && os.MakeWritable(path, &unwritable)) {
    err->kind = OsError::kGone;
    return nullptr;
  }
  return os.Open(path, kOpenRead | kFound, err);
}

// The UCF, or the UCF to read: for writing where it may be, as some network
// file systems lock only such files; else read-only. Root may write
// anything, so a UCF marked read-only is so all the same.
std::unique_ptr<File> OpenUcfFile(Taking& t, OsError* err) {
  std::unique_ptr<File> file;
  if (t.at == TurnAt::kUcf) file = t.os.Open(t.path, kOpenWrite | kOpenNoWait, err);
  t.read_only = !file;
  if (!file && (t.at == TurnAt::kReader || err->kind == OsError::kDenied)) {
    file = t.os.Open(t.path, kOpenRead | kOpenNoWait, err);
  }
  t.read_only |= file && file->info().read_only;
  return file;
}

// A working file that this run did not make, under its lock, so no other
// run's: one that was killed left it, or one made it and has not yet locked
// it (and will find it gone). Its name goes, and the next attempt makes a
// new file.
Attempt TakeOver(Os& os, const std::string& path, const FileInfo& left, OsError* err) {
  // Another name of it (a crash can leave the new UCF's or a file's beside
  // it) keeps it when this one goes.
  if (!left.mine) {
    *err = {OsError::kOther, "it belongs to another user"};
    return Attempt::kRefused;
  }
  if (os.Remove(path, err)) return Attempt::kAgain;
  // Gone already: another run that waited beside this one took it over.
  FileInfo now;
  return os.Stat(path, false, &now) ? Attempt::kRefused : Attempt::kAgain;
}

// Waits for the turn at the file opened, and checks that it still bears the
// name, as the run that had the turn may have moved it away. The UCF is
// closed meanwhile (the run ahead cannot replace it where the system cannot
// replace a file that is open), and opened again, to read that run's result.
Attempt AfterLock(Taking& t, OsError* err) {
  if (t.at != TurnAt::kWorking) t.file.reset();
  // A turn of another run that ends within a second goes unsaid.
  bool locked = TakeLock(t, false, err);
  for (int tries = 0; !locked && tries < kQuietTurnTries; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    locked = TakeLock(t, false, err);
  }
  if (!locked) {
    t.waiting();
    locked = TakeLock(t, true, err);
  }
  if (!locked) return Attempt::kRefused;
  if (t.at != TurnAt::kWorking && !(t.file = OpenUcfFile(t, err))) {
    return err->kind == OsError::kGone ? Attempt::kAgain : Attempt::kRefused;
  }
  // The lock of a file that the run ahead replaced meanwhile is no turn.
  const FileId locked_id = t.turn ? t.turn->id() : FileId();
  FileInfo now;
  if (!t.os.Stat(t.path, t.at != TurnAt::kWorking, &now) || !(now.id == t.file->info().id) ||
      (locked_id.known && !(locked_id == now.id))) {
    return Attempt::kAgain;
  }
  if (t.at != TurnAt::kWorking) return Attempt::kTaken;
  return TakeOver(t.os, t.path, t.file->info(), err);
}

// The turn at the file that this run found: only at a regular file, and
// none at a read-only UCF, which is not to be changed.
Attempt TurnOfFound(Taking& t, OsError* err) {
  if (!t.file->info().regular) {
    *err = {OsError::kOther, "not a regular file"};
    return Attempt::kRefused;
  }
  if (t.at == TurnAt::kUcf && t.read_only) return Attempt::kTaken;
  return AfterLock(t, err);
}

// One attempt at the turn.
Attempt TryTurn(Taking& t, OsError* err) {
  if (t.at != TurnAt::kWorking) {
    t.file = OpenUcfFile(t, err);
  } else {
    Attempt attempt = Attempt::kAgain;
    if (MakeMarked(t, err, &attempt)) return attempt;
    if (err->kind == OsError::kExists) t.file = OpenFound(t.os, t.path, err);
  }
  if (t.file) return TurnOfFound(t, err);
  // Gone between two calls: another run moved it away or removed it.
  return t.at == TurnAt::kWorking && err->kind == OsError::kGone ? Attempt::kAgain : Attempt::kRefused;
}

// Opens `t.path` and waits for its turn, taking over a working file that
// this run did not make. False, with `*err` set, on failure.
bool TakeTurn(Taking& t, OsError* err) {
  for (int attempt = 0; attempt < kTurnAttempts; ++attempt) {
    t.file.reset();
    t.turn.reset();
    const Attempt turn = TryTurn(t, err);
    if (turn == Attempt::kTaken) return true;
    if (turn == Attempt::kRefused) return false;
  }
  *err = {OsError::kOther, "other runs kept moving it or taking it"};
  return false;
}

// Where a file that a run makes beside the UCF `target` gets its name: the
// folder, and the name's start: `.romseed-`, the UCF's own name and a dot;
// or, where the whole would be too long for a name, `.romseed=` and its
// hash, which no UCF's own name can spell. Sixteen hex digits that no one
// can guess end it, so that no one can take the name before the run, and a
// name of that form is a run's doing.
struct Beside {
  std::string folder, prefix;
};

Beside BesideOf(const std::string& target) {
  const std::string::size_type sep = target.find_last_of(kPathSeparators);
  const std::string::size_type start = sep == std::string::npos ? 0 : sep + 1;
  const std::string name = target.substr(start);
  // 255 bytes, or UTF-16 units on Windows, of which a name has no more.
  constexpr std::size_t kLongestName = 255, kAround = sizeof ".romseed-." - 1 + kTokenDigits;
  if (name.size() + kAround <= kLongestName) return {target.substr(0, start), ".romseed-" + name + "."};
  std::uint64_t hash = kFnvStart;
  for (unsigned char c : name) hash = FnvStep(hash, c);
  return {target.substr(0, start), ".romseed=" + Hex(hash, 16) + "."};
}

// Sixteen hex digits that no one can guess; where the system has no random
// source, from the clock and where this process lies in memory: a name made
// exclusively with them still never takes another's file.
std::string Token(Os& os) {
  std::uint64_t n = 0;
  if (!os.Random(&n)) {
    n = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&n)) << 20;
  }
  return Hex(n, kTokenDigits);
}

bool IsToken(const std::string& s) {
  return s.size() == kTokenDigits && s.find_first_not_of(kHexDigits) == std::string::npos;
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
  const Beside beside = BesideOf(target);
  for (int tries = 0; tries < kBesideNameTries; ++tries) {
    const std::string name = beside.folder + beside.prefix + Token(os_);
    if (MoveName(os_, *file_, from, name, err)) {
      // The old name, if it still stands, is not this file's.
      Unmark(&slot_);
      name_ = name;
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
    return swapped ? SwapBack(target, err) : Moved::kChanged;
  }
  if (!swapped && !Rename(target, err)) return Moved::kFailed;
  state_ = State::kGivenUp;
  Unmark(&slot_);
  // The UCF as it was, swapped out; one that a kill leaves here is the next run's.
  OsError ignored;
  if (swapped) os_.Remove(name_, &ignored);
  return Moved::kDone;
}

MadeFile::Moved MadeFile::SwapBack(const std::string& target, OsError* err) {
  // Their save goes back. Should they save again meanwhile, the newer save
  // comes out instead, and goes back in turn: a swap that gives back what
  // it put in shows that none came, and leaves at this file's name this
  // file, or a save that their newer one replaced, as their rename would.
  FileId put_in = file_->info().id;
  for (int swaps = 0; swaps < kSwapBackTries; ++swaps) {
    FileInfo out;
    if (!os_.Stat(name_, false, &out) || !os_.Exchange(name_, target)) break;
    if (Names(os_, name_, put_in)) {
      if (put_in == file_->info().id) return Moved::kChanged;  // removed as the run ends
      state_ = State::kGivenUp;
      Unmark(&slot_);
      OsError ignored;
      os_.Remove(name_, &ignored);
      return Moved::kChanged;
    }
    put_in = out.id;
  }
  // Names that no longer swap, or saves that never stop: the newest save
  // known goes back by a rename.
  const bool back = Rename(target, err);
  // Else their save is at this file's name: never the run's to remove.
  state_ = State::kGivenUp;
  Unmark(&slot_);
  return back ? Moved::kChanged : Moved::kFailed;
}

bool MadeFile::Rename(const std::string& target, OsError* err) {
  return UntilNotBusy([&](OsError* e) { return os_.Rename(name_, target, e); }, err);
}

bool MadeFile::Remove(OsError* err) {
  InterruptsHeld held;
  // A name that could not be removed stays the run's, to try again; one
  // that another file took is not the run's.
  const bool named = (state_ == State::kNamed || state_ == State::kBeside) &&
                     Names(os_, name_, file_->info().id);
  if (named && !os_.Remove(name_, err)) return false;
  state_ = State::kGivenUp;
  Unmark(&slot_);
  return true;
}

bool OpenUcf(Os& os, const std::string& path, HeldUcf* ucf, OsError* err, const Waiting& waiting) {
  Taking t(os, path, TurnAt::kUcf, waiting);
  if (!TakeTurn(t, err)) return false;
  ucf->turn = std::move(t.turn);
  ucf->file = std::move(t.file);
  ucf->read_only = t.read_only;
  std::string target;
  OsError ignored;
  if (ucf->read_only || !os.ResolvePath(path, &target, &ignored)) return true;
  // With the turn, no run is at work beside the UCF: a file there under a
  // run's name was left by one that was killed.
  const Beside beside = BesideOf(target);
  for (const std::string& name : os.List(target, beside.prefix)) {
    FileInfo left;
    const std::string left_path = beside.folder + name;
    if (IsToken(name.substr(beside.prefix.size())) && os.Stat(left_path, false, &left) &&
        left.regular) {
      os.Remove(left_path, &ignored);
    }
  }
  return true;
}

bool OpenUcfToRead(Os& os, const std::string& path, HeldUcf* ucf, OsError* err,
                   const Waiting& waiting) {
  Taking t(os, path, TurnAt::kReader, waiting);
  if (!TakeTurn(t, err)) return false;
  ucf->turn = std::move(t.turn);
  ucf->file = std::move(t.file);
  return true;
}

std::unique_ptr<MadeFile> TakeWorkingFile(Os& os, const std::string& name, OsError* err,
                                          const Waiting& waiting) {
  Taking t(os, name, TurnAt::kWorking, waiting);
  if (!TakeTurn(t, err)) return nullptr;
  return std::unique_ptr<MadeFile>(
      new MadeFile(os, std::move(t.file), name, MadeFile::State::kNamed, t.slot));
}

std::unique_ptr<MadeFile> CreateBeside(Os& os, const std::string& target, bool nameless,
                                       OsError* err) {
  if (std::unique_ptr<File> file = nameless ? os.CreateNameless(target) : nullptr) {
    return std::unique_ptr<MadeFile>(
        new MadeFile(os, std::move(file), "", MadeFile::State::kNameless, -1));
  }
  InterruptsHeld held;  // made and marked at once
  const Beside beside = BesideOf(target);
  *err = {OsError::kExists, ""};
  for (int tries = 0; tries < kBesideNameTries && err->kind == OsError::kExists; ++tries) {
    const std::string name = beside.folder + beside.prefix + Token(os);
    if (std::unique_ptr<File> file = os.Open(name, kOpenWrite | kOpenCreate, err)) {
      const int slot = Mark(name);
      return std::unique_ptr<MadeFile>(
          new MadeFile(os, std::move(file), name, MadeFile::State::kBeside, slot));
    }
  }
  return nullptr;
}

}  // namespace romseed
