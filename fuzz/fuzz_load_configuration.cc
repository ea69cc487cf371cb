// Configuration loading over arbitrary quantrel.ct bytes, with a small valid
// object table: every outcome is success or a fatal key, never a crash. Each
// run gets a fresh private kernel database and an unstarted message layer.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/config_loader.h"
#include "config/ct_writer.h"
#include "config/object_table.h"
#include "kernel/zqkernel.h"
#include "mci/mci.h"
#include "runtime/triggers.h"

namespace {

constexpr uint16_t kPool = 16;
constexpr uint32_t kMailboxMessages = 16;
constexpr uint32_t kMailboxBytes = 64 * 1024;
constexpr uint32_t kMaxMessage = 8192;

const ZqTagDecl kDecls[] = {
    {TAG_DIGITAL, kPool, 0}, {TAG_ANALOG, kPool, 0}, {TAG_FLOAT, 4, 0},
    {TAG_MESSAGE, 4, 40},    {TAG_LONG, 4, 0},       {TAG_MAILBOX, 4, 0},
};

std::string g_config_path;

bool set_up() {
  char pattern[] = "/tmp/zqfuzzload.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  std::string app = pattern;
  std::string ct = app + "/ct";
  std::string dom = app + "/dom";
  std::string dom_ct = dom + "/ct";
  if (mkdir(ct.c_str(), 0700) != 0 || mkdir(dom.c_str(), 0700) != 0 ||
      mkdir(dom_ct.c_str(), 0700) != 0) {
    return false;
  }
  // The names of data-source tags the seeds use: DS1, DS2 digital 1, 2; DS3 analog 1.
  std::vector<ObjectRecord> records;
  const struct {
    const char* name;
    TagRef tag;
  } names[] = {{"DS1", {TAG_DIGITAL, 1}}, {"DS2", {TAG_DIGITAL, 2}}, {"DS3", {TAG_ANALOG, 1}}};
  for (const auto& n : names) {
    ObjectRecord r = {};
    snprintf(r.name, sizeof r.name, "%s", n.name);
    r.tag_type = n.tag.type;
    r.elements = 1;
    r.tag = n.tag;
    records.push_back(r);
  }
  if (object_table_write((ct + "/object.ct").c_str(), records) != 0) return false;
  setenv("ZQAPP", app.c_str(), 1);
  setenv("ZQDOMAIN", "dom", 1);
  g_config_path = dom_ct + "/quantrel.ct";
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = set_up();
  if (!ready) abort();
  std::vector<uint8_t> bytes(data, data + size);
  if (ct_write_bytes(g_config_path.c_str(), bytes) != 0) abort();

  ZqDb* db = nullptr;
  ZqDbLimits limits = {kMailboxMessages, kMailboxBytes, kMaxMessage};
  if (zq_db_create(nullptr, kDecls, sizeof kDecls / sizeof kDecls[0], &limits, nullptr, &db) != 0) {
    abort();
  }
  zq_db_use(db);
  TaskContext ctx = {};
  ctx.task_id = zq_init("QUANTREL", "translator", "", "", "");
  if (ctx.task_id < 0) abort();

  const char* key = load_configuration(&ctx);
  if (key != nullptr && key[0] == '\0') abort();  // a failure always names its key

  mci_release();
  trigger_registry_reset();
  config_release();
  zq_exit(ctx.task_id);
  zq_db_destroy(db);
  return 0;
}
