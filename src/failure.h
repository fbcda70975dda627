#ifndef ROMSEED_FAILURE_H_
#define ROMSEED_FAILURE_H_

#include <string>

namespace romseed {

// Why a call to the system failed: what the caller acts on, and the
// system's own words, taken where it failed, for a person.
struct OsError {
  enum Kind {
    kNone,
    kGone,       // nothing bears the name
    kExists,     // the name is taken
    kDenied,     // not allowed to this user, or the file system is read-only
    kNeedsCopy,  // Move: the file cannot go there itself, but a copy of it can
    kNotSupported,  // the system or the file system has no such thing (Lock)
    kBusy,          // another process holds it open for a moment (Windows)
    kOther,
  };
  Kind kind = kNone;
  std::string reason;
};

// Why a step of a run failed: the message for standard output, exactly as
// scripts know it, and the system's reason where there is one, for a person.
struct Failure {
  std::string message;
  std::string reason;
};

// The message of a binary file that does not read, whatever its format.
inline std::string CantReadBinary(const std::string& path) { return "can't read binary file " + path; }

// Sets `*err` and returns false, so that a failure is one return statement.
inline bool Fail(Failure* err, std::string message, std::string reason = std::string()) {
  *err = {std::move(message), std::move(reason)};
  return false;
}

}  // namespace romseed

#endif  // ROMSEED_FAILURE_H_
