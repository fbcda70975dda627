#ifndef ROMSEED_MADE_FILE_H_
#define ROMSEED_MADE_FILE_H_

// The files a run makes, the working file and the copy beside the UCF,
// written once for every system over the calls of os.h.

#include <functional>
#include <memory>
#include <string>

#include "os.h"
#include "turns.h"

namespace romseed {

// The digits of the token that ends a name a run makes beside the UCF.
inline constexpr std::size_t kTokenDigits = 16;

// A file this run made and still owns. Its name is removed when this is
// destroyed, or when an interrupt ends the process, unless it has taken
// the UCF's place. It may have no name yet (a nameless copy): then it gets
// one only to be moved.
class MadeFile {
 public:
  ~MadeFile();
  MadeFile(const MadeFile&) = delete;
  MadeFile& operator=(const MadeFile&) = delete;
  File& file() { return *file_; }
  // Gives the file, in place of its own name, a new one beside `target`
  // (`.romseed-`, `target`'s name and a token no one can guess), private to
  // this run, so that it takes `target`'s place from within that folder and
  // whatever took its old name cannot. Nothing if it bears such a name
  // already. False on
  // failure, with the reason in `*err`: kNeedsCopy if a copy could go there
  // instead (on another file system, say).
  bool MoveBeside(const std::string& target, OsError* err);
  // Puts the file, beside `target` since MoveBeside, in `target`'s place, if
  // `unchanged` says that what stood there is what `target` was (else
  // kChanged, and a save that came right before the replace is kept); from
  // then on it is no longer the run's to remove. Where the system can swap
  // the two names in one step, it does, and asks of the file swapped out, at
  // the name this file had, swapping back if need be (SwapBack); else it
  // asks of `target` right before a rename.
  enum class Moved { kDone, kChanged, kFailed };
  // kFailed sets `*err`.
  Moved MoveTo(const std::string& target, const std::function<bool(const std::string&)>& unchanged,
               OsError* err);
  // Removes the file's name now. False on failure.
  bool Remove(OsError* err);

 private:
  friend std::unique_ptr<MadeFile> TakeWorkingFile(Os&, const std::string&, OsError*,
                                                   const Waiting&);
  friend std::unique_ptr<MadeFile> CreateBeside(Os&, const std::string&, bool, OsError*);
  enum class State { kNameless, kNamed, kBeside, kGivenUp };
  MadeFile(Os& os, std::unique_ptr<File> file, std::string name, State state, int slot);
  Moved SwapBack(const std::string& target, OsError* err);
  // Renames the file over `target`.
  bool Rename(const std::string& target, OsError* err);

  Os& os_;
  std::unique_ptr<File> file_;
  std::string name_;
  State state_;
  int slot_;  // in the list that the interrupt handling reads, or -1
};

// Waits for this folder's turn at the working file `name` and takes it: a
// new, private file, made if nothing bears the name, or in place of one
// that a run left (killed, or finished meanwhile). Null if it cannot be
// made, or stands for what is not the run's to destroy: a link, something
// not a regular file, a file of another user; the reason is then in `*err`.
std::unique_ptr<MadeFile> TakeWorkingFile(Os& os, const std::string& name, OsError* err,
                                          const Waiting& waiting);

// Puts `name` on the list of names that an interrupt removes, and returns
// its entry there. Called with the interrupts held.
int Mark(const std::string& name);

// Removes what killed runs left beside `target` (see MadeFile::MoveBeside):
// for a run that has the turn at `target`, when no run is at work there.
void RemoveLeftBeside(Os& os, const std::string& target);

// Creates a new, private file in the folder of `target`, to be moved onto
// it. Nameless where the file system allows, so that a run killed before
// leaves nothing; else under a name as MadeFile::MoveBeside gives, which the
// next run on `target` removes. Null on failure, with the reason in `*err`.
std::unique_ptr<MadeFile> CreateBeside(Os& os, const std::string& target, bool nameless,
                                       OsError* err);

}  // namespace romseed

#endif  // ROMSEED_MADE_FILE_H_
