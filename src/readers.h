#ifndef ROMSEED_READERS_H_
#define ROMSEED_READERS_H_

// The formats a memory's file comes in, one reader each, chosen from one
// table.

#include <string>

#include "command_line.h"
#include "failure.h"
#include "image.h"
#include "io.h"

namespace romseed {

// Reads `in`, the file at `path`, into `*image`, whose width the words
// take. False, with the message and the reason, if reading fails or the
// file is not of the format.
using ReadFunction = bool (*)(Source& in, const std::string& path, Image* image, Failure* err);

struct Reader {
  const char* name;
  ReadFunction read;
  unsigned width;  // of the image's words; 0: as the job says
};

// The reader of the job's binary file: bytes, or $readmemh words of its width.
const Reader& ReaderOf(const Job& job);

// True if `reader` reads plain bytes, which a run may stream.
bool ReadsBytes(const Reader& reader);

// Reads the job's binary file `in` with its reader into `*image`, made as
// wide as that reader's words; `size`, where known, is the file's, so that
// its bytes are held once, in room made for them at the start.
bool ReadImage(Source& in, const Job& job, Image* image, Failure* err, std::uint64_t size = 0);

}  // namespace romseed

#endif  // ROMSEED_READERS_H_
