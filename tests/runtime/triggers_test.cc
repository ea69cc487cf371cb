// Trigger registry: ordering, registration, round-robin dispatch, the
// wake-up protocol, dispatch_tag_now and the failure paths.
#include "runtime/triggers.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "task_test_db.h"

namespace {

// What one handler call saw.
struct Call {
  int label;
  const void* user_data;
  int16_t value;
  MessageValue slot;  // the same value bytes, read as a text slot
};

std::mutex g_calls_mutex;
std::vector<Call> g_calls;

// A handler's user data: a label and the results it returns, one per call
// (0 once they run out).
struct Probe {
  int label;
  std::vector<int> results;
  size_t calls = 0;
};

void Record(int label, const void* user_data, const ChangeRecord& record) {
  std::lock_guard<std::mutex> lock(g_calls_mutex);
  g_calls.push_back({label, user_data, change_record_int16(record), change_record_message(record)});
}

int ProbeHandler(void* user_data, ChangeRecord record) {
  Probe* probe = static_cast<Probe*>(user_data);
  Record(probe->label, user_data, record);
  const size_t n = probe->calls++;
  return n < probe->results.size() ? probe->results[n] : 0;
}

// Handlers for registrations without user data.
int HandlerA(void* user_data, ChangeRecord record) {
  Record(-1, user_data, record);
  return 0;
}
int HandlerB(void* user_data, ChangeRecord record) {
  Record(-2, user_data, record);
  return 0;
}

std::vector<int> Labels() {
  std::lock_guard<std::mutex> lock(g_calls_mutex);
  std::vector<int> labels;
  for (const Call& c : g_calls) labels.push_back(c.label);
  return labels;
}

void ClearCalls() {
  std::lock_guard<std::mutex> lock(g_calls_mutex);
  g_calls.clear();
}

TEST(TagRefOrder, FirstHalfDecidesThenSecondAsUnsignedNumbers) {
  EXPECT_EQ(compare_tag_refs({1, 5}, {2, 0}), -1);
  EXPECT_EQ(compare_tag_refs({2, 0}, {1, 5}), 1);
  EXPECT_EQ(compare_tag_refs({1, 2}, {1, 2}), 0);
  EXPECT_EQ(compare_tag_refs({1, 0x8000}, {1, 1}), 1);       // unsigned, not signed
  EXPECT_EQ(compare_tag_refs({0xFFFD, 0}, {4, 0xFFFF}), 1);  // unset sorts last
  EXPECT_EQ(compare_tag_refs({0, 0xFFFF}, {1, 0}), -1);
}

// Binary search against a linear search, for every size up to 12 and every
// present tag and every gap (before, between, after).
TEST(FindTag, AgreesWithLinearSearchForEveryPositionAndGap) {
  uint32_t position = 99;
  EXPECT_FALSE(find_tag(nullptr, 0, TagRef{1, 1}, &position));
  EXPECT_EQ(position, 0u);
  for (uint32_t size = 1; size <= 12; ++size) {
    std::vector<TagRef> tags;
    for (uint32_t i = 0; i < size; ++i)
      tags.push_back(TagRef{uint16_t(i / 3), uint16_t(2 * i + 2)});
    for (uint32_t i = 0; i < size; ++i) {
      EXPECT_TRUE(find_tag(tags.data(), size, tags[i], &position)) << size << " " << i;
      EXPECT_EQ(position, i) << size;
    }
    for (uint32_t gap = 0; gap <= size; ++gap) {
      // A tag just below tags[gap] (or above the last one).
      TagRef probe = gap < size ? TagRef{tags[gap].type, uint16_t(tags[gap].index - 1)}
                                : TagRef{tags[size - 1].type, uint16_t(tags[size - 1].index + 1)};
      EXPECT_FALSE(find_tag(tags.data(), size, probe, &position)) << size << " " << gap;
      EXPECT_EQ(position, gap) << "size " << size;
    }
  }
}

class TriggerRegistryTest : public TaskDb {
 protected:
  void SetUp() override {
    TaskDb::SetUp();
    ClearCalls();
    Attach();
    ASSERT_EQ(signal_setup(&ctx_), 0);
  }

