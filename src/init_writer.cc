#include "init_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "hex.h"
#include "ucf.h"
#include "xdc.h"

namespace romseed {
namespace {

constexpr std::size_t kChunk = 32;

// Writes the statements of the `padded` bytes at `input` (whole chunks), the
// first of them chunk `*count` of the row, `per_block` to an instance, and
// counts them: those of one instance that the read holds in one piece.
void WriteChunks(const unsigned char* input, std::size_t padded, std::string_view component,
                 std::size_t per_block, bool upper, StatementWriter& writer, Output& out,
                 std::uint64_t* count) {
  std::string name(component);
  for (std::size_t at = 0; at < padded;) {
    const std::size_t first = *count % per_block;
    const std::size_t n = std::min(per_block - first, (padded - at) / kChunk);
    if (first == 0 || at == 0) {
      // The row's name, as RowLayout gives it, without a string made anew.
      name.resize(component.size());
      AppendHex(&name, *count / per_block);
      writer.SetInstance(name, false, upper);
    }
    writer.Write(out, first, n, input + at);
    at += n * kChunk;
    *count += n;
  }
}

std::unique_ptr<StatementWriter> WriterOf(bool xdc, std::string_view eol) {
  if (xdc) return std::make_unique<XdcWriter>(eol);
  return std::make_unique<UcfWriter>(eol);
}

}  // namespace

PassResult WriteImage(const Image& image, const Layout& layout, Output& out, std::string_view eol,
                      std::string_view lead, std::int64_t* add_count, bool xdc) {
  const std::unique_ptr<StatementWriter> written = WriterOf(xdc, eol);
  StatementWriter& writer = *written;
  std::uint64_t count = 0;
  unsigned char value[kChunk];
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const Placement p = layout.at(i);
    const StatementCount n = layout.Count(image, p);
    for (bool parity : {false, true}) {
      writer.SetInstance(p.instance, parity, p.shape.upper_index);
      for (std::size_t k = 0; k < (parity ? n.initps : n.inits); ++k) {
        if (count++ == 0) out.Put(lead);
        Slice(image, p, parity, k, value);
        writer.Write(out, k, 1, value);
      }
    }
  }
  *add_count = static_cast<std::int64_t>(count);
  return out.ok() ? PassResult::kOk : PassResult::kCantWrite;
}

PassResult WriteInits(Source& bin, Output& out, std::string_view component, const BlockShape& shape,
                      std::string_view eol, std::string_view lead, std::int64_t* add_count,
                      OsError* err, bool xdc) {
  constexpr std::size_t kBlockBytes = 1 << 16;  // a whole number of chunks
  std::unique_ptr<unsigned char[]> input(new unsigned char[kBlockBytes]);
  const std::unique_ptr<StatementWriter> written = WriterOf(xdc, eol);
  StatementWriter& writer = *written;
  std::uint64_t count = 0;
  for (;;) {
    std::size_t got;
    if (!out.ok()) return PassResult::kCantWrite;
    if (!ReadFull(bin, input.get(), kBlockBytes, &got, err)) return PassResult::kCantRead;
    if (got == 0) break;
    if (count == 0) out.Put(lead);
    // A short last chunk ends in zeros.
    const std::size_t padded = (got + kChunk - 1) / kChunk * kChunk;
    std::memset(input.get() + got, 0, padded - got);
    WriteChunks(input.get(), padded, component, shape.inits_per_block, shape.upper_index, writer, out,
                &count);
    // A short block means the input has ended; reading on could block a tty.
    if (got < kBlockBytes) break;
  }
  *add_count = static_cast<std::int64_t>(count);
  return out.ok() ? PassResult::kOk : PassResult::kCantWrite;
}

}  // namespace romseed
