#include "core/health_json.h"

#include <cstdio>
#include <ctime>

namespace zelgw {

nlohmann::json LineHealthJson(const LineHealth& l) {
  using nlohmann::json;
  static const char* const kKinds[] = {"read", "write"};
  json transfers;
  for (int k = 0; k < 2; ++k)
    transfers[kKinds[k]] = {
        {"ok", l.transfers[k][0]}, {"refused", l.transfers[k][1]}, {"failed", l.transfers[k][2]}};
  json out = {
      {"state", LineStateName(l.state)},
      {"stopped", l.stopped},
      {"port", l.port},
      {"transfers", transfers},
      {"attempts", {{"ok", l.attemptsOk}, {"failed", l.attemptsFailed}}},
      {"attempt_failures", l.attemptFailures},
      {"open_failures", l.openFailures},
      {"opens", l.opens},
      {"reopens", l.reopens},
      {"poll_overruns", l.pollOverruns},
      {"queued", l.queued},
      {"utilisation", l.utilisation},
      {"line_time_ms", l.lineTimeMs},
      {"cycle_ms", l.cycleMs},
      {"blocks", l.blocks},
  };
  out["turnaround_ms"] = l.turnaroundMs >= 0 ? json(l.turnaroundMs) : json(nullptr);
  if (l.state != LineState::Open) out["reopen_in_s"] = l.reopenInSeconds;
  if (l.lastFailure.empty()) {
    out["last_failure"] = nullptr;
  } else {
    out["last_failure"] = {{"reason", l.lastFailure}, {"time", IsoTime(l.lastFailureAt)}};
  }
  return out;
}

std::string IsoTime(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(at);
  const auto ms = duration_cast<milliseconds>(at.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return text;
}

}  // namespace zelgw
