// The run-time manager with QUANTREL in it, and the tag tool against it:
// whole processes, as an operator uses them.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "run_process.h"

namespace {

namespace fs = std::filesystem;

// The basic example under a name of this test run, so that parallel runs
// (other build trees) do not meet in one database.
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zqtrXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    name_ = "t" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    name_ = name_.substr(0, 31);
    std::ifstream in(std::string(ZQ_SOURCE_DIR) + "/examples/basic/app.toml");
    std::stringstream text;
    text << in.rdbuf();
    std::string app = text.str();
    size_t at = app.find("name = \"basic\"");
    ASSERT_NE(at, std::string::npos);
    app.replace(at, 14, "name = \"" + name_ + "\"");
    app_ = dir_ + "/app";
    build(app);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void build(const std::string& text) {
    std::ofstream(dir_ + "/app.toml", std::ios::trunc) << text;
    ProcessResult r = run_process({ZQ_TOOL, "ct", "build", dir_ + "/app.toml", "--out", app_});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  std::vector<std::string> run_args(const std::string& seconds) {
    return {ZQ_TOOL, "run", "--app", app_, "--for", seconds, "--bin", ZQ_QUANTREL_DIR};
  }
  std::string shm_file() const { return "/dev/shm/zq." + name_ + ".plant.demo"; }
  ProcessResult tag(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {ZQ_TOOL, "tag"};
    if (env.empty()) {
      argv.push_back("--app");
      argv.push_back(app_);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, 20, env);
  }
  // Waits until the manager shows QUANTREL running.
  bool wait_running(Process* p) {
    for (int i = 0; i < 200; ++i) {
      if (p->out_so_far().find("status 1 running") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string dir_, name_, app_;
};

TEST_F(RunTest, ATimedRunStartsQuantrelShowsItAndStopsItCleanly) {
  ProcessResult r = run_process(run_args("3"), 40);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  // Plain lines (no terminal): one per change of a task's state.
  EXPECT_NE(r.out.find("QUANTREL     pid"), std::string::npos) << r.out;
  size_t running = r.out.find("running  status 1 running");
  size_t stopping = r.out.find("stopping: termination requested of 1 task(s)");
  size_t stopped = r.out.find("exit 0  status 0 stopped");
  ASSERT_NE(running, std::string::npos) << r.out;
  ASSERT_NE(stopping, std::string::npos) << r.out;
  ASSERT_NE(stopped, std::string::npos) << r.out;
  EXPECT_LT(running, stopping);
  EXPECT_LT(stopping, stopped);
  EXPECT_NE(r.out.find("QUANTREL: exit 0"), std::string::npos);
  EXPECT_NE(r.out.find("every task stopped cleanly"), std::string::npos);
  EXPECT_FALSE(fs::exists(shm_file())) << "the database was left behind";
}

TEST_F(RunTest, TheTagToolReadsAndWritesTheRunningApplication) {
  Process manager(run_args("30"));
  ASSERT_TRUE(wait_running(&manager)) << manager.out_so_far();

  ProcessResult r =
      tag({"set", "B1_STATUS=42", "LABEL=hello", "FLOW=2.5", "LEVEL[1][3]=-7", "COUNTER=-100000"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = tag({"get", "B1_STATUS", "LABEL", "FLOW", "LEVEL[1][3]", "COUNTER", "QTL_STATUS", "QTL_MSG"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("B1_STATUS = 42\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("LABEL = \"hello\"\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FLOW = 2.5\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("LEVEL[1][3] = -7\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("COUNTER = -100000\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("QTL_STATUS = 1\n"), std::string::npos) << r.out;  // QUANTREL reports RUN
  // A whole array, through the environment instead of --app.
  r = tag({"get", "LEVEL"}, {"ZQAPP=" + app_});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("LEVEL[0][0] = 0\nLEVEL[0][1] = 0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("LEVEL[1][3] = -7"), std::string::npos) << r.out;

  // Mistakes are refused before anything is written.
  r = tag({"set", "B1_STATUS=5", "B1_STATUS=70000"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("-32768 to 32767"), std::string::npos) << r.err;
  EXPECT_EQ(tag({"set", "NOPE=1"}).exit_code, 2);
  EXPECT_EQ(tag({"set", "LABEL=" + std::string(17, 'x')}).exit_code, 2);  // capacity 16
  EXPECT_EQ(tag({"set", "LEVEL[2][0]=1"}).exit_code, 2);
  EXPECT_EQ(tag({"set", "QTL_MBX=1"}).exit_code, 2);
  r = tag({"get", "B1_STATUS"});
  EXPECT_EQ(r.out, "B1_STATUS = 42\n");

  // A watcher sees a forced write of an unchanged value.
  Process watch({ZQ_TOOL, "tag", "--app", app_, "watch", "B1_READ", "--count", "1"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(tag({"set", "--force", "B1_READ=0"}).exit_code, 0);
  ProcessResult w = watch.wait(10);
  EXPECT_EQ(w.exit_code, 0) << w.err;
  size_t first = w.out.find("B1_READ = 0");
  ASSERT_NE(first, std::string::npos) << w.out;
  EXPECT_NE(w.out.find("B1_READ = 0", first + 1), std::string::npos) << w.out;

  r = tag({"list", "B1_*"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("B1_STATUS"), std::string::npos);
  EXPECT_EQ(r.out.find("LEVEL"), std::string::npos);
  r = tag({"mbx", "QTL_MBX"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("message(s)"), std::string::npos);

  // A second manager for the running application is refused.
  r = run_process(run_args("1"), 20);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("already running"), std::string::npos) << r.err;

  manager.signal(SIGINT);
  ProcessResult m = manager.wait(30);
  EXPECT_EQ(m.exit_code, 0) << m.out << m.err;
  EXPECT_NE(m.out.find("every task stopped cleanly"), std::string::npos) << m.out;
  r = tag({"get", "B1_STATUS"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
}

TEST_F(RunTest, QuantrelLoadsTheCompiledConfigurationAndQueriesItsProvider) {
  // Without a data-source state tag, QUANTREL queries the provider while it
  // loads: the query (kind 0, keyed by the data-source tag, the name as data)
  // then waits in the provider's mailbox, nobody serving it.
  std::ifstream in(dir_ + "/app.toml");
  std::stringstream text;
  text << in.rdbuf();
  std::string app = text.str();
  app.replace(app.find("state = \"B1_STATE\""), 18, "");
  build(app);
  Process manager(run_args("30"));
  ASSERT_TRUE(wait_running(&manager)) << manager.out_so_far();
  ProcessResult r;
  for (int i = 0; i < 100; ++i) {
    r = tag({"mbx", "PLC1_MBX"});
    if (r.out.find("1 message(s)") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("PLC1_MBX (5:2): 1 message(s)"), std::string::npos) << r.out;
  // kind 0, length 8 + "BLOCK1", key BLOCK1, sent by QUANTREL.
  EXPECT_NE(r.out.find("0     0     14      BLOCK1 (0:1)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("QUANTREL"), std::string::npos) << r.out;
  // The data: header (format 3, count 6) and the name without its NUL.
  EXPECT_NE(r.out.find("0300060000000000424c4f434b31"), std::string::npos) << r.out;
  manager.signal(SIGINT);
  EXPECT_EQ(manager.wait(30).exit_code, 0);
}

TEST_F(RunTest, TheDatabaseOfACrashedManagerIsReplaced) {
  {
    Process manager(run_args("30"));
    ASSERT_TRUE(wait_running(&manager)) << manager.out_so_far();
    manager.signal(SIGKILL);
    manager.wait(10);
  }
  ASSERT_TRUE(fs::exists(shm_file()));
  ProcessResult r = run_process(run_args("1"), 30);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("replacing database"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("status 1 running"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(shm_file()));
}

TEST_F(RunTest, ATaskThatFailsMakesTheRunFail) {
  std::ifstream in(dir_ + "/app.toml");
  std::stringstream text;
  text << in.rdbuf();
  std::string app = text.str();
  app.replace(app.find("[quantrel]"), 10,
              "[[task]]\nname = \"BROKEN\"\nprogram = \"zq no-such-command\"\n\n[quantrel]");
  build(app);
  ProcessResult r = run_process(run_args("3"), 40);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("BROKEN: exit 2 (ended before the stop request)"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("QUANTREL: exit 0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 task(s) did not stop cleanly"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(shm_file()));
}

TEST_F(RunTest, AMissingProgramIsReportedBeforeAnythingStarts) {
  ProcessResult r = run_process({ZQ_TOOL, "run", "--app", app_, "--for", "1", "--bin", dir_}, 20);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("program 'quantrel' not found"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(shm_file()));
  r = run_process({ZQ_TOOL, "run", "--app", dir_ + "/nothing"}, 20);
  EXPECT_EQ(r.exit_code, 2);
}

}  // namespace
