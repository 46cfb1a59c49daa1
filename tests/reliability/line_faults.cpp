// zelqd_line_faults: what the driver does when the line misbehaves, one
// scenario a row: a remote computer whose replies come late (or never), a
// line full of noise, output held. The driver runs through ZelMain with a
// short reply time-out set on its handle (as the soak does), against the
// simulator's engine on a pseudo-terminal, transfers back to back. Each row
// tells the wrong values taken as good, the outcomes, the time a transfer
// took to return (also in reply time-outs), and the gap between a request
// the remote left unanswered and the retry that followed it, as the remote
// saw them. A transfer that has not returned when the fault is lifted
// (after --limit-s) counts as one that never returns.
//
// --gaps: the driver's own read time-outs, as a host sets them (OpenPort
// with a reply time-out of 50, raised to the floor of 1.2 s, and of 300;
// ReopenPort, ChangeZelParams with a stored 200, each after ClosePort), against a remote that
// ignores the first request of each transfer and answers the retry: the
// gap between the two requests; then a transfer on a dead line.
//
//   zelqd_line_faults [--timeout-ms T] [--limit-s S] [--only NAME] [--gaps]
#include <poll.h>
#include <unistd.h>

#include <termios.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/platform.h"
#include "zelqd/zelqd.h"
#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/random.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kNoiseBytesPerSecond = 40000;

// The remote computer: answers each request in turn after the delay the
// scenario gives it (-1: no reply), and can fill the line with noise.
class Remote {
 public:
  // A request as the remote saw it: when it was read, during which
  // transfer, and whether it was answered at all.
  struct Request {
    Clock::time_point at;
    int transfer;
    bool answered;
  };

  Remote(int fd, std::function<int(std::uint64_t)> delayMs, const std::atomic<int>* transfer)
      : fd_(fd), delayMs_(std::move(delayMs)), transfer_(transfer) {
    for (int v = 0; v < 1000; ++v) engine_.table().Set(v, 0x00C00000u + static_cast<unsigned>(v));
    thread_ = std::thread([this] { Serve(); });
    noiseThread_ = std::thread([this] { MakeNoise(); });
  }
  ~Remote() {
    stopping_ = true;
    thread_.join();
    noiseThread_.join();
  }
  void Noise(bool on) { noise_ = on; }
  std::vector<Request> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::uint32_t Value(int variable) {
    std::lock_guard lock(mutex_);
    return engine_.table().Get(variable);
  }

 private:
  // Printable noise while switched on, at a rate far above what keeps every
  // drain read of 512 bytes in 50 ms full (about 10 kB/s), so that a loaded
  // machine's pauses do not leave a read short.
  void MakeNoise() {
    zelsim::Random random(7);
    const auto start = Clock::now();
    long sent = 0;
    while (!stopping_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const double s = std::chrono::duration<double>(Clock::now() - start).count();
      const long due = static_cast<long>(s * kNoiseBytesPerSecond);
      if (!noise_) {
        sent = due;
        continue;
      }
      std::uint8_t junk[256];
      const long n = std::min<long>(due - sent, sizeof junk);
      for (long i = 0; i < n; ++i) junk[i] = static_cast<std::uint8_t>(0x30 + random.Below(40));
      const ssize_t w = ::write(fd_, junk, static_cast<std::size_t>(n));
      sent += w > 0 ? w : 0;
    }
  }

  void Serve() {
    std::uint64_t n = 0;
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0) continue;
      std::uint8_t buffer[512];
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got <= 0) continue;
      const auto at = Clock::now();
      std::vector<zelsim::Event> events;
      {
        std::lock_guard lock(mutex_);
        events = engine_.Feed(std::span(buffer, static_cast<std::size_t>(got)));
      }
      for (const auto& event : events) {
        const auto* x = std::get_if<zelsim::Exchange>(&event);
        if (x == nullptr) continue;
        const int delay = delayMs_(n++);
        {
          std::lock_guard lock(mutex_);
          requests_.push_back({at, transfer_->load(), delay >= 0});
        }
        if (delay < 0) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        const zelsim::Bytes bytes = x->transmitted();
        std::size_t done = 0;
        while (done < bytes.size() && !stopping_) {
          const ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
          if (w > 0) done += static_cast<std::size_t>(w);
        }
      }
    }
  }

  int fd_;
  std::function<int(std::uint64_t)> delayMs_;
  const std::atomic<int>* transfer_;
  std::vector<Request> requests_;
  zelsim::Engine engine_;
  std::mutex mutex_;
  std::thread thread_;
  std::thread noiseThread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> noise_{false};
};

