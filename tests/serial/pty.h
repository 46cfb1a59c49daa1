// A pseudo-terminal for the POSIX backend's tests: the slave is the device
// under test (opened by name through the backend), the master is the far
// end of the line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

namespace zelqd::testing {

class Pty {
 public:
  Pty() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    close(slave);  // like a real port: nobody holds the device yet
    path_ = name;
  }
  ~Pty() { HangUp(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0; }
  const char* path() const { return path_.c_str(); }
  // The name relative to /dev ("pts/N").
  std::string relative() const { return path_.substr(5); }

  // The far end sends.
  bool Send(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // The far end receives up to n bytes, waiting at most timeoutMs for them.
  std::string Take(std::size_t n, int timeoutMs = 1000) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      const std::size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
      const ssize_t got = read(master_, buf, want);
      if (got <= 0) break;
      out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
  }

  // The far end goes away: the device sees a hang-up.
  void HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Whether the kernel's own terminal calls are there: the exclusive flag can
// be read back. A 32-bit program run by a user-mode emulator (on a kernel
// without 32-bit support) lacks some of them (termios2 among them) and
// gets signals to a thread unlike the kernel; tests that need them are
// skipped there, with this reason.
inline const char kNoKernelTerminalCalls[] =
    "the kernel's terminal calls are missing here (a user-mode emulator)";
inline bool KernelTerminalCalls() {
  Pty pty;
  const int fd = open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  int flag = 0;
  const bool ok = ioctl(fd, TIOCGEXCL, &flag) == 0;
  close(fd);
  return ok;
}

// Milliseconds since construction.
class Stopwatch {
 public:
  double ms() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace zelqd::testing
