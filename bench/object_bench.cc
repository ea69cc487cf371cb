// Resolves 10 000 names against an object table of 100 000 tags and prints
// names per second for: the task's own path (open, resolve, close per name),
// one handle kept open, and one handle on a single-table file, each against an
// in-memory binary search over the same records measured in the same run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "config/ct_file.h"
#include "config/object_table.h"

namespace {

constexpr int kTags = 100000;
constexpr int kLookups = 10000;
constexpr int kArrayEvery = 10;  // every tenth tag of each type is an array of 10
constexpr uint32_t kSeed = 20240601;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<ObjectRecord> make_records() {
  std::vector<ObjectRecord> records(kTags);
  for (int i = 0; i < kTags; ++i) {
    ObjectRecord& r = records[i];
    memset(&r, 0, sizeof r);
    snprintf(r.name, sizeof r.name, "AREA%02d_UNIT%03d_TAG%05d", i % 37, i % 211, i);
    r.tag_type = static_cast<uint16_t>(i % 5);
    if ((i / 5) % kArrayEvery == 0) snprintf(r.dimensions, sizeof r.dimensions, "[10]");
    if (r.tag_type == TAG_MESSAGE) r.capacity = 40;
  }
  return records;
}

std::vector<std::string> pick_names(const std::vector<ObjectRecord>& records) {
  std::mt19937 rng(kSeed);
  std::uniform_int_distribution<int> pick(0, kTags - 1);
  std::vector<std::string> names;
  for (int i = 0; i < kLookups; ++i) {
    const ObjectRecord& r = records[pick(rng)];
    std::string name = r.name;
    if (r.dimensions[0] != '\0') name += "[" + std::to_string(i % 10) + "]";
    names.push_back(name);
  }
  return names;
}

// The baseline: the same resolution over records held in memory.
double in_memory(std::vector<ObjectRecord> records, const std::vector<std::string>& names,
                 int* failures) {
  auto less = [](const ObjectRecord& a, const ObjectRecord& b) {
    return strncmp(a.name, b.name, OBJECT_NAME_FIELD) < 0;
  };
  std::sort(records.begin(), records.end(), less);
  Clock::time_point start = Clock::now();
  for (const std::string& text : names) {
    ObjectName name;
    object_name_reset(&name);
    if (object_name_parse(&name, text.c_str()) != OBJ_OK) {
      ++*failures;
      continue;
    }
    ObjectRecord key;
    snprintf(key.name, sizeof key.name, "%s", name.name);
    auto it = std::lower_bound(records.begin(), records.end(), key, less);
    if (it == records.end() || strcmp(it->name, name.name) != 0) ++*failures;
  }
  return names.size() / seconds_since(start);
}

double with_open_handle(const std::string& dir, const std::vector<std::string>& names,
                        int* failures) {
  CtFile ct;
  if (object_table_open(&ct, dir.c_str()) != CT_OK) {
    *failures += static_cast<int>(names.size());
    return 0;
  }
  Clock::time_point start = Clock::now();
  for (const std::string& text : names) {
    ObjectName name;
    object_name_reset(&name);
    TagRef ref;
    if (object_name_parse(&name, text.c_str()) != OBJ_OK ||
        object_resolve(&name, &ct, &ref) != OBJ_OK) {
      ++*failures;
    }
  }
  double rate = names.size() / seconds_since(start);
  ct_close(&ct);
  return rate;
}

double per_name(const std::vector<std::string>& names, int* failures) {
  Clock::time_point start = Clock::now();
  for (const std::string& text : names) {
    TagRef ref;
    if (resolve_object_tag(text.c_str(), &ref) != 0) ++*failures;
  }
  return names.size() / seconds_since(start);
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/zq_object_bench.XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) return 1;
  std::string root = dir;
  std::string split_dir = root + "/split";
  std::string single_dir = root + "/single";
  for (const std::string& d : {split_dir, single_dir, split_dir + "/ct", single_dir + "/ct"}) {
    std::string cmd = "mkdir -p '" + d + "'";
    if (system(cmd.c_str()) != 0) return 1;
  }

  std::vector<ObjectRecord> records = make_records();
  if (object_assign_refs(&records) != CT_OK) {
    fprintf(stderr, "object_bench: numbering failed\n");
    return 1;
  }
  if (object_table_write((split_dir + "/ct/object.ct").c_str(), records) != CT_OK) return 1;
  if (object_table_write((single_dir + "/ct/object.ct").c_str(), records, kTags) != CT_OK) {
    return 1;
  }
  std::vector<std::string> names = pick_names(records);

  int failures = 0;
  double base = in_memory(records, names, &failures);
  double open_split = with_open_handle(split_dir, names, &failures);
  double open_single = with_open_handle(single_dir, names, &failures);
  setenv("ZQAPP", split_dir.c_str(), 1);
  double task_split = per_name(names, &failures);

  printf("object table: %d tags, %u per table (%d tables), %d names resolved per run\n", kTags,
         OBJECT_TABLE_SPLIT_DEFAULT,
         static_cast<int>((kTags + OBJECT_TABLE_SPLIT_DEFAULT - 1) / OBJECT_TABLE_SPLIT_DEFAULT),
         kLookups);
  printf("%-46s %12.0f names/s  (baseline)\n", "in-memory binary search", base);
  printf("%-46s %12.0f names/s  ratio %.3f\n", "open handle, split tables", open_split,
         open_split / base);
  printf("%-46s %12.0f names/s  ratio %.3f\n", "open handle, one table", open_single,
         open_single / base);
  printf("%-46s %12.0f names/s  ratio %.3f\n", "resolve_object_tag (open/close per name)",
         task_split, task_split / base);
  printf("failures: %d\n", failures);

  std::string cmd = "rm -rf '" + root + "'";
  if (system(cmd.c_str()) != 0) return 1;
  return failures == 0 ? 0 : 1;
}
