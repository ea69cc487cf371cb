// libzqkernel: database region, task table, tag values, change flags, waits,
// signals and mailboxes.
//
// The region starts with a Header; every other part is found through offsets
// recorded there, so the same bytes work at any mapping address. One
// process-shared robust mutex guards the whole region. A task blocks on a
// futex word in its own slot: a wake is a counter increment and a futex wake,
// which never blocks the waker and keeps no state that a killed waiter could
// leave inconsistent (a process-shared condition variable does: glibc's
// broadcast then waits forever for the dead waiter).
#include "kernel/zqkernel.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {
constexpr size_t kShmNameSize = 256;
}  // namespace

// A mapped database, local to the process that mapped it.
struct ZqDb {
  uint8_t* base;
  size_t size;
  bool shared;  // POSIX shared memory (else private anonymous memory)
  char name[kShmNameSize];
};

namespace {

constexpr uint32_t kMagic = 0x4B42515Au;  // "ZQBK"
constexpr uint32_t kVersion = 3;
constexpr uint64_t kAlign = 64;
constexpr uint32_t kChunkBytes = 64;  // mailbox data pool granule
constexpr uint32_t kNoChunk = 0xFFFFFFFFu;
constexpr uint32_t kMaxMbxMessages = 1u << 20;
constexpr uint32_t kMaxPoolBytes = 1u << 30;
constexpr uint32_t kMaxMessageBytes = 0xFFFF;  // MbxMessage.length is 16 bits
constexpr uint64_t kMaxRegionBytes = 4ull << 30;
constexpr uint16_t kDefaultMessageCapacity = ZQ_CHANGE_TEXT_CAPACITY;
constexpr int kMaxFaults = 32;
constexpr size_t kFaultOpSize = 32;
constexpr mode_t kShmMode = 0600;

// Element of a message tag: its text lives in the text pool.
struct MessageEntry {
  uint32_t text_off;  // offset in the text pool
  uint16_t capacity;
  uint16_t length;
};

// Queue head of one mailbox: a ring of descriptors.
struct MailboxEntry {
  uint32_t head;
  uint32_t count;
};

// One queued message; its data is a chain of pool chunks.
struct MailboxDesc {
  uint32_t first_chunk;
  uint16_t length;
  uint16_t control;
  uint16_t station;
  uint16_t reserved1;
  uint16_t reserved2;
  uint16_t sender;
  TagRef key;
};

// A waiting task's tag list, kept so that writers wake only the tasks that
// watch what they wrote; a longer list is recorded as "any tag".
constexpr uint16_t kWatchMax = 16;
constexpr uint16_t kWatchAny = 0xFFFF;

struct TaskSlot {
  uint32_t wake_seq;  // futex word: bumped by every wake of this task
  int32_t pid;
  int32_t last_errno;
  uint8_t in_use;  // the slot has a name
  uint8_t attached;
  uint8_t term_requested;
  uint8_t configured;
  uint32_t signals_enabled;  // bit s = signal s
  uint32_t signals_pending;
  TagRef status_tag;
  TagRef message_tag;
  char name[ZQ_TASK_NAME_SIZE];
  char description[ZQ_TASK_DESC_SIZE];
  char args[ZQ_TB_ARGS_SIZE];
  char app_dir[ZQ_TB_APP_DIR_SIZE];
  char bin_dir[ZQ_TB_BIN_DIR_SIZE];
  uint16_t watch_count;  // tags in `watch`, or kWatchAny
  TagRef watch[kWatchMax];
};

struct Layout {
  uint64_t off_tasks;
  uint64_t off_masks[ZQ_TAG_TYPE_COUNT];
  uint64_t off_values[ZQ_VALUE_TYPE_COUNT];
  uint64_t off_text;
  uint64_t text_size;
  uint64_t off_mailboxes;
  uint64_t off_descs;
  uint64_t off_chunk_next;
  uint64_t off_chunks;
  uint64_t chunk_count;
  uint64_t total;
};

struct Header {
  uint32_t magic;
  uint32_t version;
  uint64_t total_size;
  uint32_t header_size;
  uint32_t slot_size;
  int32_t owner_pid;
  uint32_t tag_count[ZQ_TAG_TYPE_COUNT];
  ZqDbLimits limits;
  Layout layout;
  uint32_t free_head;  // mailbox data pool free list
  uint32_t free_count;
  uint64_t attached_mask;  // bit per attached slot
  uint64_t waiting_mask;   // bit per slot blocked in a wait
  pthread_mutex_t mutex;
};

// Bytes of one element in a value array, by type.
constexpr uint64_t kValueElementSize[ZQ_VALUE_TYPE_COUNT] = {2, 2, 8, sizeof(MessageEntry), 4};

uint64_t align_up(uint64_t v) {
  return (v + kAlign - 1) & ~(kAlign - 1);
}

void compute_layout(const uint32_t counts[ZQ_TAG_TYPE_COUNT], const ZqDbLimits& limits,
                    uint64_t text_size, Layout* l) {
  memset(l, 0, sizeof *l);
  uint64_t at = align_up(sizeof(Header));
  l->off_tasks = at;
  at = align_up(at + sizeof(TaskSlot) * ZQ_MAX_TASKS);
  for (int t = 0; t < ZQ_TAG_TYPE_COUNT; ++t) {
    l->off_masks[t] = at;
    at = align_up(at + sizeof(uint64_t) * (uint64_t{counts[t]} + 1));
  }
  for (int t = 0; t < ZQ_VALUE_TYPE_COUNT; ++t) {
    l->off_values[t] = at;
    at = align_up(at + kValueElementSize[t] * (uint64_t{counts[t]} + 1));
  }
  l->off_text = at;
  l->text_size = text_size;
  at = align_up(at + text_size);
  l->off_mailboxes = at;
  at = align_up(at + sizeof(MailboxEntry) * (uint64_t{counts[TAG_MAILBOX]} + 1));
  l->off_descs = at;
  at = align_up(at + sizeof(MailboxDesc) * uint64_t{counts[TAG_MAILBOX]} * limits.mbx_messages);
  l->chunk_count = counts[TAG_MAILBOX] == 0
                       ? 0
                       : (uint64_t{limits.mbx_data_bytes} + kChunkBytes - 1) / kChunkBytes;
  l->off_chunk_next = at;
  at = align_up(at + sizeof(uint32_t) * l->chunk_count);
  l->off_chunks = at;
  at = align_up(at + kChunkBytes * l->chunk_count);
  l->total = at;
}

// ---- Region access -----------------------------------------------------------------

Header* header_of(ZqDb* db) {
  return reinterpret_cast<Header*>(db->base);
}
TaskSlot* slots_of(ZqDb* db) {
  return reinterpret_cast<TaskSlot*>(db->base + header_of(db)->layout.off_tasks);
}
uint64_t* masks_of(ZqDb* db, uint16_t type) {
  return reinterpret_cast<uint64_t*>(db->base + header_of(db)->layout.off_masks[type]);
}
uint8_t* values_of(ZqDb* db, uint16_t type) {
  return db->base + header_of(db)->layout.off_values[type];
}
MessageEntry* message_entry(ZqDb* db, uint16_t index) {
  return reinterpret_cast<MessageEntry*>(values_of(db, TAG_MESSAGE)) + index;
}
char* text_of(ZqDb* db, const MessageEntry* e) {
  return reinterpret_cast<char*>(db->base + header_of(db)->layout.off_text + e->text_off);
}
MailboxEntry* mailbox_entry(ZqDb* db, uint16_t index) {
  return reinterpret_cast<MailboxEntry*>(db->base + header_of(db)->layout.off_mailboxes) + index;
}
MailboxDesc* mailbox_descs(ZqDb* db, uint16_t index) {
  const Header* h = header_of(db);
  return reinterpret_cast<MailboxDesc*>(db->base + h->layout.off_descs) +
         uint64_t{index - 1u} * h->limits.mbx_messages;
}
uint32_t* chunk_next(ZqDb* db) {
  return reinterpret_cast<uint32_t*>(db->base + header_of(db)->layout.off_chunk_next);
}
uint8_t* chunk_data(ZqDb* db, uint32_t chunk) {
  return db->base + header_of(db)->layout.off_chunks + uint64_t{chunk} * kChunkBytes;
}

bool tag_valid(ZqDb* db, TagRef tag) {
  return tag.type < ZQ_TAG_TYPE_COUNT && tag.index >= 1 &&
         tag.index <= header_of(db)->tag_count[tag.type];
}

bool process_alive(int32_t pid) {
  if (pid <= 0) return false;
  return kill(pid, 0) == 0 || errno == EPERM;
}

void copy_cut(char* dst, size_t size, const char* src) {
  if (size == 0) return;
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (n) memcpy(dst, src, n);
  memset(dst + n, 0, size - n);
}

// ---- Process-local state -----------------------------------------------------------

std::atomic<ZqDb*> g_current{nullptr};
std::atomic<int> g_errno{0};
std::mutex g_init_mutex;        // guards opening a database from zq_init
bool g_opened_by_init = false;  // g_current was opened by zq_init (closed by the last zq_exit)
int g_local_attached = 0;       // task ids attached by this process

struct Fault {
  char op[kFaultOpSize];
  int calls;
  int error;
};
std::mutex g_fault_mutex;
Fault g_faults[kMaxFaults];
std::atomic<int> g_fault_count{0};  // entries with calls > 0

// True when the next call of `op` is to fail; *error receives the number.
bool fault_take(const char* op, int* error) {
  if (g_fault_count.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> guard(g_fault_mutex);
  for (Fault& f : g_faults) {
    if (f.calls <= 0 || strncmp(f.op, op, kFaultOpSize) != 0) continue;
    *error = f.error;
    if (--f.calls == 0) g_fault_count.fetch_sub(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

// This process's id, cached: every operation checks slot ownership by pid.
std::atomic<int32_t> g_pid{0};
void reset_pid_after_fork() {
  g_pid.store(getpid(), std::memory_order_relaxed);
}
int32_t self_pid() {
  int32_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, reset_pid_after_fork); });
  pid = getpid();
  g_pid.store(pid, std::memory_order_relaxed);
  return pid;
}

// The slot of id when it is attached by this process (read without the lock:
// only the owner changes pid and attached of its own slot).
TaskSlot* own_slot(ZqDb* db, int id) {
  if (!db || id < 1 || id > ZQ_MAX_TASKS) return nullptr;
  TaskSlot* slot = slots_of(db) + (id - 1);
  if (__atomic_load_n(&slot->attached, __ATOMIC_RELAXED) == 0) return nullptr;
  if (__atomic_load_n(&slot->pid, __ATOMIC_RELAXED) != self_pid()) return nullptr;
  return slot;
}

// Records error for the task (if id is ours) and the process; returns -1.
int fail(ZqDb* db, int id, int error) {
  g_errno.store(error, std::memory_order_relaxed);
  if (TaskSlot* slot = own_slot(db, id))
    __atomic_store_n(&slot->last_errno, error, __ATOMIC_RELAXED);
  return -1;
}
int fail_local(int error) {
  g_errno.store(error, std::memory_order_relaxed);
  return -1;
}

// ---- Locking -------------------------------------------------------------------------

int lock_region(Header* h) {
  int r = pthread_mutex_lock(&h->mutex);
  if (r == EOWNERDEAD) {
    pthread_mutex_consistent(&h->mutex);
    return ZQ_OK;
  }
  return r == 0 ? ZQ_OK : ZQ_ESYS;
}

void futex_wake_all(uint32_t* word) {
  syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// Holds the region lock for a scope. Wake-ups collected while it is held are
// delivered after the unlock, so a woken task does not block on the lock.
class RegionLock {
 public:
  explicit RegionLock(ZqDb* db) : db_(db), error_(lock_region(header_of(db))) {}
  ~RegionLock() {
    if (error_ != ZQ_OK) return;
    pthread_mutex_unlock(&header_of(db_)->mutex);
    TaskSlot* slots = slots_of(db_);
    while (wake_) {
      futex_wake_all(&slots[__builtin_ctzll(wake_)].wake_seq);
      wake_ &= wake_ - 1;
    }
  }
  RegionLock(const RegionLock&) = delete;
  RegionLock& operator=(const RegionLock&) = delete;
  int error() const { return error_; }
  // Marks the slot's wake word; the futex wake follows the unlock.
  void wake_later(int slot_index) {
    __atomic_fetch_add(&slots_of(db_)[slot_index].wake_seq, 1, __ATOMIC_RELEASE);
    wake_ |= uint64_t{1} << slot_index;
  }
  // Blocks the calling task until its slot is woken; the lock is released
  // meanwhile and held again on return (0), or lost (an error number).
  int wait(TaskSlot* slot) {
    Header* h = header_of(db_);
    uint32_t seen = __atomic_load_n(&slot->wake_seq, __ATOMIC_ACQUIRE);
    pthread_mutex_unlock(&h->mutex);
    syscall(SYS_futex, &slot->wake_seq, FUTEX_WAIT, seen, nullptr, nullptr, 0);
    error_ = lock_region(h);
    return error_;
  }

 private:
  ZqDb* db_;
  int error_;
  uint64_t wake_ = 0;
};

bool watches(const TaskSlot& slot, const TagRef* tags, uint32_t count) {
  if (slot.watch_count == kWatchAny) return true;
  for (uint32_t i = 0; i < count; ++i) {
    for (uint16_t j = 0; j < slot.watch_count; ++j) {
      if (tag_ref_equal(slot.watch[j], tags[i])) return true;
    }
  }
  return false;
}

// Wakes the tasks blocked in a wait on any of the tags, so that they look at
// their flags again. The others sleep on: their flags stay set for later.
void wake_waiters(ZqDb* db, RegionLock* lock, const TagRef* tags, uint32_t count) {
  Header* h = header_of(db);
  const TaskSlot* slots = slots_of(db);
  for (uint64_t w = h->waiting_mask; w; w &= w - 1) {
    const int index = __builtin_ctzll(w);
    if (!watches(slots[index], tags, count)) continue;
    lock->wake_later(index);
    h->waiting_mask &= ~(uint64_t{1} << index);
  }
}

void wake_slot(ZqDb* db, int slot_index, RegionLock* lock) {
  Header* h = header_of(db);
  uint64_t bit = uint64_t{1} << slot_index;
  if (h->waiting_mask & bit) lock->wake_later(slot_index);
  h->waiting_mask &= ~bit;
}

// ---- Task resolution (lock held) ---------------------------------------------------------

// Index of the slot of id when this process has it attached, else -1.
int task_slot_index(ZqDb* db, int id) {
  return own_slot(db, id) ? id - 1 : -1;
}

// Index of an attached slot (any process) of id, else -1.
int attached_slot_index(ZqDb* db, int id) {
  if (id < 1 || id > ZQ_MAX_TASKS) return -1;
  return slots_of(db)[id - 1].attached ? id - 1 : -1;
}

int find_slot_by_name(ZqDb* db, const char* name) {
  char key[ZQ_TASK_NAME_SIZE];
  copy_cut(key, sizeof key, name);
  TaskSlot* slots = slots_of(db);
  for (int i = 0; i < ZQ_MAX_TASKS; ++i) {
    if (slots[i].in_use && strncmp(slots[i].name, key, ZQ_TASK_NAME_SIZE) == 0) return i;
  }
  return -1;
}

// Clears a slot for a new task. Its wake word keeps counting: a writer may
// still be waking it after releasing the lock.
void reset_slot(TaskSlot* slot) {
  slot->pid = 0;
  slot->last_errno = 0;
  slot->in_use = 0;
  slot->attached = 0;
  slot->term_requested = 0;
  slot->configured = 0;
  slot->signals_enabled = 0;
  slot->signals_pending = 0;
  memset(slot->name, 0, sizeof slot->name);
  memset(slot->description, 0, sizeof slot->description);
  memset(slot->args, 0, sizeof slot->args);
  memset(slot->app_dir, 0, sizeof slot->app_dir);
  memset(slot->bin_dir, 0, sizeof slot->bin_dir);
}

// A slot for a new name: a free one, else one whose unconfigured task died.
int claim_free_slot(ZqDb* db, const char* name) {
  TaskSlot* slots = slots_of(db);
  int found = -1;
  for (int i = 0; i < ZQ_MAX_TASKS && found < 0; ++i) {
    if (!slots[i].in_use) found = i;
  }
  for (int i = 0; i < ZQ_MAX_TASKS && found < 0; ++i) {
    if (!slots[i].configured && slots[i].attached && !process_alive(slots[i].pid)) found = i;
  }
  if (found < 0) return -1;
  Header* h = header_of(db);
  h->attached_mask &= ~(uint64_t{1} << found);
  h->waiting_mask &= ~(uint64_t{1} << found);
  reset_slot(&slots[found]);
  TaskSlot* slot = &slots[found];
  slot->in_use = 1;
  slot->status_tag = ZQ_UNSET_TAG;
  slot->message_tag = ZQ_UNSET_TAG;
  copy_cut(slot->name, sizeof slot->name, name);
  return found;
}

void clear_slot_changes(ZqDb* db, int slot_index) {
  Header* h = header_of(db);
  uint64_t keep = ~(uint64_t{1} << slot_index);
  for (uint16_t t = 0; t < ZQ_TAG_TYPE_COUNT; ++t) {
    uint64_t* masks = masks_of(db, t);
    for (uint32_t i = 0; i <= h->tag_count[t]; ++i) masks[i] &= keep;
  }
}

// ---- Values --------------------------------------------------------------------------------

// Checks a tag list for a value operation.
int check_value_tags(ZqDb* db, const TagRef* tags, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (!tag_valid(db, tags[i])) return ZQ_EBADTAG;
    if (tags[i].type == TAG_MAILBOX) return ZQ_EWRONGTYPE;
  }
  return ZQ_OK;
}

int check_any_tags(ZqDb* db, const TagRef* tags, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (!tag_valid(db, tags[i])) return ZQ_EBADTAG;
  }
  return ZQ_OK;
}

// Copies the tag's value into a value slot of its type.
void read_value(ZqDb* db, TagRef tag, uint8_t* slot) {
  if (tag.type == TAG_MAILBOX) return;
  if (tag.type != TAG_MESSAGE) {
    uint64_t size = kValueElementSize[tag.type];
    memcpy(slot, values_of(db, tag.type) + size * tag.index, size);
    return;
  }
  const MessageEntry* e = message_entry(db, tag.index);
  MessageValue mv;
  memcpy(&mv, slot, sizeof mv);
  uint16_t n = 0;
  if (mv.text && mv.capacity > 0) {
    n = e->length < mv.capacity ? e->length : static_cast<uint16_t>(mv.capacity - 1);
    memcpy(mv.text, text_of(db, e), n);
    mv.text[n] = '\0';
  }
  mv.length = n;
  memcpy(slot, &mv, sizeof mv);
}

// Stores a value from a value slot; true when the stored value changed.
bool write_value(ZqDb* db, TagRef tag, const uint8_t* slot) {
  if (tag.type != TAG_MESSAGE) {
    uint64_t size = kValueElementSize[tag.type];
    uint8_t* dst = values_of(db, tag.type) + size * tag.index;
    if (memcmp(dst, slot, size) == 0) return false;
    memcpy(dst, slot, size);
    return true;
  }
  MessageEntry* e = message_entry(db, tag.index);
  MessageValue mv;
  memcpy(&mv, slot, sizeof mv);
  uint16_t n = mv.length < e->capacity ? mv.length : e->capacity;
  if (!mv.text) n = 0;
  char* text = text_of(db, e);
  if (n == e->length && (n == 0 || memcmp(text, mv.text, n) == 0)) return false;
  if (n) memmove(text, mv.text, n);
  e->length = n;
  return true;
}

int check_write_block(ZqDb* db, const TagRef* tags, uint32_t count, const uint8_t* block) {
  int err = check_value_tags(db, tags, count);
  if (err) return err;
  size_t off = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (tags[i].type == TAG_MESSAGE) {
      MessageValue mv;
      memcpy(&mv, block + off, sizeof mv);
      if (!mv.text && mv.length > 0) return ZQ_EINVAL;
    }
    off += tag_value_size(tags[i].type);
  }
  return ZQ_OK;
}

