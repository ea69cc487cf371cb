// CT reader and writer: both index layouts, every status code, the state a
// handle is left in after each failure.
#include "config/ct_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/ct_writer.h"
#include "config_test_util.h"

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) {
  return {s.begin(), s.end()};
}

// Three tables: a header-only table with a full 10-character name, a table
// of three 6-byte records with a 4-byte header, and a table without data.
std::vector<CtTable> sample_tables() {
  std::vector<CtTable> tables(3);
  tables[0].type = 7;
  tables[0].name = "TASKTABLE0";  // all 10 characters, no terminator
  tables[0].header = {0x11, 0x22, 0x33, 0x44};
  tables[1].type = 1;
  tables[1].name = "DS";
  tables[1].header = bytes_of("HDR!");
  tables[1].record_size = 6;
  EXPECT_TRUE(ct_table_add_record(&tables[1], "rec0-a", 6));
  EXPECT_TRUE(ct_table_add_record(&tables[1], "rec1-b", 6));
  EXPECT_TRUE(ct_table_add_record(&tables[1], "r2", 2));  // zero-padded
  tables[2].type = 2;
  tables[2].name = "EMPTY";
  tables[2].header = {1, 2};
  tables[2].record_size = 80;
  tables[2].no_data = true;
  return tables;
}

class CtFileTest : public ::testing::Test {
 protected:
  std::string write(const std::vector<CtTable>& tables, uint16_t version = CT_VERSION_CURRENT) {
    std::string path = tmp_.sub("t.ct");
    EXPECT_EQ(ct_write_file(path.c_str(), tables, version), CT_OK);
    return path;
  }
  std::string write_bytes(const std::vector<uint8_t>& bytes) {
    std::string path = tmp_.sub("raw.ct");
    EXPECT_EQ(ct_write_bytes(path.c_str(), bytes), CT_OK);
    return path;
  }
  std::vector<uint8_t> image(const std::vector<CtTable>& tables,
                             uint16_t version = CT_VERSION_CURRENT) {
    std::vector<uint8_t> out;
    EXPECT_EQ(ct_build_image(tables, version, &out), CT_OK);
    return out;
  }
  // Checks every table of sample_tables() through an open handle.
  void expect_sample(CtFile* ct) {
    ASSERT_EQ(ct->header.table_count, 3u);
    ASSERT_EQ(ct_select(ct, 0), CT_OK);
    EXPECT_EQ(ct->entry.type, 7);
    EXPECT_EQ(memcmp(ct->entry.name, "TASKTABLE0", CT_NAME_SIZE), 0);
    char name[CT_NAME_SIZE + 1];
    ct_entry_name(&ct->entry, name);
    EXPECT_STREQ(name, "TASKTABLE0");
    EXPECT_EQ(ct->entry.header_length, 4u);
    EXPECT_EQ(ct->entry.record_count, 0u);
    uint8_t header[4] = {};
    ASSERT_EQ(ct_read_header(ct, header), CT_OK);
    EXPECT_EQ(ct_get_u32(header), 0x44332211u);

    ASSERT_EQ(ct_select(ct, 1), CT_OK);
    EXPECT_EQ(ct->entry.type, 1);
    ct_entry_name(&ct->entry, name);
    EXPECT_STREQ(name, "DS");
    EXPECT_EQ(ct->entry.record_size, 6u);
    EXPECT_EQ(ct->entry.record_count, 3u);
    char records[18] = {};
    ASSERT_EQ(ct_read_records(ct, records, 0, 3), CT_OK);
    EXPECT_EQ(std::string(records, 18), std::string("rec0-arec1-br2\0\0\0\0", 18));
    char one[6];
    ASSERT_EQ(ct_read_record(ct, one, 1), CT_OK);
    EXPECT_EQ(std::string(one, 6), "rec1-b");
    char hdr[4];
    ASSERT_EQ(ct_read_header(ct, hdr), CT_OK);  // any order after a selection
    EXPECT_EQ(std::string(hdr, 4), "HDR!");

    ASSERT_EQ(ct_select(ct, 2), CT_OK);
    EXPECT_EQ(ct->entry.data_offset, 0u);
    EXPECT_EQ(ct->entry.record_size, 80u);
  }

