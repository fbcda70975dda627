#include "constraints.h"

#include "readers.h"
#include "xdc.h"

namespace romseed {

PassResult FilterConstraints(Source& in, Output& out, const Job& job, const AddressSpace* space,
                             FilterResult* result, OsError* err, DroppedLines* dropped,
                             OtherLines* others, std::vector<std::int64_t>* unsure) {
  const std::vector<std::string> names = space ? InstancesOf(*space) : std::vector<std::string>{job.component};
  if (job.xdc && space) {
    const BusLayout lanes(*space, job.parity, true);
    return FilterXdc(in, out, XdcCells(lanes, names), result, err, dropped, others, unsure);
  }
  if (job.xdc) {
    // A component's cells are its row's, whatever the image's size.
    const RowLayout row(job.component, job.shape, 8, Parity::kPorts, 0);
    return FilterXdc(in, out, XdcCells(row, names), result, err, dropped, others, unsure);
  }
  const InstanceStatements instances(space ? names : std::vector<std::string>());
  return FilterUcf(in, out, job.delstr, result, err, dropped, others, space ? &instances : nullptr);
}

bool ParseConstraint(const Job& job, std::string_view tail, std::string* line, UcfStatement* s) {
  if (!job.xdc) {
    line->assign(job.delstr).append(tail);
    return ParseStatement(*line, s);
  }
  line->assign(tail);
  bool value_ok = false;
  return ParseXdcLine(*line, s, &value_ok) == XdcLine::kProperty && value_ok;
}

}  // namespace romseed
