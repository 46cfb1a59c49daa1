// The remote computer's variables: 100000 values of 32 bits, all 0 at the
// start.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "zelsim/frame.h"

namespace zelsim {

class VariableTable {
 public:
  VariableTable() : values_(kVariableCount, 0) {}

  // variable: 0 to 99999.
  std::uint32_t Get(int variable) const { return values_.at(static_cast<std::size_t>(variable)); }
  void Set(int variable, std::uint32_t value) {
    values_.at(static_cast<std::size_t>(variable)) = value;
  }

  // count values from first on; the range must lie within the table.
  std::span<const std::uint32_t> Range(int first, int count) const {
    return std::span(values_).subspan(static_cast<std::size_t>(first),
                                      static_cast<std::size_t>(count));
  }

 private:
  std::vector<std::uint32_t> values_;
};

}  // namespace zelsim
