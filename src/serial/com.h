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

// Queue sizes requested at open.
inline constexpr std::uint32_t kQueueSize = 1200;
// Read time-out configured at open, in milliseconds.
inline constexpr std::uint32_t kOpenReadTimeoutMs = 1000;
// Read time-out while input is drained, in units of 10 ms.
inline constexpr std::int32_t kPurgeReadTimeout = 5;
// Scratch size of the drain.
inline constexpr std::uint32_t kPurgeChunk = 512;
// Largest count of one exact read.
inline constexpr std::int32_t kMaxReadCount = 65535;

// Opens the device and puts it into the driver's line configuration.
// *handle receives what the open returned; it is usable only on ComOk, and
// on every other result no handle stays open. The null device "NUL" is
// opened and left unconfigured.
std::int32_t ComOpen(const char* name, const LineSettings& settings, std::uint16_t controlFlags,
                     Handle* handle);

// ComOk, or ComIoError when the close failed (the handle is still open).
std::int32_t ComClose(Handle handle);

// Sets the read time-out (units of 10 ms; the milliseconds saturate at the
// signed 32-bit range) and returns the previous one in units of 10 ms, or 0
// when a platform call failed.
std::int32_t ComSetReadTimeout(Handle handle, std::int32_t timeout);

// Discards the input waiting in the receive queue. Returns 0, or 1 when the
// last read it made failed.
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
// null) holds the count that arrived, also when the read fell short.
bool ReceiveExact(DriverInstance* instance, void* buffer, std::int32_t count,
                  std::int32_t* received = nullptr);

}  // namespace zelqd::serial
