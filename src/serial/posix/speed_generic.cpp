// POSIX systems other than Linux: the rates of the termios table.
#include "serial/posix/speed.h"

namespace zelqd::serial::posix {

bool SaveSettings(int fd, SavedSettings* saved) { return SaveTableSettings(fd, saved); }

bool RestoreSettings(int fd, const SavedSettings& saved) { return RestoreTableSettings(fd, saved); }

bool SetLineSpeed(int fd, std::uint32_t baud, std::uint32_t* actual) {
  return SetTableSpeed(fd, baud, actual);
}

bool GetLineSpeed(int fd, std::uint32_t* baud) { return GetTableSpeed(fd, baud); }

}  // namespace zelqd::serial::posix
