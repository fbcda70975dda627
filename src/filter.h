#ifndef ROMSEED_FILTER_H_
#define ROMSEED_FILTER_H_

#include <cstdint>
#include <string_view>

#include "io.h"

namespace romseed {

// What the filter pass saw of the UCF.
struct FilterResult {
  std::int64_t copy_count = 0;    // lines written to the output
  std::int64_t delete_count = 0;  // lines left out
  bool crlf = false;              // the UCF's first line ends in CR LF
  bool open_line = false;         // the last kept line has no line end
};

// Copies every line of `ucf` that does not begin with `delstr` to `out`,
// byte for byte, and drops the others. A line is kept or dropped whole,
// whatever its length. `delstr` must hold no line feed. Ends as soon as
// reading `ucf` or writing to `out` fails, or a NUL byte shows that `ucf` is
// not text; `*result` is set only after a pass that ends kOk.
PassResult FilterUcf(Source& ucf, Output& out, std::string_view delstr, FilterResult* result);

}  // namespace romseed

#endif  // ROMSEED_FILTER_H_
