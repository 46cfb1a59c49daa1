#include "mqtt/mqtt_payload.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "core/health_json.h"

namespace zelgw::mqtt {
namespace {

// Keys in the order they are written.
using json = nlohmann::ordered_json;

std::string Join(std::string_view a, std::string_view b) {
  std::string out(a);
  out += '/';
  out += b;
  return out;
}

// A value with the significant digits its type holds, so that 215 * 0.1
// reads 21.5 and a float32 0.1 reads 0.1.
double Rounded(double value, zeltools::ValueType type) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", type == zeltools::ValueType::Float32 ? 7 : 15, value);
  return std::strtod(text, nullptr);
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool Digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number, all of the text: an optional sign, digits with an
// optional fraction (or a fraction alone), an optional exponent. Hex, inf
// and nan, which strtod would take, are not numbers here.
std::optional<double> PlainNumber(std::string_view text) {
  char copy[72];
  if (text.empty() || text.size() >= sizeof copy) return std::nullopt;
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && Digit(text[i])) ++i;
    return i - from;
  };
  if (text[i] == '+' || text[i] == '-') ++i;
  std::size_t mantissa = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  text.copy(copy, text.size());
  copy[text.size()] = '\0';
  return std::strtod(copy, nullptr);  // out of range: +-HUGE_VAL, refused as not finite
}

// NUL and the other control characters but tab, CR and LF.
bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t' && c != '\r' && c != '\n') || u == 0x7F;
  });
}

std::variant<double, std::string> FromJson(const json& value, bool stop) {
  if (value.is_number()) return value.get<double>();
  if (value.is_boolean()) {
    if (stop) return value.get<bool>() ? 1.0 : 0.0;
    return std::string("true and false are for $STOP only; a tag takes a number");
  }
  return std::string("not a number: send 42.5 or {\"value\": 42.5}");
}

json Availability(const MqttSettings& settings, std::string_view gateway) {
  return {{"topic", Topics{settings.prefix}.Status(gateway)},
          {"payload_available", "online"},
          {"payload_not_available", "offline"}};
}

json Device(std::string_view gateway, std::string_view version) {
  return {{"identifiers", json::array({"zelgw_" + DiscoveryId(std::string(gateway))})},
          {"name", gateway},
          {"model", "zelgw"},
          {"sw_version", version}};
}

std::string ConfigTopic(const MqttSettings& settings, std::string_view component,
                        std::string_view gateway, const std::string& object) {
  return settings.discoveryPrefix + "/" + std::string(component) + "/" +
         DiscoveryId(std::string(gateway)) + "/" + object + "/config";
}

}  // namespace

std::string Topics::Value(std::string_view line, std::string_view tag) const {
  return Join(Join(prefix, line), tag);
}
std::string Topics::Set(std::string_view line, std::string_view tag) const {
  return Value(line, tag) + "/set";
}
std::string Topics::Result(std::string_view line, std::string_view tag) const {
  return Set(line, tag) + "/result";
}
std::string Topics::Health(std::string_view line) const { return Join(prefix, line) + "/$health"; }
std::string Topics::Status(std::string_view gateway) const {
  return Join(prefix, gateway) + "/status";
}
std::string Topics::SetFilter(std::string_view line) const { return Join(prefix, line) + "/+/set"; }

std::optional<SetTopic> ParseSetTopic(std::string_view prefix, std::string_view topic) {
  // Wildcards and NUL stand in no topic a message is published on.
  if (topic.size() <= prefix.size() + 1 || !topic.starts_with(prefix) ||
      topic[prefix.size()] != '/' ||
      topic.find_first_of(std::string_view("+#\0", 3)) != std::string_view::npos)
    return std::nullopt;
  std::string_view rest = topic.substr(prefix.size() + 1);
  if (!rest.ends_with("/set")) return std::nullopt;
  rest.remove_suffix(4);
  const auto slash = rest.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == rest.size() ||
      rest.find('/', slash + 1) != std::string_view::npos)
    return std::nullopt;
  return SetTopic{std::string(rest.substr(0, slash)), std::string(rest.substr(slash + 1))};
}

