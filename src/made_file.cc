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

void Unmark(int* slot) {
  if (*slot >= 0) (*g_made)[static_cast<std::size_t>(*slot)].clear();
  *slot = -1;
}

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

void RemoveLeftBeside(Os& os, const std::string& target) {
  const Beside beside = BesideOf(target);
  for (const std::string& name : os.List(target, beside.prefix)) {
    FileInfo left;
    const std::string left_path = beside.folder + name;
    OsError ignored;  // one that stays is the next run's to remove
    if (IsToken(name.substr(beside.prefix.size())) && os.Stat(left_path, false, &left) &&
        left.regular) {
      os.Remove(left_path, &ignored);
    }
  }
}

std::unique_ptr<MadeFile> TakeWorkingFile(Os& os, const std::string& name, OsError* err,
                                          const Waiting& waiting) {
  int slot = -1;
  std::unique_ptr<File> file = TakeWorkingTurn(os, name, &slot, err, waiting);
  if (!file) return nullptr;
  return std::unique_ptr<MadeFile>(new MadeFile(os, std::move(file), name, MadeFile::State::kNamed, slot));
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
