#include "host.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace zelpoll {

ValueSlot ToSlot(std::uint32_t value) {
  return ValueSlot{static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)};
}

std::uint32_t FromSlot(const ValueSlot& slot) {
  return static_cast<std::uint32_t>(slot.high) << 16 | slot.low;
}

Host::Host(ZelMainFunction zelMain) : zelMain_(zelMain) {
  // The instance is as large as the driver says, never smaller than the
  // record the header describes, and zeroed: no port open.
  const DriverDescription description = Describe();
  const std::size_t size = std::max<std::size_t>(
      sizeof(DriverInstance), static_cast<std::size_t>(std::max(description.instanceSize, 0)));
  const std::size_t words = (size + 7) / 8;
  storage_ = std::make_unique<std::uint64_t[]>(words);
  std::memset(storage_.get(), 0, words * 8);
  instance_ = reinterpret_cast<DriverInstance*>(storage_.get());
}

Host::~Host() {
  if (instance_->port != 0) Close();
}

std::int32_t Host::Call(std::int32_t code, void* params) {
  DriverCall call{};
  call.instance = instance_;
  call.code = code;
  call.params = params;
  return zelMain_(&call);
}

DriverDescription Host::Describe() {
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

std::int32_t Host::Open(const PortSettings& port) {
  OpenRequest open{};
  std::strncpy(open.name, port.name.c_str(), sizeof open.name - 1);
  open.active = 1;
  open.replyTimeout = port.replyTimeout;
  open.settings.baudRate = port.baudRate;
  open.settings.dataBits = port.dataBits;
  open.settings.stopBits = port.stopBits;
  open.settings.parity = port.parity;
  return Call(CodeOpenPort, &open);
}

std::int32_t Host::Reopen() { return Call(CodeReopenPort, nullptr); }

std::int32_t Host::Close() { return Call(CodeClosePort, nullptr); }

ParsedAddress Host::Parse(const std::string& text, std::int32_t accessKind) {
  ParsedAddress a;
  a.text = text;
  a.block.addressText = a.text.c_str();
  a.block.accessKind = accessKind;
  a.result = Call(CodeParseAddress, &a.block);
  a.block.addressText = nullptr;  // points into a.text, which moves with the result
  return a;
}

ParsedAddress Host::Check(const std::string& text, std::int32_t accessKind) {
  ParsedAddress a;
  a.text = text;
  a.block.addressText = a.text.c_str();
  a.block.accessKind = accessKind;
  a.result = Call(CodeCheckAddress, &a.block);
  a.block.addressText = nullptr;
  return a;
}

Transfer Host::Move(std::int32_t code, const ParsedAddress& address, std::int32_t count,
                    std::vector<ValueSlot>& slots) {
  TransferRequest request{};
  request.variableNumber = address.block.variableNumber;
  request.variableClass = address.block.variableClass;
  request.valueCount = count;
  request.values = slots.data();
  Transfer t;
  const auto start = std::chrono::steady_clock::now();
  t.result = Call(code, &request);
  t.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return t;
}

Transfer Host::ReadVar(const ParsedAddress& address) {
  std::vector<ValueSlot> slots(1);
  Transfer t = Move(CodeReadVar, address, 1, slots);
  if (t.result == ResultOk) t.values.push_back(FromSlot(slots[0]));
  return t;
}

Transfer Host::ReadBlock(const ParsedAddress& address, std::int32_t count) {
  std::vector<ValueSlot> slots(static_cast<std::size_t>(std::max(count, 1)));
  Transfer t = Move(CodeReadBlock, address, count, slots);
  if (t.result == ResultOk) {
    for (std::int32_t i = 0; i < count; ++i)
      t.values.push_back(FromSlot(slots[static_cast<std::size_t>(i)]));
  }
  return t;
}

Transfer Host::WriteVar(const ParsedAddress& address, std::uint32_t value) {
  std::vector<ValueSlot> slots{ToSlot(value)};
  return Move(CodeWriteVar, address, 1, slots);
}

bool Host::TrafficStopped() {
  const ParsedAddress stop = Parse("$STOP", kAccessKindTransfer);
  if (stop.result != ResultOk) return false;
  std::vector<ValueSlot> slots(1);
  return Move(CodeReadVar, stop, 1, slots).result == ResultOk && (slots[0].low & 1) != 0;
}

}  // namespace zelpoll
