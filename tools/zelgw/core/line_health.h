// A line's health: its state and counters, which /status, /metrics and the
// MQTT health topic show. HealthCounters is shared between the line's
// thread, which counts, and the front ends, which read a snapshot.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/turnaround.h"

namespace zelgw {

enum class LineState : std::uint8_t {
  Opening,    // never open yet: opening, or waiting to try again
  Open,       // port open
  Reopening,  // closed after a hang-up or a run of failed transfers; waiting to reopen
};
const char* LineStateName(LineState state);  // "opening", "open", "reopening"

// Counts of observations at most each bound; sum and count of all.
struct Histogram {
  std::vector<double> bounds;
  std::vector<std::uint64_t> counts;  // counts[i]: observations <= bounds[i], not cumulative
  double sum = 0;
  std::uint64_t count = 0;

  explicit Histogram(std::vector<double> upperBounds = {});
  void Observe(double value);
};

enum class TransferKind : std::uint8_t { Read = 0, Write = 1 };

struct LineHealth {
  std::string name;
  std::string port;
  LineState state = LineState::Opening;
  bool stopped = false;  // traffic suspended by $STOP
  // transfers[kind][result]: ReadBlock and WriteVar calls by driver result
  // (0 ok, 1 refused, 2 failed).
  std::uint64_t transfers[2][3] = {};
  std::uint64_t attemptsOk = 0;
  std::uint64_t attemptsFailed = 0;
  std::map<std::string, std::uint64_t> attemptFailures;  // by zeltools::ReasonKey
  // By zeltools::OpenStepName; "unknown" when the driver gave no record.
  std::map<std::string, std::uint64_t> openFailures;
  std::uint64_t opens = 0;
  std::uint64_t reopens = 0;       // opens after the first
  std::uint64_t pollOverruns = 0;  // poll cycles missed entirely
  std::string lastFailure;
  std::chrono::system_clock::time_point lastFailureAt{};
  double reopenInSeconds = 0;  // while not open: until the next try
  std::size_t queued = 0;      // requests waiting
  Histogram transferSeconds;   // duration of each transfer
  Histogram pollLateness;      // seconds a poll started after it was due
  // The remote's turnaround: the running figure (negative before the first
  // sample) and every sample in buckets.
  double turnaroundMs = -1;
  linetime::TurnaroundHistogram turnaround;
  // Busy time on the line (driver calls that transfer) over the last
  // kBusyWindow of wall time (less while the line is younger), 0..1.
  double utilisation = 0;
  // The current poll plan: its line time per cycle, the cycle and its blocks.
  double lineTimeMs = 0;
  int cycleMs = 0;
  std::size_t blocks = 0;
};

// The line's busy time in one-second slots over a sliding window.
class BusyWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kSeconds = 10;

  explicit BusyWindow(Clock::time_point start = Clock::now()) : start_(start) {}
  // A call that took busy and ended at end (counted in the slot of its end).
  void Add(Clock::time_point end, Clock::duration busy);
  // The busy share of the window that ends at now, 0..1.
  double Share(Clock::time_point now) const;

 private:
  struct Slot {
    std::int64_t second = -1;
    Clock::duration busy{};
  };
  Clock::time_point start_;
  Slot slots_[kSeconds];
};

class HealthCounters {
 public:
  using Clock = std::chrono::steady_clock;

  HealthCounters(const std::string& name, const std::string& port);

  // Changes the counters under the lock; f gets the LineHealth.
  template <typename F>
  void Update(F&& f) {
    std::lock_guard lock(mutex_);
    f(health_);
  }
  // When the port is tried again while it is not open.
  void SetReopenAt(Clock::time_point at);
  // A transfer's driver call, for the utilisation.
  void AddBusy(Clock::time_point end, Clock::duration busy);

  // A copy, with reopenInSeconds as of now.
  LineHealth Snapshot() const;

 private:
  mutable std::mutex mutex_;
  LineHealth health_;
  Clock::time_point reopenAt_{};
  BusyWindow busy_;
};

}  // namespace zelgw
