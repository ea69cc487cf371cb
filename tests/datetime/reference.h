// Independent date arithmetic for the date/time tests, built on the
// standard library's civil calendar rather than on the code under test.
#ifndef ZQ_TESTS_DATETIME_REFERENCE_H_
#define ZQ_TESTS_DATETIME_REFERENCE_H_

#include <stdint.h>

#include <chrono>

#include "datetime/datetime.h"

namespace reference {

inline constexpr std::chrono::sys_days kEpoch{std::chrono::year{1980} / 1 / 1};

// Seconds since 1980-01-01 of a civil date; day may run past the month's end.
inline int64_t seconds_of(int year, unsigned month, unsigned day, unsigned hour = 0,
                          unsigned minute = 0, unsigned second = 0) {
  using namespace std::chrono;
  const sys_days first{std::chrono::year{year} / std::chrono::month{month} / 1};
  const int64_t days_since = (first - kEpoch).count() + static_cast<int64_t>(day) - 1;
  return days_since * 86400 + hour * 3600 + minute * 60 + second;
}

// Civil date of seconds since 1980-01-01.
inline BrokenDownDate date_of(uint32_t seconds) {
  using namespace std::chrono;
  const sys_days day = kEpoch + days{seconds / 86400};
  const year_month_day ymd{day};
  const uint32_t rest = seconds % 86400;
  BrokenDownDate d{};
  d.year = static_cast<uint16_t>(static_cast<int>(ymd.year()));
  d.month = static_cast<uint16_t>(static_cast<unsigned>(ymd.month()));
  d.day = static_cast<uint16_t>(static_cast<unsigned>(ymd.day()));
  d.weekday = static_cast<uint16_t>(weekday{day}.c_encoding());
  d.hour = static_cast<uint16_t>(rest / 3600);
  d.minute = static_cast<uint16_t>(rest % 3600 / 60);
  d.second = static_cast<uint16_t>(rest % 60);
  return d;
}

inline bool same_date(const BrokenDownDate& a, const BrokenDownDate& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.weekday == b.weekday;
}

}  // namespace reference

#endif  // ZQ_TESTS_DATETIME_REFERENCE_H_
