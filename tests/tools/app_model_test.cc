// The application description: references, defaults and every class of
// mistake reported at the position of the offending text.
#include "tools/app_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kBase = R"([application]
name = "t"
domain = "d"
user = "u"

[tags]
MBX = "mailbox"
PMBX = "mailbox"
DS = "digital"
DS2 = "analog"
TRIG = "digital"
ST = "analog"
T = { type = "analog", dims = [3, 4] }
MSG = { type = "message", capacity = 20 }
F = "float"
L = "long"

[quantrel]
mailbox = "MBX"

[[quantrel.provider]]
mailbox = "PMBX"

[[quantrel.provider.source]]
name = "DS"
)";

struct Parsed {
  bool ok;
  AppModel model;
  std::vector<AppDiagnostic> diags;
};

Parsed parse(const std::string& text) {
  Parsed p;
  p.ok = app_model_parse(text, "app.toml", &p.model, &p.diags);
  return p;
}

// 1-based line and column of the first occurrence of needle after `from`.
AppPos position_of(const std::string& text, const std::string& needle, size_t from = 0) {
  size_t at = text.find(needle, from);
  EXPECT_NE(at, std::string::npos) << needle;
  AppPos p{1, 1};
  for (size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') {
      ++p.line;
      p.column = 1;
    } else {
      ++p.column;
    }
  }
  return p;
}

std::string all_text(const std::vector<AppDiagnostic>& diags) {
  std::string s;
  for (const auto& d : diags) s += app_diagnostic_text(d) + "\n";
  return s;
}

// Appends `extra` to the data source table of the base description and
// expects exactly one diagnostic, at `needle` (searched in the extra text),
// whose message holds `fragment`.
void expect_mistake(const std::string& extra, const std::string& needle,
                    const std::string& fragment) {
  std::string text = kBase + extra;
  Parsed p = parse(text);
  SCOPED_TRACE(extra);
  EXPECT_FALSE(p.ok);
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  AppPos want = position_of(text, needle, kBase.size());
  EXPECT_EQ(p.diags[0].pos.line, want.line) << all_text(p.diags);
  EXPECT_EQ(p.diags[0].pos.column, want.column) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find(fragment), std::string::npos) << all_text(p.diags);
  EXPECT_EQ(p.diags[0].file, "app.toml");
}

TEST(AppModel, ReferencesFollowDeclarationOrderPerType) {
  Parsed p = parse(kBase);
  ASSERT_TRUE(p.ok) << all_text(p.diags);
  const AppModel& m = p.model;
  EXPECT_EQ(m.name, "t");
  EXPECT_EQ(m.domain, "d");
  EXPECT_EQ(m.user, "u");
  ASSERT_EQ(m.tags.size(), 10u);
  // Written order, not alphabetical: MBX before PMBX, DS before TRIG, DS2 and
  // ST before T, whose 12 elements follow on.
  auto ref = [&](const char* name) {
    for (const auto& t : m.tags)
      if (t.name == name) return t.first;
    ADD_FAILURE() << name;
    return TagRef{};
  };
  EXPECT_TRUE(tag_ref_equal(ref("MBX"), TagRef{TAG_MAILBOX, 1}));
  EXPECT_TRUE(tag_ref_equal(ref("PMBX"), TagRef{TAG_MAILBOX, 2}));
  EXPECT_TRUE(tag_ref_equal(ref("DS"), TagRef{TAG_DIGITAL, 1}));
  EXPECT_TRUE(tag_ref_equal(ref("TRIG"), TagRef{TAG_DIGITAL, 2}));
  EXPECT_TRUE(tag_ref_equal(ref("DS2"), TagRef{TAG_ANALOG, 1}));
  EXPECT_TRUE(tag_ref_equal(ref("ST"), TagRef{TAG_ANALOG, 2}));
  EXPECT_TRUE(tag_ref_equal(ref("T"), TagRef{TAG_ANALOG, 3}));
  EXPECT_EQ(m.tags[6].elements, 12u);
  EXPECT_EQ(m.tags[7].capacity, 20);
  EXPECT_TRUE(m.quantrel.present);
  EXPECT_TRUE(tag_ref_equal(m.quantrel.mailbox, TagRef{TAG_MAILBOX, 1}));
  ASSERT_EQ(m.quantrel.providers.size(), 1u);
  ASSERT_EQ(m.quantrel.providers[0].sources.size(), 1u);
  const AppDataSource& ds = m.quantrel.providers[0].sources[0];
  EXPECT_EQ(ds.name, "DS");
  EXPECT_TRUE(tag_ref_equal(ds.tag, TagRef{TAG_DIGITAL, 1}));
  EXPECT_TRUE(tag_ref_equal(ds.read_trigger, ZQ_UNSET_TAG));
  EXPECT_EQ(m.limits.mbx_messages, ZQ_DEFAULT_MBX_MESSAGES);
}

