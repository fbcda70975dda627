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

// What the run keeps of the UCF, to give the file that replaces it.
struct FileInfo {
  FileId id;
  std::uint32_t mode = 0;  // permission bits; file attributes on Windows
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};

// A file open for reading, closed when destroyed.
class InputFile : public Source {
 public:
  explicit InputFile(const FileInfo& info) : info_(info) {}
  const FileInfo& info() const { return info_; }

 private:
  FileInfo info_;
};

// A file the run writes under a name of its own: the working file, or a copy
// beside the UCF. Closed when destroyed; its name stays unless removed.
class OutputFile : public Source, public Sink {
 public:
  virtual FileId id() const = 0;
  // Empties the file. False, and the file untouched, if it has other names
  // (hard links), whose content is not the run's to destroy.
  virtual bool Truncate() = 0;
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
  // Opens `path` for reading. False if it cannot be opened or, with
  // `regular_only`, is not a regular file (refused without blocking).
  virtual bool OpenInput(const std::string& path, bool regular_only,
                         std::unique_ptr<InputFile>* file) = 0;
  // Creates `name` in the current folder, or opens it if it is there, never
  // through a link, and locks it for as long as it is open, waiting while
  // another run holds it. False if it cannot be created or opened, or is not
  // a regular file.
  virtual bool OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file) = 0;
  // Sets `*target` to the path of the file that `path` names, with every
  // link resolved. False if it cannot be resolved.
  virtual bool ResolvePath(const std::string& path, std::string* target) = 0;
  // Creates a new, empty file in the folder of `target`. False on failure.
  virtual bool CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) = 0;
  // Makes the names in the folder of `path` durable. False on failure.
  virtual bool SyncFolder(const std::string& path) = 0;
};

// The operating system's own platform.
std::unique_ptr<Platform> SystemPlatform();

// The command line, program name first, in UTF-8 on every platform.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace romseed

#endif  // ROMSEED_PLATFORM_H_
