#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "datetime/datetime.h"
#include "reference.h"
#include "runtime/catalogue.h"

namespace {

uint32_t at(int year, unsigned month, unsigned day, unsigned hour = 0, unsigned minute = 0,
            unsigned second = 0) {
  return static_cast<uint32_t>(reference::seconds_of(year, month, day, hour, minute, second));
}

class ShippedCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("ZQPATH");
    setenv("ZQROOT", ZQ_SOURCE_DIR "/root", 1);
    catalogue_clear();
    ASSERT_GT(catalogue_load_file("master"), 0);
  }
  void TearDown() override { catalogue_clear(); }
};

TEST_F(ShippedCatalogue, AllTenLayoutsLoad) {
  ASSERT_EQ(load_time_layouts(), 0);
  for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) {
    const TimeLayout* l = time_layout(i);
    ASSERT_NE(l, nullptr);
    EXPECT_GT(l->size, 0) << "TIM" << i;
    // Every shipped layout holds a whole date and time.
    for (TimeField f : {TIME_HR, TIME_MI, TIME_SC, TIME_MO, TIME_DY}) {
      EXPECT_GE(l->offset[f], 0) << "TIM" << i << " field " << f;
    }
    const bool has_year = l->offset[TIME_YR] >= 0 || l->offset[TIME_YEAR] >= 0;
    EXPECT_TRUE(has_year) << "TIM" << i;
  }
  // BCD and binary orders, a 16-bit year and a weekday are among them.
  EXPECT_EQ(time_layout(0)->bcd, 1);
  EXPECT_EQ(time_layout(1)->bcd, 0);
  EXPECT_EQ(time_layout(2)->offset[TIME_YEAR], 0);
  EXPECT_EQ(time_layout(2)->bcd, 0);
  EXPECT_GE(time_layout(6)->offset[TIME_DOW], 0);
  EXPECT_EQ(time_layout(4)->offset[TIME_YP], 0);
}

TEST_F(ShippedCatalogue, ShippedLayoutsRoundTripAgainstTheReference) {
  ASSERT_EQ(load_time_layouts(), 0);
  for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) {
    const TimeLayout& l = *time_layout(i);
    const bool full_year = l.offset[TIME_YEAR] >= 0 || l.offset[TIME_YP] >= 0;
    // Two-digit years cover 1980..2079; the others the whole range.
    const uint32_t end = full_year ? UINT32_MAX : at(2080, 1, 1) - 1;
    for (uint64_t s = 0; s <= end; s += 7919 * 13) {
      uint8_t block[TIME_LAYOUT_MAX_SIZE] = {};
      encode_time_block(block, static_cast<uint32_t>(s), l);
      ASSERT_EQ(decode_time_block(block, static_cast<size_t>(l.size), l), s) << "TIM" << i;
    }
  }
}

TEST_F(ShippedCatalogue, ShippedLayoutBytesMatchTheDeviceOrder) {
  ASSERT_EQ(load_time_layouts(), 0);
  const uint32_t s = at(2024, 2, 29, 13, 5, 59);  // a Thursday
  uint8_t block[TIME_LAYOUT_MAX_SIZE] = {};
  encode_time_block(block, s, *time_layout(0));
  const uint8_t tim0[] = {0x24, 0x02, 0x29, 0x13, 0x05, 0x59};
  EXPECT_EQ(memcmp(block, tim0, sizeof tim0), 0);

  memset(block, 0, sizeof block);
  encode_time_block(block, s, *time_layout(6));
  const uint8_t tim6[] = {0x59, 0x05, 0x13, 0x05, 0x29, 0x02, 0x24};
  EXPECT_EQ(memcmp(block, tim6, sizeof tim6), 0);

  memset(block, 0, sizeof block);
  encode_time_block(block, s, *time_layout(9));
  uint16_t year;
  memcpy(&year, block, sizeof year);
  EXPECT_EQ(year, 2024);
  const uint8_t tim9_rest[] = {2, 0, 29, 0, 13, 0, 5, 0, 59, 0};
  EXPECT_EQ(memcmp(block + 2, tim9_rest, sizeof tim9_rest), 0);
  EXPECT_EQ(time_layout(9)->size, 12);
}

