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

std::string Narrow(const wchar_t* w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
  s.pop_back();  // the terminator
  return s;
}

// A file's identity: its volume and its index on that volume.
struct FileId {
  bool known = false;
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const FileId& o) const {
    return known && o.known && volume == o.volume && high == o.high && low == o.low;
  }
};

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
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

std::ptrdiff_t ReadHandle(HANDLE h, unsigned char* p, std::size_t n) {
  DWORD got = 0;
  DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
  if (::ReadFile(h, p, want, &got, nullptr)) return got;
  // A pipe whose writer has gone has simply ended.
  return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
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

class Win32Input : public InputFile {
 public:
  Win32Input(HANDLE h, FileId id, bool regular, DWORD attributes, std::wstring final_path)
      : h_(h), id_(id), regular_(regular), attributes_(attributes),
        final_path_(std::move(final_path)) {}
  ~Win32Input() override { Close(); }
  std::ptrdiff_t Read(unsigned char* p, std::size_t n) override { return ReadHandle(h_, p, n); }
  bool IsRegular() const override { return regular_; }
  void Close() override {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
  const FileId& id() const { return id_; }
  DWORD attributes() const { return attributes_; }
  const std::wstring& final_path() const { return final_path_; }

 private:
  HANDLE h_;
  FileId id_;
  bool regular_;
  DWORD attributes_;
  std::wstring final_path_;  // the UCF itself, with every link resolved
};

class Win32WorkingFile : public WorkingFile {
 public:
  Win32WorkingFile(std::wstring name, HANDLE h, const BY_HANDLE_FILE_INFORMATION& info)
      : name_(std::move(name)), h_(h), info_(info) {}
  ~Win32WorkingFile() override {
    // Still locked, so the name is still ours to remove.
    if (owned_) ::DeleteFileW(name_.c_str());
    ::CloseHandle(h_);
  }
  bool Write(const unsigned char* p, std::size_t n) override { return WriteHandle(h_, p, n); }
  bool IsSameFile(const InputFile& in) const override {
    return static_cast<const Win32Input&>(in).id() == IdOf(info_);
  }
  bool Truncate() override {
    LARGE_INTEGER zero = {};
    if (info_.nNumberOfLinks != 1 || !::SetFilePointerEx(h_, zero, nullptr, FILE_BEGIN) ||
        !::SetEndOfFile(h_)) {
      return false;
    }
    owned_ = true;
    return true;
  }
  ReplaceStatus Replace(const std::string& ucf_path, const InputFile& ucf) override;

 private:
  bool CopyBeside(const std::wstring& target, DWORD attributes);

  std::wstring name_;
  HANDLE h_;
  BY_HANDLE_FILE_INFORMATION info_;
  bool owned_ = false;
};

constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

ReplaceStatus Win32WorkingFile::Replace(const std::string& ucf_path, const InputFile& ucf) {
  const auto& in = static_cast<const Win32Input&>(ucf);
  if (!::FlushFileBuffers(h_)) return ReplaceStatus::kWriteError;
  std::wstring target = in.final_path().empty() ? Widen(ucf_path) : in.final_path();
  // The working file is in use by this handle, opened to share deletion, so
  // it can be moved; its lock goes with it until the handle is closed.
  if (!::MoveFileExW(name_.c_str(), target.c_str(), kMoveFlags)) {
    if (::GetLastError() != ERROR_NOT_SAME_DEVICE || !CopyBeside(target, in.attributes())) {
      return ReplaceStatus::kReplaceError;
    }
    ::DeleteFileW(name_.c_str());
  }
  owned_ = false;
  return ReplaceStatus::kOk;
}

// A move cannot cross volumes: copy into a file beside the UCF, then move that.
bool Win32WorkingFile::CopyBeside(const std::wstring& target, DWORD attributes) {
  std::wstring::size_type slash = target.find_last_of(L"\\/");
  std::wstring dir = slash == std::wstring::npos ? L"." : target.substr(0, slash);
  wchar_t temp[MAX_PATH + 1];
  if (!::GetTempFileNameW(dir.c_str(), L"rsd", 0, temp)) return false;
  HANDLE out = ::CreateFileW(temp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = out != INVALID_HANDLE_VALUE;
  LARGE_INTEGER zero = {};
  ok = ok && ::SetFilePointerEx(h_, zero, nullptr, FILE_BEGIN);
  std::vector<unsigned char> buf(1 << 16);
  while (ok) {
    std::ptrdiff_t got = ReadHandle(h_, buf.data(), buf.size());
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = WriteHandle(out, buf.data(), static_cast<std::size_t>(got));
  }
  ok = ok && ::FlushFileBuffers(out);
  if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  ok = ok && ::SetFileAttributesW(temp, attributes & ~FILE_ATTRIBUTE_READONLY);
  ok = ok && ::MoveFileExW(temp, target.c_str(), kMoveFlags);
  if (!ok) ::DeleteFileW(temp);
  return ok;
}

}  // namespace

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

std::unique_ptr<InputFile> OpenInput(const std::string& path, bool regular_only) {
  // Backup semantics let a directory open, so that it fails where reading it
  // does, as elsewhere.
  std::wstring wide = Widen(path);
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  bool on_disk = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info);
  bool regular = on_disk && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  if (regular_only && !regular) {
    ::CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<Win32Input>(h, on_disk ? IdOf(info) : FileId(), regular,
                                      on_disk ? info.dwFileAttributes : 0,
                                      regular_only ? FinalPath(h) : std::wstring());
}

std::unique_ptr<WorkingFile> OpenWorkingFile(const std::string& name) {
  const std::wstring wide = Widen(name);
  // Another run may move the file away between our open and our lock; then
  // the lock is on a file that no longer bears the name, so open again.
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
    if (h == INVALID_HANDLE_VALUE) return nullptr;
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
      return nullptr;
    }
    if (IdOfPath(wide, FILE_FLAG_OPEN_REPARSE_POINT) == IdOf(info)) {
      if (IsEntryOfCurrentDir(h, wide)) return std::make_unique<Win32WorkingFile>(wide, h, info);
      ::CloseHandle(h);
      return nullptr;
    }
    ::CloseHandle(h);
  }
  return nullptr;
}

}  // namespace romseed
