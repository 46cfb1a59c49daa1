#include "protocol/frames.h"

#include "protocol/checksum.h"
#include "protocol/digits.h"

namespace zelqd::protocol {
namespace {

constexpr std::uint8_t kEndOfFrame = 0x03;

// The fields the two requests share: lead byte, command, sequence, number.
void PutRequestHead(std::uint8_t* frame, std::uint8_t leadByte, std::uint8_t command,
                    std::uint16_t sequence, std::int32_t variableNumber) {
  frame[0] = leadByte;
  frame[1] = command;
  frame[2] = static_cast<std::uint8_t>(sequence);
  PutDecimal(frame + 3, static_cast<std::uint32_t>(variableNumber), 5);
}

// Checksum of bytes 1 to size - 4, its digits, and the end byte.
void PutRequestTail(std::span<std::uint8_t> frame) {
  const auto size = static_cast<std::int32_t>(frame.size());
  PutChecksum(frame.data() + size - 3, Checksum(frame.data() + 1, size - 4));
  frame[frame.size() - 1] = kEndOfFrame;
}

}  // namespace

void NormalizeSequence(std::uint16_t& sequence) {
  if (sequence <= 33 || sequence >= 255) sequence = kNormalSequence;
}

bool VariableNumberFits(std::int32_t variableNumber) {
  return variableNumber >= 0 && variableNumber <= kMaxVariableNumber;
}

bool ValueCountFits(std::int32_t valueCount) {
  return valueCount >= 0 && valueCount <= kMaxValueCount;
}

void BuildWriteRequest(std::span<std::uint8_t, kWriteRequestSize> frame, std::uint8_t leadByte,
                       std::uint16_t sequence, std::int32_t variableNumber,
                       std::uint32_t remoteValue) {
  PutRequestHead(frame.data(), leadByte, 'W', sequence, variableNumber);
  PutHex(frame.data() + 8, remoteValue, 8);
  PutRequestTail(frame);
}

void BuildReadRequest(std::span<std::uint8_t, kReadRequestSize> frame, std::uint8_t leadByte,
                      std::uint16_t sequence, std::int32_t variableNumber,
                      std::int32_t valueCount) {
  PutRequestHead(frame.data(), leadByte, 'R', sequence, variableNumber);
  PutDecimal(frame.data() + 8, static_cast<std::uint32_t>(valueCount), 3);
  PutRequestTail(frame);
}

bool HasOkKeyword(const std::uint8_t* reply) { return reply[1] == 'O' && reply[2] == 'K'; }

bool HasErrorKeyword(const std::uint8_t* reply) {
  return reply[1] == 'E' && reply[2] == 'R' && reply[3] == 'R' && reply[4] == 'O' &&
         reply[5] == 'R';
}

bool ChecksumDigitsMatch(const std::uint8_t* covered, std::int32_t length, const std::uint8_t* seen,
                         std::uint8_t (&expected)[2]) {
  PutChecksum(expected, Checksum(covered, length));
  return seen[0] == expected[0] && seen[1] == expected[1];
}

}  // namespace zelqd::protocol
