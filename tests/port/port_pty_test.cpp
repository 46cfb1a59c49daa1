// Port control on real pseudo-terminals through the native backend, with
// the host library recording the messages.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "port_calls.h"
#include "protocol/trace.h"
#include "serial/com.h"
#include "serial/platform.h"
#include "serial/pty.h"
#include "support/trace_control.h"

namespace zelqd::porttest {
namespace {

using testing::Pty;

// Usable when the path fits a port name (at most 11 characters).
bool Usable(const Pty& pty) { return pty.ok() && std::string(pty.path()).size() <= 11; }

const serial::Platform& Native() { return serial::NativePlatform(); }

// The read time-out in force on a handle, in milliseconds (0 when unknown).
std::uint32_t ReadTimeoutMs(serial::Handle handle) {
  serial::Timeouts t;
  return Native().getTimeouts(Native().find(handle), &t) ? t.readTotalConstant : 0;
}

// Whether another instance can open the device now, closing it again.
bool FreeToOpen(const std::string& name) {
  DriverInstance other = FreshInstance();
  OpenRequest r = Open(name);
  if (Call(other, CodeOpenPort, &r) != ResultOk) return false;
  return Call(other, CodeClosePort) == ResultOk;
}

class PortOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Usable(a) || !Usable(b)) GTEST_SKIP() << "no pseudo-terminal with a short path";
  }
  void TearDown() override { Call(inst, CodeClosePort); }

  Pty a;
  Pty b;
  const std::string nameA = a.path();
  const std::string nameB = b.path();
  MessageLog log;
  DriverInstance inst = FreshInstance();
};

TEST_F(PortOnPty, OpenStoresTheRequestAndResetsTheProtocolState) {
  struct Case {
    std::int32_t requested;
    std::int32_t stored;
    std::uint32_t inForceMs;
  };
  const std::vector<Case> cases = {
      {50, 120, 1200},
      {119, 120, 1200},
      {0, 120, 1200},
      {-1, 120, 1200},
      {INT_MIN, 120, 1200},
      {121, 121, 1210},
      {300, 300, 3000},
      // Ten times the largest value does not fit: the longest time-out holds.
      {INT_MAX, INT_MAX, static_cast<std::uint32_t>(INT_MAX)},
  };
  const LineSettings settings = Settings(9600, 8, 0, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    inst.sequence = 99;
    inst.leadByte = 7;
    inst.stopped = 1;
    OpenRequest r = Open(nameA, c.requested, settings, /*active=*/1);

    ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
    EXPECT_NE(inst.port, 0u);
    EXPECT_EQ(inst.active, 1);
    EXPECT_EQ(inst.replyTimeout, c.stored);
    EXPECT_EQ(ReadTimeoutMs(inst.port), c.inForceMs);
    EXPECT_EQ(inst.sequence, 32);
    EXPECT_EQ(inst.leadByte, 4);
    EXPECT_EQ(inst.stopped, 0);
    EXPECT_EQ(BytesOf(inst.portSpec), ExpectedSpec(nameA, settings, 8));
    ASSERT_EQ(Call(inst, CodeClosePort), ResultOk);
  }
  EXPECT_TRUE(log.messages.empty());
}

TEST_F(PortOnPty, MissingDeviceIsReportedWithItsName) {
  OpenRequest r = Open("/dev/nozq");
  EXPECT_EQ(Call(inst, CodeOpenPort, &r), ResultFailed);
  EXPECT_EQ(inst.port, 0u);
  EXPECT_EQ(log.messages,
            (std::vector<Message>{{32, "ZELGeneral Purpose : Fail to open /dev/nozq"}}));
}

TEST_F(PortOnPty, SecondOpenOfAHeldDeviceFailsAndTheFirstHandleStaysInUse) {
  OpenRequest r = Open(nameA, 300);
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  const serial::Handle first = inst.port;

  EXPECT_EQ(Call(inst, CodeOpenPort, &r), ResultFailed);
  EXPECT_EQ(inst.port, first);
  EXPECT_EQ(log.messages, (std::vector<Message>{{32, OpenFailed(nameA)}}));
  ASSERT_EQ(serial::TransferPort(first).SendAll("still here", 10), serial::ComOk);
  EXPECT_EQ(a.Take(10), "still here");

  // Another instance is refused as well.
  EXPECT_FALSE(FreeToOpen(nameA));
}

