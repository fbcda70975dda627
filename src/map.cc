#include "map.h"

#include <algorithm>

#include "hex.h"
#include "readers.h"
#include "ucf.h"

namespace romseed {
namespace {

std::string Padded(std::string s, std::size_t width) {
  s.resize(std::max(s.size(), width), ' ');
  return s;
}

std::string BitRange(unsigned high, unsigned low) {
  return high == low ? "bit " + std::to_string(low) : "bits " + std::to_string(high) + ":" + std::to_string(low);
}

// The statements a placement gets, as a range of their names.
std::string Statements(const Placement& p, const StatementCount& n) {
  const bool upper = p.shape.upper_index;
  std::string s = AttributeName(false, 0, upper) + "-" + AttributeName(false, n.inits - 1, upper);
  if (n.initps > 0) s += ", " + AttributeName(true, 0, upper) + "-" + AttributeName(true, n.initps - 1, upper);
  return s;
}

// A line per instance: block RAM, port width, bus bits, addresses, statements.
std::string Table(const AddressSpace& space, const BusLayout& layout, const Image& image, bool words) {
  std::vector<std::vector<std::string>> rows = {{"instance", "block RAM", "port", "bus bits", "addresses", "statements"}};
  // A word file's words are counted from the space's first, as its @ addresses are.
  const unsigned bytes = words ? 0 : space.data_bits() / 8;
  std::size_t k = 0;
  for (const BusBlock& block : space.blocks) {
    for (const Lane& lane : block.lanes) {
      const Placement p = layout.at(k++);
      const std::uint64_t from = space.start + p.first_word * bytes;
      const std::string addresses =
          bytes ? HexAddress(from) + "-" + HexAddress(from + p.words * bytes - 1)
                : "@" + Hex(p.first_word, 1) + "-@" + Hex(p.first_word + p.words - 1, 1);
      rows.push_back({lane.instance, lane.type, "x" + std::to_string(lane.width),
                      lane.bits(), addresses,
                      Statements(p, layout.Count(image, p))});
    }
  }
  std::vector<std::size_t> widths(rows[0].size());
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) line += c + 1 < row.size() ? Padded(row[c], widths[c] + 2) : row[c];
    text += line + "\n";
  }
  return text;
}

// Where data bit `d` of bus word `w` goes, as "instance INIT_xx bit n".
struct Spot {
  std::size_t placement;
  std::size_t statement;
  unsigned bit;
};
Spot SpotOf(const BusLayout& layout, std::uint64_t w, unsigned d) {
  for (std::size_t k = 0; k < layout.size(); ++k) {
    const Placement p = layout.at(k);
    const unsigned data = DataBits(p.width);
    if (w < p.first_word || w - p.first_word >= p.words || d < p.data_low || d >= p.data_low + data) continue;
    const std::uint64_t bit = (w - p.first_word) * data + (d - p.data_low);
    return {k, static_cast<std::size_t>(bit / 256), static_cast<unsigned>(bit % 256)};
  }
  return {layout.size(), 0, 0};
}

// Which instance, statement and bits hold each byte of the bus word that
// holds byte address `at`.
std::string Where(const AddressSpace& space, const BusLayout& layout, std::uint64_t at, ByteOrder order) {
  const bool big = order == ByteOrder::kBig;
  const unsigned bytes = space.data_bits() / 8;
  const std::uint64_t w = (at - space.start) / bytes, first = space.start + w * bytes;
  std::string text = HexAddress(at) + " is in bus word " + std::to_string(w) + " of " + space.name + " (" +
                     HexAddress(first) + " to " + HexAddress(first + bytes - 1) + ", " +
                     OrderName(order) + "):\n";
  for (unsigned j = 0; j < bytes; ++j) {
    const unsigned low = 8 * (big ? bytes - 1 - j : j);
    for (unsigned b = 0; b < 8;) {
      const Spot s = SpotOf(layout, w, low + b);
      unsigned n = 1;
      while (b + n < 8) {
        const Spot next = SpotOf(layout, w, low + b + n);
        if (next.placement != s.placement || next.statement != s.statement || next.bit != s.bit + n) break;
        ++n;
      }
      const Placement p = layout.at(s.placement);
      text += "  byte " + HexAddress(first + j) + " " + BitRange(b + n - 1, b) + ": " + p.instance + " " +
              AttributeName(false, s.statement, p.shape.upper_index) + " " + BitRange(s.bit + n - 1, s.bit) + "\n";
      b += n;
    }
  }
  return text;
}

}  // namespace

bool Map(const Job& job, Os& os, Sink& out, Failure* err) {
  AddressSpace space;
  if (!ReadLayoutOf(os, job, &space, err)) return false;
  SpaceImage read;
  read.inside_needed = false;  // the map is of the space, whatever the program fills
  {
    OsError error;
    std::unique_ptr<File> bin = os.Open(job.bin_path, kOpenRead, &error);
    if (!bin) return Fail(err, "can't open binary file " + job.bin_path, error.reason);
    if (!ReadSpaceImage(*bin, job, space, &read, err)) return false;
  }
  const BusLayout layout(space, job.parity, read.bytes);
  std::string text = space.name + ": " + HexAddress(space.start) + " to " + HexAddress(space.end) + ", " +
                     std::to_string(space.words()) + " bus words of " + std::to_string(space.bus_width) +
                     " bits, " + (read.bytes ? OrderName(read.order) : "from a word file") + "\n";
  text += Table(space, layout, read.image, !read.bytes);
  if (job.map_at) {
    if (!read.bytes || job.map_address < space.start || job.map_address > space.end) {
      return Fail(err, "address " + HexAddress(job.map_address) + " is not in " + space.name + " " +
                           space.range() +
                           (read.bytes ? "" : " (a word file's words have no byte addresses)"));
    }
    text += Where(space, layout, job.map_address, read.order);
  }
  Print(out, text);
  return true;
}

}  // namespace romseed
