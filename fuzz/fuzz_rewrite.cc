// Feeds arbitrary UCF bytes, binary bytes and a component name through the
// rewrite, read in pieces of several sizes, with a read or a write that may
// fail, and checks the result against a plain reimplementation of what the
// tool must write, or its refusal; and a check of what it wrote against the
// same binary must find a match.
//
// Input: byte 0, the name's length; bytes 1 and 2, how the UCF and the binary
// are read (byte 1 / 9, odd: parity bits in lanes); byte 3, what fails
// (nothing, the UCF's last read, the binary's last read, or a write past a
// limit) and, above its two low bits, the block RAM and the binary's word
// width (0: bytes); bytes 4 to 6, the UCF's length and bytes 7 and 8, that
// limit, both little-endian; then the name, the UCF and the binary.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_io.h"
#include "check.h"
#include "romseed.h"
#include "word_file.h"

namespace {

const std::size_t kSteps[] = {1, 2, 3, 7, 31, 32, 33, 4096, SIZE_MAX};

struct Expected {
  std::string text;
  romseed::Counts counts;
};

// True if `tail`, what follows the prefix, makes the line an INIT statement.
bool IsStatement(std::string tail) {
  if (!tail.empty() && tail.back() == '\n') tail.pop_back();
  if (!tail.empty() && tail.back() == '\r') tail.pop_back();
  const std::string lower = "0123456789abcdef", any = lower + "ABCDEF";
  std::size_t b = tail.find_first_not_of(lower);
  if (b == 0 || b == std::string::npos || b > 16) return false;
  std::string shape = tail.substr(b);
  if (shape.compare(0, 8, "\" INITP_") == 0) shape.erase(6, 1);
  if (shape.size() != 77) return false;
  for (std::size_t i : {7, 8}) shape[i] = any.find(shape[i]) != std::string::npos ? 'x' : '?';
  for (std::size_t i = 12; i < 76; ++i) shape[i] = any.find(shape[i]) != std::string::npos ? 'x' : '?';
  return shape == "\" INIT_xx = " + std::string(64, 'x') + ";";
}

// A word file as $readmemh reads it, by another way than the tool's: the
// comments blanked out first, then the text split at white space. False if
// it does not parse. Sets `*big` and stops at a word past kMaxCompared, for
// the caller to pass such an input by.
constexpr std::size_t kMaxCompared = 1 << 16;
bool ReferenceWords(std::string text, unsigned width, std::vector<std::uint64_t>* words, bool* big) {
  for (std::size_t at = text.find('/'); at != std::string::npos; at = text.find('/', at + 1)) {
    if (at + 1 < text.size() && text[at + 1] == '/') {
      const std::size_t end = text.find('\n', at);
      text.replace(at, (end == std::string::npos ? text.size() : end) - at, " ");
    } else if (at + 1 < text.size() && text[at + 1] == '*') {
      const std::size_t end = text.find("*/", at + 2);
      if (end == std::string::npos) return false;
      text.replace(at, end + 2 - at, " ");
    }
  }
  const char* space = " \t\n\v\f\r";
  std::size_t address = 0;
  for (std::size_t at = text.find_first_not_of(space); at != std::string::npos;
       at = text.find_first_not_of(space, at)) {
    std::string token = text.substr(at, text.find_first_of(space, at) - at);
    at += token.size();
    const bool is_address = token[0] == '@';
    if (is_address) token.erase(0, 1);
    if (token.empty() || token[0] == '_' ||
        token.find_first_not_of("0123456789abcdefABCDEF_") != std::string::npos) {
      return false;
    }
    token.erase(std::remove(token.begin(), token.end(), '_'), token.end());
    token.erase(0, std::min(token.find_first_not_of('0'), token.size()));
    if (token.size() > 16) return false;
    const std::uint64_t value = token.empty() ? 0 : std::stoull(token, nullptr, 16);
    if (is_address) {
      if (value >= romseed::kMaxWords) return false;
      address = value;
      continue;
    }
    if ((width < 64 && value >> width != 0) || address >= romseed::kMaxWords) return false;
    if (address >= kMaxCompared) return *big = true;
    if (address >= words->size()) words->resize(address + 1);
    (*words)[address++] = value;
  }
  return true;
}

// The data bytes and parity bits of `words`, bit by bit.
void ReferenceLayout(const std::vector<std::uint64_t>& words, unsigned width, romseed::Parity parity,
                     std::string* data, std::string* parity_bits) {
  const unsigned m = width % 9 == 0 ? width / 9 : 0;
  data->assign(m ? words.size() * m : (words.size() * width + 7) / 8, '\0');
  parity_bits->assign(m ? words.size() * m : 0, '\0');  // one byte a bit, 0 or 1
  for (std::size_t a = 0; a < words.size(); ++a) {
    for (unsigned i = 0; i < width; ++i) {
      const bool on = words[a] >> i & 1;
      std::size_t bit;  // in the data, or ~ in the parity bits
      if (!m) {
        bit = width * a + i;
      } else if (parity == romseed::Parity::kLanes) {
        bit = i % 9 == 8 ? ~(m * a + i / 9) : 8 * (m * a + i / 9) + i % 9;
      } else {
        bit = i >= 8 * m ? ~(m * a + i - 8 * m) : 8 * m * a + i;
      }
      if (!on) continue;
      if (static_cast<std::ptrdiff_t>(bit) < 0) {
        (*parity_bits)[~bit] = 1;
      } else {
        (*data)[bit / 8] = static_cast<char>((*data)[bit / 8] | 1 << (bit % 8));
      }
    }
  }
}

// The statements for `bytes` (32 to one, `per_block` to an instance), the
// first at chunk `first`, named `attribute`.
std::string ReferenceStatements(const std::string& bytes, std::size_t first, std::size_t per_block,
                                const char* attribute, bool upper, const std::string& delstr,
                                const std::string& eol, std::int64_t* count) {
  std::string text;
  for (std::size_t k = 0; 32 * k < bytes.size(); ++k) {
    char head[64];
    std::snprintf(head, sizeof head, upper ? "%02llx\" %s_%02X = " : "%02llx\" %s_%02x = ",
                  static_cast<unsigned long long>((first + k) / per_block), attribute,
                  static_cast<unsigned>((first + k) % per_block));
    text += delstr + head;
    for (int i = 31; i >= 0; --i) {
      std::size_t at = 32 * k + i;
      std::snprintf(head, sizeof head, "%02x", at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0);
      text += head;
    }
    text += ";" + eol;
    ++*count;
  }
  return text;
}

// What the tool must write for `ucf_in` and the data bytes (and, if any,
// parity bits, one a byte) of the binary.
Expected Reference(const std::string& ucf_in, const std::string& bin, const std::string& parity,
                   const romseed::Job& job) {
  const std::string& delstr = job.delstr;
  Expected e;
  bool open = false;  // the last kept line has no line end
  std::string ucf = ucf_in;
  if (ucf.compare(0, 3, "\xef\xbb\xbf") == 0) {
    e.text = ucf.substr(0, 3);
    ucf.erase(0, 3);
  }
  for (std::size_t at = 0; at < ucf.size();) {
    std::size_t nl = ucf.find('\n', at);
    std::size_t end = nl == std::string::npos ? ucf.size() : nl + 1;
    std::string line = ucf.substr(at, end - at);
    if (line.compare(0, delstr.size(), delstr) == 0) {
      if (!IsStatement(line.substr(delstr.size())) && e.counts.other_count++ == 0) {
        e.counts.first_other_line = e.counts.copy_count + e.counts.delete_count + 1;
      }
      ++e.counts.delete_count;
    } else {
      e.text += line;
      ++e.counts.copy_count;
      open = nl == std::string::npos;
    }
    at = end;
  }
  std::size_t first_nl = ucf_in.find('\n');
  std::string eol =
      first_nl != std::string::npos && first_nl > 0 && ucf_in[first_nl - 1] == '\r' ? "\r\n" : "\n";
  if (open && !bin.empty()) e.text += eol;
  const std::size_t bytes = job.shape.bytes();
  for (std::size_t at = 0; at < bin.size(); at += bytes) {
    const std::size_t block = at / bytes;
    e.text += ReferenceStatements(bin.substr(at, bytes), block * job.shape.inits_per_block,
                                  job.shape.inits_per_block, "INIT", job.shape.upper_index, delstr, eol,
                                  &e.counts.add_count);
    if (parity.empty()) continue;
    std::string packed((std::min(bytes, bin.size() - at) + 7) / 8, '\0');
    for (std::size_t i = 0; i < std::min(bytes, bin.size() - at); ++i) {
      packed[i / 8] = static_cast<char>(packed[i / 8] | parity[at + i] << (i % 8));
    }
    e.text += ReferenceStatements(packed, block * job.shape.initps_per_block,
                                  job.shape.initps_per_block, "INITP", job.shape.upper_index, delstr, eol,
                                  &e.counts.add_count);
  }
  return e;
}

enum Fault { kNone, kUcfRead, kBinRead, kWrite };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  std::size_t name_size = data[0];
  std::size_t ucf_step = kSteps[data[1] % 9], bin_step = kSteps[data[2] % 9];
  const Fault fault = static_cast<Fault>(data[3] % 4);
  std::size_t ucf_size = data[4] | data[5] << 8 | data[6] << 16;
  const std::size_t limit = fault == kWrite ? (data[7] | data[8] << 8) : SIZE_MAX;
  std::string rest(reinterpret_cast<const char*>(data + 9), size - 9);
  if (name_size > rest.size()) return 0;
  std::string name = rest.substr(0, name_size);
  // Refused by the tool: a quote, a control character, a wildcard.
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '*' || c == '?') return 0;
  }
  rest.erase(0, name_size);
  ucf_size = ucf_size < rest.size() ? ucf_size : rest.size();
  const std::string ucf = rest.substr(0, ucf_size), bin = rest.substr(ucf_size);
  romseed::Job job;
  job.bin_path = "fw.bin";
  job.ucf_path = "top.ucf";
  job.component = name;
  job.delstr = "INST \"" + name;
  static const romseed::BlockShape kShapes[] = {romseed::kRamb4, {64, 8}, {32, 4}, {128, 16}};
  static const unsigned kWidths[] = {0, 1, 2, 4, 8, 16, 32, 9, 18, 36};
  job.shape = kShapes[data[3] >> 2 & 3];
  job.word_width = kWidths[(data[3] >> 4) % 10];
  job.parity = data[1] / 9 % 2 ? romseed::Parity::kLanes : romseed::Parity::kPorts;
  // Refused by the tool: parity bits where the block RAM has none.
  if (job.word_width % 9 == 0 && job.word_width && job.shape.initps_per_block == 0) return 0;
  std::vector<std::uint64_t> words;
  bool parsed = true;
  std::string image = bin, parity;
  if (job.word_width) {
    bool big = false;
    parsed = ReferenceWords(bin, job.word_width, &words, &big);
    // Kept small, so that the reference's bit by bit is quick.
    if (big) return 0;
    if (parsed) ReferenceLayout(words, job.word_width, job.parity, &image, &parity);
  }

  romseed::MemorySource ucf_in(ucf, ucf_step, fault == kUcfRead);
  romseed::MemorySource bin_in(bin, bin_step, fault == kBinRead);
  romseed::StringSink sink(limit);
  romseed::Output out(sink, 1 + data[1] % 200);  // small buffers reach every path
  romseed::Counts counts;
  romseed::Failure failure;
  const bool ok = romseed::Rewrite(ucf_in, bin_in, out, job, &counts, &failure);
  const std::string& err = failure.message;
  const std::string cant_write = "can't write file tempucf.ucf";
  // A control character that text never holds (a NUL, any C0 control but
  // tab, LF, VT, FF, CR and Ctrl-Z, DEL) means the UCF is not text, whatever
  // else it holds, unless a write failed first.
  const bool foreign = std::any_of(ucf.begin(), ucf.end(), [](unsigned char c) {
    return (c < 0x20 && !(c >= '\t' && c <= '\r') && c != 0x1a) || c == 0x7f;
  });
  if (foreign) {
    if (ok || (err != "ucf file top.ucf is not a text file" && (fault != kWrite || err != cant_write))) {
      std::abort();
    }
    return 0;
  }
  Expected e = Reference(ucf, image, parity, job);
  const char* refusal = fault == kUcfRead ? "can't read ucf file top.ucf"
                        : fault == kBinRead || !parsed ? "can't read binary file fw.bin"
                        : e.text.size() > limit ? cant_write.c_str() : nullptr;
  // A write that fails before the word file is read says so first.
  if (!parsed && !ok && fault == kWrite && err == cant_write) return 0;
  if (refusal) {
    if (ok || err != refusal) {
      std::fprintf(stderr, "expected \"%s\", got \"%s\"\n", refusal, ok ? "success" : err.c_str());
      std::abort();
    }
    return 0;
  }
  if (!ok) std::abort();
  if (sink.data != e.text || counts.copy_count != e.counts.copy_count ||
      counts.delete_count != e.counts.delete_count || counts.add_count != e.counts.add_count ||
      counts.other_count != e.counts.other_count ||
      counts.first_other_line != e.counts.first_other_line) {
    std::fprintf(stderr, "mismatch: copy %lld/%lld delete %lld/%lld add %lld/%lld others %lld/%lld\n",
                 static_cast<long long>(counts.copy_count), static_cast<long long>(e.counts.copy_count),
                 static_cast<long long>(counts.delete_count), static_cast<long long>(e.counts.delete_count),
                 static_cast<long long>(counts.add_count), static_cast<long long>(e.counts.add_count),
                 static_cast<long long>(counts.other_count), static_cast<long long>(e.counts.other_count));
    std::abort();
  }
  // A check of what the run wrote finds exactly the binary's statements.
  romseed::MemorySource bin_again(bin, bin_step), written(sink.data, ucf_step);
  romseed::StringSink said;
  int status;
  if (!romseed::CheckStreams(bin_again, written, job, said, &status, &failure) ||
      status != romseed::kMatch) {
    std::fprintf(stderr, "check after the run: %s\n", said.data.c_str());
    std::abort();
  }
  return 0;
}
