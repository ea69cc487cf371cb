// Trace destinations by level, line form, the task log file and its failures.
#include <fcntl.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/catalogue.h"
#include "runtime/report.h"

namespace {

// Redirects stdout into a temporary file while alive.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    file_ = tmpfile();
    dup2(fileno(file_), STDOUT_FILENO);
  }
  ~ConsoleCapture() {
    restore();
    fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  FILE* file_ = nullptr;
};

std::string read_file(const std::string& name) {
  std::ifstream in(name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool matches(const std::string& text, const char* pattern) {
  regex_t re;
  if (regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB) != 0) return false;
  bool ok = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
  regfree(&re);
  return ok;
}

void set_args(TaskContext* ctx, const char* args) {
  memset(ctx->kernel_block + ZQ_TB_ARGS, 0, ZQ_TB_ARGS_SIZE);
  memcpy(ctx->kernel_block + ZQ_TB_ARGS, args, strlen(args));
}

void set_app_dir(TaskContext* ctx, const std::string& dir) {
  memset(ctx->kernel_block + ZQ_TB_APP_DIR, 0, ZQ_TB_APP_DIR_SIZE);
  memcpy(ctx->kernel_block + ZQ_TB_APP_DIR, dir.c_str(), dir.size());
}

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zq_trace_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_name_ = dir_ + "/trace.log";
    ctx_.task_id = -1;  // traces do not need the kernel
    snprintf(ctx_.task_name, sizeof ctx_.task_name, "QUANTREL");
    snprintf(ctx_.zq_name, sizeof ctx_.zq_name, "plant");
    snprintf(ctx_.zq_domain, sizeof ctx_.zq_domain, "dom");
    snprintf(ctx_.zq_user, sizeof ctx_.zq_user, "user");
    catalogue_clear();
  }
  void TearDown() override {
    if (ctx_.log_file) fclose(ctx_.log_file);
    catalogue_clear();
    std::string cmd = "chmod -R u+w '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
  }
  void open_plain_log() {
    ctx_.log_file = fopen(log_name_.c_str(), "w");
    ASSERT_NE(ctx_.log_file, nullptr);
  }
  // Traces once; returns what reached the console and the log file.
  struct Where {
    int result;
    std::string console;
    std::string file;
  };
  template <class... A>
  Where trace(const char* key, int level, const A&... args) {
    Where w;
    {
      ConsoleCapture cap;
      w.result = task_trace(&ctx_, key, level, args...);
      w.console = cap.text();
    }
    if (ctx_.log_file) w.file = read_file(log_name_);
    return w;
  }

  TaskContext ctx_{};
  std::string dir_;
  std::string log_name_;
};

TEST_F(Trace, ConsoleLevelIsAThresholdUnlessExact) {
  ctx_.console_level = 5;
  Where w = trace("level three", 3);
  EXPECT_EQ(w.result, 0);
  EXPECT_NE(w.console.find("level three\n"), std::string::npos);
  EXPECT_EQ(trace("level six", 6).console, "");
  ctx_.exact_levels = 1;
  w = trace("level three", 3);
  EXPECT_EQ(w.result, -1);
  EXPECT_EQ(w.console, "");
  EXPECT_EQ(trace("level five", 5).result, 0);
}

TEST_F(Trace, LevelZeroAlwaysReachesTheConsoleButNotAnExactFile) {
  open_plain_log();
  ctx_.file_level = 2;
  ctx_.exact_levels = 1;
  Where w = trace("zero", 0);
  EXPECT_EQ(w.result, 0);
  EXPECT_NE(w.console.find("zero"), std::string::npos);
  EXPECT_EQ(w.file, "");
  ctx_.exact_levels = 0;
  w = trace("zero again", 0);
  EXPECT_NE(w.console.find("zero again"), std::string::npos);
  EXPECT_NE(w.file.find("zero again"), std::string::npos);
}

TEST_F(Trace, ExactNineReachesTheConsoleOnlyAtLevelsZeroAndNine) {
  ctx_.console_level = 9;
  ctx_.exact_levels = 1;
  for (int level = 0; level <= 9; ++level) {
    Where w = trace("line", level);
    bool shown = level == 0 || level == 9;
    EXPECT_EQ(w.result, shown ? 0 : -1) << level;
    EXPECT_EQ(!w.console.empty(), shown) << level;
  }
}

