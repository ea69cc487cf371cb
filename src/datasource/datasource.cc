// Data-source handlers. Registered by the configuration loader; their
// behaviour (reads, block writes, answers, handshakes, writes on change) is
// not built yet: each handler does nothing and lets the dispatch go on.
#include "datasource/datasource.h"

namespace {

TaskContext* g_task = nullptr;

}  // namespace

void ds_set_task(TaskContext* ctx) {
  g_task = ctx;
}
TaskContext* ds_task(void) {
  return g_task;
}

int ds_on_read_trigger(void*, ChangeRecord) {
  return 0;
}
int ds_on_block_write(void*, ChangeRecord) {
  return 0;
}
int ds_on_read_inhibit(void*, ChangeRecord) {
  return 0;
}
int ds_on_write_inhibit(void*, ChangeRecord) {
  return 0;
}
int ds_on_receive_inhibit(void*, ChangeRecord) {
  return 0;
}
int ds_on_read_sync(void*, ChangeRecord) {
  return 0;
}
int ds_on_write_sync(void*, ChangeRecord) {
  return 0;
}
int ds_on_receive_sync(void*, ChangeRecord) {
  return 0;
}
int ds_on_state(void*, ChangeRecord) {
  return 0;
}
int ds_on_tag_change(void*, ChangeRecord) {
  return 0;
}
int ds_on_message(DataSource*) {
  return 0;
}
void ds_complete(DataSource*, int, int) {}
void ds_signal_sync(DataSource*, int) {}
void ds_apply_block(DataSource*) {}
int collect_changes(const TagRef*, uint32_t, uint8_t*) {
  return 0;
}
void ds_adapt_entries(DataSource*) {}
