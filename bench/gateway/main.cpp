// zelgw_bench: the gateway's figures.
//
//   cache        16 Modbus TCP clients at once reading polled tags from the
//                gateway's cache, against a plain libmodbus TCP server that
//                answers the same requests from its own register map, in the
//                same run: requests per second and latency.
//   readthrough  what a read through the gateway adds to the driver's own
//                transfer over the same pseudo-terminal.
//   lines        one gateway, 32 lines, 100 tags each polled every second:
//                intervals kept, and the gateway's CPU time per transfer.
//   linetime     lines paced like real ones (9600 and 38400 baud 8N1, a
//                turnaround of 5 ms), 60 tags each in four layouts, polled
//                as often as the line allows: the poll cycle the simulator
//                saw, against the line time the model computes for those
//                blocks, for the cheapest plan and for the fixed-gap plan.
//
// The remote computers are the simulator engine on pseudo-terminals in this
// process; the gateway and the plain server are processes of their own.
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/cycle_plan.h"
#include "core/line_time.h"
#include "driver_library.h"
#include "host_session.h"
#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/runner.h"
#include "zelsim/trace.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Stats {
  std::uint64_t count = 0;
  std::uint64_t errors = 0;
  double perSecond = 0;
  double medianMs = 0;
  double p99Ms = 0;
};

// samples in nanoseconds (reordered).
Stats Summarise(std::vector<std::int64_t>& samples, std::uint64_t errors, double seconds) {
  Stats s;
  s.count = samples.size();
  s.errors = errors;
  s.perSecond = seconds > 0 ? static_cast<double>(samples.size()) / seconds : 0;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    return static_cast<double>(samples[std::min(
               samples.size() - 1,
               static_cast<std::size_t>(q * static_cast<double>(samples.size())))]) /
           1e6;
  };
  s.medianMs = at(0.5);
  s.p99Ms = at(0.99);
  return s;
}

std::string Contents(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A remote computer on a pseudo-terminal behind a short symbolic link.
class Remote {
 public:
  // With a trace, every request is logged for RequestLog().
  explicit Remote(zelsim::RunnerOptions options = {}, bool traced = false) {
    char path[] = "/tmp/XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    link_ = path;
    ::unlink(link_.c_str());
    if (::symlink(pty_.slaveName().c_str(), link_.c_str()) != 0) std::perror("symlink");
    if (traced) {
      log_ = std::tmpfile();
      trace_ = std::make_unique<zelsim::Trace>(log_);
      options.trace = trace_.get();
    }
    runner_ = std::make_unique<zelsim::Runner>(engine_, pty_.master(), options);
    for (int v = 0; v < 1000; ++v) engine_.table().Set(v, static_cast<std::uint32_t>(v * 7));
    runner_->Start();
  }
  ~Remote() {
    runner_.reset();
    if (log_ != nullptr) (void)std::fclose(log_);
    ::unlink(link_.c_str());
  }
  // Stops serving and returns the trace so far.
  std::string RequestLog() {
    runner_->Stop();
    if (log_ == nullptr) return {};
    std::rewind(log_);
    std::string out;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, log_)) > 0) out.append(buffer, n);
    return out;
  }
  const std::string& port() const { return link_; }
  std::uint64_t Requests() {
    return runner_->WithEngine([](zelsim::Engine& e) { return e.counters().requests(); });
  }

 private:
  std::string link_;
  zelsim::PtyPair pty_;
  zelsim::Engine engine_;
  std::FILE* log_ = nullptr;
  std::unique_ptr<zelsim::Trace> trace_;
  std::unique_ptr<zelsim::Runner> runner_;
};

