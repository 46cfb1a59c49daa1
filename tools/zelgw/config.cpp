#include "config.h"

#include "mqtt_config.h"
#include "tag_file.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

namespace zelgw {
namespace {

using zeltools::TableReader;

// Lines without a unit_id take their place in the file, from 1 up to this.
constexpr std::size_t kDefaultUnitIds = 247;

// The register ranges of a line: within 0..65535, within the variables
// 0..99999, and no register in two ranges.
void ReadRanges(TableReader& r, ModbusLine& line, std::vector<ConfigError>& errors) {
  const toml::array* list = r.Array("registers");
  if (list == nullptr) {
    line.ranges = {{0, 0, 32768}};
    return;
  }
  if (list->empty()) r.Error("registers", "must hold at least one range");
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string key = "registers[" + std::to_string(i + 1) + "]";
    const toml::node& node = (*list)[i];
    if (!node.is_table()) {
      r.ErrorAt(node, key, "must be a table { register = R, variable = V, count = N }");
      continue;
    }
    TableReader t(*node.as_table(), r.Path(key), r.file(), errors);
    const auto reg = t.Integer("register", 0, 65534, true);
    const auto variable = t.Integer("variable", 0, 99999, true);
    const auto count = t.Integer("count", 1, 32768, true);
    t.Finish();
    if (!reg || !variable || !count) continue;
    if (*reg + 2 * *count > 65536) {
      t.Error("count", std::to_string(*count) + " variables from register " + std::to_string(*reg) +
                           " run past register 65535");
      continue;
    }
    if (*variable + *count - 1 > 99999) {
      t.Error("count", std::to_string(*count) + " variables from variable " +
                           std::to_string(*variable) + " run past variable 99999");
      continue;
    }
    const RegisterRange range{static_cast<int>(*reg), static_cast<int>(*variable),
                              static_cast<int>(*count)};
    for (const RegisterRange& other : line.ranges) {
      const int end = range.firstRegister + 2 * range.count;
      const int otherEnd = other.firstRegister + 2 * other.count;
      if (range.firstRegister < otherEnd && other.firstRegister < end) {
        t.Error("register", "registers " + std::to_string(range.firstRegister) + ".." +
                                std::to_string(end - 1) + " overlap registers " +
                                std::to_string(other.firstRegister) + ".." +
                                std::to_string(otherEnd - 1) + " of another range");
      }
    }
    line.ranges.push_back(range);
  }
  std::sort(line.ranges.begin(), line.ranges.end(),
            [](const RegisterRange& a, const RegisterRange& b) {
              return a.firstRegister < b.firstRegister;
            });
}

ModbusLine ReadModbusLine(const toml::table& lineTable, const std::string& path,
                          const std::string& file, int place, std::vector<ConfigError>& errors) {
  ModbusLine line;
  line.unitId = std::min(place, static_cast<int>(kDefaultUnitIds));
  TableReader outer(lineTable, path, file, errors);
  const toml::table* table = outer.Table("modbus");
  if (table == nullptr) {
    line.ranges = {{0, 0, 32768}};
    return line;
  }
  TableReader r(*table, path + ".modbus", file, errors);
  if (auto v = r.Integer("unit_id", 0, 255)) line.unitId = static_cast<int>(*v);
  if (auto v = r.Choice("word_order", {{"high-first", 0}, {"low-first", 1}}))
    line.wordOrder = *v == 0 ? WordOrder::HighFirst : WordOrder::LowFirst;
  if (auto v = r.Boolean("untagged_writes")) line.untaggedWrites = *v;
  if (auto v = r.Boolean("stop_writable")) line.stopWritable = *v;
  if (auto v = r.Boolean("allow_half_reads")) line.allowHalfReads = *v;
  ReadRanges(r, line, errors);
  r.Finish();
  return line;
}

}  // namespace

