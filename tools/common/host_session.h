// The tools as the driver's host: one DriverInstance, every call through
// ZelMain, as a host application makes it. The driver's facts a host needs
// (time-outs in units of 10 ms, the 1200 ms floor, five attempts, the access
// kind of transfers, value slots high half first) are applied here and
// nowhere else among the tools. A session belongs to one thread at a time,
// as the driver requires of an instance.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zelqd/zelqd.h"

namespace zeltools {

// What GetDriverInfo reports.
struct DriverDescription {
  std::int32_t result = ResultFailed;
  std::int32_t infoTag = 0;
  std::string shortName;
  std::string banner;  // code page 437, as the driver holds it
  std::int32_t instanceSize = 0;
  std::int32_t infoFlagA = 0;
  std::int32_t infoFlagB = 0;
};

// The port, as the host hands it to OpenPort.
struct PortSettings {
  std::string name;  // at most 11 characters
  std::int64_t replyTimeoutMs = 1200;
  std::uint16_t baudRate = 9600;
  std::uint8_t dataBits = 8;
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint16_t controlFlags = 0;
};

// The reply time-out in units of the driver (10 ms, rounded up), and the
// read time-out in force for it (never below 1200 ms).
std::int32_t ReplyTimeoutUnits(std::int64_t milliseconds);
std::int64_t ReadTimeoutInForceMs(std::int64_t replyTimeoutMs);

// Value slots carry the high half of a value first.
ValueSlot ToSlot(std::uint32_t value);
std::uint32_t FromSlot(const ValueSlot& slot);

// An address as ParseAddress or CheckAddress left it.
struct ParsedAddress {
  std::string text;
  std::int32_t result = ResultRefused;
  AddressRequest block{};
  bool isStop() const;
};

class HostSession {
 public:
  explicit HostSession(ZelMainFunction zelMain);
  ~HostSession();  // closes the port when open
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  DriverDescription Describe();
  // OpenPort; ReopenPort (the port of the last open); ClosePort.
  std::int32_t Open(const PortSettings& port);
  std::int32_t Reopen();
  std::int32_t Close();
  bool open() const;

  ParsedAddress Parse(const std::string& text, std::int32_t accessKind = ZELQD_ACCESS_TRANSFER);
  ParsedAddress Check(const std::string& text, std::int32_t accessKind = ZELQD_ACCESS_TRANSFER);

  // ReadVar, ReadBlock (count 1..106 values from first on) and WriteVar of
  // numeric variables. No allocation.
  std::int32_t ReadVar(std::int32_t variable, std::uint32_t* value);
  std::int32_t ReadBlock(std::int32_t first, std::int32_t count, std::uint32_t* values);
  std::int32_t WriteVar(std::int32_t variable, std::uint32_t value);
  // WriteVar and ReadVar of $STOP: no traffic on the line while set.
  std::int32_t WriteStop(bool stop);
  std::int32_t ReadStop(bool* stopped);

  // The instance every call passes: what the driver's outcome records name.
  const DriverInstance* instance() const { return instance_; }

 private:
  std::int32_t Call(std::int32_t code, void* params);

  ZelMainFunction zelMain_;
  std::unique_ptr<std::uint64_t[]> storage_;  // the instance, 8-byte aligned, zeroed
  DriverInstance* instance_ = nullptr;
  std::int32_t stopClass_ = ZELQD_CLASS_STOP;
  ValueSlot slots_[ZELQD_MAX_BLOCK] = {};
};

}  // namespace zeltools
