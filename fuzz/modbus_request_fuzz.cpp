// The gateway's Modbus request handling: frames in, answers out. Behind the
// server is a gateway with one line whose driver is a stand-in in memory
// (every transfer succeeds at once, except writes of variables from 90000 on,
// which fail as five failed attempts would), and no socket: the input's
// bytes are fed as one client's, split where the input says.
//
// Input: the first byte chooses $STOP's access and the split; the rest are
// the bytes the client sends. Every answer must be a well-formed Modbus TCP
// frame of one of the requests: protocol 0, a length that fits, the
// request's unit and transaction id, its function code or an exception to
// it with one of the codes the gateway gives.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>

#include "config.h"
#include "core/gateway.h"
#include "core/log.h"
#include "modbus/modbus_server.h"
#include "zelqd/zelqd.h"

namespace {

using namespace std::chrono_literals;

std::mutex g_memory;
std::map<int, std::uint32_t> g_values;
std::uint16_t g_stopped = 0;

std::int32_t FakeZelMain(const DriverCall* call) {
  std::lock_guard lock(g_memory);
  DriverInstance* instance = call->instance;
  switch (call->code) {
    case CodeGetDriverInfo: {
      auto* info = static_cast<DriverInfo*>(call->params);
      info->instanceSize = static_cast<std::int32_t>(sizeof(DriverInstance));
      return ResultOk;
    }
    case CodeParseAddress: {
      auto* address = static_cast<AddressRequest*>(call->params);
      address->variableClass = ZELQD_CLASS_STOP;
      return ResultOk;
    }
    case CodeOpenPort:
      instance->port = 1;
      return ResultOk;
    case CodeClosePort:
      instance->port = 0;
      return ResultOk;
    case CodeReadVar:
    case CodeWriteVar:
    case CodeReadBlock: {
      auto* request = static_cast<TransferRequest*>(call->params);
      if (request->variableClass == ZELQD_CLASS_STOP) {
        if (call->code == CodeWriteVar) g_stopped = request->values[0].low & 1;
        request->values[0] = ValueSlot{0, g_stopped};
        return ResultOk;
      }
      if (g_stopped != 0) return ResultRefused;
      const int first = request->variableNumber;
      if (call->code == CodeWriteVar) {
        if (first >= 90000) return ResultFailed;
        g_values[first] =
            static_cast<std::uint32_t>(request->values[0].high) << 16 | request->values[0].low;
        return ResultOk;
      }
      const int count = call->code == CodeReadBlock ? request->valueCount : 1;
      if (count < 1 || count > ZELQD_MAX_BLOCK) return ResultFailed;
      for (int i = 0; i < count; ++i) {
        const auto it = g_values.find(first + i);
        const std::uint32_t v = it != g_values.end() ? it->second : 0x10000u * (first + i) + 7;
        request->values[i] =
            ValueSlot{static_cast<std::uint16_t>(v >> 16), static_cast<std::uint16_t>(v)};
      }
      return ResultOk;
    }
    default:
      return ResultOk;
  }
}

zelgw::Config MakeConfig(bool stopWritable) {
  zelgw::Config config;
  zelgw::PlantLine line;
  line.name = "L1";
  line.port = "fake";
  config.plant.lines.push_back(line);
  const auto tag = [&](const char* name, int variable, bool writable, int pollMs) {
    zelgw::PlantTag t;
    t.name = name;
    t.line = "L1";
    t.variable = variable;
    t.writable = writable;
    t.pollMs = pollMs;
    config.plant.tags.push_back(t);
  };
  tag("polled", 0, false, 50);
  tag("setpoint", 2, true, 0);
  tag("both", 3, true, 50);
  tag("failing", 90000, true, 0);
  zelgw::ModbusLine modbus;
  modbus.unitId = 1;
  modbus.stopWritable = stopWritable;
  // Two ranges with a gap between, the second reaching the failing variable.
  modbus.ranges = {{0, 0, 100}, {1000, 89990, 20}};
  config.modbus.push_back(modbus);
  return config;
}

struct Rig {
  explicit Rig(bool stopWritable)
      : config(MakeConfig(stopWritable)),
        gateway(config.plant, FakeZelMain),
        server(gateway, config.modbusListener, config.modbus) {
    gateway.Start();
  }
  ~Rig() { gateway.Stop(5s); }
  zelgw::Config config;
  zelgw::Gateway gateway;
  zelgw::ModbusServer server;
};

Rig& TheRig(bool stopWritable) {
  static Rig* rigs[2] = {nullptr, nullptr};
  Rig*& rig = rigs[stopWritable ? 1 : 0];
  if (rig == nullptr) rig = new Rig(stopWritable);  // lives as long as the process
  return *rig;
}

int Be16(const std::uint8_t* p) { return p[0] << 8 | p[1]; }

// The requests the client sent, as the server frames them: transaction id,
// unit and function of each whole frame, up to the first malformed header.
struct Sent {
  std::multiset<std::tuple<int, int, int>> requests;
};

Sent Frames(const std::uint8_t* data, std::size_t size) {
  Sent sent;
  std::size_t at = 0;
  while (size - at >= 7) {
    const int protocol = Be16(data + at + 2);
    const int length = Be16(data + at + 4);
    if (protocol != 0 || length < 2 || length > 254) break;
    const std::size_t total = 6 + static_cast<std::size_t>(length);
    if (size - at < total) break;
    sent.requests.insert({Be16(data + at), data[at + 6], data[at + 7]});
    at += total;
  }
  return sent;
}

void CheckAnswers(const std::string& out, Sent& sent) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(out.data());
  std::size_t at = 0;
  while (at < out.size()) {
    if (out.size() - at < 9) __builtin_trap();
    const int length = Be16(p + at + 4);
    if (Be16(p + at + 2) != 0 || length < 3 ||
        out.size() - at < 6 + static_cast<std::size_t>(length))
      __builtin_trap();
    const int id = Be16(p + at);
    const int unit = p[at + 6];
    const int function = p[at + 7];
    // An answer to a request that was sent, once.
    auto it = sent.requests.find({id, unit, function});
    if (it == sent.requests.end()) {
      if ((function & 0x80) == 0 || length != 3) __builtin_trap();
      const int code = p[at + 8];
      if (code != zelgw::kIllegalFunction && code != zelgw::kIllegalDataAddress &&
          code != zelgw::kIllegalDataValue && code != zelgw::kServerBusy &&
          code != zelgw::kGatewayPathUnavailable && code != zelgw::kGatewayTargetFailed)
        __builtin_trap();
      it = sent.requests.find({id, unit, function & 0x7F});
      if (it == sent.requests.end()) __builtin_trap();
    } else if (function >= 0x80 && length != 3) {
      __builtin_trap();
    }
    sent.requests.erase(it);
    at += 6 + static_cast<std::size_t>(length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zelgw::log::SetLevel(zelgw::log::Level::Error);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const bool stopWritable = (data[0] & 1) != 0;
  const std::size_t chunk = 1 + (data[0] >> 1);  // bytes the client sends at a time
  Rig& rig = TheRig(stopWritable);
  {
    std::lock_guard lock(g_memory);
    g_stopped = 0;
  }
  std::string out;
  const std::uint64_t client = rig.server.AddLocalClient(&out);
  const std::uint8_t* bytes = data + 1;
  const std::size_t length = size - 1;
  std::size_t at = 0;
  for (int rounds = 0; at < length && rounds < 10000; ++rounds) {
    const std::size_t taken = rig.server.Feed(client, bytes + at, std::min(chunk, length - at));
    at += taken;
    if (taken == 0 && !rig.server.Waiting(client)) break;  // dropped: a malformed frame
    for (int wait = 0; rig.server.Waiting(client) && wait < 200; ++wait)
      rig.server.AwaitAnswers(50ms);
    if (rig.server.Waiting(client)) __builtin_trap();  // the line never answered
  }
  rig.server.CloseLocalClient(client);
  Sent sent = Frames(bytes, length);
  CheckAnswers(out, sent);
  return 0;
}
