// The serial backend for POSIX systems (Linux first): termios and friends
// behind the platform seam.
//
// - Names: see DevicePath. "NUL" opens /dev/null, which takes reads and
//   writes like the Win32 null device and, like it, refuses the line calls.
// - Open: O_NOCTTY, close-on-exec, non-blocking (every wait is a poll), on
//   a descriptor above 2 (a host started with standard error closed must
//   not find its error output on the line), and exclusive: an flock, which
//   also keeps out a second opener running as root, plus TIOCEXCL against
//   other programs. The terminal's settings are saved.
// - Close: in the process that opened the port, the saved settings are put
//   back and TIOCEXCL (which on a pseudo-terminal would outlive the
//   descriptor) and the lock are dropped. A process that inherited the
//   handle through fork() only closes its own descriptor: the lock and the
//   exclusive use belong to the opener, which still uses the port. A handle
//   that the table does not know (never opened, closed already, or garbage
//   in an instance that was never zeroed) names no open port: it finds no
//   device, and the close of no device succeeds at once, so that such an
//   instance can open a port again.
// - Time-outs belong to the handle and live here; getting and setting them
//   costs no system call.
// - Queue sizes: the kernel sizes its own buffers (4 KiB and more per
//   terminal, well above the 1200 bytes the driver asks for) and offers no
//   call to change them; the request is taken and has no effect.
// - Clearing errors: a terminal has no error state that stops its I/O (the
//   driver never sets fAbortOnError); only the waiting count (FIONREAD) is
//   reported.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>

#include "serial/com.h"
#include "serial/platform.h"
#include "serial/posix/device_path.h"
#include "serial/posix/handles.h"
#include "serial/posix/io.h"
#include "serial/posix/line.h"
#include "serial/posix/speed.h"

