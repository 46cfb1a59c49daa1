#include "protocol/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/digits.h"
#include "protocol/trace_sink.h"
#include "protocol/utc_clock.h"

namespace zelqd::trace {
namespace detail {
std::atomic<int> g_state{kUnknown};
}  // namespace detail

namespace {

// A line longer than any attempt can make: the time, a 19-byte request and
// an 852-byte reply, each as text and in hexadecimal, and a reason.
constexpr std::size_t kLineCapacity = 4096;

// Builds one line; every write is bounded, and a line that would not fit
// ends in "..." instead.
class TextLine {
 public:
  void Put(char c) {
    if (length_ < kLineCapacity - 4) {
      text_[length_++] = c;
    } else {
      truncated_ = true;
    }
  }
  void Put(const char* s) {
    while (*s != '\0') Put(*s++);
  }
  void PutNumber(std::uint32_t value, int width = 1) {
    std::uint8_t digits[10];
    int n = 0;
    do {
      digits[n++] = static_cast<std::uint8_t>('0' + value % 10);
      value /= 10;
    } while (value != 0 && n < 10);
    for (int i = n; i < width; ++i) Put('0');
    while (n > 0) Put(static_cast<char>(digits[--n]));
  }
  void PutHexByte(std::uint8_t b) {
    std::uint8_t digits[2];
    protocol::PutHex<2>(digits, b);
    Put(static_cast<char>(digits[0]));
    Put(static_cast<char>(digits[1]));
  }
  // The bytes as quoted text: anything outside 0x20..0x7E, and the quote
  // and backslash, shown as '.'.
  void PutQuoted(const std::uint8_t* bytes, std::int32_t count) {
    Put('"');
    for (std::int32_t i = 0; i < count; ++i) {
      const std::uint8_t b = bytes[i];
      Put(b >= 0x20 && b < 0x7F && b != '"' && b != '\\' ? static_cast<char>(b) : '.');
    }
    Put('"');
  }
  // The bytes as quoted text, then in hexadecimal.
  void PutBytes(const std::uint8_t* bytes, std::int32_t count) {
    PutQuoted(bytes, count);
    Put(" [");
    for (std::int32_t i = 0; i < count; ++i) {
      if (i != 0) Put(' ');
      PutHexByte(bytes[i]);
    }
    Put(']');
  }
  void Finish() {
    if (truncated_) {
      std::memcpy(text_ + length_, "...", 3);
      length_ += 3;
    }
    text_[length_++] = '\n';
  }
  const char* data() const { return text_; }
  std::size_t size() const { return length_; }

