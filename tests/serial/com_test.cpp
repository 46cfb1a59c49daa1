// The serial layer's algorithms, seen through the recording backend: call
// order, every value handed to the platform, and the failure table.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "serial/com.h"
#include "support/recording_platform.h"

namespace zelqd::serial {
namespace {

using testing::Bytes;
using testing::Call;
using testing::Op;
using testing::RecordingPlatform;

constexpr LineSettings k9600_8N1{9600, 8, 0, 0, 0, 0, 0};
constexpr std::uint16_t kOpenPortFlags = 8;  // what OpenPort passes

const Call& Only(const RecordingPlatform& rec, Op op) {
  for (const Call& c : rec.calls) {
    if (c.op == op) return c;
  }
  ADD_FAILURE() << "no " << testing::OpName(op) << " call";
  return rec.calls.front();
}

std::vector<Call> CallsOf(const RecordingPlatform& rec, Op op) {
  std::vector<Call> out;
  for (const Call& c : rec.calls) {
    if (c.op == op) out.push_back(c);
  }
  return out;
}

// --- ComOpen ---------------------------------------------------------------

TEST(ComOpen, ConfiguresInOrderStateReadTimeoutsStateWrittenQueues) {
  RecordingPlatform rec;
  Handle h = 0;
  ASSERT_EQ(ComOpen("COM1", k9600_8N1, kOpenPortFlags, &h), ComOk);
  EXPECT_EQ(h, 0x100u);
  EXPECT_EQ(rec.Ops(), (std::vector<Op>{Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState,
                                        Op::SetQueues}));
  EXPECT_EQ(Only(rec, Op::Open).name, "COM1");
  EXPECT_EQ(Only(rec, Op::GetState).state.length, 28u);
  for (const Call& c : rec.calls) {
    if (c.op != Op::Open) {
      EXPECT_EQ(c.handle, h) << testing::OpName(c.op);
    }
  }
  const Call& queues = Only(rec, Op::SetQueues);
  EXPECT_EQ(queues.count, 1200u);
  EXPECT_EQ(queues.count2, 1200u);
  EXPECT_EQ(rec.openHandles.count(h), 1u);
}

TEST(ComOpen, AppliesTheOpenTimeouts) {
  RecordingPlatform rec;
  rec.timeouts = {7, 8, 9, 10, 11};  // whatever the device had
  Handle h = 0;
  ASSERT_EQ(ComOpen("COM1", k9600_8N1, 0, &h), ComOk);
  const Timeouts t = Only(rec, Op::SetTimeouts).timeouts;
  EXPECT_EQ(t.readInterval, 0u);
  EXPECT_EQ(t.readTotalMultiplier, 0u);
  EXPECT_EQ(t.readTotalConstant, 1000u);
  EXPECT_EQ(t.writeTotalMultiplier, 0u);
  EXPECT_EQ(t.writeTotalConstant, 0u);
}

TEST(ComOpen, SetsEveryBlockFieldAndKeepsTheDevicesOthers) {
  RecordingPlatform rec;
  // A device block with every field set to something the open must either
  // overwrite or keep.
  DeviceState dev;
  dev.baudRate = 1;
  dev.binary = 0;
  dev.parityCheck = 0;
  dev.outxCtsFlow = 1;
  dev.outxDsrFlow = 1;
  dev.dtrControl = kDtrHandshake;
  dev.dsrSensitivity = 1;
  dev.txContinueOnXoff = 1;
  dev.outX = 1;
  dev.inX = 1;
  dev.errorCharEnabled = 1;
  dev.discardNull = 1;
  dev.rtsControl = kRtsToggle;
  dev.abortOnError = 1;
  dev.dummy2 = 0x1ABCD;
  dev.reserved = 0x1234;
  dev.xonLimit = 2048;
  dev.xoffLimit = 512;
  dev.byteSize = 5;
  dev.parity = 4;
  dev.stopBits = 1;
  dev.xonChar = 0x11;
  dev.xoffChar = 0x13;
  dev.errorChar = 'E';
  dev.eofChar = 0x1A;
  dev.evtChar = 'V';
  dev.reserved1 = 0x5678;
  rec.deviceState = dev;

  // Stop bits (offset 4) and parity (offset 6) must each reach their own field.
  const LineSettings settings{19200, 7, 0, 2, 0, 1, 0};
  Handle h = 0;
  ASSERT_EQ(ComOpen("COM2", settings, 0, &h), ComOk);
  const DeviceState s = Only(rec, Op::SetState).state;
  EXPECT_EQ(s.length, 28u);
  EXPECT_EQ(s.baudRate, 19200u);
  EXPECT_EQ(s.binary, 1);
  EXPECT_EQ(s.parityCheck, 1);
  EXPECT_EQ(s.outxCtsFlow, 0);
  EXPECT_EQ(s.outxDsrFlow, 0);
  EXPECT_EQ(s.dtrControl, kDtrDisable);
  EXPECT_EQ(s.dsrSensitivity, 0);
  EXPECT_EQ(s.outX, 0);
  EXPECT_EQ(s.inX, 0);
  EXPECT_EQ(s.errorCharEnabled, 0);
  EXPECT_EQ(s.discardNull, 0);
  EXPECT_EQ(s.rtsControl, kRtsDisable);
  EXPECT_EQ(s.abortOnError, 0);
  EXPECT_EQ(s.byteSize, 7);
  EXPECT_EQ(s.parity, 1);
  EXPECT_EQ(s.stopBits, 2);
  EXPECT_EQ(static_cast<unsigned char>(s.errorChar), 0xFC);
  // Kept as the device reported them.
  EXPECT_EQ(s.txContinueOnXoff, 1);
  EXPECT_EQ(s.dummy2, 0x1ABCDu);
  EXPECT_EQ(s.reserved, 0x1234);
  EXPECT_EQ(s.xonLimit, 2048);
  EXPECT_EQ(s.xoffLimit, 512);
  EXPECT_EQ(s.xonChar, 0x11);
  EXPECT_EQ(s.xoffChar, 0x13);
  EXPECT_EQ(s.eofChar, 0x1A);
  EXPECT_EQ(s.evtChar, 'V');
  EXPECT_EQ(s.reserved1, 0x5678);
}

TEST(ComOpen, BaudRateIsWidenedWithoutSign) {
  for (const std::uint16_t baud : {std::uint16_t{9600}, std::uint16_t{65535}}) {
    RecordingPlatform rec;
    LineSettings settings = k9600_8N1;
    settings.baudRate = baud;
    Handle h = 0;
    ASSERT_EQ(ComOpen("COM1", settings, 0, &h), ComOk);
    EXPECT_EQ(Only(rec, Op::SetState).state.baudRate, static_cast<std::uint32_t>(baud));
  }
}

struct FlagsCase {
  std::uint16_t flags;
  std::uint8_t dtr;
  std::uint8_t rts;
};

class ComOpenControlFlags : public ::testing::TestWithParam<FlagsCase> {};

TEST_P(ComOpenControlFlags, FirstMatchingRowWins) {
  RecordingPlatform rec;
  Handle h = 0;
  ASSERT_EQ(ComOpen("COM1", k9600_8N1, GetParam().flags, &h), ComOk);
  const DeviceState s = Only(rec, Op::SetState).state;
  EXPECT_EQ(s.dtrControl, GetParam().dtr);
  EXPECT_EQ(s.rtsControl, GetParam().rts);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComOpenControlFlags,
    ::testing::Values(
        FlagsCase{0x0000, kDtrDisable, kRtsDisable}, FlagsCase{0x0008, kDtrDisable, kRtsDisable},
        FlagsCase{0x0001, kDtrEnable, kRtsDisable}, FlagsCase{0x0100, kDtrEnable, kRtsDisable},
        FlagsCase{0x8000, kDtrHandshake, kRtsDisable}, FlagsCase{0x8100, kDtrEnable, kRtsDisable},
        FlagsCase{0x8001, kDtrEnable, kRtsDisable}, FlagsCase{0x0002, kDtrDisable, kRtsEnable},
        FlagsCase{0x0200, kDtrDisable, kRtsEnable}, FlagsCase{0x1000, kDtrDisable, kRtsHandshake},
        FlagsCase{0x2000, kDtrDisable, kRtsToggle}, FlagsCase{0x3000, kDtrDisable, kRtsHandshake},
        FlagsCase{0x2200, kDtrDisable, kRtsEnable}, FlagsCase{0x1002, kDtrDisable, kRtsEnable},
        FlagsCase{0x0103, kDtrEnable, kRtsEnable},
        FlagsCase{0x4C74, kDtrDisable, kRtsDisable},  // only meaningless bits
        FlagsCase{0xFFFF, kDtrEnable, kRtsEnable}));

TEST(ComOpen, NullDeviceIsOpenedAndLeftUnconfigured) {
  RecordingPlatform rec;
  Handle h = 0;
  ASSERT_EQ(ComOpen("NUL", k9600_8N1, 0, &h), ComOk);
  EXPECT_EQ(h, 0x100u);
  EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::Open});
}

