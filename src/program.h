#ifndef ROMSEED_PROGRAM_H_
#define ROMSEED_PROGRAM_H_

// A program as the files that carry addresses give it (ELF, Intel HEX,
// S-records): stretches of bytes at byte addresses, and the bytes' order
// where the file says it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "failure.h"
#include "image.h"

namespace romseed {

struct AddressSpace;

// Bytes at an address: `size` of them at `data` (in the file's text, or
// in the program's own store), then `zeros` more that are zero.
struct Piece {
  std::uint64_t address = 0;
  const unsigned char* data = nullptr;
  std::uint64_t size = 0, zeros = 0;
  std::string where;  // "line 12", "segment 1": for a message
  std::uint64_t length() const { return size + zeros; }
  unsigned char at(std::uint64_t i) const { return i < size ? data[i] : 0; }
};

enum class ByteOrder { kUnsaid, kLittle, kBig };

// "big-endian" or "little-endian", as messages say an order.
inline const char* OrderName(ByteOrder order) { return order == ByteOrder::kBig ? "big-endian" : "little-endian"; }

// The text a program was read from must outlive it.
struct Program {
  std::vector<Piece> pieces;
  ByteOrder order = ByteOrder::kUnsaid;  // as the file's header says it
  // Bytes that records give in hex, each piece's own (a vector moved keeps
  // its bytes where they are).
  std::vector<std::vector<unsigned char>> decoded;
  void Add(std::uint64_t address, std::vector<unsigned char> bytes, std::string where) {
    decoded.push_back(std::move(bytes));
    pieces.push_back({address, decoded.back().data(), decoded.back().size(), 0, std::move(where)});
  }
};

// Reads `text`, the whole file at `path`, into `*program`; false, with
// "path:line: reason", for a line or a header that is not of the format.
bool ReadIntelHex(std::string_view text, const std::string& path, Program* program, Failure* err);
bool ReadSRecords(std::string_view text, const std::string& path, Program* program, Failure* err);
bool ReadElf(std::string_view text, const std::string& path, Program* program, Failure* err);

// The format that a file's first bytes show, by its reader's name: "elf",
// "ihex" or "srec" for a first line whose checksum holds, "mem" for
// $readmemh text, else "bin".
const char* RecogniseFormat(std::string_view start);

// Bytes that fell outside the memory filled: how many, and the first.
struct Outside {
  std::uint64_t count = 0, first = 0;
};

// Places the program's bytes into `*image` (8-bit words), byte A at word
// A - `base`. False for a byte below the base, a program that reaches
// beyond what a run takes, or two pieces that give one address different
// bytes.
bool PlaceAtBase(const Program& program, const std::string& path, std::uint64_t base, Image* image,
                 Failure* err);

// Places the program's bytes into the bus words of `space` (`*image`, its
// words the data bits of a bus word), each bus word holding its bytes in
// `order`; bytes outside the space are counted in `*outside`. False if no
// byte lies inside (where `inside_needed`), or two pieces give one address
// different bytes.
bool PlaceInSpace(const Program& program, const std::string& path, const AddressSpace& space,
                  bool big, bool inside_needed, Image* image, Outside* outside, Failure* err);

}  // namespace romseed

#endif  // ROMSEED_PROGRAM_H_
