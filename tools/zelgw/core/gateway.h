// The gateway's core, which every front end (Modbus TCP, HTTP, MQTT) is
// built on: the set of lines, each a worker with its own thread, its
// DriverInstance and its poll schedule (line_worker.h), its value cache with
// qualities and timestamps (value_cache.h) and its health counters
// (line_health.h).
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

#include "core/line_health.h"
#include "core/line_worker.h"
#include "core/value_cache.h"
#include "plant.h"
#include "zelqd/zelqd.h"

namespace zelgw {

class Gateway {
 public:
  using Done = zelgw::Done;
  using ReadDone = zelgw::ReadDone;
  using Listener = std::function<void(const TagState&)>;

  // Lines are made but not started.
  Gateway(const PlantFile& plant, ZelMainFunction driver);
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

 private:
  // What the lines publish, to every listener.
  void Publish(const std::vector<TagState>& changes);

  std::vector<std::unique_ptr<LineWorker>> lines_;
  mutable std::shared_mutex listenersMutex_;
  std::vector<std::pair<int, Listener>> listeners_;
  int nextListener_ = 1;
};

}  // namespace zelgw
