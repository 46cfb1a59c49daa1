// One DriverInstance and the calls a tool makes on it, all through ZelMain,
// as a host application makes them. zelgw's lines, zelpoll and the
// benchmark each hold one; a session belongs to one thread at a time, as the
// driver requires of an instance.
//
// The session knows the driver's facts once: reply time-outs are given in
// milliseconds and passed in the driver's units (rounded up), value slots
// carry the high half first, and reads and writes use the access kind under
// which ParseAddress accepts "$STOP".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zelqd/zelqd.h"

namespace zeltools {

// The port, as the host hands it to OpenPort.
struct PortSettings {
  std::string name;  // at most 11 characters
  std::int64_t replyTimeoutMs = ZELQD_MIN_READ_TIMEOUT_MS;
  std::uint16_t baudRate = 9600;
  std::uint8_t dataBits = 8;
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

// The reply time-out in the driver's units of 10 ms, rounded up.
std::int32_t ReplyTimeoutUnits(std::int64_t milliseconds);

ValueSlot ToSlot(std::uint32_t value);
std::uint32_t FromSlot(const ValueSlot& slot);

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

// An address as ParseAddress or CheckAddress left it.
struct ParsedAddress {
  std::string text;
  std::int32_t result = ResultRefused;
  AddressRequest block{};

  bool isStop() const { return result == ResultOk && block.variableClass == ZELQD_CLASS_STOP; }
};

class HostSession {
 public:
  explicit HostSession(ZelMainFunction zelMain);
  ~HostSession();  // closes the port if open
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // The instance the calls use: the key of its outcome records.
  const DriverInstance* instance() const { return instance_; }

  DriverDescription Describe();
  std::int32_t Open(const PortSettings& port);
  std::int32_t Reopen();  // ReopenPort: the last port, its stored settings
  std::int32_t Close();
  bool open() const;

  // Under the transfer access kind unless another is given (zelpoll's
  // check shows what the kinds make of a text).
  ParsedAddress Parse(const std::string& text, std::int32_t accessKind = ZELQD_ACCESS_TRANSFER);
  ParsedAddress Check(const std::string& text, std::int32_t accessKind = ZELQD_ACCESS_TRANSFER);

  // ReadBlock of count values (0..106; the driver judges 0) from first into
  // values; ReadVar of one; WriteVar of one numeric variable.
  std::int32_t ReadBlock(int first, int count, std::uint32_t* values);
  std::int32_t ReadVar(int variable, std::uint32_t* value);
  std::int32_t WriteVar(int variable, std::uint32_t value);
  // WriteVar and ReadVar of $STOP: no traffic on the line while set.
  std::int32_t WriteStop(bool stop);
  std::int32_t ReadStop(bool* stopped);

 private:
  std::int32_t Call(std::int32_t code, void* params);
  std::int32_t Move(std::int32_t code, int variable, std::int32_t variableClass, int count);

  ZelMainFunction zelMain_;
  std::unique_ptr<std::uint64_t[]> storage_;  // the instance, 8-byte aligned, zeroed
  DriverInstance* instance_ = nullptr;
  ValueSlot slots_[ZELQD_MAX_BLOCK] = {};
};

}  // namespace zeltools
