#include "tag_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>

namespace zeltools {
namespace {

bool NameCharacters(std::string_view name, std::string_view extra) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [extra](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           extra.find(c) != std::string_view::npos;
  });
}

const char* TypeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a number";
    case toml::node_type::boolean:
      return "true or false";
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    default:
      return "a date or time";
  }
}

bool Contains(const std::vector<std::string>& list, std::string_view key) {
  return std::find(list.begin(), list.end(), key) != list.end();
}

}  // namespace

TableReader::TableReader(const toml::table& table, std::string path, std::string file,
                         std::vector<ConfigError>& errors)
    : table_(table), path_(std::move(path)), file_(std::move(file)), errors_(errors) {}

int TableReader::line() const { return static_cast<int>(table_.source().begin.line); }

std::string TableReader::Path(std::string_view key) const {
  if (path_.empty()) return std::string(key);
  if (key.empty()) return path_;
  return path_ + "." + std::string(key);
}

void TableReader::Error(std::string_view key, std::string message) {
  // At the key's value when the table has it, at the table otherwise.
  const toml::node* node = key.empty() ? nullptr : table_.get(key);
  const auto& begin = node != nullptr ? node->source().begin : table_.source().begin;
  errors_.push_back({file_, static_cast<int>(begin.line), static_cast<int>(begin.column), Path(key),
                     std::move(message)});
}

void TableReader::ErrorAt(const toml::node& node, std::string_view key, std::string message) {
  const auto& begin = node.source().begin;
  errors_.push_back({file_, static_cast<int>(begin.line), static_cast<int>(begin.column), Path(key),
                     std::move(message)});
}

const toml::node* TableReader::Get(std::string_view key) {
  seen_.emplace_back(key);
  return table_.get(key);
}

void TableReader::Skip(std::string_view key) { seen_.emplace_back(key); }

std::optional<std::string> TableReader::String(std::string_view key, bool required) {
  const toml::node* node = Get(key);
  if (node == nullptr) {
    if (required) Error(key, "missing (a string)");
    return std::nullopt;
  }
  if (!node->is_string()) {
    ErrorAt(*node, key, std::string("must be a string, not ") + TypeName(*node));
    return std::nullopt;
  }
  return node->value<std::string>();
}

std::optional<std::int64_t> TableReader::Integer(std::string_view key, std::int64_t min,
                                                 std::int64_t max, bool required) {
  const toml::node* node = Get(key);
  if (node == nullptr) {
    if (required) Error(key, "missing (an integer)");
    return std::nullopt;
  }
  if (!node->is_integer()) {
    ErrorAt(*node, key, std::string("must be an integer, not ") + TypeName(*node));
    return std::nullopt;
  }
  const std::int64_t value = *node->value<std::int64_t>();
  if (value < min || value > max) {
    ErrorAt(*node, key,
            std::to_string(value) + " is out of range " + std::to_string(min) + ".." +
                std::to_string(max));
    return std::nullopt;
  }
  return value;
}

std::optional<double> TableReader::Number(std::string_view key, bool required) {
  const toml::node* node = Get(key);
  if (node == nullptr) {
    if (required) Error(key, "missing (a number)");
    return std::nullopt;
  }
  if (!node->is_number()) {
    ErrorAt(*node, key, std::string("must be a number, not ") + TypeName(*node));
    return std::nullopt;
  }
  const double value = *node->value<double>();
  if (!std::isfinite(value)) {
    ErrorAt(*node, key, "must be a finite number");
    return std::nullopt;
  }
  return value;
}

std::optional<bool> TableReader::Boolean(std::string_view key) {
  const toml::node* node = Get(key);
  if (node == nullptr) return std::nullopt;
  if (!node->is_boolean()) {
    ErrorAt(*node, key, std::string("must be true or false, not ") + TypeName(*node));
    return std::nullopt;
  }
  return node->value<bool>();
}

std::optional<int> TableReader::Choice(
    std::string_view key, std::initializer_list<std::pair<std::string_view, int>> choices) {
  const toml::node* node = Get(key);
  if (node == nullptr) return std::nullopt;
  std::string names;
  for (const auto& [name, value] : choices) {
    if (!names.empty()) names += ", ";
    names += std::string(name);
  }
  // A number is also taken when its text is among the choices (stop_bits = 2).
  std::string text;
  if (node->is_string()) {
    text = *node->value<std::string>();
  } else if (node->is_integer()) {
    text = std::to_string(*node->value<std::int64_t>());
  } else if (node->is_floating_point()) {
    const double v = *node->value<double>();
    text = v == 1.5 ? "1.5" : std::to_string(v);
  }
  for (const auto& [name, value] : choices) {
    if (text == name) return value;
  }
  ErrorAt(*node, key, "must be one of " + names);
  return std::nullopt;
}

const toml::table* TableReader::Table(std::string_view key) {
  const toml::node* node = Get(key);
  if (node == nullptr) return nullptr;
  if (!node->is_table()) {
    ErrorAt(*node, key, std::string("must be a table, not ") + TypeName(*node));
    return nullptr;
  }
  return node->as_table();
}

