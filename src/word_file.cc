#include "word_file.h"

#include <algorithm>
#include <cstdint>
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

// Parses the text of a word file into words, by address.
class Parser {
 public:
  // Fails with `message` and the line and reason.
  Parser(const std::string& text, unsigned width, std::string message, Failure* err)
      : p_(text.data()), end_(p_ + text.size()), width_(width), message_(std::move(message)), err_(err) {}

  bool Parse(Image* image) {
    std::size_t address = 0;
    while (SkipSpaceAndComments()) {
      if (p_ == end_) return true;
      const bool at = *p_ == '@';
      p_ += at;
      std::uint64_t value;
      if (!Number(at, &value)) return false;
      if (at) {
        if (value >= kMaxWords) return Error(Beyond());
        address = static_cast<std::size_t>(value);
        continue;
      }
      if (address >= kMaxWords) return Error("more words than a run takes");
      image->Set(address++, value);
    }
    return false;
  }

 private:
  bool Error(const std::string& what) {
    return Fail(err_, message_, "line " + std::to_string(line_) + ": " + what);
  }

  // The number just read, as it stood.
  std::string Token() const { return std::string(token_, p_); }
  std::string Beyond() const { return "address @" + Token() + " is beyond the last word a run takes"; }

  // True at the end of a line: a line feed, or a carriage return alone, as
  // old Macintosh files end them.
  bool LineEnd() const { return *p_ == '\n' || (*p_ == '\r' && (end_ - p_ == 1 || p_[1] != '\n')); }

  bool SkipSpaceAndComments() {
    while (p_ < end_) {
      if (ClassOf(*p_) == kSpace) {
        line_ += LineEnd();
        ++p_;
      } else if (!IsComment('/') && !IsComment('*')) {
        return true;
      } else if (p_[1] == '/') {
        while (p_ < end_ && !LineEnd()) ++p_;
      } else if (!SkipBlockComment()) {
        return Error("a comment that does not end");
      }
    }
    return true;
  }

  // True if a comment that `second` (/ or *) begins starts here.
  bool IsComment(char second) const { return *p_ == '/' && end_ - p_ > 1 && p_[1] == second; }

  // Moves past a /* */ comment; false, with the line where it began, if it
  // does not end.
  bool SkipBlockComment() {
    const std::size_t from = line_;
    for (p_ += 2; p_ < end_ && !(*p_ == '*' && end_ - p_ > 1 && p_[1] == '/'); ++p_) {
      line_ += LineEnd();
    }
    if (p_ == end_) {
      line_ = from;
      return false;
    }
    p_ += 2;
    return true;
  }

  // A hex number, `_` allowed after its first digit: an address, or a word
  // of at most width_ bits.
  bool Number(bool address, std::uint64_t* value) {
    token_ = p_;
    std::uint64_t v = 0;
    bool too_wide = false;
    unsigned char c;
    while (p_ < end_ && ((c = ClassOf(*p_)) < 16 || (c == kUnderscore && p_ > token_))) {
      if (c < 16) {
        too_wide |= v >> 60 != 0;
        v = v << 4 | c;
      }
      ++p_;
    }
    *value = v;
    if (p_ < end_ && ClassOf(*p_) != kSpace && !IsComment('/') && !IsComment('*')) {
      return Error(Shown(static_cast<unsigned char>(*p_)) + " is not a hex digit");
    }
    if (p_ == token_) return Error("an address without a number");
    if (address && too_wide) return Error(Beyond());
    if (!address && (too_wide || v >> width_ != 0)) {
      return Error("word " + Token() + " is wider than " + std::to_string(width_) + " bits");
    }
    return true;
  }

  const char* p_;
  const char* end_;
  const char* token_ = nullptr;
  unsigned width_;
  std::string message_;
  Failure* err_;
  std::size_t line_ = 1;
};

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
  // Hex words, white space, addresses and comments, and nothing else.
  bool digits = false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    const unsigned char c = ClassOf(start[i]);
    if (start[i] == '/' && i + 1 < start.size() && start[i + 1] == '/') {
      i = std::min(start.find('\n', i), start.size());
    } else if (start[i] == '/' && i + 1 < start.size() && start[i + 1] == '*') {
      // A comment that the sample cuts short is a comment all the same.
      i = std::min(start.find("*/", i + 2), start.size()) + 1;
    } else if (c == kOther && start[i] != '@') {
      return {nullptr, nullptr};
    }
    digits |= c < 16;
  }
  if (!digits) return {nullptr, nullptr};
  return {"$readmemh", "read its words with -w WIDTH (and -p for the block RAM)"};
}

bool ReadWordFile(Source& in, const std::string& path, Image* image, Failure* err) {
  const std::string message = "can't read binary file " + path;
  std::string text;
  OsError error;
  if (!ReadAll(in, &text, &error)) return Fail(err, message, error.reason);
  return Parser(text, image->width(), message, err).Parse(image);
}

}  // namespace romseed
