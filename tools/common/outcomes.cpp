#include "outcomes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "driver_library.h"

namespace zeltools {
namespace {

// The highest value an Outcome's reason holds; anything the tools do not
// know is kept as a value above the last reason they know.
constexpr int kLastKnownReason = ZELQD_REASON_OPEN_FAILED;
constexpr int kUnknownReason = 15;

// bytes..bytes+length, when the pointer and the length make sense.
std::string Bytes(const void* bytes, std::int32_t length) {
  if (bytes == nullptr || length <= 0) return {};
  return std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(length));
}

// Two checksum digits as text: as they are when both are printable, else
// in hexadecimal.
std::string Digits(const char (&digits)[3]) {
  const auto printable = [](char c) { return c > ' ' && c < 0x7f; };
  if (printable(digits[0]) && printable(digits[1])) return std::string(digits, 2);
  char text[16];
  std::snprintf(text, sizeof text, "[%02X %02X]", static_cast<unsigned char>(digits[0]),
                static_cast<unsigned char>(digits[1]));
  return text;
}

// " (errno N: the system's words)", or "" without a code.
std::string SystemError(int error) {
  if (error == 0) return {};
  return " (errno " + std::to_string(error) + ": " + std::generic_category().message(error) + ")";
}

std::string Of(const Outcome& o) {
  return " (" + std::to_string(o.replyReceived) + " of " + std::to_string(o.replyExpected) +
         " bytes)";
}

// The driver's callback: a record of any size the driver knows, padded to
// the one the tools know. Nothing is thrown back into the driver.
void Observe(const ZelqdOutcome* record, void* context) noexcept {
  if (record == nullptr || context == nullptr) return;
  try {
    ZelqdOutcome padded{};
    padded.badGroup = -1;
    std::memcpy(&padded, record, std::min<std::size_t>(record->size, sizeof padded));
    static_cast<Outcomes*>(context)->Deliver(padded);
  } catch (...) {
    // A record that cannot be copied is lost; the transfer goes on.
  }
}

}  // namespace

Outcome CopyOutcome(const ZelqdOutcome& r) {
  Outcome o;
  o.kind = r.kind == ZELQD_OUTCOME_OPEN ? ZELQD_OUTCOME_OPEN : ZELQD_OUTCOME_ATTEMPT;
  o.reason = static_cast<ZelqdReason>(
      r.reason >= 0 && r.reason <= kLastKnownReason ? r.reason : kUnknownReason);
  o.attempt = r.attempt;
  o.attempts = r.attempts;
  o.variable = r.variable;
  o.count = r.count;
  o.replyExpected = r.replyExpected;
  o.replyReceived = r.replyReceived;
  o.badGroup = r.badGroup;
  if (r.reason == ZELQD_REASON_CHECKSUM) {
    std::memcpy(o.checksumExpected, r.checksumExpected, 2);
    std::memcpy(o.checksumSeen, r.checksumSeen, 2);
  }
  o.sentNs = r.sentNs;
  o.firstReplyNs = r.firstReplyNs;
  o.endedNs = r.endedNs;
  o.openStep = r.openStep >= ZELQD_OPEN_STEP_NONE && r.openStep <= ZELQD_OPEN_STEP_TIMEOUTS
                   ? static_cast<ZelqdOpenStep>(r.openStep)
                   : ZELQD_OPEN_STEP_NONE;
  o.portName = Bytes(r.portName, r.portNameLength);
  o.systemError = r.systemError;
  o.request = Bytes(r.request, r.requestLength);
  o.reply = Bytes(r.reply, r.replyReceived);
  return o;
}

std::string_view ReasonKey(const Outcome& o) {
  switch (o.reason) {
    case ZELQD_REASON_OK:
      return "ok";
    case ZELQD_REASON_OUT_OF_RANGE:
      return "out_of_range";
    case ZELQD_REASON_SENT_SHORT:
      return "short_write";
    case ZELQD_REASON_TIMEOUT:
      return o.replyReceived > 0 ? "incomplete_reply" : "no_reply";
    case ZELQD_REASON_CHECKSUM:
      return "checksum";
    case ZELQD_REASON_ERROR_REPLY:
      return "error_reply";
    case ZELQD_REASON_NO_KEYWORD:
      return "no_keyword";
    case ZELQD_REASON_BAD_VALUE_GROUP:
      return "bad_value";
    case ZELQD_REASON_HANG_UP:
      return "hang_up";
    case ZELQD_REASON_IO_ERROR:
      return "io_error";
    case ZELQD_REASON_OPEN_FAILED:
      return "open_failed";
  }
  return "unknown";
}

