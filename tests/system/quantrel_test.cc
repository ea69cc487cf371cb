// The quantrel program as a process: started on a shared-memory database the
// way the run-time manager starts it, watched through its status and message
// tags, stopped through a termination request.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/ct_writer.h"
#include "kernel/zqkernel.h"
#include "runtime/catalogue.h"

namespace fs = std::filesystem;

namespace {

constexpr uint16_t MESSAGE_CAPACITY = 160;
constexpr auto POLL_PAUSE = std::chrono::milliseconds(1);
constexpr auto START_LIMIT = std::chrono::seconds(20);
constexpr int NOT_EXITED = -1000;

// One observed change of the status or the message tag.
struct Event {
  bool is_status;
  int32_t status;
  std::string text;
};

class QuantrelProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    name_ = "qs" + std::to_string(getpid());
    domain_ = "sys";
    user_ = "u" + std::to_string(++serial) + "_" + std::to_string(time(nullptr) % 100000);
    char shm[128];
    ASSERT_EQ(zq_db_shm_name(name_.c_str(), domain_.c_str(), user_.c_str(), shm, sizeof shm), 0);
    const ZqTagDecl decls[] = {
        {TAG_LONG, 1, 0}, {TAG_MESSAGE, 1, MESSAGE_CAPACITY}, {TAG_MAILBOX, 1, 0}};
    TagRef first[3];
    ASSERT_EQ(zq_db_create(shm, decls, 3, nullptr, first, &db_), 0);
    status_tag_ = first[0];
    message_tag_ = first[1];
    mailbox_tag_ = first[2];
    zq_db_use(db_);
    watcher_ = zq_init("WATCHER", "system test", name_.c_str(), domain_.c_str(), user_.c_str());
    ASSERT_GE(watcher_, 0);

