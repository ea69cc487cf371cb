// Trigger registry and change dispatch: sorted tag array with handler chains,
// the round-robin wait-and-dispatch pass and the registration wake-up.
#include "runtime/triggers.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "runtime/report.h"

namespace {

constexpr int WAIT_TRACE_LEVEL = 9;
constexpr int SIGNAL_NONE = 0;
constexpr int SIGNAL_FAILED = -1;
constexpr int SIGNAL_MODE = 0;
constexpr auto REGISTRATION_YIELD = std::chrono::milliseconds(1);

struct TriggerNode {
  TriggerHandler handler;
  void* user_data;
  TriggerNode* next;
  TriggerNode* prev;
};

// A registration of a tag not in the sorted arrays yet. New tags are merged
// into the arrays in one step before they are next searched or dispatched,
// so registering many tags costs O(n log n), not a move of the array's tail
// per tag.
struct PendingTag {
  TagRef tag;
  TriggerNode* node;
  uint32_t serial;  // registration order: the newest becomes the chain's head
};

struct TriggerRegistry {
  TagRef* tags;         // ascending, no duplicates; `count` in use
  TriggerNode** heads;  // heads[i]: newest registration of tags[i]
  uint16_t count;
  uint32_t capacity;  // entries allocated in tags and heads: count + pending fit
  PendingTag* pending;
  uint32_t pending_count;
  uint32_t pending_capacity;
  uint32_t serial;
  int32_t restart;  // a registration completed; a running pass must end
  uint32_t resume;  // kernel in/out position of the wait and the scans
  bool has_target;
  int16_t target_id;  // wake-up target: the task itself
  char target_name[TASK_NAME_SIZE];
};

TriggerRegistry g_registry;
std::recursive_mutex g_registration_lock;
std::recursive_mutex g_registry_lock;

// Depth of the registry lock held by this thread. A registration from a
// handler (this thread already inside a pass) must not wait for the
// registration lock: another thread holding it waits for our registry lock.
thread_local int t_registry_depth = 0;

int g_alloc_successes_left = -1;  // < 0: allocations are not made to fail

void lock_registry() {
  g_registry_lock.lock();
  ++t_registry_depth;
}

void unlock_registry() {
  --t_registry_depth;
  g_registry_lock.unlock();
}

bool allocation_allowed() {
  if (g_alloc_successes_left < 0) return true;
  if (g_alloc_successes_left == 0) return false;
  --g_alloc_successes_left;
  return true;
}

void* grow_block(void* block, size_t bytes) {
  if (!allocation_allowed()) return nullptr;
  return realloc(block, bytes);
}

void free_node_list(TriggerNode* list) {
  while (list != nullptr) {
    TriggerNode* next = list->next;
    free(list);
    list = next;
  }
}

// n zero-initialised nodes linked through `next`, or null when any
// allocation fails (then none is kept).
TriggerNode* new_nodes(uint16_t n) {
  TriggerNode* list = nullptr;
  for (uint16_t i = 0; i < n; ++i) {
    TriggerNode* node =
        allocation_allowed() ? static_cast<TriggerNode*>(calloc(1, sizeof(TriggerNode))) : nullptr;
    if (node == nullptr) {
      free_node_list(list);
      return nullptr;
    }
    node->next = list;
    list = node;
  }
  return list;
}

// Capacity for at least `need` entries, growing geometrically.
uint32_t grown_capacity(uint32_t have, uint32_t need) {
  uint32_t capacity = have == 0 ? need : have;
  while (capacity < need) capacity *= 2;
  return capacity;
}

// Reserves room for `extra` more tags in both arrays and in the pending list.
bool reserve(uint32_t extra) {
  const uint32_t need = g_registry.count + g_registry.pending_count + extra;
  if (need > g_registry.capacity) {
    const uint32_t capacity = grown_capacity(g_registry.capacity, need);
    void* tags = grow_block(g_registry.tags, capacity * sizeof(TagRef));
    if (tags == nullptr) return false;
    g_registry.tags = static_cast<TagRef*>(tags);
    void* heads = grow_block(g_registry.heads, capacity * sizeof(TriggerNode*));
    if (heads == nullptr) return false;
    g_registry.heads = static_cast<TriggerNode**>(heads);
    g_registry.capacity = capacity;
  }
  const uint32_t pending = g_registry.pending_count + extra;
  if (pending > g_registry.pending_capacity) {
    const uint32_t capacity = grown_capacity(g_registry.pending_capacity, pending);
    void* list = grow_block(g_registry.pending, capacity * sizeof(PendingTag));
    if (list == nullptr) return false;
    g_registry.pending = static_cast<PendingTag*>(list);
    g_registry.pending_capacity = capacity;
  }
  return true;
}

void insert_node(TagRef tag, TriggerNode* node) {
  uint32_t p = 0;
  if (find_tag(g_registry.tags, g_registry.count, tag, &p)) {
    node->next = g_registry.heads[p];
    g_registry.heads[p]->prev = node;
    g_registry.heads[p] = node;
    return;
  }
  g_registry.pending[g_registry.pending_count++] = {tag, node, g_registry.serial++};
}

bool pending_before(const PendingTag& a, const PendingTag& b) {
  const int c = compare_tag_refs(a.tag, b.tag);
  return c != 0 ? c < 0 : a.serial < b.serial;
}

// Merges the pending registrations into the sorted arrays (room is reserved
// already, so nothing can fail) and sizes the arrays to the count.
void settle(void) {
  if (g_registry.pending_count == 0) return;
  PendingTag* list = g_registry.pending;
  std::sort(list, list + g_registry.pending_count, pending_before);
  // One entry per tag; its chain runs from the newest registration back.
  uint32_t unique = 0;
  for (uint32_t i = 0; i < g_registry.pending_count; ++i) {
    if (unique > 0 && compare_tag_refs(list[unique - 1].tag, list[i].tag) == 0) {
      list[i].node->next = list[unique - 1].node;
      list[unique - 1].node->prev = list[i].node;
      list[unique - 1].node = list[i].node;
    } else {
      list[unique++] = list[i];
    }
  }
  const uint32_t added = unique;
  uint32_t old = g_registry.count, k = g_registry.count + unique;
  while (unique > 0) {
    --k;
    if (old > 0 && compare_tag_refs(g_registry.tags[old - 1], list[unique - 1].tag) > 0) {
      --old;
      g_registry.tags[k] = g_registry.tags[old];
      g_registry.heads[k] = g_registry.heads[old];
    } else {
      --unique;
      g_registry.tags[k] = list[unique].tag;
      g_registry.heads[k] = list[unique].node;
    }
  }
  g_registry.count = static_cast<uint16_t>(g_registry.count + added);
  g_registry.pending_count = 0;
  // A failed shrink keeps the larger blocks, which are still valid.
  void* tags = realloc(g_registry.tags, g_registry.count * sizeof(TagRef));
  if (tags != nullptr) g_registry.tags = static_cast<TagRef*>(tags);
  void* heads = realloc(g_registry.heads, g_registry.count * sizeof(TriggerNode*));
  if (heads != nullptr) g_registry.heads = static_cast<TriggerNode**>(heads);
  if (tags != nullptr && heads != nullptr) g_registry.capacity = g_registry.count;
  free(g_registry.pending);
  g_registry.pending = nullptr;
  g_registry.pending_capacity = 0;
}

// Number of the given tags not registered yet, counting repeats once.
uint32_t new_tag_count(const TagRef* tags, uint16_t n) {
  uint32_t fresh = 0;
  for (uint16_t i = 0; i < n; ++i) {
    uint32_t p = 0;
    if (find_tag(g_registry.tags, g_registry.count, tags[i], &p)) continue;
    bool repeated = false;
    for (uint16_t j = 0; j < i && !repeated; ++j)
      repeated = compare_tag_refs(tags[i], tags[j]) == 0;
    if (!repeated) ++fresh;
  }
  return fresh;
}

void wake_for_registration() {
  if (!g_registry.has_target) return;
  zq_send_signal(g_registry.target_id, g_registry.target_name, TRIGGER_WAKEUP_SIGNAL);
}

// The data update of a registration, under the registry lock.
int add_registrations(const TagRef* tags, void* const* user_data, uint16_t n,
                      TriggerHandler handler) {
  // Counting the new tags exactly is quadratic in n; only needed near the limit.
  if (g_registry.count + g_registry.pending_count + n > TRIGGER_MAX_TAGS) {
    settle();
    if (g_registry.count + new_tag_count(tags, n) > TRIGGER_MAX_TAGS) return TRIGGER_NO_MEMORY;
  }
  TriggerNode* nodes = new_nodes(n);
  if (nodes == nullptr) return TRIGGER_NO_MEMORY;
  if (!reserve(n)) {
    free_node_list(nodes);
    return TRIGGER_NO_MEMORY;
  }
  for (uint16_t i = 0; i < n; ++i) {
    TriggerNode* node = nodes;
    nodes = nodes->next;
    node->next = nullptr;
    node->handler = handler;
    node->user_data = user_data != nullptr ? user_data[i] : nullptr;
    insert_node(tags[i], node);
  }
  g_registry.restart = 1;
  return 0;
}

void point_record_at(ChangeRecord* record, char* buffer) {
  const MessageValue slot = {buffer, ZQ_CHANGE_TEXT_CAPACITY, 0};
  memcpy(record->value, &slot, sizeof slot);
}

enum ChainOutcome { CHAIN_DONE, CHAIN_END_PASS };

// Runs every handler of tags[index], newest first, each with a copy of the
// record. Ends the pass on a handler failure (its result in *result) or when
// a handler registered a trigger (the arrays may have moved).
ChainOutcome run_chain(uint32_t index, const ChangeRecord& record, int* result) {
  for (TriggerNode* node = g_registry.heads[index]; node != nullptr; node = node->next) {
    const int r = node->handler(node->user_data, record);
    if (r != 0) {
      *result = r;
      return CHAIN_END_PASS;
    }
    if (g_registry.restart) {
      g_registry.restart = 0;
      *result = 0;
      return CHAIN_END_PASS;
    }
  }
  return CHAIN_DONE;
}

enum ScanOutcome { SCAN_DONE, SCAN_END_PASS };

// Runs the chains of the changed tags among tags[resume..limit), in order.
// On a kernel error other than "no further change" the pass ends with it.
ScanOutcome scan_changed(TaskContext* ctx, uint32_t limit, ChangeRecord* record, char* buffer,
                         int* result) {
  while (g_registry.resume < limit) {
    point_record_at(record, buffer);
    if (zq_get_chg(ctx->task_id, g_registry.tags, limit, &g_registry.resume, record) != 0) {
      const int e = zq_errno(ctx->task_id);
      if (e == ZQ_ENOCHANGE) return SCAN_DONE;
      *result = e;
      return SCAN_END_PASS;
    }
    if (g_registry.resume >= limit) return SCAN_DONE;  // a kernel answer outside the range
    if (run_chain(g_registry.resume, *record, result) == CHAIN_END_PASS) return SCAN_END_PASS;
    ++g_registry.resume;
  }
  return SCAN_DONE;
}

// A wait that returned without a tag. Returns true with *result set when the
// pass ends; false when the pass goes on with the tag at `resume` (an
// unexpected signal).
bool handle_wait_failure(TaskContext* ctx, int* result) {
  const int e = zq_errno(ctx->task_id);
  ctx->wait_result = e;
  task_trace(ctx, "zq_wait_event(): change_wait returned %d", WAIT_TRACE_LEVEL, e);
  if (e == ZQ_ESTOP) {
    ctx->wait_result = 1;
    *result = 0;
    unlock_registry();
    return true;
  }
  if (e != ZQ_EINTR) {
    g_registry.resume = 0;
    *result = e;
    unlock_registry();
    return true;
  }
  const int s = zq_get_signal(ctx->task_id);
  ctx->wait_result = s;
  if (s == SIGNAL_FAILED) {
    *result = zq_errno(ctx->task_id);
    unlock_registry();
    return true;
  }
  if (s == SIGNAL_NONE || s == TRIGGER_STOP_SIGNAL || s == TRIGGER_WAKEUP_SIGNAL) {
    // Let a registration waiting on another thread complete first.
    g_registry.resume = 0;
    unlock_registry();
    g_registration_lock.lock();
    std::this_thread::sleep_for(REGISTRATION_YIELD);
    g_registration_lock.unlock();
    *result = 0;
    return true;
  }
  if (g_registry.resume >= g_registry.count) {  // no tag to go on with
    g_registry.resume = 0;
    *result = 0;
    unlock_registry();
    return true;
  }
  return false;
}

}  // namespace

