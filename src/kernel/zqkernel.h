// libzqkernel: the tag-database kernel every QUANTREL process talks to.
//
// A database is one memory region (POSIX shared memory named from ZQNAME,
// ZQDOMAIN and ZQUSER, or private memory for in-process tests) holding the
// task table, the tag values of five types, mailboxes and per-(tag, task)
// change flags. Everything inside refers by offset, so many processes can map
// it at once. One process works on one database at a time: the one it
// attached to with zq_init, or the one installed with zq_db_use.
//
// Task operations (zq_*) return 0 on success and non-zero on failure unless
// stated; zq_errno() then gives the number from zqerrno.h. Records that carry
// a pointer are native structs; their other fields keep the task's order,
// widths and meanings.
#ifndef ZQ_KERNEL_ZQKERNEL_H_
#define ZQ_KERNEL_ZQKERNEL_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kernel/zqerrno.h"

// ---- Tag types and references ------------------------------------------------

enum TagType : uint16_t {
  TAG_DIGITAL = 0,
  TAG_ANALOG = 1,
  TAG_FLOAT = 2,
  TAG_MESSAGE = 3,
  TAG_LONG = 4,
  TAG_MAILBOX = 5,
};
constexpr uint16_t ZQ_TAG_TYPE_COUNT = 6;
constexpr uint16_t ZQ_VALUE_TYPE_COUNT = 5;  // types 0-4 carry values

// A tag reference: (type code, index). Index 0 of every type is reserved, so
// the all-zero reference is invalid. Array elements have consecutive indexes.
// Ordered by the first half, then the second.
struct TagRef {
  uint16_t type;
  uint16_t index;
};
constexpr uint16_t ZQ_TAGREF_UNSET = 0xFFFD;  // first half of an unset reference
constexpr TagRef ZQ_UNSET_TAG = {ZQ_TAGREF_UNSET, 0};

inline bool tag_ref_equal(TagRef a, TagRef b) {
  return a.type == b.type && a.index == b.index;
}

// ---- Tag value slots ---------------------------------------------------------

// Value of a message tag: the text is the caller's storage, never the kernel's.
// On write: `length` bytes of `text` are stored (cut to the tag's capacity).
// On read: at most capacity-1 bytes are copied, always NUL-terminated when
// capacity > 0; `length` receives the number copied.
struct MessageValue {
  char* text;
  uint16_t capacity;
  uint16_t length;
};

constexpr size_t ZQ_VALUE_SLOT_MAX = 16;  // largest value slot (a MessageValue)

// Bytes of one value of the type in a packed value block: 2, 2, 8, 16, 4 for
// digital, analog, float, message, long; 0 for mailboxes and unknown types.
size_t tag_value_size(uint16_t type);

// The value record the kernel fills for one changed (or read) tag. `value` is
// a tag value slot: before a call the caller puts a MessageValue naming its
// text buffer there (change_record_prepare); for numeric tags the kernel
// overwrites those bytes with the value.
struct ChangeRecord {
  alignas(8) unsigned char value[ZQ_VALUE_SLOT_MAX];
  TagRef tag;     // the tag reported
  uint16_t type;  // its type code
  uint16_t reserved;
};
constexpr uint16_t ZQ_CHANGE_TEXT_CAPACITY = 80;

inline void change_record_prepare(ChangeRecord* record, char* buffer, uint16_t capacity) {
  memset(record, 0, sizeof *record);
  MessageValue slot = {buffer, capacity, 0};
  memcpy(record->value, &slot, sizeof slot);
}
// The first 16-bit field of the value: a digital or analog value.
inline int16_t change_record_int16(const ChangeRecord& record) {
  int16_t v;
  memcpy(&v, record.value, sizeof v);
  return v;
}
inline int32_t change_record_int32(const ChangeRecord& record) {
  int32_t v;
  memcpy(&v, record.value, sizeof v);
  return v;
}
inline double change_record_double(const ChangeRecord& record) {
  double v;
  memcpy(&v, record.value, sizeof v);
  return v;
}
inline MessageValue change_record_message(const ChangeRecord& record) {
  MessageValue v;
  memcpy(&v, record.value, sizeof v);
  return v;
}

