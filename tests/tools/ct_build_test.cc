// zq ct build: the compiled files read back with the task's own readers, and
// descriptions with mistakes refused with positions, exit status 2 and no
// file written.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/ct_file.h"
#include "config/object_table.h"
#include "kernel/zqkernel.h"
#include "run_process.h"
#include "tools/app_build.h"
#include "tools/app_model.h"

namespace {

namespace fs = std::filesystem;

const std::string kApp = R"([application]
name = "rt"
domain = "dom"
user = "u"

[database]
mailbox_messages = 64

[tags]
QTL_MBX = "mailbox"
P1_MBX = "mailbox"
P2_MBX = "mailbox"
QTL_STATUS = "long"
QTL_MSG = { type = "message", capacity = 160 }
DS_A = "digital"
DS_B = "analog"
DS_C = "digital"
RT_A = "digital"
ST_A = "analog"
SYNC_B = "analog"
T = { type = "analog", dims = [3, 4], description = "a matrix" }
BITS = { type = "digital", dims = [16] }
TXT = { type = "message", dims = [2], capacity = 24 }
F = "float"

[[task]]
name = "QUANTREL"
program = "quantrel"
arguments = "-d2 -LS3"
status = "QTL_STATUS"
message = "QTL_MSG"

[quantrel]
mailbox = "QTL_MBX"

[[quantrel.provider]]
mailbox = "P1_MBX"
max_messages = 7

[[quantrel.provider.source]]
name = "DS_A"
read_enabled = true
read_trigger = "RT_A"
write_mode = 2
unsolicited = true
addressing = "absolute"
status = "ST_A"
conversions = [
  { tag = "T[1][2]", address = 100, count = 6, type = "DT_WORD" },
  { tag = "BITS[4]", address = 7, bit = 3, count = 12, type = "DT_BIT" },
  { tag = "TXT[1]", address = 30, length = 20, type = "DT_STRING" },
]

[[quantrel.provider.source]]
name = "DS_B"
read_sync = "SYNC_B"
conversions = [{ tag = "F", address = 0, type = "DT_FFLOAT_WS" }]

[[quantrel.provider]]
mailbox = "P2_MBX"

[[quantrel.provider.source]]
name = "DS_C"
)";

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zqtbXXXXXX";
    char* d = mkdtemp(tmpl);
    EXPECT_NE(d, nullptr);
    path_ = d ? d : "/tmp";
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name, const std::string& text) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

 private:
  std::string path_;
};

void compile(const std::string& text, const std::string& dir, AppModel* model,
             uint32_t per_table = OBJECT_TABLE_SPLIT_DEFAULT) {
  std::vector<AppDiagnostic> diags;
  ASSERT_TRUE(app_model_parse(text, "app.toml", model, &diags))
      << (diags.empty() ? "" : app_diagnostic_text(diags[0]));
  AppBuildOutput out;
  std::string error;
  ASSERT_TRUE(app_build_tables(*model, &out, &error)) << error;
  ASSERT_TRUE(app_build_write(*model, out, dir, &error, per_table)) << error;
}

TagRef ref_at(const uint8_t* p) {
  return TagRef{ct_get_u16(p), ct_get_u16(p + 2)};
}

TagRef model_ref(const AppModel& m, const std::string& name, uint16_t element = 0) {
  for (const AppTag& t : m.tags)
    if (t.name == name) return TagRef{t.first.type, static_cast<uint16_t>(t.first.index + element)};
  ADD_FAILURE() << name;
  return {};
}

std::string text_at(const uint8_t* p, size_t size) {
  return std::string(reinterpret_cast<const char*>(p),
                     strnlen(reinterpret_cast<const char*>(p), size));
}

