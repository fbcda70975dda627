#include <cstdio>

#include "os.h"
#include "romseed.h"

namespace {

// Through the C library rather than iostreams, whose start (a locale) takes
// longer than a typical run's work. On Windows it ends lines with CR LF.
class StandardStream : public romseed::Sink {
 public:
  explicit StandardStream(std::FILE* stream) : stream_(stream) {}
  bool Write(const unsigned char* p, std::size_t n, romseed::OsError* err) override {
    if (std::fwrite(p, 1, n, stream_) == n) return true;
    *err = {romseed::OsError::kOther, "can't write"};
    return false;
  }

 private:
  std::FILE* stream_;
};

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<romseed::Os> os = romseed::SystemOs();
  StandardStream out(stdout), errors(stderr);
  return romseed::Main(romseed::ProgramArguments(argc, argv), *os, out, errors);
}
