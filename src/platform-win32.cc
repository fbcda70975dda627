#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "platform.h"

namespace romseed {
namespace {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return std::string();
  int size = static_cast<int>(w.size());
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), size, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), size, &s[0], n, nullptr, nullptr);
  return s;
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow, true};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The identity of whatever `path` names now, or an unknown one.
FileId IdOfPath(const std::wstring& path, DWORD flags) {
  HANDLE h = ::CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileId();
  BY_HANDLE_FILE_INFORMATION info;
  FileId id = ::GetFileInformationByHandle(h, &info) ? IdOf(info) : FileId();
  ::CloseHandle(h);
  return id;
}

// The path of the file behind `h`, with every link resolved; empty if unknown.
std::wstring FinalPath(HANDLE h) {
  std::vector<wchar_t> buf(32768);
  DWORD n = ::GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  return n > 0 && n < buf.size() ? std::wstring(buf.data(), n) : std::wstring();
}

// True if `h` is the entry `name` of the current directory itself. A link
// that the system does not report as one (a Unix link under Wine) shows here:
// the file behind it has another name or lies elsewhere.
bool IsEntryOfCurrentDir(HANDLE h, const std::wstring& name) {
  std::wstring path = FinalPath(h);
  std::wstring::size_type slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return false;
  std::wstring leaf = path.substr(slash + 1);
  return ::CompareStringOrdinal(leaf.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL &&
         IdOfPath(path.substr(0, slash), 0) == IdOfPath(L".", 0);
}

bool ReadHandle(HANDLE h, unsigned char* p, std::size_t n, std::size_t* got) {
  DWORD done = 0;
  DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
  bool ok = ::ReadFile(h, p, want, &done, nullptr);
  *got = done;
  // A pipe whose writer has gone has simply ended.
  return ok || ::GetLastError() == ERROR_BROKEN_PIPE;
}

bool WriteHandle(HANDLE h, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    DWORD done = 0;
    DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    if (!::WriteFile(h, p, want, &done, nullptr) || done == 0) return false;
    p += done;
    n -= done;
  }
  return true;
}

FileInfo InfoOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileInfo result;
  result.id = IdOf(info);
  result.mode = info.dwFileAttributes;
  return result;
}

class Win32Input : public InputFile {
 public:
  Win32Input(HANDLE h, const FileInfo& info) : InputFile(info), h_(h) {}
  ~Win32Input() override { ::CloseHandle(h_); }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadHandle(h_, p, n, got);
  }

 private:
  HANDLE h_;
};

class Win32Output : public OutputFile {
 public:
  Win32Output(std::wstring name, HANDLE h, const BY_HANDLE_FILE_INFORMATION& info)
      : name_(std::move(name)), h_(h), info_(info) {}
  ~Win32Output() override { ::CloseHandle(h_); }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadHandle(h_, p, n, got);
  }
  bool Write(const unsigned char* p, std::size_t n) override { return WriteHandle(h_, p, n); }
  FileId id() const override { return IdOf(info_); }
  bool Truncate() override {
    return info_.nNumberOfLinks == 1 && Rewind() && ::SetEndOfFile(h_);
  }
  void TakePermissions(const FileInfo& ucf) override {
    // The attributes a file may be given; a read-only one could not be moved.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};  // times of zero stay as they are
    basic.FileAttributes = (ucf.mode & kept) ? (ucf.mode & kept) : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(h_, FileBasicInfo, &basic, sizeof basic);
  }
  bool Sync() override { return ::FlushFileBuffers(h_); }
  bool Rewind() override {
    LARGE_INTEGER zero = {};
    return ::SetFilePointerEx(h_, zero, nullptr, FILE_BEGIN);
  }
  bool MoveTo(const std::string& target, bool* cross_device) override {
    // The file is open by this handle, shared for deletion, so it can be
    // moved; its lock goes with it until the handle is closed.
    if (::MoveFileExW(name_.c_str(), Widen(target).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    *cross_device = ::GetLastError() == ERROR_NOT_SAME_DEVICE;
    return false;
  }
  bool Remove() override { return ::DeleteFileW(name_.c_str()); }

 private:
  std::wstring name_;
  HANDLE h_;
  BY_HANDLE_FILE_INFORMATION info_;
};

class Win32Platform : public Platform {
 public:
  bool OpenInput(const std::string& path, bool regular_only,
                 std::unique_ptr<InputFile>* file) override;
  bool OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file) override;
  bool ResolvePath(const std::string& path, std::string* target) override;
  bool CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) override;
  // Moves are written through, so there is nothing left to flush.
  bool SyncFolder(const std::string&) override { return true; }
};

