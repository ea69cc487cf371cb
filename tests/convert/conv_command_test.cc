// zq conv as a user runs it: the built zq program, its output and exit status.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs "zq conv ARGS" with the build tree's installation root.
Outcome conv(const std::string& args, const std::string& root = ZQ_SOURCE_DIR "/root") {
  char err_path[] = "/tmp/zq_conv_err_XXXXXX";
  const int fd = mkstemp(err_path);
  close(fd);
  const std::string command = "env -u ZQPATH ZQROOT='" + root +
                              "' " ZQ_BINARY_DIR "/src/tools/zq conv " + args + " 2>" + err_path;
  FILE* p = popen(command.c_str(), "r");
  Outcome r{-1, "", ""};
  if (p == nullptr) return r;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int w = pclose(p);
  r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
  r.err = read_file(err_path);
  unlink(err_path);
  return r;
}

void expect_ok(const Outcome& r, const std::string& out) {
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, out + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(ConvDecode, PrintsTheTagValueOfOneElement) {
  expect_ok(conv("decode --type DT_WORD 12 34"), "13330");
  expect_ok(conv("decode --type 4 --byte-swap 1234"), "4660");
  expect_ok(conv("decode --type DT_EXP_FLOAT 00 00 64 07"), "100");
  expect_ok(conv("decode --type DT_FIXED ff 7f"), "1.99993896484375");
  expect_ok(conv("decode --type DT_FLOAT cd cc cc 3d"), "0.10000000149011612");
  expect_ok(conv("decode --type DT_BCD4 ff 00"), "165");
  expect_ok(conv("decode --type DT_LONG_WS 01 02 03 04"), "33620995");
  expect_ok(conv("decode --type DT_SIGNED_BITS --length 11 00 08"), "-2048");
  expect_ok(conv("decode --type DT_TIME 01 a6 ce 12"), "1");
}

TEST(ConvDecode, BitsFollowUnitSizeAndNumbering) {
  expect_ok(conv("decode --type DT_BIT --unit-size 0 --start 100 --address 109 --low-bit-first 02"),
            "1");
  expect_ok(conv("decode --type DT_BIT --unit-size 0 --start 100 --address 109 02"), "0");
  expect_ok(conv("decode --type DT_BIT --one-based-bits --length 1 00 80"), "1");
  expect_ok(conv("decode --type DT_BIT --unit-size 4 --low-bit-first --length 31 --tag-type float "
                 "00 00 00 80"),
            "1");
}

TEST(ConvDecode, TextsAndOtherTagTypes) {
  expect_ok(conv("decode --type DT_STRING 42 41 44 43 46 45"), "ABCDEF");
  expect_ok(conv("decode --type DT_STRING --unit-size 1 48 69"), "Hi");
  expect_ok(conv("decode --type DT_WORD --tag-type message fe ff"), "-2");
  expect_ok(conv("decode --type DT_WORD --tag-type float fe ff"), "-2");
  expect_ok(conv("decode --type DT_DOUBLE --tag-type message 00 00 00 00 00 00 f0 3f"), "1.000000");
  expect_ok(conv("decode --type DT_TIME --tag-type message 00 a6 ce 12"), "01/01/1980 00:00:00");
}

TEST(ConvDecode, DateTimeBlocksUseTheInstallationLayouts) {
  expect_ok(conv("decode --type DT_TIM0 --tag-type message 24 02 29 13 45 30"),
            "02/29/2024 13:45:30");
  // Word units swapped on the device.
  expect_ok(conv("decode --type DT_TIM0 --tag-type message --byte-swap 02 24 13 29 30 45"),
            "02/29/2024 13:45:30");
}

TEST(ConvDecode, ElementOutsideTheDataIsReportedWithTheCatalogueText) {
  const Outcome r = conv("decode --type DT_LONG 01 02");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("IMX_BOUND"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("entry outside the block (unit size 2)"), std::string::npos) << r.err;
  const Outcome bits = conv("decode --type DT_BIT --unit-size 3 ff ff ff");
  EXPECT_EQ(bits.status, 1);
  EXPECT_NE(bits.err.find("unit size 3"), std::string::npos) << bits.err;
  const Outcome time = conv("decode --type DT_TIM0 --unit-size 0 24 02 29 13 45 30");
  EXPECT_EQ(time.status, 1);
  EXPECT_NE(time.err.find("IMX_BOUND"), std::string::npos) << time.err;
}

TEST(ConvDecode, NothingConvertedIsAFailure) {
  const Outcome r = conv("decode --type DT_TIM0 --length 1 24 02");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("nothing converted"), std::string::npos);
}

