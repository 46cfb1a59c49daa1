// Decimal and hexadecimal digits of the frames, written and read by hand:
// the result never depends on the process locale.
#pragma once

#include <bit>
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

// Writes value as exactly width decimal digits, with leading zeros. The
// caller keeps value below 10^width; higher digits are dropped.
void PutDecimal(std::uint8_t* out, std::uint32_t value, int width);

// Writes value as exactly width upper-case hexadecimal digits, with leading
// zeros; higher digits are dropped.
void PutHex(std::uint8_t* out, std::uint32_t value, int width);

// Converts count consecutive value groups into values[0..count-1]. A group
// is exactly eight hexadecimal digits, upper or lower case, the first the
// most significant. Returns the index of the first group that is anything
// else (a space, a sign, a "0x" prefix, any other byte): the values before
// it are converted, the rest untouched. Returns count when every group is
// sound.
std::int32_t ConvertHexGroups(const std::uint8_t* groups, std::int32_t count,
                              std::uint32_t* values);

}  // namespace zelqd::protocol
