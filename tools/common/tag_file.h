// The tag file in TOML: the serial lines to the remote computer and the
// tags, named process values on those lines (plant.h holds what it reads).
// zelgw runs from it; zelpoll --tags reads and writes by tag name with it.
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

#include "plant.h"

namespace zeltools {

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

// Parses and reads a tag file in one step.
PlantFile ReadPlantFile(const std::string& path, const PlantReadOptions& options,
                        std::vector<ConfigError>& errors);

}  // namespace zeltools
