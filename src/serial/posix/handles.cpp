#include "serial/posix/handles.h"

#include <atomic>

namespace zelqd::serial::posix {
namespace {

// Generations run from 1 to kMaxGeneration: a handle is never 0, and the
// top generation is left out so that no handle equals kInvalidHandle.
constexpr std::uint32_t kMaxGeneration = (kInvalidHandle >> kSlotBits) - 1;

static_assert(((kMaxGeneration << kSlotBits) | (kSlotCount - 1)) != kInvalidHandle);

// Marks a slot whose open is in progress; no live handle has this value.
constexpr std::uint32_t kClaimed = kInvalidHandle;

struct Slot {
  std::atomic<std::uint32_t> live{0};  // the live handle, kClaimed, or 0 when free
  std::uint32_t generation = 0;        // touched only by the slot's claimer
  Port port{};
};

// Zero-initialised, so the table costs no space in the library's image.
Slot g_slots[kSlotCount];
std::atomic<std::uint32_t> g_nextSlot{0};

}  // namespace

Port* ClaimPort(std::uint32_t* slot) {
  const std::uint32_t start = g_nextSlot.fetch_add(1, std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < kSlotCount; ++i) {
    const std::uint32_t index = (start + i) & (kSlotCount - 1);
    std::uint32_t expected = 0;
    if (g_slots[index].live.compare_exchange_strong(expected, kClaimed,
                                                    std::memory_order_acquire)) {
      *slot = index;
      Port& port = g_slots[index].port;
      port = Port{};
      port.fd = -1;
      return &port;
    }
  }
  return nullptr;
}

Handle PublishPort(std::uint32_t slot) {
  Slot& s = g_slots[slot];
  s.generation = s.generation >= kMaxGeneration ? 1 : s.generation + 1;
  const Handle handle = (s.generation << kSlotBits) | slot;
  s.port.handle = handle;
  s.live.store(handle, std::memory_order_release);
  return handle;
}

void ReleasePort(std::uint32_t slot) { g_slots[slot].live.store(0, std::memory_order_release); }

Port* FindPort(Handle handle) {
  if (handle == 0 || handle == kInvalidHandle) return nullptr;
  Slot& s = g_slots[SlotOf(handle)];
  return s.live.load(std::memory_order_acquire) == handle ? &s.port : nullptr;
}

}  // namespace zelqd::serial::posix
