// Continuous reading of 100 registers through QUANTREL and zq modbus, beside
// a bare libmodbus read loop of the same registers from the same loopback
// server in the same run.
//
// The chain: zq run starts QUANTREL and zq modbus (real processes) on an
// application whose one data source is holding registers 0..99, read
// continuously into 100 analog tags (DT_WORD). A cycle is QUANTREL's read
// request (a forced write of the data-source tag), zq modbus's Modbus read,
// the read data message and QUANTREL writing the 100 tags. The server counts
// the requests it answers; time per cycle = window / requests in the window.
//
//   modbus_bench [--seconds S]     (default 3 per measurement)
#include <fcntl.h>
#include <modbus/modbus.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "modbus_bench_server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRegisters = 100;
constexpr int kServerRegisters = 200;
constexpr double kWarmUpSeconds = 0.5;
constexpr double kDefaultSeconds = 3.0;
constexpr double kUsPerSecond = 1e6;
constexpr double kTarget = 1.3;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Microseconds per read of a bare libmodbus client, over `seconds`.
double bare_loop(int port, double seconds) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  if (!ctx || modbus_connect(ctx) != 0) {
    fprintf(stderr, "modbus_bench: bare client cannot connect: %s\n", modbus_strerror(errno));
    exit(1);
  }
  uint16_t regs[kRegisters];
  auto read_for = [&](double s) {
    uint64_t n = 0;
    Clock::time_point t0 = Clock::now();
    while (seconds_since(t0) < s) {
      if (modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters) {
        fprintf(stderr, "modbus_bench: read failed: %s\n", modbus_strerror(errno));
        exit(1);
      }
      ++n;
    }
    return seconds_since(t0) * kUsPerSecond / static_cast<double>(n);
  };
  read_for(kWarmUpSeconds);
  double us = read_for(seconds);
  if (regs[kRegisters - 1] != kRegisters - 1) {
    fprintf(stderr, "modbus_bench: register %d reads %u\n", kRegisters - 1, regs[kRegisters - 1]);
    exit(1);
  }
  modbus_close(ctx);
  modbus_free(ctx);
  return us;
}

std::string app_text(const std::string& name) {
  std::string t =
      "[application]\nname = \"" + name + "\"\ndomain = \"bench\"\nuser = \"mb\"\n"
      "[tags]\nQTL_MBX = \"mailbox\"\nMB_MBX = \"mailbox\"\nBLOCK = \"digital\"\n"
      "B_STATE = \"analog\"\nB_STATUS = \"analog\"\n"
      "W = { type = \"analog\", dims = [100] }\n"
      "[[task]]\nname = \"QUANTREL\"\nprogram = \"quantrel\"\n"
      "[[task]]\nname = \"MODBUS\"\nprogram = \"zq modbus --config modbus.toml\"\n"
      "[quantrel]\nmailbox = \"QTL_MBX\"\n"
      "[[quantrel.provider]]\nmailbox = \"MB_MBX\"\n"
      "[[quantrel.provider.source]]\nname = \"BLOCK\"\nread_enabled = true\n"
      "status = \"B_STATUS\"\nstate = \"B_STATE\"\n"
      "conversions = [{ tag = \"W[0]\", address = 0, count = 100, type = \"DT_WORD\" }]\n";
  return t;
}

std::string provider_text(int port) {
  return "[modbus]\ntask = \"MODBUS\"\nmailbox = \"MB_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n"
         "[[device]]\nname = \"bench\"\nhost = \"127.0.0.1\"\nport = " +
         std::to_string(port) +
         "\n[[source]]\nname = \"BLOCK\"\ntable = \"holding_registers\"\nstart = 0\n"
         "count = 100\nstate_tag = \"B_STATE\"\n";
}

int run_quiet(const std::vector<std::string>& argv, bool wait_for_it, pid_t* pid_out = nullptr) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid_out) *pid_out = pid;
  if (!wait_for_it) return 0;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string tag_value(const std::string& app, const std::string& name) {
  std::string cmd = std::string(ZQ_TOOL) + " tag --app " + app + " get " + name + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "";
  char line[256] = {};
  if (!fgets(line, sizeof line, p)) line[0] = '\0';
  pclose(p);
  std::string s = line;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// Microseconds per continuous-read cycle through QUANTREL and zq modbus.
double chain(BenchModbusServer* server, double seconds, std::string* check) {
  char pattern[] = "/tmp/zqmbbenchXXXXXX";
  if (!mkdtemp(pattern)) return -1;
  std::string dir = pattern;
  std::string name = "mbb" + std::to_string(getpid());
  std::ofstream(dir + "/app.toml") << app_text(name);
  std::string app = dir + "/app";
  if (run_quiet({ZQ_TOOL, "ct", "build", dir + "/app.toml", "--out", app}, true) != 0) {
    fprintf(stderr, "modbus_bench: zq ct build failed\n");
    exit(1);
  }
  std::ofstream(app + "/modbus.toml") << provider_text(server->port());
  pid_t manager = -1;
  std::string run_for = std::to_string(static_cast<int>(seconds + kWarmUpSeconds) + 30);
  run_quiet({ZQ_TOOL, "run", "--app", app, "--for", run_for, "--bin", ZQ_QUANTREL_DIR}, false,
            &manager);
  // Wait for the cycle to run, warm up, then count.
  uint64_t start = server->requests();
  Clock::time_point t0 = Clock::now();
  while (server->requests() < start + 100 && seconds_since(t0) < 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (server->requests() < start + 100) {
    fprintf(stderr, "modbus_bench: the chain does not read\n");
    kill(manager, SIGINT);
    waitpid(manager, nullptr, 0);
    exit(1);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
  uint64_t n0 = server->requests();
  Clock::time_point w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  uint64_t n = server->requests() - n0;
  double window = seconds_since(w0);
  *check = tag_value(app, "W[99]");
  kill(manager, SIGINT);
  waitpid(manager, nullptr, 0);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return window * kUsPerSecond / static_cast<double>(n);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = kDefaultSeconds;
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--seconds") == 0) seconds = atof(argv[i + 1]);
  }
  BenchModbusServer server(kServerRegisters);
  if (!server.start()) {
    fprintf(stderr, "modbus_bench: the server cannot listen\n");
    return 1;
  }
  printf("Continuous read of %d holding registers from a libmodbus server on 127.0.0.1:%d\n",
         kRegisters, server.port());
  double bare1 = bare_loop(server.port(), seconds);
  std::string check;
  double through = chain(&server, seconds, &check);
  double bare2 = bare_loop(server.port(), seconds);
  double bare = (bare1 + bare2) / 2;
  printf("  bare libmodbus read loop:         %8.1f us per read   (%.1f, %.1f)\n", bare, bare1,
         bare2);
  printf("  QUANTREL + zq modbus, per cycle:  %8.1f us per cycle  (%s)\n", through, check.c_str());
  printf("  ratio: %.2fx (target <= %.1fx)\n", through / bare, kTarget);
  return 0;
}
