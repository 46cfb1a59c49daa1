// The outcome records the observer gets: one per attempt with the reason
// it ended, one per failed open; and the setter's promise that no call of
// a replaced observer runs once it has returned.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "line_fixture.h"
#include "zelqd/observer.h"

namespace zelqd::testing {
namespace {

// A record, with the bytes of the reply and the port name copied.
struct Seen {
  ZelqdOutcome o;
  std::string reply, portName;
};

void Collect(const ZelqdOutcome* o, void* seen) {
  static_cast<std::vector<Seen>*>(seen)->push_back(
      {*o, std::string(reinterpret_cast<const char*>(o->reply), o->replyReceived),
       std::string(o->portName ? o->portName : "", o->portName ? o->portNameLength : 0)});
}

std::int32_t Call(DriverInstance& instance, std::int32_t code, void* params) {
  DriverCall call{};
  call.instance = &instance;
  call.code = code;
  call.params = params;
  return ZelMain(&call);
}

// A port open on a fresh recording backend, and a transfer from variable 42.
struct Bench {
  RecordingPlatform platform;
  DriverInstance instance{};
  ValueSlot slots[2] = {{0, 7}, {0, 0}};
  TransferRequest request{};
  Bench() {
    instance.port = platform.DoOpen("line");
    instance.leadByte = 4;
    request.variableNumber = 42;
    request.values = slots;
  }
};

TEST(Observer, EachAttemptTellsWhyItEnded) {
  struct Case {
    std::int32_t code;  // CodeWriteValue, or CodeReadBlock of count values
    std::int32_t count;
    std::string reply;  // to every request
    Op failing;  // every call fails with error (a hang-up if hangUp); Open: none; Close: writes
                 // short
    std::uint32_t error;
    bool hangUp;
    ZelqdReason reason;
    std::int32_t expected, received;  // reply bytes
  };
  const Case cases[] = {
      {CodeReadBlock, 1, ReadReply("0000002A"), Op::Open, 0, false, ZELQD_REASON_OK, 12, 12},
      {CodeWriteValue, 0, "", Op::Close, 0, false, ZELQD_REASON_SENT_SHORT, 0, 0},
      {CodeReadBlock, 1, "", Op::Open, 0, false, ZELQD_REASON_TIMEOUT, 12, 0},
      {CodeReadBlock, 1,
       "\x06"
       "0000",
       Op::Open, 0, false, ZELQD_REASON_TIMEOUT, 12, 5},
      {CodeWriteValue, 0, "\x06OK67\r", Op::Open, 0, false, ZELQD_REASON_CHECKSUM, 6, 6},
      {CodeWriteValue, 0, std::string("\6ERROR\r\n\0", 9), Op::Open, 0, false,
       ZELQD_REASON_ERROR_REPLY, 9, 9},
      {CodeWriteValue, 0, "\6ERRXR66\r", Op::Open, 0, false, ZELQD_REASON_NO_KEYWORD, 9, 9},
      {CodeReadBlock, 2, ReadReply("0000002A000000G1"), Op::Open, 0, false,
       ZELQD_REASON_BAD_VALUE_GROUP, 20, 20},
      {CodeReadBlock, 1, "", Op::Read, 9, false, ZELQD_REASON_IO_ERROR, 12, 0},
      {CodeWriteValue, 0, "", Op::Write, 28, false, ZELQD_REASON_IO_ERROR, 0, 0},
      {CodeReadBlock, 1, "", Op::Read, 5, true, ZELQD_REASON_HANG_UP, 12, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    Bench b;
    std::vector<Seen> seen;
    zelqd_set_observer(Collect, &seen);
    b.platform.error = c.error;
    b.platform.hangUp = c.hangUp;
    if (c.failing == Op::Close) b.platform.writeLimit = 7;  // a short write
    if (c.failing == Op::Read || c.failing == Op::Write) b.platform.FailOn(c.failing, 0);
    b.platform.peer = [&b, &c](const Bytes&) { b.platform.Feed(c.reply); };
    b.request.valueCount = c.count;
    const std::int32_t result = Call(b.instance, c.code, &b.request);
    zelqd_set_observer(nullptr, nullptr);

    const bool ok = c.reason == ZELQD_REASON_OK;
    EXPECT_EQ(result, ok ? ResultOk : ResultFailed);
    ASSERT_EQ(seen.size(), ok ? 1u : static_cast<std::size_t>(ZELQD_ATTEMPTS));
    for (std::size_t i = 0; i < seen.size(); ++i) {
      const ZelqdOutcome& o = seen[i].o;
      EXPECT_EQ(o.size, sizeof(ZelqdOutcome));
      EXPECT_EQ(o.kind, ZELQD_OUTCOME_ATTEMPT);
      EXPECT_EQ(o.reason, c.reason);
      EXPECT_EQ(o.result, result);
      EXPECT_EQ(o.instance, &b.instance);
      EXPECT_EQ(o.attempt, static_cast<std::int32_t>(i + 1));
      EXPECT_EQ(o.attempts, ZELQD_ATTEMPTS);
      EXPECT_EQ(o.variable, 42);
      EXPECT_EQ(o.count, c.count);
      EXPECT_EQ(o.requestLength, c.code == CodeWriteValue ? 19 : 14);
      EXPECT_EQ(o.request[1], c.code == CodeWriteValue ? 'W' : 'R');
      EXPECT_EQ(o.replyExpected, c.expected);
      EXPECT_EQ(seen[i].reply, c.reply.substr(0, static_cast<std::size_t>(c.received)));
      EXPECT_EQ(o.badGroup, c.reason == ZELQD_REASON_BAD_VALUE_GROUP ? 1 : -1);
      EXPECT_EQ(o.systemError, static_cast<std::int32_t>(c.error));
      EXPECT_GT(o.sentNs, 0u);
      EXPECT_GE(o.endedNs, o.sentNs);
      // The first reply byte lies between the request and the end, if any came.
      EXPECT_TRUE(c.received > 0 ? o.firstReplyNs >= o.sentNs && o.firstReplyNs <= o.endedNs
                                 : o.firstReplyNs == 0);
    }
    if (c.reason == ZELQD_REASON_CHECKSUM) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(seen[0].o.checksumExpected), 2) +
                    std::string(reinterpret_cast<const char*>(seen[0].o.checksumSeen), 2),
                "6667");
    }
  }
}

