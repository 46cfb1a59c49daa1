// The line speed of a terminal, any rate in bits per second, and the
// terminal's whole settings saved and put back. Kept apart because the
// kernel's interface for rates outside the standard table cannot share a
// translation unit with the C library's <termios.h>.
#pragma once

#include <cstdint>

namespace zelqd::serial::posix {

// A terminal's settings, rate included, exactly as the system holds them.
struct SavedSettings {
  alignas(8) unsigned char bytes[96];
};

// Saves the terminal's settings.
bool SaveSettings(int fd, SavedSettings* saved);

// Puts saved settings back at once (output still queued is not waited
// for).
bool RestoreSettings(int fd, const SavedSettings& saved);

// Sets the input and output rate to baud and reports the rate the device
// took (a driver may round to what its clock can make, or refuse).
bool SetLineSpeed(int fd, std::uint32_t baud, std::uint32_t* actual);

// The output rate in force.
bool GetLineSpeed(int fd, std::uint32_t* baud);

}  // namespace zelqd::serial::posix
