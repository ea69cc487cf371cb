// A private kernel database, an application directory with its object table,
// a client task standing in for QUANTREL and the simulator's task, for the
// simulator's in-process tests.
#ifndef ZQ_TESTS_SYSTEM_SIM_FIXTURE_H_
#define ZQ_TESTS_SYSTEM_SIM_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/object_table.h"
#include "kernel/zqkernel.h"
#include "tools/sim_config.h"
#include "tools/sim_provider.h"

namespace simtest {

struct TagSpec {
  const char* name;
  uint16_t type;
};

// The application every in-process test runs in.
constexpr TagSpec kTags[] = {
    {"QTL_MBX", TAG_MAILBOX}, {"SIM_MBX", TAG_MAILBOX}, {"WORDS", TAG_DIGITAL},
    {"BYTES", TAG_DIGITAL},   {"LONGS", TAG_DIGITAL},   {"BITS", TAG_DIGITAL},
    {"STATE1", TAG_ANALOG},   {"STATE2", TAG_LONG},     {"TEXT", TAG_MESSAGE},
    {"OWNKEY", TAG_ANALOG},
};

// A header as a test writes or reads it.
struct Hdr {
  uint16_t flags = 0;
  uint16_t count = 0;
  uint16_t start = 0;
  uint16_t transfer = 0;
};

inline uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// A message the client took out of QUANTREL's mailbox.
struct Got {
  MbxMessage desc = {};
  std::vector<uint8_t> data;
  uint16_t kind() const { return desc.control & 0x0F; }
  uint8_t sender_station() const { return static_cast<uint8_t>(desc.control >> 8); }
  Hdr header() const {
    Hdr h;
    if (data.size() >= 8) {
      h = {get16(&data[0]), get16(&data[2]), get16(&data[4]), get16(&data[6])};
    }
    return h;
  }
  std::vector<uint8_t> payload() const {
    return data.size() > 8 ? std::vector<uint8_t>(data.begin() + 8, data.end())
                           : std::vector<uint8_t>();
  }
  uint16_t code() const { return data.size() >= 10 ? get16(&data[8]) : 0xFFFF; }
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zqsim.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    app_ = pattern;
    std::vector<ObjectRecord> records;
    for (const TagSpec& t : kTags) {
      ObjectRecord r = {};
      snprintf(r.name, sizeof r.name, "%s", t.name);
      r.tag_type = t.type;
      r.elements = 1;
      r.capacity = t.type == TAG_MESSAGE ? 40 : 0;
      records.push_back(r);
    }
    ASSERT_EQ(object_assign_refs(&records), 0);
    for (const ObjectRecord& r : records) tags_[r.name] = r.tag;
    std::filesystem::create_directories(app_ / "ct");
    ASSERT_EQ(object_table_write((app_ / "ct" / "object.ct").c_str(), records), 0);
    std::vector<ZqTagDecl> decls;
    ASSERT_EQ(object_kernel_declarations(records, &decls), 0);
    ZqDbLimits limits;
    zq_db_default_limits(&limits);
    ASSERT_EQ(zq_db_create(nullptr, decls.data(), static_cast<uint32_t>(decls.size()), &limits,
                           nullptr, &db_),
              0);
    zq_db_use(db_);
    client_ = zq_init("QUANTREL", "test client", "", "", "");
    sim_id_ = zq_init("SIM", "simulator", "", "", "");
    ASSERT_GE(client_, 0);
    ASSERT_GE(sim_id_, 0);
  }

  void TearDown() override {
    zq_exit(sim_id_);
    zq_exit(client_);
    zq_db_destroy(db_);
    zq_db_use(nullptr);
    std::filesystem::remove_all(app_);
  }

  TagRef tag(const std::string& name) const { return tags_.at(name); }

