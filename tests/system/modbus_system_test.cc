// The whole chain against a Modbus TCP server no one here wrote: the example
// application compiled by zq ct build, run by zq run (QUANTREL and zq modbus
// as processes), its tags read and written with zq tag, the device's
// registers and coils read back with mbpoll (an independent client), and
// pymodbus's server as the device.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kUnit = 17;
constexpr const char* kMbpoll = "/usr/bin/mbpoll";

std::string python_with_pymodbus() {
  for (const char* python : {"/usr/bin/python3", "python3"}) {
    ProcessResult r = run_process(
        {"/bin/sh", "-c", std::string(python) + " -c 'import pymodbus' >/dev/null 2>&1"}, 30);
    if (r.exit_code == 0) return python;
  }
  return "";
}

std::string find_mbpoll() {
  ProcessResult r = run_process({"/bin/sh", "-c", "command -v mbpoll"}, 10);
  std::string path = r.out.substr(0, r.out.find('\n'));
  if (r.exit_code == 0 && !path.empty()) return path;
  return access(kMbpoll, X_OK) == 0 ? kMbpoll : "";
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    close(fd);
    return -1;
  }
  close(fd);
  return ntohs(a.sin_port);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces the one occurrence of `from`; false when it is not there.
bool replace(std::string* text, const std::string& from, const std::string& to) {
  size_t at = text->find(from);
  if (at == std::string::npos) return false;
  text->replace(at, from.size(), to);
  return true;
}

// Tags and data sources the test adds to the example: a block the device
// does not have, and a write to read-only input registers.
constexpr const char* kExtraTags =
    "MISSING    = \"digital\"\n"
    "MS_STATUS  = \"analog\"\n"
    "MS_READ    = \"digital\"\n"
    "MS_WORD    = \"analog\"\n"
    "INW        = \"digital\"\n"
    "INW_STATUS = \"analog\"\n"
    "INW_VALUE  = \"analog\"\n";
constexpr const char* kExtraSources =
    "\n[[quantrel.provider.source]]\nname = \"MISSING\"\nread_enabled = true\n"
    "read_trigger = \"MS_READ\"\nstatus = \"MS_STATUS\"\n"
    "conversions = [{ tag = \"MS_WORD\", address = 0, type = \"DT_WORD\" }]\n"
    "\n[[quantrel.provider.source]]\nname = \"INW\"\nread_enabled = false\nwrite_mode = 1\n"
    "status = \"INW_STATUS\"\n"
    "conversions = [{ tag = \"INW_VALUE\", address = 0, type = \"DT_WORD\" }]\n";
constexpr const char* kExtraProviderSources =
    "\n[[source]]\nname = \"MISSING\"\ndevice = \"plc1\"\ntable = \"holding_registers\"\n"
    "start = 500\ncount = 4\n"
    "\n[[source]]\nname = \"INW\"\ndevice = \"plc1\"\ntable = \"input_registers\"\n"
    "start = 100\ncount = 4\n";

