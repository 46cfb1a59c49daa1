// The MQTT front end's keys in zelgw's file. The table's presence turns it
// on:
//
//   [mqtt]
//   host = "broker.plant"          # the broker (required)
//   port = 1883                    # default 1883, 8883 with [mqtt.tls]
//   client_id = "plant-gw"         # default: the [gateway] name
//   prefix = "zelqd"               # topics <prefix>/<line>/<tag>; default "zelqd"
//   keepalive_s = 30
//   qos = 1                        # of the values, unless a tag says otherwise
//   deadband = 0                   # a value is published when it moves by more
//   publish_interval_s = 60        # and at least this often (0: on change only)
//   health_interval_s = 5          # <prefix>/<line>/$health
//   reconnect_pause_max_s = 60     # the pause before a reconnect doubles up to this
//   username = "gw1"
//   password_file = "mqtt.secret"  # or password = "..."; relative to this file's folder
//   discovery = false              # Home Assistant discovery messages
//   discovery_prefix = "homeassistant"
//
//   [mqtt.tls]                     # TLS when the table is there
//   ca_file = "ca.pem"             # the broker's certificate authority (required)
//   cert_file = "gw1.pem"          # a client certificate, with its key_file
//   key_file = "gw1.key"
//   verify_hostname = true
//
//   [[tag]]
//   ...
//   [tag.mqtt]                     # one tag's own qos, deadband, publish_interval_s
//   deadband = 0.5
//
// Every error names the file, the line and the key, as the rest of the file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/mqtt_settings.h"
#include "tag_file.h"

namespace zelgw {

// Reads [mqtt] from the top of the file (relative paths start from the
// file's folder); the gateway's name is the default client id and goes into
// the status topic.
MqttSettings ReadMqtt(zeltools::TableReader& top, const std::string& gatewayName,
                      std::vector<zeltools::ConfigError>& errors);
// Reads the [tag.mqtt] table of one [[tag]] into settings.tags.
void ReadMqttTag(zeltools::TableReader& tag, const zeltools::PlantTag& plantTag,
                 std::map<std::string, MqttTagOverride>& tags,
                 std::vector<zeltools::ConfigError>& errors);
// Checks that need every tag: discovery ids made from the names.
void CheckMqtt(const MqttSettings& mqtt, const zeltools::PlantFile& plant,
               std::vector<zeltools::ConfigError>& errors);

}  // namespace zelgw