// Marks a tag changed for every attached task and wakes the waiting ones.
void mark_changed(ZqDb* db, TagRef tag) {
  masks_of(db, tag.type)[tag.index] |= header_of(db)->attached_mask;
}

void fill_record(ZqDb* db, TagRef tag, ChangeRecord* record) {
  read_value(db, tag, record->value);
  record->tag = tag;
  record->type = tag.type;
  record->reserved = 0;
}

// ---- Mailbox data pool -------------------------------------------------------------------------

uint32_t chunks_for(uint32_t bytes) {
  return (bytes + kChunkBytes - 1) / kChunkBytes;
}

void pool_free(ZqDb* db, uint32_t chunk) {
  Header* h = header_of(db);
  uint32_t* next = chunk_next(db);
  uint32_t guard = 0;
  while (chunk < h->layout.chunk_count && guard++ < h->layout.chunk_count) {
    uint32_t following = next[chunk];
    next[chunk] = h->free_head;
    h->free_head = chunk;
    ++h->free_count;
    chunk = following;
  }
}

// Stores bytes in a new chain (caller checked free_count) into *first;
// kNoChunk for 0 bytes. False when the free list ends early, which only a
// task killed in the middle of a pool update leaves behind: the count is then
// set to what the list really holds.
bool pool_store(ZqDb* db, const uint8_t* data, uint32_t bytes, uint32_t* first) {
  Header* h = header_of(db);
  uint32_t* next = chunk_next(db);
  *first = kNoChunk;
  uint32_t prev = kNoChunk;
  for (uint32_t done = 0; done < bytes; done += kChunkBytes) {
    uint32_t c = h->free_head;
    if (c >= h->layout.chunk_count) {
      h->free_head = kNoChunk;
      h->free_count = 0;
      pool_free(db, *first);
      *first = kNoChunk;
      return false;
    }
    h->free_head = next[c];
    --h->free_count;
    uint32_t n = bytes - done < kChunkBytes ? bytes - done : kChunkBytes;
    memcpy(chunk_data(db, c), data + done, n);
    next[c] = kNoChunk;
    if (prev == kNoChunk) {
      *first = c;
    } else {
      next[prev] = c;
    }
    prev = c;
  }
  return true;
}

