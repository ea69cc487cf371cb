// zq sim as a process on a shared-memory database: a client task standing in
// for QUANTREL queries and reads through the mailboxes, forces the
// data-source tag, and stops the simulator with a termination request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/object_table.h"
#include "kernel/zqkernel.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto POLL_PAUSE = std::chrono::milliseconds(5);
constexpr auto LIMIT = std::chrono::seconds(20);
constexpr int NOT_EXITED = -1000;

struct Spec {
  const char* name;
  uint16_t type;
};
constexpr Spec kTags[] = {{"QTL_MBX", TAG_MAILBOX},
                          {"PLC_MBX", TAG_MAILBOX},
                          {"WORDS", TAG_DIGITAL},
                          {"W_STATE", TAG_ANALOG}};

const char* const kConfig = R"([sim]
task = "PLC1"
mailbox = "PLC_MBX"
quantrel_mailbox = "QTL_MBX"
app = "."

[[source]]
name = "WORDS"
start = 100
count = 3
unit_size = 2
byte_swap = true
state_tag = "W_STATE"
stop_state_value = 0x111
[[source.init]]
at = 100
values = [0x0102, 0x0304, 0x0506]
)";

class SimProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    name_ = "simp" + std::to_string(getpid());
    domain_ = "sys";
    user_ = "u" + std::to_string(++serial) + "_" + std::to_string(time(nullptr) % 100000);
    char dir[] = "/tmp/zqsim-sys-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    app_ = dir;
    std::vector<ObjectRecord> records;
    for (const Spec& t : kTags) {
      ObjectRecord r = {};
      snprintf(r.name, sizeof r.name, "%s", t.name);
      r.tag_type = t.type;
      r.elements = 1;
      records.push_back(r);
    }
    ASSERT_EQ(object_assign_refs(&records), 0);
    for (const ObjectRecord& r : records) tags_[r.name] = r.tag;
    fs::create_directories(app_ / "ct");
    ASSERT_EQ(object_table_write((app_ / "ct" / "object.ct").c_str(), records), 0);
    std::vector<ZqTagDecl> decls;
    ASSERT_EQ(object_kernel_declarations(records, &decls), 0);
    char shm[128];
    ASSERT_EQ(zq_db_shm_name(name_.c_str(), domain_.c_str(), user_.c_str(), shm, sizeof shm), 0);
    ASSERT_EQ(zq_db_create(shm, decls.data(), static_cast<uint32_t>(decls.size()), nullptr, nullptr,
                           &db_),
              0);
    zq_db_use(db_);
    client_ = zq_init("QUANTREL", "system test", name_.c_str(), domain_.c_str(), user_.c_str());
    ASSERT_GE(client_, 0);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    zq_exit(client_);
    zq_db_destroy(db_);
    zq_db_use(nullptr);
    fs::remove_all(app_);
  }

  void write_config(const std::string& text) { std::ofstream(app_ / "sim.toml") << text; }

  // Starts zq sim with the environment zq run gives its tasks; output to files.
  void spawn(const std::vector<std::string>& args) {
    std::vector<std::string> env_text = {"ZQNAME=" + name_, "ZQDOMAIN=" + domain_,
                                         "ZQUSER=" + user_, "ZQAPP=" + app_.string(),
                                         "PATH=/usr/bin:/bin"};
    std::vector<char*> env;
    for (std::string& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    std::vector<std::string> argv_text = {ZQ_PATH, "sim"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (app_ / "out.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (app_ / "err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(posix_spawn(&pid_, ZQ_PATH, &actions, nullptr, argv.data(), env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Exit status of the process, NOT_EXITED when it did not end in time.
  int wait_exit() {
    auto until = std::chrono::steady_clock::now() + LIMIT;
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      }
      std::this_thread::sleep_for(POLL_PAUSE);
    }
    return NOT_EXITED;
  }

  std::string file(const char* name) {
    std::ifstream in(app_ / name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  void send(uint16_t kind, const Bytes& data) {
    MbxMessage m = {};
    Bytes copy = data;
    m.data = copy.data();
    m.length = static_cast<uint16_t>(copy.size());
    m.capacity = m.length;
    m.reserved1 = m.reserved2 = 0xFFFF;
    m.control = kind;
    m.key = tags_["WORDS"];
    ASSERT_EQ(zq_write_mbx(client_, client_, tags_["PLC_MBX"], &m), 0);
  }

  // Waits for the next answer in QUANTREL's mailbox.
  bool receive(MbxMessage* desc, Bytes* data) {
    auto until = std::chrono::steady_clock::now() + LIMIT;
    while (std::chrono::steady_clock::now() < until) {
      int n = 0;
      if (zq_count_mbx(client_, tags_["QTL_MBX"], &n) != 0) return false;
      if (n > 0) {
        data->assign(4200, 0);
        *desc = MbxMessage{};
        desc->data = data->data();
        desc->capacity = static_cast<uint16_t>(data->size());
        if (zq_read_mbx(client_, client_, tags_["QTL_MBX"], desc, 0) != 0) return false;
        data->resize(desc->length);
        return true;
      }
      std::this_thread::sleep_for(POLL_PAUSE);
    }
    return false;
  }

  int16_t state() {
    int16_t v = -1;
    zq_read(client_, &tags_["W_STATE"], 1, &v);
    return v;
  }

  std::string name_, domain_, user_;
  fs::path app_;
  std::map<std::string, TagRef> tags_;
  ZqDb* db_ = nullptr;
  int16_t client_ = -1;
  pid_t pid_ = -1;
};

TEST_F(SimProcess, AnswersAQueryAReadAndAForcedReadThenStopsOnRequest) {
  write_config(kConfig);
  spawn({"--config", (app_ / "sim.toml").string(), "--trace"});

  // The query may be sent before the simulator is up: it waits in the mailbox.
  send(0, Bytes{3, 0, 5, 0, 0, 0, 0, 0, 'W', 'O', 'R', 'D', 'S'});
  MbxMessage d;
  Bytes data;
  ASSERT_TRUE(receive(&d, &data)) << file("err.txt");
  EXPECT_EQ(d.control, 1);
  EXPECT_TRUE(tag_ref_equal(d.key, tags_["WORDS"]));
  EXPECT_EQ(data, (Bytes{0x03, 0x21, 3, 0, 100, 0, 0, 0, 'W', 'O', 'R', 'D', 'S'}));

  send(2, Bytes{0x03, 0x21, 2, 0, 101, 0, 0, 0});
  ASSERT_TRUE(receive(&d, &data));
  EXPECT_EQ(d.control, 3);
  EXPECT_EQ(data, (Bytes{0x03, 0x21, 2, 0, 101, 0, 0, 0, 0x03, 0x04, 0x05, 0x06}));

  // On its own station QUANTREL forces the data-source tag instead.
  int16_t one = 1;
  ASSERT_EQ(zq_f_write(client_, &tags_["WORDS"], 1, &one), 0);
  ASSERT_TRUE(receive(&d, &data));
  EXPECT_EQ(d.control, 3);
  EXPECT_EQ(data.size(), 8u + 6u);
  EXPECT_EQ(state(), 0x311);

  ASSERT_EQ(zq_task_request_term(db_, "PLC1"), 0);
  EXPECT_EQ(wait_exit(), 0) << file("err.txt");
  EXPECT_EQ(state(), 0x111) << "the stop value";
  std::string out = file("out.txt");
  EXPECT_NE(out.find("PLC1 < query key="), std::string::npos) << out;
  EXPECT_NE(out.find("PLC1 > read data WORDS"), std::string::npos) << out;
  EXPECT_NE(out.find("PLC1 stopped: 2 received, 3 answered"), std::string::npos) << out;
}

TEST_F(SimProcess, ABadConfigurationEndsWithStatusTwoAndSaysWhy) {
  write_config("[sim]\nmailbox = \"PLC_MBX\"\n");
  spawn({"--config", "sim.toml"});  // found under $ZQAPP
  EXPECT_EQ(wait_exit(), 2);
  EXPECT_NE(file("err.txt").find("needs 'quantrel_mailbox'"), std::string::npos) << file("err.txt");

  std::string text = kConfig;
  text.replace(text.find("name = \"WORDS\""), 14, "name = \"NOPE\"");
  write_config(text);
  spawn({"--config", (app_ / "sim.toml").string()});
  EXPECT_EQ(wait_exit(), 2);
  EXPECT_NE(file("err.txt").find("'NOPE' is not a tag"), std::string::npos) << file("err.txt");

  spawn({"--config"});
  EXPECT_EQ(wait_exit(), 2) << "a bad command line";
}

}  // namespace
