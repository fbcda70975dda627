#ifndef ROMSEED_WORD_FILE_H_
#define ROMSEED_WORD_FILE_H_

#include <string>
#include <string_view>
#include <vector>

#include "failure.h"
#include "image.h"
#include "io.h"

namespace romseed {

// Reads `in`, the file at `path`, as Verilog's $readmemh reads a memory of
// words as wide as `*image`'s: hex words separated by white space, `//` and
// `/* */` comments, `_` within a number, `@address` (in words) to go to
// another word; words not given are zero. False, with the reason "line 3:
// ...", if reading fails or the text does not parse.
bool ReadWordFile(Source& in, const std::string& path, Image* image, Failure* err);

// Reads `in` as ReadWordFile does, and sets (*lines)[k] to the line that
// gives the word at `addresses[k]` (the last, where several do), 0 if none.
bool LinesOfWords(Source& in, const std::string& path, const std::vector<std::uint64_t>& addresses,
                  Image* image, std::vector<std::int64_t>* lines, Failure* err);

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
