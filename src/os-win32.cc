// The calls of os.h on Windows.
#include <windows.h>

#include <vector>

#include "hex.h"
#include "os-win32.h"

namespace romseed {
namespace {

// The mutex that gives a run its turn at the UCF `path`, named after the
// file's volume and path there: Windows cannot replace a file that is open,
// so the file itself cannot be held locked. Found from a file opened for
// this: one opened earlier may have been replaced by the run ahead. Null,
// with `*err` set, if it cannot be found: kGone for a file that has no path
// left, replaced meanwhile.
HANDLE TurnOf(const std::wstring& path, OsError* err) {
  Handle h(OpenPath(path, 0));
  if (!h.ok()) return (Failed(err), nullptr);
  std::wstring key = VolumePath(h.get());
  if (key.empty()) return (*err = ErrorOf(ERROR_FILE_NOT_FOUND), nullptr);
  key += L":" + std::to_wstring(InfoOf(h.get()).id.device);
  ::CharLowerBuffW(&key[0], static_cast<DWORD>(key.size()));
  std::uint64_t hash = kFnvStart;
  for (wchar_t c : key) hash = FnvStep(hash, c);
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, (L"Global\\romseed-" + Widen(Hex(hash, 16))).c_str());
  if (!mutex) Failed(err);
  return mutex;
}

// The mutex of TurnOf, owned until destroyed.
class MutexTurn : public Turn {
 public:
  explicit MutexTurn(HANDLE mutex) : mutex_(mutex) {}
  ~MutexTurn() override { ::ReleaseMutex(mutex_.get()); }

 private:
  Handle mutex_;
};

class Win32File : public File {
 public:
  Win32File(HANDLE h, bool mine) : h_(h), mine_(mine) { Refresh(); }
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
  bool Lock(bool wait, OsError* err) override {
    // Windows locks are mandatory, so one byte far beyond any content: it
    // keeps other runs out without blocking this run's own reads and writes.
    OVERLAPPED beyond = {};
    beyond.Offset = 0xfffffffe;
    beyond.OffsetHigh = 0x7fffffff;
    const DWORD how = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    // A file system without byte-range locks says kNotSupported.
    if (!::LockFileEx(h_.get(), how, 0, 1, 0, &beyond)) return Failed(err);
    Refresh();
    return true;
  }
  bool TakeAttributesOf(const File& ucf, OsError* err) override {
    const Win32File& from = static_cast<const Win32File&>(ucf);
    // The attributes a file may be given; a read-only one is never replaced.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    bool ok = SetAttributes(h_.get(), from.attributes_ & kept);
    // A move keeps the file's own list; the UCF's goes with its name, as it
    // is, inherited entries and all.
    const std::string security = SecurityOf(from.h_.get());
    if (!security.empty()) {
      ok &= ::SetKernelObjectSecurity(h_.get(), DACL_SECURITY_INFORMATION,
                                      const_cast<char*>(security.data())) != 0;
    }
    return ok || Failed(err);
  }
  bool Sync(OsError* err) override { return ::FlushFileBuffers(h_.get()) || Failed(err); }
  bool Rewind(OsError* err) override {
    LARGE_INTEGER zero = {};
    return ::SetFilePointerEx(h_.get(), zero, nullptr, FILE_BEGIN) || Failed(err);
  }

 private:
  void Refresh() {
    info_ = InfoOf(h_.get(), &attributes_);
    info_.mine = mine_;
  }

  Handle h_;
  bool mine_;
  DWORD attributes_ = 0;
};

// Moves `from` to `to`, written through. Another process may hold either
// open for a moment (a run about to wait for its turn, a virus scanner),
// which makes the move fail: kBusy.
bool MoveName(const std::wstring& from, const std::wstring& to, DWORD flags, OsError* err) {
  if (::MoveFileExW(from.c_str(), to.c_str(), flags | MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD e = ::GetLastError();
  *err = ErrorOf(e);
  if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) err->kind = OsError::kBusy;
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
    return std::make_unique<Win32File>(h, create || OwnedByCurrentUser(h));
  }

  std::unique_ptr<Turn> TakeTurn(const std::string& path, bool, bool wait, OsError* err) override {
    Handle mutex(TurnOf(Widen(path), err));
    if (!mutex.ok()) return nullptr;
    const DWORD waited = ::WaitForSingleObject(mutex.get(), wait ? INFINITE : 0);
    if (waited == WAIT_TIMEOUT) return (*err = {OsError::kOther, "another run has its turn"}, nullptr);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return (Failed(err), nullptr);
    return std::make_unique<MutexTurn>(mutex.Release());
  }

  std::unique_ptr<File> CreateNameless(const std::string&) override { return nullptr; }

  // Windows moves names, not handles. (No nameless files here.)
  bool Move(File&, const std::string& from, const std::string& to, OsError* err) override {
    return MoveName(Widen(from), Widen(to), 0, err);
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
    return IdOf(::GetStdHandle(which == Stream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE));
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
    return MoveName(Widen(from), Widen(to), MOVEFILE_REPLACE_EXISTING, err);
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

  bool Random(std::uint64_t* n) override {
    // RtlGenRandom, which Microsoft documents as looked up by its export name.
    using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
    static const GenRandom gen_random = Lookup<GenRandom>(L"advapi32.dll", "SystemFunction036");
    return gen_random && gen_random(n, sizeof *n);
  }
};

}  // namespace

std::unique_ptr<Os> SystemOs() { return std::make_unique<Win32Os>(); }

}  // namespace romseed
