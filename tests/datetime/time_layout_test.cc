#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "datetime/datetime.h"
#include "reference.h"

namespace {

TimeLayout parsed(const char* text) {
  TimeLayout layout = empty_time_layout();
  EXPECT_EQ(parse_time_layout(text, &layout), 0) << text;
  return layout;
}

void expect_absent_except(const TimeLayout& layout, std::vector<TimeField> present) {
  for (int f = 0; f < TIME_FIELD_COUNT; ++f) {
    bool listed = false;
    for (TimeField p : present) listed = listed || p == f;
    if (!listed) {
      EXPECT_EQ(layout.offset[f], -1) << "field " << f;
    }
  }
}

uint16_t host_word(const uint8_t* bytes) {
  uint16_t w;
  memcpy(&w, bytes, sizeof w);
  return w;
}

// ---- Definition language ----------------------------------------------------

TEST(TimeLayoutText, BcdYearToSecondIsSixBytesInOrder) {
  const TimeLayout l = parsed("BCD YR MO DY HR MI SC");
  EXPECT_EQ(l.size, 6);
  EXPECT_EQ(l.bcd, 1);
  EXPECT_EQ(l.offset[TIME_YR], 0);
  EXPECT_EQ(l.offset[TIME_MO], 1);
  EXPECT_EQ(l.offset[TIME_DY], 2);
  EXPECT_EQ(l.offset[TIME_HR], 3);
  EXPECT_EQ(l.offset[TIME_MI], 4);
  EXPECT_EQ(l.offset[TIME_SC], 5);
  expect_absent_except(l, {TIME_YR, TIME_MO, TIME_DY, TIME_HR, TIME_MI, TIME_SC});
  EXPECT_EQ(l.month_base, 1);
  EXPECT_EQ(l.day_base, 1);
}

TEST(TimeLayoutText, YearTakesTwoBytesAndXSkipsOne) {
  const TimeLayout l = parsed("BIN YEAR MO DY");
  EXPECT_EQ(l.size, 4);
  EXPECT_EQ(l.bcd, 0);
  EXPECT_EQ(l.offset[TIME_YEAR], 0);
  EXPECT_EQ(l.offset[TIME_MO], 2);
  EXPECT_EQ(l.offset[TIME_DY], 3);

  const TimeLayout skipped = parsed("BIN X HR X X MI");
  EXPECT_EQ(skipped.size, 5);
  EXPECT_EQ(skipped.offset[TIME_HR], 1);
  EXPECT_EQ(skipped.offset[TIME_MI], 4);
  expect_absent_except(skipped, {TIME_HR, TIME_MI});
}

TEST(TimeLayoutText, CaseCommasAndRepeatedSeparatorsAreAccepted) {
  const TimeLayout l = parsed("  bcd,yp ,, Yr\tmo1,dy0  dow0 ");
  EXPECT_EQ(l.size, 5);
  EXPECT_EQ(l.bcd, 1);
  EXPECT_EQ(l.offset[TIME_YP], 0);
  EXPECT_EQ(l.offset[TIME_YR], 1);
  EXPECT_EQ(l.offset[TIME_MO], 2);
  EXPECT_EQ(l.offset[TIME_DY], 3);
  EXPECT_EQ(l.offset[TIME_DOW], 4);
  EXPECT_EQ(l.month_base, 1);
  EXPECT_EQ(l.day_base, 0);
  EXPECT_EQ(l.dow_base, 0);
}

TEST(TimeLayoutText, BaseTokensChooseTheDeviceNumbering) {
  const TimeLayout zero = parsed("BIN MO0 DY0 DOW0");
  EXPECT_EQ(zero.month_base, 0);
  EXPECT_EQ(zero.day_base, 0);
  EXPECT_EQ(zero.dow_base, 0);
  const TimeLayout one = parsed("BIN MO1 DY1 DOW1");
  EXPECT_EQ(one.month_base, 1);
  EXPECT_EQ(one.day_base, 1);
  EXPECT_EQ(one.dow_base, 1);
  const TimeLayout plain = parsed("BIN MO DY DOW");
  EXPECT_EQ(plain.month_base, 1);
  EXPECT_EQ(plain.day_base, 1);
  EXPECT_EQ(plain.dow_base, 1);
}

TEST(TimeLayoutText, FormatWordAloneGivesAnEmptyLayout) {
  const TimeLayout l = parsed("BIN");
  EXPECT_EQ(l.size, 0);
  expect_absent_except(l, {});
}

TEST(TimeLayoutText, BadTextsFailAndLeaveTheResultAlone) {
  const char* const bad[] = {
      "",        "   , ,",      "TIM0",           "HEX YR MO",     "YR MO DY",
      "BCDX YR", "BCD YR FOO",  "BCD YEARS",      "BCD MO2",       "BCD DOW00",
      "BCD,,Q",  "BIN HR MI S", "BIN HRMISCXXXX", "BCD YR MO\x01", "BIN YR MO DY HR MI SC SECOND",
  };
  for (const char* text : bad) {
    TimeLayout l = parsed("BCD SC");
    EXPECT_EQ(parse_time_layout(text, &l), -1) << text;
    EXPECT_EQ(l.size, 1) << text;
    EXPECT_EQ(l.offset[TIME_SC], 0) << text;
  }
  TimeLayout l = empty_time_layout();
  EXPECT_EQ(parse_time_layout(nullptr, &l), -1);
  EXPECT_EQ(parse_time_layout("BCD YR", nullptr), -1);
}

TEST(TimeLayoutText, LayoutsLongerThanTheLimitFail) {
  std::string text = "BIN";
  for (int i = 0; i < TIME_LAYOUT_MAX_SIZE - 1; ++i) text += " X";
  text += " SC";
  const TimeLayout longest = parsed(text.c_str());
  EXPECT_EQ(longest.size, TIME_LAYOUT_MAX_SIZE);
  EXPECT_EQ(longest.offset[TIME_SC], TIME_LAYOUT_MAX_SIZE - 1);

  TimeLayout l = empty_time_layout();
  EXPECT_EQ(parse_time_layout((text + " X").c_str(), &l), -1);
  std::string year_last = "BIN";
  for (int i = 0; i < TIME_LAYOUT_MAX_SIZE - 1; ++i) year_last += " X";
  EXPECT_EQ(parse_time_layout((year_last + " YEAR").c_str(), &l), -1);
  std::string huge = "BCD";
  for (int i = 0; i < 100000; ++i) huge += ",YEAR";
  EXPECT_EQ(parse_time_layout(huge.c_str(), &l), -1);
}

// ---- The installed table ----------------------------------------------------

TEST(TimeLayoutTable, LoadsAllTenOrNone) {
  const char* good[TIME_LAYOUT_COUNT] = {"BCD YR MO DY HR MI SC",
                                         "BIN YEAR MO DY",
                                         "BIN HR",
                                         "BIN MI",
                                         "BIN SC",
                                         "BCD DY",
                                         "BCD MO",
                                         "BIN X",
                                         "BIN YP",
                                         "BCD YR MO DY DOW HR MI SC"};
  ASSERT_EQ(load_time_layouts_from(good), 0);
  EXPECT_EQ(time_layout(0)->size, 6);
  EXPECT_EQ(time_layout(1)->offset[TIME_YEAR], 0);
  EXPECT_EQ(time_layout(9)->size, 7);

  const char* one_bad[TIME_LAYOUT_COUNT] = {"BIN SC", "BIN SC", "BIN SC", "BIN SC", "BIN SC",
                                            "BIN SC", "BIN SC", "BIN SC", "BIN SC", "TIM9"};
  EXPECT_EQ(load_time_layouts_from(one_bad), -1);
  EXPECT_EQ(time_layout(0)->size, 6);
  EXPECT_EQ(time_layout(9)->size, 7);
  const char* one_missing[TIME_LAYOUT_COUNT] = {"BIN SC", nullptr};
  EXPECT_EQ(load_time_layouts_from(one_missing), -1);
  EXPECT_EQ(load_time_layouts_from(nullptr), -1);
  EXPECT_EQ(time_layout(1)->size, 4);
}

TEST(TimeLayoutTable, OnlyNumbersZeroToNineExist) {
  EXPECT_EQ(time_layout(-1), nullptr);
  EXPECT_EQ(time_layout(TIME_LAYOUT_COUNT), nullptr);
  for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) EXPECT_NE(time_layout(i), nullptr);
}

