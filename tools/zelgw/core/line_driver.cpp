#include "core/line_driver.h"

#include <algorithm>
#include <cstring>

namespace zelgw {

LineDriver::LineDriver(ZelMainFunction zelMain) : zelMain_(zelMain) {
  // The instance is as large as the driver says, never smaller than the
  // record of the header, and zeroed: no port open.
  DriverInfo info{};
  DriverCall call{};
  call.code = CodeGetDriverInfo;
  call.params = &info;
  const std::int32_t size =
      zelMain_(&call) == ResultOk ? std::max<std::int32_t>(info.instanceSize, 0) : 0;
  const std::size_t words = (std::max<std::size_t>(sizeof(DriverInstance), size) + 7) / 8;
  storage_ = std::make_unique<std::uint64_t[]>(words);
  std::memset(storage_.get(), 0, words * 8);
  instance_ = reinterpret_cast<DriverInstance*>(storage_.get());

  // The class of $STOP, as ParseAddress gives it under the transfer access kind.
  AddressRequest address{};
  address.addressText = "$STOP";
  address.accessKind = ZELQD_ACCESS_TRANSFER;
  if (Call(CodeParseAddress, &address) == ResultOk) stopClass_ = address.variableClass;
}

LineDriver::~LineDriver() {
  if (open()) Close();
}

std::int32_t LineDriver::Call(std::int32_t code, void* params) {
  DriverCall call{};
  call.instance = instance_;
  call.code = code;
  call.params = params;
  return zelMain_(&call);
}

bool LineDriver::open() const { return instance_->port != 0; }

std::int32_t LineDriver::Open(const zeltools::PlantLine& line) {
  OpenRequest request{};
  std::strncpy(request.name, line.port.c_str(), sizeof request.name - 1);
  request.active = 1;
  request.replyTimeout = (line.replyTimeoutMs + 9) / 10;
  request.settings.baudRate = static_cast<std::uint16_t>(line.baud);
  request.settings.dataBits = static_cast<std::uint8_t>(line.dataBits);
  request.settings.stopBits = static_cast<std::uint8_t>(line.stopBits);
  request.settings.parity = static_cast<std::uint8_t>(line.parity);
  return Call(CodeOpenPort, &request);
}

std::int32_t LineDriver::Close() { return Call(CodeClosePort, nullptr); }

std::int32_t LineDriver::ReadBlock(int first, int count, std::uint32_t* values) {
  if (count < 1 || count > ZELQD_MAX_BLOCK) return ResultFailed;
  TransferRequest request{};
  request.variableNumber = first;
  request.variableClass = ZELQD_CLASS_NUMERIC;
  request.valueCount = count;
  request.values = slots_;
  const std::int32_t result = Call(CodeReadBlock, &request);
  if (result == ResultOk) {
    for (int i = 0; i < count; ++i)
      values[i] = static_cast<std::uint32_t>(slots_[i].high) << 16 | slots_[i].low;
  }
  return result;
}

std::int32_t LineDriver::Write(int variable, std::uint32_t value) {
  TransferRequest request{};
  request.variableNumber = variable;
  request.variableClass = ZELQD_CLASS_NUMERIC;
  slots_[0] = ValueSlot{static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)};
  request.values = slots_;
  return Call(CodeWriteVar, &request);
}

std::int32_t LineDriver::WriteStop(bool stop) {
  TransferRequest request{};
  request.variableClass = stopClass_;
  slots_[0] = ValueSlot{0, static_cast<std::uint16_t>(stop ? 1 : 0)};
  request.values = slots_;
  return Call(CodeWriteVar, &request);
}

std::int32_t LineDriver::ReadStop(bool* stopped) {
  TransferRequest request{};
  request.variableClass = stopClass_;
  slots_[0] = ValueSlot{0, 0};
  request.values = slots_;
  const std::int32_t result = Call(CodeReadVar, &request);
  if (result == ResultOk) *stopped = (slots_[0].low & 1) != 0;
  return result;
}

}  // namespace zelgw
