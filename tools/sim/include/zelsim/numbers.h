// Numbers as people write them in files and on command lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zelsim {

// A 32-bit value: signed decimal (-2147483648 to -1 stand for their two's
// complement), unsigned decimal up to 4294967295, or 0x and 1 to 8
// hexadecimal digits.
std::optional<std::uint32_t> ParseValue(std::string_view text);

// A variable number 0 to 99999: decimal, 0x hexadecimal, or "$" and decimal
// digits.
std::optional<int> ParseVariableNumber(std::string_view text);

}  // namespace zelsim
