// zelgw's configuration: one TOML file with the lines and tags (read by the
// shared tag-file reader, tag_file.h) and the gateway's own keys:
//
//   [gateway]
//   name = "plant-gw"              # shown on the status page
//
//   [modbus]
//   listen = "0.0.0.0"             # address of the Modbus TCP listener
//   port = 502                     # 0: any free port (logged at start)
//   max_clients = 32               # connections beyond it are closed at once
//   idle_timeout_s = 60            # a client silent this long is dropped
//   max_connections_per_client = 8 # from one address; beyond it its longest idle one goes
//   allow = ["10.1.0.0/16", "::1"] # client networks (CIDR) or addresses; default: anyone
//
//   [http]
//   listen = "127.0.0.1"           # /, /status and /metrics
//   port = 8080
//   enabled = true
//
//   [[line]]                       # see tag_file.h for the line's own keys
//   ...
//   [line.modbus]
//   unit_id = 1                    # default: the line's place in the file, from 1
//   word_order = "high-first"      # or "low-first": which half of a value the first register holds
//   untagged_writes = false        # may variables without a tag be written?
//   stop_writable = false          # may Modbus clients write $STOP (coil 0)?
//   allow_half_reads = false       # may a read cover one register of a variable?
//   registers = [{ register = 0, variable = 0, count = 32768 }]   # the default map
//
// Every error names the file, the line and the key; the service starts only
// from a file without errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_settings.h"
#include "modbus/modbus_settings.h"
#include "mqtt/mqtt_settings.h"
#include "plant.h"

namespace zelgw {

using zeltools::ConfigError;
using zeltools::PlantFile;
using zeltools::PlantLine;
using zeltools::PlantTag;

struct Config {
  std::string file;
  std::string name = "zelgw";
  PlantFile plant;
  std::vector<ModbusLine> modbus;  // one for each of plant.lines, in the same order
  ModbusListener modbusListener;
  HttpListener http;
  MqttSettings mqtt;  // [mqtt] and [tag.mqtt]: see mqtt_config.h
};

// Reads and checks the file; the result is usable only when errors stays
// empty.
Config LoadConfig(const std::string& path, std::vector<ConfigError>& errors);

// The keys that a reload cannot apply to a running service (lines, their
// Modbus settings, listeners), as one text for the log; empty when the two
// agree on them.
std::string RestartOnlyChanges(const Config& running, const Config& loaded);

}  // namespace zelgw
