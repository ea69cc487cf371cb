// End-to-end harness: one application compiled with `zq ct build`, run by
// `zq run` with QUANTREL and the provider simulator as real processes, and
// this test process attached to the same shared-memory database as a watcher
// task (task name "E2E") that reads and writes tags through the kernel.
//
// Every application gets a name of its own (ZQNAME/ZQUSER from the pid and a
// counter), so tests running side by side never share a database. The
// manager is always stopped and reaped, also when a test fails half-way; it
// gets SIGTERM when this process dies, so even a killed test leaves no run
// behind.
#ifndef ZQ_TESTS_SYSTEM_E2E_HARNESS_H_
#define ZQ_TESTS_SYSTEM_E2E_HARNESS_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kernel/zqkernel.h"
#include "tools/app_files.h"

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto POLL_PAUSE = std::chrono::milliseconds(2);
constexpr double START_LIMIT_S = 15;    // database up, QUANTREL and the sim running
constexpr double STOP_LIMIT_S = 20;     // manager gone after SIGINT
constexpr double DEFAULT_WAIT_S = 10;   // any single expected event
constexpr int16_t TASK_RUNNING = 1;     // status tag values of the tasks
constexpr const char* WATCHER = "E2E";  // this process's task name

// Runs a program to its end with stdout and stderr into one string.
struct Ran {
  int exit_code = -1;
  std::string output;
};
inline Ran run_to_end(const std::vector<std::string>& argv, const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(126);
  }
  Ran r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.exit_code = WEXITSTATUS(st);
  std::ifstream in(log);
  std::stringstream s;
  s << in.rdbuf();
  r.output = s.str();
  return r;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The tags and tasks every test application has: QUANTREL with its own
// mailbox, status and message tags, and one simulator task PLC1 serving the
// mailbox PLC1_MBX from the configuration sim.toml in the application
// directory. Tests add their own tags after these lines in [tags].
inline std::string core_tags() {
  return "QTL_MBX = \"mailbox\"\n"
         "QTL_STATUS = \"long\"\n"
         "QTL_MSG = { type = \"message\", capacity = 200 }\n"
         "PLC1_MBX = \"mailbox\"\n"
         "PLC1_STATUS = \"analog\"\n";
}
inline std::string core_tasks(const std::string& quantrel_args, const std::string& sim_args) {
  return "[[task]]\nname = \"QUANTREL\"\nprogram = \"quantrel\"\narguments = \"" + quantrel_args +
         "\"\nstatus = \"QTL_STATUS\"\nmessage = \"QTL_MSG\"\n\n"
         "[[task]]\nname = \"PLC1\"\nprogram = \"zq sim --config sim.toml " +
         sim_args + "\"\nstatus = \"PLC1_STATUS\"\n\n[quantrel]\nmailbox = \"QTL_MBX\"\n\n";
}

class App {
 public:
  App() {
    static int serial = 0;
    char tmpl[] = "/tmp/zqe2eXXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
    name_ = "e2e" + std::to_string(getpid()) + "n" + std::to_string(++serial);
    domain_ = "e2e";
    user_ = "u" + std::to_string(getpid());
    app_dir_ = dir_ + "/app";
  }
  ~App() {
    stop();
    std::error_code ec;
    if (!keep_ && !dir_.empty()) fs::remove_all(dir_, ec);
  }
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  const std::string& app_dir() const { return app_dir_; }
  const std::string& name() const { return name_; }
  const std::string& domain() const { return domain_; }
  const std::string& user() const { return user_; }
  int id() const { return id_; }
  pid_t manager_pid() const { return manager_; }
  // Keeps the directory (with run.out) for a look after a failure.
  void keep() { keep_ = true; }