Config LoadConfig(const std::string& path, std::vector<ConfigError>& errors) {
  Config config;
  config.file = path;
  const auto document = zeltools::ParseTomlFile(path, errors);
  if (!document) return config;

  zeltools::PlantReadOptions options;
  options.topLevelKeys = {"gateway", "modbus", "http", "mqtt"};
  options.lineSections = {"modbus"};
  options.onTag = [&](TableReader& table, const PlantTag& tag) {
    ReadMqttTag(table, tag, config.mqtt.tags, errors);
  };
  config.plant = zeltools::ReadPlant(*document, path, options, errors);

  TableReader top(*document, "", path, errors);
  if (const toml::table* gateway = top.Table("gateway")) {
    TableReader r(*gateway, "gateway", path, errors);
    if (auto v = r.String("name")) config.name = *v;
    r.Finish();
  }
  if (const toml::table* modbus = top.Table("modbus")) {
    TableReader r(*modbus, "modbus", path, errors);
    if (auto v = r.String("listen")) config.modbusListener.address = *v;
    if (auto v = r.Integer("port", 0, 65535)) config.modbusListener.port = static_cast<int>(*v);
    if (auto v = r.Integer("max_clients", 1, 10000))
      config.modbusListener.maxClients = static_cast<int>(*v);
    if (auto v = r.Integer("idle_timeout_s", 1, 86400))
      config.modbusListener.idleTimeoutSeconds = static_cast<int>(*v);
    if (auto v = r.Integer("max_connections_per_client", 1, 10000))
      config.modbusListener.maxConnectionsPerClient = static_cast<int>(*v);
    if (const toml::array* allow = r.Array("allow")) {
      for (std::size_t i = 0; i < allow->size(); ++i) {
        const toml::node& node = (*allow)[i];
        const auto text = node.value<std::string>();
        auto network = text ? ParseClientNetwork(*text) : std::nullopt;
        if (!network) {
          r.ErrorAt(node, "allow[" + std::to_string(i + 1) + "]",
                    "must be an address or a network, as \"10.1.0.0/16\" or \"2001:db8::/32\"");
          continue;
        }
        config.modbusListener.allow.push_back(std::move(*network));
      }
    }
    r.Finish();
  }
  if (const toml::table* http = top.Table("http")) {
    TableReader r(*http, "http", path, errors);
    if (auto v = r.Boolean("enabled")) config.http.enabled = *v;
    if (auto v = r.String("listen")) config.http.address = *v;
    if (auto v = r.Integer("port", 0, 65535)) config.http.port = static_cast<int>(*v);
    r.Finish();
  }
  {
    auto tags = std::move(config.mqtt.tags);
    config.mqtt = ReadMqtt(top, config.name, errors);
    config.mqtt.tags = std::move(tags);
    CheckMqtt(config.mqtt, config.plant, errors);
  }

  // The Modbus part of each line, in the order of the lines.
  std::vector<bool> unitGiven;  // unit_id set in the file, by line
  if (const toml::array* lines = (*document)["line"].as_array()) {
    int place = 0;
    for (std::size_t i = 0; i < lines->size(); ++i) {
      if (const toml::table* t = (*lines)[i].as_table()) {
        config.modbus.push_back(
            ReadModbusLine(*t, "line[" + std::to_string(i + 1) + "]", path, ++place, errors));
        unitGiven.push_back((*t)["modbus"]["unit_id"].node() != nullptr);
      }
    }
  }
  if (config.plant.lines.empty()) {
    errors.push_back({path, 0, 0, "line", "no [[line]]: the gateway needs at least one line"});
  }
  std::set<int> units;
  for (std::size_t i = 0; i < config.modbus.size() && i < config.plant.lines.size(); ++i) {
    if (i >= kDefaultUnitIds && !unitGiven[i]) {
      errors.push_back({path, config.plant.lines[i].sourceLine, 1,
                        "line[" + std::to_string(i + 1) + "].modbus",
                        "the default unit ids (1 to 247, by the line's place in the file) ran out: "
                        "give this line its unit_id in [line.modbus]"});
      continue;
    }
    if (!units.insert(config.modbus[i].unitId).second) {
      errors.push_back(
          {path, config.plant.lines[i].sourceLine, 1,
           "line[" + std::to_string(i + 1) + "].modbus.unit_id",
           "unit id " + std::to_string(config.modbus[i].unitId) + " selects another line already"});
    }
  }
  // A tag's variable must be reachable through the line's registers.
  for (const PlantTag& tag : config.plant.tags) {
    for (std::size_t i = 0; i < config.plant.lines.size() && i < config.modbus.size(); ++i) {
      if (config.plant.lines[i].name != tag.line) continue;
      const auto& ranges = config.modbus[i].ranges;
      const bool mapped = std::any_of(ranges.begin(), ranges.end(), [&](const RegisterRange& r) {
        return tag.variable >= r.firstVariable && tag.variable < r.firstVariable + r.count;
      });
      if (!mapped) {
        errors.push_back({tag.file, tag.sourceLine, 1, "tag.variable",
                          "tag \"" + tag.name + "\": variable " + std::to_string(tag.variable) +
                              " lies in no register range of line \"" + tag.line + "\""});
      }
    }
  }
  return config;
}

