#include "program.h"

#include <algorithm>
#include <cstring>

#include "bmm.h"
#include "hex.h"

namespace romseed {
namespace {

std::string Address(std::uint64_t a) { return "0x" + Hex(a, 8); }

// Puts each byte of the program where `to` says (false: outside), and says
// which two pieces disagree on a byte.
template <typename To>
bool Place(const Program& program, const std::string& path, std::vector<unsigned char>& store,
           To to, Failure* err) {
  std::vector<bool> given(store.size());
  for (std::size_t k = 0; k < program.pieces.size(); ++k) {
    const Piece& piece = program.pieces[k];
    for (std::size_t i = 0; i < piece.bytes.size(); ++i) {
      std::size_t at;
      if (!to(piece.address + i, &at)) continue;
      const unsigned char b = piece.bytes[i];
      if (given[at] && store[at] != b) {
        // Rare: the earlier piece is looked for only now.
        const std::uint64_t a = piece.address + i;
        const auto other = std::find_if(program.pieces.begin(), program.pieces.begin() + k, [&](const Piece& p) {
          return a >= p.address && a - p.address < p.bytes.size() && p.bytes[a - p.address] != b;
        });
        return Fail(err, "can't read binary file " + path,
                    other->where + " and " + piece.where + " give address " + Address(a) +
                        " different bytes");
      }
      given[at] = true;
      store[at] = b;
    }
  }
  return true;
}

}  // namespace

bool PlaceAtBase(const Program& program, const std::string& path, std::uint64_t base, Image* image,
                 Failure* err) {
  std::uint64_t end = base;
  for (const Piece& piece : program.pieces) {
    if (piece.bytes.empty()) continue;
    if (piece.address < base) {
      return Fail(err, "can't read binary file " + path,
                  piece.where + " gives address " + Address(piece.address) + ", below --base " +
                      Address(base));
    }
    end = std::max(end, piece.address + piece.bytes.size());
  }
  if (end - base > kMaxWords) {
    return Fail(err, "can't read binary file " + path,
                "its bytes reach " + Address(end - 1) + ", more than a run takes from --base " +
                    Address(base) + " (give the program's first address as --base)");
  }
  *image = Image(8);
  std::vector<unsigned char>& store = image->bytes_to_fill();
  store.assign(static_cast<std::size_t>(end - base), 0);
  image->FilledBytes();
  return Place(program, path, store, [&](std::uint64_t a, std::size_t* at) {
    *at = static_cast<std::size_t>(a - base);
    return true;
  }, err);
}

bool PlaceInSpace(const Program& program, const std::string& path, const AddressSpace& space,
                  bool big, bool inside_needed, Image* image, Outside* outside, Failure* err) {
  const unsigned bytes = space.data_bits() / 8;
  *image = Image(space.data_bits());
  image->Resize(space.words());
  *outside = Outside();
  std::uint64_t inside = 0;
  const bool placed = Place(program, path, image->bytes_to_fill(), [&](std::uint64_t a, std::size_t* at) {
    if (a < space.start || a > space.end) {
      if (outside->count++ == 0 || a < outside->first) outside->first = a;
      return false;
    }
    const std::uint64_t offset = a - space.start;
    // Bytes A to A+D/8-1 make a bus word; the order says which is its top.
    *at = static_cast<std::size_t>(big ? offset / bytes * bytes + (bytes - 1 - offset % bytes) : offset);
    ++inside;
    return true;
  }, err);
  if (!placed) return false;
  if (inside == 0 && inside_needed) {
    return Fail(err, "can't read binary file " + path,
                "no byte of it lies in " + space.name + " [" + Address(space.start) + ":" +
                    Address(space.end) + "] (a program linked for another address?)");
  }
  return true;
}

}  // namespace romseed
