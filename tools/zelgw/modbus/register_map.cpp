#include "modbus/register_map.h"

#include <algorithm>

namespace zelgw {

RegisterMap::RegisterMap(const ModbusLine& line) : ranges_(line.ranges), order_(line.wordOrder) {
  std::sort(ranges_.begin(), ranges_.end(), [](const RegisterRange& a, const RegisterRange& b) {
    return a.firstRegister < b.firstRegister;
  });
}

std::optional<RegisterMap::Slot> RegisterMap::At(int reg) const {
  // The last range that starts at or before the register.
  auto it =
      std::upper_bound(ranges_.begin(), ranges_.end(), reg,
                       [](int r, const RegisterRange& range) { return r < range.firstRegister; });
  if (it == ranges_.begin()) return std::nullopt;
  --it;
  const int offset = reg - it->firstRegister;
  if (offset >= 2 * it->count) return std::nullopt;
  return Slot{it->firstVariable + offset / 2, offset % 2};
}

bool RegisterMap::WholeVariables(int first, int count) const {
  if (count <= 0) return true;
  // A run of registers cuts a variable only at its ends: in a range the
  // registers between them pair up.
  const auto head = At(first);
  const auto tail = At(first + count - 1);
  return (!head || head->half == 0) && (!tail || tail->half == 1);
}

std::uint16_t RegisterMap::Word(std::uint32_t value, int half) const {
  const bool high = (half == 0) == (order_ == WordOrder::HighFirst);
  return static_cast<std::uint16_t>(high ? value >> 16 : value);
}

std::uint32_t RegisterMap::Join(std::uint16_t first, std::uint16_t second) const {
  return order_ == WordOrder::HighFirst ? static_cast<std::uint32_t>(first) << 16 | second
                                        : static_cast<std::uint32_t>(second) << 16 | first;
}

}  // namespace zelgw
