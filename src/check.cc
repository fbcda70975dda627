#include "check.h"

#include <memory>
#include <vector>

#include "constraints.h"
#include "filter.h"
#include "hex.h"
#include "layout.h"
#include "made_file.h"
#include "readers.h"
#include "ucf.h"
#include "word_file.h"

namespace romseed {
namespace {

constexpr std::size_t kShown = 20;  // differences said, about a screenful
constexpr std::size_t kValueBytes = 32;
// Where a line said of a word stands for the word's line in the file.
constexpr char kWordLine[] = "\x01";

// The first bit in which two values differ; 256 if none.
std::size_t FirstDifference(const unsigned char a[kValueBytes], const unsigned char b[kValueBytes]) {
  std::size_t bit = 0;
  while (bit < 8 * kValueBytes && ((a[bit / 8] ^ b[bit / 8]) >> (bit % 8) & 1) == 0) ++bit;
  return bit;
}

// The statements that a run would write for an image, and what the UCF's
// dropped lines say of them.
class Comparison : public DroppedLines {
 public:
  // `space`, for a layout run: its bus words are the image's.
  Comparison(const Image& image, const Layout& layout, const Job& job,
             const AddressSpace* space = nullptr)
      : image_(image), layout_(layout), job_(job), space_(space), first_(layout.size() + 1, 0) {
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
    std::string text;
    if (!whole || !ParseConstraint(job_, tail, &text, &s) || !layout_.Find(s.instance, &i)) {
      const bool cut = !whole || tail.size() > 60;
      Differs("line " + std::to_string(line) + ": " + (job_.xdc ? "" : job_.delstr) +
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
        const std::size_t index = parity ? k - n.inits : k;
        Differs(p.instance + " " + AttributeName(parity, index, p.shape.upper_index) + " is missing");
      }
    }
  }

  std::size_t differences() const { return differences_; }
  bool out_of_order() const { return out_of_order_; }
  // What it has to say, a line each; where a line names a word of a word
  // file, kWordLine stands for where the file gives it.
  const std::vector<std::string>& said() const { return said_; }
  // The words that the lines said name, by the line's place in said().
  const std::vector<std::pair<std::size_t, std::uint64_t>>& words() const { return words_; }

 private:
  void CompareValue(std::int64_t line, const UcfStatement& s, const Placement& p,
                    const std::string& what) {
    unsigned char want[kValueBytes];
    Slice(image_, p, s.parity, s.index, want);
    if (space_) return CompareBusWords(line, s, p, what, want);
    if (job_.word_width != 0) return CompareWords(line, s, p, what, want);
    // The byte of the data, or of the parity bits, where the value begins; a
    // parity bit is numbered by its data byte.
    const unsigned bits = s.parity ? p.width / 9 : DataBits(p.width);
    const std::uint64_t from = p.first_word * bits / 8 + s.index * kValueBytes;
    for (std::size_t i = 0; i < kValueBytes; ++i) {
      if (want[i] == s.value[i]) continue;
      std::string at;
      if (!s.parity) {
        at = "data byte 0x" + Hex(from + i) + ": " + Hex(want[i]) + " in " + job_.bin_path + ", " +
             Hex(s.value[i]) + " in the " + Dialect();
      } else {
        unsigned bit = 0;
        while (((want[i] ^ s.value[i]) >> bit & 1) == 0) ++bit;
        at = "parity bit of data byte 0x" + Hex((from + i) * 8 + bit) + ": " +
             std::to_string(want[i] >> bit & 1) + " in " + job_.bin_path + ", " +
             std::to_string(s.value[i] >> bit & 1) + " in the " + Dialect();
      }
      Differs("line " + std::to_string(line) + ": " + what + " differs at " + at);
      return;
    }
  }

