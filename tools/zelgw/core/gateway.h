// The gateway's core, which every front end (Modbus TCP, HTTP, and any later
// one such as MQTT) is built on: the lines, each with its own thread, its
// DriverInstance and its poll plan; the value cache with qualities and
// timestamps; the queue of reads and writes of each line; and the health
// counters of each line.
//
// For a front end
// ---------------
// - Values: Tags() gives every tag as the cache holds it; Subscribe()
//   registers a listener that hears of every change of a tag's raw value or
//   quality (and of its first value), on the line's thread, right after the
//   transfer that brought it. A listener must return quickly and must not
//   call Subscribe() or Unsubscribe(); it may call everything else.
// - Quality: Bad until the tag's variable was first read; Good while the
//   last read succeeded and came in time; Stale when the last read failed,
//   the line was closed since, or the value is overdue (older than twice the
//   poll interval plus one second). A value is never changed by anything but
//   a successful read of it or a successful write of it.
// - Requests: WriteTag() (a value in the tag's units), WriteVariables() (raw
//   32-bit values), ReadVariables() (read through to the line, merged into
//   block reads), SetStop() (suspend or resume all traffic of a line through
//   $STOP). Each takes a callback that runs exactly once: on the line's
//   thread when the driver has answered, or at once on the caller's thread
//   when the request is refused before it is queued (Rejected, Busy). A line
//   carries out writes and $STOP before reads, and requests before polls,
//   one transfer at a time; a write is answered only with the driver's
//   result. A request of several variables is carried out in order and ends
//   at the first that fails.
// - Health: Lines() gives each line's state and counters.
// - Threads: every member function may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plant.h"
#include "zelqd/zelqd.h"

namespace zelgw {

using zeltools::PlantFile;
using zeltools::PlantLine;
using zeltools::PlantTag;

class Line;
class TraceWatcher;

enum class Quality : std::uint8_t { Bad = 0, Stale = 1, Good = 2 };
const char* QualityName(Quality quality);  // "bad", "stale", "good"

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

// A tag as the cache holds it.
struct TagState {
  std::string line;
  std::string name;
  std::string unit;
  std::string description;
  int variable = 0;
  zeltools::ValueType type = zeltools::ValueType::Int32;
  bool writable = false;
  int pollMs = 0;  // 0: not polled
  std::uint32_t raw = 0;
  double value = 0;  // raw * scale + offset
  Quality quality = Quality::Bad;
  std::chrono::system_clock::time_point timestamp{};  // when the value was read; epoch: never
  double ageSeconds = -1;                             // since then; negative: never read
  std::string reason;                                 // why not good, when it is not
};

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
  std::map<std::string, std::uint64_t> attemptFailures;  // by reason (see trace_watcher.h)
  std::map<std::string, std::uint64_t> openFailures;     // by step; "unknown" without a trace line
  std::uint64_t opens = 0;
  std::uint64_t reopens = 0;       // opens after the first
  std::uint64_t pollOverruns = 0;  // poll cycles missed entirely
  std::string lastFailure;
  std::chrono::system_clock::time_point lastFailureAt{};
  double reopenInSeconds = 0;  // while not open: until the next try
  std::size_t queued = 0;      // requests waiting
  Histogram transferSeconds;   // duration of each transfer
  Histogram pollLateness;      // seconds a poll started after it was due
};

enum class VariableAccess : std::uint8_t { Untagged, ReadOnly, Writable };

class Gateway {
 public:
  using Done = std::function<void(Status, const std::string& reason)>;
  using ReadDone =
      std::function<void(Status, const std::string& reason, std::span<const std::uint32_t>)>;
  using Listener = std::function<void(const TagState&)>;

  // Lines are made but not started. trace must outlive the gateway.
  Gateway(const PlantFile& plant, ZelMainFunction driver, TraceWatcher& trace);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  void Start();
  // Asks every line to stop after the transfer it is in: what waits in its
  // queue is not begun, but answered (writes and $STOP Failed, reads
  // LineDown). Stop() waits for them.
  void RequestStop();
  // Ends the lines: each finishes its transfer, closes its port and answers
  // what waits with LineDown. Returns false when some line was still inside
  // a transfer after `wait` (it is left to end with the process).
  bool Stop(std::chrono::milliseconds wait);

  // Lines by their place in the configuration.
  std::size_t LineCount() const;
  int LineIndex(std::string_view name) const;  // -1 when unknown
  std::vector<LineHealth> Lines() const;

  std::vector<TagState> Tags() const;
  std::optional<TagState> Tag(std::string_view name) const;

  // A listener for tag changes; the id unsubscribes it.
  int Subscribe(Listener listener);
  void Unsubscribe(int id);

  void WriteTag(std::string_view tag, double value, const Done& done);
  void WriteVariables(int line, std::vector<std::pair<int, std::uint32_t>> writes,
                      const Done& done);
  void ReadVariables(int line, std::vector<int> variables, const ReadDone& done);
  void SetStop(int line, bool stop, const Done& done);
  bool Stopped(int line) const;

  // The raw values of the variables, when every one of them is a polled
  // tag's of good quality; false otherwise (then out is not complete).
  bool ReadCached(int line, std::span<const int> variables, std::uint32_t* out) const;
  VariableAccess Access(int line, int variable) const;

  // New tags for the running lines (from a reloaded file whose lines are
  // the same): values of variables that stay are kept.
  void ReplaceTags(const PlantFile& plant);

  // The name of a line whose thread seems stuck inside a driver call (for
  // the watchdog); empty when none is.
  std::string StuckLine() const;

  // Trace lines that matched no call in progress.
  std::uint64_t UnattributedTraceLines() const;
  std::uint64_t UntracedCalls() const;  // see TraceWatcher::untraced()

  // Called by the lines.
  void Publish(const std::vector<TagState>& changes);

 private:
  std::vector<std::unique_ptr<Line>> lines_;
  TraceWatcher& trace_;
  mutable std::shared_mutex listenersMutex_;
  std::vector<std::pair<int, Listener>> listeners_;
  int nextListener_ = 1;
};

}  // namespace zelgw
