// Round trips over every data type, unit size and byte order: encoding a
// value must give the device bytes computed here with explicit shifts, and
// decoding those bytes must give the value back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
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

constexpr unsigned ROUNDS = 40;

// ---- Device bytes, composed independently of the codecs ------------------------------

Bytes le(uint64_t v, int n) {
  Bytes b(n);
  for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}
Bytes be(uint64_t v, int n) {
  Bytes b(n);
  for (int i = 0; i < n; ++i) b[n - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}
Bytes dev(uint64_t v, int n, bool swap) {
  return swap ? be(v, n) : le(v, n);
}
// Word-swapped long: B1 B0 B3 B2 without byte swap, B2 B3 B0 B1 with it.
Bytes dev_ws(uint32_t v, bool swap) {
  if (swap) return {uint8_t(v >> 8), uint8_t(v), uint8_t(v >> 24), uint8_t(v >> 16)};
  return {uint8_t(v >> 16), uint8_t(v >> 24), uint8_t(v), uint8_t(v >> 8)};
}
// Overlays the element bytes on a background.
Bytes over(Bytes background, const Bytes& element) {
  for (size_t i = 0; i < element.size(); ++i) background[i] = element[i];
  return background;
}
uint64_t decimal_bcd(uint64_t v, int digits) {
  uint64_t r = 0;
  for (int i = 0; i < digits; ++i) {
    r |= (v % 10) << (4 * i);
    v /= 10;
  }
  return r;
}
uint32_t f32_bits(float f) {
  uint32_t b;
  memcpy(&b, &f, sizeof b);
  return b;
}
uint64_t f64_bits(double d) {
  uint64_t b;
  memcpy(&b, &d, sizeof b);
  return b;
}

// Weekday (0 = Sunday) of a Gregorian date.
int weekday_of(int y, int m, int d) {
  static const int T[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (m < 3) y -= 1;
  return (y + y / 4 - y / 100 + y / 400 + T[m - 1] + d) % 7;
}

class RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override { conv_test::install_datetime_tables(); }

  // Encodes `value` into a copy of `background` and expects `expected`; then
  // decodes those bytes and returns the slot.
  Slot run(const std::string& what, const Entry& entry, const ConvBlock& block, const Slot& value,
           const Bytes& background, const Bytes& expected) {
    Bytes area = background;
    convert_to_block(area.data(), area.size(), value.bytes, entry.e, block, log.reporter());
    EXPECT_EQ(area, expected) << what;
    Slot decoded;
    convert_from_block(decoded.bytes, area.data(), area.size(), entry.e, block, log.reporter());
    EXPECT_TRUE(log.reports.empty()) << what << ": " << log.reports[0].key;
    log.reports.clear();
    return decoded;
  }
  Bytes background(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  }
  static std::string name(uint16_t type, unsigned unit, bool swap) {
    return std::string(dt_name(type)) + " u=" + std::to_string(unit) + (swap ? " swapped" : "");
  }

  std::mt19937 rng{20240229};
  ReportLog log;
};

const unsigned ALL_UNITS[] = {0, 1, 2, 4, 8};

TEST_F(RoundTrip, SixteenBitTypes) {
  for (unsigned unit : ALL_UNITS) {
    for (bool swap : {false, true}) {
      const ConvBlock block = block_of(unit, swap ? CONV_FLAG_BYTE_SWAP : 0);
      for (unsigned r = 0; r < ROUNDS; ++r) {
        const Bytes bg = background(4);
        const int16_t w = static_cast<int16_t>(rng());
        const uint8_t byte = static_cast<uint8_t>(rng());

        Slot s = run(name(DT_WORD, unit, swap), Entry(DT_WORD, TAG_ANALOG), block, Slot::of(w), bg,
                     over(bg, dev(static_cast<uint16_t>(w), 2, swap)));
        EXPECT_EQ(s.i16(), w);

        Bytes lo = bg, hi = bg;
        lo[swap ? 1 : 0] = byte;
        hi[swap ? 0 : 1] = byte;
        s = run(name(DT_BYTE_LO, unit, swap), Entry(DT_BYTE_LO, TAG_ANALOG), block,
                Slot::of(int16_t{byte}), bg, lo);
        EXPECT_EQ(s.i16(), byte);
        s = run(name(DT_BYTE_HI, unit, swap), Entry(DT_BYTE_HI, TAG_ANALOG), block,
                Slot::of(int16_t{byte}), bg, hi);
        EXPECT_EQ(s.i16(), byte);
        s = run(name(DT_BYTE, unit, swap), Entry(DT_BYTE, TAG_ANALOG), block,
                Slot::of(int16_t{byte}), bg, over(bg, {byte}));
        EXPECT_EQ(s.i16(), byte);

        const int16_t low14 = static_cast<int16_t>(rng() & 0x3FFF);
        s = run(name(DT_LOW14, unit, swap), Entry(DT_LOW14, TAG_ANALOG), block, Slot::of(low14), bg,
                over(bg, dev(static_cast<uint16_t>(low14), 2, swap)));
        EXPECT_EQ(s.i16(), low14);

        const uint16_t sign = static_cast<uint16_t>(rng() % 14);
        const int32_t span = 1 << sign;
        const int16_t field = static_cast<int16_t>(static_cast<int32_t>(rng() % (2 * span)) - span);
        s = run(name(DT_SIGNED_BITS, unit, swap), Entry(DT_SIGNED_BITS, TAG_ANALOG, sign), block,
                Slot::of(field), bg, over(bg, dev(static_cast<uint16_t>(field), 2, swap)));
        EXPECT_EQ(s.i16(), field) << "sign bit " << sign;

        const int16_t bcd4 = static_cast<int16_t>(rng() % 10000);
        for (uint16_t type : {DT_BCD4, DT_BCD4B}) {
          s = run(name(type, unit, swap), Entry(type, TAG_ANALOG), block, Slot::of(bcd4), bg,
                  over(bg, dev(decimal_bcd(static_cast<uint64_t>(bcd4), 4), 2, swap)));
          EXPECT_EQ(s.i16(), bcd4);
        }
        const int16_t bcd2 = static_cast<int16_t>(rng() % 100);
        s = run(name(DT_BCD2, unit, swap), Entry(DT_BCD2, TAG_ANALOG), block, Slot::of(bcd2), bg,
                over(bg, {static_cast<uint8_t>(decimal_bcd(static_cast<uint64_t>(bcd2), 2))}));
        EXPECT_EQ(s.i16(), bcd2);

        const int exponent = static_cast<int>(rng() % 4);
        const int16_t power = static_cast<int16_t>(std::pow(10, exponent));
        s = run(name(DT_SCALE, unit, swap), Entry(DT_SCALE, TAG_ANALOG), block, Slot::of(power), bg,
                over(bg, dev(static_cast<uint64_t>(exponent) << 14, 2, swap)));
        EXPECT_EQ(s.i16(), power);

        // Fixed point on its grid: every word with a non-zero magnitude.
        uint16_t fixed = static_cast<uint16_t>(rng());
        if ((fixed & 0x7FFF) == 0) fixed |= 1;
        const double magnitude = ((fixed & 0x4000) ? 1.0 : 0.0) + (fixed & 0x3FFF) / 16384.0;
        const double x = (fixed & 0x8000) ? -magnitude : magnitude;
        s = run(name(DT_FIXED, unit, swap), Entry(DT_FIXED, TAG_FLOAT), block, Slot::of(x), bg,
                over(bg, dev(fixed, 2, swap)));
        EXPECT_EQ(s.f64(), x);
      }
    }
  }
}

TEST_F(RoundTrip, ThirtyTwoAndSixtyFourBitTypes) {
  std::uniform_real_distribution<double> exponents(-100.0, 100.0);
  for (unsigned unit : ALL_UNITS) {
    for (bool swap : {false, true}) {
      const ConvBlock block = block_of(unit, swap ? CONV_FLAG_BYTE_SWAP : 0);
      for (unsigned r = 0; r < ROUNDS; ++r) {
        const Bytes bg = background(8);
        const int32_t l = static_cast<int32_t>(rng());
        Slot s = run(name(DT_LONG, unit, swap), Entry(DT_LONG, TAG_LONG), block, Slot::of(l), bg,
                     over(bg, dev(static_cast<uint32_t>(l), 4, swap)));
        EXPECT_EQ(s.i32(), l);
        s = run(name(DT_LONG_WS, unit, swap), Entry(DT_LONG_WS, TAG_LONG), block, Slot::of(l), bg,
                over(bg, dev_ws(static_cast<uint32_t>(l), swap)));
        EXPECT_EQ(s.i32(), l);

        const int32_t bcd8 = static_cast<int32_t>(rng() % 100000000);
        s = run(name(DT_BCD8, unit, swap), Entry(DT_BCD8, TAG_LONG), block, Slot::of(bcd8), bg,
                over(bg, dev(decimal_bcd(static_cast<uint64_t>(bcd8), 8), 4, swap)));
        EXPECT_EQ(s.i32(), bcd8);

        const int32_t seconds = static_cast<int32_t>(rng() % 1800000000u);
        s = run(name(DT_TIME, unit, swap), Entry(DT_TIME, TAG_LONG), block, Slot::of(seconds), bg,
                over(bg, dev(static_cast<uint32_t>(seconds) + 315532800u, 4, swap)));
        EXPECT_EQ(s.i32(), seconds);

        double d;
        do {
          const uint64_t bits = (uint64_t{rng()} << 32) | rng();
          memcpy(&d, &bits, sizeof d);
        } while (std::isnan(d));
        s = run(name(DT_DOUBLE, unit, swap), Entry(DT_DOUBLE, TAG_FLOAT), block, Slot::of(d), bg,
                over(bg, dev(f64_bits(d), 8, swap)));
        EXPECT_EQ(f64_bits(s.f64()), f64_bits(d));

        float f = static_cast<float>(std::pow(2.0, exponents(rng)));
        if (rng() & 1) f = -f;
        const double widened = f;
        s = run(name(DT_FLOAT, unit, swap), Entry(DT_FLOAT, TAG_FLOAT), block, Slot::of(widened),
                bg, over(bg, dev(f32_bits(f), 4, swap)));
        EXPECT_EQ(s.f64(), widened);
        s = run(name(DT_FLOAT_WS, unit, swap), Entry(DT_FLOAT_WS, TAG_FLOAT), block,
                Slot::of(widened), bg, over(bg, dev_ws(f32_bits(f), swap)));
        EXPECT_EQ(s.f64(), widened);

        // F_floating: sign, exponent (IEEE biased + 2) and the high fraction
        // bits in the first word, the low fraction bits in the second.
        const uint32_t ieee = f32_bits(f);
        const uint32_t first =
            ((ieee >> 31) << 15) | (((ieee >> 23) & 0xFF) + 2) << 7 | ((ieee >> 16) & 0x7F);
        const uint32_t pattern = ((ieee & 0xFFFF) << 16) | first;
        s = run(name(DT_FFLOAT, unit, swap), Entry(DT_FFLOAT, TAG_FLOAT), block, Slot::of(widened),
                bg, over(bg, dev(pattern, 4, swap)));
        EXPECT_EQ(s.f64(), widened);
        s = run(name(DT_FFLOAT_WS, unit, swap), Entry(DT_FFLOAT_WS, TAG_FLOAT), block,
                Slot::of(widened), bg, over(bg, dev_ws(pattern, swap)));
        EXPECT_EQ(s.f64(), widened);

        // Exponent float: value (fraction / 2^23) * 2^e with 22 significant
        // fraction bits below the leading one.
        const uint32_t fraction = rng() & 0x3FFFFF;
        const int e = static_cast<int>(rng() % 200) - 100;
        const bool negative = rng() & 1;
        const double magnitude = std::ldexp(static_cast<double>(0x400000 | fraction), e - 23);
        uint32_t exp_pattern;
        if (!negative) {
          exp_pattern = (static_cast<uint32_t>(e) & 0xFF) << 24 | 0x400000 | fraction;
        } else if (fraction == 0) {  // minus a power of two: fraction -1
          exp_pattern = (static_cast<uint32_t>(e - 1) & 0xFF) << 24 | 0x800000;
        } else {
          exp_pattern = (static_cast<uint32_t>(e) & 0xFF) << 24 |
                        ((0x1000000 - (0x400000 | fraction)) & 0xFFFFFF);
        }
        const double exp_value = negative ? -magnitude : magnitude;
        s = run(name(DT_EXP_FLOAT, unit, swap), Entry(DT_EXP_FLOAT, TAG_FLOAT), block,
                Slot::of(exp_value), bg, over(bg, dev(exp_pattern, 4, swap)));
        EXPECT_EQ(s.f64(), exp_value);
      }
    }
  }
}

TEST_F(RoundTrip, BitsOfEveryUnitAndNumbering) {
  for (unsigned unit : {0u, 1u, 2u, 4u}) {
    for (uint16_t extra = 0; extra < 8; ++extra) {
      const bool swap = extra & 1, low_first = extra & 2, one_based = extra & 4;
      const uint16_t flags = static_cast<uint16_t>((swap ? CONV_FLAG_BYTE_SWAP : 0) |
                                                   (low_first ? CONV_FLAG_LOW_BIT_FIRST : 0) |
                                                   (one_based ? CONV_FLAG_ONE_BASED_BITS : 0));
      const uint16_t start = static_cast<uint16_t>(rng() % 1000);
      const ConvBlock block = block_of(unit, flags, 64, start);
      const int width = unit == 0 ? 8 : static_cast<int>(unit) * 8;
      for (int n = 0; n < width; ++n) {
        const Bytes bg = background(4);
        const int nbytes = unit <= 1 ? 1 : static_cast<int>(unit);
        uint64_t u = 0;  // the unit's value, composed from its device bytes
        for (int i = 0; i < nbytes; ++i) {
          const int shift = swap ? 8 * (nbytes - 1 - i) : 8 * i;
          u |= uint64_t{bg[i]} << shift;
        }
        const uint64_t mask = low_first ? uint64_t{1} << n : (uint64_t{1} << (width - 1)) >> n;
        const int16_t on = static_cast<int16_t>(rng() & 1);
        u = on ? (u | mask) : (u & ~mask);
        Entry entry(DT_BIT, TAG_DIGITAL);
        if (unit == 0) {
          entry.e.address = static_cast<uint16_t>(start + 8 * (rng() % 10) + n);
        } else {
          entry.e.length = static_cast<uint16_t>(n + (one_based ? 1 : 0));
        }
        const Slot s = run(name(DT_BIT, unit, swap) + " bit " + std::to_string(n) + " flags " +
                               std::to_string(flags),
                           entry, block, Slot::of(on), bg, over(bg, dev(u, nbytes, swap)));
        EXPECT_EQ(s.i16(), on);
      }
    }
  }
}

// The device bytes of a string element: unit-reversed on 2- and 4-byte units
// without byte swap, the last unit's bytes beyond the text in their places.
Bytes string_device_bytes(const std::string& text, const Bytes& bg, unsigned unit, bool swap) {
  Bytes out = bg;
  const size_t length = text.size();
  if (swap || unit <= 1) {
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(text[i]);
    return out;
  }
  const size_t units = (length + unit - 1) / unit;
  for (size_t q = 0; q < units * unit; ++q) {
    const size_t logical = (q / unit) * unit + (unit - 1 - q % unit);
    if (logical < length) out[q] = static_cast<uint8_t>(text[logical]);
  }
  return out;
}

TEST_F(RoundTrip, StringsAndRawBytes) {
  for (unsigned unit : {0u, 1u, 2u, 4u}) {
    for (bool swap : {false, true}) {
      const ConvBlock block = block_of(unit, swap ? CONV_FLAG_BYTE_SWAP : 0, 16);
      for (unsigned r = 0; r < ROUNDS; ++r) {
        const uint16_t length = static_cast<uint16_t>(1 + rng() % 20);
        std::string text(length, ' ');
        for (auto& c : text) c = static_cast<char>('!' + rng() % 90);
        const Bytes bg = background(24);
        Entry entry(DT_STRING, TAG_MESSAGE, length);
        entry.set_text(text);
        const Slot s = run(name(DT_STRING, unit, swap), entry, block, Slot(), bg,
                           string_device_bytes(text, bg, unit, swap));
        EXPECT_EQ(s.text(), text);
        EXPECT_EQ(s.message().text, entry.e.text);

        if (unit == 0) continue;
        Entry raw(DT_RAW, TAG_MESSAGE, length);
        raw.set_text(text);
        const size_t n = std::min<size_t>(length, 16u * unit);
        Bytes want = bg;
        for (size_t i = 0; i < n; ++i) want[i] = static_cast<uint8_t>(text[i]);
        const Slot t = run(name(DT_RAW, unit, swap), raw, block, Slot(), bg, want);
        EXPECT_EQ(t.text(), text.substr(0, n));
      }
    }
  }
}

// Field order of the installation's ten layouts.
enum Field { HR, MI, SC, YP, YR, YEAR, MO, DY, DOW, X };
struct LayoutFields {
  bool bcd;
  std::vector<Field> fields;
};
const LayoutFields LAYOUTS[TIME_LAYOUT_COUNT] = {
    {true, {YR, MO, DY, HR, MI, SC}},      {false, {YR, MO, DY, HR, MI, SC}},
    {false, {YEAR, MO, DY, HR, MI, SC}},   {true, {SC, MI, HR, DY, MO, YR}},
    {true, {YP, YR, MO, DY, HR, MI, SC}},  {true, {YR, MO, DY, HR, MI, SC, X, X}},
    {true, {SC, MI, HR, DOW, DY, MO, YR}}, {false, {YEAR, MO, DY, DOW, HR, MI, SC, X, X, X, X}},
    {true, {DY, MO, YR, HR, MI, SC}},      {false, {YEAR, MO, X, DY, X, HR, X, MI, X, SC, X}},
};

struct Date {
  int year, month, day, hour, minute, second;
};

Bytes layout_bytes(const LayoutFields& layout, const Date& d) {
  Bytes out;
  auto put = [&](int v) {
    out.push_back(static_cast<uint8_t>(layout.bcd ? ((v / 10) % 10) << 4 | (v % 10) : v));
  };
  for (Field f : layout.fields) {
    switch (f) {
      case HR:
        put(d.hour);
        break;
      case MI:
        put(d.minute);
        break;
      case SC:
        put(d.second);
        break;
      case YP:
        put(d.year / 100);
        break;
      case YR:
        put(d.year % 100);
        break;
      case MO:
        put(d.month);
        break;
      case DY:
        put(d.day);
        break;
      case DOW:
        put(weekday_of(d.year, d.month, d.day) + 1);
        break;
      case X:
        out.push_back(0);
        break;
      case YEAR:
        if (layout.bcd) {
          out.push_back(static_cast<uint8_t>(decimal_bcd(d.year % 100, 2)));
          out.push_back(static_cast<uint8_t>(decimal_bcd(d.year / 100, 2)));
        } else {
          out.push_back(static_cast<uint8_t>(d.year));
          out.push_back(static_cast<uint8_t>(d.year >> 8));
        }
        break;
    }
  }
  return out;
}

TEST_F(RoundTrip, DateTimeTypes) {
  static const int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int layout = 0; layout < TIME_LAYOUT_COUNT; ++layout) {
    const uint16_t type = static_cast<uint16_t>(DT_TIM0 + layout);
    for (unsigned unit : {1u, 2u, 4u}) {
      for (bool swap : {false, true}) {
        const ConvBlock block = block_of(unit, swap ? CONV_FLAG_BYTE_SWAP : 0);
        for (unsigned r = 0; r < ROUNDS; ++r) {
          Date d{1980 + static_cast<int>(rng() % 100),
                 1 + static_cast<int>(rng() % 12),
                 1,
                 static_cast<int>(rng() % 24),
                 static_cast<int>(rng() % 60),
                 static_cast<int>(rng() % 60)};
          const bool leap = d.year % 4 == 0;  // 1980..2079
          d.day = 1 + static_cast<int>(rng() % (DAYS[d.month - 1] + (d.month == 2 && leap)));
          const uint32_t seconds = date_to_seconds(
              BrokenDownDate{uint16_t(d.hour), uint16_t(d.minute), uint16_t(d.second),
                             uint16_t(d.day), uint16_t(d.month), uint16_t(d.year), 0});
          const Bytes fields = layout_bytes(LAYOUTS[layout], d);
          const Bytes bg = background(16);
          // Date/time blocks are unit-reversed when byte_swap is set: the
          // opposite sense from strings.
          const Bytes want =
              string_device_bytes(std::string(fields.begin(), fields.end()), bg, unit, !swap);
          Entry entry(type, TAG_LONG, static_cast<uint16_t>(fields.size()));
          const Slot s = run(name(type, unit, swap), entry, block,
                             Slot::of(static_cast<int32_t>(seconds)), bg, want);
          EXPECT_EQ(static_cast<uint32_t>(s.i32()), seconds) << name(type, unit, swap);

          // Message tags carry the date as text both ways.
          char date_text[32];
          snprintf(date_text, sizeof date_text, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month,
                   d.day, d.hour, d.minute, d.second);
          Entry message(type, TAG_MESSAGE, static_cast<uint16_t>(fields.size()), 0, 80);
          message.set_text(date_text);
          const Slot t = run(name(type, unit, swap) + " text", message, block, Slot(), bg, want);
          EXPECT_EQ(t.text(), date_text);
        }
      }
    }
  }
}

TEST_F(RoundTrip, NumbersThroughMessageTags) {
  const ConvBlock block = block_of(2);
  struct Case {
    uint16_t type;
    const char* text;
    Bytes bytes;
  };
  const Case cases[] = {
      {DT_WORD, "-1234", le(static_cast<uint16_t>(-1234), 2)},
      {DT_LONG, "2000000000", le(2000000000u, 4)},
      {DT_FLOAT, "1.500000", le(f32_bits(1.5f), 4)},
      {DT_BCD4, "4321", {0x21, 0x43}},
      {DT_TIME, "1980-01-01 00:00:01", le(315532801u, 4)},
  };
  for (const Case& c : cases) {
    Entry entry(c.type, TAG_MESSAGE);
    entry.set_text(c.text);
    const Slot s = run(dt_name(c.type), entry, block, Slot(), Bytes(c.bytes.size(), 0), c.bytes);
    EXPECT_EQ(s.text(), c.text);
  }
}

}  // namespace