  // A word file's difference in the file's own terms: the first word whose
  // bits the statement holds otherwise, in its own digits, as the file has
  // it and with the UCF's bits in place of its own.
  void CompareWords(std::int64_t line, const UcfStatement& s, const Placement& p,
                    const std::string& what, const unsigned char want[kValueBytes]) {
    const unsigned bits = s.parity ? p.width / 9 : DataBits(p.width);
    const std::size_t bit = FirstDifference(want, s.value);
    if (bit == 8 * kValueBytes) return;
    const std::size_t at = bit / bits * bits;  // the word's first bit in the value
    std::uint64_t theirs = 0;
    for (unsigned k = 0; k < bits; ++k) {
      theirs |= static_cast<std::uint64_t>(s.value[(at + k) / 8] >> ((at + k) % 8) & 1) << k;
    }
    const std::uint64_t address = p.first_word + s.index * (8 * kValueBytes / bits) + bit / bits;
    const std::uint64_t word = image_.Get(address);
    const int digits = static_cast<int>((p.width + 3) / 4);
    if (differences_ < kShown) words_.emplace_back(said_.size(), address);
    Differs("line " + std::to_string(line) + ": " + what + " differs at word 0x" + Hex(address, 1) +
            kWordLine + ": " + Hex(word, digits) + " in " + job_.bin_path + ", " +
            Hex(WithStatementBits(word, p, s.parity, theirs), digits) + " in the " + Dialect());
  }

  // A layout's difference: the first bus word whose bits the statement
  // holds otherwise, by its byte address where the program has them.
  void CompareBusWords(std::int64_t line, const UcfStatement& s, const Placement& p,
                       const std::string& what, const unsigned char want[kValueBytes]) {
    const std::size_t bit = FirstDifference(want, s.value);
    if (bit == 8 * kValueBytes) return;
    const unsigned bits = s.parity ? p.width / 9 : DataBits(p.width);
    const std::uint64_t word = p.first_word + s.index * (8 * kValueBytes / bits) + bit / bits;
    const unsigned bytes = space_->data_bits() / 8;
    Differs("line " + std::to_string(line) + ": " + what + " differs at bus word @" + Hex(word, 1) +
            (p.data_only ? " (address " + HexAddress(space_->start + word * bytes) + ")" : "") +
            " from " + job_.bin_path);
  }

  std::string Dialect() const { return job_.xdc ? "XDC" : "UCF"; }

  void Differs(const std::string& line) {
    if (differences_++ < kShown) said_.push_back(line);
  }

