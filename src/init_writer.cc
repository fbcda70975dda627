#include "init_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "hex.h"

namespace romseed {
namespace {

constexpr std::size_t kChunk = 32;
constexpr std::size_t kShortHead = 32;

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
      digits[15 - n++] = kHexDigits[block & 15];
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

// Pieces 4 and 5 for each INIT index that a block RAM has, and three bytes
// that the value overwrites: one eight-byte copy.
struct IndexTexts {
  char text[kMaxInitsPerBlock][8];
  constexpr IndexTexts() : text() {
    for (std::size_t k = 0; k < kMaxInitsPerBlock; ++k) {
      text[k][0] = kHexDigits[k >> 4];
      text[k][1] = kHexDigits[k & 15];
      text[k][2] = ' ', text[k][3] = '=', text[k][4] = ' ';
    }
  }
};
constexpr IndexTexts kIndex;

// Writes the statements for the `padded` bytes at `input` (a whole number
// of chunks), the first of them chunk `*count`, and counts them.
void WriteStatements(const unsigned char* input, std::size_t padded, std::size_t per_block,
                     std::string_view eol, Head& head, Output& out, std::uint64_t* count) {
  const std::size_t size = 5 + 2 * kChunk + 1 + eol.size();  // of a statement but its head
  for (std::size_t at = 0; at < padded;) {
    // The statements of one block that this read holds, in one piece.
    const std::size_t first = *count % per_block;
    const std::size_t n = std::min(per_block - first, (padded - at) / kChunk);
    if (first == 0) head.SetBlock(*count / per_block);
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
      FormatValue(input + at, p + 5);
      p += 5 + 2 * kChunk;
      *p++ = ';';
      for (char c : eol) *p++ = c;
    }
    *count += n;
  }
}

}  // namespace

PassResult WriteInits(Source& bin, Output& out, std::string_view delstr, const BlockShape& shape,
                      std::string_view eol, std::string_view lead, std::int64_t* add_count) {
  constexpr std::size_t kBlockBytes = 1 << 16;  // a whole number of chunks
  std::unique_ptr<unsigned char[]> input(new unsigned char[kBlockBytes]);
  Head head(delstr);
  std::uint64_t count = 0;
  for (;;) {
    std::size_t got;
    if (!out.ok()) return PassResult::kCantWrite;
    if (!ReadFull(bin, input.get(), kBlockBytes, &got)) return PassResult::kCantRead;
    if (got == 0) break;
    if (count == 0) out.Put(lead);
    // A short last chunk ends in zeros.
    const std::size_t padded = (got + kChunk - 1) / kChunk * kChunk;
    std::memset(input.get() + got, 0, padded - got);
    WriteStatements(input.get(), padded, shape.inits_per_block, eol, head, out, &count);
    // A short block means the input has ended; reading on could block a tty.
    if (got < kBlockBytes) break;
  }
  *add_count = static_cast<std::int64_t>(count);
  return out.ok() ? PassResult::kOk : PassResult::kCantWrite;
}

}  // namespace romseed
