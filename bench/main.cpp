// zelqd_bench: the driver against the kernel's own round trip of the same
// bytes, against the time of the bytes on a real wire, and against libmodbus
// doing the same kind of transfer. Every case runs on a pseudo-terminal pair
// of its own with its peer on a thread; the cases take turns in small
// batches, so that a disturbance of the machine falls on all of them alike
// and only ratios within one run are compared.
//
//   zelqd_bench [--short] [--sections single,ports,pace] [--transfers N]
//               [--batch K] [--port-seconds S] [--port-rounds R] [--no-pin]
//               [--library PATH]
//   zelqd_bench --count CASE [--transfers N] [--warmup W] [--library PATH]
//
// The figures are never judged by the exit status; it is 1 when a transfer
// failed (or the set-up did), so that a broken build shows.
//
// --count runs one case alone, its peer in a child process, with the
// measured loop between callgrind's start and stop of instrumentation, and
// prints the heap allocations the loop made (scripts/count.sh uses it).
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "alloc_count.h"
#include "clients.h"
#include "lines.h"
#include "stats.h"

namespace bench {
namespace {

enum class Who { kBare, kDriver, kModbus };

struct CaseSpec {
  const char* id;
  const char* label;
  Who who;
  Transfer transfer;
};

constexpr CaseSpec kCases[] = {
    {"bare-read", "bare round trip, 14 B out, 12 B back", Who::kBare, Transfer::kReadOne},
    {"readvar", "ReadVar", Who::kDriver, Transfer::kReadOne},
    {"bare-write", "bare round trip, 19 B out, 6 B back", Who::kBare, Transfer::kWriteOne},
    {"writevar", "WriteVar", Who::kDriver, Transfer::kWriteOne},
    {"bare-block", "bare round trip, 14 B out, 852 B back", Who::kBare, Transfer::kReadBlock},
    {"readblock", "ReadBlock of 106 values", Who::kDriver, Transfer::kReadBlock},
    {"modbus-read", "libmodbus RTU, read 2 registers", Who::kModbus, Transfer::kReadOne},
    {"modbus-write", "libmodbus RTU, write 2 registers", Who::kModbus, Transfer::kWriteOne},
    {"modbus-block", "libmodbus RTU, read 106 registers", Who::kModbus, Transfer::kReadBlock},
};
constexpr std::size_t kCaseCount = sizeof kCases / sizeof kCases[0];

struct Options {
  std::string library = ZELQD_BENCH_LIBRARY;
  std::string sections = "single,ports,pace";
  std::string countCase;
  bool pin = true;
  long transfers = 20000;
  long batch = 200;
  long warmup = 200;
  double portSeconds = 1.0;
  int portRounds = 3;
  int pacedOne = 100;  // paced transfers of one value, per baud rate and client
  int pacedBlock9600 = 3;
  int pacedBlock57600 = 10;
};

std::size_t CaseIndex(const std::string& id) {
  for (std::size_t i = 0; i < kCaseCount; ++i) {
    if (id == kCases[i].id) return i;
  }
  return kCaseCount;
}

const char* CaseLabel(const char* id) { return kCases[CaseIndex(id)].label; }

// Where the threads run. With two CPUs or more, the clients run on one and
// every peer on another: each round trip then crosses between the two in the
// same way, which keeps the scheduler's changing choices out of the
// comparison (on a shared machine they move medians by 10 to 20 per cent
// from run to run). --no-pin leaves placement to the scheduler.
class Placement {
 public:
  void Choose(bool pin) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (!pin || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    for (int cpu = 0; cpu < CPU_SETSIZE && peer_ < 0; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed)) continue;
      if (client_ < 0) {
        client_ = cpu;
      } else {
        peer_ = cpu;
      }
    }
    if (peer_ < 0) client_ = -1;
    Clients();
  }
  // The calling thread, and the threads it starts, on the peers' CPU.
  void Peers() const { PinTo(peer_); }
  // The calling thread, and the threads it starts, on the clients' CPU.
  void Clients() const { PinTo(client_); }
  void Describe() const {
    if (peer_ < 0) {
      std::printf("placement left to the scheduler");
    } else {
      std::printf("clients on CPU %d, peers on CPU %d", client_, peer_);
    }
  }

