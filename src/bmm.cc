#include "bmm.h"

#include <algorithm>
#include <set>

#include "hex.h"

namespace romseed {
namespace {

constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;
// A bound on what a file may make a run fill: 4096 RAMB36 hold 18 MiB.
constexpr std::size_t kMaxLanes = 4096;

struct Token {
  std::string text;
  int line;
};

// ASCII alone, whatever the locale says.
bool IsAlnum(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsWordByte(unsigned char c) {
  return IsAlnum(c) || c == '_' || c == '/' || c == '.' || c == '$' || c == '-' || c == ':' ||
         c == '<' || c == '>';
}

// The end of the token that begins at `i`, a word, a bracketed group
// ([31:24]), `;` or `=`; npos for none.
std::size_t TokenEnd(const std::string& text, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (c == ';' || c == '=') return i + 1;
  if (c == '[') {
    const std::size_t end = text.find(']', i);
    return end != std::string::npos && text.find('\n', i) > end ? end + 1 : std::string::npos;
  }
  std::size_t end = i;
  while (end < text.size() && IsWordByte(static_cast<unsigned char>(text[end]))) ++end;
  return end > i ? end : std::string::npos;
}

// The end of the blank or comment that begins at `i`, counting its lines;
// `i` itself where none begins there, npos for a comment that does not end.
std::size_t SkipEnd(const std::string& text, std::size_t i, int* line) {
  std::size_t end = i;
  if (IsSpace(static_cast<unsigned char>(text[i]))) {
    end = i + 1;
  } else if (text.compare(i, 2, "//") == 0) {
    end = std::min(text.find('\n', i), text.size());
  } else if (text.compare(i, 2, "/*") == 0) {
    end = text.find("*/", i + 2);
    if (end == std::string::npos) return end;
    end += 2;
  }
  *line += static_cast<int>(std::count(text.begin() + i, text.begin() + end, '\n'));
  return end;
}

// Splits the text into tokens, without blanks and comments.
bool Tokenize(const std::string& text, const std::string& path, std::vector<Token>* tokens,
              Failure* err) {
  int line = 1;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t skipped = SkipEnd(text, i, &line);
    const std::size_t end = skipped != i ? skipped : TokenEnd(text, i);
    if (end == std::string::npos) {
      const std::string fault = skipped == std::string::npos ? "a comment that does not end"
                                : text[i] == '['               ? "a [ without its ]"
                                                               : "'" + std::string(1, text[i]) + "' has no place in a BMM file";
      return Fail(err, path + ":" + std::to_string(line) + ": " + fault);
    }
    if (skipped == i) tokens->push_back({text.substr(i, end - i), line});
    i = end;
  }
  tokens->push_back({"", line});  // the end
  return true;
}

// A number as BMM files write them: 0x hex, or decimal.
bool ParseNumber(std::string_view s, std::uint64_t* value) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty() || s.size() > 16) return false;
  *value = 0;
  for (char c : s) {
    const int d = HexValue(c);
    if (d < 0 || d >= base) return false;
    *value = *value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
  }
  return true;
}

// `[a:b]` or `[a]` into its numbers.
bool ParseRange(const std::string& t, std::uint64_t* a, std::uint64_t* b) {
  if (t.size() < 3 || t[0] != '[') return false;
  const std::string_view in(t.data() + 1, t.size() - 2);
  const std::size_t colon = in.find(':');
  if (colon == std::string_view::npos) return ParseNumber(in, a) && ParseNumber(in, b);
  return ParseNumber(in.substr(0, colon), a) && ParseNumber(in.substr(colon + 1), b);
}

// The block RAM of a memory type; false for one this tool cannot fill.
bool TypeShape(const std::string& type, BlockShape* shape) {
  return !SameInAnyCase(type, "COMBINED") && FindBlockRam(type, shape);
}