// zelgw as a process.
class Gateway {
 public:
  Gateway(const std::string& config, const fs::path& dir) : log_(dir / "zelgw.err") {
    const fs::path file = dir / "zelgw.toml";
    std::ofstream(file) << config;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(::open("/dev/null", O_RDWR), 0);
      ::dup2(::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      ::execl(ZELGW_PROGRAM, ZELGW_PROGRAM, "-c", file.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200 && port_ <= 0; ++i) {
      std::this_thread::sleep_for(50ms);
      const std::string log = Contents(log_);
      if (const auto at = log.find(" modbus="); at != std::string::npos) {
        const std::string text = log.substr(at + 8, log.find(' ', at + 8) - at - 8);
        port_ = std::atoi(text.substr(text.rfind(':') + 1).c_str());
        const auto h = log.find(" http=");
        const std::string http = log.substr(h + 6, log.find(' ', h + 6) - h - 6);
        http_ = std::atoi(http.substr(http.rfind(':') + 1).c_str());
      }
    }
    if (port_ <= 0) std::fprintf(stderr, "zelgw did not start:\n%s\n", Contents(log_).c_str());
  }
  ~Gateway() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }
  int http() const { return http_; }
  pid_t pid() const { return pid_; }
  // User and system CPU seconds of the process so far.
  double CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  std::string Metrics() const { return Get("/metrics"); }
  nlohmann::json Status() const { return nlohmann::json::parse(Get("/status"), nullptr, false); }

 private:
  std::string Get(const std::string& path) const {
    std::string out;
    if (std::FILE* p = ::popen(
            ("curl -s --max-time 5 http://127.0.0.1:" + std::to_string(http_) + path).c_str(),
            "r")) {
      char buffer[65536];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
      ::pclose(p);
    }
    return out;
  }

  fs::path log_;
  pid_t pid_ = -1;
  int port_ = -1;
  int http_ = -1;
};

// The plain libmodbus TCP server: one process, a poll() loop over its
// clients, modbus_receive() and modbus_reply() from its own register map.
class PlainServer {
 public:
  explicit PlainServer(int registers) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    const int listener = modbus_tcp_listen(ctx, 64);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    pid_ = ::fork();
    if (pid_ == 0) {
      Serve(ctx, listener, registers);
      ::_exit(0);
    }
    ::close(listener);
    modbus_free(ctx);
  }
  ~PlainServer() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  static void Serve(modbus_t* ctx, int listener, int registers) {
    modbus_mapping_t* map = modbus_mapping_new(0, 0, registers, 0);
    for (int i = 0; i < registers; ++i) map->tab_registers[i] = static_cast<std::uint16_t>(i);
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      for (std::size_t i = fds.size(); i-- > 1;) {
        if (fds[i].revents == 0) continue;
        modbus_set_socket(ctx, fds[i].fd);
        const int n = modbus_receive(ctx, query);
        if (n > 0) {
          modbus_reply(ctx, query, n, map);
        } else if (n < 0) {
          ::close(fds[i].fd);
          fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
      if (fds[0].revents != 0) {
        const int s = ::accept(listener, nullptr, nullptr);
        if (s >= 0) fds.push_back({s, POLLIN, 0});
      }
    }
  }
  pid_t pid_ = -1;
  int port_ = 0;
};

// clients threads, each its own connection, reading count registers from
// address for the duration.
Stats Hammer(int port, int clients, int address, int count, std::chrono::milliseconds duration) {
  std::vector<std::vector<std::int64_t>> samples(static_cast<std::size_t>(clients));
  std::vector<std::uint64_t> errors(static_cast<std::size_t>(clients));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point end;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
      modbus_set_response_timeout(ctx, 5, 0);
      modbus_set_slave(ctx, 1);
      const bool connected = modbus_connect(ctx) == 0;
      ++ready;
      while (!go) std::this_thread::yield();
      std::uint16_t words[125];
      auto& mine = samples[static_cast<std::size_t>(c)];
      while (connected && Clock::now() < end) {
        const auto t0 = Clock::now();
        if (modbus_read_registers(ctx, address, count, words) == count) {
          mine.push_back(
              std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
        } else {
          if (errors[static_cast<std::size_t>(c)]++ == 0 && c == 0)
            std::fprintf(stderr, "zelgw_bench: port %d: %s\n", port, modbus_strerror(errno));
        }
      }
      if (!connected) ++errors[static_cast<std::size_t>(c)];
      modbus_close(ctx);
      modbus_free(ctx);
    });
  }
  while (ready < clients) std::this_thread::sleep_for(1ms);
  const auto start = Clock::now();
  end = start + duration;
  go = true;
  for (auto& t : threads) t.join();
  std::vector<std::int64_t> all;
  std::uint64_t failed = 0;
  for (std::size_t c = 0; c < samples.size(); ++c) {
    all.insert(all.end(), samples[c].begin(), samples[c].end());
    failed += errors[c];
  }
  return Summarise(all, failed, Seconds(Clock::now() - start));
}

