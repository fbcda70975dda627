#include "check.h"

#include <memory>
#include <vector>

#include "filter.h"
#include "hex.h"
#include "made_file.h"
#include "word_file.h"

namespace romseed {
namespace {

constexpr std::size_t kShown = 20;  // differences said, about a screenful
constexpr std::size_t kValueBytes = 32;

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

// One statement of the component, as a UCF holds it.
struct Statement {
  std::uint64_t block = 0;
  bool parity = false;  // INITP_ rather than INIT_
  unsigned index = 0;
  unsigned char value[kValueBytes];  // byte 0 first: the value's last two digits
};

// True if `tail`, what follows the prefix, is a statement as this tool or
// another writes it: the hex digits in either case.
bool ParseStatement(std::string_view tail, Statement* s) {
  std::size_t digits = 0;
  while (digits < tail.size() && digits <= 16 && HexValue(tail[digits]) >= 0) ++digits;
  std::uint64_t index, byte;
  if (digits == 0 || digits > 16 || !TakeHex(&tail, digits, &s->block)) return false;
  s->parity = TakeText(&tail, "\" INITP_");
  if (!s->parity && !TakeText(&tail, "\" INIT_")) return false;
  if (!TakeHex(&tail, 2, &index) || !TakeText(&tail, " = ")) return false;
  s->index = static_cast<unsigned>(index);
  for (std::size_t i = kValueBytes; i-- > 0;) {
    if (!TakeHex(&tail, 2, &byte)) return false;
    s->value[i] = static_cast<unsigned char>(byte);
  }
  return tail == ";";
}

// The statements that a run would write for an image, and what the UCF's
// dropped lines say of them.
class Comparison : public DroppedLines {
 public:
  Comparison(const Image& image, const Job& job)
      : image_(image),
        job_(job),
        name_(job.delstr.substr(6)),
        per_block_(job.shape.inits_per_block + (image.has_parity ? job.shape.initps_per_block : 0)),
        first_seen_(Count(), 0) {}

  void Take(std::int64_t line, std::string_view tail, bool whole) override {
    Statement s;
    if (!whole || !ParseStatement(tail, &s)) {
      const bool cut = !whole || tail.size() > 60;
      Differs("line " + std::to_string(line) + ": " + job_.delstr +
              std::string(tail.substr(0, 60)) + (cut ? "..." : "") + " is not a statement of " +
              name_ + ": a run would drop it");
      return;
    }
    const std::string what =
        name_ + Hex(s.block) + (s.parity ? " INITP_" : " INIT_") + Hex(s.index);
    std::size_t ordinal;
    if (!Ordinal(s.block, s.parity, s.index, &ordinal)) {
      Differs("line " + std::to_string(line) + ": " + what + " is not needed by " + job_.bin_path);
      return;
    }
    if (first_seen_[ordinal] != 0) {
      Differs("line " + std::to_string(line) + ": " + what + " occurs twice (first at line " +
              std::to_string(first_seen_[ordinal]) + ")");
      return;
    }
    first_seen_[ordinal] = line;
    out_of_order_ |= seen_any_ && ordinal < last_ordinal_;
    seen_any_ = true;
    last_ordinal_ = ordinal;
    CompareValue(line, s, what);
  }

  // Says what is missing, once the UCF is read.
  void Finish() {
    for (std::size_t ordinal = 0; ordinal < first_seen_.size(); ++ordinal) {
      if (first_seen_[ordinal] != 0) continue;
      const std::uint64_t block = ordinal / per_block_;
      const std::size_t k = ordinal % per_block_;
      const std::size_t inits = InitsOf(block);
      Differs(name_ + Hex(block) + (k < inits ? " INIT_" + Hex(k) : " INITP_" + Hex(k - inits)) +
              " is missing");
    }
  }

  std::size_t differences() const { return differences_; }
  bool out_of_order() const { return out_of_order_; }
  const std::string& said() const { return said_; }

 private:
  std::size_t Bytes() const { return job_.shape.bytes(); }
  // Data bytes of instance `block` present in the image.
  std::size_t BytesOf(std::uint64_t block) const {
    const std::uint64_t from = block * Bytes();
    return from >= image_.data.size() ? 0
                                      : std::min<std::size_t>(Bytes(), image_.data.size() - from);
  }
  std::size_t InitsOf(std::uint64_t block) const { return (BytesOf(block) + 31) / 32; }
  std::size_t InitpsOf(std::uint64_t block) const {
    return image_.has_parity ? (BytesOf(block) + 255) / 256 : 0;
  }
  // Every instance but the last is whole, so that an ordinal is a block's
  // first one plus the statement's place in it.
  std::size_t Count() const {
    if (image_.data.empty()) return 0;
    const std::uint64_t last = (image_.data.size() - 1) / Bytes();
    return last * per_block_ + InitsOf(last) + InitpsOf(last);
  }
  bool Ordinal(std::uint64_t block, bool parity, unsigned index, std::size_t* ordinal) const {
    if (block > image_.data.size() / Bytes()) return false;
    const std::size_t limit = parity ? InitpsOf(block) : InitsOf(block);
    if (index >= limit) return false;
    *ordinal = block * per_block_ + (parity ? InitsOf(block) : 0) + index;
    return true;
  }