namespace zelqd::serial {
namespace {

using posix::Port;

// The settings each terminal had when it was opened, by slot: kept apart
// from the port records, which every transfer reads.
posix::SavedSettings g_saved[posix::kSlotCount];

Port* PortOf(Device* device) { return reinterpret_cast<Port*>(device); }

// The port of a device on a terminal, or nullptr with errno set.
Port* Terminal(Device* device) {
  Port* port = PortOf(device);
  if (port == nullptr || port->fd < 0) {
    errno = EBADF;
    return nullptr;
  }
  if (!port->terminal) {
    errno = ENOTTY;
    return nullptr;
  }
  return port;
}

// Closes fd on a failed open without losing the error that failed it.
Handle FailOpen(int fd, const Port* port, std::uint32_t slot) {
  const int error = errno;
  if (fd >= 0) {
    if (port->terminal) ioctl(fd, TIOCNXCL);
    close(fd);
  }
  posix::ReleasePort(slot);
  errno = error;
  return kInvalidHandle;
}

// The descriptor moved to 3 or above (close-on-exec kept), or -1.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}

Handle Open(const char* name, OpenStep* failed) {
  *failed = OpenStep::kName;
  char path[posix::kDevicePathSize];
  if (!posix::DevicePath(name, path, sizeof path)) {
    errno = (name == nullptr || name[0] == '\0') ? ENOENT : ENAMETOOLONG;
    return kInvalidHandle;
  }
  *failed = OpenStep::kOpen;
  std::uint32_t slot = 0;
  Port* port = posix::ClaimPort(&slot);
  if (port == nullptr) {
    errno = EMFILE;
    return kInvalidHandle;
  }
  const int fd = AboveStandardStreams(open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (fd < 0) return FailOpen(fd, port, slot);
  if (!posix::IsNullDeviceName(name)) {
    *failed = OpenStep::kLock;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return FailOpen(fd, port, slot);
    port->locked = true;
    *failed = OpenStep::kExclusive;
    if (ioctl(fd, TIOCEXCL) == 0) {
      port->terminal = true;
    } else if (errno != ENOTTY && errno != EINVAL) {
      return FailOpen(fd, port, slot);
    }
    *failed = OpenStep::kSettings;
    if (port->terminal && !posix::SaveSettings(fd, &g_saved[slot])) {
      return FailOpen(fd, port, slot);
    }
    port->rs485Saved = port->terminal && posix::SaveRs485(fd, &port->rs485Flags);
  }
  port->fd = fd;
  port->owner = getpid();
  port->pseudoTerminal = port->terminal && posix::IsPseudoTerminal(fd);
  return posix::PublishPort(slot);
}

bool GetState(Device* device, DeviceState* state) {
  Port* port = Terminal(device);
  if (port == nullptr) return false;
  DeviceState reported = port->state;
  reported.length = state->length;
  if (!posix::ReadLine(port->fd, &reported)) return false;
  *state = reported;
  return true;
}

bool SetState(Device* device, const DeviceState* state) {
  Port* port = Terminal(device);
  if (port == nullptr) return false;
  if (!posix::ApplyLine(port->fd, port->pseudoTerminal, *state)) return false;
  port->state = *state;
  return true;
}

bool GetTimeouts(Device* device, Timeouts* timeouts) {
  Port* port = Terminal(device);
  if (port == nullptr) return false;
  *timeouts = port->timeouts;
  return true;
}

bool SetTimeouts(Device* device, const Timeouts* timeouts) {
  Port* port = Terminal(device);
  if (port == nullptr) return false;
  port->timeouts = *timeouts;
  return true;
}

bool SetQueues(Device* device, std::uint32_t, std::uint32_t) { return Terminal(device) != nullptr; }

bool ClearErrors(Device* device, std::uint32_t* waiting) {
  Port* port = Terminal(device);
  if (port == nullptr) return false;
  int count = 0;
  if (ioctl(port->fd, FIONREAD, &count) != 0) return false;
  *waiting = count > 0 ? static_cast<std::uint32_t>(count) : 0;
  return true;
}

bool Read(Device* device, void* buffer, std::uint32_t count, std::uint32_t* got) {
  Port* port = PortOf(device);
  if (port == nullptr || port->fd < 0) {
    errno = EBADF;
    return false;
  }
  if (port->terminal) {
    // Right after a write the reply cannot have come yet: wait, then read.
    // Any other read (the rest of a reply read in portions, input the purge
    // found waiting) reads at once and waits only when nothing is there,
    // which saves a poll() per portion.
    const bool readFirst = !port->wrote;
    port->wrote = false;
    return posix::TimedRead(port->fd, port->timeouts, buffer, count, got, readFirst);
  }
  // The null device: at its end at once, like any file.
  const ssize_t n = read(port->fd, buffer, count);
  if (n < 0) return false;
  *got = static_cast<std::uint32_t>(n);
  return true;
}

bool Write(Device* device, const void* bytes, std::uint32_t count, std::uint32_t* written) {
  Port* port = PortOf(device);
  if (port == nullptr || port->fd < 0) {
    errno = EBADF;
    return false;
  }
  port->wrote = true;
  return posix::TimedWrite(port->fd, port->timeouts, bytes, count, written);
}

// A close() that fails has released the descriptor all the same (Linux);
// the handle then stays live for one more close, which completes it, so
// that a caller who keeps a handle whose close failed can retry.
bool Close(Device* device) {
  Port* port = PortOf(device);
  if (port == nullptr) return true;  // no port open under this handle
  if (port->fd >= 0) {
    const int fd = port->fd;
    port->fd = -1;
    if (port->owner == getpid()) {
      if (port->terminal) {
        if (port->rs485Saved) posix::RestoreRs485(fd, port->rs485Flags);
        posix::RestoreSettings(fd, g_saved[posix::SlotOf(port->handle)]);
        ioctl(fd, TIOCNXCL);
      }
      if (port->locked) flock(fd, LOCK_UN);
    }
    if (close(fd) != 0) return false;
  }
  posix::ReleasePort(posix::SlotOf(port->handle));
  return true;
}

Device* Find(Handle handle) { return reinterpret_cast<Device*>(posix::FindPort(handle)); }

std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }

// TimedRead and TimedWrite report a hang-up that only poll() or the end of
// the input told as 0, and EIO when the call itself failed so; ENXIO and
// ENODEV are what a device that has gone answers.
bool HungUp(std::uint32_t error) {
  return error == 0 || error == EIO || error == ENXIO || error == ENODEV;
}

std::uint64_t NowMs() { return MonotonicNs() / 1000000; }

constexpr Platform kPosix{Open,        Find,      GetState,    SetState, GetTimeouts,
                          SetTimeouts, SetQueues, ClearErrors, Read,     Write,
                          Close,       LastError, HungUp,      NowMs,    ENAMETOOLONG};

}  // namespace

std::uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000 +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

const Platform& NativePlatform() { return kPosix; }

}  // namespace zelqd::serial
