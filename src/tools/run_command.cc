// zq run: the run-time manager. Creates the application's database, starts
// its tasks, shows their status and message tags, stops them on Ctrl-C or
// after a timed run and removes the database.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/object_table.h"
#include "tools/app_files.h"
#include "tools/app_values.h"
#include "tools/zq_command.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kManagerTask = "ZQRUN";
constexpr const char* kManagerDesc = "zq run: run-time manager";
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr double kDefaultStopTimeout = 10.0;
constexpr int kExecFailed = 127;
constexpr size_t kShmNameSize = 128;
constexpr size_t kMessageColumn = 60;  // message text shown in the live table

// Task status values the tasks write into their status tag.
constexpr int kStatusStopped = 0;
constexpr int kStatusRunning = 1;
constexpr int kStatusError = 2;
constexpr int kStatusStarting = 3;

const char* status_name(int64_t status) {
  switch (status) {
    case kStatusStopped:
      return "stopped";
    case kStatusRunning:
      return "running";
    case kStatusError:
      return "error";
    case kStatusStarting:
      return "starting";
    default:
      return "?";
  }
}

volatile sig_atomic_t g_stop_signals = 0;
void on_stop_signal(int) {
  g_stop_signals = g_stop_signals + 1;
}

struct Options {
  std::string app;
  double for_seconds = 0;
  std::string root;
  std::string bin;
  double stop_timeout = kDefaultStopTimeout;
  bool plain = false;
};

struct Task {
  AppTask spec;
  std::string exe;
  std::vector<std::string> argv;
  pid_t pid = -1;
  bool running = false;
  bool killed = false;       // by the manager, after the stop time-out
  bool ended_early = false;  // ended before termination was requested
  int exit_code = -1;        // when it exited
  int exit_signal = 0;       // when a signal ended it
  std::string status = "-";  // its status tag, as shown
  std::string message;       // its message tag
  std::string last_line;     // last plain line printed for it
};

std::string self_exe() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  return buf;
}

bool is_executable(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec) && access(p.c_str(), X_OK) == 0;
}

// The installation root: --root, else $ZQROOT, else root/ two levels above
// the zq program (the build tree), else the source tree's root/.
std::string find_root(const Options& o, const fs::path& zq_dir) {
  if (!o.root.empty()) return fs::absolute(o.root).lexically_normal().string();
  if (const char* env = getenv("ZQROOT"); env && *env) return env;
  fs::path beside = (zq_dir / ".." / ".." / "root").lexically_normal();
  std::error_code ec;
  if (fs::is_directory(beside, ec)) return beside.string();
#ifdef ZQ_SOURCE_ROOT
  if (fs::is_directory(ZQ_SOURCE_ROOT, ec)) return ZQ_SOURCE_ROOT;
#endif
  return beside.string();
}

// Finds the program of each task: "zq ..." is this very program; any other
// name is looked up in --bin, else in ../app beside zq (the build tree), else
// beside zq.
bool resolve_programs(std::vector<Task>* tasks, const Options& o, const std::string& zq,
                      std::string* error) {
  fs::path zq_dir = fs::path(zq).parent_path();
  std::vector<fs::path> dirs;
  if (!o.bin.empty()) {
    dirs.push_back(fs::absolute(o.bin));
  } else {
    dirs.push_back((zq_dir / ".." / "app").lexically_normal());
    dirs.push_back(zq_dir);
  }
  for (Task& t : *tasks) {
    std::istringstream words(t.spec.program);
    std::string first, w;
    words >> first;
    std::vector<std::string> rest;
    while (words >> w) rest.push_back(w);
    if (first == "zq") {
      t.exe = zq;
    } else {
      for (const fs::path& d : dirs) {
        if (is_executable(d / first)) {
          t.exe = (d / first).string();
          break;
        }
      }
      if (t.exe.empty()) {
        std::string where;
        for (const fs::path& d : dirs) where += (where.empty() ? "" : ", ") + d.string();
        *error = "task " + t.spec.name + ": program '" + first + "' not found in " + where +
                 " (give --bin DIR)";
        return false;
      }
    }
    t.argv.push_back(t.exe);
    for (auto& r : rest) t.argv.push_back(r);
  }
  return true;
}

bool process_alive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

