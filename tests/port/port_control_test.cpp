// Port control against the recording backend: the platform calls each
// handler makes, the time-outs it leaves in force, and failure paths that a
// real device cannot be made to show.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "port_calls.h"
#include "support/recording_platform.h"

namespace zelqd::porttest {
namespace {

using testing::Op;
using testing::RecordingPlatform;

constexpr serial::Handle kFirst = 0x100;
constexpr serial::Handle kSecond = 0x101;

class PortControl : public ::testing::Test {
 protected:
  RecordingPlatform rec;
  MessageLog log;
  DriverInstance inst = FreshInstance();

  // Opens name on inst and forgets the calls it took.
  void OpenFirst(const std::string& name, std::int32_t timeout = 300,
                 LineSettings settings = Settings(9600, 8, 0, 0)) {
    OpenRequest r = Open(name, timeout, settings);
    ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
    ASSERT_EQ(inst.port, kFirst);
    rec.Clear();
  }

  std::uint32_t ReadTimeoutInForceMs() const { return rec.timeouts.readTotalConstant; }
};

// --- OpenPort -------------------------------------------------------------

struct TimeoutCase {
  std::int32_t requested;
  std::int32_t stored;
  std::uint32_t inForceMs;
};

TEST_F(PortControl, OpenPortWithActiveZeroOpensNothingAndKeepsThePort) {
  OpenFirst("/dev/ttyS3");
  DriverInstance expected = inst;
  expected.active = 0;
  OpenRequest r = Open("/dev/ttyS4", 200, Settings(1200, 7, 0, 1), /*active=*/0);

  EXPECT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_TRUE(SameBytes(inst, expected));
}

TEST_F(PortControl, FailedOpenReportsTheNameAndKeepsTheInstance) {
  // Each step of the open that can fail; none leaves a handle open.
  for (Op failing : {Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState}) {
    SCOPED_TRACE(testing::OpName(failing));
    log.messages.clear();
    DriverInstance before = FreshInstance();
    before.replyTimeout = 250;
    before.sequence = 40;
    SetName(before.portSpec.name, "/dev/ttyS1");
    DriverInstance fresh = before;
    rec.FailOn(failing);
    OpenRequest r = Open("/dev/nozq", 500, Settings(9600, 8, 0, 0), /*active=*/3);

    EXPECT_EQ(Call(fresh, CodeOpenPort, &r), ResultFailed);
    EXPECT_TRUE(rec.openHandles.empty());
    before.active = 3;  // the only field a failed open changes
    EXPECT_TRUE(SameBytes(fresh, before));
    EXPECT_EQ(log.messages, (std::vector<Message>{{32, OpenFailed("/dev/nozq")}}));
  }
}

TEST_F(PortControl, OpenUnderAnotherNameClosesTheHeldPortFirst) {
  OpenFirst("/dev/ttyS3");
  OpenRequest r = Open("/dev/ttyS4", 150);

  ASSERT_EQ(Call(inst, CodeOpenPort, &r), ResultOk);
  ASSERT_GE(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[0].op, Op::Close);
  EXPECT_EQ(rec.calls[0].handle, kFirst);
  EXPECT_EQ(rec.calls[1].op, Op::Open);
  EXPECT_EQ(inst.port, kSecond);
  EXPECT_EQ(rec.openHandles, (std::set<serial::Handle>{kSecond}));
  EXPECT_EQ(inst.replyTimeout, 150);
}

// A port under another name is opened only once the held one is closed: a
// failed close keeps the held handle, and the instance, as they were.
TEST_F(PortControl, OpenOrChangeWhoseCloseFailsKeepsTheHeldPortAndOpensNothing) {
  for (const std::int32_t code : {CodeOpenPort, CodeChangeZelParams}) {
    SCOPED_TRACE(code);
    OpenFirst("/dev/ttyS3");
    log.messages.clear();
    DriverInstance expected = inst;
    OpenRequest open = Open("/dev/ttyS4", 150, Settings(9600, 8, 0, 0), /*active=*/6);
    PortChangeRequest change = Change("/dev/ttyS4", Settings(4800, 8, 0, 0));
    if (code == CodeOpenPort) expected.active = 6;
    rec.FailOn(Op::Close);

    EXPECT_EQ(Call(inst, code, code == CodeOpenPort ? static_cast<void*>(&open) : &change),
              ResultFailed);
    EXPECT_EQ(rec.Count(Op::Open), 0);
    EXPECT_TRUE(SameBytes(inst, expected));
    const std::string message = code == CodeOpenPort ? OpenFailed("/dev/ttyS4") : kChangeFailed;
    EXPECT_EQ(log.messages, (std::vector<Message>{{32, message}}));
    // The handle is still there for a later close.
    EXPECT_EQ(Call(inst, CodeClosePort), ResultOk);
    EXPECT_TRUE(rec.openHandles.empty());
    inst = FreshInstance();
    rec.nextHandle = kFirst;
  }
}

// The held port is closed first: when the new one fails, none is left.
TEST_F(PortControl, FailedOpenOrChangeToAnotherNameLeavesNoPort) {
  for (const std::int32_t code : {CodeOpenPort, CodeChangeZelParams}) {
    SCOPED_TRACE(code);
    OpenFirst("/dev/ttyS3", 300);
    log.messages.clear();
    inst.active = 7;
    rec.FailOn(Op::Open);
    OpenRequest open = Open("/dev/nozq", 150, Settings(9600, 8, 0, 0), /*active=*/7);
    PortChangeRequest change = Change("/dev/nozq");

    EXPECT_EQ(Call(inst, code, code == CodeOpenPort ? static_cast<void*>(&open) : &change),
              ResultFailed);
    EXPECT_EQ(inst.port, 0u);
    EXPECT_TRUE(rec.openHandles.empty());
    // Only the change stores the new name before its open.
    EXPECT_STREQ(inst.portSpec.name, code == CodeOpenPort ? "/dev/ttyS3" : "/dev/nozq");
    EXPECT_EQ(inst.active, 7);
    EXPECT_EQ(inst.replyTimeout, 300);
    const std::string message = code == CodeOpenPort ? OpenFailed("/dev/nozq") : kChangeFailed;
    EXPECT_EQ(log.messages, (std::vector<Message>{{32, message}}));
    inst = FreshInstance();
    rec.nextHandle = kFirst;
  }
}

// --- Names that do not fit ------------------------------------------------

TEST_F(PortControl, NamesWithoutTerminatorWithinTwelveBytesAreRefusedBeforeAnyOpen) {
  OpenFirst("/dev/ttyS3");
  const std::string twelve = "/dev/ttyUSB1";  // 12 characters
  const std::string fifteen = "/dev/ttyUSB1234";
  const std::string sixteen = "/dev/ttyUSB12345";  // fills the 16-byte field

  DriverInstance expected = inst;
  expected.active = 2;
  OpenRequest open = Open(twelve, 300, Settings(9600, 8, 0, 0), /*active=*/2);
  EXPECT_EQ(Call(inst, CodeOpenPort, &open), ResultFailed);
  EXPECT_TRUE(SameBytes(inst, expected));

  for (const std::string& name : {twelve, fifteen, sixteen}) {
    SCOPED_TRACE(name);
    PortChangeRequest change = Change(name, Settings(4800, 8, 0, 0));
    EXPECT_EQ(Call(inst, CodeChangeZelParams, &change), ResultFailed);
    EXPECT_TRUE(SameBytes(inst, expected));
  }
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_TRUE(log.messages.empty());
}

TEST_F(PortControl, ElevenCharacterNamesAreAccepted) {
  OpenRequest open = Open("/dev/ttyS10");
  ASSERT_EQ(Call(inst, CodeOpenPort, &open), ResultOk);
  EXPECT_EQ(rec.calls[0].name, "/dev/ttyS10");
  PortChangeRequest change = Change("/dev/ttyS11");
  ASSERT_EQ(Call(inst, CodeChangeZelParams, &change), ResultOk);
  EXPECT_EQ(rec.calls.back().op, Op::SetTimeouts);
  EXPECT_STREQ(inst.portSpec.name, "/dev/ttyS11");
}

// --- ReopenPort -----------------------------------------------------------

TEST_F(PortControl, FailedReopenChangesNothingAndSaysNothing) {
  OpenFirst("/dev/ttyS3");
  ASSERT_EQ(Call(inst, CodeClosePort), ResultOk);
  const DriverInstance before = inst;
  for (Op failing : {Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState}) {
    SCOPED_TRACE(testing::OpName(failing));
    rec.FailOn(failing);
    EXPECT_EQ(Call(inst, CodeReopenPort), ResultFailed);
    EXPECT_TRUE(SameBytes(inst, before));
  }
  EXPECT_TRUE(rec.openHandles.empty());
  EXPECT_TRUE(log.messages.empty());
}

// --- ChangeZelParams ------------------------------------------------------

TEST_F(PortControl, ChangeWithABaudRateTakesAllEightSettingsBytes) {
  OpenFirst("/dev/ttyS3", 300, Settings(2400, 7, 2, 1));
  LineSettings next = Settings(38400, 8, 0, 2);
  next.reserved3 = 0x11;
  next.reserved5 = 0x22;
  next.reserved7 = 0x33;
  PortChangeRequest r = Change("/dev/ttyS4", next);

  ASSERT_EQ(Call(inst, CodeChangeZelParams, &r), ResultOk);
  EXPECT_EQ(BytesOf(inst.portSpec), ExpectedSpec("/dev/ttyS4", next, 8));
  EXPECT_EQ(rec.deviceState.baudRate, 38400u);
  EXPECT_EQ(rec.deviceState.parity, 2);
}

TEST_F(PortControl, ChangeRaisesAStoredReplyTimeoutBelow120) {
  const std::vector<TimeoutCase> cases = {
      {0, 120, 1200}, {-5, 120, 1200}, {119, 120, 1200}, {120, 120, 1200}, {300, 300, 3000},
  };
  for (const TimeoutCase& c : cases) {
    SCOPED_TRACE(c.requested);
    DriverInstance fresh = FreshInstance();  // no OpenPort ever set the time-out
    fresh.replyTimeout = c.requested;
    PortChangeRequest r = Change("/dev/ttyS5", Settings(9600, 8, 0, 0));
    ASSERT_EQ(Call(fresh, CodeChangeZelParams, &r), ResultOk);
    EXPECT_EQ(fresh.replyTimeout, c.stored);
    EXPECT_EQ(ReadTimeoutInForceMs(), c.inForceMs);
    ASSERT_EQ(Call(fresh, CodeClosePort), ResultOk);
  }
}

// --- ClosePort, Shutdown, PurgeInput --------------------------------------

// A failed close keeps the handle for another try; a close with no port
// left has nothing to do.
TEST_F(PortControl, ClosePortAndShutdownReleaseTheHandleOnce) {
  for (std::int32_t code : {CodeClosePort, CodeShutdown}) {
    SCOPED_TRACE(code);
    OpenFirst("/dev/ttyS3");
    inst.active = 4;
    DriverInstance expected = inst;
    expected.port = 0;
    rec.FailOn(Op::Close);

    EXPECT_EQ(Call(inst, code), ResultFailed);
    EXPECT_EQ(inst.port, kFirst);
    EXPECT_EQ(Call(inst, code), ResultOk);
    EXPECT_TRUE(SameBytes(inst, expected));
    EXPECT_TRUE(rec.openHandles.empty());
    EXPECT_EQ(Call(inst, code), ResultOk);
    EXPECT_EQ(rec.Count(Op::Close), 2);
    inst = FreshInstance();
    rec.nextHandle = kFirst;
  }
  EXPECT_TRUE(log.messages.empty());
}

TEST_F(PortControl, PurgeInputDiscardsWaitingInputAndAlwaysSucceeds) {
  EXPECT_EQ(Call(inst, CodePurgeInput), ResultOk);  // no port: nothing to do
  EXPECT_TRUE(rec.calls.empty());

  OpenFirst("/dev/ttyS3");
  rec.Feed("stale bytes");
  EXPECT_EQ(Call(inst, CodePurgeInput), ResultOk);
  EXPECT_TRUE(rec.input.empty());

  rec.Feed("more");
  rec.FailOn(Op::Read);
  EXPECT_EQ(Call(inst, CodePurgeInput), ResultOk);
  EXPECT_EQ(ReadTimeoutInForceMs(), 3000u);  // the drain's 50 ms is undone
}

}  // namespace
}  // namespace zelqd::porttest