// ---- Mailboxes -----------------------------------------------------------------

// Mailbox message descriptor. On write: data/length/control/station/key are
// taken, sender is set by the kernel. On read: the caller sets data and
// capacity; a message longer than capacity is refused (ZQ_ETOOBIG) and stays
// queued, the buffer untouched. Peeked descriptors have data == nullptr.
struct MbxMessage {
  uint8_t* data;
  uint16_t capacity;
  uint16_t length;
  uint16_t reserved1;  // 0xFFFF before every send; not otherwise used
  uint16_t reserved2;
  uint16_t control;  // bits 0-3 kind, bit 6 header swapped, bits 8-15 sender station
  uint16_t station;  // low 8 bits: requester station
  TagRef key;
  uint16_t sender;  // task id of the sender
};

// ---- Task block ----------------------------------------------------------------

// The 268-byte task block zq_task_info fills (little-endian, packed).
constexpr size_t ZQ_TASK_BLOCK_SIZE = 268;
constexpr size_t ZQ_TB_UNUSED_TAG = 0;
constexpr size_t ZQ_TB_STATUS_TAG = 4;
constexpr size_t ZQ_TB_MESSAGE_TAG = 8;
constexpr size_t ZQ_TB_APP_DIR = 12;
constexpr size_t ZQ_TB_APP_DIR_SIZE = 64;
constexpr size_t ZQ_TB_BIN_DIR = 76;
constexpr size_t ZQ_TB_BIN_DIR_SIZE = 64;
constexpr size_t ZQ_TB_ARGS = 140;
constexpr size_t ZQ_TB_ARGS_SIZE = 128;

// ---- Limits -------------------------------------------------------------------

constexpr int ZQ_MAX_TASKS = 64;       // task slots per database
constexpr int ZQ_TASK_NAME_SIZE = 32;  // including the NUL
constexpr int ZQ_TASK_DESC_SIZE = 80;  // including the NUL
constexpr int ZQ_MAX_SIGNAL = 31;      // signals 1..31
constexpr int ZQ_SIGNAL_ENABLE = 0;    // zq_signal_setup modes
constexpr int ZQ_SIGNAL_DISABLE = 1;
constexpr uint32_t ZQ_MAX_TAGS_PER_TYPE = 65534;    // indexes 1..65534 (0xFFFF kept invalid)
constexpr uint16_t ZQ_MAX_MESSAGE_CAPACITY = 4096;  // text bytes of one message tag
constexpr uint32_t ZQ_DEFAULT_MBX_MESSAGES = 1024;
constexpr uint32_t ZQ_DEFAULT_MBX_DATA_BYTES = 8u << 20;
constexpr uint32_t ZQ_DEFAULT_MAX_MESSAGE_BYTES = 8192;

