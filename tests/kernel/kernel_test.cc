// Behaviour of libzqkernel in one process: values, change flags, waits,
// signals, mailboxes, task table, fault injection and bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kernel/zqkernel.h"

namespace {

constexpr uint16_t kMessageCapacity = 10;

// Tag declarations of the test database, in order.
enum Decl { kDigital, kAnalog, kFloat, kMessage, kLong, kMailbox, kDeclCount };
const ZqTagDecl kDecls[kDeclCount] = {
    {TAG_DIGITAL, 4, 0}, {TAG_ANALOG, 2, 0},  {TAG_FLOAT, 1, 0}, {TAG_MESSAGE, 2, kMessageCapacity},
    {TAG_LONG, 1, 0},    {TAG_MAILBOX, 2, 0},
};

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zq_fault_clear_all();
    ZqDbLimits limits;
    zq_db_default_limits(&limits);
    limits.mbx_messages = 8;
    limits.mbx_data_bytes = 4096;
    limits.max_message_bytes = 1024;
    ASSERT_EQ(0, zq_db_create(nullptr, kDecls, kDeclCount, &limits, first_, &db_));
    zq_db_use(db_);
    a_ = zq_init("TASKA", "first task", "n", "d", "u");
    b_ = zq_init("TASKB", "second task", "n", "d", "u");
    ASSERT_GT(a_, 0);
    ASSERT_GT(b_, 0);
  }
  void TearDown() override {
    zq_fault_clear_all();
    zq_db_destroy(db_);
  }

  TagRef tag(Decl d, uint16_t element = 0) const {
    return TagRef{first_[d].type, static_cast<uint16_t>(first_[d].index + element)};
  }
  int write16(int id, TagRef t, int16_t v) { return zq_write(id, &t, 1, &v); }
  int fwrite16(int id, TagRef t, int16_t v) { return zq_f_write(id, &t, 1, &v); }
  int16_t read16(int id, TagRef t) {
    int16_t v = -1;
    EXPECT_EQ(0, zq_read(id, &t, 1, &v));
    return v;
  }
  int write_text(int id, TagRef t, const std::string& text) {
    MessageValue mv = {const_cast<char*>(text.data()), 0, static_cast<uint16_t>(text.size())};
    return zq_write(id, &t, 1, &mv);
  }
  std::string read_text(int id, TagRef t, uint16_t capacity = 80) {
    std::vector<char> buf(capacity + 1, 'X');
    MessageValue mv = {buf.data(), capacity, 0};
    EXPECT_EQ(0, zq_read(id, &t, 1, &mv));
    return std::string(mv.text, mv.length);
  }
  // The tag a non-blocking scan reports (or ZQ_ENOCHANGE as -error).
  int scan(int id, const std::vector<TagRef>& tags, uint32_t from = 0) {
    char buf[ZQ_CHANGE_TEXT_CAPACITY];
    ChangeRecord rec;
    change_record_prepare(&rec, buf, sizeof buf);
    uint32_t index = from;
    if (zq_get_chg(id, tags.data(), static_cast<uint32_t>(tags.size()), &index, &rec) != 0) {
      return -zq_errno(id);
    }
    return static_cast<int>(index);
  }
  int send(TagRef mbx, const std::string& data, uint16_t control = 3, int sender = 0) {
    MbxMessage m = {};
    m.data = reinterpret_cast<uint8_t*>(const_cast<char*>(data.data()));
    m.length = static_cast<uint16_t>(data.size());
    m.control = control;
    m.key = tag(kDigital);
    return zq_write_mbx(a_, sender ? sender : a_, mbx, &m);
  }

  ZqDb* db_ = nullptr;
  TagRef first_[kDeclCount];
  int a_ = -1;
  int b_ = -1;
};

// ---- Values ------------------------------------------------------------------------

TEST_F(KernelTest, DeclarationsGetConsecutiveIndexesFromOnePerType) {
  EXPECT_EQ(TAG_DIGITAL, first_[kDigital].type);
  EXPECT_EQ(1, first_[kDigital].index);
  EXPECT_EQ(1, first_[kAnalog].index);
  EXPECT_EQ(TAG_MAILBOX, first_[kMailbox].type);
  ZqDbInfo info;
  ASSERT_EQ(0, zq_db_info(db_, &info));
  EXPECT_EQ(4u, info.tag_count[TAG_DIGITAL]);
  EXPECT_EQ(2u, info.tag_count[TAG_MAILBOX]);
  EXPECT_EQ(getpid(), info.owner_pid);
  EXPECT_EQ(8u, info.limits.mbx_messages);
}

TEST_F(KernelTest, ValuesOfAllTypesRoundTripThroughAPackedBlock) {
  const TagRef tags[] = {tag(kDigital, 1), tag(kAnalog), tag(kFloat), tag(kMessage), tag(kLong)};
  uint16_t types[5];
  uint32_t offsets[5];
  ASSERT_EQ(0, zq_tag_info(tags, 5, types, offsets));
  EXPECT_EQ((std::vector<uint32_t>{0, 2, 4, 12, 28}), std::vector<uint32_t>(offsets, offsets + 5));
  EXPECT_EQ(TAG_MESSAGE, types[3]);

  uint8_t block[32] = {};
  int16_t d = 1, an = -1234;
  double f = 3.25;
  int32_t l = -70000;
  char text[] = "hello";
  MessageValue mv = {text, 0, 5};
  memcpy(block + offsets[0], &d, 2);
  memcpy(block + offsets[1], &an, 2);
  memcpy(block + offsets[2], &f, 8);
  memcpy(block + offsets[3], &mv, sizeof mv);
  memcpy(block + offsets[4], &l, 4);
  ASSERT_EQ(0, zq_write(a_, tags, 5, block));

  uint8_t out[32] = {};
  char buf[16];
  MessageValue in = {buf, sizeof buf, 0};
  memcpy(out + offsets[3], &in, sizeof in);
  ASSERT_EQ(0, zq_read(b_, tags, 5, out));
  int16_t d2, an2;
  double f2;
  int32_t l2;
  MessageValue mv2;
  memcpy(&d2, out + offsets[0], 2);
  memcpy(&an2, out + offsets[1], 2);
  memcpy(&f2, out + offsets[2], 8);
  memcpy(&mv2, out + offsets[3], sizeof mv2);
  memcpy(&l2, out + offsets[4], 4);
  EXPECT_EQ(1, d2);
  EXPECT_EQ(-1234, an2);
  EXPECT_EQ(3.25, f2);
  EXPECT_EQ(-70000, l2);
  EXPECT_EQ(buf, mv2.text);
  EXPECT_EQ(5, mv2.length);
  EXPECT_STREQ("hello", buf);
}

TEST_F(KernelTest, MessageWriteIsCutToTheTagCapacity) {
  EXPECT_EQ(kMessageCapacity, zq_tag_capacity(tag(kMessage)));
  EXPECT_EQ(0, zq_tag_capacity(tag(kAnalog)));
  ASSERT_EQ(0, write_text(a_, tag(kMessage), "0123456789ABCDEF"));
  EXPECT_EQ("0123456789", read_text(a_, tag(kMessage)));
  // The neighbour keeps its own text.
  EXPECT_EQ("", read_text(a_, tag(kMessage, 1)));
}

