// zelgw: the gateway service that puts the remote computer's variables on
// the plant network over Modbus TCP, with a status page and metrics over
// HTTP. It is a host of the zelqd driver: one DriverInstance for each line,
// every call through ZelMain.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "core/gateway.h"
#include "core/line_check.h"
#include "core/line_worker.h"
#include "core/log.h"
#include "dravun.h"
#include "driver_library.h"
#include "http/http_server.h"
#include "listen_check.h"
#include "modbus/modbus_server.h"
#include "mqtt/mqtt_bridge.h"
#include "observe.h"
#include "outcomes.h"
#include "zelqd_version.h"

namespace {

using namespace zelgw;
using namespace std::chrono_literals;

// Exit codes, as sysexits.h names them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;      // the service could not start
constexpr int kExitOverloaded = 2;  // --check --strict: a line needs more than all of its time
constexpr int kExitUsage = 64;      // the command line is wrong
constexpr int kExitConfig = 78;     // the configuration has errors

constexpr const char kDescription[] =
    "zelgw: the gateway that puts the remote computer's variables on the plant network over "
    "Modbus TCP and MQTT, with a status page, /status and /metrics over HTTP.\n"
    "\n"
    "It runs in the foreground (systemd supervises it) from one TOML file: the lines (serial "
    "ports), the tags (named variables), the Modbus TCP and HTTP listeners. SIGHUP reloads the "
    "tags without dropping clients; SIGTERM and SIGINT stop it.";

constexpr const char kFooter[] =
    "Exit codes: 0 stopped by a signal, or --check found no error; 1 the service could not start "
    "(driver, listener), or the answer of --version or --check could not be written; 2 --check "
    "--strict found a line whose polls need more than 100 % of its time; 64 usage; 78 the "
    "configuration has errors (each is printed with its file, line and key).";

void OnDriverMessage(int code, const char* message, void* /*context*/) {
  // A message that repeats a line's last failure (a port still missing) is
  // logged at a lower level.
  const bool again = NoteDriverMessage(message);
  const char* line = CurrentLineName();
  log::Write(again ? log::Level::Debug : log::Level::Warning, "driver message",
             {{"line", line != nullptr ? line : "-"},
              {"code", std::to_string(code)},
              {"text", message != nullptr ? message : ""}});
}

// Descriptors 0 to 2 that are closed get /dev/null, so that no descriptor
// opened later (the signalfd, a socket) becomes standard error and takes
// the log lines. Returns whether standard output was closed.
bool OccupyStandardDescriptors() {
  bool outputClosed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    outputClosed = outputClosed || fd == 1;
    // The lowest free number is fd itself: the ones below are open.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
  return outputClosed;
}

// The soft descriptor limit up to the hard one (1024 by default, against
// 524288 or what the unit's LimitNOFILE sets): the HTTP and Modbus clients
// are capped far below it, so that the lines and the listeners always have
// descriptors left. Returns the limit in force.
rlim_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t wanted = limit.rlim_max;
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) (void)::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

// The answer of --version or --check on standard output; false when it
// could not be written (closed, a full disk, a broken pipe).
bool Answer(bool outputClosed, const std::string& text) {
  if (outputClosed) {
    std::fprintf(stderr, "zelgw: cannot write the answer: standard output is closed\n");
    return false;
  }
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "zelgw: cannot write the answer: %s\n", std::strerror(errno));
    return false;
  }
  return true;
}

MqttSetup MqttSetupOf(const Config& config) { return {config.name, config.mqtt, config.plant}; }

// What --check says of a line's polls: the cheapest plan of each interval
// group for the line's framing and the turnaround it assumes.
linetime::LineCheck CheckLineOf(const PlantLine& line, const std::vector<PlantTag>& all) {
  std::vector<PlantTag> tags;
  for (const PlantTag& t : all) {
    if (t.line == line.name) tags.push_back(t);
  }
  ValueCache cache(line.name);
  const auto polled = cache.Replace(std::move(tags));
  const linetime::LineTiming timing = LineTimingOf(line);
  const auto groups = PlanGroups(polled, timing, line.maxGap);
  return linetime::CheckLine(line.name, groups, timing);
}

