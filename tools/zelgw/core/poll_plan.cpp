#include "core/poll_plan.h"

namespace zelgw {

std::vector<Block> MergeBlocks(std::span<const int> variables, int maxGap, int maxCount) {
  std::vector<Block> blocks;
  for (const int v : variables) {
    if (!blocks.empty()) {
      Block& last = blocks.back();
      const int gap = v - last.end();
      if (gap >= 0 && gap <= maxGap && v - last.first + 1 <= maxCount) {
        last.count = v - last.first + 1;
        continue;
      }
    }
    blocks.push_back({v, 1});
  }
  return blocks;
}

}  // namespace zelgw
