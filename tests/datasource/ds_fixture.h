// A private kernel database with the task and a test provider task, an
// application directory holding ct/object.ct and {ZQDOMAIN}/ct/quantrel.ct
// written with the writers, and a report log captured in memory. Shared by
// the loader's and the data-source handlers' tests.
#ifndef ZQ_TESTS_DATASOURCE_DS_FIXTURE_H_
#define ZQ_TESTS_DATASOURCE_DS_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "config/config_loader.h"
#include "config/ct_writer.h"
#include "config/object_table.h"
#include "datasource/datasource.h"
#include "kernel/zqkernel.h"
#include "mci/mci.h"
#include "runtime/catalogue.h"
#include "runtime/report.h"
#include "runtime/triggers.h"

namespace dstest {

constexpr uint16_t kPoolSize = 120;  // tags of each value type
constexpr uint16_t kMessageCapacity = 200;
constexpr uint32_t kMailboxMessages = 64;
constexpr uint16_t kConvTableType = 2;

inline void put16(std::vector<uint8_t>* b, size_t at, uint16_t v) {
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put_ref(std::vector<uint8_t>* b, size_t at, TagRef r) {
  put16(b, at, r.type);
  put16(b, at + 2, r.index);
}
inline void put_text(std::vector<uint8_t>* b, size_t at, size_t size, const std::string& s) {
  for (size_t i = 0; i < s.size() && i < size; ++i) (*b)[at + i] = static_cast<uint8_t>(s[i]);
}

// One data-source record of quantrel.ct. Zero references are "not configured".
struct DsRec {
  TagRef tag{};
  std::string name;
  TagRef read_trigger{}, bw_trigger{};
  uint16_t read_enabled = 0, write_mode = 0, bw_enabled = 0, unsolicited = 0, addressing = 0;
  TagRef status{};
  TagRef complete[DS_OP_COUNT]{};
  TagRef inhibit[DS_OP_COUNT]{};
  TagRef sync[DS_OP_COUNT]{};
  TagRef state{};
};

// One conversion record.
struct ConvRec {
  TagRef tag{};
  std::string name;
  std::string dims;
  uint16_t address = 0, length = 0, count = 1, data_type = DT_WORD;
};

inline std::vector<uint8_t> ds_bytes(const DsRec& d) {
  std::vector<uint8_t> b(CONFIG_DS_RECORD_SIZE, 0);
  put_ref(&b, DSR_TAG, d.tag);
  put_text(&b, DSR_NAME, DSR_NAME_SIZE, d.name);
  put_ref(&b, DSR_READ_TRIGGER, d.read_trigger);
  put_ref(&b, DSR_BW_TRIGGER, d.bw_trigger);
  put16(&b, DSR_READ_ENABLED, d.read_enabled);
  put16(&b, DSR_WRITE_MODE, d.write_mode);
  put16(&b, DSR_BW_ENABLED, d.bw_enabled);
  put16(&b, DSR_UNSOLICITED, d.unsolicited);
  put16(&b, DSR_ADDRESSING, d.addressing);
  put_ref(&b, DSR_STATUS, d.status);
  for (int op = 0; op < DS_OP_COUNT; ++op) {
    put_ref(&b, DSR_COMPLETE + 4 * op, d.complete[op]);
    put_ref(&b, DSR_INHIBIT + 4 * op, d.inhibit[op]);
    put_ref(&b, DSR_SYNC + 4 * op, d.sync[op]);
  }
  put_ref(&b, DSR_STATE, d.state);
  return b;
}

inline std::vector<uint8_t> conv_bytes(const ConvRec& c) {
  std::vector<uint8_t> b(CONFIG_CONV_RECORD_SIZE, 0);
  put_ref(&b, CVR_TAG, c.tag);
  put_text(&b, CVR_NAME, CVR_NAME_SIZE, c.name);
  put_text(&b, CVR_DIMENSIONS, CVR_DIMENSIONS_SIZE, c.dims);
  put16(&b, CVR_ADDRESS, c.address);
  put16(&b, CVR_LENGTH, c.length);
  put16(&b, CVR_COUNT, c.count);
  put16(&b, CVR_DATA_TYPE, c.data_type);
  return b;
}

inline CtTable task_table(TagRef own_mailbox) {
  CtTable t;
  t.type = 0;
  t.name = "TASK";
  t.header.assign(CONFIG_TASK_HEADER_SIZE, 0);
  put_ref(&t.header, 0, own_mailbox);
  return t;
}

inline CtTable ds_table(TagRef provider_mailbox, uint16_t max_messages,
                        const std::vector<DsRec>& records) {
  CtTable t;
  t.type = CONFIG_DS_TABLE_TYPE;
  t.name = "DS";
  t.header.assign(CONFIG_DS_HEADER_SIZE, 0);
  put_ref(&t.header, 0, provider_mailbox);
  put16(&t.header, 4, max_messages);
  t.record_size = CONFIG_DS_RECORD_SIZE;
  for (const DsRec& d : records) {
    std::vector<uint8_t> b = ds_bytes(d);
    ct_table_add_record(&t, b.data(), b.size());
  }
  return t;
}

inline CtTable conv_table(TagRef ds_tag, const std::vector<ConvRec>& records) {
  CtTable t;
  t.type = kConvTableType;
  t.name = "CONV";
  t.header.assign(CONFIG_CONV_HEADER_SIZE, 0);
  put_ref(&t.header, 4, ds_tag);
  t.record_size = CONFIG_CONV_RECORD_SIZE;
  for (const ConvRec& c : records) {
    std::vector<uint8_t> b = conv_bytes(c);
    ct_table_add_record(&t, b.data(), b.size());
  }
  return t;
}

// Catalogue texts that show every argument, so tests see what was reported.
struct KeyForm {
  const char* key;
  const char* form;
};
constexpr KeyForm kForms[] = {
    {"CTTAGVAL", "%s"},
    {"CTCONV", "%s %d"},
    {"CTDUPCONV", "%s"},
    {"ARRAY", "%s"},
    {"IMX_INIT", "%d"},
    {"IMX_DS_REGISTER", "%s"},
    {"IMX_DS_QUERY", "%s %d"},
    {"NO_BWTRIGGER", "%s"},
    {"ZQ_CLEAR_CHG", "%s %s %d"},
    {"IMX_DS_TRIGGER", "%s %d"},
    {"ZQ_COUNT_MBX", "%s %d"},
    {"MAX_MSG", "%d %s"},
    {"ZQ_READ", "%s %s %d"},
    {"IMX_SEND", "%s %d"},
    {"IMX_RECV", "%s %d"},
    {"IMX_ERROR", "%s %s %d"},
    {"IMX_MSG", "%s %d"},
    {"ZQ_GET_CHG", "%s %d"},
    {"ZQ_SET_CHG", "%s %d"},
    {"ZQ_WRITE", "%s %s %d"},
    {"ZQ_F_WRITE", "%s|%s %d"},
    {"EW_CONV", "%s %d"},
    {"EX_CONVERT", "%s %d"},
    {"IMX_BOUND", "%s %d"},
    {"DBG_BLOCK_R", "%s"},
    {"DBG_BLOCK_W", "%s"},
    {"DBG_QUERY", "%s %d %d %d %d %d"},
    {"DBG_READ", "%s %d %d %d %d %d"},
    {"DBG_RECV", "%s %d %d %d %d %d"},
    {"DBG_WRITE", "%s"},
    {"DBG_VRNSTAT", "%d %d %d"},
    {"DBG_EXCEPT", "%s %d"},
};

class DsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const ZqTagDecl decls[] = {
        {TAG_DIGITAL, kPoolSize, 0}, {TAG_ANALOG, kPoolSize, 0},
        {TAG_FLOAT, kPoolSize, 0},   {TAG_MESSAGE, kPoolSize, kMessageCapacity},
        {TAG_LONG, kPoolSize, 0},    {TAG_MAILBOX, 8, 0},
    };
    ZqDbLimits limits;
    zq_db_default_limits(&limits);
    limits.mbx_messages = kMailboxMessages;
    TagRef refs[6] = {};
    ASSERT_EQ(zq_db_create(nullptr, decls, 6, &limits, refs, &db_), 0);
    zq_db_use(db_);
    for (int t = 0; t < 6; ++t) next_[t] = refs[t];
    own_mailbox_ = take(TAG_MAILBOX);
    provider_mailbox_ = take(TAG_MAILBOX);
    task_status_ = take(TAG_ANALOG);
    task_message_ = take(TAG_MESSAGE);

    memset(&ctx_, 0, sizeof ctx_);
    ctx_.task_id = zq_init("QUANTREL", "translator", "", "", "");
    provider_ = zq_init("PROVIDER", "test provider", "", "", "");
    ASSERT_GE(ctx_.task_id, 0);
    ASSERT_GE(provider_, 0);
    put_block_ref(ZQ_TB_STATUS_TAG, task_status_);
    put_block_ref(ZQ_TB_MESSAGE_TAG, task_message_);
    log_ = open_memstream(&log_text_, &log_size_);
    ASSERT_NE(log_, nullptr);
    ctx_.log_file = log_;
    ctx_.file_level = 2;

    catalogue_clear();
    for (const KeyForm& f : kForms) {
      catalogue_insert(f.key, (std::string(f.key) + " " + f.form).c_str());
    }

    char pattern[] = "/tmp/zqds.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    app_ = pattern;
    std::filesystem::create_directories(app_ / "ct");
    std::filesystem::create_directories(app_ / "dom" / "ct");
    setenv("ZQAPP", app_.c_str(), 1);
    setenv("ZQDOMAIN", "dom", 1);
  }