  // Compiles [application] + body into the application directory and puts
  // sim.toml beside its ct/ folder.
  ::testing::AssertionResult build(const std::string& body, const std::string& sim) {
    if (dir_.empty()) return ::testing::AssertionFailure() << "no temporary directory";
    std::string text = "[application]\nname = \"" + name_ + "\"\ndomain = \"" + domain_ +
                       "\"\nuser = \"" + user_ + "\"\n\n" + body;
    std::ofstream(dir_ + "/app.toml", std::ios::trunc) << text;
    Ran r = run_to_end({ZQ_TOOL, "ct", "build", dir_ + "/app.toml", "--out", app_dir_},
                       dir_ + "/build.out");
    if (r.exit_code != 0)
      return ::testing::AssertionFailure() << "zq ct build failed:\n" << r.output << "\n" << text;
    std::ofstream(app_dir_ + "/sim.toml", std::ios::trunc) << sim;
    std::string error;
    std::vector<AppObject> objects;
    if (!app_objects_read(app_dir_, &objects, &error))
      return ::testing::AssertionFailure() << "object table: " << error;
    index_ = std::make_unique<AppObjectIndex>(std::move(objects));
    return ::testing::AssertionSuccess();
  }

  // Starts `zq run` (output into run.out), attaches as the watcher task and
  // waits until QUANTREL and the simulator report running.
  ::testing::AssertionResult start() {
    run_out_ = dir_ + "/run.out";
    int pipe_fds[2] = {-1, -1};
    if (on_line_ && pipe(pipe_fds) != 0) return ::testing::AssertionFailure() << "pipe failed";
    std::vector<std::string> argv = {ZQ_TOOL,  "run",   "--app", app_dir_,  "--plain",
                                     "--root", ZQ_ROOT, "--bin", ZQ_BIN_DIR};
    pid_t parent = getpid();
    manager_ = fork();
    if (manager_ < 0) return ::testing::AssertionFailure() << "fork failed";
    if (manager_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(126);
      int fd = on_line_ ? pipe_fds[1]
                        : open(run_out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
      if (on_line_) close(pipe_fds[0]);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(126);
    }
    if (on_line_) {
      close(pipe_fds[1]);
      reader_ = std::thread([this, fd = pipe_fds[0]] { read_lines(fd); });
    }
    auto deadline = Clock::now() + std::chrono::duration<double>(START_LIMIT_S);
    while (id_ < 0) {
      id_ = zq_init(WATCHER, "end-to-end test", name_.c_str(), domain_.c_str(), user_.c_str());
      if (id_ >= 0) break;
      if (!manager_alive()) return ::testing::AssertionFailure() << "zq run ended:\n" << output();
      if (Clock::now() > deadline)
        return ::testing::AssertionFailure() << "no database appeared:\n" << output();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool up = wait_until(
        [&] {
          return get_int("QTL_STATUS") == TASK_RUNNING && get_int("PLC1_STATUS") == TASK_RUNNING;
        },
        START_LIMIT_S);
    if (!up)
      return ::testing::AssertionFailure() << "QUANTREL or the simulator did not start; QTL_MSG=\""
                                           << get_text("QTL_MSG") << "\"\n"
                                           << output();
    return ::testing::AssertionSuccess();
  }

  // Detaches, stops the manager with SIGINT (as Ctrl-C does) and reaps it.
  // Succeeds when every task stopped cleanly.
  ::testing::AssertionResult stop() {
    if (id_ >= 0) {
      zq_exit(id_);
      id_ = -1;
    }
    if (manager_ <= 0) {
      if (reader_.joinable()) reader_.join();
      return ::testing::AssertionSuccess();
    }
    kill(manager_, SIGINT);
    int st = 0;
    bool exited = false;
    auto deadline = Clock::now() + std::chrono::duration<double>(STOP_LIMIT_S);
    while (Clock::now() < deadline) {
      if (waitpid(manager_, &st, WNOHANG) == manager_) {
        exited = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited) {
      kill(manager_, SIGKILL);
      waitpid(manager_, &st, 0);
      char shm[128];
      if (zq_db_shm_name(name_.c_str(), domain_.c_str(), user_.c_str(), shm, sizeof shm) == 0)
        zq_db_unlink(shm);
    }
    manager_ = -1;
    if (reader_.joinable()) reader_.join();
    std::string out = output();
    if (!exited) return ::testing::AssertionFailure() << "zq run did not stop:\n" << out;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0 ||
        out.find("every task stopped cleanly") == std::string::npos)
      return ::testing::AssertionFailure() << "unclean stop:\n" << out;
    return ::testing::AssertionSuccess();
  }

  bool manager_alive() {
    if (manager_ <= 0) return false;
    int st = 0;
    if (waitpid(manager_, &st, WNOHANG) == manager_) {
      manager_ = -1;
      return false;
    }
    return true;
  }

  // Everything the manager and its tasks printed so far: the manager's
  // lines, QUANTREL's console trace and the simulator's --trace.
  // With a line handler (set_line_handler), the last lines only.
  std::string output() const {
    if (on_line_) {
      std::lock_guard<std::mutex> lock(tail_mutex_);
      return tail_;
    }
    return run_out_.empty() ? "" : read_file(run_out_);
  }
  // Before start(): the output goes through a pipe to this handler, one
  // complete line at a time (on a reader thread), instead of into run.out;
  // for runs whose output is too much to keep.
  void set_line_handler(std::function<void(std::string_view)> handler) {
    on_line_ = std::move(handler);
  }
  size_t output_count(const std::string& needle) const { return count_of(output(), needle); }

  bool wait_until(const std::function<bool()>& done, double seconds = DEFAULT_WAIT_S) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(POLL_PAUSE);
    }
    return true;
  }
  // Waits until `needle` appears at least `times` times in the output.
  bool wait_output(const std::string& needle, size_t times = 1, double seconds = DEFAULT_WAIT_S) {
    return wait_until([&] { return output_count(needle) >= times; }, seconds);
  }

