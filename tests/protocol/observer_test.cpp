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

// A record with copies of what its pointers show.
struct Seen {
  ZelqdOutcome o;
  std::string request, reply, portName;
};

void Collect(const ZelqdOutcome* o, void* context) {
  Seen s{*o,
         std::string(reinterpret_cast<const char*>(o->request), o->request ? o->requestLength : 0),
         std::string(reinterpret_cast<const char*>(o->reply), o->reply ? o->replyReceived : 0),
         std::string(o->portName ? o->portName : "", o->portName ? o->portNameLength : 0)};
  s.o.request = nullptr;
  s.o.reply = nullptr;
  s.o.portName = nullptr;
  static_cast<std::vector<Seen>*>(context)->push_back(s);
}

class ObserverTest : public ::testing::Test {
 protected:
  ObserverTest() { zelqd_set_observer(Collect, &seen); }
  ~ObserverTest() override { zelqd_set_observer(nullptr, nullptr); }

  std::vector<Seen> seen;
};

std::int32_t Call(DriverInstance& instance, std::int32_t code, void* params) {
  DriverCall call{};
  call.instance = &instance;
  call.code = code;
  call.params = params;
  return ZelMain(&call);
}

TEST_F(ObserverTest, EachAttemptTellsWhyItEnded) {
  struct Case {
    const char* what;
    std::int32_t code;  // CodeWriteValue, or CodeReadBlock of count values
    std::int32_t count;
    std::string reply;  // to every request
    Op failing;         // with error, hangUp; Op::Open: none
    std::uint32_t error;
    bool hangUp;
    std::uint32_t writeLimit;
    ZelqdReason reason;
    std::int32_t expected, received;  // reply bytes
  };
  const std::string twoValues = ReadReply("0000002A000000G1");
  const Case cases[] = {
      {"ok", CodeReadBlock, 1, ReadReply("0000002A"), Op::Open, 0, false, UINT32_MAX,
       ZELQD_REASON_OK, 12, 12},
      {"short write", CodeWriteValue, 0, "", Op::Open, 0, false, 7, ZELQD_REASON_SENT_SHORT, 0, 0},
      {"silent", CodeReadBlock, 1, "", Op::Open, 0, false, UINT32_MAX, ZELQD_REASON_TIMEOUT, 12, 0},
      {"partial", CodeReadBlock, 1,
       "\x06"
       "0000",
       Op::Open, 0, false, UINT32_MAX, ZELQD_REASON_TIMEOUT, 12, 5},
      {"checksum", CodeWriteValue, 0, "\x06OK67\r", Op::Open, 0, false, UINT32_MAX,
       ZELQD_REASON_CHECKSUM, 6, 6},
      {"ERROR", CodeWriteValue, 0, std::string("\6ERROR\r\n\0", 9), Op::Open, 0, false, UINT32_MAX,
       ZELQD_REASON_ERROR_REPLY, 9, 9},
      {"no keyword", CodeWriteValue, 0, "\6ERRXR66\r", Op::Open, 0, false, UINT32_MAX,
       ZELQD_REASON_NO_KEYWORD, 9, 9},
      {"bad group", CodeReadBlock, 2, twoValues, Op::Open, 0, false, UINT32_MAX,
       ZELQD_REASON_BAD_VALUE_GROUP, 20, 20},
      {"read fails", CodeReadBlock, 1, "", Op::Read, 9, false, UINT32_MAX, ZELQD_REASON_IO_ERROR,
       12, 0},
      {"write fails", CodeWriteValue, 0, "", Op::Write, 28, false, UINT32_MAX,
       ZELQD_REASON_IO_ERROR, 0, 0},
      {"hang-up", CodeReadBlock, 1, "", Op::Read, 5, true, UINT32_MAX, ZELQD_REASON_HANG_UP, 12, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    seen.clear();
    RecordingPlatform platform;
    DriverInstance instance{};
    instance.port = platform.DoOpen("line");
    instance.leadByte = 4;
    instance.sequence = 32;
    platform.error = c.error;
    platform.hangUp = c.hangUp;
    platform.writeLimit = c.writeLimit;
    if (c.failing != Op::Open) platform.FailOn(c.failing, 0);
    platform.peer = [&platform, &c](const Bytes&) { platform.Feed(c.reply); };
    ValueSlot slots[2] = {{0, 7}, {0, 0}};
    TransferRequest request{};
    request.variableNumber = 42;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.valueCount = c.count;
    request.values = slots;
    const std::int32_t result = Call(instance, c.code, &request);

    const bool ok = c.reason == ZELQD_REASON_OK;
    EXPECT_EQ(result, ok ? ResultOk : ResultFailed);
    ASSERT_EQ(seen.size(), ok ? 1u : static_cast<std::size_t>(ZELQD_ATTEMPTS));
    for (std::size_t i = 0; i < seen.size(); ++i) {
      const ZelqdOutcome& o = seen[i].o;
      EXPECT_EQ(o.size, sizeof(ZelqdOutcome));
      EXPECT_EQ(o.kind, ZELQD_OUTCOME_ATTEMPT);
      EXPECT_EQ(o.reason, c.reason);
      EXPECT_EQ(o.result, result);
      EXPECT_EQ(o.instance, &instance);
      EXPECT_EQ(o.attempt, static_cast<std::int32_t>(i + 1));
      EXPECT_EQ(o.attempts, ZELQD_ATTEMPTS);
      EXPECT_EQ(o.variable, 42);
      EXPECT_EQ(o.count, c.count);
      EXPECT_EQ(seen[i].request.size(), c.code == CodeWriteValue ? 19u : 14u);
      EXPECT_EQ(seen[i].request.substr(0, 2), c.code == CodeWriteValue ? "\x04W" : "\x04R");
      EXPECT_EQ(seen[i].request.substr(3, 5), "00042");
      EXPECT_EQ(o.replyExpected, c.expected);
      EXPECT_EQ(o.replyReceived, c.received);
      EXPECT_EQ(seen[i].reply, c.reply.substr(0, static_cast<std::size_t>(c.received)));
      EXPECT_EQ(o.badGroup, c.reason == ZELQD_REASON_BAD_VALUE_GROUP ? 1 : -1);
      EXPECT_EQ(o.systemError, static_cast<std::int32_t>(c.error));
      EXPECT_GT(o.sentNs, 0u);
      EXPECT_GE(o.endedNs, o.sentNs);
      if (c.received > 0) {
        EXPECT_GE(o.firstReplyNs, o.sentNs);
        EXPECT_LE(o.firstReplyNs, o.endedNs);
      } else {
        EXPECT_EQ(o.firstReplyNs, 0u);
      }
    }
    if (c.reason == ZELQD_REASON_CHECKSUM) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(seen[0].o.checksumExpected), 2), "66");
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(seen[0].o.checksumSeen), 2), "67");
    }
  }
}

