#include "protocol/transfer.h"

#include "protocol/attempt.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"
#include "protocol/slots.h"
#include "protocol/trace.h"

namespace zelqd {
namespace {

using protocol::Attempt;
using protocol::AttemptFailure;
// The STOP gate, then up to kAttempts exchanges until one succeeds. A
// request that cannot be framed is not retried: nothing was sent and
// nothing would change. The port is looked up once for all attempts.
template <auto Exchange>
std::int32_t WithRetries(DriverInstance& instance, const TransferRequest& request) {
  if (instance.stopped != 0) return ResultRefused;

  serial::TransferPort line(instance.port);
  Attempt attempt;
  std::int32_t result = ResultFailed;
  for (int number = 1; number <= kAttempts; ++number) {
    protocol::NormalizeSequence(instance.sequence);
    result = Exchange(line, instance, request, attempt);
    if (trace::Enabled()) [[unlikely]] {
      trace::Report(attempt, number, kAttempts);
    }
    if (result == ResultOk || attempt.failure == AttemptFailure::kOutOfRange) break;
  }
  line.EndTransfer(result == ResultOk);
  return result;
}

// The STOP variable's value: bit 0 of the low half of the first slot.
std::uint16_t StopBit(const TransferRequest& request) {
  return static_cast<std::uint16_t>(protocol::LoadLowWord(request.values) & 1u);
}

}  // namespace

std::int32_t ReadBlock(DriverInstance& instance, const TransferRequest& request) {
  return WithRetries<protocol::ReadExchange>(instance, request);
}

std::int32_t WriteValue(DriverInstance& instance, const TransferRequest& request) {
  return WithRetries<protocol::WriteExchange>(instance, request);
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
