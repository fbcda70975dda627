#ifndef ROMSEED_CONSTRAINTS_H_
#define ROMSEED_CONSTRAINTS_H_

// The constraints file of a job, UCF or XDC: the one place that chooses
// between the two dialects.

#include <cstdint>
#include <string_view>
#include <vector>

#include "bmm.h"
#include "command_line.h"
#include "filter.h"
#include "io.h"
#include "ucf.h"

namespace romseed {

// The lines of the constraints file that the job does not drop, copied to
// `out` as FilterUcf does: a UCF's by its prefix (or, with a `space`, its
// instances' INIT_ lines), an XDC's by the cells its properties set. An
// XDC's lines that set INIT_ some other way, naming a cell of the job, are
// kept and their numbers added to `*unsure`.
PassResult FilterConstraints(Source& in, Output& out, const Job& job, const AddressSpace* space,
                             FilterResult* result, OsError* err, DroppedLines* dropped,
                             OtherLines* others, std::vector<std::int64_t>* unsure = nullptr);

// What FilterConstraints hands to `dropped` as a dropped line's tail, made
// a whole line again, parsed as a statement of the job's dialect.
bool ParseConstraint(const Job& job, std::string_view tail, std::string* line, UcfStatement* s);

}  // namespace romseed

#endif  // ROMSEED_CONSTRAINTS_H_
