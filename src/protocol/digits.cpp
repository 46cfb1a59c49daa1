#include "protocol/digits.h"

#include <cstddef>

#include "protocol/checksum.h"

namespace zelqd::protocol {
namespace {

constexpr int kGroupWidth = 8;
constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FFu;
// Groups a 16-bit lane of the byte sum takes: each adds two digits of at
// most 'f'. A longer run is summed again by Checksum.
constexpr std::int32_t kGroupsPerFold = 0xFFFF / (2 * 'f');

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
// with nothing stored, for any other group. The number is stored with its
// 16-bit halves exchanged, as a value slot holds it.
// Inlined, so that its constants stay in registers across a loop of groups.
[[gnu::always_inline]] inline bool EightHexDigits(const std::uint8_t* group, std::uint32_t* value,
                                                  std::uint64_t* lanes) {
  const std::uint64_t word = LoadLittleEndian64(group);
  if ((word & kLaneTops) != 0) return false;
  const std::uint64_t digit = AtLeast(word, '0') & ~AtLeast(word, '9' + 1);
  const std::uint64_t folded = word | (kLanes * 0x20);  // 'A'..'F' become 'a'..'f'
  const std::uint64_t letter = AtLeast(folded, 'a') & ~AtLeast(folded, 'f' + 1);
  if ((digit | letter) != kLaneTops) return false;
  // A digit's value is its low four bits; a letter's, its low four bits + 9.
  const std::uint64_t nibbles = (word & (kLanes * 0x0F)) + (letter >> 7) * 9;
  // Pairs of nibbles into bytes, pairs of bytes into halves; the first
  // character is the most significant. The high half is in bits 0 to 15,
  // the low half in bits 32 to 47.
  const std::uint64_t bytes = ((nibbles << 4) | (nibbles >> 8)) & 0x00FF00FF00FF00FFu;
  const std::uint64_t halves = ((bytes << 8) | (bytes >> 16)) & 0x0000FFFF0000FFFFu;
  *value = static_cast<std::uint32_t>(halves | (halves >> 16));
  *lanes += (word & kEvenBytes) + ((word >> 8) & kEvenBytes);
  return true;
}

// Four 16-bit lanes summed.
std::uint32_t Fold(std::uint64_t lanes) {
  const std::uint64_t folded =
      (lanes & 0x0000FFFF0000FFFFu) + ((lanes >> 16) & 0x0000FFFF0000FFFFu);
  return static_cast<std::uint32_t>(folded) + static_cast<std::uint32_t>(folded >> 32);
}

[[gnu::noinline]] std::int32_t ConvertMany(const std::uint8_t* groups, std::int32_t count,
                                           std::uint32_t* values, std::uint8_t* sum) {
  // The bytes of each sound group are summed in four 16-bit lanes as it is
  // converted; a digit is at most 'f', so the lanes hold the sum of
  // kGroupsPerFold groups. Two groups a step: the compiler then keeps the
  // constants in registers.
  std::uint64_t lanes = 0;
  std::int32_t i = 0;
  for (; i + 1 < count; i += 2) {
    const std::uint8_t* group = groups + std::ptrdiff_t{kGroupWidth} * i;
    if (!EightHexDigits(group, &values[i], &lanes)) return i;
    if (!EightHexDigits(group + kGroupWidth, &values[i + 1], &lanes)) return i + 1;
  }
  if (i < count && !EightHexDigits(groups + std::ptrdiff_t{kGroupWidth} * i, &values[i], &lanes)) {
    return i;
  }
  if (sum != nullptr) {
    *sum = count <= kGroupsPerFold
               ? static_cast<std::uint8_t>(Fold(lanes))
               : static_cast<std::uint8_t>(0u - Checksum(groups, kGroupWidth * count));
  }
  return count;
}

}  // namespace

// One group, the reply of a single value, is converted without the set-up
// of a loop.
std::int32_t ConvertHexGroupsToSlots(const std::uint8_t* groups, std::int32_t count,
                                     std::uint32_t* slotNumbers, std::uint8_t* sum) {
  if (count != 1) return ConvertMany(groups, count, slotNumbers, sum);
  std::uint64_t lanes = 0;
  if (!EightHexDigits(groups, slotNumbers, &lanes)) return 0;
  if (sum != nullptr) *sum = static_cast<std::uint8_t>(Fold(lanes));
  return 1;
}

}  // namespace zelqd::protocol
