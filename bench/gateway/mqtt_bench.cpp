// zelgw_mqtt_bench: the gateway's MQTT figures.
//
//   latency  one tag polled every 100 ms: from a value change in the
//            simulator to its message at a subscriber (median, p90, p99).
//   lines    one gateway, 32 lines, 100 tags each polled every second, every
//            value changed once a second: does the broker get every change,
//            and what CPU does the gateway (and the broker) take for it.
//
// The remote computers are the simulator engine on pseudo-terminals in this
// process; the broker (mosquitto) and the gateway are processes of their own,
// on a free port of 127.0.0.1; the subscriber is a libmosquitto client here.
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/runner.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Contents(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return done();
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

pid_t Spawn(const std::vector<std::string>& argv, const fs::path& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(out, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// User and system CPU seconds of a process so far.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (stat.empty()) return 0;
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

class Process {
 public:
  Process(std::vector<std::string> argv, fs::path log) : log_(std::move(log)) {
    pid_ = Spawn(argv, log_);
  }
  ~Process() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  std::string Log() const { return Contents(log_); }

 private:
  fs::path log_;
  pid_t pid_;
};

class Remote {
 public:
  Remote() {
    char path[] = "/tmp/XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    link_ = path;
    ::unlink(link_.c_str());
    if (::symlink(pty_.slaveName().c_str(), link_.c_str()) != 0) std::perror("symlink");
    runner_ = std::make_unique<zelsim::Runner>(engine_, pty_.master());
    runner_->Start();
  }
  ~Remote() {
    runner_.reset();
    ::unlink(link_.c_str());
  }
  const std::string& port() const { return link_; }
  void Set(int first, int count, std::uint32_t value) {
    runner_->WithEngine([&](zelsim::Engine& e) {
      for (int v = first; v < first + count; ++v) e.table().Set(v, value);
    });
  }

 private:
  std::string link_;
  zelsim::PtyPair pty_;
  zelsim::Engine engine_;
  std::unique_ptr<zelsim::Runner> runner_;
};

// A subscriber that hands each message, with the time it came, to a handler
// on libmosquitto's thread.
class Subscriber {
 public:
  using Handler =
      std::function<void(const char* topic, std::string_view payload, Clock::time_point)>;
  Subscriber(int port, const std::string& filter, int qos, Handler handler)
      : handler_(std::move(handler)) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      const auto at = Clock::now();
      static_cast<Subscriber*>(self)->handler_(
          m->topic,
          std::string_view(static_cast<const char*>(m->payload),
                           static_cast<std::size_t>(m->payloadlen)),
          at);
    });
    if (mosquitto_connect(mosq_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
      std::fprintf(stderr, "subscriber: cannot connect\n");
    mosquitto_subscribe(mosq_, nullptr, filter.c_str(), qos);
    mosquitto_loop_start(mosq_);
  }
  ~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }

 private:
  Handler handler_;
  mosquitto* mosq_;
};

// The "raw" of a value payload; -1 when it has none.
long long Raw(std::string_view payload) {
  const auto at = payload.find("\"raw\":");
  if (at == std::string_view::npos) return -1;
  const std::string text(payload.substr(at + 6, 12));
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  return end == text.c_str() ? -1 : v;
}

struct Setup {
  fs::path dir;
  int brokerPort = 0;
  std::unique_ptr<Process> broker;

  explicit Setup(const fs::path& d) : dir(d), brokerPort(FreePort()) {
    std::ofstream(dir / "broker.conf")
        << "listener " << brokerPort << " 127.0.0.1\nallow_anonymous true\nuser root\n"
        << "max_queued_messages 100000\n";
    broker = std::make_unique<Process>(
        std::vector<std::string>{"mosquitto", "-c", (dir / "broker.conf").string()},
        dir / "broker.log");
    std::this_thread::sleep_for(300ms);
  }
  std::unique_ptr<Process> Gateway(const std::string& config,
                                   const char* ready = "mqtt online") const {
    std::ofstream(dir / "zelgw.toml") << config;
    auto gw = std::make_unique<Process>(
        std::vector<std::string>{ZELGW_PROGRAM, "-c", (dir / "zelgw.toml").string()},
        dir / "zelgw.log");
    if (!Eventually([&] { return Contents(dir / "zelgw.log").find(ready) != std::string::npos; },
                    10s))
      std::fprintf(stderr, "zelgw did not start:\n%s\n", gw->Log().c_str());
    return gw;
  }
  std::string Head(const std::string& prefix, const std::string& extra = "") const {
    return "[gateway]\nname = \"bench\"\n[modbus]\nlisten = \"127.0.0.1\"\nport = 0\n"
           "[http]\nenabled = false\n[mqtt]\nhost = \"127.0.0.1\"\nport = " +
           std::to_string(brokerPort) + "\nprefix = \"" + prefix + "\"\n" + extra;
  }
  static std::string HeadWithoutMqtt() {
    return "[gateway]\nname = \"bench\"\n[modbus]\nlisten = \"127.0.0.1\"\nport = 0\n"
           "[http]\nenabled = false\n";
  }
};

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

void LatencySection(const fs::path& dir, int samples) {
  Setup setup(dir);
  Remote remote;
  remote.Set(10, 1, 0);
  std::mutex mutex;
  std::condition_variable arrived;
  long long wanted = -1;
  Clock::time_point at{};
  Subscriber sub(setup.brokerPort, "l/a/T", 0,
                 [&](const char*, std::string_view payload, Clock::time_point when) {
                   std::lock_guard lock(mutex);
                   if (Raw(payload) == wanted) {
                     at = when;
                     arrived.notify_all();
                   }
                 });
  auto gw =
      setup.Gateway(setup.Head("l", "qos = 0\n") + "[[line]]\nname = \"a\"\nport = \"" +
                    remote.port() + "\"\n[[tag]]\nname = \"T\"\nvariable = 10\npoll_ms = 100\n");
  std::this_thread::sleep_for(500ms);
  std::mt19937 random(42);
  std::uniform_int_distribution<int> phase(0, 99);
  std::vector<double> ms;
  int lost = 0;
  const double cpu0 = CpuSeconds(gw->pid());
  const auto t0 = Clock::now();
  for (int i = 1; i <= samples; ++i) {
    // Changes at any phase of the poll interval.
    std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
    Clock::time_point changed;
    {
      std::lock_guard lock(mutex);
      wanted = i;
      at = {};
    }
    changed = Clock::now();
    remote.Set(10, 1, static_cast<std::uint32_t>(i));
    std::unique_lock lock(mutex);
    if (arrived.wait_for(lock, 2s, [&] { return at != Clock::time_point{}; })) {
      ms.push_back(std::chrono::duration<double, std::milli>(at - changed).count());
    } else {
      ++lost;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = CpuSeconds(gw->pid()) - cpu0;
  std::printf("\n## latency: a change in the simulator to its message, poll_ms = 100, QoS 0\n\n");
  std::printf(
      "| samples | lost | min ms | median ms | p90 ms | p99 ms | max ms | target median |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---|\n");
  std::printf("| %zu | %d | %.1f | %.1f | %.1f | %.1f | %.1f | <= 105 ms: %s |\n", ms.size(), lost,
              Quantile(ms, 0), Quantile(ms, 0.5), Quantile(ms, 0.9), Quantile(ms, 0.99),
              Quantile(ms, 1.0), Quantile(ms, 0.5) <= 105 ? "met" : "NOT met");
  std::printf("\ngateway CPU over the run: %.1f %% of one core\n", 100 * cpu / seconds);
}

void LinesSection(const fs::path& dir, int lines, int tagsPerLine, int seconds) {
  Setup setup(dir);
  std::vector<std::unique_ptr<Remote>> remotes;
  std::string config;  // the lines and tags
  for (int l = 0; l < lines; ++l) {
    remotes.push_back(std::make_unique<Remote>());
    remotes.back()->Set(0, tagsPerLine, 0);
    config += "[[line]]\nname = \"l" + std::to_string(l) + "\"\nport = \"" +
              remotes.back()->port() + "\"\n[line.modbus]\nunit_id = " + std::to_string(l + 1) +
              "\n";
  }
  std::unordered_map<std::string, int> index;
  for (int l = 0; l < lines; ++l) {
    for (int t = 0; t < tagsPerLine; ++t) {
      const std::string name = "L" + std::to_string(l) + ".T" + std::to_string(t);
      config += "[[tag]]\nname = \"" + name + "\"\nline = \"l" + std::to_string(l) +
                "\"\nvariable = " + std::to_string(t) + "\npoll_ms = 1000\n";
      index["b/l" + std::to_string(l) + "/" + name] = l * tagsPerLine + t;
    }
  }
  const int tags = lines * tagsPerLine;
  // seen[tag][round]: how many messages carried that round's value.
  std::mutex mutex;
  Clock::time_point lastFirst{};  // when the last tag's first value came
  std::vector<std::vector<int>> seen(static_cast<std::size_t>(tags),
                                     std::vector<int>(static_cast<std::size_t>(seconds) + 2, 0));
  std::atomic<std::uint64_t> messages{0};
  Subscriber sub(
      setup.brokerPort, "b/+/+", 1,
      [&](const char* topic, std::string_view payload, Clock::time_point when) {
        ++messages;
        const auto it = index.find(topic);
        const long long raw = Raw(payload);
        if (it == index.end() || raw < 0 || raw >= static_cast<long long>(seen[0].size())) return;
        std::lock_guard lock(mutex);
        int& n = seen[static_cast<std::size_t>(it->second)][static_cast<std::size_t>(raw)];
        if (raw == 0 && n == 0) lastFirst = std::max(lastFirst, when);
        ++n;
      });
  auto gw = setup.Gateway(setup.Head("b", "publish_interval_s = 0\n") + config);
  // Every tag read once (round 0), then the rounds: each value changes once
  // a second, half-way between two polls (the lines poll in step: they
  // started together).
  Eventually(
      [&] {
        std::lock_guard lock(mutex);
        return std::all_of(seen.begin(), seen.end(), [](const auto& s) { return s[0] > 0; });
      },
      20s);
  Clock::time_point phase;
  {
    std::lock_guard lock(mutex);
    phase = lastFirst;
  }
  auto start = phase + 500ms;
  while (start < Clock::now() + 200ms) start += 1s;
  std::this_thread::sleep_until(start - 100ms);
  const std::uint64_t messages0 = messages;
  const double gw0 = CpuSeconds(gw->pid()), broker0 = CpuSeconds(setup.broker->pid());
  const std::string loadBefore = LoadAverage();
  for (int round = 1; round <= seconds; ++round) {
    std::this_thread::sleep_until(start + std::chrono::seconds(round - 1));
    for (auto& r : remotes) r->Set(0, tagsPerLine, static_cast<std::uint32_t>(round));
  }
  std::this_thread::sleep_until(start + std::chrono::seconds(seconds) + 1500ms);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double gwCpu = CpuSeconds(gw->pid()) - gw0;
  const double brokerCpu = CpuSeconds(setup.broker->pid()) - broker0;
  const std::uint64_t got = messages - messages0;
  long long missed = 0, twice = 0;
  {
    std::lock_guard lock(mutex);
    for (const auto& s : seen) {
      for (int round = 1; round <= seconds; ++round) {
        const int n = s[static_cast<std::size_t>(round)];
        missed += n == 0;
        twice += n > 1;
      }
    }
  }
  const long long changes = static_cast<long long>(tags) * seconds;
  std::printf(
      "\n## lines: one gateway, %d lines, %d tags at 1 s, every value changed once a "
      "second for %d s (QoS 1)\n\n",
      lines, tags, seconds);
  std::printf(
      "| changes | changes received | missed | twice | all messages | gateway CPU %% | "
      "gateway CPU us/message | broker CPU %% | load before | load after |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---|---|\n");
  std::printf("| %lld | %lld | %lld | %lld | %llu | %.1f | %.1f | %.1f | %s | %s |\n", changes,
              changes - missed, missed, twice, static_cast<unsigned long long>(got),
              100 * gwCpu / wall, got ? 1e6 * gwCpu / static_cast<double>(got) : 0,
              100 * brokerCpu / wall, loadBefore.c_str(), LoadAverage().c_str());
  std::printf("\nthe broker got every change: %s\n", missed == 0 ? "yes" : "NO");

  // The same gateway without [mqtt], the same rounds of changes: what the
  // lines cost without the MQTT front end.
  gw.reset();
  gw = setup.Gateway(Setup::HeadWithoutMqtt() + config, "zelgw ready");
  std::this_thread::sleep_for(3s);
  const double plain0 = CpuSeconds(gw->pid());
  const auto again = Clock::now();
  for (int round = 1; round <= seconds; ++round) {
    std::this_thread::sleep_until(again + std::chrono::seconds(round - 1));
    for (auto& r : remotes) r->Set(0, tagsPerLine, static_cast<std::uint32_t>(seconds + round));
  }
  std::this_thread::sleep_until(again + std::chrono::seconds(seconds) + 1500ms);
  const double plainWall = std::chrono::duration<double>(Clock::now() - again).count();
  const double plainCpu = CpuSeconds(gw->pid()) - plain0;
  std::printf(
      "\n| gateway | CPU %% of one core |\n|---|---:|\n| with [mqtt] | %.1f |\n"
      "| without [mqtt] (Modbus TCP only, same lines and changes) | %.1f |\n",
      100 * gwCpu / wall, 100 * plainCpu / plainWall);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("zelgw_mqtt_bench: the gateway's MQTT latency and its 32-line load",
               "zelgw_mqtt_bench");
  std::string sections = "latency,lines";
  int samples = 200, seconds = 20, lines = 32, tagsPerLine = 100;
  app.add_option("--sections", sections, "latency, lines, or both")->capture_default_str();
  app.add_option("--samples", samples, "latency samples")->capture_default_str();
  app.add_option("--seconds", seconds, "rounds of changes in the lines section")
      ->capture_default_str();
  app.add_option("--lines", lines, "lines of the lines section")->capture_default_str();
  app.add_option("--tags-per-line", tagsPerLine, "tags of each line")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  char dir[] = "/tmp/zelgw-mqtt-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  std::printf("# zelgw_mqtt_bench\n\nmachine: %u cores, load average at start %s\n",
              std::thread::hardware_concurrency(), LoadAverage().c_str());
  if (sections.find("latency") != std::string::npos) LatencySection(dir, samples);
  if (sections.find("lines") != std::string::npos) LinesSection(dir, lines, tagsPerLine, seconds);
  fs::remove_all(dir);
  return 0;
}
