// Settling a line after an attempt that ended before its reply did.
//
// The frames name no request, so a reply that comes after its attempt gave
// up would be taken for the reply to whatever request goes out next. When
// an attempt ends without its whole reply (a time-out), or with a reply it
// refused, the port is marked unsettled: the rest of a reply may still come
// until a deadline: the failure's time plus one more read time-out, the
// wire time of what is owed and of a request, and a margin for the timers
// and the scheduling of both ends; that is more than twice the read
// time-out after the request went out. Before the next request goes
// out on the port (the next attempt, the next transfer, or a purge), the
// line is drained and everything read is discarded, until the deadline, or
// sooner: once the owed bytes have come and the line then stays quiet for a
// gap of a few character times (10 ms at least).
//
// The clean path pays one test of a counter of unsettled ports. The marks
// are kept here, per handle, in a small table that no instance holds; a
// port is only ever marked and settled by the thread that drives it.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/platform.h"

namespace zelqd::serial {

// The quiet gap that ends a settle once the owed bytes have come, at least.
inline constexpr std::uint32_t kQuietGapMs = 10;
// The gap in characters, where that is longer.
inline constexpr std::uint32_t kQuietGapCharacters = 4;
// The longest request, whose wire time the deadline allows for.
inline constexpr std::uint32_t kRequestAllowance = 19;
// The margin of the deadline (a timer tick of some systems is 16 ms).
inline constexpr std::uint32_t kSettleMarginMs = 25;

namespace detail {
extern std::atomic<std::int32_t> g_unsettled;
}  // namespace detail

// Whether any port is marked: the one test the clean path makes.
inline bool AnyUnsettled() { return detail::g_unsettled.load(std::memory_order_relaxed) != 0; }

// Marks the port: owed more bytes of a reply may still arrive (0: none is
// owed, but stragglers may follow a reply that was refused). A port already
// marked owes these bytes as well, from now on.
void MarkUnsettled(Handle handle, Device* device, std::int32_t owed);

// Settles a marked port (see above) and removes its mark; does nothing for
// a port without one. The read time-outs in force are restored.
void Settle(Handle handle, Device* device);

// Removes the port's mark without settling (the handle was opened anew or
// closed).
void Forget(Handle handle);

}  // namespace zelqd::serial
