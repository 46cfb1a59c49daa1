// The serial layer: opening and configuring a port, time-outs, discarding
// input, whole writes and exact reads, on a port's handle; and the line of
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

// One write of count bytes: ComOk, ComShortWrite or ComIoError. *written
// (when not null) receives the count written unless the write failed.
ComResult ComWriteAll(Handle handle, const void* bytes, std::int32_t count, std::int32_t* written);

// Reads exactly count bytes (1 to 65535), each read waiting at most the read
// time-out in force: ComOk or ComIoError. *received (when not null) holds the
// count that arrived.
ComResult ComReadExact(Handle handle, void* buffer, std::int32_t count, std::int32_t* received);

// The port of one transfer: its handle, looked up once, for the requests
// and replies of every attempt. Valid while the handle stays open.
class Line {
 public:
  explicit Line(Handle handle);

  // Discards pending input, then writes all count bytes: ComOk, or
  // ComShortWrite or ComIoError.
  ComResult SendAll(const void* bytes, std::int32_t count);

  // Reads exactly count bytes: ComOk or ComIoError. *received (when not
  // null) holds the count that arrived, also when the read fell short. When
  // the bytes did not all come in time, the rest may still come: the port
  // is settled before its next request.
  ComResult ReceiveExact(void* buffer, std::int32_t count, std::int32_t* received = nullptr);

  // After an attempt that ended early: owed more bytes of its reply may
  // still arrive (0: none is owed, but bytes may follow a reply that was
  // refused). The port is settled before its next request.
  void ReplyMayFollow(std::int32_t owed);

 private:
  const Platform& platform_;
  Handle handle_;
  Device* device_;
};

}  // namespace zelqd::serial