    char dir[] = "/tmp/quantrel-sys-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    work_ = dir;
    root_ = std::string(ZQ_SOURCE_DIR) + "/root";
    WriteEmptyConfiguration();
  }

  // The smallest configuration the task accepts: its own mailbox, one
  // data-source table and one conversion table, both without records.
  void WriteEmptyConfiguration() {
    fs::create_directories(work_ + "/" + domain_ + "/ct");
    CtTable task;
    task.name = "TASK";
    task.header = {static_cast<uint8_t>(mailbox_tag_.type), 0,
                   static_cast<uint8_t>(mailbox_tag_.index), 0};
    CtTable sources;
    sources.type = 1;
    sources.name = "PROV";
    sources.header.assign(8, 0);
    sources.record_size = 116;
    CtTable conversions;
    conversions.type = 2;
    conversions.name = "CONV";
    conversions.header.assign(8, 0);
    conversions.record_size = 80;
    const std::string file = work_ + "/" + domain_ + "/ct/quantrel.ct";
    ASSERT_EQ(ct_write_file(file.c_str(), {task, sources, conversions}), 0);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (watcher_ >= 0) zq_exit(watcher_);
    if (db_) zq_db_destroy(db_);
    std::error_code ec;
    fs::remove_all(work_, ec);
  }

  void Configure(const char* arguments) {
    ZqTaskSetup setup = {};
    setup.arguments = arguments;
    setup.app_dir = work_.c_str();
    setup.bin_dir = "/usr/local/bin";
    setup.status_tag = status_tag_;
    setup.message_tag = message_tag_;
    ASSERT_EQ(zq_task_configure(db_, "QUANTREL", &setup), 0);
  }

  // Starts quantrel with the ZQ variables of the database; console to a file.
  void Start(const std::string& zq_root, const std::string& zq_name) {
    std::vector<std::string> env = {"ZQNAME=" + zq_name, "ZQDOMAIN=" + domain_, "ZQUSER=" + user_,
                                    "ZQROOT=" + zq_root, "ZQAPP=" + work_,      "TZ=UTC0"};
    for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (getenv(keep)) env.push_back(std::string(keep) + "=" + getenv(keep));
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = QUANTREL_PATH;
    char* argv[] = {program.data(), nullptr};
    console_ = work_ + "/console.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, console_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Collects tag changes until `done` holds for the newest event or the
  // time runs out. Returns whether `done` was reached.
  bool WatchUntil(const std::function<bool(const Event&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + START_LIMIT;
    // The message first: a report writes it before the status.
    const TagRef tags[] = {message_tag_, status_tag_};
    while (std::chrono::steady_clock::now() < deadline) {
      char text[MESSAGE_CAPACITY + 1];
      ChangeRecord record;
      change_record_prepare(&record, text, sizeof text);
      uint32_t index = 0;
      if (zq_get_chg(watcher_, tags, 2, &index, &record) != 0) {
        if (Exited() != NOT_EXITED && !done(Event{true, -1, ""})) return false;
        std::this_thread::sleep_for(POLL_PAUSE);
        continue;
      }
      const MessageValue message = change_record_message(record);
      Event e = index == 1 ? Event{true, change_record_int32(record), ""}
                           : Event{false, 0, std::string(message.text, message.length)};
      events_.push_back(e);
      if (done(e)) return true;
    }
    return false;
  }

  // Exit status of the child, NOT_EXITED while it runs; reaps it once.
  int Exited() {
    if (exit_code_ != NOT_EXITED) return exit_code_;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return NOT_EXITED;
    pid_ = -1;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
  }

  int WaitForExit() {
    const auto deadline = std::chrono::steady_clock::now() + START_LIMIT;
    while (Exited() == NOT_EXITED && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(POLL_PAUSE);
    }
    return Exited();
  }

  int32_t StatusNow() {
    int32_t v = -1;
    EXPECT_EQ(zq_read(watcher_, &status_tag_, 1, &v), 0);
    return v;
  }

  std::string MessageNow() {
    char text[MESSAGE_CAPACITY + 1] = {};
    MessageValue value = {text, sizeof text, 0};
    unsigned char block[ZQ_VALUE_SLOT_MAX];
    memcpy(block, &value, sizeof value);
    EXPECT_EQ(zq_read(watcher_, &message_tag_, 1, block), 0);
    return text;
  }

  // The catalogue text of a key under an installation root.
  static std::string CatalogueText(const std::string& zq_root, const char* key) {
    setenv("ZQROOT", zq_root.c_str(), 1);
    catalogue_init("QUANTREL");
    std::string text = catalogue_lookup(key);
    catalogue_clear();
    return text;
  }

  // Position of the first event after `from` that matches, or -1.
  int Find(size_t from, bool is_status, int32_t status, const std::string& text) const {
    for (size_t i = from; i < events_.size(); ++i) {
      const Event& e = events_[i];
      if (e.is_status != is_status) continue;
      if (is_status ? e.status == status : e.text == text) return static_cast<int>(i);
    }
    return -1;
  }

  std::string Console() const {
    std::ifstream in(console_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  ZqDb* db_ = nullptr;
  int16_t watcher_ = -1;
  TagRef status_tag_{}, message_tag_{}, mailbox_tag_{};
  std::string name_, domain_, user_, work_, root_, console_;
  pid_t pid_ = -1;
  int exit_code_ = NOT_EXITED;
  std::vector<Event> events_;
};

TEST_F(QuantrelProcess, StartsRunsAndStopsOnTerminationRequest) {
  const std::string start_text = CatalogueText(root_, "START");
  const std::string run_text = CatalogueText(root_, "RUN");
  const std::string stop_text = CatalogueText(root_, "STOP");
  ASSERT_NE(start_text, "START");  // the installation catalogue is there

  Configure("-d1");
  Start(root_, name_);
  ASSERT_TRUE(WatchUntil([](const Event& e) { return e.is_status && e.status == 1; }))
      << "exit " << Exited() << "\n"
      << Console();

  for (const Event& e : events_)
    fprintf(stderr, "event %d %d '%s'\n", e.is_status, e.status, e.text.c_str());
  const int start_msg = Find(0, false, 0, start_text);
  ASSERT_GE(start_msg, 0);
  const int start_status = Find(start_msg, true, 3, "");
  ASSERT_GT(start_status, start_msg);
  const int run_msg = Find(start_status, false, 0, run_text);
  ASSERT_GT(run_msg, start_status);
  EXPECT_GT(Find(run_msg, true, 1, ""), run_msg);
  EXPECT_EQ(Exited(), NOT_EXITED);

  ASSERT_EQ(zq_task_request_term(db_, "QUANTREL"), 0);
  EXPECT_EQ(WaitForExit(), 0);
  EXPECT_EQ(StatusNow(), 0);
  EXPECT_EQ(MessageNow(), stop_text);

  const std::string console = Console();
  EXPECT_NE(console.find("START of QUANTREL: Quantrel Version 2.1"), std::string::npos) << console;
  EXPECT_NE(console.find(start_text), std::string::npos) << console;
  EXPECT_NE(console.find(stop_text), std::string::npos) << console;
}

TEST_F(QuantrelProcess, BrokenTimeLayoutEndsStartUpWithTimerConv) {
  const std::string root_copy = work_ + "/root";
  fs::copy(root_, root_copy, fs::copy_options::recursive);
  int replaced = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root_copy)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".txt") continue;
    std::ifstream in(entry.path());
    std::string line, out;
    while (std::getline(in, line)) {
      if (line.rfind("TIM3", 0) == 0 && (line.size() == 4 || line[4] == ' ' || line[4] == '|')) {
        line = "TIM3 | \"BCD SC MI HR DY MO CENTURY\"";
        ++replaced;
      }
      out += line + "\n";
    }
    in.close();
    std::ofstream(entry.path()) << out;
  }
  ASSERT_GT(replaced, 0);
  const std::string timer_text = CatalogueText(root_copy, "TIMER_CONV");
  ASSERT_NE(timer_text, "TIMER_CONV");

  Configure("");
  Start(root_copy, name_);
  ASSERT_TRUE(WatchUntil([](const Event& e) { return e.is_status && e.status == 0; }))
      << "exit " << Exited() << "\n"
      << Console();
  const int start_status = Find(0, true, 3, "");
  ASSERT_GE(start_status, 0);
  const int timer_msg = Find(start_status, false, 0, timer_text);
  ASSERT_GT(timer_msg, start_status);
  EXPECT_GT(Find(timer_msg, true, 0, ""), timer_msg);
  EXPECT_EQ(Find(0, true, 1, ""), -1);  // never running

  EXPECT_EQ(WaitForExit(), 1);
  EXPECT_EQ(MessageNow(), timer_text);  // the error stays for the operator
  EXPECT_EQ(StatusNow(), 0);
}

