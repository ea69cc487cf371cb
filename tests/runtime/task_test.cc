// Task start-up: the "-LS" option, task_init with the options of the task
// block, the stop test, the main loop and the start banner.
#include "runtime/task.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/report.h"
#include "task_test_db.h"

namespace {

// Sets (or with null unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

int32_t Scan(const char* args, int expected_result = 0) {
  int32_t value = -7;
  EXPECT_EQ(scan_ls_option(args, &value), expected_result) << (args ? args : "(null)");
  return value;
}

TEST(LsOption, DigitsAfterTheOptionInAnyCase) {
  EXPECT_EQ(Scan("-LS12"), 12);
  EXPECT_EQ(Scan("-d3 -ls7 -x"), 7);
  EXPECT_EQ(Scan("-lS42abc"), 42);  // trailing text ignored
  EXPECT_EQ(Scan("x-LS3"), 3);      // found anywhere, not by token
  EXPECT_EQ(Scan("-LS0"), 0);
  EXPECT_EQ(Scan("-LS99999999999999"), INT32_MAX);
  EXPECT_EQ(scan_ls_option("-LS5", nullptr), 0);
}

TEST(LsOption, NothingUsableGivesMinusOneAndLeavesTheValue) {
  EXPECT_EQ(Scan(nullptr, -1), -7);
  EXPECT_EQ(Scan("", -1), -7);
  EXPECT_EQ(Scan("-LS", -1), -7);
  EXPECT_EQ(Scan("-LS 5", -1), -7);
  EXPECT_EQ(Scan("-LSx -LS4", -1), -7);  // only the first occurrence counts
  EXPECT_EQ(Scan("-L", -1), -7);
  EXPECT_EQ(Scan("-d -l", -1), -7);
  EXPECT_EQ(scan_ls_option("-LSx", nullptr), -1);
}

TEST(LsOption, QuotedOccurrencesAreSkipped) {
  EXPECT_EQ(Scan("\"-LS5\"", -1), -7);
  EXPECT_EQ(Scan("\"-LS5\" -LS6"), 6);
  EXPECT_EQ(Scan("\"a b\" -LS3 \"c\""), 3);
  EXPECT_EQ(Scan("\"unclosed -LS3", -1), -7);
  EXPECT_EQ(Scan("-\"LS3", -1), -7);
}

TEST(LsOption, BracesNameAnEnvironmentVariable) {
  {
    ScopedEnv port("PORTNO", "12");
    EXPECT_EQ(Scan("-LS{PORTNO}"), 12);
    EXPECT_EQ(Scan("-ls{PORTNO}tail"), 12);
    EXPECT_EQ(Scan("-LS{PORTNO", -1), -7);  // no closing brace
    EXPECT_EQ(Scan("-LS{PORT}", -1), -7);   // a prefix of the name is another name
    EXPECT_EQ(Scan("-LS{PORTNOX}", -1), -7);
  }
  {
    ScopedEnv port("PORTNO", nullptr);
    EXPECT_EQ(Scan("-LS{PORTNO}", -1), -7);
  }
  {
    ScopedEnv port("PORTNO", "15x");
    EXPECT_EQ(Scan("-LS{PORTNO}"), 15);
  }
  {
    ScopedEnv port("PORTNO", "x15");
    EXPECT_EQ(Scan("-LS{PORTNO} -LS4", -1), -7);
  }
  {
    ScopedEnv port("PORTNO", "");
    EXPECT_EQ(Scan("-LS{PORTNO}", -1), -7);
  }
  EXPECT_EQ(Scan("-LS{}", -1), -7);
}

class TaskStartTest : public TaskDb {};

TEST_F(TaskStartTest, InitAttachesAndReadsTheTaskBlock) {
  ScopedEnv port("QPORT", "23");
  arguments_ = "-LS{QPORT} -x";
  Attach();
  EXPECT_GE(ctx_.task_id, 0);
  EXPECT_EQ(ctx_.ls_option, 23);
  EXPECT_EQ(compare_tag_refs(task_status_tag(&ctx_), status_tag_), 0);
  EXPECT_EQ(compare_tag_refs(task_message_tag(&ctx_), message_tag_), 0);
  EXPECT_STREQ(task_arguments(&ctx_), "-LS{QPORT} -x");
  EXPECT_EQ(ctx_.exact_levels, 1);
  EXPECT_EQ(ctx_.console_level, 0);
  EXPECT_EQ(ctx_.file_level, 0);
  EXPECT_EQ(ctx_.log_file, nullptr);
  EXPECT_STREQ(ctx_.task_name, "QUANTREL");
  EXPECT_EQ(ctx_.version, 0x0201);
}

TEST_F(TaskStartTest, TraceOptionsComeFromTheArgumentString) {
  char dir[] = "/tmp/quantrel-task-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  app_dir_ = dir;
  arguments_ = "-d0 -ls3";  // -d0 is level 1; -ls3 holds "-l" and so opens the log
  Attach();
  EXPECT_EQ(ctx_.console_level, 1);
  EXPECT_EQ(ctx_.file_level, 1);
  EXPECT_EQ(ctx_.ls_option, 3);
  ASSERT_NE(ctx_.log_file, nullptr);
  EXPECT_NE(std::string(ctx_.log_path).find("/log/QUANTREL.log"), std::string::npos);
  struct stat st;
  EXPECT_EQ(stat(ctx_.log_path, &st), 0);
  std::string cleanup = std::string("rm -rf '") + dir + "'";
  EXPECT_EQ(system(cleanup.c_str()), 0);
}

TEST_F(TaskStartTest, BareDebugOptionGivesLevelOne) {
  arguments_ = "-d";
  Attach();
  EXPECT_EQ(ctx_.console_level, 1);
  EXPECT_EQ(ctx_.file_level, 0);
  EXPECT_EQ(ctx_.ls_option, 0);
}

TEST_F(TaskStartTest, MissingTimeZoneBecomesGmtAndAGivenOneStays) {
  {
    ScopedEnv tz("TZ", nullptr);
    Attach();
    ASSERT_NE(getenv("TZ"), nullptr);
    EXPECT_STREQ(getenv("TZ"), "GMT0");
    EXPECT_EQ(timezone, 0);
    EXPECT_EQ(daylight, 0);
    zq_exit(ctx_.task_id);
    zq_exit(writer_);
    writer_ = -1;
    attached_ = false;
  }
  ScopedEnv tz("TZ", "EST5EDT");
  memset(&ctx_, 0, sizeof ctx_);
  task_set_identity(&ctx_);
  ASSERT_EQ(task_init(&ctx_), 0);
  attached_ = true;
  EXPECT_STREQ(getenv("TZ"), "EST5EDT");
  EXPECT_EQ(timezone, 5 * 3600);
}

TEST_F(TaskStartTest, KernelRefusalsGiveTheirOwnResults) {
  ZqTaskSetup setup = {};
  setup.arguments = "";
  setup.app_dir = "/tmp";
  setup.bin_dir = "/tmp";
  setup.status_tag = status_tag_;
  setup.message_tag = message_tag_;
  ASSERT_EQ(zq_task_configure(db_, TASK_NAME, &setup), 0);
  task_set_identity(&ctx_);

  zq_fault_inject("zq_init", 1, ZQ_ETASKFULL);
  EXPECT_EQ(task_init(&ctx_), TASK_INIT_NOT_ATTACHED);
  EXPECT_LT(ctx_.task_id, 0);

  zq_fault_inject("zq_task_info", 1, ZQ_ENOTATTACHED);
  EXPECT_EQ(task_init(&ctx_), TASK_INIT_NO_TASK_INFO);
  EXPECT_GE(ctx_.task_id, 0);
  attached_ = true;
}

TEST_F(TaskStartTest, BannerShowsTaskVersionAndDirectories) {
  arguments_ = "-d1";
  app_dir_ = "/srv/app";
  testing::internal::CaptureStdout();
  Attach();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("START of QUANTREL: Quantrel Version 2.1"), std::string::npos) << out;
  EXPECT_NE(out.find(" ZQAPP\t\t</srv/app>"), std::string::npos) << out;
  EXPECT_NE(out.find(" ZQBIN\t\t</usr/bin>"), std::string::npos) << out;
}

