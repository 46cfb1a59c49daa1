// zelqd_soak: the driver through ZelMain against the simulated remote
// computer on a pseudo-terminal, with a quarter of the replies faulty, over
// many transfers made back to back: the next transfer starts the moment
// the last one returns, whatever is still on its way on the line. Among the
// faults are replies delayed by half the reply time-out up to twice it. It
// checks what a host relies on:
// - every ResultOk read returns exactly the simulator's values, never those
//   of a reply to another request;
// - every ResultOk write is in the simulator's table;
// - a transfer none of whose replies reached the line intact (or late but
//   intact) never returns ResultOk;
// - every single-digit corruption is caught;
// - no transfer takes longer than five attempts can (no hang).
// A double corruption (two bytes with a bit flipped each, as line noise
// makes them) can go unseen by an 8-bit sum: the soak predicts from the
// corrupted bytes whether the sum still matches, counts the replies
// accepted that way, and tells them apart from a wrong value accepted for
// any other reason (which must never happen). It prints the counts by
// outcome and fault and exits with 1 when a check failed.
//
//   zelqd_soak [--transfers N] [--seed S] [--timeout-ms T] [--verbose]
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/com.h"
#include "serial/platform.h"
#include "zelqd/zelqd.h"
#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/random.h"

namespace {

using Clock = std::chrono::steady_clock;
using zelsim::Bytes;
using zelsim::Fault;

struct Options {
  long transfers = 20000;
  std::uint64_t seed = 1;
  int timeoutMs = 100;
  bool verbose = false;
};

// Probabilities per request. Together with the double corruption that the
// soak adds to replies the simulator left intact, about a quarter of the
// replies are faulty.
constexpr double kDrop = 0.04;
constexpr double kCorrupt = 0.05;
constexpr double kSplit = 0.04;
constexpr double kDelay = 0.05;
constexpr double kGarbage = 0.04;
constexpr double kError = 0.03;
constexpr double kDoubleCorrupt = 0.05;

constexpr int kAttempts = 5;
constexpr int kVariables = 2000;  // the working set: 0..999 and 99000..99999

// One request as the simulator saw it and what went back on the line.
struct Seen {
  zelsim::Command command = zelsim::Command::Read;
  std::vector<Fault> faults;
  bool doubleCorrupt = false;
  bool doubleUndetectable = false;  // the sum still matches the corrupted reply
  bool doubleHarmless = false;      // ... and its values read as before (a letter's case)
  int delayMs = 0;                  // the wait before the reply's first byte went out
  bool pastTimeout = false;         // ... longer than the reply time-out
  Bytes sent;                       // the reply bytes that went out, garbage included

  bool has(Fault f) const { return std::find(faults.begin(), faults.end(), f) != faults.end(); }
  // The proper reply went out unaltered, or altered in letters' case only
  // (an ERROR reply is none).
  bool sound() const {
    return !sent.empty() && (!doubleCorrupt || doubleHarmless) && !has(Fault::Corrupt) &&
           !has(Fault::Error);
  }
  // ... and in time, or only after the time-out.
  bool intact() const { return sound() && !pastTimeout; }
  bool late() const { return sound() && pastTimeout; }
  bool faulty() const { return !faults.empty() || doubleCorrupt; }
};

// Whether the checksum digits of a value reply of n groups match its value
// digits, computed here with the C library's formatting.
bool SumMatches(const Bytes& reply, std::size_t groups) {
  const std::size_t digits = 8 * groups;
  if (reply.size() < digits + 3) return false;
  unsigned sum = 0;
  for (std::size_t i = 1; i <= digits; ++i) sum += reply[i];
  char check[3];
  std::snprintf(check, sizeof check, "%.2X", (0u - sum) & 0xFFu);
  return reply[digits + 1] == check[0] && reply[digits + 2] == check[1];
}

std::uint32_t GroupValue(const Bytes& reply, std::size_t i) {
  char group[9] = {};
  std::memcpy(group, reply.data() + 1 + 8 * i, 8);
  return static_cast<std::uint32_t>(std::strtoul(group, nullptr, 16));
}

// The remote computer: the simulator's engine served on the master side of
// the pseudo-terminal, one request after the other, with the waits its
// faults ask for. It adds the double corruption the engine does not make,
// and draws each delay from half the reply time-out up to twice it, the
// pieces of a split reply included.
class Remote {
 public:
  Remote(zelsim::FaultConfig faults, std::uint64_t seed, int fd, int timeoutMs)
      : engine_(std::move(faults)), random_(seed ^ 0xD0B1Eull), fd_(fd), timeoutMs_(timeoutMs) {}
  ~Remote() { Stop(); }