const toml::array* TableReader::Array(std::string_view key) {
  const toml::node* node = Get(key);
  if (node == nullptr) return nullptr;
  if (!node->is_array()) {
    ErrorAt(*node, key, std::string("must be an array, not ") + TypeName(*node));
    return nullptr;
  }
  return node->as_array();
}

void TableReader::Finish(bool strict) {
  if (!strict) return;
  for (const auto& [key, node] : table_) {
    if (!Contains(seen_, key.str())) ErrorAt(node, key.str(), "unknown key");
  }
}

std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes,
                                           std::string& text) {
  text.clear();
  // O_NONBLOCK: opening a FIFO does not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::string(std::strerror(errno));
  struct stat st {};
  std::optional<std::string> why;
  if (::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "not a file";
    why = std::string("is ") + kind + ", not a regular file";
  } else if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
    why = "is larger than " + std::to_string(maxBytes) + " bytes";
  } else {
    // At most one byte more than allowed: a file that grows meanwhile is
    // still caught.
    text.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        why = std::strerror(errno);
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
      if (got == text.size() && got <= maxBytes) text.resize(std::min(maxBytes + 1, got * 2));
    }
    if (!why && got > maxBytes) why = "is larger than " + std::to_string(maxBytes) + " bytes";
    text.resize(why ? 0 : got);
  }
  ::close(fd);
  return why;
}

std::optional<toml::table> ParseTomlFile(const std::string& path,
                                         std::vector<ConfigError>& errors) {
  std::string text;
  if (auto why = ReadRegularFile(path, kMaxConfigFileBytes, text)) {
    errors.push_back({path, 0, 0, "", "cannot be read: " + *why});
    return std::nullopt;
  }
  try {
    return toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    const auto& begin = e.source().begin;
    errors.push_back({path, static_cast<int>(begin.line), static_cast<int>(begin.column), "",
                      std::string(e.description())});
    return std::nullopt;
  }
}