TEST(ComOpen, LowerCaseNulIsConfiguredLikeAnyPort) {
  RecordingPlatform rec;
  Handle h = 0;
  ASSERT_EQ(ComOpen("nul", k9600_8N1, 0, &h), ComOk);
  EXPECT_EQ(rec.Ops(), (std::vector<Op>{Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState,
                                        Op::SetQueues}));
}

// Every row of the failure table for the open.
struct OpenFailure {
  Op failing;
  std::int32_t result;
  std::vector<Op> ops;
  bool staysOpen;
};

class ComOpenFailures : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(ComOpenFailures, ResultCallsAndWhatStaysOpen) {
  RecordingPlatform rec;
  rec.FailOn(GetParam().failing);
  Handle h = 0;
  EXPECT_EQ(ComOpen("COM3", k9600_8N1, 0, &h), GetParam().result);
  EXPECT_EQ(rec.Ops(), GetParam().ops);
  EXPECT_EQ(rec.openHandles.empty(), !GetParam().staysOpen);
  if (GetParam().failing == Op::Open) {
    EXPECT_EQ(h, kInvalidHandle);
  } else {
    EXPECT_EQ(h, 0x100u);  // stored at once, whatever follows
    if (!GetParam().staysOpen) {
      EXPECT_EQ(Only(rec, Op::Close).handle, h);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComOpenFailures,
    ::testing::Values(
        OpenFailure{Op::Open, ComOpenFailed, {Op::Open}, false},
        OpenFailure{Op::GetState, ComGetStateFailed, {Op::Open, Op::GetState, Op::Close}, false},
        OpenFailure{Op::SetTimeouts,
                    ComOpenFailed,
                    {Op::Open, Op::GetState, Op::SetTimeouts, Op::Close},
                    false},
        OpenFailure{Op::SetState,
                    ComSetStateFailed,
                    {Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState, Op::Close},
                    false},
        OpenFailure{Op::SetQueues,
                    ComOk,
                    {Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState, Op::SetQueues},
                    true}));

// --- ComClose --------------------------------------------------------------

TEST(ComClose, ClosesAndReportsAFailedCloseWithTheHandleStillOpen) {
  RecordingPlatform rec;
  Handle h = 0;
  ASSERT_EQ(ComOpen("COM1", k9600_8N1, 0, &h), ComOk);
  rec.FailOn(Op::Close);
  EXPECT_EQ(ComClose(h), ComIoError);
  EXPECT_EQ(rec.openHandles.count(h), 1u);
  EXPECT_EQ(ComClose(h), ComOk);
  EXPECT_TRUE(rec.openHandles.empty());
  EXPECT_EQ(ComClose(0), ComIoError);
}

// --- ComSetReadTimeout -----------------------------------------------------

class ComSetReadTimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ComOpen("COM1", k9600_8N1, 0, &h), ComOk);
    rec.Clear();
  }
  RecordingPlatform rec;
  Handle h = 0;
};

