#include "protocol/utc_clock.h"

namespace zelqd::trace {
namespace {

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

// The calendar repeats every 400 years: 146097 days.
constexpr std::int64_t kDaysPerEra = 146'097;

// Days from 0000-03-01 to 1970-01-01. Counting from 1 March puts the leap
// day at the end of each year, where it disturbs no month before it.
constexpr std::int64_t kDaysFromMarchZero = 719'468;

// Division that rounds toward negative infinity.
constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

UtcTime ToUtcTime(std::int64_t milliseconds) {
  const std::int64_t days = FloorDiv(milliseconds, kMillisecondsPerDay);
  const std::int64_t ofDay = milliseconds - days * kMillisecondsPerDay;  // 0..86399999

  // Split the day count into 400-year eras since 0000-03-01 and the day of
  // the era.
  const std::int64_t shifted = days + kDaysFromMarchZero;
  const std::int64_t era = FloorDiv(shifted, kDaysPerEra);
  const std::int64_t dayOfEra = shifted - era * kDaysPerEra;  // 0..146096
  // The year of the era: 365 days a year, less the leap days of every
  // fourth year, plus those of every hundredth, less that of the 400th.
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // 0..399
  const std::int64_t dayOfYear =
      dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);  // 0..365, from 1 March
  // Months from March have 31, 30, 31, 30, 31 days, repeating: 153 days in
  // every five.
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;  // 0..11
  const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;

  UtcTime t;
  t.year = static_cast<std::int32_t>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
  t.month = static_cast<std::uint32_t>(month);
  t.day = static_cast<std::uint32_t>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  t.hour = static_cast<std::uint32_t>(ofDay / 3'600'000);
  t.minute = static_cast<std::uint32_t>(ofDay / 60'000 % 60);
  t.second = static_cast<std::uint32_t>(ofDay / 1000 % 60);
  t.millisecond = static_cast<std::uint32_t>(ofDay % 1000);
  return t;
}

}  // namespace zelqd::trace