TEST_F(KernelTest, MessageReadIsCutToTheCallersCapacityAndTerminated) {
  ASSERT_EQ(0, write_text(a_, tag(kMessage), "abcdef"));
  std::vector<char> buf(8, 'X');
  MessageValue mv = {buf.data(), 4, 0};
  TagRef t = tag(kMessage);
  ASSERT_EQ(0, zq_read(a_, &t, 1, &mv));
  EXPECT_EQ(3, mv.length);
  EXPECT_STREQ("abc", buf.data());
  EXPECT_EQ('X', buf[4]);  // nothing past the capacity
  MessageValue none = {nullptr, 0, 7};
  ASSERT_EQ(0, zq_read(a_, &t, 1, &none));
  EXPECT_EQ(0, none.length);
}

TEST_F(KernelTest, BadTagsAreRefusedAndNothingIsWritten) {
  const TagRef unset = ZQ_UNSET_TAG;
  const TagRef zero = {TAG_DIGITAL, 0};
  const TagRef beyond = {TAG_DIGITAL, 5};
  const TagRef unknown_type = {6, 1};
  int16_t v[2] = {7, 7};
  for (TagRef bad : {unset, zero, beyond, unknown_type}) {
    TagRef list[2] = {tag(kDigital), bad};
    EXPECT_EQ(-1, zq_write(a_, list, 2, v));
    EXPECT_EQ(ZQ_EBADTAG, zq_errno(a_));
    EXPECT_NE(0, zq_tag_info(list, 2, nullptr, nullptr));
    EXPECT_EQ(-1, zq_tag_capacity(bad));
    EXPECT_EQ(-1, zq_set_chg(a_, list, 2));
    EXPECT_EQ(ZQ_EBADTAG, zq_errno(a_));
  }
  EXPECT_EQ(0, read16(a_, tag(kDigital)));  // the valid first tag was not written
  TagRef mbx = tag(kMailbox);
  EXPECT_EQ(-1, zq_write(a_, &mbx, 1, v));
  EXPECT_EQ(ZQ_EWRONGTYPE, zq_errno(a_));
  EXPECT_EQ(-1, zq_read(a_, &mbx, 1, v));
  EXPECT_EQ(ZQ_EWRONGTYPE, zq_errno(a_));
}

TEST_F(KernelTest, NullPointersAndUnattachedIdsAreRefused) {
  TagRef t = tag(kDigital);
  EXPECT_EQ(-1, zq_write(a_, nullptr, 1, "xx"));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(a_));
  EXPECT_EQ(-1, zq_read(a_, &t, 1, nullptr));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(a_));
  MessageValue bad = {nullptr, 0, 3};
  TagRef m = tag(kMessage);
  EXPECT_EQ(-1, zq_write(a_, &m, 1, &bad));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(a_));
  for (int id : {-1, 0, 99, 64}) {
    int16_t v = 1;
    EXPECT_EQ(-1, zq_write(id, &t, 1, &v));
    EXPECT_EQ(ZQ_ENOTATTACHED, zq_errno(id));
  }
  EXPECT_EQ(-1, zq_task_info(a_, nullptr));
  uint32_t index = 0;
  EXPECT_EQ(-1, zq_get_chg(a_, &t, 1, &index, nullptr));
  EXPECT_EQ(-1, zq_change_wait(a_, nullptr, 1, &index, nullptr));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(a_));
}

// ---- Change flags --------------------------------------------------------------------

TEST_F(KernelTest, WriteFlagsEveryAttachedTaskIncludingTheWriter) {
  const std::vector<TagRef> tags = {tag(kDigital), tag(kDigital, 1)};
  ASSERT_EQ(0, write16(a_, tags[1], 5));
  EXPECT_EQ(1, scan(a_, tags));
  EXPECT_EQ(1, scan(b_, tags));
  // Consumed: the next scan finds nothing.
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(a_, tags));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, tags));
}

TEST_F(KernelTest, WriteOfAnUnchangedValueSetsNoFlagButForcedWriteDoes) {
  const std::vector<TagRef> tags = {tag(kDigital)};
  ASSERT_EQ(0, write16(a_, tags[0], 1));
  ASSERT_EQ(0, scan(b_, tags));
  ASSERT_EQ(0, write16(a_, tags[0], 1));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, tags));
  ASSERT_EQ(0, fwrite16(a_, tags[0], 1));
  EXPECT_EQ(0, scan(b_, tags));
  // The same holds for texts.
  const std::vector<TagRef> msg = {tag(kMessage)};
  ASSERT_EQ(0, write_text(a_, msg[0], "same"));
  ASSERT_EQ(0, scan(b_, msg));
  ASSERT_EQ(0, write_text(a_, msg[0], "same"));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, msg));
  ASSERT_EQ(0, write_text(a_, msg[0], "samE"));
  EXPECT_EQ(0, scan(b_, msg));
}

TEST_F(KernelTest, ScanStartsAtTheIndexAndDoesNotWrap) {
  const std::vector<TagRef> tags = {tag(kDigital), tag(kDigital, 1), tag(kDigital, 2)};
  ASSERT_EQ(0, write16(a_, tags[0], 1));
  ASSERT_EQ(0, write16(a_, tags[2], 1));
  EXPECT_EQ(2, scan(b_, tags, 1));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, tags, 1));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, tags, 7));
  EXPECT_EQ(0, scan(b_, tags, 0));
}

TEST_F(KernelTest, SetAndClearChangeFlagsAffectOnlyTheCallingTask) {
  const std::vector<TagRef> tags = {tag(kAnalog), tag(kMailbox)};
  ASSERT_EQ(0, zq_set_chg(a_, tags.data(), 2));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, tags));
  ASSERT_EQ(0, zq_clear_chg(a_, tags.data(), 1));
  EXPECT_EQ(1, scan(a_, tags));
  ASSERT_EQ(0, write16(b_, tags[0], 9));
  ASSERT_EQ(0, zq_clear_chg(b_, tags.data(), 1));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, tags));
  EXPECT_EQ(0, scan(a_, tags));
}

TEST_F(KernelTest, ChangeRecordCarriesTheValueOfTheReportedTag) {
  const TagRef tags[] = {tag(kLong), tag(kMessage)};
  int32_t l = 123456;
  ASSERT_EQ(0, zq_write(a_, &tags[0], 1, &l));
  ASSERT_EQ(0, write_text(a_, tags[1], "txt"));
  char buf[ZQ_CHANGE_TEXT_CAPACITY];
  ChangeRecord rec;
  change_record_prepare(&rec, buf, sizeof buf);
  uint32_t index = 0;
  ASSERT_EQ(0, zq_change_wait(b_, tags, 2, &index, &rec));
  EXPECT_EQ(0u, index);
  EXPECT_EQ(123456, change_record_int32(rec));
  EXPECT_TRUE(tag_ref_equal(tags[0], rec.tag));
  EXPECT_EQ(TAG_LONG, rec.type);
  change_record_prepare(&rec, buf, sizeof buf);
  ASSERT_EQ(0, zq_change_wait(b_, tags, 2, &index, &rec));
  EXPECT_EQ(1u, index);
  MessageValue mv = change_record_message(rec);
  EXPECT_EQ(3, mv.length);
  EXPECT_STREQ("txt", mv.text);
}

