// How long characters take on the wire at a port's rate and framing.
#pragma once

#include <cstdint>

namespace zelqd::serial {

// Bits of one character: a start bit, the data bits, a parity bit unless
// the parity code is 0 (none), and one stop bit for code 0, two otherwise
// (one and a half rounded up).
constexpr std::uint32_t CharacterBits(std::uint8_t dataBits, std::uint8_t parity,
                                      std::uint8_t stopBits) {
  return 1u + dataBits + (parity != 0 ? 1u : 0u) + (stopBits == 0 ? 1u : 2u);
}

// Milliseconds that count characters of the given bits take at baud,
// rounded up; a rate of 0 counts as 1.
constexpr std::uint64_t WireMs(std::uint64_t count, std::uint32_t bits, std::uint32_t baud) {
  const std::uint64_t rate = baud != 0 ? baud : 1;
  return (count * bits * 1000 + rate - 1) / rate;
}

}  // namespace zelqd::serial