TEST_F(ComSetReadTimeoutTest, ReturnsThePreviousAndSetsOnlyTheConstant) {
  rec.timeouts = {3, 4, 1000, 5, 6};
  EXPECT_EQ(ComSetReadTimeout(h, 120), 100);
  EXPECT_EQ(rec.Ops(), (std::vector<Op>{Op::GetTimeouts, Op::SetTimeouts}));
  const Timeouts t = Only(rec, Op::SetTimeouts).timeouts;
  EXPECT_EQ(t.readInterval, 3u);
  EXPECT_EQ(t.readTotalMultiplier, 4u);
  EXPECT_EQ(t.readTotalConstant, 1200u);
  EXPECT_EQ(t.writeTotalMultiplier, 5u);
  EXPECT_EQ(t.writeTotalConstant, 6u);
}

TEST_F(ComSetReadTimeoutTest, TheSameValueAgainMakesNoSetCall) {
  ASSERT_EQ(ComSetReadTimeout(h, 120), 100);
  rec.Clear();
  EXPECT_EQ(ComSetReadTimeout(h, 120), 120);
  EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::GetTimeouts});
  EXPECT_EQ(rec.timeouts.readTotalConstant, 1200u);
}

TEST_F(ComSetReadTimeoutTest, BelowTenMillisecondsReadsBackAsZero) {
  rec.timeouts.readTotalConstant = 9;
  EXPECT_EQ(ComSetReadTimeout(h, 5), 0);
  EXPECT_EQ(rec.timeouts.readTotalConstant, 50u);
}

