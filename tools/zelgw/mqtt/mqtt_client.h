// One MQTT 5 connection to the broker through libmosquitto, driven by its
// owner's poll() loop: the owner polls fd() for events(), calls Service()
// with what poll() reported and Misc() at least once a second, and hears of
// the connection through the handlers. Every call, and every handler, runs
// on the owner's thread; libmosquitto's own thread and select() loop are not
// used, so the socket may have any number.
#pragma once

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

#include "mqtt/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): libmosquitto's.
struct mqtt5__property;

namespace zelgw {

struct MqttMessage {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;        // replayed from the broker's store at subscription
  std::string responseTopic;  // empty: none
  std::string correlation;    // correlation data, when hasCorrelation
  bool hasCorrelation = false;
};

class MqttClient {
 public:
  struct Handlers {
    std::function<void()> connected;                   // the broker took the connection
    std::function<void(const std::string& why)> lost;  // closed, refused, or failed to open
    std::function<void(int mid, const std::vector<int>& granted)> subscribed;
    std::function<void(const MqttMessage&)> message;
    std::function<void(int mid)> published;  // QoS 0 written, QoS 1 and 2 acknowledged
  };

  // Sets up the client: MQTT 5, the last will ("offline", retained, on
  // willTopic), credentials and TLS. Throws std::runtime_error when
  // libmosquitto refuses a setting (a TLS file it cannot take, say).
  MqttClient(const MqttSettings& settings, const std::string& willTopic, Handlers handlers);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Begins to connect; false (with the reason) when that fails at once.
  bool Connect(std::string& why);
  // Leaves: a DISCONNECT that asks the broker to publish the last will, so
  // that subscribers see "offline" at once; the socket is closed.
  void Disconnect();
  bool open() const { return fd() >= 0; }

  int fd() const;
  short events() const;
  void Service(short revents);
  void Misc();

  // The message id, or -1 (logged) when libmosquitto refused it.
  int Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
              const MqttMessage* answering = nullptr);
  int Subscribe(const std::vector<std::string>& filters, int qos);

 private:
  static void OnConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property*);
  static void OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*);
  static void OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*,
                           const std::string& reason);
  static void OnLog(mosquitto*, void* self, int level, const char* text);
  static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                          const mqtt5__property*);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                        const mqtt5__property* properties);
  static void OnPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*);

  const MqttSettings settings_;
  Handlers handlers_;
  mosquitto* mosq_ = nullptr;
  bool tcpPending_ = false;   // connect() in progress: wait for the socket to be writable
  std::string refused_;       // the broker's reason for refusing the connection
  std::string pendingWhy_;    // why connect() failed
  std::string libraryError_;  // libmosquitto's last error message
  bool reported_ = false;     // the handlers heard of the closed connection
};

}  // namespace zelgw