class ModbusChain : public ::testing::Test {
 protected:
  void SetUp() override {
    python_ = python_with_pymodbus();
    if (python_.empty()) GTEST_SKIP() << "python3-pymodbus is not installed";
    mbpoll_ = find_mbpoll();
    if (mbpoll_.empty()) GTEST_SKIP() << "mbpoll is not installed";
    port_ = free_port();
    ASSERT_GT(port_, 0);
    char pattern[] = "/tmp/zqmbsysXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    name_ = "m" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    name_ = name_.substr(0, 31);
    app_ = dir_ + "/app";

    std::string app = read_file(std::string(ZQ_SOURCE_DIR) + "/examples/modbus/app.toml");
    ASSERT_TRUE(replace(&app, "name = \"mbdemo\"", "name = \"" + name_ + "\""));
    ASSERT_TRUE(replace(&app, "\n[tags]\n", std::string("\n[tags]\n") + kExtraTags));
    app += kExtraSources;
    std::ofstream(dir_ + "/app.toml") << app;
    ProcessResult r = run_process({ZQ_TOOL, "ct", "build", dir_ + "/app.toml", "--out", app_});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

    std::string mb = read_file(std::string(ZQ_SOURCE_DIR) + "/examples/modbus/modbus.toml");
    ASSERT_TRUE(replace(&mb, "port = 5020", "port = " + std::to_string(port_)));
    ASSERT_TRUE(replace(&mb, "unit_id = 1\n", "unit_id = " + std::to_string(kUnit) + "\n"));
    ASSERT_TRUE(replace(&mb, "retry_min_ms = 250", "retry_min_ms = 100"));
    ASSERT_TRUE(replace(&mb, "retry_max_ms = 2000", "retry_max_ms = 400"));
    mb += kExtraProviderSources;
    std::ofstream(app_ + "/modbus.toml") << mb;
    r = run_process({ZQ_TOOL, "modbus", "--config", app_ + "/modbus.toml", "--check"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

    ASSERT_TRUE(start_server(0));
    manager_ = std::make_unique<Process>(std::vector<std::string>{
        ZQ_TOOL, "run", "--app", app_, "--for", "120", "--bin", ZQ_QUANTREL_DIR});
    // Running, and the first reads in: the state tag says ready, the tags hold values.
    ASSERT_TRUE(wait_tag("HR_STATE", "785")) << manager_->out_so_far();
    ASSERT_TRUE(wait_tag("SPEED", "1234")) << manager_->out_so_far();
  }

  void TearDown() override {
    if (manager_) {
      // Every task ends cleanly (a sanitizer's report in zq modbus would not).
      ProcessResult m = stop_manager();
      EXPECT_EQ(m.exit_code, 0) << m.out << m.err;
      EXPECT_NE(m.out.find("every task stopped cleanly"), std::string::npos) << m.out;
      EXPECT_EQ(m.err.find("runtime error"), std::string::npos) << m.err;
    }
    stop_server();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  bool start_server(int variant) {
    server_ = std::make_unique<Process>(std::vector<std::string>{
        "/bin/sh", "-c",
        "exec " + python_ + " " + ZQ_SOURCE_DIR + "/tests/system/modbus_server.py --port " +
            std::to_string(port_) + " --unit " + std::to_string(kUnit) + " --variant " +
            std::to_string(variant)});
    for (int i = 0; i < 300; ++i) {
      if (server_->out_so_far().find("ready") != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  void stop_server() {
    if (!server_) return;
    server_->signal(SIGKILL);
    server_->wait(10);
    server_.reset();
  }
  // Stops the run with Ctrl-C; its output.
  ProcessResult stop_manager() {
    ProcessResult r;
    if (!manager_) return r;
    manager_->signal(SIGINT);
    r = manager_->wait(30);
    manager_.reset();
    return r;
  }

  ProcessResult tag(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ZQ_TOOL, "tag", "--app", app_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, 20);
  }
  // The value `zq tag get` shows for one tag ("" when it fails).
  std::string get(const std::string& name) {
    ProcessResult r = tag({"get", name});
    std::string prefix = name + " = ";
    if (r.exit_code != 0 || r.out.rfind(prefix, 0) != 0) return "";
    return r.out.substr(prefix.size(), r.out.find('\n') - prefix.size());
  }
  bool wait_tag(const std::string& name, const std::string& value,
                std::chrono::milliseconds limit = 20000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (get(name) == value) return true;
      std::this_thread::sleep_for(100ms);
    }
    ADD_FAILURE() << name << " never became " << value << "; it is " << get(name);
    return false;
  }
  void set(const std::string& assignment) {
    ProcessResult r = tag({"set", assignment});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  // Values mbpoll reads from the device: table 4 holding registers, 0 coils.
  std::vector<long> mbpoll(const std::string& table, int address, int count) {
    ProcessResult r = run_process({mbpoll_, "-m", "tcp", "-a", std::to_string(kUnit), "-t", table,
                                   "-r", std::to_string(address), "-c", std::to_string(count), "-0",
                                   "-1", "-p", std::to_string(port_), "127.0.0.1"},
                                  20);
    // Lines "[address]: value", the value decimal ("65535 (-1)") or "0x....".
    std::vector<long> values;
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) {
      size_t colon = l.find("]:");
      if (l.empty() || l[0] != '[' || colon == std::string::npos) continue;
      values.push_back(std::stol(l.substr(colon + 2), nullptr, 0));
    }
    EXPECT_EQ(values.size(), static_cast<size_t>(count)) << r.out << r.err;
    return values;
  }
  bool wait_registers(int address, const std::vector<long>& expected,
                      std::chrono::milliseconds limit = 10000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<long> got;
    while (std::chrono::steady_clock::now() < deadline) {
      got = mbpoll("4:hex", address, static_cast<int>(expected.size()));
      if (got == expected) return true;
      std::this_thread::sleep_for(100ms);
    }
    std::string text;
    for (long v : got) text += std::to_string(v) + " ";
    ADD_FAILURE() << "registers from " << address << " are " << text;
    return false;
  }

  std::string python_, mbpoll_;
  int port_ = -1;
  std::string dir_, name_, app_;
  std::unique_ptr<Process> server_;
  std::unique_ptr<Process> manager_;
};

TEST_F(ModbusChain, RegistersAndBitsOfEveryTableArriveInTheirTags) {
  EXPECT_EQ(get("OFFSET"), "-1");       // DT_WORD
  EXPECT_EQ(get("TOTAL"), "123456");    // DT_LONG_WS: low word first
  EXPECT_EQ(get("ENERGY"), "-100000");  // DT_LONG: high word first
  EXPECT_EQ(get("TEMP"), "1234.5");     // DT_FLOAT
  EXPECT_EQ(get("FLAGS[0]"), "1");      // DT_BIT in register 8 (0x0005)
  EXPECT_EQ(get("FLAGS[1]"), "0");
  EXPECT_EQ(get("FLAGS[2]"), "1");
  EXPECT_EQ(get("NAME"), "\"ABCDEFG\"");  // DT_STRING
  EXPECT_EQ(get("HR_STATUS"), "0");
  EXPECT_EQ(get("MB_STATUS"), "1");
  // Coils 0, 3, 9 and discrete inputs 10, 12, 17 (absolute addresses).
  ProcessResult r = tag({"get", "COIL", "DI"});
  for (int i = 0; i < 16; ++i) {
    std::string want =
        "COIL[" + std::to_string(i) + "] = " + (i == 0 || i == 3 || i == 9 ? "1" : "0");
    EXPECT_NE(r.out.find(want + "\n"), std::string::npos) << want << "\n" << r.out;
  }
  for (int i = 0; i < 8; ++i) {
    std::string want =
        "DI[" + std::to_string(i) + "] = " + (i == 0 || i == 2 || i == 7 ? "1" : "0");
    EXPECT_NE(r.out.find(want + "\n"), std::string::npos) << want << "\n" << r.out;
  }
  // Input registers on a read trigger.
  EXPECT_EQ(get("IN_COUNT"), "0");
  set("IN_READ=1");
  EXPECT_TRUE(wait_tag("IN_COUNT", "7"));
  EXPECT_EQ(get("IN_DELTA"), "-10");
  EXPECT_EQ(get("IN_RATIO"), "0.5");
  EXPECT_EQ(get("IN_STATUS"), "0");
  // Registers the device does not have: its exception, 0x100 + 2.
  set("MS_READ=1");
  EXPECT_TRUE(wait_tag("MS_STATUS", "258"));
}

TEST_F(ModbusChain, WritesOnChangeAndBlockWritesLandInTheDevice) {
  set("SETPOINT=4321");
  set("LIMIT=-2");
  set("ENABLE=1");
  EXPECT_TRUE(wait_registers(20, {4321, 0, 0xFFFE, 0xFFFF, 0, 0, 0x0109}));  // bit 3 of 0x0101
  set("COIL[5]=1");
  set("COIL[0]=0");
  std::vector<long> expected = {0, 0, 0, 1, 0, 1, 0, 0, 0, 1};
  auto deadline = std::chrono::steady_clock::now() + 10s;
  std::vector<long> coils;
  while (std::chrono::steady_clock::now() < deadline && (coils = mbpoll("0", 0, 10)) != expected) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(coils, expected);
  // The continuous read brings the written values back unchanged.
  EXPECT_EQ(get("SETPOINT"), "4321");
  EXPECT_EQ(get("LIMIT"), "-2");
  EXPECT_TRUE(wait_tag("COIL[5]", "1"));

  // Block write: the four recipe tags in one request, only on the trigger.
  ProcessResult r = tag({"set", "RCP[0]=11", "RCP[1]=-22", "RCP[2]=33", "RCP[3]=-44"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(mbpoll("4", 30, 4), (std::vector<long>{0, 0, 0, 0}));
  set("RCP_WRITE=1");
  EXPECT_TRUE(wait_registers(30, {11, 0xFFEA, 33, 0xFFD4}));
  EXPECT_TRUE(wait_tag("RCP_WREADY", "1"));
  EXPECT_EQ(get("RCP_STATUS"), "0");
  EXPECT_EQ(mbpoll("4", 29, 1), std::vector<long>{0});
  EXPECT_EQ(mbpoll("4", 34, 1), std::vector<long>{0});

  // Input registers take no write: 0x300.
  set("INW_VALUE=5");
  EXPECT_TRUE(wait_tag("INW_STATUS", "768"));
}

TEST_F(ModbusChain, AStoppedDeviceGivesStatusCodesAndItsReturnResumesReads) {
  stop_server();
  EXPECT_TRUE(wait_tag("HR_STATE", "801"));  // ready, not connected
  EXPECT_TRUE(wait_tag("MB_STATUS", "2"));
  // The state changes before QUANTREL has the failed read's answer.
  std::string status;
  for (int i = 0; i < 50 && status != "513" && status != "514"; ++i) {
    std::this_thread::sleep_for(100ms);
    status = get("HR_STATUS");
  }
  EXPECT_TRUE(status == "513" || status == "514") << status;  // connection lost / not connected
  EXPECT_NE(get("MB_MSG").find("connection lost"), std::string::npos) << get("MB_MSG");
  std::this_thread::sleep_for(1500ms);  // several failed attempts
  EXPECT_EQ(get("HR_STATUS"), "514");

  ASSERT_TRUE(start_server(1));
  EXPECT_TRUE(wait_tag("SPEED", "1235"));  // the new server's contents, nothing restarted
  EXPECT_TRUE(wait_tag("HR_STATUS", "0"));
  EXPECT_EQ(get("HR_STATE"), "785");
  EXPECT_EQ(get("MB_STATUS"), "1");

  ProcessResult m = stop_manager();
  EXPECT_EQ(m.exit_code, 0) << m.out << m.err;
  EXPECT_NE(m.out.find("every task stopped cleanly"), std::string::npos) << m.out;
  // One line per change of the connection, not one per failed request.
  size_t lost = 0, connected = 0;
  std::istringstream lines(m.out);
  for (std::string l; std::getline(lines, l);) {
    if (l.rfind("MODBUS device plc1", 0) != 0) continue;
    lost += l.find("connection lost") != std::string::npos ||
            l.find("cannot connect") != std::string::npos;
    connected += l.find(": connected") != std::string::npos;
  }
  EXPECT_EQ(lost, 1u) << m.out;
  EXPECT_EQ(connected, 2u) << m.out;
}

TEST_F(ModbusChain, NamesThatAreNotTagsOfTheApplicationAreRefused) {
  std::string mb = read_file(app_ + "/modbus.toml");
  ASSERT_TRUE(replace(&mb, "mailbox = \"MB_MBX\"", "mailbox = \"NO_SUCH_MBX\""));
  std::ofstream(dir_ + "/other.toml") << mb;
  std::vector<std::string> env = {"ZQAPP=" + app_, "ZQNAME=" + name_, "ZQDOMAIN=plant",
                                  "ZQUSER=demo"};
  ProcessResult r =
      run_process({ZQ_TOOL, "modbus", "--config", dir_ + "/other.toml", "--task", "MB2"}, 20, env);
  EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("mailbox 'NO_SUCH_MBX' is not a tag of the application"), std::string::npos)
      << r.err;
  // The running provider goes on.
  set("SETPOINT=77");
  EXPECT_TRUE(wait_registers(20, {77}));
}

// The command line and the file are checked before anything is attached.
TEST(ModbusCommand, MistakesEndWithStatus2AndNoDatabaseWithStatus1) {
  char pattern[] = "/tmp/zqmbcmdXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  std::ofstream(dir + "/bad.toml") << "[modbus]\nmailbox = 3\n";
  ProcessResult r = run_process({ZQ_TOOL, "modbus", "--config", dir + "/bad.toml"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find(dir + "/bad.toml:2:11: 'mailbox' must be a string"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("the configuration has 5 mistake(s)"), std::string::npos) << r.err;
  EXPECT_EQ(run_process({ZQ_TOOL, "modbus"}).exit_code, 2);
  std::string example = std::string(ZQ_SOURCE_DIR) + "/examples/modbus/modbus.toml";
  r = run_process({ZQ_TOOL, "modbus", "--config", example, "--check"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("HOLDING: holding_registers 0..39 of plc1 (40 registers)"),
            std::string::npos)
      << r.out;
  r = run_process({ZQ_TOOL, "modbus", "--config", example}, 20,
                  {"ZQAPP=" + dir, "ZQNAME=zqmbnone", "ZQDOMAIN=x", "ZQUSER=y"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot attach as task MODBUS"), std::string::npos) << r.err;
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