struct TimeoutCase {
  std::int32_t timeout;
  std::uint32_t ms;        // what goes to the platform
  std::int32_t readsBack;  // what the next call returns
};

class ComSetReadTimeoutValues : public ComSetReadTimeoutTest,
                                public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ComSetReadTimeoutValues, MillisecondsSaturateInsteadOfWrapping) {
  ComSetReadTimeout(h, GetParam().timeout);
  EXPECT_EQ(rec.timeouts.readTotalConstant, GetParam().ms);
  EXPECT_EQ(ComSetReadTimeout(h, 1), GetParam().readsBack);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComSetReadTimeoutValues,
    ::testing::Values(TimeoutCase{0, 0, 0}, TimeoutCase{1, 10, 1}, TimeoutCase{120, 1200, 120},
                      TimeoutCase{214748364, 2147483640u, 214748364},
                      // 10x these no longer fit 32 bits: held at the largest value
                      TimeoutCase{214748365, 2147483647u, 214748364},
                      TimeoutCase{INT32_MAX, 2147483647u, 214748364},
                      // Negative values pass through as 32-bit milliseconds
                      TimeoutCase{-1, 0xFFFFFFF6u, -1},
                      TimeoutCase{INT32_MIN, 0x80000000u, -214748364}));

TEST_F(ComSetReadTimeoutTest, FailedPlatformCallsGiveZeroAndStop) {
  rec.FailOn(Op::GetTimeouts);
  EXPECT_EQ(ComSetReadTimeout(h, 120), 0);
  EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::GetTimeouts});
  rec.Clear();
  rec.FailOn(Op::SetTimeouts);
  EXPECT_EQ(ComSetReadTimeout(h, 120), 0);
  EXPECT_EQ(rec.Ops(), (std::vector<Op>{Op::GetTimeouts, Op::SetTimeouts}));
  EXPECT_EQ(rec.timeouts.readTotalConstant, 1000u);
}

// --- ComPurgeInput ---------------------------------------------------------

class ComPurgeInputTest : public ComSetReadTimeoutTest {};

TEST_F(ComPurgeInputTest, EmptyQueueMakesNoRead) {
  EXPECT_EQ(ComPurgeInput(h), 0);
  EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::ClearErrors});
}

TEST_F(ComPurgeInputTest, DrainsIn512ByteReadsAt50MsAndRestores) {
  rec.Feed(Bytes(1100, 0xAA));
  EXPECT_EQ(ComPurgeInput(h), 0);
  EXPECT_EQ(rec.Ops(), (std::vector<Op>{Op::ClearErrors, Op::GetTimeouts, Op::SetTimeouts, Op::Read,
                                        Op::Read, Op::Read, Op::GetTimeouts, Op::SetTimeouts}));
  const std::vector<Call> reads = CallsOf(rec, Op::Read);
  const std::uint32_t got[] = {512, 512, 76};
  for (std::size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].count, 512u);
    EXPECT_EQ(reads[i].bytes.size(), got[i]);
    EXPECT_EQ(reads[i].readTimeoutMs, 50u);
  }
  EXPECT_TRUE(rec.input.empty());
  EXPECT_EQ(rec.timeouts.readTotalConstant, 1000u);
}

TEST_F(ComPurgeInputTest, ExactMultipleOf512EndsWithAnEmptyRead) {
  rec.Feed(Bytes(1024, 1));
  EXPECT_EQ(ComPurgeInput(h), 0);
  const std::vector<Call> reads = CallsOf(rec, Op::Read);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_TRUE(reads[2].bytes.empty());
}

TEST_F(ComPurgeInputTest, FailedClearErrorsStillDrains) {
  rec.Feed("stale");
  rec.FailOn(Op::ClearErrors);
  EXPECT_EQ(ComPurgeInput(h), 0);
  EXPECT_EQ(rec.Count(Op::Read), 1);
  EXPECT_TRUE(rec.input.empty());
  EXPECT_EQ(rec.timeouts.readTotalConstant, 1000u);
}

