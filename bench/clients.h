// The clients the benchmark compares, each doing one kind of transfer over
// its own line: the bare round trip (write, poll, read of the driver's byte
// counts), the driver through ZelMain of the shared library, and libmodbus
// in RTU mode.
#pragma once

#include <memory>
#include <string>

#include "driver_library.h"
#include "zelqd/zelqd.h"

namespace bench {

enum class Transfer {
  kReadOne,    // one value: driver ReadVar; 14 bytes out, 12 back; libmodbus 2 registers
  kWriteOne,   // one value: driver WriteVar; 19 bytes out, 6 back; libmodbus 2 registers
  kReadBlock,  // 106 values: driver ReadBlock; 14 bytes out, 852 back; libmodbus 106 registers
};

// The variable the transfers address, and the first one of a block.
inline constexpr int kVariable = 42;
inline constexpr int kBlockStart = 100;
inline constexpr int kBlockCount = ZELQD_MAX_BLOCK;

class Client {
 public:
  virtual ~Client() = default;
  // One transfer; false when it failed.
  virtual bool Run() = 0;
};

// The driver's shared library, loaded with dlopen as zelpoll loads it.
using DriverLibrary = zeltools::DriverLibrary;

// Each opens its line at once and throws std::runtime_error when it cannot.
std::unique_ptr<Client> MakeBareClient(const std::string& device, Transfer transfer);
std::unique_ptr<Client> MakeDriverClient(const DriverLibrary& library, const std::string& portName,
                                         Transfer transfer);
std::unique_ptr<Client> MakeModbusClient(const std::string& device, Transfer transfer);

}  // namespace bench