  TempDir tmp_;
};

TEST_F(CtFileTest, CurrentLayoutRoundTrips) {
  std::string path = write(sample_tables());
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  EXPECT_EQ(ct.header.magic, CT_MAGIC);
  EXPECT_EQ(ct.header.version, CT_VERSION_CURRENT);
  expect_sample(&ct);
  // The tools lay table 0's data directly after the index.
  ASSERT_EQ(ct_select(&ct, 0), CT_OK);
  EXPECT_EQ(ct.entry.data_offset, CT_FILE_HEADER_SIZE + CT_ENTRY_SIZE * 3);
  EXPECT_EQ(ct_close(&ct), CT_OK);
  EXPECT_EQ(ct.state, nullptr);
}

TEST_F(CtFileTest, OldLayoutReadsTheSameTables) {
  std::vector<uint8_t> old = image(sample_tables(), CT_VERSION_OLD);
  EXPECT_EQ(old.size(), image(sample_tables()).size() - 2 - 3 * 6);
  EXPECT_EQ(ct_get_u16(old.data() + 2), CT_VERSION_OLD);
  std::string path = write_bytes(old);
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  EXPECT_EQ(ct.header.version, CT_VERSION_OLD);
  expect_sample(&ct);
  ASSERT_EQ(ct_select(&ct, 0), CT_OK);
  EXPECT_EQ(ct.entry.data_offset, CT_FILE_HEADER_SIZE_OLD + CT_ENTRY_SIZE_OLD * 3);
  EXPECT_EQ(ct_close(&ct), CT_OK);
}

TEST_F(CtFileTest, EveryAcceptedVersionBetweenTheLayoutsReadsAsCurrent) {
  for (uint16_t version : {CT_VERSION_FIRST_CURRENT, uint16_t{0x0250}, CT_VERSION_CURRENT}) {
    std::string path = write(sample_tables(), version);
    CtFile ct;
    ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK) << version;
    expect_sample(&ct);
    ct_close(&ct);
  }
}

TEST_F(CtFileTest, WriterRefusesWhatTheLayoutCannotHold) {
  std::vector<uint8_t> out;
  std::vector<CtTable> big(1);
  big[0].record_size = 70000;
  big[0].record_count = 1;
  big[0].records.resize(70000);
  EXPECT_EQ(ct_build_image(big, CT_VERSION_OLD, &out), CT_ETOOBIG);
  EXPECT_EQ(ct_build_image(big, CT_VERSION_CURRENT, &out), CT_OK);
  std::vector<CtTable> many(1);
  many[0].record_size = 1;
  many[0].record_count = 65536;
  many[0].records.resize(65536);
  EXPECT_EQ(ct_build_image(many, CT_VERSION_OLD, &out), CT_ETOOBIG);

  std::vector<CtTable> mismatch(1);
  mismatch[0].record_size = 4;
  mismatch[0].record_count = 2;
  mismatch[0].records.resize(7);
  EXPECT_EQ(ct_build_image(mismatch, CT_VERSION_CURRENT, &out), CT_EARG);
  std::vector<CtTable> long_name(1);
  long_name[0].name = "ELEVENCHARS";
  EXPECT_EQ(ct_build_image(long_name, CT_VERSION_CURRENT, &out), CT_EARG);
  EXPECT_EQ(ct_build_image(sample_tables(), 0x01FF, &out), CT_EVERSION);
  EXPECT_EQ(ct_build_image(sample_tables(), 0x0301, &out), CT_EVERSION);
  EXPECT_EQ(ct_build_image(sample_tables(), CT_VERSION_CURRENT, nullptr), CT_EARG);

  CtTable t;
  t.record_size = 4;
  EXPECT_FALSE(ct_table_add_record(&t, "12345", 5));
  EXPECT_EQ(t.record_count, 0u);
  EXPECT_EQ(ct_write_file(tmp_.sub("no/such/dir/x.ct").c_str(), sample_tables()), CT_EOPEN);
  EXPECT_EQ(ct_write_file(nullptr, sample_tables()), CT_EARG);
}

