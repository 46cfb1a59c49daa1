// One line's worker: its thread, its host session on the driver (one
// DriverInstance), the queue of requests for it, the opening and reopening
// of its port with back-off, and the polls. What it learns goes into the
// line's value cache and health counters; the changes of tags go out
// through the publish callback that the gateway sets.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/line_health.h"
#include "core/poll_schedule.h"
#include "core/turnaround.h"
#include "core/value_cache.h"
#include "host_session.h"
#include "outcomes.h"

namespace zelgw {

// How a request ended.
enum class Status : std::uint8_t {
  Ok,         // done: the driver answered ResultOk
  Suspended,  // traffic of the line is suspended ($STOP): the driver refused, nothing sent
  Failed,     // the driver's five attempts failed (reason: the last attempt's)
  LineDown,   // the line's port is closed or being reopened: nothing sent
  Busy,       // the line has too many requests waiting
  Rejected,   // not allowed: unknown tag or line, not writable, value out of range
};
const char* StatusName(Status status);  // "ok", "suspended", "failed", "line_down", ...

using Done = std::function<void(Status, const std::string& reason)>;
using ReadDone =
    std::function<void(Status, const std::string& reason, std::span<const std::uint32_t>)>;

// A request for the line's thread.
struct Job {
  enum class Kind : std::uint8_t { Read, Write, Stop };
  Kind kind = Kind::Read;
  std::vector<int> variables;                         // Read
  std::vector<std::pair<int, std::uint32_t>> writes;  // Write
  bool stop = false;                                  // Stop
  ReadDone readDone;                                  // Read
  Done done;                                          // Write, Stop
};

// The name of the line whose thread calls, or nullptr on other threads (for
// the driver's messages, which arrive on the thread of the call).
const char* CurrentLineName();
// Hands a message the driver reported (through the host library's err) on
// this thread to the line whose call it came from; it becomes the reason of
// a failed open when no outcome record gives one. True when it repeats the
// line's last failure to open.
bool NoteDriverMessage(const char* text);

class LineWorker {
 public:
  using Clock = std::chrono::steady_clock;
  using Publish = std::function<void(const std::vector<TagState>&)>;
  static constexpr std::size_t kMaxQueued = 256;

  LineWorker(const PlantLine& setup, ZelMainFunction driver, Publish publish);
  ~LineWorker();
  LineWorker(const LineWorker&) = delete;
  LineWorker& operator=(const LineWorker&) = delete;

  const PlantLine& setup() const { return setup_; }
  ValueCache& cache() { return cache_; }
  const ValueCache& cache() const { return cache_; }
  LineHealth Health() const;

  void Start();
  void RequestStop();
  // Waits for the thread to end; false when it did not within wait.
  bool WaitStopped(std::chrono::milliseconds wait);

  // Queues a request; false when the queue is full (nothing queued).
  bool Submit(Job&& job);
  void ReplaceTags(std::vector<PlantTag> tags);

  bool Stopped() const { return stopped_.load(); }
  // Whether the thread has been inside one driver call for longer than the
  // driver's bound of one transfer on this line (driver_facts.h) and a
  // margin for the scheduling of the host (kStuckMargin).
  bool Stuck() const;
  static constexpr Clock::duration kStuckMargin = std::chrono::seconds(10);
  static Clock::duration CallBound(const PlantLine& setup);

  bool OnDriverMessage(const char* text);

 private:
  void Run();
  void OnOutcome(const zeltools::Outcome& outcome);
  void TryOpen();
  void CloseForReopen(const std::string& why);
  bool ServeJobs();
  bool StopRequested() const;
  static void FailJob(Job& job, const std::string& reason);
  void DoWrite(Job& job);
  void DoStop(Job& job);
  void DoReads(std::vector<Job*>& reads);
  void Poll(int entry);
  // Plans again when the measured turnaround moved away from the planned one.
  void ReplanIfMoved();
  void NotePlan();
  // One ReadBlock with its counters and cache update; the result.
  std::int32_t Read(const Block& block, std::uint32_t* values);
  void CountTransfer(TransferKind kind, std::int32_t result, Clock::duration took);
  void AfterFailure();
  void SetFailure(const std::string& text);
  void WaitUntil(Clock::time_point deadline);
  void PublishChanges();
  std::string LastFailureText() const;

  const PlantLine setup_;
  zeltools::HostSession session_;
  const Publish publish_;
  const Clock::duration callBound_;
  ValueCache cache_;
  HealthCounters health_;
  std::thread thread_;

  // The queue and the thread's state.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  bool stopping_ = false;
  bool done_ = false;
  std::deque<Job> queue_;
  bool tagsPending_ = false;
  std::vector<ValueCache::Polled> pendingPolled_;

  std::atomic<bool> stopped_{false};  // traffic suspended ($STOP), as last read

  // When the current driver call began (steady clock ticks); 0: none.
  std::atomic<std::int64_t> callSince_{0};
  struct InCall {
    explicit InCall(std::atomic<std::int64_t>& since) : since_(since) {
      since_ = Clock::now().time_since_epoch().count();
    }
    ~InCall() { since_ = 0; }
    std::atomic<std::int64_t>& since_;
  };

  // The line's thread alone (the outcome records and the driver's messages
  // arrive on it, inside its calls).
  PollSchedule schedule_;
  linetime::TurnaroundFigure turnaround_;
  bool everOpened_ = false;
  bool desiredStop_ = false;
  bool openRecorded_ = false;  // the driver's record of the failed open came
  int failuresInRow_ = 0;
  Clock::duration pause_ = std::chrono::seconds(1);
  Clock::time_point nextOpen_{};
  std::string lastAttemptText_;
  std::string driverMessage_;
  std::string lastOpenLog_;
  std::vector<std::uint32_t> values_ = std::vector<std::uint32_t>(ZELQD_MAX_BLOCK);
};

}  // namespace zelgw
