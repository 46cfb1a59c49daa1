#include "mqtt_config.h"

#include <filesystem>
#include <tuple>

namespace zelgw {
namespace {

using zeltools::ConfigError;
using zeltools::TableReader;

// A path of the file relative to the folder of the file that names it.
std::string Resolve(const std::string& file, const std::string& name) {
  namespace fs = std::filesystem;
  if (fs::path(name).is_absolute()) return name;
  return (fs::path(file).parent_path() / name).lexically_normal().string();
}

// The most a password or TLS file may hold.
constexpr std::size_t kMaxSecretFileBytes = std::size_t{64} * 1024;
constexpr std::size_t kMaxTlsFileBytes = std::size_t{1024} * 1024;

// A path key: resolved, and read whole (a regular file of bounded size).
std::optional<std::string> ReadPathKey(TableReader& r, std::string_view key, std::size_t maxBytes,
                                       std::string& text) {
  auto name = r.String(key);
  if (!name) return std::nullopt;
  const std::string path = Resolve(r.file(), *name);
  if (auto why = zeltools::ReadRegularFile(path, maxBytes, text)) {
    r.Error(key, "\"" + path + "\" cannot be read: " + *why);
    return std::nullopt;
  }
  return path;
}

// A TLS file: read whole, and holding what libmosquitto will load from it
// (PEM: a certificate, or a private key).
std::optional<std::string> TlsFile(TableReader& r, std::string_view key, bool privateKey) {
  std::string text;
  auto path = ReadPathKey(r, key, kMaxTlsFileBytes, text);
  if (!path) return std::nullopt;
  const bool found = privateKey ? text.find("PRIVATE KEY-----") != std::string::npos &&
                                      text.find("-----BEGIN ") != std::string::npos
                                : text.find("-----BEGIN CERTIFICATE-----") != std::string::npos;
  if (!found) {
    r.Error(key, "\"" + *path + "\" holds no " + (privateKey ? "private key" : "certificate") +
                     " in PEM form");
    return std::nullopt;
  }
  return path;
}

// Text that may stand in a topic as one level: no "/", "+", "#" or NUL.
bool TopicLevel(std::string_view text) {
  return !text.empty() && text.find_first_of(std::string_view("/+#\0", 4)) == std::string::npos;
}

// The prefix: one or more levels, none empty, not beginning with "$".
bool TopicPrefix(std::string_view text) {
  if (text.empty() || text.front() == '$' || text.front() == '/' || text.back() == '/' ||
      text.find("//") != std::string_view::npos)
    return false;
  return text.find_first_of(std::string_view("+#\0", 3)) == std::string::npos;
}

void ReadTls(TableReader& mqtt, MqttSettings& out, std::vector<ConfigError>& errors) {
  const toml::table* table = mqtt.Table("tls");
  if (table == nullptr) return;
  TableReader r(*table, mqtt.Path("tls"), mqtt.file(), errors);
  out.tls.enabled = true;
  if (auto v = TlsFile(r, "ca_file", false)) out.tls.caFile = *v;
  if (!r.table().contains("ca_file"))
    r.Error("ca_file", "missing: the broker's certificate authority");
  if (auto v = TlsFile(r, "cert_file", false)) out.tls.certFile = *v;
  if (auto v = TlsFile(r, "key_file", true)) out.tls.keyFile = *v;
  if (r.table().contains("cert_file") != r.table().contains("key_file"))
    r.Error(r.table().contains("cert_file") ? "cert_file" : "key_file",
            "cert_file and key_file go together");
  if (auto v = r.Boolean("verify_hostname")) out.tls.verifyHostname = *v;
  r.Finish();
}

void ReadPassword(TableReader& r, MqttSettings& out) {
  if (auto v = r.String("username")) {
    if (v->empty()) r.Error("username", "must not be empty");
    out.username = *v;
  }
  const bool given = r.table().contains("password");
  const bool file = r.table().contains("password_file");
  if (auto v = r.String("password")) out.password = *v;
  std::string text;
  if (auto path = ReadPathKey(r, "password_file", kMaxSecretFileBytes, text)) {
    std::string first = text.substr(0, text.find('\n'));
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (first.empty()) {
      r.Error("password_file", "\"" + *path + "\" holds no password on its first line");
    }
    out.password = first;
    out.passwordFile = *path;
  }
  if (given && file) r.Error("password_file", "give password or password_file, not both");
  if ((given || file) && !r.table().contains("username"))
    r.Error(given ? "password" : "password_file", "a password needs a username");
}

}  // namespace

MqttSettings ReadMqtt(TableReader& top, const std::string& gatewayName,
                      std::vector<ConfigError>& errors) {
  MqttSettings out;
  const toml::table* table = top.Table("mqtt");
  if (table == nullptr) return out;
  TableReader r(*table, "mqtt", top.file(), errors);
  out.enabled = true;
  if (auto v = r.Boolean("enabled")) out.enabled = *v;
  if (auto v = r.String("host", true)) {
    if (v->empty()) r.Error("host", "must not be empty");
    out.host = *v;
  }
  ReadTls(r, out, errors);
  if (out.tls.enabled) out.port = 8883;
  if (auto v = r.Integer("port", 1, 65535)) out.port = static_cast<int>(*v);
  out.clientId = gatewayName;
  if (auto v = r.String("client_id")) {
    if (v->empty() || v->size() > 65535) r.Error("client_id", "must hold 1 to 65535 characters");
    out.clientId = *v;
  }
  if (auto v = r.String("prefix")) {
    if (!TopicPrefix(*v))
      r.Error("prefix", "\"" + *v +
                            "\": one or more topic levels, none empty, without \"+\" or \"#\", "
                            "not beginning with \"$\"");
    out.prefix = *v;
  }
  if (auto v = r.Integer("keepalive_s", 5, 65535)) out.keepaliveSeconds = static_cast<int>(*v);
  if (auto v = r.Integer("qos", 0, 2)) out.defaults.qos = static_cast<int>(*v);
  if (auto v = r.Number("deadband")) {
    if (*v < 0) r.Error("deadband", "must not be negative");
    out.defaults.deadband = *v;
  }
  if (auto v = r.Integer("publish_interval_s", 0, 86400))
    out.defaults.publishIntervalSeconds = static_cast<int>(*v);
  if (auto v = r.Integer("health_interval_s", 1, 3600))
    out.healthIntervalSeconds = static_cast<int>(*v);
  if (auto v = r.Integer("reconnect_pause_max_s", 1, 3600))
    out.reconnectPauseMaxSeconds = static_cast<int>(*v);
  ReadPassword(r, out);
  if (auto v = r.Boolean("discovery")) out.discovery = *v;
  if (auto v = r.String("discovery_prefix")) {
    if (!TopicPrefix(*v))
      r.Error("discovery_prefix", "\"" + *v + "\": topic levels without \"+\" or \"#\"");
    out.discoveryPrefix = *v;
  }
  r.Finish();
  if (out.enabled && !TopicLevel(gatewayName)) {
    const toml::node* name = top.table()["gateway"]["name"].node();
    const auto& at = name != nullptr ? name->source().begin : table->source().begin;
    errors.push_back(
        {top.file(), static_cast<int>(at.line), static_cast<int>(at.column), "gateway.name",
         "\"" + gatewayName + "\" goes into the MQTT status topic: use no \"/\", \"+\" or \"#\""});
  }
  return out;
}

void ReadMqttTag(TableReader& tag, const zeltools::PlantTag& plantTag,
                 std::map<std::string, MqttTagOverride>& tags, std::vector<ConfigError>& errors) {
  const toml::table* table = tag.Table("mqtt");
  if (table == nullptr) return;
  TableReader r(*table, tag.Path("mqtt"), tag.file(), errors);
  MqttTagOverride o;
  if (auto v = r.Integer("qos", 0, 2)) o.qos = static_cast<int>(*v);
  if (auto v = r.Number("deadband")) {
    if (*v < 0) r.Error("deadband", "must not be negative");
    o.deadband = *v;
  }
  if (auto v = r.Integer("publish_interval_s", 0, 86400))
    o.publishIntervalSeconds = static_cast<int>(*v);
  r.Finish();
  tags[plantTag.name] = o;
}

void CheckMqtt(const MqttSettings& mqtt, const zeltools::PlantFile& plant,
               std::vector<ConfigError>& errors) {
  if (!mqtt.enabled || !mqtt.discovery) return;
  // Discovery ids are made from the names; two that come out the same would
  // make one entity of two tags.
  std::map<std::string, std::string> ids;
  for (const zeltools::PlantTag& tag : plant.tags) {
    const std::string id = DiscoveryId(tag.line) + "_" + DiscoveryId(tag.name);
    const auto [it, added] = ids.emplace(id, tag.name);
    if (!added) {
      errors.push_back({tag.file, tag.sourceLine, 1, "tag.name",
                        "tags \"" + it->second + "\" and \"" + tag.name +
                            "\" make the same discovery id \"" + id + "\""});
    }
  }
}

}  // namespace zelgw