  // Forgets a load: the message layer, the registry and the loader's records.
  void reset() {
    mci_release();
    trigger_registry_reset();
    config_release();
  }

  void TearDown() override {
    zq_fault_clear_all();
    reset();
    ctx_.log_file = nullptr;
    fclose(log_);
    free(log_text_);
    zq_exit(provider_);
    zq_exit(ctx_.task_id);
    zq_db_destroy(db_);
    std::filesystem::remove_all(app_);
  }

  void put_block_ref(size_t at, TagRef r) {
    ctx_.kernel_block[at] = static_cast<uint8_t>(r.type);
    ctx_.kernel_block[at + 1] = static_cast<uint8_t>(r.type >> 8);
    ctx_.kernel_block[at + 2] = static_cast<uint8_t>(r.index);
    ctx_.kernel_block[at + 3] = static_cast<uint8_t>(r.index >> 8);
  }

  // The next unused tag of a type (an array takes `n` consecutive indexes).
  TagRef take(uint16_t type, uint16_t n = 1) {
    TagRef r = next_[type];
    next_[type].index = static_cast<uint16_t>(next_[type].index + n);
    return r;
  }

  // A data-source name in the object table, with a digital data-source tag.
  TagRef name_ds(const std::string& name) {
    TagRef t = take(TAG_DIGITAL);
    objects_.push_back({name, t});
    return t;
  }