TEST_F(ComPurgeInputTest, FailedClearErrorsOnAnEmptyQueueStillReads) {
  rec.FailOn(Op::ClearErrors);
  EXPECT_EQ(ComPurgeInput(h), 0);
  EXPECT_EQ(rec.Count(Op::Read), 1);
}

TEST_F(ComPurgeInputTest, FailedReadStopsDrainingRestoresAndReturnsOne) {
  rec.Feed(Bytes(1100, 0));
  rec.FailOn(Op::Read, 2);
  EXPECT_EQ(ComPurgeInput(h), 1);
  EXPECT_EQ(rec.Count(Op::Read), 2);
  EXPECT_EQ(rec.calls.back().op, Op::SetTimeouts);
  EXPECT_EQ(rec.timeouts.readTotalConstant, 1000u);
}

TEST_F(ComPurgeInputTest, TimeoutBelowTenMillisecondsIsNotRestored) {
  rec.timeouts.readTotalConstant = 5;
  rec.Feed("x");
  EXPECT_EQ(ComPurgeInput(h), 0);
  EXPECT_EQ(rec.Count(Op::SetTimeouts), 1);
  EXPECT_EQ(rec.timeouts.readTotalConstant, 50u);
}

// --- ComWriteAll -----------------------------------------------------------

TEST_F(ComSetReadTimeoutTest, WriteAllResults) {
  std::int32_t written = -1;
  EXPECT_EQ(ComWriteAll(h, "abc", 3, &written), ComOk);
  EXPECT_EQ(written, 3);
  EXPECT_EQ(rec.Writes(), std::vector<Bytes>{Bytes({'a', 'b', 'c'})});

  written = -1;
  EXPECT_EQ(ComWriteAll(h, "", 0, &written), ComOk);
  EXPECT_EQ(written, 0);

  rec.writeLimit = 2;
  written = -1;
  EXPECT_EQ(ComWriteAll(h, "abc", 3, &written), ComShortWrite);
  EXPECT_EQ(written, 2);
  rec.writeLimit = UINT32_MAX;

  rec.FailOn(Op::Write);
  written = -1;
  EXPECT_EQ(ComWriteAll(h, "abc", 3, &written), ComIoError);
  EXPECT_EQ(written, -1);  // not written on a failed write

  EXPECT_EQ(ComWriteAll(h, "abc", 3, nullptr), ComOk);
}

TEST_F(ComSetReadTimeoutTest, WriteAllRefusesANegativeCount) {
  std::int32_t written = -1;
  EXPECT_EQ(ComWriteAll(h, "abc", -1, &written), ComIoError);
  EXPECT_EQ(rec.Count(Op::Write), 0);
  EXPECT_EQ(written, -1);
}

// --- ComReadExact ----------------------------------------------------------

TEST_F(ComSetReadTimeoutTest, ReadExactAsksForTheRemainderEachTime) {
  rec.Feed("xyz");
  rec.deliveries = {1, 2};
  char buf[3] = {};
  std::int32_t received = -1;
  EXPECT_EQ(ComReadExact(h, buf, 3, &received), ComOk);
  EXPECT_EQ(received, 3);
  EXPECT_EQ(std::memcmp(buf, "xyz", 3), 0);
  const std::vector<Call> reads = CallsOf(rec, Op::Read);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].count, 3u);
  EXPECT_EQ(reads[1].count, 2u);
}

struct ExactCase {
  const char* what;
  std::string input;
  std::deque<std::uint32_t> deliveries;
  std::int32_t count;
  std::int32_t result;
  std::int32_t received;
  int reads;
};

class ComReadExactCases : public ComSetReadTimeoutTest,
                          public ::testing::WithParamInterface<ExactCase> {};

TEST_P(ComReadExactCases, ResultReceivedAndReads) {
  const ExactCase& c = GetParam();
  rec.Feed(c.input);
  rec.deliveries = c.deliveries;
  std::vector<char> buf(static_cast<std::size_t>(c.count) + 16, '#');
  std::int32_t received = -1;
  EXPECT_EQ(ComReadExact(h, buf.data(), c.count, &received), c.result) << c.what;
  EXPECT_EQ(received, c.received) << c.what;
  EXPECT_EQ(rec.Count(Op::Read), c.reads) << c.what;
  for (std::size_t i = static_cast<std::size_t>(c.count); i < buf.size(); ++i) {
    ASSERT_EQ(buf[i], '#') << c.what << ": written past the count at " << i;
  }
  DriverInstance instance{};
  instance.port = h;
  rec.Feed(c.input);
  rec.deliveries = c.deliveries;
  EXPECT_EQ(ReceiveExact(&instance, buf.data(), c.count), c.result == ComOk) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComReadExactCases,
    ::testing::Values(ExactCase{"all at once", "abc", {}, 3, ComOk, 3, 1},
                      ExactCase{"in pieces", "abc", {1, 2}, 3, ComOk, 3, 2},
                      ExactCase{"one by one", "abc", {1, 1, 1}, 3, ComOk, 3, 3},
                      ExactCase{"nothing arrives", "", {}, 3, ComIoError, 0, 1},
                      ExactCase{"two of three", "ab", {}, 3, ComIoError, 2, 2},
                      ExactCase{"count zero", "abc", {}, 0, ComIoError, 0, 1},
                      ExactCase{"more waiting than asked", "abcdef", {}, 3, ComOk, 3, 1}));