TEST(ConvEncode, PrintsTheWholeDataArea) {
  expect_ok(conv("encode --type DT_FIXED 1.999"), "ef 7f");
  expect_ok(conv("encode --type DT_FIXED --byte-swap 2"), "7f ff");
  expect_ok(conv("encode --type DT_BCD4 12345"), "45 23");
  expect_ok(conv("encode --type DT_WORD -5"), "fb ff");
  expect_ok(conv("encode --type DT_TIME 0"), "00 a6 ce 12");
  expect_ok(conv("encode --type DT_EXP_FLOAT 123456.789"), "32 90 78 11");
  expect_ok(conv("encode --type DT_STRING --length 5 --fill '01 02 03 04 05 06' ABCDE"),
            "42 41 44 43 05 45");
  expect_ok(
      conv("encode --type DT_BIT --tag-type float --low-bit-first --length 3 --fill 00f0 0.3"),
      "08 f0");
  expect_ok(conv("encode --type DT_TIM4 --tag-type message '02/29/2024 13:45:30'"),
            "20 24 02 29 13 45 30 00");
}

TEST(ConvEncode, ElementBeyondTheFillIsRefusedAndTheAreaKept) {
  const Outcome r = conv("encode --type DT_LONG --fill 'aa bb' 7");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "aa bb\n");
  EXPECT_NE(r.err.find("IMX_BOUND"), std::string::npos);
}

TEST(ConvTyped, WidthOfTheUnitSizeOrUnsupported) {
  expect_ok(conv("typed --type DT_WORD --unit-size 4 -- -2"), "fe ff ff ff");
  expect_ok(conv("typed --type DT_BIT --unit-size 1 1"), "01");
  expect_ok(conv("typed --type DT_LONG --unit-size 8 1"), "00 00 00 00 00 00 f0 3f");
  expect_ok(conv("typed --type DT_FFLOAT --unit-size 8 1"), "80 40 00 00");
  expect_ok(conv("typed --type DT_DOUBLE --unit-size 8 1"), "");
  const Outcome r = conv("typed --type DT_WORD --unit-size 2 5");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "unsupported\n");
}

TEST(ConvTime, BlocksAndSeconds) {
  expect_ok(conv("seconds 0"), "1980-01-01 00:00:00 Tuesday");
  expect_ok(conv("seconds 31622400"), "1981-01-01 00:00:00 Thursday");
  expect_ok(conv("seconds --date '2000-02-29 12:00:00'"), "636292800");
  expect_ok(conv("time encode --layout 4 1393681530"), "20 24 02 29 13 45 30");
  expect_ok(conv("time decode --layout 4 20 24 02 29 13 45 30"), "1393681530");
  expect_ok(conv("time decode --layout 2 e8 07 02 1d 0d 2d 1e"), "1393681530");
}

TEST(ConvTime, CatalogueFileReplacesTheInstallation) {
  char path[] = "/tmp/zq_conv_cat_XXXXXX";
  const int fd = mkstemp(path);
  const std::string text =
      "DATETIME \"dy.mo.year\"\n"
      "IMX_BOUND \"too short: %s/%d\"\n";
  std::string layouts;
  for (int i = 0; i < 10; ++i) layouts += "TIM" + std::to_string(i) + " \"BIN DY MO YR\"\n";
  const std::string all = text + layouts;
  ASSERT_EQ(write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  close(fd);
  const std::string cat = std::string("--catalogue ") + path + " ";
  expect_ok(conv("time decode " + cat + "--layout 3 1d 02 18"), "1393632000");
  expect_ok(conv("decode --type DT_TIM3 --tag-type message " + cat + "1d 02 18 00"), "29.02.2024");
  const Outcome r = conv("decode --type DT_WORD " + cat + "01");
  EXPECT_EQ(r.err, "IMX_BOUND: too short: conv/2\n");
  unlink(path);
}

TEST(ConvErrors, BadInputIsAUsageError) {
  const char* bad[] = {
      "decode --type DT_WORD 123",    // odd number of hex digits
      "decode --type DT_WORD 1 2",    // a blank inside a pair
      "decode --type DT_WORD zz",     // not hex
      "decode --type DT_NOPE 12 34",  // unknown type
      "decode --type 35 12 34",       // code out of range
      "decode --type DT_WORD --tag-type mailbox 12 34",
      "encode --type DT_WORD 70000",       // not an analog value
      "encode --type DT_WORD --fill 0 1",  // bad fill
      "seconds --date '1979-12-31 23:59:59'",
      "seconds --date '2023-02-29 00:00:00'",
      "seconds 4294967296",
      "time decode --layout 10 00",
      "decode --type DT_WORD",  // no bytes
      "frobnicate",
  };
  for (const char* args : bad) {
    const Outcome r = conv(args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.out << r.err;
    EXPECT_FALSE(r.err.empty()) << args;
  }
}

TEST(ConvErrors, MissingLayoutsAreReported) {
  const Outcome r = conv("time decode --layout 0 00 00 00 00 00 00", "/nonexistent");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("TIMER_CONV"), std::string::npos) << r.err;
}

}  // namespace
