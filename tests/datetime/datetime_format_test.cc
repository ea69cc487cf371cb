#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "datetime/datetime.h"
#include "reference.h"

namespace {

const char* const kMonths[DATETIME_MONTHS] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[DATETIME_DAYS] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

DateTimeFormat english(const char* template_text) {
  DateTimeTexts texts{};
  texts.template_text = template_text;
  for (int i = 0; i < DATETIME_MONTHS; ++i) texts.month_names[i] = kMonths[i];
  for (int i = 0; i < DATETIME_DAYS; ++i) texts.day_names[i] = kDays[i];
  texts.am_text = "AM";
  texts.pm_text = "PM";
  DateTimeFormat f;
  build_datetime_format(texts, &f);
  return f;
}

std::string format(const DateTimeFormat& f, uint32_t s) {
  char text[DATETIME_TEXT_SIZE];
  return format_datetime_with(f, text, s);
}

uint32_t parse(const DateTimeFormat& f, const std::string& text) {
  return parse_datetime_with(f, text.data(), text.size());
}

uint32_t at(int year, unsigned month, unsigned day, unsigned hour = 0, unsigned minute = 0,
            unsigned second = 0) {
  return static_cast<uint32_t>(reference::seconds_of(year, month, day, hour, minute, second));
}

// ---- Building the format -----------------------------------------------------

TEST(DateTimeFormatBuild, KeywordPositionsAreFoundInTheLowerCasedTemplate) {
  const DateTimeFormat f = english("MO/DY/YR HR:MI:SC");
  EXPECT_STREQ(f.template_text, "mo/dy/yr hr:mi:sc");
  EXPECT_EQ(f.position[DTK_MO], 0);
  EXPECT_EQ(f.position[DTK_DY], 3);
  EXPECT_EQ(f.position[DTK_YR], 6);
  EXPECT_EQ(f.position[DTK_HR], 9);
  EXPECT_EQ(f.position[DTK_MI], 12);
  EXPECT_EQ(f.position[DTK_SC], 15);
  for (DateTimeKeyword k : {DTK_YEAR, DTK_MON, DTK_DOW, DTK_AH, DTK_AP}) {
    EXPECT_EQ(f.position[k], -1) << k;
  }
}

TEST(DateTimeFormatBuild, MonthNumberIsNotTakenFromInsideTheMonthName) {
  const DateTimeFormat name_only = english("dy-mon-year");
  EXPECT_EQ(name_only.position[DTK_MON], 3);
  EXPECT_EQ(name_only.position[DTK_MO], -1);
  const DateTimeFormat both = english("mon (mo) dy");
  EXPECT_EQ(both.position[DTK_MON], 0);
  EXPECT_EQ(both.position[DTK_MO], 5);
  const DateTimeFormat number_first = english("mo mon");
  EXPECT_EQ(number_first.position[DTK_MO], 0);
  EXPECT_EQ(number_first.position[DTK_MON], 3);
}

TEST(DateTimeFormatBuild, TemplateNamesAndMarkersAreCutOrPadded) {
  DateTimeTexts texts{};
  texts.template_text = "year-mo-dy hr:mi:sc .......................... sc";
  for (int i = 0; i < DATETIME_MONTHS; ++i) texts.month_names[i] = "January";
  texts.month_names[4] = "Ma";
  texts.month_names[5] = "";
  for (int i = 0; i < DATETIME_DAYS; ++i) texts.day_names[i] = nullptr;
  texts.am_text = "a.m.";
  texts.pm_text = "p";
  DateTimeFormat f;
  build_datetime_format(texts, &f);
  EXPECT_EQ(strlen(f.template_text), DATETIME_TEMPLATE_MAX);
  EXPECT_EQ(f.position[DTK_SC], 17);
  EXPECT_STREQ(f.month_names[0], "Jan");
  EXPECT_STREQ(f.month_names[4], "Ma ");
  EXPECT_STREQ(f.month_names[5], "   ");
  EXPECT_STREQ(f.day_names[3], "   ");
  EXPECT_STREQ(f.am_text, "a.");
  EXPECT_STREQ(f.pm_text, "p ");

  DateTimeTexts none{};
  build_datetime_format(none, &f);
  EXPECT_STREQ(f.template_text, "");
  for (int32_t p : f.position) EXPECT_EQ(p, -1);
}

TEST(DateTimeFormatBuild, KeywordCutByTheTemplateLimitIsAbsent) {
  // "hr" starts at 38: only its first letter is kept.
  const std::string text = std::string(38, '.') + "hr";
  const DateTimeFormat f = english(text.c_str());
  EXPECT_EQ(f.position[DTK_HR], -1);
  EXPECT_EQ(format(f, at(2024, 1, 1, 13)), std::string(38, '.') + "h");
}

// ---- Formatting ---------------------------------------------------------------

TEST(DateTimeFormatting, EpochInMonthDayYearOrder) {
  EXPECT_EQ(format(english("mo/dy/yr hr:mi:sc"), 0), "01/01/80 00:00:00");
  EXPECT_EQ(format(english("year-mo-dy hr:mi:sc"), at(2024, 2, 29, 13, 5, 9)),
            "2024-02-29 13:05:09");
  EXPECT_EQ(format(english("year-mo-dy hr:mi:sc"), UINT32_MAX), "2116-02-07 06:28:15");
}

TEST(DateTimeFormatting, NamesAndWeekday) {
  const DateTimeFormat f = english("dow, dy mon year");
  EXPECT_EQ(format(f, at(2024, 2, 29)), "Thu, 29 Feb 2024");
  EXPECT_EQ(format(f, 0), "Tue, 01 Jan 1980");
  EXPECT_EQ(format(f, at(2023, 12, 31)), "Sun, 31 Dec 2023");
}

TEST(DateTimeFormatting, TwelveHourClockAndMarkers) {
  const DateTimeFormat f = english("ah:mi ap");
  EXPECT_EQ(format(f, at(2024, 5, 1, 13, 5)), "01:05 PM");
  EXPECT_EQ(format(f, at(2024, 5, 1, 0, 30)), "00:30 AM");
  EXPECT_EQ(format(f, at(2024, 5, 1, 11, 59)), "11:59 AM");
  // From noon on the after-noon marker: the text reads back as the same hour.
  EXPECT_EQ(format(f, at(2024, 5, 1, 12, 30)), "00:30 PM");
  EXPECT_EQ(format(f, at(2024, 5, 1, 23, 59)), "11:59 PM");
}

TEST(DateTimeFormatting, OtherTemplateCharactersStayLowerCased) {
  EXPECT_EQ(format(english("On DY.MO. AT HR:MI"), at(2030, 6, 7, 8, 9)), "on 07.06. at 08:09");
  EXPECT_EQ(format(english(""), 12345), "");
  EXPECT_EQ(format(english("no keywords"), 12345), "no keywords");
}

TEST(DateTimeFormatting, OverlappingKeywordsFollowTheFixedOrder) {
  // "ah" at 0 and "hr" at 1 overlap: "hr" is written first, then "ah".
  const DateTimeFormat f = english("ahr");
  EXPECT_EQ(f.position[DTK_AH], 0);
  EXPECT_EQ(f.position[DTK_HR], 1);
  EXPECT_EQ(format(f, at(2024, 1, 1, 15)), "035");
  // A keyword inside other letters is still a keyword.
  EXPECT_EQ(format(english("yeap"), at(2024, 1, 1, 15)), "yePM");
}

TEST(DateTimeFormatting, NeverWritesPastTheTemplateLength) {
  const std::string longest = "year-mo-dy hr:mi:sc dow mon ah ap yr.....";
  const DateTimeFormat f = english(longest.c_str());
  char buffer[DATETIME_TEXT_SIZE];
  memset(buffer, '#', sizeof buffer);
  format_datetime_with(f, buffer, at(2099, 12, 31, 23, 59, 59));
  EXPECT_EQ(strlen(buffer), DATETIME_TEMPLATE_MAX);
  for (size_t i = DATETIME_TEMPLATE_MAX + 1; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#');
  EXPECT_EQ(format_datetime_with(f, nullptr, 0), nullptr);
}

// ---- Parsing -----------------------------------------------------------------

TEST(DateTimeParsing, ReadsEveryNumericField) {
  EXPECT_EQ(parse(english("year-mo-dy hr:mi:sc"), "2024-02-29 13:05:09"),
            at(2024, 2, 29, 13, 5, 9));
  EXPECT_EQ(parse(english("mo/dy/yr hr:mi:sc"), "01/01/80 00:00:00"), 0u);
}

TEST(DateTimeParsing, TwoDigitYearsCover1980To2079) {
  const DateTimeFormat f = english("yr");
  EXPECT_EQ(parse(f, "79"), at(2079, 1, 1));
  EXPECT_EQ(parse(f, "80"), 0u);
  EXPECT_EQ(parse(f, "99"), at(1999, 1, 1));
  EXPECT_EQ(parse(f, "00"), at(2000, 1, 1));
}

TEST(DateTimeParsing, MonthNamesAreMatchedWithoutRegardToCase) {
  const DateTimeFormat f = english("dy mon year");
  EXPECT_EQ(parse(f, "29 Feb 2024"), at(2024, 2, 29));
  EXPECT_EQ(parse(f, "29 FEB 2024"), at(2024, 2, 29));
  EXPECT_EQ(parse(f, "01 dec 1999"), at(1999, 12, 1));
  // No match leaves month 0, which counts as January.
  EXPECT_EQ(parse(f, "05 Foo 2024"), at(2024, 1, 5));
  // With a month number present the name is not read.
  const DateTimeFormat both = english("mon mo dy year");
  EXPECT_EQ(parse(both, "Dec 03 04 2024"), at(2024, 3, 4));
}

TEST(DateTimeParsing, WeekdayNameDoesNotChangeTheDate) {
  const DateTimeFormat f = english("dow dy mon year");
  EXPECT_EQ(parse(f, "Mon 29 Feb 2024"), at(2024, 2, 29));
  EXPECT_EQ(parse(f, "xyz 29 Feb 2024"), at(2024, 2, 29));
}

TEST(DateTimeParsing, TwelveHourClock) {
  const DateTimeFormat f = english("year-mo-dy ah:mi ap");
  EXPECT_EQ(parse(f, "2024-05-01 01:05 PM"), at(2024, 5, 1, 13, 5));
  EXPECT_EQ(parse(f, "2024-05-01 01:05 pm"), at(2024, 5, 1, 13, 5));
  EXPECT_EQ(parse(f, "2024-05-01 01:05 AM"), at(2024, 5, 1, 1, 5));
  EXPECT_EQ(parse(f, "2024-05-01 00:30 PM"), at(2024, 5, 1, 12, 30));
  EXPECT_EQ(parse(f, "2024-05-01 12:30 PM"), at(2024, 5, 1, 12, 30));
  EXPECT_EQ(parse(f, "2024-05-01 12:30 AM"), at(2024, 5, 1, 0, 30));
  EXPECT_EQ(parse(f, "2024-05-01 07:30 xx"), at(2024, 5, 1, 7, 30));
  // Without a marker "ah" is the hour as written.
  EXPECT_EQ(parse(english("year-mo-dy ah:mi"), "2024-05-01 15:30"), at(2024, 5, 1, 15, 30));
  // With "hr" present the 12-hour fields are not read.
  EXPECT_EQ(parse(english("year-mo-dy hr ah ap"), "2024-05-01 03 09 PM"), at(2024, 5, 1, 3));
}

TEST(DateTimeParsing, MissingYearAndDayCountAsFirstOf1980) {
  EXPECT_EQ(parse(english("hr:mi:sc"), "10:20:30"), 10u * 3600 + 20 * 60 + 30);
  EXPECT_EQ(parse(english("mo/dy"), "03/05"), at(1980, 3, 5));
  EXPECT_EQ(parse(english("mo year"), "07 2024"), at(2024, 7, 1));
  EXPECT_EQ(parse(english("year"), "1979"), 0u);
  EXPECT_EQ(parse(english("year"), "9999"), UINT32_MAX);
}

TEST(DateTimeParsing, NonDigitsEndANumber) {
  const DateTimeFormat f = english("year-mo-dy hr:mi:sc");
  EXPECT_EQ(parse(f, "2024-1x-2 -3a:4 :5?"), at(2024, 1, 2, 3, 4, 5));
  EXPECT_EQ(parse(f, "20x4-02-29 13:05:09"), at(1980, 2, 29, 13, 5, 9));
  EXPECT_EQ(parse(f, " 2024-02-29"), 0u);  // every field shifted onto a non-digit
  EXPECT_EQ(parse(f, "2024-+2--9 -1:-1:-1"), at(2024, 1, 1));
}

TEST(DateTimeParsing, ShortEmptyAndGarbageTextsGiveDefinedValues) {
  const DateTimeFormat f = english("year-mo-dy hr:mi:sc");
  EXPECT_EQ(parse(f, ""), 0u);
  EXPECT_EQ(parse_datetime_with(f, nullptr, 12), 0u);
  EXPECT_EQ(parse(f, "2024"), at(2024, 1, 1));
  EXPECT_EQ(parse(f, "2024-0"), at(2024, 1, 1));
  EXPECT_EQ(parse(f, "2024-03-07 1"), at(2024, 3, 7, 1));
  EXPECT_EQ(parse(f, "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"), 0u);
  EXPECT_EQ(parse(f, std::string(5000, '9')), UINT32_MAX);
  EXPECT_EQ(parse(english("dy mon"), "1"), at(1980, 1, 1));
}

TEST(DateTimeParsing, ReadsNoFurtherThanTheGivenLength) {
  const DateTimeFormat f = english("year-mo-dy hr:mi:sc");
  // Not NUL-terminated: the sanitizer build catches any read past the end.
  std::vector<char> exact(10);
  memcpy(exact.data(), "2024-02-29", 10);
  EXPECT_EQ(parse_datetime_with(f, exact.data(), exact.size()), at(2024, 2, 29));
  const char full[] = "2024-02-29 13:05:09";
  EXPECT_EQ(parse_datetime_with(f, full, 12), at(2024, 2, 29, 1));
  EXPECT_EQ(parse_datetime_with(f, full, 0), 0u);
}

// ---- Format and parse together -------------------------------------------------

TEST(DateTimeRoundTrip, FormattedTextsParseBackToTheSameSeconds) {
  const char* const templates[] = {"year-mo-dy hr:mi:sc", "mo/dy/year hr:mi:sc",
                                   "dow dy mon year hr:mi:sc", "dy.mo.year ah:mi:sc ap",
                                   "HR:MI:SC DY/MON/YEAR"};
  std::mt19937 rng(1980);
  for (const char* t : templates) {
    const DateTimeFormat f = english(t);
    for (int i = 0; i < 20000; ++i) {
      const uint32_t s = static_cast<uint32_t>(rng());
      ASSERT_EQ(parse(f, format(f, s)), s) << t << " " << format(f, s);
    }
  }
}

TEST(DateTimeRoundTrip, TwoDigitYearTemplatesKeep1980To2079) {
  const DateTimeFormat f = english("mo/dy/yr hr:mi:sc");
  const uint32_t end = at(2080, 1, 1);
  std::mt19937 rng(79);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t s = static_cast<uint32_t>(rng() % end);
    ASSERT_EQ(parse(f, format(f, s)), s) << format(f, s);
  }
  EXPECT_EQ(parse(f, format(f, end - 1)), end - 1);
}

// ---- The process-wide format ----------------------------------------------------

TEST(DateTimeProcessFormat, SetFormatIsUsedByFormatAndParse) {
  const DateTimeFormat saved = datetime_format();
  set_datetime_format(english("year/mo/dy hr.mi.sc"));
  char text[DATETIME_TEXT_SIZE];
  EXPECT_STREQ(format_datetime(text, at(2001, 9, 8, 7, 6, 5)), "2001/09/08 07.06.05");
  EXPECT_EQ(parse_datetime("2001/09/08 07.06.05"), at(2001, 9, 8, 7, 6, 5));
  EXPECT_EQ(parse_datetime(nullptr), 0u);
  set_datetime_format(saved);
}

}  // namespace
