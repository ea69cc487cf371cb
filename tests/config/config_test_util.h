// Helpers shared by the configuration tests: environment, temporary
// directories, working directory.
#ifndef ZQ_TESTS_CONFIG_CONFIG_TEST_UTIL_H_
#define ZQ_TESTS_CONFIG_CONFIG_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// Sets or unsets an environment variable for one scope and restores it.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvVar() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// A fresh temporary directory, removed with its contents afterwards.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/zqconfig.XXXXXX";
    const char* made = mkdtemp(name);
    if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = made != nullptr ? made : "/tmp";
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << path_;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }
  void file(const std::string& name, const std::string& text = "x") const {
    FILE* f = fopen(sub(name).c_str(), "w");
    ASSERT_NE(f, nullptr) << name;
    fputs(text.c_str(), f);
    fclose(f);
  }
  void dir(const std::string& name) const { ASSERT_EQ(mkdir(sub(name).c_str(), 0755), 0); }

 private:
  std::string path_;
};

// Changes the working directory for one scope.
class InDir {
 public:
  explicit InDir(const std::string& dir) {
    if (getcwd(old_, sizeof old_) == nullptr) old_[0] = '\0';
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InDir() {
    if (old_[0] != '\0' && chdir(old_) != 0) ADD_FAILURE() << "chdir back failed";
  }
  InDir(const InDir&) = delete;
  InDir& operator=(const InDir&) = delete;

 private:
  char old_[4096];
};

#endif  // ZQ_TESTS_CONFIG_CONFIG_TEST_UTIL_H_
