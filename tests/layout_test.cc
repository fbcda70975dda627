#include <gtest/gtest.h>

#include "bmm.h"
#include "check.h"
#include "memory_io.h"
#include "program.h"
#include "readers.h"
#include "romseed.h"

namespace romseed {
namespace {

const char kFourLanes[] =
    "// comments: // to the end of the line, and /* ... */\n"
    "ADDRESS_SPACE progmem RAMB16 [0x00000000:0x00001FFF]\n"
    "  BUS_BLOCK\n"
    "    cpu/mem/ram3 [31:24] LOC = RAMB16_X0Y3;\n"
    "    cpu/mem/ram2 [23:16]; /* a note */\n"
    "    cpu/mem/ram1 [15:8] PLACED=X0Y1;\n"
    "    cpu/mem/ram0 [7:0];\n"
    "  END_BUS_BLOCK;\n"
    "END_ADDRESS_SPACE;\n";

// Each placement as "instance low_bit+width@first_word".
std::string Placements(const std::string& bmm, const std::string& name, std::string* error) {
  MemorySource in(bmm, 5);
  AddressSpace space;
  Failure err;
  if (!ReadBmm(in, "m.bmm", name, &space, &err)) return *error = err.message, "";
  const BusLayout layout(space, Parity::kPorts, true);
  std::string s;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const Placement p = layout.at(i);
    s += p.instance + " " + std::to_string(p.low_bit) + "+" + std::to_string(p.width) + "@" +
         std::to_string(p.first_word) + (i + 1 < layout.size() ? ", " : "");
  }
  return s;
}

TEST(Layout, ReadsTheFormsThatRealBmmFilesCarry) {
  const struct {
    std::string bmm, name, placements;
  } kCases[] = {
      {kFourLanes, "progmem", "cpu/mem/ram3 24+8@0, cpu/mem/ram2 16+8@0, cpu/mem/ram1 8+8@0, cpu/mem/ram0 0+8@0"},
      // Older files, a map around them, one-bit lanes with a type and word range.
      {"ADDRESS_MAP cpu PPC405 0\nADDRESS_BLOCK bits RAMB16 [0x10000000:0x10000FFF]\nBUS_BLOCK\n"
       "r1 RAMB16 [1:1] [0:16383] PLACED = X1Y90; r0 RAMB16_S1 [0];\nEND_BUS_BLOCK;\n"
       "END_ADDRESS_BLOCK;\nEND_ADDRESS_MAP;\n",
       "bits", "r1 1+1@0, r0 0+1@0"},
      // Keywords and memory types in any case.
      {"Address_Space m ramb16 [0:0x7FF] Bus_Block a [7:0]; End_Bus_Block; end_address_space;", "m", "a 0+8@0"},
      // Big-endian numbering: bit 0 is the top bit; a lane's value keeps the bus's order.
      {"ADDRESS_SPACE be RAMB16 [0:0xFFF] BUS_BLOCK b0 [0:15]; b1 [16:31]; END_BUS_BLOCK; "
       "END_ADDRESS_SPACE;",
       "be", "b0 16+16@0, b1 0+16@0"},
      // Banks by depth, the second space of the file; the word range counted in the space.
      {std::string(kFourLanes) +
           "ADDRESS_SPACE d RAMB4 [0:2047] BUS_BLOCK x [7:0]; END_BUS_BLOCK; "
           "BUS_BLOCK y [7:0] [512:1023]; END_BUS_BLOCK; BUS_BLOCK z [7:0]; END_BUS_BLOCK; "
           "BUS_BLOCK w [7:0]; END_BUS_BLOCK; END_ADDRESS_SPACE;",
       "d", "x 0+8@0, y 0+8@512, z 0+8@1024, w 0+8@1536"},
      // Lanes with parity bits: a byte program fills their data bits in order.
      {"ADDRESS_SPACE p RAMB36 [0:0x1FFF] BUS_BLOCK h [71:36]; l [35:0]; END_BUS_BLOCK; END_ADDRESS_SPACE;",
       "p", "h 36+36@0, l 0+36@0"},
  };
  for (const auto& c : kCases) {
    std::string error;
    EXPECT_EQ(Placements(c.bmm, c.name, &error), c.placements) << c.bmm << "\n" << error;
  }
}

TEST(Layout, RefusesWhatItCannotFillWithFileLineAndReason) {
  const auto space = [](const std::string& lanes, const std::string& range = "[0:0x1FFF]",
                        const std::string& type = "RAMB16") {
    return "ADDRESS_SPACE m " + type + " " + range + "\nBUS_BLOCK\n" + lanes + "END_BUS_BLOCK;\nEND_ADDRESS_SPACE;\n";
  };
  const struct {
    std::string bmm, name, message;
  } kCases[] = {
      {kFourLanes, "data", "m.bmm: no address space data (it has progmem)"},
      {space("a [7:0];\n", "[0:0x7FF]", "RAMB32"), "m", "m.bmm:1: memory type RAMB32 is not one this tool fills"},
      {space("a [31:24];\nb [23:16];\nc [7:0];\n"), "m", "m.bmm:3: bus bits [15:8] are in no lane"},
      {space("a [15:8];\nb [11:4];\nc [7:0];\n"), "m", "m.bmm:4: bit 8 is in [11:4] and in [15:8]"},
      {space("a [15:8];\nb [7:4];\nc [3:0];\n"), "m", "m.bmm:4: lane [7:4] is not as wide as [15:8]"},
      {space("a [0:7];\nb [15:8];\n"), "m", "m.bmm:4: bits [15:8] are numbered the other way"},
      {space("a [2:0];\n"), "m", "m.bmm:3: 3-bit lane [2:0] is no port width of RAMB16"},
      {space("a [7:0];\n", "[0:0xFFF]"), "m", "m.bmm:1: address space m spans 4096 bytes, but its block RAMs hold 2048"},
      {space("a [7:0] [0:99];\n"), "m", "m.bmm:3: a gives words [0:99], but its bus block covers [0:2047]"},
      {space("a [7:0];\na [15:8];\n"), "m", "m.bmm:4: instance a stands twice"},
      {space("a \"x [7:0];\n"), "m", "m.bmm:3: '\"' has no place"},
      {space("a [7:0]\n"), "m", "m.bmm:4: 'END_BUS_BLOCK' where ; is due"},
      {"/* open\n\n", "m", "m.bmm:1: a comment that does not end"},
      {[] {  // 129 bus blocks of 32 one-bit lanes
         std::string bmm = "ADDRESS_SPACE m RAMB16 [0:0x80FFFF]";
         for (int k = 0; k < 129 * 32; ++k) {
           bmm += (k % 32 ? " r" : " BUS_BLOCK r") + std::to_string(k) + " [" + std::to_string(k % 32) + "];";
           if (k % 32 == 31) bmm += " END_BUS_BLOCK;";
         }
         return bmm;
       }(), "m", "m.bmm:1: more block RAMs than a run fills"},
      {"ADDRESS_SPACE m RAMB16 [0:0x1FFF] BUS_BLOCK a [7:0]; END_BUS_BLOCK; "
       "BUS_BLOCK b [15:0]; END_BUS_BLOCK; END_ADDRESS_SPACE;", "m",
       "m.bmm:1: a bus block of 16 bits, after one of 8"},
  };
  for (const auto& c : kCases) {
    std::string error;
    EXPECT_EQ(Placements(c.bmm, c.name, &error), "") << c.bmm;
    EXPECT_EQ(error.substr(0, c.message.size()), c.message) << c.bmm;
  }
}

// A program's file, read into its pieces and placed at base 0: its bytes,
// or why it was refused.
std::string Read(ReadProgramFunction read, const std::string& text) {
  Program program;
  Failure err;
  Image image(8);
  if (!read(text, "p", &program, &err) || !PlaceAtBase(program, "p", 0, &image, &err)) return err.reason;
  return std::string(image.bytes().begin(), image.bytes().end());
}

// An ELF64 of one segment of 4 bytes at `address`, of `type`, little-endian.
std::string Elf64(std::uint64_t address, std::uint32_t type = 1) {
  std::string elf(124, '\0');
  const auto put = [&](std::size_t at, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) elf[at + i] = static_cast<char>(v >> (8 * i));
  };
  elf.replace(0, 6, "\x7f" "ELF\x02\x01");
  put(32, 64, 8), put(54, 56, 2), put(56, 1, 2);                        // the program headers
  put(64, type, 4), put(72, 120, 8), put(88, address, 8), put(96, 4, 8), put(104, 4, 8);  // PT_LOAD
  put(120, 0x44434241, 4);
  return elf;
}

