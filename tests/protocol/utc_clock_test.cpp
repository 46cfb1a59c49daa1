// The trace's clock: the calendar arithmetic on known moments and across
// every day of five centuries, and the platform's clock against the C
// library's time().
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "protocol/utc_clock.h"

namespace zelqd::trace {
namespace {

std::string Format(const UtcTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u.%03u", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

TEST(UtcClock, KnownMoments) {
  struct Case {
    std::int64_t milliseconds;
    const char* expected;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00.000"},
      {-1, "1969-12-31T23:59:59.999"},
      {951827696789, "2000-02-29T12:34:56.789"},    // leap day of a 400th year
      {-2203891200000, "1900-03-01T00:00:00.000"},  // 1900 has no leap day
      {4107542399999, "2100-02-28T23:59:59.999"},   // nor has 2100
      {4107542400000, "2100-03-01T00:00:00.000"},
      {1709193600000, "2024-02-29T08:00:00.000"},
      {1798761599999, "2026-12-31T23:59:59.999"},
      {1798761600000, "2027-01-01T00:00:00.000"},
      {253402300799999, "9999-12-31T23:59:59.999"},
      {-11670998400000, "1600-02-29T00:00:00.000"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Format(ToUtcTime(c.milliseconds)), c.expected) << c.milliseconds;
}

bool IsLeap(std::int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::uint32_t DaysIn(std::int32_t year, std::uint32_t month) {
  static constexpr std::uint32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// From 1850 to 2350, each day's noon is the calendar day after the one
// before: every month has its length, every year its leap day or none.
TEST(UtcClock, EveryDayFollowsTheDayBefore) {
  constexpr std::int64_t kDay = 86'400'000;
  const std::int64_t first = -3'786'825'600'000;  // 1850-01-01T00:00:00Z
  UtcTime before = ToUtcTime(first - kDay / 2);
  ASSERT_EQ(Format(before), "1849-12-31T12:00:00.000");
  for (std::int64_t day = 0; day < 500 * 366; ++day) {
    const UtcTime t = ToUtcTime(first + day * kDay + kDay / 2);
    const bool sameMonth = before.day < DaysIn(before.year, before.month);
    const bool sameYear = sameMonth || before.month < 12;
    const UtcTime expected{sameYear ? before.year : before.year + 1,
                           sameMonth ? before.month : (sameYear ? before.month + 1 : 1),
                           sameMonth ? before.day + 1 : 1,
                           12,
                           0,
                           0,
                           0};
    ASSERT_EQ(Format(t), Format(expected)) << "day " << day;
    before = t;
  }
}

// The platform's clock counts from 1970 in UTC, as time() does.
TEST(UtcClock, NowAgreesWithTheCLibrary) {
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  const std::int64_t now = UtcNowMilliseconds();
  const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_GE(now, before * 1000);
  EXPECT_LT(now, (after + 1) * 1000);
}

}  // namespace
}  // namespace zelqd::trace
