#ifndef ROMSEED_PLATFORM_H_
#define ROMSEED_PLATFORM_H_

// The few operating-system calls the driver needs. Each platform implements
// this header in a file of its own.

#include <memory>
#include <string>
#include <vector>

#include "io.h"

namespace romseed {

// A file opened for reading, closed when destroyed.
class InputFile : public Source {
 public:
  virtual ~InputFile() = default;
  // True for a regular file (not a directory, pipe or device).
  virtual bool IsRegular() const = 0;
  // Lets go of the file; what is known of it (its identity, its permissions)
  // stays for WorkingFile::Replace.
  virtual void Close() = 0;
};

// The command line, program name first, in UTF-8 on every platform.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Opens `path` for reading, in binary. Null if it cannot be opened. With
// `regular_only`, anything but a regular file is refused without blocking.
std::unique_ptr<InputFile> OpenInput(const std::string& path, bool regular_only);

enum class ReplaceStatus { kOk, kWriteError, kReplaceError };

// The working file: created or reused in the current directory, never through
// a symbolic link, and locked for as long as it is open, so that runs from the
// same directory take turns.
class WorkingFile : public Sink {
 public:
  virtual ~WorkingFile() = default;
  // True if `in` is this very file, under whatever name it was opened.
  virtual bool IsSameFile(const InputFile& in) const = 0;
  // Empties the file for this run; refuses one that has other names (hard
  // links), whose content is not ours to destroy. From here on the file is the run's own and
  // is removed when destroyed unless Replace() succeeded.
  virtual bool Truncate() = 0;
  // Makes the content durable and puts it at the place `ucf_path` names (the
  // target of a link), with `ucf`'s permission bits, atomically: the UCF holds
  // either its old or its new content at any moment. On failure the UCF is
  // untouched and nothing is left behind.
  virtual ReplaceStatus Replace(const std::string& ucf_path, const InputFile& ucf) = 0;
};

// Opens `name` as the working file, waiting for the lock of another run. Null
// if it cannot be created or opened, or is a link or not a regular file.
std::unique_ptr<WorkingFile> OpenWorkingFile(const std::string& name);

}  // namespace romseed

#endif  // ROMSEED_PLATFORM_H_
