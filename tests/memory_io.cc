#include "memory_io.h"

#include <algorithm>
#include <cstring>

namespace romseed {

bool MemorySource::Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) {
  *got = std::min({n, step_, data_.size() - pos_});
  std::memcpy(p, data_.data() + pos_, *got);
  pos_ += *got;
  if (*got == 0 && fail_at_end_) *err = {OsError::kOther, "read error"};
  return *got > 0 || !fail_at_end_;
}

bool StringSink::Write(const unsigned char* p, std::size_t n, OsError* err) {
  if (data.size() + n > limit_) return (*err = {OsError::kOther, "no space"}, false);
  data.append(reinterpret_cast<const char*>(p), n);
  return true;
}

}  // namespace romseed