  // Registers digital tags 0..n-1 with one probe each (labels = index).
  void RegisterDigitals(uint16_t n) {
    probes_.resize(n);
    for (uint16_t i = 0; i < n; ++i) {
      probes_[i].label = i;
      TagRef tag = Digital(i);
      void* ud = &probes_[i];
      ASSERT_EQ(register_triggers(&ctx_, &tag, &ud, 1, ProbeHandler), 0);
    }
    // Registration wakes the task with signal 16; take that pass out of the way.
    ASSERT_EQ(zq_wait_event(&ctx_), 0);
    ASSERT_EQ(ctx_.wait_result, TRIGGER_WAKEUP_SIGNAL);
    ASSERT_TRUE(Labels().empty());
  }

  // True when no registered tag is left flagged as changed for the task.
  bool NothingPending() {
    std::vector<TagRef> tags;
    for (uint16_t i = 0; i < trigger_count(); ++i) tags.push_back(trigger_tag_at(i));
    uint32_t index = 0;
    char buffer[ZQ_CHANGE_TEXT_CAPACITY];
    ChangeRecord record;
    change_record_prepare(&record, buffer, sizeof buffer);
    if (zq_get_chg(ctx_.task_id, tags.data(), uint32_t(tags.size()), &index, &record) == 0) {
      // Put the flag back so the caller's view of the world is unchanged.
      zq_set_chg(ctx_.task_id, &tags[index], 1);
      return false;
    }
    return zq_errno(ctx_.task_id) == ZQ_ENOCHANGE;
  }

  std::vector<Probe> probes_;
};

TEST_F(TriggerRegistryTest, DescendingInsertionKeepsTagsAscending) {
  const TagRef order[] = {{1, 5}, {1, 2}, {0, 9}};
  for (TagRef t : order) ASSERT_EQ(register_triggers(&ctx_, &t, nullptr, 1, HandlerA), 0);
  ASSERT_EQ(trigger_count(), 3);
  EXPECT_EQ(compare_tag_refs(trigger_tag_at(0), {0, 9}), 0);
  EXPECT_EQ(compare_tag_refs(trigger_tag_at(1), {1, 2}), 0);
  EXPECT_EQ(compare_tag_refs(trigger_tag_at(2), {1, 5}), 0);
}

TEST_F(TriggerRegistryTest, SameTagTwiceIsOneEntryAndNewestHandlerRunsFirst) {
  TagRef tag = Digital(3);
  Probe older{7, {}};
  void* ud = &older;
  ASSERT_EQ(register_triggers(&ctx_, &tag, &ud, 1, ProbeHandler), 0);
  // Registered again without user data: the new handler gets null.
  ASSERT_EQ(register_triggers(&ctx_, &tag, nullptr, 1, HandlerB), 0);
  EXPECT_EQ(trigger_count(), 1);
  ASSERT_EQ(zq_wait_event(&ctx_), 0);  // the wake-up of the registrations
  Change(tag);
  ASSERT_EQ(zq_wait_event(&ctx_), 0);
  ASSERT_EQ(Labels(), (std::vector<int>{-2, 7}));
  EXPECT_EQ(g_calls[0].user_data, nullptr);
  EXPECT_EQ(g_calls[1].user_data, &older);
  EXPECT_EQ(g_calls[0].value, 1);  // both handlers see the same record
  EXPECT_EQ(g_calls[1].value, 1);
}

// Registrations of new tags are merged into the sorted list in one step;
// order and chains must come out as if each had been inserted at once,
// including a tag registered again before and after the merge.
TEST_F(TriggerRegistryTest, ShuffledRegistrationsKeepOrderAndNewestFirstChains) {
  std::vector<uint16_t> indexes;
  for (uint16_t i = 0; i < 20; ++i) indexes.push_back(uint16_t(i * 7 % 20));  // a permutation
  std::vector<Probe> probes(indexes.size());
  for (size_t k = 0; k < indexes.size(); ++k) {
    probes[k].label = 1000 + indexes[k];
    TagRef tag = Digital(indexes[k]);
    void* ud = &probes[k];
    ASSERT_EQ(register_triggers(&ctx_, &tag, &ud, 1, ProbeHandler), 0);
    if (indexes[k] == 9) {  // the same tag again, still unmerged
      ASSERT_EQ(register_triggers(&ctx_, &tag, nullptr, 1, HandlerA), 0);
    }
  }
  ASSERT_EQ(trigger_count(), 20);  // merged here
  for (uint16_t i = 0; i < 20; ++i) EXPECT_EQ(compare_tag_refs(trigger_tag_at(i), Digital(i)), 0);
  TagRef nine = Digital(9);
  ASSERT_EQ(register_triggers(&ctx_, &nine, nullptr, 1, HandlerB), 0);  // after the merge
  ASSERT_EQ(zq_wait_event(&ctx_), 0);
  ClearCalls();
  Change(nine);
  Change(Digital(19));
  ASSERT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{-2, -1, 1009, 1019}));
}

