// The outcome records of attempts and failed opens (zelqd/observer.h): one
// function makes each kind, and Publish hands a record to the observer and
// to the frame trace, whichever of them is on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/attempt.h"
#include "protocol/observer.h"
#include "protocol/trace.h"
#include "serial/com.h"
#include "zelqd/observer.h"
#include "zelqd/zelqd.h"

namespace zelqd::protocol {

// Whether anyone takes the records: one or two atomic loads.
inline bool RecordsWanted() { return observer::Active() || trace::Enabled(); }

// The times of an attempt on the monotonic clock (0: not reached).
struct AttemptTimes {
  std::uint64_t sentNs = 0;
  std::uint64_t firstReplyNs = 0;
  std::uint64_t endedNs = 0;
};

// The record of one attempt (number counts from 1 to of) of a transfer of
// count values (0: a write) from variable on. It points into the attempt's
// buffers.
ZelqdOutcome AttemptOutcome(const Attempt& attempt, const DriverInstance& instance,
                            std::int32_t variable, std::int32_t count, int number, int of,
                            const AttemptTimes& times);

// The record of a failed open of the port name (its bytes up to a NUL, at
// most nameSize of them) on behalf of instance (nullptr: none). It points
// at the name.
ZelqdOutcome OpenOutcome(const DriverInstance* instance, const char* name, std::size_t nameSize,
                         const serial::OpenFailure& failure);

// Hands the record to the observer, then to the trace.
void Publish(const ZelqdOutcome& outcome);

}  // namespace zelqd::protocol
