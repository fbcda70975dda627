#ifndef ROMSEED_REPLACE_H_
#define ROMSEED_REPLACE_H_

#include <cstdint>
#include <optional>
#include <string>

#include "failure.h"
#include "made_file.h"
#include "os.h"

namespace romseed {

// The UCF as the run read it: its path as given, what it was, and, where
// its times are too coarse to show a save within the same second, the hash
// of its content.
struct ReadUcf {
  const std::string& path;
  FileInfo info;
  std::optional<std::uint64_t> hash;
  std::string file = "ucf file ";  // as messages name it: Job::file()
};

// Puts the content of `work`, complete and at its end, in the UCF's place:
// durable first, then in one step, so that the UCF holds either its old or
// its new content at any moment, with its permissions. Keeps a save that
// came during the run instead ("ucf file ... changed during the run").
// False, with the UCF as it was, on failure.
bool ReplaceUcf(Os& os, const ReadUcf& ucf, MadeFile& work, Failure* err);

}  // namespace romseed

#endif  // ROMSEED_REPLACE_H_
