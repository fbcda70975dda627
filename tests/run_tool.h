#ifndef ROMSEED_TESTS_RUN_TOOL_H_
#define ROMSEED_TESTS_RUN_TOOL_H_

#include <signal.h>

#include <string>
#include <vector>

namespace romseed {

struct ToolResult {
  int status;             // the exit status, or 128 + the signal that ended it
  std::string out;        // all it printed to standard output
  std::string err;        // and to standard error
  int working_mode = -1;  // with kill_once_working: tempucf.ucf's mode then
};

struct RunOptions {
  std::string input;                // fed to standard input
  void (*in_child)() = nullptr;     // runs in the child just before exec
  int kill_after_us = -1;           // sends `signal` after this long,
  bool kill_once_working = false;   // or once tempucf.ucf stands in `cwd`
  int signal = SIGKILL;
  bool reader_gone = false;         // nobody reads standard output
  std::vector<std::string> wrapper;  // a command that runs the tool, such as strace
  std::string exe = ROMSEED_EXE;     // the tool
};

// Runs the built tool in `cwd` (of any length) with `args` after the
// program name.
ToolResult RunTool(const std::string& cwd, const std::vector<std::string>& args,
                   const RunOptions& options = {});

// A fresh folder below `base`, removed with all it holds when destroyed.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& base = "/tmp");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool Exists(const std::string& path);  // without following a final link
// The names in `folder` of files that a run gives a file beside a UCF.
std::vector<std::string> Beside(const std::string& folder);

}  // namespace romseed

#endif  // ROMSEED_TESTS_RUN_TOOL_H_
