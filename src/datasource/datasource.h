// Data-source handlers: block reads, block writes, answers, completion,
// inhibit and sync handshakes, and single-tag writes on change.
//
// The configuration loader registers these as trigger handlers with the data
// source (the MCI layer's record) or, for writes on change, the tag's
// ConvEntry as user data, and puts ds_on_message into every data source. They
// run on the task's single thread inside the trigger dispatch; they nest
// (the message handler calls the read and block-write handlers directly).
#ifndef ZQ_DATASOURCE_DATASOURCE_H_
#define ZQ_DATASOURCE_DATASOURCE_H_

#include <stdint.h>

#include "convert/conv_entry.h"
#include "kernel/zqkernel.h"
#include "mci/mci.h"
#include "runtime/task_context.h"

// DsState flags.
constexpr uint8_t DS_FLAG_READ = 0x01;           // read enabled
constexpr uint8_t DS_FLAG_BW_TRIGGER = 0x02;     // block-write trigger registered
constexpr uint8_t DS_FLAG_WRITE_MODE1 = 0x04;    // writes on change, typed by unit size
constexpr uint8_t DS_FLAG_WRITE_MODE2 = 0x08;    // writes on change, untyped
constexpr uint8_t DS_FLAG_UNSOLICITED = 0x10;    // unsolicited data accepted
constexpr uint8_t DS_FLAG_READ_DEFERRED = 0x40;  // read asked while the query was pending
constexpr uint8_t DS_FLAG_BW_DEFERRED = 0x80;    // block write asked while the query was pending
constexpr uint8_t DS_FLAG_WRITE_MODE = DS_FLAG_WRITE_MODE1 | DS_FLAG_WRITE_MODE2;

// Operations, numbered as completion reports them; sync value = number + 1.
constexpr int DS_OP_READ = 0;
constexpr int DS_OP_WRITE = 1;
constexpr int DS_OP_RECEIVE = 2;
constexpr int DS_OP_COUNT = 3;

constexpr uint16_t DS_ADDRESSING_ABSOLUTE = 1;  // entry addresses are device addresses
constexpr int DS_CODE_MAILBOX_FULL = 469;       // completion code: provider mailbox full
constexpr int DS_CODE_BLOCK_TOO_BIG = 470;  // completion code: block write larger than a message
constexpr int DS_KERNEL_ERROR_BASE = 400;   // kernel errors are reported plus this
constexpr uint32_t DS_VALUE_BYTES_PER_ENTRY = 22;  // value block bytes reserved per entry
constexpr uint16_t DS_NO_OFFSET = 0xFFFF;          // lowest offset before any entry

// Per data source state, owned by the data source for the task's lifetime.
struct DsState {
  uint16_t max_messages;  // provider mailbox limit for block writes
  uint16_t lowest_offset;
  uint16_t offset_span;
  uint32_t entry_count;
  TagRef* tags;              // entry_count tags, in entry order
  uint8_t* values;           // packed value block, entry order
  uint16_t* types;           // tag type per entry
  uint32_t* value_offsets;   // byte offset of each value in `values`
  ConvEntry* entries;        // entry_count entries
  uint16_t addressing_mode;  // DS_ADDRESSING_ABSOLUTE or relative
  uint8_t flags;             // DS_FLAG_*
  uint8_t continuous_read;   // read enabled without a usable read trigger
  TagRef status_tag;
  TagRef complete_tags[DS_OP_COUNT];  // read ready, write ready, rcv ready
  TagRef sync_tags[DS_OP_COUNT];
  int32_t inhibit[DS_OP_COUNT];
  int32_t sync[DS_OP_COUNT];
  int32_t last_state;         // last data-source state value
  uint8_t conversion_loaded;  // a conversion table was attached (one per data source)
  uint8_t read_outstanding;   // a read was requested and its answer not processed yet
};

// The task context the handlers report through; set once by the loader.
void ds_set_task(TaskContext* ctx);

// Trigger handlers (user data: the DataSource).
int ds_on_read_trigger(void* ds, ChangeRecord record);
int ds_on_block_write(void* ds, ChangeRecord record);
int ds_on_read_inhibit(void* ds, ChangeRecord record);
int ds_on_write_inhibit(void* ds, ChangeRecord record);
int ds_on_receive_inhibit(void* ds, ChangeRecord record);
int ds_on_read_sync(void* ds, ChangeRecord record);
int ds_on_write_sync(void* ds, ChangeRecord record);
int ds_on_receive_sync(void* ds, ChangeRecord record);
int ds_on_state(void* ds, ChangeRecord record);
// Write on change (user data: the tag's ConvEntry).
int ds_on_tag_change(void* entry, ChangeRecord record);

// Message handler the MCI layer calls with a work copy of the data source.
int ds_on_message(DataSource* record);

// Completion of an operation: status tag, sync tag, complete tag.
void ds_complete(DataSource* ds, int operation, int code);
// The sync step of ds_complete.
void ds_signal_sync(DataSource* ds, int operation);
// Writes the tags from the block in the data source's message buffer.
void ds_apply_block(DataSource* ds);
// flags[i] := 1 for each of the n tags the kernel reports changed (consumed).
int collect_changes(const TagRef* tags, uint32_t n, uint8_t* flags);
// Adapts the entries to the unit size of the query reply just received.
void ds_adapt_entries(DataSource* ds);

#endif  // ZQ_DATASOURCE_DATASOURCE_H_
