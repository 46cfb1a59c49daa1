// Helpers of the port-control tests: calls through ZelMain, request blocks,
// and the messages the host library received.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dravun.h"
#include "zelqd/zelqd.h"

namespace zelqd::porttest {

struct Message {
  int code;
  std::string text;
  bool operator==(const Message&) const = default;
};

// While it lives, every message that reaches the host library's err lands
// in messages.
class MessageLog {
 public:
  MessageLog() { DravunSetMessageHandler(&MessageLog::Receive, this); }
  ~MessageLog() { DravunSetMessageHandler(nullptr, nullptr); }
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  std::vector<Message> messages;

 private:
  static void Receive(int code, const char* text, void* context) {
    static_cast<MessageLog*>(context)->messages.push_back({code, text});
  }
};

inline const char kChangeFailed[] = "ZELKR7> ChangeZelParams() open new COM port failed";

inline std::string OpenFailed(const std::string& name) {
  return "ZELGeneral Purpose : Fail to open " + name;
}

inline std::int32_t Call(DriverInstance& instance, std::int32_t code, void* params = nullptr) {
  DriverCall call{};
  call.instance = &instance;
  call.code = code;
  call.params = params;
  return ZelMain(&call);
}

inline LineSettings Settings(std::uint16_t baud, std::uint8_t dataBits, std::uint8_t stopBits,
                             std::uint8_t parity) {
  LineSettings s{};
  s.baudRate = baud;
  s.dataBits = dataBits;
  s.stopBits = stopBits;
  s.parity = parity;
  return s;
}

// Copies at most the field's size; a name as long as the field has no NUL.
template <std::size_t N>
void SetName(char (&field)[N], const std::string& name) {
  std::memset(field, 0, N);
  std::memcpy(field, name.data(), name.size() < N ? name.size() : N);
}

inline OpenRequest Open(const std::string& name, std::int32_t replyTimeout = 300,
                        LineSettings settings = Settings(9600, 8, 0, 0), std::int32_t active = 1) {
  OpenRequest r{};
  SetName(r.name, name);
  r.active = active;
  r.replyTimeout = replyTimeout;
  r.settings = settings;
  return r;
}

inline PortChangeRequest Change(const std::string& name, LineSettings settings = LineSettings{}) {
  PortChangeRequest r{};
  SetName(r.name, name);
  r.settings = settings;
  return r;
}

// A zeroed instance, as a host hands it over, with a marker in the bytes
// the driver never touches.
inline DriverInstance FreshInstance() {
  DriverInstance instance{};
  std::memset(instance.reserved12, 0xA5, sizeof instance.reserved12);
  std::memset(instance.reserved655, 0xA5, sizeof instance.reserved655);
  std::memset(instance.reserved682, 0xA5, sizeof instance.reserved682);
  return instance;
}

inline bool SameBytes(const DriverInstance& a, const DriverInstance& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::vector<std::uint8_t> BytesOf(const PortSpec& portSpec) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&portSpec);
  return {p, p + sizeof portSpec};
}

// The 22 bytes an open with this name and these settings stores.
inline std::vector<std::uint8_t> ExpectedSpec(const std::string& name, const LineSettings& s,
                                              std::uint16_t flags = 8) {
  std::vector<std::uint8_t> bytes(22, 0);
  std::memcpy(bytes.data(), name.c_str(), name.size() + 1);
  std::memcpy(bytes.data() + 12, &s, sizeof s);
  bytes[20] = static_cast<std::uint8_t>(flags & 0xFF);
  bytes[21] = static_cast<std::uint8_t>(flags >> 8);
  return bytes;
}

}  // namespace zelqd::porttest
