// Runs a program for a black-box test: captures its output, gives its exit
// status, kills it past a time limit.
#ifndef ZQ_TESTS_TOOLS_RUN_PROCESS_H_
#define ZQ_TESTS_TOOLS_RUN_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

struct ProcessResult {
  int exit_code = -1;  // when it exited
  int signal = 0;      // when a signal ended it
  bool timed_out = false;
  std::string out;
  std::string err;
};

// A started process whose output is collected until it ends.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      close(out[1]);
      close(err[1]);
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(126);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Process() {
    if (pid_ > 0 && !done_) {
      kill(pid_, SIGKILL);
      wait(1.0);
    }
  }
  pid_t pid() const { return pid_; }
  void signal(int sig) { kill(pid_, sig); }
  // Output collected so far (reads what is available without blocking).
  const std::string& out_so_far() {
    pump(0);
    return result_.out;
  }
  // Waits up to `seconds` for the end; kills it after that.
  ProcessResult wait(double seconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds));
    while (!done_) {
      pump(20);
      int st = 0;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        done_ = true;
        if (WIFEXITED(st)) result_.exit_code = WEXITSTATUS(st);
        if (WIFSIGNALED(st)) result_.signal = WTERMSIG(st);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        result_.timed_out = true;
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        done_ = true;
      }
    }
    while (pump(0)) {
    }
    close(out_fd_);
    close(err_fd_);
    return result_;
  }

 private:
  // Reads what is there; true when something was read.
  bool pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) return false;
    bool got = false;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result_.out : result_.err).append(buf, static_cast<size_t>(n));
        got = true;
      }
    }
    return got;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool done_ = false;
  ProcessResult result_;
};

inline ProcessResult run_process(const std::vector<std::string>& argv, double seconds = 30,
                                 const std::vector<std::string>& env = {}) {
  Process p(argv, env);
  return p.wait(seconds);
}

#endif  // ZQ_TESTS_TOOLS_RUN_PROCESS_H_