void pool_copy_out(ZqDb* db, uint32_t chunk, uint8_t* out, uint32_t bytes) {
  const Header* h = header_of(db);
  const uint32_t* next = chunk_next(db);
  for (uint32_t done = 0; done < bytes && chunk < h->layout.chunk_count; done += kChunkBytes) {
    uint32_t n = bytes - done < kChunkBytes ? bytes - done : kChunkBytes;
    memcpy(out + done, chunk_data(db, chunk), n);
    chunk = next[chunk];
  }
}

MailboxDesc* desc_at(ZqDb* db, uint16_t mailbox, uint32_t position) {
  const MailboxEntry* m = mailbox_entry(db, mailbox);
  uint32_t slots = header_of(db)->limits.mbx_messages;
  return mailbox_descs(db, mailbox) + (m->head + position) % slots;
}

// Removes the descriptor at position; later ones move up.
void mailbox_remove(ZqDb* db, uint16_t mailbox, uint32_t position) {
  MailboxEntry* m = mailbox_entry(db, mailbox);
  if (position == 0) {
    m->head = (m->head + 1) % header_of(db)->limits.mbx_messages;
  } else {
    for (uint32_t j = position; j + 1 < m->count; ++j) {
      *desc_at(db, mailbox, j) = *desc_at(db, mailbox, j + 1);
    }
  }
  --m->count;
  if (m->count == 0) m->head = 0;
}