TEST(Observer, AFailedOpenTellsItsStepAndError) {
  RecordingPlatform platform;
  platform.FailOn(Op::Open, 1);
  platform.failStep = serial::OpenStep::kLock;
  platform.error = 11;
  OpenRequest open{"/dev/ttyX3", 1, 100, {}};
  DriverInstance instance{};
  std::vector<Seen> seen;
  zelqd_set_observer(Collect, &seen);
  EXPECT_EQ(Call(instance, CodeOpenPort, &open), ResultFailed);
  zelqd_set_observer(nullptr, nullptr);
  ASSERT_EQ(seen.size(), 1u);
  const ZelqdOutcome& o = seen[0].o;
  EXPECT_EQ(o.kind, ZELQD_OUTCOME_OPEN);
  EXPECT_EQ(o.reason, ZELQD_REASON_OPEN_FAILED);
  EXPECT_EQ(o.instance, &instance);
  EXPECT_EQ(o.openStep, ZELQD_OPEN_STEP_LOCK);
  EXPECT_EQ(o.systemError, 11);
  EXPECT_EQ(seen[0].portName, "/dev/ttyX3");
}

// While another thread transfers without pause, observers are replaced, by
// others and by themselves, and removed: once a set has returned, the
// observer it replaced is never called again, not even one that was
// running when the set began.
TEST(Observer, NoCallOfAReplacedObserverAfterTheSetReturns) {
  struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false}, removeSelf{false};
  };
  const ZelqdObserver slow = [](const ZelqdOutcome*, void* context) {
    auto* c = static_cast<Counter*>(context);
    c->inside = true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    c->calls.fetch_add(1);
    c->inside = false;
    if (c->removeSelf) zelqd_set_observer(nullptr, nullptr);  // must not wait for itself
  };
  Bench b;
  b.platform.peer = [&b](const Bytes&) { b.platform.Feed("\x06OK66\r"); };
  std::atomic<bool> stop{false};
  std::thread host([&] {
    while (!stop) {
      Call(b.instance, CodeWriteValue, &b.request);
      b.platform.Clear();
    }
  });
  Counter counters[8];
  counters[7].removeSelf = true;
  zelqd_set_observer(slow, &counters[0]);
  for (int round = 1; round < 8; ++round) {
    while (counters[round - 1].calls < 5) std::this_thread::yield();
    zelqd_set_observer(slow, &counters[round]);
    const int after = counters[round - 1].calls;
    EXPECT_FALSE(counters[round - 1].inside) << round;
    while (counters[round].calls < 1) std::this_thread::yield();
    EXPECT_EQ(counters[round - 1].calls, after) << round;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(counters[7].calls, 1);
  stop = true;
  host.join();
}

}  // namespace
}  // namespace zelqd::testing