TEST_F(TaskStartTest, StopTestFollowsTheLastWait) {
  Attach();
  ctx_.waiting = 1;
  ctx_.wait_result = 34;
  EXPECT_EQ(task_should_stop(&ctx_), 0);
  EXPECT_EQ(ctx_.waiting, 0);
  EXPECT_EQ(ctx_.wait_result, 0);

  EXPECT_EQ(task_should_stop(&ctx_), 0);  // not waiting, no request

  ctx_.waiting = 1;
  ctx_.wait_result = 1;
  EXPECT_EQ(task_should_stop(&ctx_), 1);

  ASSERT_EQ(zq_task_request_term(db_, TASK_NAME), 0);
  ctx_.waiting = 0;
  EXPECT_EQ(task_should_stop(&ctx_), 1);
  ctx_.waiting = 1;
  ctx_.wait_result = 16;
  EXPECT_EQ(task_should_stop(&ctx_), 1);
}

// A wait failing with kernel error 1 is reported as "ZQ_CHG_WAIT" with 1 and,
// since the wait result is then 1, also ends the loop.
TEST_F(TaskStartTest, WaitErrorOneIsReportedAndEndsTheLoop) {
  Attach();
  ASSERT_EQ(catalogue_insert("ZQ_CHG_WAIT", "change wait failed: %d"), 0);
  zq_fault_inject("zq_change_wait", 1, 1);
  task_main_loop(&ctx_);
  EXPECT_EQ(MessageText(), "change wait failed: 1");
  EXPECT_EQ(StatusValue(), STATUS_ERROR);
}

