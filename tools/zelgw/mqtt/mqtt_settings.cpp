#include "mqtt/mqtt_settings.h"

#include <tuple>

namespace zelgw {

MqttTagOptions MqttSettings::For(const std::string& tag) const {
  MqttTagOptions options = defaults;
  const auto it = tags.find(tag);
  if (it == tags.end()) return options;
  if (it->second.qos) options.qos = *it->second.qos;
  if (it->second.deadband) options.deadband = *it->second.deadband;
  if (it->second.publishIntervalSeconds)
    options.publishIntervalSeconds = *it->second.publishIntervalSeconds;
  return options;
}

bool MqttConnectionChanged(const MqttSettings& a, const MqttSettings& b) {
  const auto key = [](const MqttSettings& s) {
    return std::tie(s.enabled, s.host, s.port, s.clientId, s.prefix, s.keepaliveSeconds,
                    s.healthIntervalSeconds, s.reconnectPauseMaxSeconds, s.username, s.password,
                    s.tls.enabled, s.tls.caFile, s.tls.certFile, s.tls.keyFile,
                    s.tls.verifyHostname, s.discovery, s.discoveryPrefix);
  };
  return key(a) != key(b);
}

std::string DiscoveryId(const std::string& name) {
  std::string id = name;
  for (char& c : id) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
    if (!keep) c = '_';
  }
  return id;
}

}  // namespace zelgw
