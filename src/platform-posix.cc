#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform.h"

namespace romseed {
namespace {

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::ptrdiff_t ReadFd(int fd, unsigned char* p, std::size_t n) {
  for (;;) {
    ssize_t r = ::read(fd, p, n);
    if (r >= 0 || errno != EINTR) return r;
  }
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

// Makes a rename in `dir` durable. A failure is not reported: the rename has
// already happened, and the UCF holds its new content either way.
void SyncDir(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

class PosixInput : public InputFile {
 public:
  PosixInput(int fd, const struct stat& st) : fd_(fd), st_(st) {}
  ~PosixInput() override { Close(); }
  std::ptrdiff_t Read(unsigned char* p, std::size_t n) override { return ReadFd(fd_, p, n); }
  bool IsRegular() const override { return S_ISREG(st_.st_mode); }
  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  const struct stat& status() const { return st_; }

 private:
  int fd_;
  struct stat st_;
};

class PosixWorkingFile : public WorkingFile {
 public:
  PosixWorkingFile(std::string name, int fd, const struct stat& st)
      : name_(std::move(name)), fd_(fd), st_(st) {}
  ~PosixWorkingFile() override {
    // Still locked, so the name is still ours to remove.
    if (owned_) ::unlink(name_.c_str());
    ::close(fd_);
  }
  bool Write(const unsigned char* p, std::size_t n) override { return WriteFd(fd_, p, n); }
  bool IsSameFile(const InputFile& in) const override {
    return SameInode(static_cast<const PosixInput&>(in).status(), st_);
  }
  bool Truncate() override {
    if (st_.st_nlink != 1 || ::ftruncate(fd_, 0) != 0) return false;
    owned_ = true;
    return true;
  }
  ReplaceStatus Replace(const std::string& ucf_path, const InputFile& ucf) override;

 private:
  bool CopyBeside(const std::string& target, const struct stat& ucf_st);
  void TakeOver(int fd, const struct stat& ucf) {
    if (::fchown(fd, ucf.st_uid, ucf.st_gid) != 0) {
      // Only root may give a file away; elsewhere it stays the runner's, as
      // with any editor that saves by renaming.
    }
    ::fchmod(fd, ucf.st_mode & 07777);
  }

  std::string name_;
  int fd_;
  struct stat st_;
  bool owned_ = false;
};

ReplaceStatus PosixWorkingFile::Replace(const std::string& ucf_path, const InputFile& ucf) {
  const struct stat& ucf_st = static_cast<const PosixInput&>(ucf).status();
  TakeOver(fd_, ucf_st);
  if (::fsync(fd_) != 0) return ReplaceStatus::kWriteError;
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(ucf_path.c_str(), nullptr),
                                                        &std::free);
  if (!resolved) return ReplaceStatus::kReplaceError;
  const std::string target = resolved.get();
  if (::rename(name_.c_str(), target.c_str()) != 0) {
    // A rename cannot cross file systems: go through a file beside the UCF.
    if (errno != EXDEV || !CopyBeside(target, ucf_st)) return ReplaceStatus::kReplaceError;
    ::unlink(name_.c_str());
  }
  owned_ = false;
  SyncDir(DirName(target));
  return ReplaceStatus::kOk;
}

bool PosixWorkingFile::CopyBeside(const std::string& target, const struct stat& ucf_st) {
  std::string dir = DirName(target);
  std::string temp = dir + "/.romseed-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  bool ok = ::lseek(fd_, 0, SEEK_SET) == 0;
  std::vector<unsigned char> buf(1 << 16);
  while (ok) {
    std::ptrdiff_t got = ReadFd(fd_, buf.data(), buf.size());
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = WriteFd(fd, buf.data(), static_cast<std::size_t>(got));
  }
  if (ok) TakeOver(fd, ucf_st);
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(name.data(), target.c_str()) == 0;
  if (!ok) ::unlink(name.data());
  return ok;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::unique_ptr<InputFile> OpenInput(const std::string& path, bool regular_only) {
  // Non-blocking, so that a named pipe refused as the UCF does not first wait
  // for a writer.
  int flags = O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0);
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || (regular_only && !S_ISREG(st.st_mode))) {
    ::close(fd);
    return nullptr;
  }
  if (regular_only) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<PosixInput>(fd, st);
}

std::unique_ptr<WorkingFile> OpenWorkingFile(const std::string& name) {
  // Another run may rename the file away between our open and our lock; then
  // the lock is on a file that no longer bears the name, so open again.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st, now;
    int locked;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
      // Interrupted by a signal: wait again.
    }
    if (locked != 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    if (::lstat(name.c_str(), &now) == 0 && SameInode(now, st)) {
      return std::make_unique<PosixWorkingFile>(name, fd, st);
    }
    ::close(fd);
  }
  return nullptr;
}

}  // namespace romseed
