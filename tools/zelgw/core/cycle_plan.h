// Which block reads poll an interval group's variables: the cheapest in line
// time, and the rule of merging neighbours up to a fixed gap.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/line_time.h"

namespace zelgw::linetime {

// The blocks that read the sorted, distinct variables in the least line time
// (the sum of ReadTransferMs over the blocks). A block spans at most 106
// variables and may take in unwanted ones between two wanted ones: that is
// worth it while 8 characters a value cost less than a request, a
// turnaround and the overhead. With maxGap, no block spans more than maxGap
// unwanted variables between two wanted ones. Exact: dynamic programming
// over the variables, at most 106 choices each.
std::vector<Block> PlanCheapest(std::span<const int> variables, const LineTiming& timing,
                                std::optional<int> maxGap = std::nullopt);

// Merges each variable into the block before it when at most maxGap unwanted
// variables lie between them and the block stays within 106 values.
std::vector<Block> FixedGapPlan(std::span<const int> variables, int maxGap = 4);

// The line time of reading the blocks once.
double PlanLineMs(std::span<const Block> blocks, const LineTiming& timing);

// Whether a plan made for the turnaround figure oldMs is to be made again
// for newMs: when it moved by more than share of the old figure (of 1 ms at
// least, so that jitter around a figure near 0 does not count).
bool NeedsReplan(double oldMs, double newMs, double share = 0.2);

}  // namespace zelgw::linetime
