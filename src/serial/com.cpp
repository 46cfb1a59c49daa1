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

// Closes a handle whose open failed half-way, keeping the step and the
// system's error of the call that failed.
ComResult FailOpen(const Platform& p, Device* device, ComResult result, OpenStep step,
                   OpenFailure* failure) {
  const std::uint32_t error = p.lastError();
  p.close(device);
  if (failure != nullptr) *failure = OpenFailure{step, error};
  return result;
}

}  // namespace

OpenFailure NameDoesNotFit() { return OpenFailure{OpenStep::kName, ActivePlatform().nameTooLong}; }

ComResult ComOpen(const char* name, const LineSettings& settings, std::uint16_t controlFlags,
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

  Device* device = p.find(h);
  DeviceState state;
  state.length = 28;
  if (!p.getState(device, &state)) {
    return FailOpen(p, device, ComGetStateFailed, OpenStep::kSettings, failure);
  }
  Timeouts timeouts;
  timeouts.readTotalConstant = kOpenReadTimeoutMs;
  timeouts.writeTotalMultiplier = static_cast<std::uint32_t>(WireMs(
      1, CharacterBits(settings.dataBits, settings.parity, settings.stopBits), settings.baudRate));
  timeouts.writeTotalConstant = kOpenWriteTimeoutMs;
  if (!p.setTimeouts(device, &timeouts)) {
    return FailOpen(p, device, ComOpenFailed, OpenStep::kTimeouts, failure);
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
  if (!p.setState(device, &state)) {
    return FailOpen(p, device, ComSetStateFailed, OpenStep::kSettings, failure);
  }
  p.setQueues(device, kQueueSize, kQueueSize);
  return ComOk;
}

ComResult ComClose(Handle handle) {
  const Platform& p = ActivePlatform();
  if (!p.close(p.find(handle))) return ComIoError;
  Forget(handle);
  return ComOk;
}

namespace {

// ComSetReadTimeout on a device that was looked up already.
ComResult SetReadTimeout(const Platform& p, Device* device, std::int32_t timeout,
                         std::int32_t* previous) {
  if (previous != nullptr) *previous = 0;
  Timeouts timeouts;
  if (!p.getTimeouts(device, &timeouts)) return ComIoError;
  const std::uint32_t before = timeouts.readTotalConstant;
  const std::uint32_t ms = TimeoutMs(timeout);
  if (ms != before) {
    timeouts.readTotalConstant = ms;
    if (!p.setTimeouts(device, &timeouts)) return ComIoError;
  }
  if (previous != nullptr) *previous = static_cast<std::int32_t>(before) / 10;
  return ComOk;
}

// Drains the input that the purge found waiting (or could not count).
// Kept out of line, so that the purge of an empty queue stays short.
[[gnu::noinline]] ComResult DrainInput(const Platform& p, Device* device) {
  std::int32_t previous = 0;
  SetReadTimeout(p, device, kPurgeReadTimeout, &previous);
  // A line that keeps every read full is drained for one read time-out.
  const std::uint64_t boundMs =
      previous > 0 ? static_cast<std::uint64_t>(previous) * 10 : kOpenReadTimeoutMs;
  // The last read begins no later than one drain read before the bound.
  constexpr std::uint64_t kReadMs = static_cast<std::uint64_t>(kPurgeReadTimeout) * 10;
  const std::uint64_t until = p.nowMs() + (boundMs > kReadMs ? boundMs - kReadMs : 0);
  unsigned char scratch[kPurgeChunk];
  bool failed = false;
  for (;;) {
    std::uint32_t got = 0;
    if (!p.read(device, scratch, kPurgeChunk, &got)) {
      failed = true;
      break;
    }
    if (got != kPurgeChunk || p.nowMs() >= until) break;
  }
  if (previous != 0) SetReadTimeout(p, device, previous, nullptr);
  return failed ? ComIoError : ComOk;
}

// ComPurgeInput on a device that was looked up already.
[[gnu::always_inline]] inline ComResult PurgeInput(const Platform& p, Handle handle,
                                                   Device* device) {
  if (AnyUnsettled()) [[unlikely]] {
    Settle(handle, device);
  }
  std::uint32_t waiting = 0;
  if (p.clearErrors(device, &waiting) && waiting == 0) return ComOk;
  return DrainInput(p, device);
}

// Why the read or write that just failed did.
[[gnu::noinline]] IoStatus SystemFailure(const Platform& p) {
  const std::uint32_t error = p.lastError();
  return IoStatus{p.hungUp(error) ? IoFailure::kHangUp : IoFailure::kSystem, error};
}

// One write of count bytes: ComOk, ComShortWrite or ComIoError, and why.
[[gnu::always_inline]] inline ComResult WriteAll(const Platform& p, Device* device,
                                                 const void* bytes, std::int32_t count,
                                                 IoStatus* status) {
  // A negative count has no meaning and must never reach the platform as a
  // huge unsigned length.
  if (count < 0) {
    *status = IoStatus{IoFailure::kSystem, 0};
    return ComIoError;
  }
  std::uint32_t done = 0;
  if (!p.write(device, bytes, static_cast<std::uint32_t>(count), &done)) [[unlikely]] {
    *status = SystemFailure(p);
    return ComIoError;
  }
  if (done == static_cast<std::uint32_t>(count)) [[likely]] {
    return ComOk;
  }
  *status = IoStatus{IoFailure::kShortWrite, 0};
  return ComShortWrite;
}

}  // namespace

ComResult ComSetReadTimeout(Handle handle, std::int32_t timeout, std::int32_t* previous) {
  const Platform& p = ActivePlatform();
  return SetReadTimeout(p, p.find(handle), timeout, previous);
}

ComResult ComPurgeInput(Handle handle) {
  const Platform& p = ActivePlatform();
  return PurgeInput(p, handle, p.find(handle));
}

TransferPort::TransferPort(Handle handle)
    : platform_(ActivePlatform()), handle_(handle), device_(platform_.find(handle)) {}

ComResult TransferPort::SendAll(const void* bytes, std::int32_t count) {
  if (unanswered_) [[unlikely]] {
    DrainArriving();
  }
  PurgeInput(platform_, handle_, device_);
  replyGot_ = 0;
  replyDeadlineMs_ = 0;
  firstReplyNs_ = 0;
  if (stamp_) [[unlikely]] {
    sentNs_ = MonotonicNs();
  }
  const ComResult result = WriteAll(platform_, device_, bytes, count, &failure_);
  if (unanswered_) [[unlikely]] {
    lastSentMs_ = platform_.nowMs();
    ++outstanding_;
  }
  return result;
}

// A retry after an attempt that got no byte goes out at once, unless a
// reply is arriving: that one is drained whole first, so that the purge
// does not cut it and leave its rest for the retry's reply.
// A settle after a refused or partial reply has drained the line already.
// The drain ends no later than a settle after a failure would.
void TransferPort::DrainArriving() {
  if (AnyUnsettled() && Settle(handle_, device_)) return;
  std::uint32_t waiting = 0;
  if (platform_.clearErrors(device_, &waiting) && waiting == 0) return;
  const LineTiming timing = TimingOf(device_);
  const std::uint64_t due = AfterRequest(timing, lastSentMs_, replyBytes_);
  const std::uint64_t bound = AfterFailure(timing, platform_.nowMs(), replyBytes_);
  if (Drain(device_, due < bound ? due : bound, replyBytes_) == 0) {
    --outstanding_;  // a whole reply came
    lastReplyMs_ = platform_.nowMs();
  }
}

ComResult TransferPort::ReceiveExact(void* buffer, std::int32_t count, std::int32_t* received) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::int32_t got = 0;
  std::int32_t result = ComIoError;
  IoStatus why{IoFailure::kSystem, 0};  // of a count or a read out of range
  if (count >= 0 && count <= kMaxReadCount) [[likely]] {
    const auto ask = static_cast<std::uint16_t>(count);
    std::uint32_t n = 0;
    if (!platform_.read(device_, bytes, ask, &n)) [[unlikely]] {
      why = SystemFailure(platform_);
    } else if (n <= ask) [[likely]] {
      got = static_cast<std::int32_t>(n);
      if (stamp_ && got > 0 && firstReplyNs_ == 0) [[unlikely]] {
        firstReplyNs_ = MonotonicNs();
      }
      if (got == count) [[likely]] {
        result = count > 0 ? ComOk : kTimedOut;
      } else if (got == 0) {
        result = kTimedOut;
      } else {
        result = ReadRest(bytes, count, &got, &why);
      }
    }
  }
  if (received != nullptr) *received = got;
  if (result == ComOk) [[likely]] {
    replyGot_ += got;
    return ComOk;
  }
  if (result == kTimedOut) {
    why = IoStatus{IoFailure::kTimedOut, 0};
    if (count > 0) TimedOut(count, got);
  }
  failure_ = why;
  replyGot_ += got;
  return ComIoError;
}