 private:
  static void PinTo(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
  }

  int client_ = -1;
  int peer_ = -1;
};

Placement g_placement;

// Transfers that failed in any section: the run then ends with status 1.
std::uint64_t g_failures = 0;

// A client of the case's kind on a line of its own.
struct Setup {
  std::unique_ptr<Line> line;
  std::unique_ptr<Client> client;
};

Setup MakeSetup(const DriverLibrary& library, Who who, Transfer transfer, int paceBaud,
                bool peerInChild) {
  Setup s;
  const PeerKind peer = who == Who::kModbus ? PeerKind::kModbus : PeerKind::kSimulator;
  g_placement.Peers();
  s.line = std::make_unique<Line>(peer, paceBaud, peerInChild);
  g_placement.Clients();
  switch (who) {
    case Who::kBare:
      s.client = MakeBareClient(s.line->device(), transfer);
      break;
    case Who::kDriver:
      s.client = MakeDriverClient(library, s.line->portName(), transfer);
      break;
    case Who::kModbus:
      s.client = MakeModbusClient(s.line->device(), transfer);
      break;
  }
  return s;
}

bool HasSection(const Options& o, const char* name) {
  const std::string list = "," + o.sections + ",";
  return list.find(std::string(",") + name + ",") != std::string::npos;
}

void Rule() { std::printf("\n"); }

// --- One port per case, the cases in turn ---------------------------------

struct CaseRun {
  std::vector<std::int64_t> samples;
  std::uint64_t failures = 0;
  std::uint64_t allocations = 0;
  std::int64_t cpuNs = 0;
  Summary summary;

  double PerTransfer(double total) const {
    const std::uint64_t n = samples.size() + failures;
    return n > 0 ? total / static_cast<double>(n) : 0.0;
  }
  double CpuUs() const { return PerTransfer(static_cast<double>(cpuNs) / 1e3); }
};