std::string LineConfig(const std::string& name, const std::string& port, int unit) {
  return "[[line]]\nname = \"" + name + "\"\nport = \"" + port +
         "\"\n[line.modbus]\nunit_id = " + std::to_string(unit) + "\n";
}

std::string TagConfig(const std::string& line, const std::string& name, int variable, int pollMs) {
  return "[[tag]]\nname = \"" + name + "\"\nline = \"" + line +
         "\"\nvariable = " + std::to_string(variable) + "\npoll_ms = " + std::to_string(pollMs) +
         "\n";
}

const char kListeners[] =
    "[modbus]\nlisten = \"127.0.0.1\"\nport = 0\nmax_clients = 64\n"
    "[http]\nlisten = \"127.0.0.1\"\nport = 0\n";

void CacheSection(const fs::path& dir, int seconds, int rounds) {
  Remote remote;
  std::string config = kListeners + LineConfig("a", remote.port(), 1);
  for (int v = 0; v < 10; ++v) config += TagConfig("a", "T" + std::to_string(v), v, 1000);
  Gateway gateway(config, dir);
  PlainServer plain(200);
  std::this_thread::sleep_for(1500ms);  // the first poll is in
  std::printf("\n## cache: 16 clients at once, read holding registers 0..19 (10 polled tags)\n\n");
  std::printf("| server | round | requests/s | median ms | p99 ms | errors |\n");
  std::printf("|---|---|---:|---:|---:|---:|\n");
  double gatewaySum = 0, plainSum = 0;
  for (int round = 1; round <= rounds; ++round) {
    for (const bool isGateway : {false, true}) {
      const int port = isGateway ? gateway.port() : plain.port();
      Stats s = Hammer(port, 16, 0, 20, std::chrono::seconds(seconds));
      (isGateway ? gatewaySum : plainSum) += s.perSecond;
      std::printf("| %s | %d | %.0f | %.3f | %.3f | %llu |\n",
                  isGateway ? "zelgw (cache)" : "plain libmodbus server", round, s.perSecond,
                  s.medianMs, s.p99Ms, static_cast<unsigned long long>(s.errors));
      std::fflush(stdout);
    }
  }
  std::printf(
      "\nzelgw / plain libmodbus server, requests per second over %d rounds: %.2f "
      "(target >= 0.8)\n",
      rounds, plainSum > 0 ? gatewaySum / plainSum : 0);
}

