#include "init_writer.h"

#include <cstring>
#include <memory>
#include <string>

#if (defined(__SSE2__) || defined(_M_X64)) && !defined(ROMSEED_NO_SIMD)
#include <emmintrin.h>
#define ROMSEED_SSE2 1
#endif

namespace romseed {
namespace {

constexpr std::size_t kChunk = 32;

// The two lower-case hex digits of every byte value.
struct HexPairs {
  char digits[256][2];
  constexpr HexPairs() : digits() {
    const char* hex = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
      digits[b][0] = hex[b >> 4];
      digits[b][1] = hex[b & 15];
    }
  }
};
constexpr HexPairs kHex;

#ifdef ROMSEED_SSE2
// Bytes 7 to 0 of `b` as a number: its little-endian memory order reversed.
std::uint64_t LoadReversed(const unsigned char* b) {
  std::uint64_t x = 0;
  for (int k = 0; k < 8; ++k) x = x << 8 | b[k];
  return x;
}

// Piece 6: the 64 hex digits of the chunk, byte 31 first, high nibble first,
// sixteen bytes at a time.
void FormatValue(const unsigned char* dbuf, char* p) {
  const __m128i low_nibble = _mm_set1_epi8(0x0f);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero_char = _mm_set1_epi8('0');
  const __m128i to_letter = _mm_set1_epi8('a' - '0' - 10);
  for (int half = 16; half >= 0; half -= 16, p += 32) {
    // The 16 bytes in falling order, then each split into its two nibbles.
    __m128i bytes = _mm_set_epi64x(static_cast<long long>(LoadReversed(dbuf + half)),
                                   static_cast<long long>(LoadReversed(dbuf + half + 8)));
    __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
    __m128i low = _mm_and_si128(bytes, low_nibble);
    __m128i nibbles[2] = {_mm_unpacklo_epi8(high, low), _mm_unpackhi_epi8(high, low)};
    for (int k = 0; k < 2; ++k) {
      __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles[k], nine), to_letter);
      __m128i digits = _mm_add_epi8(_mm_add_epi8(nibbles[k], zero_char), letters);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * k), digits);
    }
  }
}
#else
// Piece 6: the 64 hex digits of the chunk, byte 31 first, high nibble first.
void FormatValue(const unsigned char* dbuf, char* p) {
  for (int i = 31; i >= 0; --i, p += 2) std::memcpy(p, kHex.digits[dbuf[i]], 2);
}
#endif

// Pieces 1 to 3 of a statement: the prefix, the block number in at least two
// hex digits, and `" INIT_`. They change only once every 16 chunks.
void FormatHead(std::string_view delstr, std::uint64_t block, std::string* head) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[block & 15];
    block >>= 4;
  } while (block != 0 || n < 2);
  head->assign(delstr);
  while (n > 0) head->push_back(digits[--n]);
  head->append("\" INIT_");
}

}  // namespace

bool WriteInits(Source& bin, Output& out, std::string_view delstr, std::string_view eol,
                std::string_view lead, std::int64_t* add_count) {
  constexpr std::size_t kBlockBytes = 1 << 16;  // a whole number of chunks
  std::unique_ptr<unsigned char[]> input(new unsigned char[kBlockBytes]);
  std::string head;
  std::uint64_t count = 0;
  for (;;) {
    std::size_t got;
    if (!out.ok() || !ReadFull(bin, input.get(), kBlockBytes, &got)) return false;
    if (got == 0) break;
    if (count == 0) out.Put(lead);
    // A short last chunk ends in zeros.
    const std::size_t padded = (got + kChunk - 1) / kChunk * kChunk;
    std::memset(input.get() + got, 0, padded - got);
    for (std::size_t at = 0; at < padded; at += kChunk) {
      const unsigned char* dbuf = input.get() + at;
      if (count % 16 == 0) FormatHead(delstr, count / 16, &head);
      const std::size_t size = head.size() + 2 + 3 + 2 * kChunk + 1 + eol.size();
      char* buf = out.Extend(size);
      char* p = buf + head.size();
      std::memcpy(buf, head.data(), head.size());
      std::memcpy(p, kHex.digits[count % 16], 2);
      std::memcpy(p + 2, " = ", 3);
      p += 5;
      FormatValue(dbuf, p);
      p += 2 * kChunk;
      *p++ = ';';
      for (char c : eol) *p++ = c;
      ++count;
    }
    // A short block means the input has ended; reading on could block a tty.
    if (got < kBlockBytes) break;
  }
  *add_count = static_cast<std::int64_t>(count);
  return out.ok();
}

}  // namespace romseed
