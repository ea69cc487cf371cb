// zq modbus's provider in-process against pymodbus's Modbus TCP server:
// a test task standing in for QUANTREL on another station sends queries,
// reads and writes into the provider's mailbox and checks every answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/object_table.h"
#include "kernel/zqkernel.h"
#include "run_process.h"
#include "tools/modbus_block.h"
#include "tools/modbus_config.h"
#include "tools/modbus_provider.h"

namespace {

using namespace std::chrono_literals;

constexpr int kUnit = 17;
constexpr uint16_t kRemoteKeyType = MB_REMOTE_KEY_TYPE;

// ---- The Modbus server (pymodbus) --------------------------------------------------------

std::string python_with_pymodbus() {
  for (const char* python : {"/usr/bin/python3", "python3"}) {
    ProcessResult r = run_process(
        {"/bin/sh", "-c", std::string(python) + " -c 'import pymodbus' >/dev/null 2>&1"}, 30);
    if (r.exit_code == 0) return python;
  }
  return "";
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    close(fd);
    return -1;
  }
  close(fd);
  return ntohs(a.sin_port);
}

// tests/system/modbus_server.py on a loopback port.
class Server {
 public:
  bool start(const std::string& python, int port, int variant) {
    process_ = std::make_unique<Process>(std::vector<std::string>{
        "/bin/sh", "-c",
        "exec " + python + " " + ZQ_SOURCE_DIR + "/tests/system/modbus_server.py --port " +
            std::to_string(port) + " --unit " + std::to_string(kUnit) + " --variant " +
            std::to_string(variant)});
    for (int i = 0; i < 300; ++i) {
      if (process_->out_so_far().find("ready") != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  void stop() {
    if (!process_) return;
    process_->signal(SIGKILL);
    process_->wait(10);
    process_.reset();
  }
  ~Server() { stop(); }

 private:
  std::unique_ptr<Process> process_;
};

// ---- The application -------------------------------------------------------------------------

struct TagSpec {
  const char* name;
  uint16_t type;
};
constexpr TagSpec kTags[] = {
    {"QTL_MBX", TAG_MAILBOX}, {"MB_MBX", TAG_MAILBOX}, {"HOLD", TAG_DIGITAL},
    {"INREG", TAG_DIGITAL},   {"COILS", TAG_DIGITAL},  {"DISC", TAG_DIGITAL},
    {"BIG", TAG_DIGITAL},     {"MANY", TAG_DIGITAL},   {"MISSING", TAG_DIGITAL},
    {"GHOST", TAG_DIGITAL},   {"STATE", TAG_ANALOG},   {"GSTATE", TAG_LONG},
};

// Position + 1 of each data source in the configuration: its remote key's index.
enum SourceKey : uint16_t { HOLD = 1, INREG, COILS, DISC, BIG, MANY, MISSING, GHOST };

std::string config_text(int port) {
  std::string p = std::to_string(port);
  return "[modbus]\ntask = \"MB\"\nmailbox = \"MB_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n"
         "station = 1\nquantrel_station = 0\n"
         "[[device]]\nname = \"plc\"\nhost = \"127.0.0.1\"\nport = " +
         p +
         "\nunit_id = 17\n"
         "response_timeout_ms = 1000\nretry_min_ms = 100\nretry_max_ms = 400\n"
         "[[device]]\nname = \"ghost\"\nhost = \"127.0.0.1\"\nport = " +
         p +
         "\nunit_id = 99\n"
         "response_timeout_ms = 200\ntimeouts_before_reconnect = 2\n"
         "[[source]]\nname = \"HOLD\"\ndevice = \"plc\"\ntable = \"holding_registers\"\n"
         "start = 0\ncount = 30\nstate_tag = \"STATE\"\n"
         "[[source]]\nname = \"INREG\"\ndevice = \"plc\"\ntable = \"input_registers\"\n"
         "start = 100\ncount = 4\n"
         "[[source]]\nname = \"COILS\"\ndevice = \"plc\"\ntable = \"coils\"\ncount = 16\n"
         "[[source]]\nname = \"DISC\"\ndevice = \"plc\"\ntable = \"discrete_inputs\"\n"
         "start = 10\ncount = 8\n"
         "[[source]]\nname = \"BIG\"\ndevice = \"plc\"\ntable = \"holding_registers\"\n"
         "start = 0\ncount = 300\n"
         "[[source]]\nname = \"MANY\"\ndevice = \"plc\"\ntable = \"coils\"\n"
         "start = 100\ncount = 2100\n"
         "[[source]]\nname = \"MISSING\"\ndevice = \"plc\"\ntable = \"holding_registers\"\n"
         "start = 300\ncount = 4\n"
         "[[source]]\nname = \"GHOST\"\ndevice = \"ghost\"\ntable = \"holding_registers\"\n"
         "count = 2\nstate_tag = \"GSTATE\"\n";
}

uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

struct Reply {
  bool none = false;  // nothing came in time
  MbxMessage desc = {};
  std::vector<uint8_t> data;
  uint16_t kind() const { return desc.control & 0x0F; }
  MbHeader header() const { return mb_header_read(data.data(), false); }
  uint16_t code() const { return data.size() >= 10 ? get16(&data[8]) : 0xFFFF; }
  uint16_t word(size_t i) const { return get16(&data[8 + 2 * i]); }
  uint16_t big_endian_register(size_t i) const {
    return static_cast<uint16_t>((data[8 + 2 * i] << 8) | data[9 + 2 * i]);
  }
};

class ModbusProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    python_ = python_with_pymodbus();
    if (python_.empty()) GTEST_SKIP() << "python3-pymodbus is not installed";
    port_ = free_port();
    ASSERT_GT(port_, 0);
    ASSERT_TRUE(server_.start(python_, port_, 0)) << "the pymodbus server did not start";
    char pattern[] = "/tmp/zqmb.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    app_ = pattern;
    std::vector<ObjectRecord> records;
    for (const TagSpec& t : kTags) {
      ObjectRecord r = {};
      snprintf(r.name, sizeof r.name, "%s", t.name);
      r.tag_type = t.type;
      r.elements = 1;
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
    provider_id_ = zq_init("MB", "zq modbus", "", "", "");
    ASSERT_GE(client_, 0);
    ASSERT_GE(provider_id_, 0);
    MbConfig config;
    std::vector<std::string> errors;
    ASSERT_TRUE(mb_config_parse(config_text(port_), (app_ / "mb.toml").string(), &config, &errors))
        << errors[0];
    config.app_dir = app_.string();
    std::string error;
    provider_ = mb_provider_create(
        config, provider_id_, sim_object_table_resolver(app_.string()),
        [this](const std::string& line) {
          std::lock_guard<std::mutex> lock(lines_mutex_);
          lines_.push_back(line);
        },
        false, &error);
    ASSERT_NE(provider_, nullptr) << error;
    runner_ = std::thread([this] { run_result_ = mb_provider_run(provider_, &run_error_); });
  }

  void TearDown() override {
    if (provider_) {
      mb_provider_interrupt(provider_);
      runner_.join();
      EXPECT_EQ(run_result_, MB_RUN_STOPPED) << run_error_;
      int16_t state = -1;
      TagRef t = tags_.at("STATE");
      zq_read(client_, &t, 1, &state);
      EXPECT_EQ(state, MB_STATE_STOPPED);
      mb_provider_destroy(provider_);
    }
    if (db_) {
      zq_exit(provider_id_);
      zq_exit(client_);
      zq_db_destroy(db_);
      zq_db_use(nullptr);
    }
    server_.stop();
    std::error_code ec;
    if (!app_.empty()) std::filesystem::remove_all(app_, ec);
  }

  TagRef key(uint16_t index) const { return TagRef{kRemoteKeyType, index}; }

  // Sends a request of `kind` about `k` into the provider's mailbox.
  void send(uint16_t kind, TagRef k, MbHeader h, const std::vector<uint8_t>& payload = {}) {
    std::vector<uint8_t> data(MB_HEADER_SIZE);
    mb_header_write(data.data(), h);
    data.insert(data.end(), payload.begin(), payload.end());
    MbxMessage m = {};
    m.data = data.data();
    m.capacity = m.length = static_cast<uint16_t>(data.size());
    m.control = kind;  // station 0
    m.key = k;
    ASSERT_EQ(zq_write_mbx(client_, client_, tags_.at("MB_MBX"), &m), 0);
  }

  // The next answer in QUANTREL's mailbox.
  Reply next(std::chrono::milliseconds limit = 5000ms) {
    Reply r;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int count = 0;
      zq_count_mbx(client_, tags_.at("QTL_MBX"), &count);
      if (count > 0) {
        r.data.assign(8192, 0);
        r.desc.data = r.data.data();
        r.desc.capacity = static_cast<uint16_t>(r.data.size());
        EXPECT_EQ(zq_read_mbx(client_, client_, tags_.at("QTL_MBX"), &r.desc, 0), 0);
        r.data.resize(r.desc.length);
        return r;
      }
      std::this_thread::sleep_for(1ms);
    }
    r.none = true;
    return r;
  }

  Reply query(const std::string& name) {
    std::vector<uint8_t> text(name.begin(), name.end());
    send(SIM_KIND_QUERY, tags_.at(name == "NOPE" ? "HOLD" : name),
         MbHeader{3, static_cast<uint16_t>(name.size()), 0, 0}, text);
    return next();
  }
  Reply read(uint16_t source, uint16_t start = 0, uint16_t count = 0) {
    send(SIM_KIND_READ, key(source), MbHeader{3, count, start, 0});
    return next();
  }
  Reply write(uint16_t source, MbHeader h, const std::vector<uint8_t>& payload) {
    send(SIM_KIND_WRITE, key(source), h, payload);
    return next();
  }
  int16_t state(const char* tag) {
    int32_t v32 = 0;
    int16_t v16 = 0;
    TagRef t = tags_.at(tag);
    uint16_t type = 0;
    zq_tag_info(&t, 1, &type, nullptr);
    if (type == TAG_LONG) {
      zq_read(client_, &t, 1, &v32);
      return static_cast<int16_t>(v32);
    }
    zq_read(client_, &t, 1, &v16);
    return v16;
  }
  // Lines that contain `part` (and `also`, when given).
  int lines_with(const std::string& part, const std::string& also = "") {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    int n = 0;
    for (const std::string& l : lines_) {
      n += l.find(part) != std::string::npos && l.find(also) != std::string::npos;
    }
    return n;
  }
  std::string all_lines() {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    std::string all;
    for (const std::string& l : lines_) all += l + "\n";
    return all;
  }
  // Waits until the state tag holds `value`.
  bool wait_state(const char* tag, int16_t value, std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (state(tag) == value) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  std::string python_;
  int port_ = -1;
  Server server_;
  std::filesystem::path app_;
  std::map<std::string, TagRef> tags_;
  ZqDb* db_ = nullptr;
  int client_ = -1;
  int provider_id_ = -1;
  MbProvider* provider_ = nullptr;
  std::thread runner_;
  int run_result_ = -1;
  std::string run_error_;
  std::mutex lines_mutex_;
  std::vector<std::string> lines_;
};

TEST_F(ModbusProvider, QueriesAreAnsweredWithTheGeometryUnderTheProvidersKey) {
  Reply r = query("HOLD");
  ASSERT_EQ(r.kind(), SIM_KIND_QUERY_REPLY);
  EXPECT_EQ(r.desc.control >> 8, 1);  // the provider's station
  EXPECT_TRUE(tag_ref_equal(r.desc.key, key(HOLD)));
  EXPECT_EQ(r.header().flags, 0x2303);  // registers: unit 2, byte_swap, low bit first
  EXPECT_EQ(r.header().start, 0);
  EXPECT_EQ(r.header().count, 30);
  EXPECT_EQ(std::string(r.data.begin() + 8, r.data.end()), "HOLD");
  r = query("DISC");
  ASSERT_EQ(r.kind(), SIM_KIND_QUERY_REPLY);
  EXPECT_EQ(r.header().flags, 0x0203);  // bits: unit 0, low bit first
  EXPECT_EQ(r.header().start, 10);
  EXPECT_EQ(r.header().count, 8);
  r = query("NOPE");
  EXPECT_EQ(r.kind(), SIM_KIND_QUERY_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_NO_SOURCE);
  EXPECT_TRUE(wait_state("STATE", MB_STATE_CONNECTED)) << all_lines();
}

TEST_F(ModbusProvider, ReadDataHoldsTheDeviceRegistersBigEndianAndItsBitsPacked) {
  Reply r = read(HOLD);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA) << r.code();
  EXPECT_TRUE(tag_ref_equal(r.desc.key, key(HOLD)));
  EXPECT_EQ(r.header().flags, 0x2303);
  EXPECT_EQ(r.header().count, 30);
  ASSERT_EQ(r.data.size(), 8u + 60u);
  const uint16_t expected[] = {1234, 0xFFFF, 0xE240, 0x0001, 0xFFFE, 0x7960, 0x449A, 0x5000, 5};
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(r.big_endian_register(i), expected[i]) << i;
  EXPECT_EQ(r.data[8 + 20], 'A');
  EXPECT_EQ(r.data[8 + 26], 'G');
  r = read(HOLD, 26, 1);  // part of the block
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.header().start, 26);
  EXPECT_EQ(r.big_endian_register(0), 0x0101);

