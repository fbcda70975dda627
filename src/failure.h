#ifndef ROMSEED_FAILURE_H_
#define ROMSEED_FAILURE_H_

#include <string>

namespace romseed {

// Why a step of a run failed: the message for standard output, exactly as
// scripts know it, and the system's reason where there is one, for a person.
struct Failure {
  std::string message;
  std::string reason;
};

// Sets `*err` and returns false, so that a failure is one return statement.
inline bool Fail(Failure* err, std::string message, std::string reason = std::string()) {
  *err = {std::move(message), std::move(reason)};
  return false;
}

}  // namespace romseed

#endif  // ROMSEED_FAILURE_H_
