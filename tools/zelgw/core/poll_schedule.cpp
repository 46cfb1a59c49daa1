#include "core/poll_schedule.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace zelgw {
namespace {

using Clock = PollSchedule::Clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

double Ms(Clock::time_point t) { return Milliseconds(t.time_since_epoch()).count(); }

}  // namespace

linetime::LineTiming LineTimingOf(const PlantLine& line) {
  linetime::LineTiming timing;
  timing.baud = line.baud;
  timing.dataBits = line.dataBits;
  timing.parity = line.parity;
  timing.stopBits = line.stopBits;
  timing.turnaroundMs = line.turnaroundMs;
  return timing;
}

std::vector<linetime::IntervalGroup> PlanGroups(std::span<const ValueCache::Polled> polled,
                                                const linetime::LineTiming& timing,
                                                std::optional<int> maxGap) {
  std::map<int, std::pair<std::vector<int>, int>> byInterval;  // variables (sorted), tags
  for (const ValueCache::Polled& p : polled) {
    if (p.pollMs <= 0) continue;
    auto& [variables, tags] = byInterval[p.pollMs];
    variables.push_back(p.variable);
    tags += p.tags;
  }
  std::vector<linetime::IntervalGroup> groups;
  for (auto& [interval, group] : byInterval) {
    std::sort(group.first.begin(), group.first.end());
    groups.push_back({interval, group.second, linetime::PlanCheapest(group.first, timing, maxGap)});
  }
  return groups;
}

PollSchedule::PollSchedule(const linetime::LineTiming& timing, std::optional<int> maxGap)
    : timing_(timing), maxGap_(maxGap) {}

void PollSchedule::Replace(std::vector<ValueCache::Polled> polled, Clock::time_point now) {
  polled_ = std::move(polled);
  Replan(timing_.turnaroundMs, now);
}

void PollSchedule::Replan(double turnaroundMs, Clock::time_point now) {
  timing_.turnaroundMs = turnaroundMs;
  groups_ = PlanGroups(polled_, timing_, maxGap_);
  Restart(now);
}

void PollSchedule::Restart(Clock::time_point now) {
  fair_ = linetime::FairSchedule(groups_, Ms(now));
}

int PollSchedule::Next(Clock::time_point now) const { return fair_.Next(Ms(now)); }

Clock::time_point PollSchedule::DueAt(int i) const {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(Milliseconds(entry(i).dueMs)));
}

void PollSchedule::Done(int i, Clock::time_point started) { fair_.Done(i, Ms(started)); }

Clock::time_point PollSchedule::NextDue() const {
  const double due = fair_.NextDueMs();
  if (std::isinf(due)) return Clock::time_point::max();
  return Clock::time_point(std::chrono::ceil<Clock::duration>(Milliseconds(due)));
}

}  // namespace zelgw
