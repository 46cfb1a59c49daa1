#include "core/poll_schedule.h"

#include <algorithm>

namespace zelgw {
namespace {

using Clock = PollSchedule::Clock;

// Variables due this soon are read with those due now.
Clock::duration Lookahead(int pollMs) {
  return std::chrono::milliseconds(std::min(pollMs / 10, 50));
}

}  // namespace

void PollSchedule::Replace(const std::vector<ValueCache::Polled>& polled, Clock::time_point now) {
  std::vector<Entry> next;
  next.reserve(polled.size());
  for (const ValueCache::Polled& p : polled) {
    Entry e{p.variable, p.pollMs, now};
    const auto old = std::lower_bound(entries_.begin(), entries_.end(), p.variable,
                                      [](const Entry& x, int n) { return x.variable < n; });
    if (old != entries_.end() && old->variable == p.variable && old->pollMs == p.pollMs)
      e.due = old->due;
    next.push_back(e);
  }
  std::sort(next.begin(), next.end(),
            [](const Entry& a, const Entry& b) { return a.variable < b.variable; });
  entries_ = std::move(next);
}

std::vector<Block> PollSchedule::Due(Clock::time_point now, int maxGap) const {
  std::vector<int> due;
  for (const Entry& e : entries_) {
    if (e.due <= now + Lookahead(e.pollMs)) due.push_back(e.variable);
  }
  if (due.empty()) return {};
  return MergeBlocks(due, maxGap);
}

Clock::time_point PollSchedule::EarliestDue(const Block& block, Clock::time_point start) const {
  Clock::time_point earliest = Clock::time_point::max();
  for (const Entry& e : entries_) {
    if (e.variable >= block.first && e.variable < block.end() &&
        e.due <= start + Lookahead(e.pollMs))
      earliest = std::min(earliest, e.due);
  }
  return earliest;
}

std::uint64_t PollSchedule::Reschedule(const Block& block, Clock::time_point now) {
  std::uint64_t overruns = 0;
  for (Entry& e : entries_) {
    if (e.variable < block.first || e.variable >= block.end()) continue;
    if (e.due > now + Lookahead(e.pollMs)) continue;
    const Clock::duration interval = std::chrono::milliseconds(e.pollMs);
    Clock::time_point next = e.due + interval;
    if (next <= now) {
      const auto missed = (now - e.due) / interval;
      overruns += static_cast<std::uint64_t>(missed);
      next = e.due + (missed + 1) * interval;
    }
    e.due = next;
  }
  return overruns;
}

void PollSchedule::MakeDue(std::span<const int> variables, Clock::time_point now) {
  for (Entry& e : entries_) {
    if (std::find(variables.begin(), variables.end(), e.variable) != variables.end()) e.due = now;
  }
}

Clock::time_point PollSchedule::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const Entry& e : entries_) next = std::min(next, e.due - Lookahead(e.pollMs));
  return next;
}

}  // namespace zelgw