class Manager {
 public:
  explicit Manager(const Options& o) : o_(o) {}
  ~Manager() { cleanup(); }
  int run();

 private:
  int prepare();
  bool create_database();
  bool start_tasks();
  void show_starting(TagRef status_tag);
  void poll_tasks();
  void read_tags();
  void show(bool final);
  void request_stop();
  void kill_remaining();
  int summary();
  void cleanup();
  double elapsed() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }
  size_t live_count() const {
    size_t n = 0;
    for (const Task& t : tasks_) n += t.running;
    return n;
  }

  Options o_;
  std::string app_dir_;
  std::string zq_;
  AppRunList list_;
  std::vector<ZqTagDecl> decls_;
  std::vector<Task> tasks_;
  char shm_[kShmNameSize] = {};
  ZqDb* db_ = nullptr;
  int id_ = -1;
  bool tty_ = false;
  int drawn_lines_ = 0;
  std::string last_frame_;
  bool stopping_ = false;
  std::vector<std::string> console_files_;
  Clock::time_point started_ = Clock::now();
};

int Manager::prepare() {
  std::error_code ec;
  if (!fs::is_directory(o_.app, ec)) {
    fprintf(stderr, "zq run: %s is not a directory\n", o_.app.c_str());
    return ZQ_EXIT_USAGE;
  }
  app_dir_ = fs::canonical(o_.app, ec).string();
  std::string error;
  if (!app_run_list_read(app_dir_, &list_, &error)) {
    fprintf(stderr, "zq run: %s\n(is %s an application directory written by zq ct build?)\n",
            error.c_str(), o_.app.c_str());
    return ZQ_EXIT_USAGE;
  }
  std::string objects_path = app_dir_ + "/" + APP_OBJECT_FILE;
  CtFile ct;
  int st = ct_open(&ct, nullptr, objects_path.c_str());
  std::vector<ObjectRecord> records;
  if (st == 0) {
    st = object_table_read_all(&ct, &records);
    ct_close(&ct);
  }
  if (st == 0) st = object_kernel_declarations(records, &decls_);
  if (st) {
    fprintf(stderr, "zq run: %s: %s\n", objects_path.c_str(), ct_strerror(st));
    return ZQ_EXIT_USAGE;
  }
  zq_ = self_exe();
  for (const AppTask& spec : list_.tasks) {
    Task t;
    t.spec = spec;
    tasks_.push_back(std::move(t));
  }
  if (!resolve_programs(&tasks_, o_, zq_, &error)) {
    fprintf(stderr, "zq run: %s\n", error.c_str());
    return ZQ_EXIT_FAILURE;
  }
  if (app_dir_.size() >= ZQ_TB_APP_DIR_SIZE)
    fprintf(stderr,
            "zq run: warning: the application directory has more than %zu characters; the "
            "task block holds it cut (ZQAPP holds it whole)\n",
            ZQ_TB_APP_DIR_SIZE - 1);
  return ZQ_EXIT_OK;
}

bool Manager::create_database() {
  if (zq_db_shm_name(list_.name.c_str(), list_.domain.c_str(), list_.user.c_str(), shm_,
                     sizeof shm_) != 0) {
    fprintf(stderr, "zq run: cannot name the database of %s.%s.%s\n", list_.name.c_str(),
            list_.domain.c_str(), list_.user.c_str());
    return false;
  }
  ZqDb* old = nullptr;
  if (zq_db_open(shm_, &old) == 0) {
    ZqDbInfo info{};
    zq_db_info(old, &info);
    zq_db_close(old);
    if (process_alive(info.owner_pid)) {
      fprintf(stderr,
              "zq run: application %s.%s.%s is already running under the manager with pid %d; "
              "stop that one first\n",
              list_.name.c_str(), list_.domain.c_str(), list_.user.c_str(), info.owner_pid);
      return false;
    }
    fprintf(stderr, "zq run: replacing database %s left behind by manager pid %d (gone)\n", shm_,
            info.owner_pid);
    zq_db_unlink(shm_);
  } else if (zq_errno(-1) == ZQ_ECORRUPT) {
    fprintf(stderr, "zq run: replacing unreadable database %s\n", shm_);
    zq_db_unlink(shm_);
  }
  std::vector<TagRef> first(decls_.size());
  ZqDb* db = nullptr;
  if (zq_db_create(shm_, decls_.data(), static_cast<uint32_t>(decls_.size()), &list_.limits,
                   first.data(), &db) != 0) {
    int e = zq_errno(-1);
    if (e == ZQ_EEXIST)
      fprintf(stderr, "zq run: another manager has just started application %s.%s.%s\n",
              list_.name.c_str(), list_.domain.c_str(), list_.user.c_str());
    else
      fprintf(stderr, "zq run: cannot create database %s: %s\n", shm_, zq_strerror(e));
    return false;
  }
  db_ = db;
  zq_db_use(db_);
  id_ = zq_init(kManagerTask, kManagerDesc, list_.name.c_str(), list_.domain.c_str(),
                list_.user.c_str());
  if (id_ < 0) {
    fprintf(stderr, "zq run: cannot attach to the database: %s\n", zq_strerror(zq_errno(-1)));
    return false;
  }
  return true;
}

