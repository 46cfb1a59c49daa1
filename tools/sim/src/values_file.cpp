#include "zelsim/values_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "zelsim/numbers.h"

namespace zelsim {
namespace {

// Where a line's value stands, and the variable it sets.
struct Field {
  int number;
  std::size_t at;
  std::size_t length;
};

// The value field of a line that sets a variable; nothing for blank lines,
// comments and lines that do not parse (they are kept as they are).
std::optional<Field> ValueField(const std::string& line) {
  const std::size_t end = std::min(line.find('#'), line.size());
  const auto skipBlanks = [&](std::size_t i) {
    while (i < end && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    return i;
  };
  const auto skipWord = [&](std::size_t i) {
    while (i < end && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    return i;
  };
  const std::size_t numberAt = skipBlanks(0);
  const std::size_t numberEnd = skipWord(numberAt);
  const std::size_t valueAt = skipBlanks(numberEnd);
  const std::size_t valueEnd = skipWord(valueAt);
  if (numberAt == numberEnd || valueAt == valueEnd || skipBlanks(valueEnd) != end)
    return std::nullopt;
  const auto number = ParseVariableNumber(line.substr(numberAt, numberEnd - numberAt));
  if (!number || !ParseValue(line.substr(valueAt, valueEnd - valueAt))) return std::nullopt;
  return Field{*number, valueAt, valueEnd - valueAt};
}

// How a value was written.
struct ValueForm {
  enum Kind { Signed, Unsigned, Hex } kind = Signed;
  std::size_t digits = 1;  // hex: at least this many
  bool upper = true;       // hex: the case of the letters
  std::string prefix;      // hex: "0x" or "0X"
};

ValueForm FormOf(const std::string& token) {
  ValueForm form;
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    form.kind = ValueForm::Hex;
    form.prefix = token.substr(0, 2);
    form.digits = token.size() - 2;
    form.upper = token.find_first_of("abcdef", 2) == std::string::npos;
  } else if (token[0] != '-' && *ParseValue(token) > 0x7FFFFFFFu) {
    form.kind = ValueForm::Unsigned;  // written above 2147483647: unsigned
  }
  return form;
}

std::string Written(std::uint32_t value, const ValueForm& form) {
  char text[32];
  switch (form.kind) {
    case ValueForm::Signed:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(static_cast<std::int32_t>(value)));
      break;
    case ValueForm::Unsigned:
      std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
      break;
    case ValueForm::Hex:
      std::snprintf(text, sizeof text, form.upper ? "%s%0*X" : "%s%0*x", form.prefix.c_str(),
                    static_cast<int>(form.digits), static_cast<unsigned>(value));
      break;
  }
  return text;
}

}  // namespace

void LoadValues(const std::string& path, VariableTable& table) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path + ": " + std::strerror(errno));
  std::vector<std::pair<int, std::uint32_t>> entries;
  std::string line;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    std::string numberText, valueText, extra;
    if (!(fields >> numberText)) continue;  // blank or comment only
    const auto where = path + ":" + std::to_string(lineNumber) + ": ";
    if (!(fields >> valueText) || (fields >> extra))
      throw std::runtime_error(where + "expected \"number value\"");
    const auto number = ParseVariableNumber(numberText);
    // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once, on failure.
    if (!number) throw std::runtime_error(where + "bad variable number \"" + numberText + "\"");
    const auto value = ParseValue(valueText);
    // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once, on failure.
    if (!value) throw std::runtime_error(where + "bad value \"" + valueText + "\"");
    entries.emplace_back(*number, *value);
  }
  if (in.bad()) throw std::runtime_error(path + ": read failed");
  for (const auto& [number, value] : entries) table.Set(number, value);
}

void SaveValues(const std::string& path, const VariableTable& table) {
  // The file as it is now; a missing file starts empty.
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  std::vector<bool> listed(kVariableCount, false);
  int hexLines = 0, decimalLines = 0;
  for (std::string& line : lines) {
    const auto field = ValueField(line);
    if (!field) continue;
    listed[static_cast<std::size_t>(field->number)] = true;
    const std::string token = line.substr(field->at, field->length);
    const ValueForm form = FormOf(token);
    ++(form.kind == ValueForm::Hex ? hexLines : decimalLines);
    line.replace(field->at, field->length, Written(table.Get(field->number), form));
  }

  const std::string temporary = path + ".tmp";
  std::FILE* out = std::fopen(temporary.c_str(), "w");
  if (out == nullptr) throw std::runtime_error(temporary + ": " + std::strerror(errno));
  if (lines.empty()) std::fprintf(out, "# variable value\n");
  for (const std::string& line : lines) std::fprintf(out, "%s\n", line.c_str());
  const ValueForm added =
      hexLines > decimalLines ? ValueForm{ValueForm::Hex, 8, true, "0x"} : ValueForm{};
  for (int v = 0; v < kVariableCount; ++v) {
    const std::uint32_t value = table.Get(v);
    if (value != 0 && !listed[static_cast<std::size_t>(v)])
      std::fprintf(out, "%d %s\n", v, Written(value, added).c_str());
  }
  const bool written = std::ferror(out) == 0;
  if (std::fclose(out) != 0 || !written) {
    (void)std::remove(temporary.c_str());  // best effort: the failure is reported below
    throw std::runtime_error(temporary + ": write failed");
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    (void)std::remove(temporary.c_str());  // best effort: the failure is reported below
    throw std::runtime_error(path + ": " + reason);
  }
}

}  // namespace zelsim