void ReadThroughSection(const fs::path& dir, int transfers) {
  Remote remote;
  std::printf("\n## readthrough: %d transfers each, back to back, same pseudo-terminal\n\n",
              transfers);
  std::printf("| path | values | median ms | p99 ms | errors |\n|---|---:|---:|---:|---:|\n");
  std::vector<std::pair<int, double>> driverMedians;
  {
    zeltools::DriverLibrary library("");
    zeltools::HostSession driver(library.entry());
    zeltools::PortSettings line;
    line.name = remote.port();
    if (driver.Open(line) != ResultOk) {
      std::printf("cannot open %s\n", remote.port().c_str());
      return;
    }
    for (const int count : {1, 50}) {
      std::vector<std::int64_t> samples;
      std::uint64_t errors = 0;
      std::uint32_t values[106];
      for (int i = 0; i < transfers; ++i) {
        const auto t0 = Clock::now();
        if (driver.ReadBlock(100, count, values) == ResultOk) {
          samples.push_back(
              std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
        } else {
          ++errors;
        }
      }
      const Stats s = Summarise(samples, errors, 0);
      driverMedians.emplace_back(count, s.medianMs);
      std::printf("| driver ReadBlock (in process) | %d | %.3f | %.3f | %llu |\n", count,
                  s.medianMs, s.p99Ms, static_cast<unsigned long long>(errors));
    }
    driver.Close();
  }
  // The gateway on the same line; variable 100 on has no tag: every read goes through.
  std::string config =
      kListeners + LineConfig("a", remote.port(), 1) + TagConfig("a", "T", 999, 1000);
  Gateway gateway(config, dir);
  std::this_thread::sleep_for(500ms);
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", gateway.port());
  modbus_set_response_timeout(ctx, 10, 0);
  modbus_set_slave(ctx, 1);
  modbus_connect(ctx);
  for (const auto& [count, driverMs] : driverMedians) {
    std::vector<std::int64_t> samples;
    std::uint64_t errors = 0;
    std::uint16_t words[125];
    for (int i = 0; i < transfers; ++i) {
      const auto t0 = Clock::now();
      if (modbus_read_registers(ctx, 200, 2 * count, words) == 2 * count) {
        samples.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
      } else {
        ++errors;
      }
    }
    const Stats s = Summarise(samples, errors, 0);
    std::printf("| Modbus TCP read through zelgw | %d | %.3f | %.3f | %llu |\n", count, s.medianMs,
                s.p99Ms, static_cast<unsigned long long>(errors));
    std::printf("| added by the gateway (median) | %d | %.3f | | |\n", count,
                s.medianMs - driverMs);
  }
  {
    std::vector<std::int64_t> samples;
    std::uint16_t words[2];
    for (int i = 0; i < transfers; ++i) {
      const auto t0 = Clock::now();
      if (modbus_read_registers(ctx, 1998, 2, words) == 2)
        samples.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
    }
    const Stats s = Summarise(samples, 0, 0);
    std::printf("| Modbus TCP read of a polled tag (cache, no line) | 1 | %.3f | %.3f | |\n",
                s.medianMs, s.p99Ms);
  }
  modbus_close(ctx);
  modbus_free(ctx);
  std::printf("\n(target: the gateway adds at most 0.2 ms to the driver's transfer)\n");
}

// A metric's value summed over its series: the lines whose name and labels
// begin with prefix.
double SumMetric(const std::string& metrics, const std::string& prefix) {
  double sum = 0;
  std::istringstream in(metrics);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) sum += std::stod(line.substr(line.rfind(' ') + 1));
  }
  return sum;
}

double BucketSum(const std::string& metrics, const std::string& family, const std::string& le) {
  double sum = 0;
  std::istringstream in(metrics);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(family + "_bucket{", 0) == 0 &&
        line.find("le=\"" + le + "\"") != std::string::npos)
      sum += std::stod(line.substr(line.rfind(' ') + 1));
  }
  return sum;
}

