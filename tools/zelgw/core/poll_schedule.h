// Which block reads poll a line and in which order: each interval group of
// its polled variables planned for the least line time with the line's
// framing and the remote's turnaround, the reads ordered by FairSchedule.
// The line's thread alone uses it.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <vector>

#include "core/cycle_plan.h"
#include "core/fair_schedule.h"
#include "core/value_cache.h"

namespace zelgw {

using linetime::Block;

// The line's framing, and the turnaround it assumes until one is measured.
linetime::LineTiming LineTimingOf(const PlantLine& line);

// The polled variables by interval, each group's blocks the cheapest for
// timing (with at most maxGap unwanted variables between two wanted ones).
std::vector<linetime::IntervalGroup> PlanGroups(std::span<const ValueCache::Polled> polled,
                                                const linetime::LineTiming& timing,
                                                std::optional<int> maxGap);

class PollSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  using Entry = linetime::FairSchedule::Entry;

  PollSchedule(const linetime::LineTiming& timing, std::optional<int> maxGap);

  // New polled variables, planned again; every block is due at now.
  void Replace(std::vector<ValueCache::Polled> polled, Clock::time_point now);
  // Planned again for the remote's turnaround turnaroundMs; every block is due at now.
  void Replan(double turnaroundMs, Clock::time_point now);
  // Every block due at now (after the port was reopened).
  void Restart(Clock::time_point now);

  // The entry to read next, or -1 when none is due.
  int Next(Clock::time_point now) const;
  const Entry& entry(int i) const { return fair_.entries()[static_cast<std::size_t>(i)]; }
  Clock::time_point DueAt(int i) const;
  // The entry was read in a transfer that began at started.
  void Done(int i, Clock::time_point started);
  // When the next block is due; max() when none is polled.
  Clock::time_point NextDue() const;

  const linetime::LineTiming& timing() const { return timing_; }
  // The current plan's line time for one cycle.
  linetime::CycleTime Cycle() const { return linetime::CycleLineTime(groups_, timing_); }
  std::size_t blocks() const { return fair_.entries().size(); }

 private:
  linetime::LineTiming timing_;
  std::optional<int> maxGap_;
  std::vector<ValueCache::Polled> polled_;
  std::vector<linetime::IntervalGroup> groups_;
  linetime::FairSchedule fair_{{}, 0};
};

}  // namespace zelgw
