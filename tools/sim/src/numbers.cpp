#include "zelsim/numbers.h"

#include <charconv>

#include "zelsim/frame.h"

namespace zelsim {
namespace {

// The whole text as a number of the base, or nothing.
template <typename T>
std::optional<T> Whole(std::string_view text, int base) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

bool HasHexPrefix(std::string_view text) {
  return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

std::optional<std::uint32_t> ParseValue(std::string_view text) {
  if (HasHexPrefix(text)) {
    text.remove_prefix(2);
    if (text.size() > 8) return std::nullopt;
    return Whole<std::uint32_t>(text, 16);
  }
  const auto number = Whole<std::int64_t>(text, 10);
  if (!number || *number < INT32_MIN || *number > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*number);
}

std::optional<int> ParseVariableNumber(std::string_view text) {
  std::optional<int> number;
  if (HasHexPrefix(text)) {
    number = Whole<int>(text.substr(2), 16);
  } else {
    if (!text.empty() && text[0] == '$') text.remove_prefix(1);
    if (!text.empty() && text[0] == '-') return std::nullopt;
    number = Whole<int>(text, 10);
  }
  if (!number || *number < 0 || *number >= kVariableCount) return std::nullopt;
  return number;
}

}  // namespace zelsim