TEST_F(ComSetReadTimeoutTest, ReadExactBeyondOneRequestEndsWithIoErrorUnread) {
  rec.Feed(Bytes(70000, 1));
  std::vector<char> buf(65536, '#');
  std::int32_t received = -1;
  EXPECT_EQ(ComReadExact(h, buf.data(), 65536, &received), ComIoError);
  EXPECT_EQ(received, 0);
  EXPECT_EQ(rec.Count(Op::Read), 0);
  EXPECT_EQ(ComReadExact(h, buf.data(), -1, &received), ComIoError);
  EXPECT_EQ(rec.Count(Op::Read), 0);
}

TEST_F(ComSetReadTimeoutTest, ReadExactAtTheLargestCount) {
  rec.Feed(Bytes(65535, 7));
  std::vector<char> buf(65535);
  std::int32_t received = 0;
  EXPECT_EQ(ComReadExact(h, buf.data(), 65535, &received), ComOk);
  EXPECT_EQ(received, 65535);
  EXPECT_EQ(Only(rec, Op::Read).count, 65535u);
}

TEST_F(ComSetReadTimeoutTest, FailedReadKeepsWhatArrivedBefore) {
  rec.Feed("abc");
  rec.deliveries = {2};
  rec.FailOn(Op::Read, 2);
  char buf[3] = {};
  std::int32_t received = -1;
  EXPECT_EQ(ComReadExact(h, buf, 3, &received), ComIoError);
  EXPECT_EQ(received, 2);
  EXPECT_EQ(std::memcmp(buf, "ab", 2), 0);
  EXPECT_EQ(ComReadExact(h, buf, 1, nullptr), ComOk);
}

// --- SendAll and ReceiveExact ----------------------------------------------

TEST_F(ComSetReadTimeoutTest, SendAllDiscardsStaleInputBeforeWriting) {
  DriverInstance instance{};
  instance.port = h;
  rec.Feed("stale");
  rec.peer = [&](const Bytes&) { rec.Feed("reply"); };
  ASSERT_TRUE(SendAll(&instance, "req", 3));
  const std::vector<Op> ops = rec.Ops();
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops.front(), Op::ClearErrors);
  EXPECT_EQ(ops.back(), Op::Write);
  char buf[5] = {};
  std::int32_t received = 0;
  ASSERT_TRUE(ReceiveExact(&instance, buf, 5, &received));
  EXPECT_EQ(received, 5);
  EXPECT_EQ(std::memcmp(buf, "reply", 5), 0);
}

TEST_F(ComSetReadTimeoutTest, SendAllFailsOnAShortOrFailedWrite) {
  DriverInstance instance{};
  instance.port = h;
  rec.writeLimit = 1;
  EXPECT_FALSE(SendAll(&instance, "req", 3));
  rec.writeLimit = UINT32_MAX;
  rec.FailOn(Op::Write);
  EXPECT_FALSE(SendAll(&instance, "req", 3));
  EXPECT_TRUE(SendAll(&instance, "req", 3));
}

TEST(SendAllReceiveExact, NullPortFails) {
  RecordingPlatform rec;
  rec.Feed("abc");
  DriverInstance instance{};
  char buf[3];
  EXPECT_FALSE(SendAll(&instance, "req", 3));
  EXPECT_FALSE(ReceiveExact(&instance, buf, 3));
  EXPECT_EQ(rec.Count(Op::Write), 1);
  EXPECT_EQ(Only(rec, Op::Write).handle, 0u);
  EXPECT_EQ(rec.input.size(), 3u);
}

}  // namespace
}  // namespace zelqd::serial
