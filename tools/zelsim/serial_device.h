// A real serial device for the simulator: opened exclusively, raw, with the
// line settings the remote computer uses.
#pragma once

#include <string>

namespace zelsim_tool {

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
  int baud = 9600;
  int dataBits = 8;
  Parity parity = Parity::None;
  int stopBits = 1;  // 1 or 2
};

// Whether the rate is one the serial device can be set to, and all of
// them as a list for messages ("50, 75, ..., 921600").
bool IsStandardBaud(int baud);
std::string StandardBauds();

class SerialDevice {
 public:
  // Throws std::runtime_error naming the device and the reason.
  SerialDevice(const std::string& path, const LineSettings& settings);
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace zelsim_tool
