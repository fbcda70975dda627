#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "romseed.h"

int main(int argc, char** argv) {
  try {
    return romseed::Run(std::vector<std::string>(argv, argv + argc), std::cout);
  } catch (const std::exception& e) {
    // The working file, if any, was removed as the stack unwound.
    std::cout << "romseed: " << e.what();
    return 1;
  }
}
