// A serial backend for tests: a model of one device that records every
// platform call with its arguments and plays scripted results, on a clock
// of its own that only waiting reads move.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <ostream>
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
inline void PrintTo(Op op, std::ostream* os) { *os << OpName(op); }

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
  std::uint32_t intervalMs = 0;     // Read: the interval time-out in force
  std::uint64_t atMs = 0;           // the clock when the call was made
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
  // What a failed open reports as its step, and what lastError reports.
  serial::OpenStep failStep = serial::OpenStep::kOpen;
  std::uint32_t error = 0;
  // What hungUp reports for a failed read or write, whatever its error.
  bool hangUp = false;

  // --- Time ---
  // The clock, in milliseconds. A read that does not find all its bytes
  // waiting waits as a comm handle's read does (the total time-out from its
  // start, and the interval time-out after a byte), for bytes scheduled to
  // arrive, moving the clock; nothing else moves it.
  std::uint64_t clockMs = 0;
  // Bytes that join the receive queue when the clock reaches at.
  void At(std::uint64_t at, const Bytes& bytes);
  void At(std::uint64_t at, const std::string& text);
  // Noise bytes at a steady rate from one time until another.
  void Noise(std::uint64_t from, std::uint64_t until, std::uint32_t bytesPerSecond);

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
  serial::Handle DoOpen(const char* name, serial::OpenStep* failed = nullptr);
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
  // Moves what has arrived by the clock into input.
  void Admit();
  // When the next byte arrives after the clock (UINT64_MAX: none will).
  std::uint64_t NextArrival() const;
  bool Known(serial::Handle h) const { return openHandles.count(h) != 0; }
  Call& Record(Op op, serial::Handle h);

  std::map<Op, int> failAt_;        // countdown to the failing call; 0: every call
  std::map<Op, int> failEvery_;     // ops whose every call fails
  std::set<serial::Handle> given_;  // every handle an open returned
  std::multimap<std::uint64_t, Bytes> arrivals_;
  std::uint64_t noiseFrom_ = 0, noiseUntil_ = 0, noiseDelivered_ = 0;
  std::uint32_t noiseRate_ = 0;
};

}  // namespace zelqd::testing
