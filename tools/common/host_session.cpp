#include "host_session.h"

#include <algorithm>
#include <cstring>

#include "driver_facts.h"

namespace zeltools {

std::int32_t ReplyTimeoutUnits(std::int64_t milliseconds) {
  const std::int64_t unit = driver_facts::kTimeoutUnitMs;
  const std::int64_t units = (std::max<std::int64_t>(milliseconds, 0) + unit - 1) / unit;
  return static_cast<std::int32_t>(std::min<std::int64_t>(units, INT32_MAX));
}

ValueSlot ToSlot(std::uint32_t value) {
  return ValueSlot{static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)};
}

std::uint32_t FromSlot(const ValueSlot& slot) {
  return static_cast<std::uint32_t>(slot.high) << 16 | slot.low;
}

HostSession::HostSession(ZelMainFunction zelMain) : zelMain_(zelMain) {
  // GetDriverInfo needs no instance. The instance is as large as the driver
  // says, never smaller than the record of the header, and zeroed: no port
  // open.
  const DriverDescription description = Describe();
  const std::size_t size = std::max<std::size_t>(
      sizeof(DriverInstance), static_cast<std::size_t>(std::max(description.instanceSize, 0)));
  const std::size_t words = (size + 7) / 8;
  storage_ = std::make_unique<std::uint64_t[]>(words);
  std::memset(storage_.get(), 0, words * 8);
  instance_ = reinterpret_cast<DriverInstance*>(storage_.get());
}

HostSession::~HostSession() {
  if (open()) Close();
}

std::int32_t HostSession::Call(std::int32_t code, void* params) {
  DriverCall call{};
  call.instance = instance_;
  call.code = code;
  call.params = params;
  return zelMain_(&call);
}

bool HostSession::open() const { return instance_ != nullptr && instance_->port != 0; }

DriverDescription HostSession::Describe() {
  DriverInfo info{};
  DriverDescription d;
  d.result = Call(CodeGetDriverInfo, &info);
  if (d.result != ResultOk) return d;
  d.infoTag = info.infoTag;
  d.shortName = info.shortName != nullptr ? info.shortName : "";
  d.banner = info.banner != nullptr ? info.banner : "";
  d.instanceSize = info.instanceSize;
  d.infoFlagA = info.infoFlagA;
  d.infoFlagB = info.infoFlagB;
  return d;
}

std::int32_t HostSession::Open(const PortSettings& port) {
  OpenRequest request{};
  std::strncpy(request.name, port.name.c_str(), sizeof request.name - 1);
  request.active = 1;
  request.replyTimeout = ReplyTimeoutUnits(port.replyTimeoutMs);
  request.settings.baudRate = port.baudRate;
  request.settings.dataBits = port.dataBits;
  request.settings.stopBits = port.stopBits;
  request.settings.parity = port.parity;
  return Call(CodeOpenPort, &request);
}

std::int32_t HostSession::Reopen() { return Call(CodeReopenPort, nullptr); }

std::int32_t HostSession::Close() { return Call(CodeClosePort, nullptr); }

namespace {

ParsedAddress Address(const std::string& text, std::int32_t accessKind) {
  ParsedAddress a;
  a.text = text;
  a.block.accessKind = accessKind;
  return a;
}

}  // namespace

ParsedAddress HostSession::Parse(const std::string& text, std::int32_t accessKind) {
  ParsedAddress a = Address(text, accessKind);
  a.block.addressText = a.text.c_str();
  a.result = Call(CodeParseAddress, &a.block);
  a.block.addressText = nullptr;  // points into a.text, which moves with the result
  return a;
}

ParsedAddress HostSession::Check(const std::string& text, std::int32_t accessKind) {
  ParsedAddress a = Address(text, accessKind);
  a.block.addressText = a.text.c_str();
  a.result = Call(CodeCheckAddress, &a.block);
  a.block.addressText = nullptr;
  return a;
}

std::int32_t HostSession::Move(std::int32_t code, int variable, std::int32_t variableClass,
                               int count) {
  TransferRequest request{};
  request.variableNumber = variable;
  request.variableClass = variableClass;
  request.valueCount = count;
  request.values = slots_;
  return Call(code, &request);
}

std::int32_t HostSession::ReadBlock(int first, int count, std::uint32_t* values) {
  // The slots hold a block of the most values; a larger count is the
  // caller's mistake and never reaches the driver.
  if (count < 0 || count > ZELQD_MAX_BLOCK) return ResultFailed;
  const std::int32_t result = Move(CodeReadBlock, first, ZELQD_CLASS_NUMERIC, count);
  if (result == ResultOk) {
    for (int i = 0; i < count; ++i) values[i] = FromSlot(slots_[i]);
  }
  return result;
}

std::int32_t HostSession::ReadVar(int variable, std::uint32_t* value) {
  slots_[0] = ValueSlot{0, 0};
  const std::int32_t result = Move(CodeReadVar, variable, ZELQD_CLASS_NUMERIC, 1);
  if (result == ResultOk) *value = FromSlot(slots_[0]);
  return result;
}

std::int32_t HostSession::WriteVar(int variable, std::uint32_t value) {
  slots_[0] = ToSlot(value);
  return Move(CodeWriteVar, variable, ZELQD_CLASS_NUMERIC, 0);
}

std::int32_t HostSession::WriteStop(bool stop) {
  slots_[0] = ValueSlot{0, static_cast<std::uint16_t>(stop ? 1 : 0)};
  return Move(CodeWriteVar, 0, ZELQD_CLASS_STOP, 0);
}

std::int32_t HostSession::ReadStop(bool* stopped) {
  slots_[0] = ValueSlot{0, 0};
  const std::int32_t result = Move(CodeReadVar, 0, ZELQD_CLASS_STOP, 1);
  if (result == ResultOk) *stopped = (slots_[0].low & 1) != 0;
  return result;
}

}  // namespace zeltools
