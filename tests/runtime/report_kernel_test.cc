// task_report: the message tag gets the catalogue text, the status tag the
// status code, through a kernel database in private memory.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "runtime/catalogue.h"
#include "runtime/report.h"

namespace {

constexpr uint16_t kMessageCapacity = 160;

class Report : public ::testing::Test {
 protected:
  enum Decl { MESSAGE, STATUS_LONG, STATUS_ANALOG, STATUS_FLOAT, DECL_COUNT };

  void SetUp() override {
    const ZqTagDecl decls[DECL_COUNT] = {
        {TAG_MESSAGE, 1, kMessageCapacity},
        {TAG_LONG, 1, 0},
        {TAG_ANALOG, 1, 0},
        {TAG_FLOAT, 1, 0},
    };
    ZqDbLimits limits;
    zq_db_default_limits(&limits);
    ASSERT_EQ(zq_db_create(nullptr, decls, DECL_COUNT, &limits, refs_, &db_), 0);
    zq_db_use(db_);
    use_status_tag(refs_[STATUS_LONG]);
    catalogue_clear();
    snprintf(ctx_.task_name, sizeof ctx_.task_name, "QUANTREL");
    ctx_.task_id = zq_init("QUANTREL", "Quantrel", "n", "d", "u");
    ASSERT_GE(ctx_.task_id, 0);
    ASSERT_EQ(zq_task_info(ctx_.task_id, ctx_.kernel_block), 0);
  }
  void TearDown() override {
    zq_fault_clear_all();
    catalogue_clear();
    if (ctx_.task_id >= 0) zq_exit(ctx_.task_id);
    zq_db_use(nullptr);
    zq_db_destroy(db_);
  }
  void use_status_tag(TagRef status) {
    ZqTaskSetup setup{};
    setup.arguments = "";
    setup.app_dir = "/app";
    setup.bin_dir = "/bin";
    setup.status_tag = status;
    setup.message_tag = refs_[MESSAGE];
    ASSERT_EQ(zq_task_configure(db_, "QUANTREL", &setup), 0);
    if (ctx_.task_id > 0) {
      ASSERT_EQ(zq_task_info(ctx_.task_id, ctx_.kernel_block), 0);
    }
  }
  std::string message() {
    char text[ZQ_MAX_MESSAGE_CAPACITY + 1] = {};
    MessageValue value = {text, sizeof text, 0};
    unsigned char block[ZQ_VALUE_SLOT_MAX];
    memcpy(block, &value, sizeof value);
    EXPECT_EQ(zq_read(ctx_.task_id, &refs_[MESSAGE], 1, block), 0);
    return text;
  }
  int32_t status_long() {
    int32_t v = -99;
    EXPECT_EQ(zq_read(ctx_.task_id, &refs_[STATUS_LONG], 1, &v), 0);
    return v;
  }

  ZqDb* db_ = nullptr;
  TagRef refs_[DECL_COUNT] = {};
  TaskContext ctx_{};
};

TEST_F(Report, WithoutCatalogueTheKeyIsTheMessage) {
  task_report(&ctx_, "START", STATUS_STARTING);
  EXPECT_EQ(message(), "START");
  EXPECT_EQ(status_long(), STATUS_STARTING);
}

TEST_F(Report, CatalogueTextIsFormattedWithTheArguments) {
  ASSERT_EQ(catalogue_insert("IMX_SEND", "Data source %s: sending failed with error %d"), 0);
  task_report(&ctx_, "IMX_SEND", STATUS_ERROR, "DS1", 405);
  EXPECT_EQ(message(), "Data source DS1: sending failed with error 405");
  EXPECT_EQ(status_long(), STATUS_ERROR);
}

TEST_F(Report, TextNotFittingItsArgumentsShowsPlaceholdersAndCrashesNothing) {
  ASSERT_EQ(catalogue_insert("MAX_MSG", "limit %s for %s, %d, %d"), 0);
  task_report(&ctx_, "MAX_MSG", STATUS_ERROR, 32, "DS1");
  EXPECT_EQ(message(), "limit %s for DS1, %d, %d");
}

TEST_F(Report, DetachedTaskReportsNothing) {
  task_report(&ctx_, "RUN", STATUS_RUNNING);
  int16_t id = ctx_.task_id;
  ctx_.task_id = -1;
  task_report(&ctx_, "STOP", STATUS_STOPPED);
  ctx_.task_id = id;
  EXPECT_EQ(message(), "RUN");
  EXPECT_EQ(status_long(), STATUS_RUNNING);
}

TEST_F(Report, StatusIsWrittenInTheWidthOfTheStatusTag) {
  use_status_tag(refs_[STATUS_ANALOG]);
  task_report(&ctx_, "ERR", STATUS_ERROR);
  int16_t analog = -1;
  ASSERT_EQ(zq_read(ctx_.task_id, &refs_[STATUS_ANALOG], 1, &analog), 0);
  EXPECT_EQ(analog, STATUS_ERROR);

  use_status_tag(refs_[STATUS_FLOAT]);
  task_report(&ctx_, "START", STATUS_STARTING);
  double real = -1;
  ASSERT_EQ(zq_read(ctx_.task_id, &refs_[STATUS_FLOAT], 1, &real), 0);
  EXPECT_EQ(real, 3.0);
}

TEST_F(Report, LongTextIsCutByTheTagAndTheTraceLine) {
  std::string name(3000, 'n');
  ASSERT_EQ(catalogue_insert("ARRAY", "Tag %s is no array"), 0);
  ctx_.console_level = 1;
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  FILE* capture = tmpfile();
  dup2(fileno(capture), STDOUT_FILENO);
  task_report(&ctx_, "ARRAY", STATUS_STOPPED, name.c_str());
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text = message();
  EXPECT_EQ(text.size(), kMessageCapacity);
  EXPECT_EQ(text.substr(0, 8), "Tag nnnn");
  // The trace line of the report stays within its buffer.
  fseek(capture, 0, SEEK_END);
  long size = ftell(capture);
  fclose(capture);
  EXPECT_GT(size, 700);
  EXPECT_LT(size, 830);
}

TEST_F(Report, ReportIsTracedAtLevelOne) {
  ctx_.console_level = 1;
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  FILE* capture = tmpfile();
  dup2(fileno(capture), STDOUT_FILENO);
  task_report(&ctx_, "RUN", STATUS_RUNNING);
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  rewind(capture);
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, capture), nullptr);
  fclose(capture);
  EXPECT_NE(strstr(line, " RUN\n"), nullptr) << line;
}

TEST_F(Report, FailedKernelWritesAreIgnored) {
  task_report(&ctx_, "START", STATUS_STARTING);
  zq_fault_inject("zq_write", 2, ZQ_ESYS);
  task_report(&ctx_, "RUN", STATUS_RUNNING);
  EXPECT_EQ(message(), "START");
  EXPECT_EQ(status_long(), STATUS_STARTING);
  task_report(&ctx_, "RUN", STATUS_RUNNING);
  EXPECT_EQ(message(), "RUN");
}

}  // namespace
