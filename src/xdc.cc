#include "xdc.h"

#include <cstring>

#include "hex.h"

namespace romseed {
namespace {

constexpr char kByteOrderMark[] = "\xef\xbb\xbf";
constexpr std::string_view kValueHead = " 256'h", kCellsHead = " [get_cells {", kCellsTail = "}]";
constexpr char kUpperDigits[] = "0123456789ABCDEF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The line as Tcl reads its words: a backslash, the line end and the
// blanks after it are one blank.
std::string Joined(std::string_view line) {
  std::string s;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const std::size_t end = line.compare(i, 3, "\\\r\n") == 0 ? 3 : line.compare(i, 2, "\\\n") == 0 ? 2 : 0;
    if (end == 0) {
      s += line[i];
      continue;
    }
    i += end;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    --i;
    s += ' ';
  }
  return s;
}

// The words of a line, one after another.
class Words {
 public:
  explicit Words(std::string_view text) : rest_(text) {}
  void Blanks() {
    while (!rest_.empty() && IsBlank(rest_[0])) rest_.remove_prefix(1);
  }
  // Takes `text` if the line goes on with it.
  bool Take(std::string_view text) {
    Blanks();
    if (rest_.substr(0, text.size()) != text) return false;
    rest_.remove_prefix(text.size());
    return true;
  }
  // The next word: up to a blank or a bracket.
  std::string_view Word() {
    Blanks();
    std::size_t n = 0;
    while (n < rest_.size() && !IsBlank(rest_[n]) && rest_[n] != '[' && rest_[n] != ']') ++n;
    const std::string_view w = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return w;
  }
  // Up to `close`, which is taken too; false if it does not come.
  bool Until(char close, std::string_view* inside) {
    const std::size_t end = rest_.find(close);
    if (end == std::string_view::npos) return false;
    *inside = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return true;
  }
  // True at the end of the command: nothing, or `;` and perhaps a comment.
  bool AtEnd() {
    Blanks();
    if (Take(";")) {
      Blanks();
      return rest_.empty() || rest_[0] == '#';
    }
    return rest_.empty();
  }

 private:
  std::string_view rest_;
};

// The attribute `word` (INIT_0A, INITP_07, in any case) into `*s`.
bool TakeAttribute(std::string_view word, UcfStatement* s) {
  s->parity = BeginsInAnyCase(word, "INITP_");
  const std::size_t at = s->parity ? 6 : 5;
  if ((!s->parity && !BeginsInAnyCase(word, "INIT_")) || word.size() != at + 2) return false;
  const int hi = HexValue(word[at]), lo = HexValue(word[at + 1]);
  if (hi < 0 || lo < 0) return false;
  s->index = static_cast<std::size_t>(hi * 16 + lo);
  return true;
}

// A Verilog literal of 256 bits in hex, 1 to 64 digits, into `value`.
bool TakeValue(std::string_view word, unsigned char value[32]) {
  if (word.size() < 6 || word.substr(0, 4) != "256'" || (word[4] != 'h' && word[4] != 'H')) return false;
  word.remove_prefix(5);
  if (word.size() > 64) return false;
  std::memset(value, 0, 32);
  for (std::size_t k = 0; k < word.size(); ++k) {
    const int d = HexValue(word[word.size() - 1 - k]);
    if (d < 0) return false;
    value[k / 2] |= static_cast<unsigned char>(d << (k % 2 * 4));
  }
  return true;
}

// `[get_cells [-quiet] CELL]`, CELL as `{c}`, `"c"` or `c`: one cell, named
// as it stands.
bool TakeCell(Words& w, std::string_view* cell) {
  if (!w.Take("[") || !w.Take("get_cells")) return false;
  w.Blanks();
  if (w.Take("-quiet")) w.Blanks();
  // Several cells, a pattern, or (but in braces) a variable or a command:
  // not one cell this can name.
  const char* refused = " \t*?{}\"\\";
  bool closed = true;
  if (w.Take("{")) {
    closed = w.Until('}', cell);
  } else if (w.Take("\"")) {
    refused = " \t*?{}\"\\$[]";
    closed = w.Until('"', cell);
  } else {
    refused = " \t*?{}\"\\$[]";
    *cell = w.Word();
  }
  return closed && !cell->empty() && cell->find_first_of(refused) == std::string_view::npos && w.Take("]");
}

}  // namespace

void XdcWriter::SetInstance(std::string_view instance, bool parity, bool) {
  head_ = parity ? "set_property INITP_" : "set_property INIT_";
  tail_.assign(kCellsHead).append(instance).append(kCellsTail).append(eol_);
}

void XdcWriter::Write(Output& out, std::size_t first, std::size_t n, const unsigned char* values) {
  const std::size_t size = head_.size() + 2 + kValueHead.size() + 64 + tail_.size();
  char* p = out.Extend(n * size);
  for (std::size_t k = first; k < first + n; ++k, values += 32) {
    std::memcpy(p, head_.data(), head_.size());
    p += head_.size();
    *p++ = kUpperDigits[k >> 4 & 15];
    *p++ = kUpperDigits[k & 15];
    std::memcpy(p, kValueHead.data(), kValueHead.size());
    FormatValue(values, p + kValueHead.size());
    p += kValueHead.size() + 64;
    std::memcpy(p, tail_.data(), tail_.size());
    p += tail_.size();
  }
}

