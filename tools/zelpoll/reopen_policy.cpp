#include "reopen_policy.h"

#include <algorithm>

namespace zelpoll {

ReopenPolicy::ReopenPolicy(ReopenSettings settings)
    : settings_(settings), pause_(settings.pauseMs) {}

void ReopenPolicy::PollDone(bool ok, bool lineGone) {
  if (ok) {
    failedRun_ = 0;
    wanted_ = false;
    pause_ = std::chrono::milliseconds(settings_.pauseMs);
    nextAt_ = {};
    return;
  }
  ++failedRun_;
  if (settings_.after > 0 && (lineGone || failedRun_ >= settings_.after)) wanted_ = true;
}

bool ReopenPolicy::Due(Clock::time_point now) const { return wanted_ && now >= nextAt_; }

void ReopenPolicy::Reopened(bool opened, Clock::time_point now) {
  failedRun_ = 0;
  wanted_ = !opened;  // a port that did not open is tried again after the pause
  nextAt_ = now + pause_;
  pause_ = std::min(pause_ * 2,
                    std::chrono::milliseconds(std::max(settings_.maxPauseMs, settings_.pauseMs)));
}

}  // namespace zelpoll
