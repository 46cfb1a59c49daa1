// The MQTT front end: publishes every tag, the health and $STOP of every
// line and the gateway's availability into a broker, and carries out the
// writes that come in on the set topics (topics and payloads: see
// mqtt_payload.h).
//
// - Values: a tag is published (retained, with its own QoS) when its value
//   moves by more than its deadband or its quality changes, and at least
//   every publish interval. While the broker is away nothing queues up: once
//   it is back, every tag is published as it is then (the latest value of
//   each), with the health and $STOP of every line.
// - Availability: the last will puts "offline" on <prefix>/<gateway>/status;
//   "online" follows once the gateway is connected and subscribed. A lost
//   connection is tried again after a pause that starts at 1 s and doubles
//   up to reconnect_pause_max_s.
// - Writes: each set message the broker delivers is one WriteVar (or one
//   $STOP), answered with the driver's result on the request's response
//   topic (with its correlation data) or on .../set/result. Retained set
//   messages are never replayed to the gateway, and one that comes with the
//   retain flag anyway is ignored.
// - Threads: one of its own for the connection; the lines hand it their
//   changes and results through a queue, and never wait for the broker.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core/gateway.h"
#include "mqtt/mqtt_settings.h"

namespace zelgw {

// What the bridge publishes and how: the gateway's name (in the status
// topic, the default client id), the [mqtt] settings, the lines and tags.
struct MqttSetup {
  std::string gatewayName;
  MqttSettings mqtt;
  PlantFile plant;
};

class MqttBridge {
 public:
  // Throws std::runtime_error when the client cannot be set up (TLS files
  // that libmosquitto refuses, say).
  MqttBridge(Gateway& gateway, const MqttSetup& config, std::string version);
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  void Start();
  // Leaves the broker with the last will, so that subscribers see "offline"
  // at once; waits at most `wait` for that.
  void Stop(std::chrono::milliseconds wait);
  // The tags and their publishing options of a reloaded file.
  void Reload(const MqttSetup& fresh);

  // "host:port", for the log.
  std::string Endpoint() const;

  struct Inbox;
  class Session;

 private:
  Gateway& gateway_;
  std::shared_ptr<Inbox> inbox_;
  std::unique_ptr<Session> session_;
  std::thread thread_;
  int listener_ = 0;
  std::string endpoint_;
};

}  // namespace zelgw
