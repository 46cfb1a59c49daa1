// Port control on real pseudo-terminals through the native backend, with
// the host library recording the messages.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "port_calls.h"
#include "serial/com.h"
#include "serial/platform.h"

namespace zelqd::porttest {
namespace {

// A pseudo-terminal whose slave the driver opens by its path; the test
// keeps the master side.
class Pty {
 public:
  Pty() {
    int slave = -1;
    if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) return;
    const char* path = ::ttyname(slave);
    if (path != nullptr) name_ = path;
    // The driver's open is the only one on the slave side.
    ::close(slave);
  }
  ~Pty() {
    if (master_ >= 0) ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // Usable when the path fits a port name (at most 11 characters).
  bool Usable() const { return master_ >= 0 && !name_.empty() && name_.size() <= 11; }
  const std::string& name() const { return name_; }
  int master() const { return master_; }

  // Bytes the driver wrote to the line, waiting at most a second for them.
  std::string Take(std::size_t count) const {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buffer[64];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string name_;
};

const serial::Platform& Native() { return serial::NativePlatform(); }

// The read time-out in force on a handle, in milliseconds (0 when unknown).
std::uint32_t ReadTimeoutMs(serial::Handle handle) {
  serial::Timeouts t;
  return Native().getTimeouts(handle, &t) ? t.readTotalConstant : 0;
}

// Bytes waiting in a handle's receive queue, waiting up to a second for at
// least want of them to arrive.
std::uint32_t Waiting(serial::Handle handle, std::uint32_t want) {
  std::uint32_t waiting = 0;
  for (int i = 0; i < 100; ++i) {
    if (!Native().clearErrors(handle, &waiting) || waiting >= want) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return waiting;
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
    if (!a.Usable() || !b.Usable()) GTEST_SKIP() << "no pseudo-terminal with a short path";
  }
  void TearDown() override { Call(inst, CodeClosePort); }

  Pty a;
  Pty b;
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
    OpenRequest r = Open(a.name(), c.requested, settings, /*active=*/1);

    ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
    EXPECT_NE(inst.port, 0u);
    EXPECT_EQ(inst.active, 1);
    EXPECT_EQ(inst.replyTimeout, c.stored);
    EXPECT_EQ(ReadTimeoutMs(inst.port), c.inForceMs);
    EXPECT_EQ(inst.sequence, 32);
    EXPECT_EQ(inst.leadByte, 4);
    EXPECT_EQ(inst.stopped, 0);
    EXPECT_EQ(BytesOf(inst.portSpec), ExpectedSpec(a.name(), settings, 8));
    ASSERT_EQ(Call(inst, CodeClosePort), ResultOk);
  }
  EXPECT_TRUE(log.messages.empty());
}

TEST_F(PortOnPty, OpenWithActiveZeroLeavesTheDeviceAlone) {
  OpenRequest r = Open(a.name(), 300, Settings(9600, 8, 0, 0), /*active=*/0);
  inst.active = 1;
  EXPECT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  EXPECT_EQ(inst.active, 0);
  EXPECT_EQ(inst.port, 0u);
  EXPECT_TRUE(FreeToOpen(a.name()));
}

TEST_F(PortOnPty, MissingDeviceIsReportedWithItsName) {
  OpenRequest r = Open("/dev/nozq");
  EXPECT_EQ(Call(inst, CodeOpenPort, &r), ResultFailed);
  EXPECT_EQ(inst.port, 0u);
  EXPECT_EQ(log.messages,
            (std::vector<Message>{{32, "ZELGeneral Purpose : Fail to open /dev/nozq"}}));
}

TEST_F(PortOnPty, SecondOpenOfAHeldDeviceFailsAndTheFirstHandleStaysInUse) {
  OpenRequest r = Open(a.name(), 300);
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  const serial::Handle first = inst.port;

  EXPECT_EQ(Call(inst, CodeOpenPort, &r), ResultFailed);
  EXPECT_EQ(inst.port, first);
  EXPECT_EQ(log.messages, (std::vector<Message>{{32, OpenFailed(a.name())}}));
  std::int32_t written = 0;
  ASSERT_EQ(serial::ComWriteAll(first, "still here", 10, &written), serial::ComOk);
  EXPECT_EQ(a.Take(10), "still here");

  // Another instance is refused as well.
  EXPECT_FALSE(FreeToOpen(a.name()));
}

TEST_F(PortOnPty, ChangeWithBaudRateZeroKeepsTheSettingsAndFreesTheOldDevice) {
  OpenRequest r = Open(a.name(), 250, Settings(4800, 7, 0, 2));
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  const serial::Handle old = inst.port;
  ASSERT_FALSE(FreeToOpen(a.name()));
  log.messages.clear();  // the refused open of the check above
  PortChangeRequest change = Change(b.name(), Settings(0, 8, 0, 0));

  ASSERT_EQ(Call(inst, CodeChangeZelParams, &change), ResultOk);
  EXPECT_TRUE(log.messages.empty());
  EXPECT_NE(inst.port, 0u);
  EXPECT_NE(inst.port, old);
  EXPECT_EQ(inst.active, 1);
  EXPECT_EQ(BytesOf(inst.portSpec), ExpectedSpec(b.name(), Settings(4800, 7, 0, 2), 8));
  serial::DeviceState state;
  ASSERT_TRUE(Native().getState(inst.port, &state));
  EXPECT_EQ(state.baudRate, 4800u);
  EXPECT_EQ(ReadTimeoutMs(inst.port), 2500u);
  EXPECT_TRUE(FreeToOpen(a.name()));
  EXPECT_FALSE(FreeToOpen(b.name()));
}

TEST_F(PortOnPty, FailedChangeIsReportedAndLeavesNoPort) {
  OpenRequest r = Open(a.name());
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  PortChangeRequest change = Change("/dev/nozq");

  EXPECT_EQ(Call(inst, CodeChangeZelParams, &change), ResultFailed);
  EXPECT_EQ(inst.port, 0u);
  EXPECT_EQ(log.messages, (std::vector<Message>{{32, kChangeFailed}}));
  EXPECT_TRUE(FreeToOpen(a.name()));
}

TEST_F(PortOnPty, ChangeToTheHeldNameIsRefusedByTheDevice) {
  OpenRequest r = Open(a.name());
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  const serial::Handle first = inst.port;
  PortChangeRequest change = Change(a.name());

  EXPECT_EQ(Call(inst, CodeChangeZelParams, &change), ResultFailed);
  EXPECT_EQ(inst.port, first);
  EXPECT_EQ(log.messages, (std::vector<Message>{{32, kChangeFailed}}));
  std::int32_t written = 0;
  EXPECT_EQ(serial::ComWriteAll(first, "ok", 2, &written), serial::ComOk);
  EXPECT_EQ(a.Take(2), "ok");
}

TEST_F(PortOnPty, ReopenLeavesTheOpenReadTimeoutInForce) {
  OpenRequest r = Open(a.name(), 500);
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  ASSERT_EQ(ReadTimeoutMs(inst.port), 5000u);
  ASSERT_EQ(Call(inst, CodeClosePort), ResultOk);
  inst.active = 0;

  ASSERT_EQ(Call(inst, CodeReopenPort), ResultOk);
  EXPECT_NE(inst.port, 0u);
  EXPECT_EQ(inst.active, 1);
  EXPECT_EQ(inst.replyTimeout, 500);
  EXPECT_EQ(ReadTimeoutMs(inst.port), 1000u);
  EXPECT_FALSE(FreeToOpen(a.name()));
}

TEST_F(PortOnPty, ClosePortTwice) {
  OpenRequest r = Open(a.name());
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  EXPECT_EQ(Call(inst, CodeClosePort), ResultOk);
  EXPECT_EQ(inst.port, 0u);
  EXPECT_EQ(Call(inst, CodeClosePort), ResultOk);
  EXPECT_EQ(inst.port, 0u);
  EXPECT_TRUE(FreeToOpen(a.name()));
}

TEST_F(PortOnPty, PurgeInputWithAndWithoutAPort) {
  EXPECT_EQ(Call(inst, CodePurgeInput), ResultOk);

  OpenRequest r = Open(a.name(), 200);
  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  ASSERT_EQ(::write(a.master(), "stale", 5), 5);
  ASSERT_EQ(Waiting(inst.port, 5), 5u);

  EXPECT_EQ(Call(inst, CodePurgeInput), ResultOk);
  EXPECT_EQ(Waiting(inst.port, 0), 0u);
  EXPECT_EQ(ReadTimeoutMs(inst.port), 2000u);
}

}  // namespace
}  // namespace zelqd::porttest
