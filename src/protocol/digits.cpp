#include "protocol/digits.h"

#include <cstddef>

namespace zelqd::protocol {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::ptrdiff_t kGroupWidth = 8;  // a pointer offset: widened before it multiplies

// Eight characters in the eight bytes of one word, the first in the lowest
// byte, each byte handled as a lane of its own.
constexpr std::uint64_t kLanes = 0x0101010101010101u;
constexpr std::uint64_t kLaneTops = 0x8080808080808080u;

// 0x80 in every lane whose character is at least c, 0 in the others. Every
// character must lie below 0x80, so that no lane carries into the next.
constexpr std::uint64_t AtLeast(std::uint64_t word, std::uint8_t c) {
  return (word + kLanes * (0x80u - c)) & kLaneTops;
}

// A value group of eight hexadecimal digits, converted all at once; false,
// with nothing stored, for any other group.
// Inlined, so that its constants stay in registers across a loop of groups.
[[gnu::always_inline]] inline bool EightHexDigits(const std::uint8_t* group, std::uint32_t* value) {
  const std::uint64_t word = LoadLittleEndian64(group);
  if ((word & kLaneTops) != 0) return false;
  const std::uint64_t digit = AtLeast(word, '0') & ~AtLeast(word, '9' + 1);
  const std::uint64_t folded = word | (kLanes * 0x20);  // 'A'..'F' become 'a'..'f'
  const std::uint64_t letter = AtLeast(folded, 'a') & ~AtLeast(folded, 'f' + 1);
  if ((digit | letter) != kLaneTops) return false;
  // A digit's value is its low four bits; a letter's, its low four bits + 9.
  const std::uint64_t nibbles = (word & (kLanes * 0x0F)) + (letter >> 7) * 9;
  // Pairs of nibbles into bytes, pairs of bytes into halves; the first
  // character is the most significant.
  const std::uint64_t bytes = ((nibbles << 4) | (nibbles >> 8)) & 0x00FF00FF00FF00FFu;
  const std::uint64_t halves = ((bytes << 8) | (bytes >> 16)) & 0x0000FFFF0000FFFFu;
  *value = static_cast<std::uint32_t>((halves << 16) | (halves >> 32));
  return true;
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

std::int32_t ConvertHexGroups(const std::uint8_t* groups, std::int32_t count,
                              std::uint32_t* values) {
  // Two groups a step: the compiler then keeps the constants in registers.
  std::int32_t i = 0;
  for (; i + 1 < count; i += 2) {
    if (!EightHexDigits(groups + kGroupWidth * i, &values[i])) return i;
    if (!EightHexDigits(groups + kGroupWidth * (i + 1), &values[i + 1])) return i + 1;
  }
  if (i < count && !EightHexDigits(groups + kGroupWidth * i, &values[i])) return i;
  return count;
}

}  // namespace zelqd::protocol
