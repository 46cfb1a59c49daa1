#include "support/recording_platform.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "serial/settle.h"

namespace zelqd::testing {
namespace {

RecordingPlatform* g_active = nullptr;

// The model's devices are its handles: a device carries the handle's value
// and is never dereferenced.
serial::Device* TFind(serial::Handle h) {
  const auto value = static_cast<std::uintptr_t>(h);
  return reinterpret_cast<serial::Device*>(value);  // NOLINT(performance-no-int-to-ptr)
}
serial::Handle H(serial::Device* d) {
  return static_cast<serial::Handle>(reinterpret_cast<std::uintptr_t>(d));
}

serial::Handle TOpen(const char* n, serial::OpenStep* f) { return g_active->DoOpen(n, f); }
bool TGetState(serial::Device* d, serial::DeviceState* s) { return g_active->DoGetState(H(d), s); }
bool TSetState(serial::Device* d, const serial::DeviceState* s) {
  return g_active->DoSetState(H(d), s);
}
bool TGetTimeouts(serial::Device* d, serial::Timeouts* t) {
  return g_active->DoGetTimeouts(H(d), t);
}
bool TSetTimeouts(serial::Device* d, const serial::Timeouts* t) {
  return g_active->DoSetTimeouts(H(d), t);
}
bool TSetQueues(serial::Device* d, std::uint32_t i, std::uint32_t o) {
  return g_active->DoSetQueues(H(d), i, o);
}
bool TClearErrors(serial::Device* d, std::uint32_t* w) { return g_active->DoClearErrors(H(d), w); }
bool TRead(serial::Device* d, void* b, std::uint32_t c, std::uint32_t* g) {
  return g_active->DoRead(H(d), b, c, g);
}
bool TWrite(serial::Device* d, const void* b, std::uint32_t c, std::uint32_t* w) {
  return g_active->DoWrite(H(d), b, c, w);
}
bool TClose(serial::Device* d) { return g_active->DoClose(H(d)); }
std::uint32_t TLastError() { return g_active->error; }
bool THungUp(std::uint32_t) { return g_active->hangUp; }
std::uint64_t TNowMs() { return g_active->clockMs; }

// The error code of a name that does not fit, as this model reports it.
constexpr std::uint32_t kNameTooLong = 36;

constexpr serial::Platform kRecording{
    TOpen, TFind,  TGetState, TSetState,  TGetTimeouts, TSetTimeouts, TSetQueues,  TClearErrors,
    TRead, TWrite, TClose,    TLastError, THungUp,      TNowMs,       kNameTooLong};

constexpr std::uint64_t kNever = UINT64_MAX;

}  // namespace

const char* OpName(Op op) {
  switch (op) {
    case Op::Open:
      return "Open";
    case Op::GetState:
      return "GetState";
    case Op::SetState:
      return "SetState";
    case Op::GetTimeouts:
      return "GetTimeouts";
    case Op::SetTimeouts:
      return "SetTimeouts";
    case Op::SetQueues:
      return "SetQueues";
    case Op::ClearErrors:
      return "ClearErrors";
    case Op::Read:
      return "Read";
    case Op::Write:
      return "Write";
    case Op::Close:
      return "Close";
  }
  return "?";
}

RecordingPlatform::RecordingPlatform() {
  g_active = this;
  serial::UsePlatform(&kRecording);
}

RecordingPlatform::~RecordingPlatform() {
  // A line left unsettled belongs to this model only.
  for (const Call& c : calls) serial::Forget(c.handle);
  for (serial::Handle h : openHandles) serial::Forget(h);
  for (serial::Handle h : given_) serial::Forget(h);
  serial::UsePlatform(nullptr);
  g_active = nullptr;
}

void RecordingPlatform::FailOn(Op op, int nth) {
  if (nth <= 0) {
    failEvery_[op] = 1;
  } else {
    failAt_[op] = nth;
  }
}

void RecordingPlatform::Feed(const Bytes& bytes) {
  input.insert(input.end(), bytes.begin(), bytes.end());
}

void RecordingPlatform::Feed(const std::string& text) {
  input.insert(input.end(), text.begin(), text.end());
}

void RecordingPlatform::At(std::uint64_t at, const Bytes& bytes) { arrivals_.emplace(at, bytes); }

void RecordingPlatform::At(std::uint64_t at, const std::string& text) {
  At(at, Bytes(text.begin(), text.end()));
}

void RecordingPlatform::Noise(std::uint64_t from, std::uint64_t until,
                              std::uint32_t bytesPerSecond) {
  noiseFrom_ = from;
  noiseUntil_ = until;
  noiseRate_ = bytesPerSecond;
  noiseDelivered_ = 0;
}

void RecordingPlatform::Admit() {
  while (!arrivals_.empty() && arrivals_.begin()->first <= clockMs) {
    Feed(arrivals_.begin()->second);
    arrivals_.erase(arrivals_.begin());
  }
  if (noiseRate_ != 0 && clockMs > noiseFrom_) {
    const std::uint64_t end = std::min(clockMs, noiseUntil_);
    const std::uint64_t due = end > noiseFrom_ ? (end - noiseFrom_) * noiseRate_ / 1000 : 0;
    for (; noiseDelivered_ < due; ++noiseDelivered_) {
      input.push_back(static_cast<std::uint8_t>(0x30 + noiseDelivered_ % 23));
    }
  }
}

std::uint64_t RecordingPlatform::NextArrival() const {
  std::uint64_t next = arrivals_.empty() ? kNever : arrivals_.begin()->first;
  if (noiseRate_ != 0 && clockMs < noiseUntil_) {
    next = std::min(next, std::max(clockMs, noiseFrom_) + 1);
  }
  return next;
}

std::vector<Op> RecordingPlatform::Ops() const {
  std::vector<Op> ops;
  for (const Call& c : calls) ops.push_back(c.op);
  return ops;
}

int RecordingPlatform::Count(Op op) const {
  return static_cast<int>(
      std::count_if(calls.begin(), calls.end(), [op](const Call& c) { return c.op == op; }));
}

std::vector<Bytes> RecordingPlatform::Writes() const {
  std::vector<Bytes> writes;
  for (const Call& c : calls) {
    if (c.op == Op::Write && c.ok) writes.push_back(c.bytes);
  }
  return writes;
}

bool RecordingPlatform::Fails(Op op) {
  if (failEvery_.count(op)) return true;
  auto it = failAt_.find(op);
  if (it == failAt_.end()) return false;
  if (--it->second == 0) {
    failAt_.erase(it);
    return true;
  }
  return false;
}

Call& RecordingPlatform::Record(Op op, serial::Handle h) {
  Call c;
  c.op = op;
  c.handle = h;
  c.atMs = clockMs;
  calls.push_back(c);
  return calls.back();
}

serial::Handle RecordingPlatform::DoOpen(const char* name, serial::OpenStep* failed) {
  Call& c = Record(Op::Open, 0);
  c.name = name;
  if (Fails(Op::Open)) {
    c.ok = false;
    if (failed != nullptr) *failed = failStep;
    return serial::kInvalidHandle;
  }
  const serial::Handle h = nextHandle++;
  c.handle = h;
  openHandles.insert(h);
  given_.insert(h);
  return h;
}

bool RecordingPlatform::DoGetState(serial::Handle h, serial::DeviceState* s) {
  Call& c = Record(Op::GetState, h);
  c.state = *s;
  c.ok = Known(h) && !Fails(Op::GetState);
  if (c.ok) {
    const std::uint32_t length = s->length;
    *s = deviceState;
    s->length = length;
  }
  return c.ok;
}

bool RecordingPlatform::DoSetState(serial::Handle h, const serial::DeviceState* s) {
  Call& c = Record(Op::SetState, h);
  c.state = *s;
  c.ok = Known(h) && !Fails(Op::SetState);
  if (c.ok) deviceState = *s;
  return c.ok;
}

bool RecordingPlatform::DoGetTimeouts(serial::Handle h, serial::Timeouts* t) {
  Call& c = Record(Op::GetTimeouts, h);
  c.ok = Known(h) && !Fails(Op::GetTimeouts);
  if (c.ok) *t = timeouts;
  c.timeouts = timeouts;
  return c.ok;
}

bool RecordingPlatform::DoSetTimeouts(serial::Handle h, const serial::Timeouts* t) {
  Call& c = Record(Op::SetTimeouts, h);
  c.timeouts = *t;
  c.ok = Known(h) && !Fails(Op::SetTimeouts);
  if (c.ok) timeouts = *t;
  return c.ok;
}

bool RecordingPlatform::DoSetQueues(serial::Handle h, std::uint32_t in, std::uint32_t out) {
  Call& c = Record(Op::SetQueues, h);
  c.count = in;
  c.count2 = out;
  c.ok = Known(h) && !Fails(Op::SetQueues);
  return c.ok;
}

bool RecordingPlatform::DoClearErrors(serial::Handle h, std::uint32_t* waiting) {
  Call& c = Record(Op::ClearErrors, h);
  c.ok = Known(h) && !Fails(Op::ClearErrors);
  Admit();
  if (c.ok) {
    *waiting = waitingOverride >= 0 ? static_cast<std::uint32_t>(waitingOverride)
                                    : static_cast<std::uint32_t>(input.size());
  }
  return c.ok;
}

bool RecordingPlatform::DoRead(serial::Handle h, void* buffer, std::uint32_t count,
                               std::uint32_t* got) {
  Call& c = Record(Op::Read, h);
  c.count = count;
  c.readTimeoutMs = timeouts.readTotalConstant;
  c.intervalMs = timeouts.readInterval;
  c.ok = Known(h) && !Fails(Op::Read);
  if (!c.ok) return false;
  // The most bytes this read can take; a scripted delivery makes the rest
  // miss its time-out.
  std::uint32_t cap = count;
  if (!deliveries.empty()) {
    cap = std::min(cap, deliveries.front());
    deliveries.pop_front();
  }
  const std::uint64_t total =
      static_cast<std::uint64_t>(timeouts.readTotalMultiplier) * count + timeouts.readTotalConstant;
  const std::uint64_t deadline = total != 0 ? clockMs + total : kNever;
  const std::uint64_t interval = timeouts.readInterval;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint32_t n = 0;
  std::uint64_t lastByte = 0;
  for (;;) {
    Admit();
    for (; n < cap && !input.empty(); ++n) {
      out[n] = input.front();
      input.pop_front();
      lastByte = clockMs;
    }
    if (n == count) break;
    std::uint64_t limit = deadline;
    if (interval != 0 && n > 0) limit = std::min(limit, lastByte + interval);
    const std::uint64_t next = n < cap ? NextArrival() : kNever;
    if (next == kNever || next > limit) {
      if (limit != kNever) clockMs = limit;
      break;
    }
    clockMs = next;
  }
  c.bytes.assign(out, out + n);
  *got = n;
  return true;
}

bool RecordingPlatform::DoWrite(serial::Handle h, const void* bytes, std::uint32_t count,
                                std::uint32_t* written) {
  Call& c = Record(Op::Write, h);
  c.count = count;
  c.ok = Known(h) && !Fails(Op::Write);
  if (!c.ok) return false;
  const std::uint32_t n = std::min(count, writeLimit);
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  c.bytes.assign(in, in + n);
  *written = n;
  if (peer) {
    const Bytes sent = c.bytes;  // calls may grow while the peer runs
    peer(sent);
  }
  return true;
}

bool RecordingPlatform::DoClose(serial::Handle h) {
  Call& c = Record(Op::Close, h);
  c.ok = Known(h) && !Fails(Op::Close);
  if (c.ok) openHandles.erase(h);
  return c.ok;
}

}  // namespace zelqd::testing