TEST(CtBuild, QuantrelCtHasTheExactLayoutTheTaskReads) {
  TempDir dir;
  AppModel m;
  compile(kApp, dir.path(), &m);
  std::string path = dir.path() + "/dom/ct/quantrel.ct";
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  EXPECT_EQ(ct.header.version, CT_VERSION_CURRENT);
  // Task table, then per provider its data-source table followed by one
  // conversion table per data source.
  ASSERT_EQ(ct.header.table_count, 1u + 1 + 2 + 1 + 1);
  ASSERT_EQ(ct_select(&ct, 0), CT_OK);
  EXPECT_EQ(ct.entry.header_length, 4u);
  uint8_t h4[4];
  ASSERT_EQ(ct_read_header(&ct, h4), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(h4), model_ref(m, "QTL_MBX")));

  ASSERT_EQ(ct_select(&ct, 1), CT_OK);
  EXPECT_EQ(ct.entry.type, 1);
  EXPECT_EQ(ct.entry.header_length, 8u);
  EXPECT_EQ(ct.entry.record_size, 116u);
  ASSERT_EQ(ct.entry.record_count, 2u);
  uint8_t h8[8];
  ASSERT_EQ(ct_read_header(&ct, h8), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(h8), model_ref(m, "P1_MBX")));
  EXPECT_EQ(ct_get_u16(h8 + 4), 7);
  uint8_t ds[116];
  ASSERT_EQ(ct_read_record(&ct, ds, 0), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(ds + 0), model_ref(m, "DS_A")));
  EXPECT_EQ(text_at(ds + 4, 50), "DS_A");
  EXPECT_TRUE(tag_ref_equal(ref_at(ds + 54), model_ref(m, "RT_A")));
  EXPECT_EQ(ref_at(ds + 58).type, ZQ_TAGREF_UNSET);  // no block-write trigger
  EXPECT_EQ(ct_get_u16(ds + 62), 1);                 // read enabled
  EXPECT_EQ(ct_get_u16(ds + 64), 2);                 // write mode
  EXPECT_EQ(ct_get_u16(ds + 66), 0);                 // block write enabled
  EXPECT_EQ(ct_get_u16(ds + 68), 1);                 // unsolicited
  EXPECT_EQ(ct_get_u16(ds + 70), 1);                 // absolute addresses
  EXPECT_TRUE(tag_ref_equal(ref_at(ds + 72), model_ref(m, "ST_A")));
  for (size_t off = 76; off <= 112; off += 4)
    EXPECT_EQ(ref_at(ds + off).type, ZQ_TAGREF_UNSET) << off;
  ASSERT_EQ(ct_read_record(&ct, ds, 1), CT_OK);
  EXPECT_EQ(text_at(ds + 4, 50), "DS_B");
  EXPECT_TRUE(tag_ref_equal(ref_at(ds + 100), model_ref(m, "SYNC_B")));

  ASSERT_EQ(ct_select(&ct, 2), CT_OK);  // conversion table of DS_A
  EXPECT_NE(ct.entry.type, 1);
  EXPECT_EQ(ct.entry.header_length, 8u);
  EXPECT_EQ(ct.entry.record_size, 80u);
  ASSERT_EQ(ct.entry.record_count, 3u);
  ASSERT_EQ(ct_read_header(&ct, h8), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(h8 + 4), model_ref(m, "DS_A")));
  uint8_t cv[80];
  ASSERT_EQ(ct_read_record(&ct, cv, 0), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(cv), model_ref(m, "T", 1 * 4 + 2)));
  EXPECT_EQ(text_at(cv + 4, 50), "T[1][2]");
  EXPECT_EQ(text_at(cv + 54, 18), "3,4");
  EXPECT_EQ(ct_get_u16(cv + 72), 100);
  EXPECT_EQ(ct_get_u16(cv + 74), 2);
  EXPECT_EQ(ct_get_u16(cv + 76), 6);
  EXPECT_EQ(ct_get_u16(cv + 78), 4);  // DT_WORD
  ASSERT_EQ(ct_read_record(&ct, cv, 1), CT_OK);
  EXPECT_EQ(text_at(cv + 4, 50), "BITS[4]");
  EXPECT_EQ(text_at(cv + 54, 18), "16");
  EXPECT_EQ(ct_get_u16(cv + 74), 3);  // the bit number
  EXPECT_EQ(ct_get_u16(cv + 76), 12);
  EXPECT_EQ(ct_get_u16(cv + 78), 1);  // DT_BIT
  ASSERT_EQ(ct_read_record(&ct, cv, 2), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(cv), model_ref(m, "TXT", 1)));
  EXPECT_EQ(ct_get_u16(cv + 74), 20);

  ASSERT_EQ(ct_select(&ct, 3), CT_OK);  // conversion table of DS_B
  ASSERT_EQ(ct_read_header(&ct, h8), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(h8 + 4), model_ref(m, "DS_B")));
  EXPECT_EQ(ct.entry.record_count, 1u);
  ASSERT_EQ(ct_select(&ct, 4), CT_OK);  // the second provider
  EXPECT_EQ(ct.entry.type, 1);
  ASSERT_EQ(ct_select(&ct, 5), CT_OK);  // DS_C's conversion table, empty
  EXPECT_EQ(ct.entry.record_count, 0u);
  ASSERT_EQ(ct_read_header(&ct, h8), CT_OK);
  EXPECT_TRUE(tag_ref_equal(ref_at(h8 + 4), model_ref(m, "DS_C")));
  EXPECT_EQ(ct_close(&ct), CT_OK);
}

