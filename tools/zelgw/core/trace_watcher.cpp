#include "core/trace_watcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace zelgw {
namespace {

constexpr std::uint64_t kEmptyWhenIdle = std::uint64_t{64} * 1024;
constexpr std::uint64_t kPunchAbove = std::uint64_t{1024} * 1024;

bool Starts(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

// A decimal number at text[at..at+width), or -1.
int Digits(std::string_view text, std::size_t at, std::size_t width) {
  if (at + width > text.size()) return -1;
  int n = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

std::string TraceFolderBase() {
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime && runtime[0] == '/') {
    const std::string dirs = runtime;
    return dirs.substr(0, dirs.find(':'));
  }
  if (const char* tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') return tmp;
  return "/tmp";
}

}  // namespace

std::string_view AttemptReasonKey(std::string_view reason) {
  if (reason == "ok") return "ok";
  if (Starts(reason, "failed: time-out, 0 of")) return "no_reply";
  if (Starts(reason, "failed: time-out")) return "incomplete_reply";
  if (Starts(reason, "failed: checksum")) return "checksum";
  if (Starts(reason, "failed: ERROR reply")) return "error_reply";
  if (Starts(reason, "failed: reply carries neither")) return "no_keyword";
  if (Starts(reason, "failed: value group")) return "bad_value";
  if (Starts(reason, "failed: short write")) return "short_write";
  if (Starts(reason, "failed: variable number")) return "out_of_range";
  return "other";
}

TraceWatcher::TraceWatcher() {
  if (const char* given = std::getenv("ZELQD_TRACE"); given != nullptr && given[0] != '\0') {
    note_ = std::string("ZELQD_TRACE is set (") + given +
            "): the driver traces there, and /metrics has no failure reasons";
    return;
  }
  std::string folder = TraceFolderBase() + "/zelgw-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    note_ = "no private folder for the driver's trace in " + TraceFolderBase() + ": " +
            std::strerror(errno) + "; /metrics has no failure reasons";
    return;
  }
  folder_ = folder;
  file_ = folder_ + "/trace";
  const int create = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (create >= 0) ::close(create);
  fd_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    note_ = "cannot open the trace file " + file_ + ": " + std::strerror(errno);
    ::unlink(file_.c_str());
    ::rmdir(folder_.c_str());
    return;
  }
  ::setenv("ZELQD_TRACE", file_.c_str(), 1);
  note_ = "driver trace read from " + file_;
}

TraceWatcher::~TraceWatcher() { RemoveFiles(); }

void TraceWatcher::RemoveFiles() {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(file_.c_str());
  ::rmdir(folder_.c_str());
}

std::uint64_t TraceWatcher::Begin(TraceSink* sink, Call call) {
  std::lock_guard lock(mutex_);
  const std::uint64_t token = nextToken_++;
  pending_.push_back({token, sink, std::move(call), 0});
  return token;
}

void TraceWatcher::End(std::uint64_t token, bool sent) {
  std::lock_guard lock(mutex_);
  // The call's lines are in the file: the driver writes each one before the
  // call returns.
  if (fd_ >= 0) Drain();
  const auto call = std::find_if(pending_.begin(), pending_.end(),
                                 [token](const Pending& p) { return p.token == token; });
  if (call != pending_.end()) {
    if (fd_ >= 0 && sent && call->call.command != 'O' && call->attempts == 0) Untraced();
    pending_.erase(call);
  }
  if (fd_ >= 0) Shrink();
}

std::uint64_t TraceWatcher::untraced() const {
  std::lock_guard lock(mutex_);
  return untraced_;
}

