#include "serial/com.h"

#include <cstring>
#include <limits>

#include "serial/settle.h"
#include "serial/wire_time.h"

namespace zelqd::serial {
namespace {

std::uint8_t DtrMode(std::uint16_t flags) {
  if (flags & ZELQD_DTR_ON) return kDtrEnable;
  if (flags & ZELQD_DTR_HANDSHAKE) return kDtrHandshake;
  return kDtrDisable;
}

std::uint8_t RtsMode(std::uint16_t flags) {
  if (flags & ZELQD_RTS_ON) return kRtsEnable;
  if (flags & ZELQD_RTS_HANDSHAKE) return kRtsHandshake;
  if (flags & ZELQD_RTS_TOGGLE) return kRtsToggle;
  return kRtsDisable;
}

// Units of 10 ms to milliseconds, saturated to the signed 32-bit range so
// that a long time-out never wraps round to a short one and reads back as
// the value it was set from.
std::uint32_t TimeoutMs(std::int32_t timeout) {
  const std::int64_t ms = static_cast<std::int64_t>(timeout) * 10;
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  const std::int64_t clamped = ms > kMax ? kMax : (ms < kMin ? kMin : ms);
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped));
}

// A read that brought no byte within its time-out; never leaves this file.
constexpr std::int32_t kTimedOut = -1;

// Reads exactly count bytes: ComOk, ComIoError (a read failed, or the count
// is outside the contract) or kTimedOut.
std::int32_t ReadExactly(Handle handle, void* buffer, std::int32_t count, std::int32_t* received) {
  *received = 0;
  // Counts beyond one 16-bit read request, and negative ones, are outside
  // the contract: refuse them before anything is read.
  if (count < 0 || count > kMaxReadCount) return ComIoError;
  const Platform& p = ActivePlatform();
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::int32_t total = 0;
  do {
    const auto ask = static_cast<std::uint16_t>(count - total);
    std::uint32_t got = 0;
    if (!p.read(handle, bytes + total, ask, &got) || got > ask) return ComIoError;
    if (got == 0) return kTimedOut;
    total += static_cast<std::int32_t>(got);
    *received = total;
  } while (total < count);
  return ComOk;
}

// Closes a handle whose open failed half-way, keeping the step and the
// system's error of the call that failed.
std::int32_t FailOpen(const Platform& p, Handle h, std::int32_t result, OpenStep step,
                      OpenFailure* failure) {
  const std::uint32_t error = p.lastError();
  p.close(h);
  if (failure != nullptr) *failure = OpenFailure{step, error};
  return result;
}

}  // namespace

OpenFailure NameDoesNotFit() { return OpenFailure{OpenStep::kName, ActivePlatform().nameTooLong}; }

std::int32_t ComOpen(const char* name, const LineSettings& settings, std::uint16_t controlFlags,
                     Handle* handle, OpenFailure* failure) {
  const Platform& p = ActivePlatform();
  OpenStep step = OpenStep::kOpen;
  const Handle h = p.open(name, &step);
  *handle = h;
  if (h == kInvalidHandle) {
    if (failure != nullptr) *failure = OpenFailure{step, p.lastError()};
    return ComOpenFailed;
  }
  Forget(h);  // a mark left by an earlier handle of the same value
  if (std::strcmp(name, "NUL") == 0) return ComOk;

  DeviceState state;
  state.length = 28;
  if (!p.getState(h, &state)) {
    return FailOpen(p, h, ComGetStateFailed, OpenStep::kSettings, failure);
  }
  Timeouts timeouts;
  timeouts.readTotalConstant = kOpenReadTimeoutMs;
  timeouts.writeTotalMultiplier = static_cast<std::uint32_t>(WireMs(
      1, CharacterBits(settings.dataBits, settings.parity, settings.stopBits), settings.baudRate));
  timeouts.writeTotalConstant = kOpenWriteTimeoutMs;
  if (!p.setTimeouts(h, &timeouts)) {
    return FailOpen(p, h, ComOpenFailed, OpenStep::kTimeouts, failure);
  }
  state.baudRate = settings.baudRate;
  state.binary = 1;
  state.parityCheck = 1;
  state.outxCtsFlow = 0;
  state.outxDsrFlow = 0;
  state.dtrControl = DtrMode(controlFlags);
  state.dsrSensitivity = 0;
  state.outX = 0;
  state.inX = 0;
  state.errorCharEnabled = 0;
  state.discardNull = 0;
  state.rtsControl = RtsMode(controlFlags);
  state.abortOnError = 0;
  state.byteSize = settings.dataBits;
  state.parity = settings.parity;
  state.stopBits = settings.stopBits;
  state.errorChar = static_cast<char>(0xFC);
  if (!p.setState(h, &state)) {
    return FailOpen(p, h, ComSetStateFailed, OpenStep::kSettings, failure);
  }
  p.setQueues(h, kQueueSize, kQueueSize);
  return ComOk;
}

