// Unit readers/writers, bits, float formats and the tag value converter.
#include "convert/codecs.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "kernel/zqkernel.h"

namespace {

constexpr uint16_t SWAP = CONV_FLAG_BYTE_SWAP;

uint16_t unit_flags(unsigned unit, uint16_t extra = 0) {
  return static_cast<uint16_t>((unit << CONV_UNIT_SIZE_SHIFT) | extra);
}

uint32_t float_bits(float f) {
  uint32_t b;
  memcpy(&b, &f, sizeof b);
  return b;
}
float bits_float(uint32_t b) {
  float f;
  memcpy(&f, &b, sizeof f);
  return f;
}

TEST(UnitReaders, WordAndLongFollowTheByteOrderTable) {
  const uint8_t w[2] = {0x12, 0x34};
  EXPECT_EQ(static_cast<uint16_t>(get_word(0, w)), 0x3412);
  EXPECT_EQ(static_cast<uint16_t>(get_word(SWAP, w)), 0x1234);

  const uint8_t l[4] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(static_cast<uint32_t>(get_long(0, l)), 0x04030201u);
  EXPECT_EQ(static_cast<uint32_t>(get_long(SWAP, l)), 0x01020304u);
  EXPECT_EQ(static_cast<uint32_t>(get_long_ws(0, l)), 0x02010403u);
  EXPECT_EQ(static_cast<uint32_t>(get_long_ws(SWAP, l)), 0x03040102u);

  EXPECT_EQ(get_byte_lo(0, w), 0x12);
  EXPECT_EQ(get_byte_lo(SWAP, w), 0x34);
  EXPECT_EQ(get_byte_hi(0, w), 0x34);
  EXPECT_EQ(get_byte_hi(SWAP, w), 0x12);

  const uint8_t neg[2] = {0xFE, 0xFF};
  EXPECT_EQ(get_word(0, neg), -2);
}

TEST(UnitReaders, DoubleReadsAllEightBytesInEitherOrder) {
  const double x = -1234.5678;
  uint64_t bits;
  memcpy(&bits, &x, sizeof bits);
  uint8_t le[8], be[8];
  for (int i = 0; i < 8; ++i) {
    le[i] = static_cast<uint8_t>(bits >> (8 * i));
    be[7 - i] = le[i];
  }
  EXPECT_EQ(get_double(0, le), x);
  EXPECT_EQ(get_double(SWAP, be), x);
}

TEST(UnitWriters, ByteWritersKeepTheOtherByte) {
  uint8_t u[2] = {0x12, 0x34};
  put_byte_hi(0, u, 0x1FF);
  EXPECT_EQ(u[0], 0x12);
  EXPECT_EQ(u[1], 0xFF);
  put_byte_lo(SWAP, u, 0x0AB);
  EXPECT_EQ(u[0], 0x12);
  EXPECT_EQ(u[1], 0xAB);
  put_byte_hi(SWAP, u, 0x77);
  EXPECT_EQ(u[0], 0x77);
  put_byte_lo(0, u, 0x155);
  EXPECT_EQ(u[0], 0x55);
  EXPECT_EQ(u[1], 0xAB);
}

// Every writer against bytes composed with explicit shifts, both byte orders.
TEST(UnitWriters, WritersProduceTheTableBytesAndReadersInvertThem) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    const uint32_t v = rng();
    uint8_t b[4];

    put_word(0, b, static_cast<uint16_t>(v));
    EXPECT_EQ(b[0], v & 0xFF);
    EXPECT_EQ(b[1], (v >> 8) & 0xFF);
    EXPECT_EQ(static_cast<uint16_t>(get_word(0, b)), static_cast<uint16_t>(v));
    put_word(SWAP, b, static_cast<uint16_t>(v));
    EXPECT_EQ(b[0], (v >> 8) & 0xFF);
    EXPECT_EQ(b[1], v & 0xFF);
    EXPECT_EQ(static_cast<uint16_t>(get_word(SWAP, b)), static_cast<uint16_t>(v));

