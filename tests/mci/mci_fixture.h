// A private kernel database with the task, a provider task and an object
// table on disk, for the message layer's tests.
#ifndef ZQ_TESTS_MCI_MCI_FIXTURE_H_
#define ZQ_TESTS_MCI_MCI_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/object_table.h"
#include "kernel/zqkernel.h"
#include "mci/mci.h"

namespace mcitest {

constexpr uint8_t kOwnStation = 3;
constexpr uint8_t kRemoteStation = 7;
constexpr uint32_t kMailboxMessages = 25010;

// One name of the application's object table.
struct ObjectEntry {
  std::string name;
  TagRef tag;
};

// Writes ct/object.ct of the application with the object-table writer.
inline void write_object_table(const std::filesystem::path& app,
                               const std::vector<ObjectEntry>& entries) {
  std::vector<ObjectRecord> records;
  for (const ObjectEntry& e : entries) {
    ObjectRecord r = {};
    snprintf(r.name, sizeof r.name, "%s", e.name.c_str());
    r.tag_type = e.tag.type;
    r.elements = 1;
    r.tag = e.tag;
    records.push_back(r);
  }
  std::filesystem::create_directories(app / "ct");
  ASSERT_EQ(object_table_write((app / "ct" / "object.ct").c_str(), records), 0);
}

// A message as the provider (or a foreign task) writes it.
struct Sent {
  uint16_t kind = MCI_KIND_READ_DATA;
  uint8_t station = kOwnStation;  // sender station in the control word
  TagRef key = {};
  MciBlockHeader header = {MCI_FLAG_FORMAT, 0, 0, 0};
  std::vector<uint8_t> payload;        // after the header
  bool swapped = false;                // control bit 6
  int header_bytes = MCI_HEADER_SIZE;  // fewer for short messages
};

// A message taken out of the provider's mailbox.
struct Received {
  MbxMessage desc = {};
  std::vector<uint8_t> data;
  MciBlockHeader header() const {
    MciBlockHeader h = {};
    if (data.size() >= MCI_HEADER_SIZE) mci_header_read(data.data(), &h);
    return h;
  }
};

class MciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ZqTagDecl decls[] = {
        {TAG_MAILBOX, 1, 0},   // own mailbox
        {TAG_MAILBOX, 1, 0},   // provider's mailbox
        {TAG_DIGITAL, 1, 0},   // DS1
        {TAG_ANALOG, 1, 0},    // DS2
        {TAG_LONG, 1, 0},      // DS3
        {TAG_FLOAT, 1, 0},     // DS4
        {TAG_MESSAGE, 1, 20},  // DS5
        {TAG_MAILBOX, 1, 0},   // a second provider
    };
    ZqDbLimits limits;
    zq_db_default_limits(&limits);
    limits.mbx_messages = kMailboxMessages;
    limits.mbx_data_bytes = 16u << 20;
    TagRef refs[8] = {};
    ASSERT_EQ(zq_db_create(nullptr, decls, 8, &limits, refs, &db_), 0);
    zq_db_use(db_);
    own_mailbox_ = refs[0];
    provider_mailbox_ = refs[1];
    ds1_tag_ = refs[2];
    ds2_tag_ = refs[3];
    ds3_tag_ = refs[4];
    ds4_tag_ = refs[5];
    ds5_tag_ = refs[6];
    provider2_mailbox_ = refs[7];
    task_ = zq_init("QUANTREL", "translator", "", "", "");
    provider_ = zq_init("PROVIDER", "test provider", "", "", "");
    ASSERT_GE(task_, 0);
    ASSERT_GE(provider_, 0);

    char pattern[] = "/tmp/zqmci.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    app_ = pattern;
    write_object_table(app_, {{"DS1", ds1_tag_},
                              {"DS2", ds2_tag_},
                              {"DS3", ds3_tag_},
                              {"DS4", ds4_tag_},
                              {"DS5", ds5_tag_},
                              {"ALIAS", ds2_tag_}});
    setenv("ZQAPP", app_.c_str(), 1);