// ---- Decoding ---------------------------------------------------------------

TEST(TimeBlockDecode, BcdFieldsGiveTheDate) {
  const TimeLayout l = parsed("BCD YR MO DY HR MI SC");
  const uint8_t block[] = {0x24, 0x02, 0x29, 0x13, 0x05, 0x59};
  EXPECT_EQ(decode_time_block(block, sizeof block, l),
            reference::seconds_of(2024, 2, 29, 13, 5, 59));
}

TEST(TimeBlockDecode, SixteenBitYearIsReadInHostOrder) {
  const TimeLayout l = parsed("BIN YEAR MO DY");
  uint8_t block[4];
  const uint16_t year = 2031;
  memcpy(block, &year, sizeof year);
  block[2] = 7;
  block[3] = 14;
  EXPECT_EQ(decode_time_block(block, sizeof block, l), reference::seconds_of(2031, 7, 14));
}

TEST(TimeBlockDecode, ZeroBasedDayInBcd) {
  const TimeLayout l = parsed("BCD YR MO DY0");
  const uint8_t block[] = {0x24, 0x03, 0x09};
  EXPECT_EQ(decode_time_block(block, sizeof block, l), reference::seconds_of(2024, 3, 10));
  const TimeLayout month0 = parsed("BIN YR MO0 DY");
  const uint8_t zero_based[] = {24, 0, 5};
  EXPECT_EQ(decode_time_block(zero_based, sizeof zero_based, month0),
            reference::seconds_of(2024, 1, 5));
}

