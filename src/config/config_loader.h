// Configuration loading: {ZQAPP}/{ZQDOMAIN}/ct/quantrel.ct into live state.
//
// Runs once at start-up, before the first wait. It starts the data-source
// message layer, registers every data source with its state and trigger
// tags, sends the first queries, builds each data source's conversion
// entries and last registers the message layer's handler on the task's own
// mailbox tag. Every step succeeds or is fatal: the key is reported with
// status 0 and returned, and the caller ends the task. Everything allocated
// here lives until the process ends.
//
// File layout: table 0 is the task table (4-byte header: the own mailbox
// tag); a table of type 1 is a data-source table (8-byte header: provider
// mailbox, mailbox message limit; 116-byte records); any other type is a
// conversion table (8-byte header: unused, data-source tag; 80-byte records).
#ifndef ZQ_CONFIG_CONFIG_LOADER_H_
#define ZQ_CONFIG_CONFIG_LOADER_H_

#include <stddef.h>
#include <stdint.h>

#include "config/ct_file.h"
#include "runtime/task_context.h"

constexpr const char* CONFIG_DIRECTORY = "{ZQAPP}";
constexpr const char* CONFIG_FILE = "{ZQDOMAIN}/ct/quantrel.ct";
constexpr uint32_t CONFIG_MIN_TABLES = 3;
constexpr uint16_t CONFIG_DS_TABLE_TYPE = 1;
constexpr uint32_t CONFIG_TASK_HEADER_SIZE = 4;
constexpr uint32_t CONFIG_DS_HEADER_SIZE = 8;
constexpr uint32_t CONFIG_DS_RECORD_SIZE = 116;
constexpr uint32_t CONFIG_CONV_HEADER_SIZE = 8;
constexpr uint32_t CONFIG_CONV_RECORD_SIZE = 80;
constexpr int CONFIG_MAX_DIMENSIONS = 5;

// Data-source record (116 bytes) field offsets.
constexpr size_t DSR_TAG = 0;
constexpr size_t DSR_NAME = 4;
constexpr size_t DSR_NAME_SIZE = 50;
constexpr size_t DSR_READ_TRIGGER = 54;
constexpr size_t DSR_BW_TRIGGER = 58;
constexpr size_t DSR_READ_ENABLED = 62;
constexpr size_t DSR_WRITE_MODE = 64;
constexpr size_t DSR_BW_ENABLED = 66;
constexpr size_t DSR_UNSOLICITED = 68;
constexpr size_t DSR_ADDRESSING = 70;
constexpr size_t DSR_STATUS = 72;
constexpr size_t DSR_COMPLETE = 76;  // read, write, receive: 76, 80, 84
constexpr size_t DSR_INHIBIT = 88;   // read, write, receive: 88, 92, 96
constexpr size_t DSR_SYNC = 100;     // read, write, receive: 100, 104, 108
constexpr size_t DSR_STATE = 112;

// Conversion record (80 bytes) field offsets.
constexpr size_t CVR_TAG = 0;
constexpr size_t CVR_NAME = 4;
constexpr size_t CVR_NAME_SIZE = 50;
constexpr size_t CVR_DIMENSIONS = 54;
constexpr size_t CVR_DIMENSIONS_SIZE = 18;
constexpr size_t CVR_ADDRESS = 72;
constexpr size_t CVR_LENGTH = 74;
constexpr size_t CVR_COUNT = 76;
constexpr size_t CVR_DATA_TYPE = 78;

// Loads the whole configuration. Returns null on success, otherwise the
// fatal key, already reported with status 0.
const char* load_configuration(TaskContext* ctx);
// One data-source table / conversion table of an open file, table selected.
const char* load_data_source_table(TaskContext* ctx, CtFile* ct);
const char* load_conversion_table(TaskContext* ctx, CtFile* ct);

// Frees everything load_configuration allocated (data-source states, lists,
// texts, the message buffer) so that tests and fuzzers can load again. The
// task itself never calls it; release the message layer and the trigger
// registry first, they point into these records.
void config_release(void);

// Elements from the named element to the end of its array: 1 for a name
// without "[", otherwise total elements minus the element's linear index (0
// when past the end). -1 when the dimension text or the indexes are malformed
// (more than five dimensions, an index without digits, more indexes than
// dimensions).
int64_t config_elements_available(const char* name, const char* dimensions);

// Transfer type of a data type (0 when none). `size` is the bit number for
// DT_BIT (0x100 + bit) and the layout size for the time layouts.
uint16_t config_transfer_type(uint16_t data_type, uint16_t size);

#endif  // ZQ_CONFIG_CONFIG_LOADER_H_
