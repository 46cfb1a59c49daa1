// Settling a line after an attempt that ended before its reply did.
//
// The frames name no request, so a reply that comes after its attempt gave
// up would be taken for the reply to whatever request goes out next. Every
// attempt of one transfer sends the same request, so a whole reply to an
// earlier attempt that arrives during a later one of the same transfer
// answers that request and is taken. What must never happen is a reply
// that crosses into another transfer, or the rest of a reply that runs into
// the next one (a misaligned frame). So:
// - an attempt that got part of its reply, or a reply it refused, marks the
//   port: the rest may still come until a deadline, the failure's time plus
//   one more read time-out, the wire time of what is owed and of a request,
//   and a margin for the timers and the scheduling of both ends; the port
//   is settled before its next request (the next attempt, the next
//   transfer, or a purge);
// - an attempt that got no byte at all is retried at once; a reply to it
//   that is arriving when the retry is due is drained whole first;
// - a transfer in which an attempt got no byte marks the port when it ends:
//   a reply to its last request may still come, until that request's time
//   plus the wire time of the request, twice the read time-out, the wire
//   time of its reply and the margin.
// Settling drains the line and discards what it reads until the deadline,
// or sooner: once the owed bytes have come and the line then stays quiet
// for a gap of a few character times (10 ms at least).
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
// The longest request, whose wire time the deadlines allow for.
inline constexpr std::uint32_t kRequestAllowance = 19;
// The margin of the deadlines (a timer tick of some systems is 16 ms).
inline constexpr std::uint32_t kSettleMarginMs = 25;

namespace detail {
extern std::atomic<std::int32_t> g_unsettled;
}  // namespace detail

// Whether any port is marked: the one test the clean path makes.
inline bool AnyUnsettled() { return detail::g_unsettled.load(std::memory_order_relaxed) != 0; }

// What the deadlines of a port depend on: the read time-out in force and
// the bits and rate of a character (9600 baud 8N1 when the device does not
// tell).
struct LineTiming {
  std::uint64_t readMs = 0;
  std::uint32_t bits = 10;
  std::uint32_t baud = 9600;
};
LineTiming TimingOf(Device* device);

// Milliseconds that count bytes take on the wire.
std::uint64_t WireOf(const LineTiming& timing, std::int64_t count);

// The deadline after an attempt that failed at failedMs with owed bytes of
// its reply still to come.
std::uint64_t AfterFailure(const LineTiming& timing, std::uint64_t failedMs, std::int32_t owed);

// The deadline of a reply of replyBytes to a request that went out at
// sentMs: at most twice the read time-out late.
std::uint64_t AfterRequest(const LineTiming& timing, std::uint64_t sentMs, std::int32_t replyBytes);

// Marks the port: owed bytes may still arrive until deadlineMs (owed 0:
// none is owed, but stragglers may follow a reply that was refused). A
// port already marked owes these bytes as well, until the later deadline.
// extendMs (when not 0): the owed bytes are replies of unit bytes each,
// and a remote that answers one request after the other may send each up to
// that long after the one before it, so every whole reply that comes while
// more are owed moves the deadline to that long after it.
void MarkUnsettled(Handle handle, Device* device, std::uint64_t deadlineMs, std::int32_t owed,
                   std::uint64_t extendMs = 0, std::int32_t unit = 0);

// Settles a marked port (see above) and removes its mark; does nothing for
// a port without one. The read time-outs in force are restored. Whether
// the port was marked.
bool Settle(Handle handle, Device* device);

// Drains the line as a settle does, without a mark; returns the bytes
// still owed.
std::int32_t Drain(Device* device, std::uint64_t deadlineMs, std::int32_t owed,
                   std::uint64_t extendMs = 0, std::int32_t unit = 0);

// The time a remote that answers one request after the other may take for
// the next reply after the one before: the wire time of a request, twice
// the read time-out, the wire time of the reply and the margin.
std::uint64_t NextReplyWithin(const LineTiming& timing, std::int32_t replyBytes);

// Removes the port's mark without settling (the handle was opened anew or
// closed).
void Forget(Handle handle);

}  // namespace zelqd::serial
