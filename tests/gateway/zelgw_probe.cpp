// zelgw_probe: zelgw under hostile clients, on loopback. It starts the
// gateway given on the command line (under a limit of 1024 descriptors, on
// a simulated remote computer of its own) and replays, each bounded in time
// and count:
//   header flood    one HTTP connection streaming header lines (180 MB)
//   idle HTTP       1,020 connections that send nothing, held 10 s
//   slow HTTP       two clients sending a header byte every 3 s, for 30 s
//   idle Modbus     32 silent Modbus connections, then a new client
//   SIGTERM         two queued writes behind a slow one, then SIGTERM
// The hostile clients come from 127.0.0.1. While each runs, /metrics and a
// Modbus read (each on a new connection, from 127.0.0.2, as from another
// host) are timed four times a second, and the gateway's RSS and
// descriptors sampled.
//
//   zelgw_probe ZELGW_PROGRAM
//
// Prints one block per phase. Not a test: it measures, it does not judge.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/runner.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double Mb(long kb) { return static_cast<double>(kb) / 1024.0; }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Contents(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int Descriptors(pid_t pid) {
  std::error_code error;
  int n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != fs::directory_iterator(); it.increment(error))
    ++n;
  return error ? -1 : n;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The address the hostile clients come from, and the one of the clients
// that are timed (a scraper or a Modbus master on another host): both on
// loopback.
constexpr std::uint32_t kHostile = INADDR_LOOPBACK;    // 127.0.0.1
constexpr std::uint32_t kOther = INADDR_LOOPBACK + 1;  // 127.0.0.2

// A TCP connection from `source` to 127.0.0.1:port, connected within
// `limit`; -1 if not.
int Connect(int port, std::chrono::milliseconds limit = 2000ms, std::uint32_t source = kHostile) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)) {
    ::close(fd);
    return -1;
  }
  pollfd p{fd, POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  if (::poll(&p, 1, static_cast<int>(limit.count())) != 1 ||
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the peer has closed fd (end of stream or reset), waiting up to `limit`.
bool Closed(int fd, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) != 1) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
}

// The whole answer to a request on a new connection, or "".
std::string Get(int port, const std::string& path, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  const int fd = Connect(port, limit, kOther);
  if (fd < 0) return "";
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: probe\r\n\r\n";
  std::string answer;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
        answer.clear();
        break;
      }
      char buffer[16384];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

bool Ok(const std::string& answer) {
  return answer.rfind("HTTP/1.", 0) == 0 && answer.find(" 200 ") < answer.find('\r');
}