  void write_objects() {
    std::vector<ObjectRecord> records;
    for (const auto& o : objects_) {
      ObjectRecord r = {};
      snprintf(r.name, sizeof r.name, "%s", o.first.c_str());
      r.tag_type = o.second.type;
      r.elements = 1;
      r.tag = o.second;
      records.push_back(r);
    }
    ASSERT_EQ(object_table_write((app_ / "ct" / "object.ct").c_str(), records), 0);
  }

  void write_config(const std::vector<CtTable>& tables) {
    write_objects();
    ASSERT_EQ(ct_write_file((app_ / "dom" / "ct" / "quantrel.ct").c_str(), tables), 0);
  }

  // Writes the files and loads them; the fatal key or "" on success.
  std::string load(const std::vector<CtTable>& tables) {
    write_config(tables);
    const char* key = load_configuration(&ctx_);
    return key == nullptr ? "" : key;
  }

  // Report and trace lines so far, without their time stamps; cleared after.
  std::vector<std::string> lines() {
    fflush(log_);
    std::vector<std::string> out;
    std::string all(log_text_ != nullptr ? log_text_ : "", log_size_);
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find('\n', at);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(at, end - at);
      // "mm/dd/yy HH:MM:SS text"
      size_t sp = line.find(' ');
      sp = sp == std::string::npos ? sp : line.find(' ', sp + 1);
      out.push_back(sp == std::string::npos ? line : line.substr(sp + 1));
      at = end + 1;
    }
    return out;
  }
  std::vector<std::string> take_lines() {
    std::vector<std::string> l = lines();
    fflush(log_);
    seen_ = log_size_;
    std::vector<std::string> fresh;
    size_t skip = skipped_lines_;
    for (size_t i = skip; i < l.size(); ++i) fresh.push_back(l[i]);
    skipped_lines_ = l.size();
    return fresh;
  }
  // Lines starting with `prefix` among those not yet taken.
  int count_lines(const std::string& prefix) {
    std::vector<std::string> l = lines();
    int n = 0;
    for (size_t i = skipped_lines_; i < l.size(); ++i) {
      if (l[i].rfind(prefix, 0) == 0) ++n;
    }
    return n;
  }
  bool reported(const std::string& line) {
    std::vector<std::string> l = lines();
    for (size_t i = skipped_lines_; i < l.size(); ++i) {
      if (l[i] == line) return true;
    }
    return false;
  }
  std::string all_lines() {
    std::string s;
    for (const std::string& l : lines()) s += l + "\n";
    return s;
  }

  int16_t read16(TagRef t) {
    unsigned char v[ZQ_VALUE_SLOT_MAX] = {};
    EXPECT_EQ(zq_read(provider_, &t, 1, v), 0);
    int16_t x;
    memcpy(&x, v, 2);
    return x;
  }
  int32_t read32(TagRef t) {
    unsigned char v[ZQ_VALUE_SLOT_MAX] = {};
    EXPECT_EQ(zq_read(provider_, &t, 1, v), 0);
    int32_t x;
    memcpy(&x, v, 4);
    return x;
  }
  void write16(TagRef t, int16_t x) { ASSERT_EQ(zq_write(provider_, &t, 1, &x), 0); }
  void write32(TagRef t, int32_t x) { ASSERT_EQ(zq_write(provider_, &t, 1, &x), 0); }

  // Whether the task's change flag of the tag is set (consumes it).
  bool changed(TagRef t) {
    uint32_t at = 0;
    ChangeRecord r;
    char text[ZQ_CHANGE_TEXT_CAPACITY];
    change_record_prepare(&r, text, sizeof text);
    return zq_get_chg(ctx_.task_id, &t, 1, &at, &r) == 0;
  }

  int mailbox_count(TagRef mailbox) {
    int n = -1;
    EXPECT_EQ(zq_count_mbx(provider_, mailbox, &n), 0);
    return n;
  }

  ZqDb* db_ = nullptr;
  TaskContext ctx_{};
  int16_t provider_ = -1;
  TagRef next_[6]{};
  TagRef own_mailbox_{}, provider_mailbox_{}, task_status_{}, task_message_{};
  std::vector<std::pair<std::string, TagRef>> objects_;
  std::filesystem::path app_;
  FILE* log_ = nullptr;
  char* log_text_ = nullptr;
  size_t log_size_ = 0;
  size_t seen_ = 0;
  size_t skipped_lines_ = 0;
};

}  // namespace dstest

#endif  // ZQ_TESTS_DATASOURCE_DS_FIXTURE_H_
