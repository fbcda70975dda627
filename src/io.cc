#include "io.h"

#include <cstring>

namespace romseed {

std::ptrdiff_t ReadFull(Source& in, unsigned char* p, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    std::ptrdiff_t r = in.Read(p + got, n - got);
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<std::ptrdiff_t>(got);
}

Output::Output(Sink& sink, std::size_t capacity) : sink_(sink), buf_(capacity) {}

void Output::Put(const void* p, std::size_t n) {
  if (!ok_ || n == 0) return;
  if (used_ + n > buf_.size()) {
    if (!Flush()) return;
    // A piece larger than the buffer goes straight through.
    if (n > buf_.size()) {
      ok_ = sink_.Write(static_cast<const unsigned char*>(p), n);
      return;
    }
  }
  std::memcpy(buf_.data() + used_, p, n);
  used_ += n;
}

bool Output::Flush() {
  if (ok_ && used_ > 0) ok_ = sink_.Write(buf_.data(), used_);
  used_ = 0;
  return ok_;
}

}  // namespace romseed
