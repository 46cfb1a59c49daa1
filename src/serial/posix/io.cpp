#include "serial/posix/io.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace zelqd::serial::posix {
namespace {

using Nanos = std::int64_t;
constexpr Nanos kNever = INT64_MAX;
constexpr Nanos kPerMilli = 1000000;

Nanos Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Nanos>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// start + ms, or kNever when that lies beyond the clock's range.
Nanos After(Nanos start, std::uint64_t ms) {
  // A time-out below 2^33 ms (99 days) on a clock below 19 years of
  // uptime fits without a division.
  constexpr std::uint64_t kShortMs = std::uint64_t{1} << 33;
  constexpr Nanos kShortNs = static_cast<Nanos>(kShortMs) * kPerMilli;
  if (ms < kShortMs && start < kNever - kShortNs) [[likely]] {
    return start + static_cast<Nanos>(ms) * kPerMilli;
  }
  if (ms > static_cast<std::uint64_t>((kNever - start) / kPerMilli)) return kNever;
  return start + static_cast<Nanos>(ms) * kPerMilli;
}

// poll()'s argument for a wait until the deadline: rounded up, so that the
// wait never ends before it, and capped to int (a longer wait loops).
int PollMillis(Nanos deadline, Nanos now) {
  if (deadline == kNever) return -1;
  if (now >= deadline) return 0;
  const Nanos ms = (deadline - now + kPerMilli - 1) / kPerMilli;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

enum class Wait { kReady, kTimedOut, kFailed };

// Waits for the event on fd until the deadline. Hang-up and error states
// without the event fail at once (errno 0: a hang-up that no call reported
// an error for); with the event they are left to the read or write that
// follows, which tells what remains.
Wait WaitFor(int fd, short event, Nanos deadline, Nanos now) {
  for (;;) {
    pollfd p{fd, event, 0};
    const int r = poll(&p, 1, PollMillis(deadline, now));
    if (r > 0) {
      if (p.revents & event) return Wait::kReady;
      errno = (p.revents & POLLNVAL) ? EBADF : 0;
      return Wait::kFailed;
    }
    if (r < 0 && errno != EINTR) return Wait::kFailed;
    now = Now();
    if (r == 0 && now >= deadline) return Wait::kTimedOut;
  }
}

}  // namespace

bool TimedRead(int fd, const Timeouts& timeouts, void* buffer, std::uint32_t count,
               std::uint32_t* got, bool readFirst) {
  *got = 0;
  if (count == 0) return true;
  auto* out = static_cast<unsigned char*>(buffer);
  const bool intervalMax = timeouts.readInterval == kMaxTimeout;
  const bool atOnce =
      intervalMax && timeouts.readTotalMultiplier == 0 && timeouts.readTotalConstant == 0;
  const bool anyByte = intervalMax && timeouts.readTotalMultiplier == kMaxTimeout &&
                       timeouts.readTotalConstant != 0 && timeouts.readTotalConstant != kMaxTimeout;
  const std::uint64_t totalMs =
      anyByte ? timeouts.readTotalConstant
              : static_cast<std::uint64_t>(timeouts.readTotalMultiplier) * count +
                    timeouts.readTotalConstant;
  const std::uint32_t interval =
      (intervalMax || timeouts.readInterval == 0) ? 0 : timeouts.readInterval;

  // The clock is read when the read begins, or, for a read before any
  // wait, once the first wait is due: a reply that is waiting already costs
  // no look at the clock.
  Nanos now = 0;
  Nanos deadline = kNever;
  bool started = false;
  const auto start = [&] {
    started = true;
    if (totalMs != 0 || interval != 0) now = Now();
    if (totalMs != 0) deadline = After(now, totalMs);
  };
  if (!readFirst) start();
  Nanos gapEnds = kNever;  // interval deadline, once a byte has come
  std::uint32_t total = 0;
  for (bool wait = !readFirst;; wait = true) {
    if (wait && !atOnce) {
      if (!started) start();
      const Nanos until = gapEnds < deadline ? gapEnds : deadline;
      const Wait w = WaitFor(fd, POLLIN, until, now);
      if (w == Wait::kTimedOut) break;
      if (w == Wait::kFailed) {
        *got = total;
        return false;
      }
    }
    const ssize_t n = read(fd, out + total, count - total);
    if (n > 0) {
      total += static_cast<std::uint32_t>(n);
      if (total == count || anyByte || atOnce) break;
      if (!started) {
        start();
      } else if (interval != 0 || deadline != kNever) {
        now = Now();
      }
      if (interval != 0) gapEnds = After(now, interval);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (atOnce) break;
    } else if ((n < 0 && errno == EINTR) || (n == 0 && !wait && !atOnce)) {
      // Interrupted: read again. Or 0 from a read before any wait: a terminal
      // set up to return at once gives 0 when nothing is there; the wait that
      // follows tells a hang-up.
    } else {
      // 0 after poll said readable (errno 0), or EIO: the other side hung
      // up. Linux gives 0 on a pseudo-terminal whose master was closed.
      if (n == 0) errno = 0;
      *got = total;
      return false;
    }
    if (started && (deadline != kNever || gapEnds != kNever)) now = Now();
  }
  *got = total;
  return true;
}

bool TimedWrite(int fd, const Timeouts& timeouts, const void* bytes, std::uint32_t count,
                std::uint32_t* written) {
  *written = 0;
  if (count == 0) return true;
  const auto* in = static_cast<const unsigned char*>(bytes);
  const std::uint64_t totalMs = static_cast<std::uint64_t>(timeouts.writeTotalMultiplier) * count +
                                timeouts.writeTotalConstant;
  Nanos deadline = kNever;
  bool waited = false;
  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t n = write(fd, in + done, count - done);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The time-out runs from the first wait: a write the device takes at
      // once never reads the clock.
      const Nanos now = totalMs != 0 ? Now() : 0;
      if (!waited && totalMs != 0) deadline = After(now, totalMs);
      waited = true;
      const Wait w = WaitFor(fd, POLLOUT, deadline, now);
      if (w == Wait::kReady) continue;
      if (w == Wait::kTimedOut) break;
    } else if (n == 0) {
      errno = EIO;
    }
    *written = done;
    return false;
  }
  *written = done;
  return true;
}

}  // namespace zelqd::serial::posix