  r = read(INREG);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.header().start, 100);
  EXPECT_EQ(r.big_endian_register(0), 7);
  EXPECT_EQ(r.big_endian_register(1), 0xFFF6);
  EXPECT_EQ(r.big_endian_register(2), 0x3F00);

  r = read(COILS);  // 0, 3 and 9 on
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.header().flags, 0x0203);
  ASSERT_EQ(r.data.size(), 8u + 3u);  // 16 / 8 + 1
  EXPECT_EQ(r.data[8], 0x09);
  EXPECT_EQ(r.data[9], 0x02);
  r = read(DISC);  // 10, 12 and 17 on, from address 10
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.data[8], 0x85);
}

TEST_F(ModbusProvider, BlocksBeyondOneModbusRequestAreReadInPieces) {
  uint64_t before = mb_provider_counters(provider_).modbus_requests;
  Reply r = read(BIG);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA) << r.code();
  ASSERT_EQ(r.data.size(), 8u + 600u);
  for (uint16_t i = 100; i < 300; ++i) ASSERT_EQ(r.big_endian_register(i), i) << i;
  EXPECT_EQ(mb_provider_counters(provider_).modbus_requests - before, 3u);  // 125 + 125 + 50
  before = mb_provider_counters(provider_).modbus_requests;
  r = read(MANY);  // coils 100..2199: every 7th on
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA) << r.code();
  ASSERT_EQ(r.data.size(), 8u + 2100u / 8 + 1);
  for (uint32_t i = 0; i < 2100; ++i) {
    bool on = (r.data[8 + i / 8] >> (i % 8)) & 1;
    ASSERT_EQ(on, i % 7 == 0) << "coil " << 100 + i;
  }
  EXPECT_EQ(mb_provider_counters(provider_).modbus_requests - before, 2u);  // 2000 + 100
}

