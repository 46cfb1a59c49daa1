#include "protocol/digits.h"

#include <cstddef>

#include "protocol/slots.h"

namespace zelqd::protocol {
namespace {

constexpr std::ptrdiff_t kGroupWidth = 8;

// The value of a hexadecimal digit, or -1 for any other byte.
int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::int32_t ConvertHexGroupsToSlots(const std::uint8_t* groups, std::int32_t count,
                                     std::uint32_t* slotNumbers, std::uint8_t* sum) {
  std::uint32_t total = 0;
  for (std::int32_t g = 0; g < count; ++g) {
    const std::uint8_t* group = groups + kGroupWidth * g;
    std::uint32_t value = 0;
    for (std::ptrdiff_t i = 0; i < kGroupWidth; ++i) {
      const int digit = HexDigit(group[i]);
      if (digit < 0) return g;
      value = value << 4 | static_cast<std::uint32_t>(digit);
      total += group[i];
    }
    slotNumbers[g] = SwapHalves(value);
  }
  if (sum != nullptr) *sum = static_cast<std::uint8_t>(total);
  return count;
}

}  // namespace zelqd::protocol
