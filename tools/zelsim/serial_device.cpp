#include "serial_device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zelsim_tool {
namespace {

struct BaudCode {
  int baud;
  speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

speed_t SpeedCode(int baud) {
  for (const auto& b : kBaudCodes) {
    if (b.baud == baud) return b.code;
  }
  throw std::runtime_error("unsupported baud rate " + std::to_string(baud) +
                           " (standard rates from 50 to 921600)");
}

}  // namespace

bool IsStandardBaud(int baud) {
  for (const auto& b : kBaudCodes) {
    if (b.baud == baud) return true;
  }
  return false;
}

std::string StandardBauds() {
  std::string out;
  for (const auto& b : kBaudCodes) out += (out.empty() ? "" : ", ") + std::to_string(b.baud);
  return out;
}

namespace {

tcflag_t SizeFlag(int dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

}  // namespace

SerialDevice::SerialDevice(const std::string& path, const LineSettings& s) {
  const auto fail = [&path](const std::string& what) {
    return std::runtime_error(path + ": " + what + ": " + std::strerror(errno));
  };
  const speed_t speed = SpeedCode(s.baud);
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw fail("open");
  try {
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) throw fail("in use");
    if (::ioctl(fd_, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL)
      throw fail("exclusive access");
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) throw fail("not a serial device");
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(HUPCL | CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag |= SizeFlag(s.dataBits);
    if (s.stopBits == 2) t.c_cflag |= CSTOPB;
    switch (s.parity) {
      case Parity::None:
        break;
      case Parity::Odd:
        t.c_cflag |= PARENB | PARODD;
        break;
      case Parity::Even:
        t.c_cflag |= PARENB;
        break;
      case Parity::Mark:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case Parity::Space:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) throw fail("baud rate");
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) throw fail("line settings");
    // tcsetattr succeeds when any one change took effect: read them back.
    termios check{};
    if (::tcgetattr(fd_, &check) != 0) throw fail("line settings");
    if (::cfgetospeed(&check) != speed || (check.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD)) !=
                                              (t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD))) {
      errno = EINVAL;
      throw fail("the device did not take the line settings");
    }
    ::tcflush(fd_, TCIOFLUSH);
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

SerialDevice::~SerialDevice() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace zelsim_tool
