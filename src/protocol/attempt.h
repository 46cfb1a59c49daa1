// One attempt of a transfer: the request and reply buffers the exchange
// works in, and what came of it. When the trace or an observer is on, the
// retry loop makes the attempt's outcome record from it (outcome.h).
#pragma once

#include <cstdint>

#include "protocol/frames.h"
#include "zelqd/zelqd.h"

namespace zelqd::protocol {

enum class AttemptFailure : std::uint8_t {
  kNone,
  kOutOfRange,       // variable number, value count or slots unusable: nothing sent
  kNotWritten,       // the request did not go out completely
  kReplyIncomplete,  // a reply portion did not arrive within the read time-out
  kChecksum,         // checksum digits differ from the computed ones
  kErrorReply,       // the remote computer answered "ERROR"
  kNoKeyword,        // a nine-byte write reply with neither keyword
  kBadValueDigit,    // a value group that is not eight hexadecimal digits
  kHangUp,           // the device went away during a read or write
  kIoError,          // a read or write failed with a system error
};

struct Attempt {
  AttemptFailure failure = AttemptFailure::kNone;
  std::int32_t requestLength = 0;       // bytes of request in use
  std::int32_t replyExpected = 0;       // reply bytes asked for so far
  std::int32_t replyReceived = 0;       // reply bytes that arrived
  std::int32_t badGroup = -1;           // kBadValueDigit: index of the group
  std::uint8_t expectedDigits[2] = {};  // kChecksum: the digits computed
  std::uint8_t seenDigits[2] = {};      // kChecksum: the digits received
  std::uint32_t systemError = 0;        // kHangUp, kIoError: the system's code

  // Left uninitialised: only the bytes counted above are ever read.
  std::uint8_t request[kMaxRequestSize];
  std::uint8_t reply[kReadReplyCapacity];

  // Resets the outcome for a new attempt (the buffers are overwritten).
  void Begin() {
    failure = AttemptFailure::kNone;
    requestLength = 0;
    replyExpected = 0;
    replyReceived = 0;
    badGroup = -1;
    systemError = 0;
  }

  std::int32_t Fail(AttemptFailure why) {
    failure = why;
    return ResultFailed;
  }
};

}  // namespace zelqd::protocol
