// What the MQTT front end is configured with (mqtt_config.h reads it).
#pragma once

#include <map>
#include <optional>
#include <string>

namespace zelgw {

// How a tag's value is published.
struct MqttTagOptions {
  int qos = 1;
  double deadband = 0;              // in the tag's units; 0: every change
  int publishIntervalSeconds = 60;  // 0: on change only
};

// What a [tag.mqtt] table sets; the rest comes from [mqtt].
struct MqttTagOverride {
  std::optional<int> qos;
  std::optional<double> deadband;
  std::optional<int> publishIntervalSeconds;
};

struct MqttTls {
  bool enabled = false;
  std::string caFile;
  std::string certFile;  // empty: no client certificate
  std::string keyFile;
  bool verifyHostname = true;
};

struct MqttSettings {
  bool enabled = false;
  std::string host;
  int port = 1883;
  std::string clientId;
  std::string prefix = "zelqd";
  int keepaliveSeconds = 30;
  MqttTagOptions defaults;
  std::map<std::string, MqttTagOverride> tags;  // by tag name
  int healthIntervalSeconds = 5;
  int reconnectPauseMaxSeconds = 60;
  std::string username;
  std::string password;      // from the file or from password_file
  std::string passwordFile;  // where it came from; empty: the file itself
  MqttTls tls;
  bool discovery = false;
  std::string discoveryPrefix = "homeassistant";

  MqttTagOptions For(const std::string& tag) const;
};

// Whether the broker, the identity or the topics differ (a reload cannot
// apply those).
bool MqttConnectionChanged(const MqttSettings& a, const MqttSettings& b);

// A name as a Home Assistant object or node id: characters other than
// letters, digits, "_" and "-" become "_".
std::string DiscoveryId(const std::string& name);

}  // namespace zelgw
