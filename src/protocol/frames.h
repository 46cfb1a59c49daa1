// Request and reply frames of the host link, byte by byte.
//
// Write request (19 bytes): lead byte, 'W', sequence character, five
// decimal digits of the variable number, eight upper-case hexadecimal
// digits of the value, two checksum digits over bytes 1 to 15, 0x03.
// Read request (14 bytes): lead byte, 'R', sequence character, five digits
// of the variable number, three digits of the value count, two checksum
// digits over bytes 1 to 10, 0x03.
// Write replies: ".OK66." (6 bytes) or ".ERROR..." (9 bytes). Read reply of
// n values (8n + 4 bytes): one byte, n groups of eight hexadecimal digits,
// two checksum digits over the groups, one byte. Bytes shown as '.' are
// never examined.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/checksum.h"
#include "zelqd/zelqd.h"

namespace zelqd::protocol {

inline constexpr std::int32_t kWriteRequestSize = 19;
inline constexpr std::int32_t kReadRequestSize = 14;
inline constexpr std::int32_t kMaxRequestSize = kWriteRequestSize;

// A write reply is read in two portions: the first three bytes tell the
// form, the rest completes it.
inline constexpr std::int32_t kWriteReplyHead = 3;
inline constexpr std::int32_t kOkReplySize = 6;
inline constexpr std::int32_t kErrorReplySize = 9;

inline constexpr std::int32_t kMaxVariableNumber = 99999;
inline constexpr std::int32_t kMaxValueCount = ZELQD_MAX_BLOCK;
inline constexpr std::int32_t kGroupSize = 8;

constexpr std::int32_t ReadReplySize(std::int32_t count) { return kGroupSize * count + 4; }
inline constexpr std::int32_t kReadReplyCapacity = ReadReplySize(kMaxValueCount);
static_assert(kReadReplyCapacity == 852);
static_assert(kReadReplyCapacity >= kErrorReplySize);

// The sequence character every request carries after normalisation.
inline constexpr std::uint16_t kNormalSequence = 33;

// Brings the sequence field into 34..254; any other value becomes 33.
inline void NormalizeSequence(std::uint16_t& sequence) {
  if (sequence <= 33 || sequence >= 255) sequence = kNormalSequence;
}

inline bool VariableNumberFits(std::int32_t variableNumber) {
  return variableNumber >= 0 && variableNumber <= kMaxVariableNumber;
}

inline bool ValueCountFits(std::int32_t valueCount) {
  return valueCount >= 0 && valueCount <= kMaxValueCount;
}

// Build the requests. variableNumber and valueCount must fit (above).
void BuildWriteRequest(std::span<std::uint8_t, kWriteRequestSize> frame, std::uint8_t leadByte,
                       std::uint16_t sequence, std::int32_t variableNumber,
                       std::uint32_t remoteValue);
void BuildReadRequest(std::span<std::uint8_t, kReadRequestSize> frame, std::uint8_t leadByte,
                      std::uint16_t sequence, std::int32_t variableNumber, std::int32_t valueCount);

// Bytes 1 and 2 of a write reply are "OK".
bool HasOkKeyword(const std::uint8_t* reply);
// Bytes 1 to 5 of a nine-byte write reply are "ERROR".
bool HasErrorKeyword(const std::uint8_t* reply);

// Writes the digits of the checksum into expected and tells whether the two
// digits seen match them exactly (upper case only).
inline bool ChecksumDigitsMatch(std::uint8_t checksum, const std::uint8_t* seen,
                                std::uint8_t (&expected)[2]) {
  PutChecksum(expected, checksum);
  return seen[0] == expected[0] && seen[1] == expected[1];
}

}  // namespace zelqd::protocol