void RunBatch(Client& client, long count, CaseRun* run) {
  const std::uint64_t before = AllocationsOnThisThread();
  const std::int64_t cpuBefore = run != nullptr ? ThreadCpuNs() : 0;
  for (long i = 0; i < count; ++i) {
    const std::int64_t start = NowNs();
    const bool ok = client.Run();
    const std::int64_t end = NowNs();
    if (ok) {
      if (run != nullptr) run->samples.push_back(end - start);
    } else if (run != nullptr) {
      ++run->failures;
    }
  }
  if (run != nullptr) {
    run->cpuNs += ThreadCpuNs() - cpuBefore;
    run->allocations += AllocationsOnThisThread() - before;
  }
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

void SingleSection(const Options& o, const DriverLibrary& library) {
  std::vector<Setup> setups;
  for (const CaseSpec& c : kCases) {
    setups.push_back(MakeSetup(library, c.who, c.transfer, 0, false));
  }
  std::vector<CaseRun> runs(kCaseCount);
  for (CaseRun& r : runs) r.samples.reserve(static_cast<std::size_t>(o.transfers));

  for (Setup& s : setups) RunBatch(*s.client, o.warmup, nullptr);
  const long rounds = std::max(1L, o.transfers / o.batch);
  for (long round = 0; round < rounds; ++round) {
    // A different case goes first in each round.
    for (std::size_t k = 0; k < kCaseCount; ++k) {
      const std::size_t i = (k + static_cast<std::size_t>(round)) % kCaseCount;
      RunBatch(*setups[i].client, o.batch, &runs[i]);
    }
  }
  for (CaseRun& r : runs) r.summary = Summarise(r.samples, r.failures);

  std::printf("One port per case: %ld transfers per case, in turns of %ld; peers on threads.\n\n",
              rounds * o.batch, o.batch);
  std::printf(
      "| case | median us | p99 us | transfers/s | client CPU us per transfer | "
      "heap allocations per transfer |\n");
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (std::size_t i = 0; i < kCaseCount; ++i) {
    const CaseRun& r = runs[i];
    const Summary& s = r.summary;
    std::printf("| %s | %.1f | %.1f | %.0f | %.2f | %.2f |", kCases[i].label, s.medianUs, s.p99Us,
                s.perSecond, r.CpuUs(), r.PerTransfer(static_cast<double>(r.allocations)));
    g_failures += s.failures;
    if (s.failures > 0) std::printf(" %llu FAILED", static_cast<unsigned long long>(s.failures));
    std::printf("\n");
  }

  const auto& at = [&](const char* id) -> const CaseRun& { return runs[CaseIndex(id)]; };
  struct Pair {
    const char* driver;
    const char* bare;
    const char* modbus;
    double limit;
  };
  const Pair pairs[] = {{"readvar", "bare-read", "modbus-read", 1.10},
                        {"writevar", "bare-write", "modbus-write", 1.15},
                        {"readblock", "bare-block", "modbus-block", 1.10}};
  std::printf(
      "\n| driver case | driver / bare (median) | target | driver / bare (CPU) | "
      "libmodbus / driver (median) | libmodbus / driver (CPU) | "
      "driver / libmodbus (transfers/s) | target |\n");
  std::printf("|---|---:|---|---:|---:|---:|---:|---|\n");
  for (const Pair& p : pairs) {
    const Summary& d = at(p.driver).summary;
    const Summary& b = at(p.bare).summary;
    const Summary& m = at(p.modbus).summary;
    const double vsBare = Ratio(d.medianUs, b.medianUs);
    const double speedup = Ratio(d.perSecond, m.perSecond);
    const bool one = std::strcmp(p.driver, "readblock") != 0;
    char throughputTarget[32] = "-";
    if (one)
      std::snprintf(throughputTarget, sizeof throughputTarget, ">= 1.30: %s",
                    Verdict(speedup >= 1.30));
    std::printf("| %s | %.3f | <= %.2f: %s | %.3f | %.2f | %.2f | %.2f | %s |\n",
                CaseLabel(p.driver), vsBare, p.limit, Verdict(vsBare <= p.limit),
                Ratio(at(p.driver).CpuUs(), at(p.bare).CpuUs()), Ratio(m.medianUs, d.medianUs),
                Ratio(at(p.modbus).CpuUs(), at(p.driver).CpuUs()), speedup, throughputTarget);
  }
}

// --- Many ports at once ---------------------------------------------------

struct alignas(64) ThreadCount {
  std::uint64_t done = 0;
  std::uint64_t failed = 0;
};

// Runs every client on a thread of its own for the given time; returns the
// transfers per second of all together.
double RunTogether(const std::vector<Client*>& clients, double seconds, std::uint64_t* failures) {
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::vector<ThreadCount> counts(clients.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    threads.emplace_back([&, i] {
      go.wait(false);
      ThreadCount& c = counts[i];
      while (!stop.load(std::memory_order_relaxed)) {
        if (clients[i]->Run())
          ++c.done;
        else
          ++c.failed;
      }
    });
  }
  const std::int64_t start = NowNs();
  go = true;
  go.notify_all();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (std::thread& t : threads) t.join();
  const double elapsed = static_cast<double>(NowNs() - start) / 1e9;
  std::uint64_t done = 0;
  for (const ThreadCount& c : counts) {
    done += c.done;
    *failures += c.failed;
  }
  return static_cast<double>(done) / elapsed;
}

void PortsSection(const Options& o, const DriverLibrary& library) {
  constexpr int kCounts[] = {1, 2, 8, 32};
  constexpr int kMost = 32;
  std::vector<Setup> bare;
  std::vector<Setup> driver;
  for (int i = 0; i < kMost; ++i) {
    bare.push_back(MakeSetup(library, Who::kBare, Transfer::kReadOne, 0, false));
    driver.push_back(MakeSetup(library, Who::kDriver, Transfer::kReadOne, 0, false));
  }
  for (int i = 0; i < kMost; ++i) {
    RunBatch(*bare[static_cast<std::size_t>(i)].client, 20, nullptr);
    RunBatch(*driver[static_cast<std::size_t>(i)].client, 20, nullptr);
  }
  std::printf(
      "Ports at once, one client thread and one peer thread each, one-value reads "
      "(ReadVar; bare: 14 B out, 12 B back); %d rounds of %.1f s per client kind, "
      "in turns.\n\n",
      o.portRounds, o.portSeconds);
  std::printf("| ports | bare transfers/s | ReadVar transfers/s | driver / bare | target |\n");
  std::printf("|---:|---:|---:|---:|---|\n");
  for (int n : kCounts) {
    std::vector<Client*> bareClients;
    std::vector<Client*> driverClients;
    for (int i = 0; i < n; ++i) {
      bareClients.push_back(bare[static_cast<std::size_t>(i)].client.get());
      driverClients.push_back(driver[static_cast<std::size_t>(i)].client.get());
    }
    double bareSum = 0;
    double driverSum = 0;
    std::uint64_t failures = 0;
    for (int round = 0; round < o.portRounds; ++round) {
      if (round % 2 == 0) {
        bareSum += RunTogether(bareClients, o.portSeconds, &failures);
        driverSum += RunTogether(driverClients, o.portSeconds, &failures);
      } else {
        driverSum += RunTogether(driverClients, o.portSeconds, &failures);
        bareSum += RunTogether(bareClients, o.portSeconds, &failures);
      }
    }
    const double ratio = Ratio(driverSum, bareSum);
    char target[32] = "-";
    if (n == 32) std::snprintf(target, sizeof target, ">= 0.90: %s", Verdict(ratio >= 0.90));
    std::printf("| %d | %.0f | %.0f | %.3f | %s |", n, bareSum / o.portRounds,
                driverSum / o.portRounds, ratio, target);
    g_failures += failures;
    if (failures > 0) std::printf(" %llu FAILED", static_cast<unsigned long long>(failures));
    std::printf("\n");
  }
}

// --- Paced peer: the wire time of a real line -------------------------------

void PaceSection(const Options& o, const DriverLibrary& library) {
  constexpr int kBauds[] = {9600, 57600};
  constexpr Transfer kTransfers[] = {Transfer::kReadOne, Transfer::kWriteOne, Transfer::kReadBlock};
  std::printf(
      "Peer paced to the baud rate (10 bits per character; each reply byte goes out when "
      "the wire would have carried it); bare and driver in turns, one transfer each.\n\n");
  std::printf(
      "| baud | transfer | reply bytes | wire ms | transfers | bare median ms | "
      "driver median ms | driver / bare | target |\n");
  std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---|\n");
  for (int baud : kBauds) {
    for (Transfer t : kTransfers) {
      const int count = t != Transfer::kReadBlock ? o.pacedOne
                        : baud == 9600            ? o.pacedBlock9600
                                                  : o.pacedBlock57600;
      Setup bare = MakeSetup(library, Who::kBare, t, baud, false);
      Setup driver = MakeSetup(library, Who::kDriver, t, baud, false);
      RunBatch(*bare.client, 1, nullptr);
      RunBatch(*driver.client, 1, nullptr);
      CaseRun bareRun;
      CaseRun driverRun;
      for (int i = 0; i < count; ++i) {
        RunBatch(*bare.client, 1, &bareRun);
        RunBatch(*driver.client, 1, &driverRun);
      }
      const Summary b = Summarise(bareRun.samples, bareRun.failures);
      const Summary d = Summarise(driverRun.samples, driverRun.failures);
      const int replyBytes = t == Transfer::kReadOne ? 12 : t == Transfer::kWriteOne ? 6 : 852;
      const double wireMs = replyBytes * 10.0 * 1000.0 / baud;
      const double ratio = Ratio(d.medianUs, b.medianUs);
      std::printf("| %d | %s | %d | %.2f | %d | %.3f | %.3f | %.4f | <= 1.01: %s |", baud,
                  t == Transfer::kReadOne    ? "ReadVar"
                  : t == Transfer::kWriteOne ? "WriteVar"
                                             : "ReadBlock of 106",
                  replyBytes, wireMs, count, b.medianUs / 1e3, d.medianUs / 1e3, ratio,
                  Verdict(ratio <= 1.01));
      g_failures += b.failures + d.failures;
      if (b.failures + d.failures > 0) {
        std::printf(" %llu FAILED", static_cast<unsigned long long>(b.failures + d.failures));
      }
      std::printf("\n");
    }
  }
}

// --- One case alone, for the counters ---------------------------------------

int CountCase(const Options& o, const DriverLibrary& library) {
  const std::size_t i = CaseIndex(o.countCase);
  if (i == kCaseCount) {
    std::fprintf(stderr, "unknown case %s; one of:", o.countCase.c_str());
    for (const CaseSpec& c : kCases) std::fprintf(stderr, " %s", c.id);
    std::fprintf(stderr, "\n");
    return 2;
  }
  Setup s = MakeSetup(library, kCases[i].who, kCases[i].transfer, 0, true);
  Client& client = *s.client;
  // Warm: lazy symbol binding and first-touch costs stay outside the loop.
  for (long k = 0; k < o.warmup; ++k) client.Run();
  std::uint64_t failures = 0;
  const std::uint64_t before = AllocationsOnThisThread();
  CALLGRIND_START_INSTRUMENTATION;
  for (long k = 0; k < o.transfers; ++k) {
    if (!client.Run()) ++failures;
  }
  CALLGRIND_STOP_INSTRUMENTATION;
  const std::uint64_t allocations = AllocationsOnThisThread() - before;
  std::printf("case %s transfers %ld failures %llu allocations %llu\n", kCases[i].id, o.transfers,
              static_cast<unsigned long long>(failures),
              static_cast<unsigned long long>(allocations));
  return failures == 0 ? 0 : 1;
}

// --- Options ------------------------------------------------------------------

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: zelqd_bench [--short] [--sections single,ports,pace] [--transfers N]\n"
               "                   [--batch K] [--warmup W] [--port-seconds S] [--port-rounds R]\n"
               "                   [--paced N] [--no-pin] [--library PATH]\n"
               "       zelqd_bench --count CASE [--transfers N] [--warmup W] [--library PATH]\n");
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  bool transfersGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (a == "--short") {
      o.transfers = 1000;
      o.batch = 100;
      o.warmup = 50;
      o.portSeconds = 0.2;
      o.portRounds = 1;
      o.pacedOne = 5;
      o.pacedBlock9600 = 1;
      o.pacedBlock57600 = 1;
    } else if (a == "--sections") {
      o.sections = value();
    } else if (a == "--transfers") {
      o.transfers = std::atol(value().c_str());
      transfersGiven = true;
    } else if (a == "--batch") {
      o.batch = std::atol(value().c_str());
    } else if (a == "--warmup") {
      o.warmup = std::atol(value().c_str());
    } else if (a == "--port-seconds") {
      o.portSeconds = std::atof(value().c_str());
    } else if (a == "--port-rounds") {
      o.portRounds = std::atoi(value().c_str());
    } else if (a == "--paced") {
      o.pacedOne = std::atoi(value().c_str());
    } else if (a == "--no-pin") {
      o.pin = false;
    } else if (a == "--library") {
      o.library = value();
    } else if (a == "--count") {
      o.countCase = value();
    } else {
      Usage();
    }
  }
  if (!o.countCase.empty() && !transfersGiven) o.transfers = 1000;
  if (o.transfers < 1 || o.batch < 1 || o.warmup < 0 || o.portSeconds <= 0 || o.portRounds < 1 ||
      o.pacedOne < 1) {
    Usage();
  }
  return o;
}

