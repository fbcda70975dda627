#include <gtest/gtest.h>

#include "constraints.h"
#include "memory_io.h"
#include "xdc.h"

namespace romseed {
namespace {

TEST(Xdc, DropsTheRunsCellsPropertiesAndKeepsEveryOtherLineByteForByte) {
  const std::string kGo[] = {
      "set_property INIT_00 256'h0000000000000000000000000000000000000000000000000000000000030201 [get_cells {rom00}]",
      "set_property INITP_07 256'H00FF [get_cells rom01]",
      "  set_property -quiet   init_7f   256'hab  [get_cells -quiet \"rom1a\"] ;# a note",
      "set_property INIT_02 \\\r\n    256'h1 \\\r\n    [get_cells {rom00}]",
      "set_property INIT_03 junk [get_cells {rom00}]",
  };
  const std::string kStay[] = {
      "# set_property INIT_00 256'h0 [get_cells {rom00}]",
      "create_clock -period 10.000 -name clk [get_ports clk]",
      "set_property PACKAGE_PIN E3 [get_ports clk]",
      "set_property INIT_00 256'h1 [get_cells {other00}]",
      "set_property INIT_00 256'h1 [get_cells {rom0}]",   // not a block number as a run writes it
      "set_property INIT_00 256'h1 [get_cells {rom000}]",
      "set_property LOC RAMB36_X0Y0 [get_cells {rom00}]",
      "set_property INIT_00 256'h1 [get_cells {rom00 rom01}]",
      "foreach c [get_cells rom*] { set_property INIT_00 256'h0 $c }",
      "set_property INIT_00 256'h0 [get_cells -hier -filter {NAME =~ rom00}]",
      "set_property INIT_00 256'h0 \\\n  [get_cells {other01}]",
      "set_property INIT_00 256'h1 [get_cells {rom00}] [get_cells {rom01}]",
      "",
  };
  std::string xdc, kept;
  for (std::size_t i = 0; i < std::size(kStay); ++i) {
    xdc += kGo[i % std::size(kGo)] + "\r\n" + kStay[i] + "\r\n";
    kept += kStay[i] + "\r\n";
  }
  Job job;
  job.xdc = true;
  job.component = "rom";
  job.shape = kRamb36E1;
  for (std::size_t step : {std::size_t{1}, std::size_t{5}, SIZE_MAX}) {
    MemorySource in(xdc, step);
    StringSink sink;
    Output out(sink);
    FilterResult r;
    OsError e;
    std::vector<std::int64_t> unsure;
    ASSERT_EQ(FilterConstraints(in, out, job, nullptr, &r, &e, nullptr, nullptr, &unsure), PassResult::kOk);
    ASSERT_TRUE(out.Flush(&e));
    EXPECT_EQ(sink.data, kept) << step;
    EXPECT_TRUE(r.crlf);
    EXPECT_EQ(r.copy_count, 14);  // a continued line counts each of its lines
    EXPECT_EQ(r.other_count, 2);  // the value that does not read, twice
    // The list of cells, the foreach and the pattern: kept, and said.
    EXPECT_EQ(unsure, (std::vector<std::int64_t>{18, 22, 24, 29})) << step;
  }
}

TEST(Xdc, ReadsAPropertysValueAsTheCheckComparesIt) {
  UcfStatement s;
  bool ok = false;
  ASSERT_EQ(ParseXdcLine("set_property INITP_0A 256'hF0_1 [get_cells {cpu/mem/ram0}]", &s, &ok), XdcLine::kProperty);
  EXPECT_FALSE(ok);  // Verilog's _ is no digit of a Tcl property's value
  ASSERT_EQ(ParseXdcLine("set_property INITP_0A 256'hF01 [get_cells {cpu/mem/ram0}]", &s, &ok), XdcLine::kProperty);
  EXPECT_TRUE(ok);
  EXPECT_EQ(s.instance, "cpu/mem/ram0");
  EXPECT_TRUE(s.parity);
  EXPECT_EQ(s.index, 10u);
  EXPECT_EQ(s.value[0], 0x01);
  EXPECT_EQ(s.value[1], 0x0f);
  EXPECT_EQ(s.value[31], 0);
  ParseXdcLine("set_property INIT_00 256'h1" + std::string(64, '0') + " [get_cells {c}]", &s, &ok);
  EXPECT_FALSE(ok);  // 65 digits: more than 256 bits
  // In braces a $ is the name's own, as the writer puts any BMM instance; bare, a variable.
  EXPECT_EQ(ParseXdcLine("set_property INIT_00 256'h1 [get_cells {a$b}]", &s, &ok), XdcLine::kProperty);
  EXPECT_EQ(ParseXdcLine("set_property INIT_00 256'h1 [get_cells a$b]", &s, &ok), XdcLine::kUnsure);
}

}  // namespace
}  // namespace romseed
