// The calls of os.h on Windows.
#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>

#include <cstring>
#include <vector>

#include "hex.h"
#include "os.h"
#include "retry_limits.h"

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

// The system's words for `error`.
std::string Reason(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring reason(text ? text : L"", n);
  ::LocalFree(text);
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L'.')) {
    reason.pop_back();
  }
  return Narrow(reason);
}

// The errors a caller acts on, by their kind; any other is kOther.
constexpr struct {
  DWORD error;
  OsError::Kind kind;
} kKinds[] = {
    {ERROR_FILE_NOT_FOUND, OsError::kGone},       {ERROR_FILE_EXISTS, OsError::kExists},
    {ERROR_ALREADY_EXISTS, OsError::kExists},     {ERROR_ACCESS_DENIED, OsError::kDenied},
    {ERROR_WRITE_PROTECT, OsError::kDenied},      {ERROR_NOT_SAME_DEVICE, OsError::kNeedsCopy},
    {ERROR_NOT_SUPPORTED, OsError::kNotSupported}, {ERROR_INVALID_FUNCTION, OsError::kNotSupported},
};

// `e` as this layer says it.
OsError ErrorOf(DWORD e) {
  OsError err{OsError::kOther, Reason(e)};
  for (const auto& k : kKinds) {
    if (k.error == e) err.kind = k.kind;
  }
  return err;
}

// False, with `*err` set from the last error.
bool Failed(OsError* err) {
  *err = ErrorOf(::GetLastError());
  return false;
}

// A handle, closed when destroyed.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (ok()) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenPath(const std::wstring& path, DWORD access, DWORD flags = 0) {
  // Backup semantics let a directory open, so that it fails where reading it
  // does, as elsewhere.
  return ::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The user this process runs as, in a buffer that holds its SID; looked up
// once, as every look at a file's owner needs it.
const std::vector<char>& CurrentUser() {
  static const std::vector<char> user = [] {
    std::vector<char> sid;
    Handle token;
    HANDLE h;
    DWORD size = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &h)) return sid;
    token.Reset(h);
    ::GetTokenInformation(h, TokenUser, nullptr, 0, &size);
    sid.resize(size);
    if (size == 0 || !::GetTokenInformation(h, TokenUser, sid.data(), size, &size)) sid.clear();
    return sid;
  }();
  return user;
}

PSID UserSid(const std::vector<char>& user) {
  return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

bool OwnedByCurrentUser(HANDLE h) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const std::vector<char>& user = CurrentUser();
  bool ours = ::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                nullptr, nullptr, &sd) == ERROR_SUCCESS &&
              UserSid(user) && ::EqualSid(owner, UserSid(user));
  ::LocalFree(sd);
  return ours;
}

// Lets only this process's user at the file behind `h`, whatever the folder
// would have it inherit. Where the volume keeps no such list (FAT), the file
// is as private as its folder.
void MakePrivate(HANDLE h) {
  const std::vector<char>& user = CurrentUser();
  EXPLICIT_ACCESSW only = {};
  only.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE | WRITE_DAC;
  only.grfAccessMode = SET_ACCESS;
  only.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  only.Trustee.ptstrName = static_cast<LPWSTR>(UserSid(user));
  PACL acl = nullptr;
  if (!UserSid(user) || ::SetEntriesInAclW(1, &only, nullptr, &acl) != ERROR_SUCCESS) return;
  ::SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                    nullptr, nullptr, acl, nullptr);
  ::LocalFree(acl);
}

// The access-control list of `h`, as a self-relative security descriptor.
std::string SecurityOf(HANDLE h) {
  DWORD size = 0;
  ::GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::string sd(size, '\0');
  if (size == 0 || !::GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, &sd[0], size, &size)) {
    return std::string();
  }
  return sd;
}

// What `h` is, or an unknown identity for what is not a file on a disk.
FileInfo InfoOf(HANDLE h, DWORD* attributes = nullptr) {
  FileInfo result;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info)) {
    result.regular = false;
    return result;
  }
  result.id = {info.dwVolumeSerialNumber,
               static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow, true};
  result.size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
      info.ftLastWriteTime.dwLowDateTime;
  result.mtime = static_cast<std::int64_t>(ticks * 100);
  result.links = info.nNumberOfLinks;
  result.regular = !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  result.read_only = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
  if (attributes) *attributes = info.dwFileAttributes;
  return result;
}

// A function that not every Windows has, looked up when first used: null
// where it is missing. `T` is its type.
template <typename T>
T Lookup(const wchar_t* dll, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(dll), name)));
}

