// The check, on files in memory: each way a UCF can differ from what a run
// writes, and that a check never changes a file.
#include "check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "fake_os.h"
#include "hex.h"
#include "memory_io.h"
#include "romseed.h"

namespace romseed {
namespace {

// Replaces the first `from` in `text` by `to`.
std::string Edit(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(Check, SaysWhetherTheUcfHoldsTheBinaryAndWhatDiffers) {
  std::string bin;
  for (int i = 0; i < 1024; ++i)
    bin += static_cast<char>(i * 7 % 256);  // 0x00, 0x80, 0xff among them
  const std::string words = "3ffff 00080\n2_00ff\n";
  // 18-bit words in RAMB8BWERs, 512 to an instance: parity bits in a second
  // instance too, the last word's both set.
  std::string words514;
  for (int i = 0; i < 512; ++i) words514 += Hex(static_cast<unsigned>(i * 7919) & 0x3ffff, 5) + "\n";
  words514 += "30000 0\n";
  const std::string zeros(64, '0');
  const std::string line5 = "INST \"rom00\" INIT_05 = ";
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> edit;  // of the UCF a run wrote
    int status;
    std::string said;              // a part of the output
    std::string checked_bin = "";  // else the binary of the run
    std::vector<std::string> options = {};
  } cases[] = {
      {"match", [](auto u) { return u; }, kMatch, "top.ucf holds fw.bin for rom: match\n"},
      {"a bit flipped", [](auto u) { return Edit(u, "INIT_01 = b9", "INIT_01 = b8"); }, kDiffer,
       "line 3: rom00 INIT_01 differs at data byte 0x3f: b9 in fw.bin, b8 in the UCF\n"},
      {"a block longer", [](auto u) { return u; }, kDiffer, "rom02 INIT_0f is missing\n",
       bin + bin.substr(0, 512)},
      {"a block shorter", [](auto u) { return u; }, kDiffer,
       "line 18: rom01 INIT_00 is not needed by fw.bin", bin.substr(0, 512)},
      {"missing", [&](auto u) { return Edit(u, line5, "# " + line5); }, kDiffer,
       "rom00 INIT_05 is missing\n"},
      {"doubled", [&](auto u) { return u + u.substr(u.find(line5), 89); }, kDiffer,
       "line 34: rom00 INIT_05 occurs twice (first at line 7)\n"},
      {"out of order", [&](auto u) { return Edit(u, line5, "#") + u.substr(u.find(line5), 88); },
       kMatch, "another order than a run writes them (a hand edit?)\ntop.ucf holds"},
      {"upper case",
       [](auto u) {
         std::transform(u.begin(), u.end(), u.begin(), ::toupper);
         for (std::size_t at; (at = u.find("\"ROM")) != std::string::npos;)
           u.replace(at, 4, "\"rom");
         return u;
       },
       kMatch, ": match\n"},
      // Other spellings of a block number name other instances.
      {"rom0", [](auto u) { return Edit(u, "rom01\" INIT_00", "rom1\" INIT_00"); }, kDiffer,
       "line 18: INST \"rom1\" INIT_00 = "},
      {"rom000", [](auto u) { return Edit(u, "rom01\" INIT_00", "rom001\" INIT_00"); }, kDiffer,
       "rom01 INIT_00 is missing\n"},
      {"trailing text", [](auto u) { return Edit(u, ";\nINST \"rom00\" INIT_06", "; # v1.2\nINST \"rom00\" INIT_06"); },
       kDiffer, "line 7: INST \"rom00\" INIT_05 = "},
      {"no block number", [&](auto u) { return u + "INST \"rom\" INIT_00 = " + zeros + ";\n"; }, kDiffer,
       "line 34: INST \"rom\" INIT_00 = "},
      {"the last block number", [&](auto u) { return u + "INST \"romffffffffffffffff\" INIT_00 = " + zeros + ";\n"; },
       kDiffer, "line 34: romffffffffffffffff INIT_00 is not needed by fw.bin\n"},
      {"21 differences", [](auto u) { return u; }, kDiffer,
       "rom03 INIT_03 is missing\n... and 1 more\ntop.ucf does not hold fw.bin for rom: 21 differences\n",
       bin + std::string(21 * 32, 'x')},
      {"another component", [](auto u) { return u + "INST \"rom_hi00\" INIT_00 = 00;\n"; }, kDiffer,
       "line 34: INST \"rom_hi00\" INIT_00 = 00; is not a statement of rom: a run would drop it\n"},
      {"CR LF",
       [](auto u) {
         std::string c;
         for (char ch : u) c += ch == '\n' ? "\r\n" : std::string(1, ch);
         return c;
       },
       kMatch, ": match\n"},
      {"parity bits",
       [](auto u) { return u; },
       kMatch,
       ": match\n",
       words,
       {"-p", "RAMB16", "-w", "18"}},
      {"parity bits in a second instance", [](auto u) { return u; }, kMatch, ": match\n", words514,
       {"-p", "RAMB8BWER", "-w", "18"}},
      {"a parity bit flipped in a second instance",
       [](auto u) { return Edit(u, "rom01\" INITP_00 = " + std::string(63, '0') + "3", "rom01\" INITP_00 = " + std::string(63, '0') + "2"); },
       kDiffer, "line 39: rom01 INITP_00 differs at word 0x200 (fw.bin line 513): 30000 in fw.bin, 20000 in the UCF\n",
       words514, {"-p", "RAMB8BWER", "-w", "18"}},
      // A word file's difference in its words, with its line.
      {"a word differs", [](auto u) { return Edit(u, "00ff0080ffff;", "00ff0081ffff;"); }, kDiffer,
       "line 2: rom00 INIT_00 differs at word 0x1 (fw.bin line 1): 00080 in fw.bin, 00081 in the UCF\n",
       words, {"-p", "RAMB16", "-w", "18"}},
      {"a parity statement missing", [](auto u) { return Edit(u, "INST \"rom00\" INITP_00", "# INITP_00"); },
       kDiffer, "rom00 INITP_00 is missing\n", words, {"-p", "RAMB16", "-w", "18"}},
      {"a parity bit flipped",
       [](auto u) { return Edit(u, "0023;", "0022;"); },
       kDiffer,
       "line 3: rom00 INITP_00 differs at word 0x0 (fw.bin line 1): 3ffff in fw.bin, 2ffff in the UCF\n",
       words,
       {"-p", "RAMB16", "-w", "18"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeOs fake;
    // Word files are run and checked alike; a binary is checked as changed.
    fake.Put("fw.bin", !c.options.empty() ? (c.checked_bin.empty() ? words : c.checked_bin) : bin);
    fake.Put("top.ucf", "NET a;\n");
    StringSink out, errors;
    std::vector<std::string> args = {"romseed"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"fw.bin", "top.ucf", "rom"});
    ASSERT_EQ(Main(args, fake, out, errors), 0) << out.data;
    fake.files["top.ucf"]->data = c.edit(fake.files["top.ucf"]->data);
    if (!c.checked_bin.empty()) fake.files["fw.bin"]->data = c.checked_bin;
    // Read-only, as a UCF in version control may be, or not: a check changes
    // nothing, not even what a killed run left beside it.
    fake.files["top.ucf"]->info.read_only = (&c - cases) % 2 == 0;
    fake.Put(FakeOs::Beside("top.ucf", 9), "left");
    fake.calls.clear();
    args.insert(args.begin() + 1, "--check");
    StringSink said, why;
    EXPECT_EQ(Main(args, fake, said, why), c.status);
    EXPECT_NE(said.data.find(c.said), std::string::npos) << said.data;
    if (std::string(c.what) != "out of order") {
      EXPECT_EQ(said.data.find("another order"), std::string::npos);
    }
    EXPECT_EQ(fake.files.count(FakeOs::Beside("top.ucf", 9)), 1u);
    // No read of the binary while the UCF's turn is held: it is read whole
    // before (and a word file again after, for its lines).
    const auto ucf_open = fake.calls.begin() + static_cast<long>(fake.At("open top.ucf"));
    const auto ucf_read = std::find(fake.calls.rbegin(), fake.calls.rend(), "read top.ucf").base();
    EXPECT_EQ(std::find(ucf_open, ucf_read, "read fw.bin"), ucf_read);
    for (const std::string& call : fake.calls) {
      EXPECT_TRUE(call.rfind("open ", 0) == 0 || call.rfind("read ", 0) == 0 ||
                  call.rfind("lock ", 0) == 0 || call.rfind("stat ", 0) == 0)
          << call;
    }
  }
}

// A word file that cannot be read a second time (a pipe): the word's
// address alone.
TEST(Check, NamesAWordOfAPipeByItsAddress) {
  FakeOs fake;
  fake.Put("fw.hex", "1ff\n");
  fake.Put("top.ucf", "INST \"rom00\" INIT_00 = " + std::string(63, '0') + "e;\n");
  fake.files["fw.hex"]->info.regular = false;
  StringSink out, errors;
  EXPECT_EQ(Main({"romseed", "-c", "-p", "RAMB16", "-w", "9", "fw.hex", "top.ucf", "rom"}, fake, out, errors),
            kDiffer);
  EXPECT_EQ(out.data.substr(0, out.data.find('\n')),
            "line 1: rom00 INIT_00 differs at word 0x0: 1ff in fw.hex, 10e in the UCF");
}

// A file that cannot be opened or read, or a UCF that is not text: the
// check says so on both streams, with status 2, and changes nothing.
TEST(Check, SaysWhyItCouldNotCheck) {
  struct Case {
    std::string fail, said;
    std::string ucf = "NET a;\n";
  } cases[] = {
      {"open fw.bin", "can't open binary file fw.bin"},
      {"open top.ucf", "can't open ucf file top.ucf"},
      {"read fw.bin", "can't read binary file fw.bin"},
      {"read top.ucf", "can't read ucf file top.ucf"},
      {"", "ucf file top.ucf is not a text file", std::string("NET a;\0\n", 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    FakeOs fake;
    fake.Put("fw.bin", "\x12\x34");
    fake.Put("top.ucf", c.ucf);
    fake.fail = c.fail;
    StringSink out, errors;
    EXPECT_EQ(Main({"romseed", "--check", "fw.bin", "top.ucf", "rom"}, fake, out, errors), kTrouble);
    EXPECT_EQ(out.data, c.said + "\n");
    const std::string why = c.fail.empty() ? "\n" : ": injected failure\n";
    EXPECT_EQ(errors.data, "romseed: " + c.said + why);
    EXPECT_EQ(fake.files["top.ucf"]->data, c.ucf);
  }
}

}  // namespace
}  // namespace romseed