TEST_F(TriggerRegistryTest, ManyTagsInOneCallEachGetTheirOwnUserData) {
  Probe p0{100, {}}, p1{101, {}}, p2{102, {}};
  const TagRef tags[] = {Digital(5), Digital(1), Digital(5)};  // a repeat in the same call
  void* uds[] = {&p0, &p1, &p2};
  ASSERT_EQ(register_triggers(&ctx_, tags, uds, 3, ProbeHandler), 0);
  EXPECT_EQ(trigger_count(), 2);
  ASSERT_EQ(zq_wait_event(&ctx_), 0);
  Change(Digital(1));
  Change(Digital(5));
  ASSERT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{101, 102, 100}));
}

// Tags 2, 5 and 7 changed and the wait reports 5: 5, 7, then 2. The wait
// starts at 5 because the pass before failed in the handler of tag 5.
TEST_F(TriggerRegistryTest, PassRunsReportedTagThenLaterOnesThenEarlierOnes) {
  RegisterDigitals(10);
  probes_[5].results = {9};
  Change(Digital(5));
  EXPECT_EQ(zq_wait_event(&ctx_), 9);
  EXPECT_EQ(trigger_resume(), 5u);
  ClearCalls();

  Change(Digital(2));
  Change(Digital(7));
  Change(Digital(5));
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{5, 7, 2}));
  EXPECT_EQ(trigger_resume(), 0u);
  EXPECT_TRUE(NothingPending());
}

TEST_F(TriggerRegistryTest, ReportedLastTagWrapsToTheFrontInOrder) {
  RegisterDigitals(10);
  probes_[9].results = {4};
  Change(Digital(9));
  EXPECT_EQ(zq_wait_event(&ctx_), 4);
  ClearCalls();

  Change(Digital(3));
  Change(Digital(0));
  Change(Digital(9));
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{9, 0, 3}));
  EXPECT_TRUE(NothingPending());
}

TEST_F(TriggerRegistryTest, HandlerFailureEndsPassAndLeavesLaterTagsForTheNextPass) {
  RegisterDigitals(8);
  probes_[1].results = {5};
  Change(Digital(1));
  Change(Digital(4));
  Change(Digital(6));
  EXPECT_EQ(zq_wait_event(&ctx_), 5);
  EXPECT_EQ(Labels(), (std::vector<int>{1}));
  EXPECT_EQ(trigger_resume(), 1u);
  EXPECT_FALSE(NothingPending());

  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{1, 4, 6}));
  EXPECT_TRUE(NothingPending());
}

TEST_F(TriggerRegistryTest, FailureInTheWrappedPartKeepsThatTagAsResumePoint) {
  RegisterDigitals(8);
  probes_[6].results = {3};
  Change(Digital(6));
  EXPECT_EQ(zq_wait_event(&ctx_), 3);  // resume is now 6
  probes_[2].results = {8};
  ClearCalls();
  Change(Digital(2));
  Change(Digital(6));
  EXPECT_EQ(zq_wait_event(&ctx_), 8);
  EXPECT_EQ(Labels(), (std::vector<int>{6, 2}));
  EXPECT_EQ(trigger_resume(), 2u);
}

int g_register_from_handler_calls = 0;
TaskContext* g_handler_ctx = nullptr;
TagRef g_tag_to_register{};

