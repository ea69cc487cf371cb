// End-to-end benchmark: QUANTREL reading continuously from a minimal
// provider task (e2e_provider) in another process, against a baseline of two
// processes doing the same mailbox request and reply through the kernel with
// the same message sizes and no conversion (this process as the client,
// e2e_provider as the server).
//
//   1. one data source of 100 DT_WORD tags: cycles per second of QUANTREL and
//      of the baseline, alternating in several rounds; time per cycle and the
//      ratio QUANTREL / baseline (target: at most 1.5);
//   2. 100 such data sources reading at once: cycles and tags per second.
//
// The applications are compiled with `zq ct build`; this program creates
// their shared-memory databases through the kernel, starts the tasks and
// stops them with termination requests.
//
//   e2e_bench [--seconds S] [--rounds N] [--cpu C]
//
// --cpu C runs every process on CPU C alone: each cycle then costs its CPU
// work and context switches, free of cross-CPU wake-up latency, and the
// figures vary far less from run to run on a busy machine.
#include <fcntl.h>
#include <sched.h>
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
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/ct_file.h"
#include "config/object_table.h"
#include "kernel/zqkernel.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kTagsPerSource = 100;
constexpr int kManySources = 100;
constexpr size_t kBufferSize = 4120;
constexpr size_t kHeaderSize = 8;
constexpr uint16_t kKindRead = 2;
constexpr uint16_t kKindReadData = 3;
constexpr uint16_t kQuantrelStation = 1;
constexpr int kStationShift = 8;
constexpr uint16_t kRequestFlags = 0x2003;  // format 3, unit size 2
constexpr uint16_t kReserved = 0xFFFF;
constexpr double kStartLimitS = 15;
constexpr double kStopLimitS = 10;
constexpr auto kWarmUp = std::chrono::milliseconds(300);
constexpr int16_t kTaskRunning = 1;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string tag_text(TagRef t) {
  return std::to_string(t.type) + ":" + std::to_string(t.index);
}

std::string source_name(int i) {
  char buf[16];
  snprintf(buf, sizeof buf, "D%03d", i);
  return buf;
}

// An application of `sources` data sources of 100 words each, read
// continuously from the provider's mailbox PROV_MBX.
std::string app_toml(const std::string& name, int sources) {
  std::string t = "[application]\nname = \"" + name + "\"\ndomain = \"bench\"\nuser = \"u" +
                  std::to_string(getpid()) +
                  "\"\n\n[tags]\nQTL_MBX = \"mailbox\"\nQTL_STATUS = \"long\"\n"
                  "QTL_MSG = { type = \"message\", capacity = 200 }\nPROV_MBX = \"mailbox\"\n"
                  "BASE_MBX = \"mailbox\"\nSERVED = \"long\"\n";
  std::string src =
      "[quantrel]\nmailbox = \"QTL_MBX\"\n\n[[quantrel.provider]]\nmailbox = \"PROV_MBX\"\n\n";
  for (int i = 0; i < sources; ++i) {
    std::string n = source_name(i);
    t += n + " = \"digital\"\n" + n + "_ST = \"analog\"\n" + n + "_RDY = \"digital\"\n" + n +
         "_W = { type = \"analog\", dims = [" + std::to_string(kTagsPerSource) + "] }\n";
    src += "[[quantrel.provider.source]]\nname = \"" + n + "\"\nread_enabled = true\nstatus = \"" +
           n + "_ST\"\nread_ready = \"" + n + "_RDY\"\nconversions = [ { tag = \"" + n +
           "_W[0]\", address = 0, count = " + std::to_string(kTagsPerSource) +
           ", type = \"DT_WORD\" } ]\n\n";
  }
  return t + "\n" + src;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& log) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