TEST(CtBuild, DataSourceNamesResolveThroughTheObjectTableToTheirRecordsTags) {
  TempDir dir;
  AppModel m;
  compile(kApp, dir.path(), &m, /*per_table=*/4);  // several object tables
  setenv("ZQAPP", dir.path().c_str(), 1);
  // What data-source registration does: the record's name, resolved, must
  // give the record's tag.
  for (const AppProvider& p : m.quantrel.providers) {
    for (const AppDataSource& ds : p.sources) {
      TagRef r{};
      ASSERT_EQ(resolve_object_tag(ds.name.c_str(), &r), 0) << ds.name;
      EXPECT_TRUE(tag_ref_equal(r, ds.tag)) << ds.name;
    }
  }
  for (const AppTag& t : m.tags) {
    std::string name = t.name;
    for (size_t k = 0; k < t.dims.size(); ++k) name += "[" + std::to_string(t.dims[k] - 1) + "]";
    TagRef r{};
    ASSERT_EQ(resolve_object_tag(name.c_str(), &r), 0) << name;
    EXPECT_TRUE(tag_ref_equal(
        r, TagRef{t.first.type, static_cast<uint16_t>(t.first.index + t.elements - 1)}))
        << name;
  }
  CtFile ct;
  ASSERT_EQ(object_table_open(&ct, dir.path().c_str()), CT_OK);
  EXPECT_EQ(ct.header.table_count, (m.tags.size() + 3) / 4);
  ct_close(&ct);
  unsetenv("ZQAPP");
}

TEST(CtBuild, TheObjectTableRebuildsADatabaseWithTheCompiledReferences) {
  TempDir dir;
  AppModel m;
  compile(kApp, dir.path(), &m);
  CtFile ct;
  ASSERT_EQ(object_table_open(&ct, dir.path().c_str()), CT_OK);
  std::vector<ObjectRecord> records;
  ASSERT_EQ(object_table_read_all(&ct, &records), CT_OK);
  ct_close(&ct);
  ASSERT_EQ(records.size(), m.tags.size());
  std::vector<ZqTagDecl> decls;
  ASSERT_EQ(object_kernel_declarations(records, &decls), CT_OK);
  std::vector<TagRef> first(decls.size());
  ZqDb* db = nullptr;
  ASSERT_EQ(zq_db_create(nullptr, decls.data(), static_cast<uint32_t>(decls.size()), &m.limits,
                         first.data(), &db),
            0);
  zq_db_use(db);
  // Every tag of the description exists with its type (and capacity), and
  // every conversion record's tag is the type the loader will see.
  for (const AppTag& t : m.tags) {
    for (uint32_t k = 0; k < t.elements; ++k) {
      TagRef r{t.first.type, static_cast<uint16_t>(t.first.index + k)};
      uint16_t type = 0xFFFF;
      ASSERT_EQ(zq_tag_info(&r, 1, &type, nullptr), 0) << t.name;
      EXPECT_EQ(type, t.type) << t.name;
      if (t.type == TAG_MESSAGE) {
        EXPECT_EQ(zq_tag_capacity(r), t.capacity) << t.name;
      }
    }
  }
  TagRef past{TAG_ANALOG, static_cast<uint16_t>(model_ref(m, "T").index + 12)};
  EXPECT_NE(zq_tag_info(&past, 1, nullptr, nullptr), 0);
  zq_db_use(nullptr);
  zq_db_destroy(db);
}

