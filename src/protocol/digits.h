// Decimal and hexadecimal digits of the frames, written and read by hand:
// the result never depends on the process locale.
#pragma once

#include <cstdint>

namespace zelqd::protocol {

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

}  // namespace zelqd::protocol
