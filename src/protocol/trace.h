// The driver's frame trace, for finding out why a line fails.
//
// Off unless the environment variable ZELQD_TRACE names a file (appended
// to; only a regular file, see trace_sink.h) or "-" (standard error) when
// the first transfer or the first failed open runs; the variable is read
// once. Each outcome record (outcome.h) then gives one line: for an
// attempt the time, the request and the reply as printable text and in
// hexadecimal, and why the attempt failed; for a failed open the step that
// failed and the system's error. While off, a transfer pays one test of an
// atomic flag per attempt.
#pragma once

#include <atomic>
#include <cstddef>

#include "zelqd/observer.h"

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

// Writes the line of an outcome record.
void Write(const ZelqdOutcome& outcome);

}  // namespace zelqd::trace
