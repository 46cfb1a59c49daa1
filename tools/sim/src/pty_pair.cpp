#include "zelsim/pty_pair.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zelsim {
namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) Fail("tcgetattr");
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) Fail("tcsetattr");
}

void AddFlags(int fd, int getCommand, int setCommand, int flags) {
  const int old = ::fcntl(fd, getCommand);
  if (old < 0 || ::fcntl(fd, setCommand, old | flags) < 0) Fail("fcntl");
}

}  // namespace

PtyPair::PtyPair() {
  char name[64] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) Fail("openpty");
  slaveName_ = name;
  try {
    // Raw before anyone can open the slave: no echo of our replies back to
    // us, no line editing, no translation of bytes.
    MakeRaw(slave_);
    AddFlags(master_, F_GETFD, F_SETFD, FD_CLOEXEC);
    AddFlags(slave_, F_GETFD, F_SETFD, FD_CLOEXEC);
    AddFlags(master_, F_GETFL, F_SETFL, O_NONBLOCK);
  } catch (...) {
    ::close(master_);
    ::close(slave_);
    throw;
  }
}

PtyPair::~PtyPair() {
  ::close(slave_);
  ::close(master_);
}

std::string PtyPair::shortName() const {
  constexpr std::string_view kDev = "/dev/";
  if (slaveName_.starts_with(kDev)) return slaveName_.substr(kDev.size());
  return slaveName_;
}

}  // namespace zelsim
