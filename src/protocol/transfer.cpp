#include "protocol/transfer.h"

#include "driver/handler.h"
#include "protocol/attempt.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"
#include "protocol/slots.h"
#include "protocol/trace.h"

namespace zelqd {
namespace {

using protocol::Attempt;
using protocol::AttemptFailure;
using Exchange = std::int32_t (*)(DriverInstance*, const TransferRequest*, Attempt&);

// The STOP gate, then up to kAttempts exchanges until one succeeds. A
// request that cannot be framed is not retried: nothing was sent and
// nothing would change.
std::int32_t WithRetries(const DriverCall* call, Exchange exchange) {
  DriverInstance* instance = call->instance;
  if (instance->stopped != 0) return ResultRefused;
  const auto* request = ParamsOf<TransferRequest>(call);

  Attempt attempt;
  std::int32_t result = ResultFailed;
  for (int number = 1; number <= kAttempts; ++number) {
    protocol::NormalizeSequence(instance->sequence);
    result = exchange(instance, request, attempt);
    if (trace::Enabled()) [[unlikely]] {
      trace::Report(attempt, number, kAttempts);
    }
    if (result == ResultOk || attempt.failure == AttemptFailure::kOutOfRange) break;
  }
  return result;
}

// The STOP variable's value: bit 0 of the low half of the first slot.
std::uint16_t StopBit(const TransferRequest* request) {
  return static_cast<std::uint16_t>(protocol::LoadLowWord(request->values) & 1u);
}

}  // namespace

std::int32_t ReadBlock(const DriverCall* call) { return WithRetries(call, protocol::ReadExchange); }

std::int32_t WriteValue(const DriverCall* call) {
  return WithRetries(call, protocol::WriteExchange);
}

std::int32_t ReadVar(const DriverCall* call) {
  DriverInstance* instance = call->instance;
  auto* request = ParamsOf<TransferRequest>(call);
  if (request->variableClass == ZELQD_CLASS_STOP) {
    if (request->values == nullptr) return ResultFailed;
    protocol::StoreLowWord(request->values, static_cast<std::uint16_t>(instance->stopped & 1u));
    return ResultOk;
  }
  if (instance->stopped == 1) return ResultRefused;
  request->valueCount = 1;
  return ReadBlock(call);
}

std::int32_t WriteVar(const DriverCall* call) {
  DriverInstance* instance = call->instance;
  auto* request = ParamsOf<TransferRequest>(call);
  const bool running = instance->stopped == 0;
  if (!running && request->variableClass != ZELQD_CLASS_STOP) return ResultRefused;
  if (running && request->variableClass == ZELQD_CLASS_NUMERIC) {
    request->valueCount = 1;
    return WriteValue(call);
  }
  // Any other class sets the STOP flag, whichever state holds.
  if (request->values == nullptr) return ResultFailed;
  instance->stopped = StopBit(request);
  return ResultOk;
}

}  // namespace zelqd
