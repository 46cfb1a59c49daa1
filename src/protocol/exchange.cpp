#include "protocol/exchange.h"

#include <span>

#include "protocol/checksum.h"
#include "protocol/digits.h"
#include "protocol/frames.h"
#include "protocol/slots.h"

namespace zelqd::protocol {
namespace {

// The failure of an attempt whose send or receive failed, as the port
// tells it.
[[gnu::noinline]] std::int32_t FailIo(const serial::TransferPort& port, Attempt& attempt) {
  const serial::IoStatus status = port.Failure();
  attempt.systemError = status.error;
  switch (status.why) {
    case serial::IoFailure::kHangUp:
      return attempt.Fail(AttemptFailure::kHangUp);
    case serial::IoFailure::kSystem:
      return attempt.Fail(AttemptFailure::kIoError);
    case serial::IoFailure::kShortWrite:
      return attempt.Fail(AttemptFailure::kNotWritten);
    case serial::IoFailure::kNone:
    case serial::IoFailure::kTimedOut:
      break;
  }
  return attempt.Fail(AttemptFailure::kReplyIncomplete);
}

// Reads the next count reply bytes behind those already in the attempt.
bool ReceiveMore(serial::TransferPort& port, Attempt& attempt, std::int32_t count) {
  std::int32_t got = 0;
  const serial::ComResult result =
      port.ReceiveExact(attempt.reply + attempt.replyReceived, count, &got);
  attempt.replyExpected += count;
  attempt.replyReceived += got;
  if (result == serial::ComOk) [[likely]] {
    return true;
  }
  FailIo(port, attempt);
  return false;
}

// A reply that was read whole but refused: whatever follows it on the line
// is discarded before the next request, once the line is quiet.
std::int32_t Refuse(serial::TransferPort& port, Attempt& attempt, AttemptFailure why) {
  port.ReplyMayFollow(0);
  return attempt.Fail(why);
}

// Whether the checksum digits that follow the covered reply bytes match the
// checksum computed over them.
[[gnu::always_inline]] inline bool ChecksumMatches(Attempt& attempt, std::int32_t coveredLength,
                                                   std::uint8_t checksum) {
  const std::uint8_t* seen = attempt.reply + 1 + coveredLength;
  attempt.seenDigits[0] = seen[0];
  attempt.seenDigits[1] = seen[1];
  return ChecksumDigitsMatch(checksum, seen, attempt.expectedDigits);
}

}  // namespace

bool WriteRequestFits(const TransferRequest& request) {
  return VariableNumberFits(request.variableNumber) && request.values != nullptr;
}

bool ReadRequestFits(const TransferRequest& request) {
  return VariableNumberFits(request.variableNumber) && ValueCountFits(request.valueCount) &&
         (request.values != nullptr || request.valueCount == 0);
}

std::int32_t WriteExchange(serial::TransferPort& port, const DriverInstance& instance,
                           const TransferRequest& request, Attempt& attempt) {
  attempt.Begin();
  if (!WriteRequestFits(request)) return attempt.Fail(AttemptFailure::kOutOfRange);

  const std::span<std::uint8_t, kWriteRequestSize> frame(attempt.request, kWriteRequestSize);
  BuildWriteRequest(frame, instance.leadByte, instance.sequence, request.variableNumber,
                    LoadValue(request.values, 0));
  attempt.requestLength = kWriteRequestSize;
  port.ExpectReply(kErrorReplySize);
  if (port.SendAll(frame.data(), kWriteRequestSize) != serial::ComOk) [[unlikely]] {
    return FailIo(port, attempt);
  }

  if (!ReceiveMore(port, attempt, kWriteReplyHead)) {
    // Either form of the reply has at least as many bytes again, once it
    // has begun.
    if (attempt.replyReceived > 0) port.ReplyMayFollow(kOkReplySize - kWriteReplyHead);
    return ResultFailed;
  }
  if (HasOkKeyword(attempt.reply)) {
    if (!ReceiveMore(port, attempt, kOkReplySize - kWriteReplyHead)) return ResultFailed;
    const auto okSum = static_cast<std::uint8_t>(attempt.reply[1] + attempt.reply[2]);
    if (!ChecksumMatches(attempt, 2, static_cast<std::uint8_t>(0u - okSum))) {
      return Refuse(port, attempt, AttemptFailure::kChecksum);
    }
    return ResultOk;
  }
  if (!ReceiveMore(port, attempt, kErrorReplySize - kWriteReplyHead)) return ResultFailed;
  return Refuse(
      port, attempt,
      HasErrorKeyword(attempt.reply) ? AttemptFailure::kErrorReply : AttemptFailure::kNoKeyword);
}

std::int32_t ReadExchange(serial::TransferPort& port, const DriverInstance& instance,
                          const TransferRequest& request, Attempt& attempt) {
  attempt.Begin();
  if (!ReadRequestFits(request)) return attempt.Fail(AttemptFailure::kOutOfRange);
  const std::int32_t count = request.valueCount;

  const std::span<std::uint8_t, kReadRequestSize> frame(attempt.request, kReadRequestSize);
  BuildReadRequest(frame, instance.leadByte, instance.sequence, request.variableNumber, count);
  attempt.requestLength = kReadRequestSize;
  port.ExpectReply(ReadReplySize(count));
  if (port.SendAll(frame.data(), kReadRequestSize) != serial::ComOk) [[unlikely]] {
    return FailIo(port, attempt);
  }

  if (!ReceiveMore(port, attempt, ReadReplySize(count))) return ResultFailed;
  // The groups are converted as their bytes are summed. Every group is
  // judged before the first slot is written, so a refused reply leaves the
  // host's values as they were; a bad checksum is told before a bad digit.
  std::uint32_t slotNumbers[kMaxValueCount];
  std::uint8_t sum = 0;
  const std::int32_t converted =
      ConvertHexGroupsToSlots(attempt.reply + 1, count, slotNumbers, &sum);
  const std::uint8_t checksum = converted == count
                                    ? static_cast<std::uint8_t>(0u - sum)
                                    : Checksum(attempt.reply + 1, kGroupSize * count);
  if (!ChecksumMatches(attempt, kGroupSize * count, checksum)) {
    return Refuse(port, attempt, AttemptFailure::kChecksum);
  }
  if (converted != count) {
    attempt.badGroup = converted;
    return Refuse(port, attempt, AttemptFailure::kBadValueDigit);
  }
  StoreSlotNumbers(request.values, slotNumbers, count);
  return ResultOk;
}

}  // namespace zelqd::protocol