TEST_F(KernelTest, WaitLooksFromTheIndexThenWraps) {
  const TagRef tags[] = {tag(kDigital), tag(kDigital, 1), tag(kDigital, 2), tag(kDigital, 3)};
  ASSERT_EQ(0, write16(a_, tags[0], 1));
  ASSERT_EQ(0, write16(a_, tags[2], 1));
  char buf[8];
  ChangeRecord rec;
  change_record_prepare(&rec, buf, sizeof buf);
  uint32_t index = 3;
  ASSERT_EQ(0, zq_change_wait(b_, tags, 4, &index, &rec));
  EXPECT_EQ(0u, index);
  index = 1;
  ASSERT_EQ(0, zq_change_wait(b_, tags, 4, &index, &rec));
  EXPECT_EQ(2u, index);
}

TEST_F(KernelTest, AttachClearsStaleFlagsOfTheSlot) {
  const std::vector<TagRef> tags = {tag(kDigital)};
  ASSERT_EQ(0, write16(a_, tags[0], 3));
  ASSERT_EQ(0, zq_exit(b_));
  int b2 = zq_init("TASKB", "again", "n", "d", "u");
  ASSERT_EQ(b_, b2);
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b2, tags));
}

// ---- Waits, stop requests and signals --------------------------------------------------

TEST_F(KernelTest, WaitIsWokenByAWriteFromAnotherThread) {
  const TagRef t = tag(kAnalog, 1);
  std::atomic<int> result{-100};
  std::atomic<int16_t> value{0};
  std::thread waiter([&] {
    char buf[8];
    ChangeRecord rec;
    change_record_prepare(&rec, buf, sizeof buf);
    uint32_t index = 0;
    result = zq_change_wait(b_, &t, 1, &index, &rec);
    value = change_record_int16(rec);
  });
  usleep(20000);
  EXPECT_EQ(-100, result.load());  // still blocked
  ASSERT_EQ(0, write16(a_, t, 42));
  waiter.join();
  EXPECT_EQ(0, result.load());
  EXPECT_EQ(42, value.load());
}

// A write wakes only the tasks waiting on what it wrote; the others sleep on
// and find their flag at the next wait.
TEST_F(KernelTest, AWriteWakesOnlyTheTasksWaitingOnItsTags) {
  const TagRef watched = tag(kAnalog, 1);
  const TagRef other = tag(kAnalog, 0);
  std::atomic<int> result{-100};
  std::thread waiter([&] {
    char buf[8];
    ChangeRecord rec;
    change_record_prepare(&rec, buf, sizeof buf);
    uint32_t index = 0;
    result = zq_change_wait(b_, &watched, 1, &index, &rec);
  });
  auto state_of_b = [&] {
    ZqTaskState tasks[ZQ_MAX_TASKS];
    int n = 0;
    EXPECT_EQ(0, zq_task_list(db_, tasks, ZQ_MAX_TASKS, &n));
    for (int i = 0; i < n; ++i)
      if (tasks[i].id == b_) return tasks[i];
    return ZqTaskState{};
  };
  for (int i = 0; i < 200 && !state_of_b().waiting; ++i) usleep(1000);
  ASSERT_TRUE(state_of_b().waiting);
  const uint32_t wakes = state_of_b().wakes;
  ASSERT_EQ(0, write16(a_, other, 7));
  usleep(20000);
  EXPECT_EQ(-100, result.load());
  EXPECT_EQ(wakes, state_of_b().wakes);  // not woken
  ASSERT_EQ(0, write16(a_, watched, 8));
  waiter.join();
  EXPECT_EQ(0, result.load());
  // The unwatched change is still flagged for B.
  char buf[8];
  ChangeRecord rec;
  change_record_prepare(&rec, buf, sizeof buf);
  uint32_t index = 0;
  EXPECT_EQ(0, zq_get_chg(b_, &other, 1, &index, &rec));
  EXPECT_EQ(7, change_record_int16(rec));
}

TEST(KernelWakeups, TokenPassedRoundARingOfTasksIsNeverLost) {
  // Each task waits on its own tag and passes the token to the next one; a
  // lost wake-up stops the ring (the alarm then ends the test).
  constexpr int kTasks = 4;
  constexpr int kHops = 4000;
  constexpr unsigned kAlarmSeconds = 60;
  const ZqTagDecl decls[] = {{TAG_LONG, kTasks, 0}};
  TagRef first;
  ZqDb* db = nullptr;
  ASSERT_EQ(0, zq_db_create(nullptr, decls, 1, nullptr, &first, &db));
  zq_db_use(db);
  int ids[kTasks];
  for (int i = 0; i < kTasks; ++i) {
    ids[i] = zq_init(("RING" + std::to_string(i)).c_str(), "", nullptr, nullptr, nullptr);
    ASSERT_GT(ids[i], 0);
  }
  alarm(kAlarmSeconds);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kTasks; ++i) {
    threads.emplace_back([&, i] {
      const TagRef mine = {TAG_LONG, static_cast<uint16_t>(first.index + i)};
      const TagRef next = {TAG_LONG, static_cast<uint16_t>(first.index + (i + 1) % kTasks)};
      for (;;) {
        ChangeRecord rec;
        change_record_prepare(&rec, nullptr, 0);
        uint32_t index = 0;
        if (zq_change_wait(ids[i], &mine, 1, &index, &rec) != 0) {
          if (zq_errno(ids[i]) != ZQ_ESTOP) ++failures;
          return;
        }
        int32_t token = change_record_int32(rec) + 1;
        if (token > kHops) {
          for (int t = 0; t < kTasks; ++t) {
            zq_task_request_term(db, ("RING" + std::to_string(t)).c_str());
          }
          return;
        }
        if (zq_write(ids[i], &next, 1, &token) != 0) ++failures;
      }
    });
  }
  const int32_t start = 1;
  ASSERT_EQ(0, zq_write(ids[0], &first, 1, &start));
  for (int i = 0; i < kTasks; ++i) threads[i].join();
  alarm(0);
  EXPECT_EQ(0, failures.load());
  int32_t last = 0;
  const TagRef last_tag = {TAG_LONG, static_cast<uint16_t>(first.index + (kHops - 1) % kTasks)};
  ASSERT_EQ(0, zq_read(ids[0], &last_tag, 1, &last));
  EXPECT_EQ(kHops, last);
  zq_db_destroy(db);
}