int RegisteringHandler(void* user_data, ChangeRecord record) {
  Record(-3, user_data, record);
  ++g_register_from_handler_calls;
  return register_triggers(g_handler_ctx, &g_tag_to_register, nullptr, 1, HandlerA);
}

TEST_F(TriggerRegistryTest, RegistrationInsideAHandlerEndsThePassWithZero) {
  RegisterDigitals(4);
  TagRef tag = Digital(0);
  g_handler_ctx = &ctx_;
  g_tag_to_register = Digital(10);
  g_register_from_handler_calls = 0;
  ASSERT_EQ(register_triggers(&ctx_, &tag, nullptr, 1, RegisteringHandler), 0);
  ASSERT_EQ(zq_wait_event(&ctx_), 0);  // wake-up
  ClearCalls();

  Change(Digital(0));
  Change(Digital(2));
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  // The registering handler is the newest on tag 0: the pass ends right after
  // it (the arrays may have moved), before the older handler of tag 0.
  EXPECT_EQ(Labels(), (std::vector<int>{-3}));
  EXPECT_EQ(trigger_count(), 5);
  EXPECT_EQ(g_register_from_handler_calls, 1);
  EXPECT_FALSE(NothingPending());

  // The registration woke the task itself; then tag 2 follows.
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(ctx_.wait_result, TRIGGER_WAKEUP_SIGNAL);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{-3, 2}));
  EXPECT_TRUE(NothingPending());
}

TEST_F(TriggerRegistryTest, MessageValueArrivesInTheDispatcherBuffer) {
  struct Seen {
    std::string text;
    uint16_t length = 0;
  } seen;
  TagRef tag = text_tag_;
  void* ud = &seen;
  auto handler = [](void* user_data, ChangeRecord record) {
    MessageValue v = change_record_message(record);
    static_cast<Seen*>(user_data)->text.assign(v.text, v.length);
    static_cast<Seen*>(user_data)->length = v.length;
    return 0;
  };
  ASSERT_EQ(register_triggers(&ctx_, &tag, &ud, 1, handler), 0);
  ASSERT_EQ(zq_wait_event(&ctx_), 0);
  char text[] = "pump 3 on";
  MessageValue value = {text, sizeof text, uint16_t(strlen(text))};
  unsigned char block[ZQ_VALUE_SLOT_MAX] = {};
  memcpy(block, &value, sizeof value);
  ASSERT_EQ(zq_write(writer_, &tag, 1, block), 0);
  ASSERT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(seen.text, "pump 3 on");
  EXPECT_EQ(seen.length, strlen(text));
}

TEST_F(TriggerRegistryTest, WakeUpSignalEndsPassWithoutHandlers) {
  RegisterDigitals(3);
  ASSERT_EQ(zq_send_signal(writer_, TASK_NAME, TRIGGER_WAKEUP_SIGNAL), 0);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(ctx_.wait_result, TRIGGER_WAKEUP_SIGNAL);
  EXPECT_TRUE(Labels().empty());
  EXPECT_EQ(task_should_stop(&ctx_), 0);
  EXPECT_EQ(ctx_.waiting, 0);
}

TEST_F(TriggerRegistryTest, StopSignalEndsPassAndTheLoop) {
  RegisterDigitals(3);
  ASSERT_EQ(zq_signal_setup(ctx_.task_id, TRIGGER_STOP_SIGNAL, 0), 0);
  ASSERT_EQ(zq_send_signal(writer_, TASK_NAME, TRIGGER_STOP_SIGNAL), 0);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(ctx_.wait_result, 1);
  EXPECT_TRUE(Labels().empty());
  EXPECT_EQ(task_should_stop(&ctx_), 1);
}