// The native file calls, in ntdll since Windows NT 4, which do on every
// Windows what kernel32 does on some only: NtQueryInformationFile,
// NtSetInformationFile and NtQueryVolumeInformationFile, which share a form.
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
using NtFileCall = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
enum class Nt { kQuery, kSet, kQueryVolume };
enum NtInfo { kFileBasic = 4, kFileInternal = 6, kFileName = 9, kFsVolume = 1 };

bool NtFile(Nt call, HANDLE h, void* info, ULONG size, NtInfo what) {
  static const NtFileCall calls[] = {
      Lookup<NtFileCall>(L"ntdll.dll", "NtQueryInformationFile"),
      Lookup<NtFileCall>(L"ntdll.dll", "NtSetInformationFile"),
      Lookup<NtFileCall>(L"ntdll.dll", "NtQueryVolumeInformationFile")};
  const NtFileCall f = calls[static_cast<int>(call)];
  IoStatus io = {};
  return f && f(h, &io, info, size, what) >= 0;
}

// The path of the file behind `h` within its volume, as "\dir\top.ucf": the
// same by whatever way the file was reached. Empty if unknown.
std::wstring VolumePath(HANDLE h) {
  std::vector<ULONG> buf(16384);  // a length, then the name
  if (!NtFile(Nt::kQuery, h, buf.data(), static_cast<ULONG>(buf.size() * sizeof buf[0]), kFileName) ||
      buf[0] > (buf.size() - 1) * sizeof buf[0]) {
    return std::wstring();
  }
  return std::wstring(reinterpret_cast<const wchar_t*>(&buf[1]), buf[0] / sizeof(wchar_t));
}

// The DOS path of the file behind `h`, with every link resolved; empty if
// unknown, or on Windows XP, whose files have no links to resolve.
std::wstring FinalPath(HANDLE h) {
  using Call = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  static const Call final_path = Lookup<Call>(L"kernel32.dll", "GetFinalPathNameByHandleW");
  std::vector<wchar_t> buf(32768);
  const DWORD n = final_path ? final_path(h, buf.data(), static_cast<DWORD>(buf.size()), 0) : 0;
  return n > 0 && n < buf.size() ? std::wstring(buf.data(), n) : std::wstring();
}

// Ordinal and ignoring case, as the file system compares names.
bool SameName(std::wstring a, std::wstring b) {
  if (a.size() != b.size()) return false;
  ::CharUpperBuffW(&a[0], static_cast<DWORD>(a.size()));
  ::CharUpperBuffW(&b[0], static_cast<DWORD>(b.size()));
  return a == b;
}

bool SetAttributes(HANDLE h, DWORD attributes) {
  struct {
    LARGE_INTEGER times[4];  // zero: as they are
    ULONG attributes;
  } basic = {};
  basic.attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return NtFile(Nt::kSet, h, &basic, sizeof basic, kFileBasic);
}

// The mutex that gives a run its turn at the UCF `path`, named after the
// file's volume and path there: Windows cannot replace a file that is open,
// so the file itself cannot be held locked. Found from a file opened for
// this: one opened earlier may have been replaced by the run ahead, and a
// replaced file may have no path left.
HANDLE TurnOf(const std::wstring& path) {
  std::wstring key;
  for (int attempt = 0; attempt < kTurnNameTries && key.empty(); ++attempt) {
    Handle h(OpenPath(path, 0));
    key = h.ok() ? VolumePath(h.get()) : std::wstring();
    if (!key.empty()) key += L":" + std::to_wstring(InfoOf(h.get()).id.device);
  }
  if (key.empty()) return nullptr;
  ::CharLowerBuffW(&key[0], static_cast<DWORD>(key.size()));
  std::uint64_t hash = kFnvStart;
  for (wchar_t c : key) hash = FnvStep(hash, c);
  return ::CreateMutexW(nullptr, FALSE, (L"Global\\romseed-" + Widen(Hex(hash, 16))).c_str());
}

