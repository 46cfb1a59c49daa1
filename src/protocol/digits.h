// Decimal and hexadecimal digits of the frames, written and read by hand:
// the result never depends on the process locale.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelqd::protocol {

// Eight bytes as one number, the first in the lowest byte, from any address.
inline std::uint64_t LoadLittleEndian64(const std::uint8_t* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// Two characters of digits for every value of a pair, with the sum of
// their bytes: decimal 00 to 99, hexadecimal 00 to FF (upper case).
struct DigitPair {
  std::uint8_t chars[2];
  std::uint16_t sum;
};

template <std::uint32_t Base>
constexpr std::array<DigitPair, std::size_t{Base} * Base> MakeDigitPairs() {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<DigitPair, std::size_t{Base} * Base> pairs{};
  for (std::uint32_t i = 0; i < Base * Base; ++i) {
    const auto first = static_cast<std::uint8_t>(kDigits[i / Base]);
    const auto second = static_cast<std::uint8_t>(kDigits[i % Base]);
    pairs[i] = DigitPair{{first, second}, static_cast<std::uint16_t>(first + second)};
  }
  return pairs;
}

inline constexpr std::array<DigitPair, 100> kDecimalPairs = MakeDigitPairs<10>();
inline constexpr std::array<DigitPair, 256> kHexPairs = MakeDigitPairs<16>();

// Writes value as exactly Width digits of base Base (10 or 16, upper case),
// with leading zeros, two at a time, and returns the sum of the bytes
// written. Digits above Width are dropped.
template <std::uint32_t Base, int Width>
inline std::uint32_t PutDigits(std::uint8_t* out, std::uint32_t value) {
  constexpr const DigitPair* kPairs = Base == 10 ? kDecimalPairs.data() : kHexPairs.data();
  std::uint32_t sum = 0;
  int at = Width;
#pragma GCC unroll 4
  for (; at >= 2; at -= 2) {
    const DigitPair& pair = kPairs[value % (Base * Base)];
    value /= Base * Base;
    std::memcpy(out + at - 2, pair.chars, 2);
    sum += pair.sum;
  }
  if (at == 1) {
    const DigitPair& pair = kPairs[value % Base];  // "0d": its second character
    out[0] = pair.chars[1];
    sum += pair.chars[1];
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
