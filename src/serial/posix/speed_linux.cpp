// Linux: any rate through struct termios2 and BOTHER. Where the kernel's
// interface is missing (ENOSYS: a user-mode emulator that does not carry
// it), the termios table serves.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>
#include <cstring>

#include "serial/posix/speed.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace zelqd::serial::posix {
namespace {

bool Missing() { return errno == ENOSYS; }

}  // namespace

bool SetLineSpeed(int fd, std::uint32_t baud, std::uint32_t* actual) {
  if (baud == 0) {  // B0 would hang the line up
    errno = EINVAL;
    return false;
  }
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return Missing() && SetTableSpeed(fd, baud, actual);
  t.c_cflag &= ~(static_cast<tcflag_t>(CBAUD) | (static_cast<tcflag_t>(CBAUD) << IBSHIFT));
  t.c_cflag |= static_cast<tcflag_t>(BOTHER) | (static_cast<tcflag_t>(BOTHER) << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  if (ioctl(fd, TCSETS2, &t) != 0) return false;
  return GetLineSpeed(fd, actual);
}

static_assert(sizeof(termios2) <= sizeof(SavedSettings::bytes));

bool SaveSettings(int fd, SavedSettings* saved) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return Missing() && SaveTableSettings(fd, saved);
  std::memcpy(saved->bytes, &t, sizeof t);
  saved->table = false;
  return true;
}

bool RestoreSettings(int fd, const SavedSettings& saved) {
  if (saved.table) return RestoreTableSettings(fd, saved);
  termios2 t{};
  std::memcpy(&t, saved.bytes, sizeof t);
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool GetLineSpeed(int fd, std::uint32_t* baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return Missing() && GetTableSpeed(fd, baud);
  *baud = t.c_ospeed;
  return true;
}

}  // namespace zelqd::serial::posix