// A read of two registers (function 3) on a new Modbus connection from
// the other address; whether it was answered within `limit`.
bool ModbusRead(int port, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  const int fd = Connect(port, limit, kOther);
  if (fd < 0) return false;
  const std::uint8_t request[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 202, 0, 2};
  std::size_t got = 0;
  std::uint8_t reply[64];
  if (::send(fd, request, sizeof request, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request)) {
    while (got < 13) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
      const ssize_t n = ::recv(fd, reply + got, sizeof reply - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  return got >= 13 && reply[7] == 3 && reply[8] == 4;
}

// The simulated remote computer: writes to variables 500 and 501 are
// answered after 1.5 s, so that writes behind them queue.
class Remote {
 public:
  Remote() : engine_(SlowWrites()) {
    char path[] = "/tmp/XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    link_ = path;
    ::unlink(link_.c_str());
    if (::symlink(pty_.slaveName().c_str(), link_.c_str()) != 0) std::perror("symlink");
    engine_.table().Set(101, 215);
    runner_ = std::make_unique<zelsim::Runner>(engine_, pty_.master());
    runner_->Start();
  }
  ~Remote() {
    runner_.reset();
    ::unlink(link_.c_str());
  }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;
  const std::string& port() const { return link_; }
  std::uint64_t Writes() {
    return runner_->WithEngine([](zelsim::Engine& e) { return e.counters().writeRequests; });
  }
  std::uint32_t Get(int variable) {
    return runner_->WithEngine([=](zelsim::Engine& e) { return e.table().Get(variable); });
  }

 private:
  static zelsim::FaultConfig SlowWrites() {
    zelsim::FaultConfig f;
    zelsim::Trigger& t = f[zelsim::Fault::Delay];
    t.kind = zelsim::Trigger::Kind::Variables;
    t.ranges = {{500, 501}};
    f.delayMs = 1500;
    return f;
  }
  std::string link_;
  zelsim::Engine engine_;
  zelsim::PtyPair pty_;
  std::unique_ptr<zelsim::Runner> runner_;
};

// zelgw as a child process with at most 1024 descriptors.
class Gateway {
 public:
  Gateway(const std::string& program, const fs::path& dir, const std::string& port)
      : log_(dir / "zelgw.err") {
    const fs::path config = dir / "gw.toml";
    std::ofstream(config) << "[gateway]\nname = \"probe\"\n"
                          << "[modbus]\nlisten = \"127.0.0.1\"\nport = 0\n"
                          << "[http]\nlisten = \"127.0.0.1\"\nport = 0\n"
                          << "[[line]]\nname = \"north\"\nport = \"" << port << "\"\n"
                          << "reply_timeout_ms = 3000\n"
                          << "[[tag]]\nname = \"PV\"\nline = \"north\"\nvariable = 101\n"
                          << "poll_ms = 500\n"
                          << "[[tag]]\nname = \"W1\"\nline = \"north\"\nvariable = 500\n"
                          << "writable = true\npoll_ms = 600000\n"
                          << "[[tag]]\nname = \"W2\"\nline = \"north\"\nvariable = 501\n"
                          << "writable = true\npoll_ms = 600000\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      const rlimit files{1024, 1024};
      ::setrlimit(RLIMIT_NOFILE, &files);
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(::open("/dev/null", O_WRONLY), 1);
      ::dup2(::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      ::execl(program.c_str(), program.c_str(), "-c", config.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 100 && (http_ <= 0 || modbus_ <= 0); ++i) {
      std::this_thread::sleep_for(100ms);
      const std::string log = Log();
      http_ = PortAfter(log, " http=");
      modbus_ = PortAfter(log, " modbus=");
    }
  }
  ~Gateway() {
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;
  bool ready() const { return http_ > 0 && modbus_ > 0; }
  pid_t pid() const { return pid_; }
  int http() const { return http_; }
  int modbus() const { return modbus_; }
  std::string Log() const { return Contents(log_); }
  // Whether it exited within `limit`.
  bool Wait(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return exited_ = true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

 private:
  static int PortAfter(const std::string& log, const std::string& key) {
    const auto at = log.find(key);
    if (at == std::string::npos) return -1;
    const auto end = log.find(' ', at + 1);
    const std::string text = log.substr(at + key.size(), end - at - key.size());
    return std::atoi(text.substr(text.rfind(':') + 1).c_str());
  }
  fs::path log_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int http_ = -1;
  int modbus_ = -1;
};

// Times /metrics and a Modbus read four times a second, and samples RSS
// and descriptors, until stopped.
class Monitor {
 public:
  explicit Monitor(const Gateway& gw) : gw_(gw) {
    rssStart_ = RssKb(gw.pid());
    fdsStart_ = Descriptors(gw.pid());
    thread_ = std::thread([this] { Loop(); });
  }
  ~Monitor() { Finish(); }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  void Finish() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
  }
  void Print(const std::string& name, const std::string& logBefore) {
    Finish();
    std::this_thread::sleep_for(1s);  // connections closed, memory given back
    const long rssEnd = RssKb(gw_.pid());
    const int fdsEnd = Descriptors(gw_.pid());
    const int emfile =
        Count(gw_.Log(), "Too many open files") - Count(logBefore, "Too many open files");
    std::printf("  %-22s start %6.1f MB, peak %6.1f MB, after %6.1f MB (after - start %+.1f MB)\n",
                "RSS:", Mb(rssStart_), Mb(rssPeak_), Mb(rssEnd), Mb(rssEnd - rssStart_));
    std::printf("  %-22s start %d, peak %d, after %d\n", "descriptors:", fdsStart_, fdsPeak_,
                fdsEnd);
    std::printf("  %-22s slowest %.0f ms, %d of %d unanswered within 5 s\n",
                "/metrics:", metricsWorst_, metricsFailed_, samples_);
    std::printf("  %-22s slowest %.0f ms, %d of %d unanswered within 5 s\n",
                "Modbus read:", modbusWorst_, modbusFailed_, samples_);
    std::printf("  %-22s %d new log lines\n", "\"Too many open files\":", emfile);
    const bool ok = std::abs(rssEnd - rssStart_) <= 10 * 1024 && metricsWorst_ <= 1000 &&
                    modbusWorst_ <= 1000 && metricsFailed_ == 0 && modbusFailed_ == 0 &&
                    emfile == 0;
    std::printf("  %-22s %s\n", (name + ":").c_str(), ok ? "within target" : "MISSES the target");
  }

 private:
  void Loop() {
    while (!stop_) {
      const auto next = Clock::now() + 250ms;
      std::thread metrics([this] {
        const auto t0 = Clock::now();
        const bool ok = Ok(Get(gw_.http(), "/metrics", 5000ms));
        metricsWorst_ = std::max(metricsWorst_, Ms(Clock::now() - t0));
        metricsFailed_ += ok ? 0 : 1;
      });
      const auto t0 = Clock::now();
      const bool ok = ModbusRead(gw_.modbus(), 5000ms);
      modbusWorst_ = std::max(modbusWorst_, Ms(Clock::now() - t0));
      modbusFailed_ += ok ? 0 : 1;
      metrics.join();
      ++samples_;
      rssPeak_ = std::max(rssPeak_, RssKb(gw_.pid()));
      fdsPeak_ = std::max(fdsPeak_, Descriptors(gw_.pid()));
      std::this_thread::sleep_until(next);
    }
  }
  const Gateway& gw_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  long rssStart_ = 0, rssPeak_ = 0;
  int fdsStart_ = 0, fdsPeak_ = 0;
  double metricsWorst_ = 0, modbusWorst_ = 0;
  int metricsFailed_ = 0, modbusFailed_ = 0, samples_ = 0;
};

void HeaderFlood(Gateway& gw) {
  std::printf("header flood: one connection, header lines of 1 KB up to 180 MB (60 s at most)\n");
  const std::string before = gw.Log();
  Monitor m(gw);
  const int fd = Connect(gw.http());
  std::string line = "X-Flood: " + std::string(1014, 'a') + "\r\n";
  const std::string start = "GET /status HTTP/1.1\r\nHost: probe\r\n";
  std::size_t sent = 0;
  const std::size_t total = std::size_t{180} << 20;
  const auto end = Clock::now() + 60s;
  bool refused = false;
  if (fd >= 0 && ::send(fd, start.data(), start.size(), MSG_NOSIGNAL) > 0) {
    std::string chunk;
    for (int i = 0; i < 64; ++i) chunk += line;
    while (sent < total && Clock::now() < end) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) != 1) continue;
      const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) {
        refused = true;
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
    if (!refused) (void)::send(fd, "\r\n", 2, MSG_NOSIGNAL);
  }
  // The answer, if any (after the flood, or the one that ended it).
  std::string answer;
  for (const auto stop = Clock::now() + 5s; Clock::now() < stop;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 500) != 1) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
    if (answer.find("\r\n") != std::string::npos) break;
  }
  if (fd >= 0) ::close(fd);
  std::printf("  %-22s %.1f MB sent, %s; answer: %s\n",
              "flood:", static_cast<double>(sent) / 1048576.0,
              refused ? "the gateway closed the connection" : "all taken",
              answer.empty() ? "none" : answer.substr(0, answer.find('\r')).c_str());
  m.Print("header flood", before);
}