// Until a task reports, its status tag shows "starting", not the 0
// ("stopped") of a fresh database. A status tag of another type is left alone.
void Manager::show_starting(TagRef status_tag) {
  uint16_t type = 0;
  if (zq_tag_info(&status_tag, 1, &type, nullptr) != 0) return;
  AppValue value;
  if (!app_value_parse(type, 0, std::to_string(kStatusStarting), &value).empty()) return;
  zq_write(id_, &status_tag, 1, value.slot);
}

bool Manager::start_tasks() {
  for (Task& t : tasks_) {
    std::string bin_dir = fs::path(t.exe).parent_path().string();
    ZqTaskSetup setup{};
    setup.arguments = t.spec.arguments.c_str();
    setup.app_dir = app_dir_.c_str();
    setup.bin_dir = bin_dir.c_str();
    setup.status_tag = t.spec.status_tag;
    setup.message_tag = t.spec.message_tag;
    if (zq_task_configure(db_, t.spec.name.c_str(), &setup) != 0) {
      fprintf(stderr, "zq run: cannot set up task %s: %s\n", t.spec.name.c_str(),
              zq_strerror(zq_errno(-1)));
      return false;
    }
    show_starting(t.spec.status_tag);
  }
  // On a terminal the live table owns the screen: each task's console output
  // goes to <app>/<name>/<domain>/<user>/log/<TASK>.console instead.
  fs::path console_dir = fs::path(app_dir_) / list_.name / list_.domain / list_.user / "log";
  if (tty_) {
    std::error_code ec;
    fs::create_directories(console_dir, ec);
  }
  for (Task& t : tasks_) {
    int console = -1;
    if (tty_) {
      fs::path file = console_dir / (t.spec.name + ".console");
      console = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (console < 0) {
        fprintf(stderr, "zq run: cannot open %s: %s\n", file.c_str(), strerror(errno));
        return false;
      }
      console_files_.push_back(file.string());
    }
    std::vector<char*> argv;
    for (std::string& a : t.argv) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
      fprintf(stderr, "zq run: cannot start task %s: %s\n", t.spec.name.c_str(), strerror(errno));
      return false;
    }
    if (pid == 0) {
      // Own process group: Ctrl-C reaches only the manager, which stops the
      // tasks through the kernel. A task outlives no manager.
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(kExecFailed);
      if (console >= 0) {
        dup2(console, STDOUT_FILENO);
        dup2(console, STDERR_FILENO);
      }
      signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execv(argv[0], argv.data());
      _exit(kExecFailed);
    }
    if (console >= 0) close(console);
    t.pid = pid;
    t.running = true;
  }
  return true;
}

void Manager::poll_tasks() {
  for (Task& t : tasks_) {
    if (!t.running) continue;
    int st = 0;
    pid_t r = waitpid(t.pid, &st, WNOHANG);
    if (r != t.pid) continue;
    t.running = false;
    t.ended_early = !stopping_;
    if (WIFEXITED(st)) t.exit_code = WEXITSTATUS(st);
    if (WIFSIGNALED(st)) t.exit_signal = WTERMSIG(st);
  }
}