void LinesSection(const fs::path& dir, int seconds) {
  constexpr int kLines = 32;
  constexpr int kTags = 100;
  std::printf("\n## lines: one gateway, %d lines, %d tags each polled every 1000 ms, %d s\n\n",
              kLines, kTags, seconds);
  std::printf(
      "| layout | transfers/s | expected/s | requests/s at the remotes | failed attempts | "
      "overruns | polls started <= 10 ms after due | <= 100 ms | <= 500 ms | gateway CPU %% | "
      "CPU us/transfer |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const int spacing : {1, 10}) {
    std::vector<std::unique_ptr<Remote>> remotes;
    std::string config = kListeners;
    for (int l = 0; l < kLines; ++l) {
      remotes.push_back(std::make_unique<Remote>());
      const std::string name = "l" + std::to_string(l);
      config += LineConfig(name, remotes.back()->port(), l + 1);
    }
    for (int l = 0; l < kLines; ++l) {
      const std::string name = "l" + std::to_string(l);
      for (int t = 0; t < kTags; ++t)
        config += TagConfig(name, name + ".T" + std::to_string(t), t * spacing, 1000);
    }
    Gateway gateway(config, dir);
    std::this_thread::sleep_for(3s);  // opened, first polls in
    // Counters, CPU time and clock read together at both ends of the window;
    // each end's time is the middle of its metrics fetch.
    const auto sample = [&](std::string& metrics, std::uint64_t& requests, double& cpu) {
      const auto before = Clock::now();
      metrics = gateway.Metrics();
      requests = 0;
      for (auto& r : remotes) requests += r->Requests();
      cpu = gateway.CpuSeconds();
      return before + (Clock::now() - before) / 2;
    };
    std::string m0, m1;
    std::uint64_t requests0 = 0, requests1 = 0;
    double cpu0 = 0, cpu1 = 0;
    const auto t0 = sample(m0, requests0, cpu0);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto t1 = sample(m1, requests1, cpu1);
    const double elapsed = Seconds(t1 - t0);
    const auto delta = [&](const std::string& prefix) {
      return SumMetric(m1, prefix) - SumMetric(m0, prefix);
    };
    const double requests = static_cast<double>(requests1 - requests0);
    const double transfers = delta("zelgw_line_transfers_total");
    const double failedAttempts = delta("zelgw_line_attempts_total{") - transfers;
    const std::string family = "zelgw_line_poll_lateness_seconds";
    const double polls = delta(family + "_count");
    const auto within = [&](const char* le) {
      const double n = BucketSum(m1, family, le) - BucketSum(m0, family, le);
      return polls > 0 ? 100 * n / polls : 0;
    };
    const double overruns = delta("zelgw_line_poll_overruns_total");
    const double expected = spacing == 1 ? kLines : kLines * kTags;  // block reads a second
    std::printf(
        "| %s | %.1f | %.0f | %.1f | %.0f | %.0f | %.1f %% | %.1f %% | %.1f %% | %.1f | %.1f |\n",
        spacing == 1 ? "adjacent variables (one block of 100 a line)"
                     : "every 10th variable (100 reads a line)",
        transfers / elapsed, expected, requests / elapsed, failedAttempts, overruns, within("0.01"),
        within("0.1"), within("0.5"), 100 * (cpu1 - cpu0) / elapsed,
        transfers > 0 ? 1e6 * (cpu1 - cpu0) / transfers : 0);
    std::fflush(stdout);
  }
}

// A read request the simulator took: when its last byte came in, and the
// block it asked for.
struct LoggedRead {
  double seconds = 0;
  zelgw::linetime::Block block;
};

// The read requests of a simulator's trace ("   12.345 <- R seq ! var 00042
// count 001 ..."; the sequence character may be written as a name, <SP>).
std::vector<LoggedRead> ReadsOf(const std::string& log) {
  std::vector<LoggedRead> reads;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const auto arrow = line.find(" <- R seq ");
    const auto var = line.find(" var ", arrow == std::string::npos ? 0 : arrow);
    if (arrow == std::string::npos || var == std::string::npos) continue;
    int first = 0, count = 0;
    if (std::sscanf(line.c_str() + var, " var %d count %d", &first, &count) == 2)
      reads.push_back({std::atof(line.c_str()), {first, count}});
  }
  return reads;
}

// What a line's reads came to once the gateway was running: from the
// second read of the lowest tag on.
struct Cycles {
  double ms = 0;          // a tag's mean time between two of its reads, over the tags
  double longestMs = 0;   // the longest time between two reads of one tag
  double blocks = 0;      // reads a cycle
  double bytes = 0;       // request and reply bytes a cycle
  double computedMs = 0;  // the line-time model for those reads, a cycle
};

