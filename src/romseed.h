#ifndef ROMSEED_ROMSEED_H_
#define ROMSEED_ROMSEED_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bmm.h"
#include "command_line.h"
#include "failure.h"
#include "filter.h"
#include "io.h"
#include "os.h"

namespace romseed {

struct Counts {
  std::int64_t copy_count = 0;
  std::int64_t delete_count = 0;
  std::int64_t add_count = 0;
  // Dropped lines that are not the component's own INIT statements, and the
  // line number and start of the first of them.
  std::int64_t other_count = 0;
  std::int64_t first_other_line = 0;
  std::string first_other;
  // What text format a binary file of bytes seems to be in (null if none),
  // and how to convert it.
  const char* bin_format = nullptr;
  const char* bin_advice = nullptr;
  // Of a word file: the words it gave and the words of its image.
  std::uint64_t words_given = 0, image_words = 0;
  // Of a layout run: the program's bytes outside the space, and its byte
  // order as the file says it.
  Outside outside;
  ByteOrder file_order = ByteOrder::kUnsaid;
  // Of an XDC: the lines kept that set INIT_ of the run's cells in a form
  // not read here.
  std::vector<std::int64_t> unsure;
};

// Writes the new UCF to `out` and flushes it: the lines of `ucf` that do not
// begin with `job.delstr`, then the statements for `bin` on lines of their
// own, in the UCF's line-end style; hands each dropped line that is not a
// statement of the component to `others`, if given, as it meets it. False,
// with the message in `*err`, if reading either input or writing fails, or
// the UCF is not text.
// With a `space`, the job is a layout run: its instances' statements go,
// and the binary file fills all of them.
bool Rewrite(Source& ucf, Source& bin, Output& out, const Job& job, Counts* counts, Failure* err,
             OtherLines* others = nullptr, const AddressSpace* space = nullptr);

// Runs the tool on `args` (program name first) with the files and calls of
// `os`. Prints every message to `out`, whose failures do not matter, and on
// a failure one line to `errors` that adds the system's reason. Returns the
// exit status: 0 after a completed run, else 1.
int Run(const std::vector<std::string>& args, Os& os, Sink& out, Sink& errors);

// Run, with every exception stopped: it becomes a message and status 1.
int Main(const std::vector<std::string>& args, Os& os, Sink& out, Sink& errors);

}  // namespace romseed

#endif  // ROMSEED_ROMSEED_H_
