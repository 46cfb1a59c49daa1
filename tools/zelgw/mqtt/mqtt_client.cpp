#include "mqtt/mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "core/log.h"

namespace zelgw {
namespace {

void Check(int rc, const char* what) {
  if (rc != MOSQ_ERR_SUCCESS)
    throw std::runtime_error(std::string(what) + ": " + mosquitto_strerror(rc));
}

MqttClient* Self(void* self) { return static_cast<MqttClient*>(self); }

}  // namespace

MqttClient::MqttClient(const MqttSettings& settings, const std::string& willTopic,
                       Handlers handlers)
    : settings_(settings), handlers_(std::move(handlers)) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mosquitto_lib_init(); });
  // A clean start: set messages that came while the gateway was away are
  // not carried out late.
  mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (mosq_ == nullptr) throw std::runtime_error("mosquitto_new: " + std::string(strerror(errno)));
  Check(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "MQTT 5");
  Check(mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY");
  static const char kOffline[] = "offline";
  Check(mosquitto_will_set_v5(mosq_, willTopic.c_str(), sizeof kOffline - 1, kOffline, 1, true,
                              nullptr),
        "last will");
  if (!settings_.username.empty()) {
    Check(mosquitto_username_pw_set(
              mosq_, settings_.username.c_str(),
              settings_.password.empty() ? nullptr : settings_.password.c_str()),
          "username");
  }
  if (settings_.tls.enabled) {
    const MqttTls& tls = settings_.tls;
    Check(mosquitto_tls_set(mosq_, tls.caFile.c_str(), nullptr,
                            tls.certFile.empty() ? nullptr : tls.certFile.c_str(),
                            tls.keyFile.empty() ? nullptr : tls.keyFile.c_str(), nullptr),
          "TLS files");
    Check(mosquitto_tls_insecure_set(mosq_, !tls.verifyHostname), "TLS host name check");
  }
  mosquitto_connect_v5_callback_set(mosq_, &MqttClient::OnConnect);
  mosquitto_disconnect_v5_callback_set(mosq_, &MqttClient::OnDisconnect);
  mosquitto_subscribe_v5_callback_set(mosq_, &MqttClient::OnSubscribe);
  mosquitto_message_v5_callback_set(mosq_, &MqttClient::OnMessage);
  mosquitto_publish_v5_callback_set(mosq_, &MqttClient::OnPublish);
  mosquitto_log_callback_set(mosq_, &MqttClient::OnLog);
}

MqttClient::~MqttClient() { mosquitto_destroy(mosq_); }

int MqttClient::fd() const { return mosquitto_socket(mosq_); }

short MqttClient::events() const {
  if (fd() < 0) return 0;
  return static_cast<short>(POLLIN | (tcpPending_ || mosquitto_want_write(mosq_) ? POLLOUT : 0));
}

bool MqttClient::Connect(std::string& why) {
  refused_.clear();
  pendingWhy_.clear();
  libraryError_.clear();
  errno = 0;
  const int rc = mosquitto_connect_bind_async(mosq_, settings_.host.c_str(), settings_.port,
                                              settings_.keepaliveSeconds, nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    why = rc == MOSQ_ERR_EAI ? std::string("cannot resolve the host name")
                             : std::string(mosquitto_strerror(rc));
    if (!libraryError_.empty()) why += " (" + libraryError_ + ")";
    return false;
  }
  tcpPending_ = true;
  return true;
}

void MqttClient::Disconnect() {
  if (!open()) return;
  mosquitto_disconnect_v5(mosq_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
}

void MqttClient::Service(short revents) {
  if (!open() || revents == 0) return;
  const bool readable = (revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  const bool writable = (revents & POLLOUT) != 0;
  bool handshake = settings_.tls.enabled && writable;
  if (tcpPending_ && (writable || readable)) {
    // connect() has ended: in error (read then reports it and closes), or
    // with the link up, when the TLS handshake goes on through a read.
    tcpPending_ = false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
      pendingWhy_ = std::string("connect: ") + std::strerror(error);
    handshake = true;
  }
  reported_ = false;
  int rc = MOSQ_ERR_SUCCESS;
  if (readable || handshake) rc = mosquitto_loop_read(mosq_, 1);
  if (open() && writable) rc = mosquitto_loop_write(mosq_, 1);
  // A failed TLS handshake closes the socket without a word to the
  // callbacks.
  if (!open() && !reported_) {
    std::string why = rc == MOSQ_ERR_SUCCESS ? "closed" : mosquitto_strerror(rc);
    if (!libraryError_.empty()) why += " (" + libraryError_ + ")";
    OnDisconnect(mosq_, this, MOSQ_ERR_SUCCESS, nullptr, why);
  }
}

void MqttClient::Misc() {
  if (open()) mosquitto_loop_misc(mosq_);
}

int MqttClient::Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                        const MqttMessage* answering) {
  mosquitto_property* properties = nullptr;
  if (answering != nullptr && answering->hasCorrelation) {
    mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                  answering->correlation.data(),
                                  static_cast<std::uint16_t>(answering->correlation.size()));
  }
  int mid = 0;
  const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                      payload.data(), qos, retain, properties);
  mosquitto_property_free_all(&properties);
  if (rc != MOSQ_ERR_SUCCESS) {
    log::Write(log::Level::Debug, "mqtt publish refused",
               {{"topic", topic}, {"error", mosquitto_strerror(rc)}});
    return -1;
  }
  return mid;
}

