// zelgw as it runs: the service as a process on two simulated remote
// computers (pseudo-terminals), with libmodbus and mbpoll as Modbus masters
// and curl for HTTP. Each test starts its own gateway on free ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_support.h"
#include "zelsim/pty_pair.h"

namespace {

using gateway_test::Contents;
using gateway_test::Eventually;
using gateway_test::Has;
using gateway_test::Remote;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Words = std::vector<std::uint16_t>;

// A command's exit code and output (stdout and stderr together).
std::pair<int, std::string> Capture(const std::string& command) {
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// zelgw as a process, from a configuration file; ready once it has logged
// the ports it listens on.
class Service {
 public:
  Service(const fs::path& config, const fs::path& dir, std::vector<std::string> environment = {})
      : log_(dir / "zelgw.err") {
    pid_ = ::fork();
    if (pid_ == 0) {
      for (std::string& variable : environment) ::putenv(variable.data());
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(::open((dir / "zelgw.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      ::execl(ZELGW_PROGRAM, ZELGW_PROGRAM, "-c", config.c_str(), "--log-level", "debug",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::string log;
    Eventually([&] { return Has(log = Log(), "zelgw ready") || !Alive(); }, 10s);
    modbus_ = PortAfter(log, " modbus=");
    http_ = PortAfter(log, " http=");
  }
  ~Service() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!Eventually([this] { return !Alive(); }, 5s)) {
      ADD_FAILURE() << "zelgw did not stop on SIGTERM";
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return modbus_ > 0 && http_ > 0; }
  int modbusPort() const { return modbus_; }
  int httpPort() const { return http_; }
  std::string Log() const { return Contents(log_); }
  void Signal(int signal) { ::kill(pid_, signal); }
  bool Alive() {
    if (exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) exited_ = true;
    return !exited_;
  }
  std::string Http(const std::string& path) const {
    return Capture("curl -s --max-time 5 http://127.0.0.1:" + std::to_string(http_) + path).second;
  }
  nlohmann::json Status() const { return nlohmann::json::parse(Http("/status"), nullptr, false); }

 private:
  static int PortAfter(const std::string& log, const std::string& key) {
    const auto at = log.find(key);
    if (at == std::string::npos) return -1;
    const auto colon = log.find(' ', at + 1);
    const auto text = log.substr(at + key.size(), colon - at - key.size());
    return std::atoi(text.substr(text.rfind(':') + 1).c_str());
  }

  fs::path log_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int modbus_ = -1;
  int http_ = -1;
};

// A Modbus TCP master (libmodbus) that sends raw PDUs, so that malformed
// counts reach the gateway too.
class Master {
 public:
  explicit Master(int port) : ctx_(modbus_new_tcp("127.0.0.1", port)) {
    modbus_set_response_timeout(ctx_, 10, 0);
    connected_ = modbus_connect(ctx_) == 0;
  }
  ~Master() {
    modbus_close(ctx_);
    modbus_free(ctx_);
  }
  bool connected() const { return connected_; }

  struct Answer {
    int exception = -1;              // 0: a normal reply; -1: none
    std::vector<std::uint8_t> data;  // after the function code
  };
  Answer Send(int unit, std::vector<std::uint8_t> pdu) {
    pdu.insert(pdu.begin(), static_cast<std::uint8_t>(unit));
    Answer a;
    if (modbus_send_raw_request(ctx_, pdu.data(), static_cast<int>(pdu.size())) < 0) return a;
    std::uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
    const int n = modbus_receive_confirmation(ctx_, reply);
    if (n < 9) return a;
    if ((reply[7] & 0x80) != 0) {
      a.exception = reply[8];
    } else {
      a.exception = 0;
      a.data.assign(reply + 8, reply + n);
    }
    return a;
  }
  // Function 3 or 4: the words, or the exception.
  Answer Read(int unit, int address, int count, int function = 3) {
    return Send(unit, {static_cast<std::uint8_t>(function), Hi(address), Lo(address), Hi(count),
                       Lo(count)});
  }
  static Words WordsOf(const Answer& a) {
    Words w;
    for (std::size_t i = 1; i + 1 < a.data.size(); i += 2)
      w.push_back(static_cast<std::uint16_t>(a.data[i] << 8 | a.data[i + 1]));
    return w;
  }
  Answer Write(int unit, int address, const Words& words) {
    std::vector<std::uint8_t> pdu = {16,
                                     Hi(address),
                                     Lo(address),
                                     Hi(static_cast<int>(words.size())),
                                     Lo(static_cast<int>(words.size())),
                                     static_cast<std::uint8_t>(2 * words.size())};
    for (const std::uint16_t w : words) {
      pdu.push_back(Hi(w));
      pdu.push_back(Lo(w));
    }
    return Send(unit, pdu);
  }
  Answer Coil(int unit, bool on) {
    return Send(unit, {5, 0, 0, on ? std::uint8_t{0xFF} : std::uint8_t{0}, 0});
  }
  int ReadCoil(int unit) {
    const Answer a = Send(unit, {1, 0, 0, 0, 1});
    return a.exception == 0 && a.data.size() == 2 ? a.data[1] : -1;
  }

  static std::uint8_t Hi(int v) { return static_cast<std::uint8_t>(v >> 8); }
  static std::uint8_t Lo(int v) { return static_cast<std::uint8_t>(v); }

 private:
  modbus_t* ctx_;
  bool connected_ = false;
};

// Line "north" (unit 1): the default map, high word first, no untagged
// writes. Line "south" (unit 2): two ranges, low word first, untagged
// writes and half reads allowed.
struct Options {
  int maxClients = 8;
  int idleSeconds = 60;
  bool northWritable = false;  // N.PV
  int perClient = 8;
  std::string allow;  // the [modbus] allow list's entries, as TOML
};

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/zelgw-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    north_.Set(101, 215);
    north_.Set(102, 200);
    north_.Set(103, 0x00ABCDEF);
    north_.Set(300, 0x11112222);
    south_.Set(40010, 0x42C80000);  // 100.0f
    south_.Set(90001, 0x00030004);
  }
  void TearDown() override {
    service_.reset();
    fs::remove_all(dir_);
  }

  std::string Config(const Options& o) const {
    std::ostringstream c;
    c << "[gateway]\nname = \"test-gw\"\n"
      << "[modbus]\nlisten = \"127.0.0.1\"\nport = 0\nmax_clients = " << o.maxClients
      << "\nidle_timeout_s = " << o.idleSeconds << "\n"
      << "max_connections_per_client = " << o.perClient << "\n"
      << (o.allow.empty() ? "" : "allow = [" + o.allow + "]\n")
      << "[http]\nlisten = \"127.0.0.1\"\nport = 0\n"
      << "[[line]]\nname = \"north\"\nport = \"" << north_.port() << "\"\n"
      << "reopen_after = 1\nreopen_pause_max_s = 1\n"
      << "[line.modbus]\nstop_writable = true\n"
      << "[[line]]\nname = \"south\"\nport = \"" << south_.port() << "\"\n"
      << "[line.modbus]\nunit_id = 2\nword_order = \"low-first\"\nuntagged_writes = true\n"
      << "allow_half_reads = true\n"
      << "registers = [{ register = 0, variable = 40000, count = 100 },"
      << " { register = 1000, variable = 90000, count = 50 }]\n"
      << "[[tag]]\nname = \"N.PV\"\nline = \"north\"\nvariable = 101\nscale = 0.1\n"
      << "unit = \"degC\"\npoll_ms = 60000\nwritable = " << (o.northWritable ? "true" : "false")
      << "\n"
      << "[[tag]]\nname = \"N.SP\"\nline = \"north\"\nvariable = 102\nwritable = true\n"
      << "poll_ms = 100\n"
      << "[[tag]]\nname = \"S.PV\"\nline = \"south\"\nvariable = 40010\ntype = \"float32\"\n"
      << "poll_ms = 100\n";
    return c.str();
  }
  fs::path WriteConfig(const Options& o) {
    const fs::path file = dir_ / "gw.toml";
    std::ofstream(file) << Config(o);
    return file;
  }
  // Starts the gateway and waits until every tag has been read.
  void Start(const Options& o = {}, std::vector<std::string> environment = {}) {
    service_ = std::make_unique<Service>(WriteConfig(o), dir_, std::move(environment));
    ASSERT_TRUE(service_->ready()) << service_->Log();
    ASSERT_TRUE(Eventually([this] { return Qualities() == "N.PV=good N.SP=good S.PV=good"; }))
        << Qualities() << "\n"
        << service_->Log();
  }
  // "TAG=quality ..." from /status.
  std::string Qualities() const {
    const auto status = service_->Status();
    std::string out;
    if (!status.is_object()) return "no status";
    for (const auto& tag : status["tags"]) {
      if (!out.empty()) out += ' ';
      out += tag["name"].get<std::string>() + "=" + tag["quality"].get<std::string>();
    }
    return out;
  }
  std::string LineState(int line) const {
    const auto status = service_->Status();
    return status.is_object() ? status["lines"][line]["state"].get<std::string>() : "?";
  }

  fs::path dir_;
  Remote north_;
  Remote south_;
  std::unique_ptr<Service> service_;
};

constexpr int kNone = 0;

TEST_F(GatewayTest, ReadsFromTheCacheOrThroughTheLineAndExceptionsByCase) {
  Start();
  // A polled tag's value comes from the cache: a change on the remote side
  // shows only with the next poll (N.PV is polled once a minute).
  north_.Set(101, 999);
  struct Case {
    const char* what;
    int unit, function, address, count;
    int exception;
    Words words;
  };
  const Case cases[] = {
      {"polled tags, from the cache", 1, 3, 202, 4, kNone, {0, 215, 0, 200}},
      {"input registers are the same", 1, 4, 202, 2, kNone, {0, 215}},
      {"halves of two variables", 1, 3, 203, 2, 2, {}},
      {"one register, the high word", 1, 3, 202, 1, 2, {}},
      {"one register, the low word", 1, 4, 203, 1, 2, {}},
      {"whole, then the high word of the next", 1, 3, 202, 3, 2, {}},
      {"the low word, then a whole one", 1, 3, 203, 3, 2, {}},
      {"half reads allowed: one register", 2, 3, 21, 1, kNone, {0x42C8}},
      {"half reads allowed: halves of two variables", 2, 4, 21, 2, kNone, {0x42C8, 0}},
      {"half reads allowed: whole, then half", 2, 3, 20, 3, kNone, {0x0000, 0x42C8, 0}},
      {"untagged, read through", 1, 3, 600, 2, kNone, {0x1111, 0x2222}},
      {"tagged and untagged together, read through", 1, 3, 204, 4, kNone, {0, 200, 0x00AB, 0xCDEF}},
      {"low word first, second line", 2, 3, 20, 2, kNone, {0x0000, 0x42C8}},
      {"second range, read through", 2, 3, 1002, 2, kNone, {0x0004, 0x0003}},
      {"in no range", 2, 3, 200, 1, 2, {}},
      {"running out of the range", 2, 3, 198, 4, 2, {}},
      {"past register 65535", 1, 3, 65535, 2, 2, {}},
      {"no line has the unit", 9, 3, 0, 2, 0x0A, {}},
      {"more than 125 registers", 1, 3, 0, 126, 3, {}},
      {"no register", 1, 3, 0, 0, 3, {}},
      {"discrete inputs are not served", 1, 2, 0, 1, 1, {}},
      {"coils other than 0", 1, 1, 1, 1, 2, {}},
  };
  Master m(service_->modbusPort());
  ASSERT_TRUE(m.connected());
  for (const Case& c : cases) {
    const auto a = m.Read(c.unit, c.address, c.count, c.function);
    EXPECT_EQ(a.exception, c.exception) << c.what;
    if (c.exception == kNone) {
      EXPECT_EQ(Master::WordsOf(a), c.words) << c.what;
    }
  }
  // Other functions and malformed PDUs.
  EXPECT_EQ(m.Send(1, {6, 0, 204, 0, 1}).exception, 3) << "one register is half a variable";
  EXPECT_EQ(m.Send(2, {6, 0, 200, 0, 1}).exception, 2) << "a register in no range";
  EXPECT_EQ(m.Send(1, {0x2B, 0x0E, 1, 0}).exception, 1) << "function not served";
  EXPECT_EQ(m.Send(1, {16, 0, 204, 0, 2, 3, 0, 0, 0}).exception, 3) << "byte count";
  EXPECT_EQ(m.Send(1, {5, 0, 0, 0x12, 0x34}).exception, 3) << "coil value";
  // Codes from 0x80 on are no function: exception 0x01 with the code itself
  // (not the code plus 0x80, which would look like a normal reply).
  for (const std::uint8_t function : {std::uint8_t{0x83}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
    const auto a = m.Send(1, {function, 0, 0, 0, 1});
    EXPECT_EQ(a.exception, 1) << int{function};
  }
}

TEST_F(GatewayTest, WritesWholeVariablesOnlyAndNeverPartly) {
  Start();
  struct Case {
    const char* what;
    int unit, address;
    Words words;
    int exception;
    int variable;            // the variable to look at on the remote computer
    std::uint32_t expected;  // its value afterwards
  };
  const Case cases[] = {
      {"writable tag", 1, 204, {0x0001, 0x0002}, kNone, 102, 0x00010002},
      {"read-only tag", 1, 202, {0, 7}, 2, 101, 215},
      {"half of one variable and half of another", 1, 205, {7, 7}, 3, 103, 0x00ABCDEF},
      {"three registers: one and a half variables", 1, 204, {0, 5, 0}, 3, 102, 0x00010002},
      {"untagged, line takes no untagged writes", 1, 600, {0, 7}, 2, 300, 0x11112222},
      {"a writable and a read-only tag: nothing written", 1, 202, {0, 7, 0, 8}, 2, 102, 0x00010002},
      {"untagged, low word first", 2, 1002, {0x0006, 0x0005}, kNone, 90001, 0x00050006},
      {"in no range", 2, 200, {0, 1}, 2, 40000, 0},
  };
  Master m(service_->modbusPort());
  ASSERT_TRUE(m.connected());
  for (const Case& c : cases) {
    EXPECT_EQ(m.Write(c.unit, c.address, c.words).exception, c.exception) << c.what;
    Remote& remote = c.unit == 1 ? north_ : south_;
    EXPECT_EQ(remote.Get(c.variable), c.expected) << c.what;
  }
  // What was written is what the cache holds at once.
  EXPECT_EQ(Master::WordsOf(m.Read(1, 204, 2)), (Words{0x0001, 0x0002}));
}

TEST_F(GatewayTest, StopCoilSuspendsTheLineWithoutTouchingIt) {
  Start();
  Master m(service_->modbusPort());
  ASSERT_TRUE(m.connected());
  EXPECT_EQ(m.ReadCoil(1), 0);
  EXPECT_EQ(m.Coil(1, true).exception, kNone);
  EXPECT_EQ(m.ReadCoil(1), 1);
  EXPECT_EQ(m.ReadCoil(2), 0) << "the other line runs on";
  const std::uint64_t before = north_.Requests();
  EXPECT_EQ(m.Read(1, 600, 2).exception, 0x0A) << "read through while suspended";
  EXPECT_EQ(m.Write(1, 204, {0, 9}).exception, 0x0A) << "write while suspended";
  std::this_thread::sleep_for(400ms);  // N.SP would have been polled four times
  EXPECT_EQ(north_.Requests(), before) << "nothing went on the line";
  EXPECT_EQ(north_.Get(102), 200u);
  // Function 15 on coil 0 resumes, as function 5 does.
  EXPECT_EQ(m.Send(1, {15, 0, 0, 0, 1, 1, 0}).exception, kNone);
  EXPECT_EQ(m.ReadCoil(1), 0);
  // Line south keeps the default: $STOP is read-only over Modbus.
  EXPECT_EQ(m.Coil(2, true).exception, 2);
  EXPECT_EQ(m.Send(2, {15, 0, 0, 0, 1, 1, 1}).exception, 2);
  EXPECT_EQ(m.ReadCoil(2), 0);
  EXPECT_EQ(Master::WordsOf(m.Read(1, 600, 2)), (Words{0x1111, 0x2222}));
  EXPECT_GT(north_.Requests(), before);
}

TEST_F(GatewayTest, LineHangsUpGoesStaleAndComesBack) {
  Start();
  Master m(service_->modbusPort());
  ASSERT_TRUE(m.connected());
  north_.Unplug();
  ASSERT_TRUE(Eventually([this] { return Qualities() == "N.PV=stale N.SP=stale S.PV=good"; }))
      << Qualities();
  EXPECT_NE(LineState(0), "open");
  // A stale value is never served: the request goes to the line, which is down.
  EXPECT_EQ(m.Read(1, 204, 2).exception, 0x0A);
  EXPECT_EQ(m.Read(2, 20, 2).exception, kNone) << "the other line is not touched";
  north_.Set(101, 216);
  north_.Plug();
  ASSERT_TRUE(Eventually([this] { return Qualities() == "N.PV=good N.SP=good S.PV=good"; }))
      << Qualities() << "\n"
      << service_->Log();
  EXPECT_EQ(LineState(0), "open");
  EXPECT_EQ(Master::WordsOf(m.Read(1, 202, 2)), (Words{0, 216})) << "read again after the return";
  const std::string metrics = service_->Http("/metrics");
  EXPECT_TRUE(Has(metrics, "zelgw_line_reopens_total{line=\"north\"} 1\n")) << metrics;
  EXPECT_TRUE(Has(metrics, "zelgw_line_reopens_total{line=\"south\"} 0\n"));
  EXPECT_TRUE(Has(metrics, "zelgw_line_attempt_failures_total{line=\"north\",reason=\"hang_up\"}"))
      << metrics;
  EXPECT_FALSE(Has(metrics, "zelgw_line_attempt_failures_total{line=\"south\""));
  EXPECT_TRUE(
      Has(metrics,
          "zelgw_modbus_exceptions_total{function=\"read_holding_registers\",code=\"0x0A\"} 1\n"));
  EXPECT_TRUE(Has(service_->Log(), "msg=\"line closed\" line=north"));
}

// A socket that connects and says nothing.
// A connection from the loopback address `from` (any of 127.0.0.0/8).
int Connect(int port, const char* from = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &source.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
    ::close(fd);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the gateway closed the socket within the time given.
bool ClosedByPeer(int fd, std::chrono::milliseconds within) {
  timeval tv{static_cast<time_t>(within.count() / 1000),
             static_cast<suseconds_t>(within.count() % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

TEST_F(GatewayTest, FloodsMalformedFramesAndSilentClientsLeaveTheOthersServed) {
  Options o;
  o.maxClients = 8;
  o.perClient = 4;
  o.idleSeconds = 2;
  Start(o);
  std::vector<std::unique_ptr<Master>> masters;
  for (int i = 0; i < 4; ++i) masters.push_back(std::make_unique<Master>(service_->modbusPort()));
  for (auto& m : masters) ASSERT_EQ(m->Read(1, 204, 2).exception, kNone);
  // A hundred more connections from one address: each new one takes the
  // place of that address's longest idle one, the masters keep theirs.
  std::vector<int> flood;
  for (int i = 0; i < 100; ++i) flood.push_back(Connect(service_->modbusPort(), "127.0.0.5"));
  int closed = 0;
  for (std::size_t i = 0; i + 4 < flood.size(); ++i) closed += ClosedByPeer(flood[i], 2s);
  for (const int fd : flood) ::close(fd);
  EXPECT_EQ(closed, 96);
  EXPECT_TRUE(Has(service_->Http("/metrics"),
                  "zelgw_modbus_disconnects_total{reason=\"evicted for a new connection\"} 96\n"));
  for (auto& m : masters) EXPECT_EQ(m->Read(2, 20, 2).exception, kNone) << "still served";
  // One master leaves; the next connection must find its place free. The
  // gateway may see that master's end only after a connection that comes
  // at once (both in one round of its loop, the new one accepted first),
  // and would refuse it: wait until its count of clients says 3.
  masters.pop_back();
  ASSERT_TRUE(Eventually([&] {
    return Has(service_->Http("/metrics"), "\nzelgw_modbus_clients 3\n");
  })) << service_->Http("/metrics");
  // Not Modbus TCP: dropped.
  const int http = Connect(service_->modbusPort());
  const char request[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(::send(http, request, sizeof request - 1, 0), static_cast<ssize_t>(sizeof request - 1));
  EXPECT_TRUE(ClosedByPeer(http, 2s));
  ::close(http);
  // Silent: dropped after the idle time-out, as are the masters left alone.
  const int silent = Connect(service_->modbusPort());
  EXPECT_TRUE(ClosedByPeer(silent, 5s));
  ::close(silent);
  EXPECT_EQ(masters[0]->Read(1, 204, 2).exception, -1) << "idle master dropped";
  Master fresh(service_->modbusPort());
  EXPECT_EQ(fresh.Read(1, 204, 2).exception, kNone) << "a new client is served";
  const std::string metrics = service_->Http("/metrics");
  EXPECT_TRUE(Has(metrics, "zelgw_modbus_disconnects_total{reason=\"malformed frame\"} 1\n"));
  EXPECT_TRUE(Has(metrics, "zelgw_modbus_disconnects_total{reason=\"idle\"}"));
  EXPECT_TRUE(service_->Alive());
}

TEST_F(GatewayTest, FullTableEvictsTheLongestIdleAndTheAllowListClosesOthers) {
  Options o;
  o.maxClients = 4;
  o.perClient = 2;
  o.allow = "\"127.0.0.0/30\", \"::1\"";  // 127.0.0.1 to .3; not .4 and up
  Start(o);
  const int port = service_->modbusPort();
  // One request on a raw connection: whether it was answered.
  const auto ask = [](int fd) {
    const std::uint8_t frame[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 204, 0, 2};
    if (::send(fd, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame))
      return false;
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::uint8_t reply[64];
    return ::recv(fd, reply, sizeof reply, 0) == 13;
  };
  struct Step {
    const char* what;
    const char* from;
    int evicted;  // index of the connection it displaces, or -1
  };
  const Step steps[] = {
      {"first of .2", "127.0.0.2", -1},
      {"second of .2", "127.0.0.2", -1},
      {"third of .2: .2's longest idle goes", "127.0.0.2", 0},
      {"first of .3", "127.0.0.3", -1},
      {"second of .3: the table is full", "127.0.0.3", -1},
      {"first of .1: the longest idle of all goes", "127.0.0.1", 1},
  };
  std::vector<int> fds;
  for (const Step& step : steps) {
    const int fd = Connect(port, step.from);
    ASSERT_GE(fd, 0) << step.what;
    EXPECT_TRUE(ask(fd)) << step.what;
    fds.push_back(fd);
    if (step.evicted >= 0) {
      EXPECT_TRUE(ClosedByPeer(fds[static_cast<std::size_t>(step.evicted)], 2s)) << step.what;
    }
    std::this_thread::sleep_for(20ms);  // the idle times differ
  }
  for (const std::size_t kept : {2, 3, 4, 5}) EXPECT_TRUE(ask(fds[kept])) << "kept " << kept;
  // Outside the allow-list: closed at once, without taking anyone's place.
  const int outsider = Connect(port, "127.0.0.4");
  ASSERT_GE(outsider, 0);
  EXPECT_TRUE(ClosedByPeer(outsider, 2s));
  ::close(outsider);
  EXPECT_TRUE(ask(fds[2]));
  for (const int fd : fds) ::close(fd);
  const std::string metrics = service_->Http("/metrics");
  EXPECT_TRUE(Has(metrics, "zelgw_modbus_connections_total{result=\"denied\"} 1\n")) << metrics;
  EXPECT_TRUE(
      Has(metrics, "zelgw_modbus_disconnects_total{reason=\"evicted for a new connection\"} 2\n"))
      << metrics;
}

// Sends `head`, then `filler` until `bytes` are out, a piece every `gap`,
// and stops early once the gateway answers or closes. Returns the first
// line of the answer ("" for none) and when the connection ended.
struct Ending {
  std::string statusLine;
  std::chrono::milliseconds after{};
};
Ending Hostile(int port, const std::string& head, const std::string& filler, std::size_t bytes,
               std::chrono::milliseconds gap, std::chrono::seconds limit) {
  const auto start = std::chrono::steady_clock::now();
  const int fd = Connect(port);
  Ending e;
  if (fd < 0) return e;
  std::size_t sent = 0;
  std::string answer;
  bool ended = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0;
  while (!ended && std::chrono::steady_clock::now() - start < limit) {
    if (sent<bytes&& ::send(fd, filler.data(), filler.size(), MSG_NOSIGNAL)> 0)
      sent += filler.size();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(gap.count())) == 1) {
      char buffer[4096];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) answer.append(buffer, static_cast<std::size_t>(n));
      ended = n <= 0;
    }
  }
  e.after = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start);
  if (!ended) e.after = std::chrono::milliseconds::max();
  e.statusLine = answer.substr(0, answer.find('\r'));
  ::close(fd);
  return e;
}

TEST_F(GatewayTest, HostileHttpClientsAreBoundedAndTheOthersServed) {
  Start();
  const int port = service_->httpPort();
  // Beyond the connection limit a connection is closed at once; those
  // within it stay open, idle, until the request deadline.
  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(Connect(port));
  int closed = 0;
  for (const int fd : idle) closed += fd >= 0 && ClosedByPeer(fd, 100ms);
  EXPECT_GE(closed, 100 - 64) << "beyond the connection limit";
  EXPECT_LE(closed, 100 - 16) << "within the limit of one address";
  for (const int fd : idle) ::close(fd);
  // Those closes seen by the gateway: a new connection is kept again.
  EXPECT_TRUE(Eventually([port] {
    const int fd = Connect(port);
    const bool kept = fd >= 0 && !ClosedByPeer(fd, 300ms);
    ::close(fd);
    return kept;
  }));
  std::this_thread::sleep_for(300ms);

  struct Case {
    const char* what;
    std::string filler;
    std::size_t bytes;
    std::chrono::milliseconds gap;
    std::string statusLine;  // "": none
    std::chrono::seconds endsWithin;
  };
  const std::string head = "GET /status HTTP/1.1\r\nHost: t\r\n";
  const Case cases[] = {
      {"header flood", "X-Flood: " + std::string(1000, 'a') + "\r\n", 8u << 20,
       std::chrono::milliseconds(0), "HTTP/1.1 431 Request Header Fields Too Large", 5s},
      {"one line without end", std::string(1000, 'b'), 8u << 20, std::chrono::milliseconds(0),
       "HTTP/1.1 431 Request Header Fields Too Large", 5s},
      {"a header byte a second", "c", 60, 1000ms, "", 20s},
  };
  // Every client at once; the gateway answers others meanwhile.
  std::vector<std::thread> threads;
  std::vector<Ending> endings(std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i)
    threads.emplace_back([&, i] {
      endings[i] = Hostile(port, head, cases[i].filler, cases[i].bytes, cases[i].gap, 25s);
    });
  std::this_thread::sleep_for(500ms);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(Has(service_->Http("/metrics"), "zelgw_info{"));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s) << "/metrics under hostile clients";
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(endings[i].statusLine, cases[i].statusLine) << cases[i].what;
    EXPECT_LT(endings[i].after, cases[i].endsWithin) << cases[i].what;
  }
  // The slow one ran into the deadline of a whole request, not a pause.
  EXPECT_GE(endings[2].after, 8s);
  EXPECT_TRUE(Has(service_->Http("/status"), "\"gateway\""));
}

TEST_F(GatewayTest, HttpBindFailuresSayTheSystemsReason) {
  // A port in use: a listener of this test's own.
  const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string busy = std::to_string(ntohs(address.sin_port));
  struct Case {
    std::string listen;
    std::string port;
    std::string reason;
  };
  const Case cases[] = {
      {"10.9.9.9", "0", "cannot listen for HTTP on 10.9.9.9:0: Cannot assign requested address"},
      {"127.0.0.1", busy,
       "cannot listen for HTTP on 127.0.0.1:" + busy + ": Address already in use"},
  };
  const std::string http = "[http]\nlisten = \"127.0.0.1\"\nport = 0\n";
  for (const Case& c : cases) {
    std::string text = Config({});
    text.replace(text.find(http), http.size(),
                 "[http]\nlisten = \"" + c.listen + "\"\nport = " + c.port + "\n");
    std::ofstream(dir_ / "bind.toml") << text;
    const auto [status, out] = Capture("timeout 10 " + std::string(ZELGW_PROGRAM) + " -c " +
                                       (dir_ / "bind.toml").string());
    EXPECT_EQ(status, 1) << c.listen << "\n" << out;
    EXPECT_TRUE(Has(out, c.reason)) << out;
  }
  ::close(taken);
}

TEST_F(GatewayTest, MbpollAndCurlAsTheRealClients) {
  Start();
  struct Case {
    std::string options;
    std::string expected;
  };
  // -B: 32-bit values high word first, as line north has them; south has
  // the low word first, mbpoll's own order.
  const Case cases[] = {
      {"-B -a 1 -t 4:int -r 202 -c 2", "[202]: \t215\n[204]: \t200"},
      {"-B -a 1 -t 4:int -r 204 -- 4242", "Written 1 references"},
      {"-B -a 1 -t 4:int -r 204", "[204]: \t4242"},
      {"-a 2 -t 4:float -r 20", "[20]: \t100"},
      {"-B -a 1 -t 4:int -r 202 -- 1", "Illegal data address"},
      {"-a 1 -t 0 -r 0 -- 1", "Written 1 references"},
      {"-a 1 -t 0 -r 0", "[0]: \t1"},
      {"-B -a 1 -t 4:int -r 600", "Gateway path unavailable"},
      {"-a 1 -t 0 -r 0 -- 0", "Written 1 references"},
      {"-B -a 1 -t 4:int -r 600", "[600]: \t286335522"},
  };
  for (const Case& c : cases) {
    std::string options = c.options;
    const auto dashes = options.find(" -- ");
    const std::string values = dashes == std::string::npos ? "" : options.substr(dashes);
    if (dashes != std::string::npos) options.erase(dashes);
    const std::string command = "mbpoll -m tcp -p " + std::to_string(service_->modbusPort()) +
                                " -1 -0 -o 5 " + options + " 127.0.0.1" + values;
    const auto [status, out] = Capture(command);
    EXPECT_TRUE(Has(out, c.expected)) << command << "\n" << out;
  }
  EXPECT_EQ(north_.Get(102), 4242u);

  const auto status = service_->Status();
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["gateway"]["name"], "test-gw");
  EXPECT_EQ(status["lines"].size(), 2u);
  EXPECT_EQ(status["lines"][1]["unit_id"], 2);
  EXPECT_EQ(status["tags"][0]["value"].get<double>(), 21.5);
  EXPECT_EQ(status["tags"][0]["unit"], "degC");
  const std::string metrics = service_->Http("/metrics");
  EXPECT_TRUE(Has(metrics, "# TYPE zelgw_line_transfer_duration_seconds histogram\n"));
  EXPECT_TRUE(Has(metrics, "zelgw_tag_quality{line=\"north\",tag=\"N.PV\"} 2\n"));
  EXPECT_TRUE(
      Has(metrics, "zelgw_line_transfers_total{line=\"north\",kind=\"write\",result=\"ok\"} 1\n"));
  EXPECT_TRUE(Has(metrics, "zelgw_modbus_requests_total{function=\"write_single_coil\"} 2\n"));
  const std::string page = service_->Http("/");
  EXPECT_TRUE(Has(page, "<title>zelgw</title>"));
  EXPECT_TRUE(Has(page, "fetch(\"status\""));
  EXPECT_FALSE(Has(page, "src=\"http")) << "self-contained";
  EXPECT_FALSE(Has(page, "href=\"http")) << "self-contained";
}

TEST_F(GatewayTest, StatusGivesThePacedLinesTurnaroundUtilisationAndPeriods) {
  south_.Unplug();
  south_.Plug({.paceBaud = 9600, .bitsPerCharacter = 10, .turnaroundMs = 20});
  Start();
  // Polls every 100 ms of about 47 ms each: the median of the samples is
  // the remote's 20 ms give or take the host's scheduling.
  const auto south = [this] { return service_->Status()["lines"][1]; };
  ASSERT_TRUE(Eventually([&] { return south()["turnaround_ms"].is_number(); })) << south();
  const double turnaround = south()["turnaround_ms"].get<double>();
  EXPECT_GE(turnaround, 10);
  EXPECT_LE(turnaround, 40);
  const double utilisation = south()["utilisation"].get<double>();
  EXPECT_GT(utilisation, 0);
  EXPECT_LE(utilisation, 1);
  EXPECT_EQ(south()["blocks"], 1);
  EXPECT_EQ(south()["cycle_ms"], 100);
  ASSERT_TRUE(Eventually([&] { return service_->Status()["tags"][2]["period_ms"].is_number(); }));
  const double period = service_->Status()["tags"][2]["period_ms"].get<double>();
  EXPECT_GT(period, 80);
  EXPECT_LT(period, 200);
  // The same figures on /metrics: no sample at 5 ms or less, some by 50 ms.
  const std::string metrics = service_->Http("/metrics");
  const std::string bucket = "zelgw_line_turnaround_seconds_bucket{line=\"south\",le=";
  EXPECT_TRUE(Has(metrics, bucket + "\"0.005\"} 0\n")) << metrics;
  const auto at50 = metrics.find(bucket + "\"0.05\"} ");
  ASSERT_NE(at50, std::string::npos) << metrics;
  EXPECT_GT(std::stod(metrics.substr(at50 + bucket.size() + 8)), 0) << metrics;
  EXPECT_TRUE(Has(metrics, "zelgw_line_utilisation{line=\"south\"} 0.")) << metrics;
}

TEST_F(GatewayTest, CheckVersionAndReloadWithoutDroppingClients) {
  // --check and --version.
  const fs::path bad = dir_ / "bad.toml";
  std::ofstream(bad) << Config({}) << "[[tag]]\nname = \"X\"\nline = \"north\"\nvariable = -1\n";
  auto [status, out] = Capture(std::string(ZELGW_PROGRAM) + " --check -c " + bad.string());
  EXPECT_EQ(status, 78);
  EXPECT_TRUE(Has(out, bad.string() + ":")) << out;
  EXPECT_TRUE(Has(out, ": tag[4].variable: -1 is out of range 0..99999")) << out;
  // Each line's share of its time, and --strict on a line that cannot keep up:
  // twelve single reads at 9600 8N1 and 10 ms of turnaround every 100 ms.
  std::tie(status, out) =
      Capture(std::string(ZELGW_PROGRAM) + " --check --strict -c " + WriteConfig({}).string());
  EXPECT_EQ(status, 0) << out;
  EXPECT_TRUE(Has(out,
                  "north: 2 blocks, 2 tags, 0.04 s of line time per 100 ms cycle at 9600 "
                  "8N1: 37 % of the line\n"))
      << out;
  const fs::path busy = dir_ / "busy.toml";
  std::ofstream tags(busy);
  tags << Config({});
  for (int v = 1; v <= 11; ++v)
    tags << "[[tag]]\nname = \"B" << v << "\"\nline = \"north\"\nvariable = " << 1000 * v
         << "\npoll_ms = 100\n";
  tags.close();
  std::tie(status, out) = Capture(std::string(ZELGW_PROGRAM) + " --check -c " + busy.string());
  EXPECT_EQ(status, 0) << out;
  EXPECT_TRUE(Has(out,
                  "north: 13 blocks, 13 tags, 0.45 s of line time per 100 ms cycle at 9600 "
                  "8N1: 445 % of the line — tags at 100 ms will be read every 0.4 s, tags "
                  "at 60000 ms every 267.0 s\n"))
      << out;
  std::tie(status, out) =
      Capture(std::string(ZELGW_PROGRAM) + " --check --strict -c " + busy.string());
  EXPECT_EQ(status, 2) << out;
  std::tie(status, out) = Capture(std::string(ZELGW_PROGRAM) + " --version");
  EXPECT_EQ(out, "zelgw " ZELGW_VERSION "\n");
  // An answer that cannot be written is a failure.
  struct Unwritten {
    std::string arguments;
    std::string output;
  };
  const std::string good = WriteConfig({}).string();
  const Unwritten unwritten[] = {{"--version", ">&-"},
                                 {"--version", ">/dev/full"},
                                 {"--check -c " + good, ">&-"},
                                 {"--check -c " + good, ">/dev/full"}};
  for (const Unwritten& u : unwritten) {
    std::tie(status, out) =
        Capture("(" + std::string(ZELGW_PROGRAM) + " " + u.arguments + " " + u.output + ")");
    EXPECT_EQ(status, 1) << u.arguments << " " << u.output << "\n" << out;
    EXPECT_TRUE(Has(out, "zelgw: cannot write the answer: ")) << out;
  }
  // Started with standard error closed: descriptor 2 is /dev/null, not
  // the signal descriptor or a socket.
  std::tie(status, out) = Capture("(" + std::string(ZELGW_PROGRAM) + " -c " + good +
                                  " 2>&- & p=$!; sleep 2; readlink /proc/$p/fd/2; kill $p)");
  EXPECT_EQ(out, "/dev/null\n");
  std::tie(status, out) = Capture(std::string(ZELGW_PROGRAM));
  EXPECT_EQ(status, 64);

  // systemd's side of Type=notify: a datagram socket in NOTIFY_SOCKET.
  const fs::path notify = dir_ / "notify";
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, notify.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::string notices;
  const auto receive = [&] {
    char buffer[512];
    for (ssize_t n; (n = ::recv(sock, buffer, sizeof buffer, 0)) > 0;)
      notices.append(buffer, static_cast<std::size_t>(n)).push_back('|');
    return notices;
  };
  Start({}, {"NOTIFY_SOCKET=" + notify.string(), "WATCHDOG_USEC=400000"});
  EXPECT_TRUE(Eventually([&] { return Has(receive(), "WATCHDOG=1"); })) << notices;
  EXPECT_TRUE(Has(notices, "READY=1")) << notices;

  Master m(service_->modbusPort());
  ASSERT_EQ(m.Write(1, 202, {0, 1}).exception, 2) << "N.PV is read-only";
  // The same file with N.PV writable, reloaded: the same client may write.
  Options writable;
  writable.northWritable = true;
  WriteConfig(writable);
  service_->Signal(SIGHUP);
  ASSERT_TRUE(Eventually([this] { return Has(service_->Log(), "msg=\"tags reloaded\""); }));
  EXPECT_EQ(m.Write(1, 202, {0, 1}).exception, kNone);
  EXPECT_EQ(north_.Get(101), 1u);
  // A broken file is refused; the running tags stay.
  std::ofstream(dir_ / "gw.toml") << "[[line]\n";
  service_->Signal(SIGHUP);
  ASSERT_TRUE(Eventually([this] { return Has(service_->Log(), "reload refused"); }));
  EXPECT_EQ(m.Write(1, 202, {0, 2}).exception, kNone);
  EXPECT_EQ(north_.Get(101), 2u);
  EXPECT_TRUE(service_->Alive());
  service_.reset();
  EXPECT_TRUE(Has(receive(), "RELOADING=1")) << notices;
  EXPECT_TRUE(Has(notices, "STOPPING=1")) << notices;
  ::close(sock);
}

// SIGTERM while a line is inside a transfer to a remote computer that never
// answers (about 11 s of attempts, longer than the 3 s the stop waits): the
// write queued behind it is not carried out but answered 0x0B, the read in
// progress is answered 0x0B when the process leaves without it; the
// gateway leaves no file of its own behind in TMPDIR.
TEST_F(GatewayTest, StopAnswersWhatWaitsAndLeavesNoFiles) {
  zelsim::PtyPair silent;
  char link[] = "/tmp/XXXXXX";
  const int made = ::mkstemp(link);
  ASSERT_GE(made, 0);
  ::close(made);
  ::unlink(link);
  ASSERT_EQ(::symlink(silent.slaveName().c_str(), link), 0);
  const fs::path tmp = dir_ / "tmp";
  fs::create_directory(tmp);
  const fs::path config = dir_ / "silent.toml";
  std::ofstream(config) << "[modbus]\nlisten = \"127.0.0.1\"\nport = 0\n"
                        << "[http]\nlisten = \"127.0.0.1\"\nport = 0\n"
                        << "[[line]]\nname = \"silent\"\nport = \"" << link << "\"\n"
                        << "[[tag]]\nname = \"SP\"\nline = \"silent\"\nvariable = 5\n"
                        << "writable = true\npoll_ms = 0\n";
  service_ =
      std::make_unique<Service>(config, dir_, std::vector<std::string>{"TMPDIR=" + tmp.string()});
  ASSERT_TRUE(service_->ready()) << service_->Log();
  ASSERT_TRUE(Eventually([this] { return Has(service_->Log(), "line open"); })) << service_->Log();
  struct Case {
    const char* what;
    std::vector<std::uint8_t> pdu;
    int exception = -1;
  };
  Case cases[] = {
      {"a read through, in progress", {3, 0, 20, 0, 2}},
      {"a write queued behind it", {16, 0, 10, 0, 2, 4, 0, 0, 0, 42}},
  };
  std::vector<std::thread> clients;
  for (Case& c : cases) {
    clients.emplace_back([&c, port = service_->modbusPort()] {
      Master m(port);
      c.exception = m.Send(1, c.pdu).exception;
    });
    std::this_thread::sleep_for(300ms);  // in this order
  }
  service_->Signal(SIGTERM);
  for (std::thread& t : clients) t.join();
  for (const Case& c : cases) EXPECT_EQ(c.exception, 0x0B) << c.what;
  ASSERT_TRUE(Eventually([this] { return !service_->Alive(); }, 10s));
  EXPECT_TRUE(Has(service_->Log(), "leaving without waiting")) << service_->Log();
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), 0)
      << "nothing left in TMPDIR";
  service_.reset();
  ::unlink(link);
}

}  // namespace
