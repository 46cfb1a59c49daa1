#include "zelsim/values_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "zelsim/numbers.h"

namespace zelsim {

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
    if (!number) throw std::runtime_error(where + "bad variable number \"" + numberText + "\"");
    const auto value = ParseValue(valueText);
    if (!value) throw std::runtime_error(where + "bad value \"" + valueText + "\"");
    entries.emplace_back(*number, *value);
  }
  if (in.bad()) throw std::runtime_error(path + ": read failed");
  for (const auto& [number, value] : entries) table.Set(number, value);
}

void SaveValues(const std::string& path, const VariableTable& table) {
  const std::string temporary = path + ".tmp";
  std::FILE* out = std::fopen(temporary.c_str(), "w");
  if (out == nullptr) throw std::runtime_error(temporary + ": " + std::strerror(errno));
  std::fprintf(out, "# variable value\n");
  for (int v = 0; v < kVariableCount; ++v) {
    if (const std::uint32_t value = table.Get(v); value != 0)
      std::fprintf(out, "%d 0x%08X\n", v, value);
  }
  const bool written = std::ferror(out) == 0;
  if (std::fclose(out) != 0 || !written) {
    std::remove(temporary.c_str());
    throw std::runtime_error(temporary + ": write failed");
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(temporary.c_str());
    throw std::runtime_error(path + ": " + reason);
  }
}

}  // namespace zelsim
