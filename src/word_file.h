#ifndef ROMSEED_WORD_FILE_H_
#define ROMSEED_WORD_FILE_H_

#include <string>
#include <string_view>

#include "command_line.h"
#include "init_writer.h"
#include "io.h"

namespace romseed {

// The most words a word file may address: far more than any row of block
// RAMs holds, and a bound on the memory an address can make the run take.
inline constexpr std::size_t kMaxWords = std::size_t{1} << 22;

// Reads `in` as Verilog's $readmemh reads a memory of `width`-bit words:
// hex words separated by white space, `//` and `/* */` comments, `_` within
// a number, `@address` (in words) to go to another word; words not given are
// zero. Lays their bits out in `*image`: words of 1 to 32 bits packed into
// bytes, least significant first; words of 9, 18 or 36 bits as 1, 2 or 4
// data bytes and their parity bits, wired as `parity` says. False, with the
// reason in `*why` ("line 3: ..."), if reading fails or the text does not
// parse.
bool ReadWordFile(Source& in, unsigned width, Parity parity, Image* image, std::string* why);

// A text format that the start of a binary file shows, for a warning:
// Intel HEX, S-records or $readmemh words, and how to convert it. `name` is
// null for bytes that look like none of them.
struct TextFormat {
  const char* name;
  const char* advice;
};
TextFormat TextFormatOf(std::string_view start);

}  // namespace romseed

#endif  // ROMSEED_WORD_FILE_H_
