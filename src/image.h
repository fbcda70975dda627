#ifndef ROMSEED_IMAGE_H_
#define ROMSEED_IMAGE_H_

// A memory's contents between the readers of its file and the block RAMs:
// words of one width at word addresses, zero where nothing was given.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace romseed {

// The most words an image may hold: far more than any row of block RAMs
// holds, and a bound on the memory an address in a file can make a run take.
inline constexpr std::size_t kMaxWords = std::size_t{1} << 22;

// True for the widths whose words carry a parity bit per byte (9·m bits).
constexpr bool HasParity(unsigned width) { return width == 9 || width == 18 || width == 36; }
// The data bits of a `width`-bit word: 8 of every 9 where it has parity bits.
constexpr unsigned DataBits(unsigned width) { return HasParity(width) ? width / 9 * 8 : width; }

class Image {
 public:
  // Words of `width` bits: 1, 2, 4, 8, 16, 32, or 9, 18, 36; or a bus
  // word of a layout, any whole number of bytes or nibbles wide.
  explicit Image(unsigned width) : width_(width) {}

  unsigned width() const { return width_; }
  // One past the highest address given a word: the words before it that
  // were not given are holes, zero.
  std::uint64_t size() const { return size_; }
  // How many words were given, the same address counted each time.
  std::uint64_t given() const { return given_; }

  // Gives word `address` (below kMaxWords) the low width() bits of `word`.
  void Set(std::uint64_t address, std::uint64_t word);
  // Gives word `address` the nibbles at `digits`, least significant first
  // (a word wider than 64 bits).
  void SetDigits(std::uint64_t address, const std::vector<unsigned char>& digits);
  // Word `address`; zero for a hole or beyond size(). Of a word wider than
  // 64 bits, Bits() takes any 64 of them.
  std::uint64_t Get(std::uint64_t address) const;
  std::uint64_t Bits(std::uint64_t address, unsigned low, unsigned n) const;
  // Sets size() to `words`: the words not given are zero.
  void Resize(std::uint64_t words);

  // Words of 1 to 32 bits without parity as they pack into bytes, least
  // significant first: word a is bits width()·a to width()·a + width() - 1;
  // ByteSize() of them are the image's, any after them zero. (Of 9·m-bit
  // words, the bytes of their store, which are not the data.)
  const std::vector<unsigned char>& bytes() const { return bytes_; }
  std::size_t ByteSize() const {
    return static_cast<std::size_t>(width_ < 8 ? (size_ * width_ + 7) / 8 : size_ * Stride());
  }
  // Byte images read straight into the store.
  std::vector<unsigned char>& bytes_to_fill() { return bytes_; }
  // Sets size() from the bytes filled, whole words only.
  void FilledBytes() { given_ = size_ = bytes_.size() * 8 / width_; }

 private:
  // The store's bytes of one word, where a word takes whole bytes.
  unsigned Stride() const { return (width_ + 7) / 8; }

  unsigned width_;
  std::uint64_t size_ = 0, given_ = 0;
  std::vector<unsigned char> bytes_;
};

}  // namespace romseed

#endif  // ROMSEED_IMAGE_H_
