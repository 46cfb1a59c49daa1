#include "core/fair_schedule.h"

#include <algorithm>
#include <limits>

namespace zelgw::linetime {

FairSchedule::FairSchedule(std::span<const IntervalGroup> groups, double nowMs) {
  for (const IntervalGroup& group : groups) {
    if (group.intervalMs <= 0) continue;
    for (const Block& block : group.blocks) {
      Entry entry;
      entry.block = block;
      entry.intervalMs = group.intervalMs;
      entry.dueMs = nowMs;
      entry.lastReadMs = nowMs - group.intervalMs;
      entries_.push_back(entry);
    }
  }
}

int FairSchedule::Next(double nowMs) const {
  int best = -1;
  double bestRatio = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (e.dueMs > nowMs) continue;
    const double ratio = (nowMs - e.lastReadMs) / e.intervalMs;
    if (best >= 0) {
      const Entry& b = entries_[static_cast<std::size_t>(best)];
      if (ratio < bestRatio) continue;
      if (ratio == bestRatio && (e.intervalMs > b.intervalMs ||
                                 (e.intervalMs == b.intervalMs && e.block.first >= b.block.first)))
        continue;
    }
    best = static_cast<int>(i);
    bestRatio = ratio;
  }
  return best;
}

void FairSchedule::Done(int entry, double startedMs) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries_.size()) return;
  Entry& e = entries_[static_cast<std::size_t>(entry)];
  if (e.reads > 0) {
    e.periodMs = startedMs - e.lastReadMs;
    e.averageMs = e.reads == 1 ? e.periodMs : e.averageMs + (e.periodMs - e.averageMs) / 8;
  }
  ++e.reads;
  e.lastReadMs = startedMs;
  e.dueMs += e.intervalMs;
  if (e.dueMs <= startedMs) e.dueMs = startedMs + e.intervalMs;
}

double FairSchedule::NextDueMs() const {
  double due = std::numeric_limits<double>::infinity();
  for (const Entry& e : entries_) due = std::min(due, e.dueMs);
  return due;
}

}  // namespace zelgw::linetime
