// What the MQTT front end puts in its topics and reads from them, without
// any connection: topic names, the JSON of values, health and answers, the
// values of set messages, when a value is due for publishing, and the Home
// Assistant discovery messages.
//
//   <prefix>/<line>/<tag>              {"value":21.5,"raw":215,"unit":"degC","quality":"good",
//                                       "timestamp":"2026-12-08T14:25:06.874Z"}  retained
//   <prefix>/<line>/$STOP              the same, value 0 or 1
//   <prefix>/<line>/$health            the line's state and counters, retained
//   <prefix>/<line>/<tag>/set          a write: 42.5, or {"value":42.5}; true/false for $STOP
//   <prefix>/<line>/<tag>/set/result   its answer, unless the request named a response topic:
//                                      {"line":..,"tag":..,"request":{"value":42.5},"result":"ok",..}
//   <prefix>/<gateway>/status          "online", or "offline" (the last will), retained
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/gateway.h"
#include "mqtt/mqtt_settings.h"

namespace zelgw::mqtt {

// The pseudo-variable that suspends and resumes a line's traffic, as a tag.
inline constexpr std::string_view kStopTag = "$STOP";

struct Topics {
  std::string prefix;

  std::string Value(std::string_view line, std::string_view tag) const;
  std::string Set(std::string_view line, std::string_view tag) const;
  std::string Result(std::string_view line, std::string_view tag) const;
  std::string Health(std::string_view line) const;
  std::string Status(std::string_view gateway) const;
  // The filter of a line's set messages: <prefix>/<line>/+/set.
  std::string SetFilter(std::string_view line) const;
};

struct SetTopic {
  std::string line;
  std::string tag;
};
// The line and tag of <prefix>/<line>/<tag>/set; none for any other topic.
std::optional<SetTopic> ParseSetTopic(std::string_view prefix, std::string_view topic);

// A tag's value as JSON: value (rounded to what its type holds), raw, unit,
// quality, timestamp; value, raw and timestamp are null until it was read,
// "period_ms" says how often it is really read (once known) and "reason"
// why a value is not good.
std::string ValuePayload(const TagState& tag);
// $STOP as a tag: 1 while the line's traffic is suspended.
std::string StopPayload(bool stopped, std::chrono::system_clock::time_point at);
std::string HealthPayload(const LineHealth& line, std::chrono::system_clock::time_point now);

// Whether an answer may go to the response topic a request named: not to a
// topic with wildcards, not to any set topic (one ending in /set, of this
// gateway or another), and not under the prefix, where the gateways that
// share it publish and take writes; nor to the gateway's status or its
// discovery entries. So no client makes a gateway publish where a gateway
// alone speaks, or makes its answer another gateway's write.
bool AnswerTopicAllowed(std::string_view topic, const Topics& topics, std::string_view gateway,
                        std::string_view discoveryPrefix);

// The value a set message asks for: a decimal number (42.5, -7, 1e3; no hex,
// inf or nan), plain or as JSON, or {"value": number}; for $STOP also true
// or false. The reason otherwise; a message with a NUL or another control
// character is refused whole.
std::variant<double, std::string> ParseSetValue(std::string_view payload, bool stop);

// A message on a set topic, read: what it asks of which tag, and where its
// answer goes.
struct SetRequest {
  std::string line;
  std::string tag;
  bool stop = false;            // the tag is $STOP
  std::optional<double> value;  // none: refused, reason says why
  std::string reason;
  std::string answerTopic;       // the response topic when allowed, else .../set/result
  bool responseRefused = false;  // a response topic was named and not taken
};
// None for a topic that is not <prefix>/<line>/<tag>/set.
std::optional<SetRequest> ReadSetMessage(std::string_view topic, std::string_view payload,
                                         std::string_view responseTopic, const Topics& topics,
                                         std::string_view gateway,
                                         std::string_view discoveryPrefix);

// How a write ended, as the answer says it: "ok"; "refused" when nothing was
// sent on the line (unknown or read-only tag, a value that does not fit,
// traffic suspended, line closed, too many requests waiting); "failed" when
// the driver's five attempts failed. The value asked for is nested
// ("request": {"value": 42.5}), so that an answer is never a set message.
const char* ResultName(Status status);
std::string AnswerPayload(std::string_view line, std::string_view tag, std::optional<double> value,
                          Status status, std::string_view reason);

// What was last published of a tag.
struct Published {
  bool ever = false;
  std::uint32_t raw = 0;
  double value = 0;
  Quality quality = Quality::Bad;
  bool read = false;  // it had a value then
};
// Whether a new state is worth a message on change: the first, another
// quality, the first value, or a value that moved by more than the deadband
// (with deadband 0: any other raw value).
bool Changed(const Published& last, const TagState& now, double deadband);
Published Remember(const TagState& state);

struct Discovery {
  std::string topic;
  std::string payload;  // empty: removes the entity
};
// One Home Assistant entity for a tag: a sensor, or a number when it is
// writable; available while the gateway is online and the value good.
Discovery TagDiscovery(const zeltools::PlantTag& tag, const MqttSettings& settings,
                       std::string_view gateway, std::string_view version);
// One switch for a line's $STOP.
Discovery StopDiscovery(std::string_view line, const MqttSettings& settings,
                        std::string_view gateway, std::string_view version);

}  // namespace zelgw::mqtt
