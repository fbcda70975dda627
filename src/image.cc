#include "image.h"

#include <algorithm>

namespace romseed {

void Image::Set(std::uint64_t address, std::uint64_t word) {
  const std::size_t a = static_cast<std::size_t>(address);
  if (width_ < 8) {
    const std::size_t bit = a * width_;
    if (bit / 8 >= bytes_.size()) bytes_.resize(std::max(bit / 8 + 1, 2 * bytes_.size()));
    const unsigned mask = ((1u << width_) - 1) << (bit % 8);
    unsigned char& b = bytes_[bit / 8];
    b = static_cast<unsigned char>((b & ~mask) | ((word << (bit % 8)) & mask));
  } else {
    const std::size_t stride = Stride(), at = a * stride;
    // Room for many more, zeros all: words not given are zero.
    if (at + stride > bytes_.size()) bytes_.resize(std::max(at + stride, 2 * bytes_.size()));
    if (width_ < 64) word &= (std::uint64_t{1} << width_) - 1;
    for (std::size_t j = 0; j < stride; ++j) {
      bytes_[at + j] = static_cast<unsigned char>(word >> (8 * j));
    }
  }
  if (address >= size_) size_ = address + 1;
  ++given_;
}

std::uint64_t Image::Get(std::uint64_t address) const {
  if (address >= size_) return 0;
  const std::size_t a = static_cast<std::size_t>(address);
  if (width_ < 8) {
    const std::size_t bit = a * width_;
    return bytes_[bit / 8] >> (bit % 8) & ((1u << width_) - 1);
  }
  std::uint64_t word = 0;
  const std::size_t stride = Stride(), at = a * stride;
  for (std::size_t j = stride; j-- > 0;) word = word << 8 | bytes_[at + j];
  return word;
}

void Image::SetDigits(std::uint64_t address, const std::vector<unsigned char>& digits) {
  const std::size_t stride = Stride(), at = static_cast<std::size_t>(address) * stride;
  if (at + stride > bytes_.size()) bytes_.resize(std::max(at + stride, 2 * bytes_.size()));
  std::fill(bytes_.begin() + at, bytes_.begin() + at + stride, 0);
  for (std::size_t k = 0; k < digits.size() && k / 2 < stride; ++k) {
    bytes_[at + k / 2] |= static_cast<unsigned char>(digits[k] << (k % 2 * 4));
  }
  if (address >= size_) size_ = address + 1;
  ++given_;
}

std::uint64_t Image::Bits(std::uint64_t address, unsigned low, unsigned n) const {
  if (width_ <= 64) {
    const std::uint64_t word = Get(address) >> low;
    return n >= 64 ? word : word & ((std::uint64_t{1} << n) - 1);
  }
  if (address >= size_) return 0;
  const unsigned char* word = bytes_.data() + static_cast<std::size_t>(address) * Stride();
  std::uint64_t v = 0;
  for (unsigned k = 0; k < n; ++k) {
    const unsigned bit = low + k;
    v |= std::uint64_t{word[bit / 8] >> (bit % 8) & 1u} << k;
  }
  return v;
}

void Image::Resize(std::uint64_t words) {
  size_ = words;
  bytes_.resize(ByteSize());
}

}  // namespace romseed
