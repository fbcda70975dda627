#ifndef ROMSEED_ROMSEED_H_
#define ROMSEED_ROMSEED_H_

#include <ostream>
#include <string>
#include <vector>

namespace romseed {

// The name of the working file, in the current directory.
inline constexpr char kWorkingName[] = "tempucf.ucf";

// Runs the tool on `args` (program name first) and prints every message to
// `out`. Returns the exit status: 0 after a completed run, else 1.
int Run(const std::vector<std::string>& args, std::ostream& out);

}  // namespace romseed

#endif  // ROMSEED_ROMSEED_H_
