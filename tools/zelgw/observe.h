// What the HTTP endpoints show: /metrics in the Prometheus text format and
// /status as JSON, both from the gateway's core and the Modbus server's
// counters.
#pragma once

#include <chrono>
#include <string>

#include "config.h"
#include "core/gateway.h"
#include "core/health_json.h"
#include "modbus/modbus_server.h"

namespace zelgw {

struct ServiceInfo {
  std::string name;
  std::string version;
  std::chrono::system_clock::time_point started{};
  int modbusPort = 0;
  int httpPort = 0;
};

std::string RenderMetrics(const Gateway& gateway, const Config& config,
                          const ModbusCounters& modbus, const ServiceInfo& info);
std::string RenderStatus(const Gateway& gateway, const Config& config, const ModbusCounters& modbus,
                         const ServiceInfo& info);

// Names of the Modbus functions for labels ("read_holding_registers").
std::string FunctionName(int code);

}  // namespace zelgw