// The record is the one prepared for the wait: it names the dispatcher's
// text buffer and holds no value.
TEST_F(TriggerRegistryTest, OtherSignalRunsTheTagAtTheResumePointWithThePreparedRecord) {
  constexpr int OTHER_SIGNAL = 5;
  RegisterDigitals(3);
  ASSERT_EQ(zq_signal_setup(ctx_.task_id, OTHER_SIGNAL, 0), 0);
  ASSERT_EQ(zq_send_signal(writer_, TASK_NAME, OTHER_SIGNAL), 0);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(ctx_.wait_result, OTHER_SIGNAL);
  ASSERT_EQ(Labels(), (std::vector<int>{0}));
  EXPECT_NE(g_calls[0].slot.text, nullptr);
  EXPECT_EQ(g_calls[0].slot.capacity, ZQ_CHANGE_TEXT_CAPACITY);
  EXPECT_EQ(g_calls[0].slot.length, 0);
}

TEST_F(TriggerRegistryTest, OtherSignalWithNoTagsRegisteredRunsNothing) {
  constexpr int OTHER_SIGNAL = 6;
  ASSERT_EQ(zq_signal_setup(ctx_.task_id, OTHER_SIGNAL, 0), 0);
  ASSERT_EQ(zq_send_signal(writer_, TASK_NAME, OTHER_SIGNAL), 0);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(ctx_.wait_result, OTHER_SIGNAL);
  EXPECT_TRUE(Labels().empty());
}

TEST_F(TriggerRegistryTest, TerminationRequestMakesWaitResultOne) {
  RegisterDigitals(2);
  ASSERT_EQ(zq_task_request_term(db_, TASK_NAME), 0);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(ctx_.wait_result, 1);
  EXPECT_EQ(task_should_stop(&ctx_), 1);
}

