#ifndef ROMSEED_CHECK_H_
#define ROMSEED_CHECK_H_

#include "bmm.h"
#include "command_line.h"
#include "failure.h"
#include "io.h"
#include "made_file.h"
#include "os.h"

namespace romseed {

// The statuses of a check, as cmp and diff have them.
inline constexpr int kMatch = 0, kDiffer = 1, kTrouble = 2;

// Says on `out` whether the UCF of `job` holds the statements that a run of
// `job` would write for its binary, compared by value; what differs, one line
// each (a screenful, then how many more); and changes no file. Reads the
// binary, then the UCF once, after any run on it has had its turn (calling
// `waiting` if it waits
// a second), and sets `*status` to kMatch or kDiffer. False, for the caller
// to say (status kTrouble), for a file that cannot be opened or read or a
// UCF that is not text.
bool Check(const Job& job, Os& os, Sink& out, const Waiting& waiting, int* status, Failure* err);

// The comparison of Check, over a binary and a UCF that the caller opened.
// With a `space`, of a layout run.
bool CheckStreams(Source& bin, Source& ucf, const Job& job, Sink& out, int* status, Failure* err,
                  const AddressSpace* space = nullptr);

}  // namespace romseed

#endif  // ROMSEED_CHECK_H_
