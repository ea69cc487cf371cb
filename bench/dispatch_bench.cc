// One wait-and-dispatch pass over 10 000 registered tags of which 1 000
// changed, against the bare kernel scan (a zq_get_chg loop over the same tag
// list) measured in the same run. Prints the cost per changed tag of both
// and their ratio.
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kernel/zqkernel.h"
#include "runtime/task.h"
#include "runtime/triggers.h"

namespace {

constexpr uint16_t TAGS = 10000;
constexpr uint32_t CHANGED = 1000;
constexpr unsigned SEED = 20240229;

struct Setup {
  ZqDb* db = nullptr;
  TaskContext ctx = {};
  std::vector<TagRef> tags;     // the registered tags, ascending
  std::vector<TagRef> changed;  // CHANGED of them, spread at random
  bool ok = false;
};

uint64_t g_handled = 0;

int CountingHandler(void*, ChangeRecord record) {
  g_handled += static_cast<uint16_t>(change_record_int16(record)) + 1;
  return 0;
}

Setup& World() {
  static Setup s;
  if (s.ok) return s;
  const ZqTagDecl decl = {TAG_DIGITAL, TAGS, 0};
  TagRef first;
  if (zq_db_create(nullptr, &decl, 1, nullptr, &first, &s.db) != 0) return s;
  zq_db_use(s.db);
  task_set_identity(&s.ctx);
  s.ctx.task_id = zq_init(s.ctx.task_name, s.ctx.task_description, "", "", "");
  if (s.ctx.task_id < 0) return s;
  for (uint16_t i = 0; i < TAGS; ++i) {
    TagRef tag = {first.type, static_cast<uint16_t>(first.index + i)};
    s.tags.push_back(tag);
    if (register_triggers(&s.ctx, &tag, nullptr, 1, CountingHandler) != 0) return s;
  }
  std::vector<TagRef> shuffled = s.tags;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(SEED));
  s.changed.assign(shuffled.begin(), shuffled.begin() + CHANGED);
  s.ok = true;
  return s;
}

void MarkChanged(Setup& s) {
  zq_set_chg(s.ctx.task_id, s.changed.data(), static_cast<uint32_t>(s.changed.size()));
}

void BM_DispatchPass(benchmark::State& state) {
  Setup& s = World();
  if (!s.ok) {
    state.SkipWithError("database set-up failed");
    return;
  }
  uint64_t handled = 0;
  for (auto _ : state) {
    state.PauseTiming();
    MarkChanged(s);
    const uint64_t before = g_handled;
    state.ResumeTiming();
    benchmark::DoNotOptimize(zq_wait_event(&s.ctx));
    state.PauseTiming();
    handled += g_handled - before;
    state.ResumeTiming();
  }
  if (handled != static_cast<uint64_t>(state.iterations()) * CHANGED)
    state.SkipWithError("not every changed tag handled");
  state.SetItemsProcessed(state.iterations() * CHANGED);
}

void BM_BareKernelScan(benchmark::State& state) {
  Setup& s = World();
  if (!s.ok) {
    state.SkipWithError("database set-up failed");
    return;
  }
  uint64_t found = 0;
  char buffer[ZQ_CHANGE_TEXT_CAPACITY];
  ChangeRecord record;
  for (auto _ : state) {
    state.PauseTiming();
    MarkChanged(s);
    state.ResumeTiming();
    uint32_t index = 0;
    for (;;) {
      change_record_prepare(&record, buffer, ZQ_CHANGE_TEXT_CAPACITY);
      if (zq_get_chg(s.ctx.task_id, s.tags.data(), TAGS, &index, &record) != 0) break;
      g_handled += static_cast<uint16_t>(change_record_int16(record)) + 1;
      ++found;
      ++index;
    }
  }
  if (found != static_cast<uint64_t>(state.iterations()) * CHANGED)
    state.SkipWithError("not every changed tag found");
  state.SetItemsProcessed(state.iterations() * CHANGED);
}

BENCHMARK(BM_DispatchPass)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_BareKernelScan)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// Keeps the per-iteration times of each benchmark for the ratio. CPU time is
// the figure compared: the pass is single-threaded and wall time on a shared
// machine also counts other processes.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Figures {
    double real_ns = 0;  // per changed tag
    double cpu_ns = 0;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      // Times are in the benchmark's unit, microseconds.
      const Figures f = {run.GetAdjustedRealTime() * 1000.0 / CHANGED,
                         run.GetAdjustedCPUTime() * 1000.0 / CHANGED};
      if (run.benchmark_name().find("DispatchPass") != std::string::npos) dispatch = f;
      if (run.benchmark_name().find("BareKernelScan") != std::string::npos) scan = f;
    }
  }
  Figures dispatch;
  Figures scan;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const RatioReporter::Figures& d = reporter.dispatch;
  const RatioReporter::Figures& k = reporter.scan;
  if (d.cpu_ns > 0 && k.cpu_ns > 0) {
    printf("\nper changed tag (%u of %u registered tags changed):\n", CHANGED, TAGS);
    printf("  dispatch pass     %9.1f ns cpu  %9.1f ns real\n", d.cpu_ns, d.real_ns);
    printf("  bare kernel scan  %9.1f ns cpu  %9.1f ns real\n", k.cpu_ns, k.real_ns);
    printf("ratio dispatch / bare scan: %.2fx cpu, %.2fx real (target <= 1.30x)\n",
           d.cpu_ns / k.cpu_ns, d.real_ns / k.real_ns);
  }
  benchmark::Shutdown();
  return 0;
}