void desc_to_message(const MailboxDesc& d, MbxMessage* m) {
  m->length = d.length;
  m->reserved1 = d.reserved1;
  m->reserved2 = d.reserved2;
  m->control = d.control;
  m->station = d.station;
  m->key = d.key;
  m->sender = d.sender;
}

// ---- Database creation -----------------------------------------------------------------------

int check_limits(const ZqDbLimits& l) {
  if (l.mbx_messages == 0 || l.mbx_messages > kMaxMbxMessages) return ZQ_ELIMIT;
  if (l.mbx_data_bytes > kMaxPoolBytes) return ZQ_ELIMIT;
  if (l.max_message_bytes > kMaxMessageBytes) return ZQ_ELIMIT;
  return ZQ_OK;
}

bool shm_name_ok(const char* name) {
  if (!name || name[0] != '/') return false;
  size_t n = strnlen(name, kShmNameSize);
  if (n < 2 || n >= kShmNameSize) return false;
  return strchr(name + 1, '/') == nullptr;
}

void init_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

// Lays out a fresh region: values zero, message texts empty, all chunks free.
void init_region(ZqDb* db, const uint32_t counts[ZQ_TAG_TYPE_COUNT], const ZqDbLimits& limits,
                 const Layout& layout, const ZqTagDecl* decls, uint32_t count) {
  Header* h = header_of(db);
  h->version = kVersion;
  h->total_size = layout.total;
  h->header_size = sizeof(Header);
  h->slot_size = sizeof(TaskSlot);
  h->owner_pid = getpid();
  memcpy(h->tag_count, counts, sizeof h->tag_count);
  h->limits = limits;
  h->layout = layout;
  init_mutex(&h->mutex);
  TaskSlot* slots = slots_of(db);
  for (int i = 0; i < ZQ_MAX_TASKS; ++i) {
    slots[i].status_tag = ZQ_UNSET_TAG;
    slots[i].message_tag = ZQ_UNSET_TAG;
  }
  uint32_t next_index = 1;
  uint32_t text_off = 0;
  for (uint32_t d = 0; d < count; ++d) {
    if (decls[d].type != TAG_MESSAGE) continue;
    uint16_t cap = decls[d].capacity ? decls[d].capacity : kDefaultMessageCapacity;
    for (uint32_t e = 0; e < decls[d].elements; ++e) {
      MessageEntry* m = message_entry(db, static_cast<uint16_t>(next_index++));
      m->text_off = text_off;
      m->capacity = cap;
      text_off += cap;
    }
  }
  uint32_t* next = chunk_next(db);
  for (uint64_t c = 0; c < layout.chunk_count; ++c) {
    next[c] = c + 1 < layout.chunk_count ? static_cast<uint32_t>(c + 1) : kNoChunk;
  }
  h->free_head = layout.chunk_count ? 0 : kNoChunk;
  h->free_count = static_cast<uint32_t>(layout.chunk_count);
  __atomic_store_n(&h->magic, kMagic, __ATOMIC_RELEASE);
}

// Checks a mapped region before use.
int check_region(const uint8_t* base, size_t size) {
  if (size < sizeof(Header)) return ZQ_ECORRUPT;
  const Header* h = reinterpret_cast<const Header*>(base);
  if (__atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) != kMagic) return ZQ_ECORRUPT;
  if (h->version != kVersion || h->header_size != sizeof(Header) ||
      h->slot_size != sizeof(TaskSlot) || h->total_size != size) {
    return ZQ_ECORRUPT;
  }
  for (uint32_t c : h->tag_count) {
    if (c > ZQ_MAX_TAGS_PER_TYPE) return ZQ_ECORRUPT;
  }
  if (check_limits(h->limits) != ZQ_OK) return ZQ_ECORRUPT;
  Layout expect;
  compute_layout(h->tag_count, h->limits, h->layout.text_size, &expect);
  if (memcmp(&expect, &h->layout, sizeof expect) != 0) return ZQ_ECORRUPT;
  const MessageEntry* m =
      reinterpret_cast<const MessageEntry*>(base + h->layout.off_values[TAG_MESSAGE]);
  for (uint32_t i = 1; i <= h->tag_count[TAG_MESSAGE]; ++i) {
    if (uint64_t{m[i].text_off} + m[i].capacity > h->layout.text_size ||
        m[i].length > m[i].capacity) {
      return ZQ_ECORRUPT;
    }
  }
  return ZQ_OK;
}

int map_shared(const char* name, int flags, uint64_t create_size, ZqDb** out) {
  int fd = shm_open(name, flags, kShmMode);
  if (fd < 0) {
    if (errno == EEXIST) return ZQ_EEXIST;
    return errno == ENOENT ? ZQ_ENODB : ZQ_ESYS;
  }
  fchmod(fd, kShmMode);
  uint64_t size = create_size;
  if (create_size) {
    if (ftruncate(fd, static_cast<off_t>(create_size)) != 0) {
      close(fd);
      shm_unlink(name);
      return ZQ_ESYS;
    }
  } else {
    struct stat st;
    if (fstat(fd, &st) != 0) {
      close(fd);
      return ZQ_ESYS;
    }
    size = static_cast<uint64_t>(st.st_size);
    if (size < sizeof(Header)) {
      close(fd);
      return ZQ_ECORRUPT;
    }
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) {
    if (create_size) shm_unlink(name);
    return ZQ_ENODB;
  }
  ZqDb* db = static_cast<ZqDb*>(calloc(1, sizeof(ZqDb)));
  if (!db) {
    munmap(p, size);
    return ZQ_ESYS;
  }
  db->base = static_cast<uint8_t*>(p);
  db->size = size;
  db->shared = true;
  copy_cut(db->name, sizeof db->name, name);
  *out = db;
  return ZQ_OK;
}

void unmap(ZqDb* db) {
  ZqDb* expected = db;
  g_current.compare_exchange_strong(expected, nullptr);
  munmap(db->base, db->size);
  free(db);
}

// Finds the database a task operation works on.
ZqDb* current_db() {
  return g_current.load(std::memory_order_acquire);
}

// Common prologue of the task operations: fault check and database present.
// Returns 0 or an error number.
int enter(const char* op, ZqDb* db) {
  int error = 0;
  if (fault_take(op, &error)) return error;
  if (!db) return ZQ_ENOTATTACHED;
  return ZQ_OK;
}

int write_common(const char* op, int id, const TagRef* tags, uint32_t count, const void* block,
                 bool force) {
  ZqDb* db = current_db();
  int err = enter(op, db);
  if (err) return fail(db, id, err);
  if (count > 0 && (!tags || !block)) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0) return fail(db, id, ZQ_ENOTATTACHED);
  const uint8_t* bytes = static_cast<const uint8_t*>(block);
  err = check_write_block(db, tags, count, bytes);
  if (err) return fail(db, id, err);
  bool any = false;
  size_t off = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (write_value(db, tags[i], bytes + off) || force) {
      mark_changed(db, tags[i]);
      any = true;
    }
    off += tag_value_size(tags[i].type);
  }
  if (any) wake_waiters(db, &lock, tags, count);
  return 0;
}