TEST_F(KernelTest, WaitIsWokenByAWriteFromAnotherProcess) {
  const TagRef t = tag(kAnalog, 1);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The private region is shared with the child; it attaches its own task.
    int c = zq_init("CHILD", "writer", "n", "d", "u");
    usleep(20000);
    int16_t v = 77;
    _exit(c > 0 && zq_write(c, &t, 1, &v) == 0 && zq_exit(c) == 0 ? 0 : 1);
  }
  char buf[8];
  ChangeRecord rec;
  change_record_prepare(&rec, buf, sizeof buf);
  uint32_t index = 0;
  ASSERT_EQ(0, zq_change_wait(b_, &t, 1, &index, &rec));
  EXPECT_EQ(77, change_record_int16(rec));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(KernelTest, StopRequestEndsTheWaitWith27) {
  const TagRef t = tag(kDigital);
  std::atomic<int> error{0};
  std::thread waiter([&] {
    char buf[8];
    ChangeRecord rec;
    change_record_prepare(&rec, buf, sizeof buf);
    uint32_t index = 0;
    if (zq_change_wait(b_, &t, 1, &index, &rec) != 0) error = zq_errno(b_);
  });
  usleep(20000);
  EXPECT_EQ(0, zq_term_requested(b_));
  ASSERT_EQ(0, zq_task_request_term(db_, "TASKB"));
  waiter.join();
  EXPECT_EQ(ZQ_ESTOP, error.load());
  EXPECT_EQ(1, zq_term_requested(b_));
  EXPECT_EQ(0, zq_term_requested(a_));
  EXPECT_EQ(-1, zq_task_request_term(db_, "NOBODY"));
  EXPECT_EQ(ZQ_ENOTASK, zq_errno(-1));
}

TEST_F(KernelTest, EmptyTagListWaitsForASignalAndScanReports11) {
  ASSERT_EQ(0, zq_signal_setup(b_, 16, ZQ_SIGNAL_ENABLE));
  std::atomic<int> error{0};
  std::thread waiter([&] {
    char buf[8];
    ChangeRecord rec;
    change_record_prepare(&rec, buf, sizeof buf);
    uint32_t index = 0;
    if (zq_change_wait(b_, nullptr, 0, &index, &rec) != 0) error = zq_errno(b_);
  });
  usleep(20000);
  EXPECT_EQ(0, error.load());
  ASSERT_EQ(0, zq_send_signal(a_, "TASKB", 16));
  waiter.join();
  EXPECT_EQ(ZQ_EINTR, error.load());
  EXPECT_EQ(16, zq_get_signal(b_));
  EXPECT_EQ(0, zq_get_signal(b_));
  EXPECT_EQ(-ZQ_ENOCHANGE, scan(b_, {}));
}

TEST_F(KernelTest, SignalsAreTakenLowestFirstAndOnlyWhenEnabled) {
  EXPECT_EQ(-1, zq_send_signal(a_, "TASKB", 16));
  EXPECT_EQ(ZQ_ENOSIGNAL, zq_errno(a_));
  EXPECT_EQ(-1, zq_send_signal(a_, "NOBODY", 16));
  EXPECT_EQ(ZQ_ENOTASK, zq_errno(a_));
  EXPECT_EQ(-1, zq_signal_setup(b_, 0, ZQ_SIGNAL_ENABLE));
  EXPECT_EQ(-1, zq_signal_setup(b_, 32, ZQ_SIGNAL_ENABLE));
  EXPECT_EQ(-1, zq_signal_setup(b_, 1, 7));
  ASSERT_EQ(0, zq_signal_setup(b_, 16, ZQ_SIGNAL_ENABLE));
  ASSERT_EQ(0, zq_signal_setup(b_, 1, ZQ_SIGNAL_ENABLE));
  ASSERT_EQ(0, zq_send_signal(a_, "TASKB", 16));
  ASSERT_EQ(0, zq_send_signal(a_, "TASKB", 1));
  // A pending signal wins over a changed tag.
  const TagRef t = tag(kDigital);
  ASSERT_EQ(0, write16(a_, t, 1));
  char buf[8];
  ChangeRecord rec;
  change_record_prepare(&rec, buf, sizeof buf);
  uint32_t index = 0;
  EXPECT_EQ(-1, zq_change_wait(b_, &t, 1, &index, &rec));
  EXPECT_EQ(ZQ_EINTR, zq_errno(b_));
  EXPECT_EQ(1, zq_get_signal(b_));
  EXPECT_EQ(16, zq_get_signal(b_));
  EXPECT_EQ(0, zq_get_signal(b_));
  EXPECT_EQ(0, zq_change_wait(b_, &t, 1, &index, &rec));
  ASSERT_EQ(0, zq_signal_setup(b_, 16, ZQ_SIGNAL_DISABLE));
  EXPECT_EQ(-1, zq_send_signal(a_, "TASKB", 16));
}

// ---- Mailboxes ----------------------------------------------------------------------------

TEST_F(KernelTest, MailboxKeepsOrderAndPeekDoesNotRemove) {
  const TagRef mbx = tag(kMailbox);
  ASSERT_EQ(0, send(mbx, "one", 2));
  ASSERT_EQ(0, send(mbx, "two!", 3, b_));
  int count = -1;
  ASSERT_EQ(0, zq_count_mbx(b_, mbx, &count));
  EXPECT_EQ(2, count);
  MbxMessage peeked[4];
  int number = -1;
  ASSERT_EQ(0, zq_peek_mbx(b_, mbx, peeked, 0, 4, &number));
  ASSERT_EQ(2, number);
  EXPECT_EQ(3, peeked[0].length);
  EXPECT_EQ(2, peeked[0].control);
  EXPECT_EQ(a_, peeked[0].sender);
  EXPECT_EQ(b_, peeked[1].sender);
  EXPECT_EQ(nullptr, peeked[0].data);
  EXPECT_TRUE(tag_ref_equal(tag(kDigital), peeked[1].key));
  ASSERT_EQ(0, zq_peek_mbx(b_, mbx, peeked, 1, 4, &number));
  EXPECT_EQ(1, number);
  EXPECT_EQ(4, peeked[0].length);
  ASSERT_EQ(0, zq_count_mbx(b_, mbx, &count));
  EXPECT_EQ(2, count);

  uint8_t buf[16] = {};
  MbxMessage m = {};
  m.data = buf;
  m.capacity = sizeof buf;
  ASSERT_EQ(0, zq_read_mbx(b_, b_, mbx, &m, 0));
  EXPECT_EQ(3, m.length);
  EXPECT_EQ(0, memcmp(buf, "one", 3));
  ASSERT_EQ(0, zq_read_mbx(b_, b_, mbx, &m, 0));
  EXPECT_EQ(0, memcmp(buf, "two!", 4));
  EXPECT_EQ(-1, zq_read_mbx(b_, b_, mbx, &m, 0));
  EXPECT_EQ(ZQ_ENOMSG, zq_errno(b_));
}

// The operator tool shows queued data without taking it: a bounded copy.
TEST_F(KernelTest, PeekOfDataCopiesAtMostTheCapacityAndKeepsTheMessage) {
  const TagRef mbx = tag(kMailbox);
  ASSERT_EQ(0, send(mbx, "abcdefgh", 2));
  uint8_t buf[8];
  memset(buf, 0xEE, sizeof buf);
  uint32_t length = 0;
  ASSERT_EQ(0, zq_peek_mbx_data(b_, mbx, 0, buf, 3, &length));
  EXPECT_EQ(8u, length);
  EXPECT_EQ(0, memcmp(buf, "abc", 3));
  EXPECT_EQ(0xEE, buf[3]);  // nothing past the capacity
  int count = 0;
  ASSERT_EQ(0, zq_count_mbx(b_, mbx, &count));
  EXPECT_EQ(1, count);
  EXPECT_EQ(-1, zq_peek_mbx_data(b_, mbx, 1, buf, sizeof buf, &length));
  EXPECT_EQ(ZQ_ENOMSG, zq_errno(b_));
  EXPECT_EQ(-1, zq_peek_mbx_data(b_, tag(kDigital), 0, buf, sizeof buf, &length));
  EXPECT_EQ(ZQ_EWRONGTYPE, zq_errno(b_));
  EXPECT_EQ(-1, zq_peek_mbx_data(b_, mbx, 0, nullptr, 4, &length));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(b_));
}