int MqttClient::Subscribe(const std::vector<std::string>& filters, int qos) {
  std::vector<char*> list;
  list.reserve(filters.size());
  for (const std::string& f : filters) list.push_back(const_cast<char*>(f.c_str()));
  int mid = 0;
  // Retained set messages stay where they are: a write is carried out only
  // for a message sent while the gateway listens.
  const int rc =
      mosquitto_subscribe_multiple(mosq_, &mid, static_cast<int>(list.size()), list.data(), qos,
                                   MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    log::Warning("mqtt subscribe refused", {{"error", mosquitto_strerror(rc)}});
    return -1;
  }
  return mid;
}

void MqttClient::OnConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
  MqttClient& c = *Self(self);
  if (rc != 0) {
    c.refused_ = std::string("refused by the broker: ") + mosquitto_reason_string(rc);
    return;  // the connection closes next
  }
  if (c.handlers_.connected) c.handlers_.connected();
}

void MqttClient::OnDisconnect(mosquitto* mosq, void* self, int rc,
                              const mqtt5__property* properties) {
  OnDisconnect(mosq, self, rc, properties, "");
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*,
                              const std::string& reason) {
  MqttClient& c = *Self(self);
  c.tcpPending_ = false;
  c.reported_ = true;
  std::string why;
  if (!reason.empty()) {
    why = reason;
  } else if (!c.refused_.empty()) {
    why = c.refused_;
  } else if (!c.pendingWhy_.empty()) {
    why = c.pendingWhy_;
  } else if (rc == 0) {
    why = "closed";
  } else if (rc == MOSQ_ERR_KEEPALIVE) {
    why = "no answer from the broker within the keepalive";
  } else {
    why = mosquitto_strerror(rc);
    if (!c.libraryError_.empty()) why += " (" + c.libraryError_ + ")";
  }
  c.refused_.clear();
  c.pendingWhy_.clear();
  c.libraryError_.clear();
  if (c.handlers_.lost) c.handlers_.lost(why);
}

void MqttClient::OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                             const mqtt5__property*) {
  MqttClient& c = *Self(self);
  if (c.handlers_.subscribed)
    c.handlers_.subscribed(mid, std::vector<int>(granted, granted + count));
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* m,
                           const mqtt5__property* properties) {
  MqttClient& c = *Self(self);
  MqttMessage message;
  message.topic = m->topic != nullptr ? m->topic : "";
  if (m->payloadlen > 0)
    message.payload.assign(static_cast<const char*>(m->payload),
                           static_cast<std::size_t>(m->payloadlen));
  message.qos = m->qos;
  message.retain = m->retain;
  char* response = nullptr;
  if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response, false) !=
          nullptr &&
      response != nullptr) {
    message.responseTopic = response;
  }
  std::free(response);
  void* data = nullptr;
  std::uint16_t length = 0;
  if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                     false) != nullptr) {
    message.hasCorrelation = true;
    if (data != nullptr) message.correlation.assign(static_cast<const char*>(data), length);
  }
  std::free(data);
  if (c.handlers_.message) c.handlers_.message(message);
}

void MqttClient::OnLog(mosquitto*, void* self, int level, const char* text) {
  // libmosquitto says why a TLS handshake failed only here.
  if (text == nullptr || (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0) return;
  log::Write(log::Level::Debug, "libmosquitto", {{"text", text}});
  if (level == MOSQ_LOG_ERR) Self(self)->libraryError_ = text;
}

void MqttClient::OnPublish(mosquitto*, void* self, int mid, int, const mqtt5__property*) {
  MqttClient& c = *Self(self);
  if (c.handlers_.published) c.handlers_.published(mid);
}

}  // namespace zelgw
