// Why the driver's attempts ended, as the driver's observer reports them.
//
// The driver calls one observer per process (zelqd/observer.h). Outcomes is
// that observer for the tools: it copies each record into an Outcome and
// hands it to the subscriber of the instance the call was made on, so two
// lines sending the same request are never confused. A driver without the
// observer export leaves Outcomes detached: the tools then know the result
// codes only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "zelqd/observer.h"

namespace zeltools {

class DriverLibrary;

// One record, copied out of the driver's callback.
struct Outcome {
  ZelqdOutcomeKind kind = ZELQD_OUTCOME_ATTEMPT;
  ZelqdReason reason = ZELQD_REASON_OK;
  int attempt = 0;  // 1..attempts; 0 for an open
  int attempts = 0;
  int variable = 0;
  int count = 0;
  int replyExpected = 0;
  int replyReceived = 0;
  int badGroup = -1;
  char checksumExpected[3] = {};
  char checksumSeen[3] = {};
  std::uint64_t sentNs = 0;        // CLOCK_MONOTONIC
  std::uint64_t firstReplyNs = 0;  // CLOCK_MONOTONIC: the first read of the reply returned; 0: none
  std::uint64_t endedNs = 0;       // CLOCK_MONOTONIC
  ZelqdOpenStep openStep = ZELQD_OPEN_STEP_NONE;
  std::string portName;
  int systemError = 0;
  std::string request;  // the bytes as sent
  std::string reply;    // the bytes that arrived

  bool ok() const { return reason == ZELQD_REASON_OK; }
};

// A short stable key per reason, for metrics labels and JSON:
// ok, out_of_range, short_write, no_reply, incomplete_reply, checksum,
// error_reply, no_keyword, bad_value, hang_up, io_error, open_failed; unknown
// for a reason newer than the tools.
// A time-out with nothing received is no_reply, with part of it incomplete_reply.
std::string_view ReasonKey(const Outcome& outcome);
// The reason in words, for people ("no reply within the time-out (0 of 12
// bytes)", "checksum: expected 3A, received 3B", ...).
std::string ReasonText(const Outcome& outcome);
// "name", "open", "lock", "exclusive", "settings", "time-outs".
std::string_view OpenStepName(ZelqdOpenStep step);
// The device went away (hang-up, or an I/O error that says so).
bool LineGone(const Outcome& outcome);

class Outcomes {
 public:
  using Callback = std::function<void(const Outcome&)>;

  // The process's one channel.
  static Outcomes& Instance();

  // Sets the observer in the loaded driver, if it has the export. Returns
  // whether it has. Detach before the library is unloaded.
  bool Attach(const DriverLibrary& library);
  bool attached() const;
  // Removes the observer from the driver (waits for calls in flight).
  void Detach();

  // Records of calls on instance go to callback, on the thread that made
  // the call, until Unsubscribe. One subscriber per instance: a second
  // Subscribe replaces the first. Callbacks must not throw.
  void Subscribe(const DriverInstance* instance, Callback callback);
  void Unsubscribe(const DriverInstance* instance);

  // Records for instances nobody subscribed to (opens outside an instance
  // included) go here; by default they are dropped.
  void SubscribeOthers(Callback callback);

  // What the driver's callback does with one record (the tests call it
  // directly). A callback may subscribe and unsubscribe.
  void Deliver(const ZelqdOutcome& record);

 private:
  Outcomes() = default;
  mutable std::mutex mutex_;
  ZelqdSetObserverFunction set_ = nullptr;
  // Shared, so that a delivery holds its callback without the lock and
  // without copying it.
  std::vector<std::pair<const DriverInstance*, std::shared_ptr<const Callback>>> subscribers_;
  std::shared_ptr<const Callback> others_;
};

// Copies a driver record into an Outcome (pointers and lengths checked).
Outcome CopyOutcome(const ZelqdOutcome& record);

}  // namespace zeltools