TEST_F(CtFileTest, OpenRefusesBadHeadersAndLeavesTheHandleClosed) {
  std::vector<uint8_t> good = image(sample_tables());
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int status;
  };
  std::vector<uint8_t> tc = good;
  tc[0] = 'T';
  tc[1] = 'C';
  std::vector<uint8_t> v1ff = good;
  ct_put_u16(v1ff.data() + 2, 0x01FF);
  std::vector<uint8_t> v301 = good;
  ct_put_u16(v301.data() + 2, 0x0301);
  std::vector<uint8_t> short_current(good.begin(), good.begin() + 7);
  std::vector<uint8_t> old = image(sample_tables(), CT_VERSION_OLD);
  std::vector<uint8_t> short_old(old.begin(), old.begin() + 5);
  const Case cases[] = {
      {"reversed magic", tc, CT_EMAGIC},
      {"version 0x01FF", v1ff, CT_EVERSION},
      {"version 0x0301", v301, CT_EVERSION},
      {"empty file", {}, CT_EREAD},
      {"three bytes", {'C', 'T', 0}, CT_EREAD},
      {"magic and version only", {0x43, 0x54, 0x00, 0x03}, CT_EREAD},
      {"current header cut", short_current, CT_EREAD},
      {"old header cut", short_old, CT_EREAD},
  };
  for (const Case& c : cases) {
    std::string path = write_bytes(c.bytes);
    CtFile ct;
    memset(&ct, 0xAB, sizeof ct);  // a handle need not be initialised
    EXPECT_EQ(ct_open(&ct, nullptr, path.c_str()), c.status) << c.what;
    EXPECT_EQ(ct.state, nullptr) << c.what;
    EXPECT_EQ(ct_close(&ct), CT_ENOTOPEN) << c.what;
    EXPECT_EQ(ct_select(&ct, 0), CT_ENOTOPEN) << c.what;
  }
}

TEST_F(CtFileTest, OpenNeedsItsArgumentsAndAnExistingFile) {
  CtFile ct;
  EXPECT_EQ(ct_open(nullptr, nullptr, "x.ct"), CT_EARG);
  EXPECT_EQ(ct_open(&ct, nullptr, nullptr), CT_EARG);
  EXPECT_EQ(ct_open(&ct, tmp_.path().c_str(), "missing.ct"), CT_EOPEN);
  EXPECT_EQ(ct.state, nullptr);
  EXPECT_EQ(ct_select(nullptr, 0), CT_EARG);
  EXPECT_EQ(ct_read_header(nullptr, nullptr), CT_EARG);
  EXPECT_EQ(ct_read_records(nullptr, nullptr, 0, 1), CT_EARG);
  EXPECT_EQ(ct_close(nullptr), CT_EARG);
  EXPECT_STREQ(ct_path(nullptr), "");
}

TEST_F(CtFileTest, NamesAreResolvedAgainstTheDirectoryWithMacros) {
  tmp_.dir("app");
  tmp_.dir("app/user");
  tmp_.dir("app/user/ct");
  std::string full = tmp_.sub("app/user/ct/quantrel.ct");
  ASSERT_EQ(ct_write_file(full.c_str(), sample_tables()), CT_OK);
  EnvVar app("ZQAPP", tmp_.sub("app").c_str());
  EnvVar domain("ZQDOMAIN", "user");
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, "{ZQAPP}", "{ZQDOMAIN}/ct/quantrel.ct"), CT_OK);
  EXPECT_EQ(std::string(ct_path(&ct)), full);
  ct_close(&ct);
  EXPECT_STREQ(ct_path(&ct), "");

  // An absolute name is taken as it is; a relative one without a directory
  // is taken from the current directory.
  ASSERT_EQ(ct_open(&ct, "/nowhere", full.c_str()), CT_OK);
  ct_close(&ct);
  InDir in(tmp_.sub("app/user"));
  ASSERT_EQ(ct_open(&ct, nullptr, "ct/quantrel.ct"), CT_OK);
  ct_close(&ct);
}