Cycles CyclesOf(const std::vector<LoggedRead>& reads, const std::vector<int>& tags,
                const zelgw::linetime::LineTiming& timing) {
  Cycles c;
  const auto covers = [](const LoggedRead& r, int v) {
    return r.block.first <= v && v < r.block.end();
  };
  std::size_t from = reads.size();
  for (std::size_t i = 0, seen = 0; i < reads.size(); ++i) {
    if (covers(reads[i], tags.front()) && ++seen == 2) {
      from = i;
      break;
    }
  }
  if (from + 1 >= reads.size()) return c;
  double sum = 0;
  int counted = 0;
  for (const int v : tags) {
    double first = -1, last = -1;
    int n = 0;
    for (std::size_t i = from; i < reads.size(); ++i) {
      if (!covers(reads[i], v)) continue;
      if (last >= 0) c.longestMs = std::max(c.longestMs, 1000 * (reads[i].seconds - last));
      if (first < 0) first = reads[i].seconds;
      last = reads[i].seconds;
      ++n;
    }
    if (n < 2) return {};
    sum += 1000 * (last - first) / (n - 1);
    ++counted;
  }
  c.ms = sum / counted;
  const double window = 1000 * (reads.back().seconds - reads[from].seconds);
  const double cycles = window / c.ms;
  for (std::size_t i = from; i + 1 < reads.size(); ++i) {
    c.bytes += static_cast<double>(zelsim::kReadRequestSize +
                                   zelsim::ValueReplySize(reads[i].block.count));
    c.computedMs += zelgw::linetime::ReadTransferMs(timing, reads[i].block.count);
  }
  c.blocks = static_cast<double>(reads.size() - 1 - from) / cycles;
  c.bytes /= cycles;
  c.computedMs /= cycles;
  return c;
}

