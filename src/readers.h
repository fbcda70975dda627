#ifndef ROMSEED_READERS_H_
#define ROMSEED_READERS_H_

// The formats a memory's file comes in, one reader each, chosen from one
// table.

#include <string>
#include <string_view>
#include <vector>

#include "bmm.h"
#include "command_line.h"
#include "failure.h"
#include "image.h"
#include "io.h"
#include "os.h"
#include "program.h"

namespace romseed {

// Reads `in`, the file at `path`, into `*image`, whose width the words
// take. False, with the message and the reason, if reading fails or the
// file is not of the format.
using ReadFunction = bool (*)(Source& in, const std::string& path, Image* image, Failure* err);
// Reads `text`, the whole file at `path`, into a program of bytes at
// addresses.
using ReadProgramFunction = bool (*)(std::string_view text, const std::string& path, Program* program,
                                     Failure* err);

// A format: words or bytes as they come (`read`), or a program (`program`).
struct Reader {
  const char* name;
  ReadFunction read;
  ReadProgramFunction program;
  unsigned width;  // of the image's words; 0: as the job says
};

// The reader of the job's binary file, by its format, or as its first
// bytes `start` show it where a layout run is given none.
const Reader& ReaderOf(const Job& job, std::string_view start = {});

// True if `reader` reads plain bytes, which a run may stream.
bool ReadsBytes(const Reader& reader);

// Reads the job's binary file `in` with its reader into `*image`, made as
// wide as that reader's words, a program's bytes from the job's base on.
bool ReadImage(Source& in, const Job& job, Image* image, Failure* err);

// What a layout run reads into its space.
struct SpaceImage {
  Image image{8};
  bool bytes = true;  // of a program of bytes: the bus words' data bits alone
  ByteOrder file_order = ByteOrder::kUnsaid;  // as an ELF's header says it
  ByteOrder order = ByteOrder::kLittle;       // the one used
  Outside outside;
  bool inside_needed = true;  // false: a program with no byte in the space is no error
};

// Reads the address space that the job names from its layout file.
bool ReadLayoutOf(Os& os, const Job& job, AddressSpace* space, Failure* err);

// The instances of a space, as the lines a run drops name them.
std::vector<std::string> InstancesOf(const AddressSpace& space);

// Reads the job's binary file `in` into the bus words of `space`.
bool ReadSpaceImage(Source& in, const Job& job, const AddressSpace& space, SpaceImage* read,
                    Failure* err);

}  // namespace romseed

#endif  // ROMSEED_READERS_H_