void TraceWatcher::Untraced() {
  ++untraced_;
  const auto now = std::chrono::steady_clock::now();
  if (untracedWarned_ != 0 && now - warnedAt_ < std::chrono::minutes(1)) return;
  std::string why = "unknown: it may have been removed";
  struct statvfs fs {};
  if (::fstatvfs(fd_, &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
    why = "its filesystem is read-only";
  } else if (::fstatvfs(fd_, &fs) == 0 && fs.f_bavail == 0) {
    why = "its filesystem is full";
  } else if (::access(file_.c_str(), W_OK) != 0) {
    why = std::string("it cannot be written: ") + std::strerror(errno);
  }
  log::Warning(
      "the driver's trace gains no lines: attempts and failure reasons go uncounted",
      {{"file", file_}, {"reason", why}, {"calls", std::to_string(untraced_ - untracedWarned_)}});
  untracedWarned_ = untraced_;
  warnedAt_ = now;
}

void TraceWatcher::Take(std::string_view line) {
  std::lock_guard lock(mutex_);
  Attribute(line);
}

std::uint64_t TraceWatcher::unattributed() const {
  std::lock_guard lock(mutex_);
  return unattributed_;
}

void TraceWatcher::Drain() {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer, sizeof buffer, static_cast<off_t>(offset_));
    if (n <= 0) break;
    offset_ += static_cast<std::uint64_t>(n);
    partial_.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
      Attribute(std::string_view(partial_).substr(start, nl - start));
    partial_.erase(0, start);
    if (partial_.size() > 65536) partial_.clear();  // no line is that long
  }
}

void TraceWatcher::Shrink() {
  if (pending_.empty() && offset_ >= kEmptyWhenIdle && partial_.empty()) {
    // Nobody can be writing: no call is in progress.
    if (::ftruncate(fd_, 0) == 0) offset_ = 0;
  } else if (offset_ >= kPunchAbove) {
    const off_t done = static_cast<off_t>(offset_ & ~std::uint64_t{4095});
    ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, done);
  }
}

void TraceWatcher::Attribute(std::string_view line) {
  // <time> zelqd attempt K/N sent "..." [..] received N bytes "..." [..] -> reason
  if (const auto at = line.find(" zelqd attempt "); at != std::string_view::npos) {
    const int number = Digits(line, at + 15, 1);
    const auto sent = line.find(" sent \"", at);
    const auto arrow = line.rfind(" -> ");
    if (number < 0 || sent == std::string_view::npos || arrow == std::string_view::npos) {
      ++unattributed_;
      return;
    }
    const std::string_view request = line.substr(sent + 7);
    const char command = request.size() > 1 ? request[1] : '?';
    const int variable = Digits(request, 3, 5);
    const int count = command == 'R' ? Digits(request, 8, 3) : 0;
    const std::string_view reason = line.substr(arrow + 4);
    Pending* best = nullptr;
    for (Pending& p : pending_) {
      if (p.call.command != command || p.call.variable != variable) continue;
      if (command == 'R' && p.call.count != count) continue;
      if (best == nullptr || (p.attempts + 1 == number && best->attempts + 1 != number)) best = &p;
    }
    if (best == nullptr) {
      ++unattributed_;
      return;
    }
    best->attempts = number;
    if (best->sink != nullptr)
      best->sink->OnAttempt(number, reason == "ok", AttemptReasonKey(reason), reason);
    return;
  }
  // <time> zelqd open "<name>" failed: <step>: <text> (errno N)
  if (const auto at = line.find(" zelqd open \""); at != std::string_view::npos) {
    const auto nameStart = at + 13;
    const auto nameEnd = line.find("\" failed: ", nameStart);
    if (nameEnd == std::string_view::npos) {
      ++unattributed_;
      return;
    }
    const std::string_view name = line.substr(nameStart, nameEnd - nameStart);
    const std::string_view text = line.substr(nameEnd + 10);
    const std::string_view step = text.substr(0, text.find(':'));
    for (Pending& p : pending_) {
      if (p.call.command == 'O' && p.call.port == name) {
        if (p.sink != nullptr) p.sink->OnOpenFailure(step, text);
        return;
      }
    }
  }
  if (!line.empty()) ++unattributed_;
}

}  // namespace zelgw