TEST(Programs, ReadRecordsAndSayWhichLineIsBadAndWhy) {
  const struct {
    ReadProgramFunction read;
    std::string text, result;
  } kCases[] = {
      // An extended linear address, a segment address, then the end: what follows it is not read.
      {ReadIntelHex, ":0200000401F009\n:0200000041427B\n:00000001FF\n:zz\n", "its bytes reach 0x01f00001, more"},
      {ReadIntelHex, ":0300010041424336\r\n\r\n:00000001FF\n", std::string("\0ABC", 4)},
      {ReadIntelHex, ":020000021000EC\n:0100000041BE\n", std::string(0x10000, '\0') + "A"},  // a segment
      {ReadIntelHex, ":02000000414278\n", "line 1: its checksum does not hold"},
      {ReadIntelHex, ":0300000041427A\n", "line 1: its length is not the 3 bytes it says"},
      {ReadIntelHex, ":0100000641B8\n", "line 1: record type 06 is none of 00 to 05"},
      {ReadIntelHex, ":020000040000FA\n:01000000\n", "line 2: not an Intel HEX record"},
      {ReadIntelHex, ":0100000041BE\n:0100000042BD\n", "line 1 and line 2 give address 0x00000000 different bytes"},
      {ReadIntelHex, ":0100000041BE\n:0100000041BE\n", "A"},
      // The third differs from the first, past the second, which agrees with it.
      {ReadIntelHex, ":0400000041414141F8\n:0100010041BD\n:0100030042BA\n",
       "line 1 and line 3 give address 0x00000003 different bytes"},
      {ReadSRecords, "S00600004844521B\nS106000141424332\nS9030000FC\nrest\n", std::string("\0ABC", 4)},
      {ReadSRecords, "S3080000000041424331\n", "ABC"},
      {ReadSRecords, "S106000141424332\nS70500000000FA\nrest\n", std::string("\0ABC", 4)},  // S7 ends
      {ReadSRecords, "S106000141424333\n", "line 1: its checksum does not hold"},
      {ReadSRecords, "S4030000FC\n", "line 1: S4 is no record type"},
      {ReadSRecords, "S107000141424", "line 1: not an S-record"},
      {ReadSRecords, "S107000141424332\n", "line 1: its length is not the 7 bytes it says"},
      {ReadElf, "\x7f" "ELF", "not an ELF file of 32 or 64 bits, little- or big-endian"},
      {ReadElf, Elf64(2), std::string("\0\0ABCD", 6)},
      {ReadElf, Elf64(~std::uint64_t{1}), "segment 0 runs past the last address"},
      {ReadElf, Elf64(2, 4), "it has no loadable segment"},  // a note, not loaded
  };
  for (const auto& c : kCases) {
    const std::string got = Read(c.read, c.text);
    EXPECT_EQ(got.substr(0, c.result.size()), c.result) << c.text;
  }
}