void PrintErrors(const std::vector<ConfigError>& errors) {
  for (const ConfigError& e : errors) std::fprintf(stderr, "zelgw: %s\n", e.Text().c_str());
}

// Reloads run on a thread of their own: reading the file may block (a
// password file that is a FIFO) and must not hold the Modbus clients. The
// new configuration is loaded and checked whole before anything of it is
// applied. A reload still reading when the service stops is left behind: it
// applies nothing after Stop().
class Reloader {
 public:
  Reloader(const Config& running, Gateway& gateway, MqttBridge* mqtt)
      : state_(std::make_shared<State>()) {
    state_->running = &running;
    state_->gateway = &gateway;
    state_->mqtt = mqtt;
    thread_ = std::thread([state = state_] { Loop(*state); });
  }
  ~Reloader() { Stop(); }
  Reloader(const Reloader&) = delete;
  Reloader& operator=(const Reloader&) = delete;

  void Request() {
    std::lock_guard lock(state_->mutex);
    state_->requested = true;
    state_->wake.notify_all();
  }

  void Stop() {
    if (!thread_.joinable()) return;
    bool busy = false;
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
      busy = state_->loading;
      state_->wake.notify_all();
    }
    if (busy) {
      log::Warning("a reload is still reading the configuration; it is abandoned");
      thread_.detach();
    } else {
      thread_.join();
    }
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    bool requested = false;
    bool stopping = false;
    bool loading = false;
    const Config* running = nullptr;
    Gateway* gateway = nullptr;
    MqttBridge* mqtt = nullptr;
  };

  static void Loop(State& state) {
    std::unique_lock lock(state.mutex);
    for (;;) {
      state.wake.wait(lock, [&] { return state.requested || state.stopping; });
      if (state.stopping) return;
      state.requested = false;
      state.loading = true;
      const std::string file = state.running->file;
      lock.unlock();
      sd_notify(0, "RELOADING=1");
      std::vector<ConfigError> errors;
      const Config fresh = LoadConfig(file, errors);
      lock.lock();
      state.loading = false;
      if (state.stopping) return;
      Apply(state, fresh, errors);  // under the lock: Stop() waits for it
      sd_notify(0, "READY=1");
    }
  }

  static void Apply(State& state, const Config& fresh, const std::vector<ConfigError>& errors) {
    if (!errors.empty()) {
      for (const ConfigError& e : errors)
        log::Error("reload refused: the file has errors; the running tags stay",
                   {{"error", e.Text()}});
      return;
    }
    if (const std::string changed = RestartOnlyChanges(*state.running, fresh); !changed.empty()) {
      log::Warning("changes that need a restart are not applied", {{"sections", changed}});
    }
    std::size_t kept = 0;
    for (const PlantTag& tag : fresh.plant.tags) kept += state.gateway->LineIndex(tag.line) >= 0;
    state.gateway->ReplaceTags(fresh.plant);
    if (state.mqtt != nullptr) state.mqtt->Reload(MqttSetupOf(fresh));
    log::Info("tags reloaded", {{"config", fresh.file}, {"tags", std::to_string(kept)}});
  }

  std::shared_ptr<State> state_;
  std::thread thread_;
};

// The systemd watchdog, fed by a thread of its own that no line can hold:
// it pings while every line is either outside a driver call or inside one
// for no longer than the driver's bound of a transfer (LineWorker::Stuck), and
// stops pinging while one is stuck beyond it.
class Watchdog {
 public:
  Watchdog(const Gateway& gateway, std::chrono::microseconds interval) : gateway_(gateway) {
    const auto every = std::max<std::chrono::milliseconds>(
        std::chrono::duration_cast<std::chrono::milliseconds>(interval / 2), 100ms);
    thread_ = std::thread([this, every] { Loop(every); });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      wake_.notify_all();
    }
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void Loop(std::chrono::milliseconds every) {
    std::string lastStuck;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      const std::string stuck = gateway_.StuckLine();
      if (stuck != lastStuck && !stuck.empty())
        log::Error(
            "a line hangs inside a driver call beyond the driver's bound; the watchdog "
            "is no longer fed",
            {{"line", stuck}});
      lastStuck = stuck;
      if (stuck.empty()) sd_notify(0, "WATCHDOG=1");
      lock.lock();
      wake_.wait_for(lock, every, [this] { return stopping_; });
    }
  }

  const Gateway& gateway_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

