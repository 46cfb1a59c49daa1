#include "zelsim/faults.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <stdexcept>

namespace zelsim {
namespace {

std::invalid_argument Bad(std::string_view text, const char* why) {
  return std::invalid_argument("bad fault rule \"" + std::string(text) + "\": " + why);
}

std::optional<std::int64_t> Integer(std::string_view text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end || value < 0) return std::nullopt;
  return value;
}

// "3,5-7,10-": numbers and inclusive ranges, the last one possibly open.
std::vector<Trigger::Range> Ranges(std::string_view whole, std::string_view list) {
  std::vector<Trigger::Range> ranges;
  while (true) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    const auto dash = item.find('-');
    const auto first = Integer(item.substr(0, dash));
    if (!first) throw Bad(whole, "expected a number or a range such as 5-7 or 10-");
    std::int64_t last = *first;
    if (dash != std::string_view::npos) {
      const std::string_view rest = item.substr(dash + 1);
      if (rest.empty()) {
        last = std::numeric_limits<std::int64_t>::max();
      } else if (const auto end = Integer(rest); end && *end >= *first) {
        last = *end;
      } else {
        throw Bad(whole, "a range runs from a smaller number to a larger one");
      }
    }
    ranges.push_back({*first, last});
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return ranges;
}

bool InRanges(const std::vector<Trigger::Range>& ranges, std::int64_t first, std::int64_t last) {
  for (const auto& r : ranges) {
    if (first <= r.last && last >= r.first) return true;
  }
  return false;
}

std::string RangesText(const std::vector<Trigger::Range>& ranges) {
  std::string out;
  for (const auto& r : ranges) {
    if (!out.empty()) out += ',';
    out += std::to_string(r.first);
    if (r.last == std::numeric_limits<std::int64_t>::max()) {
      out += '-';
    } else if (r.last != r.first) {
      out += '-' + std::to_string(r.last);
    }
  }
  return out;
}

}  // namespace

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::Silent:
      return "silent";
    case Fault::Error:
      return "error";
    case Fault::Drop:
      return "drop";
    case Fault::Corrupt:
      return "corrupt";
    case Fault::Delay:
      return "delay";
    case Fault::Split:
      return "split";
    case Fault::Garbage:
      return "garbage";
  }
  return "?";
}

Trigger Trigger::Parse(std::string_view text) {
  Trigger t;
  if (text == "never" || text == "off") return t;
  if (text == "always") {
    t.kind = Kind::Always;
    return t;
  }
  const auto colon = text.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view name = text.substr(0, colon);
    const std::string_view rest = text.substr(colon + 1);
    if (name == "req") {
      t.kind = Kind::Requests;
      t.ranges = Ranges(text, rest);
    } else if (name == "var") {
      t.kind = Kind::Variables;
      t.ranges = Ranges(text, rest);
    } else if (name == "every") {
      const auto n = Integer(rest);
      if (!n || *n == 0) throw Bad(text, "every: takes a count of 1 or more");
      t.kind = Kind::Every;
      t.every = static_cast<std::uint64_t>(*n);
    } else {
      throw Bad(text, "expected req:, var: or every:");
    }
    return t;
  }
  // A probability, as a fraction or a percentage.
  const bool percent = !text.empty() && text.back() == '%';
  const std::string number(percent ? text.substr(0, text.size() - 1) : text);
  char* end = nullptr;
  double p = std::strtod(number.c_str(), &end);
  if (number.empty() || end != number.c_str() + number.size())
    throw Bad(text, "expected never, always, a probability, req:, var: or every:");
  if (percent) p /= 100;
  if (!(p >= 0 && p <= 1)) throw Bad(text, "a probability lies between 0 and 1 (0% and 100%)");
  t.kind = Kind::Probability;
  t.probability = p;
  return t;
}

bool Trigger::Hits(std::uint64_t ordinal, int firstVariable, int lastVariable, double draw) const {
  switch (kind) {
    case Kind::Never:
      return false;
    case Kind::Always:
      return true;
    case Kind::Probability:
      return draw < probability;
    case Kind::Requests:
      return InRanges(ranges, static_cast<std::int64_t>(ordinal),
                      static_cast<std::int64_t>(ordinal));
    case Kind::Every:
      return ordinal % every == 0;
    case Kind::Variables:
      return firstVariable >= 0 && lastVariable >= firstVariable &&
             InRanges(ranges, firstVariable, lastVariable);
  }
  return false;
}

std::string Trigger::Describe() const {
  switch (kind) {
    case Kind::Never:
      return "never";
    case Kind::Always:
      return "always";
    case Kind::Probability: {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%g%%", probability * 100);
      return buffer;
    }
    case Kind::Requests:
      return "req:" + RangesText(ranges);
    case Kind::Every:
      return "every:" + std::to_string(every);
    case Kind::Variables:
      return "var:" + RangesText(ranges);
  }
  return "?";
}

bool FaultConfig::any() const {
  for (const auto& t : triggers) {
    if (t.active()) return true;
  }
  return false;
}

}  // namespace zelsim
