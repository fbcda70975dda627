#include "readers.h"

#include "word_file.h"

namespace romseed {
namespace {

// Bytes, as they are: words of 8 bits from address 0. A short read that
// ReadFull gives is the end, so a terminal needs no second end of file.
bool ReadBytes(Source& in, const std::string& path, Image* image, Failure* err) {
  std::vector<unsigned char>& bytes = image->bytes_to_fill();
  constexpr std::size_t kPiece = 1 << 16;
  for (std::size_t got = kPiece; got == kPiece;) {
    const std::size_t at = bytes.size();
    bytes.resize(at + kPiece);
    OsError error;
    if (!ReadFull(in, bytes.data() + at, kPiece, &got, &error)) {
      return Fail(err, "can't read binary file " + path, error.reason);
    }
    bytes.resize(at + got);
  }
  image->FilledBytes();
  return true;
}

const Reader kReaders[] = {
    {"bin", ReadBytes, 8},
    {"mem", ReadWordFile, 0},
};

}  // namespace

const Reader& ReaderOf(const Job& job) { return kReaders[job.word_width == 0 ? 0 : 1]; }

bool ReadsBytes(const Reader& reader) { return reader.read == ReadBytes; }

bool ReadImage(Source& in, const Job& job, Image* image, Failure* err, std::uint64_t size) {
  const Reader& reader = ReaderOf(job);
  *image = Image(reader.width ? reader.width : job.word_width);
  // The last piece read may reach past the end: room for it too.
  if (ReadsBytes(reader) && size > 0 && size < SIZE_MAX / 2) {
    image->bytes_to_fill().reserve(static_cast<std::size_t>(size) + (1 << 16));
  }
  return reader.read(in, job.bin_path, image, err);
}

}  // namespace romseed