// The rest of a reply whose first read came back short, within the
// deadline of the attempt's reply.
[[gnu::noinline]] std::int32_t TransferPort::ReadRest(unsigned char* bytes, std::int32_t count,
                                                      std::int32_t* received, IoStatus* why) {
  const Platform& p = platform_;
  std::uint64_t now = p.nowMs();
  Timeouts saved;
  const bool haveTimeouts = p.getTimeouts(device_, &saved);
  if (replyDeadlineMs_ == 0) {
    const LineTiming timing = TimingOf(device_);
    const std::int32_t whole = replyBytes_ > count ? replyBytes_ : count;
    // The read that came back short waited the whole read time-out: the
    // reply began at the latest that long ago, or one more read time-out
    // earlier when a portion of it had come before.
    replyDeadlineMs_ = now + 2 * WireOf(timing, whole) + (replyGot_ == 0 ? timing.readMs : 0);
  }
  Timeouts cut = saved;
  bool changed = false;
  std::int32_t result = kTimedOut;
  for (std::int32_t total = *received; now < replyDeadlineMs_; now = p.nowMs()) {
    const std::uint64_t left = replyDeadlineMs_ - now;
    if (haveTimeouts && (saved.readTotalConstant == 0 || left < saved.readTotalConstant)) {
      cut.readTotalConstant = static_cast<std::uint32_t>(left);
      changed = p.setTimeouts(device_, &cut) || changed;
    }
    const auto ask = static_cast<std::uint16_t>(count - total);
    std::uint32_t n = 0;
    if (!p.read(device_, bytes + total, ask, &n)) {
      *why = SystemFailure(p);
      result = ComIoError;
      break;
    }
    if (n > ask) {
      result = ComIoError;
      break;
    }
    if (n == 0) break;
    total += static_cast<std::int32_t>(n);
    *received = total;
    if (total == count) {
      result = ComOk;
      break;
    }
  }
  if (changed) p.setTimeouts(device_, &saved);
  return result;
}