TEST_F(QuantrelProcess, NoDatabaseEndsAtOnceWithStatusOne) {
  Configure("");
  Start(root_, name_ + "x");  // names a database that does not exist
  EXPECT_EQ(WaitForExit(), 1);
  EXPECT_EQ(MessageNow(), "");
  EXPECT_EQ(StatusNow(), 0);
}

}  // namespace

// A configuration the task cannot use ends start-up with its key, status 0
// and exit 1, and never reaches RUN.
TEST_F(QuantrelProcess, BadConfigurationEndsStartUpWithItsKey) {
  struct Case {
    const char* key;
    std::function<void(const std::string& file)> damage;
  };
  const Case cases[] = {
      {"NOCT", [](const std::string& file) { fs::remove(file); }},
      {"NOTRIGGERS",
       [](const std::string& file) {
         CtTable task;
         task.name = "TASK";
         task.header.assign(4, 0);
         CtTable sources;
         sources.type = 1;
         sources.header.assign(8, 0);
         sources.record_size = 116;
         ASSERT_EQ(ct_write_file(file.c_str(), {task, sources}), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    events_.clear();
    exit_code_ = NOT_EXITED;
    c.damage(work_ + "/" + domain_ + "/ct/quantrel.ct");
    const std::string text = CatalogueText(root_, c.key);
    ASSERT_NE(text, c.key);
    Configure("");
    Start(root_, name_);
    ASSERT_TRUE(WatchUntil([&](const Event& e) { return !e.is_status && e.text == text; }))
        << "exit " << Exited() << "\n"
        << Console();
    EXPECT_EQ(WaitForExit(), 1);
    EXPECT_EQ(Find(0, true, 1, ""), -1);  // never running
    EXPECT_EQ(MessageNow(), text);
    EXPECT_EQ(StatusNow(), 0);
  }
}