void LineTimeSection(const fs::path& dir, int seconds) {
  constexpr int kTags = 60;
  constexpr int kTurnaroundMs = 5;
  constexpr int kPollMs = 10;  // the shortest: the line reads back to back
  struct Layout {
    const char* name;
    std::vector<int> variables;
  };
  std::vector<Layout> layouts;
  for (const int spacing : {1, 3, 10}) {
    Layout l{spacing == 1 ? "adjacent" : spacing == 3 ? "every 3rd" : "every 10th", {}};
    for (int t = 0; t < kTags; ++t) l.variables.push_back(t * spacing);
    layouts.push_back(std::move(l));
  }
  {
    std::mt19937 random(7);  // the same spread every run
    std::uniform_int_distribution<int> pick(0, 999);
    std::vector<int> spread;
    while (spread.size() < static_cast<std::size_t>(kTags)) {
      const int v = pick(random);
      if (std::find(spread.begin(), spread.end(), v) == spread.end()) spread.push_back(v);
    }
    std::sort(spread.begin(), spread.end());
    layouts.push_back({"random in 0..999", spread});
  }
  const int bauds[] = {9600, 38400};

  // One gateway, a line for each layout and speed: the lines run at once.
  std::vector<std::unique_ptr<Remote>> remotes;
  std::string config = kListeners;
  int unit = 0;
  for (const auto& layout : layouts) {
    for (const int baud : bauds) {
      zelsim::RunnerOptions paced;
      paced.paceBaud = baud;
      paced.bitsPerCharacter = zelsim::CharacterBits(8, false, 1);
      paced.turnaroundMs = kTurnaroundMs;
      remotes.push_back(std::make_unique<Remote>(paced, true));
      const std::string name = "l" + std::to_string(++unit);
      config += "[[line]]\nname = \"" + name + "\"\nport = \"" + remotes.back()->port() +
                "\"\nbaud = " + std::to_string(baud) +
                "\n[line.modbus]\nunit_id = " + std::to_string(unit) + "\n";
      for (const int v : layout.variables)
        config += TagConfig(name, name + ".V" + std::to_string(v), v, kPollMs);
    }
  }
  std::printf(
      "\n## linetime: %d tags a line, polled every %d ms (the line reads back to back), 8N1, "
      "turnaround %d ms, %d s\n\n",
      kTags, kPollMs, kTurnaroundMs, seconds);
  // The turnaround each line measured: the figure zelgw planned with.
  std::vector<double> turnaround(remotes.size(), kTurnaroundMs);
  {
    Gateway gateway(config, dir);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const nlohmann::json status = gateway.Status();
    for (std::size_t i = 0; status.is_object() && i < turnaround.size(); ++i) {
      const auto& figure = status["lines"][i]["turnaround_ms"];
      if (figure.is_number()) turnaround[i] = figure.get<double>();
    }
  }
  std::printf(
      "| layout | baud | turnaround ms | measured cycle ms | longest gap ms | blocks | read bytes "
      "| "
      "computed ms | cheapest plan ms (blocks) | fixed-gap plan ms (blocks) |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  std::size_t r = 0;
  for (const auto& layout : layouts) {
    for (const int baud : bauds) {
      zelgw::linetime::LineTiming timing;
      timing.baud = baud;
      timing.turnaroundMs = turnaround[r];
      const Cycles c = CyclesOf(ReadsOf(remotes[r++]->RequestLog()), layout.variables, timing);
      const auto cheapest = zelgw::linetime::PlanCheapest(layout.variables, timing);
      const auto fixed = zelgw::linetime::FixedGapPlan(layout.variables, 4);
      std::printf(
          "| %s | %d | %.1f | %.1f | %.1f | %.1f | %.0f | %.1f | %.1f (%zu) | %.1f (%zu) |\n",
          layout.name, baud, timing.turnaroundMs, c.ms, c.longestMs, c.blocks, c.bytes,
          c.computedMs, zelgw::linetime::PlanLineMs(cheapest, timing), cheapest.size(),
          zelgw::linetime::PlanLineMs(fixed, timing), fixed.size());
    }
  }
  std::printf(
      "\n(from the simulator's request log, after the first cycle: measured cycle, a tag's "
      "mean time between two of its reads, over the tags; blocks and bytes, the reads a cycle; "
      "turnaround, the figure the line measured (/status), with which zelgw planned and the "
      "model computes; computed, the line-time model for those reads, the driver's own overhead "
      "taken as 0; cheapest, the best plan for that turnaround; fixed-gap, merging up to 4 "
      "unwanted variables)\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  CLI::App app(
      "zelgw_bench: the gateway's figures (cache against a plain libmodbus server, "
      "read-through overhead, 32 lines, paced lines' poll cycles)",
      "zelgw_bench");
  std::vector<std::string> sections{"cache", "readthrough", "lines", "linetime"};
  int seconds = 5, rounds = 3, transfers = 2000, lineSeconds = 20, lineTimeSeconds = 30;
  bool quick = false;
  app.add_option("--sections", sections, "cache, readthrough, lines, linetime")->delimiter(',');
  app.add_option("--seconds", seconds, "seconds of each cache round")->capture_default_str();
  app.add_option("--rounds", rounds, "cache rounds (plain server and gateway in turn)")
      ->capture_default_str();
  app.add_option("--transfers", transfers, "read-through transfers of each kind")
      ->capture_default_str();
  app.add_option("--line-seconds", lineSeconds, "seconds the 32 lines are watched")
      ->capture_default_str();
  app.add_option("--linetime-seconds", lineTimeSeconds, "seconds the paced lines are watched")
      ->capture_default_str();
  app.add_flag("--short", quick, "a quick run that only shows it works");
  CLI11_PARSE(app, argc, argv);
  if (quick) {
    seconds = 1;
    rounds = 1;
    transfers = 100;
    lineSeconds = 3;
    lineTimeSeconds = 12;
  }
  ::signal(SIGPIPE, SIG_IGN);
  char dir[] = "/tmp/zelgw-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  std::printf("zelgw_bench: %u CPUs; load average before: ", std::thread::hardware_concurrency());
  std::printf("%s", Contents("/proc/loadavg").c_str());
  for (const std::string& s : sections) {
    if (s == "cache") CacheSection(dir, seconds, rounds);
    if (s == "readthrough") ReadThroughSection(dir, transfers);
    if (s == "lines") LinesSection(dir, lineSeconds);
    if (s == "linetime") LineTimeSection(dir, lineTimeSeconds);
  }
  std::printf("\nload average after: %s", Contents("/proc/loadavg").c_str());
  fs::remove_all(dir);
  return 0;
}
