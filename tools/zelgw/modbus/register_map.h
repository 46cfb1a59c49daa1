// Where a line's variables sit among the Modbus holding registers: each
// variable in two registers, by the ranges of the configuration, and which
// half of the value the first register holds.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "modbus/modbus_settings.h"

namespace zelgw {

class RegisterMap {
 public:
  explicit RegisterMap(const ModbusLine& line);

  struct Slot {
    int variable = 0;
    int half = 0;  // 0: the first of the variable's two registers, 1: the second
  };
  // The variable a register belongs to; none for a register in no range.
  std::optional<Slot> At(int reg) const;

  // Whether count registers from first hold whole variables only: none of
  // them is one register of a variable whose other register lies outside.
  bool WholeVariables(int first, int count) const;

  // The word of value that the variable's register `half` holds, and the
  // value of the two words in register order.
  std::uint16_t Word(std::uint32_t value, int half) const;
  std::uint32_t Join(std::uint16_t first, std::uint16_t second) const;

 private:
  std::vector<RegisterRange> ranges_;  // sorted by first register
  WordOrder order_;
};

}  // namespace zelgw