TEST(TimeBlockDecode, TwoDigitYearPivotsAt80) {
  const TimeLayout l = parsed("BIN YR");
  const uint8_t y79[] = {79};
  const uint8_t y80[] = {80};
  const uint8_t y99[] = {99};
  const uint8_t y00[] = {0};
  EXPECT_EQ(decode_time_block(y79, 1, l), reference::seconds_of(2079, 1, 1));
  EXPECT_EQ(decode_time_block(y80, 1, l), 0u);
  EXPECT_EQ(decode_time_block(y99, 1, l), reference::seconds_of(1999, 1, 1));
  EXPECT_EQ(decode_time_block(y00, 1, l), reference::seconds_of(2000, 1, 1));

  const TimeLayout century = parsed("BCD YP YR");
  const uint8_t y2101[] = {0x21, 0x01};
  EXPECT_EQ(decode_time_block(y2101, 2, century), reference::seconds_of(2101, 1, 1));
  const TimeLayout hundreds_only = parsed("BIN YP");
  const uint8_t c20[] = {20};
  EXPECT_EQ(decode_time_block(c20, 1, hundreds_only), reference::seconds_of(2000, 1, 1));
}

TEST(TimeBlockDecode, YearFieldReplacesCenturyAndTwoDigitYear) {
  const TimeLayout l = parsed("BIN YP YR YEAR");
  uint8_t block[4] = {19, 85, 0, 0};
  const uint16_t year = 2050;
  memcpy(block + 2, &year, sizeof year);
  EXPECT_EQ(decode_time_block(block, sizeof block, l), reference::seconds_of(2050, 1, 1));
}

TEST(TimeBlockDecode, BlockShorterThanTheLayoutGivesZero) {
  const TimeLayout l = parsed("BCD YR MO DY HR MI SC");
  const uint8_t block[] = {0x24, 0x02, 0x29, 0x13, 0x05, 0x59};
  EXPECT_EQ(decode_time_block(block, 5, l), 0u);
  EXPECT_EQ(decode_time_block(block, 0, l), 0u);
  EXPECT_EQ(decode_time_block(nullptr, 6, l), 0u);
  // Extra bytes after the layout are ignored.
  const uint8_t longer[] = {0x24, 0x02, 0x29, 0x13, 0x05, 0x59, 0x77, 0x88};
  EXPECT_EQ(decode_time_block(longer, sizeof longer, l),
            reference::seconds_of(2024, 2, 29, 13, 5, 59));
}

TEST(TimeBlockDecode, MissingFieldsCountFromFirstOfJanuary1980) {
  const TimeLayout time_only = parsed("BIN HR MI SC");
  const uint8_t t[] = {17, 45, 3};
  EXPECT_EQ(decode_time_block(t, sizeof t, time_only), 17u * 3600 + 45 * 60 + 3);
  const TimeLayout no_year = parsed("BIN MO DY");
  const uint8_t md[] = {12, 24};
  EXPECT_EQ(decode_time_block(md, sizeof md, no_year), reference::seconds_of(1980, 12, 24));
  const TimeLayout empty = parsed("BCD");
  EXPECT_EQ(decode_time_block(t, 0, empty), 0u);
  const TimeLayout weekday_only = parsed("BIN DOW");
  const uint8_t w[] = {5};
  EXPECT_EQ(decode_time_block(w, 1, weekday_only), 0u);
}