TEST(AppModel, ConversionRecordsTakeDimensionsFromTheDeclaration) {
  std::string text = kBase + R"(conversions = [
  { tag = "T[1][2]", address = 4, count = 6, type = "DT_WORD" },
  { tag = "MSG", address = 20, length = 12, type = "DT_STRING" },
  { tag = "TRIG", address = 7, bit = 14, type = "DT_BIT" },
  { tag = "F", address = 8, type = "DT_FLOAT" },
  { tag = "T[0][00]", address = 0, type = "DT_BCD4" },
]
)";
  Parsed p = parse(text);
  ASSERT_TRUE(p.ok) << all_text(p.diags);
  const auto& conv = p.model.quantrel.providers[0].sources[0].conversions;
  ASSERT_EQ(conv.size(), 5u);
  EXPECT_EQ(conv[0].tag_name, "T[1][2]");
  EXPECT_EQ(conv[0].dims_text, "3,4");
  EXPECT_TRUE(tag_ref_equal(conv[0].tag, TagRef{TAG_ANALOG, 3 + 6}));
  EXPECT_EQ(conv[0].count, 6);
  EXPECT_EQ(conv[0].data_type, 4);
  EXPECT_EQ(conv[0].length, 2);  // the element's size when not given
  EXPECT_EQ(conv[1].dims_text, "");
  EXPECT_EQ(conv[1].length, 12);
  EXPECT_EQ(conv[1].data_type, 7);
  EXPECT_EQ(conv[2].length, 14);  // DT_BIT keeps its bit number in the length field
  EXPECT_EQ(conv[3].length, 4);
  EXPECT_EQ(conv[4].tag_name, "T[0][0]");  // written without leading zeros
}

