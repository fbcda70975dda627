#include <cstdio>

#include "os.h"
#include "romseed.h"

namespace {

// Through the C library rather than iostreams, whose start (a locale) takes
// longer than a typical run's work. On Windows it ends lines with CR LF.
class StandardOutput : public romseed::Sink {
 public:
  bool Write(const unsigned char* p, std::size_t n) override {
    return std::fwrite(p, 1, n, stdout) == n;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<romseed::Os> os = romseed::SystemOs();
  StandardOutput out;
  return romseed::Main(romseed::ProgramArguments(argc, argv), *os, out);
}