// The port widths a lane of a block RAM may have.
bool IsPortWidth(unsigned width, const BlockShape& shape) {
  switch (width) {
    case 1: case 2: case 4: case 8: case 16:
      return true;
    case 32:
      return shape.initps_per_block > 0 || shape.inits_per_block > 16;
    case 9: case 18: case 36:
      return shape.initps_per_block > 0;
    default:
      return false;
  }
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, std::string path, std::string name)
      : t_(std::move(tokens)), path_(std::move(path)), name_(std::move(name)) {}

  bool Parse(AddressSpace* space, Failure* err) {
    err_ = err;
    while (!Peek().empty()) {
      if (!Statement(space)) return false;
    }
    if (found_) return true;
    std::string names;
    for (const std::string& n : names_) names += (names.empty() ? "" : ", ") + n;
    return Fail(err, path_ + ": no address space " + name_ +
                         (names.empty() ? " (it has none)" : " (it has " + names + ")"));
  }

 private:
  // What stands at the outermost level: a map's start or end, or a space.
  bool Statement(AddressSpace* space) {
    if (SameInAnyCase(Peek(), "ADDRESS_MAP")) {
      // ADDRESS_MAP name type id: spaces follow, up to END_ADDRESS_MAP;
      for (int k = 0; k < 4; ++k) Next();
      return true;
    }
    if (SameInAnyCase(Peek(), "END_ADDRESS_MAP")) return Next(), Expect(";");
    if (SameInAnyCase(Peek(), "ADDRESS_SPACE") || SameInAnyCase(Peek(), "ADDRESS_BLOCK")) return Space(space);
    return Error("'" + Peek() + "' where ADDRESS_SPACE or ADDRESS_MAP begins");
  }

  const std::string& Peek() const { return t_[at_].text; }
  int Line() const { return t_[at_].line; }
  const std::string& Next() { return t_[at_ < t_.size() - 1 ? at_++ : at_].text; }
  bool Error(const std::string& reason, int line = 0) {
    return Fail(err_, path_ + ":" + std::to_string(line ? line : Line()) + ": " + reason);
  }
  bool Expect(const char* what) {
    if (Peek() == what) return Next(), true;
    return Error(Peek().empty() ? std::string("the file ends where ") + what + " is due"
                                : "'" + Peek() + "' where " + what + " is due");
  }

  // ADDRESS_SPACE name type [start:end] BUS_BLOCK ... END_ADDRESS_SPACE;
  bool Space(AddressSpace* space) {
    const std::string end = SameInAnyCase(Next(), "ADDRESS_SPACE") ? "END_ADDRESS_SPACE" : "END_ADDRESS_BLOCK";
    const int line = Line();
    const std::string name = Next();
    const int type_line = Line();
    const std::string type = Next();
    names_.push_back(name);
    if (name != name_) return SkipTo(end);
    if (found_) return Error("a second address space " + name, line);
    found_ = true;
    AddressSpace s;
    s.name = name;
    BlockShape shape;
    if (!TypeShape(type, &shape)) return Error("memory type " + type + " is not one this tool fills", type_line);
    if (!ParseRange(Peek(), &s.start, &s.end) || s.end < s.start) {
      return Error("'" + Peek() + "' where the space's [start:end] is due");
    }
    Next();
    while (SameInAnyCase(Peek(), "BUS_BLOCK")) {
      Next();
      if (!Block(type, &s)) return false;
    }
    if (!SameInAnyCase(Peek(), end)) return Error("'" + Peek() + "' where BUS_BLOCK or " + end + " is due");
    Next();
    if (!Expect(";")) return false;
    if (s.blocks.empty()) return Error("address space " + name + " has no bus block", line);
    const std::uint64_t bytes = s.words() * s.data_bits() / 8;
    if (bytes != s.end - s.start + 1) {
      return Error("address space " + name + " spans " + std::to_string(s.end - s.start + 1) +
                       " bytes, but its block RAMs hold " + std::to_string(bytes),
                   line);
    }
    *space = std::move(s);
    return true;
  }

  bool SkipTo(const std::string& end) {
    while (!Peek().empty() && !SameInAnyCase(Peek(), end)) Next();
    if (Peek().empty()) return Error("the file ends inside an address space");
    Next();
    return Expect(";");
  }

  // One lane: instance [type] bits [words] {LOC|PLACED|OUTPUT = value} ;
  bool LaneOf(const std::string& space_type, Lane* lane, std::uint64_t* a, std::uint64_t* b,
              std::string* words) {
    lane->line = Line();
    lane->instance = Next();
    lane->type = space_type;
    if (!Peek().empty() && Peek()[0] != '[' && Peek() != ";") lane->type = Next();
    if (!TypeShape(lane->type, &lane->shape)) {
      return Error("memory type " + lane->type + " is not one this tool fills");
    }
    if (!ParseRange(Peek(), a, b) || *a > 4095 || *b > 4095) {
      return Error("'" + Peek() + "' where the bus bits of " + lane->instance + " are due");
    }
    Next();
    if (!Peek().empty() && Peek()[0] == '[') *words = Next();
    while (SameInAnyCase(Peek(), "LOC") || SameInAnyCase(Peek(), "PLACED") || SameInAnyCase(Peek(), "OUTPUT")) {
      Next();
      if (!Expect("=")) return false;
      Next();
    }
    if (lane->instance.find_first_of("\"*?") != std::string::npos) {
      return Error("instance name " + lane->instance + " cannot stand in a statement", lane->line);
    }
    return Expect(";");
  }

  bool Block(const std::string& space_type, AddressSpace* s) {
    BusBlock block;
    const int line = Line();
    std::vector<std::string> words;
    if (!Lanes(space_type, &block, &words)) return false;
    if (block.lanes.empty()) return Error("a bus block without block RAMs", line);
    if (!Shape(&block, s) || !WordRanges(block, words, s->words()) || !Distinct(block, s->name)) return false;
    if (instances_.size() > kMaxLanes) return Error("more block RAMs than a run fills", line);
    s->blocks.push_back(std::move(block));
    return true;
  }

  // The lanes up to END_BUS_BLOCK; and the word range each gives, or "".
  bool Lanes(const std::string& space_type, BusBlock* block, std::vector<std::string>* words) {
    while (!SameInAnyCase(Peek(), "END_BUS_BLOCK")) {
      if (Peek().empty()) return Error("the file ends inside a bus block");
      Lane lane;
      std::uint64_t a, b;
      words->emplace_back();
      if (!LaneOf(space_type, &lane, &a, &b, &words->back())) return false;
      lane.first = static_cast<unsigned>(a);
      lane.last = static_cast<unsigned>(b);
      block->lanes.push_back(std::move(lane));
    }
    Next();
    return Expect(";");
  }

  // A lane's word range: the bus block's, counted in the space from
  // `first`, or from 0.
  bool WordRanges(const BusBlock& block, const std::vector<std::string>& words, std::uint64_t first) {
    for (std::size_t k = 0; k < words.size(); ++k) {
      std::uint64_t a, b;
      if (words[k].empty() ||
          (ParseRange(words[k], &a, &b) && b >= a && b - a + 1 == block.depth && (a == 0 || a == first))) {
        continue;
      }
      return Error(block.lanes[k].instance + " gives words " + words[k] + ", but its bus block covers [" +
                       std::to_string(first) + ":" + std::to_string(first + block.depth - 1) + "]",
                   block.lanes[k].line);
    }
    return true;
  }

  bool Distinct(const BusBlock& block, const std::string& space) {
    for (const Lane& lane : block.lanes) {
      if (!instances_.insert(lane.instance).second) {
        return Error("instance " + lane.instance + " stands twice in address space " + space, lane.line);
      }
    }
    return true;
  }

  static unsigned WidthOf(const Lane& lane) {
    return (lane.first > lane.last ? lane.first - lane.last : lane.last - lane.first) + 1;
  }

  // Checks a bus block's lanes: one width, one way of numbering, bits 0 to
  // W-1 covered once, W as in the space's other blocks; and sets its depth.
  bool Shape(BusBlock* block, AddressSpace* s) {
    unsigned w = 0;
    if (!Widths(block, &w) || !Cover(block, w)) return false;
    const Lane& lead = block->lanes[0];
    if (s->bus_width != 0 && w != s->bus_width) {
      return Error("a bus block of " + std::to_string(w) + " bits, after one of " + std::to_string(s->bus_width),
                   lead.line);
    }
    s->bus_width = w;
    block->depth = lead.shape.bytes() * 8 / DataBits(lead.width);
    for (const Lane& lane : block->lanes) {
      if (lane.shape.bytes() != lead.shape.bytes()) {
        return Error(lane.instance + " holds fewer or more words than " + lead.instance, lane.line);
      }
    }
    return true;
  }

  // Sets `*w` to the sum of the lanes' widths, which must be one, a port
  // width of their block RAM, and the way the lanes number their bits.
  bool Widths(BusBlock* block, unsigned* w) {
    const Lane& lead = block->lanes[0];
    int way = 0;  // 1: [31:24], -1: [0:7], 0: one-bit lanes so far
    for (Lane& lane : block->lanes) {
      const int lane_way = lane.first == lane.last ? 0 : lane.first > lane.last ? 1 : -1;
      if (lane_way != 0 && way != 0 && lane_way != way) {
        return Error("bits " + lane.bits() + " are numbered the other way from the lanes before them", lane.line);
      }
      way = lane_way != 0 ? lane_way : way;
      lane.width = WidthOf(lane);
      if (lane.width != WidthOf(lead)) {
        return Error("lane " + lane.bits() + " is not as wide as " + lead.bits() + ": a bus block's lanes have one width", lane.line);
      }
      if (!IsPortWidth(lane.width, lane.shape)) {
        return Error(std::to_string(lane.width) + "-bit lane " + lane.bits() + " is no port width of " + lane.type, lane.line);
      }
      *w += lane.width;
    }
    block->msb_first = way < 0;
    return true;
  }

  // Checks that the lanes cover bits 0 to `w` - 1 once, and places each.
  bool Cover(BusBlock* block, unsigned w) {
    unsigned top = 0;
    for (const Lane& lane : block->lanes) top = std::max({top, lane.first + 1, lane.last + 1});
    std::vector<int> owner(top, -1);
    for (std::size_t k = 0; k < block->lanes.size(); ++k) {
      Lane& lane = block->lanes[k];
      const unsigned lo = std::min(lane.first, lane.last), hi = std::max(lane.first, lane.last);
      const auto taken = std::find_if(owner.begin() + lo, owner.begin() + hi + 1, [](int o) { return o >= 0; });
      if (taken != owner.begin() + hi + 1) {
        return Error("bit " + std::to_string(taken - owner.begin()) + " is in " + lane.bits() + " and in " +
                         block->lanes[static_cast<std::size_t>(*taken)].bits(), lane.line);
      }
      std::fill(owner.begin() + lo, owner.begin() + hi + 1, static_cast<int>(k));
      lane.low_bit = block->msb_first ? w - 1 - hi : lo;
    }
    if (top <= w) return true;
    const unsigned gap = static_cast<unsigned>(std::find(owner.begin(), owner.end(), -1) - owner.begin());
    unsigned end = gap;
    while (end + 1 < top && owner[end + 1] < 0) ++end;
    return Error("bus bits [" + std::to_string(block->msb_first ? gap : end) + ":" +
                     std::to_string(block->msb_first ? end : gap) + "] are in no lane of this bus block",
                 block->lanes[0].line);
  }

  std::vector<Token> t_;
  std::size_t at_ = 0;
  std::string path_, name_;
  std::vector<std::string> names_;
  std::set<std::string> instances_;
  bool found_ = false;
  Failure* err_ = nullptr;
};

}  // namespace