TEST_F(PortOnPty, ChangeWithBaudRateZeroKeepsTheSettingsAndFreesTheOldDevice) {
  OpenRequest r = Open(nameA, 250, Settings(4800, 7, 0, 2));
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  const serial::Handle old = inst.port;
  ASSERT_FALSE(FreeToOpen(nameA));
  log.messages.clear();  // the refused open of the check above
  PortChangeRequest change = Change(nameB, Settings(0, 8, 0, 0));

  ASSERT_EQ(Call(inst, CodeChangeZelParams, &change), ResultOk);
  EXPECT_TRUE(log.messages.empty());
  EXPECT_NE(inst.port, 0u);
  EXPECT_NE(inst.port, old);
  EXPECT_EQ(inst.active, 1);
  EXPECT_EQ(BytesOf(inst.portSpec), ExpectedSpec(nameB, Settings(4800, 7, 0, 2), 8));
  serial::DeviceState state;
  ASSERT_TRUE(Native().getState(Native().find(inst.port), &state));
  EXPECT_EQ(state.baudRate, 4800u);
  EXPECT_EQ(ReadTimeoutMs(inst.port), 2500u);
  EXPECT_TRUE(FreeToOpen(nameA));
  EXPECT_FALSE(FreeToOpen(nameB));
}

TEST_F(PortOnPty, ChangeToTheHeldNameIsRefusedByTheDevice) {
  OpenRequest r = Open(nameA);
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  const serial::Handle first = inst.port;
  PortChangeRequest change = Change(nameA, Settings(4800, 8, 0, 0));

  EXPECT_EQ(Call(inst, CodeChangeZelParams, &change), ResultFailed);
  EXPECT_EQ(inst.port, first);
  EXPECT_EQ(inst.portSpec.settings.baudRate, 4800);  // stored before the open
  EXPECT_EQ(log.messages, (std::vector<Message>{{32, kChangeFailed}}));
  EXPECT_EQ(serial::TransferPort(first).SendAll("ok", 2), serial::ComOk);
  EXPECT_EQ(a.Take(2), "ok");
}

TEST_F(PortOnPty, ReopenLeavesTheOpenReadTimeoutInForce) {
  OpenRequest r = Open(nameA, 500);
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  ASSERT_EQ(ReadTimeoutMs(inst.port), 5000u);
  ASSERT_EQ(Call(inst, CodeClosePort), ResultOk);
  inst.active = 0;

  ASSERT_EQ(Call(inst, CodeReopenPort), ResultOk);
  EXPECT_NE(inst.port, 0u);
  EXPECT_EQ(inst.active, 1);
  EXPECT_EQ(inst.replyTimeout, 500);
  EXPECT_EQ(ReadTimeoutMs(inst.port), 1000u);
  EXPECT_FALSE(FreeToOpen(nameA));
}

// --- The device and the process around the port ---------------------------

// The settings of a terminal, seen through a descriptor of its own.
termios SettingsOf(const std::string& path) {
  termios t{};
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    tcgetattr(fd, &t);
    close(fd);
  }
  return t;
}

bool SetSettings(const std::string& path, const termios& t) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool ok = tcsetattr(fd, TCSANOW, &t) == 0;
  close(fd);
  return ok;
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// A terminal program's own settings outlive the driver's use of its
// terminal: ClosePort puts back what OpenPort found, rate included, so that
// raw mode and the driver's rate are gone with the port.
TEST_F(PortOnPty, CloseRestoresTheDevicesOwnSettings) {
  const termios fresh = SettingsOf(nameA);
  termios quiet = fresh;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  cfsetspeed(&quiet, B4800);
  termios raw = fresh;
  cfmakeraw(&raw);
  raw.c_cflag |= CRTSCTS;
  cfsetspeed(&raw, B115200);
  const std::vector<std::pair<const char*, termios>> cases = {
      {"a fresh terminal: cooked, echo", fresh},
      {"cooked at 4800 without echo", quiet},
      {"raw at 115200 with hardware flow control", raw},
  };
  for (const auto& [what, before] : cases) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(SetSettings(nameA, before));
    const termios found = SettingsOf(nameA);
    OpenRequest r = Open(nameA, 120, Settings(9600, 8, 0, 0));
    ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
    EXPECT_FALSE(SameSettings(SettingsOf(nameA), found));  // raw at 9600 while open
    ASSERT_EQ(Call(inst, CodeClosePort), ResultOk);
    EXPECT_TRUE(SameSettings(SettingsOf(nameA), found));
  }
}

// Whether the terminal is held for exclusive use (TIOCEXCL).
int ExclusiveFlag(const std::string& path) {
  int flag = -1;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    if (ioctl(fd, TIOCGEXCL, &flag) != 0) flag = -1;
    close(fd);
  }
  return flag;
}

