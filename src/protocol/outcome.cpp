#include "protocol/outcome.h"

#include <cstring>

namespace zelqd::protocol {
namespace {

ZelqdReason ReasonOf(AttemptFailure failure) {
  switch (failure) {
    case AttemptFailure::kNone:
      return ZELQD_REASON_OK;
    case AttemptFailure::kOutOfRange:
      return ZELQD_REASON_OUT_OF_RANGE;
    case AttemptFailure::kNotWritten:
      return ZELQD_REASON_SENT_SHORT;
    case AttemptFailure::kReplyIncomplete:
      return ZELQD_REASON_TIMEOUT;
    case AttemptFailure::kChecksum:
      return ZELQD_REASON_CHECKSUM;
    case AttemptFailure::kErrorReply:
      return ZELQD_REASON_ERROR_REPLY;
    case AttemptFailure::kNoKeyword:
      return ZELQD_REASON_NO_KEYWORD;
    case AttemptFailure::kBadValueDigit:
      return ZELQD_REASON_BAD_VALUE_GROUP;
    case AttemptFailure::kHangUp:
      return ZELQD_REASON_HANG_UP;
    case AttemptFailure::kIoError:
      return ZELQD_REASON_IO_ERROR;
  }
  return ZELQD_REASON_IO_ERROR;
}

ZelqdOpenStep StepOf(serial::OpenStep step) {
  switch (step) {
    case serial::OpenStep::kName:
      return ZELQD_OPEN_STEP_NAME;
    case serial::OpenStep::kOpen:
      return ZELQD_OPEN_STEP_OPEN;
    case serial::OpenStep::kLock:
      return ZELQD_OPEN_STEP_LOCK;
    case serial::OpenStep::kExclusive:
      return ZELQD_OPEN_STEP_EXCLUSIVE;
    case serial::OpenStep::kSettings:
      return ZELQD_OPEN_STEP_SETTINGS;
    case serial::OpenStep::kTimeouts:
      return ZELQD_OPEN_STEP_TIMEOUTS;
  }
  return ZELQD_OPEN_STEP_OPEN;
}

ZelqdOutcome Blank(ZelqdOutcomeKind kind) {
  ZelqdOutcome o{};
  o.size = sizeof(ZelqdOutcome);
  o.kind = kind;
  o.result = ResultFailed;
  o.badGroup = -1;
  return o;
}

}  // namespace

ZelqdOutcome AttemptOutcome(const Attempt& attempt, const DriverInstance& instance,
                            std::int32_t variable, std::int32_t count, int number, int of,
                            const AttemptTimes& times) {
  ZelqdOutcome o = Blank(ZELQD_OUTCOME_ATTEMPT);
  o.reason = ReasonOf(attempt.failure);
  o.result = attempt.failure == AttemptFailure::kNone ? ResultOk : ResultFailed;
  o.instance = &instance;
  o.attempt = number;
  o.attempts = of;
  o.variable = variable;
  o.count = count;
  o.request = attempt.request;
  o.requestLength = attempt.requestLength;
  o.reply = attempt.reply;
  o.replyExpected = attempt.replyExpected;
  o.replyReceived = attempt.replyReceived;
  o.badGroup = attempt.failure == AttemptFailure::kBadValueDigit ? attempt.badGroup : -1;
  if (attempt.failure == AttemptFailure::kChecksum) {
    std::memcpy(o.checksumExpected, attempt.expectedDigits, 2);
    std::memcpy(o.checksumSeen, attempt.seenDigits, 2);
  }
  o.sentNs = times.sentNs;
  o.firstReplyNs = times.firstReplyNs;
  o.endedNs = times.endedNs;
  o.systemError = static_cast<std::int32_t>(attempt.systemError);
  return o;
}

ZelqdOutcome OpenOutcome(const DriverInstance* instance, const char* name, std::size_t nameSize,
                         const serial::OpenFailure& failure) {
  const void* end = std::memchr(name, '\0', nameSize);
  const std::size_t length =
      end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - name) : nameSize;
  ZelqdOutcome o = Blank(ZELQD_OUTCOME_OPEN);
  o.reason = ZELQD_REASON_OPEN_FAILED;
  o.instance = instance;
  o.endedNs = serial::MonotonicNs();
  o.openStep = StepOf(failure.step);
  o.portName = name;
  o.portNameLength = static_cast<std::int32_t>(length);
  o.systemError = static_cast<std::int32_t>(failure.error);
  return o;
}

void Publish(const ZelqdOutcome& outcome) {
  observer::Notify(outcome);
  if (trace::Enabled()) trace::Write(outcome);
}

}  // namespace zelqd::protocol
