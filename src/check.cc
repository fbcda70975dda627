#include "check.h"

#include <memory>
#include <vector>

#include "filter.h"
#include "hex.h"
#include "layout.h"
#include "made_file.h"
#include "readers.h"
#include "ucf.h"

namespace romseed {
namespace {

constexpr std::size_t kShown = 20;  // differences said, about a screenful
constexpr std::size_t kValueBytes = 32;

// The statements that a run would write for an image, and what the UCF's
// dropped lines say of them.
class Comparison : public DroppedLines {
 public:
  Comparison(const Image& image, const Layout& layout, const Job& job)
      : image_(image), layout_(layout), job_(job), first_(layout.size() + 1, 0) {
    // Where each placement's statements begin among all that a run writes.
    for (std::size_t i = 0; i < layout.size(); ++i) {
      const StatementCount n = layout.Count(image, layout.at(i));
      first_[i + 1] = first_[i] + n.inits + n.initps;
    }
    first_seen_.assign(first_.back(), 0);
  }

  void Take(std::int64_t line, std::string_view tail, bool whole) override {
    UcfStatement s;
    std::size_t i;
    const std::string text = job_.delstr + std::string(tail);
    if (!whole || !ParseStatement(text, &s) || !layout_.Find(s.instance, &i)) {
      const bool cut = !whole || tail.size() > 60;
      Differs("line " + std::to_string(line) + ": " + job_.delstr +
              std::string(tail.substr(0, 60)) + (cut ? "..." : "") + " is not a statement of " +
              job_.component + ": a run would drop it");
      return;
    }
    const Placement p = i < layout_.size() ? layout_.at(i) : layout_.at(0);
    const std::string what =
        std::string(s.instance) + " " + AttributeName(s.parity, s.index, p.shape.upper_index);
    const StatementCount n = i < layout_.size() ? layout_.Count(image_, p) : StatementCount();
    if (s.index >= (s.parity ? n.initps : n.inits)) {
      Differs("line " + std::to_string(line) + ": " + what + " is not needed by " + job_.bin_path);
      return;
    }
    const std::size_t ordinal = first_[i] + (s.parity ? n.inits : 0) + s.index;
    if (first_seen_[ordinal] != 0) {
      Differs("line " + std::to_string(line) + ": " + what + " occurs twice (first at line " +
              std::to_string(first_seen_[ordinal]) + ")");
      return;
    }
    first_seen_[ordinal] = line;
    out_of_order_ |= seen_any_ && ordinal < last_ordinal_;
    seen_any_ = true;
    last_ordinal_ = ordinal;
    CompareValue(line, s, p, what);
  }

  // Says what is missing, once the UCF is read.
  void Finish() {
    for (std::size_t i = 0; i < layout_.size(); ++i) {
      const Placement p = layout_.at(i);
      const StatementCount n = layout_.Count(image_, p);
      for (std::size_t k = 0; k < n.inits + n.initps; ++k) {
        if (first_seen_[first_[i] + k] != 0) continue;
        const bool parity = k >= n.inits;
        Differs(p.instance + " " + AttributeName(parity, parity ? k - n.inits : k, p.shape.upper_index) +
                " is missing");
      }
    }
  }

  std::size_t differences() const { return differences_; }
  bool out_of_order() const { return out_of_order_; }
  const std::string& said() const { return said_; }

 private:
  void CompareValue(std::int64_t line, const UcfStatement& s, const Placement& p,
                    const std::string& what) {
    unsigned char want[kValueBytes];
    Slice(image_, p, s.parity, s.index, want);
    // The byte of the data, or of the parity bits, where the value begins; a
    // parity bit is numbered by its data byte.
    const unsigned bits = s.parity ? p.width / 9 : DataBits(p.width);
    const std::uint64_t from = p.first_word * bits / 8 + s.index * kValueBytes;
    for (std::size_t i = 0; i < kValueBytes; ++i) {
      if (want[i] == s.value[i]) continue;
      std::string at;
      if (!s.parity) {
        at = "data byte 0x" + Hex(from + i) + ": " + Hex(want[i]) + " in " + job_.bin_path + ", " +
             Hex(s.value[i]) + " in the UCF";
      } else {
        unsigned bit = 0;
        while (((want[i] ^ s.value[i]) >> bit & 1) == 0) ++bit;
        at = "parity bit of data byte 0x" + Hex((from + i) * 8 + bit) + ": " +
             std::to_string(want[i] >> bit & 1) + " in " + job_.bin_path + ", " +
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
  const Layout& layout_;
  const Job& job_;
  std::vector<std::size_t> first_;        // of each placement's statements, and their end
  std::vector<std::int64_t> first_seen_;  // line of each statement a run writes, 0 if none yet
  std::size_t differences_ = 0, last_ordinal_ = 0;
  bool seen_any_ = false, out_of_order_ = false;
  std::string said_;
};

}  // namespace

// Compares the UCF `ucf` with the statements a run of `job` writes for `image`.
bool Compare(const Image& image, Source& ucf, const Job& job, Sink& out, int* status, Failure* err) {
  const RowLayout layout(job.component, job.shape, image.width(), job.parity, image.size());
  Comparison comparison(image, layout, job);
  Discard none;
  Output kept(none);
  FilterResult result;
  OsError error;
  const PassResult end = FilterUcf(ucf, kept, job.delstr, &result, &error, &comparison);
  if (end != PassResult::kOk) return PassFailed(end, "ucf file " + job.ucf_path, "", error, err);
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
                 " for " + job.component + verdict);
  *status = n == 0 ? kMatch : kDiffer;
  return true;
}

bool CheckStreams(Source& bin, Source& ucf, const Job& job, Sink& out, int* status, Failure* err) {
  Image image(8);
  return ReadImage(bin, job, &image, err) && Compare(image, ucf, job, out, status, err);
}

bool Check(const Job& job, Os& os, Sink& out, const Waiting& waiting, int* status, Failure* err) {
  // The binary first, whole: a pipe still being written must not keep the
  // UCF's turn from the runs that wait for it.
  OsError error;
  Image image(8);
  {
    std::unique_ptr<File> bin = os.Open(job.bin_path, kOpenRead, &error);
    if (!bin) return Fail(err, "can't open binary file " + job.bin_path, error.reason);
    if (!ReadImage(*bin, job, &image, err)) return false;
  }
  std::unique_ptr<File> ucf = OpenUcfToRead(os, job.ucf_path, &error, waiting);
  if (!ucf) return Fail(err, "can't open ucf file " + job.ucf_path, error.reason);
  return Compare(image, *ucf, job, out, status, err);
}

}  // namespace romseed