int compare_tag_refs(TagRef a, TagRef b) {
  if (a.type != b.type) return a.type > b.type ? 1 : -1;
  if (a.index != b.index) return a.index > b.index ? 1 : -1;
  return 0;
}

bool find_tag(const TagRef* tags, uint32_t count, TagRef tag, uint32_t* position) {
  if (count == 0) {
    *position = 0;
    return false;
  }
  uint32_t lo = 0;
  uint32_t hi = count - 1;
  while (hi - lo >= 2) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const int c = compare_tag_refs(tag, tags[mid]);
    if (c > 0) {
      lo = mid;
    } else if (c < 0) {
      hi = mid;
    } else {
      lo = hi = mid;
    }
  }
  const int at_lo = compare_tag_refs(tag, tags[lo]);
  if (at_lo <= 0) {
    *position = lo;
    return at_lo == 0;
  }
  const int at_hi = compare_tag_refs(tag, tags[hi]);
  *position = at_hi > 0 ? hi + 1 : hi;
  return at_hi == 0;
}

int signal_setup(TaskContext* ctx) {
  std::lock_guard<std::recursive_mutex> registration(g_registration_lock);
  lock_registry();
  g_registry.target_id = ctx->task_id;
  memcpy(g_registry.target_name, ctx->task_name, sizeof g_registry.target_name);
  g_registry.target_name[sizeof g_registry.target_name - 1] = '\0';
  g_registry.has_target = true;
  unlock_registry();
  return zq_signal_setup(ctx->task_id, TRIGGER_WAKEUP_SIGNAL, SIGNAL_MODE) == -1 ? -1 : 0;
}