    handle_ = {task_, own_mailbox_, kOwnStation};
    mci_set_idle_pause(&MciTest::count_pause);
    pauses_ = 0;
    shared_.assign(MCI_MESSAGE_BUFFER_SIZE, 0);
  }

  void TearDown() override {
    zq_fault_clear_all();
    mci_fail_allocations_after(-1);
    mci_set_idle_pause(nullptr);
    mci_release();
    zq_exit(provider_);
    zq_exit(task_);
    zq_db_destroy(db_);
    std::filesystem::remove_all(app_);
  }

  static void count_pause(int ms) {
    pause_ms_ = ms;
    ++pauses_;
  }

  // A record as the loader fills it, with the shared buffer in both places.
  DataSource record(const char* name, TagRef tag, TagRef destination) {
    DataSource r = {};
    snprintf(r.name, sizeof r.name, "%s", name);
    r.message.key = tag;
    r.destination = destination;
    r.default_buffer = {shared_.data(), MCI_MESSAGE_BUFFER_SIZE, 0};
    r.message.data = shared_.data();
    r.message.capacity = MCI_MESSAGE_BUFFER_SIZE;
    return r;
  }

  DataSource* start_and_register(const char* name, TagRef tag) {
    if (mci_slot_count() == 0 && mci_init(&handle_) != 0) return nullptr;
    DataSource r = record(name, tag, provider_mailbox_);
    return mci_register(&r);
  }

  // The provider writes a message into the own mailbox (or another one).
  void send(const Sent& s, TagRef mailbox = {}) {
    std::vector<uint8_t> bytes(MCI_HEADER_SIZE, 0);
    mci_header_write(bytes.data(), s.header);
    if (s.swapped) {
      for (size_t i = 0; i < MCI_HEADER_SIZE; i += 2) std::swap(bytes[i], bytes[i + 1]);
    }
    bytes.resize(static_cast<size_t>(s.header_bytes));
    bytes.insert(bytes.end(), s.payload.begin(), s.payload.end());
    MbxMessage m = {};
    m.data = bytes.data();
    m.length = static_cast<uint16_t>(bytes.size());
    m.capacity = m.length;
    m.control = static_cast<uint16_t>(s.kind | (s.station << 8) | (s.swapped ? 0x40 : 0));
    m.key = s.key;
    if (mailbox.type == 0 && mailbox.index == 0) mailbox = own_mailbox_;
    ASSERT_EQ(zq_write_mbx(provider_, provider_, mailbox, &m), 0);
  }

  // The provider takes the oldest message out of a mailbox.
  bool take(TagRef mailbox, Received* out) {
    int n = 0;
    if (zq_count_mbx(provider_, mailbox, &n) != 0 || n == 0) return false;
    out->data.assign(8192, 0);
    out->desc = {};
    out->desc.data = out->data.data();
    out->desc.capacity = static_cast<uint16_t>(out->data.size());
    if (zq_read_mbx(provider_, provider_, mailbox, &out->desc, 0) != 0) return false;
    out->data.resize(out->desc.length);
    return true;
  }

  int count(TagRef mailbox) {
    int n = -1;
    EXPECT_EQ(zq_count_mbx(provider_, mailbox, &n), 0);
    return n;
  }

  int run_mailbox() {
    ChangeRecord none = {};
    return mci_on_mailbox(nullptr, none);
  }

  ZqDb* db_ = nullptr;
  int16_t task_ = -1;
  int16_t provider_ = -1;
  TagRef own_mailbox_{}, provider_mailbox_{}, provider2_mailbox_{};
  TagRef ds1_tag_{}, ds2_tag_{}, ds3_tag_{}, ds4_tag_{}, ds5_tag_{};
  std::filesystem::path app_;
  MciHandle handle_{};
  std::vector<uint8_t> shared_;
  static inline int pauses_ = 0;
  static inline int pause_ms_ = 0;
};

}  // namespace mcitest

#endif  // ZQ_TESTS_MCI_MCI_FIXTURE_H_
