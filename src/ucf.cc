#include "ucf.h"

#include <algorithm>
#include <cstring>

#include "hex.h"

namespace romseed {
namespace {

constexpr char kInst[] = "INST \"";
constexpr std::string_view kInitHead = "\" INIT_", kInitpHead = "\" INITP_";
constexpr char kAssign[] = " = ";
constexpr std::size_t kValueDigits = 64;
// What follows the block number up to the `;`, for IsStatementEnd: its head,
// two index digits and the assignment, as a template of 16 bytes.
constexpr char kEndTemplate[16] = "\" INIT_?? = ";
constexpr std::size_t kStatementEnd = kInitHead.size() + 2 + 3 + kValueDigits + 1;
// Each statement's head is copied as one fixed-size piece when this short.
constexpr std::size_t kShortHead = 32;

// The index, the assignment and three bytes that the value overwrites, for
// each index: one eight-byte copy; the index in lower case, then in upper.
constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
struct IndexTexts {
  char text[2][256][8];
  constexpr IndexTexts() : text() {
    for (std::size_t k = 0; k < 256; ++k) {
      for (int upper = 0; upper < 2; ++upper) {
        const char* digits = upper ? kUpperHexDigits : kHexDigits;
        char* t = text[upper][k];
        t[0] = digits[k >> 4], t[1] = digits[k & 15];
        t[2] = kAssign[0], t[3] = kAssign[1], t[4] = kAssign[2];
      }
    }
  }
};
constexpr IndexTexts kIndex;

// Reads `n` hex digits of either case from `*p` on; false if not all are.
bool TakeHex(std::string_view* p, std::size_t n, std::uint64_t* value) {
  if (p->size() < n) return false;
  *value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const int d = HexValue((*p)[i]);
    if (d < 0) return false;
    *value = *value << 4 | static_cast<unsigned>(d);
  }
  p->remove_prefix(n);
  return true;
}

bool TakeText(std::string_view* p, std::string_view text) {
  if (p->substr(0, text.size()) != text) return false;
  p->remove_prefix(text.size());
  return true;
}

}  // namespace

std::string DeletionPrefix(std::string_view component) {
  return std::string(kInst).append(component);
}

std::string AttributeName(bool parity, std::size_t index, bool upper) {
  return std::string(parity ? kInitpHead.substr(2) : kInitHead.substr(2)) +
         std::string(kIndex.text[upper][index & 255], 2);
}

void UcfWriter::SetInstance(std::string_view instance, bool parity, bool upper) {
  index_ = kIndex.text[upper];
  // The next instance of a row, of the same kind: only its name changes, in place.
  const std::size_t inst = sizeof kInst - 1;
  const std::size_t head_size = inst + instance.size() + (parity ? kInitpHead : kInitHead).size();
  if (parity == parity_ && head_size_ == head_size) {
    std::memcpy(&head_[inst], instance.data(), instance.size());
    return;
  }
  parity_ = parity;
  head_.assign(kInst).append(instance).append(parity ? kInitpHead : kInitHead);
  head_size_ = head_.size();
  head_.resize(std::max(head_size_, kShortHead));
}

void UcfWriter::Write(Output& out, std::size_t first, std::size_t n, const unsigned char* values) {
  const std::size_t size = 5 + kValueDigits + 1 + eol_.size();  // of a statement but its head
  char* p = out.Extend(n * (head_size_ + size));
  for (std::size_t k = first; k < first + n; ++k, values += 32) {
    // Every statement is longer than kShortHead and the index's eight
    // bytes: what is copied beyond a piece is overwritten by the next.
    // A copy of a fixed size, as most heads are short, is one move.
    if (head_size_ <= kShortHead) {
      std::memcpy(p, head_.data(), kShortHead);
    } else {
      std::memcpy(p, head_.data(), head_size_);
    }
    p += head_size_;
    std::memcpy(p, index_[k], 8);
    FormatValue(values, p + 5);
    p += 5 + kValueDigits;
    *p++ = ';';
    for (char c : eol_) *p++ = c;
  }
}

std::size_t LongestStatementTail() { return 16 + kStatementEnd + 1 + 1; }

bool IsStatementTail(std::string_view tail) {
  if (!tail.empty() && tail.back() == '\r') tail.remove_suffix(1);
  if (tail.size() <= kStatementEnd || tail.size() >= LongestStatementTail()) return false;
  unsigned b = static_cast<unsigned>(tail.size() - kStatementEnd);
  std::string initp;
  if (b > 1 && tail.substr(b - 1, kInitpHead.size()) == kInitpHead) {
    // Seen without its P, it is an INIT statement.
    initp.assign(tail).erase(b-- + kInitpHead.size() - 3, 1);  // its P
    tail = initp;
  }
  return LowerHexRun(tail.data()) >= b && IsStatementEnd(tail.data() + b, kEndTemplate);
}

const char* StatementTailEnd(const char* tail) {
  const unsigned b = LowerHexRun(tail);
  const char* e = tail + b + kStatementEnd;
  if (*e == '\r') ++e;
  return b > 0 && *e == '\n' && IsStatementEnd(tail + b, kEndTemplate) ? e : nullptr;
}

bool ParseStatement(std::string_view line, UcfStatement* s) {
  if (!TakeText(&line, kInst)) return false;
  const std::size_t quote = line.find('"');
  if (quote == std::string_view::npos) return false;
  s->instance = line.substr(0, quote);
  line.remove_prefix(quote);
  s->parity = TakeText(&line, kInitpHead);
  std::uint64_t index, byte;
  if ((!s->parity && !TakeText(&line, kInitHead)) || !TakeHex(&line, 2, &index) ||
      !TakeText(&line, kAssign)) {
    return false;
  }
  s->index = static_cast<std::size_t>(index);
  for (std::size_t i = 32; i-- > 0;) {
    if (!TakeHex(&line, 2, &byte)) return false;
    s->value[i] = static_cast<unsigned char>(byte);
  }
  return line == ";";
}

InstanceStatements::InstanceStatements(std::vector<std::string> instances)
    : instances_(instances.begin(), instances.end()) {
  for (const std::string& name : instances_) look_ = std::max(look_, name.size() + kInitpHead.size());
}

bool InstanceStatements::Drops(std::string_view head) const {
  const std::size_t quote = head.find('"');
  if (quote == std::string_view::npos) return false;
  const std::string_view rest = head.substr(quote);
  return (rest.substr(0, kInitHead.size()) == kInitHead ||
          rest.substr(0, kInitpHead.size()) == kInitpHead) &&
         instances_.count(head.substr(0, quote)) > 0;
}

std::size_t InstanceStatements::longest() const { return look_ + kStatementEnd + 1; }

bool InstanceStatements::IsStatement(std::string_view tail) const {
  if (!tail.empty() && tail.back() == '\r') tail.remove_suffix(1);
  UcfStatement s;
  return ParseStatement(std::string(kInst).append(tail), &s);
}

}  // namespace romseed
