// The calls of os.h on Linux, which the nameless files (O_TMPFILE), their
// linking through /proc/self/fd and the nanosecond times need.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#ifdef ROMSEED_HAVE_ACL
#include <acl/libacl.h>
#include <attr/libattr.h>
#endif

#include "os.h"

namespace romseed {
namespace {

// The signals whose default ends the process; each removes what the run made
// first. (SIGXFSZ is ignored instead, so that a write past a size limit
// fails as a write, and SIGPIPE, so that the messages' reader may go.)
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

void (*g_cleanup)() = nullptr;

void CleanUpAndEnd(int sig) {
  if (g_cleanup) g_cleanup();
  // Reset on entry, so this ends the process once the handler returns.
  ::raise(sig);
}

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  info.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.regular = S_ISREG(st.st_mode);
  info.read_only = (st.st_mode & 0222) == 0;
  info.mine = st.st_uid == ::geteuid();
  return info;
}

// Gives the file `to` the access ACL of `from` (which also replaces any that
// `to` inherited from its folder) and its extended attributes but the
// system's own (a security label is the file system's to give), as cp -a
// and editors that save by renaming do. Where the file system or the build
// has neither, there is nothing to copy.
bool CopyAclAndAttributes(int from, int to) {
#ifdef ROMSEED_HAVE_ACL
  if (::perm_copy_fd(nullptr, from, nullptr, to, nullptr) != 0) return false;
  const int copied = ::attr_copy_fd(nullptr, from, nullptr, to, nullptr, nullptr);
  return copied == 0 || errno == ENOTSUP;
#else
  (void)from, (void)to;
  return true;
#endif
}

// A descriptor, closed when destroyed.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

OsError ErrorOf(int error) {
  const OsError::Kind kind = error == ENOENT                                       ? OsError::kGone
                             : error == EEXIST                                     ? OsError::kExists
                             : error == EACCES || error == EPERM || error == EROFS ? OsError::kDenied
                             : error == EXDEV                                      ? OsError::kNeedsCopy
                                                                                   : OsError::kOther;
  return {kind, std::strerror(error)};
}

// False, with `*err` set from errno.
bool Failed(OsError* err) {
  *err = ErrorOf(errno);
  return false;
}

class LinuxFile : public File {
 public:
  explicit LinuxFile(int fd) : fd_(fd) {
    // A descriptor just opened: fstat fails only on a bad one.
    OsError ignored;
    Refresh(&ignored);
  }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) override {
    ssize_t r;
    while ((r = ::read(fd_.get(), p, n)) < 0 && errno == EINTR) continue;
    *got = r > 0 ? static_cast<std::size_t>(r) : 0;
    return r >= 0 || Failed(err);
  }
  bool Write(const unsigned char* p, std::size_t n, OsError* err) override {
    while (n > 0) {
      ssize_t r = ::write(fd_.get(), p, n);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Failed(err);
      // A write that takes nothing would never end.
      if (r == 0) return (*err = ErrorOf(ENOSPC), false);
      p += r;
      n -= static_cast<std::size_t>(r);
    }
    return true;
  }
  bool Lock(bool wait, OsError* err) override {
    // An open file description's own lock, which a caller's flock(1) on the
    // UCF does not meet; a descriptor open for reading only (a leftover that
    // is not writable) can take a shared one, enough to wait for the turn.
    struct flock lock = {};
    lock.l_type = (::fcntl(fd_.get(), F_GETFL) & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
    lock.l_whence = SEEK_SET;
    int locked;
    while ((locked = ::fcntl(fd_.get(), wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock)) != 0 &&
           errno == EINTR) {
      continue;
    }
    if (locked == 0) return Refresh(err);
    // Kernels before 3.15 have no such locks (EINVAL), nor have some file
    // systems (an NFS mount without its lock service: ENOLCK). flock() would
    // meet a caller's flock(1) on the UCF and wait for it forever, and a
    // process's fcntl() lock goes with any descriptor of the file it closes,
    // so there are none to be had.
    *err = ErrorOf(errno);
    if (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) err->kind = OsError::kNotSupported;
    return false;
  }
  bool TakeAttributesOf(const File& ucf, OsError* err) override {
    const struct stat& from = static_cast<const LinuxFile&>(ucf).st_;
    // The UCF's owner, where the system lets this user give a file away
    // (root); else it stays the runner's, as with any editor that saves by
    // renaming, but keeps the UCF's group where the runner is one of it, so
    // that the group can still write it; else the runner's group. The mode
    // counts all the same.
    if (::fchown(fd_.get(), from.st_uid, from.st_gid) != 0 &&
        ::fchown(fd_.get(), static_cast<uid_t>(-1), from.st_gid) != 0) {
      // Neither: harmless, as above.
    }
    if (::fchmod(fd_.get(), from.st_mode & 07777) != 0) return Failed(err);
    return CopyAclAndAttributes(static_cast<const LinuxFile&>(ucf).fd(), fd_.get()) || Failed(err);
  }
  bool Sync(OsError* err) override { return ::fsync(fd_.get()) == 0 || Failed(err); }
  bool Rewind(OsError* err) override { return ::lseek(fd_.get(), 0, SEEK_SET) == 0 || Failed(err); }
  int fd() const { return fd_.get(); }

 private:
  bool Refresh(OsError* err) {
    if (::fstat(fd_.get(), &st_) != 0) return Failed(err);
    info_ = InfoOf(st_);
    return true;
  }

  Fd fd_;
  struct stat st_ = {};
};

// The lock of a descriptor of the file, its own, which lasts as long as it.
class LockTurn : public Turn {
 public:
  explicit LockTurn(std::unique_ptr<File> file) : file_(std::move(file)) {}
  FileId id() const override { return file_->info().id; }