std::string ValuePayload(const TagState& tag) {
  json out;
  if (tag.ageSeconds >= 0) {
    out["value"] = Rounded(tag.value, tag.type);
    out["raw"] = tag.raw;
  } else {
    out["value"] = nullptr;
    out["raw"] = nullptr;
  }
  out["unit"] = tag.unit;
  out["quality"] = QualityName(tag.quality);
  out["timestamp"] = tag.ageSeconds >= 0 ? json(IsoTime(tag.timestamp)) : json(nullptr);
  if (tag.periodMs > 0) out["period_ms"] = std::round(tag.periodMs);
  if (!tag.reason.empty()) out["reason"] = tag.reason;
  return out.dump();
}

std::string StopPayload(bool stopped, std::chrono::system_clock::time_point at) {
  const int v = stopped ? 1 : 0;
  return json{
      {"value", v}, {"raw", v}, {"unit", ""}, {"quality", "good"}, {"timestamp", IsoTime(at)}}
      .dump();
}

std::string HealthPayload(const LineHealth& l, std::chrono::system_clock::time_point now) {
  json out = LineHealthJson(l);
  out["time"] = IsoTime(now);
  return out.dump();
}

bool AnswerTopicAllowed(std::string_view topic, const Topics& topics, std::string_view gateway,
                        std::string_view discoveryPrefix) {
  if (topic.empty() || topic.find_first_of("+#") != std::string_view::npos) return false;
  if (topic == "set" || topic.ends_with("/set")) return false;
  const auto under = [topic](std::string_view root) {
    return topic == root ||
           (topic.size() > root.size() && topic.starts_with(root) && topic[root.size()] == '/');
  };
  return !under(topics.prefix) && topic != topics.Status(gateway) && !under(discoveryPrefix);
}

std::variant<double, std::string> ParseSetValue(std::string_view payload, bool stop) {
  if (payload.size() > 256) return std::string("too long for a value");
  if (HasControl(payload)) return std::string("holds a NUL or another control character");
  const std::string_view text = Trim(payload);
  std::variant<double, std::string> result = std::string("empty message: send a number");
  if (text.empty()) return result;
  if (const auto plain = PlainNumber(text)) {
    result = *plain;
  } else {
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) return std::string("not a number: send 42.5 or {\"value\": 42.5}");
    if (doc.is_object()) {
      const auto it = doc.find("value");
      if (it == doc.end()) return std::string("the object has no \"value\"");
      result = FromJson(*it, stop);
    } else {
      result = FromJson(doc, stop);
    }
  }
  if (const double* v = std::get_if<double>(&result)) {
    if (!std::isfinite(*v)) return std::string("not a finite number");
    if (stop && *v != 0 && *v != 1) return std::string("$STOP takes 0 (run) or 1 (suspend)");
  }
  return result;
}

std::optional<SetRequest> ReadSetMessage(std::string_view topic, std::string_view payload,
                                         std::string_view responseTopic, const Topics& topics,
                                         std::string_view gateway,
                                         std::string_view discoveryPrefix) {
  auto set = ParseSetTopic(topics.prefix, topic);
  if (!set) return std::nullopt;
  SetRequest r;
  r.line = std::move(set->line);
  r.tag = std::move(set->tag);
  r.stop = r.tag == kStopTag;
  r.answerTopic = topics.Result(r.line, r.tag);
  if (!responseTopic.empty()) {
    if (AnswerTopicAllowed(responseTopic, topics, gateway, discoveryPrefix)) {
      r.answerTopic = responseTopic;
    } else {
      r.responseRefused = true;
    }
  }
  auto value = ParseSetValue(payload, r.stop);
  if (const double* v = std::get_if<double>(&value)) {
    r.value = *v;
  } else {
    r.reason = std::move(std::get<std::string>(value));
  }
  return r;
}

const char* ResultName(Status status) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::Failed:
      return "failed";
    case Status::Suspended:
    case Status::LineDown:
    case Status::Busy:
    case Status::Rejected:
      return "refused";
  }
  return "failed";
}

