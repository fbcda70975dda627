#ifndef ROMSEED_TURNS_H_
#define ROMSEED_TURNS_H_

// The turns that runs on one file take, from whatever folder they start,
// written once for every system over the calls of os.h.

#include <functional>
#include <memory>
#include <string>

#include "os.h"

namespace romseed {

// Called once when a run has waited a second for another run's turn.
using Waiting = std::function<void()>;

// The UCF, open, and the run's turn at it. The turn lasts until this is
// destroyed, the file first; the file may be closed before, as some systems
// cannot replace a file that is open. No turn at a read-only UCF, nor where
// the system has none.
struct HeldUcf {
  std::unique_ptr<Turn> turn;
  std::unique_ptr<File> file;
  bool read_only = false;  // not this user's to write, or marked so
};

// Opens the UCF at `path` into `*ucf` and waits for its turn: runs on one UCF
// take turns, from whatever folder they start. A read-only UCF is opened
// without waiting. Once the turn is this run's, removes what killed runs
// left beside it (see MadeFile::MoveBeside). False if it cannot be opened or
// is not a regular file, with the reason in `*err`.
bool OpenUcf(Os& os, const std::string& path, HeldUcf* ucf, OsError* err, const Waiting& waiting);

// Opens the UCF at `path` only to read it, once no run on it has its turn,
// so that what it reads is a run's result, never part of one. Changes no
// file. False if it cannot be opened or is not a regular file, with the
// reason in `*err`.
bool OpenUcfToRead(Os& os, const std::string& path, HeldUcf* ucf, OsError* err,
                   const Waiting& waiting);

// Waits for this folder's turn at the working file `name` and takes it: a
// new, private file, made if nothing bears the name, or in place of one
// that a run left (killed, or finished meanwhile), and put on the list of
// names an interrupt removes (`*slot`). Null if it cannot be made, or
// stands for what is not the run's to destroy: a link, something not a
// regular file, a file of another user; the reason is then in `*err`.
std::unique_ptr<File> TakeWorkingTurn(Os& os, const std::string& name, int* slot, OsError* err,
                                      const Waiting& waiting);

// True if `path` names the file `id` itself, not through a link.
bool Names(Os& os, const std::string& path, const FileId& id);

}  // namespace romseed

#endif  // ROMSEED_TURNS_H_