  const Image& image_;
  const Layout& layout_;
  const Job& job_;
  const AddressSpace* space_;
  std::vector<std::size_t> first_;        // of each placement's statements, and their end
  std::vector<std::int64_t> first_seen_;  // line of each statement a run writes, 0 if none yet
  std::size_t differences_ = 0, last_ordinal_ = 0;
  bool seen_any_ = false, out_of_order_ = false;
  std::vector<std::string> said_;
  std::vector<std::pair<std::size_t, std::uint64_t>> words_;
};

}  // namespace

// Compares the UCF `ucf` with the statements a run of `job` writes for the
// image of `*comparison`.
bool Compare(Source& ucf, const Job& job, Comparison* comparison, Failure* err,
             const AddressSpace* space) {
  Discard none;
  Output kept(none);
  FilterResult result;
  OsError error;
  const PassResult end = FilterConstraints(ucf, kept, job, space, &result, &error, comparison, nullptr);
  if (end != PassResult::kOk) return PassFailed(end, job.file() + job.ucf_path, "", error, err);
  comparison->Finish();
  return true;
}

// Says what the comparison found on `out`, with the lines of the words named
// where `lines` gives them, and sets `*status`.
void Say(const Comparison& comparison, const Job& job, const std::vector<std::int64_t>& lines,
         Sink& out, int* status) {
  const std::size_t n = comparison.differences();
  std::vector<std::string> said = comparison.said();
  for (std::size_t k = 0; k < comparison.words().size(); ++k) {
    std::string& line = said[comparison.words()[k].first];
    const std::int64_t at = k < lines.size() ? lines[k] : 0;
    line.replace(line.find(kWordLine), 1,
                 at > 0 ? " (" + job.bin_path + " line " + std::to_string(at) + ")" : "");
  }
  std::string text;
  for (const std::string& line : said) text += line + "\n";
  if (n > kShown) text += "... and " + std::to_string(n - kShown) + " more\n";
  if (n == 0 && comparison.out_of_order()) {
    text += "the statements stand in another order than a run writes them (a hand edit?)\n";
  }
  const std::string verdict = n == 0   ? ": match\n"
                              : n == 1 ? ": 1 difference\n"
                                       : ": " + std::to_string(n) + " differences\n";
  Print(out, text + job.ucf_path + (n == 0 ? " holds " : " does not hold ") + job.bin_path +
                 " for " + job.component + verdict);
  *status = n == 0 ? kMatch : kDiffer;
}

// The lines of the word file, read again from its start, that give each
// word named; none where it cannot be read again (a pipe).
std::vector<std::int64_t> WordLines(Os& os, const Job& job, const Comparison& comparison) {
  if (comparison.words().empty()) return {};
  std::vector<std::uint64_t> addresses;
  for (const auto& named : comparison.words()) addresses.push_back(named.second);
  OsError error;
  std::unique_ptr<File> bin = os.Open(job.bin_path, kOpenRead, &error);
  std::vector<std::int64_t> lines;
  Image again(job.word_width);
  Failure unread;  // then the addresses alone
  const bool again_read = bin && bin->info().regular &&
                          LinesOfWords(*bin, job.bin_path, addresses, &again, &lines, &unread);
  return again_read ? lines : std::vector<std::int64_t>();
}

namespace {

// The image a run of `job` writes and where its words go: a component's row,
// or the bus words of a layout's space.
struct Memory {
  Image image{8};
  std::unique_ptr<Layout> layout;
};

bool ReadMemory(Source& bin, const Job& job, const AddressSpace* space,
                Memory* memory, Failure* err) {
  if (space) {
    SpaceImage read;
    if (!ReadSpaceImage(bin, job, *space, &read, err)) return false;
    memory->image = std::move(read.image);
    memory->layout = std::make_unique<BusLayout>(*space, job.parity, read.bytes);
    return true;
  }
  if (!ReadImage(bin, job, &memory->image, err)) return false;
  memory->layout = std::make_unique<RowLayout>(job.component, job.shape, memory->image.width(),
                                               job.parity, memory->image.size());
  return true;
}

}  // namespace

bool CheckStreams(Source& bin, Source& ucf, const Job& job, Sink& out, int* status, Failure* err,
                  const AddressSpace* space) {
  Memory memory;
  if (!ReadMemory(bin, job, space, &memory, err)) return false;
  Comparison comparison(memory.image, *memory.layout, job, space);
  if (!Compare(ucf, job, &comparison, err, space)) return false;
  Say(comparison, job, {}, out, status);
  return true;
}

bool Check(const Job& job, Os& os, Sink& out, const Waiting& waiting, int* status, Failure* err) {
  AddressSpace space;
  const AddressSpace* layout = job.layout_path.empty() ? nullptr : &space;
  if (layout && !ReadLayoutOf(os, job, &space, err)) return false;
  // The binary first, whole: a pipe still being written must not keep the
  // UCF's turn from the runs that wait for it.
  OsError error;
  Memory memory;
  {
    std::unique_ptr<File> bin = os.Open(job.bin_path, kOpenRead, &error);
    if (!bin) return Fail(err, "can't open binary file " + job.bin_path, error.reason);
    if (!ReadMemory(*bin, job, layout, &memory, err)) return false;
  }
  Comparison comparison(memory.image, *memory.layout, job, layout);
  {
    HeldUcf ucf;
    if (!OpenUcfToRead(os, job.ucf_path, &ucf, &error, waiting)) {
      return Fail(err, "can't open " + job.file() + job.ucf_path, error.reason);
    }
    if (!Compare(*ucf.file, job, &comparison, err, layout)) return false;
  }
  // The UCF's turn is over before the binary is read again.
  Say(comparison, job, WordLines(os, job, comparison), out, status);
  return true;
}

}  // namespace romseed