TEST_F(CtFileTest, SelectChecksTheIndexAndKeepsTheEarlierEntryOnFailure) {
  std::vector<uint8_t> bytes = image(sample_tables());
  ct_put_u32(bytes.data() + 4, 5);  // two more tables than the index holds...
  bytes.resize(CT_FILE_HEADER_SIZE + CT_ENTRY_SIZE * 3 + 10);  // ...and data cut short
  std::string path = write_bytes(bytes);
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  EXPECT_EQ(ct_read_header(&ct, nullptr), CT_ETABLE);  // nothing selected yet
  EXPECT_EQ(ct_read_records(&ct, nullptr, 0, 1), CT_ETABLE);
  ASSERT_EQ(ct_select(&ct, 0), CT_OK);
  CtIndexEntry before = ct.entry;
  EXPECT_EQ(ct_select(&ct, 5), CT_ETABLE);  // index equal to the table count
  EXPECT_EQ(ct_select(&ct, UINT32_MAX), CT_ETABLE);
  EXPECT_EQ(ct_select(&ct, 4), CT_EREAD);  // entry beyond the end of the file
  EXPECT_EQ(memcmp(&ct.entry, &before, sizeof before), 0);
  uint8_t header[4];
  EXPECT_EQ(ct_read_header(&ct, header), CT_OK);  // still the earlier table
  EXPECT_EQ(ct_get_u32(header), 0x44332211u);
  ASSERT_EQ(ct_select(&ct, 1), CT_OK);
  char record[6];
  EXPECT_EQ(ct_read_record(&ct, record, 2), CT_EREAD);  // data cut short
  EXPECT_NE(ct.state, nullptr);
  EXPECT_EQ(ct_close(&ct), CT_OK);
}

TEST_F(CtFileTest, AFailedFirstSelectLeavesNoUsableTable) {
  std::vector<uint8_t> bytes = image(sample_tables());
  bytes.resize(CT_FILE_HEADER_SIZE + 10);  // index cut inside entry 0
  std::string path = write_bytes(bytes);
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  EXPECT_EQ(ct_select(&ct, 0), CT_EREAD);
  CtIndexEntry zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&ct.entry, &zero, sizeof zero), 0);
  EXPECT_EQ(ct_read_header(&ct, nullptr), CT_ETABLE);
  ct_close(&ct);
}

TEST_F(CtFileTest, RecordRangesAreChecked) {
  std::string path = write(sample_tables());
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  ASSERT_EQ(ct_select(&ct, 1), CT_OK);
  char buf[32];
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(ct_read_record(&ct, buf, 3), CT_ERANGE);  // index equal to the count
  EXPECT_EQ(ct_read_records(&ct, buf, 2, 2), CT_ERANGE);
  EXPECT_EQ(ct_read_records(&ct, buf, UINT32_MAX, 2), CT_ERANGE);  // no wrap-around
  EXPECT_EQ(ct_read_records(&ct, buf, 0, 0), CT_ERANGE);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(ct_read_records(&ct, nullptr, 0, 1), CT_EARG);
  EXPECT_EQ(ct_read_records(&ct, buf, 2, 1), CT_OK);
  EXPECT_EQ(std::string(buf, 6), std::string("r2\0\0\0\0", 6));
  ct_close(&ct);
}

