// Configuration loading. See config_loader.h for the file layout.
#include "config/config_loader.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "convert/conv_entry.h"
#include "datasource/datasource.h"
#include "datetime/datetime.h"
#include "kernel/zqkernel.h"
#include "mci/mci.h"
#include "runtime/report.h"
#include "runtime/triggers.h"

namespace {

constexpr uint16_t STATION_MASK = 0xFF;
constexpr uint16_t WORKING_TEXT_LENGTH = 80;  // text size of date/time message entries
constexpr int UNTYPED_WRITE_MODE = 2;         // write mode from which requests go untyped
constexpr uint16_t TRANSFER_BIT_BASE = 0x100;
// Entries allocated before the first record; the lists grow by doubling, so
// a record count the file cannot back costs no large allocation.
constexpr uint32_t INITIAL_ENTRY_CAPACITY = 1024;
constexpr uint32_t RECORD_CHUNK = 64;       // conversion records read at once
constexpr uint32_t TRIGGER_BATCH = 0xFFFF;  // tags per registration call at most

// Transfer types by value width.
constexpr uint16_t TRANSFER_BYTE = 0x400;
constexpr uint16_t TRANSFER_HIGH_BYTE = 0x408;
constexpr uint16_t TRANSFER_WORD = 0x600;
constexpr uint16_t TRANSFER_BCD4 = 0x780;
constexpr uint16_t TRANSFER_LONG = 0x800;
constexpr uint16_t TRANSFER_DOUBLE = 0xB00;
constexpr uint16_t TRANSFER_TEXT = 0xC80;
constexpr int LAYOUT_BYTE_MAX = 2;  // time layouts: widths by size
constexpr int LAYOUT_WORD_MAX = 4;
constexpr int LAYOUT_LONG_MAX = 8;

uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
TagRef get_ref(const uint8_t* p) {
  return TagRef{get16(p), get16(p + 2)};
}

// Copies a fixed text field, always terminated within out_size.
void copy_field(char* out, size_t out_size, const uint8_t* field, size_t field_size) {
  size_t n = 0;
  while (n < field_size && n + 1 < out_size && field[n] != 0) {
    out[n] = static_cast<char>(field[n]);
    ++n;
  }
  out[n] = 0;
}

// Reports a fatal key (status 0) and returns it.
template <class... A>
const char* fatal(TaskContext* ctx, const char* key, const A&... args) {
  task_report(ctx, key, STATUS_STOPPED, args...);
  return key;
}

// Registers one tag with one user datum; NOMEMORY is the only failure that matters.
bool register_one(TaskContext* ctx, TagRef tag, void* user, TriggerHandler handler) {
  void* users[1] = {user};
  return register_triggers(ctx, &tag, users, 1, handler) == 0;
}

// ---- Data-source records ------------------------------------------------------

struct LoadState {
  uint8_t* message_buffer;  // the one shared 4120-byte buffer
  DsState** states;         // every DsState allocated, for config_release
  uint32_t state_count;
  uint32_t state_capacity;
};
LoadState g_load;

// Remembers a new DsState so that config_release can free it.
bool track_state(DsState* state) {
  if (g_load.state_count == g_load.state_capacity) {
    uint32_t capacity = g_load.state_capacity == 0 ? 16 : g_load.state_capacity * 2;
    void* grown = realloc(g_load.states, sizeof(DsState*) * capacity);
    if (grown == nullptr) return false;
    g_load.states = static_cast<DsState**>(grown);
    g_load.state_capacity = capacity;
  }
  g_load.states[g_load.state_count++] = state;
  return true;
}

void free_texts(ConvEntry* entries, uint32_t n) {
  for (uint32_t e = 0; e < n; ++e) free(entries[e].text);
}

const TriggerHandler INHIBIT_HANDLERS[DS_OP_COUNT] = {ds_on_read_inhibit, ds_on_write_inhibit,
                                                      ds_on_receive_inhibit};
const TriggerHandler SYNC_HANDLERS[DS_OP_COUNT] = {ds_on_read_sync, ds_on_write_sync,
                                                   ds_on_receive_sync};

// Fills the data source record the message layer registers.
void fill_data_source(DataSource* ds, DsState* state, const uint8_t* header,
                      const uint8_t* record) {
  memset(ds, 0, sizeof *ds);
  memset(g_load.message_buffer, 0, MCI_HEADER_SIZE);
  ds->destination = get_ref(header);
  ds->message.key = get_ref(record + DSR_TAG);
  copy_field(ds->name, sizeof ds->name, record + DSR_NAME, DSR_NAME_SIZE);
  ds->state = state;
  ds->handler = ds_on_message;
  ds->default_buffer = MciBuffer{g_load.message_buffer, MCI_MESSAGE_BUFFER_SIZE, 0};
  ds->message.data = g_load.message_buffer;
  ds->message.capacity = MCI_MESSAGE_BUFFER_SIZE;
}

// Write mode, unsolicited data: flags and the untyped bit of the header.
void apply_modes(DsState* state, const uint8_t* record) {
  uint16_t write_mode = get16(record + DSR_WRITE_MODE);
  uint16_t flags = get16(g_load.message_buffer);
  if (write_mode == 1) {
    state->flags |= DS_FLAG_WRITE_MODE1;
    flags &= static_cast<uint16_t>(~MCI_FLAG_UNTYPED);
  } else if (write_mode >= UNTYPED_WRITE_MODE) {
    state->flags |= DS_FLAG_WRITE_MODE2;
    flags |= MCI_FLAG_UNTYPED;
  }
  mci_put16(g_load.message_buffer, flags);
  if (get16(record + DSR_UNSOLICITED) != 0) state->flags |= DS_FLAG_UNSOLICITED;
}

// Read and block-write triggers.
const char* register_triggers_of(TaskContext* ctx, DataSource* ds, const uint8_t* record) {
  DsState* state = ds->state;
  if (get16(record + DSR_READ_ENABLED) != 0) {
    state->flags |= DS_FLAG_READ;
    TagRef trigger = get_ref(record + DSR_READ_TRIGGER);
    if (tag_type_of(trigger) == TAG_DIGITAL) {
      if (!register_one(ctx, trigger, ds, ds_on_read_trigger)) return fatal(ctx, "NOMEMORY");
    } else {
      state->continuous_read = 1;
    }
  }
  if (get16(record + DSR_BW_ENABLED) != 0) {
    TagRef trigger = get_ref(record + DSR_BW_TRIGGER);
    if (tag_type_of(trigger) == TAG_DIGITAL) {
      state->flags |= DS_FLAG_BW_TRIGGER;
      if (!register_one(ctx, trigger, ds, ds_on_block_write)) return fatal(ctx, "NOMEMORY");
    } else {
      task_report(ctx, "NO_BWTRIGGER", STATUS_STOPPED, ds->name);
    }
  }
  return nullptr;
}

// Inhibit, sync and state tags: registered, and marked changed so that the
// first wait delivers their current values.
const char* register_handshakes(TaskContext* ctx, DataSource* ds, const uint8_t* record) {
  DsState* state = ds->state;
  for (int op = 0; op < DS_OP_COUNT; ++op) {
    TagRef tag = get_ref(record + DSR_INHIBIT + 4 * op);
    if (tag_type_of(tag) != TAG_DIGITAL) continue;
    if (!register_one(ctx, tag, ds, INHIBIT_HANDLERS[op])) return fatal(ctx, "NOMEMORY");
    zq_set_chg(ctx->task_id, &tag, 1);
    state->inhibit[op] = 1;
  }
  for (int op = 0; op < DS_OP_COUNT; ++op) {
    TagRef tag = get_ref(record + DSR_SYNC + 4 * op);
    uint16_t type = tag_type_of(tag);
    if (type != TAG_DIGITAL && type != TAG_ANALOG) continue;
    if (!register_one(ctx, tag, ds, SYNC_HANDLERS[op])) return fatal(ctx, "NOMEMORY");
    zq_set_chg(ctx->task_id, &tag, 1);
    state->sync[op] = op + 1;
  }
  state->last_state = 0;
  TagRef state_tag = get_ref(record + DSR_STATE);
  if (tag_type_of(state_tag) == TAG_ANALOG) {
    if (!register_one(ctx, state_tag, ds, ds_on_state)) return fatal(ctx, "NOMEMORY");
    zq_set_chg(ctx->task_id, &state_tag, 1);
  }
  state->status_tag = get_ref(record + DSR_STATUS);
  for (int op = 0; op < DS_OP_COUNT; ++op) {
    state->complete_tags[op] = get_ref(record + DSR_COMPLETE + 4 * op);
    state->sync_tags[op] = get_ref(record + DSR_SYNC + 4 * op);
  }
  return nullptr;
}

const char* load_data_source(TaskContext* ctx, const uint8_t* header, const uint8_t* record) {
  DsState* state = static_cast<DsState*>(calloc(1, sizeof(DsState)));
  if (state == nullptr) return fatal(ctx, "NOMEMORY");
  if (!track_state(state)) {
    free(state);
    return fatal(ctx, "NOMEMORY");
  }
  state->lowest_offset = DS_NO_OFFSET;
  DataSource record_ds;
  fill_data_source(&record_ds, state, header, record);
  state->max_messages = get16(header + 4);
  apply_modes(state, record);
  DataSource* ds = mci_register(&record_ds);
  if (ds == nullptr) return fatal(ctx, "IMX_DS_REGISTER", record_ds.name);
  if (tag_type_of(get_ref(record + DSR_STATE)) != TAG_ANALOG) {
    int q = mci_query(ds);
    if (q != 0) return fatal(ctx, "IMX_DS_QUERY", ds->name, q);
  }
  if (const char* key = register_triggers_of(ctx, ds, record)) return key;
  state->addressing_mode = get16(record + DSR_ADDRESSING);
  return register_handshakes(ctx, ds, record);
}

// ---- Conversion records ---------------------------------------------------------

// Growable entry lists of one conversion table, sized exactly at the end.
struct EntryLists {
  uint32_t n;         // entries in use
  uint32_t capacity;  // entries allocated
  TagRef* tags;
  ConvEntry* entries;
  uint8_t* values;
  uint16_t* types;
  uint32_t* offsets;
};

bool grow_lists(EntryLists* lists, uint32_t need) {
  if (need <= lists->capacity) return true;
  uint32_t capacity = lists->capacity == 0 ? need : lists->capacity;
  while (capacity < need) capacity = capacity > UINT32_MAX / 2 ? need : capacity * 2;
  void* tags = realloc(lists->tags, sizeof(TagRef) * capacity);
  if (tags != nullptr) lists->tags = static_cast<TagRef*>(tags);
  void* entries = realloc(lists->entries, sizeof(ConvEntry) * capacity);
  if (entries != nullptr) lists->entries = static_cast<ConvEntry*>(entries);
  void* values = realloc(lists->values, size_t{DS_VALUE_BYTES_PER_ENTRY} * capacity);
  if (values != nullptr) lists->values = static_cast<uint8_t*>(values);
  void* types = realloc(lists->types, sizeof(uint16_t) * capacity);
  if (types != nullptr) lists->types = static_cast<uint16_t*>(types);
  void* offsets = realloc(lists->offsets, sizeof(uint32_t) * capacity);
  if (offsets != nullptr) lists->offsets = static_cast<uint32_t*>(offsets);
  if (!tags || !entries || !values || !types || !offsets) return false;
  lists->capacity = capacity;
  return true;
}

void free_lists(EntryLists* lists) {
  if (lists->entries != nullptr) free_texts(lists->entries, lists->n);
  free(lists->tags);
  free(lists->entries);
  free(lists->values);
  free(lists->types);
  free(lists->offsets);
  *lists = EntryLists{};
}

// One element of a record, as it advances through an array.
struct Working {
  TagRef tag;
  uint16_t address;
  uint16_t length;
  uint16_t first_address;
  uint8_t continued;
};

struct RecordFields {
  TagRef tag;
  char name[CVR_NAME_SIZE + 1];
  char dimensions[CVR_DIMENSIONS_SIZE + 1];
  uint16_t address;
  uint16_t length;
  uint16_t count;
  uint16_t data_type;
  uint16_t tag_type;
};

void decode_record(const uint8_t* raw, RecordFields* f) {
  f->tag = get_ref(raw + CVR_TAG);
  copy_field(f->name, sizeof f->name, raw + CVR_NAME, CVR_NAME_SIZE);
  copy_field(f->dimensions, sizeof f->dimensions, raw + CVR_DIMENSIONS, CVR_DIMENSIONS_SIZE);
  f->address = get16(raw + CVR_ADDRESS);
  f->length = get16(raw + CVR_LENGTH);
  f->count = get16(raw + CVR_COUNT);
  f->data_type = get16(raw + CVR_DATA_TYPE);
}

// Fills entry e from the working element; NOMEMORY or CTCONV as a key.
const char* fill_entry(TaskContext* ctx, DataSource* ds, EntryLists* lists, uint32_t e, uint32_t* v,
                       const RecordFields& f, Working* w) {
  if (!dt_is_valid(f.data_type)) return fatal(ctx, "CTCONV", ds->name, e);
  ConvEntry* entry = &lists->entries[e];
  memset(entry, 0, sizeof *entry);
  lists->tags[e] = w->tag;
  entry->data_source = ds;
  entry->tag_type = f.tag_type;
  entry->address = w->address;
  entry->length = w->length;
  entry->data_type = f.data_type;
  entry->continued = w->continued;
  if (w->continued == 0) w->first_address = w->address;
  entry->first_address = w->first_address;
  DsState* state = ds->state;
  if (w->address < state->lowest_offset) state->lowest_offset = w->address;
  uint16_t layout_size = 0;
  if (dt_is_time_block(f.data_type)) {
    const TimeLayout* layout = time_layout(f.data_type - DT_TIM0);
    layout_size = layout != nullptr ? static_cast<uint16_t>(layout->size) : 0;
    entry->length = layout_size;
  }
  entry->transfer_type =
      config_transfer_type(f.data_type, f.data_type == DT_BIT ? entry->length : layout_size);
  if (f.data_type == DT_TIME || dt_is_time_block(f.data_type)) w->length = WORKING_TEXT_LENGTH;
  if (f.tag_type == TAG_MESSAGE) {
    // Numbers and dates formatted into a message tag need room beyond `length`.
    entry->text_size = conv_entry_text_size(f.data_type, w->length);
    entry->text = static_cast<char*>(calloc(size_t{entry->text_size} + 1, 1));
    if (entry->text == nullptr) return fatal(ctx, "NOMEMORY");
    MessageValue slot = {entry->text, entry->text_size, entry->text_size};
    memcpy(lists->values + *v, &slot, sizeof slot);
  }
  *v += static_cast<uint32_t>(tag_value_size(f.tag_type));
  w->tag.index = static_cast<uint16_t>(w->tag.index + 1);
  if (f.data_type == DT_BIT) {
    w->length = static_cast<uint16_t>(w->length + 1);
  } else {
    w->address = static_cast<uint16_t>(w->address + 1);
  }
  w->continued = 1;
  return nullptr;
}

// Entries one record covers, or a fatal key.
const char* record_coverage(TaskContext* ctx, const RecordFields& f, uint32_t* covered) {
  int64_t available = config_elements_available(f.name, f.dimensions);
  if (available <= 0) return fatal(ctx, "ARRAY", f.name);
  if (available == 1) {
    *covered = 1;
  } else if (available < f.count) {
    return fatal(ctx, "ARRAY", f.name);
  } else {
    *covered = f.count;
  }
  return nullptr;
}

// Walks every record of the table into lists; highest address out.
const char* load_records(TaskContext* ctx, CtFile* ct, DataSource* ds, EntryLists* lists,
                         uint16_t* highest) {
  uint32_t records = ct->entry.record_count;
  uint32_t v = 0;
  *highest = 0;
  // Records are read a chunk at a time (one seek and read per chunk); a chunk
  // that cannot be read whole is read record by record, so the first bad
  // record is reported exactly as it would be alone.
  uint8_t chunk[CONFIG_CONV_RECORD_SIZE * RECORD_CHUNK];
  uint32_t chunk_first = 0, chunk_count = 0;
  bool one_by_one = false;
  for (uint32_t r = 0; r < records; ++r) {
    if (r >= chunk_first + chunk_count) {
      uint32_t want = one_by_one ? 1 : (records - r < RECORD_CHUNK ? records - r : RECORD_CHUNK);
      if (want > 1 && ct_read_records(ct, chunk, r, want) != CT_OK) {
        one_by_one = true;
        want = 1;
      }
      if (want == 1 && ct_read_record(ct, chunk, r) != CT_OK) return fatal(ctx, "CTRECORD");
      chunk_first = r;
      chunk_count = want;
    }
    const uint8_t* raw = chunk + size_t{r - chunk_first} * CONFIG_CONV_RECORD_SIZE;
    RecordFields f;
    decode_record(raw, &f);
    uint16_t type = 0;
    if (zq_tag_info(&f.tag, 1, &type, nullptr) != 0 || type >= ZQ_VALUE_TYPE_COUNT) {
      return fatal(ctx, "CTTAGVAL", f.name);
    }
    f.tag_type = type;
    uint32_t covered = 0;
    if (const char* key = record_coverage(ctx, f, &covered)) return key;
    if (!grow_lists(lists, lists->n + covered)) return fatal(ctx, "NOMEMORY");
    Working w = {f.tag, f.address, f.length, f.address, 0};
    for (uint32_t k = 0; k < covered; ++k) {
      uint16_t address = w.address;
      if (const char* key = fill_entry(ctx, ds, lists, lists->n + k, &v, f, &w)) return key;
      if (address > *highest) *highest = address;
    }
    lists->n += covered;
  }
  return nullptr;
}

// Registers every entry's tag with the write-on-change handler, entry e's
// user data being entry e. The tags go to the registry in entry order, a
// batch per call, which registers them exactly as one call per tag would
// (a repeated tag gets a new head each time) without the registry growing
// and shrinking its arrays once per tag.
bool register_entries(TaskContext* ctx, const EntryLists& lists) {
  uint32_t batch_size = lists.n < TRIGGER_BATCH ? lists.n : TRIGGER_BATCH;
  void** users = static_cast<void**>(malloc(sizeof(void*) * batch_size));
  if (users == nullptr) return false;
  bool ok = true;
  for (uint32_t first = 0; ok && first < lists.n; first += batch_size) {
    uint32_t n = lists.n - first < batch_size ? lists.n - first : batch_size;
    for (uint32_t k = 0; k < n; ++k) users[k] = &lists.entries[first + k];
    ok = register_triggers(ctx, lists.tags + first, users, static_cast<uint16_t>(n),
                           ds_on_tag_change) == 0;
  }
  free(users);
  return ok;
}

void attach_lists(DsState* state, const EntryLists& lists) {
  state->entry_count = lists.n;
  state->tags = lists.tags;
  state->entries = lists.entries;
  state->values = lists.values;
  state->types = lists.types;
  state->value_offsets = lists.offsets;
}

}  // namespace