TEST_F(KernelTest, RemovalAtAnIndexMovesLaterMessagesUp) {
  const TagRef mbx = tag(kMailbox);
  // Wrap the ring first so that the shifting crosses its end.
  for (int i = 0; i < 6; ++i) ASSERT_EQ(0, send(mbx, "x"));
  for (int i = 0; i < 6; ++i) {
    MbxMessage discard = {};
    ASSERT_EQ(0, zq_read_mbx(b_, b_, mbx, &discard, 0));
  }
  for (const char* s : {"m0", "m1", "m2", "m3", "m4"}) ASSERT_EQ(0, send(mbx, s));
  MbxMessage m = {};
  ASSERT_EQ(0, zq_read_mbx(b_, b_, mbx, &m, 2));  // data == nullptr discards m2
  EXPECT_EQ(2, m.length);
  std::vector<std::string> left;
  uint8_t buf[8];
  for (int i = 0; i < 4; ++i) {
    MbxMessage r = {};
    r.data = buf;
    r.capacity = sizeof buf;
    ASSERT_EQ(0, zq_read_mbx(b_, b_, mbx, &r, 0));
    left.emplace_back(reinterpret_cast<char*>(buf), r.length);
  }
  EXPECT_EQ((std::vector<std::string>{"m0", "m1", "m3", "m4"}), left);
}

TEST_F(KernelTest, TooSmallBufferLeavesTheMessageAndTheBufferAlone) {
  const TagRef mbx = tag(kMailbox);
  ASSERT_EQ(0, send(mbx, "0123456789"));
  uint8_t buf[8];
  memset(buf, 0xEE, sizeof buf);
  MbxMessage m = {};
  m.data = buf;
  m.capacity = 4;
  EXPECT_EQ(-1, zq_read_mbx(b_, b_, mbx, &m, 0));
  EXPECT_EQ(ZQ_ETOOBIG, zq_errno(b_));
  for (uint8_t byte : buf) EXPECT_EQ(0xEE, byte);
  int count = 0;
  ASSERT_EQ(0, zq_count_mbx(b_, mbx, &count));
  EXPECT_EQ(1, count);
}

TEST_F(KernelTest, FullMailboxAndExhaustedPoolRefuseTheWrite) {
  const TagRef mbx = tag(kMailbox);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(0, send(mbx, "m"));
  EXPECT_EQ(-1, send(mbx, "m"));
  EXPECT_EQ(ZQ_EMBXFULL, zq_errno(a_));
  // The other mailbox draws on the same 4096-byte pool: 4 x 1000 bytes fill it.
  const TagRef other = tag(kMailbox, 1);
  std::string big(1000, 'b');
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, send(other, big));
  EXPECT_EQ(-1, send(other, big));
  EXPECT_EQ(ZQ_ENOSPACE, zq_errno(a_));
  EXPECT_EQ(-1, send(other, std::string(1025, 'c')));
  EXPECT_EQ(ZQ_ETOOBIG, zq_errno(a_));
  // Reading gives the space back.
  MbxMessage m = {};
  ASSERT_EQ(0, zq_read_mbx(b_, b_, other, &m, 0));
  EXPECT_EQ(0, send(other, big));
}

TEST_F(KernelTest, MailboxWriteAlwaysFlagsTheMailboxTag) {
  const std::vector<TagRef> tags = {tag(kMailbox)};
  ASSERT_EQ(0, send(tags[0], "a"));
  EXPECT_EQ(0, scan(b_, tags));
  ASSERT_EQ(0, send(tags[0], "a"));
  EXPECT_EQ(0, scan(b_, tags));
}

TEST_F(KernelTest, MailboxOperationsCheckTheirArguments) {
  const TagRef not_mbx = tag(kDigital);
  int count;
  EXPECT_EQ(-1, zq_count_mbx(a_, not_mbx, &count));
  EXPECT_EQ(ZQ_EWRONGTYPE, zq_errno(a_));
  EXPECT_EQ(-1, zq_count_mbx(a_, TagRef{TAG_MAILBOX, 3}, &count));
  EXPECT_EQ(ZQ_EBADTAG, zq_errno(a_));
  EXPECT_EQ(-1, zq_count_mbx(a_, tag(kMailbox), nullptr));
  MbxMessage m = {};
  m.length = 4;  // data missing
  EXPECT_EQ(-1, zq_write_mbx(a_, a_, tag(kMailbox), &m));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(a_));
  EXPECT_EQ(-1, zq_write_mbx(a_, 40, tag(kMailbox), &m));
  EXPECT_EQ(-1, zq_read_mbx(a_, a_, tag(kMailbox), &m, -1));
  int number;
  EXPECT_EQ(-1, zq_peek_mbx(a_, tag(kMailbox), nullptr, 0, 1, &number));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(a_));
}

TEST_F(KernelTest, PeekBeyondTheLastMessageGivesNone) {
  ASSERT_EQ(0, send(tag(kMailbox), "a"));
  MbxMessage peeked[2];
  int number = -1;
  ASSERT_EQ(0, zq_peek_mbx(b_, tag(kMailbox), peeked, 1, 2, &number));
  EXPECT_EQ(0, number);
  ASSERT_EQ(0, zq_peek_mbx(b_, tag(kMailbox), peeked, 0, 0, &number));
  EXPECT_EQ(0, number);
}

TEST(KernelMailboxLimits, Accepts25001MessagesWhenTheLimitAllows) {
  constexpr int kMessages = 25001;
  const ZqTagDecl decls[] = {{TAG_MAILBOX, 1, 0}};
  ZqDbLimits limits = {30000, 4u << 20, 64};
  ZqDb* db = nullptr;
  TagRef mbx;
  ASSERT_EQ(0, zq_db_create(nullptr, decls, 1, &limits, &mbx, &db));
  zq_db_use(db);
  int id = zq_init("MANY", "", nullptr, nullptr, nullptr);
  ASSERT_GT(id, 0);
  for (int i = 0; i < kMessages; ++i) {
    MbxMessage m = {};
    m.data = reinterpret_cast<uint8_t*>(&i);
    m.length = sizeof i;
    ASSERT_EQ(0, zq_write_mbx(id, id, mbx, &m)) << i;
  }
  int count = 0;
  ASSERT_EQ(0, zq_count_mbx(id, mbx, &count));
  EXPECT_EQ(kMessages, count);
  int value = -1;
  MbxMessage m = {};
  m.data = reinterpret_cast<uint8_t*>(&value);
  m.capacity = sizeof value;
  ASSERT_EQ(0, zq_read_mbx(id, id, mbx, &m, kMessages - 1));
  EXPECT_EQ(kMessages - 1, value);
  ASSERT_EQ(0, zq_read_mbx(id, id, mbx, &m, 0));
  EXPECT_EQ(0, value);
  ASSERT_EQ(0, zq_read_mbx(id, id, mbx, &m, 0));
  EXPECT_EQ(1, value);
  zq_db_destroy(db);
}

