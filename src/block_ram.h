#ifndef ROMSEED_BLOCK_RAM_H_
#define ROMSEED_BLOCK_RAM_H_

// The block RAMs that a UCF can initialise: one row of a table each, which
// the writer reads.

#include <cstddef>
#include <string>

namespace romseed {

// The statements of one memory instance: what tells block RAMs apart.
struct BlockShape {
  std::size_t inits_per_block;   // INIT_ statements, of 32 data bytes each
  std::size_t initps_per_block;  // INITP_ statements, of 256 parity bits each
  // The index in upper case (INIT_3F), as the Libraries Guides spell the
  // attributes of RAMB16 and later; RAMB4's as the tool always wrote it.
  bool upper_index = true;
  // What a user must know of the family to see the contents, or null.
  const char* notice = nullptr;
  // The constraint files whose flow places it: kUcf (ISE), kXdc (Vivado).
  unsigned flows = kUcf | kXdc;
  static constexpr unsigned kUcf = 1, kXdc = 2;
  std::size_t bytes() const { return inits_per_block * 32; }
};
// The 4096-bit block RAM of the Virtex and Spartan-II families, the default.
inline constexpr BlockShape kRamb4{16, 0, false, nullptr, BlockShape::kUcf};
// The 36-kbit block RAM of the 7-series, the default of an XDC.
inline constexpr BlockShape kRamb36E1{128, 16};

// Sets `*shape` to that of the family `name` names: a family (RAMB16), or a
// primitive of it with its port widths (RAMB16_S18, RAMB4_S8_S8), in any
// case. False for a name not in the table.
bool FindBlockRam(const std::string& name, BlockShape* shape);

// The families, one per line, for the help text.
extern const char kBlockRamTable[];

}  // namespace romseed

#endif  // ROMSEED_BLOCK_RAM_H_