std::string ReasonText(const Outcome& o) {
  switch (o.reason) {
    case ZELQD_REASON_OK:
      return "ok";
    case ZELQD_REASON_OUT_OF_RANGE:
      return "variable number, value count or value slots unusable; nothing sent";
    case ZELQD_REASON_SENT_SHORT:
      return "short write, request not sent completely";
    case ZELQD_REASON_TIMEOUT:
      return (o.replyReceived > 0 ? "incomplete reply at the time-out"
                                  : "no reply within the time-out") +
             Of(o);
    case ZELQD_REASON_CHECKSUM:
      return "checksum: expected " + Digits(o.checksumExpected) + ", received " +
             Digits(o.checksumSeen);
    case ZELQD_REASON_ERROR_REPLY:
      return "ERROR reply";
    case ZELQD_REASON_NO_KEYWORD:
      return "reply carries neither OK nor ERROR";
    case ZELQD_REASON_BAD_VALUE_GROUP:
      return "value group " + std::to_string(o.badGroup) + " is not eight hexadecimal digits";
    case ZELQD_REASON_HANG_UP:
      return "hang-up: the device went away" + SystemError(o.systemError);
    case ZELQD_REASON_IO_ERROR:
      return "I/O error" + SystemError(o.systemError);
    case ZELQD_REASON_OPEN_FAILED:
      return "open failed at step " + std::string(OpenStepName(o.openStep)) +
             SystemError(o.systemError);
  }
  return "a reason this tool does not know";
}

std::string_view OpenStepName(ZelqdOpenStep step) {
  switch (step) {
    case ZELQD_OPEN_STEP_NAME:
      return "name";
    case ZELQD_OPEN_STEP_OPEN:
    case ZELQD_OPEN_STEP_NONE:
      return "open";
    case ZELQD_OPEN_STEP_LOCK:
      return "lock";
    case ZELQD_OPEN_STEP_EXCLUSIVE:
      return "exclusive";
    case ZELQD_OPEN_STEP_SETTINGS:
      return "settings";
    case ZELQD_OPEN_STEP_TIMEOUTS:
      return "time-outs";
  }
  return "open";
}

bool LineGone(const Outcome& o) {
  if (o.reason == ZELQD_REASON_HANG_UP) return true;
  if (o.reason != ZELQD_REASON_IO_ERROR) return false;
  return o.systemError == EIO || o.systemError == ENXIO || o.systemError == ENODEV;
}

Outcomes& Outcomes::Instance() {
  static Outcomes outcomes;
  return outcomes;
}

bool Outcomes::Attach(const DriverLibrary& library) {
  const auto set = reinterpret_cast<ZelqdSetObserverFunction>(library.Symbol("zelqd_set_observer"));
  if (set == nullptr) return false;
  {
    std::lock_guard lock(mutex_);
    set_ = set;
  }
  set(&Observe, this);
  return true;
}

bool Outcomes::attached() const {
  std::lock_guard lock(mutex_);
  return set_ != nullptr;
}

void Outcomes::Detach() {
  ZelqdSetObserverFunction set = nullptr;
  {
    std::lock_guard lock(mutex_);
    std::swap(set, set_);
  }
  if (set != nullptr) set(nullptr, nullptr);
}

void Outcomes::Subscribe(const DriverInstance* instance, Callback callback) {
  auto shared = std::make_shared<const Callback>(std::move(callback));
  std::lock_guard lock(mutex_);
  for (auto& [key, value] : subscribers_) {
    if (key == instance) {
      value = std::move(shared);
      return;
    }
  }
  subscribers_.emplace_back(instance, std::move(shared));
}

void Outcomes::Unsubscribe(const DriverInstance* instance) {
  std::lock_guard lock(mutex_);
  std::erase_if(subscribers_, [instance](const auto& s) { return s.first == instance; });
}

void Outcomes::SubscribeOthers(Callback callback) {
  auto shared = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
  std::lock_guard lock(mutex_);
  others_ = std::move(shared);
}

void Outcomes::Deliver(const ZelqdOutcome& record) {
  std::shared_ptr<const Callback> callback;
  {
    std::lock_guard lock(mutex_);
    callback = others_;
    if (record.instance != nullptr) {
      for (const auto& [key, value] : subscribers_) {
        if (key == record.instance) callback = value;
      }
    }
  }
  if (callback == nullptr || !*callback) return;
  (*callback)(CopyOutcome(record));
}

}  // namespace zeltools
