#ifndef ROMSEED_HEX_H_
#define ROMSEED_HEX_H_

// The value of an INIT statement in hex digits, by the fastest way the
// processor has: hex-sse2.cc or hex-portable.cc.

namespace romseed {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Writes the 64 lower-case hex digits of the 32 bytes at `dbuf` to `p`:
// byte 31 first, high nibble first.
void FormatValue(const unsigned char* dbuf, char* p);

}  // namespace romseed

#endif  // ROMSEED_HEX_H_
