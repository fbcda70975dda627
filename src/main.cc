#include <exception>
#include <iostream>

#include "platform.h"
#include "romseed.h"

int main(int argc, char** argv) {
  try {
    return romseed::Run(romseed::ProgramArguments(argc, argv), std::cout);
  } catch (const std::exception& e) {
    // The working file, if any, was removed as the stack unwound.
    std::cout << "romseed: " << e.what();
    return 1;
  }
}