TEST_F(ModbusProvider, DeviceExceptionsAndRefusalsBecomeErrorRepliesWithTheirCodes) {
  Reply r = read(MISSING);  // the server has no register 300
  ASSERT_EQ(r.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_EXCEPTION + 2);
  EXPECT_TRUE(tag_ref_equal(r.desc.key, key(MISSING)));
  EXPECT_EQ(r.data.size(), 12u);
  r = read(HOLD, 25, 10);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_RANGE);
  r = write(INREG, MbHeader{0x2303, 1, 100, MB_TT_WHOLE_UNITS}, {0, 1});
  ASSERT_EQ(r.kind(), SIM_KIND_WRITE_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_NOT_WRITABLE);
  send(SIM_KIND_READ, TagRef{kRemoteKeyType, 77}, MbHeader{3, 0, 0, 0});
  r = next();
  ASSERT_EQ(r.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_NO_SOURCE);
  send(SIM_KIND_WRITE, key(HOLD), MbHeader{0x2303, 4, 20, MB_TT_WHOLE_UNITS}, {1, 2, 3});
  r = next();
  ASSERT_EQ(r.kind(), SIM_KIND_WRITE_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_MALFORMED);
  // Answers are not requests: dropped without a reply.
  send(SIM_KIND_READ_DATA, key(HOLD), MbHeader{3, 0, 0, 0});
  EXPECT_TRUE(next(300ms).none);
  EXPECT_EQ(mb_provider_counters(provider_).dropped, 1u);
}

