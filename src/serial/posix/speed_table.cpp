// The rates of the C library's termios table, on every POSIX system.
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "serial/posix/speed.h"

namespace zelqd::serial::posix {
namespace {

struct Rate {
  std::uint32_t baud;
  speed_t code;
};

constexpr Rate kRates[] = {
    {50, B50},       {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},     {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
};

}  // namespace

bool SetTableSpeed(int fd, std::uint32_t baud, std::uint32_t* actual) {
  for (const Rate& rate : kRates) {
    if (rate.baud != baud) continue;
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    if (cfsetispeed(&t, rate.code) != 0 || cfsetospeed(&t, rate.code) != 0) return false;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    return GetTableSpeed(fd, actual);
  }
  errno = EINVAL;  // no way to ask this system for a rate outside the table
  return false;
}

static_assert(sizeof(termios) <= sizeof(SavedSettings::bytes));

bool SaveTableSettings(int fd, SavedSettings* saved) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  std::memcpy(saved->bytes, &t, sizeof t);
  saved->table = true;
  return true;
}

bool RestoreTableSettings(int fd, const SavedSettings& saved) {
  termios t{};
  std::memcpy(&t, saved.bytes, sizeof t);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool GetTableSpeed(int fd, std::uint32_t* baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  const speed_t code = cfgetospeed(&t);
  for (const Rate& rate : kRates) {
    if (rate.code == code) {
      *baud = rate.baud;
      return true;
    }
  }
  *baud = 0;
  return true;
}

}  // namespace zelqd::serial::posix
