#include "io.h"

#include <cstring>

namespace romseed {

bool PassFailed(PassResult result, const std::string& input, const std::string& output,
                const OsError& error, Failure* err) {
  switch (result) {
    case PassResult::kCantRead:
      return Fail(err, "can't read " + input, error.reason);
    case PassResult::kNotText:
      // Most likely the arguments are swapped.
      return Fail(err, input + " is not a text file");
    default:
      return Fail(err, "can't write file " + output, error.reason);
  }
}

bool ReadFull(Source& in, unsigned char* p, std::size_t n, std::size_t* got, OsError* err) {
  *got = 0;
  while (*got < n) {
    std::size_t r;
    if (!in.Read(p + *got, n - *got, &r, err)) return false;
    if (r == 0) break;
    *got += r;
  }
  return true;
}

namespace {

// ReadText, into a string or a vector of bytes.
template <typename Bytes>
bool ReadAllOf(Source& in, std::size_t limit, Bytes* text, OsError* err) {
  // Read in one piece where the size is known (one more byte sees the end),
  // else in growing ones. A short read that ReadFull gives is the end, so a
  // terminal needs no second end of file.
  const std::uint64_t hint = in.SizeHint();
  std::size_t piece = hint > 0 && hint < limit ? static_cast<std::size_t>(hint) + 1 : 1 << 16;
  text->clear();
  for (std::size_t got = piece; got == piece; piece = std::max<std::size_t>(piece, 1 << 16)) {
    if (text->size() > limit) {
      *err = {OsError::kOther, "larger than " + std::to_string(limit >> 20) + " MiB"};
      return false;
    }
    const std::size_t at = text->size();
    text->resize(at + piece);
    if (!ReadFull(in, reinterpret_cast<unsigned char*>(&(*text)[at]), piece, &got, err)) return false;
    text->resize(at + got);
  }
  return true;
}

}  // namespace

bool ReadText(Source& in, std::size_t limit, std::string* text, OsError* err) {
  return ReadAllOf(in, limit, text, err);
}

bool ReadText(Source& in, std::size_t limit, std::vector<unsigned char>* bytes, OsError* err) {
  return ReadAllOf(in, limit, bytes, err);
}

bool CopyAll(Source& from, Sink& to, OsError* err) {
  constexpr std::size_t kPiece = 1 << 16;
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kPiece]);
  for (;;) {
    std::size_t got;
    if (!from.Read(buf.get(), kPiece, &got, err)) return false;
    if (got == 0) return true;
    if (!to.Write(buf.get(), got, err)) return false;
  }
}

bool HashingSource::Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) {
  if (!in_.Read(p, n, got, err)) return false;
  for (std::size_t i = 0; i < *got; ++i) hash_ = FnvStep(hash_, p[i]);
  return true;
}

Output::Output(Sink& sink, std::size_t capacity)
    : sink_(sink), buf_(new unsigned char[capacity]), capacity_(capacity) {}

void Output::Put(const void* p, std::size_t n) {
  if (!ok_ || n == 0) return;
  if (used_ + n > capacity_) {
    if (!Flush(&failure_)) return;
    // A piece larger than the buffer goes straight through.
    if (n > capacity_) {
      ok_ = sink_.Write(static_cast<const unsigned char*>(p), n, &failure_);
      written_ += ok_ ? n : 0;
      return;
    }
  }
  std::memcpy(buf_.get() + used_, p, n);
  used_ += n;
}

char* Output::ExtendSlow(std::size_t n) {
  if (used_ + n > capacity_) {
    Flush(&failure_);
    if (n > capacity_) {  // only for an enormous component name
      buf_.reset(new unsigned char[n]);
      capacity_ = n;
    }
  }
  char* p = reinterpret_cast<char*>(buf_.get() + used_);
  used_ += n;
  return p;
}

bool Output::Flush(OsError* err) {
  if (ok_ && used_ > 0) ok_ = sink_.Write(buf_.get(), used_, &failure_);
  written_ += ok_ ? used_ : 0;
  used_ = 0;
  if (!ok_ && err != &failure_) *err = failure_;
  return ok_;
}

bool SameContent(Source& a, Source& b) {
  constexpr std::size_t kPiece = 1 << 16;
  std::unique_ptr<unsigned char[]> x(new unsigned char[kPiece]), y(new unsigned char[kPiece]);
  for (;;) {
    std::size_t got_a, got_b;
    OsError unread;  // a content that cannot be read is not known to be the same
    if (!ReadFull(a, x.get(), kPiece, &got_a, &unread) ||
        !ReadFull(b, y.get(), kPiece, &got_b, &unread)) {
      return false;
    }
    if (got_a != got_b || std::memcmp(x.get(), y.get(), got_a) != 0) return false;
    if (got_a < kPiece) return true;
  }
}

}  // namespace romseed
