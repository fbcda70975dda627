// Each pass alone, in memory: bytes per second of input.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "filter.h"
#include "init_writer.h"
#include "memory_io.h"

namespace romseed {
namespace {

// Where the passes put why they failed, where a test does not ask.
OsError e;

class NullSink : public Sink {
 public:
  bool Write(const unsigned char*, std::size_t, OsError*) override { return true; }
};

std::string RandomBytes(std::size_t n) {
  std::mt19937 rng(1);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Half pin constraints, half statements of an earlier run.
std::string Ucf(int lines) {
  std::string ucf;
  char line[160];
  for (int i = 0; i < lines; ++i) {
    if (i % 2) {
      std::snprintf(line, sizeof line, "INST \"rom%02x\" INIT_%02x = %064d;\n", i / 32, i / 2 % 16, i);
    } else {
      std::snprintf(line, sizeof line, "NET \"data<%d>\" LOC = \"P%d\" | IOSTANDARD = LVCMOS33;\n", i, i % 200);
    }
    ucf += line;
  }
  return ucf;
}

void BM_FilterUcf(benchmark::State& state) {
  const std::string ucf = Ucf(400000);
  NullSink sink;
  for (auto _ : state) {
    MemorySource in(ucf);
    Output out(sink);
    FilterResult r;
    FilterUcf(in, out, "INST \"rom", &r, &e);
    out.Flush(&e);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(ucf.size()));
}
BENCHMARK(BM_FilterUcf)->Unit(benchmark::kMillisecond);

void BM_WriteInits(benchmark::State& state) {
  const std::string bin = RandomBytes(4 << 20);
  NullSink sink;
  for (auto _ : state) {
    MemorySource in(bin);
    Output out(sink);
    std::int64_t n;
    WriteInits(in, out, "rom", kRamb4, "\n", "", &n, &e);
    out.Flush(&e);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bin.size()));
}
BENCHMARK(BM_WriteInits)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace romseed

BENCHMARK_MAIN();