TEST(TimeBlockDecode, InvalidDeviceBytesGiveAValueWithoutFailing) {
  const TimeLayout bcd = parsed("BCD YP YR MO DY HR MI SC DOW");
  uint8_t ff[8];
  memset(ff, 0xFF, sizeof ff);
  // 0xFF reads as 165 in every field: year 16665 is beyond the range.
  EXPECT_EQ(decode_time_block(ff, sizeof ff, bcd), UINT32_MAX);
  const TimeLayout bin = parsed("BIN YR MO DY HR MI SC");
  const uint8_t zeros[6] = {};
  EXPECT_EQ(decode_time_block(zeros, sizeof zeros, bin), reference::seconds_of(2000, 1, 1));
  const uint8_t month13[] = {23, 13, 1, 0, 0, 0};
  EXPECT_EQ(decode_time_block(month13, sizeof month13, bin), reference::seconds_of(2024, 1, 1));
}

TEST(TimeBlockDecode, HandBuiltLayoutReachingPastTheBytesIsNotRead) {
  TimeLayout l = empty_time_layout();
  l.size = 2;
  l.offset[TIME_HR] = 0;
  l.offset[TIME_MI] = 40;   // beyond the bytes: counts as absent
  l.offset[TIME_YEAR] = 1;  // its second byte would lie past the end
  const uint8_t bytes[] = {5, 0xEE};
  EXPECT_EQ(decode_time_block(bytes, sizeof bytes, l), 5u * 3600);
  l.size = -3;
  EXPECT_EQ(decode_time_block(bytes, sizeof bytes, l), 0u);
}

// ---- Encoding ---------------------------------------------------------------

TEST(TimeBlockEncode, LeapDayIntoCenturyYearMonthDayBcd) {
  const TimeLayout l = parsed("BCD YP YR MO DY");
  uint8_t block[4] = {};
  encode_time_block(block, static_cast<uint32_t>(reference::seconds_of(2024, 2, 29)), l);
  EXPECT_EQ(block[0], 0x20);
  EXPECT_EQ(block[1], 0x24);
  EXPECT_EQ(block[2], 0x02);
  EXPECT_EQ(block[3], 0x29);
}

TEST(TimeBlockEncode, BinaryFieldsBasesAndWeekday) {
  const TimeLayout l = parsed("BIN YEAR MO0 DY0 DOW1 HR MI SC DOW0");
  uint8_t block[9] = {};
  // 2024-12-25 is a Wednesday.
  encode_time_block(block, static_cast<uint32_t>(reference::seconds_of(2024, 12, 25, 23, 59, 7)),
                    l);
  EXPECT_EQ(host_word(block), 2024);
  EXPECT_EQ(block[2], 11);  // December, counted from 0
  EXPECT_EQ(block[3], 24);  // the 25th, counted from 0
  EXPECT_EQ(block[4], 0);   // DOW moved to the last byte: this one is left alone
  EXPECT_EQ(block[5], 23);
  EXPECT_EQ(block[6], 59);
  EXPECT_EQ(block[7], 7);
  EXPECT_EQ(block[8], 3);  // Wednesday counted from 0 (last DOW token sets the base)
}

TEST(TimeBlockEncode, BcdYearIsAFourDigitBcdWord) {
  const TimeLayout l = parsed("BCD YEAR MO DY");
  uint8_t block[4] = {};
  const uint32_t s = static_cast<uint32_t>(reference::seconds_of(2107, 10, 3));
  encode_time_block(block, s, l);
  EXPECT_EQ(host_word(block), 0x2107);
  EXPECT_EQ(block[2], 0x10);
  EXPECT_EQ(block[3], 0x03);
  EXPECT_EQ(decode_time_block(block, sizeof block, l), s);
}

TEST(TimeBlockEncode, WritesOnlyFieldBytesInsideTheLayout) {
  const TimeLayout l = parsed("BCD X HR X MI X");
  uint8_t area[16];
  memset(area, 0xA5, sizeof area);
  encode_time_block(area, 9 * 3600 + 41 * 60, l);
  EXPECT_EQ(area[0], 0xA5);
  EXPECT_EQ(area[1], 0x09);
  EXPECT_EQ(area[2], 0xA5);
  EXPECT_EQ(area[3], 0x41);
  for (size_t i = 4; i < sizeof area; ++i) EXPECT_EQ(area[i], 0xA5) << i;

  TimeLayout hand = empty_time_layout();
  hand.size = 1;
  hand.offset[TIME_SC] = 0;
  hand.offset[TIME_MI] = 7;  // outside its size: not written
  memset(area, 0xA5, sizeof area);
  encode_time_block(area, 61, hand);
  EXPECT_EQ(area[0], 1);
  EXPECT_EQ(area[7], 0xA5);
  encode_time_block(nullptr, 61, hand);  // no crash
}

