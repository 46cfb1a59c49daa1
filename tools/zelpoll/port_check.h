// The device behind a port name, looked at from outside the driver: which
// file it is, whether it is still the device that was opened, who holds
// it, and why it does not open, in the words users know.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "outcomes.h"

namespace zelpoll {

// The file a port name stands for, mapped as the driver maps it: a name
// with a leading "/" as it stands, "NUL" the null device, "COMn" the n-th
// on-board port (/dev/ttyS<n-1>), any other name under /dev.
std::string DevicePath(const std::string& portName);

// What tells one device from another behind a path, links followed.
struct DeviceIdentity {
  bool exists = false;
  dev_t device = 0;  // st_rdev: the device itself
  dev_t filesystem = 0;
  ino_t inode = 0;

  bool operator==(const DeviceIdentity&) const = default;
};
DeviceIdentity IdentifyDevice(const std::string& path);

// The programs that hold the device at path, as "name (PID n)": those
// that lock it if any do, else those that have it open; never this one.
std::vector<std::string> DeviceHolders(const std::string& path);

// Lifts the exclusive mode from this process's descriptors of the device,
// for a run that ends without closing its port (the process exits while a
// driver call waits): on a pseudo-terminal the mode would outlive them.
void ReleaseExclusive(const DeviceIdentity& device);

// Why OpenPort could not open the port, as one phrase that starts with the
// kind of trouble: "no such device", "permission denied", "in use", "not a
// serial device", or the system's own words. failure: the driver's record
// of the failed open, when it made one; without it (or without the
// system's code in it) the device is examined (a short open of its own,
// closed at once).
std::string OpenFailureReason(const std::string& portName, const zeltools::Outcome* failure);

}  // namespace zelpoll
