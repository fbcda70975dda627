// The turns that runs take at a UCF and at a working file: one run at a
// time replaces a UCF, and one run in a folder at a time owns its working
// file; runs that only read a UCF wait for the one that replaces it.
#include "turns.h"

#include <chrono>
#include <thread>

#include "made_file.h"
#include "retry_limits.h"

namespace romseed {
namespace {

enum class Attempt { kTaken, kAgain, kRefused };

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

// Takes the lock, waiting for another run to let go of it: a turn that
// ends within a second goes unsaid. False at once where the file went
// meanwhile (kGone: the run ahead moved it away, or removed it).
bool WaitForLock(Taking& t, OsError* err) {
  bool locked = TakeLock(t, false, err);
  for (int tries = 0; !locked && err->kind != OsError::kGone && tries < kQuietTurnTries; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    locked = TakeLock(t, false, err);
  }
  if (locked || err->kind == OsError::kGone) return locked;
  t.waiting();
  return TakeLock(t, true, err);
}

// Only a regular file has a turn: a folder, a device or a pipe is no UCF.
bool IsRegular(const File& file, OsError* err) {
  if (file.info().regular) return true;
  *err = {OsError::kOther, "not a regular file"};
  return false;
}

// Waits for the turn at the file opened, and checks that it still bears the
// name, as the run that had the turn may have moved it away. The UCF is
// closed meanwhile (the run ahead cannot replace it where the system cannot
// replace a file that is open), and opened again, to read that run's result.
Attempt AfterLock(Taking& t, OsError* err) {
  if (t.at != TurnAt::kWorking) t.file.reset();
  if (!WaitForLock(t, err)) return err->kind == OsError::kGone ? Attempt::kAgain : Attempt::kRefused;
  if (t.at != TurnAt::kWorking && !((t.file = OpenUcfFile(t, err)) && IsRegular(*t.file, err))) {
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
  if (!IsRegular(*t.file, err)) return Attempt::kRefused;
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

}  // namespace

// True if `path` names the file `id` itself, not through a link.
bool Names(Os& os, const std::string& path, const FileId& id) {
  FileInfo now;
  return os.Stat(path, false, &now) && now.id == id;
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
  RemoveLeftBeside(os, target);
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

std::unique_ptr<File> TakeWorkingTurn(Os& os, const std::string& name, int* slot, OsError* err,
                                      const Waiting& waiting) {
  Taking t(os, name, TurnAt::kWorking, waiting);
  if (!TakeTurn(t, err)) return nullptr;
  *slot = t.slot;
  return std::move(t.file);
}

}  // namespace romseed