    put_long(0, b, v);
    EXPECT_EQ(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24, v);
    EXPECT_EQ(static_cast<uint32_t>(get_long(0, b)), v);
    put_long(SWAP, b, v);
    EXPECT_EQ(static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3], v);
    EXPECT_EQ(static_cast<uint32_t>(get_long(SWAP, b)), v);

    // Word-swapped: B1 B0 B3 B2 clear, B2 B3 B0 B1 set.
    put_long_ws(0, b, v);
    EXPECT_EQ(static_cast<uint32_t>(b[1]) << 24 | b[0] << 16 | b[3] << 8 | b[2], v);
    EXPECT_EQ(static_cast<uint32_t>(get_long_ws(0, b)), v);
    put_long_ws(SWAP, b, v);
    EXPECT_EQ(static_cast<uint32_t>(b[2]) << 24 | b[3] << 16 | b[0] << 8 | b[1], v);
    EXPECT_EQ(static_cast<uint32_t>(get_long_ws(SWAP, b)), v);

    uint8_t d[8];
    const double x = static_cast<double>(static_cast<int32_t>(v)) / 7.0;
    put_double(0, d, x);
    EXPECT_EQ(get_double(0, d), x);
    put_double(SWAP, d, x);
    EXPECT_EQ(get_double(SWAP, d), x);
  }
}

TEST(Bits, WordUnitMaskDependsOnNumberingFlags) {
  const ConvBlock msb_first{unit_flags(2, CONV_FLAG_ONE_BASED_BITS), 1, 0, 0};
  const ConvBlock lsb_first{unit_flags(2, CONV_FLAG_ONE_BASED_BITS | CONV_FLAG_LOW_BIT_FIRST), 1, 0,
                            0};
  uint8_t u[2] = {0x00, 0x80};  // word 0x8000
  EXPECT_NE(get_bit(msb_first, u, 1), 0u);
  EXPECT_EQ(get_bit(lsb_first, u, 1), 0u);
  u[0] = 0x01;
  u[1] = 0x00;  // word 0x0001
  EXPECT_EQ(get_bit(msb_first, u, 1), 0u);
  EXPECT_NE(get_bit(lsb_first, u, 1), 0u);
  // One-based numbering: bit number 0 lies outside the unit.
  u[0] = 0xFF;
  u[1] = 0xFF;
  EXPECT_EQ(get_bit(lsb_first, u, 0), 0u);
  EXPECT_EQ(get_bit(lsb_first, u, 17), 0u);
  EXPECT_NE(get_bit(lsb_first, u, 16), 0u);
}

TEST(Bits, BitAddressedBlockCountsFromTheSourceStart) {
  const ConvBlock plain{unit_flags(0), 64, 100, 100};
  const ConvBlock low{unit_flags(0, CONV_FLAG_LOW_BIT_FIRST), 64, 100, 100};
  // Address 109 is bit 1 of its byte.
  uint8_t byte = 0x02;
  EXPECT_NE(get_bit(low, &byte, 109), 0u);
  EXPECT_EQ(get_bit(plain, &byte, 109), 0u);
  byte = 0x40;
  EXPECT_NE(get_bit(plain, &byte, 109), 0u);
  EXPECT_EQ(get_bit(low, &byte, 109), 0u);
  // Below the start selects nothing, whatever the remainder.
  byte = 0xFF;
  EXPECT_EQ(get_bit(low, &byte, 99), 0u);
  EXPECT_EQ(get_bit(low, &byte, 92), 0u);
  put_bit(low, &byte, 92, 0);
  EXPECT_EQ(byte, 0xFF);
  // One-based numbering does not apply to bit addresses.
  const ConvBlock one{unit_flags(0, CONV_FLAG_LOW_BIT_FIRST | CONV_FLAG_ONE_BASED_BITS), 64, 100,
                      100};
  byte = 0x01;
  EXPECT_NE(get_bit(one, &byte, 100), 0u);
}

TEST(Bits, LongUnitReachesBit31) {
  const ConvBlock lsb{unit_flags(4, CONV_FLAG_LOW_BIT_FIRST), 1, 0, 0};
  const ConvBlock msb{unit_flags(4), 1, 0, 0};
  uint8_t u[4] = {0, 0, 0, 0x80};
  EXPECT_NE(get_bit(lsb, u, 31), 0u);
  EXPECT_NE(get_bit(msb, u, 0), 0u);
  EXPECT_EQ(get_bit(msb, u, 32), 0u);
  EXPECT_EQ(bit_unit_bytes(unit_flags(3)), 0u);
  EXPECT_EQ(bit_unit_bytes(unit_flags(8)), 0u);
}

