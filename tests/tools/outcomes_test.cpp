// The outcome channel: every reason's key and words, and records routed by
// the instance of their call.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "outcomes.h"

namespace zeltools {
namespace {

TEST(Outcomes, EveryReasonHasItsKeyAndWords) {
  struct Case {
    int reason;
    int received;
    int error;
    std::string key;
    std::string text;
    bool gone;
  };
  const Case cases[] = {
      {ZELQD_REASON_OK, 12, 0, "ok", "ok", false},
      {ZELQD_REASON_OUT_OF_RANGE, 0, 0, "out_of_range",
       "variable number, value count or value slots unusable; nothing sent", false},
      {ZELQD_REASON_SENT_SHORT, 0, 0, "short_write", "short write, request not sent completely",
       false},
      {ZELQD_REASON_TIMEOUT, 0, 0, "no_reply", "no reply within the time-out (0 of 12 bytes)",
       false},
      {ZELQD_REASON_TIMEOUT, 5, 0, "incomplete_reply",
       "incomplete reply at the time-out (5 of 12 bytes)", false},
      {ZELQD_REASON_CHECKSUM, 12, 0, "checksum", "checksum: expected 3A, received [00 0D]", false},
      {ZELQD_REASON_ERROR_REPLY, 9, 0, "error_reply", "ERROR reply", false},
      {ZELQD_REASON_NO_KEYWORD, 9, 0, "no_keyword", "reply carries neither OK nor ERROR", false},
      {ZELQD_REASON_BAD_VALUE_GROUP, 12, 0, "bad_value",
       "value group 0 is not eight hexadecimal digits", false},
      {ZELQD_REASON_HANG_UP, 0, 0, "hang_up", "hang-up: the device went away", true},
      {ZELQD_REASON_IO_ERROR, 0, EIO, "io_error", "I/O error (errno 5: Input/output error)", true},
      {ZELQD_REASON_IO_ERROR, 0, EINTR, "io_error", "I/O error (errno 4: Interrupted system call)",
       false},
      {ZELQD_REASON_OPEN_FAILED, 0, ENOENT, "open_failed",
       "open failed at step lock (errno 2: No such file or directory)", false},
      {42, 0, 0, "unknown", "a reason this tool does not know", false},
  };
  for (const Case& c : cases) {
    ZelqdOutcome r{};
    r.size = sizeof r;
    r.reason = c.reason;
    r.replyExpected = 12;
    r.replyReceived = c.received;
    r.badGroup = c.reason == ZELQD_REASON_BAD_VALUE_GROUP ? 0 : -1;
    const std::uint8_t expected[2] = {'3', 'A'}, seen[2] = {0x00, 0x0D};
    std::copy(expected, expected + 2, r.checksumExpected);
    std::copy(seen, seen + 2, r.checksumSeen);
    r.openStep = ZELQD_OPEN_STEP_LOCK;
    r.systemError = c.error;
    const Outcome o = CopyOutcome(r);
    EXPECT_EQ(ReasonKey(o), c.key) << c.reason;
    EXPECT_EQ(ReasonText(o), c.text) << c.reason;
    EXPECT_EQ(LineGone(o), c.gone) << c.reason;
  }
}

TEST(Outcomes, RecordsGoToTheSubscriberOfTheirInstance) {
  DriverInstance first{}, second{}, stranger{};
  Outcomes& channel = Outcomes::Instance();
  std::vector<std::string> seen;
  channel.Subscribe(&first, [&](const Outcome& o) { seen.push_back("first " + o.request); });
  channel.Subscribe(&second, [&](const Outcome& o) { seen.push_back("second " + o.request); });
  channel.SubscribeOthers([&](const Outcome& o) { seen.push_back("others " + o.request); });

  // The same request on two lines, then one nobody subscribed to, an open
  // outside any instance and one after its line unsubscribed.
  const std::string request = "\x02R0001230001AB\r";
  const auto send = [&](const DriverInstance* instance) {
    ZelqdOutcome r{};
    r.size = sizeof r;
    r.instance = instance;
    r.request = reinterpret_cast<const std::uint8_t*>(request.data());
    r.requestLength = static_cast<std::int32_t>(request.size());
    channel.Deliver(r);
  };
  send(&second);
  send(&first);
  send(&stranger);
  send(nullptr);
  channel.Unsubscribe(&first);
  send(&first);
  channel.Unsubscribe(&second);
  channel.SubscribeOthers(nullptr);
  send(&second);

  const std::vector<std::string> expected = {"second " + request, "first " + request,
                                             "others " + request, "others " + request,
                                             "others " + request};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace zeltools
