#include "filter.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace romseed {

bool FilterUcf(Source& ucf, Output& out, std::string_view delstr, FilterResult* result) {
  FilterResult r;
  enum class Line { kDeciding, kKeeping, kDropping } line = Line::kDeciding;
  // Bytes of the current line that match delstr so far. Those from earlier
  // reads are not held anywhere: they equal delstr, so a kept line takes them
  // from there, and memory stays bounded however long the line is.
  std::size_t matched = 0;
  bool first_line = true;
  unsigned char before = 0;  // the last byte of the previous read
  constexpr std::size_t kBufBytes = 1 << 16;
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kBufBytes]);  // only read bytes are looked at
  for (;;) {
    std::size_t got;
    if (!out.ok() || !ucf.Read(buf.get(), kBufBytes, &got)) return false;
    if (got == 0) break;
    if (std::memchr(buf.get(), 0, got)) {
      result->text = false;
      return false;
    }
    const unsigned char* p = buf.get();
    const unsigned char* end = p + got;
    // Kept lines from here on go to the output in one piece, when a stale
    // one begins or the read is used up: short lines cost little more than
    // finding their ends.
    const unsigned char* run = nullptr;
    auto hand_on = [&] {
      if (run) out.Put(run, p - run);
      run = nullptr;
    };
    while (p < end) {
      if (line == Line::kDeciding) {
        std::size_t want = delstr.size() - matched;
        std::size_t n = std::min(want, static_cast<std::size_t>(end - p));
        std::size_t i = 0;
        while (i < n && p[i] == static_cast<unsigned char>(delstr[matched + i])) ++i;
        if (i == want) {
          hand_on();
          line = Line::kDropping;
          matched = 0;
          p += i;
        } else if (i == n) {
          hand_on();
          matched += n;  // the read ended inside the prefix
          p += n;
        } else {
          out.Put(delstr.data(), matched);
          matched = 0;
          line = Line::kKeeping;
        }
        continue;
      }
      if (line == Line::kKeeping && !run) run = p;
      const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', end - p));
      const unsigned char* stop = nl ? nl + 1 : end;
      if (nl) {
        if (first_line) {
          r.crlf = (nl > buf.get() ? nl[-1] : before) == '\r';
          first_line = false;
        }
        if (line == Line::kKeeping) {
          ++r.copy_count;
        } else {
          ++r.delete_count;
        }
        line = Line::kDeciding;
      }
      p = stop;
    }
    hand_on();
    before = end[-1];
  }
  // The last line has no line end.
  if (line == Line::kDeciding && matched > 0) {
    out.Put(delstr.data(), matched);
    line = Line::kKeeping;
  }
  if (line == Line::kKeeping) {
    ++r.copy_count;
    r.open_line = true;
  } else if (line == Line::kDropping) {
    ++r.delete_count;
  }
  *result = r;
  return out.ok();
}

}  // namespace romseed
