#ifndef ROMSEED_LAYOUT_H_
#define ROMSEED_LAYOUT_H_

// Where an image's words go: which instance, block RAM, bits and words. The
// one mapping from an image to statements, which the writer formats and the
// check compares against.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "block_ram.h"
#include "image.h"

namespace romseed {

// Where the parity bits of a 9-, 18- or 36-bit word go.
enum class Parity {
  kPorts,  // as the primitive's ports take them: DI the low bits, DIP the high ones
  kLanes,  // in lanes of 9 bits, each a byte and its parity bit, as synthesis lays them out
};

// One instance's share of an image: bits `low_bit` to `low_bit + width - 1`
// of words `first_word` to `first_word + words - 1`, word a of them at
// address a of its block RAM.
struct Placement {
  std::string instance;
  BlockShape shape;
  unsigned low_bit = 0, width = 8;
  std::uint64_t first_word = 0, words = 0;
  Parity parity = Parity::kPorts;  // how a 9·m-bit share's bits reach its ports
  // A byte program's share: the data bits from `data_low` on of a word of
  // data bits alone, its parity bits zero.
  bool data_only = false;
  unsigned data_low = 0;
};

// The statements a placement gets: INIT_ values of 256 data bits, then
// INITP_ values of 256 parity bits.
struct StatementCount {
  std::size_t inits = 0, initps = 0;
};

// The placements of a memory, in the order their statements are written.
class Layout {
 public:
  virtual ~Layout() = default;
  virtual std::size_t size() const = 0;
  virtual Placement at(std::size_t i) const = 0;
  // Sets `*i` to the placement of the instance `name`, exactly as a run
  // writes it; at or past size() for one of a longer image. False if the
  // name is none of the layout's.
  virtual bool Find(std::string_view name, std::size_t* i) const = 0;
  // The statements placement `p` gets for `image`.
  virtual StatementCount Count(const Image& image, const Placement& p) const = 0;
};

// The row by depth of a component: `component` followed by the block number
// in at least two lower-case hex digits (rom00, rom01, ...), each instance
// holding the next block RAM's depth of whole words. Only the statements of
// data present: a short last instance gets fewer, and none past the image.
class RowLayout : public Layout {
 public:
  RowLayout(std::string component, const BlockShape& shape, unsigned width, Parity parity,
            std::uint64_t words);
  std::size_t size() const override { return count_; }
  Placement at(std::size_t i) const override;
  bool Find(std::string_view name, std::size_t* i) const override;
  StatementCount Count(const Image& image, const Placement& p) const override;

 private:
  std::string component_;
  BlockShape shape_;
  unsigned width_;
  Parity parity_;
  std::uint64_t depth_;  // words an instance holds
  std::size_t count_;
};

// Where the bits of placement `p`'s share of a word go: its data bits, or
// with `parity` its parity bits, as a statement of that kind holds them; and
// the share with those bits replaced by `bits`.
std::uint64_t StatementBits(std::uint64_t share, const Placement& p, bool parity);
std::uint64_t WithStatementBits(std::uint64_t share, const Placement& p, bool parity,
                                std::uint64_t bits);

// The value of statement `index` of placement `p` (INITP_ if `parity`):
// `value[0]` holds its least significant byte, the last two digits.
void Slice(const Image& image, const Placement& p, bool parity, std::size_t index,
           unsigned char value[32]);

}  // namespace romseed

#endif  // ROMSEED_LAYOUT_H_
