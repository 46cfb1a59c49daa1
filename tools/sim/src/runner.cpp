#include "zelsim/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

namespace zelsim {
namespace {

using Clock = std::chrono::steady_clock;

// How long to wait before reading again after the line reported a hang-up
// (a pseudo-terminal whose device nobody holds open, an unplugged adapter).
constexpr auto kHangupBackoff = std::chrono::milliseconds(100);

timespec ToTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

Runner::Runner(Engine& engine, int fd, RunnerOptions options)
    : engine_(engine), fd_(fd), options_(options) {}

Runner::~Runner() { Stop(); }

void Runner::Start() {
  if (thread_.joinable()) return;
  if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  stopping_ = false;
  queue_.clear();
  hungUp_ = false;
  start_ = Clock::now();
  thread_ = std::thread([this] { Serve(); });
}

void Runner::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const char byte = 0;
  const ssize_t written = ::write(stopPipe_[1], &byte, 1);
  static_cast<void>(written);  // a full pipe wakes the thread as well
  thread_.join();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  stopPipe_[0] = stopPipe_[1] = -1;
}

std::string Runner::error() const {
  std::lock_guard lock(errorMutex_);
  return error_;
}

void Runner::SetError(std::string text) {
  std::lock_guard lock(errorMutex_);
  error_ = std::move(text);
}

double Runner::Elapsed() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

bool Runner::WaitUntil(Clock::time_point deadline) {
  while (!stopping_) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    pollfd stop{stopPipe_[0], POLLIN, 0};
    const timespec timeout = ToTimespec(left);
    if (::ppoll(&stop, 1, &timeout, nullptr) > 0) return false;
  }
  return false;
}

bool Runner::WaitWritable() {
  pollfd fds[2] = {{fd_, POLLOUT, 0}, {stopPipe_[0], POLLIN, 0}};
  while (!stopping_) {
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
  return false;
}

bool Runner::WriteAll(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable()) return false;
    } else {
      SetError(std::string("write: ") + std::strerror(errno));
      return false;
    }
  }
  return true;
}

std::chrono::nanoseconds Runner::CharacterTime() const {
  if (options_.paceBaud <= 0) return std::chrono::nanoseconds::zero();
  return std::chrono::nanoseconds(1000000000LL * options_.bitsPerCharacter / options_.paceBaud);
}

bool Runner::WritePaced(std::span<const std::uint8_t> bytes) {
  // Each byte goes out when the wire would have finished carrying it.
  const auto charTime = CharacterTime();
  const auto start = Clock::now();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const auto carried = static_cast<std::size_t>((Clock::now() - start) / charTime);
    const std::size_t due = std::min(bytes.size(), carried);
    if (due > sent) {
      if (!WriteAll(bytes.subspan(sent, due - sent))) return false;
      sent = due;
    } else if (!WaitUntil(start + charTime * static_cast<long>(sent + 1))) {
      return false;
    }
  }
  return true;
}

bool Runner::SendDue() {
  while (!queue_.empty()) {
    Outgoing& head = queue_.front();
    const Chunk& chunk = head.exchange.line[head.next];
    if (!head.scheduled) {
      // A reply leaves its wait after its request arrived, a later piece its
      // wait after the piece before it; one chunk at a time on the line.
      const auto wait = std::chrono::milliseconds(chunk.waitMs);
      const auto turnaround = std::chrono::milliseconds(options_.turnaroundMs);
      head.due =
          head.next == 0 ? std::max(head.arrived + turnaround + wait, lineFree_) : lineFree_ + wait;
      head.scheduled = true;
    }
    if (Clock::now() < head.due) return true;
    if (options_.trace != nullptr) options_.trace->Sent(Elapsed(), head.exchange, head.next);
    const bool ok = options_.paceBaud > 0 ? WritePaced(chunk.bytes) : WriteAll(chunk.bytes);
    if (!ok) return false;
    WithEngine([&](Engine& e) { e.counters().bytesSent += chunk.bytes.size(); });
    lineFree_ = Clock::now();
    head.scheduled = false;
    if (++head.next == head.exchange.line.size()) queue_.pop_front();
  }
  return true;
}

bool Runner::Receive() {
  std::uint8_t buffer[1024];
  const ssize_t got = ::read(fd_, buffer, sizeof buffer);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (got < 0 && errno != EIO) {
    SetError(std::string("read: ") + std::strerror(errno));
    return false;
  }
  if (got <= 0) {
    // Hung up: look again after a while for the other side to come back.
    if (!hungUp_ && options_.trace != nullptr) options_.trace->Note(Elapsed(), "line hung up");
    hungUp_ = true;
    readAgainAt_ = Clock::now() + kHangupBackoff;
    return true;
  }
  hungUp_ = false;
  // The wire carries the bytes one after the other: the first of this read
  // began when it came, or when the line had carried the byte before it.
  const auto charTime = CharacterTime();
  const auto first = std::max(Clock::now(), inputCarried_);
  inputCarried_ = first + charTime * got;
  const double now = Elapsed();
  std::size_t held = 0;  // bytes of an unfinished frame from earlier reads
  auto events = WithEngine([&](Engine& e) {
    held = e.pending();
    return e.Feed(std::span(buffer, static_cast<std::size_t>(got)));
  });
  // Bytes of this read taken so far by the events, held ones first.
  auto taken = -static_cast<std::ptrdiff_t>(held);
  for (Event& event : events) {
    if (const auto* junk = std::get_if<Junk>(&event)) {
      taken += static_cast<std::ptrdiff_t>(junk->bytes.size());
      if (options_.trace != nullptr) options_.trace->Junk(now, junk->bytes);
      continue;
    }
    auto& exchange = std::get<Exchange>(event);
    taken += static_cast<std::ptrdiff_t>(exchange.request.bytes.size());
    const auto arrived = first + charTime * std::max<std::ptrdiff_t>(taken, 0);
    if (options_.trace != nullptr)
      options_.trace->Received(std::chrono::duration<double>(arrived - start_).count(), exchange);
    if (!exchange.line.empty()) queue_.push_back({std::move(exchange), arrived});
  }
  return true;
}

void Runner::Serve() {
  lineFree_ = inputCarried_ = Clock::now();
  while (!stopping_) {
    // Wake for input, for the next chunk that falls due, or for the end of
    // a hang-up's pause.
    std::optional<Clock::time_point> wake;
    if (!queue_.empty() && queue_.front().scheduled) wake = queue_.front().due;
    const bool reading = !hungUp_ || Clock::now() >= readAgainAt_;
    if (!reading && (!wake || readAgainAt_ < *wake)) wake = readAgainAt_;
    pollfd fds[2] = {{reading ? fd_ : -1, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    timespec timeout{};
    if (wake) timeout = ToTimespec(*wake - Clock::now());
    const int n = ::ppoll(fds, 2, wake ? &timeout : nullptr, nullptr);
    if (n < 0 && errno != EINTR) {
      SetError(std::string("poll: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLNVAL) != 0) {
      SetError("the line's file descriptor is not open");
      return;
    }
    if (n > 0 && fds[0].revents != 0 && !Receive()) return;
    if (!SendDue()) return;
  }
}

}  // namespace zelsim