// ---- Task table -------------------------------------------------------------------------------

TEST_F(KernelTest, TaskBlockCarriesTheConfiguredSetup) {
  uint8_t block[ZQ_TASK_BLOCK_SIZE];
  memset(block, 0xAA, sizeof block);
  ASSERT_EQ(0, zq_task_info(a_, block));
  EXPECT_EQ(0xFD, block[0]);
  EXPECT_EQ(0xFF, block[1]);
  EXPECT_EQ(0xFD, block[ZQ_TB_STATUS_TAG]);
  EXPECT_EQ(0xFF, block[ZQ_TB_STATUS_TAG + 1]);
  EXPECT_EQ(0, block[ZQ_TB_ARGS]);

  std::string long_args(300, 'a');
  ZqTaskSetup setup = {long_args.c_str(), "/app", "/bin/x", TagRef{TAG_ANALOG, 0x0102},
                       TagRef{TAG_MESSAGE, 2}};
  ASSERT_EQ(0, zq_task_configure(db_, "TASKA", &setup));
  ASSERT_EQ(0, zq_task_info(a_, block));
  EXPECT_EQ(0xFD, block[ZQ_TB_UNUSED_TAG]);
  EXPECT_EQ(TAG_ANALOG, block[ZQ_TB_STATUS_TAG]);
  EXPECT_EQ(0, block[ZQ_TB_STATUS_TAG + 1]);
  EXPECT_EQ(0x02, block[ZQ_TB_STATUS_TAG + 2]);
  EXPECT_EQ(0x01, block[ZQ_TB_STATUS_TAG + 3]);
  EXPECT_EQ(TAG_MESSAGE, block[ZQ_TB_MESSAGE_TAG]);
  EXPECT_STREQ("/app", reinterpret_cast<char*>(block + ZQ_TB_APP_DIR));
  EXPECT_STREQ("/bin/x", reinterpret_cast<char*>(block + ZQ_TB_BIN_DIR));
  EXPECT_EQ(std::string(ZQ_TB_ARGS_SIZE - 1, 'a'), reinterpret_cast<char*>(block + ZQ_TB_ARGS));
}

TEST_F(KernelTest, TaskListShowsSlotsAndTheirState) {
  ZqTaskSetup setup = {"-d 3", "/a", "/b", TagRef{TAG_ANALOG, 1}, TagRef{TAG_MESSAGE, 1}};
  ASSERT_EQ(0, zq_task_configure(db_, "LATER", &setup));
  ASSERT_EQ(0, zq_task_request_term(db_, "LATER"));
  ZqTaskState states[ZQ_MAX_TASKS];
  int n = 0;
  ASSERT_EQ(0, zq_task_list(db_, states, ZQ_MAX_TASKS, &n));
  ASSERT_EQ(3, n);
  EXPECT_STREQ("TASKA", states[0].name);
  EXPECT_STREQ("first task", states[0].description);
  EXPECT_EQ(a_, states[0].id);
  EXPECT_TRUE(states[0].attached && states[0].alive);
  EXPECT_EQ(getpid(), states[0].pid);
  EXPECT_STREQ("LATER", states[2].name);
  EXPECT_FALSE(states[2].attached);
  EXPECT_TRUE(states[2].configured);
  EXPECT_TRUE(states[2].term_requested);
  // A stop asked before the task attached is still seen by it.
  int later = zq_init("LATER", "", "n", "d", "u");
  ASSERT_GT(later, 0);
  EXPECT_EQ(1, zq_term_requested(later));
  ASSERT_EQ(0, zq_task_list(db_, states, 1, &n));
  EXPECT_EQ(1, n);
}

TEST_F(KernelTest, ManagementCallsCheckTheirArguments) {
  ZqTaskSetup setup = {"", "", "", ZQ_UNSET_TAG, ZQ_UNSET_TAG};
  EXPECT_EQ(-1, zq_task_configure(db_, "X", nullptr));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(-1));
  EXPECT_EQ(-1, zq_task_configure(db_, "", &setup));
  EXPECT_EQ(-1, zq_task_configure(nullptr, "X", &setup));
  EXPECT_EQ(-1, zq_task_request_term(db_, nullptr));
  int n = 0;
  EXPECT_EQ(-1, zq_task_list(db_, nullptr, 3, &n));
  EXPECT_EQ(-1, zq_task_list(db_, nullptr, 0, nullptr));
  EXPECT_EQ(0, zq_task_list(db_, nullptr, 0, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ(-1, zq_db_info(db_, nullptr));
  EXPECT_EQ(-1, zq_db_close(nullptr));
  EXPECT_EQ(-1, zq_db_destroy(nullptr));
  char out[8];
  EXPECT_EQ(-1, zq_db_shm_name("a/b", "d", "u", out, sizeof out));
  EXPECT_EQ(-1, zq_db_shm_name("averylongname", "d", "u", out, sizeof out));
  EXPECT_STREQ("", out);
  // Names longer than a slot's field are cut, and the cut name still finds it.
  const std::string long_name(40, 'N');
  ASSERT_EQ(0, zq_task_configure(db_, long_name.c_str(), &setup));
  ZqTaskState states[ZQ_MAX_TASKS];
  ASSERT_EQ(0, zq_task_list(db_, states, ZQ_MAX_TASKS, &n));
  ASSERT_EQ(3, n);
  EXPECT_EQ(std::string(ZQ_TASK_NAME_SIZE - 1, 'N'), states[2].name);
  EXPECT_EQ(0, zq_task_request_term(db_, std::string(ZQ_TASK_NAME_SIZE - 1, 'N').c_str()));
}

TEST_F(KernelTest, NameHeldByALiveTaskIsBusyAndSlotsRunOut) {
  EXPECT_EQ(-1, zq_init("TASKA", "", "n", "d", "u"));
  EXPECT_EQ(ZQ_ETASKBUSY, zq_errno(-1));
  EXPECT_EQ(-1, zq_init("", "", "n", "d", "u"));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(-1));
  std::vector<int> ids;
  for (int i = 2; i < ZQ_MAX_TASKS; ++i) {
    int id = zq_init(("T" + std::to_string(i)).c_str(), "", "n", "d", "u");
    ASSERT_GT(id, 0);
    ids.push_back(id);
  }
  EXPECT_EQ(-1, zq_init("ONEMORE", "", "n", "d", "u"));
  EXPECT_EQ(ZQ_ETASKFULL, zq_errno(-1));
  ASSERT_EQ(0, zq_exit(ids.back()));
  EXPECT_GT(zq_init("ONEMORE", "", "n", "d", "u"), 0);
  EXPECT_EQ(-1, zq_exit(ids.back() + 100));
}

TEST_F(KernelTest, ExitedIdIsNoLongerUsable) {
  ASSERT_EQ(0, zq_exit(b_));
  int16_t v = 1;
  TagRef t = tag(kDigital);
  EXPECT_EQ(-1, zq_write(b_, &t, 1, &v));
  EXPECT_EQ(ZQ_ENOTATTACHED, zq_errno(b_));
  EXPECT_EQ(-1, zq_exit(b_));
}

