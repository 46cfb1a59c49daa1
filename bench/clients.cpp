#include "clients.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "host_session.h"
#include "lines.h"
#include "zelsim/frame.h"

namespace bench {
namespace {

// Long enough for any reply of a healthy peer; a transfer that waits longer
// has failed.
constexpr int kReplyTimeoutMs = ZELQD_MIN_READ_TIMEOUT_MS;

// What the bare client sends and how much comes back.
struct Exchange {
  zelsim::Bytes request;
  std::size_t replySize;
};

Exchange BareExchange(Transfer transfer) {
  switch (transfer) {
    case Transfer::kReadOne:
      return {zelsim::ReadRequest(kVariable, 1), zelsim::ValueReplySize(1)};
    case Transfer::kWriteOne:
      return {zelsim::WriteRequest(kVariable, 0x00012345), zelsim::kOkReplySize};
    case Transfer::kReadBlock:
      break;
  }
  return {zelsim::ReadRequest(kBlockStart, kBlockCount), zelsim::ValueReplySize(kBlockCount)};
}

// The kernel's own round trip: one write, then poll and read until the
// reply's byte count is in. Nothing is checked: this is the floor that any
// client of the same bytes pays.
class BareClient : public Client {
 public:
  BareClient(const std::string& device, Transfer transfer) : exchange_(BareExchange(transfer)) {
    fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("bare client: cannot open " + device);
    reply_.resize(exchange_.replySize);
  }
  ~BareClient() override { ::close(fd_); }

  bool Run() override {
    const std::size_t size = exchange_.request.size();
    if (::write(fd_, exchange_.request.data(), size) != static_cast<ssize_t>(size)) return false;
    std::size_t got = 0;
    while (got < reply_.size()) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
      const ssize_t n = ::read(fd_, reply_.data() + got, reply_.size() - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n == 0 || errno != EAGAIN) {
        return false;
      }
    }
    return true;
  }

 private:
  Exchange exchange_;
  std::vector<std::uint8_t> reply_;
  int fd_ = -1;
};

// The driver as a host drives it, through the tools' host session: one
// ZelMain call per transfer on one instance.
class DriverClient : public Client {
 public:
  DriverClient(const DriverLibrary& library, const std::string& portName, Transfer transfer)
      : session_(library.entry()), transfer_(transfer) {
    zeltools::PortSettings port;
    if (portName.size() >= sizeof(OpenRequest::name))
      throw std::runtime_error("port name too long");
    port.name = portName;
    port.replyTimeoutMs = kReplyTimeoutMs;
    port.baudRate = 57600;
    if (session_.Open(port) != ResultOk)
      throw std::runtime_error("driver: cannot open " + portName);
  }

  bool Run() override {
    switch (transfer_) {
      case Transfer::kReadOne:
        return session_.ReadVar(kVariable, values_) == ResultOk;
      case Transfer::kWriteOne:
        return session_.WriteVar(kVariable, 0x00012345) == ResultOk;
      case Transfer::kReadBlock:
        break;
    }
    return session_.ReadBlock(kBlockStart, kBlockCount, values_) == ResultOk;
  }

 private:
  zeltools::HostSession session_;  // closes the port
  Transfer transfer_;
  std::uint32_t values_[kBlockCount] = {};
};

// libmodbus in RTU mode: holding registers as the one-value variables (two
// 16-bit registers make one 32-bit value) and as the block.
class ModbusClient : public Client {
 public:
  ModbusClient(const std::string& device, Transfer transfer)
      : transfer_(transfer), registers_(kModbusRegisters) {
    context_ = modbus_new_rtu(device.c_str(), 115200, 'N', 8, 1);
    if (context_ == nullptr) throw std::runtime_error("libmodbus: no context");
    modbus_set_slave(context_, kModbusSlave);
    if (modbus_connect(context_) != 0) {
      modbus_free(context_);
      throw std::runtime_error("libmodbus: cannot open " + device);
    }
    modbus_set_response_timeout(context_, 1, 200000);
    registers_[0] = 0x0001;
    registers_[1] = 0x2345;
  }
  ~ModbusClient() override {
    modbus_close(context_);
    modbus_free(context_);
  }

  bool Run() override {
    switch (transfer_) {
      case Transfer::kReadOne:
        return modbus_read_registers(context_, kVariable, 2, registers_.data()) == 2;
      case Transfer::kWriteOne:
        return modbus_write_registers(context_, kVariable, 2, registers_.data()) == 2;
      case Transfer::kReadBlock:
        break;
    }
    return modbus_read_registers(context_, kBlockStart, kBlockCount, registers_.data()) ==
           kBlockCount;
  }

 private:
  Transfer transfer_;
  modbus_t* context_ = nullptr;
  std::vector<std::uint16_t> registers_;
};

}  // namespace

std::unique_ptr<Client> MakeBareClient(const std::string& device, Transfer transfer) {
  return std::make_unique<BareClient>(device, transfer);
}

std::unique_ptr<Client> MakeDriverClient(const DriverLibrary& library, const std::string& portName,
                                         Transfer transfer) {
  return std::make_unique<DriverClient>(library, portName, transfer);
}

std::unique_ptr<Client> MakeModbusClient(const std::string& device, Transfer transfer) {
  return std::make_unique<ModbusClient>(device, transfer);
}

}  // namespace bench
