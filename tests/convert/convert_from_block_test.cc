// Decoding configured elements of a received block into tag value slots.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include <string>
#include <vector>

#include "conv_test_util.h"
#include "convert/convert.h"

namespace {

using conv_test::block_of;
using conv_test::Entry;
using conv_test::ReportLog;
using conv_test::Slot;

class FromBlock : public ::testing::Test {
 protected:
  void SetUp() override { conv_test::install_datetime_tables(); }

  // Decodes with all of `bytes` available from the element's start.
  void decode(Slot* slot, const std::vector<uint8_t>& bytes, const Entry& entry,
              const ConvBlock& block) {
    convert_from_block(slot->bytes, bytes.data(), bytes.size(), entry.e, block, log.reporter());
  }
  int16_t analog(uint16_t data_type, std::vector<uint8_t> bytes, unsigned unit = 2,
                 uint16_t extra = 0, uint16_t length = 0) {
    Slot s;
    decode(&s, bytes, Entry(data_type, TAG_ANALOG, length), block_of(unit, extra));
    EXPECT_TRUE(log.reports.empty());
    return s.i16();
  }
  double real(uint16_t data_type, std::vector<uint8_t> bytes, uint16_t extra = 0) {
    Slot s;
    decode(&s, bytes, Entry(data_type, TAG_FLOAT), block_of(2, extra));
    return s.f64();
  }
  int32_t long_value(uint16_t data_type, std::vector<uint8_t> bytes, uint16_t extra = 0) {
    Slot s;
    decode(&s, bytes, Entry(data_type, TAG_LONG), block_of(2, extra));
    return s.i32();
  }

