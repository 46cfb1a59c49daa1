#include "plant.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace zeltools {

std::string ConfigError::Text() const {
  std::string out = file;
  if (line > 0) out += ":" + std::to_string(line) + ":" + std::to_string(column);
  out += ": ";
  if (!key.empty()) out += key + ": ";
  return out + message;
}

const PlantLine* PlantFile::FindLine(std::string_view name) const {
  for (const PlantLine& line : lines) {
    if (line.name == name) return &line;
  }
  return nullptr;
}

const PlantTag* PlantFile::FindTag(std::string_view name) const {
  for (const PlantTag& tag : tags) {
    if (tag.name == name) return &tag;
  }
  return nullptr;
}

double TagValue(const PlantTag& tag, std::uint32_t raw) {
  double v = 0;
  switch (tag.type) {
    case ValueType::Int32:
      v = static_cast<std::int32_t>(raw);
      break;
    case ValueType::Uint32:
      v = raw;
      break;
    case ValueType::Float32: {
      float f;
      std::memcpy(&f, &raw, sizeof f);
      v = f;
      break;
    }
  }
  return v * tag.scale + tag.offset;
}

std::optional<std::uint32_t> TagRaw(const PlantTag& tag, double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double v = (value - tag.offset) / tag.scale;
  switch (tag.type) {
    case ValueType::Int32: {
      const double r = std::nearbyint(v);
      if (r < std::numeric_limits<std::int32_t>::min() ||
          r > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
      return static_cast<std::uint32_t>(static_cast<std::int32_t>(r));
    }
    case ValueType::Uint32: {
      const double r = std::nearbyint(v);
      if (r < 0 || r > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
      return static_cast<std::uint32_t>(r);
    }
    case ValueType::Float32: {
      if (std::fabs(v) > std::numeric_limits<float>::max()) return std::nullopt;
      const float f = static_cast<float>(v);
      std::uint32_t raw;
      std::memcpy(&raw, &f, sizeof raw);
      return raw;
    }
  }
  return std::nullopt;
}

const char* ValueTypeName(ValueType type) {
  switch (type) {
    case ValueType::Int32:
      return "int32";
    case ValueType::Uint32:
      return "uint32";
    case ValueType::Float32:
      return "float32";
  }
  return "int32";
}

}  // namespace zeltools
