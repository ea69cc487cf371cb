// zq ct dump on damaged files: it shows what it can read and the reader's
// status, and never crashes, whatever the file holds.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/ct_file.h"
#include "run_process.h"

namespace {

namespace fs = std::filesystem;

const char* kApp = R"([application]
name = "dump"
domain = "dd"
user = "u"
[tags]
MBX = "mailbox"
PMBX = "mailbox"
DS = "digital"
TRIG = "digital"
T = { type = "analog", dims = [2, 3] }
MSG = { type = "message", capacity = 40 }
[[task]]
name = "QUANTREL"
program = "quantrel"
[quantrel]
mailbox = "MBX"
[[quantrel.provider]]
mailbox = "PMBX"
[[quantrel.provider.source]]
name = "DS"
read_trigger = "TRIG"
conversions = [
  { tag = "T[0][0]", address = 0, count = 6, type = "DT_WORD" },
  { tag = "MSG", address = 6, length = 12, type = "DT_STRING" },
]
)";

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zqtdXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream(dir_ + "/app.toml") << kApp;
    ProcessResult r =
        run_process({ZQ_TOOL, "ct", "build", dir_ + "/app.toml", "--out", dir_ + "/app"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::vector<uint8_t> read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  // Writes bytes under the same file name in a directory of its own, beside
  // a copy of the object table where the dump looks for it.
  std::string damaged(const std::string& original, const std::vector<uint8_t>& bytes) {
    std::string path = dir_ + "/dmg/dd/ct/" + fs::path(original).filename().string();
    fs::create_directories(fs::path(path).parent_path());
    fs::create_directories(dir_ + "/dmg/ct");
    fs::copy_file(dir_ + "/app/ct/object.ct", dir_ + "/dmg/ct/object.ct",
                  fs::copy_options::skip_existing);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  // The dump of a damaged file: ends normally with status 1 and says why.
  ProcessResult expect_reported(const std::string& path, bool json = false) {
    std::vector<std::string> argv = {ZQ_TOOL, "ct", "dump"};
    if (json) argv.push_back("--json");
    argv.push_back(path);
    ProcessResult r = run_process(argv, 30);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0) << "crashed";
    // A sanitizer report also ends with status 1: look for it.
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("status"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("status"), std::string::npos);
    return r;
  }
  std::string dir_;
};

// The status the text dump ends with.
int final_status(const std::string& out) {
  size_t at = out.rfind("\nstatus ");
  if (at == std::string::npos) return -1;
  return atoi(out.c_str() + at + 8);
}

void put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  ct_put_u32(b->data() + at, v);
}
constexpr size_t kEntry0 = CT_FILE_HEADER_SIZE;  // first index entry
constexpr size_t kOffData = 12, kOffHeaderLen = 16, kOffRecordSize = 20, kOffRecordCount = 24;

TEST_F(DumpTest, EveryTruncationIsShownAsFarAsItReads) {
  for (const char* rel : {"/app/dd/ct/quantrel.ct", "/app/ct/object.ct", "/app/ct/tasks.ct"}) {
    std::string original = dir_ + rel;
    std::vector<uint8_t> bytes = read(original);
    ASSERT_GT(bytes.size(), 100u);
    ProcessResult whole = run_process({ZQ_TOOL, "ct", "dump", original});
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    // Every length inside header and index of quantrel.ct, then a spread
    // over the data.
    bool fine = std::string(rel).find("quantrel") != std::string::npos;
    for (size_t len = 0; len < bytes.size(); len += (fine && len < 100 ? 1 : len < 100 ? 7 : 29)) {
      SCOPED_TRACE(std::string(rel) + " cut to " + std::to_string(len));
      std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
      ProcessResult r = expect_reported(damaged(original, cut));
      if (len >= CT_FILE_HEADER_SIZE + CT_ENTRY_SIZE) {
        EXPECT_NE(r.out.find("table 0"), std::string::npos) << "what could be read is not shown";
      }
    }
  }
}

TEST_F(DumpTest, RecordsBeforeTheCutAreStillDecoded) {
  std::string original = dir_ + "/app/dd/ct/quantrel.ct";
  std::vector<uint8_t> bytes = read(original);
  bytes.resize(bytes.size() - 40);  // into the last conversion record
  ProcessResult r = expect_reported(damaged(original, bytes));
  EXPECT_NE(r.out.find("T[0][0] (1:1)"), std::string::npos) << r.out;  // first record, names found
  EXPECT_NE(r.out.find("read_trigger"), std::string::npos);
  EXPECT_NE(r.out.find("short read"), std::string::npos) << r.out;
}

TEST_F(DumpTest, ImpossibleIndexEntriesAreReportedNotFollowed) {
  std::string original = dir_ + "/app/dd/ct/quantrel.ct";
  const std::vector<uint8_t> bytes = read(original);
  struct Patch {
    const char* what;
    size_t at;
    uint32_t value;
  };
  const size_t entry1 = kEntry0 + CT_ENTRY_SIZE;
  const std::vector<Patch> patches = {
      {"record count", entry1 + kOffRecordCount, 0xFFFFFFFFu},
      {"record size", entry1 + kOffRecordSize, 0xFFFFFFF0u},
      {"header length", entry1 + kOffHeaderLen, 0x7FFFFFFFu},
      {"data offset", entry1 + kOffData, 0xFFFFFFF0u},
      {"table count", 4, 0x00FFFFFFu},
  };
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.what);
    std::vector<uint8_t> b = bytes;
    put32(&b, p.at, p.value);
    ProcessResult r = expect_reported(damaged(original, b));
    EXPECT_GT(final_status(r.out), 0) << r.out;
    expect_reported(damaged(original, b), /*json=*/true);
  }
}

TEST_F(DumpTest, ForeignFilesAreRefusedWithTheReadersStatus) {
  std::string original = dir_ + "/app/ct/object.ct";
  std::vector<uint8_t> b = read(original);
  b[0] = 'T';
  b[1] = 'C';
  ProcessResult r = expect_reported(damaged(original, b));
  EXPECT_EQ(final_status(r.out), CT_EMAGIC) << r.out;
  b = read(original);
  ct_put_u16(b.data() + 2, 0x0301);
  r = expect_reported(damaged(original, b));
  EXPECT_EQ(final_status(r.out), CT_EVERSION) << r.out;
  r = run_process({ZQ_TOOL, "ct", "dump", dir_ + "/missing.ct"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("missing.ct"), std::string::npos);
}

TEST_F(DumpTest, JsonOfADamagedFileIsStillOneDocument) {
  std::string original = dir_ + "/app/dd/ct/quantrel.ct";
  std::vector<uint8_t> bytes = read(original);
  bytes.resize(bytes.size() / 2);
  ProcessResult r = expect_reported(damaged(original, bytes), /*json=*/true);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
  EXPECT_NE(r.out.find("\"status\":5"), std::string::npos) << r.out;
}

TEST_F(DumpTest, UnknownFilesAreShownInHex) {
  std::string original = dir_ + "/app/dd/ct/quantrel.ct";
  std::string other = dir_ + "/other.ct";
  fs::copy_file(original, other);
  ProcessResult r = run_process({ZQ_TOOL, "ct", "dump", other});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("kind                       \"raw\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0000  "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("read_trigger"), std::string::npos);
  r = run_process(
      {ZQ_TOOL, "ct", "dump", "--as", "quantrel", "--names", dir_ + "/app/ct/object.ct", other});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("TRIG (0:2)"), std::string::npos) << r.out;
}

}  // namespace
