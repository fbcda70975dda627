#include "block_ram.h"

#include <cstring>

#include "hex.h"

namespace romseed {
namespace {

struct Family {
  const char* name;
  BlockShape shape;
  // The data widths its primitives' first port takes (RAMB16_S18), and
  // their second (RAMB16_S9_S36), or null where it has none.
  const char* const* widths;
  const char* const* second;
};

const char* const kRamb4Widths[] = {"1", "2", "4", "8", "16", nullptr};
const char* const kRamb16Widths[] = {"1", "2", "4", "9", "18", "36", nullptr};
// Spartan-3A's byte-write primitives: a port of 18 or 36 bits, and another of 9 to 36.
const char* const kBweWidths[] = {"18", "36", nullptr};
const char* const kBweSecond[] = {"9", "18", "36", nullptr};

// Of ISE's families alone, of both flows (7-series), of Vivado's alone (UltraScale).
constexpr BlockShape kRamb16{64, 8, true, nullptr, BlockShape::kUcf}, kRamb36{128, 16, true, nullptr, BlockShape::kUcf};
constexpr BlockShape kRamb18E1{64, 8}, kRamb18E2{64, 8, true, nullptr, BlockShape::kXdc};
constexpr BlockShape kRamb36E2{128, 16, true, nullptr, BlockShape::kXdc};

const Family kFamilies[] = {
    {"RAMB4", kRamb4, kRamb4Widths, kRamb4Widths},
    {"RAMB16", kRamb16, kRamb16Widths, kRamb16Widths},
    {"RAMB16BWE", kRamb16, kBweWidths, kBweSecond},
    {"RAMB16BWER", kRamb16, nullptr, nullptr},
    {"RAMB8BWER",
     {32, 4, true,
      "RAMB8BWER contents take effect only with BitGen's -g INIT_9K:Yes (ISE 13.2 and later)",
      BlockShape::kUcf},
     nullptr, nullptr},
    {"RAMB18", kRamb16, nullptr, nullptr},
    {"RAMB18E1", kRamb18E1, nullptr, nullptr},
    {"RAMB18E2", kRamb18E2, nullptr, nullptr},
    {"RAMB18SDP", kRamb16, nullptr, nullptr},
    {"RAMB36", kRamb36, nullptr, nullptr},
    {"RAMB36E1", kRamb36E1, nullptr, nullptr},
    {"RAMB36E2", kRamb36E2, nullptr, nullptr},
    {"RAMB36SDP", kRamb36, nullptr, nullptr},
};

// True if `*p` begins with "_S" and one of `widths`; moves past them.
bool TakePort(const char** p, const char* const* widths) {
  if (std::strncmp(*p, "_S", 2) != 0) return false;
  for (const char* const* w = widths; *w; ++w) {
    const std::size_t n = std::strlen(*w);
    const char after = (*p)[2 + n];
    if (std::strncmp(*p + 2, *w, n) == 0 && !(after >= '0' && after <= '9')) {
      *p += 2 + n;
      return true;
    }
  }
  return false;
}

}  // namespace

const char kBlockRamTable[] =
    "  RAMB4 (_S1 to _S16, _Sm_Sn)    Virtex(-E), Spartan-II(E)          512 bytes\n"
    "  RAMB16 (_S1 to _S36, _Sm_Sn),  Virtex-II(Pro), -4, Spartan-3(E,\n"
    "    RAMB16BWE (_S18, _S36,       A, AN, A DSP), -6                 2048 + parity\n"
    "    _Sm_Sn), RAMB16BWER\n"
    "  RAMB8BWER                      Spartan-6                         1024 + parity\n"
    "  RAMB18, RAMB18E1, RAMB18SDP    Virtex-5, -6                      2048 + parity\n"
    "  RAMB36, RAMB36E1, RAMB36SDP    Virtex-5, -6                      4096 + parity\n"
    "  RAMB18E2, RAMB36E2 (--xdc)     UltraScale, UltraScale+    2048, 4096 + parity\n";

bool FindBlockRam(const std::string& name, BlockShape* shape) {
  std::string upper = name;
  for (char& c : upper) c = AsciiUpper(c);
  for (const Family& family : kFamilies) {
    const std::size_t n = std::strlen(family.name);
    if (upper.compare(0, n, family.name) != 0) continue;
    // One port (RAMB16_S18) or two (RAMB16_S9_S36), and nothing after.
    const char* p = upper.c_str() + n;
    if (*p && family.widths && TakePort(&p, family.widths) && *p) TakePort(&p, family.second);
    if (*p) continue;
    *shape = family.shape;
    return true;
  }
  return false;
}

}  // namespace romseed
