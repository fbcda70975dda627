#ifndef ROMSEED_INIT_WRITER_H_
#define ROMSEED_INIT_WRITER_H_

#include <cstdint>
#include <string_view>

#include "block_ram.h"
#include "image.h"
#include "io.h"
#include "layout.h"

namespace romseed {

// Writes the statements of `layout` for `image` to `out`: for each
// placement, its INIT_ statements, then its INITP_ ones, each ended by
// `eol`. `lead` goes out before the first statement only. Sets `*add_count`
// to the number of statements. False if writing failed.
// As XDC properties if `xdc`.
PassResult WriteImage(const Image& image, const Layout& layout, Output& out, std::string_view eol,
                      std::string_view lead, std::int64_t* add_count, bool xdc = false);

// The statements that WriteImage writes for the bytes of `bin` in the row
// of `component` (RowLayout, words of 8 bits), streamed: the bytes are read
// once, a piece at a time, whatever their number. Ends as soon as reading
// `bin` (kCantRead, with `*err` set) or writing to `out` fails.
PassResult WriteInits(Source& bin, Output& out, std::string_view component, const BlockShape& shape,
                      std::string_view eol, std::string_view lead, std::int64_t* add_count,
                      OsError* err, bool xdc = false);

}  // namespace romseed

#endif  // ROMSEED_INIT_WRITER_H_
