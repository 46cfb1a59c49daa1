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

// '0'..'9', 'A'..'F' and 'a'..'f'.
bool IsHexDigit(std::uint8_t c);

// Converts an eight-character value group whose first character is a
// hexadecimal digit, the way the conversion "%8X" does: an optional "0x" or
// "0X" prefix, then the hexadecimal digits that follow, upper or lower case,
// up to the end of the group or the first other character. A prefix with no
// digit after it converts to 0.
std::uint32_t ConvertHexGroup(const std::uint8_t* group);

// Converts count consecutive value groups into values[0..count-1], each as
// ConvertHexGroup does. Returns the index of the first group whose first
// character is no hexadecimal digit (values before it are converted, the
// rest untouched), or count when every group starts with one.
std::int32_t ConvertHexGroups(const std::uint8_t* groups, std::int32_t count,
                              std::uint32_t* values);

}  // namespace zelqd::protocol
