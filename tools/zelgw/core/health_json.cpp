#include "core/health_json.h"

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

}  // namespace zelgw