TEST(Bits, PutBitChangesExactlyOneBitOfTheUnit) {
  std::mt19937 rng(11);
  for (unsigned unit : {1u, 2u, 4u}) {
    for (uint16_t extra : {0, 0x0100, 0x0200, 0x0300, 0x0800, 0x0B00}) {
      const ConvBlock block{unit_flags(unit, extra), 1, 0, 0};
      const int base = (extra & CONV_FLAG_ONE_BASED_BITS) ? 1 : 0;
      for (int n = 0; n < static_cast<int>(unit) * 8; ++n) {
        uint8_t before[4];
        for (auto& b : before) b = static_cast<uint8_t>(rng());
        uint8_t after[4];
        memcpy(after, before, 4);
        const int16_t value = (get_bit(block, before, n + base) != 0) ? 0 : 1;
        put_bit(block, after, n + base, value);
        int changed = 0;
        for (unsigned i = 0; i < 4; ++i) changed += __builtin_popcount(before[i] ^ after[i]);
        EXPECT_EQ(changed, 1) << "unit " << unit << " flags " << extra << " bit " << n;
        EXPECT_EQ(get_bit(block, after, n + base) != 0, value != 0);
        EXPECT_EQ(memcmp(before + unit, after + unit, 4 - unit), 0);
      }
    }
  }
}

TEST(Bits, SwappedLongBitZeroIsTheTopBitOfTheFirstDeviceByte) {
  const ConvBlock block{unit_flags(4, CONV_FLAG_BYTE_SWAP), 1, 0, 0};
  uint8_t u[4] = {0, 0, 0, 0};
  put_bit(block, u, 0, 1);
  EXPECT_EQ(u[0], 0x80);
  EXPECT_EQ(u[1] | u[2] | u[3], 0);
}

TEST(ExpFloat, DecodesTheDocumentedPatterns) {
  EXPECT_EQ(decode_exp_float(0x01400000), 1.0);
  EXPECT_EQ(decode_exp_float(0x00800000), -1.0);
  EXPECT_EQ(decode_exp_float(0x02600000), 3.0);
  EXPECT_EQ(decode_exp_float(0x07640000), 100.0);
  EXPECT_EQ(decode_exp_float(0xFF800000), -0.5);
  EXPECT_EQ(decode_exp_float(0x80000000), 0.0);
  EXPECT_EQ(decode_exp_float(0x00000000), 0.0);
}

TEST(ExpFloat, EncodesTheDocumentedValues) {
  EXPECT_EQ(encode_exp_float(1.0), 0x01400000u);
  EXPECT_EQ(encode_exp_float(-1.0), 0x00800000u);
  EXPECT_EQ(encode_exp_float(0.5), 0x00400000u);
  EXPECT_EQ(encode_exp_float(-0.5), 0xFF800000u);
  EXPECT_EQ(encode_exp_float(-3.0), 0x02A00000u);
  EXPECT_EQ(encode_exp_float(123456.789), 0x11789032u);
  EXPECT_EQ(encode_exp_float(0.0), 0x80000000u);
  EXPECT_EQ(encode_exp_float(std::numeric_limits<double>::quiet_NaN()), 0x80000000u);
}

// Values with at most 22 fraction bits survive encode and decode exactly.
TEST(ExpFloat, RoundTripsValuesOfTwentyTwoFractionBits) {
  std::mt19937 rng(3);
  for (int i = 0; i < 2000; ++i) {
    const uint32_t fraction = rng() & 0x3FFFFF;
    const int exponent = static_cast<int>(rng() % 200) - 100;
    double x = ldexp(1.0 + fraction / 4194304.0, exponent);
    if (rng() & 1) x = -x;
    EXPECT_EQ(decode_exp_float(encode_exp_float(x)), x) << x;
  }
}

TEST(FFloat, DecodesAndEncodesTheDocumentedPatterns) {
  EXPECT_EQ(decode_f_float(0x00004080), float_bits(1.0f));
  EXPECT_EQ(decode_f_float(0x0000C080), float_bits(-1.0f));
  EXPECT_EQ(decode_f_float(0x00008000), 0xFFFF0000u);
  EXPECT_EQ(decode_f_float(0x00000000), 0u);
  EXPECT_EQ(decode_f_float(0x00000100), 0u);
  EXPECT_EQ(decode_f_float(0x00007F80), float_bits(std::numeric_limits<float>::infinity()));
  EXPECT_EQ(decode_f_float(0x0000FF80), float_bits(-std::numeric_limits<float>::infinity()));

  EXPECT_EQ(encode_f_float(float_bits(1.0f)), 0x00004080u);
  EXPECT_EQ(encode_f_float(float_bits(0.5f)), 0x00004000u);
  EXPECT_EQ(encode_f_float(float_bits(3.0f)), 0x00004140u);
  EXPECT_EQ(encode_f_float(float_bits(0.0f)), 0x00000100u);
  EXPECT_EQ(encode_f_float(float_bits(-0.0f)), 0u);
  EXPECT_EQ(encode_f_float(float_bits(std::numeric_limits<float>::infinity())), 0x00008000u);
  EXPECT_EQ(encode_f_float(float_bits(std::numeric_limits<float>::quiet_NaN())), 0x00008000u);
}

