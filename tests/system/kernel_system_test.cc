// Whole processes on one shared-memory database: changes and mailbox messages
// between two processes, a process killed while holding the database lock,
// and the reattach of a dead task's slot.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kernel/zqkernel.h"

namespace {

constexpr TagRef kReady = {TAG_DIGITAL, 1};
constexpr TagRef kRequest = {TAG_ANALOG, 1};
constexpr TagRef kReply = {TAG_ANALOG, 2};
constexpr TagRef kSignalSeen = {TAG_ANALOG, 3};
constexpr TagRef kPeerInbox = {TAG_MAILBOX, 1};
constexpr TagRef kTestInbox = {TAG_MAILBOX, 2};
constexpr unsigned kTestTimeoutSeconds = 30;  // a hang fails the test instead of blocking ctest
constexpr const char* kDomain = "sys";
constexpr const char* kUser = "test";

class KernelProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    alarm(kTestTimeoutSeconds);
    zq_name_ = "ksys" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    char shm[256];
    ASSERT_EQ(0, zq_db_shm_name(zq_name_.c_str(), kDomain, kUser, shm, sizeof shm));
    shm_ = shm;
    zq_db_unlink(shm);  // a left-over of an earlier crashed run
    const ZqTagDecl decls[] = {{TAG_DIGITAL, 2, 0}, {TAG_ANALOG, 4, 0}, {TAG_MAILBOX, 2, 0}};
    ASSERT_EQ(0, zq_db_create(shm, decls, 3, nullptr, nullptr, &db_));
    zq_db_use(db_);
    id_ = zq_init("TESTER", "system test", nullptr, nullptr, nullptr);
    ASSERT_GT(id_, 0);
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (db_) zq_db_destroy(db_);
    alarm(0);
  }

  // Starts kernel_peer with the arguments; its stdout goes to *out_fd if given.
  pid_t spawn(const std::vector<std::string>& args, int* out_fd = nullptr) {
    int fds[2] = {-1, -1};
    if (out_fd && pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // no orphan outlives a test killed by its alarm
      if (out_fd) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
      }
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(ZQ_KERNEL_PEER));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(ZQ_KERNEL_PEER, argv.data());
      _exit(127);
    }
    if (out_fd) {
      close(fds[1]);
      *out_fd = fds[0];
    }
    if (pid > 0) children_.push_back(pid);
    return pid;
  }
  pid_t spawn_echo(const char* name) { return spawn({"echo", name, zq_name_, kDomain, kUser}); }

  // Exit status of a child, -1 when it did not exit normally.
  int reap(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void kill_hard(pid_t pid) {
    kill(pid, SIGKILL);
    reap(pid);
  }

  // Waits until `tag` changes for the test task; returns its 16-bit value.
  int16_t wait_for(TagRef tag) {
    char text[ZQ_CHANGE_TEXT_CAPACITY];
    ChangeRecord record;
    change_record_prepare(&record, text, sizeof text);
    uint32_t index = 0;
    EXPECT_EQ(0, zq_change_wait(id_, &tag, 1, &index, &record)) << zq_errno(id_);
    return change_record_int16(record);
  }
  int round_trip(int16_t value) {
    if (zq_write(id_, &kRequest, 1, &value) != 0) return -1;
    return wait_for(kReply);
  }
  int16_t read16(TagRef tag) {
    int16_t v = -1;
    EXPECT_EQ(0, zq_read(id_, &tag, 1, &v));
    return v;
  }
  const ZqTaskState* find_task(std::vector<ZqTaskState>& states, const char* name) {
    states.resize(ZQ_MAX_TASKS);
    int n = 0;
    EXPECT_EQ(0, zq_task_list(db_, states.data(), ZQ_MAX_TASKS, &n));
    for (int i = 0; i < n; ++i) {
      if (strcmp(states[i].name, name) == 0) return &states[i];
    }
    return nullptr;
  }

  // Polls the task table until the task blocks in its wait.
  bool wait_until_waiting(const char* name) {
    constexpr int kPolls = 1000;
    constexpr useconds_t kPollMicros = 1000;
    for (int i = 0; i < kPolls; ++i) {
      std::vector<ZqTaskState> states;
      const ZqTaskState* slot = find_task(states, name);
      if (slot && slot->waiting) return true;
      usleep(kPollMicros);
    }
    return false;
  }

  std::string zq_name_;
  std::string shm_;
  ZqDb* db_ = nullptr;
  int id_ = -1;
  std::vector<pid_t> children_;
};