bool Win32Platform::OpenInput(const std::string& path, bool regular_only,
                              std::unique_ptr<InputFile>* file) {
  // Backup semantics let a directory open, so that it fails where reading it
  // does, as elsewhere.
  HANDLE h = ::CreateFileW(Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool on_disk = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info);
  bool regular = on_disk && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  if (regular_only && !regular) {
    ::CloseHandle(h);
    return false;
  }
  *file = std::make_unique<Win32Input>(h, on_disk ? InfoOf(info) : FileInfo());
  return true;
}

bool Win32Platform::OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file) {
  const std::wstring wide = Widen(name);
  // Another run may move the file away between our open and our lock; then
  // the lock is on a file that no longer bears the name, so open again. Each
  // attempt means another run finished meanwhile, so the bound is generous
  // and only stops a loop that could never end.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // The link itself, never the file it points to. Creating only where
    // nothing stands keeps a dangling Unix link (under Wine) from creating
    // its target; another run creating the file meanwhile means try again.
    auto open = [&](DWORD disposition) {
      return ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    };
    HANDLE h = open(OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      h = open(CREATE_NEW);
      if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) continue;
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    // Windows locks are mandatory, so lock one byte far beyond any content:
    // it keeps other runs out without blocking this run's own reads and writes.
    OVERLAPPED beyond = {};
    beyond.Offset = 0xfffffffe;
    beyond.OffsetHigh = 0x7fffffff;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & refused) ||
        !::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &beyond) ||
        !::GetFileInformationByHandle(h, &info)) {
      ::CloseHandle(h);
      return false;
    }
    if (IdOfPath(wide, FILE_FLAG_OPEN_REPARSE_POINT) == IdOf(info)) {
      if (IsEntryOfCurrentDir(h, wide)) {
        *file = std::make_unique<Win32Output>(wide, h, info);
        return true;
      }
      ::CloseHandle(h);
      return false;
    }
    ::CloseHandle(h);
  }
  return false;
}

bool Win32Platform::ResolvePath(const std::string& path, std::string* target) {
  const std::wstring wide = Widen(path);
  HANDLE h = ::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  std::wstring final_path = h == INVALID_HANDLE_VALUE ? std::wstring() : FinalPath(h);
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  if (final_path.empty()) final_path = wide;
  *target = Narrow(final_path);
  // A name that UTF-8 cannot spell (a lone surrogate) would name another file.
  return Widen(*target) == final_path;
}

bool Win32Platform::CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) {
  const std::wstring wide = Widen(target);
  std::wstring::size_type slash = wide.find_last_of(L"\\/");
  std::wstring dir = slash == std::wstring::npos ? L"." : wide.substr(0, slash);
  wchar_t temp[MAX_PATH + 1];
  if (!::GetTempFileNameW(dir.c_str(), L"rsd", 0, temp)) return false;
  HANDLE h = ::CreateFileW(temp, GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                           TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (h == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(h, &info)) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    ::DeleteFileW(temp);
    return false;
  }
  *file = std::make_unique<Win32Output>(temp, h, info);
  return true;
}

}  // namespace

std::unique_ptr<Platform> SystemPlatform() { return std::make_unique<Win32Platform>(); }

std::vector<std::string> ProgramArguments(int, char**) {
  // The narrow argv of Windows holds only what the code page can spell;
  // the wide command line holds every file name.
  std::vector<std::string> args;
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  for (int i = 0; argv && i < argc; ++i) args.push_back(Narrow(argv[i]));
  ::LocalFree(argv);
  // Messages carry those names in UTF-8.
  ::SetConsoleOutputCP(CP_UTF8);
  return args;
}

}  // namespace romseed