  // ---- Tags ----------------------------------------------------------------

  TagRef ref(const std::string& name) const {
    std::string error;
    auto e = index_ ? index_->find(name, &error) : std::nullopt;
    if (!e) {
      ADD_FAILURE() << "no tag " << name << ": " << error;
      return ZQ_UNSET_TAG;
    }
    return e->ref;
  }
  uint16_t type_of(TagRef r) const {
    uint16_t type = 0xFFFF;
    zq_tag_info(&r, 1, &type, nullptr);
    return type;
  }
  // A digital, analog or long tag as a number.
  int64_t get_int(const std::string& name) const {
    TagRef r = ref(name);
    unsigned char slot[ZQ_VALUE_SLOT_MAX] = {};
    if (zq_read(id_, &r, 1, slot) != 0) {
      ADD_FAILURE() << "cannot read " << name << ": " << zq_strerror(zq_errno(id_));
      return INT64_MIN;
    }
    if (type_of(r) == TAG_LONG) {
      int32_t v;
      memcpy(&v, slot, sizeof v);
      return v;
    }
    int16_t v;
    memcpy(&v, slot, sizeof v);
    return v;
  }
  double get_float(const std::string& name) const {
    TagRef r = ref(name);
    double v = 0;
    if (zq_read(id_, &r, 1, &v) != 0) ADD_FAILURE() << "cannot read " << name;
    return v;
  }
  std::string get_text(const std::string& name) const {
    TagRef r = ref(name);
    std::vector<char> buf(ZQ_MAX_MESSAGE_CAPACITY + 1, 0);
    MessageValue m = {buf.data(), static_cast<uint16_t>(buf.size()), 0};
    unsigned char slot[ZQ_VALUE_SLOT_MAX] = {};
    memcpy(slot, &m, sizeof m);
    if (zq_read(id_, &r, 1, slot) != 0) return "<unreadable>";
    memcpy(&m, slot, sizeof m);
    return std::string(buf.data(), m.length);
  }
  // Writes a digital, analog or long tag; `force` marks it changed even when
  // the value stays.
  void set_int(const std::string& name, int64_t value, bool force = false) {
    TagRef r = ref(name);
    unsigned char slot[ZQ_VALUE_SLOT_MAX] = {};
    if (type_of(r) == TAG_LONG) {
      int32_t v = static_cast<int32_t>(value);
      memcpy(slot, &v, sizeof v);
    } else {
      int16_t v = static_cast<int16_t>(value);
      memcpy(slot, &v, sizeof v);
    }
    int rc = force ? zq_f_write(id_, &r, 1, slot) : zq_write(id_, &r, 1, slot);
    if (rc != 0) ADD_FAILURE() << "cannot write " << name << ": " << zq_strerror(zq_errno(id_));
  }
  void set_float(const std::string& name, double value) {
    TagRef r = ref(name);
    if (zq_write(id_, &r, 1, &value) != 0) ADD_FAILURE() << "cannot write " << name;
  }