TEST_F(KernelProcesses, TwoProcessesExchangeChangesMailboxMessagesAndSignals) {
  const ZqTaskSetup setup = {"-d 1", "/app", "/bin", kReply, ZQ_UNSET_TAG};
  ASSERT_EQ(0, zq_task_configure(db_, "PEER", &setup));
  pid_t peer = spawn_echo("PEER");
  ASSERT_GT(peer, 0);
  EXPECT_EQ(1, wait_for(kReady));
  for (int16_t i = 1; i <= 200; ++i) ASSERT_EQ(i + 1, round_trip(i));

  const std::vector<std::string> sent = {"abc", std::string(300, 'x') + "yz", ""};
  for (size_t i = 0; i < sent.size(); ++i) {
    MbxMessage m = {};
    m.data = reinterpret_cast<uint8_t*>(const_cast<char*>(sent[i].data()));
    m.length = static_cast<uint16_t>(sent[i].size());
    m.control = static_cast<uint16_t>(3 + i);
    m.key = TagRef{TAG_ANALOG, static_cast<uint16_t>(i + 1)};
    ASSERT_EQ(0, zq_write_mbx(id_, id_, kPeerInbox, &m));
  }
  std::vector<std::string> got;
  std::vector<MbxMessage> descs;
  while (got.size() < sent.size()) {
    wait_for(kTestInbox);
    int count = 0;
    ASSERT_EQ(0, zq_count_mbx(id_, kTestInbox, &count));
    for (int i = 0; i < count; ++i) {
      uint8_t data[512];
      MbxMessage m = {};
      m.data = data;
      m.capacity = sizeof data;
      ASSERT_EQ(0, zq_read_mbx(id_, id_, kTestInbox, &m, 0));
      got.emplace_back(reinterpret_cast<char*>(data), m.length);
      descs.push_back(m);
    }
  }
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ("cba", got[0]);
  EXPECT_EQ("zy" + std::string(300, 'x'), got[1]);
  EXPECT_EQ("", got[2]);
  EXPECT_EQ(5, descs[2].control);
  EXPECT_EQ(3, descs[2].key.index);
  EXPECT_NE(id_, descs[0].sender);  // the peer's id

  ASSERT_EQ(0, zq_send_signal(id_, "PEER", 16));
  EXPECT_EQ(16, wait_for(kSignalSeen));

  ASSERT_EQ(0, zq_task_request_term(db_, "PEER"));
  EXPECT_EQ(0, reap(peer));
  std::vector<ZqTaskState> states;
  const ZqTaskState* slot = find_task(states, "PEER");
  ASSERT_NE(nullptr, slot);  // a configured slot stays known, detached
  EXPECT_FALSE(slot->attached);
  EXPECT_TRUE(slot->configured);
  EXPECT_EQ(nullptr, find_task(states, "NOBODY"));
}

TEST_F(KernelProcesses, ProcessKilledHoldingTheLockDoesNotWedgeTheOthers) {
  int out = -1;
  pid_t holder = spawn({"hold", zq_name_, kDomain, kUser}, &out);
  ASSERT_GT(holder, 0);
  char line[8] = {};
  ASSERT_EQ(5, read(out, line, 5));
  close(out);
  EXPECT_STREQ("held\n", line);

  // A writer now blocks on the lock until the holder dies.
  std::atomic<int> result{-100};
  std::thread writer([&] {
    int16_t v = 11;
    result = zq_write(id_, &kRequest, 1, &v);
  });
  usleep(50000);
  EXPECT_EQ(-100, result.load());
  kill_hard(holder);
  writer.join();
  EXPECT_EQ(0, result.load());
  EXPECT_EQ(11, read16(kRequest));

  // The dead holder's slot is reported attached but not alive, and its name
  // can be attached again.
  std::vector<ZqTaskState> states;
  const ZqTaskState* slot = find_task(states, "HOLDER");
  ASSERT_NE(nullptr, slot);
  EXPECT_TRUE(slot->attached);
  EXPECT_FALSE(slot->alive);
  int again = zq_init("HOLDER", "reattached", nullptr, nullptr, nullptr);
  EXPECT_EQ(slot->id, again);
}

TEST_F(KernelProcesses, SlotOfATaskKilledWhileWaitingIsReattached) {
  // Several generations of the same task die while blocked in their wait;
  // each time the writers go on and the next generation attaches and works.
  for (int16_t generation = 0; generation < 3; ++generation) {
    pid_t peer = spawn_echo("PEER");
    ASSERT_GT(peer, 0);
    EXPECT_EQ(1, wait_for(kReady));
    ASSERT_EQ(generation + 8, round_trip(static_cast<int16_t>(generation + 7)));
    // A live holder of the name keeps it.
    EXPECT_EQ(-1, zq_init("PEER", "", nullptr, nullptr, nullptr));
    EXPECT_EQ(ZQ_ETASKBUSY, zq_errno(-1));
    ASSERT_TRUE(wait_until_waiting("PEER"));
    kill_hard(peer);
    std::vector<ZqTaskState> states;
    const ZqTaskState* slot = find_task(states, "PEER");
    ASSERT_NE(nullptr, slot);
    EXPECT_TRUE(slot->attached);
    EXPECT_FALSE(slot->alive);
    // Writes and a stop request wake the dead task's slot; none may block.
    for (int16_t i = 0; i < 5; ++i) ASSERT_EQ(0, zq_write(id_, &kRequest, 1, &i));
    ASSERT_EQ(0, zq_task_request_term(db_, "PEER"));
  }
  pid_t peer = spawn_echo("PEER");
  ASSERT_GT(peer, 0);
  EXPECT_EQ(1, wait_for(kReady));
  EXPECT_EQ(101, round_trip(100));
  ASSERT_TRUE(wait_until_waiting("PEER"));
  ASSERT_EQ(0, zq_task_request_term(db_, "PEER"));
  EXPECT_EQ(0, reap(peer));
}

TEST_F(KernelProcesses, OpenTellsTheCreatorsPid) {
  ZqDb* other = nullptr;
  ASSERT_EQ(0, zq_db_open(shm_.c_str(), &other));
  ZqDbInfo info;
  ASSERT_EQ(0, zq_db_info(other, &info));
  EXPECT_EQ(getpid(), info.owner_pid);
  EXPECT_EQ(4u, info.tag_count[TAG_ANALOG]);
  ASSERT_EQ(0, zq_db_close(other));
  EXPECT_EQ(db_, zq_db_current());
}

}  // namespace
