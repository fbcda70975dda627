#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>

#include <cstring>
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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenPath(const std::wstring& path, DWORD access, DWORD flags = 0) {
  // Backup semantics let a directory open, so that it fails where reading it
  // does, as elsewhere.
  return ::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow, true};
}

// What `h` is, or an unknown identity for what is not a file on a disk.
FileInfo InfoOf(HANDLE h) {
  FileInfo result;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info)) return result;
  result.id = IdOf(info);
  result.size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
      info.ftLastWriteTime.dwLowDateTime;
  result.mtime = static_cast<std::int64_t>(ticks * 100);
  result.mode = info.dwFileAttributes;
  result.read_only = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
  return result;
}

// The identity of whatever `path` names now, or an unknown one.
FileId IdOfPath(const std::wstring& path, DWORD flags) {
  HANDLE h = OpenPath(path, 0, flags);
  if (h == INVALID_HANDLE_VALUE) return FileId();
  FileId id = InfoOf(h).id;
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

// False under Wine, which maps access-control lists onto Unix permission
// bits, and not back faithfully (a private list gives 0770, that of a 0644
// file 0775): there a file keeps the bits it was made with.
bool HasAccessLists() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  return !wine;
}

// The access-control list of `h`, as a self-relative security descriptor.
std::string SecurityOf(HANDLE h) {
  DWORD size = 0;
  if (!HasAccessLists()) return std::string();
  ::GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::string sd(size, '\0');
  if (size == 0 || !::GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, &sd[0], size, &size)) {
    return std::string();
  }
  return sd;
}

// The user this process runs as, in a buffer that holds its SID.
std::vector<char> CurrentUser() {
  std::vector<char> user;
  HANDLE token;
  DWORD size = 0;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  user.resize(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size)) user.clear();
  ::CloseHandle(token);
  return user;
}

PSID UserSid(std::vector<char>& user) {
  return user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

// Lets only this process's user at the file behind `h`, whatever the folder
// would have it inherit. False where the volume keeps no such list (FAT)
// or lists are not kept (Wine), which leaves it as private as its folder.
bool MakePrivate(HANDLE h) {
  if (!HasAccessLists()) return false;
  std::vector<char> user = CurrentUser();
  EXPLICIT_ACCESSW only = {};
  only.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE | WRITE_DAC;
  only.grfAccessMode = SET_ACCESS;
  only.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  only.Trustee.ptstrName = static_cast<LPWSTR>(UserSid(user));
  PACL acl = nullptr;
  if (!UserSid(user) || ::SetEntriesInAclW(1, &only, nullptr, &acl) != ERROR_SUCCESS) return false;
  DWORD done = ::SetSecurityInfo(h, SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, acl, nullptr);
  ::LocalFree(acl);
  return done == ERROR_SUCCESS;
}

bool OwnedByCurrentUser(HANDLE h) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  std::vector<char> user = CurrentUser();
  bool ours = ::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                nullptr, nullptr, &sd) == ERROR_SUCCESS &&
              UserSid(user) && ::EqualSid(owner, UserSid(user));
  ::LocalFree(sd);
  return ours;
}

// The files this run made and still owns, the working file and the copy
// beside the UCF, removed if the console is interrupted or closed. The
// handler runs in a thread of its own, so both sides hold the lock.
CRITICAL_SECTION g_made_lock;
std::wstring g_made[2];

class MadeLock {
 public:
  MadeLock() { ::EnterCriticalSection(&g_made_lock); }
  ~MadeLock() { ::LeaveCriticalSection(&g_made_lock); }
};

void SetMade(int slot, const std::wstring& name) {
  MadeLock lock;
  g_made[slot] = name;
}