void IdleHttp(Gateway& gw) {
  std::printf("idle HTTP: 1,020 connections that send nothing, held 10 s\n");
  const std::string before = gw.Log();
  Monitor m(gw);
  std::vector<int> fds;
  for (int i = 0; i < 1020; ++i) {
    const int fd = Connect(gw.http(), 200ms);
    if (fd >= 0) fds.push_back(fd);
  }
  std::this_thread::sleep_for(10s);
  int closed = 0;
  for (const int fd : fds) {
    closed += Closed(fd, 1ms) ? 1 : 0;
    ::close(fd);
  }
  std::printf("  %-22s %zu connected, %d of them closed by the gateway\n",
              "connections:", fds.size(), closed);
  m.Print("idle HTTP", before);
}

void SlowHttp(Gateway& gw) {
  std::printf("slow HTTP: two clients sending one header byte every 3 s, for 30 s\n");
  const std::string before = gw.Log();
  Monitor m(gw);
  int fds[2] = {Connect(gw.http()), Connect(gw.http())};
  double closedAfter[2] = {-1, -1};
  const std::string start = "GET /status HTTP/1.1\r\nHost: probe\r\nX-Slow: ";
  for (const int fd : fds)
    if (fd >= 0) (void)::send(fd, start.data(), start.size(), MSG_NOSIGNAL);
  const auto t0 = Clock::now();
  while (Clock::now() - t0 < 30s && (closedAfter[0] < 0 || closedAfter[1] < 0)) {
    for (int i = 0; i < 2; ++i) {
      if (closedAfter[i] >= 0 || fds[i] < 0) continue;
      if (::send(fds[i], "a", 1, MSG_NOSIGNAL) != 1 || Closed(fds[i], 1ms))
        closedAfter[i] = Ms(Clock::now() - t0) / 1000;
    }
    for (int i = 0; i < 2; ++i)
      if (closedAfter[i] < 0 && fds[i] >= 0 && Closed(fds[i], 1500ms))
        closedAfter[i] = Ms(Clock::now() - t0) / 1000;
  }
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) ::close(fds[i]);
    if (closedAfter[i] >= 0) {
      std::printf("  %-22s closed by the gateway after %.1f s\n",
                  ("client " + std::to_string(i + 1) + ":").c_str(), closedAfter[i]);
    } else {
      std::printf("  %-22s still held after 30 s\n",
                  ("client " + std::to_string(i + 1) + ":").c_str());
    }
  }
  m.Print("slow HTTP", before);
}

