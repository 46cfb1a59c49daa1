// The serial layer: opening and configuring a port, time-outs, discarding
// input, whole writes and exact reads, on the handle level and on the
// instance level.
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
std::int32_t ComOpen(const char* name, const LineSettings& settings, std::uint16_t controlFlags,
                     Handle* handle, OpenFailure* failure = nullptr);

// The failure of an open refused before the device is asked: the name does
// not fit.
OpenFailure NameDoesNotFit();

// ComOk, or ComIoError when the close failed (the handle is still open).
std::int32_t ComClose(Handle handle);

// Sets the read time-out (units of 10 ms; the milliseconds saturate at the
// signed 32-bit range) and returns the previous one in units of 10 ms, or 0
// when a platform call failed.
std::int32_t ComSetReadTimeout(Handle handle, std::int32_t timeout);

// Discards the input waiting in the receive queue, for at most about one
// read time-out (a line that carries noise without end is left as it is
// then). A port whose last attempt ended before its reply did is settled
// first (see settle.h). Returns 0, or 1 when the last read it made failed.
std::int32_t ComPurgeInput(Handle handle);

// One write of count bytes: ComOk, ComShortWrite or ComIoError. *written
// (when not null) receives the count written unless the write failed.
std::int32_t ComWriteAll(Handle handle, const void* bytes, std::int32_t count,
                         std::int32_t* written);

// Reads exactly count bytes (1 to 65535), each read waiting at most the read
// time-out in force: ComOk or ComIoError. *received (when not null) holds the
// count that arrived.
std::int32_t ComReadExact(Handle handle, void* buffer, std::int32_t count, std::int32_t* received);

// Discards pending input on the instance's port, then writes all count bytes.
bool SendAll(DriverInstance* instance, const void* bytes, std::int32_t count);

// Reads exactly count bytes from the instance's port. *received (when not
// null) holds the count that arrived, also when the read fell short. When
// the bytes did not all come in time, the rest may still come: the port is
// settled before its next request.
bool ReceiveExact(DriverInstance* instance, void* buffer, std::int32_t count,
                  std::int32_t* received = nullptr);

// After an attempt that ended early: owed more bytes of its reply may still
// arrive on the instance's port (0: none is owed, but bytes may follow a
// reply that was refused). The port is settled before its next request.
void ReplyMayFollow(DriverInstance* instance, std::int32_t owed);

}  // namespace zelqd::serial
