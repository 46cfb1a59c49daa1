// Port control on real pseudo-terminals through the native backend, with
// the host library recording the messages.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "port_calls.h"
#include "serial/com.h"
#include "serial/platform.h"
#include "serial/pty.h"

namespace zelqd::porttest {
namespace {

using testing::Pty;

// Usable when the path fits a port name (at most 11 characters).
bool Usable(const Pty& pty) { return pty.ok() && std::string(pty.path()).size() <= 11; }

const serial::Platform& Native() { return serial::NativePlatform(); }

// The read time-out in force on a handle, in milliseconds (0 when unknown).
std::uint32_t ReadTimeoutMs(serial::Handle handle) {
  serial::Timeouts t;
  return Native().getTimeouts(handle, &t) ? t.readTotalConstant : 0;
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
  std::int32_t written = 0;
  ASSERT_EQ(serial::ComWriteAll(first, "still here", 10, &written), serial::ComOk);
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
  ASSERT_TRUE(Native().getState(inst.port, &state));
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
  std::int32_t written = 0;
  EXPECT_EQ(serial::ComWriteAll(first, "ok", 2, &written), serial::ComOk);
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

}  // namespace
}  // namespace zelqd::porttest
