// Structured log lines on standard error, one line an event, as key=value
// pairs (logfmt): journald takes them from a service's stderr, with the
// level as the line's priority.
//
//   level=warning msg="line closed" line=boiler reason="time-out, 0 of 12 reply bytes received"
#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

namespace zelgw {

// UTC to the millisecond, as log lines, /status and MQTT give times:
// "2026-12-08T14:25:06.874Z".
std::string IsoTime(std::chrono::system_clock::time_point at);

}  // namespace zelgw

namespace zelgw::log {

enum class Level { Debug, Info, Notice, Warning, Error };

struct Field {
  std::string_view key;
  std::string value;
};

// Lines below level are dropped (default: Info).
void SetLevel(Level level);
bool Enabled(Level level);
// Writes one line with a single write(2), so that lines of different
// threads never mix.
void Write(Level level, std::string_view message, std::initializer_list<Field> fields = {});

inline void Info(std::string_view message, std::initializer_list<Field> fields = {}) {
  Write(Level::Info, message, fields);
}
inline void Warning(std::string_view message, std::initializer_list<Field> fields = {}) {
  Write(Level::Warning, message, fields);
}
inline void Error(std::string_view message, std::initializer_list<Field> fields = {}) {
  Write(Level::Error, message, fields);
}

// For an event that can repeat many times a second (an accept that fails
// for want of descriptors): the first is logged, then at most one a period,
// with the number left out since the last one logged.
class Throttle {
 public:
  explicit Throttle(std::chrono::milliseconds period) : period_(period) {}
  // Whether to log this one; `skipped` is set to the number left out before it.
  bool Allow(std::size_t& skipped);

 private:
  std::mutex mutex_;
  std::chrono::milliseconds period_;
  std::chrono::steady_clock::time_point last_{};
  bool any_ = false;
  std::size_t skipped_ = 0;
};

// A value as logfmt writes it: bare when it holds no space, quote, "=" or
// control character, quoted with escapes otherwise.
std::string Quote(std::string_view value);

}  // namespace zelgw::log
