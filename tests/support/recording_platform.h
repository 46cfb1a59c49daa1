// A serial backend for tests: a model of one device that records every
// platform call with its arguments and plays scripted results.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "serial/platform.h"

namespace zelqd::testing {

enum class Op {
  Open,
  GetState,
  SetState,
  GetTimeouts,
  SetTimeouts,
  SetQueues,
  ClearErrors,
  Read,
  Write,
  Close,
};

const char* OpName(Op op);

using Bytes = std::vector<std::uint8_t>;

struct Call {
  Op op;
  serial::Handle handle = 0;
  std::string name;                 // Open
  serial::DeviceState state;        // GetState (as given), SetState
  serial::Timeouts timeouts;        // SetTimeouts
  std::uint32_t count = 0;          // Read, Write: count asked; SetQueues: input size
  std::uint32_t count2 = 0;         // SetQueues: output size
  Bytes bytes;                      // Write: bytes written; Read: bytes returned
  std::uint32_t readTimeoutMs = 0;  // Read: the read time-out in force
  bool ok = true;                   // what the call returned
};

// While it lives, the serial layer uses it in place of the native backend.
class RecordingPlatform {
 public:
  RecordingPlatform();
  ~RecordingPlatform();
  RecordingPlatform(const RecordingPlatform&) = delete;
  RecordingPlatform& operator=(const RecordingPlatform&) = delete;

  // --- The device model ---
  // Bytes waiting in the receive queue.
  std::deque<std::uint8_t> input;
  // When not empty, each read takes the front entry as the most bytes that
  // arrive within its time-out (0: the read times out with nothing).
  std::deque<std::uint32_t> deliveries;
  // What GetState reports (its length field is kept from the caller).
  serial::DeviceState deviceState;
  // The time-outs in force.
  serial::Timeouts timeouts;
  // When set, the count ClearErrors reports instead of input.size().
  std::int64_t waitingOverride = -1;
  // The most bytes one write takes (a short write below the count asked).
  std::uint32_t writeLimit = UINT32_MAX;
  // Called with the bytes of every successful write: a scripted peer that
  // may push its answer into input.
  std::function<void(const Bytes& written)> peer;
  // Handle the next open returns.
  serial::Handle nextHandle = 0x100;

  // The nth call (1-based) of op from now on fails; nth 0: every call fails.
  void FailOn(Op op, int nth = 1);

  // Convenience: append bytes to the receive queue.
  void Feed(const Bytes& bytes);
  void Feed(const std::string& text);

  // --- What happened ---
  std::vector<Call> calls;
  std::vector<Op> Ops() const;
  int Count(Op op) const;
  std::vector<Bytes> Writes() const;
  std::set<serial::Handle> openHandles;
  void Clear() { calls.clear(); }

  // The backend itself (used by the trampolines).
  serial::Handle DoOpen(const char* name);
  bool DoGetState(serial::Handle h, serial::DeviceState* s);
  bool DoSetState(serial::Handle h, const serial::DeviceState* s);
  bool DoGetTimeouts(serial::Handle h, serial::Timeouts* t);
  bool DoSetTimeouts(serial::Handle h, const serial::Timeouts* t);
  bool DoSetQueues(serial::Handle h, std::uint32_t in, std::uint32_t out);
  bool DoClearErrors(serial::Handle h, std::uint32_t* waiting);
  bool DoRead(serial::Handle h, void* buffer, std::uint32_t count, std::uint32_t* got);
  bool DoWrite(serial::Handle h, const void* bytes, std::uint32_t count, std::uint32_t* written);
  bool DoClose(serial::Handle h);

 private:
  bool Fails(Op op);
  bool Known(serial::Handle h) const { return openHandles.count(h) != 0; }
  Call& Record(Op op, serial::Handle h);

  std::map<Op, int> failAt_;     // countdown to the failing call; 0: every call
  std::map<Op, int> failEvery_;  // ops whose every call fails
};

}  // namespace zelqd::testing
