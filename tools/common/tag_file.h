// The plant file: the serial lines to the remote computer and the tags, named
// process values on those lines, in TOML. zelgw runs from it; zelpoll --tags
// reads and writes by tag name with it.
//
//   tag_files = ["more-tags.toml"]   # optional: further files of [[tag]] only
//
//   [[line]]
//   name = "boiler"        # letters, digits, "_", "-", "."
//   port = "ttyUSB0"       # as the driver takes it, at most 11 characters
//   baud = 9600            # data_bits, parity, stop_bits, reply_timeout_ms too
//
//   [[tag]]
//   name = "TIC101.PV"
//   line = "boiler"        # may be left out when there is one line
//   variable = 101         # 0..99999
//   unit = "degC"
//   scale = 0.1            # value = raw * scale + offset
//   writable = false
//   poll_ms = 1000         # 0: not polled, read on demand
//
// Every error names the file, the line in it and the key.
#pragma once

#include <toml++/toml.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zeltools {

struct ConfigError {
  std::string file;
  int line = 0;  // 0: not known
  int column = 0;
  std::string key;  // dotted path, as "line[2].baud"
  std::string message;

  // "file:line:column: key: message"
  std::string Text() const;
};

// Reads the keys of one TOML table with their types and ranges, collecting
// errors; Finish() reports every key that nobody asked for.
class TableReader {
 public:
  TableReader(const toml::table& table, std::string path, std::string file,
              std::vector<ConfigError>& errors);

  std::optional<std::string> String(std::string_view key, bool required = false);
  std::optional<std::int64_t> Integer(std::string_view key, std::int64_t min, std::int64_t max,
                                      bool required = false);
  std::optional<double> Number(std::string_view key, bool required = false);
  std::optional<bool> Boolean(std::string_view key);
  // One of the texts of choices; the value paired with it.
  std::optional<int> Choice(std::string_view key,
                            std::initializer_list<std::pair<std::string_view, int>> choices);
  const toml::table* Table(std::string_view key);
  const toml::array* Array(std::string_view key);
  // A key that is read elsewhere: not reported by Finish().
  void Skip(std::string_view key);
  // Reports the keys not asked for (strict), or forgets them.
  void Finish(bool strict = true);

  void Error(std::string_view key, std::string message);
  void ErrorAt(const toml::node& node, std::string_view key, std::string message);
  std::string Path(std::string_view key) const;
  const std::string& file() const { return file_; }
  const toml::table& table() const { return table_; }
  int line() const;

 private:
  const toml::node* Get(std::string_view key);

  const toml::table& table_;
  std::string path_;
  std::string file_;
  std::vector<ConfigError>& errors_;
  std::vector<std::string> seen_;
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
  int maxGap = 4;             // unread variables a block read may span between two wanted ones
  int reopenAfter = 3;        // failed transfers in a row before the port is reopened
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

struct PlantReadOptions {
  // Unknown keys are errors; otherwise they are passed over (zelpoll reads
  // a gateway's file without knowing the gateway's keys).
  bool strict = true;
  // Top-level keys, and sub-tables of [[line]] and [[tag]], that the caller
  // reads itself (zelgw: "modbus", "http", ...).
  std::vector<std::string> topLevelKeys;
  std::vector<std::string> lineSections;
  std::vector<std::string> tagSections;
  // Called for each [[tag]] table once its own keys are read, with its
  // reader, so that a caller reads the sub-tables it owns (as [tag.mqtt]).
  std::function<void(TableReader& table, const PlantTag& tag)> onTag;
};

// Parses a TOML file; a syntax error or an unreadable file is one error.
std::optional<toml::table> ParseTomlFile(const std::string& path, std::vector<ConfigError>& errors);

// Reads a whole file that is a regular file of at most maxBytes, without
// blocking on a FIFO or a device: the reason when it cannot ("is a
// directory, not a regular file", "is larger than 65536 bytes", the
// system's reason), none when text holds it.
std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes,
                                           std::string& text);

// The most a configuration or tag file may hold.
inline constexpr std::size_t kMaxConfigFileBytes = std::size_t{16} * 1024 * 1024;

// Reads [[line]], [[tag]] and the tag files named by tag_files (relative to
// the file's folder) from a parsed file, with every error found.
PlantFile ReadPlant(const toml::table& document, const std::string& file,
                    const PlantReadOptions& options, std::vector<ConfigError>& errors);

// Parses and reads a plant file in one step.
PlantFile ReadPlantFile(const std::string& path, const PlantReadOptions& options,
                        std::vector<ConfigError>& errors);

// The tag's value in its units, from the variable's 32 bits.
double TagValue(const PlantTag& tag, std::uint32_t raw);
// The variable's 32 bits for a value in the tag's units; none when the value
// does not fit the tag's type.
std::optional<std::uint32_t> TagRaw(const PlantTag& tag, double value);

const char* ValueTypeName(ValueType type);

}  // namespace zeltools
