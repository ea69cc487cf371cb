// Continuous reading of 100 registers through QUANTREL and zq modbus, beside
// a bare libmodbus read loop of the same registers from the same loopback
// server in the same run.
//
// The chain: zq run starts QUANTREL and zq modbus (real processes) on an
// application whose one data source is holding registers 0..99, read
// continuously into 100 analog tags (DT_WORD). A cycle is QUANTREL's read
// request (a forced write of the data-source tag), zq modbus's Modbus read,
// the read data message and QUANTREL writing the 100 tags.
//
// The two are measured in alternating rounds, so that both see the same
// load on the machine: the benchmark attaches to the application's database
// and pauses the chain with the data source's read-inhibit tag while the
// bare loop runs. The server counts the requests it answers; zq modbus's
// summary line says how many Modbus reads a QUANTREL cycle cost (a read
// ahead dropped at a pause costs one more), which turns the server's count
// in a chain round into cycles.
//
//   modbus_bench [--rounds N] [--round-ms MS] [--no-read-ahead]
//   (default 10 rounds of 300 ms each; --no-read-ahead: zq modbus with read_ahead_ms = 0)
#include <fcntl.h>
#include <modbus/modbus.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/zqkernel.h"
#include "modbus_bench_server.h"
#include "tools/modbus_config.h"
#include "tools/sim_provider.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRegisters = 100;
constexpr int kServerRegisters = 200;
constexpr int kDefaultRounds = 10;
constexpr int kDefaultRoundMs = 300;
constexpr auto kSettle = std::chrono::milliseconds(30);  // after pausing or resuming the chain
constexpr double kStartSeconds = 20;
constexpr double kUsPerSecond = 1e6;
constexpr double kTarget = 1.3;
constexpr const char* kDomain = "bench";
constexpr const char* kUser = "mb";

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

void fail(const std::string& what) {
  fprintf(stderr, "modbus_bench: %s\n", what.c_str());
  exit(1);
}

std::string app_text(const std::string& name) {
  return "[application]\nname = \"" + name + "\"\ndomain = \"" + kDomain + "\"\nuser = \"" + kUser +
         "\"\n"
         "[tags]\nQTL_MBX = \"mailbox\"\nMB_MBX = \"mailbox\"\nBLOCK = \"digital\"\n"
         "B_STATE = \"analog\"\nB_STATUS = \"analog\"\nB_INHIBIT = \"digital\"\n"
         "W = { type = \"analog\", dims = [100] }\n"
         "[[task]]\nname = \"QUANTREL\"\nprogram = \"quantrel\"\n"
         "[[task]]\nname = \"MODBUS\"\nprogram = \"zq modbus --config modbus.toml\"\n"
         "[quantrel]\nmailbox = \"QTL_MBX\"\n"
         "[[quantrel.provider]]\nmailbox = \"MB_MBX\"\n"
         "[[quantrel.provider.source]]\nname = \"BLOCK\"\nread_enabled = true\n"
         "status = \"B_STATUS\"\nstate = \"B_STATE\"\nread_inhibit = \"B_INHIBIT\"\n"
         "conversions = [{ tag = \"W[0]\", address = 0, count = 100, type = \"DT_WORD\" }]\n";
}

std::string provider_text(int port, int read_ahead_ms) {
  return "[modbus]\ntask = \"MODBUS\"\nmailbox = \"MB_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n"
         "[[device]]\nname = \"bench\"\nhost = \"127.0.0.1\"\nread_ahead_ms = " +
         std::to_string(read_ahead_ms) + "\nport = " + std::to_string(port) +
         "\n[[source]]\nname = \"BLOCK\"\ntable = \"holding_registers\"\nstart = 0\n"
         "count = 100\nstate_tag = \"B_STATE\"\n";
}

