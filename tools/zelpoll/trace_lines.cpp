#include "trace_lines.h"

#include <cctype>
#include <charconv>

namespace zelpoll {
namespace {

// A decimal number at the start of text; its length goes to used.
std::optional<int> Number(std::string_view text, std::size_t* used) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  *used = static_cast<std::size_t>(end - text.data());
  return value;
}

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<AttemptLine> ParseAttemptLine(std::string_view line) {
  constexpr std::string_view kTag = " zelqd attempt ";
  const auto tag = line.find(kTag);
  if (tag == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(tag + kTag.size());
  AttemptLine a;
  std::size_t used = 0;
  const auto number = Number(rest, &used);
  if (!number || used >= rest.size() || rest[used] != '/') return std::nullopt;
  rest.remove_prefix(used + 1);
  const auto of = Number(rest, &used);
  if (!of) return std::nullopt;
  a.number = *number;
  a.of = *of;

  // The outcome closes the line; the quoted bytes before it never hold a
  // reason, but they may hold " -> " themselves, so look from the end.
  line = TrimEnd(line);
  const auto arrow = line.rfind(" -> ");
  if (arrow == std::string_view::npos || arrow < tag) return a;
  const std::string_view outcome = line.substr(arrow + 4);
  if (outcome == "ok") {
    a.ok = true;
  } else if (outcome.starts_with("failed")) {
    std::string_view reason = outcome.substr(6);
    if (reason.starts_with(": ")) reason.remove_prefix(2);
    a.reason = std::string(reason);
  }
  return a;
}

std::optional<OpenFailureLine> ParseOpenFailureLine(std::string_view line) {
  constexpr std::string_view kTag = " zelqd open \"";
  constexpr std::string_view kFailed = "\" failed: ";
  const auto tag = line.find(kTag);
  if (tag == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(tag + kTag.size());
  const auto failed = rest.find(kFailed);
  if (failed == std::string_view::npos) return std::nullopt;
  OpenFailureLine f;
  f.name = std::string(rest.substr(0, failed));
  rest = TrimEnd(rest.substr(failed + kFailed.size()));

  if (const auto colon = rest.find(": "); colon != std::string_view::npos) {
    f.step = std::string(rest.substr(0, colon));
    rest.remove_prefix(colon + 2);
  }
  // The code in brackets closes the line: "(errno 2)" or "(error 5)".
  if (rest.ends_with(")")) {
    const auto open = rest.rfind(" (");
    if (open != std::string_view::npos) {
      std::string_view code = rest.substr(open + 2, rest.size() - open - 3);
      const bool posix = code.starts_with("errno ");
      const bool win32 = code.starts_with("error ");
      std::size_t used = 0;
      if (posix || win32) {
        code.remove_prefix(6);
        if (const auto n = Number(code, &used); n && used == code.size()) {
          f.code = *n;
          f.win32 = win32;
          rest = rest.substr(0, open);
        }
      }
    }
  }
  f.text = std::string(rest);
  if (f.step.empty()) f.step = "open";
  return f;
}

std::string FailureNote(const std::vector<AttemptLine>& attempts) {
  if (attempts.empty()) return {};
  const AttemptLine& last = attempts.back();
  const std::string reason = last.reason.empty() ? "reason not recorded" : last.reason;
  bool same = true;
  for (const AttemptLine& a : attempts) same = same && !a.ok && a.reason == last.reason;
  if (same && attempts.size() > 1)
    return reason + ", all " + std::to_string(attempts.size()) + " attempts";
  return reason + " (attempt " + std::to_string(last.number) + "/" + std::to_string(last.of) + ")";
}

bool LineGone(const std::string& reason) {
  for (const char* word : {"short write", "hang-up", "hangup", "hung up"}) {
    if (reason.find(word) != std::string::npos) return true;
  }
  return false;
}

}  // namespace zelpoll