std::string Lane::bits() const { return "[" + std::to_string(first) + ":" + std::to_string(last) + "]"; }

unsigned AddressSpace::data_bits() const {
  return blocks.empty() ? 0 : DataBits(blocks[0].lanes[0].width) * bus_width / blocks[0].lanes[0].width;
}

std::string AddressSpace::range() const { return "[" + HexAddress(start) + ":" + HexAddress(end) + "]"; }

std::uint64_t AddressSpace::words() const {
  std::uint64_t n = 0;
  for (const BusBlock& b : blocks) n += b.depth;
  return n;
}

bool ReadBmm(Source& in, const std::string& path, const std::string& name, AddressSpace* space,
             Failure* err) {
  std::string text;
  OsError error;
  if (!ReadText(in, kMaxFileBytes, &text, &error)) {
    return Fail(err, "can't read layout file " + path, error.reason);
  }
  std::vector<Token> tokens;
  if (!Tokenize(text, path, &tokens, err)) return false;
  return Parser(std::move(tokens), path, name).Parse(space, err);
}

BusLayout::BusLayout(const AddressSpace& space, Parity parity, bool data_only) {
  std::uint64_t first = 0;
  for (const BusBlock& block : space.blocks) {
    for (const Lane& lane : block.lanes) {
      Placement p;
      p.instance = lane.instance;
      p.shape = lane.shape;
      p.low_bit = lane.low_bit;
      p.width = lane.width;
      p.first_word = first;
      p.words = block.depth;
      p.parity = parity;
      p.data_only = data_only;
      p.data_low = lane.low_bit / lane.width * DataBits(lane.width);
      index_.emplace(p.instance, placements_.size());
      placements_.push_back(std::move(p));
    }
    first += block.depth;
  }
}

bool BusLayout::Find(std::string_view name, std::size_t* i) const {
  const auto found = index_.find(name);
  if (found == index_.end()) return false;
  *i = found->second;
  return true;
}

StatementCount BusLayout::Count(const Image&, const Placement& p) const {
  StatementCount n;
  n.inits = static_cast<std::size_t>(p.words * DataBits(p.width) / 256);
  if (HasParity(p.width)) n.initps = static_cast<std::size_t>(p.words * (p.width / 9) / 256);
  return n;
}

}  // namespace romseed
