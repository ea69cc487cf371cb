// The installation's catalogue files: every key the task reports or traces has
// a text whose placeholders fit the arguments it is reported with.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/catalogue.h"
#include "runtime/format.h"

namespace {

// Each key with its arguments in order: 's' a text, 'd' a number.
struct KeyArgs {
  const char* key;
  const char* args;
};

constexpr KeyArgs kReportKeys[] = {
    {"START", ""},
    {"RUN", ""},
    {"STOP", ""},
    {"TIMER_CONV", ""},
    {"ZQ_CHG_WAIT", "d"},
    {"NOCT", ""},
    {"NOTRIGGERS", ""},
    {"CTINDEX", ""},
    {"CTHEADER", ""},
    {"CTHDRSIZE", ""},
    {"CTRECSIZE", ""},
    {"CTRECORD", ""},
    {"CTTAGVAL", "s"},
    {"CTCONV", "sd"},
    {"CTDUPCONV", "s"},
    {"ARRAY", "s"},
    {"NOMEMORY", ""},
    {"IMX_INIT", "d"},
    {"IMX_DS_REGISTER", "s"},
    {"IMX_DS_QUERY", "sd"},
    {"NO_BWTRIGGER", "s"},
    {"ZQ_CLEAR_CHG", "ssd"},
    {"IMX_RECV", "sd"},
    {"IMX_ERROR", "ssd"},
    {"IMX_MSG", "sd"},
    {"IMX_DS_TRIGGER", "sd"},
    {"IMX_SEND", "sd"},
    {"IMX_BOUND", "sd"},
    {"MAX_MSG", "ds"},
    {"ZQ_COUNT_MBX", "sd"},
    {"ZQ_READ", "ssd"},
    {"ZQ_GET_CHG", "sd"},
    {"ZQ_SET_CHG", "sd"},
    {"ZQ_WRITE", "ssd"},
    {"ZQ_F_WRITE", "ssd"},
    {"EX_MSG", ""},
    {"EW_CONV", "sd"},
    {"EX_CONVERT", "sd"},
};

constexpr KeyArgs kTraceKeys[] = {
    {"DBG_CTLOAD", ""},     {"DBG_QUERY", "sddddd"}, {"DBG_READ", "sddddd"},
    {"DBG_RECV", "sddddd"}, {"DBG_WRITE", "s"},      {"DBG_BLOCK_R", "s"},
    {"DBG_BLOCK_W", "s"},   {"DBG_EXCEPT", "sd"},    {"DBG_VRNSTAT", "ddd"},
};

std::vector<FormatArg> sample_args(const char* types) {
  std::vector<FormatArg> args;
  for (const char* t = types; *t; ++t) {
    args.push_back(*t == 's' ? format_arg("DS_NAME") : format_arg(405));
  }
  return args;
}

class ShippedCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("ZQROOT");
    saved_root_ = old ? old : "";
    unsetenv("ZQPATH");
    root_ = std::string(ZQ_SOURCE_DIR) + "/root";
    setenv("ZQROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    catalogue_clear();
    if (saved_root_.empty()) {
      unsetenv("ZQROOT");
    } else {
      setenv("ZQROOT", saved_root_.c_str(), 1);
    }
  }
  std::string root_;
  std::string saved_root_;
};

TEST_F(ShippedCatalogue, LanguageIsEnglish) {
  EXPECT_STREQ(catalogue_language(), "en");
}

TEST_F(ShippedCatalogue, EveryReportedKeyHasATextFittingItsArguments) {
  ASSERT_GT(catalogue_init("QUANTREL"), 0);
  auto check = [](const KeyArgs& k) {
    const char* text = catalogue_lookup(k.key);
    EXPECT_NE(text, k.key) << k.key << " has no text";
    std::vector<FormatArg> args = sample_args(k.args);
    EXPECT_EQ(format_mismatches(text, args.data(), static_cast<int>(args.size())), 0)
        << k.key << ": \"" << text << "\" does not fit arguments \"" << k.args << "\"";
  };
  for (const KeyArgs& k : kReportKeys) check(k);
  for (const KeyArgs& k : kTraceKeys) check(k);
}

TEST_F(ShippedCatalogue, ReportTextsFitTheMessageTag) {
  ASSERT_GT(catalogue_init("QUANTREL"), 0);
  constexpr size_t kMessageCapacity = 160;
  for (const KeyArgs& k : kReportKeys) {
    std::vector<FormatArg> args = sample_args(k.args);
    char out[2048];
    size_t n = format_checked(out, sizeof out, catalogue_lookup(k.key), args.data(),
                              static_cast<int>(args.size()));
    EXPECT_LT(n, kMessageCapacity) << k.key;
  }
}

TEST_F(ShippedCatalogue, TaskFileHoldsOnlyKnownKeysOnce) {
  std::set<std::string> known;
  for (const KeyArgs& k : kReportKeys) known.insert(k.key);
  for (const KeyArgs& k : kTraceKeys) known.insert(k.key);
  std::string name = root_ + "/msg/en/quantrel.txt";
  FILE* f = fopen(name.c_str(), "r");
  ASSERT_NE(f, nullptr) << name;
  std::set<std::string> seen;
  char line[CATALOGUE_LINE_MAX + 1];
  while (fgets(line, sizeof line, f)) {
    line[strcspn(line, "\r\n")] = '\0';
    char key[512];
    char text[512];
    if (!parse_catalogue_line(line, key, sizeof key, text, sizeof text)) continue;
    EXPECT_TRUE(known.count(key)) << "unknown key " << key;
    EXPECT_TRUE(seen.insert(key).second) << "key defined twice: " << key;
  }
  fclose(f);
  EXPECT_EQ(seen.size(), known.size());
}

}  // namespace