BOOL WINAPI RemoveMadeAndEnd(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  // Held to the end: the run stops at its next step that changes a name.
  ::EnterCriticalSection(&g_made_lock);
  // Deleted when this process's handles close, as it ends now.
  for (const std::wstring& name : g_made) {
    if (!name.empty()) ::DeleteFileW(name.c_str());
  }
  ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

class Win32Input : public InputFile {
 public:
  Win32Input(HANDLE h, const FileInfo& info, HANDLE turn = nullptr)
      : InputFile(info), h_(h), turn_(turn) {}
  ~Win32Input() override {
    Close();
    if (turn_) {
      ::ReleaseMutex(turn_);
      ::CloseHandle(turn_);
    }
  }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadHandle(h_, p, n, got);
  }
  void Close() override {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
  HANDLE turn_;  // the mutex that gives this run its turn at the UCF
};

constexpr DWORD kWorkingAccess = GENERIC_READ | GENERIC_WRITE | WRITE_DAC | READ_CONTROL;

class Win32Output : public OutputFile {
 public:
  Win32Output(std::wstring name, HANDLE h, int slot) : name_(std::move(name)), h_(h), slot_(slot) {
    ::GetFileInformationByHandle(h_, &info_);
  }
  ~Win32Output() override {
    Forget();
    ::CloseHandle(h_);
  }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    return ReadHandle(h_, p, n, got);
  }
  bool Write(const unsigned char* p, std::size_t n) override { return WriteHandle(h_, p, n); }
  bool TakeOver() override;
  void TakePermissions(const FileInfo& ucf) override {
    // The attributes a file may be given; a read-only one is never replaced.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};  // times of zero stay as they are
    basic.FileAttributes = (ucf.mode & kept) ? (ucf.mode & kept) : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(h_, FileBasicInfo, &basic, sizeof basic);
    // A move keeps the file's own list; the UCF's goes with its name, as
    // it is, inherited entries and all.
    if (!ucf.security.empty()) {
      ::SetKernelObjectSecurity(h_, DACL_SECURITY_INFORMATION,
                                const_cast<char*>(ucf.security.data()));
    }
  }
  bool Sync() override { return ::FlushFileBuffers(h_); }
  bool Rewind() override {
    LARGE_INTEGER zero = {};
    return ::SetFilePointerEx(h_, zero, nullptr, FILE_BEGIN);
  }
  bool MoveTo(const std::string& target, bool* cross_device) override {
    MadeLock lock;
    // The file is open by this handle, shared for deletion, so it can be
    // moved; its lock goes with it until the handle is closed. A file that
    // another process holds open cannot be replaced, and a run about to wait
    // for its turn opens the UCF for a moment (so may a virus scanner): that
    // moment passes.
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (::MoveFileExW(name_.c_str(), Widen(target).c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Forget();
        return true;
      }
      const DWORD error = ::GetLastError();
      *cross_device = error == ERROR_NOT_SAME_DEVICE;
      if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
      ::Sleep(10);
    }
    return false;
  }
  bool Remove() override {
    MadeLock lock;
    Forget();
    return ::DeleteFileW(name_.c_str());
  }

 private:
  void Forget() {
    if (slot_ >= 0) SetMade(slot_, std::wstring());
    slot_ = -1;
  }

  std::wstring name_;
  HANDLE h_;
  int slot_;
  BY_HANDLE_FILE_INFORMATION info_;
};

bool Win32Output::TakeOver() {
  // A file cannot take a deleted one's name while that is still open, so a
  // leftover is emptied in place, under its lock, and made private.
  FILE_BASIC_INFO normal = {};
  normal.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (info_.nNumberOfLinks != 1 || !OwnedByCurrentUser(h_) ||
      !::SetFileInformationByHandle(h_, FileBasicInfo, &normal, sizeof normal) || !Rewind() ||
      !::SetEndOfFile(h_)) {
    return false;
  }
  MakePrivate(h_);
  slot_ = 0;
  SetMade(slot_, name_);
  return true;
}

bool ClearReadOnly(const std::wstring& name) {
  HANDLE h = ::CreateFileW(name.c_str(), READ_CONTROL | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FileInfo info = InfoOf(h);
  FILE_BASIC_INFO basic = {};
  const DWORD rest = info.mode & ~FILE_ATTRIBUTE_READONLY;
  basic.FileAttributes = rest ? rest : FILE_ATTRIBUTE_NORMAL;
  bool cleared = info.read_only && !(info.mode & FILE_ATTRIBUTE_REPARSE_POINT) &&
                 OwnedByCurrentUser(h) &&
                 ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
  ::CloseHandle(h);
  return cleared;
}

class Win32Platform : public Platform {
 public:
  Win32Platform() {
    ::InitializeCriticalSection(&g_made_lock);
    ::SetConsoleCtrlHandler(RemoveMadeAndEnd, TRUE);
  }
  bool OpenInput(const std::string& path, std::unique_ptr<InputFile>* file) override {
    HANDLE h = OpenPath(Widen(path), GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE) return false;
    *file = std::make_unique<Win32Input>(h, InfoOf(h));
    return true;
  }
  bool OpenUcf(const std::string& path, std::unique_ptr<InputFile>* file) override;
  bool OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file,
                       bool* made) override;
  FileId StandardOutputId() override;
  bool Stat(const std::string& path, FileInfo* info) override {
    HANDLE h = OpenPath(Widen(path), 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    *info = InfoOf(h);
    ::CloseHandle(h);
    return true;
  }
  bool ResolvePath(const std::string& path, std::string* target) override;
  bool CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) override;
  // Moves are written through, so there is nothing left to flush.
  bool SyncFolder(const std::string&) override { return true; }
};

FileId Win32Platform::StandardOutputId() {
  // This needs no access right: standard output may be open for writing only.
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  FILE_ID_INFO info;
  if (::GetFileType(out) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandleEx(out, FileIdInfo, &info, sizeof info)) {
    return FileId();
  }
  FileId id;
  std::memcpy(&id.index, info.FileId.Identifier, sizeof id.index);
  // Wine gives no volume here: it is taken to be that of the current
  // folder, which holds the working file this is compared with.
  id.device = info.VolumeSerialNumber ? static_cast<DWORD>(info.VolumeSerialNumber)
                                      : IdOfPath(L".", 0).device;
  id.known = true;
  return id;
}

