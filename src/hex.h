#ifndef ROMSEED_HEX_H_
#define ROMSEED_HEX_H_

// An INIT statement's hex digits, written and checked, and a UCF's bytes
// checked, by the fastest way the processor has: hex-sse2.cc or
// hex-portable.cc.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace romseed {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Appends `n` to `*s` in lower-case hex digits, at least `at_least` (up to
// 16) of them.
inline void AppendHex(std::string* s, std::uint64_t n, int at_least = 2) {
  char digits[16];
  int d = 0;
  do {
    digits[15 - d++] = kHexDigits[n & 15];
    n >>= 4;
  } while (n != 0 || d < at_least);
  s->append(digits + 16 - d, static_cast<std::size_t>(d));
}

// `n` in lower-case hex digits, at least `at_least` (up to 16) of them.
inline std::string Hex(std::uint64_t n, int at_least = 2) {
  std::string s;
  AppendHex(&s, n, at_least);
  return s;
}

// A byte address as messages give it: 0x and at least 8 hex digits.
inline std::string HexAddress(std::uint64_t a) { return "0x" + Hex(a, 8); }

// `c` in upper case, if it is an ASCII letter: whatever the locale says.
constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// True if `s` is `upper`, in any case; `upper` is in upper case.
inline bool SameInAnyCase(std::string_view s, std::string_view upper) {
  if (s.size() != upper.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (AsciiUpper(s[i]) != upper[i]) return false;
  }
  return true;
}
inline bool BeginsInAnyCase(std::string_view s, std::string_view upper) {
  return s.size() >= upper.size() && SameInAnyCase(s.substr(0, upper.size()), upper);
}
inline bool EndsInAnyCase(std::string_view s, std::string_view upper) {
  return s.size() >= upper.size() && SameInAnyCase(s.substr(s.size() - upper.size()), upper);
}

// The value of the hex digit `c`, of either case; -1 if it is none.
constexpr int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Writes the 64 lower-case hex digits of the 32 bytes at `dbuf` to `p`:
// byte 31 first, high nibble first.
void FormatValue(const unsigned char* dbuf, char* p);

// How many of the 16 characters at `p`, from the first, are lower-case hex
// digits: an INIT statement's block number.
unsigned LowerHexRun(const char* p);

// True if the 77 characters at `p` follow the block number in an INIT
// statement as this tool writes it: the first 7 of the 16 at `literal`, two
// hex digits, its 10th to 12th, 64 hex digits and `;`, the hex digits of
// either case.
bool IsStatementEnd(const char* p, const char* literal);

// True for a control character that UCF text never holds: a C0 control
// other than tab, line feed, vertical tab, form feed, carriage return and
// Ctrl-Z (an old end-of-file mark), or DEL.
inline bool IsForeignControl(unsigned char c) {
  return (c < 0x20 && !(c >= '\t' && c <= '\r') && c != 0x1a) || c == 0x7f;
}

// The first line feed from `p` on, before `end`, or null if none; sets
// `*foreign` if such a control character comes before it. One pass finds
// the line's end and checks its bytes.
const unsigned char* FindLineEnd(const unsigned char* p, const unsigned char* end, bool* foreign);

}  // namespace romseed

#endif  // ROMSEED_HEX_H_
