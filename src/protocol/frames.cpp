#include "protocol/frames.h"

#include <cstddef>

#include "protocol/checksum.h"
#include "protocol/digits.h"

namespace zelqd::protocol {
namespace {

constexpr std::uint8_t kEndOfFrame = 0x03;

// The fields the two requests share: lead byte, command, sequence, number.
// Returns the sum of the bytes that the checksum covers (command on).
std::uint32_t PutRequestHead(std::uint8_t* frame, std::uint8_t leadByte, std::uint8_t command,
                             std::uint16_t sequence, std::int32_t variableNumber) {
  frame[0] = leadByte;
  frame[1] = command;
  frame[2] = static_cast<std::uint8_t>(sequence);
  return command + frame[2] + PutDecimal<5>(frame + 3, static_cast<std::uint32_t>(variableNumber));
}

// The checksum digits of the covered bytes' sum, and the end byte.
template <std::size_t Size>
void PutRequestTail(std::span<std::uint8_t, Size> frame, std::uint32_t covered) {
  PutChecksum(frame.data() + Size - 3, static_cast<std::uint8_t>(0u - covered));
  frame[Size - 1] = kEndOfFrame;
}

}  // namespace

void BuildWriteRequest(std::span<std::uint8_t, kWriteRequestSize> frame, std::uint8_t leadByte,
                       std::uint16_t sequence, std::int32_t variableNumber,
                       std::uint32_t remoteValue) {
  const std::uint32_t head = PutRequestHead(frame.data(), leadByte, 'W', sequence, variableNumber);
  PutRequestTail(frame, head + PutHex<8>(frame.data() + 8, remoteValue));
}

void BuildReadRequest(std::span<std::uint8_t, kReadRequestSize> frame, std::uint8_t leadByte,
                      std::uint16_t sequence, std::int32_t variableNumber,
                      std::int32_t valueCount) {
  const std::uint32_t head = PutRequestHead(frame.data(), leadByte, 'R', sequence, variableNumber);
  PutRequestTail(frame,
                 head + PutDecimal<3>(frame.data() + 8, static_cast<std::uint32_t>(valueCount)));
}

bool HasOkKeyword(const std::uint8_t* reply) { return reply[1] == 'O' && reply[2] == 'K'; }

bool HasErrorKeyword(const std::uint8_t* reply) {
  return reply[1] == 'E' && reply[2] == 'R' && reply[3] == 'R' && reply[4] == 'O' &&
         reply[5] == 'R';
}

}  // namespace zelqd::protocol
