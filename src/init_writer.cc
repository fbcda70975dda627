#include "init_writer.h"

#include <algorithm>
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
constexpr char kDigits[] = "0123456789abcdef";
constexpr std::size_t kShortHead = 32;

#ifdef ROMSEED_SSE2
// The 16 bytes at `b` in reverse order. Done in registers: building the
// vector through memory stalls on store forwarding.
__m128i LoadReversed(const unsigned char* b) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  x = _mm_shuffle_epi32(x, _MM_SHUFFLE(0, 1, 2, 3));    // the four 32-bit words
  x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));  // the 16-bit halves of each
  x = _mm_shufflehi_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));  // the bytes of each half
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
#else
// The two lower-case hex digits of every byte value.
struct HexPairs {
  char digits[256][2];
  constexpr HexPairs() : digits() {
    for (int b = 0; b < 256; ++b) {
      digits[b][0] = kDigits[b >> 4];
      digits[b][1] = kDigits[b & 15];
    }
  }
};
constexpr HexPairs kHex;

// Piece 6: the 64 hex digits of the chunk, byte 31 first, high nibble first.
void FormatValue(const unsigned char* dbuf, char* p) {
  for (int i = 31; i >= 0; --i, p += 2) std::memcpy(p, kHex.digits[dbuf[i]], 2);
}
#endif

// Pieces 1 to 3 of the statements of one block: the prefix, the block
// number in at least two hex digits, and `" INIT_`. From one block to the
// next only the number changes, in place while it keeps its length. Kept at
// least kShortHead long, so that a short head copies as one fixed-size piece.
class Head {
 public:
  explicit Head(std::string_view delstr) : delstr_(delstr) {}
  void SetBlock(std::uint64_t block) {
    char digits[16];
    std::size_t n = 0;
    do {
      digits[15 - n++] = kDigits[block & 15];
      block >>= 4;
    } while (block != 0 || n < 2);
    if (n != digits_) {
      digits_ = n;
      text_.assign(delstr_).append(n, '0').append("\" INIT_");
      size_ = text_.size();
      text_.resize(std::max(size_, kShortHead));
    }
    std::memcpy(&text_[delstr_.size()], digits + 16 - n, n);
  }
  const char* data() const { return text_.data(); }
  std::size_t size() const { return size_; }

 private:
  std::string_view delstr_;
  std::string text_;
  std::size_t size_ = 0, digits_ = 0;
};

// Pieces 4 and 5 for each INIT index, and three bytes that the value
// overwrites: one eight-byte copy.
struct IndexTexts {
  char text[16][8];
  constexpr IndexTexts() : text() {
    for (int k = 0; k < 16; ++k) {
      text[k][0] = '0';
      text[k][1] = kDigits[k];
      text[k][2] = ' ', text[k][3] = '=', text[k][4] = ' ';
    }
  }
};
constexpr IndexTexts kIndex;

}  // namespace

bool WriteInits(Source& bin, Output& out, std::string_view delstr, std::string_view eol,
                std::string_view lead, std::int64_t* add_count) {
  constexpr std::size_t kBlockBytes = 1 << 16;  // a whole number of chunks
  std::unique_ptr<unsigned char[]> input(new unsigned char[kBlockBytes]);
  Head head(delstr);
  const std::size_t size = 5 + 2 * kChunk + 1 + eol.size();  // of a statement but its head
  std::uint64_t count = 0;
  for (;;) {
    std::size_t got;
    if (!out.ok() || !ReadFull(bin, input.get(), kBlockBytes, &got)) return false;
    if (got == 0) break;
    if (count == 0) out.Put(lead);
    // A short last chunk ends in zeros.
    const std::size_t padded = (got + kChunk - 1) / kChunk * kChunk;
    std::memset(input.get() + got, 0, padded - got);
    for (std::size_t at = 0; at < padded;) {
      // The statements of one block that this read holds, in one piece.
      const std::size_t first = count % 16;
      const std::size_t n = std::min(16 - first, (padded - at) / kChunk);
      if (first == 0) head.SetBlock(count / 16);
      char* p = out.Extend(n * (head.size() + size));
      for (std::size_t k = first; k < first + n; ++k, at += kChunk) {
        // Every statement is longer than kShortHead and the index's eight
        // bytes: what is copied beyond a piece is overwritten by the next.
        if (head.size() <= kShortHead) {
          std::memcpy(p, head.data(), kShortHead);
        } else {
          std::memcpy(p, head.data(), head.size());
        }
        p += head.size();
        std::memcpy(p, kIndex.text[k], 8);
        FormatValue(input.get() + at, p + 5);
        p += 5 + 2 * kChunk;
        *p++ = ';';
        for (char c : eol) *p++ = c;
      }
      count += n;
    }
    // A short block means the input has ended; reading on could block a tty.
    if (got < kBlockBytes) break;
  }
  *add_count = static_cast<std::int64_t>(count);
  return out.ok();
}

}  // namespace romseed