std::string SelfPath(const char* argv0) {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return argv0;
  path[n] = '\0';
  return path;
}

int Main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--serve") == 0) {
    PeerKind kind;
    if (!ParsePeerName(argv[2], &kind)) return 2;
    return ServeUntilClosed(kind, std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
  }
  const Options o = Parse(argc, argv);
  SetSelfPath(SelfPath(argv[0]));
  g_placement.Choose(o.pin);
  DriverLibrary library(o.library);
  if (!o.countCase.empty()) return CountCase(o, library);

  std::printf("zelqd_bench: driver %s, %u CPUs, ", o.library.c_str(),
              std::thread::hardware_concurrency());
  g_placement.Describe();
  std::printf("\n\n");
  std::fflush(stdout);
  if (HasSection(o, "single")) {
    SingleSection(o, library);
    Rule();
    std::fflush(stdout);
  }
  if (HasSection(o, "ports")) {
    PortsSection(o, library);
    Rule();
    std::fflush(stdout);
  }
  if (HasSection(o, "pace")) {
    PaceSection(o, library);
    std::fflush(stdout);
  }
  if (g_failures > 0) {
    std::fprintf(stderr, "zelqd_bench: %llu transfers failed\n",
                 static_cast<unsigned long long>(g_failures));
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  try {
    return bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelqd_bench: %s\n", e.what());
    return 1;
  }
}
