// Calendar arithmetic on seconds since 1980-01-01 00:00:00.
#include "datetime/datetime.h"

namespace {

constexpr uint32_t kSecondsPerHour = 3600;
constexpr uint32_t kSecondsPerMinute = 60;
constexpr uint32_t kDaysPerYear = 365;
constexpr uint32_t kSecondsPerYear = kDaysPerYear * SECONDS_PER_DAY;
constexpr uint32_t kSecondsPerLeapYear = (kDaysPerYear + 1) * SECONDS_PER_DAY;
constexpr int kMonthsPerYear = 12;
constexpr uint16_t kEpochWeekday = 2;  // 1980-01-01 was a Tuesday
constexpr int kDaysPerWeek = 7;

// Days before the first of each month, in a common and in a leap year.
constexpr uint16_t kDaysBeforeMonth[2][kMonthsPerYear] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335},
};

// Leap years in 1..year.
int64_t leap_years_through(int64_t year) {
  return year / 4 - year / 100 + year / 400;
}

// Days from 1980-01-01 to January 1st of year (year >= 1980).
int64_t days_before_year(int64_t year) {
  const int64_t leaps = leap_years_through(year - 1) - leap_years_through(DATETIME_EPOCH_YEAR - 1);
  return (year - DATETIME_EPOCH_YEAR) * kDaysPerYear + leaps;
}

}  // namespace

bool is_leap_year(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

BrokenDownDate seconds_to_date(uint32_t seconds) {
  BrokenDownDate date{};
  date.weekday = static_cast<uint16_t>((seconds / SECONDS_PER_DAY + kEpochWeekday) % kDaysPerWeek);

  int year = DATETIME_EPOCH_YEAR;
  for (;;) {
    const uint32_t length = is_leap_year(year) ? kSecondsPerLeapYear : kSecondsPerYear;
    if (seconds < length) break;
    seconds -= length;
    ++year;
  }
  date.year = static_cast<uint16_t>(year);

  const uint32_t day_of_year = seconds / SECONDS_PER_DAY;
  seconds %= SECONDS_PER_DAY;
  const uint16_t* before = kDaysBeforeMonth[is_leap_year(year) ? 1 : 0];
  int month = kMonthsPerYear - 1;
  while (before[month] > day_of_year) --month;
  date.month = static_cast<uint16_t>(month + 1);
  date.day = static_cast<uint16_t>(day_of_year - before[month] + 1);

  date.hour = static_cast<uint16_t>(seconds / kSecondsPerHour);
  date.minute = static_cast<uint16_t>(seconds % kSecondsPerHour / kSecondsPerMinute);
  date.second = static_cast<uint16_t>(seconds % kSecondsPerMinute);
  return date;
}

uint32_t date_to_seconds(const BrokenDownDate& date) {
  // Month 0 counts as January; months above 12 carry into the years.
  const int64_t month_index = date.month == 0 ? 0 : date.month - 1;
  int64_t year = static_cast<int64_t>(date.year) + month_index / kMonthsPerYear;
  const int month = static_cast<int>(month_index % kMonthsPerYear);
  if (year < DATETIME_EPOCH_YEAR) year = DATETIME_EPOCH_YEAR;

  const int64_t day_index = date.day == 0 ? 0 : date.day - 1;
  const int leap = is_leap_year(static_cast<int>(year)) ? 1 : 0;
  const int64_t days = days_before_year(year) + kDaysBeforeMonth[leap][month] + day_index;
  const int64_t total = days * SECONDS_PER_DAY + date.hour * int64_t{kSecondsPerHour} +
                        date.minute * int64_t{kSecondsPerMinute} + date.second;
  if (total > int64_t{UINT32_MAX}) return UINT32_MAX;
  return static_cast<uint32_t>(total);
}
