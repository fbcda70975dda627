#include "readers.h"

#include <algorithm>
#include <cstring>

#include "hex.h"

#include "word_file.h"

namespace romseed {
namespace {

// A program read whole, as its format needs: far more than any memory holds.
constexpr std::size_t kMaxProgramBytes = std::size_t{256} << 20;

// Bytes, as they are: words of 8 bits from address 0, held once, in room
// made for them at the start where their size is known.
bool ReadBytes(Source& in, const std::string& path, Image* image, Failure* err) {
  OsError error;
  if (!ReadText(in, SIZE_MAX, &image->bytes_to_fill(), &error)) {
    return Fail(err, CantReadBinary(path), error.reason);
  }
  image->FilledBytes();
  return true;
}

const Reader kReaders[] = {
    {"bin", ReadBytes, nullptr, 8},
    {"mem", ReadWordFile, nullptr, 0},
    {"ihex", nullptr, ReadIntelHex, 8},
    {"srec", nullptr, ReadSRecords, 8},
    {"elf", nullptr, ReadElf, 8},
};

// The text of a file read whole, as a source for the readers of sources.
class TextSource : public Source {
 public:
  explicit TextSource(std::string_view text) : text_(text) {}
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError*) override {
    *got = std::min(n, text_.size());
    std::memcpy(p, text_.data(), *got);
    text_.remove_prefix(*got);
    return true;
  }

 private:
  std::string_view text_;
};

bool ReadWhole(Source& in, const Job& job, std::string* text, Failure* err) {
  OsError error;
  return ReadText(in, kMaxProgramBytes, text, &error) ||
         Fail(err, CantReadBinary(job.bin_path), error.reason);
}

}  // namespace

const Reader& ReaderOf(const Job& job, std::string_view start) {
  const char* name = job.format;
  if (!name) name = !job.layout_path.empty() ? RecogniseFormat(start) : job.word_width ? "mem" : "bin";
  for (const Reader& reader : kReaders) {
    if (std::strcmp(reader.name, name) == 0) return reader;
  }
  return kReaders[0];
}

bool ReadsBytes(const Reader& reader) { return reader.read == ReadBytes; }

bool ReadImage(Source& in, const Job& job, Image* image, Failure* err) {
  const Reader& reader = ReaderOf(job);
  *image = Image(reader.width ? reader.width : job.word_width);
  if (reader.program) {
    std::string text;
    Program program;
    return ReadWhole(in, job, &text, err) && reader.program(text, job.bin_path, &program, err) &&
           PlaceAtBase(program, job.bin_path, job.base, image, err);
  }
  return reader.read(in, job.bin_path, image, err);
}

bool ReadLayoutOf(Os& os, const Job& job, AddressSpace* space, Failure* err) {
  OsError error;
  std::unique_ptr<File> file = os.Open(job.layout_path, kOpenRead, &error);
  if (!file) return Fail(err, "can't open layout file " + job.layout_path, error.reason);
  return ReadBmm(*file, job.layout_path, job.component, space, err);
}

std::vector<std::string> InstancesOf(const AddressSpace& space) {
  std::vector<std::string> names;
  for (const BusBlock& block : space.blocks) {
    for (const Lane& lane : block.lanes) names.push_back(lane.instance);
  }
  return names;
}

bool ReadSpaceImage(Source& in, const Job& job, const AddressSpace& space, SpaceImage* read,
                    Failure* err) {
  std::string text;
  if (!ReadWhole(in, job, &text, err)) return false;
  const Reader& reader = ReaderOf(job, std::string_view(text).substr(0, 256));
  const std::string message = CantReadBinary(job.bin_path);
  if (!reader.program && !ReadsBytes(reader)) {
    // Whole bus words, parity bits included, from the space's first.
    read->bytes = false;
    read->image = Image(space.bus_width);
    TextSource source(text);
    if (!ReadWordFile(source, job.bin_path, &read->image, err)) return false;
    if (read->image.size() > space.words()) {
      return Fail(err, message, "word @" + Hex(read->image.size() - 1, 1) + " lies beyond the " +
                                    std::to_string(space.words()) + " bus words of " + space.name);
    }
    // Words past the last given are zero as Slice reads them: no need to make them.
    return true;
  }
  if (space.data_bits() % 8 != 0) {
    return Fail(err, message, "its bytes cannot fill the " + std::to_string(space.data_bits()) +
                                  "-bit bus words of " + space.name + ": give a word file (-f mem)");
  }
  Program program;
  if (reader.program) {
    if (!reader.program(text, job.bin_path, &program, err)) return false;
  } else {
    program.pieces.push_back({job.base, reinterpret_cast<const unsigned char*>(text.data()), text.size(), 0,
                              "its bytes"});
  }
  read->file_order = program.order;
  read->order = job.order != ByteOrder::kUnsaid           ? job.order
                : program.order != ByteOrder::kUnsaid ? program.order
                                                      : ByteOrder::kLittle;
  return PlaceInSpace(program, job.bin_path, space, read->order == ByteOrder::kBig,
                      read->inside_needed, &read->image, &read->outside, err);
}

}  // namespace romseed