// An attempt that got no byte of its reply is retried at once; one that
// got part of it leaves the port marked.
void TransferPort::TimedOut(std::int32_t count, std::int32_t got) {
  if (handle_ == 0) return;  // no port: nothing can arrive
  const LineTiming timing = TimingOf(device_);
  const std::uint64_t now = platform_.nowMs();
  if (replyGot_ + got == 0) {
    if (!unanswered_) {
      // The read waited the read time-out after the request went out.
      unanswered_ = true;
      outstanding_ = 1;
      lastSentMs_ = now > timing.readMs ? now - timing.readMs : 0;
    }
    return;
  }
  MarkUnsettled(handle_, device_, AfterFailure(timing, now, count - got), count - got);
}

void TransferPort::ReplyMayFollow(std::int32_t owed) {
  if (owed == 0 && unanswered_) {
    --outstanding_;  // a whole reply came
    lastReplyMs_ = platform_.nowMs();
  }
  if (handle_ == 0) return;
  const LineTiming timing = TimingOf(device_);
  MarkUnsettled(handle_, device_, AfterFailure(timing, platform_.nowMs(), owed), owed);
}

void TransferPort::EndTransfer(bool answered) {
  if (!unanswered_) [[likely]] {
    return;
  }
  if (answered) {
    --outstanding_;
    lastReplyMs_ = platform_.nowMs();
  }
  unanswered_ = false;
  if (outstanding_ <= 0 || handle_ == 0) return;
  // Any reply since the first unanswered one may have answered an earlier
  // request: the replies of the later requests may still come, the first
  // after the last request or the last reply, whichever came later (a
  // remote that answers one request after the other has been busy until
  // then), each of the others after the one before.
  const LineTiming timing = TimingOf(device_);
  const std::uint64_t since = lastReplyMs_ > lastSentMs_ ? lastReplyMs_ : lastSentMs_;
  MarkUnsettled(handle_, device_, AfterRequest(timing, since, replyBytes_),
                outstanding_ * replyBytes_, NextReplyWithin(timing, replyBytes_), replyBytes_);
}

}  // namespace zelqd::serial