int change_flags_common(const char* op, int id, const TagRef* tags, uint32_t count, bool set) {
  ZqDb* db = current_db();
  int err = enter(op, db);
  if (err) return fail(db, id, err);
  if (count > 0 && !tags) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  int slot = task_slot_index(db, id);
  if (slot < 0) return fail(db, id, ZQ_ENOTATTACHED);
  err = check_any_tags(db, tags, count);
  if (err) return fail(db, id, err);
  uint64_t bit = uint64_t{1} << slot;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t* mask = masks_of(db, tags[i].type) + tags[i].index;
    *mask = set ? (*mask | bit) : (*mask & ~bit);
  }
  if (set && count > 0) wake_slot(db, slot, &lock);
  return 0;
}

// Looks for a changed tag among tags[from, to); consumes its flag.
bool take_change(ZqDb* db, uint64_t bit, const TagRef* tags, uint32_t from, uint32_t to,
                 uint32_t* found) {
  for (uint32_t i = from; i < to; ++i) {
    uint64_t* mask = masks_of(db, tags[i].type) + tags[i].index;
    if (*mask & bit) {
      *mask &= ~bit;
      *found = i;
      return true;
    }
  }
  return false;
}

}  // namespace

// ---- Plain helpers
// -------------------------------------------------------------------------------

size_t tag_value_size(uint16_t type) {
  switch (type) {
    case TAG_DIGITAL:
    case TAG_ANALOG:
      return 2;
    case TAG_FLOAT:
      return 8;
    case TAG_MESSAGE:
      return sizeof(MessageValue);
    case TAG_LONG:
      return 4;
    default:
      return 0;
  }
}

char* zq_getenv(const char* name, char* buffer, size_t size) {
  if (!buffer || size == 0) return buffer;
  const char* value = name ? getenv(name) : nullptr;
  copy_cut(buffer, size, value ? value : "");
  return buffer;
}

// ---- Fault injection ---------------------------------------------------------------------------

void zq_fault_inject(const char* operation, int calls, int error) {
  if (!operation) return;
  std::lock_guard<std::mutex> guard(g_fault_mutex);
  Fault* entry = nullptr;
  Fault* free_entry = nullptr;
  for (Fault& f : g_faults) {
    if (f.calls > 0 && strncmp(f.op, operation, kFaultOpSize) == 0) entry = &f;
    if (f.calls <= 0 && !free_entry) free_entry = &f;
  }
  if (entry) {
    if (calls <= 0) g_fault_count.fetch_sub(1, std::memory_order_relaxed);
    entry->calls = calls > 0 ? calls : 0;
    entry->error = error;
    return;
  }
  if (calls <= 0 || !free_entry) return;
  copy_cut(free_entry->op, sizeof free_entry->op, operation);
  free_entry->calls = calls;
  free_entry->error = error;
  g_fault_count.fetch_add(1, std::memory_order_relaxed);
}

void zq_fault_clear_all(void) {
  std::lock_guard<std::mutex> guard(g_fault_mutex);
  for (Fault& f : g_faults) f.calls = 0;
  g_fault_count.store(0, std::memory_order_relaxed);
}

// ---- Database management -----------------------------------------------------------------------

void zq_db_default_limits(ZqDbLimits* limits) {
  if (!limits) return;
  limits->mbx_messages = ZQ_DEFAULT_MBX_MESSAGES;
  limits->mbx_data_bytes = ZQ_DEFAULT_MBX_DATA_BYTES;
  limits->max_message_bytes = ZQ_DEFAULT_MAX_MESSAGE_BYTES;
}

int zq_db_shm_name(const char* zq_name, const char* zq_domain, const char* zq_user, char* out,
                   size_t size) {
  if (!zq_name || !zq_domain || !zq_user || !out || size == 0) return fail_local(ZQ_EINVAL);
  if (strchr(zq_name, '/') || strchr(zq_domain, '/') || strchr(zq_user, '/')) {
    return fail_local(ZQ_EINVAL);
  }
  int n = snprintf(out, size, "/zq.%s.%s.%s", zq_name, zq_domain, zq_user);
  if (n < 0 || static_cast<size_t>(n) >= size || static_cast<size_t>(n) >= kShmNameSize) {
    out[0] = '\0';
    return fail_local(ZQ_EINVAL);
  }
  return 0;
}

