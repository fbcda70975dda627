#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform.h"

namespace romseed {
namespace {

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  info.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
  info.mode = st.st_mode & 07777;
  info.owner = st.st_uid;
  info.group = st.st_gid;
  return info;
}

bool ReadFd(int fd, unsigned char* p, std::size_t n, std::size_t* got) {
  ssize_t r;
  while ((r = ::read(fd, p, n)) < 0 && errno == EINTR) {
  }
  *got = r > 0 ? static_cast<std::size_t>(r) : 0;
  return r >= 0;
}

bool WriteFd(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = ::write(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

std::string DirName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

class PosixInput : public InputFile {
 public:
  PosixInput(int fd, const struct stat& st) : InputFile(InfoOf(st)), fd_(fd) {}
  ~PosixInput() override { ::close(fd_); }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadFd(fd_, p, n, got);
  }

 private:
  int fd_;
};

class PosixOutput : public OutputFile {
 public:
  PosixOutput(std::string name, int fd, const struct stat& st)
      : name_(std::move(name)), fd_(fd), st_(st) {}
  ~PosixOutput() override { ::close(fd_); }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadFd(fd_, p, n, got);
  }
  bool Write(const unsigned char* p, std::size_t n) override { return WriteFd(fd_, p, n); }
  FileId id() const override { return InfoOf(st_).id; }
  bool Truncate() override { return st_.st_nlink == 1 && ::ftruncate(fd_, 0) == 0; }
  void TakePermissions(const FileInfo& ucf) override {
    if (::fchown(fd_, ucf.owner, ucf.group) != 0) {
      // Only root may give a file away; elsewhere it stays the runner's, as
      // with any editor that saves by renaming.
    }
    ::fchmod(fd_, ucf.mode);
  }
  bool Sync() override { return ::fsync(fd_) == 0; }
  bool Rewind() override { return ::lseek(fd_, 0, SEEK_SET) == 0; }
  bool MoveTo(const std::string& target, bool* cross_device) override {
    if (::rename(name_.c_str(), target.c_str()) == 0) return true;
    *cross_device = errno == EXDEV;
    return false;
  }
  bool Remove() override { return ::unlink(name_.c_str()) == 0; }

 private:
  std::string name_;
  int fd_;
  struct stat st_;
};

class PosixPlatform : public Platform {
 public:
  bool OpenInput(const std::string& path, bool regular_only,
                 std::unique_ptr<InputFile>* file) override;
  bool OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file) override;
  bool ResolvePath(const std::string& path, std::string* target) override;
  bool CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) override;
  bool SyncFolder(const std::string& path) override;
};

bool PosixPlatform::OpenInput(const std::string& path, bool regular_only,
                              std::unique_ptr<InputFile>* file) {
  // Non-blocking, so that a named pipe refused as the UCF does not first wait
  // for a writer.
  int flags = O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0);
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || (regular_only && !S_ISREG(st.st_mode))) {
    ::close(fd);
    return false;
  }
  if (regular_only) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *file = std::make_unique<PosixInput>(fd, st);
  return true;
}

bool PosixPlatform::OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file) {
  // Another run may rename the file away between our open and our lock; then
  // the lock is on a file that no longer bears the name, so open again. Each
  // attempt means another run finished meanwhile, so the bound is generous
  // and only stops a loop that could never end.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat st, now;
    int locked;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
      // Interrupted by a signal: wait again.
    }
    if (locked != 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return false;
    }
    if (::lstat(name.c_str(), &now) == 0 && InfoOf(now).id == InfoOf(st).id) {
      *file = std::make_unique<PosixOutput>(name, fd, st);
      return true;
    }
    ::close(fd);
  }
  return false;
}

bool PosixPlatform::ResolvePath(const std::string& path, std::string* target) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                        &std::free);
  if (!resolved) return false;
  *target = resolved.get();
  return true;
}

bool PosixPlatform::CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) {
  std::string name = DirName(target) + "/.romseed-XXXXXX";
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  struct stat st;
  if (fd < 0) return false;
  ::fstat(fd, &st);  // of a file just made: it cannot fail
  *file = std::make_unique<PosixOutput>(name, fd, st);
  return true;
}

bool PosixPlatform::SyncFolder(const std::string& path) {
  int fd = ::open(DirName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::unique_ptr<Platform> SystemPlatform() { return std::make_unique<PosixPlatform>(); }

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace romseed