TEST(CtBuild, TheTaskListReadsBack) {
  TempDir dir;
  AppModel m;
  compile(kApp, dir.path(), &m);
  AppRunList list;
  std::string error;
  ASSERT_TRUE(app_run_list_read(dir.path(), &list, &error)) << error;
  EXPECT_EQ(list.name, "rt");
  EXPECT_EQ(list.domain, "dom");
  EXPECT_EQ(list.user, "u");
  EXPECT_EQ(list.limits.mbx_messages, 64u);
  ASSERT_EQ(list.tasks.size(), 1u);
  EXPECT_EQ(list.tasks[0].name, "QUANTREL");
  EXPECT_EQ(list.tasks[0].program, "quantrel");
  EXPECT_EQ(list.tasks[0].arguments, "-d2 -LS3");
  EXPECT_TRUE(tag_ref_equal(list.tasks[0].status_tag, model_ref(m, "QTL_STATUS")));
  EXPECT_TRUE(tag_ref_equal(list.tasks[0].message_tag, model_ref(m, "QTL_MSG")));
  EXPECT_TRUE(fs::is_directory(dir.path() + "/rt/dom/u/log"));
}

TEST(CtBuild, ThousandsOfTagsSpreadOverSeveralObjectTables) {
  std::ostringstream text;
  text << "[application]\nname = \"big\"\ndomain = \"d\"\nuser = \"u\"\n[tags]\n";
  constexpr int kTags = 5000;
  for (int i = 0; i < kTags; ++i)
    text << "TAG" << i << " = \"" << (i % 2 ? "analog" : "long") << "\"\n";
  TempDir dir;
  AppModel m;
  compile(text.str(), dir.path(), &m);
  CtFile ct;
  ASSERT_EQ(object_table_open(&ct, dir.path().c_str()), CT_OK);
  EXPECT_GE(ct.header.table_count, 2u);
  ct_close(&ct);
  setenv("ZQAPP", dir.path().c_str(), 1);
  for (int i : {0, 1, 4095, 4096, 4999}) {
    std::string name = "TAG" + std::to_string(i);
    TagRef r{};
    ASSERT_EQ(resolve_object_tag(name.c_str(), &r), 0) << name;
    EXPECT_TRUE(tag_ref_equal(r, model_ref(m, name))) << name;
  }
  unsetenv("ZQAPP");
}

// ---- the zq program -------------------------------------------------------------------

struct BadCase {
  const char* what;
  std::string from;  // text of kApp to replace
  std::string to;
  std::string needle;  // where the diagnostic must point
  bool last = false;   // the needle's last occurrence, not its first
};

TEST(CtBuildCommand, EveryMistakeGivesItsPositionExitStatus2AndWritesNothing) {
  const std::vector<BadCase> cases = {
      {"unknown tag", "read_trigger = \"RT_A\"", "read_trigger = \"RT_X\"", "\"RT_X\""},
      {"wrong tag type", "read_trigger = \"RT_A\"", "read_trigger = \"ST_A\"", "\"ST_A\""},
      {"element past the end", "tag = \"T[1][2]\"", "tag = \"T[1][4]\"", "\"T[1][4]\""},
      {"run past the end", "count = 6", "count = 7", "\"T[1][2]\""},
      {"unknown data type", "DT_FFLOAT_WS", "DT_FFLOT", "\"DT_FFLOT\""},
      {"duplicate tag", "F = \"float\"", "F = \"float\"\nF = \"long\"", "\"long\"", true},
      {"duplicate data source", "name = \"DS_C\"", "name = \"DS_A\"", "\"DS_A\"", true},
      {"name too long", "F = \"float\"", "F_HAS_A_NAME_OF_MORE_THAN_32_CHARS = \"float\"",
       "F_HAS_A_NAME"},
      {"domain too long", "domain = \"dom\"", "domain = \"domain12\"", "\"domain12\""},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string text = kApp;
    size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, c.from.size(), c.to);
    std::string file = dir.file("app.toml", text);
    std::string out = dir.path() + "/out";
    ProcessResult r = run_process({ZQ_TOOL, "ct", "build", file, "--out", out});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    // file:line:column: message, pointing at the offending text.
    size_t pos = c.last ? text.rfind(c.needle) : text.find(c.needle);
    ASSERT_NE(pos, std::string::npos);
    int line = 1, col = 1;
    for (size_t i = 0; i < pos; ++i) {
      if (text[i] == '\n') {
        ++line;
        col = 1;
      } else {
        ++col;
      }
    }
    std::string want = file + ":" + std::to_string(line) + ":" + std::to_string(col) + ": ";
    EXPECT_EQ(r.err.rfind(want, 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(out)) << "something was written";
  }
}

