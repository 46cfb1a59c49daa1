// Decimal and hexadecimal digits of the frames, written and read by hand:
// the result never depends on the process locale.
#pragma once

#include <cstdint>

namespace zelqd::protocol {

// Writes value as exactly Width digits of base Base (10 or 16, upper case),
// with leading zeros, and returns the sum of the bytes written. Digits above
// Width are dropped.
template <std::uint32_t Base, int Width>
inline std::uint32_t PutDigits(std::uint8_t* out, std::uint32_t value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::uint32_t sum = 0;
  for (int i = Width - 1; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(kDigits[value % Base]);
    sum += out[i];
    value /= Base;
  }
  return sum;
}

template <int Width>
inline std::uint32_t PutDecimal(std::uint8_t* out, std::uint32_t value) {
  return PutDigits<10, Width>(out, value);
}

template <int Width>
inline std::uint32_t PutHex(std::uint8_t* out, std::uint32_t value) {
  return PutDigits<16, Width>(out, value);
}

// Converts count consecutive value groups into slotNumbers[0..count-1]. A
// group is exactly eight hexadecimal digits, upper or lower case, the first
// the most significant; its number is stored as a value slot holds it read
// as one little-endian word: with its 16-bit halves exchanged (slots.h).
// Returns the index of the first group that is anything else (a space, a
// sign, a "0x" prefix, any other byte): the groups before it are converted,
// the rest untouched. Returns count when every group is sound; then *sum
// (when not null) receives the sum of all their bytes modulo 256, as the
// checksum counts them.
std::int32_t ConvertHexGroupsToSlots(const std::uint8_t* groups, std::int32_t count,
                                     std::uint32_t* slotNumbers, std::uint8_t* sum = nullptr);

}  // namespace zelqd::protocol
