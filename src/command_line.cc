#include "command_line.h"

#include <algorithm>

namespace romseed {
namespace {

// True if `path` ends in ".ucf", in any case.
bool NamesUcf(const std::string& path) {
  if (path.size() < 4) return false;
  std::string end = path.substr(path.size() - 4);
  for (char& c : end) c = static_cast<char>(c | 0x20);
  return end == ".ucf";
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, Job* job, Failure* err) {
  if (args.size() < 4) return Fail(err, "use:romseed [binaryfile] [ucf-in] [component_name]");
  // Swapped, the binary would be rewritten as a UCF (a ROM of text and
  // 0xff padding holds no byte that tells).
  if (NamesUcf(args[1]) && !NamesUcf(args[2])) {
    return Fail(err, "binary file " + args[1] + " is named as a ucf file");
  }
  // The name becomes part of a quoted instance name in every statement;
  // a quote or a control character would end the quotes or the line. An
  // empty one (an unset make variable) would drop every instance.
  // A wildcard would write statements that match other instances too.
  const bool odd = std::any_of(args[3].begin(), args[3].end(), [](unsigned char c) {
    return c < 0x20 || c == 0x7f || c == '"' || c == '*' || c == '?';
  });
  if (args[3].empty() || odd) return Fail(err, "invalid component name " + args[3]);
  *job = Job{args[1], args[2], "INST \"" + args[3]};
  return true;
}

}  // namespace romseed
