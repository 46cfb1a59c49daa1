// zelpoll as the driver's host: it keeps one DriverInstance and makes every
// call through ZelMain, as a host application does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelqd/zelqd.h"

namespace zelpoll {

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
  std::string name;                 // at most 11 characters
  std::int32_t replyTimeout = 120;  // units of 10 ms
  std::uint16_t baudRate = 9600;
  std::uint8_t dataBits = 8;
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

// An address as ParseAddress or CheckAddress left it.
struct ParsedAddress {
  std::string text;
  std::int32_t result = ResultRefused;
  AddressRequest block{};

  bool isStop() const { return result == ResultOk && block.variableClass == ZELQD_CLASS_STOP; }
};

// A transfer's result and how long the call took.
struct Transfer {
  std::int32_t result = ResultFailed;
  double milliseconds = 0;
  std::vector<std::uint32_t> values;  // read: the values, when result is ResultOk
};

class Host {
 public:
  explicit Host(ZelMainFunction zelMain);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  DriverDescription Describe();
  std::int32_t Open(const PortSettings& port);
  // ReopenPort: the port of the last open, under its stored settings.
  std::int32_t Reopen();
  std::int32_t Close();

  // accessKind 6 is the kind under which ParseAddress accepts "$STOP".
  ParsedAddress Parse(const std::string& text, std::int32_t accessKind);
  ParsedAddress Check(const std::string& text, std::int32_t accessKind);

  Transfer ReadVar(const ParsedAddress& address);
  Transfer ReadBlock(const ParsedAddress& address, std::int32_t count);
  Transfer WriteVar(const ParsedAddress& address, std::uint32_t value);

  // The STOP flag as the driver reports it (no traffic on the line).
  bool TrafficStopped();

 private:
  std::int32_t Call(std::int32_t code, void* params);
  Transfer Move(std::int32_t code, const ParsedAddress& address, std::int32_t count,
                std::vector<ValueSlot>& slots);

  ZelMainFunction zelMain_;
  std::unique_ptr<std::uint64_t[]> storage_;  // the instance, 8-byte aligned
  DriverInstance* instance_ = nullptr;
};

// The accessKind the tool passes for reads and writes.
inline constexpr std::int32_t kAccessKindTransfer = ZELQD_ACCESS_TRANSFER;

// Value slots carry the high half of a value first.
ValueSlot ToSlot(std::uint32_t value);
std::uint32_t FromSlot(const ValueSlot& slot);

}  // namespace zelpoll
