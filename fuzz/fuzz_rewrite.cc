// Feeds arbitrary UCF bytes, binary bytes and a component name through the
// rewrite, read in pieces of several sizes, with a read or a write that may
// fail, and checks the result against a plain reimplementation of what the
// tool must write, or its refusal.
//
// Input: byte 0, the name's length; bytes 1 and 2, how the UCF and the binary
// are read; byte 3, what fails (nothing, the UCF's last read, the binary's
// last read, or a write past a limit); bytes 4 to 6, the UCF's length and
// bytes 7 and 8, that limit, both little-endian; then the name, the UCF and
// the binary.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "memory_io.h"
#include "romseed.h"

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
  if (b == 0 || b == std::string::npos || b > 16 || tail.size() != b + 77) return false;
  std::string shape = tail.substr(b);
  for (std::size_t i : {7, 8}) shape[i] = any.find(shape[i]) != std::string::npos ? 'x' : '?';
  for (std::size_t i = 12; i < 76; ++i) shape[i] = any.find(shape[i]) != std::string::npos ? 'x' : '?';
  return shape == "\" INIT_xx = " + std::string(64, 'x') + ";";
}

Expected Reference(const std::string& ucf_in, const std::string& bin, const std::string& delstr) {
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
  for (std::size_t k = 0; 32 * k < bin.size(); ++k) {
    char head[64];
    std::snprintf(head, sizeof head, "%02llx\" INIT_%02x = ",
                  static_cast<unsigned long long>(k / 16), static_cast<unsigned>(k % 16));
    e.text += delstr + head;
    for (int i = 31; i >= 0; --i) {
      std::size_t at = 32 * k + i;
      std::snprintf(head, sizeof head, "%02x", at < bin.size() ? static_cast<unsigned char>(bin[at]) : 0);
      e.text += head;
    }
    e.text += ";" + eol;
    ++e.counts.add_count;
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
  const romseed::Job job{"fw.bin", "top.ucf", "INST \"" + name};

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
  Expected e = Reference(ucf, bin, job.delstr);
  const char* refusal = fault == kUcfRead ? "can't read ucf file top.ucf"
                        : fault == kBinRead ? "can't read binary file fw.bin"
                        : e.text.size() > limit ? cant_write.c_str() : nullptr;
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
  return 0;
}
