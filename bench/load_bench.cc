// Configuration loading of a large compiled application: 1000 data sources x
// 100 conversion entries (arrays included), against 100 data sources of the
// same shape as the baseline measured in the same process. Prints load time,
// heap and resident memory per entry, and the per-entry cost ratio, with the
// conversion tags in the compiler's order and in shuffled order.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "config/config_loader.h"
#include "config/ct_writer.h"
#include "config/object_table.h"
#include "convert/conv_entry.h"
#include "kernel/zqkernel.h"
#include "mci/mci.h"
#include "runtime/catalogue.h"
#include "runtime/triggers.h"

namespace {

constexpr int kSources = 1000;
constexpr int kBaselineSources = 100;
constexpr int kWriteModeEvery = 4;
constexpr int kRepeats = 3;  // every 4th data source writes on change

// One data source's records: (tag type, elements, data type), 100 entries.
struct Shape {
  uint16_t type;
  uint16_t elements;
  uint16_t data_type;
  int records;
};
constexpr Shape kShape[] = {
    {TAG_ANALOG, 1, DT_WORD, 60},
    {TAG_LONG, 10, DT_LONG, 2},
    {TAG_FLOAT, 10, DT_FLOAT, 1},
    {TAG_DIGITAL, 1, DT_BIT, 10},
};
constexpr int kEntriesPerSource = 100;

void put16(std::vector<uint8_t>* b, size_t at, uint16_t v) {
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put_ref(std::vector<uint8_t>* b, size_t at, TagRef r) {
  put16(b, at, r.type);
  put16(b, at + 2, r.index);
}
void put_text(std::vector<uint8_t>* b, size_t at, const std::string& s) {
  std::copy(s.begin(), s.end(), b->begin() + static_cast<long>(at));
}

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long resident_bytes() {
  FILE* f = fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  long size = 0, resident = 0;
  if (fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
  fclose(f);
  return resident * sysconf(_SC_PAGESIZE);
}

struct App {
  std::filesystem::path dir;
  TagRef own_mailbox, provider_mailbox;
  std::vector<TagRef> ds_tags, triggers;
  // Per data source, per record: its first tag, in the compiler's order.
  std::vector<std::vector<TagRef>> record_tags;
};

// Declares every tag, writes the object table, assigns the record tags.
bool build_app(App* app, ZqDb** db) {
  int records_per_source = 0;
  for (const Shape& s : kShape) records_per_source += s.records;
  uint32_t per_type[ZQ_TAG_TYPE_COUNT] = {};
  for (const Shape& s : kShape) per_type[s.type] += uint32_t{s.elements} * s.records * kSources;
  per_type[TAG_DIGITAL] += 2 * kSources;  // data-source tags and read triggers
  per_type[TAG_MAILBOX] = 2;
  std::vector<ZqTagDecl> decls;
  for (uint16_t t = 0; t < ZQ_TAG_TYPE_COUNT; ++t) {
    if (per_type[t] > 0) decls.push_back({t, static_cast<uint16_t>(per_type[t]), 0});
  }
  TagRef first[ZQ_TAG_TYPE_COUNT] = {};
  ZqDbLimits limits;
  zq_db_default_limits(&limits);
  limits.mbx_messages = 2 * kSources;  // the start-up queries of every data source
  int rc =
      zq_db_create(nullptr, decls.data(), static_cast<uint32_t>(decls.size()), &limits, first, db);
  if (rc != 0) {
    fprintf(stderr, "database: error %d\n", zq_errno(0));
    return false;
  }
  zq_db_use(*db);
  TagRef next[ZQ_TAG_TYPE_COUNT] = {};
  for (size_t i = 0; i < decls.size(); ++i) next[decls[i].type] = first[i];
  auto take = [&](uint16_t type, uint16_t n) {
    TagRef r = next[type];
    next[type].index = static_cast<uint16_t>(next[type].index + n);
    return r;
  };
  app->own_mailbox = take(TAG_MAILBOX, 1);
  app->provider_mailbox = take(TAG_MAILBOX, 1);
  std::vector<ObjectRecord> objects;
  for (int i = 0; i < kSources; ++i) {
    TagRef tag = take(TAG_DIGITAL, 1);
    app->ds_tags.push_back(tag);
    app->triggers.push_back(take(TAG_DIGITAL, 1));
    ObjectRecord r = {};
    snprintf(r.name, sizeof r.name, "DS%04d", i);
    r.tag_type = TAG_DIGITAL;
    r.elements = 1;
    r.tag = tag;
    objects.push_back(r);
  }
  app->record_tags.assign(kSources, {});
  for (int i = 0; i < kSources; ++i) {
    for (const Shape& s : kShape) {
      for (int r = 0; r < s.records; ++r) app->record_tags[i].push_back(take(s.type, s.elements));
    }
  }
  char pattern[] = "/tmp/zqloadbench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  app->dir = pattern;
  std::filesystem::create_directories(app->dir / "ct");
  std::filesystem::create_directories(app->dir / "dom" / "ct");
  setenv("ZQAPP", app->dir.c_str(), 1);
  setenv("ZQDOMAIN", "dom", 1);
  return object_table_write((app->dir / "ct" / "object.ct").c_str(), objects) == 0;
}

// Same-shaped records exchange their tags at random: the tag order of every
// conversion table is shuffled.
void shuffle_tags(App* app, int sources) {
  std::mt19937 rng(12345);
  size_t at = 0;
  for (const Shape& s : kShape) {
    std::vector<TagRef*> slots;
    for (int i = 0; i < sources; ++i) {
      for (int r = 0; r < s.records; ++r) slots.push_back(&app->record_tags[i][at + r]);
    }
    std::vector<TagRef> tags;
    for (TagRef* p : slots) tags.push_back(*p);
    std::shuffle(tags.begin(), tags.end(), rng);
    for (size_t k = 0; k < slots.size(); ++k) *slots[k] = tags[k];
    at += static_cast<size_t>(s.records);
  }
}

void write_config(const App& app, int sources) {
  std::vector<CtTable> tables;
  CtTable task;
  task.name = "TASK";
  task.header.assign(CONFIG_TASK_HEADER_SIZE, 0);
  put_ref(&task.header, 0, app.own_mailbox);
  tables.push_back(task);
  CtTable ds;
  ds.type = CONFIG_DS_TABLE_TYPE;
  ds.name = "DS";
  ds.header.assign(CONFIG_DS_HEADER_SIZE, 0);
  put_ref(&ds.header, 0, app.provider_mailbox);
  put16(&ds.header, 4, 8);
  ds.record_size = CONFIG_DS_RECORD_SIZE;
  for (int i = 0; i < sources; ++i) {
    std::vector<uint8_t> b(CONFIG_DS_RECORD_SIZE, 0);
    char name[16];
    snprintf(name, sizeof name, "DS%04d", i);
    put_ref(&b, DSR_TAG, app.ds_tags[i]);
    put_text(&b, DSR_NAME, name);
    put_ref(&b, DSR_READ_TRIGGER, app.triggers[i]);
    put16(&b, DSR_READ_ENABLED, 1);
    put16(&b, DSR_WRITE_MODE, i % kWriteModeEvery == 0 ? 1 : 0);
    ct_table_add_record(&ds, b.data(), b.size());
  }
  tables.push_back(ds);
  for (int i = 0; i < sources; ++i) {
    CtTable c;
    c.type = 2;
    c.name = "CONV";
    c.header.assign(CONFIG_CONV_HEADER_SIZE, 0);
    put_ref(&c.header, 4, app.ds_tags[i]);
    c.record_size = CONFIG_CONV_RECORD_SIZE;
    size_t at = 0;
    uint16_t address = 0;
    for (const Shape& s : kShape) {
      for (int r = 0; r < s.records; ++r, ++at) {
        std::vector<uint8_t> b(CONFIG_CONV_RECORD_SIZE, 0);
        put_ref(&b, CVR_TAG, app.record_tags[i][at]);
        if (s.elements > 1) {
          put_text(&b, CVR_NAME, "ARR[0]");
          put_text(&b, CVR_DIMENSIONS, std::to_string(s.elements));
        } else {
          put_text(&b, CVR_NAME, "TAG");
        }
        put16(&b, CVR_ADDRESS, address);
        put16(&b, CVR_LENGTH, s.data_type == DT_BIT ? static_cast<uint16_t>(r % 16) : 0);
        put16(&b, CVR_COUNT, s.elements);
        put16(&b, CVR_DATA_TYPE, s.data_type);
        ct_table_add_record(&c, b.data(), b.size());
        address = static_cast<uint16_t>(address + s.elements * 2);
      }
    }
    tables.push_back(c);
  }
  ct_write_file((app.dir / "dom" / "ct" / "quantrel.ct").c_str(), tables);
}

struct Figures {
  double seconds;
  double heap_per_entry;
  double rss_per_entry;
  double ns_per_entry;
};

bool measure(const App& app, int sources, Figures* out) {
  write_config(app, sources);
  TaskContext ctx = {};
  ctx.task_id = zq_init("QUANTREL", "translator", "", "", "");
  if (ctx.task_id < 0) return false;
  ctx.console_level = 1;  // a failure shows its key and arguments
  struct mallinfo2 before = mallinfo2();
  long rss_before = resident_bytes();
  double t0 = now_seconds();
  const char* key = load_configuration(&ctx);
  double t1 = now_seconds();
  struct mallinfo2 after = mallinfo2();
  long rss_after = resident_bytes();
  if (key != nullptr) {
    fprintf(stderr, "load failed: %s (kernel error %d)\n", key, zq_errno(ctx.task_id));
    return false;
  }
  double entries = static_cast<double>(sources) * kEntriesPerSource;
  out->seconds = t1 - t0;
  out->heap_per_entry = static_cast<double>(after.uordblks - before.uordblks) / entries;
  out->rss_per_entry = static_cast<double>(rss_after - rss_before) / entries;
  out->ns_per_entry = out->seconds * 1e9 / entries;
  mci_release();
  trigger_registry_reset();
  config_release();
  // The provider never answers: its queued queries are dropped for the next run.
  MbxMessage drop = {};
  while (zq_read_mbx(ctx.task_id, ctx.task_id, app.provider_mailbox, &drop, 0) == 0) drop = {};
  zq_exit(ctx.task_id);
  return true;
}

// Best of a few runs (time; memory from the same run), after one warm-up.
bool best_of(const App& app, int sources, Figures* out) {
  Figures f;
  if (!measure(app, sources, &f)) return false;
  *out = f;
  for (int i = 0; i < kRepeats; ++i) {
    if (!measure(app, sources, &f)) return false;
    if (f.seconds < out->seconds) *out = f;
  }
  return true;
}

bool run_series(const App& app, const char* label) {
  Figures small, middle, large;
  if (!best_of(app, kBaselineSources, &small) || !best_of(app, kSources / 2, &middle) ||
      !best_of(app, kSources, &large)) {
    return false;
  }
  printf("%s order:\n", label);
  printf("  %6d entries: load %.4f s, %.0f ns/entry, heap %.1f B/entry, rss %.1f B/entry\n",
         kBaselineSources * kEntriesPerSource, small.seconds, small.ns_per_entry,
         small.heap_per_entry, small.rss_per_entry);
  printf("  %6d entries: load %.4f s, %.0f ns/entry, heap %.1f B/entry, rss %.1f B/entry\n",
         kSources / 2 * kEntriesPerSource, middle.seconds, middle.ns_per_entry,
         middle.heap_per_entry, middle.rss_per_entry);
  printf("  %6d entries: load %.4f s, %.0f ns/entry, heap %.1f B/entry, rss %.1f B/entry\n",
         kSources * kEntriesPerSource, large.seconds, large.ns_per_entry, large.heap_per_entry,
         large.rss_per_entry);
  printf(
      "  cost per entry 100000 / 10000: %.2f (target < 1.5); load < 1 s: %s; heap < 200 "
      "B/entry: %s\n",
      large.ns_per_entry / small.ns_per_entry, large.seconds < 1.0 ? "yes" : "no",
      large.heap_per_entry < 200.0 ? "yes" : "no");
  return true;
}

}  // namespace

int main() {
  catalogue_insert("IMX_DS_QUERY", "Query of %s failed: %d");
  catalogue_insert("IMX_DS_REGISTER", "Registration of %s failed");
  catalogue_insert("CTTAGVAL", "Tag values of %s cannot be read");
  App app;
  ZqDb* db = nullptr;
  if (!build_app(&app, &db)) {
    fprintf(stderr, "cannot build the application\n");
    return 1;
  }
  int rc = 0;
  if (!run_series(app, "compiler's tag")) rc = 1;
  shuffle_tags(&app, kSources);
  if (rc == 0 && !run_series(app, "shuffled tag")) rc = 1;
  zq_db_destroy(db);
  std::filesystem::remove_all(app.dir);
  return rc;
}