#ifdef __cplusplus
extern "C" {
#endif

// ---- Task operations (the task's contract) ----------------------------------------
//
// Failures return -1 (zq_init a negative id). Errors every task operation may
// give: ZQ_ENOTATTACHED (id not attached by this process, or no database),
// ZQ_EINVAL (null pointer where data is needed, bad count or mode),
// ZQ_EBADTAG (unset reference, unknown type, index 0 or beyond the last),
// ZQ_EWRONGTYPE (a mailbox in a value operation, a value tag as a mailbox),
// ZQ_ESYS (the database lock is unusable), or the number a test injected.
// A list with one bad tag is refused as a whole: nothing is written.

// Copies the environment variable's value (cut to size-1) into buffer; returns
// buffer, holding "" when the variable is unset.
char* zq_getenv(const char* name, char* buffer, size_t size);

// Attaches the calling task to the database named by zq_name/zq_domain/zq_user
// (or to the one installed by zq_db_use). Returns the task id (1..64),
// negative when not attached: ZQ_ENODB, ZQ_ECORRUPT, ZQ_ETASKBUSY (the name is
// attached by a live process), ZQ_ETASKFULL. A slot whose process died is
// taken over. Attaching clears the slot's old change flags and signals.
// zq_exit detaches; the last exit unmaps a database that zq_init opened.
int16_t zq_init(const char* task_name, const char* description, const char* zq_name,
                const char* zq_domain, const char* zq_user);
int zq_exit(int id);
int zq_errno(int id);
int zq_task_info(int id, uint8_t* block);  // block of ZQ_TASK_BLOCK_SIZE bytes; <0 = failure
int zq_term_requested(int id);             // 1 = the task must stop

// Blocks until a listed tag has its change flag set for this task; looks from
// *index to the end, then from 0. On success *index is the tag's position and
// the record holds its value; the flag is consumed. Fails with ZQ_ESTOP when
// termination is requested, ZQ_EINTR when a signal is pending. count 0 is
// allowed (waits for a signal or a stop request).
int zq_change_wait(int id, const TagRef* tags, uint32_t count, uint32_t* index,
                   ChangeRecord* record);
// No wait: the next changed tag at or after *index; ZQ_ENOCHANGE when none
// (also for count 0 and *index >= count).
int zq_get_chg(int id, const TagRef* tags, uint32_t count, uint32_t* index, ChangeRecord* record);

// Enables (mode ZQ_SIGNAL_ENABLE) or disables a signal 1..ZQ_MAX_SIGNAL for
// this task; only enabled signals can be sent to it. -1 = refused
// (ZQ_ENOSIGNAL for a number out of range).
int zq_signal_setup(int id, int signal, int mode);
// Makes the signal pending at the attached task of that name and wakes its
// wait: ZQ_ENOTASK (no such attached task), ZQ_ENOSIGNAL (not enabled there).
int zq_send_signal(int id, const char* target_task, int signal);
int zq_get_signal(int id);  // pending signal taken (0 = none), -1 = failure

// Values in a packed value block: value i at the offset zq_tag_info gives.
// Values may be unaligned. A ChangeRecord's `value` is a block of one tag.
int zq_read(int id, const TagRef* tags, uint32_t count, void* block);
int zq_write(int id, const TagRef* tags, uint32_t count, const void* block);
int zq_f_write(int id, const TagRef* tags, uint32_t count, const void* block);
int zq_set_chg(int id, const TagRef* tags, uint32_t count);
int zq_clear_chg(int id, const TagRef* tags, uint32_t count);
// Per tag its type code and value offset in a packed block (either array may
// be null). Non-zero when a tag is invalid (ZQ_EBADTAG) or no database is in
// use (ZQ_ENODB); zq_errno(-1) gives the number.
int zq_tag_info(const TagRef* tags, uint32_t count, uint16_t* types, uint32_t* offsets);
// Text capacity of a message tag, 0 for other value types; -1 if invalid.
int zq_tag_capacity(TagRef tag);

int zq_count_mbx(int id, TagRef mailbox, int* count);
// Copies up to `maximum` descriptors from position `first` (0 = oldest);
// *number = how many (0 when first is at or past the end).
int zq_peek_mbx(int id, TagRef mailbox, MbxMessage* messages, int first, int maximum, int* number);
// Copies the data of the message at index, without removing it: at most
// capacity bytes into buffer; *length receives the message's full length.
int zq_peek_mbx_data(int id, TagRef mailbox, int index, uint8_t* buffer, uint32_t capacity,
                     uint32_t* length);
// Removes the message at index (later ones move up) and copies its data into
// message->data (capacity set by the caller). data == nullptr discards it.
// ZQ_ENOMSG: no message there. ZQ_ETOOBIG: longer than the capacity; the
// message stays, the buffer is untouched, message->length tells the size.
// `reader` must be an attached task.
int zq_read_mbx(int id, int reader, TagRef mailbox, MbxMessage* message, int index);
// Queues a copy of the message; `sender` (an attached task) is recorded in it.
// ZQ_EMBXFULL (mailbox at its limit), ZQ_ENOSPACE (data pool exhausted),
// ZQ_ETOOBIG (longer than the per-message limit). Flags the mailbox tag
// changed for every attached task.
int zq_write_mbx(int id, int sender, TagRef mailbox, const MbxMessage* message);

// ---- Database management (run-time manager, tools, tests) ---------------------------

struct ZqDb;  // a mapped database

// One tag declaration: `elements` consecutive indexes of `type`; `capacity` is
// the text capacity of message tags (ignored otherwise; 0 = 80).
struct ZqTagDecl {
  uint16_t type;
  uint16_t elements;
  uint16_t capacity;
};

struct ZqDbLimits {
  uint32_t mbx_messages;       // messages per mailbox
  uint32_t mbx_data_bytes;     // message data bytes for the whole database
  uint32_t max_message_bytes;  // largest single message
};
void zq_db_default_limits(ZqDbLimits* limits);

// Shared-memory name of a database: "/zq.<name>.<domain>.<user>".
int zq_db_shm_name(const char* zq_name, const char* zq_domain, const char* zq_user, char* out,
                   size_t size);

// Creates a database. shm_name null = private memory of this process. Indexes
// are given per type from 1 in declaration order; first_refs (may be null)
// receives the reference of each declaration's first element. Fails with
// ZQ_EEXIST when the shared-memory name is taken.
int zq_db_create(const char* shm_name, const ZqTagDecl* decls, uint32_t count,
                 const ZqDbLimits* limits, TagRef* first_refs, ZqDb** out);
int zq_db_open(const char* shm_name, ZqDb** out);
int zq_db_close(ZqDb* db);    // unmaps
int zq_db_destroy(ZqDb* db);  // unmaps and removes the name (frees private memory)
int zq_db_unlink(const char* shm_name);
// Makes this the process's database: zq_init, zq_tag_info, ... use it.
void zq_db_use(ZqDb* db);
ZqDb* zq_db_current(void);

struct ZqDbInfo {
  int32_t owner_pid;  // process that created it
  uint32_t tag_count[ZQ_TAG_TYPE_COUNT];
  ZqDbLimits limits;
};
int zq_db_info(ZqDb* db, ZqDbInfo* info);

// Takes the database lock and keeps it until zq_db_lock_release, for tests of
// a process that dies holding it (the others must go on).
int zq_db_lock_hold(ZqDb* db);
int zq_db_lock_release(ZqDb* db);

// What the run-time manager puts into a task's block before the task starts.
struct ZqTaskSetup {
  const char* arguments;  // argument string (cut to 127)
  const char* app_dir;    // application directory (cut to 63)
  const char* bin_dir;    // program directory (cut to 63)
  TagRef status_tag;
  TagRef message_tag;
};
// Creates or updates the slot of a task by name, attached or not.
int zq_task_configure(ZqDb* db, const char* task_name, const ZqTaskSetup* setup);
int zq_task_request_term(ZqDb* db, const char* task_name);

struct ZqTaskState {
  char name[ZQ_TASK_NAME_SIZE];
  char description[ZQ_TASK_DESC_SIZE];
  int32_t pid;
  int16_t id;
  uint8_t attached;        // attached now
  uint8_t alive;           // its process exists
  uint8_t term_requested;  // stop asked
  uint8_t configured;      // has a task block from the manager
  TagRef status_tag;
  TagRef message_tag;
  uint8_t waiting;  // blocked in zq_change_wait now
  uint32_t wakes;   // times the task was woken from a wait (diagnostics)
};
int zq_task_list(ZqDb* db, ZqTaskState* tasks, int maximum, int* number);

// ---- Fault injection (tests) -----------------------------------------------------

// The next `calls` calls of the named operation ("zq_write", "zq_read_mbx", ...)
// in this process fail with `error`. calls 0 clears it.
void zq_fault_inject(const char* operation, int calls, int error);
void zq_fault_clear_all(void);

#ifdef __cplusplus
}
#endif

#endif  // ZQ_KERNEL_ZQKERNEL_H_
