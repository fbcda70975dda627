#ifndef ROMSEED_BMM_H_
#define ROMSEED_BMM_H_

// A memory spread over block RAMs by width and by depth, as a block memory
// map (BMM) of the ISE flow describes it.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "block_ram.h"
#include "failure.h"
#include "io.h"
#include "layout.h"

namespace romseed {

// One block RAM of a bus block: the bus bits it holds, counted from the
// least significant end whatever way the file numbers them.
struct Lane {
  std::string instance;
  std::string type;  // the memory type, as the file names it
  BlockShape shape;
  unsigned low_bit = 0, width = 0;
  unsigned first = 0, last = 0;  // the bits as the file writes them, for a person
  int line = 0;
  std::string bits() const;  // "[first:last]"
};

// Lanes side by side, together a bus word wide, `depth` bus words deep.
struct BusBlock {
  std::vector<Lane> lanes;
  std::uint64_t depth = 0;
  bool msb_first = false;  // numbered from the most significant end ([0:7])
};

// A memory: byte addresses `start` to `end`, bus blocks one after another.
struct AddressSpace {
  std::string name;
  std::uint64_t start = 0, end = 0;
  unsigned bus_width = 0;  // bits of a bus word, parity bits included
  std::vector<BusBlock> blocks;
  // The data bits of a bus word: 8 of every 9 where the lanes carry parity.
  unsigned data_bits() const;
  std::uint64_t words() const;  // bus words in all
  // The byte addresses as messages give them: [0x00000000:0x00001fff].
  std::string range() const;
};

// Reads the BMM file `path` from `in` and sets `*space` to its address
// space `name`. False, with "path:line: reason", for a file that does not
// parse or describes no memory this tool can fill, or lacks the space.
bool ReadBmm(Source& in, const std::string& path, const std::string& name, AddressSpace* space,
             Failure* err);

// The placements of a space's lanes, bank by bank, in the file's order;
// every instance gets all its statements. With `data_only`, a share's data
// bits come from the bus word's data bits, each lane's in the lanes' order
// of significance, and its parity bits are zero (a program of bytes).
class BusLayout : public Layout {
 public:
  BusLayout(const AddressSpace& space, Parity parity, bool data_only);
  std::size_t size() const override { return placements_.size(); }
  Placement at(std::size_t i) const override { return placements_[i]; }
  bool Find(std::string_view name, std::size_t* i) const override;
  StatementCount Count(const Image& image, const Placement& p) const override;

 private:
  std::vector<Placement> placements_;
  std::map<std::string, std::size_t, std::less<>> index_;
};

}  // namespace romseed

#endif  // ROMSEED_BMM_H_