// ---- Public ---------------------------------------------------------------------

int64_t config_elements_available(const char* name, const char* dimensions) {
  const char* bracket = strchr(name, '[');
  if (bracket == nullptr) return 1;
  int64_t dims[CONFIG_MAX_DIMENSIONS];
  int ndims = 0;
  const char* p = dimensions;
  while (*p != 0) {
    if (ndims == CONFIG_MAX_DIMENSIONS || *p < '0' || *p > '9') return -1;
    int64_t d = 0;
    while (*p >= '0' && *p <= '9') d = d < INT32_MAX ? d * 10 + (*p++ - '0') : (p++, d);
    dims[ndims++] = d;
    if (*p == ',') ++p;
  }
  if (ndims == 0) return -1;
  int64_t total = 1;
  for (int i = 0; i < ndims; ++i) total = total < INT32_MAX ? total * dims[i] : total;
  int64_t linear = 0;
  int indexes = 0;
  for (const char* q = bracket; q != nullptr; q = strchr(q + 1, '[')) {
    const char* digit = q + 1;
    while (*digit == ' ') ++digit;
    if (*digit < '0' || *digit > '9' || indexes == ndims) return -1;
    int64_t index = 0;
    while (*digit >= '0' && *digit <= '9') {
      index = index < INT32_MAX ? index * 10 + (*digit - '0') : index;
      ++digit;
    }
    linear = indexes == 0 ? index : linear * dims[indexes] + index;
    if (linear > INT32_MAX) linear = INT32_MAX;
    ++indexes;
  }
  return linear < total ? total - linear : 0;
}