 private:
  char text_[kLineCapacity];
  std::size_t length_ = 0;
  bool truncated_ = false;
};

// UTC time of day with the date, to the millisecond: 2026-11-01T12:34:56.789Z
void PutTime(TextLine& line) {
  const UtcTime now = ToUtcTime(UtcNowMilliseconds());
  line.PutNumber(static_cast<std::uint32_t>(now.year), 4);
  line.Put('-');
  line.PutNumber(now.month, 2);
  line.Put('-');
  line.PutNumber(now.day, 2);
  line.Put('T');
  line.PutNumber(now.hour, 2);
  line.Put(':');
  line.PutNumber(now.minute, 2);
  line.Put(':');
  line.PutNumber(now.second, 2);
  line.Put('.');
  line.PutNumber(now.millisecond, 3);
  line.Put('Z');
}

// ": <the system's text> (errno N)", the way every line names an error.
void PutError(TextLine& line, std::int32_t error) {
  char text[256];
  sink::ErrorText(static_cast<std::uint32_t>(error), text, sizeof text);
  line.Put(": ");
  line.Put(text);
  line.Put(" (");
  line.Put(sink::kErrorName);
  line.Put(' ');
  line.PutNumber(static_cast<std::uint32_t>(error));
  line.Put(')');
}

void PutReason(TextLine& line, const ZelqdOutcome& o) {
  switch (o.reason) {
    case ZELQD_REASON_OK:
      line.Put("ok");
      return;
    case ZELQD_REASON_OUT_OF_RANGE:
      line.Put("failed: variable number, value count or value slots unusable; nothing sent");
      return;
    case ZELQD_REASON_SENT_SHORT:
      line.Put("failed: short write, request not sent completely");
      return;
    case ZELQD_REASON_TIMEOUT:
      line.Put("failed: time-out, ");
      line.PutNumber(static_cast<std::uint32_t>(o.replyReceived));
      line.Put(" of ");
      line.PutNumber(static_cast<std::uint32_t>(o.replyExpected));
      line.Put(" reply bytes received");
      return;
    case ZELQD_REASON_CHECKSUM:
      line.Put("failed: checksum digits expected ");
      line.PutBytes(o.checksumExpected, 2);
      line.Put(" seen ");
      line.PutBytes(o.checksumSeen, 2);
      return;
    case ZELQD_REASON_ERROR_REPLY:
      line.Put("failed: ERROR reply");
      return;
    case ZELQD_REASON_NO_KEYWORD:
      line.Put("failed: reply carries neither OK nor ERROR");
      return;
    case ZELQD_REASON_BAD_VALUE_GROUP:
      line.Put("failed: value group ");
      line.PutNumber(static_cast<std::uint32_t>(o.badGroup));
      line.Put(" is not eight hexadecimal digits");
      return;
    case ZELQD_REASON_HANG_UP:
      line.Put("failed: the device hung up");
      if (o.systemError != 0) PutError(line, o.systemError);
      return;
    case ZELQD_REASON_IO_ERROR:
      // Nothing of the reply asked for yet: the request's write failed.
      line.Put(o.replyExpected > 0 ? "failed: read failed" : "failed: write failed");
      PutError(line, o.systemError);
      return;
    default:
      break;
  }
  line.Put("failed");
}

const char* StepName(std::int32_t step) {
  switch (step) {
    case ZELQD_OPEN_STEP_NAME:
      return "name";
    case ZELQD_OPEN_STEP_LOCK:
      return "lock";
    case ZELQD_OPEN_STEP_EXCLUSIVE:
      return "exclusive";
    case ZELQD_OPEN_STEP_SETTINGS:
      return "settings";
    case ZELQD_OPEN_STEP_TIMEOUTS:
      return "time-outs";
    default:
      return "open";
  }
}

// Starts tracing to target ("-": standard error; otherwise a file, appended
// to); nullptr or "" leaves the trace off.
bool StartTo(const char* target) {
  const bool on = sink::Open(target);
  detail::g_state.store(on ? detail::kOn : detail::kOff, std::memory_order_release);
  return on;
}

}  // namespace

bool detail::StartFromEnvironment() {
  // Runs once, whichever thread comes first: that thread moves the state
  // from unknown to starting and reads the variable; the others wait until
  // the state is settled.
  int state = kUnknown;
  if (g_state.compare_exchange_strong(state, kStarting, std::memory_order_acq_rel)) {
    StartTo(std::getenv("ZELQD_TRACE"));
    // StartTo settles the state; should it ever not, the trace stays off.
    int starting = kStarting;
    g_state.compare_exchange_strong(starting, kOff, std::memory_order_acq_rel);
  }
  do {
    state = g_state.load(std::memory_order_acquire);
  } while (state == kStarting);
  return state == kOn;
}

namespace {

void PutOpenFailure(TextLine& line, const ZelqdOutcome& o) {
  line.Put(" zelqd open ");
  line.PutQuoted(reinterpret_cast<const std::uint8_t*>(o.portName), o.portNameLength);
  line.Put(" failed: ");
  line.Put(StepName(o.openStep));
  PutError(line, o.systemError);
}

void PutAttempt(TextLine& line, const ZelqdOutcome& o) {
  line.Put(" zelqd attempt ");
  line.PutNumber(static_cast<std::uint32_t>(o.attempt));
  line.Put('/');
  line.PutNumber(static_cast<std::uint32_t>(o.attempts));
  if (o.requestLength > 0) {
    line.Put(" sent ");
    line.PutBytes(o.request, o.requestLength);
  }
  if (o.replyExpected > 0) {
    line.Put(" received ");
    line.PutNumber(static_cast<std::uint32_t>(o.replyReceived));
    line.Put(" bytes ");
    line.PutBytes(o.reply, o.replyReceived);
  }
  line.Put(" -> ");
  PutReason(line, o);
}

}  // namespace

void Write(const ZelqdOutcome& outcome) {
  TextLine line;
  PutTime(line);
  if (outcome.kind == ZELQD_OUTCOME_OPEN) {
    PutOpenFailure(line, outcome);
  } else {
    PutAttempt(line, outcome);
  }
  line.Finish();
  // One write per line, so that lines of different ports never interleave.
  sink::Write(line.data(), line.size());
}

}  // namespace zelqd::trace