class Win32File : public File {
 public:
  // `unwritable` for this user, whatever its attributes.
  Win32File(HANDLE h, bool lock_by_name, std::wstring path, bool mine, bool unwritable)
      : h_(h), lock_by_name_(lock_by_name), path_(std::move(path)), mine_(mine),
        unwritable_(unwritable) {
    Refresh();
  }
  ~Win32File() override {
    h_.Reset();
    if (turn_.ok()) ::ReleaseMutex(turn_.get());
  }
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) override {
    DWORD done = 0;
    DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    bool ok = ::ReadFile(h_.get(), p, want, &done, nullptr);
    *got = done;
    // A pipe whose writer has gone has simply ended.
    return ok || ::GetLastError() == ERROR_BROKEN_PIPE || Failed(err);
  }
  bool Write(const unsigned char* p, std::size_t n, OsError* err) override {
    while (n > 0) {
      DWORD done = 0;
      DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
      if (!::WriteFile(h_.get(), p, want, &done, nullptr)) return Failed(err);
      // A write that takes nothing would never end.
      if (done == 0) return (*err = ErrorOf(ERROR_DISK_FULL), false);
      p += done;
      n -= done;
    }
    return true;
  }
  bool Lock(bool wait, OsError* err) override;
  bool TakeAttributesOf(const File& ucf, OsError* err) override {
    const Win32File& from = static_cast<const Win32File&>(ucf);
    // The attributes a file may be given; a read-only one is never replaced.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    bool ok = SetAttributes(h_.get(), from.attributes_ & kept);
    // A move keeps the file's own list; the UCF's goes with its name, as it
    // is, inherited entries and all.
    if (!from.security_.empty()) {
      ok &= ::SetKernelObjectSecurity(h_.get(), DACL_SECURITY_INFORMATION,
                                      const_cast<char*>(from.security_.data())) != 0;
    }
    return ok || Failed(err);
  }
  bool Sync(OsError* err) override { return ::FlushFileBuffers(h_.get()) || Failed(err); }
  bool Rewind(OsError* err) override {
    LARGE_INTEGER zero = {};
    return ::SetFilePointerEx(h_.get(), zero, nullptr, FILE_BEGIN) || Failed(err);
  }
  void Release() override {
    if (lock_by_name_) h_.Reset();
  }

 private:
  bool LockByName(bool wait, OsError* err);
  bool LockRange(bool wait, OsError* err);
  void Refresh() {
    info_ = InfoOf(h_.get(), &attributes_);
    info_.mine = mine_;
    info_.read_only |= unwritable_;
  }

  Handle h_;
  bool lock_by_name_;
  std::wstring path_;
  bool mine_, unwritable_;
  DWORD attributes_ = 0;
  std::string security_;  // the UCF's access-control list, once locked
  Handle turn_{nullptr};
};

bool Win32File::Lock(bool wait, OsError* err) {
  const bool locked = lock_by_name_ ? LockByName(wait, err) : LockRange(wait, err);
  // Also without locks: what the file is now, for a caller that goes on without turns.
  if (locked || err->kind == OsError::kNotSupported) Refresh();
  return locked;
}

bool Win32File::LockByName(bool wait, OsError* err) {
  // Closed while another run has its turn, and opened again once it is
  // this run's, to read what the run before wrote.
  if (!turn_.ok()) {
    turn_.Reset(TurnOf(path_));
    h_.Reset();
  }
  if (!turn_.ok()) return Failed(err);
  DWORD waited = ::WaitForSingleObject(turn_.get(), wait ? INFINITE : 0);
  if (waited == WAIT_TIMEOUT) return (*err = {OsError::kOther, "another run has its turn"}, false);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return Failed(err);
  h_.Reset(OpenPath(path_, GENERIC_READ | READ_CONTROL));
  if (!h_.ok()) {
    // Not held, so not kept: each wait adds to the mutex's count.
    Failed(err);
    ::ReleaseMutex(turn_.get());
    return false;
  }
  security_ = SecurityOf(h_.get());
  return true;
}

bool Win32File::LockRange(bool wait, OsError* err) {
  // Windows locks are mandatory, so one byte far beyond any content: it
  // keeps other runs out without blocking this run's own reads and writes.
  OVERLAPPED beyond = {};
  beyond.Offset = 0xfffffffe;
  beyond.OffsetHigh = 0x7fffffff;
  const DWORD how = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  // A file system without byte-range locks says kNotSupported.
  return ::LockFileEx(h_.get(), how, 0, 1, 0, &beyond) || Failed(err);
}

// What `path` names now; an unknown identity if nothing.
FileInfo InfoOfPath(const std::wstring& path, DWORD flags = 0) {
  Handle h(OpenPath(path, 0, flags));
  return h.ok() ? InfoOf(h.get()) : FileInfo();
}

// True if `h` is the entry that `path` names in its folder itself. A link
// that the file system does not report as one (a Unix link seen through a
// file server) shows here: the file behind it has another name or lies
// elsewhere.
bool IsOwnEntry(HANDLE h, const std::wstring& path) {
  const std::wstring own = VolumePath(h);
  const std::wstring::size_type sep = path.find_last_of(L"\\/");
  Handle here(OpenPath(sep == std::wstring::npos ? L"." : path.substr(0, sep + 1), 0));
  std::wstring folder = here.ok() ? VolumePath(here.get()) : std::wstring();
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();  // the volume's root
  const std::wstring name = sep == std::wstring::npos ? path : path.substr(sep + 1);
  const std::wstring::size_type slash = own.find_last_of(L'\\');
  return slash != std::wstring::npos && SameName(own.substr(slash + 1), name) &&
         SameName(own.substr(0, slash), folder) && InfoOf(h).id.device == InfoOf(here.get()).id.device;
}