TEST_F(KernelTest, ExitWakesAThreadOfTheTaskBlockedInItsWait) {
  const TagRef t = tag(kDigital);
  std::atomic<int> error{0};
  std::thread waiter([&] {
    char buf[8];
    ChangeRecord rec;
    change_record_prepare(&rec, buf, sizeof buf);
    uint32_t index = 0;
    if (zq_change_wait(b_, &t, 1, &index, &rec) != 0) error = zq_errno(b_);
  });
  usleep(20000);
  ASSERT_EQ(0, zq_exit(b_));
  waiter.join();
  EXPECT_EQ(ZQ_ENOTATTACHED, error.load());
}

TEST_F(KernelTest, WaitIsWokenBySetChangeFromAnotherThreadOfTheTask) {
  const TagRef t = tag(kFloat);
  std::atomic<int> result{-100};
  std::thread waiter([&] {
    char buf[8];
    ChangeRecord rec;
    change_record_prepare(&rec, buf, sizeof buf);
    uint32_t index = 0;
    result = zq_change_wait(b_, &t, 1, &index, &rec);
  });
  usleep(20000);
  EXPECT_EQ(-100, result.load());
  ASSERT_EQ(0, zq_set_chg(b_, &t, 1));
  waiter.join();
  EXPECT_EQ(0, result.load());
}

TEST_F(KernelTest, StopRequestWinsOverChangesAndEndsWithTheTask) {
  const TagRef t = tag(kDigital);
  ASSERT_EQ(0, write16(a_, t, 1));
  ASSERT_EQ(0, zq_task_request_term(db_, "TASKB"));
  char buf[8];
  ChangeRecord rec;
  change_record_prepare(&rec, buf, sizeof buf);
  uint32_t index = 0;
  EXPECT_EQ(-1, zq_change_wait(b_, &t, 1, &index, &rec));
  EXPECT_EQ(ZQ_ESTOP, zq_errno(b_));
  // A scan does not look at the stop request.
  EXPECT_EQ(0, zq_get_chg(b_, &t, 1, &index, &rec));
  ASSERT_EQ(0, zq_exit(b_));
  int again = zq_init("TASKB", "", "n", "d", "u");
  ASSERT_GT(again, 0);
  EXPECT_EQ(0, zq_term_requested(again));
}

TEST_F(KernelTest, OperationsWithoutADatabaseFail) {
  zq_db_use(nullptr);
  TagRef t = {TAG_DIGITAL, 1};
  EXPECT_EQ(-1, zq_tag_info(&t, 1, nullptr, nullptr));
  EXPECT_EQ(ZQ_ENODB, zq_errno(-1));
  int16_t v = 0;
  EXPECT_EQ(-1, zq_read(a_, &t, 1, &v));
  EXPECT_EQ(ZQ_ENOTATTACHED, zq_errno(a_));
  zq_db_use(db_);
  EXPECT_EQ(0, zq_read(a_, &t, 1, &v));
}

TEST(KernelDatabase, CreationChecksDeclarationsAndLimits) {
  ZqDb* db = nullptr;
  const ZqTagDecl bad_type[] = {{6, 1, 0}};
  EXPECT_EQ(-1, zq_db_create(nullptr, bad_type, 1, nullptr, nullptr, &db));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(-1));
  const ZqTagDecl no_elements[] = {{TAG_DIGITAL, 0, 0}};
  EXPECT_EQ(-1, zq_db_create(nullptr, no_elements, 1, nullptr, nullptr, &db));
  const ZqTagDecl huge_text[] = {{TAG_MESSAGE, 1, ZQ_MAX_MESSAGE_CAPACITY + 1}};
  EXPECT_EQ(-1, zq_db_create(nullptr, huge_text, 1, nullptr, nullptr, &db));
  EXPECT_EQ(ZQ_ELIMIT, zq_errno(-1));
  const ZqTagDecl too_many[] = {{TAG_LONG, 60000, 0}, {TAG_LONG, 5535, 0}};
  EXPECT_EQ(-1, zq_db_create(nullptr, too_many, 2, nullptr, nullptr, &db));
  EXPECT_EQ(ZQ_ELIMIT, zq_errno(-1));
  const ZqTagDecl fine[] = {{TAG_LONG, 60000, 0}, {TAG_LONG, 5534, 0}, {TAG_MESSAGE, 1, 0}};
  ZqDbLimits no_slots = {0, 1024, 64};
  EXPECT_EQ(-1, zq_db_create(nullptr, fine, 3, &no_slots, nullptr, &db));
  EXPECT_EQ(ZQ_ELIMIT, zq_errno(-1));
  ZqDbLimits long_message = {8, 1u << 20, 70000};
  EXPECT_EQ(-1, zq_db_create(nullptr, fine, 3, &long_message, nullptr, &db));
  EXPECT_EQ(-1, zq_db_create("bad/name", fine, 3, nullptr, nullptr, &db));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(-1));
  EXPECT_EQ(-1, zq_db_create(nullptr, nullptr, 1, nullptr, nullptr, &db));
  EXPECT_EQ(-1, zq_db_create(nullptr, fine, 3, nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, db);

  TagRef first[3];
  ASSERT_EQ(0, zq_db_create(nullptr, fine, 3, nullptr, first, &db));
  EXPECT_EQ(60001, first[1].index);
  zq_db_use(db);
  EXPECT_EQ(80, zq_tag_capacity(first[2]));  // capacity 0 gives the default
  EXPECT_EQ(0, zq_tag_capacity(TagRef{TAG_LONG, 65534}));
  EXPECT_EQ(-1, zq_tag_capacity(TagRef{TAG_LONG, 65535}));
  zq_db_destroy(db);

  ASSERT_EQ(0, zq_db_create(nullptr, nullptr, 0, nullptr, nullptr, &db));  // no tags at all
  zq_fault_inject("zq_db_create", 1, ZQ_ESYS);
  ZqDb* other = nullptr;
  EXPECT_EQ(-1, zq_db_create(nullptr, nullptr, 0, nullptr, nullptr, &other));
  EXPECT_EQ(ZQ_ESYS, zq_errno(-1));
  zq_db_destroy(db);
}

TEST(KernelEnvironment, GetenvCopiesTheValueCutToTheBuffer) {
  setenv("ZQ_KERNEL_TEST_VAR", "abcdef", 1);
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_STREQ("abc", zq_getenv("ZQ_KERNEL_TEST_VAR", buf, sizeof buf));
  unsetenv("ZQ_KERNEL_TEST_VAR");
  EXPECT_STREQ("", zq_getenv("ZQ_KERNEL_TEST_VAR", buf, sizeof buf));
}

// ---- Fault injection and error texts --------------------------------------------------------

