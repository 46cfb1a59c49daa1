// The seam between the serial algorithms and the operating system.
//
// The algorithms of the serial layer are written once, against the effects
// of a few platform calls: an exclusive open, reading and applying the
// device state, reading and applying the time-outs, queue sizes, clearing
// errors and counting waiting input, read, write and close, and a monotonic
// clock. A backend gives those effects for one platform; the build picks one
// backend file, and tests may put a recording backend in its place.
#pragma once

#include <cstdint>

namespace zelqd::serial {

// Handle of an open device as an instance stores it in its 32-bit port
// field; 0 means that no port is open.
using Handle = std::uint32_t;

// What a failed open returns.
inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;

// The step of an open that failed.
enum class OpenStep : std::uint8_t {
  kName,       // the name does not fit, or names no device path
  kOpen,       // the device could not be opened
  kLock,       // another process holds the device's lock
  kExclusive,  // exclusive use of the device was refused
  kSettings,   // reading or applying the line settings failed
  kTimeouts,   // applying the time-outs failed
};

// Values of DeviceState::dtrControl and ::rtsControl.
inline constexpr std::uint8_t kDtrDisable = 0;
inline constexpr std::uint8_t kDtrEnable = 1;
inline constexpr std::uint8_t kDtrHandshake = 2;
inline constexpr std::uint8_t kRtsDisable = 0;
inline constexpr std::uint8_t kRtsEnable = 1;
inline constexpr std::uint8_t kRtsHandshake = 2;
inline constexpr std::uint8_t kRtsToggle = 3;

// The device control block, field for field. A backend reports every field
// it knows and keeps the ones it does not know as they were given to it.
struct DeviceState {
  std::uint32_t length = 0;  // size of the platform's block, set before a read
  std::uint32_t baudRate = 0;
  std::uint8_t binary = 0;
  std::uint8_t parityCheck = 0;
  std::uint8_t outxCtsFlow = 0;
  std::uint8_t outxDsrFlow = 0;
  std::uint8_t dtrControl = 0;
  std::uint8_t dsrSensitivity = 0;
  std::uint8_t txContinueOnXoff = 0;
  std::uint8_t outX = 0;
  std::uint8_t inX = 0;
  std::uint8_t errorCharEnabled = 0;
  std::uint8_t discardNull = 0;
  std::uint8_t rtsControl = 0;
  std::uint8_t abortOnError = 0;
  std::uint32_t dummy2 = 0;  // the 17 spare bits of the flag word
  std::uint16_t reserved = 0;
  std::uint16_t xonLimit = 0;
  std::uint16_t xoffLimit = 0;
  std::uint8_t byteSize = 0;
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  char xonChar = 0;
  char xoffChar = 0;
  char errorChar = 0;
  char eofChar = 0;
  char evtChar = 0;
  std::uint16_t reserved1 = 0;

  bool operator==(const DeviceState&) const = default;
};

// Time-outs of a handle, in milliseconds.
struct Timeouts {
  std::uint32_t readInterval = 0;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 0;
  std::uint32_t writeTotalMultiplier = 0;
  std::uint32_t writeTotalConstant = 0;
};

// A backend's own record of an open device; only the backend reads it. The
// serial layer looks a handle's device up once for a run of calls on the
// same port (a transfer, an open, a drain). A null device names no open
// port: the calls on it fail (a close may succeed, as the backend says).
struct Device;

// The platform effects. Every call is synchronous and returns false on
// failure; none of them is ever handed a null function.
struct Platform {
  // Opens the named device for reading and writing, exclusively; returns
  // kInvalidHandle on failure, with the step that failed in *failed.
  Handle (*open)(const char* name, OpenStep* failed);
  // The device of a handle, or null when the handle names no open port.
  Device* (*find)(Handle handle);
  // Fills the block with the device's current settings.
  bool (*getState)(Device* device, DeviceState* state);
  // Applies the block.
  bool (*setState)(Device* device, const DeviceState* state);
  // Reports the time-outs in force.
  bool (*getTimeouts)(Device* device, Timeouts* timeouts);
  // Applies the time-outs.
  bool (*setTimeouts)(Device* device, const Timeouts* timeouts);
  // Sets the driver's input and output queue sizes.
  bool (*setQueues)(Device* device, std::uint32_t inputSize, std::uint32_t outputSize);
  // Clears the device's error state and reports the bytes waiting in the
  // receive queue.
  bool (*clearErrors)(Device* device, std::uint32_t* waiting);
  // Reads at most count bytes; returns when that many are there or the read
  // time-out has elapsed, with *got set to the count read (0: nothing came).
  bool (*read)(Device* device, void* buffer, std::uint32_t count, std::uint32_t* got);
  // Writes the buffer, reporting the count written.
  bool (*write)(Device* device, const void* bytes, std::uint32_t count, std::uint32_t* written);
  // Closes the device; the handle it was found by names no port afterwards.
  bool (*close)(Device* device);
  // The system's error code of the last call that failed on this thread.
  std::uint32_t (*lastError)();
  // Whether a read or write that failed with this error code (lastError's)
  // failed because the device went away: the other side hung up, the
  // adapter was unplugged. A backend reports a hang-up that came without
  // an error code as 0.
  bool (*hungUp)(std::uint32_t error);
  // Milliseconds on a clock that never goes back nor jumps with the time of
  // day.
  std::uint64_t (*nowMs)();
  // The system's error code for a name too long for any device.
  std::uint32_t nameTooLong;
};

// The backend this build was made with.
const Platform& NativePlatform();

// The backend the serial layer uses: the native one unless a test put
// another in its place.
const Platform& ActivePlatform();

// Puts a backend in place of the native one; nullptr restores the native
// one. For tests: not to be called while any port is in use.
void UsePlatform(const Platform* platform);

}  // namespace zelqd::serial
