// Encoding tag values into a block to be sent, and typed single values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "conv_test_util.h"
#include "convert/convert.h"

namespace {

using conv_test::block_of;
using conv_test::Entry;
using conv_test::ReportLog;
using conv_test::Slot;
using Bytes = std::vector<uint8_t>;

class ToBlock : public ::testing::Test {
 protected:
  void SetUp() override { conv_test::install_datetime_tables(); }

  // Encodes into `area` (all of it available) and returns it.
  Bytes encode(Bytes area, const Slot& slot, const Entry& entry, const ConvBlock& block) {
    convert_to_block(area.data(), area.size(), slot.bytes, entry.e, block, log.reporter());
    return area;
  }
  Bytes word(double x, uint16_t extra = 0) {
    return encode({0, 0}, Slot::of(x), Entry(DT_FIXED, TAG_FLOAT), block_of(2, extra));
  }
  Bytes analog(uint16_t data_type, int16_t v, size_t size = 2) {
    return encode(Bytes(size, 0), Slot::of(v), Entry(data_type, TAG_ANALOG), block_of(2));
  }

  ReportLog log;
};

TEST_F(ToBlock, UnknownDataTypesWriteNothing) {
  for (uint16_t type : {0, 35}) {
    EXPECT_EQ(encode({9, 9, 9, 9, 9, 9, 9, 9}, Slot::of(int16_t{1}), Entry(type, TAG_ANALOG),
                     block_of(2)),
              Bytes(8, 9));
  }
}

TEST_F(ToBlock, BitTakesAnyNonZeroValueAndKeepsItsNeighbours) {
  const ConvBlock block = block_of(2, CONV_FLAG_LOW_BIT_FIRST);
  Entry bit(DT_BIT, TAG_FLOAT, 3);
  EXPECT_EQ(encode({0x00, 0xF0}, Slot::of(0.3), bit, block), (Bytes{0x08, 0xF0}));
  EXPECT_EQ(encode({0xFF, 0xFF}, Slot::of(0.0), bit, block), (Bytes{0xF7, 0xFF}));
  // Bit-addressed: the address selects the bit of the byte.
  EXPECT_EQ(encode({0x00}, Slot::of(int16_t{1}), Entry(DT_BIT, TAG_DIGITAL, 0, 109),
                   block_of(0, CONV_FLAG_LOW_BIT_FIRST, 64, 100)),
            (Bytes{0x02}));
  EXPECT_EQ(encode({0x00}, Slot::of(int16_t{1}), Entry(DT_BIT, TAG_DIGITAL, 0, 109),
                   block_of(0, 0, 64, 100)),
            (Bytes{0x40}));
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(ToBlock, BitOnSwappedLongUnitIsTheTopBitOfTheFirstDeviceByte) {
  EXPECT_EQ(encode({0, 0, 0, 0}, Slot::of(int16_t{1}), Entry(DT_BIT, TAG_DIGITAL, 0),
                   block_of(4, CONV_FLAG_BYTE_SWAP)),
            (Bytes{0x80, 0, 0, 0}));
}

TEST_F(ToBlock, BitOnUnitsWithoutBitsIsSkippedSilently) {
  EXPECT_EQ(encode({0, 0, 0, 0}, Slot::of(int16_t{1}), Entry(DT_BIT, TAG_DIGITAL, 0), block_of(3)),
            Bytes(4, 0));
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(ToBlock, BcdDigitsDropWhatDoesNotFit) {
  EXPECT_EQ(analog(DT_BCD4, 12345), (Bytes{0x45, 0x23}));
  EXPECT_EQ(analog(DT_BCD4, 9999), (Bytes{0x99, 0x99}));
  EXPECT_EQ(analog(DT_BCD4B, 1234), (Bytes{0x34, 0x12}));
  EXPECT_EQ(analog(DT_BCD2, 123, 1), (Bytes{0x23}));
  // Remainders of the unsigned pattern, signed divisions: -5 gives 0x01.
  EXPECT_EQ(analog(DT_BCD2, -5, 1), (Bytes{0x01}));
  EXPECT_EQ(
      encode({0, 0, 0, 0}, Slot::of(int32_t{123456789}), Entry(DT_BCD8, TAG_LONG), block_of(2)),
      (Bytes{0x89, 0x67, 0x45, 0x23}));
}

TEST_F(ToBlock, ScaleWritesTheDecimalExponent) {
  const std::pair<int16_t, uint16_t> cases[] = {
      {0, 0},        {-5, 0},       {1, 0},         {9, 0},         {10, 0x4000}, {99, 0x4000},
      {100, 0x8000}, {999, 0x8000}, {1000, 0xC000}, {9999, 0xC000}, {10000, 0},   {32767, 0}};
  for (const auto& [v, w] : cases) {
    EXPECT_EQ(analog(DT_SCALE, v), (Bytes{uint8_t(w), uint8_t(w >> 8)})) << v;
  }
}

TEST_F(ToBlock, WordTypesWriteTheFullValue) {
  EXPECT_EQ(analog(DT_LOW14, -1), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(analog(DT_SIGNED_BITS, -2048), (Bytes{0x00, 0xF8}));
  EXPECT_EQ(analog(DT_BYTE, 0x1FF, 1), (Bytes{0xFF}));
  EXPECT_EQ(
      encode({0x12, 0x34}, Slot::of(int16_t{0x1FF}), Entry(DT_BYTE_HI, TAG_ANALOG), block_of(2)),
      (Bytes{0x12, 0xFF}));
}

TEST_F(ToBlock, FixedPointLimitsAndExamples) {
  EXPECT_EQ(word(1.999), (Bytes{0xEF, 0x7F}));
  EXPECT_EQ(word(2.0), (Bytes{0xFF, 0x7F}));
  EXPECT_EQ(word(2.5), (Bytes{0xFF, 0x7F}));
  EXPECT_EQ(word(-2.0), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(word(std::numeric_limits<double>::quiet_NaN()), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(word(0.5), (Bytes{0x00, 0x20}));
  EXPECT_EQ(word(-0.5), (Bytes{0x00, 0xA0}));
  EXPECT_EQ(word(1.5), (Bytes{0x00, 0x60}));
  EXPECT_EQ(word(0.0), (Bytes{0x00, 0x80}));
  EXPECT_EQ(word(-1.0), (Bytes{0x00, 0xC0}));
  EXPECT_EQ(word(2.0, CONV_FLAG_BYTE_SWAP), (Bytes{0x7F, 0xFF}));
}

TEST_F(ToBlock, DeviceSecondsAddTheEpochOffset) {
  EXPECT_EQ(encode({0, 0, 0, 0}, Slot::of(int32_t{0}), Entry(DT_TIME, TAG_LONG), block_of(2)),
            (Bytes{0x00, 0xA6, 0xCE, 0x12}));
  Entry text(DT_TIME, TAG_MESSAGE);
  text.set_text("2000-02-29 12:00:00");
  const uint32_t device = 636292800u + CONV_DEVICE_EPOCH_OFFSET;
  EXPECT_EQ(
      encode({0, 0, 0, 0}, Slot(), text, block_of(2, CONV_FLAG_BYTE_SWAP)),
      (Bytes{uint8_t(device >> 24), uint8_t(device >> 16), uint8_t(device >> 8), uint8_t(device)}));
}

TEST_F(ToBlock, StringOnWordUnitsKeepsTheDeviceByteBeyondTheText) {
  Entry text(DT_STRING, TAG_MESSAGE, 5);
  text.set_text("ABCDE");
  EXPECT_EQ(encode({1, 2, 3, 4, 5, 6}, Slot(), text, block_of(2)),
            (Bytes{'B', 'A', 'D', 'C', 5, 'E'}));
  EXPECT_EQ(encode({1, 2, 3, 4, 5, 6}, Slot(), text, block_of(2, CONV_FLAG_BYTE_SWAP)),
            (Bytes{'A', 'B', 'C', 'D', 'E', 6}));
  EXPECT_EQ(encode({1, 2, 3, 4, 5, 6, 7, 8}, Slot(), text, block_of(4)),
            (Bytes{'D', 'C', 'B', 'A', 5, 6, 7, 'E'}));
  text.set_text("AB");  // shorter text: NULs fill the length
  EXPECT_EQ(encode({1, 2, 3, 4, 5, 6}, Slot(), text, block_of(1)), (Bytes{'A', 'B', 0, 0, 0, 6}));
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(ToBlock, StringOnOddUnitsIsRefused) {
  Entry text(DT_STRING, TAG_MESSAGE, 5);
  text.set_text("ABCDE");
  EXPECT_EQ(encode(Bytes(6, 7), Slot(), text, block_of(3)), Bytes(6, 7));
  EXPECT_TRUE(log.only("IMX_BOUND"));
}

TEST_F(ToBlock, StringWritesOnlyWhatFits) {
  Entry text(DT_STRING, TAG_MESSAGE, 5);
  text.set_text("ABCDE");
  for (unsigned unit : {1u, 2u, 4u}) {
    Bytes area(8, 7);
    convert_to_block(area.data(), 3, Slot().bytes, text.e, block_of(unit), log.reporter());
    EXPECT_EQ(Bytes(area.begin() + 3, area.end()), Bytes(5, 7)) << unit;
  }
  Bytes area(8, 7);
  convert_to_block(area.data(), 3, Slot().bytes, text.e, block_of(2), log.reporter());
  EXPECT_EQ(area, (Bytes{'B', 'A', 'D', 7, 7, 7, 7, 7}));
}

TEST_F(ToBlock, RawCopiesTheSmallerOfBlockAndLength) {
  Entry raw(DT_RAW, TAG_MESSAGE, 10);
  raw.set_text("0123456789");
  EXPECT_EQ(encode(Bytes(8, 0), Slot(), raw, block_of(2, 0, 3)),
            (Bytes{'0', '1', '2', '3', '4', '5', 0, 0}));
  raw.e.length = 2;
  EXPECT_EQ(encode(Bytes(4, 0), Slot(), raw, block_of(2, 0, 3)), (Bytes{'0', '1', 0, 0}));
}

TEST_F(ToBlock, TimeBlockWritesTheLayoutFields) {
  // TIM4: BCD YP YR MO DY HR MI SC; 2024-02-29 gives 0x20 0x24 0x02 0x29.
  const uint32_t s = date_to_seconds(BrokenDownDate{13, 45, 30, 29, 2, 2024, 0});
  EXPECT_EQ(encode(Bytes(8, 0xEE), Slot::of(static_cast<int32_t>(s)),
                   Entry(DT_TIM0 + 4, TAG_LONG, 7), block_of(1)),
            (Bytes{0x20, 0x24, 0x02, 0x29, 0x13, 0x45, 0x30, 0xEE}));
  // Swapped words: each unit reversed, the eighth byte keeps its place.
  EXPECT_EQ(encode(Bytes(8, 0xEE), Slot::of(static_cast<int32_t>(s)),
                   Entry(DT_TIM0 + 4, TAG_LONG, 7), block_of(2, CONV_FLAG_BYTE_SWAP)),
            (Bytes{0x24, 0x20, 0x29, 0x02, 0x45, 0x13, 0xEE, 0x30}));
  Entry text(DT_TIM0, TAG_MESSAGE, 6);
  text.set_text("2024-02-29 13:45:30");
  EXPECT_EQ(encode(Bytes(6, 0), Slot(), text, block_of(2)),
            (Bytes{0x24, 0x02, 0x29, 0x13, 0x45, 0x30}));
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(ToBlock, TimeBlockShorterThanOneUnitWritesNothing) {
  EXPECT_EQ(
      encode(Bytes(4, 0xEE), Slot::of(int32_t{1000}), Entry(DT_TIM0, TAG_LONG, 1), block_of(2)),
      Bytes(4, 0xEE));
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(ToBlock, TimeBlockRefusesBitBlocksAndSwappedOddUnits) {
  EXPECT_EQ(
      encode(Bytes(8, 0xEE), Slot::of(int32_t{1000}), Entry(DT_TIM0, TAG_LONG, 6), block_of(0)),
      Bytes(8, 0xEE));
  EXPECT_TRUE(log.only("IMX_BOUND"));
  log.reports.clear();
  EXPECT_EQ(encode(Bytes(8, 0xEE), Slot::of(int32_t{1000}), Entry(DT_TIM0, TAG_LONG, 6),
                   block_of(3, CONV_FLAG_BYTE_SWAP)),
            Bytes(8, 0xEE));
  EXPECT_TRUE(log.only("IMX_BOUND"));
}

// A layout longer than the entry's length must not write past the element.
TEST_F(ToBlock, TimeBlockCutToTheEntryLength) {
  Bytes area(12, 0xEE);
  convert_to_block(area.data(), 4, Slot::of(int32_t{1000}).bytes, Entry(DT_TIM0 + 7, TAG_LONG, 4).e,
                   block_of(1), log.reporter());
  EXPECT_EQ(Bytes(area.begin() + 4, area.end()), Bytes(8, 0xEE));
  EXPECT_EQ(area[0] | area[1] << 8, 1980);  // TIM7 starts with the 16-bit year
}

TEST_F(ToBlock, ElementPastTheDataIsRefusedAndTheBlockKept) {
  for (uint16_t type = DT_FIRST; type <= DT_LAST; ++type) {
    if (type == DT_STRING || type == DT_RAW) continue;
    Entry entry(type, dt_natural_tag_type(type), dt_is_time_block(type) ? 6 : 1);
    const ConvBlock block = block_of(2);
    const size_t need = conv_element_bytes(entry.e, block);
    ReportLog local;
    Bytes area(16, 0xEE);
    convert_to_block(area.data(), need - 1, Slot::of(int32_t{1}).bytes, entry.e, block,
                     local.reporter());
    EXPECT_EQ(area, Bytes(16, 0xEE)) << dt_name(type);
    EXPECT_TRUE(local.only("IMX_BOUND")) << dt_name(type);
  }
}

TEST_F(ToBlock, NumbersFromMessageTagsAreParsedFromTheEntryText) {
  Entry text(DT_WORD, TAG_MESSAGE);
  text.set_text("  -300 volts");
  EXPECT_EQ(encode({0, 0}, Slot(), text, block_of(2)), (Bytes{0xD4, 0xFE}));
  Entry real(DT_FLOAT, TAG_MESSAGE);
  real.set_text("1.5");
  EXPECT_EQ(encode({0, 0, 0, 0}, Slot(), real, block_of(2)), (Bytes{0, 0, 0xC0, 0x3F}));
}

// ---- convert_to_typed -------------------------------------------------------------------

struct Typed {
  int result;
  Bytes bytes;  // the bytes written
};

Typed typed(uint16_t data_type, uint16_t tag_type, const Slot& slot, unsigned unit,
            size_t available = 8) {
  Bytes area(8, 0xEE);
  size_t written = 99;
  const int r = convert_to_typed(area.data(), available, slot.bytes, Entry(data_type, tag_type).e,
                                 block_of(unit), &written);
  EXPECT_EQ(Bytes(area.begin() + static_cast<long>(written), area.end()), Bytes(8 - written, 0xEE));
  return {r, Bytes(area.begin(), area.begin() + static_cast<long>(written))};
}

template <class T>
Bytes host(T v) {
  Bytes b(sizeof v);
  memcpy(b.data(), &v, sizeof v);
  return b;
}

TEST(ConvertToTyped, WidthFollowsTheUnitSize) {
  const Slot on = Slot::of(int16_t{1});
  EXPECT_EQ(typed(DT_BIT, TAG_DIGITAL, on, 1).bytes, (Bytes{1}));
  EXPECT_EQ(typed(DT_BIT, TAG_DIGITAL, on, 2).bytes, host(int16_t{1}));
  EXPECT_EQ(typed(DT_BIT, TAG_DIGITAL, on, 4).bytes, host(int32_t{1}));
  EXPECT_EQ(typed(DT_BIT, TAG_DIGITAL, on, 8).bytes, host(1.0));
  EXPECT_EQ(typed(DT_BIT, TAG_FLOAT, Slot::of(0.3), 2).bytes, host(int16_t{1}));

  const Slot minus2 = Slot::of(int16_t{-2});
  EXPECT_EQ(typed(DT_WORD, TAG_ANALOG, minus2, 4).bytes, host(int32_t{-2}));
  EXPECT_EQ(typed(DT_SIGNED_BITS, TAG_ANALOG, minus2, 8).bytes, host(-2.0));
  EXPECT_EQ(typed(DT_BYTE_HI, TAG_ANALOG, minus2, 2).bytes, host(int16_t{-2}));
  EXPECT_EQ(typed(DT_LONG, TAG_LONG, Slot::of(int32_t{-70000}), 8).bytes, host(-70000.0));
  EXPECT_EQ(typed(DT_FLOAT_WS, TAG_FLOAT, Slot::of(0.1), 8).bytes, host(0.1));
  EXPECT_EQ(typed(DT_EXP_FLOAT, TAG_FLOAT, Slot::of(1.0), 8).bytes,
            host(static_cast<double>(0x01400000u)));
  EXPECT_EQ(typed(DT_TIME, TAG_LONG, Slot::of(int32_t{0}), 8).bytes, host(315532800.0));
  EXPECT_EQ(typed(DT_BCD2, TAG_ANALOG, Slot::of(int16_t{59}), 2).bytes, host(int16_t{0x59}));
}

TEST(ConvertToTyped, BcdAndScaleWords) {
  EXPECT_EQ(typed(DT_BCD4, TAG_ANALOG, Slot::of(int16_t{1234}), 4).bytes, host(int32_t{0x1234}));
  // The BCD word is sign-extended.
  EXPECT_EQ(typed(DT_BCD4B, TAG_ANALOG, Slot::of(int16_t{9999}), 4).bytes,
            host(int32_t{static_cast<int16_t>(0x9999)}));
  EXPECT_EQ(typed(DT_BCD4, TAG_ANALOG, Slot::of(int16_t{1234}), 8).bytes, host(4660.0));
  // Unsigned divisions: -1 is 65535, digits 5535.
  EXPECT_EQ(typed(DT_BCD4, TAG_ANALOG, Slot::of(int16_t{-1}), 4).bytes, host(int32_t{0x5535}));
  EXPECT_EQ(typed(DT_SCALE, TAG_ANALOG, Slot::of(int16_t{1000}), 4).bytes, host(int32_t{0xC000}));
  EXPECT_EQ(typed(DT_SCALE, TAG_ANALOG, Slot::of(int16_t{-3}), 8).bytes, host(0.0));
}

TEST(ConvertToTyped, FFloatWritesFourBytes) {
  const Typed t = typed(DT_FFLOAT, TAG_FLOAT, Slot::of(1.0), 8);
  EXPECT_EQ(t.result, 0);
  EXPECT_EQ(t.bytes, host(uint32_t{0x00004080}));
}

TEST(ConvertToTyped, DoubleWritesNothingAndSucceeds) {
  const Typed t = typed(DT_DOUBLE, TAG_FLOAT, Slot::of(1.0), 8);
  EXPECT_EQ(t.result, 0);
  EXPECT_TRUE(t.bytes.empty());
}

TEST(ConvertToTyped, CombinationsWithoutTypedFormFail) {
  EXPECT_EQ(typed(DT_WORD, TAG_ANALOG, Slot::of(int16_t{1}), 2).result, -1);
  EXPECT_EQ(typed(DT_LONG, TAG_LONG, Slot::of(int32_t{1}), 4).result, -1);
  EXPECT_EQ(typed(DT_BYTE, TAG_ANALOG, Slot::of(int16_t{1}), 1).result, -1);
  EXPECT_EQ(typed(DT_BIT, TAG_DIGITAL, Slot::of(int16_t{1}), 0).result, -1);
  EXPECT_EQ(typed(DT_BIT, TAG_DIGITAL, Slot::of(int16_t{1}), 3).result, -1);
  for (uint16_t type : {0, 7, 17, 20, 22, 31, 32, 35}) {
    for (unsigned unit : {1u, 2u, 4u, 8u}) {
      EXPECT_EQ(typed(type, TAG_ANALOG, Slot::of(int16_t{1}), unit).result, -1)
          << type << " " << unit;
    }
  }
  // Too little room for the width.
  EXPECT_EQ(typed(DT_WORD, TAG_ANALOG, Slot::of(int16_t{1}), 8, 7).result, -1);
}

}  // namespace
