#include "filter.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace romseed {
namespace {

// The pass as a machine over the bytes of each read, so that a line is
// decided once, from its start, however many reads it spans.
class LineFilter {
 public:
  LineFilter(Output& out, std::string_view delstr) : out_(out), delstr_(delstr) {}

  // Takes the `got` bytes just read into `buf`.
  void Take(const unsigned char* buf, std::size_t got) {
    start_ = buf;
    p_ = buf;
    end_ = buf + got;
    while (p_ < end_) {
      if (line_ == Line::kDeciding) {
        Decide();
      } else {
        Pass();
      }
    }
    HandOn();
    before_ = end_[-1];
  }

  // Ends the pass: the last line may have no line end.
  FilterResult Finish() {
    if (line_ == Line::kDeciding && matched_ > 0) {
      out_.Put(delstr_.data(), matched_);
      line_ = Line::kKeeping;
    }
    if (line_ == Line::kKeeping) {
      ++r_.copy_count;
      r_.open_line = true;
    } else if (line_ == Line::kDropping) {
      ++r_.delete_count;
    }
    return r_;
  }

 private:
  enum class Line { kDeciding, kKeeping, kDropping };

  // Matches the line's start against delstr, as far as this read goes.
  void Decide() {
    const std::size_t want = delstr_.size() - matched_;
    const std::size_t n = std::min(want, static_cast<std::size_t>(end_ - p_));
    std::size_t i = 0;
    while (i < n && p_[i] == static_cast<unsigned char>(delstr_[matched_ + i])) ++i;
    if (i == want || i == n) {
      HandOn();
      p_ += i;
      matched_ = i == want ? 0 : matched_ + n;  // else the read ended inside the prefix
      if (i == want) line_ = Line::kDropping;
      return;
    }
    // The bytes matched in earlier reads are not held anywhere: they equal
    // delstr, so a kept line takes them from there, and memory stays
    // bounded however long the line is.
    out_.Put(delstr_.data(), matched_);
    matched_ = 0;
    line_ = Line::kKeeping;
  }

  // Moves to the end of the line, or of the read.
  void Pass() {
    if (line_ == Line::kKeeping && !run_) run_ = p_;
    const auto* nl = static_cast<const unsigned char*>(std::memchr(p_, '\n', end_ - p_));
    if (!nl) {
      p_ = end_;
      return;
    }
    if (first_line_) {
      r_.crlf = (nl > start_ ? nl[-1] : before_) == '\r';
      first_line_ = false;
    }
    ++(line_ == Line::kKeeping ? r_.copy_count : r_.delete_count);
    line_ = Line::kDeciding;
    p_ = nl + 1;
  }

  // Kept lines go to the output in one piece, when a stale one begins or the
  // read is used up: short lines cost little more than finding their ends.
  void HandOn() {
    if (run_) out_.Put(run_, p_ - run_);
    run_ = nullptr;
  }

  Output& out_;
  std::string_view delstr_;
  FilterResult r_;
  Line line_ = Line::kDeciding;
  std::size_t matched_ = 0;  // bytes of the current line that match delstr so far
  bool first_line_ = true;
  unsigned char before_ = 0;  // the last byte of the previous read
  const unsigned char* start_ = nullptr;
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
  const unsigned char* run_ = nullptr;  // where the kept bytes not yet handed on begin
};

}  // namespace

PassResult FilterUcf(Source& ucf, Output& out, std::string_view delstr, FilterResult* result) {
  constexpr std::size_t kBufBytes = 1 << 16;
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kBufBytes]);  // only read bytes are looked at
  LineFilter filter(out, delstr);
  for (;;) {
    std::size_t got;
    if (!out.ok()) return PassResult::kCantWrite;
    if (!ucf.Read(buf.get(), kBufBytes, &got)) return PassResult::kCantRead;
    if (got == 0) break;
    if (std::memchr(buf.get(), 0, got)) return PassResult::kNotText;
    filter.Take(buf.get(), got);
  }
  *result = filter.Finish();
  return out.ok() ? PassResult::kOk : PassResult::kCantWrite;
}

}  // namespace romseed
