// Loading catalogue files along the search list, language and precedence.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "runtime/catalogue.h"
#include "runtime/task_context.h"

namespace {

void make_dirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

void write_file(const std::string& path, const std::string& content) {
  make_dirs(path.substr(0, path.rfind('/')));
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

// Saves and restores the variables the catalogue reads; gives a fresh root.
class CatalogueFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : kVars) {
      const char* value = getenv(v);
      saved_[v] = value ? std::string(value) : std::string("\x01");
      unsetenv(v);
    }
    char tmpl[] = "/tmp/zq_catalogue_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    catalogue_clear();
  }
  void TearDown() override {
    catalogue_clear();
    for (const char* v : kVars) {
      if (saved_[v] == "\x01") {
        unsetenv(v);
      } else {
        setenv(v, saved_[v].c_str(), 1);
      }
    }
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
  }
  void use_root(const std::string& dir) { setenv("ZQROOT", dir.c_str(), 1); }

  static constexpr const char* kVars[] = {"ZQPATH", "ZQROOT", "ZQCODEPAGE"};
  std::map<std::string, std::string> saved_;
  std::string root_;
};

TEST_F(CatalogueFiles, LaterFilesWinMasterThenTaskThenApplication) {
  write_file(root_ + "/install/zqlang.lst", "en\n");
  write_file(root_ + "/msg/en/master.txt", "ONE master\nTWO master\nTHREE master\n");
  write_file(root_ + "/msg/en/quantrel.txt", "TWO task\nTHREE task\nFOUR task\n");
  write_file(root_ + "/app/msg/QUANTREL.txt", "three app\n");
  use_root(root_);

  EXPECT_EQ(catalogue_init("QUANTREL"), 3 + 1);  // master adds 3, task file 1 new key
  TaskContext ctx{};
  snprintf(ctx.task_name, sizeof ctx.task_name, "QUANTREL");
  std::string app = root_ + "/app";
  memcpy(ctx.kernel_block + ZQ_TB_APP_DIR, app.c_str(), app.size() + 1);
  load_task_catalogue(&ctx);
  EXPECT_STREQ(catalogue_lookup("ONE"), "master");
  EXPECT_STREQ(catalogue_lookup("TWO"), "task");
  EXPECT_STREQ(catalogue_lookup("THREE"), "app");
  EXPECT_STREQ(catalogue_lookup("four"), "task");
}

TEST_F(CatalogueFiles, ApplicationDirectoryMacrosAreExpanded) {
  write_file(root_ + "/msg/en/quantrel.txt", "K task\n");
  write_file(root_ + "/plant/app/msg/QUANTREL.txt", "K app\n");
  use_root(root_);
  setenv("ZQ_TEST_PLANT", (root_ + "/plant").c_str(), 1);
  TaskContext ctx{};
  snprintf(ctx.task_name, sizeof ctx.task_name, "QUANTREL");
  const char app[] = "{ZQ_TEST_PLANT}/app";
  memcpy(ctx.kernel_block + ZQ_TB_APP_DIR, app, sizeof app);
  load_task_catalogue(&ctx);
  unsetenv("ZQ_TEST_PLANT");
  EXPECT_STREQ(catalogue_lookup("K"), "app");

  memset(ctx.kernel_block + ZQ_TB_APP_DIR, 0, ZQ_TB_APP_DIR_SIZE);  // no application directory
  load_task_catalogue(&ctx);
  EXPECT_STREQ(catalogue_lookup("K"), "task");
}

TEST_F(CatalogueFiles, InitResultsForMissingFiles) {
  write_file(root_ + "/msg/en/quantrel.txt", "A a\nB b\n");
  use_root(root_);
  EXPECT_EQ(catalogue_init("QUANTREL"), 2);  // no master: the task file's count
  EXPECT_EQ(catalogue_init("NOTASK"), -1);   // no task file
  EXPECT_STREQ(catalogue_lookup("A"), "A");  // init starts from an empty catalogue
}

TEST_F(CatalogueFiles, CountOnlyNewKeysOfTheCurrentFile) {
  write_file(root_ + "/msg/en/x.txt", "# comment\nA 1\n\nB 2\na 3\nC\n");
  use_root(root_);
  EXPECT_EQ(catalogue_load_file("x"), 2);
  EXPECT_EQ(catalogue_load_file("x"), 0);  // reloading replaces, adds nothing
  EXPECT_STREQ(catalogue_lookup("A"), "3");
}

TEST_F(CatalogueFiles, LanguageComesFromZqlangAndDefaultsToEnglish) {
  write_file(root_ + "/msg/en/x.txt", "K english\n");
  write_file(root_ + "/msg/de/x.txt", "K deutsch\n");
  use_root(root_);
  EXPECT_EQ(catalogue_load_file("x"), 1);  // no zqlang.lst: "en"
  EXPECT_STREQ(catalogue_lookup("K"), "english");
  write_file(root_ + "/install/zqlang.lst", "DE German\n");
  EXPECT_STREQ(catalogue_language(), "DE");
  EXPECT_EQ(catalogue_load_file("X"), 0);  // name and language in lower case
  EXPECT_STREQ(catalogue_lookup("K"), "deutsch");
}