// ---- Round trips against the reference calendar ------------------------------

// What decoding a block encoded from s must give, from the reference
// calendar: absent fields count from 1980-01-01 00:00:00, a lone two-digit
// year lies in 1980..2079, a lone century byte gives its first year, and
// years before 1980 count as 1980.
uint32_t expected_round_trip(uint32_t s, const TimeLayout& l) {
  const BrokenDownDate d = reference::date_of(s);
  auto has = [&](TimeField f) { return l.offset[f] >= 0; };
  int year = 0;
  if (has(TIME_YP)) year = d.year / 100 * 100;
  if (has(TIME_YR)) {
    if (!has(TIME_YP)) year = d.year % 100 >= 80 ? 1900 : 2000;
    year += d.year % 100;
  }
  if (has(TIME_YEAR)) year = d.year;
  if (year < 1980) year = 1980;
  const unsigned month = has(TIME_MO) ? d.month : 1;
  const unsigned day = has(TIME_DY) ? d.day : 1;
  const int64_t v = reference::seconds_of(year, month, day, has(TIME_HR) ? d.hour : 0,
                                          has(TIME_MI) ? d.minute : 0, has(TIME_SC) ? d.second : 0);
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

::testing::AssertionResult round_trips(uint32_t s, const TimeLayout& l, const std::string& text) {
  std::vector<uint8_t> block(static_cast<size_t>(l.size) + 1, 0);
  encode_time_block(block.data(), s, l);
  if (block.back() != 0) return ::testing::AssertionFailure() << text << " wrote past its size";
  const uint32_t got = decode_time_block(block.data(), static_cast<size_t>(l.size), l);
  const uint32_t want = expected_round_trip(s, l);
  if (got != want) {
    return ::testing::AssertionFailure()
           << text << ": " << s << " decodes as " << got << ", expected " << want;
  }
  return ::testing::AssertionSuccess();
}

std::vector<uint32_t> sample_seconds() {
  std::vector<uint32_t> values = {0,       1,         59,          86399,          86400,
                                  5184000, 636292800, 2177452800u, UINT32_MAX - 1, UINT32_MAX};
  constexpr uint32_t kStep = 2654435;  // odd, spreads over times of day
  for (uint64_t s = 0; s <= UINT32_MAX; s += kStep) values.push_back(static_cast<uint32_t>(s));
  return values;
}

TEST(TimeBlockRoundTrip, GeneratedLayoutsAgreeWithTheReferenceCalendar) {
  static const char* const kTokens[] = {"HR",  "MI", "SC",  "YP",  "YR",  "YEAR", "MO",   "MO0",
                                        "MO1", "DY", "DY0", "DY1", "DOW", "DOW0", "DOW1", "X"};
  std::mt19937 rng(20240229);
  const std::vector<uint32_t> seconds = sample_seconds();
  for (int n = 0; n < 300; ++n) {
    std::string text = rng() % 2 ? "BCD" : "BIN";
    const int count = static_cast<int>(rng() % 10);
    for (int i = 0; i < count; ++i) text += std::string(" ") + kTokens[rng() % std::size(kTokens)];
    const TimeLayout l = parsed(text.c_str());
    for (uint32_t s : seconds) ASSERT_TRUE(round_trips(s, l, text));
  }
}

TEST(TimeBlockRoundTrip, FullDateLayoutsGiveBackTheSeconds) {
  const char* const full[] = {"BCD YP YR MO DY HR MI SC", "BIN YEAR MO DY HR MI SC",
                              "BCD SC MI HR DOW DY MO YEAR", "BIN SC,MI,HR,DY0,MO0,YP,YR"};
  for (const char* text : full) {
    const TimeLayout l = parsed(text);
    for (uint32_t s : sample_seconds()) {
      std::vector<uint8_t> block(static_cast<size_t>(l.size), 0);
      encode_time_block(block.data(), s, l);
      ASSERT_EQ(decode_time_block(block.data(), block.size(), l), s) << text;
    }
  }
}

}  // namespace