TEST_F(ModbusProvider, WritesLandInTheDeviceAndAreAcknowledged) {
  // Registers 20..21 in block form (big-endian).
  Reply r = write(HOLD, MbHeader{0x2303, 2, 20, MB_TT_WHOLE_UNITS}, {0x10, 0xE1, 0xFF, 0xFE});
  ASSERT_EQ(r.kind(), SIM_KIND_WRITE_ACK) << r.code();
  EXPECT_EQ(r.header().start, 20);
  EXPECT_EQ(r.header().count, 2);
  EXPECT_EQ(r.data.size(), 8u);
  // Bit 3 of register 26 (typed), its high byte (typed): the rest stays.
  r = write(HOLD, MbHeader{0x2203, 1, 26, MB_TT_BIT + 3}, {1, 0});
  ASSERT_EQ(r.kind(), SIM_KIND_WRITE_ACK) << r.code();
  r = write(HOLD, MbHeader{0x2203, 1, 27, 0x408}, {0xCD, 0});
  ASSERT_EQ(r.kind(), SIM_KIND_WRITE_ACK) << r.code();
  // Coils 4..6: on, off, on.
  r = write(COILS, MbHeader{0x0203, 3, 4, MB_TT_WHOLE_UNITS}, {0x05});
  ASSERT_EQ(r.kind(), SIM_KIND_WRITE_ACK) << r.code();
  r = write(COILS, MbHeader{0x0203, 1, 9, MB_TT_WHOLE_UNITS}, {0x00});  // coil 9 off
  ASSERT_EQ(r.kind(), SIM_KIND_WRITE_ACK) << r.code();

  r = read(HOLD);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.big_endian_register(20), 0x10E1);
  EXPECT_EQ(r.big_endian_register(21), 0xFFFE);
  EXPECT_EQ(r.big_endian_register(26), 0x0109);
  EXPECT_EQ(r.big_endian_register(27), 0xCD00);
  EXPECT_EQ(r.big_endian_register(25), 0);
  r = read(COILS);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.data[8], 0x59);  // 0, 3, 4, 6
  EXPECT_EQ(r.data[9], 0x00);  // 9 off
}

