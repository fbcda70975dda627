#include "layout.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "hex.h"

namespace romseed {
namespace {

constexpr std::size_t kValueBits = 256;

std::uint64_t Mask(unsigned bits) {
  return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Splits a 9·m-bit share into its 8·m data bits and its m parity bits, as
// `parity` wires them.
void SplitParity(std::uint64_t share, unsigned width, Parity parity, std::uint64_t* data,
                 std::uint64_t* bits) {
  const unsigned m = width / 9;
  if (parity == Parity::kPorts) {
    *data = share & Mask(8 * m);
    *bits = share >> (8 * m) & Mask(m);
    return;
  }
  *data = *bits = 0;
  for (unsigned j = 0; j < m; ++j) {
    *data |= (share >> (9 * j) & 0xff) << (8 * j);
    *bits |= (share >> (9 * j + 8) & 1) << j;
  }
}

// The 9·m-bit share of `data` and parity `bits`, as `parity` wires them.
std::uint64_t MergeParity(std::uint64_t data, std::uint64_t bits, unsigned width, Parity parity) {
  const unsigned m = width / 9;
  if (parity == Parity::kPorts) return data | bits << (8 * m);
  std::uint64_t share = 0;
  for (unsigned j = 0; j < m; ++j) {
    share |= (data >> (8 * j) & 0xff) << (9 * j) | (bits >> j & 1) << (9 * j + 8);
  }
  return share;
}

// StatementBits, where Slice's loop can take it in.
inline std::uint64_t BitsOfShare(std::uint64_t share, const Placement& p, bool parity) {
  if (!HasParity(p.width)) return parity ? 0 : share;
  std::uint64_t data, bits;
  SplitParity(share, p.width, p.parity, &data, &bits);
  return parity ? bits : data;
}

// ORs the low `bits` bits of `v` into `value` from bit `at` on; `bits`
// divides 256 and `at` is a multiple of it.
void PutBits(unsigned char value[32], std::size_t at, unsigned bits, std::uint64_t v) {
  for (unsigned done = 0; done < bits;) {
    const std::size_t bit = at + done;
    const unsigned n = std::min(bits - done, 8 - static_cast<unsigned>(bit % 8));
    value[bit / 8] |= static_cast<unsigned char>((v >> done & Mask(n)) << (bit % 8));
    done += n;
  }
}

// A word of `Stride` whole bytes as an image stores it, least significant
// byte first.
template <unsigned Stride>
std::uint64_t StoredWord(const unsigned char* b) {
  std::uint64_t word = 0;
  for (unsigned j = 0; j < Stride; ++j) word |= std::uint64_t{b[j]} << (8 * j);
  return word;
}

// Gathers bits `low` to `low + Width - 1` of the `n` words of `Stride`
// bytes at `w` into `out`, 64 bits at a time. Both sizes fixed, the loop is
// a handful of instructions a word: the lanes of a wide memory (32 one-bit
// lanes, each reading every bus word) are most of a layout run's work.
template <unsigned Stride, unsigned Width>
void Gather(const unsigned char* w, unsigned low, std::uint64_t n, unsigned char* out) {
  constexpr unsigned kPer = 64 / Width;
  constexpr std::uint64_t kMask = Width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << Width) - 1;
  for (std::uint64_t done = 0; done < n; done += kPer) {
    std::uint64_t bits = 0;
    const unsigned k = static_cast<unsigned>(std::min<std::uint64_t>(kPer, n - done));
    for (unsigned j = 0; j < k; ++j, w += Stride) bits |= (StoredWord<Stride>(w) >> low & kMask) << (j * Width);
    for (unsigned j = 0; j < (k * Width + 7) / 8; ++j) *out++ = static_cast<unsigned char>(bits >> (8 * j));
  }
}

// Slice's value of a lane without parity bits from an image of whole-byte
// words up to 64 bits wide: words `first` to `end` - 1 of the lane.
template <unsigned Stride>
void SliceLane(const Image& image, const Placement& p, std::uint64_t first, std::uint64_t end,
               unsigned char value[32]) {
  end = std::min(end, image.size() > p.first_word ? image.size() - p.first_word : 0);
  if (end <= first) return;
  const unsigned char* w = image.bytes().data() + (p.first_word + first) * Stride;
  const std::uint64_t n = end - first;
  switch (p.width) {
    case 1: return Gather<Stride, 1>(w, p.low_bit, n, value);
    case 2: return Gather<Stride, 2>(w, p.low_bit, n, value);
    case 4: return Gather<Stride, 4>(w, p.low_bit, n, value);
    case 8: return Gather<Stride, 8>(w, p.low_bit, n, value);
    case 16: return Gather<Stride, 16>(w, p.low_bit, n, value);
    default: return Gather<Stride, 32>(w, p.low_bit, n, value);
  }
}

// SliceLane, where the image's words are whole bytes of 64 bits or fewer.
bool SliceWholeBytes(const Image& image, const Placement& p, std::uint64_t first, std::uint64_t end,
                     unsigned char value[32]) {
  switch (image.width()) {
    case 8: return SliceLane<1>(image, p, first, end, value), true;
    case 16: return SliceLane<2>(image, p, first, end, value), true;
    case 32: return SliceLane<4>(image, p, first, end, value), true;
    case 64: return SliceLane<8>(image, p, first, end, value), true;
    default: return false;
  }
}

}  // namespace

RowLayout::RowLayout(std::string component, const BlockShape& shape, unsigned width, Parity parity,
                     std::uint64_t words)
    : component_(std::move(component)),
      shape_(shape),
      width_(width),
      parity_(parity),
      depth_(shape.bytes() * 8 / DataBits(width)),
      count_(static_cast<std::size_t>((words + depth_ - 1) / depth_)) {}

Placement RowLayout::at(std::size_t i) const {
  Placement p;
  p.instance = component_ + Hex(i);
  p.shape = shape_;
  p.width = width_;
  p.first_word = i * depth_;
  p.words = depth_;
  p.parity = parity_;
  return p;
}

bool RowLayout::Find(std::string_view name, std::size_t* i) const {
  // The block number as a run writes it: two digits at least, no further
  // leading zero, lower case; any other spelling names another instance.
  if (name.substr(0, component_.size()) != component_) return false;
  const std::string_view digits = name.substr(component_.size());
  if (digits.size() < 2 || digits.size() > 16 || (digits.size() > 2 && digits[0] == '0')) return false;
  std::uint64_t block = 0;
  for (char c : digits) {
    const int d = HexValue(c);
    if (d < 0 || (c >= 'A' && c <= 'F')) return false;
    block = block << 4 | static_cast<unsigned>(d);
  }
  // Past any image where a size cannot hold the number.
  *i = block > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(block);
  return true;
}

StatementCount RowLayout::Count(const Image& image, const Placement& p) const {
  const std::uint64_t present =
      image.size() <= p.first_word ? 0 : std::min(p.words, image.size() - p.first_word);
  const std::uint64_t data_bytes = (present * DataBits(p.width) + 7) / 8;
  StatementCount count;
  count.inits = static_cast<std::size_t>((data_bytes + 31) / 32);
  if (HasParity(p.width)) {
    const std::uint64_t parity_bytes = (present * (p.width / 9) + 7) / 8;
    count.initps = static_cast<std::size_t>((parity_bytes + 31) / 32);
  }
  return count;
}

std::uint64_t StatementBits(std::uint64_t share, const Placement& p, bool parity) {
  return BitsOfShare(share, p, parity);
}

std::uint64_t WithStatementBits(std::uint64_t share, const Placement& p, bool parity,
                                std::uint64_t bits) {
  if (!HasParity(p.width)) return parity ? share : bits;
  std::uint64_t data, parity_bits;
  SplitParity(share, p.width, p.parity, &data, &parity_bits);
  return MergeParity(parity ? data : bits, parity ? bits : parity_bits, p.width, p.parity);
}

void Slice(const Image& image, const Placement& p, bool parity, std::size_t index,
           unsigned char value[32]) {
  std::memset(value, 0, 32);
  // Whole words of whole bytes or of bits that pack into them, as the
  // image stores them: the value is a stretch of the store.
  if (!HasParity(p.width) && p.low_bit == 0 && p.width == image.width()) {
    const std::size_t from = static_cast<std::size_t>(p.first_word * p.width / 8) + 32 * index;
    const std::size_t end = image.ByteSize();
    if (from < end) {
      std::memcpy(value, image.bytes().data() + from, std::min<std::size_t>(32, end - from));
    }
    return;
  }
  const unsigned bits = parity ? p.width / 9 : DataBits(p.width);
  const std::uint64_t per_value = kValueBits / bits;
  const std::uint64_t first = index * per_value;
  const std::uint64_t end = std::min(first + per_value, p.words);
  if (!HasParity(p.width) && SliceWholeBytes(image, p, first, end, value)) return;
  if (p.data_only) {
    for (std::uint64_t a = first; a < end && !parity; ++a) {
      PutBits(value, (a - first) * bits, bits, image.Bits(p.first_word + a, p.data_low, bits));
    }
    return;
  }
  for (std::uint64_t a = first; a < end; ++a) {
    // A word of 64 bits or fewer at once: the word files' common case.
    const std::uint64_t share = image.width() <= 64 ? image.Get(p.first_word + a) >> p.low_bit & Mask(p.width)
                                                     : image.Bits(p.first_word + a, p.low_bit, p.width);
    PutBits(value, (a - first) * bits, bits, BitsOfShare(share, p, parity));
  }
}

}  // namespace romseed
