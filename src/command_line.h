#ifndef ROMSEED_COMMAND_LINE_H_
#define ROMSEED_COMMAND_LINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "block_ram.h"
#include "failure.h"
#include "layout.h"
#include "program.h"

namespace romseed {

// The name of the working file, in the current directory.
inline constexpr char kWorkingName[] = "tempucf.ucf";

// The usage line, printed as it has always been.
inline constexpr char kUsage[] = "use:romseed [binaryfile] [ucf-in] [component_name]";

// What a run works on: its two files, the prefix of the lines it drops, the
// block RAM it fills and how the binary file is read.
struct Job {
  std::string bin_path;
  std::string ucf_path;
  std::string component;
  std::string delstr;  // `INST "` and the component: the start of every line it drops
  BlockShape shape = kRamb4;
  unsigned word_width = 0;  // 0: the binary file is bytes; else $readmemh words this wide
  Parity parity = Parity::kPorts;
  bool check = false;  // only compare the UCF's statements with the binary
  // A layout run: the BMM file whose address space `component` names.
  std::string layout_path;
  const char* format = nullptr;  // the binary file's reader, by name; null: bytes, or as its content shows
  std::uint64_t base = 0;        // the address of a program's first byte that a row takes
  bool base_given = false;
  ByteOrder order = ByteOrder::kUnsaid;  // as --byte-order says it
  bool map = false;                      // only say where each byte goes
  bool map_at = false;                   // ... of the bus word at map_address
  std::uint64_t map_address = 0;
  bool xdc = false;  // the constraints file is an XDC
  // The constraints file, as messages name it: "ucf file" or "xdc file".
  std::string file() const { return xdc ? "xdc file " : "ucf file "; }
};

// What the command line asks for.
enum class Asked { kRun, kHelp, kVersion };

// Turns `args` (program name first) into `*job`, or says that help or the
// version is asked for. False, with the message for standard output and the
// reason for a person in `*err`, for an unknown option or a bad value, too
// few arguments, swapped ones or a component name that cannot stand in a
// statement; `job->check` then says whether a check was asked for all the
// same.
bool ParseCommandLine(const std::vector<std::string>& args, Job* job, Asked* asked, Failure* err);

// The help text: the usage and the options.
extern const char kHelp[];

}  // namespace romseed

#endif  // ROMSEED_COMMAND_LINE_H_
