#include "lines.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "zelsim/engine.h"
#include "zelsim/runner.h"

namespace bench {
namespace {

std::string g_selfPath;

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

class SimulatorPeer : public Peer {
 public:
  SimulatorPeer(int fd, int paceBaud) : runner_(engine_, fd, Options(paceBaud)) { runner_.Start(); }
  ~SimulatorPeer() override { runner_.Stop(); }

 private:
  static zelsim::RunnerOptions Options(int paceBaud) {
    zelsim::RunnerOptions options;
    options.paceBaud = paceBaud;
    return options;
  }

  zelsim::Engine engine_;
  zelsim::Runner runner_;
};

// A libmodbus RTU server on the descriptor: the request loop that the
// library's own examples use, with a short indication time-out so that it
// notices when to stop.
class ModbusPeer : public Peer {
 public:
  explicit ModbusPeer(int fd) {
    // The device name is never opened: the descriptor is handed over below.
    context_ = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    if (context_ == nullptr) Fail("modbus_new_rtu");
    modbus_set_slave(context_, kModbusSlave);
    modbus_set_socket(context_, fd);
    modbus_set_indication_timeout(context_, 0, 100000);
    map_ = modbus_mapping_new(0, 0, kModbusRegisters, 0);
    if (map_ == nullptr) {
      modbus_free(context_);
      Fail("modbus_mapping_new");
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~ModbusPeer() override {
    stopping_ = true;
    thread_.join();
    modbus_mapping_free(map_);
    modbus_free(context_);  // leaves the descriptor open: the line owns it
  }

 private:
  void Serve() {
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stopping_.load(std::memory_order_relaxed)) {
      const int length = modbus_receive(context_, query);
      if (length > 0) modbus_reply(context_, query, length, map_);
    }
  }

  modbus_t* context_ = nullptr;
  modbus_mapping_t* map_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace

const char* PeerName(PeerKind kind) { return kind == PeerKind::kModbus ? "modbus" : "sim"; }

bool ParsePeerName(const std::string& name, PeerKind* kind) {
  if (name == "sim")
    *kind = PeerKind::kSimulator;
  else if (name == "modbus")
    *kind = PeerKind::kModbus;
  else
    return false;
  return true;
}

std::unique_ptr<Peer> StartPeer(PeerKind kind, int fd, int paceBaud) {
  if (kind == PeerKind::kModbus) return std::make_unique<ModbusPeer>(fd);
  return std::make_unique<SimulatorPeer>(fd, paceBaud);
}

void SetSelfPath(const std::string& path) { g_selfPath = path; }

Line::Line(PeerKind kind, int paceBaud, bool inChild) {
  if (!inChild) {
    peer_ = StartPeer(kind, pair_.master(), paceBaud);
    return;
  }
  int lifeline[2];
  if (::pipe2(lifeline, O_CLOEXEC) != 0) Fail("pipe2");
  // Copies without close-on-exec are what the child keeps across exec.
  const int fd = ::dup(pair_.master());
  const int end = ::dup(lifeline[0]);
  if (fd < 0 || end < 0) Fail("dup");
  const std::string fdText = std::to_string(fd);
  const std::string endText = std::to_string(end);
  const std::string paceText = std::to_string(paceBaud);
  std::vector<char*> argv = {const_cast<char*>(g_selfPath.c_str()),
                             const_cast<char*>("--serve"),
                             const_cast<char*>(PeerName(kind)),
                             const_cast<char*>(fdText.c_str()),
                             const_cast<char*>(endText.c_str()),
                             const_cast<char*>(paceText.c_str()),
                             nullptr};
  child_ = ::fork();
  if (child_ == 0) {
    ::execv(g_selfPath.c_str(), argv.data());
    ::_exit(127);
  }
  const int forkError = errno;
  ::close(fd);
  ::close(end);
  ::close(lifeline[0]);
  lifeline_ = lifeline[1];
  if (child_ < 0) {
    ::close(lifeline_);
    errno = forkError;
    Fail("fork");
  }
}

Line::~Line() {
  peer_.reset();
  if (child_ > 0) {
    ::close(lifeline_);
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

int ServeUntilClosed(PeerKind kind, int fd, int lifeline, int paceBaud) {
  auto peer = StartPeer(kind, fd, paceBaud);
  char byte = 0;
  for (;;) {
    const ssize_t n = ::read(lifeline, &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
  peer.reset();
  return 0;
}

}  // namespace bench
