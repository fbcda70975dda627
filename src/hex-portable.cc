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

}  // namespace romseed
