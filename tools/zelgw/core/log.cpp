#include "core/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zelgw {

std::string IsoTime(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(at);
  const auto ms = duration_cast<milliseconds>(at.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return text;
}

}  // namespace zelgw

namespace zelgw::log {
namespace {

std::atomic<int> g_level{static_cast<int>(Level::Info)};

const char* Name(Level level) {
  switch (level) {
    case Level::Debug:
      return "debug";
    case Level::Info:
      return "info";
    case Level::Notice:
      return "notice";
    case Level::Warning:
      return "warning";
    case Level::Error:
      return "error";
  }
  return "info";
}

// The syslog priority journald reads from a "<N>" prefix.
int Priority(Level level) {
  switch (level) {
    case Level::Debug:
      return 7;
    case Level::Info:
      return 6;
    case Level::Notice:
      return 5;
    case Level::Warning:
      return 4;
    case Level::Error:
      return 3;
  }
  return 6;
}

// Whether stderr is the journal's stream (JOURNAL_STREAM names its device
// and inode): then journald stamps the time and reads the priority prefix.
bool ToJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || ::fstat(2, &st) != 0) return false;
    unsigned long long dev = 0, ino = 0;
    // NOLINTNEXTLINE(cert-err34-c): a number out of range only fails the comparison below.
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    return dev == st.st_dev && ino == st.st_ino;
  }();
  return journal;
}

}  // namespace

void SetLevel(Level level) { g_level = static_cast<int>(level); }

bool Enabled(Level level) { return static_cast<int>(level) >= g_level.load(); }

std::string Quote(std::string_view value) {
  bool bare = !value.empty();
  for (const char c : value) {
    if (c == ' ' || c == '"' || c == '=' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
      bare = false;
  }
  if (bare) return std::string(value);
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x",
                    static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool Throttle::Allow(std::size_t& skipped) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  if (any_ && now - last_ < period_) {
    ++skipped_;
    return false;
  }
  any_ = true;
  last_ = now;
  skipped = skipped_;
  skipped_ = 0;
  return true;
}

void Write(Level level, std::string_view message, std::initializer_list<Field> fields) {
  if (!Enabled(level)) return;
  std::string line;
  if (ToJournal()) {
    line = "<" + std::to_string(Priority(level)) + ">";
  } else {
    line = "ts=" + IsoTime(std::chrono::system_clock::now()) + " ";
  }
  line += "level=";
  line += Name(level);
  line += " msg=" + Quote(message);
  for (const Field& f : fields) {
    line += ' ';
    line += f.key;
    line += '=';
    line += Quote(f.value);
  }
  line += '\n';
  // One write: lines of different threads never interleave.
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(2, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace zelgw::log
