#include "stats.h"

#include <time.h>

#include <algorithm>
#include <numeric>

namespace bench {
namespace {

// The sample at quantile q (nearest rank).
std::int64_t Quantile(std::vector<std::int64_t>& samples, double q) {
  auto rank = static_cast<std::size_t>(q * static_cast<double>(samples.size()));
  if (rank >= samples.size()) rank = samples.size() - 1;
  auto at = samples.begin() + static_cast<std::ptrdiff_t>(rank);
  std::nth_element(samples.begin(), at, samples.end());
  return *at;
}

}  // namespace

Summary Summarise(std::vector<std::int64_t>& samples, std::uint64_t failures) {
  Summary s;
  s.failures = failures;
  s.transfers = samples.size();
  if (samples.empty()) return s;
  const double total = static_cast<double>(
      std::accumulate(samples.begin(), samples.end(), static_cast<std::int64_t>(0)));
  s.perSecond = total > 0 ? static_cast<double>(samples.size()) * 1e9 / total : 0;
  s.medianUs = static_cast<double>(Quantile(samples, 0.5)) / 1e3;
  s.p99Us = static_cast<double>(Quantile(samples, 0.99)) / 1e3;
  return s;
}

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace bench
