// Feeds arbitrary block memory maps and programs in every format through a
// layout run: each must be read or refused with a message, never crash or
// hang; a run that succeeds writes every statement of every instance, and a
// check of what it wrote against the same program must find a match.
//
// Input: byte 0, the format (bin, mem, ihex, srec, elf, or as the content
// shows) and, above it, the byte order; byte 1, how the inputs are read,
// the parity wiring and whether the constraints file is an XDC;
// bytes 2 and 3, the BMM's length, little-endian; then the BMM, whose space
// "m" is filled, and the program. The UCF is the program's first 200 bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "check.h"
#include "memory_io.h"
#include "romseed.h"

namespace {

const std::size_t kSteps[] = {1, 3, 64, SIZE_MAX};
const char* const kFormats[] = {"bin", "mem", "ihex", "srec", "elf", nullptr};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t step = kSteps[data[1] % 4];
  const std::size_t bmm_size = std::min<std::size_t>(data[2] | data[3] << 8, size - 4);
  const std::string bmm(reinterpret_cast<const char*>(data + 4), bmm_size);
  const std::string program(reinterpret_cast<const char*>(data + 4 + bmm_size), size - 4 - bmm_size);
  romseed::MemorySource bmm_in(bmm, step);
  romseed::AddressSpace space;
  romseed::Failure failure;
  if (!romseed::ReadBmm(bmm_in, "m.bmm", "m", &space, &failure)) {
    if (failure.message.compare(0, 5, "m.bmm") != 0) std::abort();
    return 0;
  }
  // Kept small, so that a run is quick.
  if (space.end - space.start > (1 << 20)) return 0;
  romseed::Job job;
  job.bin_path = "p";
  job.ucf_path = "top.ucf";
  job.component = "m";
  job.delstr = "INST \"";
  job.layout_path = "m.bmm";
  job.format = kFormats[data[0] % 6];
  job.order = data[0] / 6 % 3 == 0 ? romseed::ByteOrder::kUnsaid
              : data[0] / 6 % 3 == 1 ? romseed::ByteOrder::kLittle
                                     : romseed::ByteOrder::kBig;
  job.parity = data[1] / 4 % 2 ? romseed::Parity::kLanes : romseed::Parity::kPorts;
  job.xdc = data[1] / 8 % 2;  // the constraints file an XDC
  const std::string ucf = program.substr(0, 200);
  romseed::MemorySource ucf_in(ucf, step), bin_in(program, step);
  romseed::StringSink sink;
  romseed::Output out(sink);
  romseed::Counts counts;
  if (!romseed::Rewrite(ucf_in, bin_in, out, job, &counts, &failure, nullptr, &space)) {
    if (failure.message.empty()) std::abort();
    return 0;
  }
  std::int64_t statements = 0;
  for (const romseed::BusBlock& block : space.blocks) {
    for (const romseed::Lane& lane : block.lanes) {
      statements += static_cast<std::int64_t>(lane.shape.inits_per_block +
                                              (romseed::HasParity(lane.width) ? lane.shape.initps_per_block : 0));
    }
  }
  if (counts.add_count != statements) {
    std::fprintf(stderr, "%lld statements, not %lld\n", static_cast<long long>(counts.add_count),
                 static_cast<long long>(statements));
    std::abort();
  }
  romseed::MemorySource bin_again(program, step), written(sink.data, step);
  romseed::StringSink said;
  int status;
  if (!romseed::CheckStreams(bin_again, written, job, said, &status, &failure, &space) ||
      status != romseed::kMatch) {
    std::fprintf(stderr, "check after the run: %s%s\n", said.data.c_str(), failure.message.c_str());
    std::abort();
  }
  return 0;
}
