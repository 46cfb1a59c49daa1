// The driver's outcome records, for the tools: the observer registered once
// per process when the loaded driver has one, the records handed to whoever
// subscribed for the instance they name, and the words and keys the tools
// show for a reason.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "zelqd/observer.h"

namespace zeltools {

class DriverLibrary;

// A copy of one record that outlives the observer's call.
struct Outcome {
  ZelqdOutcomeKind kind = ZELQD_OUTCOME_ATTEMPT;
  ZelqdReason reason = ZELQD_REASON_OK;
  std::int32_t code = 0;
  std::int32_t attempt = 0;
  std::int32_t attempts = 0;
  std::int32_t variable = 0;
  std::int32_t count = 0;
  std::string request;  // the bytes, as they went out
  std::string reply;    // the bytes that came
  std::int32_t replyExpected = 0;
  std::int32_t replyReceived = 0;
  std::int32_t badGroup = -1;
  std::uint8_t checksumExpected[2] = {};
  std::uint8_t checksumSeen[2] = {};
  std::uint64_t sentNs = 0;
  std::uint64_t endedNs = 0;
  ZelqdOpenStep openStep = ZELQD_OPEN_STEP_NONE;
  std::string portName;
  std::uint32_t systemError = 0;

  bool ok() const { return reason == ZELQD_REASON_OK; }
  static Outcome From(const ZelqdOutcome& record);
};

// The reason as a metrics label: ok, no_reply, incomplete_reply, checksum,
// error_reply, no_keyword, bad_value, short_write, hang_up, io_error,
// out_of_range, open_failed.
std::string_view ReasonKey(const Outcome& outcome);
// The reason in words, as the driver's trace puts it ("time-out, 3 of 12
// reply bytes received"; "open: No such file or directory (errno 2)").
std::string ReasonText(const Outcome& outcome);
// The step of an open as a word: name, open, lock, exclusive, settings,
// time-outs.
std::string_view OpenStepName(ZelqdOpenStep step);
// Whether the reason says the line itself is gone (nothing could be
// written, the device hung up or failed), not that the remote computer
// answered wrongly or not at all.
bool LineGone(const Outcome& outcome);

// The process's one observer. Attach() registers it with the loaded driver
// (false when the driver has no zelqd_set_observer: records then never
// come). Subscribers name the DriverInstance whose records they want; the
// callback runs on the thread inside ZelMain.
class Outcomes {
 public:
  using Callback = std::function<void(const Outcome&)>;

  static Outcomes& Instance();

  bool Attach(const DriverLibrary& library);
  // Unregisters from the driver; no callback runs once it returns.
  void Detach();
  bool attached() const;

  // Returns a token for Unsubscribe.
  std::uint64_t Subscribe(const DriverInstance* instance, Callback callback);
  void Unsubscribe(std::uint64_t token);

 private:
  Outcomes() = default;
  static void Observe(const ZelqdOutcome* record, void* context);
  void Deliver(const ZelqdOutcome& record);

  struct Subscriber {
    std::uint64_t token;
    const DriverInstance* instance;
    Callback callback;
  };
  mutable std::mutex mutex_;
  ZelqdSetObserverFunction set_ = nullptr;
  std::vector<Subscriber> subscribers_;
  std::uint64_t next_ = 1;
};

}  // namespace zeltools
