#ifndef ROMSEED_INIT_WRITER_H_
#define ROMSEED_INIT_WRITER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "block_ram.h"
#include "io.h"

namespace romseed {

// Turns each 32 bytes of `bin` into one INIT statement for the memory
// instances named by `delstr` (the deletion prefix), `shape.inits_per_block`
// to an instance, each ended by `eol`, and writes them to `out`. `lead` goes
// out before the first statement only. A short last chunk is padded with
// zero bytes. Sets `*add_count` to the number of statements. Ends as soon as
// reading `bin` or writing to `out` fails.
PassResult WriteInits(Source& bin, Output& out, std::string_view delstr, const BlockShape& shape,
                      std::string_view eol, std::string_view lead, std::int64_t* add_count);

// The contents of a row of block RAMs: data bytes, and, where the words had
// them, one parity bit per data byte (bit i of parity byte j is that of data
// byte 8j + i).
struct Image {
  std::vector<unsigned char> data;
  std::vector<unsigned char> parity;
  bool has_parity = false;
};

// Writes the statements for `image` as WriteInits does for bytes: for each
// instance, one INIT_ statement per 32 data bytes present, then, with parity
// bits, one INITP_ statement per 256 of them. False if writing failed.
PassResult WriteImage(const Image& image, Output& out, std::string_view delstr,
                      const BlockShape& shape, std::string_view eol, std::string_view lead,
                      std::int64_t* add_count);

}  // namespace romseed

#endif  // ROMSEED_INIT_WRITER_H_