TEST(FFloat, RoundTripsFloatsInsideTheFFloatingRange) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> exponent(-60.0, 60.0);
  for (int i = 0; i < 5000; ++i) {
    float f = static_cast<float>(pow(2.0, exponent(rng)));
    if (rng() & 1) f = -f;
    EXPECT_EQ(bits_float(decode_f_float(encode_f_float(float_bits(f)))), f);
  }
}

TEST(ReverseBytes, ReversesInPlaceKeepingAnOddMiddle) {
  uint8_t a[5] = {1, 2, 3, 4, 5};
  reverse_bytes(a, 5);
  EXPECT_EQ(std::string(a, a + 5), std::string("\5\4\3\2\1", 5));
  reverse_bytes(a, 4);
  EXPECT_EQ(std::string(a, a + 5), std::string("\2\3\4\5\1", 5));
  reverse_bytes(a, 1);
  reverse_bytes(a, 0);
  EXPECT_EQ(a[0], 2);
}

// ---- convert_tag_value --------------------------------------------------------------

int16_t as_i16(const unsigned char* slot) {
  int16_t v;
  memcpy(&v, slot, sizeof v);
  return v;
}
int32_t as_i32(const unsigned char* slot) {
  int32_t v;
  memcpy(&v, slot, sizeof v);
  return v;
}
double as_f64(const unsigned char* slot) {
  double v;
  memcpy(&v, slot, sizeof v);
  return v;
}

struct TextSlot {
  char text[CONV_TEXT_SIZE];
  unsigned char slot[sizeof(MessageValue)];
  explicit TextSlot(uint16_t capacity = CONV_TEXT_SIZE) {
    memset(text, 'x', sizeof text);
    const MessageValue m{text, capacity, 0};
    memcpy(slot, &m, sizeof m);
  }
  MessageValue value() const {
    MessageValue m;
    memcpy(&m, slot, sizeof m);
    return m;
  }
  std::string str() const {
    const MessageValue m = value();
    return std::string(m.text, m.length);
  }
};

MessageValue message_of(const char* text) {
  return MessageValue{const_cast<char*>(text), static_cast<uint16_t>(strlen(text) + 1),
                      static_cast<uint16_t>(strlen(text))};
}

TEST(ConvertTagValue, NumbersToNumbers) {
  unsigned char slot[8];
  const int16_t analog = -5;
  ASSERT_NE(convert_tag_value(&analog, TAG_ANALOG, slot, TAG_DIGITAL), nullptr);
  EXPECT_EQ(as_i16(slot), 1);
  convert_tag_value(&analog, TAG_ANALOG, slot, TAG_LONG);
  EXPECT_EQ(as_i32(slot), -5);
  convert_tag_value(&analog, TAG_ANALOG, slot, TAG_FLOAT);
  EXPECT_EQ(as_f64(slot), -5.0);

  const int16_t digital = 5;  // copied unchanged between digital tags
  convert_tag_value(&digital, TAG_DIGITAL, slot, TAG_DIGITAL);
  EXPECT_EQ(as_i16(slot), 5);

  for (double x : {0.7, -0.7}) {
    convert_tag_value(&x, TAG_FLOAT, slot, TAG_ANALOG);
    EXPECT_EQ(as_i16(slot), 0) << x;
  }
  double x = 70000.0;
  convert_tag_value(&x, TAG_FLOAT, slot, TAG_ANALOG);
  EXPECT_EQ(as_i16(slot), 4464);
  x = 5e9;
  convert_tag_value(&x, TAG_FLOAT, slot, TAG_LONG);
  EXPECT_EQ(as_i32(slot), static_cast<int32_t>(5000000000LL & 0xFFFFFFFF));
  x = 1e300;  // beyond the 64-bit integer range
  convert_tag_value(&x, TAG_FLOAT, slot, TAG_LONG);
  EXPECT_EQ(as_i32(slot), 0);
  x = std::numeric_limits<double>::quiet_NaN();
  convert_tag_value(&x, TAG_FLOAT, slot, TAG_DIGITAL);
  EXPECT_EQ(as_i16(slot), 0);
  x = -0.1;
  convert_tag_value(&x, TAG_FLOAT, slot, TAG_DIGITAL);
  EXPECT_EQ(as_i16(slot), 1);

  const int32_t big = 65536;
  convert_tag_value(&big, TAG_LONG, slot, TAG_DIGITAL);
  EXPECT_EQ(as_i16(slot), 1);
  convert_tag_value(&big, TAG_LONG, slot, TAG_ANALOG);
  EXPECT_EQ(as_i16(slot), 0);
}