TEST(AppModel, EachMistakeIsReportedWhereItWasWritten) {
  expect_mistake("read_trigger = \"NOPE\"\n", "\"NOPE\"", "unknown tag 'NOPE'");
  expect_mistake("read_trigger = \"ST\"\n", "\"ST\"",
                 "is analog, but a read trigger must be digital");
  expect_mistake("status = \"TRIG\"\n", "\"TRIG\"", "must be analog");
  expect_mistake("read_sync = \"F\"\n", "\"F\"", "digital or analog");
  expect_mistake("read_trigger = \"TRIG[0]\"\n", "\"TRIG[0]\"", "is not an array");
  expect_mistake("read_trigger = \"TRIG[x]\"\n", "\"TRIG[x]\"", "bad tag reference");
  expect_mistake("reed_enabled = true\n", "reed_enabled", "unknown key 'reed_enabled'");
  expect_mistake("read_enabled = 1\n", "1", "must be true or false");
  expect_mistake("write_mode = 3\n", "3", "outside 0 to 2");
  expect_mistake("addressing = \"abs\"\n", "\"abs\"", "absolute");
  expect_mistake("block_write_enabled = true\n", "true", "block_write_trigger");
  // Conversion records.
  expect_mistake("conversions = [{ tag = \"T[3][0]\", address = 0, type = \"DT_WORD\" }]\n",
                 "\"T[3][0]\"", "past the end of array 'T'[3][4]");
  expect_mistake(
      "conversions = [{ tag = \"T[1][2]\", address = 0, count = 7, type = \"DT_WORD\" }]\n",
      "\"T[1][2]\"", "runs past the end of array 'T' (6 element(s)");
  expect_mistake("conversions = [{ tag = \"T[1]\", address = 0, type = \"DT_WORD\" }]\n",
                 "\"T[1]\"", "gives 1 index(es) but tag 'T' has 2 dimension(s)");
  expect_mistake("conversions = [{ tag = \"T\", address = 0, type = \"DT_WORD\" }]\n", "\"T\"",
                 "name one element, as in T[0][0]");
  expect_mistake("conversions = [{ tag = \"F\", address = 0, type = \"DT_WURD\" }]\n",
                 "\"DT_WURD\"", "unknown data type 'DT_WURD'");
  expect_mistake("conversions = [{ tag = \"F\", address = 0, length = 4, type = \"DT_STRING\" }]\n",
                 "\"F\"", "DT_STRING converts only message tags");
  expect_mistake("conversions = [{ tag = \"MSG\", address = 0, type = \"DT_STRING\" }]\n", "{",
                 "missing 'length'");
  expect_mistake("conversions = [{ tag = \"MBX\", address = 0, type = \"DT_WORD\" }]\n", "\"MBX\"",
                 "is mailbox");
  expect_mistake("conversions = [{ tag = \"F\", address = 70000, type = \"DT_WORD\" }]\n", "70000",
                 "outside 0 to 65535");
  expect_mistake("conversions = [{ tag = \"TRIG\", address = 1, length = 3, type = \"DT_BIT\" }]\n",
                 "3,", "'bit'");
  expect_mistake("conversions = [{ tag = \"F\", address = 1, count = 0, type = \"DT_WORD\" }]\n",
                 "0,", "outside 1 to 65535");
  // A second data source of the same name.
  expect_mistake("[[quantrel.provider.source]]\nname = \"DS\"\n", "\"DS\"",
                 "duplicate data source 'DS'");
  expect_mistake("[[quantrel.provider.source]]\nname = \"F\"\n", "\"F\"",
                 "must be digital or analog");
}

// Replaces the first occurrence of `from` in the base description.
std::string base_with(const std::string& from, const std::string& to) {
  std::string text = kBase;
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos);
  return text.replace(at, from.size(), to);
}

void expect_base_mistake(const std::string& from, const std::string& to, const std::string& needle,
                         const std::string& fragment) {
  std::string text = base_with(from, to);
  SCOPED_TRACE(to);
  Parsed p = parse(text);
  EXPECT_FALSE(p.ok);
  ASSERT_GE(p.diags.size(), 1u);
  AppPos want = position_of(text, needle);
  EXPECT_EQ(p.diags[0].pos.line, want.line) << all_text(p.diags);
  EXPECT_EQ(p.diags[0].pos.column, want.column) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find(fragment), std::string::npos) << all_text(p.diags);
}

TEST(AppModel, DeclarationMistakesAreReportedWhereTheyWereWritten) {
  // A duplicate tag name is already a TOML error, with its position.
  expect_base_mistake("F = \"float\"", "F = \"float\"\nF = \"long\"", "\"long\"", "redefine");
  std::string long_name(33, 'A');
  expect_base_mistake("F = \"float\"", long_name + " = \"float\"", long_name, "longer than 32");
  expect_base_mistake("F = \"float\"", "1F = \"float\"", "1F", "must start with a letter");
  expect_base_mistake("F = \"float\"", "F = \"double\"", "\"double\"", "unknown tag type 'double'");
  expect_base_mistake("F = \"float\"", "F = { type = \"float\", dims = [0] }", "0]",
                      "each dimension");
  expect_base_mistake("F = \"float\"", "F = { type = \"float\", dims = [300, 300] }", "[300",
                      "90000 elements");
  expect_base_mistake("F = \"float\"", "F = { type = \"float\", capacity = 5 }", "5 }",
                      "only for message tags");
  expect_base_mistake("domain = \"d\"", "domain = \"toolongdomain\"", "\"toolongdomain\"",
                      "ZQDOMAIN holds at most 7 characters");
  expect_base_mistake("mailbox = \"MBX\"", "mailbox = \"DS\"", "\"DS\"", "must be mailbox");
  expect_base_mistake("[quantrel]", "[quantrel]\nsurprise = 1", "surprise", "unknown key");
  expect_base_mistake("name = \"t\"", "name = \"t\" x", "x", "");  // TOML syntax error
}