  ReportLog log;
};

TEST_F(FromBlock, UnknownDataTypesLeaveTheSlotAsItWas) {
  for (uint16_t type : {0, 35, 0xFFFF}) {
    Slot s;
    decode(&s, {1, 2, 3, 4, 5, 6, 7, 8}, Entry(type, TAG_ANALOG), block_of(2));
    EXPECT_TRUE(s.untouched()) << type;
  }
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(FromBlock, BitOnWordUnitsFollowsTheNumberingFlags) {
  const uint16_t one = CONV_FLAG_ONE_BASED_BITS;
  // length 1, one-based: mask 0x8000 without low_bit_first, 0x0001 with it.
  Slot s;
  decode(&s, {0x00, 0x80}, Entry(DT_BIT, TAG_DIGITAL, 1), block_of(2, one));
  EXPECT_EQ(s.i16(), 1);
  decode(&s, {0x01, 0x00}, Entry(DT_BIT, TAG_DIGITAL, 1), block_of(2, one));
  EXPECT_EQ(s.i16(), 0);
  decode(&s, {0x01, 0x00}, Entry(DT_BIT, TAG_DIGITAL, 1),
         block_of(2, one | CONV_FLAG_LOW_BIT_FIRST));
  EXPECT_EQ(s.i16(), 1);
  decode(&s, {0x00, 0x80}, Entry(DT_BIT, TAG_DIGITAL, 1),
         block_of(2, one | CONV_FLAG_LOW_BIT_FIRST));
  EXPECT_EQ(s.i16(), 0);
  // Byte-swapped word: the device's first byte is the high byte.
  decode(&s, {0x80, 0x00}, Entry(DT_BIT, TAG_DIGITAL, 0), block_of(2, CONV_FLAG_BYTE_SWAP));
  EXPECT_EQ(s.i16(), 1);
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(FromBlock, BitOnBitAddressedBlockCountsFromTheDataSourceStart) {
  Slot s;
  const ConvBlock low = block_of(0, CONV_FLAG_LOW_BIT_FIRST, 64, 100);
  const ConvBlock high = block_of(0, 0, 64, 100);
  decode(&s, {0x02}, Entry(DT_BIT, TAG_DIGITAL, 0, 109), low);
  EXPECT_EQ(s.i16(), 1);
  decode(&s, {0x02}, Entry(DT_BIT, TAG_DIGITAL, 0, 109), high);
  EXPECT_EQ(s.i16(), 0);
  decode(&s, {0x40}, Entry(DT_BIT, TAG_DIGITAL, 0, 109), high);
  EXPECT_EQ(s.i16(), 1);
  decode(&s, {0xFF}, Entry(DT_BIT, TAG_DIGITAL, 0, 99), high);  // before the start
  EXPECT_EQ(s.i16(), 0);
}

TEST_F(FromBlock, BitOnLongUnitsReachesBit31AndFillsEveryTagType) {
  Slot s;
  const ConvBlock lsb = block_of(4, CONV_FLAG_LOW_BIT_FIRST);
  decode(&s, {0, 0, 0, 0x80}, Entry(DT_BIT, TAG_DIGITAL, 31), lsb);
  EXPECT_EQ(s.i16(), 1);
  decode(&s, {0, 0, 0, 0x80}, Entry(DT_BIT, TAG_FLOAT, 31), lsb);
  EXPECT_EQ(s.f64(), 1.0);
  decode(&s, {0, 0, 0, 0x40}, Entry(DT_BIT, TAG_FLOAT, 31), lsb);
  EXPECT_EQ(s.f64(), 0.0);
  Entry text(DT_BIT, TAG_MESSAGE, 31);
  decode(&s, {0, 0, 0, 0x80}, text, lsb);
  EXPECT_EQ(s.text(), "1");
  EXPECT_EQ(s.message().text, text.e.text);
  decode(&s, {0, 0, 0, 0x80}, Entry(DT_BIT, TAG_LONG, 31), lsb);
  EXPECT_EQ(s.i32(), 1);
}

TEST_F(FromBlock, BitOnUnitsWithoutBitsIsRefused) {
  for (unsigned unit : {3u, 5u, 8u, 15u}) {
    Slot s;
    ReportLog local;
    convert_from_block(s.bytes, std::vector<uint8_t>(16, 0xFF).data(), 16,
                       Entry(DT_BIT, TAG_DIGITAL, 1).e, block_of(unit), local.reporter("PLC"));
    EXPECT_TRUE(s.untouched());
    ASSERT_TRUE(local.only("IMX_BOUND"));
    EXPECT_EQ(local.reports[0].status, 2);
    EXPECT_EQ(local.reports[0].args, (std::vector<std::string>{"PLC", std::to_string(unit)}));
  }
}

TEST_F(FromBlock, IntegerTypes) {
  EXPECT_EQ(analog(DT_BYTE_LO, {0x12, 0x34}), 0x12);
  EXPECT_EQ(analog(DT_BYTE_LO, {0x12, 0x34}, 2, CONV_FLAG_BYTE_SWAP), 0x34);
  EXPECT_EQ(analog(DT_BYTE_HI, {0x12, 0xF4}), 0xF4);
  EXPECT_EQ(analog(DT_BYTE_HI, {0x12, 0x34}, 2, CONV_FLAG_BYTE_SWAP), 0x12);
  EXPECT_EQ(analog(DT_WORD, {0xFE, 0xFF}), -2);
  EXPECT_EQ(analog(DT_WORD, {0x12, 0x34}, 2, CONV_FLAG_BYTE_SWAP), 0x1234);
  EXPECT_EQ(analog(DT_BYTE, {0xFF}), 255);
  EXPECT_EQ(long_value(DT_LONG, {0x01, 0x02, 0x03, 0x84}), static_cast<int32_t>(0x84030201u));
  EXPECT_EQ(long_value(DT_LONG_WS, {0x01, 0x02, 0x03, 0x04}), 0x02010403);
  EXPECT_EQ(long_value(DT_LONG_WS, {0x01, 0x02, 0x03, 0x04}, CONV_FLAG_BYTE_SWAP), 0x03040102);
}

TEST_F(FromBlock, BcdScaleLow14AndSignedBits) {
  EXPECT_EQ(analog(DT_BCD4, {0x34, 0x12}), 1234);
  EXPECT_EQ(analog(DT_BCD4, {0xFF, 0x00}), 165);
  EXPECT_EQ(analog(DT_BCD4, {0xFF, 0xFF}), 16665);
  EXPECT_EQ(analog(DT_BCD4B, {0x12, 0x34}, 2, CONV_FLAG_BYTE_SWAP), 1234);
  EXPECT_EQ(analog(DT_BCD2, {0x59}), 59);
  EXPECT_EQ(long_value(DT_BCD8, {0x78, 0x56, 0x34, 0x12}), 12345678);
  EXPECT_EQ(analog(DT_SCALE, {0x00, 0xC0}), 1000);
  EXPECT_EQ(analog(DT_SCALE, {0xFF, 0x3F}), 1);
  EXPECT_EQ(analog(DT_SCALE, {0x00, 0x40}), 10);
  EXPECT_EQ(analog(DT_LOW14, {0x23, 0xC1}), 0x0123);
  EXPECT_EQ(analog(DT_SIGNED_BITS, {0x00, 0x08}, 2, 0, 11), -2048);
  EXPECT_EQ(analog(DT_SIGNED_BITS, {0xFF, 0x07}, 2, 0, 11), 2047);
  EXPECT_EQ(analog(DT_SIGNED_BITS, {0xFF, 0xFF}, 2, 0, 14), 0x3FFF);  // only clears
  EXPECT_EQ(analog(DT_SIGNED_BITS, {0x01, 0x00}, 2, 0, 0), -1);
  EXPECT_EQ(analog(DT_SIGNED_BITS, {0x34, 0x92}, 2, 0, 40), static_cast<int16_t>(0x9234));
}

TEST_F(FromBlock, FloatTypes) {
  EXPECT_EQ(real(DT_FLOAT, {0x00, 0x00, 0xC0, 0x3F}), 1.5);
  EXPECT_EQ(real(DT_FLOAT_WS, {0xC0, 0x3F, 0x00, 0x00}), 1.5);
  EXPECT_EQ(real(DT_FLOAT, {0x3F, 0xC0, 0x00, 0x00}, CONV_FLAG_BYTE_SWAP), 1.5);
  EXPECT_EQ(real(DT_EXP_FLOAT, {0x00, 0x00, 0x64, 0x07}), 100.0);
  EXPECT_EQ(real(DT_FFLOAT, {0x80, 0x40, 0x00, 0x00}), 1.0);
  EXPECT_EQ(real(DT_FFLOAT_WS, {0x00, 0x00, 0x80, 0xC0}), -1.0);
  EXPECT_EQ(real(DT_DOUBLE, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}), 1.0);
  EXPECT_EQ(real(DT_DOUBLE, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, CONV_FLAG_BYTE_SWAP), 1.0);
}

TEST_F(FromBlock, FixedPointIsSignAndMagnitude) {
  EXPECT_EQ(real(DT_FIXED, {0x00, 0x40}), 1.0);
  EXPECT_EQ(real(DT_FIXED, {0x00, 0x20}), 0.5);
  EXPECT_EQ(real(DT_FIXED, {0x00, 0xC0}), -1.0);
  EXPECT_EQ(real(DT_FIXED, {0xFF, 0x7F}), 1.99993896484375);
  const double zero = real(DT_FIXED, {0x00, 0x80});
  EXPECT_EQ(zero, 0.0);
  EXPECT_FALSE(std::signbit(zero));
}

TEST_F(FromBlock, DeviceSecondsCountFrom1970) {
  EXPECT_EQ(long_value(DT_TIME, {0x00, 0xA6, 0xCE, 0x12}), 0);  // 315532800
  EXPECT_EQ(long_value(DT_TIME, {0x01, 0xA6, 0xCE, 0x12}), 1);
  EXPECT_EQ(long_value(DT_TIME, {0xFF, 0xFF, 0xFF, 0xFF}), 0);  // negative
  EXPECT_EQ(long_value(DT_TIME, {0x00, 0x00, 0x00, 0x00}), 0);
  // 2000-02-29 12:00:00 is 636292800 tag seconds.
  const uint32_t device = 636292800u + CONV_DEVICE_EPOCH_OFFSET;
  const std::vector<uint8_t> bytes = {uint8_t(device), uint8_t(device >> 8), uint8_t(device >> 16),
                                      uint8_t(device >> 24)};
  Entry text(DT_TIME, TAG_MESSAGE);
  Slot s;
  decode(&s, bytes, text, block_of(2));
  EXPECT_EQ(s.text(), "2000-02-29 12:00:00");
  EXPECT_EQ(s.message().text, text.e.text);
  EXPECT_EQ(s.message().capacity, text.e.text_size + 1);
}

TEST_F(FromBlock, StringOnWordUnitsSwapsEachUnit) {
  Entry text(DT_STRING, TAG_MESSAGE, 5);
  Slot s;
  decode(&s, {'B', 'A', 'D', 'C', 'F', 'E'}, text, block_of(2));
  EXPECT_EQ(s.text(), "ABCDE");
  EXPECT_EQ(s.message().length, 5);
  EXPECT_EQ(s.message().text, text.e.text);
  // Byte-swapped blocks and byte units copy as received.
  decode(&s, {'B', 'A', 'D', 'C', 'F', 'E'}, text, block_of(2, CONV_FLAG_BYTE_SWAP));
  EXPECT_EQ(s.text(), "BADCF");
  decode(&s, {'H', 'i', 0, 'x', 'y', 'z'}, text, block_of(1));
  EXPECT_EQ(s.text(), std::string("Hi\0\0\0", 5));
  // Long units.
  decode(&s, {'D', 'C', 'B', 'A', 0, 0, 0, 'E'}, text, block_of(4));
  EXPECT_EQ(s.text(), "ABCDE");
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(FromBlock, StringOnOddUnitsReportsAndKeepsTheText) {
  Entry text(DT_STRING, TAG_MESSAGE, 3);
  text.set_text("old");
  Slot s;
  decode(&s, {'n', 'e', 'w', 0, 0, 0}, text, block_of(3));
  EXPECT_TRUE(log.only("IMX_BOUND"));
  EXPECT_EQ(s.text(), "old");
}

TEST_F(FromBlock, TextTypesConvertOnlyIntoMessageTags) {
  for (uint16_t type : {DT_STRING, DT_RAW}) {
    Slot s;
    decode(&s, {'a', 'b'}, Entry(type, TAG_ANALOG, 2), block_of(1));
    EXPECT_TRUE(s.untouched());
  }
}

TEST_F(FromBlock, RawCopiesAtMostTheBlock) {
  Entry raw(DT_RAW, TAG_MESSAGE, 10);
  Slot s;
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  convert_from_block(s.bytes, data.data(), data.size(), raw.e, block_of(2, 0, 3), log.reporter());
  EXPECT_EQ(s.message().length, 6);
  EXPECT_EQ(s.text(), std::string("\1\2\3\4\5\6", 6));
  EXPECT_EQ(raw.text[6], 0);
  // Fewer bytes given than the block claims: only those are copied.
  convert_from_block(s.bytes, data.data(), 4, raw.e, block_of(2, 0, 30), log.reporter());
  EXPECT_EQ(s.message().length, 4);
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(FromBlock, TimeBlockDecodesWholeUnits) {
  // TIM0 (BCD YR MO DY HR MI SC), 6 bytes: 2024-02-29 13:45:30.
  const uint32_t want = date_to_seconds(BrokenDownDate{13, 45, 30, 29, 2, 2024, 0});
  Slot s;
  decode(&s, {0x24, 0x02, 0x29, 0x13, 0x45, 0x30}, Entry(DT_TIM0, TAG_LONG, 6), block_of(2));
  EXPECT_EQ(static_cast<uint32_t>(s.i32()), want);
  // Byte-swapped word units arrive reversed inside each unit.
  decode(&s, {0x02, 0x24, 0x13, 0x29, 0x30, 0x45}, Entry(DT_TIM0, TAG_LONG, 6),
         block_of(2, CONV_FLAG_BYTE_SWAP));
  EXPECT_EQ(static_cast<uint32_t>(s.i32()), want);
  Entry text(DT_TIM0, TAG_MESSAGE, 6);
  decode(&s, {0x24, 0x02, 0x29, 0x13, 0x45, 0x30}, text, block_of(1));
  EXPECT_EQ(s.text(), "2024-02-29 13:45:30");
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(FromBlock, TimeBlockShorterThanOneUnitWritesNothing) {
  Slot s;
  decode(&s, {0x24, 0x02}, Entry(DT_TIM0, TAG_LONG, 1), block_of(2));
  EXPECT_TRUE(s.untouched());
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(FromBlock, TimeBlockOnBitAddressedBlockIsRefused) {
  Slot s;
  decode(&s, std::vector<uint8_t>(16, 0x11), Entry(DT_TIM0, TAG_LONG, 6), block_of(0));
  EXPECT_TRUE(s.untouched());
  EXPECT_TRUE(log.only("IMX_BOUND"));
}

TEST_F(FromBlock, TimeBlockOnOddSwappedUnitsReportsAndGoesOn) {
  Slot s;
  decode(&s, {0x24, 0x02, 0x29, 0x13, 0x45, 0x30}, Entry(DT_TIM0, TAG_LONG, 6),
         block_of(3, CONV_FLAG_BYTE_SWAP));
  EXPECT_TRUE(log.only("IMX_BOUND"));
  EXPECT_EQ(static_cast<uint32_t>(s.i32()),
            date_to_seconds(BrokenDownDate{13, 45, 30, 29, 2, 2024, 0}));
}

// Every fixed-size type refuses an element that runs past the given bytes.
TEST_F(FromBlock, ElementPastTheDataIsRefusedAndTheSlotKept) {
  const std::vector<uint8_t> data(8, 0x5A);
  for (uint16_t type = DT_FIRST; type <= DT_LAST; ++type) {
    if (type == DT_STRING || type == DT_RAW) continue;
    Entry entry(type, dt_natural_tag_type(type), dt_is_time_block(type) ? 6 : 1);
    const ConvBlock block = block_of(2);
    const size_t need = conv_element_bytes(entry.e, block);
    ASSERT_GT(need, 0u) << dt_name(type);
    ReportLog local;
    Slot s;
    convert_from_block(s.bytes, data.data(), need - 1, entry.e, block, local.reporter());
    EXPECT_TRUE(s.untouched()) << dt_name(type);
    EXPECT_TRUE(local.only("IMX_BOUND")) << dt_name(type);
    // With exactly enough bytes it converts.
    ReportLog ok;
    convert_from_block(s.bytes, data.data(), need, entry.e, block, ok.reporter());
    EXPECT_FALSE(s.untouched()) << dt_name(type);
    EXPECT_TRUE(ok.reports.empty()) << dt_name(type);
  }
}

TEST_F(FromBlock, StringCopiesWhatIsThere) {
  Entry text(DT_STRING, TAG_MESSAGE, 6);
  text.set_text("zzzzzz");
  Slot s;
  const uint8_t data[] = {'B', 'A', 'D', 'C', 'F'};
  // The missing sixth byte reads as 0 and, swapped, ends the text before F.
  convert_from_block(s.bytes, data, 5, text.e, block_of(2), log.reporter());
  EXPECT_EQ(s.text(), std::string("ABCD\0\0", 6));
  convert_from_block(s.bytes, data, 2, text.e, block_of(1), log.reporter());
  EXPECT_EQ(s.text(), std::string("BA\0\0\0\0", 6));
  convert_from_block(s.bytes, nullptr, 0, text.e, block_of(1), log.reporter());
  EXPECT_EQ(s.text(), std::string(6, '\0'));
  EXPECT_TRUE(log.reports.empty());
}

// Numbers converted for message tags keep their own texts: the slots of one
// block, gathered for one kernel write, must not share a buffer.
TEST_F(FromBlock, NumbersForMessageTagsEachKeepTheirOwnText) {
  std::vector<Entry> entries;
  for (int i = 0; i < 4; ++i) entries.emplace_back(DT_WORD, TAG_MESSAGE, 0, i);
  const std::vector<uint8_t> data = {11, 0, 22, 0, 33, 0, 44, 0};
  std::vector<Slot> slots(4);
  for (int i = 0; i < 4; ++i) {
    convert_from_block(slots[i].bytes, data.data() + 2 * i, data.size() - 2 * i, entries[i].e,
                       block_of(2), log.reporter());
  }
  EXPECT_EQ(slots[0].text(), "11");
  EXPECT_EQ(slots[1].text(), "22");
  EXPECT_EQ(slots[2].text(), "33");
  EXPECT_EQ(slots[3].text(), "44");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(slots[i].message().text, entries[i].e.text);
}

TEST_F(FromBlock, HugeFloatFormattedForAMessageTagStaysInItsText) {
  Entry text(DT_DOUBLE, TAG_MESSAGE);
  const double x = 1e300;
  std::vector<uint8_t> bytes(8);
  put_double(0, bytes.data(), x);
  Slot s;
  decode(&s, bytes, text, block_of(8));
  EXPECT_LT(s.message().length, CONV_TEXT_SIZE);
  EXPECT_EQ(strtod(s.text().c_str(), nullptr), x);
  EXPECT_EQ(text.text[s.message().length], '\0');
}

TEST_F(FromBlock, MessageEntryWithoutTextConvertsNothing) {
  Entry entry(DT_WORD, TAG_MESSAGE);
  entry.e.text = nullptr;
  Slot s;
  decode(&s, {1, 2}, entry, block_of(2));
  EXPECT_TRUE(s.untouched());
}

}  // namespace