TEST(ConvertTagValue, TextsToNumbers) {
  unsigned char slot[8];
  MessageValue m = message_of("12abc");
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_LONG);
  EXPECT_EQ(as_i32(slot), 12);
  m = message_of("  -2.5e3x");
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_FLOAT);
  EXPECT_EQ(as_f64(slot), -2500.0);
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_ANALOG);
  EXPECT_EQ(as_i16(slot), -2);
  m = message_of("70000");
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_ANALOG);
  EXPECT_EQ(as_i16(slot), 4464);
  m = message_of("65536");  // cut to 16 bits it is 0
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_DIGITAL);
  EXPECT_EQ(as_i16(slot), 0);
  m = message_of("abc");
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_LONG);
  EXPECT_EQ(as_i32(slot), 0);
  m = message_of("1e999");
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_FLOAT);
  EXPECT_TRUE(isinf(as_f64(slot)));
  // The text ends at `length` even without a terminator.
  char unterminated[3] = {'4', '2', '7'};
  m = MessageValue{unterminated, 3, 2};
  convert_tag_value(&m, TAG_MESSAGE, slot, TAG_LONG);
  EXPECT_EQ(as_i32(slot), 42);
}

TEST(ConvertTagValue, NumbersToTextUseTheCallersStorage) {
  TextSlot t;
  const int16_t a = -123;
  ASSERT_NE(convert_tag_value(&a, TAG_ANALOG, t.slot, TAG_MESSAGE), nullptr);
  EXPECT_EQ(t.str(), "-123");
  EXPECT_EQ(t.value().text, t.text);
  EXPECT_EQ(t.text[4], '\0');
  const int32_t l = -2147483647 - 1;
  convert_tag_value(&l, TAG_LONG, t.slot, TAG_MESSAGE);
  EXPECT_EQ(t.str(), "-2147483648");
  double x = 1.5;
  convert_tag_value(&x, TAG_FLOAT, t.slot, TAG_MESSAGE);
  EXPECT_EQ(t.str(), "1.500000");
}

TEST(ConvertTagValue, HugeFloatTextStaysInsideEightyBytesAndReadsBack) {
  TextSlot t;
  for (double x : {1e300, -1.7976931348623157e308, 1e71, 123456789012345678.0}) {
    convert_tag_value(&x, TAG_FLOAT, t.slot, TAG_MESSAGE);
    const MessageValue m = t.value();
    ASSERT_LT(m.length, CONV_TEXT_SIZE);
    EXPECT_EQ(t.text[m.length], '\0');
    EXPECT_EQ(strtod(t.str().c_str(), nullptr), x) << t.str();
  }
  // A small storage cuts the text but keeps it terminated.
  TextSlot small(4);
  const double y = 12345.0;
  convert_tag_value(&y, TAG_FLOAT, small.slot, TAG_MESSAGE);
  EXPECT_EQ(small.str(), "123");
  EXPECT_EQ(small.text[3], '\0');
  EXPECT_EQ(small.text[4], 'x');
}

TEST(ConvertTagValue, TextToTextIsCutToTheCapacity) {
  TextSlot t(6);
  MessageValue m = message_of("abcdefghij");
  convert_tag_value(&m, TAG_MESSAGE, t.slot, TAG_MESSAGE);
  EXPECT_EQ(t.str(), "abcde");
  m = message_of("hi");
  convert_tag_value(&m, TAG_MESSAGE, t.slot, TAG_MESSAGE);
  EXPECT_EQ(t.str(), "hi");
}

TEST(ConvertTagValue, RefusesWhatItCannotConvert) {
  unsigned char slot[16] = {};
  const int16_t v = 1;
  EXPECT_EQ(convert_tag_value(nullptr, TAG_ANALOG, slot, TAG_ANALOG), nullptr);
  EXPECT_EQ(convert_tag_value(&v, TAG_ANALOG, nullptr, TAG_ANALOG), nullptr);
  EXPECT_EQ(convert_tag_value(&v, TAG_MAILBOX, slot, TAG_ANALOG), nullptr);
  EXPECT_EQ(convert_tag_value(&v, TAG_ANALOG, slot, 7), nullptr);
  // A message target without storage is left alone.
  EXPECT_EQ(convert_tag_value(&v, TAG_ANALOG, slot, TAG_MESSAGE), nullptr);
  for (unsigned char b : slot) EXPECT_EQ(b, 0);
}

}  // namespace