namespace {

PlantLine ReadLine(TableReader& r, const PlantReadOptions& options) {
  PlantLine line;
  line.sourceLine = r.line();
  if (auto name = r.String("name", true)) {
    if (!NameCharacters(*name, "_-.") || name->size() > 64)
      r.Error("name", "\"" + *name + "\": use 1 to 64 letters, digits, \"_\", \"-\" or \".\"");
    line.name = *name;
  }
  if (auto port = r.String("port", true)) {
    // The driver takes names of at most 11 characters; /dev/ may be left out.
    std::string p = *port;
    if (p.size() > 11 && p.starts_with("/dev/")) p.erase(0, 5);
    if (p.empty() || p.size() > 11) {
      r.Error("port", "\"" + *port +
                          "\" is longer than 11 characters (after /dev/); link the device to a "
                          "shorter name");
    }
    line.port = p;
  }
  if (auto v = r.Integer("baud", 1, 65535)) line.baud = static_cast<int>(*v);
  if (auto v = r.Integer("data_bits", 5, 8)) line.dataBits = static_cast<int>(*v);
  if (auto v =
          r.Choice("parity", {{"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}}))
    line.parity = *v;
  if (auto v = r.Choice("stop_bits", {{"1", 0}, {"1.5", 1}, {"2", 2}})) line.stopBits = *v;
  if (auto v = r.Integer("reply_timeout_ms", 10, 600000))
    line.replyTimeoutMs = static_cast<int>(*v);
  if (auto v = r.Integer("max_gap", 0, 105)) line.maxGap = static_cast<int>(*v);
  if (auto v = r.Integer("turnaround_ms", 0, 10000)) line.turnaroundMs = static_cast<int>(*v);
  if (auto v = r.Integer("reopen_after", 1, 1000)) line.reopenAfter = static_cast<int>(*v);
  if (auto v = r.Integer("reopen_pause_max_s", 1, 3600))
    line.reopenPauseMaxSeconds = static_cast<int>(*v);
  for (const std::string& section : options.lineSections) r.Skip(section);
  r.Finish(options.strict);
  return line;
}

PlantTag ReadTag(TableReader& r, const PlantReadOptions& options) {
  PlantTag tag;
  tag.sourceLine = r.line();
  tag.file = r.file();
  if (auto name = r.String("name", true)) {
    if (!NameCharacters(*name, "_-.:") || name->size() > 64)
      r.Error("name",
              "\"" + *name + "\": use 1 to 64 letters, digits, \"_\", \"-\", \".\" or \":\"");
    tag.name = *name;
  }
  if (auto v = r.String("line")) tag.line = *v;
  if (auto v = r.Integer("variable", 0, 99999, true)) tag.variable = static_cast<int>(*v);
  if (auto v = r.Choice("type", {{"int32", 0}, {"uint32", 1}, {"float32", 2}}))
    tag.type = static_cast<ValueType>(*v);
  if (auto v = r.String("unit")) tag.unit = *v;
  if (auto v = r.String("description")) tag.description = *v;
  if (auto v = r.Number("scale")) {
    if (*v == 0) r.Error("scale", "must not be 0");
    tag.scale = *v;
  }
  if (auto v = r.Number("offset")) tag.offset = *v;
  if (auto v = r.Boolean("writable")) tag.writable = *v;
  if (auto v = r.Integer("poll_ms", 0, 86400000)) {
    if (*v != 0 && *v < 10) r.Error("poll_ms", "must be 0 (not polled) or at least 10");
    tag.pollMs = static_cast<int>(*v);
  }
  for (const std::string& section : options.tagSections) r.Skip(section);
  if (options.onTag) options.onTag(r, tag);
  r.Finish(options.strict);
  return tag;
}

// Reads the [[tag]] array of a document into plant.
void ReadTags(const toml::table& document, const std::string& file, TableReader& top,
              const PlantReadOptions& options, PlantFile& plant, std::vector<ConfigError>& errors) {
  const toml::array* tags = top.Array("tag");
  if (tags == nullptr) return;
  for (std::size_t i = 0; i < tags->size(); ++i) {
    const std::string path = "tag[" + std::to_string(i + 1) + "]";
    const toml::node& node = (*tags)[i];
    if (!node.is_table()) {
      top.ErrorAt(node, path, "must be a table ([[tag]])");
      continue;
    }
    TableReader r(*node.as_table(), path, file, errors);
    plant.tags.push_back(ReadTag(r, options));
  }
  (void)document;
}

}  // namespace

PlantFile ReadPlant(const toml::table& document, const std::string& file,
                    const PlantReadOptions& options, std::vector<ConfigError>& errors) {
  PlantFile plant;
  TableReader top(document, "", file, errors);
  if (const toml::array* lines = top.Array("line")) {
    for (std::size_t i = 0; i < lines->size(); ++i) {
      const std::string path = "line[" + std::to_string(i + 1) + "]";
      const toml::node& node = (*lines)[i];
      if (!node.is_table()) {
        top.ErrorAt(node, path, "must be a table ([[line]])");
        continue;
      }
      TableReader r(*node.as_table(), path, file, errors);
      plant.lines.push_back(ReadLine(r, options));
    }
  }
  ReadTags(document, file, top, options, plant, errors);

  // Further tag files, relative to this file's folder.
  std::vector<std::string> tagFiles;
  if (const toml::node* node = document.get("tag_files"); node != nullptr && node->is_string()) {
    top.Skip("tag_files");
    tagFiles.push_back(*node->value<std::string>());
  } else if (const toml::array* list = top.Array("tag_files")) {
    for (const toml::node& item : *list) {
      if (item.is_string()) {
        tagFiles.push_back(*item.value<std::string>());
      } else {
        top.ErrorAt(item, "tag_files", "must name files (strings)");
      }
    }
  }
  for (const std::string& key : options.topLevelKeys) top.Skip(key);
  top.Finish(options.strict);
  const std::filesystem::path folder = std::filesystem::path(file).parent_path();
  for (const std::string& name : tagFiles) {
    const std::string path = std::filesystem::path(name).is_absolute()
                                 ? name
                                 : (folder / name).lexically_normal().string();
    const auto more = ParseTomlFile(path, errors);
    if (!more) continue;
    TableReader r(*more, "", path, errors);
    ReadTags(*more, path, r, options, plant, errors);
    r.Finish(options.strict);
  }

  // Names and ports are unique; a tag names a line there is (or the only one).
  std::set<std::string> lineNames, ports;
  for (const PlantLine& line : plant.lines) {
    if (!line.name.empty() && !lineNames.insert(line.name).second)
      errors.push_back(
          {file, line.sourceLine, 1, "line.name", "\"" + line.name + "\" names two lines"});
    if (!line.port.empty() && !ports.insert(line.port).second)
      errors.push_back({file, line.sourceLine, 1, "line.port",
                        "port \"" + line.port + "\" is given to two lines"});
  }
  std::set<std::string> tagNames;
  for (PlantTag& tag : plant.tags) {
    if (!tag.name.empty() && !tagNames.insert(tag.name).second)
      errors.push_back(
          {tag.file, tag.sourceLine, 1, "tag.name", "\"" + tag.name + "\" names two tags"});
    if (plant.lines.empty()) continue;
    if (tag.line.empty()) {
      if (plant.lines.size() == 1) {
        tag.line = plant.lines.front().name;
      } else {
        errors.push_back({tag.file, tag.sourceLine, 1, "tag.line",
                          "missing: tag \"" + tag.name + "\" must name its line"});
      }
    } else if (plant.FindLine(tag.line) == nullptr) {
      errors.push_back({tag.file, tag.sourceLine, 1, "tag.line",
                        "tag \"" + tag.name + "\" names no line: \"" + tag.line + "\""});
    }
  }
  return plant;
}

PlantFile ReadPlantFile(const std::string& path, const PlantReadOptions& options,
                        std::vector<ConfigError>& errors) {
  const auto document = ParseTomlFile(path, errors);
  if (!document) return {};
  return ReadPlant(*document, path, options, errors);
}

}  // namespace zeltools
