// The process's observer of outcome records (zelqd/observer.h), as the
// driver calls it. The Linux library exports the setter; elsewhere no
// observer can be set and Notify does nothing.
//
// No lock is taken on the way to the callback: a call counts itself in
// the observer's slot, and the setter waits until the slot it replaced has
// no call left. With no observer set, Active costs one acquire load.
#pragma once

#include <atomic>

#include "zelqd/observer.h"

namespace zelqd::observer {

namespace detail {
struct Slot;
extern std::atomic<Slot*> g_current;
}  // namespace detail

inline bool Active() { return detail::g_current.load(std::memory_order_acquire) != nullptr; }

// Hands the record to the observer, if one is set, on this thread.
void Notify(const ZelqdOutcome& outcome) noexcept;

}  // namespace zelqd::observer
