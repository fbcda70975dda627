// The end of a run on Windows: a console's interrupts, and its command line.
#include <windows.h>
#include <shellapi.h>

#include "os-win32.h"

namespace romseed {
namespace {

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
