#ifndef ROMSEED_IO_H_
#define ROMSEED_IO_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <string_view>

#include "failure.h"

namespace romseed {

// How a pass over an input ended; a pass that fails to read or write says
// why in an OsError beside it.
enum class PassResult {
  kOk,
  kCantRead,   // reading the input failed
  kCantWrite,  // writing the output failed
  kNotText,    // the input holds a byte that no text file holds
};

// Where a pass reads its bytes from.
class Source {
 public:
  virtual ~Source() = default;
  // Places up to `n` bytes in `p` and sets `*got` to how many; fewer than `n`
  // does not mean the end, 0 does. False on a read error, with `*err` set.
  virtual bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) = 0;
  // How many bytes it likely holds, where known (a regular file); 0 if not.
  virtual std::uint64_t SizeHint() const { return 0; }
};

// Where a pass writes its bytes to.
class Sink {
 public:
  virtual ~Sink() = default;
  // Writes all `n` bytes; false, with `*err` set, if it cannot.
  virtual bool Write(const unsigned char* p, std::size_t n, OsError* err) = 0;
};

// The failure of a pass over `input` ("ucf file top.ucf") into the file
// `output`, which ended as `result` says, with the `error` beside it: the one
// place where a pass's end becomes a message.
bool PassFailed(PassResult result, const std::string& input, const std::string& output,
                const OsError& error, Failure* err);

// Reads until `n` bytes are in `p` or the input ends, so that a pipe that
// hands out a few bytes at a time still fills whole chunks. Sets `*got` to
// the number read (less than `n` only at the end). False on a read error,
// with `*err` set.
bool ReadFull(Source& in, unsigned char* p, std::size_t n, std::size_t* got, OsError* err);

// Reads all of `in` into `*text`; false, with `*err` set, on a read error
// or past `limit` bytes (a file read whole, such as a program or a layout).
bool ReadText(Source& in, std::size_t limit, std::string* text, OsError* err);
bool ReadText(Source& in, std::size_t limit, std::vector<unsigned char>* bytes, OsError* err);

// Copies everything `from` holds, from where it stands, to `to`. False if
// a read or a write failed, with `*err` set by the one that failed.
bool CopyAll(Source& from, Sink& to, OsError* err);

// 64-bit FNV-1a: the hash of nothing, and the hash with one more unit (a
// byte, or a UTF-16 unit of a Windows name) taken in.
inline constexpr std::uint64_t kFnvStart = 14695981039346656037ull;
constexpr std::uint64_t FnvStep(std::uint64_t hash, std::uint64_t unit) {
  return (hash ^ unit) * 1099511628211ull;
}

// Hashes what is read through it (64-bit FNV-1a).
class HashingSource : public Source {
 public:
  explicit HashingSource(Source& in) : in_(in) {}
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) override;
  std::uint64_t hash() const { return hash_; }

 private:
  Source& in_;
  std::uint64_t hash_ = kFnvStart;
};

// True if `a` and `b` hold the same bytes from where they stand to their
// ends; false also if reading either fails.
bool SameContent(Source& a, Source& b);

// Writes `text` to `out`, for messages.
inline void Print(Sink& out, std::string_view text) {
  // A reader of the messages that went away must not stop the run.
  OsError ignored;
  out.Write(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &ignored);
}

// Takes what is written and keeps none of it.
class Discard : public Sink {
 public:
  bool Write(const unsigned char*, std::size_t, OsError*) override { return true; }
};

// Gathers small writes into large ones, for the passes, whose inner loops
// write a piece per line or statement: the first write that fails ends the
// writing, and its error waits for Flush.
class Output {
 public:
  explicit Output(Sink& sink, std::size_t capacity = 1 << 16);
  void Put(const void* p, std::size_t n);
  void Put(std::string_view s) { Put(s.data(), s.size()); }
  // Appends `n` bytes that the caller fills in place through the pointer
  // returned, before the next call. After a failed write they are discarded.
  char* Extend(std::size_t n) {
    if (used_ + n > capacity_ || !ok_) return ExtendSlow(n);
    char* p = reinterpret_cast<char*>(buf_.get() + used_);
    used_ += n;
    return p;
  }
  // Hands everything gathered to the sink. False if any write failed, with
  // the first failure in `*err`.
  bool Flush(OsError* err);
  bool ok() const { return ok_; }
  // The bytes handed to the sink so far.
  std::uint64_t written() const { return written_; }

 private:
  char* ExtendSlow(std::size_t n);

  Sink& sink_;
  std::unique_ptr<unsigned char[]> buf_;  // not zero-filled: always written first
  std::size_t capacity_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  bool ok_ = true;
  OsError failure_;
};

}  // namespace romseed

#endif  // ROMSEED_IO_H_