TEST_F(CatalogueFiles, LanguageCodeKeepsOnlyLettersAndDigits) {
  write_file(root_ + "/install/zqlang.lst", "./etc\n");
  use_root(root_);
  EXPECT_STREQ(catalogue_language(), "");
  write_file(root_ + "/install/zqlang.lst", "f\n");
  EXPECT_STREQ(catalogue_language(), "f");
  unsetenv("ZQROOT");
  EXPECT_EQ(catalogue_language(), nullptr);
}

TEST_F(CatalogueFiles, ZqpathListWinsOverZqroot) {
  write_file(root_ + "/a/msg/en/x.txt", "K from-a\n");
  write_file(root_ + "/b/msg/en/x.txt", "K from-b\n");
  use_root(root_ + "/a");
  std::string list = root_ + "/none," + root_ + "/b";
  setenv("ZQPATH", list.c_str(), 1);
  EXPECT_EQ(catalogue_load_file("x"), 1);
  EXPECT_STREQ(catalogue_lookup("K"), "from-b");
}

TEST_F(CatalogueFiles, WithoutSearchVariablesTheParentDirectoryIsSearched) {
  write_file(root_ + "/msg/en/x.txt", "K parent\n");
  make_dirs(root_ + "/work");
  char cwd[512];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir((root_ + "/work").c_str()), 0);
  int added = catalogue_load_file("x");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(added, 1);
  EXPECT_STREQ(catalogue_lookup("K"), "parent");
}

TEST_F(CatalogueFiles, NameNotOnTheSearchListIsOpenedWithTxtExtension) {
  write_file(root_ + "/own/names.txt", "K own\n");
  use_root(root_);
  EXPECT_EQ(catalogue_load_file((root_ + "/own/names.cat").c_str()), 1);
  EXPECT_STREQ(catalogue_lookup("K"), "own");
  EXPECT_EQ(catalogue_load_file((root_ + "/own/missing").c_str()), -1);
  EXPECT_EQ(catalogue_load_file(""), -1);
  EXPECT_EQ(catalogue_load_file(nullptr), -1);
}

TEST_F(CatalogueFiles, TabsBecomeBlanksAndCrlfLineEndsAreCut) {
  write_file(root_ + "/msg/en/x.txt", "A\tfirst\ttext\t\r\nB\t\"q\tq\"\r\n");
  use_root(root_);
  EXPECT_EQ(catalogue_load_file("x"), 2);
  EXPECT_STREQ(catalogue_lookup("A"), "first text");
  EXPECT_STREQ(catalogue_lookup("B"), "q q");
}

TEST_F(CatalogueFiles, OverlongLineIsCutAndItsRestIsNoEntry) {
  std::string line = "LONG " + std::string(700, 'x') + " TAIL tail-text\n";
  write_file(root_ + "/msg/en/x.txt", line + "NEXT next\n");
  use_root(root_);
  EXPECT_EQ(catalogue_load_file("x"), 2);
  EXPECT_EQ(strlen(catalogue_lookup("LONG")), CATALOGUE_LINE_MAX - 5);
  EXPECT_STREQ(catalogue_lookup("TAIL"), "TAIL");
  EXPECT_STREQ(catalogue_lookup("NEXT"), "next");
}

TEST_F(CatalogueFiles, BrokenFilesLoadWhatTheyCanAndNeverCrash) {
  std::string content = "A \"missing quote\n";
  content += "B stray \\ escape \\q\n";
  content += std::string("C bin\0ary\n", 10);
  content += "D \x01\x02\xff\xfe\n";
  content += std::string(3000, '\xff');  // no newline at all
  content += "\nE last";                 // last line without newline
  write_file(root_ + "/msg/en/x.txt", content);
  use_root(root_);
  EXPECT_GE(catalogue_load_file("x"), 5);
  EXPECT_STREQ(catalogue_lookup("A"), "missing quote");
  EXPECT_STREQ(catalogue_lookup("B"), "stray \\ escape \\q");
  EXPECT_STREQ(catalogue_lookup("C"), "bin");
  EXPECT_STREQ(catalogue_lookup("D"), "\x01\x02\xff\xfe");
  EXPECT_STREQ(catalogue_lookup("E"), "last");
}

TEST_F(CatalogueFiles, RelativeNameThatDoesNotFitFallsBackToTheName) {
  use_root(root_);
  std::string dir = root_ + "/" + std::string(120, 'd');
  write_file(dir + "/f.txt", "K deep\n");
  EXPECT_EQ(catalogue_load_file((dir + "/f").c_str()), 1);
  EXPECT_STREQ(catalogue_lookup("K"), "deep");
}

}  // namespace
