#include "filter.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "hex.h"
#include "ucf.h"

namespace romseed {
namespace {

constexpr char kByteOrderMark[] = "\xef\xbb\xbf";
// Of a line that is not a statement, the start that the warning shows.
constexpr std::size_t kShownTail = 40;

// The three-argument run's rule: every line that begins with the prefix
// goes; its statements are the component's.
class ComponentRule : public LineRule {
 public:
  std::size_t look() const override { return 0; }
  bool Drops(std::string_view) const override { return true; }
  std::size_t longest() const override { return LongestStatementTail(); }
  bool IsStatement(std::string_view tail) const override { return IsStatementTail(tail); }
  const char* TailEnd(const char* tail) const override { return StatementTailEnd(tail); }
};

// The pass as a machine over the bytes of each read, so that a line is
// decided once, from its start, however many reads it spans.
class LineFilter : public LinePass {
 public:
  LineFilter(Output& out, std::string_view delstr, DroppedLines* dropped, OtherLines* others,
             const LineRule& rule)
      : out_(out), delstr_(delstr), dropped_(dropped), others_(others), rule_(rule),
        look_(rule.look()), longest_(rule.longest()) {}

  // Takes the `got` bytes just read into `buf`.
  void Take(const unsigned char* buf, std::size_t got) override {
    start_ = buf;
    p_ = buf;
    end_ = buf + got;
    drop_from_ = nullptr;
    while (bom_ >= 0 && p_ < end_) SkipByteOrderMark();
    while (p_ < end_) {
      if (line_ == Line::kDeciding) {
        Decide();
      } else if (line_ == Line::kHolding) {
        Hold();
      } else {
        Pass();
      }
    }
    HandOn();
    before_ = end_[-1];
  }

  // True once a control character that text never holds was seen. (The
  // bytes that match the prefix, or a statement, hold none.)
  bool foreign() const override { return foreign_; }

  // Ends the pass: the last line may have no line end.
  FilterResult Finish() override {
    if (bom_ > 0) {
      out_.Put(kByteOrderMark, bom_);
      line_ = Line::kKeeping;
    }
    if (line_ == Line::kHolding) DecideHeld();
    if (line_ == Line::kDropping) EndDropped(nullptr);
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
  enum class Line { kDeciding, kHolding, kKeeping, kDropping };

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
      if (i == want && look_ > 0) {
        line_ = Line::kHolding;
      } else if (i == want) {
        line_ = Line::kDropping;
        drop_from_ = p_;
      }
      return;
    }
    // The bytes matched in earlier reads are not held anywhere: they equal
    // delstr, so a kept line takes them from there, and memory stays
    // bounded however long the line is.
    out_.Put(delstr_.data(), matched_);
    matched_ = 0;
    line_ = Line::kKeeping;
  }

