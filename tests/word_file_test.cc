// Word files: how the bits of each width reach the data bytes and parity
// bits, worked out by hand from the primitives' port widths, and the
// statements that an image makes.
#include "word_file.h"

#include <gtest/gtest.h>

#include "hex.h"
#include "memory_io.h"

namespace romseed {
namespace {

std::string Hex(const std::vector<unsigned char>& bytes) {
  std::string s;
  for (unsigned char b : bytes) s += std::string(1, kHexDigits[b >> 4]) + kHexDigits[b & 15];
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
    Image image;
    std::string why;
    ASSERT_TRUE(ReadWordFile(in, c.width, c.parity, &image, &why)) << why;
    EXPECT_EQ(Hex(image.data), c.data);
    EXPECT_EQ(Hex(image.parity), c.parity_bits);
    EXPECT_EQ(image.has_parity, c.width % 9 == 0);
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
      {"@400000 1", "line 1: address @400000 is beyond the last word a run takes"},
      {std::string("1\n\x80", 3), "line 2: byte 80 is not a hex digit"},
  };
  for (const auto& [text, reason] : cases) {
    MemorySource in(text);
    Image image;
    std::string why;
    EXPECT_FALSE(ReadWordFile(in, 8, Parity::kPorts, &image, &why)) << text;
    EXPECT_EQ(why, reason);
  }
  MemorySource failing("1 2", SIZE_MAX, true);
  Image image;
  std::string why;
  EXPECT_FALSE(ReadWordFile(failing, 8, Parity::kPorts, &image, &why));
}

TEST(WordFile, TellsTextFormatsFromBytes) {
  const std::pair<std::string, const char*> cases[] = {
      {":10010000214601360121470136007EFE09D2190140\r\n:00000001FF\r\n", "Intel HEX"},
      {"S00F000068656C6C6F202020202000003C\nS9030000FC\n", "S-record"},
      {"// boot\n@0 3ffff 0_1234\n", "$readmemh"},
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
  Image image;
  image.data.assign(1024 + 300, 0x5a);
  image.parity.assign((1024 + 300) / 8 + 1, 0xff);
  std::int64_t n;
  for (bool parity : {true, false}) {
    image.has_parity = parity;
    const BlockShape shape = parity ? BlockShape{32, 4} : BlockShape{64, 8};  // RAMB8BWER, RAMB16
    StringSink image_sink, bytes_sink;
    Output image_out(image_sink), bytes_out(bytes_sink);
    ASSERT_EQ(WriteImage(image, image_out, "INST \"rom", shape, "\n", "", &n), PassResult::kOk);
    ASSERT_TRUE(image_out.Flush());
    const std::vector<std::string> heads = Heads(image_sink.data);
    if (parity) {
      ASSERT_EQ(n, 32 + 4 + 10 + 2);
      ASSERT_EQ(heads.size(), 48u);
      EXPECT_EQ(heads[31], "INST \"rom00\" INIT_1f");
      EXPECT_EQ(heads[35], "INST \"rom00\" INITP_03");
      EXPECT_EQ(heads[45], "INST \"rom01\" INIT_09");
      EXPECT_EQ(heads[47], "INST \"rom01\" INITP_01");
      continue;
    }
    // Without parity bits, an image is written as its bytes would be.
    MemorySource bytes(std::string(image.data.begin(), image.data.end()));
    ASSERT_EQ(WriteInits(bytes, bytes_out, "INST \"rom", shape, "\n", "", &n), PassResult::kOk);
    ASSERT_TRUE(bytes_out.Flush());
    EXPECT_EQ(image_sink.data, bytes_sink.data);
  }
}

}  // namespace
}  // namespace romseed
