// Change round trip through the kernel against a pipe ping-pong baseline.
//
// A writes a tag, B's zq_change_wait wakes and writes a reply tag, A's wait
// wakes: one round trip. The baseline sends 8 bytes over one pipe and back
// over another between the same two parties. Both run between two threads
// and between two processes; the program prints µs per round trip and the
// kernel/pipe ratios.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>

#include "kernel/zqkernel.h"

namespace {

constexpr int32_t kStopValue = -1;
constexpr double kMicrosPerSecond = 1e6;
constexpr const char* kDomain = "bench";
constexpr const char* kUser = "kernel";

// Long tags: 1 = request (A to B), 2 = reply (B to A).
constexpr TagRef kRequest = {TAG_LONG, 1};
constexpr TagRef kReply = {TAG_LONG, 2};

int32_t wait_value(int id, TagRef tag) {
  ChangeRecord record;
  change_record_prepare(&record, nullptr, 0);
  uint32_t index = 0;
  if (zq_change_wait(id, &tag, 1, &index, &record) != 0) return kStopValue;
  return change_record_int32(record);
}

// Party B: tells it is ready (reply 0), then answers every request with its
// value, until the stop value.
void kernel_responder(int id) {
  const int32_t ready = 0;
  if (zq_f_write(id, &kReply, 1, &ready) != 0) return;
  for (;;) {
    int32_t v = wait_value(id, kRequest);
    if (v == kStopValue) return;
    if (zq_write(id, &kReply, 1, &v) != 0) return;
  }
}

void pipe_responder(int in, int out) {
  int64_t v = 0;
  while (read(in, &v, sizeof v) == sizeof v && v != kStopValue) {
    if (write(out, &v, sizeof v) != sizeof v) return;
  }
}

ZqDb* create_db(const std::string& zq_name) {
  char shm[256];
  if (zq_db_shm_name(zq_name.c_str(), kDomain, kUser, shm, sizeof shm) != 0) return nullptr;
  zq_db_unlink(shm);
  const ZqTagDecl decls[] = {{TAG_LONG, 2, 0}};
  ZqDb* db = nullptr;
  return zq_db_create(shm, decls, 1, nullptr, nullptr, &db) == 0 ? db : nullptr;
}

void kernel_round_trips(benchmark::State& state, int a) {
  if (wait_value(a, kReply) != 0) return state.SkipWithError("responder not ready");
  int32_t i = 0;
  for (auto _ : state) {
    ++i;
    if (zq_write(a, &kRequest, 1, &i) != 0 || wait_value(a, kReply) != i) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  int32_t stop = kStopValue;
  zq_write(a, &kRequest, 1, &stop);
}

void BM_KernelThreads(benchmark::State& state) {
  ZqDb* db = create_db("kbt" + std::to_string(getpid()));
  if (!db) return state.SkipWithError("cannot create database");
  zq_db_use(db);
  int a = zq_init("A", "", nullptr, nullptr, nullptr);
  int b = zq_init("B", "", nullptr, nullptr, nullptr);
  std::thread responder(kernel_responder, b);
  kernel_round_trips(state, a);
  responder.join();
  zq_db_destroy(db);
}

void BM_KernelProcesses(benchmark::State& state) {
  const std::string zq_name = "kbp" + std::to_string(getpid());
  ZqDb* db = create_db(zq_name);
  if (!db) return state.SkipWithError("cannot create database");
  zq_db_use(db);
  int a = zq_init("A", "", nullptr, nullptr, nullptr);
  pid_t child = fork();
  if (child == 0) {
    zq_db_use(nullptr);  // attach through the name, as a separate task would
    int b = zq_init("B", "", zq_name.c_str(), kDomain, kUser);
    if (b > 0) kernel_responder(b);
    _exit(0);
  }
  kernel_round_trips(state, a);
  waitpid(child, nullptr, 0);
  zq_db_destroy(db);
}

void pipe_round_trips(benchmark::State& state, int out, int in) {
  int64_t v = 0;
  for (auto _ : state) {
    ++v;
    int64_t back = 0;
    if (write(out, &v, sizeof v) != sizeof v || read(in, &back, sizeof back) != sizeof back ||
        back != v) {
      state.SkipWithError("pipe round trip failed");
      break;
    }
  }
  int64_t stop = kStopValue;
  if (write(out, &stop, sizeof stop) != sizeof stop) state.SkipWithError("pipe stop failed");
}

void BM_PipeThreads(benchmark::State& state) {
  int to_b[2], to_a[2];
  if (pipe(to_b) != 0 || pipe(to_a) != 0) return state.SkipWithError("pipe");
  std::thread responder(pipe_responder, to_b[0], to_a[1]);
  pipe_round_trips(state, to_b[1], to_a[0]);
  responder.join();
  for (int fd : {to_b[0], to_b[1], to_a[0], to_a[1]}) close(fd);
}

void BM_PipeProcesses(benchmark::State& state) {
  int to_b[2], to_a[2];
  if (pipe(to_b) != 0 || pipe(to_a) != 0) return state.SkipWithError("pipe");
  pid_t child = fork();
  if (child == 0) {
    pipe_responder(to_b[0], to_a[1]);
    _exit(0);
  }
  pipe_round_trips(state, to_b[1], to_a[0]);
  waitpid(child, nullptr, 0);
  for (int fd : {to_b[0], to_b[1], to_a[0], to_a[1]}) close(fd);
}

BENCHMARK(BM_PipeThreads)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_KernelThreads)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PipeProcesses)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_KernelProcesses)->UseRealTime()->MinTime(1.0);

// Console output as usual, and the time per round trip kept by name.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      // The adjusted time is in the run's unit; the multiplier is units per second.
      micros_[run.benchmark_name()] = run.GetAdjustedRealTime() * kMicrosPerSecond /
                                      benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }
  double micros(const std::string& prefix) const {
    for (const auto& [name, us] : micros_) {
      if (name.rfind(prefix, 0) == 0) return us;
    }
    return 0;
  }

 private:
  std::map<std::string, double> micros_;
};

void print_ratio(const RatioReporter& r, const char* what, const char* kernel, const char* pipe) {
  double k = r.micros(kernel);
  double p = r.micros(pipe);
  if (k <= 0 || p <= 0) {
    printf("%-10s incomplete\n", what);
    return;
  }
  printf("%-10s kernel %.2f us   pipe %.2f us   kernel/pipe %.2f\n", what, k, p, k / p);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nround trip (write, peer wakes and writes back, writer wakes):\n");
  print_ratio(reporter, "threads", "BM_KernelThreads", "BM_PipeThreads");
  print_ratio(reporter, "processes", "BM_KernelProcesses", "BM_PipeProcesses");
  printf("target: processes kernel/pipe <= 1.50\n");
  benchmark::Shutdown();
  return 0;
}
