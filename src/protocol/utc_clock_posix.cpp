// The real-time clock on POSIX systems.
#include <time.h>

#include "protocol/utc_clock.h"

namespace zelqd::trace {

std::int64_t UtcNowMilliseconds() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

}  // namespace zelqd::trace
