// The 8-bit checksum that protects requests and replies.
#pragma once

#include <cstdint>

#include "protocol/digits.h"

namespace zelqd::protocol {

// The sum of the bytes modulo 256, negated (0 - sum): the covered bytes and
// the checksum together sum to 0 modulo 256. A length of 0 or less gives 0.
std::uint8_t Checksum(const std::uint8_t* bytes, std::int32_t length);

// A checksum as it goes on the line: two upper-case hexadecimal digits.
inline void PutChecksum(std::uint8_t* out, std::uint8_t sum) { PutHex<2>(out, sum); }

}  // namespace zelqd::protocol
