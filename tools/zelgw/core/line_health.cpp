#include "core/line_health.h"

#include <algorithm>

namespace zelgw {
namespace {

std::vector<double> TransferBounds() {
  return {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
}
std::vector<double> LatenessBounds() { return {0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1, 5}; }

}  // namespace

const char* LineStateName(LineState state) {
  switch (state) {
    case LineState::Opening:
      return "opening";
    case LineState::Open:
      return "open";
    case LineState::Reopening:
      return "reopening";
  }
  return "opening";
}

Histogram::Histogram(std::vector<double> upperBounds)
    : bounds(std::move(upperBounds)), counts(bounds.size() + 1, 0) {}

void Histogram::Observe(double value) {
  const auto at = std::lower_bound(bounds.begin(), bounds.end(), value) - bounds.begin();
  ++counts[static_cast<std::size_t>(at)];
  sum += value;
  ++count;
}

HealthCounters::HealthCounters(const std::string& name, const std::string& port) {
  health_.name = name;
  health_.port = port;
  health_.transferSeconds = Histogram(TransferBounds());
  health_.pollLateness = Histogram(LatenessBounds());
}

namespace {

std::int64_t SecondOf(BusyWindow::Clock::time_point t) {
  return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

void BusyWindow::Add(Clock::time_point end, Clock::duration busy) {
  const std::int64_t second = SecondOf(end);
  Slot& slot = slots_[static_cast<std::size_t>(second % kSeconds)];
  if (slot.second != second) slot = {second, {}};
  slot.busy += busy;
}

double BusyWindow::Share(Clock::time_point now) const {
  const std::int64_t last = SecondOf(now);
  Clock::duration busy{};
  for (const Slot& slot : slots_) {
    if (slot.second > last - kSeconds && slot.second <= last) busy += slot.busy;
  }
  const Clock::time_point from =
      std::max(start_, Clock::time_point(std::chrono::seconds(last - kSeconds + 1)));
  const double wall = std::chrono::duration<double>(now - from).count();
  if (wall <= 0) return 0;
  return std::clamp(std::chrono::duration<double>(busy).count() / wall, 0.0, 1.0);
}

void HealthCounters::AddBusy(Clock::time_point end, Clock::duration busy) {
  std::lock_guard lock(mutex_);
  busy_.Add(end, busy);
}

void HealthCounters::SetReopenAt(Clock::time_point at) {
  std::lock_guard lock(mutex_);
  reopenAt_ = at;
}

LineHealth HealthCounters::Snapshot() const {
  std::lock_guard lock(mutex_);
  LineHealth h = health_;
  h.utilisation = busy_.Share(Clock::now());
  if (h.state != LineState::Open)
    h.reopenInSeconds =
        std::max(0.0, std::chrono::duration<double>(reopenAt_ - Clock::now()).count());
  return h;
}

}  // namespace zelgw
