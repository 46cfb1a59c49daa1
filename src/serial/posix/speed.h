// The line speed of a terminal, any rate in bits per second, and the
// terminal's whole settings saved and put back. Kept apart because the
// kernel's interface for rates outside the standard table cannot share a
// translation unit with the C library's <termios.h>: Linux has a file of
// its own for that interface (and falls back to the table where it is
// missing, as under a user-mode emulator); every POSIX system has the table.
#pragma once

#include <cstdint>

namespace zelqd::serial::posix {

// A terminal's settings, rate included, exactly as the system holds them.
struct SavedSettings {
  alignas(8) unsigned char bytes[96];
  bool table;  // saved through the C library's termios
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

// The same through the C library's termios: the rates of its table only.
bool SaveTableSettings(int fd, SavedSettings* saved);
bool RestoreTableSettings(int fd, const SavedSettings& saved);
bool SetTableSpeed(int fd, std::uint32_t baud, std::uint32_t* actual);
bool GetTableSpeed(int fd, std::uint32_t* baud);

}  // namespace zelqd::serial::posix
