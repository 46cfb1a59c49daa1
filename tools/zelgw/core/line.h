// One line: its thread, its DriverInstance, its poll plan, the cache of its
// tags' variables, its request queue and its health. The gateway's front
// ends reach it through Gateway (gateway.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/gateway.h"
#include "core/line_driver.h"
#include "core/poll_plan.h"
#include "core/trace_watcher.h"

namespace zelgw {

// The name of the line whose thread calls, or nullptr on other threads (for
// the driver's messages, which arrive on the thread of the call).
const char* CurrentLineName();
// Hands a message the driver reported (through the host library's err) on
// this thread to the line whose call it came from; it becomes the reason of
// a failed open when the trace gives none. True when it repeats the line's
// last failure to open.
bool NoteDriverMessage(const char* text);

// A request for the line's thread.
struct Job {
  enum class Kind : std::uint8_t { Read, Write, Stop };
  Kind kind = Kind::Read;
  std::vector<int> variables;                         // Read
  std::vector<std::pair<int, std::uint32_t>> writes;  // Write
  bool stop = false;                                  // Stop
  Gateway::ReadDone readDone;                         // Read
  Gateway::Done done;                                 // Write, Stop
};

class Line final : public TraceSink {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxQueued = 256;

  Line(const PlantLine& setup, ZelMainFunction driver, TraceWatcher& trace, Gateway& gateway);
  ~Line() override;

  const PlantLine& setup() const { return setup_; }

  void Start();
  void RequestStop();
  // Waits for the thread to end; false when it did not within wait.
  bool WaitStopped(std::chrono::milliseconds wait);

  // Queues a request; false when the queue is full (nothing queued).
  bool Submit(Job&& job);
  void ReplaceTags(std::vector<PlantTag> tags);

  std::vector<TagState> Tags() const;
  std::optional<PlantTag> PlantTagOf(std::string_view name) const;
  LineHealth Health() const;
  bool ReadCached(std::span<const int> variables, std::uint32_t* out) const;
  VariableAccess Access(int variable) const;
  bool Stopped() const;
  // Whether the thread has been inside one driver call for longer than the
  // driver's bound of one transfer on this line (driver_facts.h) and a
  // margin for the scheduling of the host (kStuckMargin).
  bool Stuck() const;
  static constexpr Clock::duration kStuckMargin = std::chrono::seconds(10);
  static Clock::duration CallBound(const PlantLine& setup);

  void OnAttempt(int number, bool ok, std::string_view key, std::string_view text) override;
  void OnOpenFailure(std::string_view step, std::string_view text) override;
  bool OnDriverMessage(const char* text);

  // A value is overdue this long after it was read.
  static Clock::duration StaleAfter(int pollMs);

 private:
  // A variable that one or more tags name.
  struct Variable {
    int number = 0;
    int pollMs = 0;        // the shortest interval of its tags; 0: not polled
    bool writable = true;  // every tag on it is writable
    std::uint32_t raw = 0;
    bool everRead = false;
    bool lastFailed = false;
    std::string failure;  // why the last read failed, or the line closed
    Clock::time_point readAt{};
    std::chrono::system_clock::time_point readAtWall{};
    Clock::time_point due{};
  };
  // What the listeners last heard of a tag.
  struct Reported {
    std::uint32_t raw = 0;
    Quality quality = Quality::Bad;
    bool everRead = false;
  };

  void Run();
  void BuildVariables(std::vector<PlantTag> tags);  // mutex_ held
  void TryOpen();
  void CloseForReopen(const std::string& why);
  bool ServeJobs();
  bool StopRequested() const;
  static void FailJob(Job& job, const std::string& reason);
  void DoWrite(Job& job);
  void DoStop(Job& job);
  void DoReads(std::vector<Job*>& reads);
  bool PlanPolls(Clock::time_point now, std::vector<Block>& blocks);
  void Poll(const Block& block);
  // One ReadBlock with its trace, counters and cache update; the result.
  std::int32_t Read(const Block& block, std::uint32_t* values);
  void Reschedule(const Block& block, Clock::time_point now);
  void CountTransfer(TransferKind kind, std::int32_t result, double seconds);
  void AfterFailure(std::int32_t result);
  void WaitUntil(Clock::time_point deadline);
  Clock::time_point NextDue() const;
  // Tells the listeners what changed since they last heard; mutex_ not held.
  void PublishChanges();
  std::string LastFailureText() const;
  TagState StateOf(std::size_t tag, Clock::time_point now,
                   std::chrono::system_clock::time_point wall) const;
  Quality QualityOf(const Variable& v, Clock::time_point now) const;
  const Variable* Find(int number) const;
  Variable* Find(int number);
  void SetFailure(const std::string& text);

  const PlantLine setup_;
  LineDriver driver_;
  TraceWatcher& trace_;
  Gateway& gateway_;
  std::thread thread_;
  const Clock::duration callBound_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  bool stopping_ = false;
  bool done_ = false;
  std::deque<Job> queue_;
  bool tagsPending_ = false;
  std::vector<PlantTag> pendingTags_;

  // Under mutex_: the cache, the tags, the health.
  std::vector<Variable> variables_;  // sorted by number
  std::vector<PlantTag> tags_;
  std::vector<std::size_t> tagVariable_;  // index into variables_, one per tag
  std::vector<Reported> reported_;        // one per tag
  LineHealth health_;
  bool stoppedMirror_ = false;
  std::string lastAttemptText_;
  std::string driverMessage_;

  // When the current driver call began (steady clock ticks); 0: none.
  std::atomic<std::int64_t> callSince_{0};
  struct InCall {
    explicit InCall(std::atomic<std::int64_t>& since) : since_(since) {
      since_ = Clock::now().time_since_epoch().count();
    }
    ~InCall() { since_ = 0; }
    std::atomic<std::int64_t>& since_;
  };

  // The line's thread alone.
  bool everOpened_ = false;
  bool desiredStop_ = false;
  int failuresInRow_ = 0;
  Clock::duration pause_ = std::chrono::seconds(1);
  Clock::time_point nextOpen_{};
  std::string lastOpenLog_;
  std::vector<std::uint32_t> values_ = std::vector<std::uint32_t>(106);
};

}  // namespace zelgw
