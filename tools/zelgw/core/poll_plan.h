// How a line's wanted variables become block reads.
#pragma once

#include <span>
#include <vector>

namespace zelgw {

// count values from first on, in one ReadBlock.
struct Block {
  int first = 0;
  int count = 0;

  int end() const { return first + count; }
  bool operator==(const Block&) const = default;
};

// Merges sorted, distinct variable numbers into block reads: a block holds at
// most maxCount values (the driver reads up to 106 at once) and spans at
// most maxGap unwanted variables between two wanted ones.
std::vector<Block> MergeBlocks(std::span<const int> variables, int maxGap, int maxCount = 106);

}  // namespace zelgw
