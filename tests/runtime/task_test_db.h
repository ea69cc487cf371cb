// A private in-process database with the task "QUANTREL" attached through
// task_init and a second task, "WRITER", that changes tags and sends signals.
// A watchdog requests termination of QUANTREL if a test blocks too long, so
// that a wait that never returns fails the test instead of hanging it.
#ifndef ZQ_TESTS_RUNTIME_TASK_TEST_DB_H_
#define ZQ_TESTS_RUNTIME_TASK_TEST_DB_H_

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/zqkernel.h"
#include "runtime/catalogue.h"
#include "runtime/task.h"
#include "runtime/triggers.h"

class TaskDb : public ::testing::Test {
 protected:
  static constexpr uint16_t DIGITALS = 20;
  static constexpr uint16_t ANALOGS = 10;
  static constexpr uint16_t MESSAGE_CAPACITY = 160;
  static constexpr auto WATCHDOG_LIMIT = std::chrono::seconds(10);

  // Arguments for the task block; tests may change them before Attach().
  std::string arguments_ = "";
  std::string app_dir_ = "/tmp";

  void SetUp() override {
    const ZqTagDecl decls[] = {
        {TAG_DIGITAL, DIGITALS, 0},
        {TAG_ANALOG, ANALOGS, 0},
        {TAG_LONG, 1, 0},                    // status tag
        {TAG_MESSAGE, 1, MESSAGE_CAPACITY},  // message tag
        {TAG_MESSAGE, 1, MESSAGE_CAPACITY},  // a text trigger
    };
    TagRef first[5];
    ASSERT_EQ(zq_db_create(nullptr, decls, 5, nullptr, first, &db_), 0);
    zq_db_use(db_);
    digital0_ = first[0];
    analog0_ = first[1];
    status_tag_ = first[2];
    message_tag_ = first[3];
    text_tag_ = first[4];
    catalogue_clear();
    trigger_registry_reset();
    zq_fault_clear_all();
    watchdog_ = std::thread([this] { Watch(); });
  }

  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(watch_mutex_);
      done_ = true;
    }
    watch_cv_.notify_all();
    watchdog_.join();
    zq_fault_clear_all();
    trigger_registry_reset();
    if (writer_ >= 0) zq_exit(writer_);
    if (ctx_.task_id >= 0 && attached_) zq_exit(ctx_.task_id);
    if (ctx_.log_file) fclose(ctx_.log_file);
    zq_db_destroy(db_);
    catalogue_clear();
  }

  // Configures the task block and attaches QUANTREL (task_init) and WRITER.
  void Attach() {
    ZqTaskSetup setup = {};
    setup.arguments = arguments_.c_str();
    setup.app_dir = app_dir_.c_str();
    setup.bin_dir = "/usr/bin";
    setup.status_tag = status_tag_;
    setup.message_tag = message_tag_;
    ASSERT_EQ(zq_task_configure(db_, TASK_NAME, &setup), 0);
    memset(&ctx_, 0, sizeof ctx_);
    task_set_identity(&ctx_);
    ASSERT_EQ(task_init(&ctx_), 0);
    attached_ = true;
    writer_ = zq_init("WRITER", "test writer", "", "", "");
    ASSERT_GE(writer_, 0);
  }

  // The i-th digital tag (i from 0).
  TagRef Digital(uint16_t i) const { return TagRef{digital0_.type, uint16_t(digital0_.index + i)}; }
  TagRef Analog(uint16_t i) const { return TagRef{analog0_.type, uint16_t(analog0_.index + i)}; }

  // WRITER sets the tag to 1 and flags it changed for every task.
  void Change(TagRef tag) {
    int16_t one = 1;
    ASSERT_EQ(zq_f_write(writer_, &tag, 1, &one), 0);
  }

  int32_t StatusValue() {
    int32_t v = -1;
    EXPECT_EQ(zq_read(writer_, &status_tag_, 1, &v), 0);
    return v;
  }

  std::string MessageText() {
    char text[MESSAGE_CAPACITY + 1] = {};
    MessageValue value = {text, sizeof text, 0};
    unsigned char block[ZQ_VALUE_SLOT_MAX];
    memcpy(block, &value, sizeof value);
    EXPECT_EQ(zq_read(writer_, &message_tag_, 1, block), 0);
    return std::string(text);
  }

  ZqDb* db_ = nullptr;
  TaskContext ctx_ = {};
  int16_t writer_ = -1;
  bool attached_ = false;
  TagRef digital0_{}, analog0_{}, status_tag_{}, message_tag_{}, text_tag_{};

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(watch_mutex_);
    if (!watch_cv_.wait_for(lock, WATCHDOG_LIMIT, [this] { return done_; })) {
      ADD_FAILURE() << "test blocked: termination requested by the watchdog";
      zq_task_request_term(db_, TASK_NAME);
    }
  }

  std::thread watchdog_;
  std::mutex watch_mutex_;
  std::condition_variable watch_cv_;
  bool done_ = false;
};

#endif  // ZQ_TESTS_RUNTIME_TASK_TEST_DB_H_
