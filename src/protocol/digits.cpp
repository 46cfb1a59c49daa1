#include "protocol/digits.h"

namespace zelqd::protocol {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kGroupWidth = 8;

std::uint32_t HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
  return static_cast<std::uint32_t>(c - 'a' + 10);
}

}  // namespace

void PutDecimal(std::uint8_t* out, std::uint32_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>('0' + value % 10);
    value /= 10;
  }
}

void PutHex(std::uint8_t* out, std::uint32_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(kHexDigits[value & 0xF]);
    value >>= 4;
  }
}

bool IsHexDigit(std::uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::uint32_t ConvertHexGroup(const std::uint8_t* group) {
  int i = 0;
  if (group[0] == '0' && (group[1] == 'x' || group[1] == 'X')) i = 2;
  std::uint32_t value = 0;
  for (; i < kGroupWidth && IsHexDigit(group[i]); ++i) value = (value << 4) | HexValue(group[i]);
  return value;
}

}  // namespace zelqd::protocol