TEST_F(ShippedCatalogue, TextFormatUsesTheShippedTemplateAndNames) {
  load_datetime_format(catalogue_lookup("DATETIME"));
  char text[DATETIME_TEXT_SIZE];
  EXPECT_STREQ(format_datetime(text, 0), "01/01/1980 00:00:00");
  EXPECT_STREQ(format_datetime(text, at(2024, 2, 29, 13, 5, 59)), "02/29/2024 13:05:59");
  EXPECT_EQ(parse_datetime("02/29/2024 13:05:59"), at(2024, 2, 29, 13, 5, 59));
  const DateTimeFormat& f = datetime_format();
  EXPECT_STREQ(f.month_names[0], "Jan");
  EXPECT_STREQ(f.month_names[9], "Oct");
  EXPECT_STREQ(f.month_names[11], "Dec");
  EXPECT_STREQ(f.day_names[0], "Sun");
  EXPECT_STREQ(f.day_names[6], "Sat");
  EXPECT_STREQ(f.am_text, "AM");
  EXPECT_STREQ(f.pm_text, "PM");
}

class EmptyCatalogue : public ::testing::Test {
 protected:
  void SetUp() override { catalogue_clear(); }
  void TearDown() override { catalogue_clear(); }
  static void insert_all_layouts() {
    for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) {
      const std::string key = "TIM" + std::to_string(i);
      ASSERT_EQ(catalogue_insert(key.c_str(), "BIN YEAR MO DY"), 0);
    }
  }
};

TEST_F(EmptyCatalogue, MissingLayoutKeyFailsTheLoad) {
  EXPECT_EQ(load_time_layouts(), -1);
  insert_all_layouts();
  ASSERT_EQ(load_time_layouts(), 0);
  catalogue_clear();
  for (int i = 0; i < TIME_LAYOUT_COUNT - 1; ++i) {
    const std::string key = "tim" + std::to_string(i);  // keys are found in any case
    ASSERT_EQ(catalogue_insert(key.c_str(), "BCD SC"), 0);
  }
  EXPECT_EQ(load_time_layouts(), -1);
  EXPECT_EQ(time_layout(0)->size, 4);  // the earlier table stays
}

TEST_F(EmptyCatalogue, InvalidLayoutTextFailsTheLoad) {
  insert_all_layouts();
  ASSERT_EQ(catalogue_insert("TIM7", "BCD YR MO DAY"), 0);
  EXPECT_EQ(load_time_layouts(), -1);
  ASSERT_EQ(catalogue_insert("TIM7", "bcd yr,mo,dy"), 0);
  EXPECT_EQ(load_time_layouts(), 0);
  EXPECT_EQ(time_layout(7)->size, 3);
}

TEST_F(EmptyCatalogue, MissingTemplateAndNamesShowTheirKeys) {
  load_datetime_format(catalogue_lookup("DATETIME"));
  char text[DATETIME_TEXT_SIZE];
  EXPECT_STREQ(format_datetime(text, at(2024, 6, 1, 15)), "datetime");
  EXPECT_EQ(parse_datetime("datetime"), 0u);

  load_datetime_format("mon dow ap");
  EXPECT_STREQ(format_datetime(text, at(2024, 1, 2, 15)), "MO0 DOW DP");
  EXPECT_STREQ(format_datetime(text, at(2024, 12, 7, 9)), "M11 DOW DA");
  EXPECT_STREQ(datetime_format().am_text, "DA");
}

TEST_F(EmptyCatalogue, InsertedNamesAreCutToTheirWidths) {
  ASSERT_EQ(catalogue_insert("MO2", "Maerz"), 0);
  ASSERT_EQ(catalogue_insert("DOW1", "Montag"), 0);
  ASSERT_EQ(catalogue_insert("DPM", "nachm."), 0);
  load_datetime_format("dow dy mon year ah ap");
  char text[DATETIME_TEXT_SIZE];
  // 2025-03-03 was a Monday.
  EXPECT_STREQ(format_datetime(text, at(2025, 3, 3, 14)), "Mon 03 Mae 2025 02 na");
  EXPECT_EQ(parse_datetime("Mon 03 MAE 2025 02 NA"), at(2025, 3, 3, 14));
}

}  // namespace