int Serve(const Config& config, const std::string& driverPath) {
  const rlim_t files = RaiseDescriptorLimit();
  const rlim_t wanted = HttpServer::kMaxConnections +
                        static_cast<rlim_t>(config.modbusListener.maxClients) +
                        8 * static_cast<rlim_t>(config.plant.lines.size()) + 64;
  if (files != RLIM_INFINITY && files < wanted)
    log::Warning("few descriptors: HTTP and Modbus clients may starve the lines",
                 {{"limit", std::to_string(files)}, {"wanted", std::to_string(wanted)}});

  // Signals arrive through a descriptor of the main loop; every thread
  // started from here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  (void)::signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal number
  const int signalFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

  std::unique_ptr<zeltools::DriverLibrary> library;
  try {
    library = std::make_unique<zeltools::DriverLibrary>(driverPath);
  } catch (const std::exception& e) {
    log::Error("cannot load the driver", {{"error", e.what()}});
    return kExitFailed;
  }
  DravunSetMessageHandler(OnDriverMessage, nullptr);
  // Why attempts and opens fail: the driver's outcome records, to each line.
  if (!zeltools::Outcomes::Instance().Attach(*library))
    log::Warning(
        "the driver gives no outcome records: /metrics and /status have no failure "
        "reasons",
        {{"driver", library->path()}});

  ServiceInfo info;
  info.name = config.name;
  info.version = ZELQD_VERSION;
  info.started = std::chrono::system_clock::now();

  Gateway gateway(config.plant, library->entry());
  ModbusServer modbus(gateway, config.modbusListener, config.modbus);
  std::unique_ptr<HttpServer> http;
  std::unique_ptr<MqttBridge> mqtt;
  try {
    modbus.Listen();
    info.modbusPort = modbus.port();
    if (config.http.enabled) {
      HttpServer::Pages pages;
      pages.status = [&] { return RenderStatus(gateway, config, modbus.Counters(), info); };
      pages.metrics = [&] { return RenderMetrics(gateway, config, modbus.Counters(), info); };
      http = std::make_unique<HttpServer>(config.http, std::move(pages));
      http->Listen();
      info.httpPort = http->port();
    }
    if (config.mqtt.enabled)
      mqtt = std::make_unique<MqttBridge>(gateway, MqttSetupOf(config), ZELQD_VERSION);
  } catch (const std::exception& e) {
    log::Error("cannot start", {{"error", e.what()}});
    zeltools::Outcomes::Instance().Detach();
    DravunSetMessageHandler(nullptr, nullptr);
    return kExitFailed;
  }
  gateway.Start();
  if (http) http->Start();
  if (mqtt) mqtt->Start();
  log::Info("zelgw ready",
            {{"version", ZELQD_VERSION},
             {"config", config.file},
             {"driver", library->path()},
             {"modbus", config.modbusListener.address + ":" + std::to_string(info.modbusPort)},
             {"http", http ? config.http.address + ":" + std::to_string(info.httpPort) : "off"},
             {"mqtt", mqtt ? mqtt->Endpoint() : "off"},
             {"lines", std::to_string(config.plant.lines.size())},
             {"tags", std::to_string(config.plant.tags.size())}});
  sd_notify(0, "READY=1");

  std::uint64_t watchdogUsec = 0;
  std::unique_ptr<Watchdog> watchdog;
  if (sd_watchdog_enabled(0, &watchdogUsec) > 0)
    watchdog = std::make_unique<Watchdog>(gateway, std::chrono::microseconds(watchdogUsec));
  Reloader reloader(config, gateway, mqtt.get());
  // The service's loop: signals and the Modbus clients, on this thread.
  std::vector<pollfd> fds;
  for (bool running = true; running;) {
    fds.clear();
    fds.push_back({signalFd, POLLIN, 0});
    modbus.AddPollFds(fds);
    if (::poll(fds.data(), fds.size(), 250) < 0) {
      if (errno != EINTR) {
        log::Error("poll failed", {{"error", std::strerror(errno)}});
        std::this_thread::sleep_for(10ms);
      }
      continue;
    }
    if (fds[0].revents != 0) {
      signalfd_siginfo si{};
      while (::read(signalFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGHUP) {
          reloader.Request();
        } else {
          log::Info("stopping", {{"signal", si.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT"}});
          modbus.Stop();
          running = false;
        }
      }
    }
    modbus.Serve(fds.data() + 1);
  }

  sd_notify(0, "STOPPING=1");
  // No request is begun from here on: what waits is answered, a transfer in
  // progress finishes.
  gateway.RequestStop();
  reloader.Stop();
  if (http) http->Stop();
  if (mqtt) mqtt->Stop(2s);  // "offline" before the lines close
  const bool clean = gateway.Stop(3s);
  modbus.Finish();  // the answers, then the clients close
  if (!clean) {
    log::Warning("a line is still inside a driver call; leaving without waiting for it");
    DravunSetMessageHandler(nullptr, nullptr);
    (void)std::fflush(nullptr);  // leaving at once: nothing left to report a failure to
    ::_exit(kExitOk);
  }
  zeltools::Outcomes::Instance().Detach();
  DravunSetMessageHandler(nullptr, nullptr);
  log::Info("stopped");
  return kExitOk;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-exception-escape): only the fixed option set-up or lack of memory.
int main(int argc, char** argv) {
  const bool outputClosed = OccupyStandardDescriptors();
  CLI::App app(kDescription, "zelgw");
  app.footer(kFooter);
  std::string configFile, driverPath, level = "info";
  bool check = false;
  bool strict = false;
  bool version = false;
  app.add_option("-c,--config", configFile, "the configuration file (TOML)")->type_name("FILE");
  app.add_flag("--check", check,
               "check the configuration and exit: 0 when it has no error, 78 with the errors; "
               "says for each line how much of its time the polls need");
  app.add_flag("--strict", strict,
               "with --check: exit 2 when a line's polls need more than 100 % of its time");
  app.add_option("--driver", driverPath,
                 "the driver library to load (default: libzelqd.so.1 beside this program, in its "
                 "build tree, or on the loader's path)")
      ->type_name("PATH");
  app.add_option("--log-level", level, "debug, info, notice, warning or error")
      ->check(CLI::IsMember({"debug", "info", "notice", "warning", "error"}))
      ->capture_default_str();
  app.add_flag("--version", version, "print the version and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return e.get_exit_code() == 0 ? kExitOk : kExitUsage;
  }
  if (version) return Answer(outputClosed, "zelgw " ZELQD_VERSION "\n") ? kExitOk : kExitFailed;
  if (configFile.empty()) {
    std::fprintf(stderr, "zelgw: give the configuration file with -c FILE (see --help)\n");
    return kExitUsage;
  }
  const std::map<std::string, log::Level> levels{{"debug", log::Level::Debug},
                                                 {"info", log::Level::Info},
                                                 {"notice", log::Level::Notice},
                                                 {"warning", log::Level::Warning},
                                                 {"error", log::Level::Error}};
  log::SetLevel(levels.at(level));

  std::vector<ConfigError> errors;
  const Config config = LoadConfig(configFile, errors);
  if (!errors.empty()) {
    PrintErrors(errors);
    return kExitConfig;
  }
  if (check) {
    // The listeners are bound and released; the TLS and password files were
    // read with the rest of the file.
    const ListenerCheck listeners = CheckListeners(config);
    for (const std::string& note : listeners.notes)
      std::fprintf(stderr, "zelgw: note: %s\n", note.c_str());
    if (!listeners.errors.empty()) {
      PrintErrors(listeners.errors);
      return kExitConfig;
    }
    std::string answer;
    bool overloaded = false;
    for (const PlantLine& line : config.plant.lines) {
      const linetime::LineCheck c = CheckLineOf(line, config.plant.tags);
      answer += c.text + "\n";
      overloaded = overloaded || c.overloaded;
    }
    const auto counted = [](std::size_t n, const char* one, const char* many) {
      return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    answer += "zelgw: " + configFile + ": ok (" +
              counted(config.plant.lines.size(), "line", "lines") + ", " +
              counted(config.plant.tags.size(), "tag", "tags") + ")\n";
    if (!Answer(outputClosed, answer)) return kExitFailed;
    return strict && overloaded ? kExitOverloaded : kExitOk;
  }
  return Serve(config, driverPath);
}