void IdleModbus(Gateway& gw) {
  std::printf("idle Modbus: 32 silent connections, then a new client (from another address)\n");
  const std::string before = gw.Log();
  Monitor m(gw);
  std::vector<int> fds;
  for (int i = 0; i < 32; ++i) {
    const int fd = Connect(gw.modbus());
    if (fd >= 0) fds.push_back(fd);
  }
  std::this_thread::sleep_for(500ms);
  const auto t0 = Clock::now();
  const bool answered = ModbusRead(gw.modbus(), 3000ms);
  std::printf("  %-22s %s in %.0f ms\n", "new client:", answered ? "answered" : "NOT answered",
              Ms(Clock::now() - t0));
  std::this_thread::sleep_for(2s);
  for (const int fd : fds) ::close(fd);
  m.Print("idle Modbus", before);
}

// FC16 of two words to `reg` on a connection of its own; the exception
// code, 0 for a normal reply, -1 for none.
int Write(int port, int reg, std::uint16_t value) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_set_response_timeout(ctx, 10, 0);
  int result = -1;
  if (modbus_connect(ctx) == 0) {
    const std::uint16_t words[2] = {0, value};
    if (modbus_write_registers(ctx, reg, 2, words) == 2) {
      result = 0;
    } else if (errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + 0x20) {
      result = errno - MODBUS_ENOBASE;
    }
  }
  modbus_close(ctx);
  modbus_free(ctx);
  return result;
}

void Sigterm(Gateway& gw, Remote& remote) {
  std::printf(
      "SIGTERM: a slow write (1.5 s at the remote), two more queued behind it, then "
      "SIGTERM\n");
  const std::uint64_t writesBefore = remote.Writes();
  int answers[3] = {-2, -2, -2};
  std::thread first([&] { answers[0] = Write(gw.modbus(), 1000, 1); });
  std::this_thread::sleep_for(300ms);
  std::thread second([&] { answers[1] = Write(gw.modbus(), 1002, 2); });
  std::thread third([&] { answers[2] = Write(gw.modbus(), 1000, 3); });
  std::this_thread::sleep_for(300ms);
  const std::uint64_t atSignal = remote.Writes();
  ::kill(gw.pid(), SIGTERM);
  const bool exited = gw.Wait(20s);
  first.join();
  second.join();
  third.join();
  std::this_thread::sleep_for(200ms);
  const std::uint64_t after = remote.Writes();
  const auto text = [](int a) {
    return a == 0  ? std::string("normal reply")
           : a < 0 ? std::string("no answer")
                   : "exception " + std::to_string(a);
  };
  std::printf("  %-22s %s\n", "slow write:", text(answers[0]).c_str());
  std::printf("  %-22s %s; %s\n", "queued writes:", text(answers[1]).c_str(),
              text(answers[2]).c_str());
  std::printf("  %-22s %llu at SIGTERM, %llu more after it (attempts included)\n",
              "write requests:", static_cast<unsigned long long>(atSignal - writesBefore),
              static_cast<unsigned long long>(after - atSignal));
  // 500 = 1: the slow write took place; 501 = 2 and 500 = 3: the queued
  // ones reached the line after SIGTERM.
  const std::uint32_t v500 = remote.Get(500), v501 = remote.Get(501);
  std::printf(
      "  %-22s variable 500 = %u, 501 = %u: queued writes carried out after SIGTERM: "
      "%d of 2\n",
      "at the remote:", v500, v501, (v501 == 2 ? 1 : 0) + (v500 == 3 ? 1 : 0));
  std::printf("  %-22s %s\n", "gateway:", exited ? "exited" : "still running after 20 s");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zelgw_probe ZELGW_PROGRAM\n");
    return 64;
  }
  (void)::signal(SIGPIPE, SIG_IGN);
  // The probe holds more than a thousand connections itself.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);

  char dir[] = "/tmp/zelgw-probe-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  int status = 0;
  {
    Remote remote;
    Gateway gw(argv[1], dir, remote.port());
    if (!gw.ready()) {
      std::fprintf(stderr, "zelgw_probe: the gateway did not start:\n%s", gw.Log().c_str());
      status = 1;
    } else {
      // Every tag read once (the two slow ones take 1.5 s each).
      for (int i = 0; i < 100 && Count(Get(gw.http(), "/status", 2000ms), "\"good\"") < 3; ++i)
        std::this_thread::sleep_for(200ms);
      std::printf("zelgw_probe: %s, pid %d, descriptors limit 1024\n", argv[1], gw.pid());
      HeaderFlood(gw);
      IdleHttp(gw);
      SlowHttp(gw);
      IdleModbus(gw);
      Sigterm(gw, remote);
    }
  }
  fs::remove_all(dir);
  return status;
}