std::string AnswerPayload(std::string_view line, std::string_view tag, std::optional<double> value,
                          Status status, std::string_view reason) {
  json out = {{"line", line}, {"tag", tag}};
  out["request"] = {{"value", value ? json(*value) : json(nullptr)}};
  out["result"] = ResultName(status);
  out["status"] = StatusName(status);
  if (status != Status::Ok) out["reason"] = reason;
  // Names and reasons come from the request's topic: bytes that are not
  // UTF-8 are replaced rather than thrown at.
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool Changed(const Published& last, const TagState& now, double deadband) {
  if (!last.ever || now.quality != last.quality) return true;
  const bool read = now.ageSeconds >= 0;
  if (read != last.read) return true;
  if (!read) return false;
  if (deadband <= 0) return now.raw != last.raw;
  // A comparison with NaN is false: a change to or from NaN is a change.
  if (std::isnan(now.value) || std::isnan(last.value))
    return std::isnan(now.value) != std::isnan(last.value);
  if (std::isinf(now.value) || std::isinf(last.value)) return now.value != last.value;
  return std::fabs(now.value - last.value) > deadband;
}

Published Remember(const TagState& state) {
  return {true, state.raw, state.value, state.quality, state.ageSeconds >= 0};
}

Discovery TagDiscovery(const zeltools::PlantTag& tag, const MqttSettings& settings,
                       std::string_view gateway, std::string_view version) {
  const Topics topics{settings.prefix};
  const std::string object = DiscoveryId(tag.line) + "_" + DiscoveryId(tag.name);
  const std::string state = topics.Value(tag.line, tag.name);
  json c = {
      {"name", tag.name},
      {"unique_id", "zelgw_" + DiscoveryId(std::string(gateway)) + "_" + object},
      {"object_id", object},
      {"state_topic", state},
      {"value_template", "{{ value_json.value }}"},
      {"json_attributes_topic", state},
      {"availability",
       json::array({Availability(settings, gateway),
                    {{"topic", state},
                     {"value_template",
                      "{{ 'online' if value_json.quality == 'good' else 'offline' }}"}}})},
      {"availability_mode", "all"},
      {"device", Device(gateway, version)},
  };
  if (!tag.unit.empty()) c["unit_of_measurement"] = tag.unit;
  if (!tag.writable) {
    c["state_class"] = "measurement";
    return {ConfigTopic(settings, "sensor", gateway, object), c.dump()};
  }
  // A number entity takes values between min and max in steps: what the
  // variable's type holds, in the tag's units.
  double lo = 0, hi = 0, step = 0.001;
  switch (tag.type) {
    case zeltools::ValueType::Int32:
      lo = zeltools::TagValue(tag, 0x80000000u);
      hi = zeltools::TagValue(tag, 0x7FFFFFFFu);
      step = std::max(std::fabs(tag.scale), 0.001);
      break;
    case zeltools::ValueType::Uint32:
      lo = zeltools::TagValue(tag, 0);
      hi = zeltools::TagValue(tag, 0xFFFFFFFFu);
      step = std::max(std::fabs(tag.scale), 0.001);
      break;
    case zeltools::ValueType::Float32:
      lo = -std::numeric_limits<float>::max() * std::fabs(tag.scale) + tag.offset;
      hi = std::numeric_limits<float>::max() * std::fabs(tag.scale) + tag.offset;
      break;
  }
  c["command_topic"] = topics.Set(tag.line, tag.name);
  c["min"] = std::min(lo, hi);
  c["max"] = std::max(lo, hi);
  c["step"] = step;
  c["mode"] = "box";
  return {ConfigTopic(settings, "number", gateway, object), c.dump()};
}

Discovery StopDiscovery(std::string_view line, const MqttSettings& settings,
                        std::string_view gateway, std::string_view version) {
  const Topics topics{settings.prefix};
  const std::string object = DiscoveryId(std::string(line)) + "_STOP";
  const json c = {
      {"name", std::string(line) + " $STOP"},
      {"unique_id", "zelgw_" + DiscoveryId(std::string(gateway)) + "_" + object},
      {"object_id", object},
      {"state_topic", topics.Value(line, kStopTag)},
      {"command_topic", topics.Set(line, kStopTag)},
      {"value_template", "{{ value_json.value }}"},
      {"payload_on", "1"},
      {"payload_off", "0"},
      {"state_on", "1"},
      {"state_off", "0"},
      {"availability", json::array({Availability(settings, gateway)})},
      {"device", Device(gateway, version)},
  };
  return {ConfigTopic(settings, "switch", gateway, object), c.dump()};
}

}  // namespace zelgw::mqtt