void Manager::read_tags() {
  for (Task& t : tasks_) {
    AppValue v;
    if (t.spec.status_tag.type != ZQ_TAGREF_UNSET &&
        app_value_read(id_, t.spec.status_tag, &v) == 0) {
      int64_t s = 0;
      if (v.type == TAG_LONG) {
        int32_t x;
        memcpy(&x, v.slot, sizeof x);
        s = x;
      } else {
        int16_t x;
        memcpy(&x, v.slot, sizeof x);
        s = x;
      }
      t.status = std::to_string(s) + " " + status_name(s);
    }
    if (t.spec.message_tag.type != ZQ_TAGREF_UNSET &&
        app_value_read(id_, t.spec.message_tag, &v) == 0)
      t.message = v.text;
  }
}

std::string process_text(const Task& t) {
  if (t.running) return "running";
  if (t.pid < 0) return "not started";
  if (t.killed) return "killed";
  if (t.exit_signal) return "signal " + std::to_string(t.exit_signal);
  if (t.exit_code == kExecFailed) return "exec failed";
  return "exit " + std::to_string(t.exit_code);
}

std::string one_line(const std::string& s, size_t max) {
  std::string out;
  for (char c : s) out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() > max) out = out.substr(0, max - 3) + "...";
  return out;
}

void Manager::show(bool final) {
  char buf[512];
  if (!tty_) {
    for (Task& t : tasks_) {
      std::string state =
          process_text(t) + "  status " + t.status + "  \"" + one_line(t.message, SIZE_MAX) + "\"";
      if (state == t.last_line) continue;
      t.last_line = state;
      snprintf(buf, sizeof buf, "[%7.1fs] %-12s pid %-7d ", elapsed(), t.spec.name.c_str(),
               static_cast<int>(t.pid));
      printf("%s%s\n", buf, state.c_str());
    }
    fflush(stdout);
    return;
  }
  std::vector<std::string> lines;
  snprintf(buf, sizeof buf, "zq run  %s.%s.%s  %s  %.0fs%s", list_.name.c_str(),
           list_.domain.c_str(), list_.user.c_str(), app_dir_.c_str(), elapsed(),
           final ? "" : (stopping_ ? "  stopping..." : "  (Ctrl-C stops)"));
  lines.push_back(buf);
  snprintf(buf, sizeof buf, "%-12s %-8s %-12s %-12s %s", "TASK", "PID", "PROCESS", "STATUS",
           "MESSAGE");
  lines.push_back(buf);
  for (const Task& t : tasks_) {
    snprintf(buf, sizeof buf, "%-12s %-8d %-12s %-12s %s", t.spec.name.c_str(),
             static_cast<int>(t.pid), process_text(t).c_str(), t.status.c_str(),
             one_line(t.message, kMessageColumn).c_str());
    lines.push_back(buf);
  }
  std::string frame;
  for (const std::string& l : lines) frame += l + "\n";
  if (frame == last_frame_) return;
  last_frame_ = frame;
  std::string out;
  if (drawn_lines_ > 0) out += "\x1b[" + std::to_string(drawn_lines_) + "A";
  for (const std::string& l : lines) out += "\r\x1b[2K" + l + "\n";
  fputs(out.c_str(), stdout);
  fflush(stdout);
  drawn_lines_ = static_cast<int>(lines.size());
}

void Manager::request_stop() {
  stopping_ = true;
  if (!tty_) {
    printf("[%7.1fs] stopping: termination requested of %zu task(s)\n", elapsed(), live_count());
    fflush(stdout);
  }
  for (Task& t : tasks_) {
    if (t.running && zq_task_request_term(db_, t.spec.name.c_str()) != 0)
      fprintf(stderr, "zq run: cannot ask task %s to stop: %s\n", t.spec.name.c_str(),
              zq_strerror(zq_errno(-1)));
  }
}

void Manager::kill_remaining() {
  for (Task& t : tasks_) {
    if (!t.running) continue;
    fprintf(stderr, "zq run: task %s did not stop; killing pid %d\n", t.spec.name.c_str(),
            static_cast<int>(t.pid));
    kill(t.pid, SIGKILL);
    int st = 0;
    waitpid(t.pid, &st, 0);
    t.running = false;
    t.killed = true;
  }
}