bool Win32Platform::OpenUcf(const std::string& path, std::unique_ptr<InputFile>* file) {
  const std::wstring wide = Widen(path);
  HANDLE h = OpenPath(wide, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) return false;
  FileInfo info = InfoOf(h);
  std::wstring final_path = FinalPath(h);
  if (!info.id.known || (info.mode & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    return false;
  }
  // No write access for this user is read-only too.
  HANDLE probe = OpenPath(wide, FILE_WRITE_DATA);
  if (probe != INVALID_HANDLE_VALUE) ::CloseHandle(probe);
  info.read_only |= probe == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED;
  if (info.read_only) {
    *file = std::make_unique<Win32Input>(h, info);
    return true;
  }
  // Closed while another run has its turn, as Windows cannot replace a file
  // that is open; the turn is a mutex named after the UCF's own path.
  ::CloseHandle(h);
  ::CharLowerBuffW(&final_path[0], static_cast<DWORD>(final_path.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (wchar_t c : final_path) hash = (hash ^ c) * 1099511628211ull;
  std::wstring name = L"Global\\romseed-";
  for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[hash >> shift & 15];
  HANDLE turn = ::CreateMutexW(nullptr, FALSE, name.c_str());
  if (!turn) return false;
  DWORD waited = ::WaitForSingleObject(turn, INFINITE);
  h = OpenPath(wide, GENERIC_READ);
  if ((waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) || h == INVALID_HANDLE_VALUE) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    ::CloseHandle(turn);
    return false;
  }
  info = InfoOf(h);
  info.security = SecurityOf(h);
  *file = std::make_unique<Win32Input>(h, info, turn);
  return true;
}

bool Win32Platform::OpenWorkingFile(const std::string& name, std::unique_ptr<OutputFile>* file,
                                    bool* made) {
  const std::wstring wide = Widen(name);
  // Another run may move the file away between our open and our lock; then
  // the lock is on a file that no longer bears the name, so open again. Each
  // new attempt means that another run finished, so the bound only stops a
  // loop that could not end.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // The link itself, never the file it points to. Creating only where
    // nothing stands keeps a dangling Unix link (under Wine) from creating
    // its target; another run creating the file meanwhile means try again.
    auto open = [&](DWORD disposition) {
      return ::CreateFileW(wide.c_str(), kWorkingAccess, kShareAll, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HANDLE h = open(OPEN_EXISTING);
    *made = false;
    // One of this user's marked read-only (a run never leaves one so) is
    // theirs to use all the same.
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED &&
        ClearReadOnly(wide)) {
      continue;
    }
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      MadeLock lock;  // made and marked at once
      h = open(CREATE_NEW);
      if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) continue;
      *made = h != INVALID_HANDLE_VALUE;
      if (*made) SetMade(0, wide);
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    // Windows locks are mandatory, so lock one byte far beyond any content:
    // it keeps other runs out without blocking this run's own reads and writes.
    OVERLAPPED beyond = {};
    beyond.Offset = 0xfffffffe;
    beyond.OffsetHigh = 0x7fffffff;
    bool ok = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
              !(info.dwFileAttributes & refused) &&
              ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &beyond) &&
              ::GetFileInformationByHandle(h, &info);
    const bool named = ok && IdOfPath(wide, FILE_FLAG_OPEN_REPARSE_POINT) == IdOf(info);
    if (named && IsEntryOfCurrentDir(h, wide)) {
      if (*made) MakePrivate(h);
      *file = std::make_unique<Win32Output>(wide, h, *made ? 0 : -1);
      return true;
    }
    if (*made) SetMade(0, std::wstring());
    ::CloseHandle(h);
    if (!ok || named) return false;
  }
  return false;
}

bool Win32Platform::ResolvePath(const std::string& path, std::string* target) {
  const std::wstring wide = Widen(path);
  HANDLE h = OpenPath(wide, 0);
  std::wstring final_path = h == INVALID_HANDLE_VALUE ? std::wstring() : FinalPath(h);
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  if (final_path.empty()) final_path = wide;
  *target = Narrow(final_path);
  // A name that UTF-8 cannot spell (a lone surrogate) would name another file.
  return Widen(*target) == final_path;
}

bool Win32Platform::CreateBeside(const std::string& target, std::unique_ptr<OutputFile>* file) {
  // A fixed name, which the next run on this UCF, holding it, replaces.
  const std::wstring wide = Widen(target);
  std::wstring::size_type slash = wide.find_last_of(L"\\/");
  const std::wstring name = wide.substr(0, slash + 1) + L".romseed-" + wide.substr(slash + 1);
  MadeLock lock;  // made and marked at once
  HANDLE h = ::CreateFileW(name.c_str(), kWorkingAccess | DELETE, kShareAll, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  SetMade(1, name);
  MakePrivate(h);
  *file = std::make_unique<Win32Output>(name, h, 1);
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