XdcLine ParseXdcLine(std::string_view line, UcfStatement* s, bool* value_ok) {
  const std::string joined = Joined(line);
  Words w(joined);
  // Anything that sets INIT_ some way this does not read is said to be.
  const std::size_t first = joined.find_first_not_of(" \t");
  if (first != std::string::npos && joined[first] == '#') return XdcLine::kOther;  // a comment
  const bool init = joined.find("set_property") != std::string::npos &&
                    (joined.find("INIT_") != std::string::npos || joined.find("INITP_") != std::string::npos);
  if (!w.Take("set_property")) return init ? XdcLine::kUnsure : XdcLine::kOther;
  w.Blanks();
  if (w.Take("-quiet")) w.Blanks();
  const std::string_view attribute = w.Word();
  if (!TakeAttribute(attribute, s)) {
    return BeginsInAnyCase(attribute, "INIT") || init ? XdcLine::kUnsure : XdcLine::kOther;
  }
  *value_ok = TakeValue(w.Word(), s->value);
  std::string_view cell;
  if (!TakeCell(w, &cell) || !w.AtEnd()) return XdcLine::kUnsure;
  // The instance points into the line as given where it stands there unchanged.
  const std::size_t at = line.find(cell);
  s->instance = at == std::string_view::npos ? std::string_view() : line.substr(at, cell.size());
  return s->instance.empty() ? XdcLine::kUnsure : XdcLine::kProperty;
}

bool XdcCells::Mentioned(std::string_view line) const {
  for (const std::string& name : names_) {
    if (line.find(name) != std::string_view::npos) return true;
  }
  return false;
}

namespace {

// The pass over an XDC: each line, continued lines and all, gathered whole
// and then kept or dropped.
class XdcPass : public LinePass {
 public:
  XdcPass(Output& out, const XdcCells& cells, DroppedLines* dropped, OtherLines* others,
          std::vector<std::int64_t>* unsure)
      : out_(out), cells_(cells), dropped_(dropped), others_(others), unsure_(unsure) {}

  void Take(const unsigned char* p, std::size_t n) override {
    const unsigned char* end = p + n;
    while (p < end) {
      const unsigned char* nl = FindLineEnd(p, end, &foreign_);
      line_.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>((nl ? nl + 1 : end) - p));
      p = nl ? nl + 1 : end;
      if (nl) EndOfPhysicalLine();
    }
  }

  bool foreign() const override { return foreign_; }

  FilterResult Finish() override {
    if (!line_.empty()) {
      ++physical_;
      EndOfLine(false);
    }
    return r_;
  }

 private:
  void EndOfPhysicalLine() {
    ++physical_;
    if (first_) r_.crlf = line_.size() >= 2 && line_[line_.size() - 2] == '\r';
    first_ = false;
    // A backslash before the line end continues the line.
    const std::size_t cr = line_.size() >= 2 && line_[line_.size() - 2] == '\r' ? 1 : 0;
    if (line_.size() >= 2 + cr && line_[line_.size() - 2 - cr] == '\\') return;
    EndOfLine(true);
  }

  // Decides the line gathered; `ended` if it has its line end.
  void EndOfLine(bool ended) {
    std::string_view text = line_;
    if (bom_ && text.substr(0, 3) == kByteOrderMark) {
      out_.Put(kByteOrderMark, 3);
      text.remove_prefix(3);
    }
    bom_ = false;
    std::string_view bare = text;
    if (ended) bare.remove_suffix(bare.size() >= 2 && bare[bare.size() - 2] == '\r' ? 2 : 1);
    UcfStatement s;
    bool value_ok = false;
    const XdcLine kind = ParseXdcLine(bare, &s, &value_ok);
    const std::int64_t number = r_.copy_count + r_.delete_count + 1;
    if (kind == XdcLine::kProperty && cells_.Has(s.instance)) {
      r_.delete_count += physical_;
      if (dropped_) dropped_->Take(number, bare, true);
      if (!value_ok) Other(number, bare);
    } else {
      if (kind == XdcLine::kUnsure && unsure_ &&
          (cells_.Mentioned(bare) || bare.find('$') != std::string_view::npos)) {
        unsure_->push_back(number);
      }
      out_.Put(text);
      r_.copy_count += physical_;
      r_.open_line = !ended;
      // (A carriage return there makes the line end that follows it one.)
      const std::string_view last = bare.substr(0, bare.size() - (!bare.empty() && bare.back() == '\r'));
      r_.continued = !ended && !last.empty() && last.back() == '\\';
    }
    line_.clear();
    physical_ = 0;
  }

  // A dropped line whose value does not read: said, so that none is lost.
  void Other(std::int64_t number, std::string_view bare) {
    if (r_.other_count++ == 0) {
      r_.first_other_line = number;
      r_.first_other.assign(bare.substr(0, 40));
    }
    if (!others_) return;
    others_->Begin(number);
    others_->Text(bare);
    others_->End();
  }

  Output& out_;
  const XdcCells& cells_;
  DroppedLines* dropped_;
  OtherLines* others_;
  std::vector<std::int64_t>* unsure_;
  FilterResult r_;
  std::string line_;           // the line gathered so far, line ends and all
  std::int64_t physical_ = 0;  // the lines of the file it spans
  bool first_ = true, bom_ = true, foreign_ = false;
};

}  // namespace

PassResult FilterXdc(Source& xdc, Output& out, const XdcCells& cells, FilterResult* result,
                     OsError* err, DroppedLines* dropped, OtherLines* others,
                     std::vector<std::int64_t>* unsure) {
  XdcPass pass(out, cells, dropped, others, unsure);
  return RunLinePass(xdc, out, pass, result, err);
}

}  // namespace romseed
