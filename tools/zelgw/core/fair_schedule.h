// The order in which a line's poll blocks are read. A block is due one
// wished interval after its last due time; of the due blocks the one read
// next is the one furthest behind, by the time since its last read as a
// multiple of its interval (ties: the shorter interval, then the lower
// variable).
//
// A line with time to spare reads every block on time: due times advance by
// the interval, so a block read late is due again sooner and keeps its
// rate. An overloaded line, whose blocks need more time than their
// intervals leave, still reads every block, and because it always serves
// the one furthest behind, every block's period becomes about the same
// multiple of its interval: the faster ones stay faster, none starves. A
// block that fell a whole interval behind takes its next due time from its
// read, so that no debt builds up to be paid back in a burst.
//
// Writes and read-throughs go before polls; the caller sends them and asks
// again. Pure: no clock of its own, no I/O; Next and Done allocate nothing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/line_time.h"

namespace zelgw::linetime {

class FairSchedule {
 public:
  struct Entry {
    Block block;
    int intervalMs = 0;
    double dueMs = 0;
    double lastReadMs = 0;
    double periodMs = 0;   // the last period between two reads; 0 before the second
    double averageMs = 0;  // its moving average (a weight of 1/8 for the newest)
    std::size_t reads = 0;
  };

  // The blocks of every group of an interval above 0; all due at nowMs.
  FairSchedule(std::span<const IntervalGroup> groups, double nowMs);

  // The entry to read next at nowMs, or -1 when none is due.
  int Next(double nowMs) const;
  // The entry was read, in a transfer that began at startedMs (periods are
  // from the start of one read to the start of the next).
  void Done(int entry, double startedMs);
  // When the next entry falls due; the caller may wait until then.
  double NextDueMs() const;

  std::span<const Entry> entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
};

}  // namespace zelgw::linetime