TEST_F(Trace, FileOnlyTraceGoesToTheLogAndNowhereWithoutOne) {
  ctx_.file_level = 3;
  EXPECT_EQ(trace("no log open", 2).result, -1);
  open_plain_log();
  Where w = trace("to the file", 2);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.console, "");
  EXPECT_NE(w.file.find("to the file\n"), std::string::npos);
  EXPECT_EQ(trace("too detailed", 4).result, -1);
}

TEST_F(Trace, LineCarriesDateAndTimeAndThreadIdFromLevelSeven) {
  ctx_.console_level = 6;
  Where w = trace("plain", 1);
  EXPECT_TRUE(matches(w.console, "^[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} plain\n$"))
      << w.console;
  ctx_.console_level = 7;
  char thread[32];
  snprintf(thread, sizeof thread, "Thd=0x%X ", static_cast<unsigned>(gettid()));
  w = trace("threaded", 1);
  EXPECT_TRUE(matches(w.console, "^[0-9/]{8} [0-9:]{8} Thd=0x[0-9A-F]+ threaded\n$")) << w.console;
  EXPECT_NE(w.console.find(thread), std::string::npos);
  w = trace("level zero has no thread id", 0);
  EXPECT_EQ(w.console.find("Thd="), std::string::npos);
  // The file has its own thread form.
  open_plain_log();
  ctx_.file_level = 7;
  ctx_.console_level = 1;
  w = trace("both", 1);
  EXPECT_EQ(w.console.find("Thd="), std::string::npos);
  EXPECT_NE(w.file.find(thread), std::string::npos);
}

TEST_F(Trace, NewlineIsAddedOnlyWhenMissingAndEmptyTextGoesNowhere) {
  ctx_.console_level = 1;
  EXPECT_TRUE(matches(trace("ends\n", 1).console, "ends\n$"));
  EXPECT_FALSE(matches(trace("ends\n", 1).console, "\n\n$"));
  Where w = trace("", 1);
  EXPECT_EQ(w.result, -1);
  EXPECT_EQ(w.console, "");
  EXPECT_EQ(trace("%s", 1, "").result, -1);
}

TEST_F(Trace, KeyIsLookedUpAndFormattedWithCheckedArguments) {
  ctx_.console_level = 2;
  ASSERT_EQ(catalogue_insert("DBG_EXCEPT", "Write on change for %s, address %d"), 0);
  EXPECT_NE(
      trace("DBG_EXCEPT", 1, "DS1", 40001).console.find("Write on change for DS1, address 40001\n"),
      std::string::npos);
  // A text that does not fit: the placeholder shows as itself, nothing is read.
  EXPECT_NE(trace("DBG_EXCEPT", 1, 7).console.find("for %s, address %d\n"), std::string::npos);
  EXPECT_NE(trace("DBG_UNKNOWN", 1, "x").console.find(" DBG_UNKNOWN\n"), std::string::npos);
}

TEST_F(Trace, LongLinesAreCutToTheTraceBuffer) {
  ctx_.console_level = 1;
  std::string big(3000, 'y');
  Where w = trace("%s", 1, big.c_str());
  size_t text_start = w.console.find('y');
  ASSERT_NE(text_start, std::string::npos);
  EXPECT_EQ(w.console.size() - text_start, TRACE_TEXT_SIZE - 1);  // 798 characters and the newline
  EXPECT_EQ(w.console.back(), '\n');
}

TEST_F(Trace, NullContextOrKeyIsRefused) {
  EXPECT_EQ(task_trace(nullptr, "x", 0), -1);
  EXPECT_EQ(task_trace(&ctx_, nullptr, 0), -1);
}

TEST_F(Trace, LogWriteFailureClosesTheLogForGoodAndConsoleGoesOn) {
  ctx_.log_file = fopen("/dev/full", "w");
  ASSERT_NE(ctx_.log_file, nullptr);
  ctx_.file_level = 3;
  ctx_.console_level = 1;
  Where w = trace("disk full", 1);
  EXPECT_EQ(w.result, -1);
  EXPECT_NE(w.console.find("disk full"), std::string::npos);
  EXPECT_EQ(ctx_.log_file, nullptr);
  EXPECT_EQ(ctx_.file_level, 0);
  EXPECT_EQ(trace("console still", 1).result, 0);
  EXPECT_EQ(trace("file gone", 3).result, -1);
}

