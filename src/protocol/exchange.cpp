#include "protocol/exchange.h"

#include <span>

#include "protocol/digits.h"
#include "protocol/frames.h"
#include "protocol/slots.h"
#include "serial/com.h"

namespace zelqd::protocol {
namespace {

// Reads the next count reply bytes behind those already in the attempt.
bool ReceiveMore(DriverInstance* instance, Attempt& attempt, std::int32_t count) {
  std::int32_t got = 0;
  const std::int32_t result =
      ReceiveFrame(instance, attempt.reply + attempt.replyReceived, count, &got);
  attempt.replyExpected += count;
  attempt.replyReceived += got;
  if (result == ResultOk) return true;
  attempt.failure = AttemptFailure::kReplyIncomplete;
  return false;
}

// A reply that was read whole but refused: whatever follows it on the line
// is discarded before the next request, once the line is quiet.
std::int32_t Refuse(DriverInstance* instance, Attempt& attempt, AttemptFailure why) {
  serial::ReplyMayFollow(instance, 0);
  return attempt.Fail(why);
}

bool ChecksumMatches(Attempt& attempt, std::int32_t coveredLength) {
  const std::uint8_t* seen = attempt.reply + 1 + coveredLength;
  attempt.seenDigits[0] = seen[0];
  attempt.seenDigits[1] = seen[1];
  return ChecksumDigitsMatch(attempt.reply + 1, coveredLength, seen, attempt.expectedDigits);
}

}  // namespace

std::int32_t SendFrame(DriverInstance* instance, const std::uint8_t* bytes, std::int32_t length) {
  return serial::SendAll(instance, bytes, length) ? ResultOk : ResultFailed;
}

std::int32_t ReceiveFrame(DriverInstance* instance, std::uint8_t* buffer, std::int32_t length,
                          std::int32_t* received) {
  return serial::ReceiveExact(instance, buffer, length, received) ? ResultOk : ResultFailed;
}

bool WriteRequestFits(const TransferRequest& request) {
  return VariableNumberFits(request.variableNumber) && request.values != nullptr;
}

bool ReadRequestFits(const TransferRequest& request) {
  return VariableNumberFits(request.variableNumber) && ValueCountFits(request.valueCount) &&
         (request.values != nullptr || request.valueCount == 0);
}

std::int32_t WriteExchange(DriverInstance* instance, const TransferRequest* request,
                           Attempt& attempt) {
  attempt.Begin();
  if (!WriteRequestFits(*request)) return attempt.Fail(AttemptFailure::kOutOfRange);

  const std::span<std::uint8_t, kWriteRequestSize> frame(attempt.request, kWriteRequestSize);
  BuildWriteRequest(frame, instance->leadByte, instance->sequence, request->variableNumber,
                    LoadValue(request->values, 0));
  attempt.requestLength = kWriteRequestSize;
  if (SendFrame(instance, frame.data(), kWriteRequestSize) != ResultOk) {
    return attempt.Fail(AttemptFailure::kNotWritten);
  }

  if (!ReceiveMore(instance, attempt, kWriteReplyHead)) {
    // Either form of the reply has at least as many bytes again.
    serial::ReplyMayFollow(instance, kOkReplySize - kWriteReplyHead);
    return ResultFailed;
  }
  if (HasOkKeyword(attempt.reply)) {
    if (!ReceiveMore(instance, attempt, kOkReplySize - kWriteReplyHead)) return ResultFailed;
    if (!ChecksumMatches(attempt, 2)) return Refuse(instance, attempt, AttemptFailure::kChecksum);
    return ResultOk;
  }
  if (!ReceiveMore(instance, attempt, kErrorReplySize - kWriteReplyHead)) return ResultFailed;
  return Refuse(
      instance, attempt,
      HasErrorKeyword(attempt.reply) ? AttemptFailure::kErrorReply : AttemptFailure::kNoKeyword);
}

std::int32_t ReadExchange(DriverInstance* instance, const TransferRequest* request,
                          Attempt& attempt) {
  attempt.Begin();
  if (!ReadRequestFits(*request)) return attempt.Fail(AttemptFailure::kOutOfRange);
  const std::int32_t count = request->valueCount;

  const std::span<std::uint8_t, kReadRequestSize> frame(attempt.request, kReadRequestSize);
  BuildReadRequest(frame, instance->leadByte, instance->sequence, request->variableNumber, count);
  attempt.requestLength = kReadRequestSize;
  if (SendFrame(instance, frame.data(), kReadRequestSize) != ResultOk) {
    return attempt.Fail(AttemptFailure::kNotWritten);
  }

  if (!ReceiveMore(instance, attempt, ReadReplySize(count))) return ResultFailed;
  if (!ChecksumMatches(attempt, kGroupSize * count)) {
    return Refuse(instance, attempt, AttemptFailure::kChecksum);
  }
  // Every group is judged before the first slot is written, so a refused
  // reply leaves the host's values as they were.
  std::uint32_t values[kMaxValueCount];
  const std::int32_t converted = ConvertHexGroups(attempt.reply + 1, count, values);
  if (converted != count) {
    attempt.badGroup = converted;
    return Refuse(instance, attempt, AttemptFailure::kBadValueDigit);
  }
  ValueSlot* slots = request->values;
  for (std::int32_t i = 0; i < count; ++i) StoreValue(slots, i, values[i]);
  return ResultOk;
}

}  // namespace zelqd::protocol
