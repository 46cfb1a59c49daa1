// The calendar time in UTC, for the time stamps of the trace.
//
// Reading the system's real-time clock is the platform's affair: one file
// per platform implements UtcNowMilliseconds(). Turning the count into a
// date and a time of day is plain arithmetic, the same everywhere, so that
// no platform needs a calendar library for it.
#pragma once

#include <cstdint>

namespace zelqd::trace {

// A moment in UTC, proleptic Gregorian calendar.
struct UtcTime {
  std::int32_t year = 1970;
  std::uint32_t month = 1;  // 1..12
  std::uint32_t day = 1;    // 1..31
  std::uint32_t hour = 0;
  std::uint32_t minute = 0;
  std::uint32_t second = 0;
  std::uint32_t millisecond = 0;
};

// Milliseconds since 1970-01-01T00:00:00Z by the system's real-time clock.
std::int64_t UtcNowMilliseconds();

// The date and the time of day of a count of milliseconds since
// 1970-01-01T00:00:00Z; negative counts are moments before it.
UtcTime ToUtcTime(std::int64_t milliseconds);

}  // namespace zelqd::trace