uint16_t config_transfer_type(uint16_t data_type, uint16_t size) {
  uint16_t layout_size = size;
  switch (data_type) {
    case DT_BIT:
      return static_cast<uint16_t>(TRANSFER_BIT_BASE + size);
    case DT_BYTE_LO:
    case DT_BYTE:
    case DT_BCD2:
      return TRANSFER_BYTE;
    case DT_BYTE_HI:
      return TRANSFER_HIGH_BYTE;
    case DT_WORD:
    case DT_FIXED:
      return TRANSFER_WORD;
    case DT_LONG:
    case DT_FLOAT:
    case DT_EXP_FLOAT:
    case DT_LONG_WS:
    case DT_FLOAT_WS:
    case DT_BCD8:
    case DT_TIME:
    case DT_FFLOAT:
    case DT_FFLOAT_WS:
      return TRANSFER_LONG;
    case DT_DOUBLE:
      return TRANSFER_DOUBLE;
    case DT_STRING:
    case DT_RAW:
      return TRANSFER_TEXT;
    case DT_BCD4:
    case DT_BCD4B:
      return TRANSFER_BCD4;
    default:
      break;
  }
  if (!dt_is_time_block(data_type)) return 0;
  if (layout_size > LAYOUT_LONG_MAX) return TRANSFER_DOUBLE;
  if (layout_size > LAYOUT_WORD_MAX) return TRANSFER_LONG;
  if (layout_size > LAYOUT_BYTE_MAX) return TRANSFER_WORD;
  return TRANSFER_BYTE;
}

