#include "word_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "hex.h"

namespace romseed {
namespace {

// What each byte is to the parser: a hex digit's value, or one of these.
enum : unsigned char { kSpace = 16, kUnderscore, kOther };

constexpr unsigned char ClassOfByte(int c) {
  if (HexValue(c) >= 0) return static_cast<unsigned char>(HexValue(c));
  if (c == ' ' || (c >= '\t' && c <= '\r')) return kSpace;
  return c == '_' ? kUnderscore : kOther;
}

struct CharClasses {
  unsigned char of[256];
  constexpr CharClasses() : of() {
    for (int c = 0; c < 256; ++c) of[c] = ClassOfByte(c);
  }
};
constexpr CharClasses kClass;

unsigned char ClassOf(char c) { return kClass.of[static_cast<unsigned char>(c)]; }

// A character as a message shows it: itself if printable, else its code.
std::string Shown(unsigned char c) {
  if (c > 0x20 && c < 0x7f) return std::string("'") + static_cast<char>(c) + "'";
  return "byte " + Hex(c);
}

// The bytes of a source one at a time, as they arrive, with a look at the
// next: memory stays bounded however long the text.
class Text {
 public:
  explicit Text(Source& in) : in_(in), buf_(new unsigned char[kPiece + 1]) {}
  // The byte at the current place, or the one after it; -1 past the end.
  int Peek(std::size_t k = 0) { return Fill(k + 1) ? buf_[at_ + k] : -1; }
  void Next() { ++at_; }
  // False, with `*err` set, once a read has failed.
  bool ok(OsError* err) const { return failed_ ? (*err = error_, false) : true; }

 private:
  static constexpr std::size_t kPiece = 1 << 16;
  // True if `n` bytes from the current place are in the buffer.
  bool Fill(std::size_t n) {
    if (at_ + n <= end_) return true;
    if (ended_) return false;
    // The byte not yet taken moves to the front; a piece follows it.
    end_ -= at_;
    std::memmove(buf_.get(), buf_.get() + at_, end_);
    at_ = 0;
    std::size_t got;
    failed_ = !ReadFull(in_, buf_.get() + end_, kPiece, &got, &error_);
    ended_ = failed_ || got < kPiece;
    end_ += got;
    return at_ + n <= end_;
  }

  Source& in_;
  std::unique_ptr<unsigned char[]> buf_;
  std::size_t at_ = 0, end_ = 0;
  bool ended_ = false, failed_ = false;
  OsError error_;  // of the read that failed, for ok()
};

// Parses the text of a word file into words, by address, as it arrives.
class Parser {
 public:
  // Fails with `message` and the line and reason.
  Parser(Source& in, unsigned width, std::string message, Failure* err)
      : text_(in), width_(width), message_(std::move(message)), err_(err) {}

  // Sets (*lines)[k] to the line that gives the word at `addresses[k]` last,
  // 0 if none does, as Parse meets them.
  void WatchFor(const std::vector<std::uint64_t>& addresses, std::vector<std::int64_t>* lines) {
    watched_ = &addresses;
    lines_ = lines;
    lines->assign(addresses.size(), 0);
  }

  bool Parse(Image* image) {
    std::size_t address = 0, words = 0;
    while (SkipSpaceAndComments()) {
      if (text_.Peek() < 0) return Ended();
      const bool at = text_.Peek() == '@';
      if (at) text_.Next();
      std::uint64_t value;
      if (!Number(at, &value)) return false;
      if (at) {
        if (value >= kMaxWords) return Error(Beyond());
        address = static_cast<std::size_t>(value);
        continue;
      }
      // Words in all, too: an endless @0 0 @0 0 ... ends as well.
      if (address >= kMaxWords || ++words > kMaxWords) return Error("more words than a run takes");
      Store(image, address++, value);
    }
    return false;
  }

 private:
  // Gives the word just read, `value` or wider, to `address`.
  void Store(Image* image, std::uint64_t address, std::uint64_t value) {
    Watch(address);
    if (wide_) {
      image->SetDigits(address, digits_);
    } else {
      image->Set(address, value);
    }
  }

  void Watch(std::uint64_t address) {
    for (std::size_t k = 0; watched_ && k < watched_->size(); ++k) {
      if ((*watched_)[k] == address) (*lines_)[k] = static_cast<std::int64_t>(line_);
    }
  }

  bool Error(const std::string& what) {
    return Fail(err_, message_, "line " + std::to_string(line_) + ": " + what);
  }
  // The end of the text, or a read that failed.
  bool Ended() {
    OsError error;
    return text_.ok(&error) || Fail(err_, message_, error.reason);
  }

  std::string Beyond() const { return "address @" + token_ + " is beyond the last word a run takes"; }

  // True at the end of a line: a line feed, or a carriage return alone, as
  // old Macintosh files end them.
  bool LineEnd() { return text_.Peek() == '\n' || (text_.Peek() == '\r' && text_.Peek(1) != '\n'); }

  // True if a comment that `second` (/ or *) begins starts here.
  bool IsComment(char second) { return text_.Peek() == '/' && text_.Peek(1) == second; }

  bool SkipSpaceAndComments() {
    for (int c; (c = text_.Peek()) >= 0;) {
      if (ClassOf(static_cast<char>(c)) == kSpace) {
        line_ += LineEnd();
        text_.Next();
      } else if (IsComment('/')) {
        // To the line feed, as Verilog reads it; a return alone counts a line.
        for (; text_.Peek() >= 0 && text_.Peek() != '\n'; text_.Next()) line_ += LineEnd();
      } else if (!IsComment('*')) {
        return true;
      } else if (!SkipBlockComment()) {
        return Error("a comment that does not end");
      }
    }
    return true;
  }

