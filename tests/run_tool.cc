#include "run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace romseed {

namespace {

// A folder at a time, so that a path longer than PATH_MAX works too.
bool ChangeDir(const std::string& path) {
  if (path[0] == '/' && ::chdir("/") != 0) return false;
  std::istringstream steps(path);
  for (std::string step; std::getline(steps, step, '/');) {
    if (!step.empty() && ::chdir(step.c_str()) != 0) return false;
  }
  return true;
}

}  // namespace

ToolResult RunTool(const std::string& cwd, const std::vector<std::string>& args,
                   const RunOptions& options) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> argv_s = options.wrapper;
  argv_s.push_back(options.exe);
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    // Nothing else of this process's: a descriptor that another thread of
    // the test holds (the writing end of a FIFO) would keep the tool waiting.
    if (::close_range(3, ~0u, 0) != 0) {
      for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    }
    // What went wrong goes where the tool's output would have gone.
    auto cannot = [](const std::string& what) {
      const std::string line = "run_tool: cannot " + what + ": " + std::strerror(errno);
      if (::write(1, line.data(), line.size())) ::_exit(127);
      ::_exit(127);
    };
    if (!ChangeDir(cwd)) cannot("enter " + cwd);
    ::signal(SIGPIPE, SIG_DFL);  // as a shell leaves it, whatever this process does
    if (options.in_child) options.in_child();
    ::execv(argv[0], argv.data());
    cannot("run " + argv_s[0]);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (options.reader_gone) ::close(out[0]);
  ToolResult result{-1, "", ""};
  if (options.kill_after_us >= 0) ::usleep(options.kill_after_us);
  struct stat st;
  for (int waited = 0; options.kill_once_working && waited < 10000; ++waited) {
    if (::stat((cwd + "/tempucf.ucf").c_str(), &st) == 0) {
      result.working_mode = st.st_mode & 07777;
      break;
    }
    ::usleep(1000);
  }
  if (options.kill_after_us >= 0 || options.kill_once_working) ::kill(pid, options.signal);
  // The tool reads its input only after printing a few short lines, so
  // writing all of it before reading cannot deadlock.
  signal(SIGPIPE, SIG_IGN);
  for (std::size_t done = 0; done < options.input.size();) {
    ssize_t w = ::write(in[1], options.input.data() + done, options.input.size() - done);
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  ::close(in[1]);
  char buf[4096];
  for (ssize_t r; !options.reader_gone && (r = ::read(out[0], buf, sizeof buf)) > 0;) {
    result.out.append(buf, r);
  }
  if (!options.reader_gone) ::close(out[0]);
  // Only a line or two: the pipe holds it all while standard output is read.
  for (ssize_t r; (r = ::read(err[0], buf, sizeof buf)) > 0;) result.err.append(buf, r);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ScratchDir::ScratchDir(const std::string& base) {
  std::string tmpl = base + "/romseed-test-XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp " + tmpl);
  path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> Beside(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.rfind(".romseed", 0) == 0) names.push_back(name);
  }
  return names;
}

}  // namespace romseed
