#ifndef ROMSEED_ROMSEED_H_
#define ROMSEED_ROMSEED_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"

namespace romseed {

// The name of the working file, in the current directory.
inline constexpr char kWorkingName[] = "tempucf.ucf";

struct Counts {
  std::int64_t copy_count = 0;
  std::int64_t delete_count = 0;
  std::int64_t add_count = 0;
};

enum class RewriteStatus { kOk, kUcfReadError, kBinaryReadError, kWriteError };

// The new UCF: the lines of `ucf` that do not begin with `delstr`, then the
// statements for `bin` on lines of their own, in the UCF's line-end style.
// The caller flushes `out`.
RewriteStatus Rewrite(Source& ucf, Source& bin, Output& out, std::string_view delstr,
                      Counts* counts);

// Runs the tool on `args` (program name first) and prints every message to
// `out`. Returns the exit status: 0 after a completed run, else 1.
int Run(const std::vector<std::string>& args, std::ostream& out);

}  // namespace romseed

#endif  // ROMSEED_ROMSEED_H_
