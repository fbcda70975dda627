#ifndef ROMSEED_MAP_H_
#define ROMSEED_MAP_H_

#include "command_line.h"
#include "failure.h"
#include "io.h"
#include "os.h"

namespace romseed {

// Says on `out`, for the address space of a layout run, where each
// instance's bits come from: its block RAM and port width, its bus bits,
// addresses and statements; and, with job.map_at, which instance,
// statement and bits hold each byte of that bus word. Changes no file.
bool Map(const Job& job, Os& os, Sink& out, Failure* err);

}  // namespace romseed

#endif  // ROMSEED_MAP_H_