// A registration on another thread while the main thread is blocked in the
// wait: the wait gives the registry up, the registration completes, and the
// next pass dispatches the new tag.
TEST_F(TriggerRegistryTest, RegistrationFromAnotherThreadWakesTheWaitingPass) {
  RegisterDigitals(2);
  std::atomic<int> passes{0};
  std::atomic<bool> stop{false};
  std::thread loop([&] {
    while (!stop) {
      zq_wait_event(&ctx_);
      ++passes;
      if (ctx_.wait_result == 1) break;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in the kernel
  EXPECT_EQ(passes.load(), 0);

  Probe late{42, {}};
  TagRef tag = Digital(12);
  void* ud = &late;
  ASSERT_EQ(register_triggers(&ctx_, &tag, &ud, 1, ProbeHandler), 0);
  EXPECT_EQ(trigger_count(), 3);
  Change(tag);
  auto seen = [] {
    std::vector<int> labels = Labels();
    return std::count(labels.begin(), labels.end(), 42);
  };
  for (int i = 0; i < 2000 && seen() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(seen(), 1);
  EXPECT_GE(passes.load(), 1);

  stop = true;
  ASSERT_EQ(zq_task_request_term(db_, TASK_NAME), 0);
  loop.join();
}

std::atomic<bool> g_in_handler{false};
std::atomic<bool> g_other_started{false};
int g_handler_registration = -1;

int RegisterWhileOtherThreadRegisters(void*, ChangeRecord) {
  g_in_handler = true;
  while (!g_other_started) std::this_thread::yield();
  // Let the other thread take the registration lock and block on the
  // registry lock this pass holds.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  g_handler_registration =
      register_triggers(g_handler_ctx, &g_tag_to_register, nullptr, 1, HandlerA);
  return 0;
}

// A handler registering while another thread is inside a registration must
// not wait for that thread's registration lock: that thread waits for the
// registry lock the handler's pass holds.
TEST_F(TriggerRegistryTest, HandlerRegistrationWhileAnotherThreadRegistersCompletes) {
  RegisterDigitals(2);
  g_handler_ctx = &ctx_;
  g_tag_to_register = Digital(15);
  g_in_handler = false;
  g_other_started = false;
  g_handler_registration = -1;
  TagRef tag = Digital(0);
  ASSERT_EQ(register_triggers(&ctx_, &tag, nullptr, 1, RegisterWhileOtherThreadRegisters), 0);
  ASSERT_EQ(zq_wait_event(&ctx_), 0);  // wake-up
  int other_result = -1;
  std::thread other([&] {
    while (!g_in_handler) std::this_thread::yield();
    g_other_started = true;
    TagRef late = Digital(17);
    other_result = register_triggers(&ctx_, &late, nullptr, 1, HandlerB);
  });
  Change(tag);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  other.join();
  EXPECT_EQ(g_handler_registration, 0);
  EXPECT_EQ(other_result, 0);
  EXPECT_EQ(trigger_count(), 4);
}

TEST_F(TriggerRegistryTest, DispatchNowReadsTheTagAndRunsTheWholeChain) {
  TagRef tag = Analog(4);
  Probe first{1, {6}}, second{2, {0}}, third{3, {7}};
  for (Probe* p : {&first, &second, &third}) {
    void* ud = p;
    ASSERT_EQ(register_triggers(&ctx_, &tag, &ud, 1, ProbeHandler), 0);
  }
  int16_t value = 1234;
  ASSERT_EQ(zq_write(writer_, &tag, 1, &value), 0);
  // Newest first; a failure does not stop the walk; the last failure wins.
  EXPECT_EQ(dispatch_tag_now(&ctx_, tag), 6);
  EXPECT_EQ(trigger_count(), 1);
  ASSERT_EQ(Labels(), (std::vector<int>{3, 2, 1}));
  for (const Call& c : g_calls) EXPECT_EQ(c.value, 1234);
}

TEST_F(TriggerRegistryTest, DispatchNowOfAnUnregisteredTagReadsNothing) {
  TagRef registered = Digital(1);
  ASSERT_EQ(register_triggers(&ctx_, &registered, nullptr, 1, HandlerA), 0);
  zq_fault_inject("zq_read", 1, ZQ_EBADTAG);
  EXPECT_EQ(dispatch_tag_now(&ctx_, Digital(2)), TRIGGER_NOT_REGISTERED);
  EXPECT_TRUE(Labels().empty());
  // The injected failure is still there: the unregistered tag was not read.
  EXPECT_EQ(dispatch_tag_now(&ctx_, registered), ZQ_EBADTAG);
  EXPECT_TRUE(Labels().empty());
  EXPECT_EQ(dispatch_tag_now(&ctx_, registered), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{-1}));
}

TEST_F(TriggerRegistryTest, TagTypeComesFromTheKernel) {
  EXPECT_EQ(tag_type_of(Digital(0)), TAG_DIGITAL);
  EXPECT_EQ(tag_type_of(Analog(3)), TAG_ANALOG);
  EXPECT_EQ(tag_type_of(text_tag_), TAG_MESSAGE);
  EXPECT_EQ(tag_type_of(status_tag_), TAG_LONG);
  EXPECT_EQ(tag_type_of(ZQ_UNSET_TAG), TRIGGER_TYPE_UNKNOWN);
  EXPECT_EQ(tag_type_of(TagRef{TAG_DIGITAL, 0}), TRIGGER_TYPE_UNKNOWN);
}

TEST_F(TriggerRegistryTest, FailedWaitIsReturnedAndResetsTheResumePoint) {
  RegisterDigitals(4);
  probes_[2].results = {1};
  Change(Digital(2));
  ASSERT_EQ(zq_wait_event(&ctx_), 1);
  ASSERT_EQ(trigger_resume(), 2u);

  zq_fault_inject("zq_change_wait", 1, ZQ_ENOTATTACHED);
  EXPECT_EQ(zq_wait_event(&ctx_), ZQ_ENOTATTACHED);
  EXPECT_EQ(ctx_.wait_result, ZQ_ENOTATTACHED);
  EXPECT_EQ(trigger_resume(), 0u);

  zq_fault_inject("zq_change_wait", 1, ZQ_ESTOP);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(ctx_.wait_result, 1);
}

TEST_F(TriggerRegistryTest, FailedScanEndsThePassWithTheKernelError) {
  RegisterDigitals(4);
  Change(Digital(0));
  Change(Digital(3));
  zq_fault_inject("zq_get_chg", 1, ZQ_ESYS);
  EXPECT_EQ(zq_wait_event(&ctx_), ZQ_ESYS);
  EXPECT_EQ(Labels(), (std::vector<int>{0}));
  EXPECT_EQ(zq_wait_event(&ctx_), 0);  // the scan's tag is still pending
  EXPECT_EQ(Labels(), (std::vector<int>{0, 3}));
}

TEST_F(TriggerRegistryTest, FailedSignalQueryEndsThePassWithTheKernelError) {
  RegisterDigitals(2);
  zq_fault_inject("zq_change_wait", 1, ZQ_EINTR);
  zq_fault_inject("zq_get_signal", 1, ZQ_ENOTATTACHED);
  EXPECT_EQ(zq_wait_event(&ctx_), ZQ_ENOTATTACHED);
  EXPECT_EQ(ctx_.wait_result, -1);
  EXPECT_TRUE(Labels().empty());
}

TEST_F(TriggerRegistryTest, RefusedSignalSetUpIsReported) {
  zq_fault_inject("zq_signal_setup", 1, ZQ_ENOSIGNAL);
  EXPECT_EQ(signal_setup(&ctx_), -1);
}

// Every allocation of a registration failing in turn: the call returns 2 and
// the registry keeps exactly what it had, and works afterwards.
TEST_F(TriggerRegistryTest, OutOfMemoryLeavesTheRegistryAsItWas) {
  RegisterDigitals(3);
  const TagRef tags[] = {Digital(8), Digital(1), Digital(9)};  // two new, one known
  void* uds[] = {&probes_[0], &probes_[1], &probes_[2]};
  for (int successes = 0; successes < 5; ++successes) {
    trigger_fail_allocations_after(successes);
    EXPECT_EQ(register_triggers(&ctx_, tags, uds, 3, ProbeHandler), TRIGGER_NO_MEMORY) << successes;
    ASSERT_EQ(trigger_count(), 3);
    for (uint16_t i = 0; i < 3; ++i) EXPECT_EQ(compare_tag_refs(trigger_tag_at(i), Digital(i)), 0);
  }
  trigger_fail_allocations_after(-1);
  EXPECT_EQ(zq_wait_event(&ctx_), 0);  // the wake-ups the attempts sent
  EXPECT_EQ(ctx_.wait_result, TRIGGER_WAKEUP_SIGNAL);

  Change(Digital(1));
  EXPECT_EQ(zq_wait_event(&ctx_), 0);
  EXPECT_EQ(Labels(), (std::vector<int>{1}));  // no half-made node on tag 1

  ASSERT_EQ(register_triggers(&ctx_, tags, uds, 3, ProbeHandler), 0);
  EXPECT_EQ(trigger_count(), 5);
}

TEST_F(TriggerRegistryTest, RegistryHoldsAtMostTheTagsItCanCount) {
  std::vector<TagRef> tags;
  for (uint32_t i = 0; i < TRIGGER_MAX_TAGS; ++i)
    tags.push_back(TagRef{uint16_t(i >> 14), uint16_t(i)});
  ASSERT_EQ(register_triggers(&ctx_, tags.data(), nullptr, uint16_t(tags.size()), HandlerA), 0);
  EXPECT_EQ(trigger_count(), TRIGGER_MAX_TAGS);
  TagRef fresh = {7, 1};
  EXPECT_EQ(register_triggers(&ctx_, &fresh, nullptr, 1, HandlerA), TRIGGER_NO_MEMORY);
  EXPECT_EQ(register_triggers(&ctx_, &tags[100], nullptr, 1, HandlerB), 0);  // a known tag fits
  EXPECT_EQ(trigger_count(), TRIGGER_MAX_TAGS);
  EXPECT_EQ(compare_tag_refs(trigger_tag_at(TRIGGER_MAX_TAGS - 1), tags.back()), 0);
}

TEST_F(TriggerRegistryTest, RegistrationWithoutHandlerOrTagsIsRefused) {
  TagRef tag = Digital(0);
  EXPECT_EQ(register_triggers(&ctx_, &tag, nullptr, 1, nullptr), TRIGGER_BAD_ARGUMENT);
  EXPECT_EQ(register_triggers(&ctx_, nullptr, nullptr, 1, HandlerA), TRIGGER_BAD_ARGUMENT);
  EXPECT_EQ(register_triggers(&ctx_, &tag, nullptr, 0, HandlerA), 0);
  EXPECT_EQ(trigger_count(), 0);
}

}  // namespace