std::int32_t ComClose(Handle handle) {
  if (!ActivePlatform().close(handle)) return ComIoError;
  Forget(handle);
  return ComOk;
}

std::int32_t ComSetReadTimeout(Handle handle, std::int32_t timeout) {
  const Platform& p = ActivePlatform();
  Timeouts timeouts;
  if (!p.getTimeouts(handle, &timeouts)) return 0;
  const std::uint32_t previous = timeouts.readTotalConstant;
  const std::uint32_t ms = TimeoutMs(timeout);
  if (ms != previous) {
    timeouts.readTotalConstant = ms;
    if (!p.setTimeouts(handle, &timeouts)) return 0;
  }
  return static_cast<std::int32_t>(previous) / 10;
}

namespace {

// Drains the input that ComPurgeInput found waiting (or could not count).
// Kept out of line, so that the purge of an empty queue stays short.
[[gnu::noinline]] std::int32_t DrainInput(const Platform& p, Handle handle) {
  const std::int32_t previous = ComSetReadTimeout(handle, kPurgeReadTimeout);
  // A line that keeps every read full is drained for one read time-out.
  const std::uint64_t boundMs =
      previous > 0 ? static_cast<std::uint64_t>(previous) * 10 : kOpenReadTimeoutMs;
  const std::uint64_t until = p.nowMs() + boundMs;
  unsigned char scratch[kPurgeChunk];
  bool failed = false;
  for (;;) {
    std::uint32_t got = 0;
    if (!p.read(handle, scratch, kPurgeChunk, &got)) {
      failed = true;
      break;
    }
    if (got != kPurgeChunk || p.nowMs() >= until) break;
  }
  if (previous != 0) ComSetReadTimeout(handle, previous);
  return failed ? 1 : 0;
}

}  // namespace

std::int32_t ComPurgeInput(Handle handle) {
  if (AnyUnsettled()) [[unlikely]] {
    Settle(handle);
  }
  const Platform& p = ActivePlatform();
  std::uint32_t waiting = 0;
  if (p.clearErrors(handle, &waiting) && waiting == 0) return 0;
  return DrainInput(p, handle);
}

std::int32_t ComWriteAll(Handle handle, const void* bytes, std::int32_t count,
                         std::int32_t* written) {
  // A negative count has no meaning and must never reach the platform as a
  // huge unsigned length.
  if (count < 0) return ComIoError;
  std::uint32_t done = 0;
  if (!ActivePlatform().write(handle, bytes, static_cast<std::uint32_t>(count), &done)) {
    return ComIoError;
  }
  if (written != nullptr) *written = static_cast<std::int32_t>(done);
  return done == static_cast<std::uint32_t>(count) ? ComOk : ComShortWrite;
}

std::int32_t ComReadExact(Handle handle, void* buffer, std::int32_t count, std::int32_t* received) {
  std::int32_t got = 0;
  const std::int32_t result = ReadExactly(handle, buffer, count, &got);
  if (received != nullptr) *received = got;
  return result == ComOk ? ComOk : ComIoError;
}

bool SendAll(DriverInstance* instance, const void* bytes, std::int32_t count) {
  ComPurgeInput(instance->port);
  std::int32_t written = 0;
  return ComWriteAll(instance->port, bytes, count, &written) == ComOk && written == count;
}

bool ReceiveExact(DriverInstance* instance, void* buffer, std::int32_t count,
                  std::int32_t* received) {
  std::int32_t got = 0;
  const std::int32_t result = ReadExactly(instance->port, buffer, count, &got);
  if (received != nullptr) *received = got;
  if (result == ComOk) [[likely]] {
    return true;
  }
  if (result == kTimedOut && count > 0) MarkUnsettled(instance->port, count - got);
  return false;
}

void ReplyMayFollow(DriverInstance* instance, std::int32_t owed) {
  MarkUnsettled(instance->port, owed);
}

}  // namespace zelqd::serial