const char* load_data_source_table(TaskContext* ctx, CtFile* ct) {
  if (ct->entry.header_length != CONFIG_DS_HEADER_SIZE) return fatal(ctx, "CTHDRSIZE");
  uint8_t header[CONFIG_DS_HEADER_SIZE];
  if (ct_read_header(ct, header) != CT_OK) return fatal(ctx, "CTHEADER");
  if (ct->entry.record_size != CONFIG_DS_RECORD_SIZE) return fatal(ctx, "CTRECSIZE");
  uint8_t record[CONFIG_DS_RECORD_SIZE];
  for (uint32_t r = 0; r < ct->entry.record_count; ++r) {
    if (ct_read_record(ct, record, r) != CT_OK) return fatal(ctx, "CTRECORD");
    if (const char* key = load_data_source(ctx, header, record)) return key;
  }
  return nullptr;
}

// The file's header and record sizes are checked before anything is read, so
// no field ever receives more than its size. A table for the own mailbox or an
// unknown data source is skipped; a second table for one data source is
// refused ("CTDUPCONV"): its predecessor's tags are registered already.
const char* load_conversion_table(TaskContext* ctx, CtFile* ct) {
  if (ct->entry.header_length != CONFIG_CONV_HEADER_SIZE) return fatal(ctx, "CTHDRSIZE");
  uint8_t header[CONFIG_CONV_HEADER_SIZE];
  if (ct_read_header(ct, header) != CT_OK) return fatal(ctx, "CTHEADER");
  DataSource* ds = mci_find_by_key(get_ref(header + 4));
  if (ds == nullptr || ds->state == nullptr) return nullptr;
  DsState* state = ds->state;
  if (state->conversion_loaded) return fatal(ctx, "CTDUPCONV", ds->name);
  state->conversion_loaded = 1;
  if (ct->entry.record_count == 0) return nullptr;
  if (ct->entry.record_size != CONFIG_CONV_RECORD_SIZE) return fatal(ctx, "CTRECSIZE");
  EntryLists lists = {};
  uint32_t initial = ct->entry.record_count < INITIAL_ENTRY_CAPACITY ? ct->entry.record_count
                                                                     : INITIAL_ENTRY_CAPACITY;
  uint16_t highest = 0;
  const char* key = grow_lists(&lists, initial) ? load_records(ctx, ct, ds, &lists, &highest)
                                                : fatal(ctx, "NOMEMORY");
  if (key != nullptr) {
    free_lists(&lists);
    return key;
  }
  attach_lists(state, lists);
  if (lists.n == 0) return nullptr;
  if ((state->flags & DS_FLAG_WRITE_MODE) && !register_entries(ctx, lists)) {
    return fatal(ctx, "NOMEMORY");
  }
  state->offset_span = static_cast<uint16_t>(highest - state->lowest_offset + 1);
  if (zq_tag_info(lists.tags, lists.n, lists.types, lists.offsets) != 0) {
    return fatal(ctx, "CTTAGVAL", ds->name);
  }
  if (zq_clear_chg(ctx->task_id, lists.tags, lists.n) != 0) {
    task_report(ctx, "ZQ_CLEAR_CHG", STATUS_ERROR, "CTLOAD", ds->name,
                zq_errno(ctx->task_id) + DS_KERNEL_ERROR_BASE);
  }
  return nullptr;
}

