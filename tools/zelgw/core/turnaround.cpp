#include "core/turnaround.h"

#include <algorithm>

namespace zelgw::linetime {

double TurnaroundSampleMs(std::uint64_t sentNs, std::uint64_t firstReplyNs, int requestSize,
                          const LineTiming& timing) {
  if (firstReplyNs <= sentNs) return 0;
  const double elapsedMs = static_cast<double>(firstReplyNs - sentNs) / 1e6;
  return std::max(0.0, elapsedMs - (requestSize + 1) * CharacterMs(timing));
}

void TurnaroundHistogram::Observe(double ms) {
  const auto bound = std::lower_bound(kBoundsMs.begin(), kBoundsMs.end(), ms);
  ++counts_[static_cast<std::size_t>(bound - kBoundsMs.begin())];
  ++count_;
  sumMs_ += ms;
}

std::uint64_t TurnaroundHistogram::CumulativeCount(std::size_t i) const {
  std::uint64_t sum = 0;
  for (std::size_t b = 0; b <= i && b < kBuckets; ++b) sum += counts_[b];
  return sum;
}

void TurnaroundFigure::Add(double ms) {
  samples_[next_] = ms;
  next_ = (next_ + 1) % kWindow;
  size_ = std::min(size_ + 1, kWindow);
  histogram_.Observe(ms);
}

double TurnaroundFigure::ms() const {
  if (size_ == 0) return 0;
  std::array<double, kWindow> sorted = samples_;
  const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(size_);
  std::sort(sorted.begin(), end);
  const std::size_t half = size_ / 2;
  return size_ % 2 == 1 ? sorted[half] : (sorted[half - 1] + sorted[half]) / 2;
}

}  // namespace zelgw::linetime
