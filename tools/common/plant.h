// What a tag file describes (tag_file.h reads it): the serial lines to the
// remote computer and the tags, named process values on those lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zeltools {

// A mistake found in a tag file or a configuration file.
struct ConfigError {
  std::string file;
  int line = 0;  // 0: not known
  int column = 0;
  std::string key;  // dotted path, as "line[2].baud"
  std::string message;

  // "file:line:column: key: message"
  std::string Text() const;
};

enum class ValueType { Int32, Uint32, Float32 };

struct PlantLine {
  std::string name;
  std::string port;           // at most 11 characters
  int baud = 9600;            // 1..65535
  int dataBits = 8;           // 5..8
  int parity = 0;             // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits = 0;           // 0 one, 1 one and a half, 2 two
  int replyTimeoutMs = 1200;  // the driver waits at least 1200 ms
  // The most unread variables a block read may span between two wanted ones;
  // none: as many as make the reads cheapest.
  std::optional<int> maxGap;
  int turnaroundMs = 10;  // the remote's turnaround assumed until it is measured
  int reopenAfter = 3;    // failed transfers in a row before the port is reopened
  int reopenPauseMaxSeconds = 30;
  int sourceLine = 0;
};

struct PlantTag {
  std::string name;
  std::string line;
  std::string unit;
  std::string description;
  int variable = 0;
  ValueType type = ValueType::Int32;
  double scale = 1;
  double offset = 0;
  bool writable = false;
  int pollMs = 1000;  // 0: not polled
  std::string file;   // where it was defined
  int sourceLine = 0;
};

struct PlantFile {
  std::vector<PlantLine> lines;
  std::vector<PlantTag> tags;

  const PlantLine* FindLine(std::string_view name) const;
  const PlantTag* FindTag(std::string_view name) const;
};

// The tag's value in its units, from the variable's 32 bits.
double TagValue(const PlantTag& tag, std::uint32_t raw);
// The variable's 32 bits for a value in the tag's units; none when the value
// does not fit the tag's type.
std::optional<std::uint32_t> TagRaw(const PlantTag& tag, double value);

const char* ValueTypeName(ValueType type);

}  // namespace zeltools