TEST_F(CtFileTest, TablesWithoutDataOrWithEmptyPartsRead) {
  std::vector<CtTable> tables = sample_tables();
  tables[0].header.clear();  // header length 0
  CtTable zero_size;
  zero_size.name = "ZERO";
  zero_size.record_size = 0;
  zero_size.record_count = 4;
  tables.push_back(zero_size);
  std::string path = write(tables);
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  ASSERT_EQ(ct_select(&ct, 0), CT_OK);
  uint8_t untouched[4] = {9, 9, 9, 9};
  EXPECT_EQ(ct_read_header(&ct, untouched), CT_OK);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(ct_read_header(&ct, nullptr), CT_OK);

  ASSERT_EQ(ct_select(&ct, 2), CT_OK);  // data offset 0: selectable, not readable
  EXPECT_EQ(ct_read_header(&ct, untouched), CT_ETABLE);
  EXPECT_EQ(ct_read_record(&ct, untouched, 0), CT_ETABLE);

  ASSERT_EQ(ct_select(&ct, 3), CT_OK);
  EXPECT_EQ(ct_read_records(&ct, untouched, 0, 4), CT_OK);  // record size 0 reads nothing
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(ct_read_record(&ct, untouched, 4), CT_ERANGE);
  ct_close(&ct);
}

TEST_F(CtFileTest, OffsetsPastTheFileOrBeyondSeekingFail) {
  std::vector<uint8_t> bytes = image(sample_tables());
  uint8_t* e1 = bytes.data() + CT_FILE_HEADER_SIZE + CT_ENTRY_SIZE;
  ct_put_u32(e1 + 12, 100000);  // table 1's data far past the end
  uint8_t* e0 = bytes.data() + CT_FILE_HEADER_SIZE;
  ct_put_u32(e0 + 20, UINT32_MAX);  // table 0: huge records...
  ct_put_u32(e0 + 24, UINT32_MAX);  // ...and a huge count
  std::string path = write_bytes(bytes);
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  ASSERT_EQ(ct_select(&ct, 1), CT_OK);
  char buf[8];
  EXPECT_EQ(ct_read_header(&ct, buf), CT_EREAD);
  EXPECT_EQ(ct_read_record(&ct, buf, 0), CT_EREAD);
  ASSERT_EQ(ct_select(&ct, 0), CT_OK);
  EXPECT_EQ(ct_read_record(&ct, buf, UINT32_MAX - 1), CT_ESEEK);  // offset beyond 2^63
  EXPECT_NE(ct.state, nullptr);
  ct_close(&ct);
}

TEST_F(CtFileTest, HugeTableCountsFailPerEntry) {
  std::vector<uint8_t> bytes = image(sample_tables());
  ct_put_u32(bytes.data() + 4, UINT32_MAX);
  std::string path = write_bytes(bytes);
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  EXPECT_EQ(ct.header.table_count, UINT32_MAX);
  EXPECT_EQ(ct_select(&ct, UINT32_MAX - 1), CT_EREAD);
  EXPECT_EQ(ct_select(&ct, 1), CT_OK);
  ct_close(&ct);
}

// The descriptor behind an open handle's stream, found through /proc.
int stream_fd_of(const std::string& path) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (struct dirent* e = readdir(dir)) {
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (path == target) found = atoi(e->d_name);
  }
  closedir(dir);
  return found;
}

TEST_F(CtFileTest, AStreamThatFailsToCloseLeavesTheHandleOpenForASecondClose) {
  std::string path = write(sample_tables());
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  int fd = stream_fd_of(path);
  if (fd < 0) GTEST_SKIP() << "/proc/self/fd not available";
  ASSERT_EQ(close(fd), 0);  // the stream's close will now fail
  EXPECT_EQ(ct_close(&ct), CT_ECLOSE);
  EXPECT_NE(ct.state, nullptr);
  EXPECT_EQ(ct_select(&ct, 0), CT_ESEEK);  // open, but its stream is gone
  EXPECT_EQ(ct_close(&ct), CT_OK);
  EXPECT_EQ(ct.state, nullptr);
  EXPECT_EQ(ct_close(&ct), CT_ENOTOPEN);
}

}  // namespace