TEST(AppModel, TasksAreChecked) {
  const std::string tasks = R"(
[[task]]
name = "QUANTREL"
program = "quantrel"
arguments = "-d1"
status = "L"
message = "MSG"
)";
  Parsed ok = parse(base_with("[quantrel]", tasks + "\n[quantrel]"));
  ASSERT_TRUE(ok.ok) << all_text(ok.diags);
  ASSERT_EQ(ok.model.tasks.size(), 1u);
  EXPECT_EQ(ok.model.tasks[0].arguments, "-d1");
  EXPECT_TRUE(tag_ref_equal(ok.model.tasks[0].status_tag, TagRef{TAG_LONG, 1}));

  auto with_task = [&](const std::string& body) {
    return base_with("[quantrel]", body + "\n[quantrel]");
  };
  std::string dup = with_task(tasks + tasks);
  Parsed p = parse(dup);
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find("duplicate task name 'QUANTREL'"), std::string::npos);
  EXPECT_EQ(p.diags[0].pos.line,
            position_of(dup, "\"QUANTREL\"", dup.find("[[task]]", dup.find("[[task]]") + 1)).line);

  p = parse(with_task("[[task]]\nname = \"Q\"\nprogram = \"quantrel\"\n"));
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find("attaches as task QUANTREL"), std::string::npos);

  p = parse(with_task("[[task]]\nname = \"X\"\nprogram = \"/bin/sh\"\n"));
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find("not a path"), std::string::npos);

  p = parse(with_task("[[task]]\nname = \"X\"\nprogram = \"zq sim\"\nstatus = \"MSG\"\n"));
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find("status tag must be analog or long"), std::string::npos);

  p = parse(with_task("[[task]]\nname = \"X\"\nprogram = \"zq sim\"\narguments = \"" +
                      std::string(128, 'a') + "\"\n"));
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find("at most 127 characters"), std::string::npos);
}

TEST(AppModel, AllMistakesAreReportedInFileOrder) {
  std::string text = kBase + "read_trigger = \"ST\"\nstatus = \"NOPE\"\nstate = \"TRIG\"\n";
  Parsed p = parse(text);
  ASSERT_EQ(p.diags.size(), 3u) << all_text(p.diags);
  EXPECT_LT(p.diags[0].pos.line, p.diags[1].pos.line);
  EXPECT_LT(p.diags[1].pos.line, p.diags[2].pos.line);
  EXPECT_EQ(app_diagnostic_text(p.diags[0])
                .rfind("app.toml:" + std::to_string(p.diags[0].pos.line) + ":16: ", 0),
            0u);
}

TEST(AppModel, QuantrelNeedsADataSource) {
  Parsed p = parse(kBase.substr(0, kBase.find("[[quantrel.provider.source]]")));
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find("at least one data source"), std::string::npos);
}

TEST(AppModel, TooManyElementsOfOneTypeAreRefused) {
  Parsed p =
      parse(base_with("L = \"long\"", "L = { type = \"long\", dims = [65534] }\nL2 = \"long\""));
  ASSERT_EQ(p.diags.size(), 1u) << all_text(p.diags);
  EXPECT_NE(p.diags[0].message.find("too many long tags"), std::string::npos);
}

TEST(AppModel, DataTypeNamesRoundTrip) {
  for (uint16_t code = APP_DT_FIRST; code <= APP_DT_LAST; ++code)
    EXPECT_EQ(app_data_type_code(app_data_type_name(code)), code);
  EXPECT_EQ(app_data_type_code("DT_WORD"), 4);
  EXPECT_EQ(app_data_type_code("DT_TIM9"), 31);
  EXPECT_EQ(app_data_type_code("dt_word"), 0);
  EXPECT_STREQ(app_data_type_name(35), "");
}

TEST(AppModel, TheBasicExampleIsValid) {
  AppModel m;
  std::vector<AppDiagnostic> d;
  EXPECT_TRUE(app_model_load(std::string(ZQ_SOURCE_DIR) + "/examples/basic/app.toml", &m, &d))
      << all_text(d);
  EXPECT_FALSE(app_model_load("/nonexistent/app.toml", &m, &d));
}

}  // namespace