bool wait_exit(pid_t pid, double seconds) {
  auto start = Clock::now();
  int st = 0;
  while (seconds_since(start) < seconds) {
    if (waitpid(pid, &st, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return false;
}

// One compiled application with its database, this process attached.
class Bench {
 public:
  bool open(const std::string& work, const std::string& name, int sources) {
    name_ = name;
    sources_ = sources;
    dir_ = work + "/" + name;
    log_ = dir_ + ".log";
    fs::create_directories(dir_);
    std::ofstream(dir_ + ".toml") << app_toml(name, sources);
    pid_t b = spawn({ZQ_TOOL, "ct", "build", dir_ + ".toml", "--out", dir_}, {}, log_);
    int st = 0;
    waitpid(b, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return fail("zq ct build failed");
    CtFile ct;
    std::vector<ObjectRecord> records;
    std::string objects = dir_ + "/ct/object.ct";
    if (ct_open(&ct, nullptr, objects.c_str()) != 0) return fail("cannot open object.ct");
    int rc = object_table_read_all(&ct, &records);
    ct_close(&ct);
    std::vector<ZqTagDecl> decls;
    if (rc != 0 || object_kernel_declarations(records, &decls) != 0) return fail("object.ct");
    for (const ObjectRecord& r : records) refs_[r.name] = r.tag;
    user_ = "u" + std::to_string(getpid());
    char shm[128];
    zq_db_shm_name(name.c_str(), "bench", user_.c_str(), shm, sizeof shm);
    zq_db_unlink(shm);
    ZqDbLimits limits;
    zq_db_default_limits(&limits);
    if (zq_db_create(shm, decls.data(), static_cast<uint32_t>(decls.size()), &limits, nullptr,
                     &db_) != 0)
      return fail("cannot create the database");
    zq_db_use(db_);
    id_ = zq_init("BENCH", "e2e_bench", name.c_str(), "bench", user_.c_str());
    if (id_ < 0) return fail("cannot attach");
    ZqTaskSetup setup{};
    std::string bin = fs::path(QUANTREL_PATH).parent_path().string();
    setup.arguments = "-LS1";
    setup.app_dir = dir_.c_str();
    setup.bin_dir = bin.c_str();
    setup.status_tag = refs_["QTL_STATUS"];
    setup.message_tag = refs_["QTL_MSG"];
    if (zq_task_configure(db_, "QUANTREL", &setup) != 0) return fail("cannot configure QUANTREL");
    env_ = {"ZQAPP=" + dir_, std::string("ZQROOT=") + ZQ_ROOT, "ZQNAME=" + name, "ZQDOMAIN=bench",
            "ZQUSER=" + user_};
    return true;
  }

  void close() {
    stop_all();
    if (id_ >= 0) zq_exit(id_);
    id_ = -1;
    if (db_) {
      zq_db_use(nullptr);
      zq_db_destroy(db_);
    }
    db_ = nullptr;
  }

  bool start_provider(const std::string& reply) {
    provider_ = spawn({PROVIDER_PATH, "PROV", tag_text(refs_["PROV_MBX"]), tag_text(refs_[reply]),
                       tag_text(refs_["SERVED"]), std::to_string(kTagsPerSource)},
                      env_, log_);
    return wait_for([&] { return task_attached("PROV"); }) || fail("the provider did not start");
  }
  bool start_quantrel() {
    quantrel_ = spawn({QUANTREL_PATH}, env_, log_);
    return wait_for([&] { return read_long("QTL_STATUS") == kTaskRunning; }) ||
           fail("QUANTREL did not start");
  }
  void stop_all() {
    for (auto [task, pid] : {std::pair<const char*, pid_t*>{"QUANTREL", &quantrel_},
                             std::pair<const char*, pid_t*>{"PROV", &provider_}}) {
      if (*pid <= 0) continue;
      zq_task_request_term(db_, task);
      if (!wait_exit(*pid, kStopLimitS)) fprintf(stderr, "e2e_bench: %s killed\n", task);
      *pid = -1;
    }
  }

  // Cycles per second served by the provider while QUANTREL reads.
  double quantrel_rate(double seconds) {
    if (!start_provider("QTL_MBX") || !start_quantrel()) {
      stop_all();
      return 0;
    }
    std::this_thread::sleep_for(kWarmUp);
    int32_t s0 = read_long("SERVED");
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    int32_t s1 = read_long("SERVED");
    double rate = (s1 - s0) / seconds_since(t0);
    stop_all();
    return rate;
  }

  // What QUANTREL writes per answer of data source 0: its 100 words, its
  // status tag and, forced, its complete tag.
  bool write_source_tags(const uint8_t* words_block) {
    if (words_.empty()) {
      TagRef first = refs_[source_name(0) + "_W"];  // the array's first element
      for (int k = 0; k < kTagsPerSource; ++k)
        words_.push_back(TagRef{first.type, static_cast<uint16_t>(first.index + k)});
    }
    TagRef status = refs_[source_name(0) + "_ST"], ready = refs_[source_name(0) + "_RDY"];
    int16_t zero = 0, one = 1;
    return zq_write(id_, words_.data(), kTagsPerSource, words_block) == 0 &&
           zq_write(id_, &status, 1, &zero) == 0 && zq_f_write(id_, &ready, 1, &one) == 0;
  }

  // Those writes alone, with no other task attached and waiting: their own
  // CPU cost, without the wake-ups they cause.
  double tag_writes_alone_rate(double seconds) {
    std::vector<uint8_t> block(kTagsPerSource * 2, 0);
    long n = 0;
    auto t0 = Clock::now();
    while (seconds_since(t0) < seconds) {
      block[0] = static_cast<uint8_t>(n);
      if (!write_source_tags(block.data())) return 0;
      ++n;
    }
    return n / seconds_since(t0);
  }

  // The baseline: this process sends the 8-byte read request to the
  // provider and takes its 208-byte answer out of its own mailbox, in turn.
  // With `tag_writes` it also writes what QUANTREL writes per answer (the
  // 100 words copied as they came, the status tag, the forced complete tag),
  // without any conversion: the kernel's share of QUANTREL's cycle.
  double baseline_rate(double seconds, bool tag_writes = false) {
    if (!start_provider("BASE_MBX")) {
      stop_all();
      return 0;
    }
    TagRef prov = refs_["PROV_MBX"], base = refs_["BASE_MBX"];
    std::vector<uint8_t> request(kHeaderSize, 0), answer(kBufferSize);
    request[0] = kRequestFlags & 0xFF;
    request[1] = kRequestFlags >> 8;
    request[2] = kTagsPerSource;
    MbxMessage m{};
    m.data = request.data();
    m.capacity = static_cast<uint16_t>(request.size());
    m.length = kHeaderSize;
    m.reserved1 = kReserved;
    m.reserved2 = kReserved;
    m.control = static_cast<uint16_t>(kKindRead | kQuantrelStation << kStationShift);
    m.station = kQuantrelStation;
    m.key = refs_[source_name(0)];
    zq_clear_chg(id_, &base, 1);
    auto write_tags = [&]() { return write_source_tags(answer.data() + kHeaderSize); };
    auto cycle = [&]() -> bool {
      if (zq_write_mbx(id_, id_, prov, &m) != 0) return false;
      uint32_t at = 0;
      ChangeRecord rec;
      char text[ZQ_CHANGE_TEXT_CAPACITY];
      change_record_prepare(&rec, text, sizeof text);
      if (zq_change_wait(id_, &base, 1, &at, &rec) != 0) return false;
      MbxMessage in{};
      in.data = answer.data();
      in.capacity = static_cast<uint16_t>(answer.size());
      if (zq_read_mbx(id_, id_, base, &in, 0) != 0 || (in.control & 0xF) != kKindReadData)
        return false;
      return !tag_writes || write_tags();
    };
    for (auto t = Clock::now(); seconds_since(t) < kWarmUp.count() / 1000.0;)
      if (!cycle()) {
        fail("baseline cycle failed");
        stop_all();
        return 0;
      }
    long cycles = 0;
    auto t0 = Clock::now();
    while (seconds_since(t0) < seconds) {
      if (!cycle()) {
        fail("baseline cycle failed");
        stop_all();
        return 0;
      }
      ++cycles;
    }
    double rate = cycles / seconds_since(t0);
    stop_all();
    return rate;
  }

 private:
  bool fail(const std::string& what) {
    fprintf(stderr, "e2e_bench: %s: %s (log %s)\n", name_.c_str(), what.c_str(), log_.c_str());
    return false;
  }
  template <typename F>
  bool wait_for(F done) {
    auto start = Clock::now();
    while (!done()) {
      if (seconds_since(start) > kStartLimitS) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  bool task_attached(const char* name) {
    ZqTaskState tasks[ZQ_MAX_TASKS];
    int n = 0;
    zq_task_list(db_, tasks, ZQ_MAX_TASKS, &n);
    for (int i = 0; i < n; ++i)
      if (std::string(tasks[i].name) == name && tasks[i].attached) return true;
    return false;
  }
  int32_t read_long(const std::string& tag) {
    TagRef r = refs_[tag];
    int32_t v = 0;
    zq_read(id_, &r, 1, &v);
    return v;
  }

  std::string name_, user_, dir_, log_;
  int sources_ = 0;
  std::map<std::string, TagRef> refs_;
  std::vector<TagRef> words_;
  std::vector<std::string> env_;
  ZqDb* db_ = nullptr;
  int id_ = -1;
  pid_t provider_ = -1, quantrel_ = -1;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1;
  int rounds = 7;
  int cpu = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--seconds")) seconds = atof(argv[i + 1]);
    if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
    if (!strcmp(argv[i], "--cpu")) cpu = atoi(argv[i + 1]);
  }
  if (cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
      perror("e2e_bench: --cpu");
      return 1;
    }
    printf("every process on CPU %d\n", cpu);
  }
  signal(SIGPIPE, SIG_IGN);
  char tmpl[] = "/tmp/zqbenchXXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string work = tmpl;
  std::string id = std::to_string(getpid());

  Bench one;
  if (!one.open(work, "e2eb1x" + id, 1)) return 1;
  std::vector<double> base, plus, qtl;
  printf("One data source of %d DT_WORD tags, %d rounds of %.1f s each\n", kTagsPerSource, rounds,
         seconds);
  printf("%-6s %16s %16s %16s\n", "round", "baseline/s", "+tag writes/s", "QUANTREL/s");
  for (int r = 0; r < rounds; ++r) {
    base.push_back(one.baseline_rate(seconds));
    plus.push_back(one.baseline_rate(seconds, true));
    qtl.push_back(one.quantrel_rate(seconds));
    printf("%-6d %16.0f %16.0f %16.0f\n", r + 1, base.back(), plus.back(), qtl.back());
    fflush(stdout);
  }
  double alone = one.tag_writes_alone_rate(seconds);
  one.close();
  if (median(base) <= 0 || median(plus) <= 0 || median(qtl) <= 0) {
    fprintf(stderr, "e2e_bench: a run failed; logs under %s\n", work.c_str());
    return 1;
  }
  // The machine's other load disturbs single rounds; the median and the best
  // round of each side are both shown.
  printf("\n%-8s %-28s %12s %14s %8s\n", "", "", "cycles/s", "us per cycle", "ratio");
  for (const char* which : {"median", "best"}) {
    auto pick = [&](const std::vector<double>& v) {
      return std::string(which) == "best" ? *std::max_element(v.begin(), v.end()) : median(v);
    };
    double b = pick(base), p = pick(plus), q = pick(qtl);
    printf("%-8s %-28s %12.0f %14.2f %7.2fx\n", which, "baseline (mailboxes only)", b, 1e6 / b,
           1.0);
    printf("%-8s %-28s %12.0f %14.2f %7.2fx\n", which, "baseline + the tag writes", p, 1e6 / p,
           b / p);
    printf("%-8s %-28s %12.0f %14.2f %7.2fx\n", which, "QUANTREL", q, 1e6 / q, b / q);
  }
  printf("ratio = time per cycle / the baseline's; target for QUANTREL <= 1.5x\n");
  if (alone > 0) printf("the tag writes alone, no task waiting: %.2f us per set\n", 1e6 / alone);

  Bench many;
  if (!many.open(work, "e2ebNx" + id, kManySources)) return 1;
  double m = many.quantrel_rate(seconds);
  many.close();
  printf("\n%d data sources of %d DT_WORD tags reading at once: %.0f cycles/s, %.0f tags/s\n",
         kManySources, kTagsPerSource, m, m * kTagsPerSource);
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