int zq_db_create(const char* shm_name, const ZqTagDecl* decls, uint32_t count,
                 const ZqDbLimits* limits, TagRef* first_refs, ZqDb** out) {
  int err = 0;
  if (fault_take("zq_db_create", &err)) return fail_local(err);
  if (!out || (count > 0 && !decls)) return fail_local(ZQ_EINVAL);
  *out = nullptr;
  if (shm_name && !shm_name_ok(shm_name)) return fail_local(ZQ_EINVAL);
  ZqDbLimits lim;
  zq_db_default_limits(&lim);
  if (limits) lim = *limits;
  if ((err = check_limits(lim)) != 0) return fail_local(err);
  uint32_t counts[ZQ_TAG_TYPE_COUNT] = {};
  uint64_t text_size = 0;
  for (uint32_t d = 0; d < count; ++d) {
    const ZqTagDecl& decl = decls[d];
    if (decl.type >= ZQ_TAG_TYPE_COUNT || decl.elements == 0) return fail_local(ZQ_EINVAL);
    if (decl.type == TAG_MESSAGE && decl.capacity > ZQ_MAX_MESSAGE_CAPACITY) {
      return fail_local(ZQ_ELIMIT);
    }
    if (counts[decl.type] + uint64_t{decl.elements} > ZQ_MAX_TAGS_PER_TYPE) {
      return fail_local(ZQ_ELIMIT);
    }
    if (first_refs) first_refs[d] = TagRef{decl.type, static_cast<uint16_t>(counts[decl.type] + 1)};
    counts[decl.type] += decl.elements;
    if (decl.type == TAG_MESSAGE) {
      uint16_t cap = decl.capacity ? decl.capacity : kDefaultMessageCapacity;
      text_size += uint64_t{cap} * decl.elements;
    }
  }
  Layout layout;
  compute_layout(counts, lim, text_size, &layout);
  if (layout.total > kMaxRegionBytes) return fail_local(ZQ_ELIMIT);
  ZqDb* db = nullptr;
  if (shm_name) {
    err = map_shared(shm_name, O_CREAT | O_EXCL | O_RDWR, layout.total, &db);
    if (err) return fail_local(err);
  } else {
    void* p =
        mmap(nullptr, layout.total, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return fail_local(ZQ_ESYS);
    db = static_cast<ZqDb*>(calloc(1, sizeof(ZqDb)));
    if (!db) {
      munmap(p, layout.total);
      return fail_local(ZQ_ESYS);
    }
    db->base = static_cast<uint8_t*>(p);
    db->size = layout.total;
  }
  init_region(db, counts, lim, layout, decls, count);
  *out = db;
  return 0;
}

int zq_db_open(const char* shm_name, ZqDb** out) {
  int err = 0;
  if (fault_take("zq_db_open", &err)) return fail_local(err);
  if (!out) return fail_local(ZQ_EINVAL);
  *out = nullptr;
  if (!shm_name_ok(shm_name)) return fail_local(ZQ_EINVAL);
  ZqDb* db = nullptr;
  err = map_shared(shm_name, O_RDWR, 0, &db);
  if (err) return fail_local(err);
  err = check_region(db->base, db->size);
  if (err) {
    unmap(db);
    return fail_local(err);
  }
  *out = db;
  return 0;
}

int zq_db_close(ZqDb* db) {
  if (!db) return fail_local(ZQ_EINVAL);
  unmap(db);
  return 0;
}

int zq_db_destroy(ZqDb* db) {
  if (!db) return fail_local(ZQ_EINVAL);
  bool shared = db->shared;
  char name[kShmNameSize];
  memcpy(name, db->name, sizeof name);
  unmap(db);
  if (shared && shm_unlink(name) != 0 && errno != ENOENT) return fail_local(ZQ_ESYS);
  return 0;
}

int zq_db_unlink(const char* shm_name) {
  if (!shm_name_ok(shm_name)) return fail_local(ZQ_EINVAL);
  if (shm_unlink(shm_name) != 0) return fail_local(errno == ENOENT ? ZQ_ENODB : ZQ_ESYS);
  return 0;
}

void zq_db_use(ZqDb* db) {
  std::lock_guard<std::mutex> guard(g_init_mutex);
  g_current.store(db, std::memory_order_release);
  g_opened_by_init = false;
  g_local_attached = 0;
}

ZqDb* zq_db_current(void) {
  return current_db();
}

int zq_db_info(ZqDb* db, ZqDbInfo* info) {
  if (!db || !info) return fail_local(ZQ_EINVAL);
  const Header* h = header_of(db);
  info->owner_pid = h->owner_pid;
  memcpy(info->tag_count, h->tag_count, sizeof info->tag_count);
  info->limits = h->limits;
  return 0;
}

int zq_db_lock_hold(ZqDb* db) {
  if (!db) return fail_local(ZQ_EINVAL);
  int err = lock_region(header_of(db));
  return err ? fail_local(err) : 0;
}

int zq_db_lock_release(ZqDb* db) {
  if (!db) return fail_local(ZQ_EINVAL);
  return pthread_mutex_unlock(&header_of(db)->mutex) == 0 ? 0 : fail_local(ZQ_ESYS);
}

int zq_task_configure(ZqDb* db, const char* task_name, const ZqTaskSetup* setup) {
  int err = 0;
  if (fault_take("zq_task_configure", &err)) return fail_local(err);
  if (!db || !task_name || !task_name[0] || !setup) return fail_local(ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail_local(lock.error());
  int index = find_slot_by_name(db, task_name);
  if (index < 0) index = claim_free_slot(db, task_name);
  if (index < 0) return fail_local(ZQ_ETASKFULL);
  TaskSlot* slot = slots_of(db) + index;
  copy_cut(slot->args, sizeof slot->args, setup->arguments);
  copy_cut(slot->app_dir, sizeof slot->app_dir, setup->app_dir);
  copy_cut(slot->bin_dir, sizeof slot->bin_dir, setup->bin_dir);
  slot->status_tag = setup->status_tag;
  slot->message_tag = setup->message_tag;
  slot->configured = 1;
  return 0;
}

int zq_task_request_term(ZqDb* db, const char* task_name) {
  int err = 0;
  if (fault_take("zq_task_request_term", &err)) return fail_local(err);
  if (!db || !task_name) return fail_local(ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail_local(lock.error());
  int index = find_slot_by_name(db, task_name);
  if (index < 0) return fail_local(ZQ_ENOTASK);
  slots_of(db)[index].term_requested = 1;
  wake_slot(db, index, &lock);
  return 0;
}

int zq_task_list(ZqDb* db, ZqTaskState* tasks, int maximum, int* number) {
  if (!db || !number || maximum < 0 || (maximum > 0 && !tasks)) return fail_local(ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail_local(lock.error());
  int n = 0;
  const TaskSlot* slots = slots_of(db);
  for (int i = 0; i < ZQ_MAX_TASKS && n < maximum; ++i) {
    const TaskSlot& s = slots[i];
    if (!s.in_use) continue;
    ZqTaskState& t = tasks[n++];
    memset(&t, 0, sizeof t);
    memcpy(t.name, s.name, sizeof t.name);
    memcpy(t.description, s.description, sizeof t.description);
    t.pid = s.pid;
    t.id = static_cast<int16_t>(i + 1);
    t.attached = s.attached;
    t.alive = s.attached && process_alive(s.pid);
    t.term_requested = s.term_requested;
    t.configured = s.configured;
    t.status_tag = s.status_tag;
    t.message_tag = s.message_tag;
    t.waiting = (header_of(db)->waiting_mask >> i) & 1;
    t.wakes = __atomic_load_n(&s.wake_seq, __ATOMIC_RELAXED);
  }
  *number = n;
  return 0;
}

// ---- Task attach and state ---------------------------------------------------------------------

int16_t zq_init(const char* task_name, const char* description, const char* zq_name,
                const char* zq_domain, const char* zq_user) {
  int err = 0;
  if (fault_take("zq_init", &err)) return static_cast<int16_t>(fail_local(err));
  if (!task_name || !task_name[0]) return static_cast<int16_t>(fail_local(ZQ_EINVAL));
  std::lock_guard<std::mutex> guard(g_init_mutex);
  ZqDb* db = current_db();
  bool opened = false;
  if (!db) {
    char name[kShmNameSize];
    if (zq_db_shm_name(zq_name, zq_domain, zq_user, name, sizeof name) != 0) return -1;
    if (zq_db_open(name, &db) != 0) return -1;
    opened = true;
  }
  int index = -1;
  {
    RegionLock lock(db);
    err = lock.error();
    if (!err) {
      index = find_slot_by_name(db, task_name);
      TaskSlot* slots = slots_of(db);
      if (index >= 0 && slots[index].attached && process_alive(slots[index].pid)) {
        err = ZQ_ETASKBUSY;
      } else if (index >= 0 && slots[index].attached) {
        // Its process died: the slot starts a new life.
        slots[index].term_requested = 0;
      } else if (index < 0) {
        index = claim_free_slot(db, task_name);
        if (index < 0) err = ZQ_ETASKFULL;
      }
    }
    if (!err) {
      Header* h = header_of(db);
      TaskSlot* slot = slots_of(db) + index;
      copy_cut(slot->description, sizeof slot->description, description);
      slot->signals_enabled = 0;
      slot->signals_pending = 0;
      slot->last_errno = 0;
      clear_slot_changes(db, index);
      h->waiting_mask &= ~(uint64_t{1} << index);
      h->attached_mask |= uint64_t{1} << index;
      __atomic_store_n(&slot->pid, self_pid(), __ATOMIC_RELAXED);
      __atomic_store_n(&slot->attached, 1, __ATOMIC_RELEASE);
    }
  }
  if (err) {
    if (opened) unmap(db);
    return static_cast<int16_t>(fail_local(err));
  }
  if (opened) {
    g_current.store(db, std::memory_order_release);
    g_opened_by_init = true;
    g_local_attached = 0;
  }
  ++g_local_attached;
  return static_cast<int16_t>(index + 1);
}

int zq_exit(int id) {
  ZqDb* db = current_db();
  int err = enter("zq_exit", db);
  if (err) return fail(db, id, err);
  std::lock_guard<std::mutex> guard(g_init_mutex);
  {
    RegionLock lock(db);
    if (lock.error()) return fail(db, id, lock.error());
    int index = task_slot_index(db, id);
    if (index < 0) return fail(db, id, ZQ_ENOTATTACHED);
    Header* h = header_of(db);
    TaskSlot* slot = slots_of(db) + index;
    uint64_t bit = uint64_t{1} << index;
    h->attached_mask &= ~bit;
    slot->signals_enabled = 0;
    slot->signals_pending = 0;
    slot->term_requested = 0;
    __atomic_store_n(&slot->attached, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&slot->pid, 0, __ATOMIC_RELAXED);
    // A thread of this task still blocked in a wait sees the slot gone.
    wake_slot(db, index, &lock);
    if (!slot->configured) slot->in_use = 0;
  }
  if (g_local_attached > 0) --g_local_attached;
  if (g_local_attached == 0 && g_opened_by_init) {
    g_opened_by_init = false;
    unmap(db);
  }
  return 0;
}

int zq_errno(int id) {
  if (TaskSlot* slot = own_slot(current_db(), id)) {
    return __atomic_load_n(&slot->last_errno, __ATOMIC_RELAXED);
  }
  return g_errno.load(std::memory_order_relaxed);
}

int zq_task_info(int id, uint8_t* block) {
  ZqDb* db = current_db();
  int err = enter("zq_task_info", db);
  if (err) return fail(db, id, err);
  if (!block) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  int index = task_slot_index(db, id);
  if (index < 0) return fail(db, id, ZQ_ENOTATTACHED);
  const TaskSlot& s = slots_of(db)[index];
  TagRef status = s.configured ? s.status_tag : ZQ_UNSET_TAG;
  TagRef message = s.configured ? s.message_tag : ZQ_UNSET_TAG;
  auto put_u16 = [block](size_t at, uint16_t v) {
    block[at] = static_cast<uint8_t>(v & 0xFF);
    block[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put_tag = [&put_u16](size_t at, TagRef t) {
    put_u16(at, t.type);
    put_u16(at + 2, t.index);
  };
  memset(block, 0, ZQ_TASK_BLOCK_SIZE);
  put_tag(ZQ_TB_UNUSED_TAG, ZQ_UNSET_TAG);
  put_tag(ZQ_TB_STATUS_TAG, status);
  put_tag(ZQ_TB_MESSAGE_TAG, message);
  if (s.configured) {
    copy_cut(reinterpret_cast<char*>(block + ZQ_TB_APP_DIR), ZQ_TB_APP_DIR_SIZE, s.app_dir);
    copy_cut(reinterpret_cast<char*>(block + ZQ_TB_BIN_DIR), ZQ_TB_BIN_DIR_SIZE, s.bin_dir);
    copy_cut(reinterpret_cast<char*>(block + ZQ_TB_ARGS), ZQ_TB_ARGS_SIZE, s.args);
  }
  return 0;
}

int zq_term_requested(int id) {
  ZqDb* db = current_db();
  int err = enter("zq_term_requested", db);
  if (err) return fail(db, id, err);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  int index = task_slot_index(db, id);
  if (index < 0) return fail(db, id, ZQ_ENOTATTACHED);
  return slots_of(db)[index].term_requested ? 1 : 0;
}

// ---- Changes and waits ------------------------------------------------------------------------

int zq_change_wait(int id, const TagRef* tags, uint32_t count, uint32_t* index,
                   ChangeRecord* record) {
  ZqDb* db = current_db();
  int err = enter("zq_change_wait", db);
  if (err) return fail(db, id, err);
  if ((count > 0 && !tags) || !index || !record) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  int slot_index = task_slot_index(db, id);
  if (slot_index < 0) return fail(db, id, ZQ_ENOTATTACHED);
  err = check_any_tags(db, tags, count);
  if (err) return fail(db, id, err);
  Header* h = header_of(db);
  TaskSlot* slot = slots_of(db) + slot_index;
  const uint64_t bit = uint64_t{1} << slot_index;
  const uint32_t start = *index < count ? *index : 0;
  const int32_t pid = self_pid();
  slot->watch_count = count <= kWatchMax ? static_cast<uint16_t>(count) : kWatchAny;
  if (count <= kWatchMax && count > 0) memcpy(slot->watch, tags, count * sizeof(TagRef));
  for (;;) {
    if (!slot->attached || slot->pid != pid) return fail(db, id, ZQ_ENOTATTACHED);
    if (slot->term_requested) return fail(db, id, ZQ_ESTOP);
    if (slot->signals_pending) return fail(db, id, ZQ_EINTR);
    uint32_t found = 0;
    if (take_change(db, bit, tags, start, count, &found) ||
        take_change(db, bit, tags, 0, start, &found)) {
      *index = found;
      fill_record(db, tags[found], record);
      return 0;
    }
    h->waiting_mask |= bit;
    if (lock.wait(slot) != ZQ_OK) return fail(db, id, ZQ_ESYS);
    h->waiting_mask &= ~bit;
  }
}

int zq_get_chg(int id, const TagRef* tags, uint32_t count, uint32_t* index, ChangeRecord* record) {
  ZqDb* db = current_db();
  int err = enter("zq_get_chg", db);
  if (err) return fail(db, id, err);
  if ((count > 0 && !tags) || !index || !record) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  int slot_index = task_slot_index(db, id);
  if (slot_index < 0) return fail(db, id, ZQ_ENOTATTACHED);
  err = check_any_tags(db, tags, count);
  if (err) return fail(db, id, err);
  uint32_t found = 0;
  if (*index >= count || !take_change(db, uint64_t{1} << slot_index, tags, *index, count, &found)) {
    return fail(db, id, ZQ_ENOCHANGE);
  }
  *index = found;
  fill_record(db, tags[found], record);
  return 0;
}

int zq_set_chg(int id, const TagRef* tags, uint32_t count) {
  return change_flags_common("zq_set_chg", id, tags, count, true);
}

int zq_clear_chg(int id, const TagRef* tags, uint32_t count) {
  return change_flags_common("zq_clear_chg", id, tags, count, false);
}

// ---- Signals -----------------------------------------------------------------------------------

int zq_signal_setup(int id, int signal, int mode) {
  ZqDb* db = current_db();
  int err = enter("zq_signal_setup", db);
  if (err) return fail(db, id, err);
  if (signal < 1 || signal > ZQ_MAX_SIGNAL) return fail(db, id, ZQ_ENOSIGNAL);
  if (mode != ZQ_SIGNAL_ENABLE && mode != ZQ_SIGNAL_DISABLE) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  int index = task_slot_index(db, id);
  if (index < 0) return fail(db, id, ZQ_ENOTATTACHED);
  TaskSlot* slot = slots_of(db) + index;
  uint32_t bit = uint32_t{1} << signal;
  if (mode == ZQ_SIGNAL_ENABLE) {
    slot->signals_enabled |= bit;
  } else {
    slot->signals_enabled &= ~bit;
    slot->signals_pending &= ~bit;
  }
  return 0;
}

int zq_send_signal(int id, const char* target_task, int signal) {
  ZqDb* db = current_db();
  int err = enter("zq_send_signal", db);
  if (err) return fail(db, id, err);
  if (!target_task) return fail(db, id, ZQ_EINVAL);
  if (signal < 1 || signal > ZQ_MAX_SIGNAL) return fail(db, id, ZQ_ENOSIGNAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0) return fail(db, id, ZQ_ENOTATTACHED);
  int target = find_slot_by_name(db, target_task);
  if (target < 0 || !slots_of(db)[target].attached) return fail(db, id, ZQ_ENOTASK);
  TaskSlot* slot = slots_of(db) + target;
  uint32_t bit = uint32_t{1} << signal;
  if ((slot->signals_enabled & bit) == 0) return fail(db, id, ZQ_ENOSIGNAL);
  slot->signals_pending |= bit;
  wake_slot(db, target, &lock);
  return 0;
}

int zq_get_signal(int id) {
  ZqDb* db = current_db();
  int err = enter("zq_get_signal", db);
  if (err) return fail(db, id, err);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  int index = task_slot_index(db, id);
  if (index < 0) return fail(db, id, ZQ_ENOTATTACHED);
  TaskSlot* slot = slots_of(db) + index;
  if (slot->signals_pending == 0) return 0;
  int signal = __builtin_ctz(slot->signals_pending);
  slot->signals_pending &= ~(uint32_t{1} << signal);
  return signal;
}

// ---- Values ------------------------------------------------------------------------------------

int zq_read(int id, const TagRef* tags, uint32_t count, void* block) {
  ZqDb* db = current_db();
  int err = enter("zq_read", db);
  if (err) return fail(db, id, err);
  if (count > 0 && (!tags || !block)) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0) return fail(db, id, ZQ_ENOTATTACHED);
  err = check_value_tags(db, tags, count);
  if (err) return fail(db, id, err);
  uint8_t* bytes = static_cast<uint8_t*>(block);
  size_t off = 0;
  for (uint32_t i = 0; i < count; ++i) {
    read_value(db, tags[i], bytes + off);
    off += tag_value_size(tags[i].type);
  }
  return 0;
}

int zq_write(int id, const TagRef* tags, uint32_t count, const void* block) {
  return write_common("zq_write", id, tags, count, block, false);
}

int zq_f_write(int id, const TagRef* tags, uint32_t count, const void* block) {
  return write_common("zq_f_write", id, tags, count, block, true);
}

int zq_tag_info(const TagRef* tags, uint32_t count, uint16_t* types, uint32_t* offsets) {
  ZqDb* db = current_db();
  int err = enter("zq_tag_info", db);
  if (err) return fail_local(err == ZQ_ENOTATTACHED ? ZQ_ENODB : err);
  if (count > 0 && !tags) return fail_local(ZQ_EINVAL);
  if (check_any_tags(db, tags, count) != ZQ_OK) return fail_local(ZQ_EBADTAG);
  uint32_t off = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (types) types[i] = tags[i].type;
    if (offsets) offsets[i] = off;
    off += static_cast<uint32_t>(tag_value_size(tags[i].type));
  }
  return 0;
}

int zq_tag_capacity(TagRef tag) {
  ZqDb* db = current_db();
  int err = enter("zq_tag_capacity", db);
  if (err) return fail_local(err == ZQ_ENOTATTACHED ? ZQ_ENODB : err);
  if (!tag_valid(db, tag)) return fail_local(ZQ_EBADTAG);
  if (tag.type != TAG_MESSAGE) return 0;
  return message_entry(db, tag.index)->capacity;
}

// ---- Mailboxes ---------------------------------------------------------------------------------

int zq_count_mbx(int id, TagRef mailbox, int* count) {
  ZqDb* db = current_db();
  int err = enter("zq_count_mbx", db);
  if (err) return fail(db, id, err);
  if (!count) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0) return fail(db, id, ZQ_ENOTATTACHED);
  if (!tag_valid(db, mailbox)) return fail(db, id, ZQ_EBADTAG);
  if (mailbox.type != TAG_MAILBOX) return fail(db, id, ZQ_EWRONGTYPE);
  *count = static_cast<int>(mailbox_entry(db, mailbox.index)->count);
  return 0;
}

int zq_peek_mbx(int id, TagRef mailbox, MbxMessage* messages, int first, int maximum, int* number) {
  ZqDb* db = current_db();
  int err = enter("zq_peek_mbx", db);
  if (err) return fail(db, id, err);
  if (!number || first < 0 || maximum < 0 || (maximum > 0 && !messages)) {
    return fail(db, id, ZQ_EINVAL);
  }
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0) return fail(db, id, ZQ_ENOTATTACHED);
  if (!tag_valid(db, mailbox)) return fail(db, id, ZQ_EBADTAG);
  if (mailbox.type != TAG_MAILBOX) return fail(db, id, ZQ_EWRONGTYPE);
  const MailboxEntry* m = mailbox_entry(db, mailbox.index);
  int n = 0;
  for (uint32_t pos = static_cast<uint32_t>(first); pos < m->count && n < maximum; ++pos, ++n) {
    MbxMessage& out = messages[n];
    memset(&out, 0, sizeof out);
    desc_to_message(*desc_at(db, mailbox.index, pos), &out);
  }
  *number = n;
  return 0;
}

int zq_peek_mbx_data(int id, TagRef mailbox, int index, uint8_t* buffer, uint32_t capacity,
                     uint32_t* length) {
  ZqDb* db = current_db();
  int err = enter("zq_peek_mbx_data", db);
  if (err) return fail(db, id, err);
  if (!length || (capacity > 0 && !buffer)) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0) return fail(db, id, ZQ_ENOTATTACHED);
  if (!tag_valid(db, mailbox)) return fail(db, id, ZQ_EBADTAG);
  if (mailbox.type != TAG_MAILBOX) return fail(db, id, ZQ_EWRONGTYPE);
  const MailboxEntry* m = mailbox_entry(db, mailbox.index);
  if (index < 0 || static_cast<uint32_t>(index) >= m->count) return fail(db, id, ZQ_ENOMSG);
  const MailboxDesc d = *desc_at(db, mailbox.index, static_cast<uint32_t>(index));
  *length = d.length;
  pool_copy_out(db, d.first_chunk, buffer, d.length < capacity ? d.length : capacity);
  return 0;
}

int zq_read_mbx(int id, int reader, TagRef mailbox, MbxMessage* message, int index) {
  ZqDb* db = current_db();
  int err = enter("zq_read_mbx", db);
  if (err) return fail(db, id, err);
  if (!message) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0 || attached_slot_index(db, reader) < 0) {
    return fail(db, id, ZQ_ENOTATTACHED);
  }
  if (!tag_valid(db, mailbox)) return fail(db, id, ZQ_EBADTAG);
  if (mailbox.type != TAG_MAILBOX) return fail(db, id, ZQ_EWRONGTYPE);
  const MailboxEntry* m = mailbox_entry(db, mailbox.index);
  if (index < 0 || static_cast<uint32_t>(index) >= m->count) return fail(db, id, ZQ_ENOMSG);
  const uint32_t pos = static_cast<uint32_t>(index);
  const MailboxDesc d = *desc_at(db, mailbox.index, pos);
  if (message->data) {
    if (d.length > message->capacity) {
      message->length = d.length;
      return fail(db, id, ZQ_ETOOBIG);
    }
    pool_copy_out(db, d.first_chunk, message->data, d.length);
  }
  desc_to_message(d, message);
  pool_free(db, d.first_chunk);
  mailbox_remove(db, mailbox.index, pos);
  return 0;
}

