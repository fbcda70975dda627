#include "program.h"

#include <algorithm>
#include <cstring>

#include "bmm.h"
#include "hex.h"

namespace romseed {
namespace {

// The first address from `q`'s first up to `end` where `p` and `q` differ;
// `end` if none.
std::uint64_t FirstDifference(const Piece& p, const Piece& q, std::uint64_t end) {
  std::uint64_t a = q.address;
  while (a < end && p.at(a - p.address) == q.at(a - q.address)) ++a;
  return a;
}

// Says which two pieces give one address different bytes, if any: in
// address order, the bytes a piece shares with earlier ones are all within
// the one that reaches furthest, itself checked against those before it.
bool CheckOverlaps(const Program& program, const std::string& path, Failure* err) {
  std::vector<std::size_t> order(program.pieces.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  const auto& pieces = program.pieces;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return pieces[x].address < pieces[y].address; });
  const Piece* reach = nullptr;
  std::uint64_t reach_end = 0;
  for (std::size_t k : order) {
    const Piece& p = pieces[k];
    const std::uint64_t end = p.address + p.length();
    const std::uint64_t a = reach ? FirstDifference(*reach, p, std::min(end, reach_end)) : end;
    if (a < std::min(end, reach_end)) {
      const bool first = reach < &p;
      return Fail(err, CantReadBinary(path),
                  (first ? reach : &p)->where + " and " + (first ? &p : reach)->where + " give address " +
                      HexAddress(a) + " different bytes");
    }
    if (!reach || end > reach_end) reach = &p, reach_end = end;
  }
  return true;
}

// Where a program's bytes go: addresses `lo` to `hi` into a store from its
// first byte on, in words of `word_bytes` whose bytes are reversed if
// `big`; the rest are counted in `*outside`.
struct Window {
  std::uint64_t lo, hi;
  unsigned word_bytes = 1;
  bool big = false;
  Outside* outside = nullptr;
};

// Counts bytes `from` to `to` - 1 of `piece` inside the window, the rest
// outside it.
void CountOutside(const Piece& piece, std::uint64_t from, std::uint64_t to, Outside* o) {
  if (!o || to - from == piece.length()) return;
  const std::uint64_t first = from > 0 ? piece.address : piece.address + to;
  o->first = o->count == 0 ? first : std::min(o->first, first);
  o->count += piece.length() - (to - from);
}

void Place(const Program& program, const Window& window, std::vector<unsigned char>& store) {
  for (const Piece& piece : program.pieces) {
    const std::uint64_t n = piece.length(), a = piece.address;
    // The part inside the window, bytes `from` to `to` - 1 of the piece.
    const std::uint64_t from = a >= window.lo ? 0 : std::min(n, window.lo - a);
    const std::uint64_t to = a > window.hi ? from : std::max(from, std::min(n, window.hi - a + 1));
    CountOutside(piece, from, to, window.outside);
    const std::uint64_t at = a + from - window.lo;
    // The store is zero where the zeros go.
    const std::uint64_t copied = std::min(to, std::max(from, piece.size)) - from;
    if (!window.big && copied > 0) std::memcpy(&store[at], piece.data + from, copied);
    const unsigned w = window.word_bytes;
    for (std::uint64_t i = 0; window.big && i < to - from; ++i) {
      const std::uint64_t offset = at + i;
      store[offset / w * w + (w - 1 - offset % w)] = piece.at(from + i);
    }
  }
}

}  // namespace

bool PlaceAtBase(const Program& program, const std::string& path, std::uint64_t base, Image* image,
                 Failure* err) {
  std::uint64_t end = base;
  for (const Piece& piece : program.pieces) {
    if (piece.length() == 0) continue;
    if (piece.address < base) {
      return Fail(err, CantReadBinary(path),
                  piece.where + " gives address " + HexAddress(piece.address) + ", below --base " +
                      HexAddress(base));
    }
    end = std::max(end, piece.address + piece.length());
  }
  if (end - base > kMaxWords) {
    return Fail(err, CantReadBinary(path),
                "its bytes reach " + HexAddress(end - 1) + ", more than a run takes from --base " +
                    HexAddress(base) + " (give the program's first address as --base)");
  }
  *image = Image(8);
  std::vector<unsigned char>& store = image->bytes_to_fill();
  store.assign(static_cast<std::size_t>(end - base), 0);
  image->FilledBytes();
  if (!CheckOverlaps(program, path, err)) return false;
  Place(program, {base, end - 1}, store);
  return true;
}

bool PlaceInSpace(const Program& program, const std::string& path, const AddressSpace& space,
                  bool big, bool inside_needed, Image* image, Outside* outside, Failure* err) {
  const unsigned bytes = space.data_bits() / 8;
  *image = Image(space.data_bits());
  image->Resize(space.words());
  *outside = Outside();
  if (!CheckOverlaps(program, path, err)) return false;
  Place(program, {space.start, space.end, bytes, big, outside}, image->bytes_to_fill());
  std::uint64_t all = 0;
  for (const Piece& piece : program.pieces) all += piece.length();
  const std::uint64_t inside = all - outside->count;
  if (inside == 0 && inside_needed) {
    return Fail(err, CantReadBinary(path),
                "no byte of it lies in " + space.name + " " + space.range() +
                    " (a program linked for another address?)");
  }
  return true;
}

}  // namespace romseed