int g_failures_left = 0;
ZqDb* g_db_for_handler = nullptr;

int FailOnceThenAskToStop(void*, ChangeRecord) {
  if (g_failures_left == 0) return 0;
  --g_failures_left;
  zq_task_request_term(g_db_for_handler, TASK_NAME);
  return 5;
}

TEST_F(TaskStartTest, HandlerFailureIsReportedAndTheLoopGoesOnUntilStopped) {
  Attach();
  ASSERT_EQ(signal_setup(&ctx_), 0);
  ASSERT_EQ(catalogue_insert("ZQ_CHG_WAIT", "pass ended with %d"), 0);
  TagRef tag = Digital(0);
  g_failures_left = 1;
  g_db_for_handler = db_;
  ASSERT_EQ(register_triggers(&ctx_, &tag, nullptr, 1, FailOnceThenAskToStop), 0);
  Change(tag);
  task_main_loop(&ctx_);  // wake-up pass, then the failing pass, then the stop
  EXPECT_EQ(g_failures_left, 0);
  EXPECT_EQ(MessageText(), "pass ended with 5");
  EXPECT_EQ(StatusValue(), STATUS_ERROR);
}

TEST_F(TaskStartTest, TerminationRightAwayEndsTheLoopWithoutAReport) {
  Attach();
  ASSERT_EQ(zq_task_request_term(db_, TASK_NAME), 0);
  task_main_loop(&ctx_);
  EXPECT_EQ(MessageText(), "");
}

using TaskExitDeathTest = TaskStartTest;

TEST_F(TaskExitDeathTest, ExitStatusIsTheProcessStatus) {
  GTEST_FLAG_SET(death_test_style, "fast");
  Attach();
  EXPECT_EXIT(task_exit(&ctx_, 0), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(task_exit(&ctx_, 1), testing::ExitedWithCode(1), "");
}

}  // namespace