 private:
  std::unique_ptr<File> file_;
};

// A new file that only its owner may read and write, whatever the umask or a
// folder's default access list would give: private until it replaces the UCF.
int CreatePrivate(const char* path, int flags) {
  int fd = ::open(path, O_RDWR | O_CLOEXEC | flags, 0600);
  if (fd >= 0) ::fchmod(fd, 0600);
  return fd;
}

int OpenFd(const char* path, unsigned flags) {
  if (flags & kOpenCreate) return CreatePrivate(path, O_CREAT | O_EXCL | O_NOFOLLOW);
  const int fd = ::open(path, ((flags & kOpenWrite) ? O_RDWR : O_RDONLY) | O_CLOEXEC |
                                  ((flags & kOpenNoFollow) ? O_NOFOLLOW : 0) |
                                  ((flags & kOpenNoWait) ? O_NONBLOCK : 0));
  // Reads wait for a writer again, once the opening has not.
  if (fd >= 0 && (flags & kOpenNoWait)) ::fcntl(fd, F_SETFL, 0);
  return fd;
}

// Gives the nameless file open as `fd` the name `path`, through /proc.
int LinkNameless(int fd, const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
}

// Sets `*to` to where the link `path` points. False, with `*err` set, if it
// cannot be read. A link's size may be wrong (0, or 64 for those under
// /proc), so the buffer grows until the target fits.
bool ReadLink(const std::string& path, std::string* to, OsError* err) {
  for (std::size_t size = 256;; size *= 2) {
    to->resize(size);
    const ssize_t n = ::readlink(path.c_str(), to->data(), size);
    if (n <= 0) return n < 0 ? Failed(err) : (*err = ErrorOf(ENOENT), false);
    if (static_cast<std::size_t>(n) < size) return (to->resize(static_cast<std::size_t>(n)), true);
  }
}

class LinuxOs : public Os {
 public:
  LinuxOs() {
    // A closed standard descriptor would go to the next file opened, and the
    // messages with it: into the UCF.
    for (int fd = 0; fd <= 2; ++fd) {
      if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
    // The UCF's update does not depend on anyone reading the messages.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
  }

  std::unique_ptr<File> Open(const std::string& path, unsigned flags, OsError* err) override {
    const int fd = OpenFd(path.c_str(), flags);
    if (fd < 0) return (Failed(err), nullptr);
    return std::make_unique<LinuxFile>(fd);
  }

  std::unique_ptr<Turn> TakeTurn(const std::string& path, bool shared, bool wait, OsError* err) override {
    std::unique_ptr<File> file = Open(path, (shared ? kOpenRead : kOpenWrite) | kOpenNoWait, err);
    if (!file || !file->Lock(wait, err)) return nullptr;
    return std::make_unique<LockTurn>(std::move(file));
  }

  std::unique_ptr<File> CreateNameless(const std::string& path) override {
    // Such a file gets its name through /proc alone.
    if (::access("/proc/self/fd", F_OK) != 0) return nullptr;
    int fd = CreatePrivate(FolderOf(path).c_str(), O_TMPFILE);
    return fd < 0 ? nullptr : std::make_unique<LinuxFile>(fd);
  }

  bool Move(File& file, const std::string& from, const std::string& to, OsError* err) override {
    // A second name, by a link, which never replaces a file; a nameless file
    // is linked through its descriptor.
    const int linked = from.empty() ? LinkNameless(static_cast<LinuxFile&>(file).fd(), to)
                                    : ::link(from.c_str(), to.c_str());
    if (linked == 0) return true;
    *err = ErrorOf(errno);
    // A file system without hard links (FAT, exFAT, a shared folder of a
    // virtual machine, SMB), or a file that may not have more.
    if (errno == EPERM || errno == EMLINK || errno == EOPNOTSUPP) err->kind = OsError::kNotSupported;
    return false;
  }

  bool Stat(const std::string& path, bool follow, FileInfo* info) override {
    struct stat st;
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
    *info = InfoOf(st);
    return true;
  }

  FileId StandardStreamId(Stream which) override {
    struct stat st;
    const int fd = which == Stream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
    return ::fstat(fd, &st) == 0 ? InfoOf(st).id : FileId();
  }

  bool ResolvePath(const std::string& path, std::string* target, OsError* err) override {
    // Only the name's own links, each where it stands: resolving every folder
    // on the way (realpath) fails in folders deeper than PATH_MAX.
    *target = path;
    for (int hops = 0;; ++hops) {
      struct stat st;
      if (::lstat(target->c_str(), &st) != 0) return Failed(err);
      if (!S_ISLNK(st.st_mode)) return true;
      std::string to;
      if (!ReadLink(*target, &to, err)) return false;
      // As many links as the system follows, and no more.
      if (hops == 40) return (*err = ErrorOf(ELOOP), false);
      *target = to[0] == '/' ? to : FolderOf(*target) + "/" + to;
    }
  }

  bool Rename(const std::string& from, const std::string& to, OsError* err) override {
    return ::rename(from.c_str(), to.c_str()) == 0 || Failed(err);
  }

  bool Exchange(const std::string& a, const std::string& b) override {
    // Kernels before 3.15 cannot, nor file systems such as NFS.
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
  }

  bool Remove(const std::string& path, OsError* err) override {
    return ::unlink(path.c_str()) == 0 || Failed(err);
  }

  bool MakeWritable(const std::string& path, OsError* err) override {
    return ::fchmodat(AT_FDCWD, path.c_str(), 0600, AT_SYMLINK_NOFOLLOW) == 0 || Failed(err);
  }

  bool SyncFolder(const std::string& path, OsError* err) override {
    Fd fd(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return (fd.get() >= 0 && ::fsync(fd.get()) == 0) || Failed(err);
  }

  std::vector<std::string> List(const std::string& path, const std::string& prefix) override {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(FolderOf(path).c_str()), ::closedir);
    while (folder) {
      const struct dirent* entry = ::readdir(folder.get());
      if (!entry) break;
      if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
        names.push_back(entry->d_name);
      }
    }
    return names;
  }

  bool Random(std::uint64_t* n) override {
    if (::getrandom(n, sizeof *n, GRND_NONBLOCK) == sizeof *n) return true;
    // Kernels before 3.17, or a pool not yet ready at boot.
    Fd random(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    return random.get() >= 0 && ::read(random.get(), n, sizeof *n) == sizeof *n;
  }
};

}  // namespace

std::unique_ptr<Os> SystemOs() { return std::make_unique<LinuxOs>(); }

void OnInterrupt(void (*cleanup)()) {
  g_cleanup = cleanup;
  struct sigaction action = {};
  action.sa_handler = CleanUpAndEnd;
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

static_assert(sizeof(sigset_t) <= 128, "InterruptsHeld keeps a signal set");

InterruptsHeld::InterruptsHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  ::sigprocmask(SIG_BLOCK, &set, new (saved_) sigset_t);
}

InterruptsHeld::~InterruptsHeld() {
  ::sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr);
}

void RemoveWhileEnding(const char* path) { ::unlink(path); }

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace romseed
