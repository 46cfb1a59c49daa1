// Reads and writes on a descriptor under the time-outs of a comm handle.
//
// The descriptor is non-blocking; every wait is a poll() against a deadline
// on the monotonic clock, so an interrupted call resumes without stretching
// it and a time-out of many days never overflows poll's argument. A hang-up
// (the other side gone, a USB adapter unplugged) ends a call with a failure
// at once.
#pragma once

#include <cstdint>

#include "serial/platform.h"

namespace zelqd::serial::posix {

// The "no limit" value of the time-out fields.
inline constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFFu;

// Reads at most count bytes, as a comm handle's read does:
// - readInterval kMaxTimeout with both totals 0: returns at once with what
//   is waiting;
// - readInterval and readTotalMultiplier kMaxTimeout, readTotalConstant
//   between them: returns as soon as any byte is there, or with nothing
//   after the constant;
// - otherwise: returns when count bytes are there, when the total time-out
//   (multiplier x count + constant, from the start of the read) has elapsed,
//   or when readInterval (if not 0) passes between two bytes; all zero
//   means no time-out at all.
// A time-out is no failure: *got holds what arrived (possibly 0). Returns
// false on an error (errno set) or a hang-up (errno EIO, or 0 when only
// poll() or the end of the input told it); *got then holds what had
// arrived before.
// readFirst: read before the first wait, for a caller that expects the bytes
// to be waiting already; when none are, the read waits as usual.
bool TimedRead(int fd, const Timeouts& timeouts, void* buffer, std::uint32_t count,
               std::uint32_t* got, bool readFirst = false);

// Writes all count bytes, waiting for room as long as the write time-out
// (multiplier x count + constant; 0 and 0: none) allows, counted from the
// first wait. A time-out is no failure: *written holds the count that went
// out. Returns false on an error or a hang-up, errno set as for TimedRead.
bool TimedWrite(int fd, const Timeouts& timeouts, const void* bytes, std::uint32_t count,
                std::uint32_t* written);

}  // namespace zelqd::serial::posix