int zq_write_mbx(int id, int sender, TagRef mailbox, const MbxMessage* message) {
  ZqDb* db = current_db();
  int err = enter("zq_write_mbx", db);
  if (err) return fail(db, id, err);
  if (!message || (message->length > 0 && !message->data)) return fail(db, id, ZQ_EINVAL);
  RegionLock lock(db);
  if (lock.error()) return fail(db, id, lock.error());
  if (task_slot_index(db, id) < 0 || attached_slot_index(db, sender) < 0) {
    return fail(db, id, ZQ_ENOTATTACHED);
  }
  if (!tag_valid(db, mailbox)) return fail(db, id, ZQ_EBADTAG);
  if (mailbox.type != TAG_MAILBOX) return fail(db, id, ZQ_EWRONGTYPE);
  Header* h = header_of(db);
  if (message->length > h->limits.max_message_bytes) return fail(db, id, ZQ_ETOOBIG);
  MailboxEntry* m = mailbox_entry(db, mailbox.index);
  if (m->count >= h->limits.mbx_messages) return fail(db, id, ZQ_EMBXFULL);
  if (chunks_for(message->length) > h->free_count) return fail(db, id, ZQ_ENOSPACE);
  MailboxDesc d;
  memset(&d, 0, sizeof d);
  if (!pool_store(db, message->data, message->length, &d.first_chunk)) {
    return fail(db, id, ZQ_ENOSPACE);
  }
  d.length = message->length;
  d.control = message->control;
  d.station = message->station;
  d.reserved1 = message->reserved1;
  d.reserved2 = message->reserved2;
  d.key = message->key;
  d.sender = static_cast<uint16_t>(sender);
  ++m->count;
  *desc_at(db, mailbox.index, m->count - 1) = d;
  mark_changed(db, mailbox);
  wake_waiters(db, &lock, &mailbox, 1);
  return 0;
}
