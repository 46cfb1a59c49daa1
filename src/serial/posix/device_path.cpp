#include "serial/posix/device_path.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zelqd::serial::posix {
namespace {

// The Win32 device namespace prefix, \\.\ (needed there from COM10 on).
constexpr char kWin32DevicePrefix[] = "\\\\.\\";

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// "COMn" with n a decimal number from 1 without leading zeros, nothing after.
bool ComNumber(const char* name, std::uint32_t* number) {
  if (Upper(name[0]) != 'C' || Upper(name[1]) != 'O' || Upper(name[2]) != 'M') return false;
  const char* digits = name + 3;
  if (digits[0] < '1' || digits[0] > '9') return false;
  std::uint32_t n = 0;
  int count = 0;
  for (const char* d = digits; *d != '\0'; ++d, ++count) {
    if (*d < '0' || *d > '9' || count == 9) return false;
    n = n * 10 + static_cast<std::uint32_t>(*d - '0');
  }
  *number = n;
  return true;
}

// A path that did not fit is never left behind half written.
bool Fits(int written, char* path, std::size_t size) {
  if (written >= 0 && static_cast<std::size_t>(written) < size) return true;
  path[0] = '\0';
  return false;
}

}  // namespace

bool IsNullDeviceName(const char* name) { return name != nullptr && std::strcmp(name, "NUL") == 0; }

bool DevicePath(const char* name, char* path, std::size_t size) {
  if (path == nullptr || size == 0) return false;
  path[0] = '\0';
  if (name == nullptr || name[0] == '\0') return false;
  if (IsNullDeviceName(name)) return Fits(std::snprintf(path, size, "/dev/null"), path, size);
  if (name[0] == '/') return Fits(std::snprintf(path, size, "%s", name), path, size);

  const std::size_t prefix = sizeof kWin32DevicePrefix - 1;
  const char* rest = std::strncmp(name, kWin32DevicePrefix, prefix) == 0 ? name + prefix : name;
  if (rest[0] == '\0') return false;
  std::uint32_t number = 0;
  if (ComNumber(rest, &number)) {
    return Fits(std::snprintf(path, size, "/dev/ttyS%u", static_cast<unsigned>(number - 1)), path,
                size);
  }
  return Fits(std::snprintf(path, size, "/dev/%s", rest), path, size);
}

}  // namespace zelqd::serial::posix
