#include "word_file.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

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

// Puts each word's bits in their place in the image as the word comes:
// words of 1 to 32 bits packed least significant first (word a is bits
// w·a to w·a + w - 1 of the data); words of 9·m bits as m data bytes and
// their m parity bits, wired as `parity` says.
class Layout {
 public:
  Layout(unsigned width, Parity parity, Image* image)
      : width_(width),
        m_(width % 9 == 0 ? width / 9 : 0),
        lanes_(parity == Parity::kLanes),
        image_(image) {
    image->has_parity = m_ > 0;
    image->data.clear();
    image->parity.clear();
  }
  void Store(std::size_t a, std::uint64_t word) {
    std::vector<unsigned char>& data = image_->data;
    if (m_ > 0) {
      Grow((a + 1) * m_);
      for (unsigned j = 0; j < m_; ++j) {
        const std::size_t byte = a * m_ + j;
        data[byte] = static_cast<unsigned char>(word >> (lanes_ ? 9 * j : 8 * j));
        const unsigned bit = static_cast<unsigned>(word >> (lanes_ ? 9 * j + 8 : 8 * m_ + j) & 1);
        unsigned char& p = image_->parity[byte / 8];
        p = static_cast<unsigned char>((p & ~(1u << (byte % 8))) | bit << (byte % 8));
      }
    } else if (width_ >= 8) {
      Grow((a + 1) * (width_ / 8));
      for (unsigned j = 0; j < width_ / 8; ++j) {
        data[a * (width_ / 8) + j] = static_cast<unsigned char>(word >> (8 * j));
      }
    } else {
      const std::size_t bit = a * width_;
      Grow((bit + width_ + 7) / 8);
      const unsigned mask = ((1u << width_) - 1) << (bit % 8);
      data[bit / 8] = static_cast<unsigned char>((data[bit / 8] & ~mask) | word << (bit % 8));
    }
  }
  // Ends the image where its last word does.
  void Finish() {
    image_->data.resize(used_);
    image_->parity.resize(m_ > 0 ? (used_ + 7) / 8 : 0);
  }

 private:
  void Grow(std::size_t bytes) {
    if (bytes <= used_) return;
    used_ = bytes;
    if (bytes <= image_->data.size()) return;
    // Room for many more, zeros all: words not given are zero.
    image_->data.resize(std::max(bytes, 2 * image_->data.size()));
    if (m_ > 0) image_->parity.resize((image_->data.size() + 7) / 8);
  }

  unsigned width_, m_;
  bool lanes_;
  Image* image_;
  std::size_t used_ = 0;
};

// Parses the text of a word file into words, by address.
class Parser {
 public:
  Parser(const std::string& text, unsigned width)
      : p_(text.data()), end_(p_ + text.size()), width_(width) {}

  bool Parse(Layout* layout, std::string* why) {
    std::size_t address = 0;
    while (SkipSpaceAndComments(why)) {
      if (p_ == end_) return true;
      const bool at = *p_ == '@';
      p_ += at;
      std::uint64_t value;
      if (!Number(at ? 64 : width_, &value, why)) return false;
      if (at) {
        if (value >= kMaxWords)
          return Error(why, "address @" + Token() + " is beyond the last word a run takes");
        address = static_cast<std::size_t>(value);
        continue;
      }
      if (address >= kMaxWords) return Error(why, "more words than a run takes");
      layout->Store(address++, value);
    }
    return false;
  }

 private:
  bool Error(std::string* why, const std::string& what) {
    *why = "line " + std::to_string(line_) + ": " + what;
    return false;
  }

  // The number just read, as it stood.
  std::string Token() const { return std::string(token_, p_); }

  bool SkipSpaceAndComments(std::string* why) {
    while (p_ < end_) {
      if (ClassOf(*p_) == kSpace) {
        line_ += *p_++ == '\n';
      } else if (!IsComment('/') && !IsComment('*')) {
        return true;
      } else if (p_[1] == '/') {
        while (p_ < end_ && *p_ != '\n') ++p_;
      } else if (!SkipBlockComment()) {
        return Error(why, "a comment that does not end");
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
      line_ += *p_ == '\n';
    }
    if (p_ == end_) {
      line_ = from;
      return false;
    }
    p_ += 2;
    return true;
  }

  // A hex number of at most `bits` bits, `_` allowed after its first digit.
  bool Number(unsigned bits, std::uint64_t* value, std::string* why) {
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
    if (p_ < end_ && ClassOf(*p_) != kSpace && *p_ != '/') {
      return Error(why, Shown(static_cast<unsigned char>(*p_)) + " is not a hex digit");
    }
    if (p_ == token_) return Error(why, "an address without a number");
    if (too_wide || (bits < 64 && v >> bits != 0)) {
      return Error(why, "word " + Token() + " is wider than " + std::to_string(bits) + " bits");
    }
    return true;
  }

  const char* p_;
  const char* end_;
  const char* token_ = nullptr;
  unsigned width_;
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
    } else if (c == kOther && start[i] != '@') {
      return {nullptr, nullptr};
    }
    digits |= c < 16;
  }
  if (!digits) return {nullptr, nullptr};
  return {"$readmemh", "read its words with -w WIDTH (and -p for the block RAM)"};
}

bool ReadWordFile(Source& in, unsigned width, Parity parity, Image* image, std::string* why) {
  std::string text;
  if (!ReadAll(in, &text, why)) return false;
  Layout layout(width, parity, image);
  if (!Parser(text, width).Parse(&layout, why)) return false;
  layout.Finish();
  return true;
}

}  // namespace romseed
