#ifndef ROMSEED_COMMAND_LINE_H_
#define ROMSEED_COMMAND_LINE_H_

#include <string>
#include <vector>

#include "failure.h"
#include "init_writer.h"

namespace romseed {

// The name of the working file, in the current directory.
inline constexpr char kWorkingName[] = "tempucf.ucf";

// What a run works on: its two files, the prefix of the lines it drops and
// the block RAM it fills.
struct Job {
  std::string bin_path;
  std::string ucf_path;
  std::string delstr;
  BlockShape shape = kRamb4;
};

// Turns `args` (program name first) into `*job`. False, with the message
// for standard output in `*err`, for too few arguments, swapped ones or a
// component name that cannot stand in a statement.
bool ParseCommandLine(const std::vector<std::string>& args, Job* job, Failure* err);

}  // namespace romseed

#endif  // ROMSEED_COMMAND_LINE_H_
