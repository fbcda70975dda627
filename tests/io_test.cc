#include "io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "filter.h"
#include "init_writer.h"
#include "memory_io.h"

namespace romseed {
namespace {

// Where the passes put why they failed, where a test does not ask.
OsError e;

TEST(Output, AFailedWriteFailsEveryLaterOne) {
  StringSink sink(4);
  Output out(sink, 8);
  out.Put("abcdefghij");  // too large for the buffer: straight through, and refused
  std::memcpy(out.Extend(2), "xy", 2);  // what the sink would take
  out.Put("z");
  EXPECT_FALSE(out.Flush(&e));
  EXPECT_FALSE(out.ok());
  EXPECT_EQ(sink.data, "");
}

// A piece too large for the buffer after a failed flush: refused unwritten,
// and the failure stays.
TEST(Output, NothingGoesThroughAfterAFailedFlush) {
  struct FailsFirst : Sink {
    bool Write(const unsigned char* p, std::size_t n, OsError*) override {
      return ++writes > 1 && (data.append(reinterpret_cast<const char*>(p), n), true);
    }
    int writes = 0;
    std::string data;
  } sink;
  Output out(sink, 8);
  out.Put("abc");
  out.Put("0123456789");
  EXPECT_FALSE(out.Flush(&e));
  EXPECT_EQ(sink.data, "");
}

// Input from a terminal: what is typed, then an end of file, then more.
class Terminal : public Source {
 public:
  explicit Terminal(std::vector<std::string> typed) : typed_(std::move(typed)) {}
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError*) override {
    const std::string piece = next_ < typed_.size() ? typed_[next_++] : "";
    *got = std::min(n, piece.size());
    std::memcpy(p, piece.data(), *got);
    return true;
  }

 private:
  std::vector<std::string> typed_;
  std::size_t next_ = 0;
};

TEST(Passes, EndAtTheFirstEndOfFile) {
  std::int64_t n;
  StringSink typed, then_ended;
  Output out(typed), expected(then_ended);
  Terminal ucf({"NET a;\n", "", "NET b;\n"}), bin({"\x12\x34", "", "\x56"});
  MemorySource ucf_alone("NET a;\n"), bin_alone("\x12\x34");
  FilterResult r;
  FilterUcf(ucf, out, "INST \"rom", &r, &e);
  WriteInits(bin, out, "rom", kRamb4, "\n", "", &n, &e);
  FilterUcf(ucf_alone, expected, "INST \"rom", &r, &e);
  WriteInits(bin_alone, expected, "rom", kRamb4, "\n", "", &n, &e);
  ASSERT_TRUE(out.Flush(&e) && expected.Flush(&e));
  EXPECT_EQ(typed.data, then_ended.data);
}

TEST(Passes, SayWhyTheyFailed) {
  using Pass = std::function<PassResult(Source&, Output&)>;
  const Pass filter = [](Source& in, Output& out) {
    FilterResult r;
    return FilterUcf(in, out, "INST \"rom", &r, &e);
  };
  const Pass inits = [](Source& in, Output& out) {
    std::int64_t n;
    return WriteInits(in, out, "rom", kRamb4, "\n", "", &n, &e);
  };
  const std::string lines = "NET a;\nNET b;\n";
  struct Case {
    const char* what;
    Pass pass;
    std::function<std::unique_ptr<Source>()> input;
    std::size_t sink_limit, capacity;
    PassResult result;
  } cases[] = {
      {"filter, read error", filter, [&] { return std::make_unique<MemorySource>(lines, 4, true); },
       SIZE_MAX, 16, PassResult::kCantRead},
      {"inits, read error", inits,
       [&] { return std::make_unique<MemorySource>(std::string(40, 'x'), 8, true); }, SIZE_MAX,
       16, PassResult::kCantRead},
      // A failed write ends the pass, however much input is left.
      {"filter, endless", filter, [] { return std::make_unique<Endless>(); }, 10, 16,
       PassResult::kCantWrite},
      {"inits, endless", inits, [] { return std::make_unique<Endless>(); }, 100, 64,
       PassResult::kCantWrite},
      // The last write of the pass fails, and nothing is left to read: here
      // the start of an open last line that might have been the prefix.
      {"filter, last write", filter, [] { return std::make_unique<MemorySource>("INST \"ro"); },
       2, 4, PassResult::kCantWrite},
      {"inits, last write", inits,
       [] { return std::make_unique<MemorySource>(std::string(33 * 32, 'x')); }, 100, 16,
       PassResult::kCantWrite},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Source> in = c.input();
    StringSink sink(c.sink_limit);
    Output out(sink, c.capacity);
    EXPECT_EQ(c.pass(*in, out), c.result) << c.what;
    if (auto* endless = dynamic_cast<Endless*>(in.get())) {
      EXPECT_LE(endless->reads, 2) << c.what;
    }
  }
}

}  // namespace
}  // namespace romseed