TEST_F(ModbusProvider, BackToBackReadsAreReadAheadButNotAcrossAWriteOrWhenOld) {
  MbCounters before = mb_provider_counters(provider_);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(read(HOLD).kind(), SIM_KIND_READ_DATA);
  MbCounters after = mb_provider_counters(provider_);
  EXPECT_GE(after.read_ahead_used - before.read_ahead_used, 3u);
  // One Modbus read per request, and the one read ahead now.
  EXPECT_LE(after.modbus_requests - before.modbus_requests, 7u);

  // A write goes to the device after the read ahead started: not used.
  ASSERT_EQ(write(HOLD, MbHeader{0x2303, 1, 20, MB_TT_WHOLE_UNITS}, {0x11, 0x11}).kind(),
            SIM_KIND_WRITE_ACK);
  Reply r = read(HOLD);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.big_endian_register(20), 0x1111);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read(HOLD).kind(), SIM_KIND_READ_DATA);

  // Another client changes the device; a read ahead older than the window is
  // not used either.
  std::this_thread::sleep_for(60ms);
  modbus_t* other = modbus_new_tcp("127.0.0.1", port_);
  ASSERT_NE(other, nullptr);
  modbus_set_slave(other, kUnit);
  ASSERT_EQ(modbus_connect(other), 0);
  EXPECT_EQ(modbus_write_register(other, 21, 0x2222), 1);
  modbus_close(other);
  modbus_free(other);
  uint64_t used = mb_provider_counters(provider_).read_ahead_used;
  r = read(HOLD);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.big_endian_register(21), 0x2222);
  EXPECT_EQ(mb_provider_counters(provider_).read_ahead_used, used);
}

