#include "protocol/exchange.h"

#include <span>

#include "protocol/digits.h"
#include "protocol/frames.h"
#include "protocol/slots.h"

namespace zelqd::protocol {
namespace {

// Reads the next count reply bytes behind those already in the attempt.
bool ReceiveMore(serial::Line& line, Attempt& attempt, std::int32_t count) {
  std::int32_t got = 0;
  const serial::ComResult result =
      line.ReceiveExact(attempt.reply + attempt.replyReceived, count, &got);
  attempt.replyExpected += count;
  attempt.replyReceived += got;
  if (result == serial::ComOk) return true;
  attempt.failure = AttemptFailure::kReplyIncomplete;
  return false;
}

// A reply that was read whole but refused: whatever follows it on the line
// is discarded before the next request, once the line is quiet.
std::int32_t Refuse(serial::Line& line, Attempt& attempt, AttemptFailure why) {
  line.ReplyMayFollow(0);
  return attempt.Fail(why);
}

bool ChecksumMatches(Attempt& attempt, std::int32_t coveredLength) {
  const std::uint8_t* seen = attempt.reply + 1 + coveredLength;
  attempt.seenDigits[0] = seen[0];
  attempt.seenDigits[1] = seen[1];
  return ChecksumDigitsMatch(attempt.reply + 1, coveredLength, seen, attempt.expectedDigits);
}

}  // namespace

bool WriteRequestFits(const TransferRequest& request) {
  return VariableNumberFits(request.variableNumber) && request.values != nullptr;
}

bool ReadRequestFits(const TransferRequest& request) {
  return VariableNumberFits(request.variableNumber) && ValueCountFits(request.valueCount) &&
         (request.values != nullptr || request.valueCount == 0);
}

std::int32_t WriteExchange(serial::Line& line, const DriverInstance& instance,
                           const TransferRequest& request, Attempt& attempt) {
  attempt.Begin();
  if (!WriteRequestFits(request)) return attempt.Fail(AttemptFailure::kOutOfRange);

  const std::span<std::uint8_t, kWriteRequestSize> frame(attempt.request, kWriteRequestSize);
  BuildWriteRequest(frame, instance.leadByte, instance.sequence, request.variableNumber,
                    LoadValue(request.values, 0));
  attempt.requestLength = kWriteRequestSize;
  if (line.SendAll(frame.data(), kWriteRequestSize) != serial::ComOk) {
    return attempt.Fail(AttemptFailure::kNotWritten);
  }

  if (!ReceiveMore(line, attempt, kWriteReplyHead)) {
    // Either form of the reply has at least as many bytes again.
    line.ReplyMayFollow(kOkReplySize - kWriteReplyHead);
    return ResultFailed;
  }
  if (HasOkKeyword(attempt.reply)) {
    if (!ReceiveMore(line, attempt, kOkReplySize - kWriteReplyHead)) return ResultFailed;
    if (!ChecksumMatches(attempt, 2)) return Refuse(line, attempt, AttemptFailure::kChecksum);
    return ResultOk;
  }
  if (!ReceiveMore(line, attempt, kErrorReplySize - kWriteReplyHead)) return ResultFailed;
  return Refuse(
      line, attempt,
      HasErrorKeyword(attempt.reply) ? AttemptFailure::kErrorReply : AttemptFailure::kNoKeyword);
}

std::int32_t ReadExchange(serial::Line& line, const DriverInstance& instance,
                          const TransferRequest& request, Attempt& attempt) {
  attempt.Begin();
  if (!ReadRequestFits(request)) return attempt.Fail(AttemptFailure::kOutOfRange);
  const std::int32_t count = request.valueCount;

  const std::span<std::uint8_t, kReadRequestSize> frame(attempt.request, kReadRequestSize);
  BuildReadRequest(frame, instance.leadByte, instance.sequence, request.variableNumber, count);
  attempt.requestLength = kReadRequestSize;
  if (line.SendAll(frame.data(), kReadRequestSize) != serial::ComOk) {
    return attempt.Fail(AttemptFailure::kNotWritten);
  }

  if (!ReceiveMore(line, attempt, ReadReplySize(count))) return ResultFailed;
  if (!ChecksumMatches(attempt, kGroupSize * count)) {
    return Refuse(line, attempt, AttemptFailure::kChecksum);
  }
  // Every group is judged before the first slot is written, so a refused
  // reply leaves the host's values as they were.
  std::uint32_t values[kMaxValueCount];
  const std::int32_t converted = ConvertHexGroups(attempt.reply + 1, count, values);
  if (converted != count) {
    attempt.badGroup = converted;
    return Refuse(line, attempt, AttemptFailure::kBadValueDigit);
  }
  ValueSlot* slots = request.values;
  for (std::int32_t i = 0; i < count; ++i) StoreValue(slots, i, values[i]);
  return ResultOk;
}

}  // namespace zelqd::protocol
