#include "memory_io.h"

#include <algorithm>
#include <cstring>

namespace romseed {

std::ptrdiff_t MemorySource::Read(unsigned char* p, std::size_t n) {
  if (pos_ == data_.size()) return fail_at_end_ ? -1 : 0;
  std::size_t k = std::min({n, step_, data_.size() - pos_});
  std::memcpy(p, data_.data() + pos_, k);
  pos_ += k;
  return static_cast<std::ptrdiff_t>(k);
}

bool StringSink::Write(const unsigned char* p, std::size_t n) {
  if (data.size() + n > limit_) return false;
  data.append(reinterpret_cast<const char*>(p), n);
  return true;
}

}  // namespace romseed
