#include "word_file.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "hex.h"

namespace romseed {
namespace {

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<unsigned char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A character as a message shows it: itself if printable, else its code.
std::string Shown(unsigned char c) {
  if (c > 0x20 && c < 0x7f) return std::string("'") + static_cast<char>(c) + "'";
  return std::string("byte ") + kHexDigits[c >> 4] + kHexDigits[c & 15];
}

// Parses the text of a word file into words, by address.
class Parser {
 public:
  Parser(const std::string& text, unsigned width) : p_(text.data()), end_(p_ + text.size()), width_(width) {}

  bool Parse(std::vector<std::uint64_t>* words, std::string* why) {
    std::size_t address = 0;
    while (SkipSpaceAndComments(why)) {
      if (p_ == end_) return true;
      const bool at = *p_ == '@';
      p_ += at;
      std::uint64_t value;
      if (!Number(at ? 64 : width_, &value, why)) return false;
      if (at) {
        if (value >= kMaxWords) return Error(why, "address @" + Token() + " is beyond the last word a run takes");
        address = static_cast<std::size_t>(value);
        continue;
      }
      if (address >= kMaxWords) return Error(why, "more words than a run takes");
      if (address >= words->size()) words->resize(address + 1);
      (*words)[address++] = value;
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
      if (IsSpace(*p_)) {
        line_ += *p_++ == '\n';
      } else if (*p_ == '/' && end_ - p_ > 1 && p_[1] == '/') {
        while (p_ < end_ && *p_ != '\n') ++p_;
      } else if (*p_ == '/' && end_ - p_ > 1 && p_[1] == '*') {
        const std::size_t from = line_;
        for (p_ += 2; p_ < end_ && !(*p_ == '*' && end_ - p_ > 1 && p_[1] == '/'); ++p_) line_ += *p_ == '\n';
        if (p_ == end_) return (line_ = from, Error(why, "a comment that does not end"));
        p_ += 2;
      } else {
        return true;
      }
    }
    return true;
  }

  // A hex number of at most `bits` bits, `_` allowed after its first digit.
  bool Number(unsigned bits, std::uint64_t* value, std::string* why) {
    token_ = p_;
    *value = 0;
    unsigned digits = 0;  // significant ones
    for (; p_ < end_ && (HexValue(*p_) >= 0 || (*p_ == '_' && p_ > token_)); ++p_) {
      if (*p_ == '_') continue;
      digits += digits > 0 || HexValue(*p_) != 0;
      *value = *value << 4 | static_cast<unsigned>(HexValue(*p_));
    }
    if (p_ < end_ && !IsSpace(*p_) && *p_ != '/') {
      return Error(why, Shown(static_cast<unsigned char>(*p_)) + " is not a hex digit");
    }
    if (p_ == token_) return Error(why, "an address without a number");
    if (digits > 16 || (bits < 64 && *value >> bits != 0)) {
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

void SetBit(std::vector<unsigned char>& bytes, std::size_t bit, bool on) {
  if (on) bytes[bit / 8] = static_cast<unsigned char>(bytes[bit / 8] | 1u << (bit % 8));
}

// Words of 9·m bits: m data bytes and their m parity bits each.
void LayOutWithParity(const std::vector<std::uint64_t>& words, unsigned m, Parity parity, Image* image) {
  image->has_parity = true;
  image->data.assign(words.size() * m, 0);
  image->parity.assign((words.size() * m + 7) / 8, 0);
  const unsigned stride = parity == Parity::kLanes ? 9 : 8;  // from one data byte to the next
  for (std::size_t a = 0; a < words.size(); ++a) {
    for (unsigned j = 0; j < m; ++j) {
      const std::size_t byte = a * m + j;
      image->data[byte] = static_cast<unsigned char>(words[a] >> (stride * j));
      const unsigned parity_bit = parity == Parity::kLanes ? 9 * j + 8 : 8 * m + j;
      SetBit(image->parity, byte, words[a] >> parity_bit & 1);
    }
  }
}

// Words of 1 to 32 bits, packed least significant first: word a is bits
// w·a to w·a + w - 1 of the data.
void LayOut(const std::vector<std::uint64_t>& words, unsigned width, Image* image) {
  image->has_parity = false;
  image->data.assign((words.size() * width + 7) / 8, 0);
  for (std::size_t a = 0; a < words.size(); ++a) {
    if (width >= 8) {
      for (unsigned j = 0; j < width / 8; ++j) {
        image->data[a * (width / 8) + j] = static_cast<unsigned char>(words[a] >> (8 * j));
      }
    } else {
      image->data[a * width / 8] = static_cast<unsigned char>(
          image->data[a * width / 8] | words[a] << (a * width % 8));
    }
  }
}

}  // namespace

bool ReadWordFile(Source& in, unsigned width, Parity parity, Image* image, std::string* why) {
  std::string text;
  constexpr std::size_t kPiece = 1 << 16;
  for (std::size_t got = kPiece; got > 0;) {
    const std::size_t had = text.size();
    text.resize(had + kPiece);
    if (!in.Read(reinterpret_cast<unsigned char*>(&text[had]), kPiece, &got)) {
      *why = in.error();
      return false;
    }
    text.resize(had + got);
  }
  std::vector<std::uint64_t> words;
  if (!Parser(text, width).Parse(&words, why)) return false;
  if (width % 9 == 0) {
    LayOutWithParity(words, width / 9, parity, image);
  } else {
    LayOut(words, width, image);
  }
  return true;
}

}  // namespace romseed
