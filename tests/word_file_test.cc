// Word files: how the bits of each width reach the data bytes and parity
// bits, worked out by hand from the primitives' port widths, and the
// statements that an image makes.
#include "word_file.h"

#include <gtest/gtest.h>

#include "hex.h"
#include "init_writer.h"
#include "layout.h"
#include "memory_io.h"

namespace romseed {
namespace {

// Where the passes put why they failed, where a test does not ask.
OsError e;

// The first `n` bytes of the value of the first INIT_ (or INITP_) statement
// that a row of RAMB16s gets for `image`, in hex, first byte first.
std::string Hex(const Image& image, Parity parity, bool initp, std::size_t n) {
  const RowLayout row("rom", BlockShape{64, 8}, image.width(), parity, image.size());
  unsigned char value[32];
  Slice(image, row.at(0), initp, 0, value);
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += std::string(1, kHexDigits[value[i] >> 4]) + kHexDigits[value[i] & 15];
  return s;
}

TEST(WordFile, PutsEachWidthsBitsWhereThePortsOrTheLanesTakeThem) {
  struct Case {
    unsigned width;
    Parity parity;
    std::string text, data, parity_bits;  // parity_bits: "" for none
  } cases[] = {
      {1, Parity::kPorts, "1 0 1 1", "0d", ""},
      {4, Parity::kPorts, "a 5 f", "5a0f", ""},
      {8, Parity::kPorts, "@2 ff // 7\n/* 8\n 9 */ 0_1", "0000ff01", ""},
      {8, Parity::kPorts, "1\f2/* a*b */3 12// x\n4", "0102031204", ""},
      {16, Parity::kPorts, "1234 ABcd", "3412cdab", ""},
      {32, Parity::kPorts, "deadbeef", "efbeadde", ""},
      {9, Parity::kPorts, "1ff 0aa", "ffaa", "01"},
      {9, Parity::kLanes, "1ff 0aa", "ffaa", "01"},
      // DI = word[15:0], DIP = word[17:16]; in lanes, byte j = word[9j+7:9j].
      {18, Parity::kPorts, "3ffff 2_0100", "ffff0001", "0b"},
      {18, Parity::kLanes, "3ffff 2_0100", "ffff0000", "0f"},
      {36, Parity::kPorts, "8_7654_3210", "10325476", "08"},
      {36, Parity::kLanes, "8_7654_3210", "1019950e", "0c"},
      {18, Parity::kPorts, "", "", ""},
      // A later word at the same address takes the place of the earlier.
      {1, Parity::kPorts, "1 1 @0 0", "02", ""},
      {18, Parity::kPorts, "3ffff @0 00001", "0100", "00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    MemorySource in(c.text, 3);
    Image image(c.width);
    Failure err;
    ASSERT_TRUE(ReadWordFile(in, "w.hex", &image, &err)) << err.reason;
    EXPECT_EQ(Hex(image, c.parity, false, c.data.size() / 2), c.data);
    EXPECT_EQ(Hex(image, c.parity, true, c.parity_bits.size() / 2), c.parity_bits);
    EXPECT_EQ((image.size() * DataBits(c.width) + 7) / 8, c.data.size() / 2);
  }
}

TEST(WordFile, SaysWhereAndWhyATextDoesNotParse) {
  const std::pair<std::string, std::string> cases[] = {
      {"12 g1", "line 1: 'g' is not a hex digit"},
      {"1 _1", "line 1: '_' is not a hex digit"},
      {"\r\n\n1ff", "line 3: word 1ff is wider than 8 bits"},
      {"000000000000000000001 10000000000000000",
       "line 1: word 10000000000000000 is wider than 8 bits"},
      {"1 @ 2", "line 1: an address without a number"},
      {"1\n/* 2\n", "line 2: a comment that does not end"},
      {"/*\n\n*/ g", "line 3: 'g' is not a hex digit"},
      {"@3fffff 1 2", "line 1: more words than a run takes"},
      {"@400000 1", "line 1: address @400000 is beyond the last word a run takes"},
      {std::string("1\n\x80", 3), "line 2: byte 80 is not a hex digit"},
      {"1\r2 /* \r */\r\ng", "line 4: 'g' is not a hex digit"},
      {"1 /", "line 1: '/' is not a hex digit"},
      {"@10000000000000000 1", "line 1: address @10000000000000000 is beyond the last word a run takes"},
  };
  for (const auto& [text, reason] : cases) {
    MemorySource in(text);
    Image image(8);
    Failure err;
    EXPECT_FALSE(ReadWordFile(in, "w.hex", &image, &err)) << text;
    EXPECT_EQ(err.message + ": " + err.reason, "can't read binary file w.hex: " + reason);
  }
  MemorySource failing("1 2", SIZE_MAX, true);
  Image image(8);
  Failure err;
  EXPECT_FALSE(ReadWordFile(failing, "w.hex", &image, &err));
}

// Endless input (a pipe, /dev/zero): parsed as it arrives, it ends at the
// first byte that is no word, or once the words outnumber any image.
TEST(WordFile, StopsEndlessInputAtOnce) {
  struct Repeating : Source {
    explicit Repeating(std::string unit) : unit(std::move(unit)) {}
    bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError*) override {
      for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(unit[(at + i) % unit.size()]);
      at += n;
      *got = n;
      return true;
    }
    std::string unit;
    std::size_t at = 0;
  };
  for (const auto& [unit, reason] : {std::pair<std::string, std::string>{std::string(1, '\0'), "line 1: byte 00 is not a hex digit"},
                                     {"@0 0 ", "line 1: more words than a run takes"}}) {
    Repeating in(unit);
    Image image(8);
    Failure err;
    EXPECT_FALSE(ReadWordFile(in, "w.hex", &image, &err));
    EXPECT_EQ(err.reason, reason);
    EXPECT_LT(in.at, (kMaxWords + 1) * unit.size() + (1 << 17));
  }
}

TEST(WordFile, TellsTextFormatsFromBytes) {
  const std::pair<std::string, const char*> cases[] = {
      {":10010000214601360121470136007EFE09D2190140\r\n:00000001FF\r\n", "Intel HEX"},
      {"S00F000068656C6C6F202020202000003C\nS9030000FC\n", "S-record"},
      {"// boot\n@0 3ffff 0_1234\n", "$readmemh"},
      {"/* srec_cat -vmem, a*b */\n@00000000 12 34\n", "$readmemh"},
      {"", nullptr},
      {std::string("\x00\x80\xff\n\x01", 5), nullptr},
      {":not hex at all\n", nullptr},
      {"0123", nullptr},  // no line: too little to tell
  };
  for (const auto& [start, name] : cases) {
    const char* found = TextFormatOf(start).name;
    EXPECT_EQ(std::string(found ? found : "none"), std::string(name ? name : "none")) << start;
  }
}

// The heads of the statements in `text`, up to their " = ".
std::vector<std::string> Heads(const std::string& text) {
  std::vector<std::string> heads;
  for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
    heads.push_back(text.substr(at, text.find(" = ", at) - at));
  }
  return heads;
}

TEST(WordFile, AnImageFillsEachInstanceWithItsInitsThenItsParity) {
  // 9-bit words in RAMB8BWERs: 1,024 an instance, then 300 more.
  Image words(9);
  for (std::uint64_t a = 0; a < 1024 + 300; ++a) words.Set(a, 0x15a);
  StringSink sink;
  Output out(sink);
  std::int64_t n;
  const RowLayout row("rom", BlockShape{32, 4}, 9, Parity::kPorts, words.size());
  ASSERT_EQ(WriteImage(words, row, out, "\n", "", &n), PassResult::kOk);
  ASSERT_TRUE(out.Flush(&e));
  const std::vector<std::string> heads = Heads(sink.data);
  ASSERT_EQ(n, 32 + 4 + 10 + 2);
  ASSERT_EQ(heads.size(), 48u);
  EXPECT_EQ(heads[31], "INST \"rom00\" INIT_1F");
  EXPECT_EQ(heads[35], "INST \"rom00\" INITP_03");
  EXPECT_EQ(heads[45], "INST \"rom01\" INIT_09");
  EXPECT_EQ(heads[47], "INST \"rom01\" INITP_01");
  EXPECT_EQ(sink.data.substr(sink.data.rfind(" = ") + 3, 66), std::string(53, '0') + std::string(11, 'f') + ";\n");
}

TEST(WordFile, BytesStreamedAreWrittenAsTheirImageIs) {
  for (const BlockShape& shape : {kRamb4, BlockShape{64, 8}, BlockShape{128, 16}}) {
    for (std::size_t size : {0, 1, 31, 32, 33, 511, 512, 513, 4097, 70000}) {
      std::string bytes;
      for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>(i * 0x80 + i / 3);
      Image image(8);
      image.bytes_to_fill().assign(bytes.begin(), bytes.end());
      image.FilledBytes();
      StringSink image_sink, bytes_sink;
      Output image_out(image_sink), bytes_out(bytes_sink);
      std::int64_t n, m;
      const RowLayout row("rom", shape, 8, Parity::kPorts, image.size());
      ASSERT_EQ(WriteImage(image, row, image_out, "\r\n", "\n", &n), PassResult::kOk);
      MemorySource in(bytes, 1000);
      ASSERT_EQ(WriteInits(in, bytes_out, "rom", shape, "\r\n", "\n", &m, &e), PassResult::kOk);
      ASSERT_TRUE(image_out.Flush(&e) && bytes_out.Flush(&e));
      EXPECT_EQ(image_sink.data, bytes_sink.data) << size;
      EXPECT_EQ(n, m);
    }
  }
}

}  // namespace
}  // namespace romseed