TEST(CtBuildCommand, AFailedBuildLeavesTheEarlierDirectoryAsItWas) {
  TempDir dir;
  std::string good = dir.file("good.toml", kApp);
  std::string out = dir.path() + "/out";
  ProcessResult r = run_process({ZQ_TOOL, "ct", "build", good, "--out", out});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string object = out + "/ct/object.ct";
  auto before = fs::last_write_time(object);
  auto size = fs::file_size(object);
  std::string bad = kApp;
  bad.replace(bad.find("RT_A = \"digital\""), 16, "RT_A = \"float\"");
  std::string bad_file = dir.file("bad.toml", bad);
  r = run_process({ZQ_TOOL, "ct", "build", bad_file, "--out", out});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(fs::last_write_time(object), before);
  EXPECT_EQ(fs::file_size(object), size);
}

TEST(CtBuildCommand, CommandLineMistakesAreUsageErrors) {
  TempDir dir;
  EXPECT_EQ(run_process({ZQ_TOOL, "ct", "build", "--help"}).exit_code, 0);
  EXPECT_EQ(run_process({ZQ_TOOL, "ct", "build", dir.file("a.toml", kApp)}).exit_code, 2);
  EXPECT_EQ(
      run_process({ZQ_TOOL, "ct", "build", dir.path() + "/none.toml", "--out", dir.path() + "/o"})
          .exit_code,
      2);
  ProcessResult r = run_process({ZQ_TOOL, "ct"});
  EXPECT_EQ(r.exit_code, 2);
  r = run_process(
      {ZQ_TOOL, "ct", "build", dir.file("b.toml", "[tags\n"), "--out", dir.path() + "/o"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("b.toml:1:"), std::string::npos) << r.err;
}

TEST(CtBuildCommand, TheDumpShowsTheCompiledRecordsWithTagNames) {
  TempDir dir;
  std::string out = dir.path() + "/out";
  ASSERT_EQ(run_process({ZQ_TOOL, "ct", "build", dir.file("a.toml", kApp), "--out", out}).exit_code,
            0);
  ProcessResult r = run_process({ZQ_TOOL, "ct", "dump", out + "/dom/ct/quantrel.ct"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* want : {"own_mailbox", "QTL_MBX (5:1)", "read_trigger", "RT_A (0:",
                           "T[1][2] (1:", "\"DT_BIT\"", "BITS[4] (0:", "whole file read"})
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
  size_t max = r.out.find("max_messages");
  ASSERT_NE(max, std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.find_first_not_of(' ', max + 12), 2), "7\n");
  r = run_process({ZQ_TOOL, "ct", "dump", "--json", out + "/ct/object.ct"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"file\":", 0), 0u);
  EXPECT_NE(r.out.find("\"name\":\"T\",\"type\":\"analog\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"dimensions\":\"[3][4]\""), std::string::npos);
  r = run_process({ZQ_TOOL, "ct", "dump", out + "/ct/tasks.ct"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("QTL_STATUS (4:1)"), std::string::npos) << r.out;
}

}  // namespace

// [simulator.TASK] of the description becomes sim/TASK.toml; a mistake in
// it is a usage error and nothing is written.
TEST(CtBuildCommand, SimulatorConfigurationsAreCheckedAndWritten) {
  TempDir dir;
  const std::string sim = R"(
[simulator.P1.sim]
task = "P1"
mailbox = "P1_MBX"
quantrel_mailbox = "QTL_MBX"

[[simulator.P1.source]]
name = "DS_A"
start = 100
count = 8
unit_size = 2
)";
  std::string out = dir.path() + "/out";
  ProcessResult r =
      run_process({ZQ_TOOL, "ct", "build", dir.file("sim.toml", kApp + sim), "--out", out});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::ifstream in(out + "/sim/P1.toml");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("quantrel_mailbox = 'QTL_MBX'"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("start = 100"), std::string::npos) << text.str();

  std::string bad = sim;
  bad.replace(bad.find("unit_size = 2"), 13, "unit_size = 3");
  std::string out2 = dir.path() + "/out2";
  r = run_process({ZQ_TOOL, "ct", "build", dir.file("bad.toml", kApp + bad), "--out", out2});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("[simulator.P1]"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out2));
}