  // Moves past a /* */ comment; false, with the line where it began, if it
  // does not end.
  bool SkipBlockComment() {
    const std::size_t from = line_;
    text_.Next();
    text_.Next();
    while (text_.Peek() >= 0 && !(text_.Peek() == '*' && text_.Peek(1) == '/')) {
      line_ += LineEnd();
      text_.Next();
    }
    if (text_.Peek() < 0) {
      line_ = from;
      return false;
    }
    text_.Next();
    text_.Next();
    return true;
  }

  // Reads a hex number's digits, `_` allowed after its first, into `*value`
  // and token_. True if it takes more than 64 bits.
  bool Digits(std::uint64_t* value) {
    token_.clear();
    digits_.clear();
    std::uint64_t v = 0;
    bool too_wide = false;
    for (int c; (c = text_.Peek()) >= 0; text_.Next()) {
      const unsigned char k = ClassOf(static_cast<char>(c));
      if (k >= 16 && !(k == kUnderscore && !token_.empty())) break;
      if (k < 16) {
        too_wide |= v >> 60 != 0;
        v = v << 4 | k;
        if (wide_) Keep(k);
      }
      // Enough of it for a message, however long it goes on.
      if (token_.size() < kShownDigits) token_ += static_cast<char>(c);
    }
    *value = v;
    return too_wide;
  }

  // Keeps a digit of a bus word wider than 64 bits, to a bound, without
  // its leading zeros.
  void Keep(unsigned char digit) {
    if ((digit != 0 || !digits_.empty()) && digits_.size() <= width_ / 4 + 1) digits_.push_back(digit);
  }

  // A hex number: an address, or a word of at most width_ bits.
  bool Number(bool address, std::uint64_t* value) {
    const bool too_wide = Digits(value);
    const std::uint64_t v = *value;
    const int c = text_.Peek();
    if (c >= 0 && ClassOf(static_cast<char>(c)) != kSpace && !IsComment('/') && !IsComment('*')) {
      return Error(Shown(static_cast<unsigned char>(c)) + " is not a hex digit");
    }
    if (token_.empty()) return Error("an address without a number");
    if (address && too_wide) return Error(Beyond());
    if (!address && wide_) return WideWord();
    if (!address && (too_wide || (width_ < 64 && v >> width_ != 0))) return TooWide();
    return true;
  }

  bool TooWide() { return Error("word " + token_ + " is wider than " + std::to_string(width_) + " bits"); }

  // Puts the digits of a word wider than 64 bits in order, least
  // significant first; false if they are wider than its words.
  bool WideWord() {
    std::reverse(digits_.begin(), digits_.end());
    return digits_.empty() || (digits_.size() - 1) * 4 + BitLength(digits_.back()) <= width_ || TooWide();
  }

  static constexpr std::size_t kShownDigits = 40;
  Text text_;
  static unsigned BitLength(unsigned digit) {
    unsigned n = 0;
    for (; digit; digit >>= 1) ++n;
    return n;
  }

  std::string token_;  // the number just read, as it stood
  std::vector<unsigned char> digits_;  // of a wide word, least significant first
  unsigned width_;
  bool wide_ = width_ > 64;  // words wider than a number holds
  std::string message_;
  Failure* err_;
  std::size_t line_ = 1;
  const std::vector<std::uint64_t>* watched_ = nullptr;
  std::vector<std::int64_t>* lines_ = nullptr;
};

// True if `start` holds hex words, white space, addresses and comments, and
// nothing else.
bool LooksLikeWords(std::string_view start) {
  bool digits = false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    const unsigned char c = ClassOf(start[i]);
    const char next = i + 1 < start.size() ? start[i + 1] : '\0';
    if (start[i] == '/' && next == '/') {
      i = std::min(start.find('\n', i), start.size());
    } else if (start[i] == '/' && next == '*') {
      // A comment that the sample cuts short is a comment all the same.
      i = std::min(start.find("*/", i + 2), start.size()) + 1;
    } else if (c == kOther && start[i] != '@') {
      return false;
    }
    digits |= c < 16;
  }
  return digits;
}

}  // namespace

TextFormat TextFormatOf(std::string_view start) {
  const std::size_t line_end = start.find('\n');
  if (line_end == std::string_view::npos) return {nullptr, nullptr};
  std::string_view first = start.substr(0, line_end);
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  auto hex_from = [&](std::size_t at) {
    return first.size() >= at + 8 &&
           std::all_of(first.begin() + at, first.end(), [](char c) { return ClassOf(c) < 16; });
  };
  if (first[0] == ':' && hex_from(1)) {
    return {"Intel HEX", "convert it first: objcopy -I ihex -O binary IN OUT"};
  }
  if (first.size() > 1 && first[0] == 'S' && first[1] >= '0' && first[1] <= '9' && hex_from(2)) {
    return {"S-record", "convert it first: objcopy -I srec -O binary IN OUT"};
  }
  if (!LooksLikeWords(start)) return {nullptr, nullptr};
  return {"$readmemh", "read its words with -w WIDTH (and -p for the block RAM)"};
}

bool LinesOfWords(Source& in, const std::string& path, const std::vector<std::uint64_t>& addresses,
                  Image* image, std::vector<std::int64_t>* lines, Failure* err) {
  Parser parser(in, image->width(), CantReadBinary(path), err);
  parser.WatchFor(addresses, lines);
  return parser.Parse(image);
}

bool ReadWordFile(Source& in, const std::string& path, Image* image, Failure* err) {
  return Parser(in, image->width(), CantReadBinary(path), err).Parse(image);
}

}  // namespace romseed
