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

// What settling a port needs: when the attempt gave up, and how many bytes
// of a reply may still come.
struct Mark {
  std::uint64_t sinceMs = 0;
  std::int32_t owed = 0;
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

// Drains the line as the mark asks, discarding what it reads, and restores
// the time-outs in force.
void Drain(Device* device, const Mark& mark) {
  const Platform& p = ActivePlatform();
  Timeouts saved;
  if (!p.getTimeouts(device, &saved)) return;
  DeviceState state;
  state.length = 28;
  // Without the device's settings, a character counts as at 9600 baud.
  std::uint32_t bits = CharacterBits(8, 0, 0);
  std::uint32_t baud = 9600;
  if (p.getState(device, &state) && state.baudRate != 0) {
    bits = CharacterBits(state.byteSize, state.parity, state.stopBits);
    baud = state.baudRate;
  }
  const std::uint64_t replyMs =
      saved.readTotalConstant != 0 ? saved.readTotalConstant : kOpenReadTimeoutMs;
  const std::uint64_t owedWire =
      WireMs(static_cast<std::uint64_t>(mark.owed) + kRequestAllowance, bits, baud);
  const std::uint64_t characters = WireMs(kQuietGapCharacters, bits, baud);
  const std::uint64_t gap = AtMost(characters > kQuietGapMs ? characters : kQuietGapMs, replyMs);
  const std::uint64_t deadline = mark.sinceMs + replyMs + owedWire + gap + kSettleMarginMs;

  // Each read returns once a burst of bytes is followed by the gap, or when
  // its total time-out ends: at the deadline while bytes are owed, after
  // one gap of quiet once they have come.
  Timeouts drain = saved;
  drain.readInterval = static_cast<std::uint32_t>(gap);
  drain.readTotalMultiplier = 0;
  std::int32_t owed = mark.owed;
  unsigned char scratch[kPurgeChunk];
  for (std::uint64_t now = p.nowMs(); now < deadline; now = p.nowMs()) {
    const std::uint64_t left = deadline - now;
    const bool owing = owed > 0;
    drain.readTotalConstant =
        static_cast<std::uint32_t>(owing ? AtMost(left, 0xFFFFFFFEu) : AtMost(gap, left));
    if (!p.setTimeouts(device, &drain)) break;
    std::uint32_t got = 0;
    if (!p.read(device, scratch, kPurgeChunk, &got) || got == 0) break;
    owed = got >= static_cast<std::uint32_t>(owed) ? 0 : owed - static_cast<std::int32_t>(got);
    // A read that waited for owed bytes and ends with room to spare ended on
    // the gap after them: the line has been quiet since.
    if (owing && owed == 0 && got < kPurgeChunk) break;
  }
  p.setTimeouts(device, &saved);
}

}  // namespace

void MarkUnsettled(Handle handle, Device* device, std::int32_t owed) {
  if (handle == 0) return;  // no port: nothing can arrive
  if (owed < 0) owed = 0;
  const std::uint64_t now = ActivePlatform().nowMs();
  if (Entry* e = Find(handle)) {
    e->mark.sinceMs = now;
    e->mark.owed += owed;
    return;
  }
  for (Entry& e : g_entries) {
    Handle expected = 0;
    if (e.handle.load(std::memory_order_relaxed) == 0 &&
        e.handle.compare_exchange_strong(expected, handle, std::memory_order_acquire)) {
      e.mark = Mark{now, owed};
      detail::g_unsettled.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  // No entry free: settle now rather than not at all.
  Drain(device, Mark{now, owed});
}

void Settle(Handle handle, Device* device) {
  Entry* e = Find(handle);
  if (e == nullptr) return;
  const Mark mark = e->mark;
  Release(e);
  Drain(device, mark);
}

void Forget(Handle handle) {
  if (!AnyUnsettled()) return;
  if (Entry* e = Find(handle)) Release(e);
}

}  // namespace zelqd::serial