// After fork(), whatever the child does with its copy of the instance, it
// only ever closes its own descriptor: the parent keeps its lock and its
// exclusive use, and its port goes on working. The parent's close frees the
// device.
TEST_F(PortOnPty, AForkedChildNeverReleasesTheParentsPort) {
  if (geteuid() != 0) GTEST_SKIP() << "reading the exclusive flag needs a second open (root)";
  if (!testing::KernelTerminalCalls())
    GTEST_SKIP() << "reading the exclusive flag needs TIOCGEXCL: "
                 << testing::kNoKernelTerminalCalls;
  OpenRequest r = Open(nameA, 120);
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  ASSERT_EQ(ExclusiveFlag(nameA), 1);
  OpenRequest other = Open(nameB, 120);
  struct Case {
    const char* what;
    std::int32_t code;
    void* params;
  };
  const std::vector<Case> cases = {
      {"ClosePort", CodeClosePort, nullptr},
      {"Shutdown", CodeShutdown, nullptr},
      {"OpenPort of another device, which closes the held one", CodeOpenPort, &other},
      {"exit without a close", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const pid_t child = fork();
    if (child == 0) {
      const bool ok = c.code == 0 || Call(inst, c.code, c.params) == ResultOk;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(FreeToOpen(nameA));
    EXPECT_EQ(ExclusiveFlag(nameA), 1);
    ASSERT_EQ(serial::TransferPort(inst.port).SendAll("mine", 4), serial::ComOk);
    EXPECT_EQ(a.Take(4), "mine");
  }
  log.messages.clear();
  ASSERT_EQ(Call(inst, CodeClosePort), ResultOk);
  EXPECT_EQ(ExclusiveFlag(nameA), 0);
  EXPECT_TRUE(FreeToOpen(nameA));
}

// An instance that was never zeroed, or holds a handle closed long ago,
// names no open port: ClosePort clears it and succeeds, and OpenPort goes
// on to open the port.
TEST_F(PortOnPty, AHandleNoPortHasIsNoPortOpen) {
  DriverInstance spare = FreshInstance();
  OpenRequest rb = Open(nameB);
  ASSERT_EQ(Call(spare, CodeOpenPort, &rb), ResultOk);
  const serial::Handle closed = spare.port;
  ASSERT_EQ(Call(spare, CodeClosePort), ResultOk);
  for (const serial::Handle garbage : {0xDEADBEEFu, serial::kInvalidHandle, closed, 0xA5A5A5A5u}) {
    SCOPED_TRACE(garbage);
    for (const std::int32_t code : {CodeClosePort, CodeShutdown}) {
      inst.port = garbage;
      EXPECT_EQ(Call(inst, code), ResultOk);
      EXPECT_EQ(inst.port, 0u);
    }
    // Never zeroed at all: every byte of the instance is garbage.
    DriverInstance unzeroed;
    std::memset(&unzeroed, 0xA5, sizeof unzeroed);
    unzeroed.port = garbage;
    OpenRequest r = Open(nameA, 120);
    ASSERT_EQ(Call(unzeroed, CodeOpenPort, &r), ResultOk);
    EXPECT_EQ(serial::TransferPort(unzeroed.port).SendAll("ok", 2), serial::ComOk);
    EXPECT_EQ(a.Take(2), "ok");
    EXPECT_EQ(Call(unzeroed, CodeClosePort), ResultOk);
  }
  EXPECT_TRUE(log.messages.empty());
}

// The descriptors open in this process, with their close-on-exec flag.
std::vector<std::pair<int, bool>> Descriptors() {
  std::vector<std::pair<int, bool>> out;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  const int own = dirfd(dir);
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (fd == own) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) out.emplace_back(fd, (flags & FD_CLOEXEC) != 0);
  }
  closedir(dir);
  return out;
}

// A host started with standard input, output or error closed: the port and
// the trace file never take those descriptors (the host's own output would
// go to them), and no descriptor of the driver reaches a program the host
// starts. Each case runs in a child; its exit status has one bit per fault.
TEST_F(PortOnPty, PortAndTraceDescriptorsAreAboveTheStandardOnesAndCloseOnExec) {
  char pattern[] = "/tmp/zelqd-fds-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string tracePath = std::string(pattern) + "/trace";
  const std::vector<std::pair<const char*, std::vector<int>>> cases = {
      {"standard error closed", {2}},
      {"standard input closed", {0}},
      {"all three closed", {0, 1, 2}},
  };
  for (const auto& [what, closed] : cases) {
    SCOPED_TRACE(what);
    const pid_t child = fork();
    if (child == 0) {
      std::set<int> before;
      for (const auto& [fd, cloexec] : Descriptors()) before.insert(fd);
      for (int fd : closed) close(fd);
      int faults = 0;
      if (!trace::Start(tracePath.c_str())) faults |= 1;
      OpenRequest r = Open(nameA, 120);
      if (Call(inst, CodeOpenPort, &r) != ResultOk) faults |= 2;
      OpenRequest missing = Open("/dev/nozq", 120);
      DriverInstance other = FreshInstance();
      Call(other, CodeOpenPort, &missing);  // a trace line
      for (int fd : closed) {
        if (fcntl(fd, F_GETFD) != -1) faults |= 4;  // the driver took it
      }
      for (const auto& [fd, cloexec] : Descriptors()) {
        if (before.count(fd) == 0 && !cloexec) faults |= 8;
      }
      Call(inst, CodeClosePort);
      trace::Stop();
      _exit(faults);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no trace, 2: no port, 4: a standard descriptor "
                                         "taken, 8: a descriptor without close-on-exec";
  }
  std::remove(tracePath.c_str());
  rmdir(pattern);
}

}  // namespace
}  // namespace zelqd::porttest
