#ifndef ROMSEED_TESTS_MEMORY_IO_H_
#define ROMSEED_TESTS_MEMORY_IO_H_

#include <cstdint>
#include <cstring>
#include <string>

#include "io.h"

namespace romseed {

// Hands out `data` at most `step` bytes per read, as a pipe would; then
// reports the end, or a read error with `fail_at_end`.
class MemorySource : public Source {
 public:
  explicit MemorySource(std::string data, std::size_t step = SIZE_MAX, bool fail_at_end = false)
      : data_(std::move(data)), step_(step), fail_at_end_(fail_at_end) {}
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) override;

 private:
  std::string data_;
  std::size_t pos_ = 0, step_;
  bool fail_at_end_;
};

// Hands out 'x' bytes as if without end, and counts the reads; it ends after
// `limit` reads only so that a pass that never stops reading still ends.
class Endless : public Source {
 public:
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError*) override {
    std::memset(p, 'x', n);
    *got = ++reads < limit ? n : 0;
    return true;
  }
  int reads = 0, limit = 1000;
};

// Collects what is written; refuses any write once `limit` bytes are in.
class StringSink : public Sink {
 public:
  explicit StringSink(std::size_t limit = SIZE_MAX) : limit_(limit) {}
  bool Write(const unsigned char* p, std::size_t n, OsError* err) override;
  std::string data;

 private:
  std::size_t limit_;
};

}  // namespace romseed

#endif  // ROMSEED_TESTS_MEMORY_IO_H_
