#ifndef ROMSEED_INIT_WRITER_H_
#define ROMSEED_INIT_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "io.h"

namespace romseed {

// The statements of one memory instance: what tells block RAMs apart.
struct BlockShape {
  std::size_t inits_per_block;  // INIT_ statements, of 32 bytes each
};
inline constexpr std::size_t kMaxInitsPerBlock = 128;  // INIT_00 to INIT_7f
// The 4096-bit block RAM of the Virtex and Spartan-II families.
inline constexpr BlockShape kRamb4{16};

// Turns each 32 bytes of `bin` into one INIT statement for the memory
// instances named by `delstr` (the deletion prefix), `shape.inits_per_block`
// to an instance, each ended by `eol`, and writes them to `out`. `lead` goes out before the first statement only.
// A short last chunk is padded with zero bytes. Sets `*add_count` to the
// number of statements. Ends as soon as reading `bin` or writing to `out`
// fails.
PassResult WriteInits(Source& bin, Output& out, std::string_view delstr, const BlockShape& shape,
                      std::string_view eol, std::string_view lead, std::int64_t* add_count);

}  // namespace romseed

#endif  // ROMSEED_INIT_WRITER_H_
