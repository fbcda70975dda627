#ifndef ROMSEED_RETRY_LIMITS_H_
#define ROMSEED_RETRY_LIMITS_H_

// How often and how long a run tries again, all in one place. Each new
// attempt means that another run (or a virus scanner, on Windows) held a
// file for a moment, so the bounds only stop loops that could not end.

namespace romseed {

// The pause between two tries of a step that another process holds up.
inline constexpr int kRetryPauseMs = 10;
// Opening a file for its turn, where each failure means that another run
// moved the file away or took it meanwhile.
inline constexpr int kTurnAttempts = 1000;
// Tries for a turn before the run says that it waits: a second in all.
inline constexpr int kQuietTurnTries = 100;
// A move that another process's open handle refuses (two seconds: Windows
// alone says so).
inline constexpr int kMoveTries = 200;
// Names beside the UCF, each taken only if a run drew the same token.
inline constexpr int kBesideNameTries = 8;
// Swaps back to the UCF's name of an editor's save, each one more only if
// they saved again within a swap.
inline constexpr int kSwapBackTries = 16;

}  // namespace romseed

#endif  // ROMSEED_RETRY_LIMITS_H_
