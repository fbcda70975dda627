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
// number in at least two hex digits, and `" INIT_` (or `" INITP_`). From one
// block to the next only the number changes, in place while it keeps its
// length. Kept at least kShortHead long, so that a short head copies as one
// fixed-size piece.
class Head {
 public:
  Head(std::string_view delstr, std::string_view attribute) : delstr_(delstr), attribute_(attribute) {}
  void SetBlock(std::uint64_t block) {
    char digits[16];
    std::size_t n = 0;
    do {
      digits[15 - n++] = kHexDigits[block & 15];
      block >>= 4;
    } while (block != 0 || n < 2);
    if (n != digits_) {
      digits_ = n;
      text_.assign(delstr_).append(n, '0').append("\" ").append(attribute_).append("_");
      size_ = text_.size();
      text_.resize(std::max(size_, kShortHead));
    }
    std::memcpy(&text_[delstr_.size()], digits + 16 - n, n);
  }
  const char* data() const { return text_.data(); }
  std::size_t size() const { return size_; }

 private:
  std::string_view delstr_, attribute_;
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
static_assert(kMaxInitsPerBlock <= 256, "two hex digits an index");

// Writes the statements for the `padded` bytes at `input` (a whole number
// of chunks), the first of them chunk `*count`, `per_block` to a block, and
// counts them.
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
  Head head(delstr, "INIT");
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

namespace {

// Writes the statements for `size` bytes at `input`, padded with zeros to a
// whole chunk, from chunk `first` on (`per_block` chunks to a block).
void WritePadded(const unsigned char* input, std::size_t size, std::uint64_t first,
                 std::size_t per_block, std::string_view eol, Head& head, Output& out) {
  const std::size_t whole = size / kChunk * kChunk;
  std::uint64_t chunk = first;
  if (first % per_block != 0) head.SetBlock(first / per_block);
  WriteStatements(input, whole, per_block, eol, head, out, &chunk);
  if (whole == size) return;
  unsigned char last[kChunk] = {};
  std::memcpy(last, input + whole, size - whole);
  WriteStatements(last, kChunk, per_block, eol, head, out, &chunk);
}

}  // namespace

PassResult WriteImage(const Image& image, Output& out, std::string_view delstr,
                      const BlockShape& shape, std::string_view eol, std::string_view lead,
                      std::int64_t* add_count) {
  Head inits(delstr, "INIT"), initps(delstr, "INITP");
  const std::size_t bytes = shape.bytes(), size = image.data.size();
  std::uint64_t count = 0;
  if (size > 0) out.Put(lead);
  for (std::size_t at = 0; at < size; at += bytes) {
    const std::size_t n = std::min(bytes, size - at);
    const std::uint64_t block = at / bytes;
    WritePadded(image.data.data() + at, n, block * shape.inits_per_block, shape.inits_per_block,
                eol, inits, out);
    count += (n + kChunk - 1) / kChunk;
    if (!image.has_parity) continue;
    // A parity bit per data byte: eight bytes' worth in each parity byte.
    const std::size_t bits = (n + 7) / 8;
    WritePadded(image.parity.data() + at / 8, bits, block * shape.initps_per_block,
                shape.initps_per_block, eol, initps, out);
    count += (bits + kChunk - 1) / kChunk;
  }
  *add_count = static_cast<std::int64_t>(count);
  return out.ok() ? PassResult::kOk : PassResult::kCantWrite;
}

}  // namespace romseed