  void set_text(const std::string& name, const std::string& text) {
    TagRef r = ref(name);
    std::string copy = text;
    MessageValue m = {copy.data(), static_cast<uint16_t>(copy.size()),
                      static_cast<uint16_t>(copy.size())};
    unsigned char slot[ZQ_VALUE_SLOT_MAX] = {};
    memcpy(slot, &m, sizeof m);
    if (zq_write(id_, &r, 1, slot) != 0) ADD_FAILURE() << "cannot write " << name;
  }

  // Change flags of this watcher task: cleared before an operation, then
  // awaited. A forced write (the complete tags) always sets the flag.
  void forget_changes(const std::string& name) {
    TagRef r = ref(name);
    zq_clear_chg(id_, &r, 1);
  }
  bool changed(const std::string& name) {
    TagRef r = ref(name);
    uint32_t at = 0;
    ChangeRecord rec;
    char text[ZQ_CHANGE_TEXT_CAPACITY];
    change_record_prepare(&rec, text, sizeof text);
    return zq_get_chg(id_, &r, 1, &at, &rec) == 0;
  }
  bool wait_changed(const std::string& name, double seconds = DEFAULT_WAIT_S) {
    return wait_until([&] { return changed(name); }, seconds);
  }

  int mailbox_count(const std::string& name) const {
    int count = -1;
    if (zq_count_mbx(id_, ref(name), &count) != 0) return -1;
    return count;
  }

  // Runs `zq tag ARGS...` against the running application.
  Ran zq_tag(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {ZQ_TOOL, "tag", "--app", app_dir_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_to_end(argv, dir_ + "/tag.out");
  }

 private:
  std::string dir_, app_dir_, name_, domain_, user_, run_out_;
  void read_lines(int fd) {
    constexpr size_t kChunk = 1 << 16;
    constexpr size_t kTailKeep = 1 << 16;
    std::string pending;
    std::vector<char> buf(kChunk);
    for (;;) {
      ssize_t n = read(fd, buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buf.data(), static_cast<size_t>(n));
      size_t begin = 0;
      for (size_t nl = pending.find('\n'); nl != std::string::npos;
           nl = pending.find('\n', begin)) {
        on_line_(std::string_view(pending).substr(begin, nl - begin));
        begin = nl + 1;
      }
      {
        std::lock_guard<std::mutex> lock(tail_mutex_);
        tail_.append(pending, 0, begin);
        if (tail_.size() > 2 * kTailKeep) tail_.erase(0, tail_.size() - kTailKeep);
      }
      pending.erase(0, begin);
    }
    close(fd);
  }

  std::unique_ptr<AppObjectIndex> index_;
  std::function<void(std::string_view)> on_line_;
  std::thread reader_;
  mutable std::mutex tail_mutex_;
  std::string tail_;
  pid_t manager_ = -1;
  int id_ = -1;
  bool keep_ = false;
};

}  // namespace e2e

#endif  // ZQ_TESTS_SYSTEM_E2E_HARNESS_H_