int register_triggers(TaskContext*, const TagRef* tags, void* const* user_data, uint16_t n,
                      TriggerHandler handler) {
  if (n == 0) return 0;
  if (tags == nullptr || handler == nullptr) return TRIGGER_BAD_ARGUMENT;
  const bool inside_pass = t_registry_depth > 0;
  if (!inside_pass) g_registration_lock.lock();
  wake_for_registration();
  lock_registry();
  const int result = add_registrations(tags, user_data, n, handler);
  if (!inside_pass) g_registration_lock.unlock();
  unlock_registry();
  return result;
}

int zq_wait_event(TaskContext* ctx) {
  ctx->waiting = 1;
  ctx->wait_result = 0;
  char buffer[ZQ_CHANGE_TEXT_CAPACITY];
  ChangeRecord record;
  change_record_prepare(&record, buffer, ZQ_CHANGE_TEXT_CAPACITY);

  lock_registry();
  settle();
  g_registry.restart = 0;
  int result = 0;
  if (zq_change_wait(ctx->task_id, g_registry.tags, g_registry.count, &g_registry.resume,
                     &record) != 0) {
    if (handle_wait_failure(ctx, &result)) return result;
  }
  if (g_registry.resume >= g_registry.count) {  // a kernel answer outside the list
    g_registry.resume = 0;
    unlock_registry();
    return 0;
  }

  const uint32_t reported = g_registry.resume;
  if (run_chain(reported, record, &result) == CHAIN_END_PASS) {
    unlock_registry();
    return result;
  }
  if (reported + 1 < g_registry.count) {
    g_registry.resume = reported + 1;
    if (scan_changed(ctx, g_registry.count, &record, buffer, &result) == SCAN_END_PASS) {
      unlock_registry();
      return result;
    }
  }
  g_registry.resume = 0;
  if (reported > 0 && scan_changed(ctx, reported, &record, buffer, &result) == SCAN_END_PASS) {
    unlock_registry();
    return result;
  }
  g_registry.resume = 0;
  unlock_registry();
  return 0;
}