  // Parses the [sim] section given (or the default one) and the sources, and
  // sets the simulator up against the object table.
  bool start(const std::string& sources, const std::string& sim_section = "") {
    std::string text = sim_section.empty() ? std::string(
                                                 "[sim]\ntask = \"SIM\"\nmailbox = \"SIM_MBX\"\n"
                                                 "quantrel_mailbox = \"QTL_MBX\"\n")
                                           : sim_section;
    text += sources;
    std::vector<std::string> errors;
    if (!sim_config_parse(text, "test.toml", &config_, &errors)) {
      for (const std::string& e : errors) ADD_FAILURE() << e;
      return false;
    }
    std::string error;
    sim_.trace = [this](const std::string& line) { trace_.push_back(line); };
    if (!sim_setup(&sim_, config_, sim_id_, sim_object_table_resolver(app_.string()), &error)) {
      setup_error_ = error;
      return false;
    }
    return true;
  }

  // The client writes a request into the simulator's mailbox.
  void send(uint16_t kind, TagRef key, const Hdr& h, const std::vector<uint8_t>& payload = {},
            size_t header_bytes = 8, uint16_t extra_control = 0) {
    std::vector<uint8_t> bytes(8, 0);
    put16(&bytes[0], h.flags);
    put16(&bytes[2], h.count);
    put16(&bytes[4], h.start);
    put16(&bytes[6], h.transfer);
    bytes.resize(header_bytes);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    MbxMessage m = {};
    m.data = bytes.data();
    m.length = static_cast<uint16_t>(bytes.size());
    m.capacity = m.length;
    m.reserved1 = 0xFFFF;
    m.reserved2 = 0xFFFF;
    m.control = static_cast<uint16_t>(kind | (config_.quantrel_station << 8) | extra_control);
    m.station = static_cast<uint16_t>(0xAB00 | config_.quantrel_station);
    m.key = key;
    ASSERT_EQ(zq_write_mbx(client_, client_, tag("SIM_MBX"), &m), 0);
  }

  void query(const std::string& name, TagRef key) {
    std::vector<uint8_t> text(name.begin(), name.end());
    send(SIM_KIND_QUERY, key, Hdr{0x0003, static_cast<uint16_t>(name.size()), 0, 0}, text);
  }

  // The simulator handles what waits in its mailbox.
  int serve() {
    std::string error;
    int n = sim_drain_mailbox(&sim_, &error);
    EXPECT_GE(n, 0) << error;
    return n;
  }

  int answers() {
    int n = -1;
    EXPECT_EQ(zq_count_mbx(client_, tag("QTL_MBX"), &n), 0);
    return n;
  }

  // The client takes the oldest answer out of its mailbox.
  Got take() {
    Got g;
    int n = 0;
    EXPECT_EQ(zq_count_mbx(client_, tag("QTL_MBX"), &n), 0);
    if (n == 0) {
      ADD_FAILURE() << "no answer in QUANTREL's mailbox";
      return g;
    }
    g.data.assign(8192, 0);
    g.desc.data = g.data.data();
    g.desc.capacity = static_cast<uint16_t>(g.data.size());
    EXPECT_EQ(zq_read_mbx(client_, client_, tag("QTL_MBX"), &g.desc, 0), 0);
    g.data.resize(g.desc.length);
    return g;
  }

  // Sends, lets the simulator serve and takes the one answer.
  Got exchange(uint16_t kind, TagRef key, const Hdr& h, const std::vector<uint8_t>& payload = {}) {
    send(kind, key, h, payload);
    EXPECT_EQ(serve(), 1);
    EXPECT_EQ(answers(), 1);
    return take();
  }

  std::filesystem::path app_;
  std::map<std::string, TagRef> tags_;
  ZqDb* db_ = nullptr;
  int16_t client_ = -1;
  int16_t sim_id_ = -1;
  SimConfig config_;
  Sim sim_;
  std::string setup_error_;
  std::vector<std::string> trace_;
};

}  // namespace simtest

#endif  // ZQ_TESTS_SYSTEM_SIM_FIXTURE_H_