enum class Fault { kNone, kNoise, kHeldOutput };

struct Scenario {
  const char* name;
  const char* what;
  int transfers;
  Fault fault;
  // The delay of reply n in units of the reply time-out (negative: none).
  std::function<double(std::uint64_t n, zelsim::Random& random)> late;
  bool writes = false;  // write transfers in place of reads
};

struct Row {
  int ok = 0, failed = 0, wrong = 0, stuck = 0;
  double meanMs = 0, maxMs = 0;
  int gaps = 0;  // unanswered requests followed by a retry
  double meanGapMs = 0, maxGapMs = 0;
};

// The gaps between a request the remote left unanswered and the next
// request of the same transfer.
void MeasureGaps(const std::vector<Remote::Request>& requests, Row& row) {
  double total = 0;
  for (std::size_t i = 0; i + 1 < requests.size(); ++i) {
    if (requests[i].answered || requests[i + 1].transfer != requests[i].transfer) continue;
    const double ms =
        std::chrono::duration<double, std::milli>(requests[i + 1].at - requests[i].at).count();
    ++row.gaps;
    total += ms;
    row.maxGapMs = std::max(row.maxGapMs, ms);
  }
  row.meanGapMs = row.gaps > 0 ? total / row.gaps : 0;
}

// The native backend with the reply time-out that the open asks for
// replaced by the measurement's own, so that a late reply costs little.
std::uint32_t g_openReplyMs = 0;
std::uint32_t g_shortReplyMs = 0;

bool ShortReplies(zelqd::serial::Device* device, const zelqd::serial::Timeouts* timeouts) {
  zelqd::serial::Timeouts t = *timeouts;
  if (t.readTotalConstant == g_openReplyMs) t.readTotalConstant = g_shortReplyMs;
  return zelqd::serial::NativePlatform().setTimeouts(device, &t);
}

std::int32_t Call(DriverInstance& instance, std::int32_t code, void* params) {
  DriverCall call{};
  call.instance = &instance;
  call.code = code;
  call.params = params;
  return ZelMain(&call);
}

Row Run(const Scenario& s, int timeoutMs, int limitS) {
  zelsim::PtyPair pty;
  zelsim::Random random(11);
  std::mutex randomMutex;
  std::atomic<int> transfer{-1};
  Remote remote(
      pty.master(),
      [&](std::uint64_t n) {
        std::lock_guard lock(randomMutex);
        const double late = s.late(n, random);
        return late < 0 ? -1 : static_cast<int>(late * timeoutMs);
      },
      &transfer);
  DriverInstance instance{};
  OpenRequest open{};
  pty.shortName().copy(open.name, sizeof open.name - 1);
  open.active = 1;
  open.replyTimeout = 120;
  open.settings.baudRate = 38400;
  open.settings.dataBits = 8;
  Row row;
  g_openReplyMs = static_cast<std::uint32_t>(open.replyTimeout) * 10;
  g_shortReplyMs = static_cast<std::uint32_t>(timeoutMs);
  zelqd::serial::Platform shortReplies = zelqd::serial::NativePlatform();
  shortReplies.setTimeouts = ShortReplies;
  zelqd::serial::UsePlatform(&shortReplies);
  struct Restore {
    ~Restore() { zelqd::serial::UsePlatform(nullptr); }
  } restore;
  if (Call(instance, CodeOpenPort, &open) != ResultOk) return row;

  // The fault is lifted when a transfer has run for the limit, so that one
  // that would never return does.
  std::atomic<bool> done{false};
  std::atomic<bool> lifted{false};
  std::atomic<Clock::rep> began{Clock::now().time_since_epoch().count()};
  if (s.fault == Fault::kNoise) {
    remote.Noise(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the line fills up
  }
  if (s.fault == Fault::kHeldOutput) tcflow(pty.slave(), TCOOFF);
  std::thread watchdog([&] {
    const auto limit = std::chrono::seconds(limitS);
    while (!done && Clock::now() - Clock::time_point(Clock::duration(began.load())) < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done) return;
    lifted = true;
    remote.Noise(false);
    tcflow(pty.slave(), TCOON);
  });

  double total = 0;
  for (int i = 0; i < s.transfers; ++i) {
    const int variable = 100 + i % 50;
    ValueSlot slot{};
    TransferRequest request{};
    request.variableNumber = variable;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = &slot;
    const std::uint32_t value = 0x00D00000u + static_cast<std::uint32_t>(i);
    if (s.writes)
      slot = {static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)};
    transfer = i;
    const auto start = Clock::now();
    began = start.time_since_epoch().count();
    const std::int32_t result = Call(instance, s.writes ? CodeWriteVar : CodeReadVar, &request);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    total += ms;
    row.maxMs = std::max(row.maxMs, ms);
    if (lifted) ++row.stuck;
    if (result == ResultOk) {
      ++row.ok;
      const std::uint32_t seen = static_cast<std::uint32_t>(slot.high) << 16 | slot.low;
      if (s.writes ? remote.Value(variable) != value : seen != remote.Value(variable)) ++row.wrong;
    } else {
      ++row.failed;
    }
    if (lifted) break;
  }
  done = true;
  watchdog.join();
  row.meanMs = total / std::max(1, row.ok + row.failed);
  Call(instance, CodeClosePort, nullptr);
  MeasureGaps(remote.Requests(), row);
  return row;
}