TEST_F(ModbusProvider, AStoppedServerGivesConnectionErrorsAndItsReturnResumesReads) {
  ASSERT_EQ(read(HOLD).kind(), SIM_KIND_READ_DATA);
  ASSERT_TRUE(wait_state("STATE", MB_STATE_CONNECTED));
  server_.stop();
  Reply r = read(HOLD);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_CONNECTION_LOST);
  EXPECT_EQ(state("STATE"), MB_STATE_NOT_CONNECTED);
  // Further requests wait for the next connection attempt, then fail.
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    r = read(HOLD);
    ASSERT_EQ(r.kind(), SIM_KIND_READ_ERROR);
    EXPECT_EQ(r.code(), MB_ERR_NOT_CONNECTED);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms);  // paced by the back-off
  // A query needs no device.
  EXPECT_EQ(query("HOLD").kind(), SIM_KIND_QUERY_REPLY);
  // The state change was reported once, not once per request.
  EXPECT_EQ(lines_with("connection lost"), 1) << all_lines();
  EXPECT_EQ(lines_with("device plc ", ": connected"), 1) << all_lines();

  ASSERT_TRUE(server_.start(python_, port_, 1));
  Reply ok;
  for (int i = 0; i < 50 && ok.kind() != SIM_KIND_READ_DATA; ++i) ok = read(HOLD);
  ASSERT_EQ(ok.kind(), SIM_KIND_READ_DATA) << ok.code();
  EXPECT_EQ(ok.big_endian_register(0), 1235);  // the restarted server's contents
  EXPECT_EQ(state("STATE"), MB_STATE_CONNECTED);
  EXPECT_EQ(lines_with("device plc ", ": connected"), 2) << all_lines();
}

TEST_F(ModbusProvider, ADeviceThatDoesNotAnswerTimesOutAndIsReconnected) {
  // pymodbus does not answer a unit id it does not serve.
  Reply r = read(GHOST);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_TIMEOUT);
  EXPECT_EQ(state("GSTATE"), MB_STATE_CONNECTED);
  r = read(GHOST);
  ASSERT_EQ(r.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(r.code(), MB_ERR_TIMEOUT);
  EXPECT_TRUE(wait_state("GSTATE", MB_STATE_NOT_CONNECTED)) << all_lines();
  EXPECT_EQ(lines_with("no answer to 2 requests in a row"), 1) << all_lines();
  // The other device of the same provider is not held up meanwhile.
  auto t0 = std::chrono::steady_clock::now();
  send(SIM_KIND_READ, key(GHOST), MbHeader{3, 0, 0, 0});
  r = read(HOLD);
  EXPECT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 150ms);
  r = next();
  EXPECT_EQ(r.kind(), SIM_KIND_READ_ERROR);
  EXPECT_TRUE(tag_ref_equal(r.desc.key, key(GHOST)));
}

}  // namespace
