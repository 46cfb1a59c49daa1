// zelpoll's own pieces: banner drawing, formats, addresses, exit codes, the
// notes from the driver's records, port names, and when a poll reopens its port.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cp437.h"
#include "exit_codes.h"
#include "line_quality.h"
#include "output.h"
#include "port_check.h"
#include "reopen_policy.h"
#include "session.h"
#include "tag_file.h"

namespace zelpoll {
namespace {

TEST(Cp437, DrawsTheBannerCharactersInUtf8) {
  struct Case {
    std::string cp437;
    std::string utf8;
  };
  const Case cases[] = {
      {"plain text\n", "plain text\n"},
      {"\xC9\xCD\xBB", "╔═╗"},
      {"\xBA \xBA", "║ ║"},
      {"\xC8\xCD\xBC", "╚═╝"},
      {"\xDB\xB2\xB1\xB0", "█▓▒░"},
      {"\x80\x9E\xE1\xFE", "Ç₧ß■"},
      {"\xFF", "\xC2\xA0"},  // no-break space
  };
  for (const auto& c : cases) EXPECT_EQ(Cp437ToUtf8(c.cp437), c.utf8);
}

TEST(Output, FieldsEscapedForTheirFormats) {
  EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
  EXPECT_EQ(JsonString("╔"), "\"╔\"");
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(Hex32(0xFFFFFF85u), "0xFFFFFF85");
  EXPECT_EQ(Hex32(42), "0x0000002A");
}

TEST(Output, TimestampsInUtcWithMilliseconds) {
  const TimePoint t{std::chrono::milliseconds(1700000000123)};
  EXPECT_EQ(IsoTime(t), "2023-11-14T22:13:20.123Z");
}

TEST(Addresses, BareNumbersAndStopAreSpelledForTheDriver) {
  EXPECT_EQ(AddressText("42"), "$00042");
  EXPECT_EQ(AddressText("0"), "$00000");
  EXPECT_EQ(AddressText("99999"), "$99999");
  EXPECT_EQ(AddressText("stop"), "$STOP");
  // Anything else is the driver's to judge, unchanged.
  EXPECT_EQ(AddressText("123456"), "123456");
  EXPECT_EQ(AddressText("$00042"), "$00042");
  EXPECT_EQ(AddressText("$stop"), "$stop");
  EXPECT_EQ(AddressText("-1"), "-1");
}

TEST(Poll, MedianOfLatencies) {
  EXPECT_EQ(Median({}), 0);
  EXPECT_EQ(Median({5}), 5);
  EXPECT_EQ(Median({9, 1, 5}), 5);
  EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
}

TEST(ExitCodes, GravestWins) {
  EXPECT_EQ(ExitFor(ResultOk), kExitOk);
  EXPECT_EQ(ExitFor(ResultRefused), kExitRefused);
  EXPECT_EQ(ExitFor(ResultFailed), kExitFailed);
  EXPECT_EQ(Graver(kExitOk, kExitRefused), kExitRefused);
  EXPECT_EQ(Graver(kExitFailed, kExitRefused), kExitFailed);
  EXPECT_EQ(Graver(kExitSetup, kExitFailed), kExitSetup);
  EXPECT_EQ(Graver(kExitFailed, kExitUsage), kExitUsage);
  EXPECT_EQ(Graver(kExitUsage, kExitOk), kExitUsage);
  EXPECT_EQ(Graver(kExitFailed, kExitInterrupted), kExitInterrupted);
  EXPECT_EQ(Graver(kExitSetup, kExitInterrupted), kExitSetup);
}

TEST(Addresses, BlocksThatRunPastTheLastVariable) {
  struct Case {
    const char* address;
    std::int32_t count;
    const char* problem;  // part of the sentence, or "" for none
  };
  const Case cases[] = {
      {"99998", 2, ""},   {"99998", 5, "from $99998 at most 2 values"},
      {"$99999", 1, ""},  {"$99999", 2, "from $99999 at most 1 values"},
      {"0", 106, ""},     {"99990", 0, ""},
      {"$9999", 106, ""},  // not five digits: the driver's to refuse
      {"stop", 2, ""},
  };
  for (const auto& c : cases) {
    const std::string problem = BlockRangeProblem(c.address, c.count);
    if (c.problem[0] == '\0') {
      EXPECT_EQ(problem, "") << c.address << " " << c.count;
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
      EXPECT_NE(problem.find("runs past variable 99999"), std::string::npos) << problem;
    }
  }
}

TEST(Addresses, NumbersOutsideTheVariablesNameTheRange) {
  struct Case {
    const char* command;
    const char* address;
    bool problem;
  };
  const Case cases[] = {
      {"read", "99999", false},     {"read", "$99999", false},     {"read", "100000", true},
      {"read", "$100000", true},    {"write", "0000100000", true}, {"read", "$000042", false},
      {"read", "TIC101.PV", false}, {"poll", "100000", true},      {"block", "123456", true},
      {"check", "100000", false},  // check passes the text to the driver unchanged
  };
  for (const auto& c : cases) {
    CommandArgs args;
    args.name = c.command;
    args.address = c.address;
    if (args.name == "poll") args.addresses = {"42", c.address};
    const std::string problem = CommandRangeProblem(args);
    EXPECT_EQ(!problem.empty(), c.problem) << c.command << " " << c.address << ": " << problem;
    if (c.problem) {
      EXPECT_NE(problem.find("outside the variables 0 to 99999"), std::string::npos);
    }
  }
  EXPECT_NE(AddressRangeProblem("0000100000").find("variable 100000 (from \"0000100000\")"),
            std::string::npos);
}

zeltools::PlantTag Tag(const char* name, zeltools::ValueType type, const char* unit, double scale,
                       double offset) {
  zeltools::PlantTag tag;
  tag.name = name;
  tag.type = type;
  tag.unit = unit;
  tag.scale = scale;
  tag.offset = offset;
  return tag;
}

TEST(Output, TagsShownByNameInTheirUnitsBesideTheRawValue) {
  using zeltools::ValueType;
  const auto temperature = Tag("TIC101.PV", ValueType::Int32, "degC", 0.1, 0);
  const auto counter = Tag("FQ1", ValueType::Uint32, "", 1, 10);
  const auto flow = Tag("FIC201.PV", ValueType::Float32, "m3/h", 1, 0);
  struct Case {
    Item item;
    const char* arrow;
    const char* text;
  };
  const Case cases[] = {
      {{"$00101", 215, &temperature}, " = ", "TIC101.PV = 21.5 degC (raw 215)"},
      {{"$00101", 0xFFFFFF38u, &temperature}, " = ", "TIC101.PV = -20 degC (raw -200)"},
      {{"$00101", std::nullopt, &temperature}, "=", "TIC101.PV=-"},
      {{"$00007", 0xFFFFFFFFu, &counter}, " <- ", "FQ1 <- 4294967305 (raw 4294967295)"},
      {{"$40010", 0x41A40000u, &flow}, " = ", "FIC201.PV = 20.5 m3/h (raw 0x41A40000)"},
      {{"$00042", 100, nullptr}, " = ", "$00042 = 100 (0x00000064)"},
  };
  for (const auto& c : cases) EXPECT_EQ(TextItem(c.item, c.arrow), c.text);
}

// An attempt's record as the driver makes it.
zeltools::Outcome Attempt(int number, ZelqdReason reason) {
  zeltools::Outcome o;
  o.attempt = number;
  o.attempts = 5;
  o.reason = reason;
  o.replyExpected = 12;
  return o;
}

TEST(Poll, LineQualityCountsAttemptsAndRetries) {
  const auto failed = Attempt(1, ZELQD_REASON_ERROR_REPLY);
  const auto ok = Attempt(2, ZELQD_REASON_OK);
  struct Case {
    std::vector<std::vector<zeltools::Outcome>> transfers;  // the records of each
    bool observed;
    std::int32_t result;
    const char* text;
  };
  const Case cases[] = {
      {{{ok}, {failed, ok}, {ok}},
       true,
       ResultOk,
       "transfers 3, attempts 4, retries 1 (25.0% of attempts)"},
      {{{failed, failed, failed, failed, failed}},
       true,
       ResultFailed,
       "transfers 1, attempts 5, retries 4 (80.0% of attempts)"},
      {{{}, {}}, true, ResultRefused, ""},  // STOP: nothing went to the line
      {{{ok}, {}},
       true,
       ResultOk,
       "transfers 1, attempts 1, retries 0 (0.0% of attempts), 1 more transfers without outcome "
       "records"},
      {{{ok}, {ok}}, false, ResultOk, "attempts not known (2 transfers without outcome records)"},
  };
  for (const auto& c : cases) {
    LineQuality line;
    for (const auto& records : c.transfers) line.Add(AttemptsOf(records, c.observed, c.result));
    EXPECT_EQ(line.Text(), c.text);
  }
}

TEST(Poll, NoteOfAFailedTransferFromItsRecords) {
  const auto timeOut = Attempt(1, ZELQD_REASON_TIMEOUT);
  const auto error = Attempt(2, ZELQD_REASON_ERROR_REPLY);
  zeltools::Outcome open;
  open.kind = ZELQD_OUTCOME_OPEN;
  open.reason = ZELQD_REASON_OPEN_FAILED;
  EXPECT_EQ(FailureNote({}), "");
  EXPECT_EQ(FailureNote({open}), "");
  EXPECT_EQ(FailureNote({error, error, error, error, error}), "ERROR reply, all 5 attempts");
  EXPECT_EQ(FailureNote({timeOut, error}), "ERROR reply (attempt 2/5)");
  EXPECT_EQ(FailureNote({error}), "ERROR reply (attempt 2/5)");
  EXPECT_EQ(FailureNote({timeOut, timeOut}),
            "no reply within the time-out (0 of 12 bytes), all 2 attempts");
}

TEST(Ports, NamesMappedToDevicesAsTheDriverDoes) {
  struct Case {
    const char* name;
    const char* path;
  };
  const Case cases[] = {
      {"ttyUSB0", "/dev/ttyUSB0"}, {"pts/3", "/dev/pts/3"},  {"/tmp/zl", "/tmp/zl"},
      {"COM1", "/dev/ttyS0"},      {"com12", "/dev/ttyS11"}, {"\\\\.\\COM3", "/dev/ttyS2"},
      {"NUL", "/dev/null"},        {"COM0", "/dev/COM0"},    {"COMX", "/dev/COMX"},
  };
  for (const auto& c : cases) EXPECT_EQ(DevicePath(c.name), c.path) << c.name;
}

TEST(Reopen, AfterAHangUpOrARunOfFailuresWithAGrowingPause) {
  using std::chrono::milliseconds;
  const ReopenPolicy::Clock::time_point t0{std::chrono::hours(1)};
  // Each step: a poll's outcome, then whether a reopen is due at that
  // time, and, when one is made, whether it opened the port.
  struct Step {
    int atMs;
    bool ok, gone;
    bool due;
    bool opened;  // when due: the reopen's outcome
  };
  struct Case {
    const char* what;
    ReopenSettings settings;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"three failures, then a reopen that brings the line back",
       {3, 100, 1000},
       {{0, false, false, false, false},
        {10, false, false, false, false},
        {20, false, false, true, true},
        {30, true, false, false, false}}},
      {"a hang-up at once; failed reopens 100, 200, 400, then 400 ms apart at most",
       {3, 100, 400},
       {{0, false, true, true, false},
        {50, false, false, false, false},
        {100, false, false, true, false},
        {250, false, false, false, false},
        {300, false, false, true, false},
        {650, false, false, false, false},
        {700, false, false, true, false},
        {1050, false, false, false, false},
        {1100, false, false, true, true},
        {1110, true, false, false, false}}},
      {"a success in between starts the count afresh",
       {2, 100, 1000},
       {{0, false, false, false, false},
        {10, true, false, false, false},
        {20, false, false, false, false},
        {30, false, false, true, true}}},
      {"a reopen that opens the port but not the line: the pause still grows",
       {1, 100, 1000},
       {{0, false, false, true, true},
        {50, false, false, false, false},
        {100, false, false, true, true},
        {250, false, false, false, false},
        {300, false, false, true, true}}},
      {"0: never",
       {0, 100, 1000},
       {{0, false, true, false, false}, {10, false, false, false, false}}},
  };
  for (const auto& c : cases) {
    ReopenPolicy policy(c.settings);
    for (const Step& s : c.steps) {
      const auto now = t0 + milliseconds(s.atMs);
      policy.PollDone(s.ok, s.gone);
      ASSERT_EQ(policy.Due(now), s.due) << c.what << " at " << s.atMs << " ms";
      if (s.due) policy.Reopened(s.opened, now);
    }
  }
}

}  // namespace
}  // namespace zelpoll