int dispatch_tag_now(TaskContext* ctx, TagRef tag) {
  settle();
  uint32_t p = 0;
  if (!find_tag(g_registry.tags, g_registry.count, tag, &p)) return TRIGGER_NOT_REGISTERED;
  char buffer[ZQ_CHANGE_TEXT_CAPACITY];
  ChangeRecord record;
  change_record_prepare(&record, buffer, ZQ_CHANGE_TEXT_CAPACITY);
  if (zq_read(ctx->task_id, &tag, 1, record.value) != 0) return zq_errno(ctx->task_id);
  record.tag = tag;
  record.type = tag.type;
  int last = 0;
  for (TriggerNode* node = g_registry.heads[p]; node != nullptr; node = node->next) {
    const int r = node->handler(node->user_data, record);
    if (r != 0) last = r;
  }
  return last;
}

uint16_t tag_type_of(TagRef tag) {
  uint16_t type = 0;
  if (zq_tag_info(&tag, 1, &type, nullptr) != 0) return TRIGGER_TYPE_UNKNOWN;
  return type;
}

uint16_t trigger_count(void) {
  std::lock_guard<std::recursive_mutex> registry(g_registry_lock);
  settle();
  return g_registry.count;
}

TagRef trigger_tag_at(uint16_t index) {
  std::lock_guard<std::recursive_mutex> registry(g_registry_lock);
  settle();
  if (index >= g_registry.count) return ZQ_UNSET_TAG;
  return g_registry.tags[index];
}

uint32_t trigger_resume(void) {
  return g_registry.resume;
}

void trigger_registry_reset(void) {
  std::lock_guard<std::recursive_mutex> registration(g_registration_lock);
  lock_registry();
  for (uint32_t i = 0; i < g_registry.count; ++i) free_node_list(g_registry.heads[i]);
  for (uint32_t i = 0; i < g_registry.pending_count; ++i) free(g_registry.pending[i].node);
  free(g_registry.pending);
  free(g_registry.tags);
  free(g_registry.heads);
  g_registry = TriggerRegistry{};
  unlock_registry();
}

void trigger_fail_allocations_after(int successes) {
  g_alloc_successes_left = successes;
}
