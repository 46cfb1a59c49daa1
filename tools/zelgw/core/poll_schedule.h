// When each polled variable of a line is due, and which block reads carry
// the polls due now. The line's thread alone uses it.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "core/poll_plan.h"
#include "core/value_cache.h"

namespace zelgw {

class PollSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // The polled variables: one whose interval stays keeps its phase, the
  // others are due now.
  void Replace(const std::vector<ValueCache::Polled>& polled, Clock::time_point now);
  // The block reads of the variables due now, or this soon (so that tags of
  // slightly different phases share block reads); empty when none is.
  std::vector<Block> Due(Clock::time_point now, int maxGap) const;
  // When the earliest variable of block that is due at start was due;
  // Clock::time_point::max() when none is.
  Clock::time_point EarliestDue(const Block& block, Clock::time_point start) const;
  // After a poll of block: each due variable of it next on its own grid, so
  // that neighbours stay together. The cycles missed entirely.
  std::uint64_t Reschedule(const Block& block, Clock::time_point now);
  // Due at once (values that went stale while the port was closed).
  void MakeDue(std::span<const int> variables, Clock::time_point now);
  // When the next poll is due (with its look-ahead); max() when none.
  Clock::time_point NextDue() const;

 private:
  struct Entry {
    int variable = 0;
    int pollMs = 0;
    Clock::time_point due{};
  };
  std::vector<Entry> entries_;  // sorted by variable
};

}  // namespace zelgw
