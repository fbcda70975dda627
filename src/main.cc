#include <iostream>

#include "platform.h"
#include "romseed.h"

int main(int argc, char** argv) {
  std::unique_ptr<romseed::Platform> sys = romseed::SystemPlatform();
  return romseed::Main(romseed::ProgramArguments(argc, argv), *sys, std::cout);
}
