// Checked formatting of catalogue texts: conversions, mismatches, bounds.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "runtime/format.h"

namespace {

template <class... A>
std::string fmt(const char* format, const A&... args) {
  char out[512];
  format_text(out, sizeof out, format, args...);
  return out;
}

template <class... A>
int mismatches(const char* format, const A&... args) {
  const FormatArg list[] = {format_arg(args)..., FormatArg{}};
  return format_mismatches(format, list, static_cast<int>(sizeof...(A)));
}

TEST(FormatChecked, IntegerConversionsFormatAnyNumber) {
  EXPECT_EQ(fmt("%d %i %u", 42, -7, 9u), "42 -7 9");
  EXPECT_EQ(fmt("%x %X %o", 255, 255, 8), "ff FF 10");
  EXPECT_EQ(fmt("%d", static_cast<uint16_t>(65535)), "65535");
  EXPECT_EQ(fmt("%d", static_cast<int64_t>(-5000000000LL)), "-5000000000");
  EXPECT_EQ(fmt("%u", static_cast<uint64_t>(18446744073709551615ULL)), "18446744073709551615");
  EXPECT_EQ(fmt("%d", static_cast<uint64_t>(18446744073709551615ULL)), "18446744073709551615");
  EXPECT_EQ(fmt("%d", true), "1");
}

TEST(FormatChecked, NegativeIntUnderUnsignedShowsTheIntBitPattern) {
  EXPECT_EQ(fmt("%x", -1), "ffffffff");
  EXPECT_EQ(fmt("%u", -2), "4294967294");
  EXPECT_EQ(fmt("%x", static_cast<int64_t>(-5000000000LL)), "fffffffed5fa0e00");
}

TEST(FormatChecked, LengthModifiersAreIgnored) {
  EXPECT_EQ(fmt("%ld %lld %hd %hhx %lu %zu", 1, 2, 70000, 511, 4, 5), "1 2 70000 1ff 4 5");
  EXPECT_EQ(fmt("%lf %Lg", 1.5, 2.0), "1.500000 2");
}

TEST(FormatChecked, FlagsWidthAndPrecision) {
  EXPECT_EQ(fmt("[%5d][%-5d][%05d][%+d][% d]", 42, 42, 42, 42, 42),
            "[   42][42   ][00042][+42][ 42]");
  EXPECT_EQ(fmt("[%#x][%#o][%.3d]", 255, 8, 7), "[0xff][010][007]");
  EXPECT_EQ(fmt("[%8.3f][%.2e][%g]", 3.14159, 12345.678, 0.5), "[   3.142][1.23e+04][0.5]");
  EXPECT_EQ(fmt("[%.3s][%6s][%-6s]", "abcdef", "ab", "ab"), "[abc][    ab][ab    ]");
  EXPECT_EQ(fmt("[%3c][%-3c]", 'A', 66), "[  A][B  ]");
  EXPECT_EQ(fmt("100%% of %s", "x"), "100% of x");
}

TEST(FormatChecked, StarWidthAndPrecisionTakeIntegerArguments) {
  EXPECT_EQ(fmt("[%*d]", 5, 42), "[   42]");
  EXPECT_EQ(fmt("[%*d]", -5, 42), "[42   ]");
  EXPECT_EQ(fmt("[%.*s]", 2, "abcdef"), "[ab]");
  EXPECT_EQ(fmt("[%*d]", "x", 42), "[%*d]");
}

TEST(FormatChecked, NumbersCrossBetweenIntegerAndFloatingConversions) {
  EXPECT_EQ(fmt("%d", 3.9), "3");
  EXPECT_EQ(fmt("%.1f", 2), "2.0");
  EXPECT_EQ(fmt("%d", 1e300), "%d");  // out of range: not converted
  EXPECT_EQ(fmt("%d", 0.0 / 0.0), "%d");
}

TEST(FormatChecked, TextPlaceholderGivenANumberIsShownAsItself) {
  EXPECT_EQ(fmt("source %s failed", 412), "source %s failed");
  EXPECT_EQ(fmt("code %d", "abc"), "code %d");
  EXPECT_EQ(fmt("%c", "abc"), "%c");
  EXPECT_EQ(fmt("%-10.4s|", 3), "%-10.4s|");
}

TEST(FormatChecked, MismatchStillConsumesItsArgumentSoLaterOnesLineUp) {
  EXPECT_EQ(fmt("%d in %s, code %d", "DS1", "DS1", 405), "%d in DS1, code 405");
}

TEST(FormatChecked, PlaceholdersBeyondTheArgumentsAreShownAsThemselves) {
  EXPECT_EQ(fmt("%s and %s, %d", "a"), "a and %s, %d");
  EXPECT_EQ(fmt("START %s"), "START %s");
}

TEST(FormatChecked, UnknownOrUnsafeConversionsAreNeverExecuted) {
  EXPECT_EQ(fmt("%n%p", 4, 5), "%n%p");
  EXPECT_EQ(fmt("%1$s %'d %k", "a", 1), "%1$s %'d %k");
  EXPECT_EQ(fmt("tail %"), "tail %");
  EXPECT_EQ(fmt("tail %-08.3l"), "tail %-08.3l");
}

TEST(FormatChecked, NullTextAndNulCharacter) {
  const char* none = nullptr;
  EXPECT_EQ(fmt("[%s]", none), "[(null)]");
  EXPECT_EQ(fmt("[%c]", 0), "[]");
}

TEST(FormatChecked, OutputIsBoundedAndTerminatedForEverySize) {
  const char* format = "%s|%08d|%-12s|%.4f|%%|%x";
  char full[256];
  size_t full_len = format_text(full, sizeof full, format, "alpha", -42, "beta", 3.25, 0xBEEF);
  ASSERT_GT(full_len, 30u);
  for (size_t size = 1; size <= full_len + 2; ++size) {
    char buf[300];
    memset(buf, 'Z', sizeof buf);
    size_t n = format_text(buf, size, format, "alpha", -42, "beta", 3.25, 0xBEEF);
    size_t expect = size - 1 < full_len ? size - 1 : full_len;
    ASSERT_EQ(n, expect) << "size " << size;
    ASSERT_EQ(buf[n], '\0');
    ASSERT_EQ(std::string(buf, n), std::string(full, n));
    for (size_t i = size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 'Z') << "size " << size;
  }
}

TEST(FormatChecked, HugeWidthsAndPrecisionsStayInsideTheBuffer) {
  char buf[40];
  memset(buf, 'Z', sizeof buf);
  size_t n = format_text(buf, 16, "%99999999999999d|%.99999999f|%4000s", 1, 2.0, "x");
  EXPECT_EQ(n, 15u);
  EXPECT_EQ(buf[15], '\0');
  EXPECT_EQ(buf[16], 'Z');
  char big[8192];
  n = format_text(big, sizeof big, "%.5000f", 1.0);
  EXPECT_EQ(n, 4098u);  // precision cut at 4096 digits
}

TEST(FormatChecked, ZeroSizeAndNullFormatWriteNothingHarmful) {
  char buf[4] = {'Z', 'Z', 'Z', 'Z'};
  EXPECT_EQ(format_text(buf, 0, "abc"), 0u);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(format_checked(buf, sizeof buf, nullptr, nullptr, 0), 0u);
  EXPECT_EQ(buf[0], '\0');
}

TEST(FormatMismatches, CountsPlaceholdersThatDoNotFitAndUnusedArguments) {
  EXPECT_EQ(mismatches("%s %d", "a", 1), 0);
  EXPECT_EQ(mismatches("%s %u %x %5.2f", "a", 1, 2, 3), 0);
  EXPECT_EQ(mismatches("%d", "a"), 1);
  EXPECT_EQ(mismatches("%d %d"), 2);
  EXPECT_EQ(mismatches("no placeholder", 1), 1);
  EXPECT_EQ(mismatches("%q", 1), 2);
  EXPECT_EQ(mismatches("100%%"), 0);
}

}  // namespace
