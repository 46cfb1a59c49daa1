// The remote's turnaround, measured: the time from the end of a request on
// the wire to the first byte of the reply.
//
// The running figure is the median of the last 32 samples. A remote answers
// in about the same time as long as it is well; a burst of slow answers
// (a remote busy for a while, a reply that came after a retry) moves the
// median only once it lasts for half the window, so one odd sample neither
// inflates the figure nor makes the plan be made again, while a lasting
// change shows within 16 transfers. No tuning constant beyond the window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/line_time.h"

namespace zelgw::linetime {

// One sample from an attempt's stamps (ns of one clock): the time from
// sending the request to the first reply byte, less the request's wire time
// and the first byte's own; 0 when the stamps say less than that.
double TurnaroundSampleMs(std::uint64_t sentNs, std::uint64_t firstReplyNs, int requestSize,
                          const LineTiming& timing);

// The turnaround samples counted in buckets, for /metrics: upper bounds in
// ms, the last one +Inf.
class TurnaroundHistogram {
 public:
  static constexpr std::array<double, 10> kBoundsMs = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
  static constexpr std::size_t kBuckets = kBoundsMs.size() + 1;

  void Observe(double ms);
  // Samples of at most the i-th bound (cumulative, as /metrics states it);
  // i = kBuckets - 1 is all of them.
  std::uint64_t CumulativeCount(std::size_t i) const;
  std::uint64_t count() const { return count_; }
  double sumMs() const { return sumMs_; }

 private:
  std::array<std::uint64_t, kBuckets> counts_{};
  std::uint64_t count_ = 0;
  double sumMs_ = 0;
};

class TurnaroundFigure {
 public:
  static constexpr std::size_t kWindow = 32;

  void Add(double ms);
  // The median of the samples kept; 0 before the first one.
  double ms() const;
  std::size_t samples() const { return size_; }
  const TurnaroundHistogram& histogram() const { return histogram_; }

 private:
  std::array<double, kWindow> samples_{};
  std::size_t next_ = 0;
  std::size_t size_ = 0;
  TurnaroundHistogram histogram_;
};

}  // namespace zelgw::linetime
