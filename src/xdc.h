#ifndef ROMSEED_XDC_H_
#define ROMSEED_XDC_H_

// The XDC's INIT properties, the one place that knows their text:
//   set_property INIT_0A 256'h<64 hex digits> [get_cells {rom00}]
// written, recognised and parsed, and the lines of a run's cells dropped.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filter.h"
#include "io.h"
#include "layout.h"
#include "ucf.h"

namespace romseed {

// Writes properties, the value's digits straight into place; the index in
// upper case, as Vivado reports the properties.
class XdcWriter : public StatementWriter {
 public:
  explicit XdcWriter(std::string_view eol) : eol_(eol) {}
  void SetInstance(std::string_view instance, bool parity, bool upper) override;
  void Write(Output& out, std::size_t first, std::size_t n, const unsigned char* values) override;

 private:
  std::string eol_, head_, tail_;
};

// What a line of an XDC is to a run.
enum class XdcLine {
  kOther,      // anything else: kept
  kProperty,   // sets INIT_xx or INITP_xx of one cell, in a form read here
  kUnsure,     // sets INIT_ or INITP_ some other way (a foreach, a list of cells)
};

// Reads `line` (continued lines and all, without its last line end): a
// set_property of INIT_xx or INITP_xx on one cell, as `[get_cells {c}]`,
// `[get_cells c]` or `[get_cells "c"]`, -quiet allowed, its value a
// Verilog literal of 256 bits in hex (256'h or 256'H, 1 to 64 digits).
// Sets `s` (the instance, the attribute, the value) and `*value_ok`.
XdcLine ParseXdcLine(std::string_view line, UcfStatement* s, bool* value_ok);

// The cells of a run: those of its layout (a component's row, a space's
// instances), and what a line that names one of them holds.
class XdcCells {
 public:
  XdcCells(const Layout& layout, std::vector<std::string> names)
      : layout_(layout), names_(std::move(names)) {}
  bool Has(std::string_view cell) const {
    std::size_t i;
    return layout_.Find(cell, &i);
  }
  bool Mentioned(std::string_view line) const;

 private:
  const Layout& layout_;
  std::vector<std::string> names_;
};

// Copies every line of `xdc` to `out`, byte for byte, but those that set
// INIT_xx or INITP_xx of one of `cells` (a line continued with `\` counted
// and dropped whole), as FilterUcf does for a UCF: the same ends and
// results. Hands each dropped line to `dropped`, each dropped one whose
// value does not read to `others`; and adds to `*unsure` the number of
// each kept line that sets INIT_ of cells some other way and names one of
// `cells`.
PassResult FilterXdc(Source& xdc, Output& out, const XdcCells& cells, FilterResult* result,
                     OsError* err, DroppedLines* dropped, OtherLines* others,
                     std::vector<std::int64_t>* unsure);

}  // namespace romseed

#endif  // ROMSEED_XDC_H_
