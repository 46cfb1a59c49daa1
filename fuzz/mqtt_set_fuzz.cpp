// MQTT set messages of any bytes: topic, response topic and payload, read as
// the gateway reads them, and the value taken on to the raw bits a write
// sends, for tags of every type. Checks, besides the sanitizers:
// - only <prefix>/<line>/<tag>/set is a set topic;
// - the answer never goes to a set topic, a wildcard topic, or under the
//   prefix other than to the request's own .../set/result;
// - a value taken is finite (0 or 1 for $STOP), and the answer that carries
//   it is not a set message itself;
// - the raw bits of a value that fits a tag read back as that value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "mqtt/mqtt_payload.h"
#include "tag_file.h"

namespace {

using zelgw::Status;
namespace mqtt = zelgw::mqtt;

constexpr std::string_view kPrefix = "plant/site";
constexpr std::string_view kGateway = "gw1";
constexpr std::string_view kDiscovery = "homeassistant";

void Require(bool ok) {
  if (!ok) std::abort();
}

bool Under(std::string_view topic, std::string_view root) {
  return topic == root ||
         (topic.size() > root.size() && topic.starts_with(root) && topic[root.size()] == '/');
}

zeltools::PlantTag Tag(zeltools::ValueType type, double scale, double offset) {
  zeltools::PlantTag tag;
  tag.name = "T";
  tag.line = "boiler";
  tag.type = type;
  tag.scale = scale;
  tag.offset = offset;
  tag.writable = true;
  return tag;
}

void CheckRaw(const zeltools::PlantTag& tag, double value) {
  const auto raw = zeltools::TagRaw(tag, value);
  if (!raw) return;
  const double back = zeltools::TagValue(tag, *raw);
  Require(std::isfinite(back));
  // Integers round to the nearest step; float32 keeps 24 bits.
  const double step = tag.type == zeltools::ValueType::Float32
                          ? std::fabs(value - tag.offset) * 1e-6 + std::fabs(tag.scale) * 1e-30
                          : std::fabs(tag.scale) * 0.5;
  Require(std::fabs(back - value) <=
          step * (1 + 1e-9) + (std::fabs(value) + std::fabs(tag.offset)) * 1e-12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // topic NUL response-topic NUL payload (the payload may hold NULs).
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find('\0');
  if (first == std::string_view::npos) return 0;
  const std::size_t second = input.find('\0', first + 1);
  if (second == std::string_view::npos) return 0;
  const std::string_view topic = input.substr(0, first);
  const std::string_view response = input.substr(first + 1, second - first - 1);
  const std::string_view payload = input.substr(second + 1);

  const mqtt::Topics topics{std::string(kPrefix)};
  const auto request = mqtt::ReadSetMessage(topic, payload, response, topics, kGateway, kDiscovery);
  Require(request.has_value() == mqtt::ParseSetTopic(kPrefix, topic).has_value());
  Require(topic.ends_with("/set") || !request);
  // The payload alone, as a value of a tag and of $STOP.
  for (const bool stop : {false, true}) {
    const auto value = mqtt::ParseSetValue(payload, stop);
    if (const double* v = std::get_if<double>(&value)) {
      Require(std::isfinite(*v));
      Require(!stop || *v == 0 || *v == 1);
    }
  }
  if (!request) return 0;

  const std::string own = topics.Result(request->line, request->tag);
  const std::string_view answer = request->answerTopic;
  Require(!answer.empty());
  Require(answer.find_first_of("+#") == std::string_view::npos);
  Require(!answer.ends_with("/set") && answer != "set");
  Require(answer == own || (!Under(answer, kPrefix) && !Under(answer, kDiscovery)));
  Require(request->responseRefused == (!response.empty() && answer != response));
  Require(request->value.has_value() == request->reason.empty());
  Require(request->stop == (request->tag == mqtt::kStopTag));

  for (const Status status : {Status::Ok, Status::Failed, Status::Rejected}) {
    const std::string text =
        mqtt::AnswerPayload(request->line, request->tag, request->value, status, request->reason);
    Require(std::holds_alternative<std::string>(mqtt::ParseSetValue(text, request->stop)));
  }
  if (!request->value) return 0;
  const double v = *request->value;
  Require(std::isfinite(v));
  Require(!request->stop || v == 0 || v == 1);
  for (const auto& tag :
       {Tag(zeltools::ValueType::Int32, 0.1, 0), Tag(zeltools::ValueType::Int32, -2.5, 100),
        Tag(zeltools::ValueType::Uint32, 1, 0), Tag(zeltools::ValueType::Uint32, 0.001, -5),
        Tag(zeltools::ValueType::Float32, 1, 0), Tag(zeltools::ValueType::Float32, 0.5, 3)})
    CheckRaw(tag, v);
  return 0;
}