  void Start() {
    thread_ = std::thread([this] { Serve(); });
  }
  void Stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Waits until the remote has read and taken in count requests, for at
  // most a second plus the delays of five replies (it answers one request
  // after the other); its replies may still be on their way.
  bool WaitSeen(std::size_t count) {
    const int rounds = 5000 * (1 + 2 * timeoutMs_ * kAttempts / 1000);
    for (int i = 0; i < rounds; ++i) {
      if (SeenCount() >= count) return true;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
  }

  // The longest delay of a reply, in milliseconds.
  int LongestDelay() {
    std::lock_guard lock(mutex_);
    return longestDelay_;
  }

  std::size_t SeenCount() {
    std::lock_guard lock(mutex_);
    return seen_.size();
  }
  std::vector<Seen> SeenSince(std::size_t from) {
    std::lock_guard lock(mutex_);
    return std::vector<Seen>(seen_.begin() + static_cast<std::ptrdiff_t>(from), seen_.end());
  }
  std::uint32_t Value(int variable) {
    std::lock_guard lock(mutex_);
    return engine_.table().Get(variable);
  }
  void Set(int variable, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    engine_.table().Set(variable, value);
  }
  std::string error() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  void Serve() {
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0) continue;
      std::uint8_t buffer[512];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      std::vector<zelsim::Event> events;
      if (n > 0) {
        std::lock_guard lock(mutex_);
        events = engine_.Feed(std::span(buffer, static_cast<std::size_t>(n)));
      }
      for (auto& event : events) {
        if (auto* x = std::get_if<zelsim::Exchange>(&event)) Answer(*x);
      }
    }
  }

  void Answer(zelsim::Exchange& x) {
    Seen s;
    s.command = x.request.command;
    s.faults = x.faults;
    // Two bytes with one bit flipped each, in a reply the simulator left
    // alone.
    if (x.faults.empty() && x.line.size() == 1 && random_.Unit() < kDoubleCorrupt) {
      Bytes& reply = x.line.front().bytes;
      std::size_t first = 1;
      std::size_t last = reply.size() - 1;  // value and checksum digits
      if (s.command == zelsim::Command::Write) {
        first = reply.size() == zelsim::kOkReplySize ? 3 : 6;
        last = first + 2;
      }
      const std::size_t span = last - first;
      const std::size_t a = first + random_.Below(static_cast<std::uint32_t>(span));
      std::size_t b = first + random_.Below(static_cast<std::uint32_t>(span - 1));
      if (b >= a) ++b;
      const Bytes before = reply;
      for (std::size_t at : {a, b}) reply[at] ^= static_cast<std::uint8_t>(1u << random_.Below(7));
      s.doubleCorrupt = true;
      const auto groups = static_cast<std::size_t>(x.request.count);
      s.doubleUndetectable = s.command == zelsim::Command::Read && SumMatches(reply, groups);
      // A flipped bit 5 turns a hexadecimal letter into the same letter in
      // the other case: with a flip that makes up for it in the sum, the
      // reply carries its values as before.
      s.doubleHarmless = s.doubleUndetectable;
      for (std::size_t i = 0; i < groups && s.doubleHarmless; ++i) {
        const auto* group = reinterpret_cast<const char*>(reply.data() + 1 + 8 * i);
        s.doubleHarmless =
            std::strspn(std::string(group, 8).c_str(), "0123456789ABCDEFabcdef") == 8 &&
            GroupValue(reply, i) == GroupValue(before, i);
      }
    }
    if (x.has(Fault::Delay)) {
      // Half the time-out up to twice it, until the reply's last piece.
      const int pieces = static_cast<int>(x.line.size()) - 1;
      const int gaps = pieces > 0 ? x.line.back().waitMs * pieces : 0;
      const int longest = 2 * timeoutMs_ - gaps;
      const int shortest = timeoutMs_ / 2;
      s.delayMs = shortest + static_cast<int>(random_.Below(
                                 static_cast<std::uint32_t>(std::max(1, longest - shortest))));
      x.line.front().waitMs = s.delayMs;
      // A read waits the time-out for its first byte; pieces that follow
      // close enough keep it going.
      s.pastTimeout = s.delayMs >= timeoutMs_;
    }
    s.sent = x.transmitted();
    {
      std::lock_guard lock(mutex_);
      seen_.push_back(s);
      longestDelay_ = std::max(longestDelay_, s.delayMs);
    }
    for (const zelsim::Chunk& chunk : x.line) {
      if (chunk.waitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(chunk.waitMs));
      if (!WriteAll(chunk.bytes)) return;
    }
  }

