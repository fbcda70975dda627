#ifndef ROMSEED_PLATFORM_H_
#define ROMSEED_PLATFORM_H_

// The operating-system calls a run makes, behind one interface: the system's
// own in platform-posix.cc or platform-win32.cc, one in memory in the tests.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io.h"

namespace romseed {

// What makes a file the same file under every name it has.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool known = false;  // false where the system gives none (a console)
  bool operator==(const FileId& o) const {
    return known && o.known && device == o.device && index == o.index;
  }
};

// What the run knows of a file: enough to tell whether it changed, and to
// give the file that replaces the UCF the UCF's permissions.
struct FileInfo {
  FileId id;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // nanoseconds
  bool read_only = false;  // not writable by this run's user, or marked so
  std::uint32_t mode = 0;  // permission bits; file attributes on Windows
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::string security;  // the access-control list, on Windows
};

// A file open for reading, closed when destroyed.
class InputFile : public Source {
 public:
  explicit InputFile(const FileInfo& info) : info_(info) {}
  const FileInfo& info() const { return info_; }
  // Lets go of the file where the system cannot replace a file that is
  // open; a lock taken with it lasts until it is destroyed.
  virtual void Close() {}

 private:
  FileInfo info_;
};

// A file the run writes under a name of its own: the working file, or a copy
// beside the UCF. Closed when destroyed; its name stays unless removed.
class OutputFile : public Source, public Sink {
 public:
  // Makes a working file that this run did not create its own: replaces it
  // by a new, empty one that only its owner may read and write, still
  // locked. False, and the file untouched, if it has other names (hard
  // links) or belongs to another user: it is not the run's to destroy.
  virtual bool TakeOver() = 0;
  // Gives the file the UCF's permissions and, where allowed, its owner.
  virtual void TakePermissions(const FileInfo& ucf) = 0;
  // Makes the content durable. False on failure.
  virtual bool Sync() = 0;
  // Moves back to the first byte, to read what was written.
  virtual bool Rewind() = 0;
  // Renames the file over `target` in one step. False on failure, with
  // `*cross_device` set if `target` lies on another file system.
  virtual bool MoveTo(const std::string& target, bool* cross_device) = 0;
  // Removes the file's name. False on failure.
  virtual bool Remove() = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;
  // Opens `path` for reading. False if it cannot be opened.
  virtual bool OpenInput(const std::string& path, std::unique_ptr<InputFile>* file) = 0;
  // Opens the UCF at `path` for reading and waits for its turn: runs on one
  // UCF take turns, from whatever folder they start. The turn lasts until
  // the file is destroyed. A read-only UCF is opened without waiting. False
  // if it cannot be opened or is not a regular file (refused without
  // blocking).
  virtual bool OpenUcf(const std::string& path, std::unique_ptr<InputFile>* file) = 0;
  // Waits for this folder's turn at the working file `name` and opens it,
  // never through a link, creating it if it is not there (then `*made` is
  // set); the turn lasts until the file is destroyed. False if it cannot be
  // created or opened, or is not a regular file.
  virtual bool OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file,
                               bool* made) = 0;
  // The identity of standard output, unknown unless it is a file.
  virtual FileId StandardOutputId() = 0;
  // Sets `*info` to what `path` names now, links followed. False if nothing.
  virtual bool Stat(const std::string& path, FileInfo* info) = 0;
  // Sets `*target` to the path of the file that `path` names, its own links
  // resolved where they point (its folders are left as they are). False if
  // it cannot be resolved.
  virtual bool ResolvePath(const std::string& path, std::string* target) = 0;
  // Creates a new, empty file that only its owner may read and write, in the
  // folder of `target`, to be moved onto `target`. If the run ends before,
  // even killed, nothing of it remains, or the next run on `target` removes
  // it. False on failure.
  virtual bool CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) = 0;
  // Makes the names in the folder of `path` durable. False on failure.
  virtual bool SyncFolder(const std::string& path) = 0;
};

// The operating system's own platform. Prepares the process for a run on
// first use: standard input, output and error are open, a closed reader of
// the messages does not end the run, and an interrupt or a hang-up removes
// what the run made before the process ends as it would have.
std::unique_ptr<Platform> SystemPlatform();

// The command line, program name first, in UTF-8 on every platform.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace romseed

#endif  // ROMSEED_PLATFORM_H_
