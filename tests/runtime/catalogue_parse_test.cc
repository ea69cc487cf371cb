// Catalogue lines and the catalogue tree.
#include <stdio.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "runtime/catalogue.h"

namespace {

struct Parsed {
  bool entry;
  std::string key;
  std::string text;
};

Parsed parse(const char* line, size_t key_size = 512, size_t text_size = 512) {
  char key[512];
  char text[512];
  memset(key, 'Z', sizeof key);
  memset(text, 'Z', sizeof text);
  bool ok = parse_catalogue_line(line, key, key_size, text, text_size);
  if (!ok) return {false, "", ""};
  return {true, key, text};
}

TEST(CatalogueLine, CommentsEmptyLinesAndBareKeysGiveNoEntry) {
  EXPECT_FALSE(parse("# START comment").entry);
  EXPECT_FALSE(parse("*START comment").entry);
  EXPECT_FALSE(parse("").entry);
  EXPECT_FALSE(parse("     ").entry);
  EXPECT_FALSE(parse("START").entry);
  EXPECT_FALSE(parse("  START  | |  ").entry);
  EXPECT_FALSE(parse("START \"").entry);  // a lone opening quote holds no text
}

TEST(CatalogueLine, KeyEndsAtBlankOrBarAndAnyRunOfThemSeparates) {
  Parsed p = parse("   START Task started");
  EXPECT_TRUE(p.entry);
  EXPECT_EQ(p.key, "START");
  EXPECT_EQ(p.text, "Task started");
  p = parse("RUN|running");
  EXPECT_EQ(p.key, "RUN");
  EXPECT_EQ(p.text, "running");
  p = parse("STOP | | |  stopped");
  EXPECT_EQ(p.key, "STOP");
  EXPECT_EQ(p.text, "stopped");
}

TEST(CatalogueLine, UnquotedTextKeepsInnerBlanksAndLosesTrailingOnes) {
  Parsed p = parse("K  a  b | c   ");
  EXPECT_EQ(p.text, "a  b | c");
}

TEST(CatalogueLine, QuotedTextKeepsBarsAndBlanksAndEndsAtTheNextQuote) {
  Parsed p = parse("K \" a | b  \" trailing words ignored");
  EXPECT_TRUE(p.entry);
  EXPECT_EQ(p.text, " a | b  ");
  p = parse("K |\"x\"\"y\"");
  EXPECT_EQ(p.text, "x");
  p = parse("K \"\"");  // an explicitly empty text
  EXPECT_TRUE(p.entry);
  EXPECT_EQ(p.text, "");
}

TEST(CatalogueLine, UnclosedQuoteRunsToTheEndWithoutTrailingBlanks) {
  Parsed p = parse("K \"open text   ");
  EXPECT_TRUE(p.entry);
  EXPECT_EQ(p.text, "open text");
}

TEST(CatalogueLine, EscapesGiveControlCharactersAndUnknownOnesStay) {
  EXPECT_EQ(parse("K a\\\\b").text, "a\\b");
  EXPECT_EQ(parse("K \\a\\b\\n\\r\\t").text, "\a\b\n\r\t");
  EXPECT_EQ(parse("K \\x\\%d").text, "\\x\\%d");
  EXPECT_EQ(parse("K end\\").text, "end\\");
  EXPECT_EQ(parse("K \\\\n").text, "\\n");
}

TEST(CatalogueLine, BackslashDoesNotProtectAQuote) {
  EXPECT_EQ(parse("K \"say \\\"hi\\\"\"").text, "say \\");
}

TEST(CatalogueLine, OutputsAreCutToTheirBuffers) {
  char key[4];
  char text[6];
  memset(key, 'Z', sizeof key);
  memset(text, 'Z', sizeof text);
  ASSERT_TRUE(parse_catalogue_line("LONGKEY some long text", key, sizeof key, text, sizeof text));
  EXPECT_STREQ(key, "LON");
  EXPECT_STREQ(text, "some ");
  // An escape at the cut does not write past the end either.
  ASSERT_TRUE(parse_catalogue_line("K abcd\\n", key, sizeof key, text, sizeof text));
  EXPECT_STREQ(text, "abcd\n");
  ASSERT_TRUE(parse_catalogue_line("K abcde\\n", key, sizeof key, text, sizeof text));
  EXPECT_STREQ(text, "abcde");
  EXPECT_FALSE(parse_catalogue_line(nullptr, key, sizeof key, text, sizeof text));
  EXPECT_FALSE(parse_catalogue_line("K t", key, 0, text, sizeof text));
}

TEST(CatalogueLine, HighBytesAreKeptAsText) {
  Parsed p = parse("K \xff\xfe\x01 end");
  EXPECT_TRUE(p.entry);
  EXPECT_EQ(p.text, "\xff\xfe\x01 end");
}

class CatalogueTree : public ::testing::Test {
 protected:
  void SetUp() override { catalogue_clear(); }
  void TearDown() override { catalogue_clear(); }
};

TEST_F(CatalogueTree, MissingKeyIsItsOwnText) {
  const char* key = "NO_SUCH_KEY %d";
  EXPECT_EQ(catalogue_lookup(key), key);
  EXPECT_EQ(catalogue_lookup(nullptr), nullptr);
}

TEST_F(CatalogueTree, KeysDifferingOnlyInCaseAreOneKey) {
  ASSERT_EQ(catalogue_insert("START", "first"), 0);
  ASSERT_EQ(catalogue_insert("start", "second"), 0);
  EXPECT_STREQ(catalogue_lookup("Start"), "second");
  EXPECT_STREQ(catalogue_lookup("START"), "second");
}

TEST_F(CatalogueTree, ManyKeysInAnyOrderAreAllFound) {
  char key[32];
  char text[32];
  // Ascending keys make a chain; clearing it must not recurse per entry.
  for (int i = 0; i < 20000; ++i) {
    snprintf(key, sizeof key, "K%06d", i);
    snprintf(text, sizeof text, "t%d", i);
    ASSERT_EQ(catalogue_insert(key, text), 0);
  }
  for (int i = 19999; i >= 0; i -= 997) {
    snprintf(key, sizeof key, "k%06d", i);
    snprintf(text, sizeof text, "t%d", i);
    EXPECT_STREQ(catalogue_lookup(key), text);
  }
  // Keys with characters between the upper- and lower-case letters.
  ASSERT_EQ(catalogue_insert("A_B", "underscore"), 0);
  ASSERT_EQ(catalogue_insert("A[B", "bracket"), 0);
  ASSERT_EQ(catalogue_insert("a^b", "caret"), 0);
  EXPECT_STREQ(catalogue_lookup("a_b"), "underscore");
  EXPECT_STREQ(catalogue_lookup("a[b"), "bracket");
  EXPECT_STREQ(catalogue_lookup("A^B"), "caret");
  catalogue_clear();
  EXPECT_STREQ(catalogue_lookup("K000001"), "K000001");
}

TEST(CatalogueCodepage, DoubleByteCodePagesLeaveTheConsoleAlone) {
  for (const char* cp : {"932", "936", "949", "950"}) EXPECT_EQ(catalogue_codepage(cp), 0) << cp;
  for (const char* cp : {"1252", "437", "", "abc", "9320"}) {
    EXPECT_EQ(catalogue_codepage(cp), 1252) << cp;
  }
  EXPECT_EQ(catalogue_codepage(nullptr), 1252);
}

}  // namespace
