// The driver's frame trace, for finding out why a line fails.
//
// Off unless the environment variable ZELQD_TRACE names a file (appended
// to) or "-" (standard error) when the first transfer runs; the variable is
// read once. Each attempt then gives one line: the time, the request and
// the reply as printable text and in hexadecimal, and why the attempt
// failed. While off, a transfer pays one test of an atomic flag per attempt.
#pragma once

#include <atomic>

#include "protocol/attempt.h"

namespace zelqd::trace {

namespace detail {
enum State : int { kUnknown = 0, kOff = 1, kOn = 2, kStarting = 3 };
extern std::atomic<int> g_state;
bool StartFromEnvironment();
}  // namespace detail

inline bool Enabled() {
  const int state = detail::g_state.load(std::memory_order_acquire);
  if (state == detail::kOff) [[likely]] {
    return false;
  }
  return state == detail::kOn || detail::StartFromEnvironment();
}

// Writes the line of one attempt (number counts from 1 to of).
void Report(const protocol::Attempt& attempt, int number, int of);

// Starts tracing to target ("-": standard error; otherwise a file, appended
// to) in place of whatever the environment says; nullptr or "" turns the
// trace off. Returns whether the trace is on. For tools and tests: not to be
// called while transfers run.
bool Start(const char* target);

// Turns the trace off and closes its file.
void Stop();

}  // namespace zelqd::trace
