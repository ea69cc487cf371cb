#include <gtest/gtest.h>

#include "datetime/datetime.h"
#include "reference.h"

namespace {

BrokenDownDate make_date(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0) {
  BrokenDownDate d{};
  d.year = static_cast<uint16_t>(year);
  d.month = static_cast<uint16_t>(month);
  d.day = static_cast<uint16_t>(day);
  d.hour = static_cast<uint16_t>(hour);
  d.minute = static_cast<uint16_t>(minute);
  d.second = static_cast<uint16_t>(second);
  return d;
}

::testing::AssertionResult converts_both_ways(uint32_t s) {
  const BrokenDownDate got = seconds_to_date(s);
  const BrokenDownDate want = reference::date_of(s);
  if (!reference::same_date(got, want)) {
    return ::testing::AssertionFailure()
           << s << " gives " << got.year << "-" << got.month << "-" << got.day << " " << got.hour
           << ":" << got.minute << ":" << got.second << " wd " << got.weekday << ", expected "
           << want.year << "-" << want.month << "-" << want.day << " wd " << want.weekday;
  }
  const uint32_t back = date_to_seconds(got);
  if (back != s) return ::testing::AssertionFailure() << s << " comes back as " << back;
  return ::testing::AssertionSuccess();
}

TEST(Calendar, EpochIsTuesdayFirstOfJanuary1980) {
  const BrokenDownDate d = seconds_to_date(0);
  EXPECT_EQ(d.year, 1980);
  EXPECT_EQ(d.month, 1);
  EXPECT_EQ(d.day, 1);
  EXPECT_EQ(d.hour, 0);
  EXPECT_EQ(d.minute, 0);
  EXPECT_EQ(d.second, 0);
  EXPECT_EQ(d.weekday, 2);

  const BrokenDownDate next_year = seconds_to_date(31622400);
  EXPECT_EQ(next_year.year, 1981);
  EXPECT_EQ(next_year.month, 1);
  EXPECT_EQ(next_year.day, 1);
  const BrokenDownDate last_of_leap_year = seconds_to_date(31622399);
  EXPECT_EQ(last_of_leap_year.year, 1980);
  EXPECT_EQ(last_of_leap_year.month, 12);
  EXPECT_EQ(last_of_leap_year.day, 31);
  EXPECT_EQ(last_of_leap_year.hour, 23);
  EXPECT_EQ(last_of_leap_year.second, 59);
}

TEST(Calendar, DateToSecondsKnownValues) {
  EXPECT_EQ(date_to_seconds(make_date(1980, 1, 1)), 0u);
  EXPECT_EQ(date_to_seconds(make_date(1980, 3, 1)), 5184000u);
  EXPECT_EQ(date_to_seconds(make_date(2000, 2, 29, 12)), 636292800u);
  EXPECT_EQ(date_to_seconds(make_date(2116, 2, 7, 6, 28, 15)), UINT32_MAX);
}

TEST(Calendar, WeekdayIsIgnoredByDateToSeconds) {
  BrokenDownDate d = make_date(2024, 2, 29, 1, 2, 3);
  const uint32_t s = date_to_seconds(d);
  d.weekday = 6;
  EXPECT_EQ(date_to_seconds(d), s);
}

TEST(Calendar, LeapYearsFollowTheGregorianRule) {
  EXPECT_TRUE(is_leap_year(1980));
  EXPECT_TRUE(is_leap_year(2000));
  EXPECT_TRUE(is_leap_year(2024));
  EXPECT_FALSE(is_leap_year(1900));
  EXPECT_FALSE(is_leap_year(2100));
  EXPECT_FALSE(is_leap_year(2023));
  for (int y = 1980; y <= 2200; ++y) {
    EXPECT_EQ(is_leap_year(y), std::chrono::year{y}.is_leap()) << y;
  }
}

TEST(Calendar, EveryDayBoundaryFrom1980To2100ConvertsBothWays) {
  const int64_t last = reference::seconds_of(2101, 1, 1);
  for (int64_t s = 0; s <= last; s += SECONDS_PER_DAY) {
    ASSERT_TRUE(converts_both_ways(static_cast<uint32_t>(s)));
    if (s > 0) {
      ASSERT_TRUE(converts_both_ways(static_cast<uint32_t>(s - 1)));
    }
  }
}

TEST(Calendar, SweepUpToTheLargestCountConvertsBothWays) {
  // An odd step walks through every time of day and every day of the range.
  constexpr uint32_t kStep = 60817;
  for (uint64_t s = 0; s <= UINT32_MAX; s += kStep) {
    ASSERT_TRUE(converts_both_ways(static_cast<uint32_t>(s)));
  }
  for (uint32_t s = UINT32_MAX - 100000; s != 0; ++s) {
    ASSERT_TRUE(converts_both_ways(s));
  }
  const BrokenDownDate last = seconds_to_date(UINT32_MAX);
  EXPECT_EQ(last.year, 2116);
  EXPECT_EQ(last.month, 2);
  EXPECT_EQ(last.day, 7);
  EXPECT_EQ(last.hour, 6);
  EXPECT_EQ(last.minute, 28);
  EXPECT_EQ(last.second, 15);
}

TEST(Calendar, YearsBefore1980CountAs1980) {
  const uint32_t march_1980 = date_to_seconds(make_date(1980, 3, 5, 10, 20, 30));
  EXPECT_EQ(date_to_seconds(make_date(1979, 3, 5, 10, 20, 30)), march_1980);
  EXPECT_EQ(date_to_seconds(make_date(100, 3, 5, 10, 20, 30)), march_1980);
  EXPECT_EQ(date_to_seconds(make_date(0, 3, 5, 10, 20, 30)), march_1980);
  EXPECT_EQ(date_to_seconds(make_date(1900, 2, 29)), date_to_seconds(make_date(1980, 2, 29)));
}

TEST(Calendar, DayAndMonthZeroCountAsTheFirst) {
  EXPECT_EQ(date_to_seconds(make_date(2024, 5, 0, 8)), date_to_seconds(make_date(2024, 5, 1, 8)));
  EXPECT_EQ(date_to_seconds(make_date(2024, 0, 9)), date_to_seconds(make_date(2024, 1, 9)));
  EXPECT_EQ(date_to_seconds(make_date(0, 0, 0)), 0u);
}

TEST(Calendar, FieldsBeyondTheirRangeRunOn) {
  EXPECT_EQ(date_to_seconds(make_date(2023, 13, 1)), date_to_seconds(make_date(2024, 1, 1)));
  EXPECT_EQ(date_to_seconds(make_date(2023, 25, 3)), date_to_seconds(make_date(2025, 1, 3)));
  EXPECT_EQ(date_to_seconds(make_date(2023, 2, 29)), date_to_seconds(make_date(2023, 3, 1)));
  EXPECT_EQ(date_to_seconds(make_date(2024, 1, 32)), date_to_seconds(make_date(2024, 2, 1)));
  EXPECT_EQ(date_to_seconds(make_date(2024, 1, 1, 25, 61, 61)),
            date_to_seconds(make_date(2024, 1, 2, 2, 2, 1)));
  EXPECT_EQ(date_to_seconds(make_date(2024, 1, 1, 99, 99, 99)),
            static_cast<uint32_t>(reference::seconds_of(2024, 1, 1) + 99 * 3600 + 99 * 60 + 99));
}

TEST(Calendar, CountsBeyondTheRangeAreHeldAtTheLargest) {
  EXPECT_EQ(date_to_seconds(make_date(2116, 2, 7, 6, 28, 16)), UINT32_MAX);
  EXPECT_EQ(date_to_seconds(make_date(2117, 1, 1)), UINT32_MAX);
  EXPECT_EQ(date_to_seconds(make_date(9999, 12, 31, 23, 59, 59)), UINT32_MAX);
  EXPECT_EQ(date_to_seconds(make_date(65535, 65535, 65535, 65535, 65535, 65535)), UINT32_MAX);
}

}  // namespace
