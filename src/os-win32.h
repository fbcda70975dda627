#ifndef ROMSEED_OS_WIN32_H_
#define ROMSEED_OS_WIN32_H_

// What the Windows units share: names in UTF-16, errors, handles, and what
// a handle tells of its file.

#include <windows.h>

#include <string>

#include "os.h"

namespace romseed {

std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& w);

// The system's words for `error`, and `error` as this layer says it.
std::string Reason(DWORD error);
OsError ErrorOf(DWORD error);
// False, with `*err` set from the last error.
bool Failed(OsError* err);

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
  HANDLE Release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `path` as it stands, shared with every other user of it.
HANDLE OpenPath(const std::wstring& path, DWORD access, DWORD flags = 0);

// Whether this process's user owns the file behind `h`.
bool OwnedByCurrentUser(HANDLE h);
// Lets only this process's user at the file behind `h`, whatever the folder
// would have it inherit. Where the volume keeps no such list (FAT), the file
// is as private as its folder.
void MakePrivate(HANDLE h);
// The access-control list of `h`, as a self-relative security descriptor.
std::string SecurityOf(HANDLE h);
// What `h` is, or an unknown identity for what is not a file on a disk.
FileInfo InfoOf(HANDLE h, DWORD* attributes = nullptr);
// What `path` names now; an unknown identity if nothing.
FileInfo InfoOfPath(const std::wstring& path, DWORD flags = 0);

// A function that not every Windows has, looked up when first used: null
// where it is missing. `T` is its type.
template <typename T>
T Lookup(const wchar_t* dll, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(dll), name)));
}

// The identity of the file behind `h`, also of a handle open for writing
// only; unknown for what is not a file on a disk.
FileId IdOf(HANDLE h);

// The path of the file behind `h` within its volume, as "\\dir\\top.ucf": the
// same by whatever way the file was reached. Empty if unknown.
std::wstring VolumePath(HANDLE h);
// The DOS path of the file behind `h`, with every link resolved; empty if
// unknown, or on Windows XP, whose files have no links to resolve.
std::wstring FinalPath(HANDLE h);
// Sets the attributes of the file behind `h`, its times as they are.
bool SetAttributes(HANDLE h, DWORD attributes);
// Opens what stands at `path` as `flags` (os.h) say. Never through a link:
// a reparse point opens as itself, and a name that is not its folder's own
// entry (moved away since: kGone) is refused. INVALID_HANDLE_VALUE, with
// `*err` set, on failure.
HANDLE OpenExisting(const std::wstring& path, unsigned flags, OsError* err);

}  // namespace romseed

#endif  // ROMSEED_OS_WIN32_H_