// Starts a program with its output into `output`; waits for it when asked.
int spawn(const std::vector<std::string>& argv, const std::string& output, bool wait_for_it,
          pid_t* pid_out = nullptr) {
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
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

// The number before `what` in zq modbus's summary line ("... 123 forced reads ...").
double summary_count(const std::string& text, const std::string& what) {
  size_t at = text.find(" " + what);
  if (at == std::string::npos || at == 0) return -1;
  size_t begin = text.rfind(' ', at - 1);
  return atof(text.substr(begin + 1, at - begin - 1).c_str());
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

class Bench {
 public:
  Bench(int rounds, int round_ms, int read_ahead_ms)
      : rounds_(rounds),
        round_(std::chrono::milliseconds(round_ms)),
        read_ahead_ms_(read_ahead_ms) {}
  ~Bench() { stop_chain(); }

  int run() {
    if (!server_.start()) fail("the server cannot listen");
    printf("Continuous read of %d holding registers from a libmodbus server on 127.0.0.1:%d\n",
           kRegisters, server_.port());
    printf("%d alternating rounds of %lld ms each; zq modbus read_ahead_ms = %d\n", rounds_,
           static_cast<long long>(
               std::chrono::duration_cast<std::chrono::milliseconds>(round_).count()),
           read_ahead_ms_);
    connect_bare();
    start_chain();
    std::vector<double> bare, chain_reads;  // us per read; us per Modbus read of the chain
    for (int i = 0; i < rounds_; ++i) {
      inhibit(1);
      std::this_thread::sleep_for(kSettle);
      bare.push_back(bare_round());
      inhibit(0);
      std::this_thread::sleep_for(kSettle);
      chain_reads.push_back(chain_round());
    }
    std::string check = value_of_w99();
    std::string summary = stop_chain();
    double forced = summary_count(summary, "forced reads");
    double reads = summary_count(summary, "Modbus requests");
    double ahead = summary_count(summary, "reads answered ahead");
    if (forced <= 0 || reads <= 0) fail("no summary line from zq modbus:\n" + summary);
    double reads_per_cycle = reads / forced;
    std::vector<double> chain, ratio;
    for (size_t i = 0; i < chain_reads.size(); ++i) {
      chain.push_back(chain_reads[i] * reads_per_cycle);
      ratio.push_back(chain.back() / bare[i]);
    }
    printf("  bare libmodbus read loop:         %8.1f us per read   (median; best %.1f)\n",
           median(bare), *std::min_element(bare.begin(), bare.end()));
    printf("  QUANTREL + zq modbus:             %8.1f us per cycle  (median; best %.1f)\n",
           median(chain), *std::min_element(chain.begin(), chain.end()));
    printf(
        "    %.3f Modbus reads per cycle, %.0f%% of the requests answered from a read ahead, "
        "W[99] = %s\n",
        reads_per_cycle, 100 * ahead / forced, check.c_str());
    printf("  ratio: %.2fx median of the rounds (%.2fx to %.2fx); target <= %.1fx\n", median(ratio),
           *std::min_element(ratio.begin(), ratio.end()),
           *std::max_element(ratio.begin(), ratio.end()), kTarget);
    return 0;
  }

 private:
  void connect_bare() {
    bare_ = modbus_new_tcp("127.0.0.1", server_.port());
    if (!bare_ || modbus_connect(bare_) != 0) fail("bare client cannot connect");
  }

  // Microseconds per read of the bare client over one round.
  double bare_round() {
    uint16_t regs[kRegisters];
    uint64_t n = 0;
    Clock::time_point t0 = Clock::now();
    while (Clock::now() - t0 < round_) {
      if (modbus_read_registers(bare_, 0, kRegisters, regs) != kRegisters)
        fail(std::string("bare read failed: ") + modbus_strerror(errno));
      ++n;
    }
    if (regs[kRegisters - 1] != kRegisters - 1) fail("the bare client reads wrong values");
    return seconds_since(t0) * kUsPerSecond / static_cast<double>(n);
  }

  // Microseconds per Modbus read the server answered in one round of the chain.
  double chain_round() {
    uint64_t n0 = server_.requests();
    Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(round_);
    uint64_t n = server_.requests() - n0;
    if (n == 0) fail("the chain does not read");
    return seconds_since(t0) * kUsPerSecond / static_cast<double>(n);
  }

  void start_chain() {
    char pattern[] = "/tmp/zqmbbenchXXXXXX";
    if (!mkdtemp(pattern)) fail("no temporary directory");
    dir_ = pattern;
    name_ = "mbb" + std::to_string(getpid());
    std::ofstream(dir_ + "/app.toml") << app_text(name_);
    app_ = dir_ + "/app";
    if (spawn({ZQ_TOOL, "ct", "build", dir_ + "/app.toml", "--out", app_}, dir_ + "/build.log",
              true) != 0) {
      fail("zq ct build failed; see " + dir_ + "/build.log");
    }
    std::ofstream(app_ + "/modbus.toml") << provider_text(server_.port(), read_ahead_ms_);
    spawn({ZQ_TOOL, "run", "--app", app_, "--bin", ZQ_QUANTREL_DIR}, dir_ + "/run.log", false,
          &manager_);
    uint64_t start = server_.requests();
    Clock::time_point t0 = Clock::now();
    while (server_.requests() < start + 100 && seconds_since(t0) < kStartSeconds) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (server_.requests() < start + 100) fail("the chain does not read; see " + dir_ + "/run.log");
    id_ = zq_init("BENCH", "modbus_bench", name_.c_str(), kDomain, kUser);
    if (id_ < 0) fail("cannot attach to the application's database");
    SimResolver resolve = sim_object_table_resolver(app_);
    if (!resolve("B_INHIBIT", &inhibit_tag_) || !resolve("W[99]", &w99_tag_))
      fail("the application's object table lacks B_INHIBIT or W[99]");
  }

  void inhibit(int16_t value) {
    if (zq_write(id_, &inhibit_tag_, 1, &value) != 0) fail("cannot write the read-inhibit tag");
  }

  std::string value_of_w99() {
    int16_t v = -1;
    zq_read(id_, &w99_tag_, 1, &v);
    return std::to_string(v);
  }

  // Stops zq run; zq modbus's summary line from its output.
  std::string stop_chain() {
    if (manager_ < 0) return "";
    if (id_ >= 0) zq_exit(id_);
    id_ = -1;
    kill(manager_, SIGINT);
    waitpid(manager_, nullptr, 0);
    manager_ = -1;
    std::ifstream in(dir_ + "/run.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = text.find("MODBUS stopped:");
    std::string summary =
        at == std::string::npos ? text : text.substr(at, text.find('\n', at) - at);
    std::error_code ec;
    fs::remove_all(dir_, ec);
    if (bare_) {
      modbus_close(bare_);
      modbus_free(bare_);
      bare_ = nullptr;
    }
    return summary;
  }

  int rounds_;
  Clock::duration round_;
  int read_ahead_ms_;
  BenchModbusServer server_{kServerRegisters};
  modbus_t* bare_ = nullptr;
  std::string dir_, name_, app_;
  pid_t manager_ = -1;
  int id_ = -1;
  TagRef inhibit_tag_{};
  TagRef w99_tag_{};
};

}  // namespace

int main(int argc, char** argv) {
  int rounds = kDefaultRounds;
  int round_ms = kDefaultRoundMs;
  int read_ahead_ms = static_cast<int>(MB_DEFAULT_READ_AHEAD_MS);
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--no-read-ahead") == 0) read_ahead_ms = 0;
    if (i + 1 >= argc) continue;
    if (strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, atoi(argv[i + 1]));
    if (strcmp(argv[i], "--round-ms") == 0) round_ms = std::max(10, atoi(argv[i + 1]));
  }
  Bench bench(rounds, round_ms, read_ahead_ms);
  return bench.run();
}
