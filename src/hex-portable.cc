#include <cstring>

#include "hex.h"

namespace romseed {
namespace {

// The two lower-case hex digits of every byte value.
struct HexPairs {
  char digits[256][2];
  constexpr HexPairs() : digits() {
    for (int b = 0; b < 256; ++b) {
      digits[b][0] = kHexDigits[b >> 4];
      digits[b][1] = kHexDigits[b & 15];
    }
  }
};
constexpr HexPairs kHex;

}  // namespace

void FormatValue(const unsigned char* dbuf, char* p) {
  for (int i = 31; i >= 0; --i, p += 2) std::memcpy(p, kHex.digits[dbuf[i]], 2);
}

unsigned LowerHexRun(const char* p) {
  unsigned n = 0;
  while (n < 16 && ((p[n] >= '0' && p[n] <= '9') || (p[n] >= 'a' && p[n] <= 'f'))) ++n;
  return n;
}

bool IsStatementEnd(const char* p, const char* literal) {
  auto hex = [](char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); };
  bool ok = std::memcmp(p, literal, 7) == 0 && std::memcmp(p + 9, literal + 9, 3) == 0 && p[76] == ';';
  for (int i = 7; ok && i < 76; ++i) ok = (i >= 9 && i < 12) || hex(p[i]);
  return ok;
}

const unsigned char* FindLineEnd(const unsigned char* p, const unsigned char* end, bool* foreign) {
  const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
  const unsigned char* stop = nl ? static_cast<const unsigned char*>(nl) : end;
  for (; p < stop; ++p) *foreign |= IsForeignControl(*p);
  return nl ? stop : nullptr;
}

}  // namespace romseed