std::string RestartOnlyChanges(const Config& running, const Config& loaded) {
  std::string out;
  const auto note = [&out](const std::string& what) {
    if (!out.empty()) out += ", ";
    out += what;
  };
  const auto lineKey = [](const PlantLine& l) {
    return std::tie(l.name, l.port, l.baud, l.dataBits, l.parity, l.stopBits, l.replyTimeoutMs,
                    l.maxGap, l.turnaroundMs, l.reopenAfter, l.reopenPauseMaxSeconds);
  };
  const auto& a = running.plant.lines;
  const auto& b = loaded.plant.lines;
  if (a.size() != b.size() ||
      !std::equal(a.begin(), a.end(), b.begin(),
                  [&](const PlantLine& x, const PlantLine& y) { return lineKey(x) == lineKey(y); }))
    note("[[line]]");
  const auto modbusKey = [](const ModbusLine& m) {
    std::vector<std::tuple<int, int, int>> ranges;
    for (const auto& r : m.ranges) ranges.emplace_back(r.firstRegister, r.firstVariable, r.count);
    return std::make_tuple(m.unitId, m.wordOrder, m.untaggedWrites, m.stopWritable,
                           m.allowHalfReads, ranges);
  };
  if (running.modbus.size() != loaded.modbus.size() ||
      !std::equal(
          running.modbus.begin(), running.modbus.end(), loaded.modbus.begin(),
          [&](const ModbusLine& x, const ModbusLine& y) { return modbusKey(x) == modbusKey(y); }))
    note("[line.modbus]");
  const auto& ml = running.modbusListener;
  const auto& nl = loaded.modbusListener;
  const auto allowText = [](const ModbusListener& l) {
    std::vector<std::string> texts;
    for (const ClientNetwork& n : l.allow) texts.push_back(n.text);
    return texts;
  };
  if (std::tie(ml.address, ml.port, ml.maxClients, ml.idleTimeoutSeconds,
               ml.maxConnectionsPerClient) != std::tie(nl.address, nl.port, nl.maxClients,
                                                       nl.idleTimeoutSeconds,
                                                       nl.maxConnectionsPerClient) ||
      allowText(ml) != allowText(nl))
    note("[modbus]");
  if (std::tie(running.http.enabled, running.http.address, running.http.port) !=
      std::tie(loaded.http.enabled, loaded.http.address, loaded.http.port))
    note("[http]");
  if (running.name != loaded.name) note("[gateway]");
  if (MqttConnectionChanged(running.mqtt, loaded.mqtt)) note("[mqtt]");
  return out;
}

}  // namespace zelgw
