// ELF programs: each loadable segment at its physical address.

#include "program.h"

namespace romseed {
namespace {

// The most bytes a program's segments may ask for in all.
constexpr std::uint64_t kMaxLoaded = std::uint64_t{256} << 20;

class Fields {
 public:
  Fields(std::string_view text, bool big) : text_(text), big_(big) {}
  // The `n`-byte field at `at`; false if the file is shorter.
  bool Get(std::uint64_t at, unsigned n, std::uint64_t* v) const {
    if (at > text_.size() || text_.size() - at < n) return false;
    *v = 0;
    for (unsigned i = 0; i < n; ++i) {
      const auto b = static_cast<unsigned char>(text_[static_cast<std::size_t>(at + (big_ ? i : n - 1 - i))]);
      *v = *v << 8 | b;
    }
    return true;
  }

 private:
  std::string_view text_;
  bool big_;
};

// Reads program header `k` at `h` into a piece of `*program`, if it is a
// loadable segment; false, with `*err` set to `message` and the reason, if
// it lies beyond the file's end.
bool Segment(const Fields& f, std::string_view text, bool wide, std::uint64_t k, std::uint64_t h,
             Program* program, std::uint64_t* loaded, const std::string& message, Failure* err) {
  const unsigned addr = wide ? 8 : 4;
  std::uint64_t type, offset, paddr, filesz, memsz;
  const std::string where = "segment " + std::to_string(k);
  if (!f.Get(h, 4, &type) || !f.Get(h + (wide ? 8 : 4), addr, &offset) ||
      !f.Get(h + (wide ? 24 : 12), addr, &paddr) || !f.Get(h + (wide ? 32 : 16), addr, &filesz) ||
      !f.Get(h + (wide ? 40 : 20), addr, &memsz)) {
    return Fail(err, message, "program header " + std::to_string(k) + " lies beyond its end");
  }
  if (type != 1 || memsz == 0) return true;  // PT_LOAD only
  if (filesz > memsz || offset > text.size() || text.size() - offset < filesz) {
    return Fail(err, message, where + " lies beyond the file's end");
  }
  if ((*loaded += memsz) > kMaxLoaded) return Fail(err, message, "its segments ask for more than 256 MiB");
  // An end past the last address would wrap around to the first.
  if (paddr + memsz < paddr) return Fail(err, message, where + " runs past the last address");
  program->pieces.push_back({paddr, reinterpret_cast<const unsigned char*>(text.data()) + offset, filesz,
                             memsz - filesz, where});
  return true;
}

}  // namespace

bool ReadElf(std::string_view text, const std::string& path, Program* program, Failure* err) {
  const std::string message = CantReadBinary(path);
  if (text.size() < 52 || text.substr(0, 4) != "\x7f" "ELF" || (text[4] != 1 && text[4] != 2) ||
      (text[5] != 1 && text[5] != 2)) {
    return Fail(err, message, "not an ELF file of 32 or 64 bits, little- or big-endian");
  }
  const bool wide = text[4] == 2, big = text[5] == 2;
  program->order = big ? ByteOrder::kBig : ByteOrder::kLittle;
  const Fields f(text, big);
  // Where the program header table's fields stand, in ELF32 and ELF64.
  std::uint64_t phoff, phentsize, phnum;
  if (!f.Get(wide ? 32 : 28, wide ? 8 : 4, &phoff) || !f.Get(wide ? 54 : 42, 2, &phentsize) ||
      !f.Get(wide ? 56 : 44, 2, &phnum)) {
    return Fail(err, message, "its header ends short");
  }
  if (phnum != 0 && phentsize < (wide ? 56u : 32u)) return Fail(err, message, "its program headers are too short");
  std::uint64_t loaded = 0;
  for (std::uint64_t k = 0; k < phnum; ++k) {
    if (!Segment(f, text, wide, k, phoff + k * phentsize, program, &loaded, message, err)) return false;
  }
  // An object file has sections but no segments: nothing says where its bytes go.
  return !program->pieces.empty() ||
         Fail(err, message, "it has no loadable segment (an object file? link it first)");
}

}  // namespace romseed