TEST_F(KernelTest, InjectedFaultsFailTheNextCallsOfThatOperationOnly) {
  TagRef t = tag(kDigital);
  int16_t v = 1;
  zq_fault_inject("zq_write", 2, ZQ_ESYS);
  EXPECT_EQ(-1, zq_write(a_, &t, 1, &v));
  EXPECT_EQ(ZQ_ESYS, zq_errno(a_));
  EXPECT_EQ(0, zq_f_write(a_, &t, 1, &v));
  EXPECT_EQ(0, zq_read(a_, &t, 1, &v));
  EXPECT_EQ(-1, zq_write(a_, &t, 1, &v));
  EXPECT_EQ(0, zq_write(a_, &t, 1, &v));
  zq_fault_inject("zq_read_mbx", 5, ZQ_ENOMSG);
  zq_fault_inject("zq_read_mbx", 0, 0);
  MbxMessage m = {};
  ASSERT_EQ(0, send(tag(kMailbox), "x"));
  EXPECT_EQ(0, zq_read_mbx(a_, a_, tag(kMailbox), &m, 0));
  zq_fault_inject("zq_change_wait", 1, ZQ_EINTR);
  uint32_t index = 0;
  char buf[4];
  ChangeRecord rec;
  change_record_prepare(&rec, buf, sizeof buf);
  EXPECT_EQ(-1, zq_change_wait(a_, &t, 1, &index, &rec));
  EXPECT_EQ(ZQ_EINTR, zq_errno(a_));
  zq_fault_inject("zq_init", 1, ZQ_ENODB);
  EXPECT_EQ(-1, zq_init("NEW", "", "n", "d", "u"));
  EXPECT_EQ(ZQ_ENODB, zq_errno(-1));
}

TEST(KernelErrors, EveryNumberHasItsOwnText) {
  const int numbers[] = {ZQ_EINVAL,    ZQ_ENOTATTACHED, ZQ_EBADTAG,   ZQ_EWRONGTYPE, ZQ_EMBXFULL,
                         ZQ_ENOSPACE,  ZQ_ETOOBIG,      ZQ_ENOMSG,    ZQ_ENODB,      ZQ_EEXIST,
                         ZQ_ENOCHANGE, ZQ_ETASKFULL,    ZQ_ETASKBUSY, ZQ_ENOTASK,    ZQ_ENOSIGNAL,
                         ZQ_ECORRUPT,  ZQ_ESYS,         ZQ_ELIMIT,    ZQ_ESTOP,      ZQ_EINTR};
  const std::string unknown = zq_strerror(9999);
  std::vector<std::string> seen;
  for (int n : numbers) {
    std::string text = zq_strerror(n);
    EXPECT_NE(unknown, text) << n;
    for (const std::string& s : seen) EXPECT_NE(s, text) << n;
    seen.push_back(text);
  }
  EXPECT_EQ(11, ZQ_ENOCHANGE);
  EXPECT_EQ(27, ZQ_ESTOP);
  EXPECT_EQ(34, ZQ_EINTR);
}

TEST(KernelValueSizes, MatchThePackedBlockLayout) {
  EXPECT_EQ(2u, tag_value_size(TAG_DIGITAL));
  EXPECT_EQ(2u, tag_value_size(TAG_ANALOG));
  EXPECT_EQ(8u, tag_value_size(TAG_FLOAT));
  EXPECT_EQ(16u, tag_value_size(TAG_MESSAGE));
  EXPECT_EQ(4u, tag_value_size(TAG_LONG));
  EXPECT_EQ(0u, tag_value_size(TAG_MAILBOX));
  EXPECT_EQ(0u, tag_value_size(99));
}

}  // namespace

namespace {

// ---- Shared-memory databases ----------------------------------------------------------------

std::string unique_name(const char* what) {
  return std::string("kt") + what + std::to_string(getpid());
}

TEST(SharedDatabase, TaskAttachesByNameAndSeesTheCreatorsValues) {
  const std::string zq_name = unique_name("attach");
  char shm[256];
  ASSERT_EQ(0, zq_db_shm_name(zq_name.c_str(), "dom", "usr", shm, sizeof shm));
  EXPECT_EQ("/zq." + zq_name + ".dom.usr", std::string(shm));
  const ZqTagDecl decls[] = {{TAG_ANALOG, 3, 0}, {TAG_MAILBOX, 1, 0}};
  TagRef first[2];
  ZqDb* db = nullptr;
  ASSERT_EQ(0, zq_db_create(shm, decls, 2, nullptr, first, &db));
  ZqDb* again = nullptr;
  EXPECT_EQ(-1, zq_db_create(shm, decls, 2, nullptr, first, &again));
  EXPECT_EQ(ZQ_EEXIST, zq_errno(-1));

  zq_db_use(nullptr);
  int id = zq_init("SHM", "task", zq_name.c_str(), "dom", "usr");
  ASSERT_GT(id, 0);
  ASSERT_NE(nullptr, zq_db_current());
  EXPECT_NE(db, zq_db_current());  // a mapping of its own
  TagRef t = first[0];
  int16_t v = 321;
  ASSERT_EQ(0, zq_write(id, &t, 1, &v));
  ASSERT_EQ(0, zq_exit(id));
  EXPECT_EQ(nullptr, zq_db_current());  // the last exit unmaps what zq_init opened

  zq_db_use(db);
  int reader = zq_init("READER", "", nullptr, nullptr, nullptr);
  ASSERT_GT(reader, 0);
  int16_t got = 0;
  ASSERT_EQ(0, zq_read(reader, &t, 1, &got));
  EXPECT_EQ(321, got);
  ASSERT_EQ(0, zq_db_destroy(db));
  EXPECT_EQ(nullptr, zq_db_current());
  ZqDb* gone = nullptr;
  EXPECT_EQ(-1, zq_db_open(shm, &gone));
  EXPECT_EQ(ZQ_ENODB, zq_errno(-1));
  EXPECT_EQ(-1, zq_init("SHM", "task", zq_name.c_str(), "dom", "usr"));
  EXPECT_EQ(ZQ_ENODB, zq_errno(-1));
}

TEST(SharedDatabase, OpenRefusesARegionThatIsNotAKernelDatabase) {
  const std::string shm = "/" + unique_name("corrupt");
  const ZqTagDecl decls[] = {{TAG_DIGITAL, 1, 0}};
  ZqDb* db = nullptr;
  ASSERT_EQ(0, zq_db_create(shm.c_str(), decls, 1, nullptr, nullptr, &db));
  ASSERT_EQ(0, zq_db_close(db));
  // Spoil the magic number through a fresh mapping.
  int fd = shm_open(shm.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(0, fstat(fd, &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  uint32_t junk = 0x12345678;
  ASSERT_EQ(static_cast<ssize_t>(sizeof junk), pwrite(fd, &junk, sizeof junk, 0));
  close(fd);
  ZqDb* opened = nullptr;
  EXPECT_EQ(-1, zq_db_open(shm.c_str(), &opened));
  EXPECT_EQ(ZQ_ECORRUPT, zq_errno(-1));
  EXPECT_EQ(nullptr, opened);
  EXPECT_EQ(0, zq_db_unlink(shm.c_str()));
  EXPECT_EQ(-1, zq_db_unlink(shm.c_str()));
  EXPECT_EQ(ZQ_ENODB, zq_errno(-1));
  EXPECT_EQ(-1, zq_db_open("no-slash", &opened));
  EXPECT_EQ(ZQ_EINVAL, zq_errno(-1));
}

}  // namespace
