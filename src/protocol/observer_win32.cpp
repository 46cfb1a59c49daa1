// The Windows DLL exports ZelMain only: no observer is ever set.
#include "protocol/observer.h"

namespace zelqd::observer {

namespace detail {
std::atomic<Slot*> g_current{nullptr};
}  // namespace detail

void Notify(const ZelqdOutcome&) noexcept {}

}  // namespace zelqd::observer
