#include "protocol/checksum.h"

#include <cstddef>

#include "protocol/digits.h"

namespace zelqd::protocol {

namespace {

constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FFu;
constexpr std::uint64_t kEvenHalves = 0x0000FFFF0000FFFFu;
// Words a 16-bit lane takes before it could overflow: each adds two bytes.
constexpr std::int32_t kWordsPerFold = 0xFFFF / (2 * 0xFF);

}  // namespace

std::uint8_t Checksum(const std::uint8_t* bytes, std::int32_t length) {
  // Eight bytes at a time: the bytes of each word are added into four 16-bit
  // lanes, which are folded into the sum before any of them can overflow.
  // A value reply's 848 digits take 106 steps.
  const std::int32_t words = length > 0 ? length / 8 : 0;
  std::uint32_t sum = 0;
  for (std::int32_t w = 0; w < words;) {
    const std::int32_t end = words - w > kWordsPerFold ? w + kWordsPerFold : words;
    std::uint64_t lanes = 0;
    for (; w < end; ++w) {
      const std::uint64_t word = LoadLittleEndian64(bytes + 8 * static_cast<std::ptrdiff_t>(w));
      lanes += (word & kEvenBytes) + ((word >> 8) & kEvenBytes);
    }
    // Four 16-bit lanes into two 32-bit ones, then into the sum.
    lanes = (lanes & kEvenHalves) + ((lanes >> 16) & kEvenHalves);
    sum += static_cast<std::uint32_t>(lanes) + static_cast<std::uint32_t>(lanes >> 32);
  }
  for (std::int32_t i = 8 * words; i < length; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>(0u - sum);
}

}  // namespace zelqd::protocol
