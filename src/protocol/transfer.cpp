#include "protocol/transfer.h"

#include "protocol/attempt.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"
#include "protocol/outcome.h"
#include "protocol/slots.h"

namespace zelqd {
namespace {

using protocol::Attempt;
using protocol::AttemptFailure;

// The record of an attempt that just ended, for the observer and the trace.
[[gnu::noinline]] void PublishAttempt(const serial::TransferPort& port, const Attempt& attempt,
                                      const DriverInstance& instance,
                                      const TransferRequest& request, bool read, int number) {
  protocol::AttemptTimes times;
  times.endedNs = serial::MonotonicNs();
  if (attempt.requestLength > 0) {
    times.sentNs = port.SentNs();
    times.firstReplyNs = port.FirstReplyNs();
  }
  protocol::Publish(protocol::AttemptOutcome(attempt, instance, request.variableNumber,
                                             read ? request.valueCount : 0, number, kAttempts,
                                             times));
}

// The STOP gate, then up to kAttempts exchanges until one succeeds. A
// request that cannot be framed is not retried: nothing was sent and
// nothing would change. The port is looked up once for all attempts.
template <auto Exchange, bool kRead>
std::int32_t WithRetries(DriverInstance& instance, const TransferRequest& request) {
  if (instance.stopped != 0) return ResultRefused;

  serial::TransferPort port(instance.port);
  Attempt attempt;
  std::int32_t result = ResultFailed;
  for (int number = 1; number <= kAttempts; ++number) {
    protocol::NormalizeSequence(instance.sequence);
    const bool recorded = protocol::RecordsWanted();
    port.StampTimes(recorded);
    result = Exchange(port, instance, request, attempt);
    if (recorded) [[unlikely]] {
      PublishAttempt(port, attempt, instance, request, kRead, number);
    }
    if (result == ResultOk || attempt.failure == AttemptFailure::kOutOfRange) break;
  }
  port.EndTransfer(result == ResultOk);
  return result;
}

// The STOP variable's value: bit 0 of the low half of the first slot.
std::uint16_t StopBit(const TransferRequest& request) {
  return static_cast<std::uint16_t>(protocol::LoadLowWord(request.values) & 1u);
}

}  // namespace

std::int32_t ReadBlock(DriverInstance& instance, const TransferRequest& request) {
  return WithRetries<protocol::ReadExchange, true>(instance, request);
}

std::int32_t WriteValue(DriverInstance& instance, const TransferRequest& request) {
  return WithRetries<protocol::WriteExchange, false>(instance, request);
}

std::int32_t ReadVar(DriverInstance& instance, TransferRequest& request) {
  if (request.variableClass == ZELQD_CLASS_STOP) {
    if (request.values == nullptr) return ResultFailed;
    protocol::StoreLowWord(request.values, static_cast<std::uint16_t>(instance.stopped & 1u));
    return ResultOk;
  }
  if (instance.stopped == 1) return ResultRefused;
  request.valueCount = 1;
  return ReadBlock(instance, request);
}

std::int32_t WriteVar(DriverInstance& instance, TransferRequest& request) {
  const bool running = instance.stopped == 0;
  if (!running && request.variableClass != ZELQD_CLASS_STOP) return ResultRefused;
  if (running && request.variableClass == ZELQD_CLASS_NUMERIC) {
    request.valueCount = 1;
    return WriteValue(instance, request);
  }
  // Any other class sets the STOP flag, whichever state holds.
  if (request.values == nullptr) return ResultFailed;
  instance.stopped = StopBit(request);
  return ResultOk;
}

}  // namespace zelqd
