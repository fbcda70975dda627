// Intel HEX and Motorola S-records: a line per record, its bytes in hex,
// a checksum at its end.

#include <cstring>

#include "hex.h"
#include "program.h"
#include "word_file.h"

namespace romseed {
namespace {

// The record's bytes after its first `skip` characters; false if any
// character is no hex digit or the digits are odd.
bool RecordBytes(std::string_view line, std::size_t skip, std::vector<unsigned char>* bytes) {
  if (line.size() < skip || (line.size() - skip) % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = skip; i < line.size(); i += 2) {
    const int hi = HexValue(line[i]), lo = HexValue(line[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<unsigned char>(hi << 4 | lo));
  }
  return true;
}

unsigned Sum(const std::vector<unsigned char>& b, std::size_t from, std::size_t to) {
  unsigned sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += b[i];
  return sum & 0xff;
}

std::uint64_t BigEndian(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

// -1, with `*err` saying which line of `path` is bad and why.
int BadLine(Failure* err, const std::string& path, const std::string& where, const std::string& reason) {
  Fail(err, CantReadBinary(path), where + ": " + reason);
  return -1;
}

// Goes through the lines of `text`, without their line ends; `take`
// returns 1 for a line taken, 0 at the last record, -1 (BadLine) for a bad
// one. Blank lines are passed over.
template <typename Take>
bool EachLine(std::string_view text, Take take) {
  std::size_t line = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view l = text.substr(at, end - at);
    at = end + 1;
    ++line;
    while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t')) l.remove_suffix(1);
    if (l.empty()) continue;
    const int taken = take(l, "line " + std::to_string(line));
    if (taken < 0) return false;
    if (taken == 0) break;
  }
  return true;
}

}  // namespace

bool ReadIntelHex(std::string_view text, const std::string& path, Program* program, Failure* err) {
  std::vector<unsigned char> b;
  std::uint64_t upper = 0;  // of an extended linear or segment address
  return EachLine(text, [&](std::string_view l, std::string where) {
    if (l[0] != ':' || !RecordBytes(l, 1, &b) || b.size() < 5) {
      return BadLine(err, path, where, "not an Intel HEX record");
    }
    if (b.size() != 5u + b[0]) return BadLine(err, path, where, "its length is not the " + std::to_string(b[0]) + " bytes it says");
    if (Sum(b, 0, b.size()) != 0) return BadLine(err, path, where, "its checksum does not hold");
    const unsigned type = b[3];
    const std::uint64_t value = BigEndian(&b[4], b[0] > 4 ? 4 : b[0]);
    const unsigned char sizes[] = {255, 0, 2, 4, 2, 4};
    if (type > 5) return BadLine(err, path, where, "record type " + Hex(type) + " is none of 00 to 05");
    if (type != 0 && b[0] != sizes[type]) return BadLine(err, path, where, "a type " + Hex(type) + " record of the wrong length");
    if (type == 1) return 0;
    if (type == 2) upper = value << 4;
    if (type == 4) upper = value << 16;
    if (type == 0) {
      program->Add(upper + BigEndian(&b[1], 2), {b.begin() + 4, b.end() - 1}, std::move(where));
    }
    return 1;
  });
}

bool ReadSRecords(std::string_view text, const std::string& path, Program* program, Failure* err) {
  std::vector<unsigned char> b;
  return EachLine(text, [&](std::string_view l, std::string where) {
    // The address bytes of S0 to S9; 0 for S4, which is none.
    static const unsigned char kAddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (l.size() < 2 || l[0] != 'S' || l[1] < '0' || l[1] > '9' || !RecordBytes(l, 2, &b) || b.empty()) {
      return BadLine(err, path, where, "not an S-record");
    }
    const unsigned type = static_cast<unsigned>(l[1] - '0');
    const unsigned address = kAddressBytes[type];
    if (address == 0) return BadLine(err, path, where, "S4 is no record type");
    if (b.size() != 1u + b[0] || b[0] < address + 1) return BadLine(err, path, where, "its length is not the " + std::to_string(b[0]) + " bytes it says");
    if (Sum(b, 0, b.size()) != 0xff) return BadLine(err, path, where, "its checksum does not hold");
    if (type >= 7) return 0;
    if (type >= 1 && type <= 3) {
      program->Add(BigEndian(&b[1], address), {b.begin() + 1 + address, b.end() - 1}, std::move(where));
    }
    return 1;
  });
}

const char* RecogniseFormat(std::string_view start) {
  if (start.substr(0, 4) == "\x7f" "ELF") return "elf";
  std::string_view first = start.substr(0, start.find('\n'));
  while (!first.empty() && (first.back() == '\r' || first.back() == ' ')) first.remove_suffix(1);
  std::vector<unsigned char> b;
  if (first.size() > 1 && first[0] == ':' && RecordBytes(first, 1, &b) && b.size() >= 5 &&
      b.size() == 5u + b[0] && Sum(b, 0, b.size()) == 0) {
    return "ihex";
  }
  if (first.size() > 2 && first[0] == 'S' && RecordBytes(first, 2, &b) && !b.empty() &&
      b.size() == 1u + b[0] && Sum(b, 0, b.size()) == 0xff) {
    return "srec";
  }
  const TextFormat text = TextFormatOf(start);
  return text.name && std::strcmp(text.name, "$readmemh") == 0 ? "mem" : "bin";
}

}  // namespace romseed