TEST_F(ObserverTest, AFailedOpenTellsItsStepAndError) {
  RecordingPlatform platform;
  platform.FailOn(Op::Open, 1);
  platform.failStep = serial::OpenStep::kLock;
  platform.error = 11;
  OpenRequest open{};
  std::string("/dev/ttyX3").copy(open.name, sizeof open.name - 1);
  open.active = 1;
  open.replyTimeout = 100;
  open.settings.baudRate = 9600;
  open.settings.dataBits = 8;
  DriverInstance other{};
  EXPECT_EQ(Call(other, CodeOpenPort, &open), ResultFailed);
  ASSERT_EQ(seen.size(), 1u);
  const ZelqdOutcome& o = seen[0].o;
  EXPECT_EQ(o.kind, ZELQD_OUTCOME_OPEN);
  EXPECT_EQ(o.reason, ZELQD_REASON_OPEN_FAILED);
  EXPECT_EQ(o.result, ResultFailed);
  EXPECT_EQ(o.instance, &other);
  EXPECT_EQ(o.attempt, 0);
  EXPECT_EQ(o.openStep, ZELQD_OPEN_STEP_LOCK);
  EXPECT_EQ(o.systemError, 11);
  EXPECT_EQ(seen[0].portName, "/dev/ttyX3");
  EXPECT_GT(o.endedNs, 0u);
}

// While another thread transfers without pause, observers are replaced
// and removed: once a set has returned, the observer it replaced is never
// called again, not even one that was running when the set began.
TEST(ObserverSwap, NoCallOfAReplacedObserverAfterTheSetReturns) {
  struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
  };
  const ZelqdObserver slow = [](const ZelqdOutcome*, void* context) {
    auto* c = static_cast<Counter*>(context);
    c->inside = true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    c->calls.fetch_add(1);
    c->inside = false;
  };
  RecordingPlatform platform;
  DriverInstance instance{};
  instance.port = platform.DoOpen("line");
  instance.leadByte = 4;
  instance.sequence = 32;
  platform.peer = [&platform](const Bytes&) { platform.Feed("\x06OK66\r"); };

  std::atomic<bool> stop{false};
  std::atomic<int> transfers{0};
  std::thread host([&] {
    ValueSlot slot{0, 1};
    TransferRequest request{};
    request.variableNumber = 7;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = &slot;
    request.valueCount = 1;
    while (!stop) {
      if (Call(instance, CodeWriteValue, &request) == ResultOk) transfers.fetch_add(1);
      platform.Clear();
    }
  });
  Counter counters[8];
  for (int round = 0; round < 8; ++round) {
    Counter& c = counters[round];
    zelqd_set_observer(slow, &c);
    while (c.calls < 5) std::this_thread::yield();
    zelqd_set_observer(round == 7 ? nullptr : slow, round == 7 ? nullptr : &counters[round + 1]);
    EXPECT_FALSE(c.inside) << round;
    const int after = c.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(c.calls, after) << round;
  }
  const int before = transfers;
  while (transfers < before + 20) std::this_thread::yield();
  stop = true;
  host.join();
  for (const Counter& c : counters) EXPECT_FALSE(c.inside);
}

}  // namespace
}  // namespace zelqd::testing