TEST(Programs, TellTheirFormatFromTheirFirstBytes) {
  // A checksum that fails is no record: the file is bytes.
  EXPECT_STREQ(RecogniseFormat(":0100000041BF\n"), "bin");
  EXPECT_STREQ(RecogniseFormat("S00600004844521B\r\n"), "srec");
  EXPECT_STREQ(RecogniseFormat("@0\n0a0b 0c0d\n"), "mem");
}

TEST(Layout, DropsExactlyItsInstancesStatementsHoweverTheUcfIsRead) {
  const std::string kGo[] = {
      "INST \"cpu/mem/ram0\" INIT_00 = 00;",
      "INST \"cpu/mem/ram3\" INITP_07 = 0000000000000000000000000000000000000000000000000000000000000000;\r",
      "INST \"cpu/mem/ram1\" INIT_",
  };
  const std::string kStay[] = {
      "INST \"cpu/mem/ram0\" LOC = RAMB16_X0Y0;", "INST \"cpu/mem/ram00\" INIT_00 = 00;",
      "INST \"cpu/mem/ram\" INIT_00 = 00;", "INST \"other\" INIT_00 = 00;",
      "INST \"cpu/mem/ram0\"  INIT_00 = 00;", "INST cpu/mem/ram0 INIT_00 = 00;",
      "INST \"cpu/mem/ram2\" INITX", "NET \"clk\" LOC = P1;", "INST \"", "",
  };
  std::string ucf, kept;
  for (const std::string& line : kStay) kept += line + "\n";
  for (std::size_t i = 0; i < std::size(kStay); ++i) ucf += kGo[i % std::size(kGo)] + "\n" + kStay[i] + "\n";
  MemorySource bmm(kFourLanes);
  AddressSpace space;
  Failure err;
  ASSERT_TRUE(ReadBmm(bmm, "m.bmm", "progmem", &space, &err));
  Job job;
  job.layout_path = "m.bmm";
  job.delstr = "INST \"";
  job.format = "bin";
  for (std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{40}, SIZE_MAX}) {
    MemorySource in(ucf, step), bin("\x01\x02\x03\x04\x05");
    StringSink sink;
    Output out(sink);
    Counts counts;
    ASSERT_TRUE(Rewrite(in, bin, out, job, &counts, &err, nullptr, &space)) << err.reason;
    EXPECT_EQ(sink.data.substr(0, kept.size()), kept) << step;
    EXPECT_EQ(counts.delete_count, static_cast<std::int64_t>(std::size(kStay))) << step;
    EXPECT_EQ(counts.add_count, 4 * 64);  // every statement, zeros too
    // Byte 4 begins the second bus word: ram0's second byte.
    EXPECT_NE(sink.data.find("INST \"cpu/mem/ram0\" INIT_00 = " + std::string(60, '0') + "0501;"),
              std::string::npos);
    // The check, read as the run was, hands each dropped line on whole.
    MemorySource again("\x01\x02\x03\x04\x05"), written(sink.data, step);
    StringSink said;
    int status;
    ASSERT_TRUE(CheckStreams(again, written, job, said, &status, &err, &space));
    EXPECT_EQ(status, kMatch) << step << ": " << said.data;
  }
}

}  // namespace
}  // namespace romseed