  bool WriteAll(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 10);
      } else {
        std::lock_guard lock(mutex_);
        error_ = std::string("write: ") + std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  zelsim::Engine engine_;
  zelsim::Random random_;
  int fd_;
  int timeoutMs_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<Seen> seen_;
  int longestDelay_ = 0;
  std::string error_;
};

// The native backend, counting the requests the driver writes and with the
// reply time-out that the open asks for replaced by the soak's own.
std::atomic<long> g_writes{0};
std::uint32_t g_openReplyMs = 0;
std::uint32_t g_soakReplyMs = 0;

bool CountingWrite(zelqd::serial::Device* device, const void* bytes, std::uint32_t count,
                   std::uint32_t* written) {
  g_writes.fetch_add(1, std::memory_order_relaxed);
  return zelqd::serial::NativePlatform().write(device, bytes, count, written);
}

bool ShortReplies(zelqd::serial::Device* device, const zelqd::serial::Timeouts* timeouts) {
  zelqd::serial::Timeouts t = *timeouts;
  if (t.readTotalConstant == g_openReplyMs) t.readTotalConstant = g_soakReplyMs;
  return zelqd::serial::NativePlatform().setTimeouts(device, &t);
}

struct Counts {
  long reads = 0, blocks = 0, writes = 0;
  long ok = 0, failed = 0, refused = 0;
  long requests = 0, faultyReplies = 0;
  long byFault[zelsim::kFaultKinds] = {};
  long doubles = 0, doublesRead = 0, doublesJudged = 0, doublesUndetectable = 0;
  long doublesHarmless = 0;
  long doublesAccepted = 0;
  long singleCorruptions = 0, singleAccepted = 0;
  long allFaulty = 0, allFaultyOk = 0, okFromLate = 0;
  long cleanFirst = 0, cleanFirstFailed = 0;
  long delayed = 0, delayedPast = 0;
  double longestMs = 0;
  // Violations.
  long wrongValues = 0, writesMissing = 0, okWithoutIntact = 0, badResults = 0;
  long tooManyRequests = 0, hangs = 0;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--transfers" && hasValue) {
      o.transfers = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--seed" && hasValue) {
      o.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--timeout-ms" && hasValue) {
      o.timeoutMs = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
    } else if (a == "--verbose") {
      o.verbose = true;
    } else {
      return false;
    }
  }
  return o.transfers > 0 && o.timeoutMs >= 20 && o.timeoutMs % 10 == 0;
}

int Variable(zelsim::Random& r) {
  const int v = static_cast<int>(r.Below(kVariables));
  return v < kVariables / 2 ? v : 99000 + v - kVariables / 2;
}

