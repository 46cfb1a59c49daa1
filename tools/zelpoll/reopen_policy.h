// When a poll reopens its port: at once when the line is found gone (a
// hang-up), or after a run of failed polls; and, while reopening does not
// bring the line back, after a pause that doubles from one try to the
// next up to a ceiling. A poll that succeeds starts everything afresh.
#pragma once

#include <chrono>

namespace zelpoll {

struct ReopenSettings {
  int after = 3;           // failed polls in a row that call for a reopen; 0: never reopen
  int pauseMs = 1000;      // the first pause after a reopen
  int maxPauseMs = 30000;  // the longest pause
};

class ReopenPolicy {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ReopenPolicy(ReopenSettings settings);

  // A poll ended; lineGone: the line itself is known to be gone.
  void PollDone(bool ok, bool lineGone);
  // Whether a reopen is wanted and its pause is over.
  bool Due(Clock::time_point now) const;
  // A reopen was tried at `now`; opened: the port is open again.
  void Reopened(bool opened, Clock::time_point now);

  // Whether a reopen is wanted (due now or after its pause).
  bool wanted() const { return wanted_; }
  // When the next reopen may be tried.
  Clock::time_point nextAt() const { return nextAt_; }
  int failedRun() const { return failedRun_; }

 private:
  ReopenSettings settings_;
  int failedRun_ = 0;
  bool wanted_ = false;
  std::chrono::milliseconds pause_;
  Clock::time_point nextAt_{};
};

}  // namespace zelpoll
