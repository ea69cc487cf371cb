// The demo script, as `make demo` runs it: QUANTREL, the simulated PLC and the
// run-time manager as real processes, driven step by step through zq tag.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_process.h"

namespace {

namespace fs = std::filesystem;

constexpr double kDemoLimitSeconds = 180;  // the demo itself takes a few seconds

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Processes left over from a run: any process whose command line names the
// run's directory or whose environment carries the application's name.
std::vector<std::string> leftover_processes(const std::string& work, const std::string& name) {
  std::vector<std::string> found;
  std::string env_mark = std::string("ZQNAME=") + name + '\0';
  for (const fs::directory_entry& e : fs::directory_iterator("/proc")) {
    std::string pid = e.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (pid == std::to_string(getpid())) continue;
    std::string cmdline = read_file(e.path() / "cmdline");
    std::string environ = read_file(e.path() / "environ");
    if ((!work.empty() && cmdline.find(work) != std::string::npos) ||
        environ.find(env_mark) != std::string::npos)
      found.push_back(pid + ": " + cmdline);
  }
  return found;
}

class DemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zqdemotestXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    tmp_ = tmpl;
    name_ = "demo_t" + std::to_string(getpid());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }
  ProcessResult run_demo(const std::vector<std::string>& extra_env = {}) {
    std::vector<std::string> env = {"ZQ_DEMO_NAME=" + name_, "TMPDIR=" + tmp_};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    return run_process(
        {"/bin/bash", std::string(ZQ_SOURCE_DIR) + "/scripts/demo.sh", ZQ_BINARY_DIR},
        kDemoLimitSeconds, env);
  }
  // The directory the script compiled the application into.
  static std::string work_dir(const std::string& out) {
    std::string mark = "Compiling examples/demo/app.toml into ";
    size_t at = out.find(mark);
    if (at == std::string::npos) return "";
    size_t end = out.find('\n', at);
    std::string app = out.substr(at + mark.size(), end - at - mark.size());
    return fs::path(app).parent_path().string();
  }
  std::string shm_file() const { return "/dev/shm/zq." + name_ + ".plant.demo"; }

  std::string tmp_, name_;
};

// Each text must appear, in this order.
void expect_in_order(const std::string& out, const std::vector<std::string>& texts) {
  size_t at = 0;
  for (const std::string& t : texts) {
    size_t found = out.find(t, at);
    ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << t << "\n"
                                        << out;
    at = found + t.size();
  }
}

TEST_F(DemoTest, EveryStepShowsItsResultAndTheRunEndsCleanly) {
  ProcessResult r = run_demo();
  ASSERT_FALSE(r.timed_out) << r.out << r.err;
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  expect_in_order(r.out, {
                             "== 1. Triggered read",
                             "TANK_LEVEL[0] = 0",
                             "set  TANK_READ=1",
                             "TANK_LEVEL[0] = 120",
                             "TANK_LEVEL[3] = 780",
                             "TANK_TEMP = 21.5",
                             "== 2. Continuous read",
                             "LIVE_COUNTER = ",
                             "a moment later, without any trigger:",
                             "== 3. Block write",
                             "set  RCP_WRITE=1",
                             "set  RCP_SPEED=0 RCP_TIME=0 RCP_RATIO=0",
                             "RCP_SPEED = 1500",
                             "RCP_TIME = 86400",
                             "RCP_RATIO = 0.75",
                             "== 4. Write on change",
                             "set  SP_VALVE=42",
                             "SP_VALVE_DEV = 42",
                             "== 5. Unsolicited data",
                             "EV_STATUS = 0",
                             "== 6. A provider error reaches the status tag",
                             "SP_STATUS = 1002",
                             "QTL_MSG = \"WRITE error on data source SETPT: provider error 1002\"",
                             "SP_LIMIT_DEV = 90",
                             "== 7. Sync handshake",
                             "SY_SYNC = 1",
                             " SYNCED (",
                             "are the PLC's counter when it answered",
                             "set  SY_SYNC=0",
                             "the held answer arrived",
                             "SY_SYNC = 1",
                             "== 8. Read inhibit",
                             "set  LIVE_INHIBIT=1",
                             "set  LIVE_INHIBIT=0",
                             "== STOP",
                             "\"Quantrel stopped\"",
                             "QUANTREL: exit 0",
                             "PLC1: exit 0",
                             "every task stopped cleanly",
                             "demo: every step gave the expected result",
                         });
  EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(shm_file())) << "the database was left behind";
  EXPECT_TRUE(leftover_processes(work_dir(r.out), name_).empty());
  EXPECT_FALSE(fs::exists(work_dir(r.out))) << "the demo's files were left behind";
}

// A PLC that does not hold what the demo expects: the script says which step
// and which value, exits non-zero, and still stops every process and removes
// the database.
TEST_F(DemoTest, AWrongResultFailsLoudlyAndLeavesNothingRunning) {
  std::string sim = read_file(std::string(ZQ_SOURCE_DIR) + "/examples/demo/sim.toml");
  size_t at = sim.find("values = [120, 340, 560, 780]");
  ASSERT_NE(at, std::string::npos);
  sim.replace(at, 29, "values = [121, 340, 560, 780]");
  std::string sim_file = tmp_ + "/sim.toml";
  std::ofstream(sim_file) << sim;

  ProcessResult r = run_demo({"ZQ_DEMO_SIM=" + sim_file});
  ASSERT_FALSE(r.timed_out) << r.out << r.err;
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("demo: FAILED: TANK_LEVEL[0] should be 120 but is 121"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("== 2."), std::string::npos) << "the demo went on after a failed step";
  EXPECT_FALSE(fs::exists(shm_file())) << "the database was left behind";
  std::string work = work_dir(r.out);
  ASSERT_FALSE(work.empty()) << r.out;
  EXPECT_TRUE(leftover_processes(work, name_).empty());
  EXPECT_TRUE(fs::exists(work + "/run.log")) << "the manager's output is kept for a failed run";
}

TEST_F(DemoTest, AMissingBuildIsNamedNotRun) {
  ProcessResult r = run_process(
      {"/bin/bash", std::string(ZQ_SOURCE_DIR) + "/scripts/demo.sh", tmp_ + "/no-build"}, 30,
      {"ZQ_DEMO_NAME=" + name_, "TMPDIR=" + tmp_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("not found: build first"), std::string::npos) << r.out << r.err;
}

}  // namespace
