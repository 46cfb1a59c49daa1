// Device names as the host writes them, mapped to POSIX device paths.
#pragma once

#include <cstddef>

namespace zelqd::serial::posix {

// Room for any path a port name can map to: names hold at most 11
// characters, paths given in full are bounded by the same buffer.
inline constexpr std::size_t kDevicePathSize = 64;

// True for the null device's name, "NUL" exactly (case-sensitive).
bool IsNullDeviceName(const char* name);

// Writes the path of the device that name stands for into path (size bytes,
// always terminated):
//   "NUL"                 -> /dev/null
//   "/..."                -> the name as it stands
//   "COMn" (n from 1)     -> /dev/ttyS(n-1); "com" in any case, and the
//                            Win32 device form "\\.\COMn" too
//   anything else         -> relative to /dev ("ttyUSB0", "pts/3")
// Returns false for an empty name or a path that does not fit.
bool DevicePath(const char* name, char* path, std::size_t size);

}  // namespace zelqd::serial::posix