namespace {

const char* load_tables(TaskContext* ctx, CtFile* ct) {
  if (ct->header.table_count < CONFIG_MIN_TABLES) return fatal(ctx, "NOTRIGGERS");
  if (ct_select(ct, 0) != CT_OK) return fatal(ctx, "CTINDEX");
  if (ct->entry.header_length != CONFIG_TASK_HEADER_SIZE) return fatal(ctx, "CTHDRSIZE");
  uint8_t header[CONFIG_TASK_HEADER_SIZE];
  if (ct_read_header(ct, header) != CT_OK) return fatal(ctx, "CTHEADER");
  TagRef own_mailbox = get_ref(header);
  g_load.message_buffer = static_cast<uint8_t*>(calloc(MCI_MESSAGE_BUFFER_SIZE, 1));
  if (g_load.message_buffer == nullptr) return fatal(ctx, "NOMEMORY");
  MciHandle handle = {ctx->task_id, own_mailbox,
                      static_cast<uint8_t>(ctx->ls_option & STATION_MASK)};
  int r = mci_init(&handle);
  if (r != 0) {
    printf("QTL: Error %d initializing MCI library\n", r);
    return fatal(ctx, "IMX_INIT", r);
  }
  for (uint32_t i = 1; i < ct->header.table_count; ++i) {
    if (ct_select(ct, i) != CT_OK) return fatal(ctx, "CTINDEX");
    const char* key = ct->entry.type == CONFIG_DS_TABLE_TYPE ? load_data_source_table(ctx, ct)
                                                             : load_conversion_table(ctx, ct);
    if (key != nullptr) return key;
  }
  if (!register_one(ctx, own_mailbox, nullptr, mci_on_mailbox)) return fatal(ctx, "NOMEMORY");
  return nullptr;
}

}  // namespace

void config_release(void) {
  for (uint32_t i = 0; i < g_load.state_count; ++i) {
    DsState* state = g_load.states[i];
    if (state->entries != nullptr) free_texts(state->entries, state->entry_count);
    free(state->tags);
    free(state->entries);
    free(state->values);
    free(state->types);
    free(state->value_offsets);
    free(state);
  }
  free(g_load.states);
  free(g_load.message_buffer);
  g_load = LoadState{};
}

const char* load_configuration(TaskContext* ctx) {
  ds_set_task(ctx);
  CtFile ct;
  if (ct_open(&ct, CONFIG_DIRECTORY, CONFIG_FILE) != CT_OK) return fatal(ctx, "NOCT");
  const char* key = load_tables(ctx, &ct);
  ct_close(&ct);
  return key;
}
