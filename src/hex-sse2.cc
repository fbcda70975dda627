#include <emmintrin.h>

#include "hex.h"

namespace romseed {
namespace {

// The 16 bytes at `b` in reverse order. Done in registers: building the
// vector through memory stalls on store forwarding.
__m128i LoadReversed(const unsigned char* b) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  x = _mm_shuffle_epi32(x, _MM_SHUFFLE(0, 1, 2, 3));    // the four 32-bit words
  x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));  // the 16-bit halves of each
  x = _mm_shufflehi_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));  // the bytes of each half
}

}  // namespace

// Sixteen bytes at a time.
void FormatValue(const unsigned char* dbuf, char* p) {
  const __m128i low_nibble = _mm_set1_epi8(0x0f);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero_char = _mm_set1_epi8('0');
  const __m128i to_letter = _mm_set1_epi8('a' - '0' - 10);
  for (int half = 16; half >= 0; half -= 16, p += 32) {
    // The 16 bytes in falling order, then each split into its two nibbles.
    __m128i bytes = LoadReversed(dbuf + half);
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

namespace {

// The bytes of `c` that are digits, or of `letters` that are 'a' to 'f'. A
// byte less 'a' (or '0') is one of 6 (or 10) values exactly when the unsigned
// maximum with 5 (or 9) leaves it as it is.
__m128i HexMask(__m128i c, __m128i letters) {
  const __m128i nine = _mm_set1_epi8(9), five = _mm_set1_epi8(5);
  const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  const __m128i letter = _mm_sub_epi8(letters, _mm_set1_epi8('a'));
  return _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(digit, nine), nine),
                      _mm_cmpeq_epi8(_mm_max_epu8(letter, five), five));
}

__m128i Load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// The bytes of `c` that are hex digits of either case.
__m128i AnyHexMask(__m128i c) { return HexMask(c, _mm_or_si128(c, _mm_set1_epi8(0x20))); }

}  // namespace

unsigned LowerHexRun(const char* p) {
  const __m128i c = Load(p);
  const unsigned not_hex = ~static_cast<unsigned>(_mm_movemask_epi8(HexMask(c, c)));
  return static_cast<unsigned>(__builtin_ctz(not_hex | 0x10000));
}

bool IsStatementEnd(const char* p, const char* literal) {
  // Five loads: the literal, the index, ` = ` and the value's first digits,
  // checked against the template; the rest of the value; and `;`.
  const __m128i kLiteralAt = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, 0, 0, -1, -1, -1, 0, 0, 0, 0);
  const __m128i head = Load(p);
  __m128i ok = _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(head, Load(literal)), kLiteralAt),
                            _mm_andnot_si128(kLiteralAt, AnyHexMask(head)));
  for (int i = 16; i < 64; i += 16) ok = _mm_and_si128(ok, AnyHexMask(Load(p + i)));
  ok = _mm_and_si128(ok, AnyHexMask(Load(p + 60)));
  return _mm_movemask_epi8(ok) == 0xffff && p[76] == ';';
}

namespace {

// The bytes of the 16 at `p` that are controls, C0 or DEL, as the bits of a
// mask: x + 1 below 0x21 as signed is 0 to 0x1f, or 0x7f to 0xff; the sign
// of x itself, the bit that movemask reads, then drops 0x80 to 0xff.
unsigned Controls(const unsigned char* p) {
  const __m128i x = Load(reinterpret_cast<const char*>(p));
  const __m128i below = _mm_cmpgt_epi8(_mm_set1_epi8(0x21), _mm_add_epi8(x, _mm_set1_epi8(1)));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(x, below)));
}

}  // namespace

// 32 bytes at a time, stopping only at control characters: most lines hold
// none but their end.
const unsigned char* FindLineEnd(const unsigned char* p, const unsigned char* end, bool* foreign) {
  for (; end - p >= 32; p += 32) {
    for (unsigned mask = Controls(p) | Controls(p + 16) << 16; mask; mask &= mask - 1) {
      const unsigned char* c = p + __builtin_ctz(mask);
      if (*c == '\n') return c;
      *foreign |= IsForeignControl(*c);
    }
  }
  for (; p < end; ++p) {
    if (*p == '\n') return p;
    *foreign |= IsForeignControl(*p);
  }
  return nullptr;
}

}  // namespace romseed