TEST_F(Trace, LinesFromManyThreadsStayWhole) {
  open_plain_log();
  ctx_.file_level = 1;
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) {
        task_trace(&ctx_, "thread %d line %d of a trace long enough to be written in pieces %s", 1,
                   t, i, "................................................................");
      }
    });
  }
  for (auto& th : threads) th.join();
  std::ifstream in(log_name_);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    ASSERT_TRUE(matches(line,
                        "^[0-9/]{8} [0-9:]{8} thread [0-3] line [0-9]+ of a trace long "
                        "enough to be written in pieces \\.{64}$"))
        << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(Trace, OpenLogReadsOptionsFromTheArgumentString) {
  set_app_dir(&ctx_, dir_);
  struct Case {
    const char* args;
    int console, file, exact;
  } cases[] = {
      {"", 0, 0, 0},      {"-d3 -l2 -x", 3, 2, 1}, {"-d", 1, 0, 0},   {"-d0", 1, 0, 0},
      {"x-d9y", 9, 0, 0}, {"-D5 -L5 -X", 0, 0, 0}, {"-ls3", 0, 1, 0}, {"\"-d4\"", 4, 0, 0},
  };
  for (const Case& c : cases) {
    set_args(&ctx_, c.args);
    EXPECT_EQ(open_task_log(&ctx_), 0) << c.args;
    EXPECT_EQ(ctx_.console_level, c.console) << c.args;
    EXPECT_EQ(ctx_.file_level, c.file) << c.args;
    EXPECT_EQ(ctx_.exact_levels, c.exact) << c.args;
    EXPECT_EQ(ctx_.log_file != nullptr, c.file != 0) << c.args;
    if (ctx_.log_file) fclose(ctx_.log_file);
    ctx_.log_file = nullptr;
  }
}

TEST_F(Trace, OpenLogCreatesItsDirectoriesAndRewritesTheFile) {
  set_app_dir(&ctx_, dir_);
  set_args(&ctx_, "-l2");
  std::string expected = dir_ + "/plant/dom/user/log/QUANTREL.log";
  mkdir((dir_ + "/plant").c_str(), 0755);  // an existing directory is no problem
  ASSERT_EQ(open_task_log(&ctx_), 0);
  EXPECT_EQ(std::string(ctx_.log_path), expected);
  EXPECT_EQ(task_trace(&ctx_, "first run", 2), 0);
  fclose(ctx_.log_file);
  ctx_.log_file = nullptr;
  EXPECT_NE(read_file(expected).find("first run"), std::string::npos);

  ASSERT_EQ(open_task_log(&ctx_), 0);
  EXPECT_EQ(read_file(expected), "");  // each start rewrites the log
  EXPECT_EQ(task_trace(&ctx_, "second run", 1), 0);
  EXPECT_EQ(read_file(expected).find("first run"), std::string::npos);
}

TEST_F(Trace, OpenLogFailureLeavesNoFileLevel) {
  std::string blocker = dir_ + "/file";
  FILE* f = fopen(blocker.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  set_app_dir(&ctx_, blocker);  // directories cannot be made under a file
  set_args(&ctx_, "-d2 -l4");
  EXPECT_EQ(open_task_log(&ctx_), -1);
  EXPECT_EQ(ctx_.file_level, 0);
  EXPECT_EQ(ctx_.console_level, 2);
  EXPECT_EQ(ctx_.log_file, nullptr);

  // A log name that does not fit its 128 bytes is refused, not cut.
  std::string deep = dir_ + "/" + std::string(60 - dir_.size(), 'a');
  set_app_dir(&ctx_, deep);
  snprintf(ctx_.zq_name, sizeof ctx_.zq_name, "%s", std::string(31, 'n').c_str());
  snprintf(ctx_.zq_user, sizeof ctx_.zq_user, "%s", std::string(15, 'u').c_str());
  EXPECT_EQ(open_task_log(&ctx_), -1);
  EXPECT_EQ(ctx_.file_level, 0);
  EXPECT_EQ(ctx_.log_file, nullptr);
}

}  // namespace