std::uint32_t SlotValue(const ValueSlot& s) {
  return static_cast<std::uint32_t>(s.high) << 16 | s.low;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: zelqd_soak [--transfers N] [--seed S] [--timeout-ms T (multiple of 10, "
                 ">= 20)] [--verbose]\n");
    return 2;
  }

  zelsim::FaultConfig faults;
  faults.seed = options.seed;
  const auto chance = [](double p) {
    zelsim::Trigger t;
    t.kind = zelsim::Trigger::Kind::Probability;
    t.probability = p;
    return t;
  };
  faults[Fault::Drop] = chance(kDrop);
  faults[Fault::Corrupt] = chance(kCorrupt);
  faults[Fault::Split] = chance(kSplit);
  faults[Fault::Delay] = chance(kDelay);
  faults[Fault::Garbage] = chance(kGarbage);
  faults[Fault::Error] = chance(kError);
  faults.delayMs = options.timeoutMs;  // each drawn anew by the remote
  faults.splitPieces = 3;
  faults.splitGapMs = options.timeoutMs / 5;  // both gaps together within it
  faults.garbageBytes = 8;

  zelsim::PtyPair pty;
  Remote remote(faults, options.seed, pty.master(), options.timeoutMs);
  zelsim::Random choose(options.seed * 7919 + 1);
  for (int i = 0; i < kVariables; ++i) {
    const int v = i < kVariables / 2 ? i : 99000 + i - kVariables / 2;
    remote.Set(v, static_cast<std::uint32_t>(choose.Next()));
  }
  remote.Start();

  DriverInstance instance{};
  DriverCall call{};
  call.instance = &instance;
  OpenRequest open{};
  pty.shortName().copy(open.name, sizeof open.name - 1);
  open.active = 1;
  open.replyTimeout = 120;
  open.settings.baudRate = 38400;
  open.settings.dataBits = 8;
  call.code = CodeOpenPort;
  call.params = &open;
  // The driver's floor for the reply time-out is 1.2 s; the soak's backend
  // puts its own in its place when the open applies it, so that the faults
  // that cost a time-out cost little.
  g_openReplyMs = static_cast<std::uint32_t>(open.replyTimeout) * 10;
  g_soakReplyMs = static_cast<std::uint32_t>(options.timeoutMs);
  zelqd::serial::Platform counting = zelqd::serial::NativePlatform();
  counting.write = CountingWrite;
  counting.setTimeouts = ShortReplies;
  zelqd::serial::UsePlatform(&counting);
  if (ZelMain(&call) != ResultOk) {
    std::fprintf(stderr, "zelqd_soak: cannot open %s\n", pty.shortName().c_str());
    return 2;
  }
  // Five attempts, each at most a purge, a settle and a reply, and a settle
  // before the first after a transfer left a reply owed, with room for a
  // loaded machine: a transfer that takes longer hangs.
  const double boundMs = kAttempts * (4.0 * options.timeoutMs + 100) + 1000;

  Counts c;
  const auto started = Clock::now();
  for (long n = 0; n < options.transfers; ++n) {
    // What to do: single reads, blocks and writes.
    const std::uint32_t kind = choose.Below(100);
    TransferRequest request{};
    std::vector<ValueSlot> slots(20);
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = slots.data();
    request.variableNumber = Variable(choose);
    std::uint32_t written = 0;
    if (kind < 40) {
      call.code = CodeReadVar;
      ++c.reads;
    } else if (kind < 65) {
      call.code = CodeReadBlock;
      request.valueCount = 2 + static_cast<std::int32_t>(choose.Below(19));
      request.variableNumber = std::min(request.variableNumber, 100000 - request.valueCount);
      ++c.blocks;
    } else {
      call.code = CodeWriteVar;
      written = static_cast<std::uint32_t>(choose.Next());
      slots[0].high = static_cast<std::uint16_t>(written >> 16);
      slots[0].low = static_cast<std::uint16_t>(written);
      ++c.writes;
    }
    const bool read = call.code != CodeWriteVar;

    const std::size_t from = remote.SeenCount();
    const long writesBefore = g_writes.load();
    call.params = &request;
    const auto began = Clock::now();
    const std::int32_t result = ZelMain(&call);
    const double tookMs = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
    c.longestMs = std::max(c.longestMs, tookMs);
    if (tookMs > boundMs) ++c.hangs;
    // Only until the remote has taken in this transfer's requests: its late
    // replies are still to come while the next transfer starts.
    const std::size_t sent = static_cast<std::size_t>(g_writes.load() - writesBefore);
    if (!remote.WaitSeen(from + sent)) {
      std::fprintf(stderr, "zelqd_soak: the remote did not take in %zu requests\n", sent);
      return 2;
    }
    const std::vector<Seen> seen = remote.SeenSince(from);

    // Bookkeeping of what the line did.
    c.requests += static_cast<long>(seen.size());
    bool anyIntact = false;
    bool anyLate = false;
    bool allFaulty = !seen.empty();
    const Seen* undetectable = nullptr;
    std::vector<const Seen*> corrupted;  // single-digit corruptions of value replies
    for (const Seen& s : seen) {
      if (s.faulty()) ++c.faultyReplies;
      if (s.has(Fault::Delay)) {
        ++c.delayed;
        if (s.pastTimeout) ++c.delayedPast;
      }
      for (Fault f : s.faults) ++c.byFault[static_cast<int>(f)];
      if (s.has(Fault::Corrupt)) {
        ++c.singleCorruptions;
        if (s.command == zelsim::Command::Read) corrupted.push_back(&s);
      }
      if (s.doubleCorrupt) {
        ++c.doubles;
        if (s.command == zelsim::Command::Read) {
          ++c.doublesRead;
          // Every reply is judged whole: a late one is discarded before the
          // request went out, or taken by a later attempt of its own
          // transfer, which sent the same request.
          ++c.doublesJudged;
          if (s.doubleUndetectable) ++c.doublesUndetectable;
          if (s.doubleHarmless) ++c.doublesHarmless;
          if (s.doubleUndetectable && !s.doubleHarmless) undetectable = &s;
        }
      }
      anyIntact = anyIntact || s.intact();
      anyLate = anyLate || s.late();
      allFaulty = allFaulty && s.faulty();
    }
    if (seen.size() > kAttempts) ++c.tooManyRequests;
    if (!seen.empty() && !seen.front().faulty()) {
      ++c.cleanFirst;
      if (result != ResultOk) ++c.cleanFirstFailed;
    }
    if (allFaulty && seen.size() == kAttempts) {
      ++c.allFaulty;
      if (result == ResultOk) ++c.allFaultyOk;
    }

    std::string problem;
    if (result == ResultOk) {
      ++c.ok;
      bool wrong = false;
      if (read) {
        const int count = call.code == CodeReadVar ? 1 : request.valueCount;
        for (int i = 0; i < count; ++i) {
          wrong = wrong || SlotValue(slots[static_cast<std::size_t>(i)]) !=
                               remote.Value(request.variableNumber + i);
        }
        // The values exactly as a reply the line carried.
        const auto carried = [&](const Seen& s) {
          for (int i = 0; i < count; ++i) {
            if (SlotValue(slots[static_cast<std::size_t>(i)]) !=
                GroupValue(s.sent, static_cast<std::size_t>(i))) {
              return false;
            }
          }
          return true;
        };
        // A wrong value is an undetectable double corruption only when it is
        // exactly what a double-corrupted reply whose sum still matched
        // carried.
        if (wrong && undetectable != nullptr && carried(*undetectable)) {
          ++c.doublesAccepted;
        } else if (wrong) {
          ++c.wrongValues;
          problem = "wrong value accepted";
          for (const Seen* s : corrupted) {
            if (carried(*s)) {
              ++c.singleAccepted;
              problem += " from a single-digit corruption";
            }
          }
        }
      } else if (remote.Value(request.variableNumber) != written) {
        ++c.writesMissing;
        problem = "ResultOk write not in the table";
      }
      if (!anyIntact && !wrong) {
        if (anyLate) {
          ++c.okFromLate;
          if (options.verbose) {
            std::printf("transfer %ld: ok from a reply past the time-out, delays", n);
            for (const Seen& s : seen) std::printf(" %d", s.delayMs);
            std::printf("\n");
          }
        } else {
          ++c.okWithoutIntact;
          problem = "ResultOk without an intact reply";
        }
      }
    } else if (result == ResultFailed) {
      ++c.failed;
    } else {
      ++c.refused;
      ++c.badResults;
      problem = "unexpected result " + std::to_string(result);
    }
    if (!problem.empty() || (options.verbose && !seen.empty() && seen.front().faulty())) {
      std::printf("transfer %ld: code %d variable %d count %d result %d%s%s\n", n, call.code,
                  request.variableNumber, request.valueCount, result, problem.empty() ? "" : ": ",
                  problem.c_str());
      for (const Seen& s : seen) {
        std::printf("  reply %s faults:", zelsim::Printable(s.sent).c_str());
        for (Fault f : s.faults) std::printf(" %s", zelsim::FaultName(f));
        if (s.doubleCorrupt) std::printf(" double-corrupt");
        std::printf("\n");
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  zelqd::serial::UsePlatform(nullptr);
  remote.Stop();
  call.code = CodeClosePort;
  call.params = nullptr;
  ZelMain(&call);

  const auto pct = [](long part, long whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
  };
  std::printf("zelqd_soak: seed %llu, reply time-out %d ms, %.1f s\n",
              static_cast<unsigned long long>(options.seed), options.timeoutMs, seconds);
  std::printf("transfers     %ld (reads %ld, blocks %ld, writes %ld)\n", options.transfers, c.reads,
              c.blocks, c.writes);
  std::printf("outcomes      ok %ld, failed %ld, refused %ld\n", c.ok, c.failed, c.refused);
  std::printf("requests      %ld, faulty replies %ld (%.1f%%)\n", c.requests, c.faultyReplies,
              pct(c.faultyReplies, c.requests));
  std::printf(
      "faults        drop %ld, error %ld, corrupt %ld, double-corrupt %ld, split %ld, "
      "delay %ld, garbage %ld\n",
      c.byFault[static_cast<int>(Fault::Drop)], c.byFault[static_cast<int>(Fault::Error)],
      c.byFault[static_cast<int>(Fault::Corrupt)], c.doubles,
      c.byFault[static_cast<int>(Fault::Split)], c.byFault[static_cast<int>(Fault::Delay)],
      c.byFault[static_cast<int>(Fault::Garbage)]);
  std::printf(
      "delayed replies %ld: %ld past the time-out, the longest %d ms after its request "
      "(%.2f time-outs)\n",
      c.delayed, c.delayedPast, remote.LongestDelay(),
      static_cast<double>(remote.LongestDelay()) / options.timeoutMs);
  std::printf("all %d attempts faulty: %ld transfers, of which ok %ld\n", kAttempts, c.allFaulty,
              c.allFaultyOk);
  std::printf(
      "ok from a reply past the time-out (at the edge of its attempt, or taken by a retry of its "
      "transfer): %ld\n",
      c.okFromLate);
  std::printf("single-digit corruptions %ld, accepted %ld\n", c.singleCorruptions,
              c.singleAccepted);
  std::printf(
      "double corruptions of value replies %ld, judged in their own attempt %ld, "
      "sum still matching %ld (values as before %ld), accepted with a wrong value %ld: "
      "undetected rate %.2f%%\n",
      c.doublesRead, c.doublesJudged, c.doublesUndetectable, c.doublesHarmless, c.doublesAccepted,
      pct(c.doublesAccepted, c.doublesJudged));
  std::printf("clean first attempts %ld, failed %ld\n", c.cleanFirst, c.cleanFirstFailed);
  std::printf("longest transfer %.0f ms (a hang: above %.0f ms), hangs %ld\n", c.longestMs, boundMs,
              c.hangs);
  std::printf(
      "wrong values accepted %ld, ok writes missing from the table %ld, "
      "ok without an intact reply %ld, other results %ld, transfers of more than %d requests %ld\n",
      c.wrongValues, c.writesMissing, c.okWithoutIntact, c.badResults, kAttempts,
      c.tooManyRequests);

  bool pass = c.wrongValues == 0 && c.writesMissing == 0 && c.okWithoutIntact == 0 &&
              c.badResults == 0 && c.tooManyRequests == 0 && c.hangs == 0;
  // A reply that arrives intact must be taken; allow for a rare scheduling
  // stall longer than the time-out on a loaded machine.
  if (c.cleanFirstFailed > c.cleanFirst / 200) pass = false;
  if (!remote.error().empty()) {
    std::printf("remote: %s\n", remote.error().c_str());
    pass = false;
  }
  std::printf("%s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}
