// What a handle tells of its file on Windows, and the names and errors
// around it.
#include <aclapi.h>

#include <cstring>
#include <vector>

#include "os-win32.h"

namespace romseed {
namespace {

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

// Ordinal and ignoring case, as the file system compares names.
bool SameName(std::wstring a, std::wstring b) {
  if (a.size() != b.size()) return false;
  ::CharUpperBuffW(&a[0], static_cast<DWORD>(a.size()));
  ::CharUpperBuffW(&b[0], static_cast<DWORD>(b.size()));
  return a == b;
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

}  // namespace

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

OsError ErrorOf(DWORD e) {
  OsError err{OsError::kOther, Reason(e)};
  for (const auto& k : kKinds) {
    if (k.error == e) err.kind = k.kind;
  }
  return err;
}

bool Failed(OsError* err) {
  *err = ErrorOf(::GetLastError());
  return false;
}

HANDLE OpenPath(const std::wstring& path, DWORD access, DWORD flags) {
  // Backup semantics let a directory open, so that it fails where reading it
  // does, as elsewhere.
  return ::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
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

std::string SecurityOf(HANDLE h) {
  DWORD size = 0;
  ::GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::string sd(size, '\0');
  if (size == 0 || !::GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, &sd[0], size, &size)) {
    return std::string();
  }
  return sd;
}

FileInfo InfoOf(HANDLE h, DWORD* attributes) {
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
  result.regular = !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  result.read_only = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
  if (attributes) *attributes = info.dwFileAttributes;
  return result;
}

std::wstring VolumePath(HANDLE h) {
  std::vector<ULONG> buf(16384);  // a length, then the name
  if (!NtFile(Nt::kQuery, h, buf.data(), static_cast<ULONG>(buf.size() * sizeof buf[0]), kFileName) ||
      buf[0] > (buf.size() - 1) * sizeof buf[0]) {
    return std::wstring();
  }
  return std::wstring(reinterpret_cast<const wchar_t*>(&buf[1]), buf[0] / sizeof(wchar_t));
}

std::wstring FinalPath(HANDLE h) {
  using Call = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  static const Call final_path = Lookup<Call>(L"kernel32.dll", "GetFinalPathNameByHandleW");
  std::vector<wchar_t> buf(32768);
  const DWORD n = final_path ? final_path(h, buf.data(), static_cast<DWORD>(buf.size()), 0) : 0;
  return n > 0 && n < buf.size() ? std::wstring(buf.data(), n) : std::wstring();
}

bool SetAttributes(HANDLE h, DWORD attributes) {
  struct {
    LARGE_INTEGER times[4];  // zero: as they are
    ULONG attributes;
  } basic = {};
  basic.attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return NtFile(Nt::kSet, h, &basic, sizeof basic, kFileBasic);
}
FileId IdOf(HANDLE h) {
  if (::GetFileType(h) != FILE_TYPE_DISK) return FileId();
  const FileInfo info = InfoOf(h);
  if (info.id.known) return info.id;
  // A handle open for writing only gives its identity here alone.
  std::uint64_t index = 0;
  unsigned char volume[1024] = {};  // its creation time, serial number and label
  FileId id;
  id.known = NtFile(Nt::kQuery, h, &index, sizeof index, kFileInternal) &&
             NtFile(Nt::kQueryVolume, h, volume, sizeof volume, kFsVolume);
  ULONG serial = 0;
  std::memcpy(&serial, volume + 8, sizeof serial);
  id.device = serial;
  id.index = index;
  return id;
}

FileInfo InfoOfPath(const std::wstring& path, DWORD flags) {
  Handle h(OpenPath(path, 0, flags));
  return h.ok() ? InfoOf(h.get()) : FileInfo();
}

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

}  // namespace romseed
