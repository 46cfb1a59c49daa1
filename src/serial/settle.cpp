#include "serial/settle.h"

#include "serial/com.h"
#include "serial/wire_time.h"

namespace zelqd::serial {
namespace detail {
std::atomic<std::int32_t> g_unsettled{0};
}  // namespace detail

namespace {

// Ports marked at the same time, at most; a port that finds no free entry
// is settled at once instead.
constexpr std::uint32_t kEntries = 64;

// What settling a port needs: until when, and how many bytes of a reply
// may still come.
struct Mark {
  std::uint64_t deadlineMs = 0;
  std::int32_t owed = 0;
  std::uint64_t extendMs = 0;
  std::int32_t unit = 0;  // bytes of one owed reply
};

// An entry is claimed by storing its handle (0: free). Only the thread that
// drives the port reads or writes the rest; the others look at the handle.
struct alignas(64) Entry {
  std::atomic<Handle> handle{0};
  Mark mark;
};

Entry g_entries[kEntries];

Entry* Find(Handle handle) {
  if (handle == 0) return nullptr;
  for (Entry& e : g_entries) {
    if (e.handle.load(std::memory_order_acquire) == handle) return &e;
  }
  return nullptr;
}

void Release(Entry* e) {
  e->handle.store(0, std::memory_order_release);
  detail::g_unsettled.fetch_sub(1, std::memory_order_relaxed);
}

std::uint64_t AtMost(std::uint64_t value, std::uint64_t limit) {
  return value < limit ? value : limit;
}

// Whole replies of unit bytes that owed bytes still stand for.
std::int32_t Replies(std::int32_t owed, std::int32_t unit) {
  return unit > 0 ? (owed + unit - 1) / unit : owed;
}

}  // namespace

LineTiming TimingOf(Device* device) {
  const Platform& p = ActivePlatform();
  LineTiming timing;
  Timeouts timeouts;
  timing.readMs = p.getTimeouts(device, &timeouts) && timeouts.readTotalConstant != 0
                      ? timeouts.readTotalConstant
                      : kOpenReadTimeoutMs;
  DeviceState state;
  state.length = 28;
  if (p.getState(device, &state) && state.baudRate != 0) {
    timing.bits = CharacterBits(state.byteSize, state.parity, state.stopBits);
    timing.baud = state.baudRate;
  }
  return timing;
}

std::uint64_t WireOf(const LineTiming& timing, std::int64_t count) {
  return WireMs(static_cast<std::uint64_t>(count > 0 ? count : 0), timing.bits, timing.baud);
}

std::uint64_t AfterFailure(const LineTiming& timing, std::uint64_t failedMs, std::int32_t owed) {
  return failedMs + timing.readMs + WireOf(timing, std::int64_t{owed} + kRequestAllowance) +
         kSettleMarginMs;
}

std::uint64_t NextReplyWithin(const LineTiming& timing, std::int32_t replyBytes) {
  return WireOf(timing, kRequestAllowance) + 2 * timing.readMs + WireOf(timing, replyBytes) +
         kSettleMarginMs;
}

std::uint64_t AfterRequest(const LineTiming& timing, std::uint64_t sentMs,
                           std::int32_t replyBytes) {
  return sentMs + NextReplyWithin(timing, replyBytes);
}

// Each read returns once a burst of bytes is followed by the gap, or when
// its total time-out ends: at the deadline while bytes are owed, after one
// gap of quiet once they have come. The time-outs in force are restored.
std::int32_t Drain(Device* device, std::uint64_t deadlineMs, std::int32_t owed,
                   std::uint64_t extendMs, std::int32_t unit) {
  const Platform& p = ActivePlatform();
  Timeouts saved;
  if (!p.getTimeouts(device, &saved)) return owed;
  const LineTiming timing = TimingOf(device);
  const std::uint64_t characters = WireOf(timing, kQuietGapCharacters);
  const std::uint64_t gap =
      AtMost(characters > kQuietGapMs ? characters : kQuietGapMs, timing.readMs);

  Timeouts drain = saved;
  drain.readInterval = static_cast<std::uint32_t>(gap);
  drain.readTotalMultiplier = 0;
  unsigned char scratch[kPurgeChunk];
  for (std::uint64_t now = p.nowMs(); now < deadlineMs; now = p.nowMs()) {
    const std::uint64_t left = deadlineMs - now;
    const bool owing = owed > 0;
    drain.readTotalConstant =
        static_cast<std::uint32_t>(owing ? AtMost(left, 0xFFFFFFFEu) : AtMost(gap, left));
    if (!p.setTimeouts(device, &drain)) break;
    std::uint32_t got = 0;
    if (!p.read(device, scratch, kPurgeChunk, &got) || got == 0) break;
    const std::int32_t before = owed;
    owed = got >= static_cast<std::uint32_t>(owed) ? 0 : owed - static_cast<std::int32_t>(got);
    // A read that waited for owed bytes and ends with room to spare ended on
    // the gap after them: the line has been quiet since.
    if (owing && owed == 0 && got < kPurgeChunk) break;
    // Only once a whole owed reply has come: a trickle of bytes never
    // stretches the settle further than the replies owed.
    if (owed > 0 && extendMs != 0 && Replies(owed, unit) < Replies(before, unit)) {
      const std::uint64_t next = p.nowMs() + extendMs;
      if (next > deadlineMs) deadlineMs = next;
    }
  }
  p.setTimeouts(device, &saved);
  return owed;
}

void MarkUnsettled(Handle handle, Device* device, std::uint64_t deadlineMs, std::int32_t owed,
                   std::uint64_t extendMs, std::int32_t unit) {
  if (handle == 0) return;  // no port: nothing can arrive
  if (owed < 0) owed = 0;
  if (Entry* e = Find(handle)) {
    if (deadlineMs > e->mark.deadlineMs) e->mark.deadlineMs = deadlineMs;
    if (extendMs > e->mark.extendMs) e->mark.extendMs = extendMs;
    if (unit > e->mark.unit) e->mark.unit = unit;
    e->mark.owed += owed;
    return;
  }
  for (Entry& e : g_entries) {
    Handle expected = 0;
    if (e.handle.load(std::memory_order_relaxed) == 0 &&
        e.handle.compare_exchange_strong(expected, handle, std::memory_order_acquire)) {
      e.mark = Mark{deadlineMs, owed, extendMs, unit};
      detail::g_unsettled.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  // No entry free: settle now rather than not at all.
  Drain(device, deadlineMs, owed, extendMs, unit);
}

bool Settle(Handle handle, Device* device) {
  Entry* e = Find(handle);
  if (e == nullptr) return false;
  const Mark mark = e->mark;
  Release(e);
  Drain(device, mark.deadlineMs, mark.owed, mark.extendMs, mark.unit);
  return true;
}

void Forget(Handle handle) {
  if (!AnyUnsettled()) return;
  if (Entry* e = Find(handle)) Release(e);
}

}  // namespace zelqd::serial