// How a host puts a read time-out in force.
struct Setting {
  const char* how;
  std::int32_t openTimeout;  // OpenPort's replyTimeout
  std::int32_t stored;       // then stored in the instance (0: not)
  std::int32_t code;         // then ReopenPort or ChangeZelParams (0: neither)
  int readMs;                // the read time-out that results
};

// A remote that ignores the first request of every transfer and answers
// the retry at once; the gap between the two requests, and on a dead line
// the time of a transfer, with the driver's own time-outs.
void Gaps() {
  const std::vector<Setting> settings = {
      {"OpenPort, replyTimeout 50 (raised to the floor)", 50, 0, 0, 1200},
      {"OpenPort, replyTimeout 300", 300, 0, 0, 3000},
      {"ClosePort, then ReopenPort", 120, 0, CodeReopenPort, 1000},
      {"ClosePort, then ChangeZelParams with a stored 200", 120, 200, CodeChangeZelParams, 2000},
  };
  std::printf(
      "| read time-out in force | how | transfers | gap unanswered -> retry, mean / max ms "
      "| in read time-outs | transfer, mean / max ms |\n");
  std::printf("|---:|---|---:|---:|---:|---:|\n");
  for (const Setting& setting : settings) {
    for (const bool dead : {false, true}) {
      zelsim::PtyPair pty;
      std::atomic<int> transfer{-1};
      std::atomic<bool> silent{dead};
      Remote remote(
          pty.master(), [&](std::uint64_t n) { return silent || n % 2 == 0 ? -1 : 0; }, &transfer);
      DriverInstance instance{};
      OpenRequest open{};
      pty.shortName().copy(open.name, sizeof open.name - 1);
      open.active = 1;
      open.replyTimeout = setting.openTimeout;
      open.settings.baudRate = 38400;
      open.settings.dataBits = 8;
      if (Call(instance, CodeOpenPort, &open) != ResultOk) return;
      if (setting.stored != 0) instance.replyTimeout = setting.stored;
      PortChangeRequest change{};
      pty.shortName().copy(change.name, sizeof change.name - 1);
      if (setting.code != 0) {
        // The held port is let go first: the same device opens only once.
        Call(instance, CodeClosePort, nullptr);
        Call(instance, setting.code, setting.code == CodeChangeZelParams ? &change : nullptr);
      }
      const int transfers = dead ? 1 : 3;
      double total = 0, longest = 0;
      for (int i = 0; i < transfers; ++i) {
        ValueSlot slot{};
        TransferRequest request{};
        request.variableNumber = 100 + i;
        request.variableClass = ZELQD_CLASS_NUMERIC;
        request.values = &slot;
        transfer = i;
        const auto start = Clock::now();
        Call(instance, CodeReadVar, &request);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        total += ms;
        longest = std::max(longest, ms);
        // A host that polls at an interval: the next transfer pays nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * setting.readMs + 100));
      }
      Call(instance, CodeClosePort, nullptr);
      Row row;
      MeasureGaps(remote.Requests(), row);
      std::printf("| %d ms | %s%s | %d | %.0f / %.0f | %.3f | %.0f / %.0f |\n", setting.readMs,
                  setting.how, dead ? ", dead line" : "", transfers, row.meanGapMs, row.maxGapMs,
                  row.meanGapMs / setting.readMs, total / transfers, longest);
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int timeoutMs = 100;
  int limitS = 20;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--gaps") {
      Gaps();
      return 0;
    }
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--timeout-ms") timeoutMs = std::atoi(argv[i + 1]);
    if (a == "--limit-s") limitS = std::atoi(argv[i + 1]);
    if (a == "--only") only = argv[i + 1];
  }
  const auto every = [](double t) { return [t](std::uint64_t, zelsim::Random&) { return t; }; };
  const auto between = [](double lo, double hi) {
    return [lo, hi](std::uint64_t, zelsim::Random& r) { return lo + (hi - lo) * r.Unit(); };
  };
  const auto tenth = [](double lo, double hi) {
    return [lo, hi](std::uint64_t, zelsim::Random& r) {
      return r.Below(10) == 0 ? lo + (hi - lo) * r.Unit() : 0.0;
    };
  };
  const std::vector<Scenario> scenarios = {
      {"clean", "every reply in time", 300, Fault::kNone, every(0)},
      {"late-1.1", "every reply 1.1 time-outs late", 40, Fault::kNone, every(1.1)},
      {"late-1.5", "every reply 1.5 time-outs late", 40, Fault::kNone, every(1.5)},
      {"late-2", "every reply 2 time-outs late", 40, Fault::kNone, every(2.0)},
      {"late-1.1-2", "every reply 1.1 to 2 time-outs late", 40, Fault::kNone, between(1.1, 2.0)},
      // Later than the settling waits for: such a reply can still be taken
      // for the next request's.
      {"late-1.1-3", "every reply 1.1 to 3 time-outs late", 40, Fault::kNone, between(1.1, 3.0)},
      {"late-3", "every reply 3 time-outs late", 40, Fault::kNone, every(3.0)},
      {"tenth-1.5", "a tenth of the replies 1.5 time-outs late", 300, Fault::kNone,
       tenth(1.5, 1.5)},
      {"tenth-1.1-2", "a tenth of the replies 1.1 to 2 time-outs late", 300, Fault::kNone,
       tenth(1.1, 2.0)},
      {"tenth-1.1-2-writes", "writes, a tenth of the replies 1.1 to 2 time-outs late", 300,
       Fault::kNone, tenth(1.1, 2.0), true},
      {"tenth-lost", "a tenth of the replies lost", 300, Fault::kNone,
       [](std::uint64_t, zelsim::Random& r) { return r.Below(10) == 0 ? -1.0 : 0.0; }},
      {"silent", "no reply at all", 5, Fault::kNone, every(-1)},
      {"noise", "40 kB/s of noise on the line", 1, Fault::kNoise, every(0)},
      {"held", "output held (tcflow TCOOFF), a write", 1, Fault::kHeldOutput, every(0), true},
  };
  std::printf("reply time-out %d ms; a transfer not back after %d s: the fault is lifted\n\n",
              timeoutMs, limitS);
  std::printf(
      "| scenario | transfers | wrong values taken | ok | failed | mean ms | max ms | mean / max "
      "in time-outs | gap unanswered -> retry, mean / max ms |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Scenario& s : scenarios) {
    if (!only.empty() && only != s.name) continue;
    const Row r = Run(s, timeoutMs, limitS);
    char max[64];
    if (r.stuck > 0) {
      std::snprintf(max, sizeof max, "never (%.0f, when lifted)", r.maxMs);
    } else {
      std::snprintf(max, sizeof max, "%.0f", r.maxMs);
    }
    char gap[64] = "-";
    if (r.gaps > 0) std::snprintf(gap, sizeof gap, "%.0f / %.0f", r.meanGapMs, r.maxGapMs);
    std::printf("| %s | %d | %d | %d | %d | %.0f | %s | %.2f / %.2f | %s |\n", s.what,
                r.ok + r.failed, r.wrong, r.ok, r.failed, r.meanMs, max, r.meanMs / timeoutMs,
                r.maxMs / timeoutMs, gap);
    std::fflush(stdout);
  }
  return 0;
}