int Manager::summary() {
  int unclean = 0;
  for (const std::string& f : console_files_) printf("console output: %s\n", f.c_str());
  for (const Task& t : tasks_) {
    bool clean = !t.killed && t.exit_signal == 0 && t.exit_code == 0;
    if (!clean) ++unclean;
    printf("%s: %s%s\n", t.spec.name.c_str(), process_text(t).c_str(),
           t.ended_early && !clean ? " (ended before the stop request)" : "");
  }
  if (unclean) {
    printf("zq run: %d task(s) did not stop cleanly\n", unclean);
    return ZQ_EXIT_FAILURE;
  }
  printf("zq run: every task stopped cleanly\n");
  return ZQ_EXIT_OK;
}

void Manager::cleanup() {
  if (!db_) return;
  for (Task& t : tasks_) {
    if (t.running) {
      kill(t.pid, SIGKILL);
      waitpid(t.pid, nullptr, 0);
      t.running = false;
      t.killed = true;
    }
  }
  if (id_ >= 0) zq_exit(id_);
  id_ = -1;
  zq_db_use(nullptr);
  zq_db_destroy(db_);
  db_ = nullptr;
}

int Manager::run() {
  int st = prepare();
  if (st != ZQ_EXIT_OK) return st;
  if (!create_database()) return ZQ_EXIT_FAILURE;
  // Children inherit the environment: the application's identity and where
  // the installation is.
  setenv("ZQAPP", app_dir_.c_str(), 1);
  setenv("ZQROOT", find_root(o_, fs::path(zq_).parent_path()).c_str(), 1);
  setenv("ZQNAME", list_.name.c_str(), 1);
  setenv("ZQDOMAIN", list_.domain.c_str(), 1);
  setenv("ZQUSER", list_.user.c_str(), 1);

  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  tty_ = !o_.plain && isatty(STDOUT_FILENO);
  if (!tty_) {
    printf("zq run: application %s.%s.%s from %s, database %s, ZQROOT %s\n", list_.name.c_str(),
           list_.domain.c_str(), list_.user.c_str(), app_dir_.c_str(), shm_, getenv("ZQROOT"));
    fflush(stdout);
  }
  started_ = Clock::now();
  if (!start_tasks()) {
    request_stop();
    kill_remaining();
    return ZQ_EXIT_FAILURE;
  }
  Clock::time_point stop_deadline{};
  bool had_tasks = !tasks_.empty();
  for (;;) {
    poll_tasks();
    read_tags();
    show(false);
    if (!stopping_) {
      bool timed_out = o_.for_seconds > 0 && elapsed() >= o_.for_seconds;
      bool all_ended = had_tasks && live_count() == 0;
      if (g_stop_signals > 0 || timed_out || all_ended) {
        request_stop();
        stop_deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(o_.stop_timeout));
      }
    } else {
      if (live_count() == 0) break;
      if (Clock::now() >= stop_deadline || g_stop_signals > 1) {
        kill_remaining();
        break;
      }
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  poll_tasks();
  read_tags();
  show(true);
  int result = summary();
  cleanup();
  return result;
}

ZqCommandRegistrar registrar("run", [](CLI::App& app, int* status) {
  CLI::App* cmd = app.add_subcommand(
      "run", "Run an application: create its database, start its tasks, show their state");
  auto o = std::make_shared<Options>();
  cmd->add_option("--app,-a", o->app, "Application directory written by zq ct build")->required();
  cmd->add_option("--for", o->for_seconds, "Stop after this many seconds (default: Ctrl-C)")
      ->check(CLI::PositiveNumber);
  cmd->add_option("--root", o->root, "Installation root (default: $ZQROOT, or the build tree's)");
  cmd->add_option("--bin", o->bin, "Directory of the task programs (default: beside zq)");
  cmd->add_option("--stop-timeout", o->stop_timeout,
                  "Seconds to wait for the tasks after asking them to stop, then kill")
      ->check(CLI::PositiveNumber);
  cmd->add_flag("--plain", o->plain, "Print a line per change even on a terminal");
  cmd->callback([o, status] {
    try {
      Manager m(*o);
      *status = m.run();
    } catch (const std::exception& e) {
      fprintf(stderr, "zq run: %s\n", e.what());
      *status = ZQ_EXIT_FAILURE;
    }
  });
});

}  // namespace
