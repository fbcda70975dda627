#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"

#ifndef O_TMPFILE  // Linux only; elsewhere opening a folder so fails, and a named file serves
#define O_TMPFILE O_DIRECTORY
#endif

namespace romseed {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

FileInfo InfoOf(const struct stat& st, bool read_only = false) {
  FileInfo info;
  info.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.read_only = read_only;
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

bool Lock(int fd) {
  int locked;
  while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  return locked == 0;
}

std::string DirName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The name the copy of a UCF on another file system bears for its rename.
std::string CopyName(const std::string& target) {
  return DirName(target) + "/.romseed-" + target.substr(target.rfind('/') + 1);
}

// The signals that end a run early; each removes what the run made first.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The names of the files this run made and still owns, the working file and
// the copy beside the UCF, kept where a signal handler may read them.
char g_made[2][4096];

void RemoveMadeAndEnd(int sig) {
  for (const char* name : g_made) {
    if (name[0]) ::unlink(name);
  }
  // Reset on entry, so this ends the process once the handler returns.
  ::raise(sig);
}

// Holds back the ending signals while it lives, so that a handler never sees
// a name that is half given up.
class SignalsWait {
 public:
  SignalsWait() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals) sigaddset(&set, sig);
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsWait() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// Marks `name` as made by this run, or with "" as no longer its own.
void SetMade(int slot, const std::string& name) {
  SignalsWait wait;
  g_made[slot][0] = '\0';
  if (name.size() < sizeof g_made[slot]) std::memcpy(g_made[slot], name.c_str(), name.size() + 1);
}

class PosixInput : public InputFile {
 public:
  PosixInput(int fd, const FileInfo& info) : InputFile(info), fd_(fd) {}
  ~PosixInput() override { ::close(fd_); }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadFd(fd_, p, n, got);
  }

 private:
  int fd_;
};

// The working file at the moment this run has its turn at it: a descriptor
// to write (none for a file that is not writable, which is only replaced),
// one that holds the lock, and whether this run created it.
struct Turn {
  int fd = -1;
  int lock_fd = -1;
  bool made = false;
  struct stat st = {};
};

// A working file of this user's that not even its owner may read (a run
// killed after giving it such a UCF's permissions): made readable again.
bool MendLeftover(const char* name) {
  struct stat st;
  return ::lstat(name, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
         ::fchmodat(AT_FDCWD, name, 0600, AT_SYMLINK_NOFOLLOW) == 0;
}

// Waits for the turn at `name`: locks what bears the name, creating it if
// nothing does, and checks that it still bears the name once locked, as
// another run may have moved it away meanwhile. Each new attempt means that
// another run finished, so the bound only stops a loop that could not end.
bool TakeTurn(const std::string& name, Turn* turn) {
  const char* path = name.c_str();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    Turn t;
    {
      // Made and marked at once, so that no signal can leave it behind.
      SignalsWait wait;
      t.fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      t.made = t.fd >= 0;
      if (t.made) SetMade(0, name);
    }
    if (!t.made && errno == EEXIST) t.fd = ::open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    t.lock_fd = t.fd;
    // Not writable: another run is giving it its UCF's permissions, or was
    // killed doing so. Reading is enough to wait for its turn.
    if (t.fd < 0 && errno == EACCES) t.lock_fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (t.lock_fd < 0 && (errno == ENOENT || (errno == EACCES && MendLeftover(path)))) continue;
    if (t.lock_fd < 0) return false;
    struct stat now;
    const bool locked = Lock(t.lock_fd) && ::fstat(t.lock_fd, &t.st) == 0;
    const bool named = locked && ::lstat(path, &now) == 0 && SameFile(now, t.st);
    if (named && S_ISREG(t.st.st_mode)) {
      // Whatever the umask: private until it replaces the UCF.
      if (t.made) ::fchmod(t.fd, 0600);
      *turn = t;
      return true;
    }
    // Not, or no longer, this run's to remove.
    if (t.made) SetMade(0, "");
    if (t.fd != t.lock_fd) ::close(t.fd);
    ::close(t.lock_fd);
    if (named || !locked) return false;
  }
  return false;
}

class PosixOutput : public OutputFile {
 public:
  // A file with a name, marked as made by this run in `slot` unless that is
  // -1; or, with `nameless`, one that gets `name` only to be moved.
  PosixOutput(std::string name, const Turn& turn, int slot, bool nameless = false)
      : name_(std::move(name)), turn_(turn), slot_(slot), nameless_(nameless) {}
  ~PosixOutput() override { Close(); }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadFd(turn_.fd, p, n, got);
  }
  bool Write(const unsigned char* p, std::size_t n) override { return WriteFd(turn_.fd, p, n); }
  bool TakeOver() override;
  void TakePermissions(const FileInfo& ucf) override {
    if (::fchown(turn_.fd, ucf.owner, ucf.group) != 0) {
      // Only root may give a file away; elsewhere it stays the runner's, as
      // with any editor that saves by renaming.
    }
    ::fchmod(turn_.fd, ucf.mode);
  }
  bool Sync() override { return ::fsync(turn_.fd) == 0; }
  bool Rewind() override { return ::lseek(turn_.fd, 0, SEEK_SET) == 0; }
  bool MoveTo(const std::string& target, bool* cross_device) override;
  bool Remove() override {
    SignalsWait wait;
    Forget();
    return nameless_ || ::unlink(name_.c_str()) == 0;
  }

 private:
  void Forget() {
    if (slot_ >= 0) SetMade(slot_, "");
    slot_ = -1;
  }
  void Close() {
    Forget();
    if (turn_.fd != turn_.lock_fd) ::close(turn_.fd);
    ::close(turn_.lock_fd);
  }

