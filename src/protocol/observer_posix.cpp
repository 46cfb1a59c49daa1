// The observer of outcome records and its setter, zelqd_set_observer.
//
// Two slots take turns: a setter fills the one not in use and publishes
// it. A call of the observer counts itself in the slot it found, then
// checks that the slot is still the published one (else it leaves and
// looks again); the setter, having published the new slot, waits until the
// old one counts no call. Setters take turns among themselves, so a slot is
// filled again only after its last call has left.
#include <thread>

#include "protocol/observer.h"

namespace zelqd::observer {

namespace detail {

struct Slot {
  std::atomic<ZelqdObserver> observer{nullptr};
  std::atomic<void*> context{nullptr};
  std::atomic<int> calls{0};
};

std::atomic<Slot*> g_current{nullptr};

}  // namespace detail

namespace {

using detail::Slot;

Slot g_slots[2];
std::atomic_flag g_setting = ATOMIC_FLAG_INIT;
// The slot whose observer this thread is running, so that an observer
// that replaces itself does not wait for its own call.
// Initial-exec: a static slot, so that the first call on a thread allocates
// nothing (a library loaded at run time would otherwise get its block from
// the heap).
[[gnu::tls_model("initial-exec")]] thread_local Slot* t_calling = nullptr;

}  // namespace

void Notify(const ZelqdOutcome& outcome) noexcept {
  Slot* slot = detail::g_current.load(std::memory_order_acquire);
  while (slot != nullptr) {
    slot->calls.fetch_add(1, std::memory_order_seq_cst);
    if (detail::g_current.load(std::memory_order_seq_cst) == slot) {
      const ZelqdObserver observer = slot->observer.load(std::memory_order_relaxed);
      void* const context = slot->context.load(std::memory_order_relaxed);
      Slot* const outer = t_calling;
      t_calling = slot;
      observer(&outcome, context);
      t_calling = outer;
      slot->calls.fetch_sub(1, std::memory_order_release);
      return;
    }
    // Replaced meanwhile: the call goes to the observer in force now.
    slot->calls.fetch_sub(1, std::memory_order_release);
    slot = detail::g_current.load(std::memory_order_acquire);
  }
}

}  // namespace zelqd::observer

extern "C" ZELQD_API void zelqd_set_observer(ZelqdObserver observer, void* context) {
  using zelqd::observer::detail::g_current;
  using zelqd::observer::detail::Slot;
  namespace o = zelqd::observer;
  while (o::g_setting.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  Slot* const old = g_current.load(std::memory_order_relaxed);
  Slot* next = nullptr;
  if (observer != nullptr) {
    next = old == &o::g_slots[0] ? &o::g_slots[1] : &o::g_slots[0];
    next->observer.store(observer, std::memory_order_relaxed);
    next->context.store(context, std::memory_order_relaxed);
  }
  g_current.store(next, std::memory_order_seq_cst);
  if (old != nullptr) {
    const int own = o::t_calling == old ? 1 : 0;
    while (old->calls.load(std::memory_order_seq_cst) > own) std::this_thread::yield();
  }
  o::g_setting.clear(std::memory_order_release);
}
