// The real-time clock on Windows: GetSystemTimeAsFileTime, which every
// Windows version has, in units of 100 ns since 1601-01-01T00:00:00Z.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "protocol/utc_clock.h"

namespace zelqd::trace {
namespace {

// From 1601 to 1970: 369 years with 89 leap days (every fourth year but
// 1700, 1800 and 1900).
constexpr std::int64_t kDays1601To1970 = 369 * 365 + 369 / 4 - 3;
constexpr std::int64_t kMilliseconds1601To1970 = kDays1601To1970 * 86'400'000;
static_assert(kMilliseconds1601To1970 == 11'644'473'600'000);

}  // namespace

std::int64_t UtcNowMilliseconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10'000) - kMilliseconds1601To1970;
}

}  // namespace zelqd::trace
