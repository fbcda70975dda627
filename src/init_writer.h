#ifndef ROMSEED_INIT_WRITER_H_
#define ROMSEED_INIT_WRITER_H_

#include <cstdint>
#include <string_view>

#include "io.h"

namespace romseed {

// Turns each 32 bytes of `bin` into one INIT statement for the memory
// instances named by `delstr` (the deletion prefix), ended by `eol`, and
// writes them to `out`. `lead` goes out before the first statement only.
// A short last chunk is padded with zero bytes. Sets `*add_count` to the
// number of statements. Ends as soon as reading `bin` or writing to `out`
// fails.
PassResult WriteInits(Source& bin, Output& out, std::string_view delstr, std::string_view eol,
                      std::string_view lead, std::int64_t* add_count);

}  // namespace romseed

#endif  // ROMSEED_INIT_WRITER_H_