  void CompareValue(std::int64_t line, const Statement& s, const std::string& what) {
    const std::vector<unsigned char>& bytes = s.parity ? image_.parity : image_.data;
    const std::size_t from =
        (s.parity ? s.block * Bytes() / 8 : s.block * Bytes()) + s.index * kValueBytes;
    for (std::size_t i = 0; i < kValueBytes; ++i) {
      const unsigned char want = from + i < bytes.size() ? bytes[from + i] : 0;
      if (want == s.value[i]) continue;
      std::string at;
      if (!s.parity) {
        at = "data byte 0x" + Hex(from + i) + ": " + Hex(want) + " in " + job_.bin_path + ", " +
             Hex(s.value[i]) + " in the UCF";
      } else {
        unsigned bit = 0;
        while (((want ^ s.value[i]) >> bit & 1) == 0) ++bit;
        at = "parity bit of data byte 0x" + Hex((from + i) * 8 + bit) + ": " +
             std::to_string(want >> bit & 1) + " in " + job_.bin_path + ", " +
             std::to_string(s.value[i] >> bit & 1) + " in the UCF";
      }
      Differs("line " + std::to_string(line) + ": " + what + " differs at " + at);
      return;
    }
  }

  void Differs(const std::string& line) {
    if (differences_++ < kShown) said_ += line + "\n";
  }

  const Image& image_;
  const Job& job_;
  const std::string name_;
  const std::size_t per_block_;
  std::vector<std::int64_t> first_seen_;  // line of each statement a run writes, 0 if none yet
  std::size_t differences_ = 0, last_ordinal_ = 0;
  bool seen_any_ = false, out_of_order_ = false;
  std::string said_;
};

// The image of the binary: its bytes, or the words of a word file.
bool ReadImage(Source& bin, const Job& job, Image* image, std::string* why) {
  if (job.word_width != 0) return ReadWordFile(bin, job.word_width, job.parity, image, why);
  image->has_parity = false;
  std::string bytes;
  if (!ReadAll(bin, &bytes, why)) return false;
  image->data.assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace

int CheckStreams(Source& bin, Source& ucf, const Job& job, Sink& out, Failure* trouble) {
  Image image;
  std::string why;
  if (!ReadImage(bin, job, &image, &why)) {
    Fail(trouble, "can't read binary file " + job.bin_path, why);
    return kTrouble;
  }
  Comparison comparison(image, job);
  Discard none;
  Output kept(none);
  FilterResult result;
  switch (FilterUcf(ucf, kept, job.delstr, &result, &comparison)) {
    case PassResult::kOk:
      break;
    case PassResult::kNotText:
      Fail(trouble, "ucf file " + job.ucf_path + " is not a text file");
      return kTrouble;
    default:
      Fail(trouble, "can't read ucf file " + job.ucf_path, ucf.error());
      return kTrouble;
  }
  comparison.Finish();
  const std::size_t n = comparison.differences();
  std::string said = comparison.said();
  if (n > kShown) said += "... and " + std::to_string(n - kShown) + " more\n";
  if (n == 0 && comparison.out_of_order()) {
    said += "the statements stand in another order than a run writes them (a hand edit?)\n";
  }
  const std::string verdict = n == 0   ? ": match\n"
                              : n == 1 ? ": 1 difference\n"
                                       : ": " + std::to_string(n) + " differences\n";
  Print(out, said + job.ucf_path + (n == 0 ? " holds " : " does not hold ") + job.bin_path +
                 " for " + job.delstr.substr(6) + verdict);
  return n == 0 ? kMatch : kDiffer;
}

int Check(const Job& job, Os& os, Sink& out, const Waiting& waiting, Failure* trouble) {
  OsError err;
  std::unique_ptr<File> bin = os.Open(job.bin_path, kOpenRead, &err);
  if (!bin) return (Fail(trouble, "can't open binary file " + job.bin_path, err.reason), kTrouble);
  std::unique_ptr<File> ucf = OpenUcfToRead(os, job.ucf_path, &err, waiting);
  if (!ucf) return (Fail(trouble, "can't open ucf file " + job.ucf_path, err.reason), kTrouble);
  return CheckStreams(*bin, *ucf, job, out, trouble);
}

}  // namespace romseed
