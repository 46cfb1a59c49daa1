#include "core/cycle_plan.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "driver_facts.h"

namespace zelgw::linetime {

namespace facts = zeltools::driver_facts;

std::vector<Block> PlanCheapest(std::span<const int> variables, const LineTiming& timing,
                                std::optional<int> maxGap) {
  const std::size_t n = variables.size();
  // cost[i]: the least line time for the first i variables; from[i]: where
  // the last block of that plan starts.
  std::vector<double> cost(n + 1, std::numeric_limits<double>::infinity());
  std::vector<std::size_t> from(n + 1, 0);
  cost[0] = 0;
  for (std::size_t i = 1; i <= n; ++i) {
    const int last = variables[i - 1];
    for (std::size_t j = i; j-- > 0;) {
      const int span = last - variables[j] + 1;
      if (span > facts::kMaxBlock) break;
      if (j + 1 < i && maxGap && variables[j + 1] - variables[j] - 1 > *maxGap) break;
      const double c = cost[j] + ReadTransferMs(timing, span);
      if (c < cost[i]) {
        cost[i] = c;
        from[i] = j;
      }
    }
  }
  std::vector<Block> blocks;
  for (std::size_t i = n; i > 0; i = from[i]) {
    const int first = variables[from[i]];
    blocks.push_back({first, variables[i - 1] - first + 1});
  }
  std::reverse(blocks.begin(), blocks.end());
  return blocks;
}

std::vector<Block> FixedGapPlan(std::span<const int> variables, int maxGap) {
  std::vector<Block> blocks;
  for (const int v : variables) {
    if (!blocks.empty()) {
      Block& last = blocks.back();
      const int gap = v - last.end();
      if (gap >= 0 && gap <= maxGap && v - last.first + 1 <= facts::kMaxBlock) {
        last.count = v - last.first + 1;
        continue;
      }
    }
    blocks.push_back({v, 1});
  }
  return blocks;
}

double PlanLineMs(std::span<const Block> blocks, const LineTiming& timing) {
  double ms = 0;
  for (const Block& block : blocks) ms += ReadTransferMs(timing, block.count);
  return ms;
}

bool NeedsReplan(double oldMs, double newMs, double share) {
  return std::fabs(newMs - oldMs) > share * std::max(oldMs, 1.0);
}

}  // namespace zelgw::linetime
