#ifndef ROMSEED_OS_H_
#define ROMSEED_OS_H_

// The few operating-system calls a run makes, and nothing of its policy: the
// system's own in os-linux.cc or os-win32.cc, one in memory in the tests.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"
#include "io.h"

namespace romseed {

#ifdef _WIN32
inline constexpr char kPathSeparators[] = "\\/";
#else
inline constexpr char kPathSeparators[] = "/";
#endif

// The folder of `path`: "." for a bare name.
inline std::string FolderOf(const std::string& path) {
  const std::string::size_type sep = path.find_last_of(kPathSeparators);
  if (sep == std::string::npos) return ".";
  return sep == 0 ? path.substr(0, 1) : path.substr(0, sep);
}

// What makes a file the same file under every name it has.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool known = false;  // false where the system gives none (a console)
  bool operator==(const FileId& o) const {
    return known && o.known && device == o.device && index == o.index;
  }
};

// What the run knows of a file: enough to tell whether it changed, and
// whether it is this run's to replace or remove.
struct FileInfo {
  FileId id;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // nanoseconds
  bool regular = true;     // a plain file: no folder, device, pipe or link
  bool read_only = false;  // marked so: no write bit in its mode, or its attribute
  bool mine = true;        // owned by this run's user
};

// How Os::Open opens a file: kOpenRead, or any of the others together.
enum OpenFlags : unsigned {
  kOpenRead = 0,           // for reading
  kOpenWrite = 1u << 0,    // for writing too
  kOpenCreate = 1u << 1,   // creates it, private to this user; kExists if the name is taken
  kOpenNoFollow = 1u << 2, // the name itself in its own folder, never through a link
  kOpenNoWait = 1u << 3,   // a named pipe opens at once, rather than waiting for a writer
};

// An open file, closed when destroyed.
class File : public Source, public Sink {
 public:
  // What the file was when opened or last locked.
  const FileInfo& info() const { return info_; }
  std::uint64_t SizeHint() const override { return info_.regular ? info_.size : 0; }
  // Each call below returns false, with `*err` set, if it fails.
  // Takes this file's lock, which lasts until it is destroyed, and then
  // updates info(): exclusive, but shared among files opened for reading
  // alone where the system can (readers wait for a writer, not for each
  // other); none where the system has no such locks (kNone: taken). With
  // `wait`, waits for another process to let go of it. False if it was not
  // taken (without `wait`, another may hold it).
  virtual bool Lock(bool wait, OsError* err) = 0;
  // Gives the file the permissions (and, where allowed, the owner or the
  // access-control list) of `ucf`, a file of the same layer. False if any of
  // them could not be given.
  virtual bool TakeAttributesOf(const File& ucf, OsError* err) = 0;
  // Makes the content durable.
  virtual bool Sync(OsError* err) = 0;
  // Moves back to the first byte, to read what was written.
  virtual bool Rewind(OsError* err) = 0;

 protected:
  FileInfo info_;
};

// A run's turn at a file that runs replace: the lock of the file, or of its
// name where the system cannot replace a file that is open (then the file
// need not be open while the turn is held). Held until destroyed.
class Turn {
 public:
  virtual ~Turn() = default;
  // The file whose lock it is; unknown for a lock of a name.
  virtual FileId id() const { return FileId(); }
};

class Os {
 public:
  virtual ~Os() = default;
  // Opens `path` as `flags` say. Null on failure, with the reason in `*err`.
  virtual std::unique_ptr<File> Open(const std::string& path, unsigned flags, OsError* err) = 0;
  // Takes the turn at the file that `path` names: shared among runs that
  // only read it where the system can, else exclusive. With `wait`, waits
  // for another run to let go of it. Null on failure: kNotSupported where
  // the system or the file system has no such locks.
  virtual std::unique_ptr<Turn> TakeTurn(const std::string& path, bool shared, bool wait,
                                         OsError* err) = 0;
  // Creates a file without a name in the folder of `path`, private. Null
  // where the file system cannot.
  virtual std::unique_ptr<File> CreateNameless(const std::string& path) = 0;
  // Gives `file` (named `from` now, "" if it has no name) the name `to`,
  // which must be free (else kExists): the name `from` moves, or, where the
  // system makes second names, `to` becomes one and `from` stays. Either
  // way by name: that `to` is this file's is the caller's to check. False
  // on failure: kNeedsCopy if `to` lies on another file system,
  // kNotSupported where its file system has no second names, kBusy where
  // another process holds a name a moment.
  virtual bool Move(File& file, const std::string& from, const std::string& to, OsError* err) = 0;
  // Sets `*info` to what `path` names now, its final link followed or not.
  // False if nothing.
  virtual bool Stat(const std::string& path, bool follow, FileInfo* info) = 0;
  // The identity of standard output or error, unknown unless it is a file.
  enum class Stream { kOutput, kError };
  virtual FileId StandardStreamId(Stream which) = 0;
  // Sets `*target` to the path of the file that `path` names, its own links
  // resolved where they point (its folders are left as they are). False if
  // it cannot be resolved.
  virtual bool ResolvePath(const std::string& path, std::string* target, OsError* err) = 0;
  // Renames `from` over `to` in one step. False on failure (kBusy as Move).
  virtual bool Rename(const std::string& from, const std::string& to, OsError* err) = 0;
  // Swaps the files that `a` and `b` name, in one step. False, with nothing
  // changed, if it cannot (not every system or file system can).
  virtual bool Exchange(const std::string& a, const std::string& b) = 0;
  // Removes the name `path`; the name is free again at once. False on failure.
  virtual bool Remove(const std::string& path, OsError* err) = 0;
  // Lets this user write the file `path` names (not through a link) again:
  // its mode, or its read-only mark. False on failure.
  virtual bool MakeWritable(const std::string& path, OsError* err) = 0;
  // Makes the names in the folder of `path` durable. False on failure.
  virtual bool SyncFolder(const std::string& path, OsError* err) = 0;
  // The names in the folder of `path` that begin with `prefix` (a name, no
  // folder); none if the folder cannot be read.
  virtual std::vector<std::string> List(const std::string& path, const std::string& prefix) = 0;
  // Sets `*n` from the system's random source. False where it has none.
  virtual bool Random(std::uint64_t* n) = 0;
};

// The operating system's own layer. Prepares the process for a run on first
// use: standard input, output and error are open, and a closed reader of the
// messages does not end the run.
std::unique_ptr<Os> SystemOs();

// Calls `cleanup` when an interrupt, a hang-up or a closed console is about to
// end the process, which then ends as it would have. A signal that the
// caller ignores stays ignored.
void OnInterrupt(void (*cleanup)());

// Holds back the interrupts while it lives, so that `cleanup` never sees what
// is half done.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  alignas(8) unsigned char saved_[128];
};

// Removes `path` from within `cleanup`: safe in a signal handler.
void RemoveWhileEnding(const char* path);

// The command line, program name first, in UTF-8 on every platform.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace romseed

#endif  // ROMSEED_OS_H_
