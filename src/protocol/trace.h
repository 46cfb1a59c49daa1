// The driver's frame trace, for finding out why a line fails.
//
// Off unless the environment variable ZELQD_TRACE names a file (appended
// to; only a regular file, see trace_sink.h) or "-" (standard error) when
// the first transfer or the first failed open runs; the variable is read
// once. Each attempt then gives one line: the time, the request and the
// reply as printable text and in hexadecimal, and why the attempt failed;
// each failed open one line with the step that failed and the system's
// error. While off, a transfer pays one test of an atomic flag per attempt.
#pragma once

#include <atomic>
#include <cstddef>

#include "protocol/attempt.h"
#include "serial/com.h"

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

// Writes the line of a failed open: the port's name (its bytes up to a NUL,
// at most nameSize of them), the step that failed and the system's error.
void ReportOpenFailure(const char* name, std::size_t nameSize, const serial::OpenFailure& failure);

}  // namespace zelqd::trace