// Opens what stands at `path` as `flags` say. Never through a link: a
// reparse point opens as itself, and a name that is not its folder's own
// entry (moved away since: kGone) is refused. INVALID_HANDLE_VALUE, with
// `*err` set, on failure.
HANDLE OpenExisting(const std::wstring& path, unsigned flags, OsError* err) {
  const DWORD access = GENERIC_READ | ((flags & kOpenWrite) ? GENERIC_WRITE : 0);
  const DWORD no_follow = (flags & kOpenNoFollow) ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
  HANDLE h = OpenPath(path, access, no_follow);
  if (h == INVALID_HANDLE_VALUE) return (Failed(err), h);
  if (!no_follow || IsOwnEntry(h, path)) return h;
  const bool moved = !(InfoOfPath(path, FILE_FLAG_OPEN_REPARSE_POINT).id == InfoOf(h).id);
  ::CloseHandle(h);
  *err = ErrorOf(moved ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

// Moves `from` to `to`, written through. Another process may hold either
// open for a moment (a run about to wait for its turn, a virus scanner),
// which makes the move fail; the moment passes.
bool MoveName(const std::wstring& from, const std::wstring& to, DWORD flags) {
  for (int attempt = 0; attempt < kMoveTries; ++attempt) {
    if (::MoveFileExW(from.c_str(), to.c_str(), flags | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD e = ::GetLastError();
    if (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION) return false;
    ::Sleep(kRetryPauseMs);
  }
  return false;
}

class Win32Os : public Os {
 public:
  std::unique_ptr<File> Open(const std::string& path, unsigned flags, OsError* err) override {
    const std::wstring wide = Widen(path);
    const bool create = flags & kOpenCreate;
    // A new file never follows a link: CREATE_NEW fails on any name taken.
    HANDLE h = create ? ::CreateFileW(wide.c_str(),
                                      GENERIC_READ | GENERIC_WRITE | WRITE_DAC | READ_CONTROL | DELETE,
                                      kShareAll, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                      : OpenExisting(wide, flags, err);
    if (h == INVALID_HANDLE_VALUE) {
      if (create) Failed(err);  // OpenExisting has said why
      return nullptr;
    }
    if (create) MakePrivate(h);
    return std::make_unique<Win32File>(h, flags & kOpenLockByName, wide,
                                       create || OwnedByCurrentUser(h),
                                       !(flags & (kOpenWrite | kOpenCreate)));
  }

  std::unique_ptr<File> CreateNameless(const std::string&) override { return nullptr; }

  bool Move(File& file, const std::string& from, const std::string& to, OsError* err) override {
    // Windows moves names, not handles: the name is checked to be this
    // file's on both sides of the move. (No nameless files here.)
    const FileId own = file.info().id;
    const DWORD kNoFollow = FILE_FLAG_OPEN_REPARSE_POINT;
    const OsError not_this_file{OsError::kOther, Reason(ERROR_FILE_NOT_FOUND)};
    if (from.empty() || !(InfoOfPath(Widen(from), kNoFollow).id == own)) {
      *err = not_this_file;
      return false;
    }
    if (!MoveName(Widen(from), Widen(to), 0)) return Failed(err);
    if (!(InfoOfPath(Widen(to), kNoFollow).id == own)) {
      *err = not_this_file;
      return false;
    }
    return true;
  }

  bool Stat(const std::string& path, bool follow, FileInfo* info) override {
    const DWORD flags = follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT;
    *info = InfoOfPath(Widen(path), flags);
    // Whose it is takes the right to read its owner, which others may deny.
    Handle owner(OpenPath(Widen(path), READ_CONTROL, flags));
    info->mine = owner.ok() && OwnedByCurrentUser(owner.get());
    return info->id.known;
  }

  FileId StandardStreamId(Stream which) override {
    HANDLE out = ::GetStdHandle(which == Stream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (::GetFileType(out) != FILE_TYPE_DISK) return FileId();
    FileInfo info = InfoOf(out);
    if (info.id.known) return info.id;
    // A handle open for writing only gives its identity here alone.
    std::uint64_t index = 0;
    unsigned char volume[1024] = {};  // its creation time, serial number and label
    FileId id;
    id.known = NtFile(Nt::kQuery, out, &index, sizeof index, kFileInternal) &&
               NtFile(Nt::kQueryVolume, out, volume, sizeof volume, kFsVolume);
    ULONG serial = 0;
    std::memcpy(&serial, volume + 8, sizeof serial);
    id.device = serial;
    id.index = index;
    return id;
  }

  bool ResolvePath(const std::string& path, std::string* target, OsError* err) override {
    const std::wstring wide = Widen(path);
    Handle h(OpenPath(wide, 0));
    std::wstring final_path = h.ok() ? FinalPath(h.get()) : std::wstring();
    if (final_path.empty()) final_path = wide;
    *target = Narrow(final_path);
    // A name that UTF-8 cannot spell (a lone surrogate) would name another file.
    if (Widen(*target) == final_path) return true;
    *err = {OsError::kOther, Reason(ERROR_INVALID_NAME)};
    return false;
  }

  bool Rename(const std::string& from, const std::string& to, OsError* err) override {
    return MoveName(Widen(from), Widen(to), MOVEFILE_REPLACE_EXISTING) || Failed(err);
  }

  // Windows swaps no names.
  bool Exchange(const std::string&, const std::string&) override { return false; }

  bool Remove(const std::string& path, OsError* err) override {
    // A file that is still open keeps its name until it is closed, so it is
    // moved aside first: the name is free at once.
    const std::wstring wide = Widen(path);
    // Never over a file that bears the aside name, and never left there.
    const std::wstring aside = wide + L"." + std::to_wstring(::GetCurrentProcessId()) + L"~";
    if (::MoveFileExW(wide.c_str(), aside.c_str(), 0)) {
      if (::DeleteFileW(aside.c_str())) return true;
      Failed(err);
      ::MoveFileExW(aside.c_str(), wide.c_str(), 0);
      return false;
    }
    return ::DeleteFileW(wide.c_str()) || Failed(err);
  }

  bool MakeWritable(const std::string& path, OsError* err) override {
    Handle h(::CreateFileW(Widen(path).c_str(), READ_CONTROL | FILE_WRITE_ATTRIBUTES, kShareAll,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.ok()) return Failed(err);
    DWORD attributes = 0;
    // Not read-only, yet not writable: its access list says so, which this leaves alone.
    if (!InfoOf(h.get(), &attributes).read_only) return (*err = ErrorOf(ERROR_ACCESS_DENIED), false);
    return SetAttributes(h.get(), attributes & ~FILE_ATTRIBUTE_READONLY) ||
           (*err = ErrorOf(ERROR_ACCESS_DENIED), false);
  }

  // Moves are written through, so there is nothing left to flush.
  bool SyncFolder(const std::string&, OsError*) override { return true; }

  std::vector<std::string> List(const std::string& path, const std::string& prefix) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    const std::wstring pattern = Widen(FolderOf(path)) + L"\\" + Widen(prefix) + L"*";
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      // The pattern meets short names too: only the long one counts.
      const std::string name = Narrow(found.cFileName);
      if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
  }

  std::string Token() override {
    // RtlGenRandom, which Microsoft documents as looked up by its export name.
    using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
    static const GenRandom gen_random = Lookup<GenRandom>(L"advapi32.dll", "SystemFunction036");
    std::uint64_t n = 0;
    if (!gen_random || !gen_random(&n, sizeof n)) {
      LARGE_INTEGER now = {};
      ::QueryPerformanceCounter(&now);
      n = static_cast<std::uint64_t>(now.QuadPart) ^
          (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 40);
    }
    return Hex(n, kTokenDigits);
  }
};

// Guards the list of files the run made: the console's handler runs in a
// thread of its own.
struct MadeLock {
  MadeLock() { ::InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
} g_made_lock;

void (*g_cleanup)() = nullptr;

BOOL WINAPI CleanUpAndEnd(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  // Held to the end: the run stops at its next step that changes a name.
  ::EnterCriticalSection(&g_made_lock.section);
  if (g_cleanup) g_cleanup();
  ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

std::unique_ptr<Os> SystemOs() { return std::make_unique<Win32Os>(); }

void OnInterrupt(void (*cleanup)()) {
  g_cleanup = cleanup;
  ::SetConsoleCtrlHandler(CleanUpAndEnd, TRUE);
}

InterruptsHeld::InterruptsHeld() { ::EnterCriticalSection(&g_made_lock.section); }
InterruptsHeld::~InterruptsHeld() { ::LeaveCriticalSection(&g_made_lock.section); }

// The handler's thread may convert and allocate; the process ends after it.
void RemoveWhileEnding(const char* path) { ::DeleteFileW(Widen(path).c_str()); }

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
