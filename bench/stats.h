// Latency samples of one case and what the report shows of them.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

struct Summary {
  std::uint64_t transfers = 0;
  std::uint64_t failures = 0;
  double medianUs = 0;
  double p99Us = 0;
  double perSecond = 0;  // back to back: transfers / the time they took
};

// samples: nanoseconds per transfer (reordered in place).
Summary Summarise(std::vector<std::int64_t>& samples, std::uint64_t failures);

// Monotonic clock in nanoseconds.
std::int64_t NowNs();

// CPU time of the calling thread, user and system, in nanoseconds: what a
// client costs the machine, apart from the time it spends waiting.
std::int64_t ThreadCpuNs();

}  // namespace bench
