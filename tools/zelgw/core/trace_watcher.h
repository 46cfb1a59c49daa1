// Why attempts fail, from the driver's own trace.
//
// The driver tells its host only ok, refused or failed; its trace
// (ZELQD_TRACE) says for every attempt what went wrong, and for a failed open
// which step failed. The watcher points ZELQD_TRACE at a new regular file in
// a private folder before the driver's first transfer, reads the lines the
// driver appends, and hands each one to the line whose call wrote it.
//
// The trace is one file for the whole process and its lines do not name the
// line (instance) they belong to. Every call that may trace is therefore
// announced with Begin() (what it sends: command, variable, count; or the
// port it opens) and closed with End(), which reads what the file gained: a
// line is given to the call in progress whose request it shows. Two lines
// sending the same request at the same moment cannot be told apart; the
// attempt goes to one of them.
//
// The file is emptied whenever no call is in progress, and its read part is
// released (a hole punched) when calls never stop, so it does not grow.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zelgw {

// Reasons as /metrics labels them.
// attempts: ok, no_reply, incomplete_reply, checksum, error_reply, no_keyword,
// bad_value, short_write, out_of_range, other.
std::string_view AttemptReasonKey(std::string_view reason);

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // One attempt: its number (1..5), whether it succeeded, the reason's key
  // and the driver's text ("ok" or "failed: ...").
  virtual void OnAttempt(int number, bool ok, std::string_view key, std::string_view text) = 0;
  // A failed open: the step (open, lock, exclusive, settings, time-outs,
  // name) and the driver's text after "failed: ".
  virtual void OnOpenFailure(std::string_view step, std::string_view text) = 0;
};

class TraceWatcher {
 public:
  // Sets ZELQD_TRACE, unless the environment names a trace already: then the
  // driver traces there and no reasons are read.
  TraceWatcher();
  ~TraceWatcher();
  TraceWatcher(const TraceWatcher&) = delete;
  TraceWatcher& operator=(const TraceWatcher&) = delete;

  bool active() const { return fd_ >= 0; }
  // What was set up, for the log.
  const std::string& note() const { return note_; }

  // What a call sends: 'R' (ReadBlock of count values from variable), 'W'
  // (a write of variable), or 'O' (an open of port).
  struct Call {
    char command = 'R';
    int variable = 0;
    int count = 0;
    std::string port;
  };
  std::uint64_t Begin(TraceSink* sink, Call call);
  // sent: the driver went to the line (its result was ok or failed), so
  // its trace should show at least one attempt of the call.
  void End(std::uint64_t token, bool sent = false);

  // Lines that matched no call in progress.
  std::uint64_t unattributed() const;
  // Removes the file and its folder now, for a process that leaves without
  // unwinding (a line still inside a driver call); nothing is read after.
  void RemoveFiles();
  // Calls that went to the line and left no line in the trace: its folder
  // cannot be written or is full, and the attempts go uncounted. Each is
  // warned about in the log, at most once a minute.
  std::uint64_t untraced() const;

  // Parses one trace line and gives it to the call in progress it belongs to
  // (for the tests: the same as End() does with what it reads).
  void Take(std::string_view line);

 private:
  struct Pending {
    std::uint64_t token = 0;
    TraceSink* sink = nullptr;
    Call call;
    int attempts = 0;
  };
  void Attribute(std::string_view line);
  void Drain();
  void Shrink();
  void Untraced();

  mutable std::mutex mutex_;
  int fd_ = -1;
  std::string folder_;
  std::string file_;
  std::string note_;
  std::uint64_t offset_ = 0;
  std::string partial_;
  std::vector<Pending> pending_;
  std::uint64_t nextToken_ = 1;
  std::uint64_t unattributed_ = 0;
  std::uint64_t untraced_ = 0;
  std::uint64_t untracedWarned_ = 0;  // untraced_ at the last warning
  std::chrono::steady_clock::time_point warnedAt_{};
};

}  // namespace zelgw