  // Decides a line that begins with the prefix by the bytes that follow it,
  // as the rule asks: from the read where it holds them all, as most lines
  // are, else from those held over reads.
  void Hold() {
    const std::size_t in_read = static_cast<std::size_t>(end_ - p_);
    const std::size_t want = look_ - held_.size();
    const void* nl = std::memchr(p_, '\n', std::min(in_read, want));
    const std::size_t n = nl ? static_cast<const unsigned char*>(nl) - p_ : std::min(in_read, want);
    if (held_.empty() && (nl || n == want)) {
      std::string_view head(reinterpret_cast<const char*>(p_), n);
      if (!head.empty() && head.back() == '\r' && nl) head.remove_suffix(1);
      return Decided(rule_.Drops(head), false);
    }
    FindLineEnd(p_, p_ + n, &foreign_);
    held_.append(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    if (nl || held_.size() == look_) DecideHeld();
  }

  void DecideHeld() {
    std::string_view head = held_;
    if (!head.empty() && head.back() == '\r') head.remove_suffix(1);
    Decided(rule_.Drops(head), true);
  }

  // Drops or keeps the line being held; `held` if its bytes after the
  // prefix so far are in held_, else in the read from p_.
  void Decided(bool drops, bool held) {
    if (drops) {
      line_ = Line::kDropping;
      drop_from_ = p_;
      if (held) tail_ = held_;
    } else {
      out_.Put(delstr_);
      if (held) out_.Put(held_);
      line_ = Line::kKeeping;
    }
    held_.clear();
  }

  // Moves to the end of the line, or of the read.
  void Pass() {
    if (line_ == Line::kKeeping && !run_) run_ = p_;
    const unsigned char* nl = line_ == Line::kDropping ? StatementEnd() : nullptr;
    if (!nl) nl = FindLineEnd(p_, end_, &foreign_);
    if (!nl) {
      if (line_ == Line::kDropping) Carry(drop_from_ ? drop_from_ : start_, end_);
      drop_from_ = nullptr;
      p_ = end_;
      return;
    }
    if (line_ == Line::kDropping && drop_from_ && nl == statement_end_) {
      const char* from = reinterpret_cast<const char*>(drop_from_);
      if (dropped_) HandDropped(std::string_view(from, nl - drop_from_), true);
    } else if (line_ == Line::kDropping) {
      EndDropped(nl);
    }
    EndLine(nl);
  }

  // Counts the line that ends at `nl`; the first one's end sets the style.
  void EndLine(const unsigned char* nl) {
    if (first_line_) {
      r_.crlf = (nl > start_ ? nl[-1] : before_) == '\r';
      first_line_ = false;
    }
    ++(line_ == Line::kKeeping ? r_.copy_count : r_.delete_count);
    line_ = Line::kDeciding;
    p_ = nl + 1;
  }

  // The line end of a dropped line that is a statement lying in this read,
  // as most are, found where the statement must end; else null. Saves
  // searching for it.
  const unsigned char* StatementEnd() {
    statement_end_ = nullptr;
    if (drop_from_ != p_ || !tail_.empty() || static_cast<std::size_t>(end_ - p_) < longest_ + 1) {
      return nullptr;
    }
    const char* e = rule_.TailEnd(reinterpret_cast<const char*>(p_));
    statement_end_ = reinterpret_cast<const unsigned char*>(e);
    return statement_end_;
  }

  // A mark at the very start is copied, and the first line begins after it.
  void SkipByteOrderMark() {
    if (*p_ == static_cast<unsigned char>(kByteOrderMark[bom_])) {
      ++p_;
      if (++bom_ < 3) return;
      out_.Put(kByteOrderMark, 3);
    } else if (bom_ > 0) {
      // The start of a mark but not all of it: a line that delstr cannot begin.
      out_.Put(kByteOrderMark, bom_);
      line_ = Line::kKeeping;
    }
    bom_ = -1;
  }

  // Keeps what a dropped line holds in this read, as far as a statement goes;
  // a line longer than that is none, and goes on to others_ as it comes.
  void Carry(const unsigned char* from, const unsigned char* to) {
    const char* piece = reinterpret_cast<const char*>(from);
    const std::size_t n = static_cast<std::size_t>(to - from);
    if (streaming_) return Stream(piece, n);
    const std::size_t taken = std::min(n, longest_ + 1 - std::min(tail_.size(), longest_ + 1));
    tail_whole_ = tail_whole_ && tail_.size() + n <= longest_;
    tail_.append(piece, taken);
    if (tail_whole_ || !others_) return;
    others_->Begin(LineNumber());
    others_->Text(delstr_);
    streaming_ = true;
    Stream(tail_.data(), tail_.size());
    Stream(piece + taken, n - taken);
  }

  // Hands on a piece of a long dropped line, but a carriage return at its
  // end, which may be the line end's.
  void Stream(const char* piece, std::size_t n) {
    if (n == 0) return;
    if (held_return_) others_->Text("\r");
    held_return_ = piece[n - 1] == '\r';
    others_->Text(std::string_view(piece, n - held_return_));
  }

  std::int64_t LineNumber() const { return r_.copy_count + r_.delete_count + 1; }

  // Counts the dropped line whose tail ends at `to` (null at the input's
  // end) if it is not a statement.
  void EndDropped(const unsigned char* to) {
    if (to) Carry(drop_from_ ? drop_from_ : start_, to);
    std::string_view tail = tail_;
    if (dropped_) HandDropped(tail, tail_whole_);
    const bool other = !(tail_whole_ && rule_.IsStatement(tail));
    if (!tail.empty() && tail.back() == '\r') tail.remove_suffix(1);
    if (other && r_.other_count++ == 0) {
      r_.first_other_line = LineNumber();
      r_.first_other.assign(delstr_).append(tail.substr(0, kShownTail));
      if (tail.size() > kShownTail) r_.first_other += "...";
    }
    if (other && others_ && !streaming_) {
      others_->Begin(LineNumber());
      others_->Text(delstr_);
      others_->Text(tail);
    }
    if (other && others_) others_->End();
    tail_.clear();
    tail_whole_ = true;
    streaming_ = held_return_ = false;
  }

  void HandDropped(std::string_view tail, bool whole) {
    if (!tail.empty() && tail.back() == '\r') tail.remove_suffix(1);
    dropped_->Take(r_.copy_count + r_.delete_count + 1, tail, whole);
  }

  // Kept lines go to the output in one piece, when a stale one begins or the
  // read is used up: short lines cost little more than finding their ends.
  void HandOn() {
    if (run_) out_.Put(run_, p_ - run_);
    run_ = nullptr;
  }

  Output& out_;
  std::string_view delstr_;
  DroppedLines* dropped_;
  OtherLines* others_;
  const LineRule& rule_;
  const std::size_t look_, longest_;  // the rule's, asked once, not at each dropped line
  std::string held_;  // of a line being decided, its bytes after the prefix from earlier reads
  bool streaming_ = false;     // the dropped line is going on to others_ as it comes
  bool held_return_ = false;   // a carriage return at a streamed piece's end, not yet handed on
  FilterResult r_;
  Line line_ = Line::kDeciding;
  std::size_t matched_ = 0;  // bytes of the current line that match delstr so far
  bool first_line_ = true;
  unsigned char before_ = 0;  // the last byte of the previous read
  const unsigned char* start_ = nullptr;
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
  const unsigned char* run_ = nullptr;  // where the kept bytes not yet handed on begin
  const unsigned char* statement_end_ = nullptr;  // as StatementEnd found it
  int bom_ = 0;                         // bytes of a byte-order mark seen; -1 once past it
  const unsigned char* drop_from_ = nullptr;  // where a dropped line's tail begins in this read
  std::string tail_;                    // of a dropped line begun in an earlier read
  bool tail_whole_ = true;              // tail_ holds all of it
  bool foreign_ = false;
};

}  // namespace

PassResult FilterUcf(Source& ucf, Output& out, std::string_view delstr, FilterResult* result,
                     OsError* err, DroppedLines* dropped, OtherLines* others, const LineRule* rule) {
  static const ComponentRule kComponent;
  LineFilter filter(out, delstr, dropped, others, rule ? *rule : kComponent);
  return RunLinePass(ucf, out, filter, result, err);
}

PassResult RunLinePass(Source& in, Output& out, LinePass& pass, FilterResult* result, OsError* err) {
  constexpr std::size_t kBufBytes = 1 << 16;
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kBufBytes]);  // only read bytes are looked at
  for (;;) {
    std::size_t got;
    if (!out.ok()) return PassResult::kCantWrite;
    if (!in.Read(buf.get(), kBufBytes, &got, err)) return PassResult::kCantRead;
    if (got == 0) break;
    pass.Take(buf.get(), got);
    // A NUL or another control character that no UCF holds: most likely a
    // binary given as the UCF.
    if (pass.foreign()) return PassResult::kNotText;
  }
  *result = pass.Finish();
  return out.ok() ? PassResult::kOk : PassResult::kCantWrite;
}

}  // namespace romseed
