#include "init_writer.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace romseed {

IoStatus WriteInits(Source& bin, Output& out, std::string_view delstr,
                    std::string_view eol, std::string_view lead,
                    std::int64_t* add_count) {
  *add_count = 0;
  unsigned char dbuf[32];
  std::string buf;
  for (;;) {
    std::fill(dbuf, dbuf + sizeof dbuf, 0);
    std::ptrdiff_t got = ReadFull(bin, dbuf, sizeof dbuf);
    if (got < 0) return IoStatus::kReadError;
    if (got == 0) break;
    if (*add_count == 0) out.Put(lead);
    char piece[64];
    std::snprintf(piece, sizeof piece, "%02llx\" INIT_%02x = ",
                  static_cast<unsigned long long>(*add_count / 16),
                  static_cast<unsigned>(*add_count % 16));
    buf.assign(delstr);
    buf += piece;
    for (int i = 31; i >= 0; --i) {
      std::snprintf(piece, sizeof piece, "%02x", dbuf[i]);
      buf += piece;
    }
    buf += ';';
    buf += eol;
    out.Put(buf);
    ++*add_count;
    // A short chunk means the input has ended; reading on could block a tty.
    if (got < static_cast<std::ptrdiff_t>(sizeof dbuf)) break;
  }
  return out.ok() ? IoStatus::kOk : IoStatus::kWriteError;
}

}  // namespace romseed