  std::string name_;
  Turn turn_;
  int slot_;
  bool nameless_;
};

bool PosixOutput::TakeOver() {
  // Under its lock, so no other run's: one that was killed left it, or one
  // made it and has not yet locked it (that run will find it gone and make
  // another). Each new attempt means another run moved on.
  for (int attempt = 0; !turn_.made; ++attempt) {
    if (attempt == 1000 || turn_.st.st_uid != ::geteuid() || turn_.st.st_nlink != 1 ||
        ::unlink(name_.c_str()) != 0) {
      return false;
    }
    Close();
    turn_ = Turn();
    if (!TakeTurn(name_, &turn_)) return false;
  }
  slot_ = 0;
  return true;
}

bool PosixOutput::MoveTo(const std::string& target, bool* cross_device) {
  SignalsWait wait;
  if (nameless_) {
    const std::string self = "/proc/self/fd/" + std::to_string(turn_.fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return false;
    }
    nameless_ = false;
    SetMade(slot_, name_);
  }
  if (::rename(name_.c_str(), target.c_str()) == 0) {
    Forget();
    return true;
  }
  *cross_device = errno == EXDEV;
  return false;
}

class PosixPlatform : public Platform {
 public:
  PosixPlatform();
  bool OpenInput(const std::string& path, std::unique_ptr<InputFile>* file) override;
  bool OpenUcf(const std::string& path, std::unique_ptr<InputFile>* file) override;
  bool OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file,
                       bool* made) override;
  FileId StandardOutputId() override {
    struct stat st;
    return ::fstat(STDOUT_FILENO, &st) == 0 ? InfoOf(st).id : FileId();
  }
  bool Stat(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *info = InfoOf(st);
    return true;
  }
  bool ResolvePath(const std::string& path, std::string* target) override;
  bool CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) override;
  bool SyncFolder(const std::string& path) override;
};

PosixPlatform::PosixPlatform() {
  // A closed standard descriptor would go to the next file opened, and the
  // messages with it: into the UCF.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
  }
  // The UCF's update does not depend on anyone reading the messages.
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = RemoveMadeAndEnd;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int sig : kEndingSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : kEndingSignals) {
    struct sigaction old;
    // A signal that the caller ignores (nohup) stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      ::sigaction(sig, &action, nullptr);
    }
  }
}

bool PosixPlatform::OpenInput(const std::string& path, std::unique_ptr<InputFile>* file) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return false;
  ::fstat(fd, &st);  // of an open descriptor: it cannot fail
  *file = std::make_unique<PosixInput>(fd, InfoOf(st));
  return true;
}

bool PosixPlatform::OpenUcf(const std::string& path, std::unique_ptr<InputFile>* file) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // For writing where it may be, as some network file systems lock only
    // such descriptors; without blocking, so that a named pipe is refused
    // rather than waited for.
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const bool writable = fd >= 0;
    if (!writable && (errno == EACCES || errno == EROFS || errno == EPERM)) {
      fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    struct stat st, now;
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return false;
    }
    ::fcntl(fd, F_SETFL, 0);
    // Root may write anything, so no write bit at all counts too.
    const bool read_only = !writable || (st.st_mode & 0222) == 0;
    // Locked, then checked: a run that had the turn may have replaced it.
    if (read_only || (Lock(fd) && ::fstat(fd, &st) == 0 && ::stat(path.c_str(), &now) == 0 &&
                      SameFile(now, st))) {
      // A copy left by a run on this UCF that was killed as it was renamed.
      std::string target;
      if (!read_only && ResolvePath(path, &target)) ::unlink(CopyName(target).c_str());
      *file = std::make_unique<PosixInput>(fd, InfoOf(st, read_only));
      return true;
    }
    ::close(fd);
  }
  return false;
}

bool PosixPlatform::OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file,
                                    bool* made) {
  Turn turn;
  if (!TakeTurn(name, &turn)) return false;
  *made = turn.made;
  *file = std::make_unique<PosixOutput>(name, turn, turn.made ? 0 : -1);
  return true;
}

bool PosixPlatform::ResolvePath(const std::string& path, std::string* target) {
  // Only the name's own links, each where it stands: resolving every folder
  // on the way (realpath) fails in folders deeper than PATH_MAX.
  *target = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(target->c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) return true;
    std::string to(st.st_size > 0 ? st.st_size + 1 : 4096, '\0');
    ssize_t n = ::readlink(target->c_str(), to.data(), to.size());
    // As many links as the system follows, and no more.
    if (n <= 0 || static_cast<std::size_t>(n) == to.size() || hops == 40) return false;
    to.resize(static_cast<std::size_t>(n));
    *target = to[0] == '/' ? to : DirName(*target) + "/" + to;
  }
}

bool PosixPlatform::CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) {
  // Nameless until it is moved, so that a run killed before leaves nothing;
  // where a file system cannot make such a file, a fixed name that the next
  // run on this UCF, holding it, removes.
  const std::string name = CopyName(target);
  Turn turn;
  turn.fd = ::open(DirName(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  const bool nameless = turn.fd >= 0;
  if (!nameless) {
    SignalsWait wait;
    turn.fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (turn.fd >= 0) SetMade(1, name);
  }
  if (turn.fd < 0) return false;
  turn.lock_fd = turn.fd;
  turn.made = true;
  ::fchmod(turn.fd, 0600);
  *file = std::make_unique<PosixOutput>(name, turn, 1, nameless);
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
