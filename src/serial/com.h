// The serial layer: opening and configuring a port, time-outs, discarding
// input, whole writes and exact reads, on a port's handle; and the port of
// one transfer, which looks the handle up once.
#pragma once

#include <cstdint>

#include "serial/platform.h"
#include "zelqd/zelqd.h"

namespace zelqd::serial {

// Serial result codes; they never reach the host.
enum ComResult : std::int32_t {
  ComOk = 0,
  ComOpenFailed = 1,
  ComShortWrite = 2,
  ComGetStateFailed = 4,
  ComSetStateFailed = 5,
  ComIoError = 7,
};

// Why the last send or receive of a TransferPort failed.
enum class IoFailure : std::uint8_t {
  kNone,
  kShortWrite,  // the write time-out ended the write before all bytes went out
  kTimedOut,    // the read time-out, or the deadline of the reply, passed first
  kHangUp,      // the device went away (the other side gone, the adapter unplugged)
  kSystem,      // a read or write failed with a system error
};

// A failed send or receive: why, and the system's error code (0 for a
// time-out, a short write and a hang-up that came without one).
struct IoStatus {
  IoFailure why = IoFailure::kNone;
  std::uint32_t error = 0;
};

// Nanoseconds on the monotonic clock (the one the outcome records use).
std::uint64_t MonotonicNs();

// Why an open failed: the step, and the system's error code.
struct OpenFailure {
  OpenStep step = OpenStep::kOpen;
  std::uint32_t error = 0;
};

// Queue sizes requested at open.
inline constexpr std::uint32_t kQueueSize = 1200;
// Read time-out configured at open, in milliseconds.
inline constexpr std::uint32_t kOpenReadTimeoutMs = 1000;
// Write time-out configured at open: this constant plus the wire time of
// the bytes written (the multiplier follows the line settings), so that a
// write whose output is held fails instead of waiting for good.
inline constexpr std::uint32_t kOpenWriteTimeoutMs = 1000;
// Read time-out while input is drained, in units of 10 ms.
inline constexpr std::int32_t kPurgeReadTimeout = 5;
// Scratch size of the drain.
inline constexpr std::uint32_t kPurgeChunk = 512;
// Largest count of one exact read.
inline constexpr std::int32_t kMaxReadCount = 65535;

// Opens the device and puts it into the driver's line configuration.
// *handle receives what the open returned; it is usable only on ComOk, and
// on every other result no handle stays open, and *failure (when not null)
// tells why. The null device "NUL" is opened and left unconfigured.
ComResult ComOpen(const char* name, const LineSettings& settings, std::uint16_t controlFlags,
                  Handle* handle, OpenFailure* failure = nullptr);

// The failure of an open refused before the device is asked: the name does
// not fit.
OpenFailure NameDoesNotFit();

// ComOk, or ComIoError when the close failed (the handle is still open).
ComResult ComClose(Handle handle);

// Sets the read time-out (units of 10 ms; the milliseconds saturate at the
// signed 32-bit range): ComOk, or ComIoError when a platform call failed.
// *previous (when not null) receives the time-out that was in force, in
// units of 10 ms, or 0 when it could not be read or changed.
ComResult ComSetReadTimeout(Handle handle, std::int32_t timeout, std::int32_t* previous = nullptr);

// Discards the input waiting in the receive queue, for at most about one
// read time-out (a line that carries noise without end is left as it is
// then). A port whose last attempt ended before its reply did is settled
// first (see settle.h). ComOk, or ComIoError when the last read it made
// failed.
ComResult ComPurgeInput(Handle handle);

// The port of one transfer: its handle, looked up once, for the requests
// and replies of every attempt. Valid while the handle stays open. Every
// attempt sends the same request; what the line may still owe between
// attempts and after the transfer is settled as settle.h says.
class TransferPort {
 public:
  explicit TransferPort(Handle handle);

  // The longest whole reply that the requests of this transfer are
  // answered with: the attempt's deadline and the settling count on it.
  void ExpectReply(std::int32_t bytes) { replyBytes_ = bytes; }

  // Discards pending input, then writes all count bytes: ComOk, or
  // ComShortWrite or ComIoError (Failure() tells why).
  ComResult SendAll(const void* bytes, std::int32_t count);

  // Reads exactly count bytes: ComOk or ComIoError. *received (when not
  // null) holds the count that arrived, also when the read fell short. Each
  // read waits at most the read time-out in force; once a read comes back
  // short, the reply of the attempt as a whole gets a deadline too: the
  // read time-out plus twice the wire time of the whole reply after that
  // read ended (without the read time-out when an earlier portion of the
  // reply had come whole), so that the reply takes at most twice the read
  // time-out and twice its wire time from the request on. Failure() tells
  // why a receive failed.
  ComResult ReceiveExact(void* buffer, std::int32_t count, std::int32_t* received = nullptr);

  // Why the last SendAll or ReceiveExact that failed did (kNone before any
  // failed).
  IoStatus Failure() const { return failure_; }

  // While on, SendAll notes the MonotonicNs() at which its write began
  // (SentNs), and the first read that brings bytes of the reply after it
  // when it returned (FirstReplyNs; 0 until one did).
  void StampTimes(bool on) { stamp_ = on; }
  std::uint64_t SentNs() const { return sentNs_; }
  std::uint64_t FirstReplyNs() const { return firstReplyNs_; }

  // After an attempt that ended early: owed more bytes of its reply may
  // still arrive (0: the whole reply came and was refused, but bytes may
  // follow it). The port is settled before its next request.
  void ReplyMayFollow(std::int32_t owed);

  // After the transfer's last attempt (answered: it took a whole reply).
  // When an attempt went unanswered, a reply to the last request may still
  // come: the port is marked, and settled before its next request.
  void EndTransfer(bool answered);

 private:
  std::int32_t ReadRest(unsigned char* bytes, std::int32_t count, std::int32_t* received,
                        IoStatus* why);
  void TimedOut(std::int32_t count, std::int32_t got);
  void DrainArriving();

  const Platform& platform_;
  Handle handle_;
  Device* device_;
  std::int32_t replyBytes_ = 0;
  // The attempt in progress: reply bytes so far, and the deadline of its
  // reply (0: none yet).
  std::int32_t replyGot_ = 0;
  std::uint64_t replyDeadlineMs_ = 0;
  // Once an attempt went unanswered: the requests whose replies may still
  // come, and when the last request went out.
  bool unanswered_ = false;
  std::int32_t outstanding_ = 0;
  std::uint64_t lastSentMs_ = 0;
  std::uint64_t lastReplyMs_ = 0;  // when a whole reply last came
  IoStatus failure_;
  bool stamp_ = false;
  std::uint64_t sentNs_ = 0;
  std::uint64_t firstReplyNs_ = 0;
};

}  // namespace zelqd::serial
