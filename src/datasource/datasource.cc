// Data-source handlers: reads, block writes, answers, completion, inhibit and
// sync handshakes, provider state, entry adaptation and writes on change.
#include "datasource/datasource.h"

#include <stdlib.h>
#include <string.h>

#include "convert/convert.h"
#include "runtime/report.h"
#include "runtime/triggers.h"

namespace {

TaskContext* g_task = nullptr;

constexpr int TRACE_BLOCK = 1;  // trace levels
constexpr int TRACE_QUERY = 1;
constexpr int TRACE_ANSWER = 2;
constexpr int TRACE_STATE = 1;
constexpr int TRACE_EXCEPT = 1;
constexpr uint16_t ERROR_CODE_MISSING = 0xFFFF;  // error reply too short to carry a code
constexpr uint16_t KIND_MASK = 0x000F;
constexpr int BITS_PER_BYTE = 8;
constexpr uint16_t TRANSFER_BIT_BASE = 0x100;
constexpr uint16_t TRANSFER_BYTE = 0x400;
constexpr uint16_t TRANSFER_WORD = 0x600;
constexpr uint16_t TRANSFER_LONG = 0x800;
constexpr uint16_t TRANSFER_DOUBLE = 0xB00;
constexpr uint16_t BLOCK_DATA_CAPACITY = MCI_MESSAGE_BUFFER_SIZE - MCI_HEADER_SIZE;

// Provider state values that ask for a new query.
constexpr int32_t STATE_READY_A = 0x111;
constexpr int32_t STATE_READY_B = 0x211;
constexpr int32_t STATE_RESTART = 0x312;
constexpr int32_t STATE_ONLINE_A = 0x311;
constexpr int32_t STATE_ONLINE_B = 0x321;

const char* const COMPLETE_NAMES[DS_OP_COUNT] = {"read ready", "write ready", "rcv ready"};
const char* const ERROR_NAMES[DS_OP_COUNT] = {"READ", "WRITE", "RCV"};

DataSource* as_ds(void* p) {
  return static_cast<DataSource*>(p);
}
int16_t record_value(const ChangeRecord& r) {
  return change_record_int16(r);
}
int kernel_error() {
  return zq_errno(g_task->task_id) + DS_KERNEL_ERROR_BASE;
}
const MciHandle* handle() {
  return mci_handle();
}

ChangeRecord record_of(int16_t value) {
  ChangeRecord r;
  memset(&r, 0, sizeof r);
  memcpy(r.value, &value, sizeof value);
  return r;
}

uint8_t* message_data(DataSource* ds) {
  return ds->message.data != nullptr ? ds->message.data : ds->default_buffer.data;
}

void set_kind(DataSource* ds, uint16_t kind) {
  ds->message.control = static_cast<uint16_t>((ds->message.control & ~KIND_MASK) | kind);
}

ConvReporter reporter_for(DataSource* ds) {
  return ConvReporter{g_task, ds->name, nullptr, nullptr};
}

// The block as the conversions see it. `origin` is the entry address at the
// first bit of the data area: bits of a bit-addressed block are numbered from
// there, so the bit within a byte agrees with the byte the element lies in,
// whatever the addressing mode and the data source's start.
ConvBlock block_of(const MciBlockHeader& h, uint16_t origin) {
  return ConvBlock{h.flags, h.count, h.start, origin};
}

// Form size of a transfer type: bytes of a single value, -1 when none.
int form_size(uint16_t transfer) {
  if (transfer < TRANSFER_WORD) return 1;
  if (transfer < TRANSFER_LONG) return 2;
  if (transfer < TRANSFER_DOUBLE) return 4;
  if (transfer == TRANSFER_DOUBLE) return 8;
  return -1;
}

bool is_length_sized(uint16_t dt) {
  return dt == DT_STRING || (dt >= DT_TIM0 && dt <= DT_RAW);
}

// Bytes of data area a block of `count` units takes.
uint32_t data_bytes(uint16_t count, unsigned unit) {
  return unit == 0 ? count / BITS_PER_BYTE + 1u : uint32_t{count} * unit;
}

// Byte position of an element relative to `origin`, in the block's units.
uint16_t byte_position(uint16_t address, uint16_t origin, unsigned unit) {
  uint16_t rel = static_cast<uint16_t>(address - origin);
  return static_cast<uint16_t>(unit == 0 ? rel / BITS_PER_BYTE : rel * unit);
}

}  // namespace

void ds_set_task(TaskContext* ctx) {
  g_task = ctx;
}

// ---- Triggers ------------------------------------------------------------------

int ds_on_read_trigger(void* p, ChangeRecord record) {
  DataSource* ds = as_ds(p);
  DsState* st = ds->state;
  if (record_value(record) == 0 || st->inhibit[DS_OP_READ] != 0) return 0;
  if (mci_query_pending(ds)) {
    st->flags |= DS_FLAG_READ_DEFERRED;
    return 0;
  }
  task_trace(g_task, "DBG_BLOCK_R", TRACE_BLOCK, ds->name);
  int r = mci_request_read(handle(), ds);
  if (r != 0) {
    task_report(g_task, "IMX_DS_TRIGGER", STATUS_ERROR, ds->name, r + DS_KERNEL_ERROR_BASE);
  } else {
    st->read_outstanding = 1;
  }
  return 0;
}

namespace {

// The provider mailbox check shared by block writes and writes on change.
bool provider_mailbox_has_room(DataSource* ds) {
  DsState* st = ds->state;
  int count = 0;
  if (zq_count_mbx(g_task->task_id, ds->destination, &count) != 0) {
    int code = kernel_error();
    task_report(g_task, "ZQ_COUNT_MBX", STATUS_ERROR, ds->name, code);
    ds_complete(ds, DS_OP_WRITE, code);
    return false;
  }
  if (count >= st->max_messages) {
    task_report(g_task, "MAX_MSG", STATUS_ERROR, st->max_messages, ds->name);
    ds_complete(ds, DS_OP_WRITE, DS_CODE_MAILBOX_FULL);
    return false;
  }
  return true;
}

// Message slots must name the entries' texts before the kernel reads into them.
void prepare_message_slots(DsState* st) {
  for (uint32_t i = 0; i < st->entry_count; ++i) {
    if (st->types[i] != TAG_MESSAGE) continue;
    const ConvEntry& e = st->entries[i];
    MessageValue slot = {e.text, static_cast<uint16_t>(e.text_size + 1), 0};
    memcpy(st->values + st->value_offsets[i], &slot, sizeof slot);
  }
}

// Encodes every entry into the block write's data area.
void encode_entries(DataSource* ds, const MciBlockHeader& h, uint8_t* data, uint32_t size) {
  DsState* st = ds->state;
  ConvBlock block = block_of(h, st->lowest_offset);
  ConvReporter rep = reporter_for(ds);
  unsigned unit = mci_header_unit_size(h);
  for (uint32_t i = 0; i < st->entry_count; ++i) {
    const ConvEntry& e = st->entries[i];
    uint16_t pos = byte_position(e.address, st->lowest_offset, unit);
    if (pos >= size) continue;
    convert_to_block(data + pos, size - pos, st->values + st->value_offsets[i], e, block, rep);
  }
}

}  // namespace

int ds_on_block_write(void* p, ChangeRecord record) {
  DataSource* ds = as_ds(p);
  DsState* st = ds->state;
  if (record_value(record) == 0 || st->inhibit[DS_OP_WRITE] != 0) return 0;
  if (mci_query_pending(ds)) {
    st->flags |= DS_FLAG_BW_DEFERRED;
    return 0;
  }
  if (!provider_mailbox_has_room(ds)) return 0;
  task_trace(g_task, "DBG_BLOCK_W", TRACE_BLOCK, ds->name);
  prepare_message_slots(st);
  if (st->entry_count > 0 && zq_read(g_task->task_id, st->tags, st->entry_count, st->values) != 0) {
    int code = kernel_error();
    task_report(g_task, "ZQ_READ", STATUS_ERROR, "'block write'", ds->name, code);
    ds_complete(ds, DS_OP_WRITE, code);
    return 0;
  }
  mci_prepare_request(ds, nullptr);
  set_kind(ds, MCI_KIND_WRITE);
  uint8_t* buffer = ds->default_buffer.data;
  MciBlockHeader h;
  mci_header_read(buffer, &h);
  h.flags &= static_cast<uint16_t>(~MCI_FLAG_UNTYPED);
  h.transfer_type = MCI_TRANSFER_WHOLE_UNITS;
  h.start = st->addressing_mode == DS_ADDRESSING_ABSOLUTE
                ? st->lowest_offset
                : static_cast<uint16_t>(st->lowest_offset + ds->start);
  h.count = st->offset_span;
  unsigned unit = mci_header_unit_size(h);
  // A span that does not fit the shared buffer is refused, never written past
  // it; a span that fills it exactly is sent (the spare cleared byte is dropped).
  uint32_t size = data_bytes(h.count, unit);
  if (size > BLOCK_DATA_CAPACITY) {
    task_report(g_task, "IMX_BOUND", STATUS_ERROR, ds->name, unit);
    ds_complete(ds, DS_OP_WRITE, DS_CODE_BLOCK_TOO_BIG);
    return 0;
  }
  mci_header_write(buffer, h);
  uint8_t* data = buffer + MCI_HEADER_SIZE;
  uint32_t cleared = unit == 0 ? size : size + 1;
  memset(data, 0, cleared < BLOCK_DATA_CAPACITY ? cleared : BLOCK_DATA_CAPACITY);
  encode_entries(ds, h, data, size);
  int r = mci_send(handle(), ds);
  if (r != 0) task_report(g_task, "IMX_SEND", STATUS_ERROR, ds->name, r);
  return 0;
}

// ---- Inhibit and sync handshakes ---------------------------------------------------

int ds_on_read_inhibit(void* p, ChangeRecord record) {
  DataSource* ds = as_ds(p);
  DsState* st = ds->state;
  if (record_value(record) != 0) {
    st->inhibit[DS_OP_READ] = 1;
    return 0;
  }
  bool was_set = st->inhibit[DS_OP_READ] != 0;
  st->inhibit[DS_OP_READ] = 0;
  // Restart a paused continuous read, but never beside a read still under
  // way (an answer held by the sync handshake, or the query reply that will
  // start the read itself): each would become a second read cycle for good.
  if (was_set && st->continuous_read && !st->read_outstanding && !mci_query_pending(ds)) {
    ds_on_read_trigger(ds, record_of(1));
  }
  return 0;
}

int ds_on_write_inhibit(void* p, ChangeRecord record) {
  as_ds(p)->state->inhibit[DS_OP_WRITE] = record_value(record) != 0 ? 1 : 0;
  return 0;
}

int ds_on_receive_inhibit(void* p, ChangeRecord record) {
  as_ds(p)->state->inhibit[DS_OP_RECEIVE] = record_value(record) != 0 ? 1 : 0;
  return 0;
}

namespace {

// A sync tag back at 0 releases the held answers: the next mailbox run looks
// at the whole mailbox again. The own mailbox is marked changed so that run
// happens even when no new answer arrives (a paused continuous read sends
// nothing more until its held answer is processed).
int on_sync(DataSource* ds, int op, ChangeRecord record) {
  DsState* st = ds->state;
  if (record_value(record) != 0) {
    st->sync[op] = 1;
    return 0;
  }
  st->sync[op] = 0;
  mci_reset_pending();
  const MciHandle* h = handle();
  if (h != nullptr) zq_set_chg(g_task->task_id, &h->own_mailbox, 1);
  return 0;
}

}  // namespace

int ds_on_read_sync(void* p, ChangeRecord r) {
  return on_sync(as_ds(p), DS_OP_READ, r);
}
int ds_on_write_sync(void* p, ChangeRecord r) {
  return on_sync(as_ds(p), DS_OP_WRITE, r);
}
int ds_on_receive_sync(void* p, ChangeRecord r) {
  return on_sync(as_ds(p), DS_OP_RECEIVE, r);
}

int ds_on_state(void* p, ChangeRecord record) {
  DataSource* ds = as_ds(p);
  DsState* st = ds->state;
  int32_t value = record_value(record);
  int32_t last = st->last_state;
  if (value == last) return 0;
  bool query = value == STATE_READY_A || value == STATE_READY_B || value == STATE_RESTART ||
               (value == STATE_ONLINE_A && last != STATE_ONLINE_B) ||
               (value == STATE_ONLINE_B && last != STATE_ONLINE_A);
  int result = query ? mci_query(ds) : 0;
  task_trace(g_task, "DBG_VRNSTAT", TRACE_STATE, value, last, query ? 1 : 0);
  st->last_state = value;
  return result;
}

// ---- Completion ---------------------------------------------------------------------

void ds_signal_sync(DataSource* ds, int op) {
  TagRef tag = ds->state->sync_tags[op];
  uint16_t type = tag_type_of(tag);
  if (type != TAG_DIGITAL && type != TAG_ANALOG) return;
  int16_t value = static_cast<int16_t>(op + 1);
  if (zq_write(g_task->task_id, &tag, 1, &value) != 0) {
    task_report(g_task, "ZQ_WRITE", STATUS_ERROR, "'sync'", ds->name, kernel_error());
  }
  dispatch_tag_now(g_task, tag);
}

void ds_complete(DataSource* ds, int op, int code) {
  DsState* st = ds->state;
  if (tag_type_of(st->status_tag) == TAG_ANALOG) {
    int16_t value = static_cast<int16_t>(code);
    if (zq_write(g_task->task_id, &st->status_tag, 1, &value) != 0) {
      task_report(g_task, "ZQ_WRITE", STATUS_ERROR, "'status'", ds->name, kernel_error());
    }
  }
  ds_signal_sync(ds, op);
  TagRef complete = st->complete_tags[op];
  if (tag_type_of(complete) == TAG_DIGITAL) {
    int16_t one = 1;
    if (zq_f_write(g_task->task_id, &complete, 1, &one) != 0) {
      task_report(g_task, "ZQ_F_WRITE", STATUS_ERROR, COMPLETE_NAMES[op], ds->name, kernel_error());
    }
  }
}

// ---- Answers --------------------------------------------------------------------------

int collect_changes(const TagRef* tags, uint32_t n, uint8_t* flags) {
  memset(flags, 0, n);
  uint32_t position = 0;
  char text[ZQ_CHANGE_TEXT_CAPACITY];
  while (position < n) {
    ChangeRecord record;
    change_record_prepare(&record, text, sizeof text);
    if (zq_get_chg(g_task->task_id, tags, n, &position, &record) != 0) {
      return zq_errno(g_task->task_id) == ZQ_ENOCHANGE ? 0 : -1;
    }
    flags[position] = 1;
    ++position;
  }
  return 0;
}

namespace {

struct ApplyLists {
  TagRef* write;
  uint8_t* changed;
};

// Decodes the block's entries into the value block, packed in write order.
// An element whose bytes were not all received is left out.
uint32_t decode_entries(DataSource* ds, const MciBlockHeader& h, uint32_t received,
                        ApplyLists* lists, bool write_mode) {
  DsState* st = ds->state;
  unsigned unit = mci_header_unit_size(h);
  bool absolute = st->addressing_mode == DS_ADDRESSING_ABSOLUTE;
  uint32_t base = absolute ? h.start : 0;
  uint32_t end = base + h.count;
  ConvBlock block = block_of(h, static_cast<uint16_t>(base));
  ConvReporter rep = reporter_for(ds);
  const uint8_t* data = message_data(ds) + MCI_HEADER_SIZE;
  uint32_t m = 0, v = 0;
  bool cut = false;
  for (uint32_t i = 0; i < st->entry_count; ++i) {
    const ConvEntry& e = st->entries[i];
    if (write_mode && lists->changed[i]) {
      if (zq_set_chg(g_task->task_id, &st->tags[i], 1) != 0) {
        task_report(g_task, "ZQ_SET_CHG", STATUS_ERROR, ds->name, kernel_error());
      }
      continue;
    }
    if (e.address < base || e.address >= end) continue;
    uint16_t pos = byte_position(e.address, absolute ? h.start : 0, unit);
    size_t need = conv_element_bytes(e, block);
    if (need == 0 || pos + need > received) {
      cut = true;
      continue;
    }
    convert_from_block(st->values + v, data + pos, received - pos, e, block, rep);
    lists->write[m++] = st->tags[i];
    v += static_cast<uint32_t>(tag_value_size(st->types[i]));
  }
  if (cut) task_report(g_task, "IMX_BOUND", STATUS_ERROR, ds->name, unit);
  return m;
}

}  // namespace

void ds_apply_block(DataSource* ds) {
  DsState* st = ds->state;
  uint32_t n = st->entry_count;
  ApplyLists lists = {static_cast<TagRef*>(calloc(n + 1, sizeof(TagRef))),
                      static_cast<uint8_t*>(calloc(n + 1, 1))};
  if (lists.write == nullptr || lists.changed == nullptr) {
    free(lists.write);
    free(lists.changed);
    task_report(g_task, "NOMEMORY", STATUS_ERROR);
    return;
  }
  bool write_mode = (st->flags & DS_FLAG_WRITE_MODE) != 0;
  if (write_mode && n > 0 && collect_changes(st->tags, n, lists.changed) != 0) {
    task_report(g_task, "ZQ_GET_CHG", STATUS_ERROR, ds->name, kernel_error());
    free(lists.write);
    free(lists.changed);
    return;
  }
  uint8_t* buffer = message_data(ds);
  MciBlockHeader h;
  mci_header_read(buffer, &h);
  uint32_t length = ds->message.length < MCI_HEADER_SIZE ? MCI_HEADER_SIZE : ds->message.length;
  uint32_t capacity =
      ds->message.data != nullptr ? ds->message.capacity : ds->default_buffer.capacity;
  if (length > capacity) length = capacity;
  uint32_t m = decode_entries(ds, h, length - MCI_HEADER_SIZE, &lists, write_mode);
  if (m > 0) {
    if (zq_write(g_task->task_id, lists.write, m, st->values) != 0) {
      task_report(g_task, "ZQ_WRITE", STATUS_ERROR, "tags", ds->name, kernel_error());
    }
    if (write_mode && zq_clear_chg(g_task->task_id, lists.write, m) != 0) {
      task_report(g_task, "ZQ_CLEAR_CHG", STATUS_ERROR, "tags", ds->name, kernel_error());
    }
  }
  free(lists.write);
  free(lists.changed);
}

namespace {

void trace_geometry(const char* key, int level, DataSource* ds) {
  MciBlockHeader h;
  mci_header_read(message_data(ds), &h);
  task_trace(g_task, key, level, ds->name, mci_header_unit_size(h),
             (h.flags & MCI_FLAG_BYTE_SWAP) ? 1 : 0, (h.flags & MCI_FLAG_LOW_BIT_FIRST) ? 1 : 0,
             h.start, h.count);
}

uint16_t error_code(DataSource* ds) {
  if (ds->message.length < MCI_HEADER_SIZE + 2) return ERROR_CODE_MISSING;
  return mci_get16(message_data(ds) + MCI_HEADER_SIZE);
}

bool held(const DsState* st, uint16_t kind) {
  switch (kind) {
    case MCI_KIND_READ_DATA:
    case MCI_KIND_READ_ERROR:
      return st->sync[DS_OP_READ] != 0;
    case MCI_KIND_WRITE_ACK:
    case MCI_KIND_WRITE_ERROR:
      return st->sync[DS_OP_WRITE] != 0;
    case MCI_KIND_UNSOLICITED:
    case MCI_KIND_RECEIVE_ERROR:
      return st->sync[DS_OP_RECEIVE] != 0;
    default:
      return false;
  }
}

void on_query_reply(DataSource* ds) {
  DsState* st = ds->state;
  trace_geometry("DBG_QUERY", TRACE_QUERY, ds);
  ds_adapt_entries(ds);
  if (st->continuous_read) ds_on_read_trigger(ds, record_of(1));
  if (st->flags & DS_FLAG_READ_DEFERRED) {
    st->flags &= static_cast<uint8_t>(~DS_FLAG_READ_DEFERRED);
    ds_on_read_trigger(ds, record_of(1));
  }
  if (st->flags & DS_FLAG_BW_DEFERRED) {
    st->flags &= static_cast<uint8_t>(~DS_FLAG_BW_DEFERRED);
    ds_on_block_write(ds, record_of(1));
  }
}

void on_error_reply(DataSource* ds, int op) {
  uint16_t code = error_code(ds);
  task_report(g_task, "IMX_ERROR", STATUS_RUNNING, ERROR_NAMES[op], ds->name, code);
  ds_complete(ds, op, code);
  if (op == DS_OP_READ && ds->state->continuous_read) ds_on_read_trigger(ds, record_of(1));
}

}  // namespace

int ds_on_message(DataSource* ds) {
  DsState* st = ds->state;
  uint16_t kind = mci_kind(ds->message);
  if (held(st, kind)) return 0;
  if (mci_receive(handle(), ds) != 0) {
    task_report(g_task, "IMX_RECV", STATUS_ERROR, ds->name, kernel_error());
    return 0;
  }
  // A read's answer (or a new query reply, which starts reading afresh) ends
  // the read under way.
  if (kind == MCI_KIND_READ_DATA || kind == MCI_KIND_READ_ERROR || kind == MCI_KIND_QUERY_REPLY) {
    st->read_outstanding = 0;
  }
  switch (kind) {
    case MCI_KIND_QUERY_REPLY:
      on_query_reply(ds);
      break;
    case MCI_KIND_READ_DATA:
      if ((st->flags & DS_FLAG_READ) == 0 || mci_query_pending(ds)) break;
      trace_geometry("DBG_READ", TRACE_ANSWER, ds);
      ds_apply_block(ds);
      ds_complete(ds, DS_OP_READ, 0);
      if (st->continuous_read) ds_on_read_trigger(ds, record_of(1));
      break;
    case MCI_KIND_WRITE_ACK:
      task_trace(g_task, "DBG_WRITE", TRACE_ANSWER, ds->name);
      ds_complete(ds, DS_OP_WRITE, 0);
      break;
    case MCI_KIND_UNSOLICITED:
      if (st->inhibit[DS_OP_RECEIVE] != 0 || (st->flags & DS_FLAG_UNSOLICITED) == 0 ||
          mci_query_pending(ds)) {
        break;
      }
      trace_geometry("DBG_RECV", TRACE_ANSWER, ds);
      ds_apply_block(ds);
      ds_complete(ds, DS_OP_RECEIVE, 0);
      break;
    case MCI_KIND_READ_ERROR:
      on_error_reply(ds, DS_OP_READ);
      break;
    case MCI_KIND_WRITE_ERROR:
      on_error_reply(ds, DS_OP_WRITE);
      break;
    case MCI_KIND_RECEIVE_ERROR:
      on_error_reply(ds, DS_OP_RECEIVE);
      break;
    default:
      task_report(g_task, "IMX_MSG", STATUS_ERROR, ds->name, kind);
      break;
  }
  return 0;
}

// ---- Adapting the entries to the provider's unit size ------------------------------------

namespace {

// Units an entry occupies on a block of w bytes per unit. Length-sized types
// on a bit-addressed block occupy no extra units (nothing to divide by).
int unit_count(const ConvEntry& e, unsigned w) {
  if (is_length_sized(e.data_type)) return w == 0 ? 0 : static_cast<int>((e.length + w - 1) / w);
  int f = form_size(e.transfer_type);
  if (w != 0 && static_cast<int>(w) < f) return f / static_cast<int>(w);
  return f;
}

struct Adapt {
  unsigned w;     // unit size of the reply
  unsigned b;     // one-based bits
  uint16_t L;     // lowest offset
  uint16_t S;     // offset span (grows)
  uint32_t last;  // entry at the highest offset
  int M;          // its unit count
};

void adapt_bit_block(ConvEntry* E, uint32_t i, uint16_t* a, Adapt* ad) {
  ConvEntry& e = E[i];
  if (e.continued) {
    e.address = *a;
    // The span reaches this bit (a test against L + address, as once
    // written, missed the last bit whenever the lowest offset was small).
    const int needed = e.address - ad->L + 1;
    if (ad->S < needed) ad->S = static_cast<uint16_t>(needed);
  } else {
    *a = e.address;
  }
  ++*a;
  if (E[0].address < e.address) ad->last = i;
}

// A bit in a unit: bit numbers beyond the first unit become a unit offset.
// Returns true when the bit lies in the first unit (the entry is done).
bool adapt_bit_in_unit(ConvEntry* E, uint32_t i, Adapt* ad) {
  ConvEntry& e = E[i];
  unsigned B = e.length, k = BITS_PER_BYTE * ad->w;
  if (B < ad->b + k) {
    if (E[0].address < e.address) ad->last = i;
    return true;
  }
  unsigned bit = ad->b == 0 ? B % k : (B - 1) % k + 1;
  unsigned offset = ad->b == 0 ? B / k : (B - 1) / k;
  e.length = static_cast<uint16_t>(bit);
  e.address = static_cast<uint16_t>(e.address + offset);
  e.transfer_type = static_cast<uint16_t>(e.length + TRANSFER_BIT_BASE);
  // The span reaches the unit the bit moved to (adding one whenever the bit
  // number wrapped grew the span past units already covered).
  const int needed = e.address - ad->L + 1;
  if (ad->S < needed) ad->S = static_cast<uint16_t>(needed);
  return false;
}

// Array elements wider than one unit are spaced by their width in units.
void adapt_continuation(ConvEntry& e, Adapt* ad) {
  int f = form_size(e.transfer_type);
  if (f != -1 && static_cast<int>(ad->w) < f) {
    int r = f / static_cast<int>(ad->w);
    e.address = static_cast<uint16_t>(e.first_address + (e.address - e.first_address) * r);
    if (static_cast<uint16_t>(ad->L + ad->S) < static_cast<uint16_t>(e.address - 1 + r)) {
      ad->S = static_cast<uint16_t>(e.address + r - ad->L);
    }
  }
  e.continued = 0;
}

void widen_span(const ConvEntry& e, Adapt* ad) {
  int f, r;
  if (ad->w == 0) return;
  if (is_length_sized(e.data_type)) {
    f = static_cast<int>((e.length + ad->w - 1) / ad->w * ad->w);
  } else {
    f = form_size(e.transfer_type);
  }
  r = f / static_cast<int>(ad->w);
  if (f != -1 && r > 1 &&
      static_cast<uint16_t>(ad->L - 1 + ad->S) < static_cast<uint16_t>(e.address - 1 + r)) {
    ad->S = static_cast<uint16_t>(ad->S + r - 1);
  }
}

}  // namespace

namespace {

// The span covers every element's last byte as the conversions read it (a
// DT_BYTE_LO on byte units reads a 16-bit unit, wider than its transfer
// type says), so that a block write never leaves a configured value out.
void cover_every_element(const ConvEntry* E, uint32_t n, const MciBlockHeader& h, Adapt* ad) {
  if (ad->w == 0) return;
  const ConvBlock block = {h.flags, h.count, h.start, h.start};
  for (uint32_t i = 0; i < n; ++i) {
    const size_t bytes = conv_element_bytes(E[i], block);
    if (bytes == 0 || E[i].address < ad->L) continue;
    const size_t units = (bytes + ad->w - 1) / ad->w;
    const size_t needed = size_t{E[i].address} - ad->L + units;
    if (needed > ad->S && needed <= UINT16_MAX) ad->S = static_cast<uint16_t>(needed);
  }
}

}  // namespace

void ds_adapt_entries(DataSource* ds) {
  DsState* st = ds->state;
  uint32_t n = st->entry_count;
  if (n == 0) return;
  MciBlockHeader h;
  mci_header_read(message_data(ds), &h);
  ConvEntry* E = st->entries;
  Adapt ad = {mci_header_unit_size(h),
              (h.flags & MCI_FLAG_ONE_BASED) ? 1u : 0u,
              st->lowest_offset,
              st->offset_span,
              0,
              0};
  ad.M = unit_count(E[0], ad.w);
  uint16_t a = E[0].address;
  for (uint32_t i = 0; i < n; ++i) {
    ConvEntry& e = E[i];
    if (ad.w == 0) {
      adapt_bit_block(E, i, &a, &ad);
      continue;
    }
    if (e.data_type == DT_BIT) {
      if (adapt_bit_in_unit(E, i, &ad)) continue;
    } else if (e.continued) {
      adapt_continuation(e, &ad);
    }
    if (E[ad.last].address < e.address) {
      int u = unit_count(e, ad.w);
      if (E[ad.last].address + ad.M < e.address + u) {
        ad.last = i;
        ad.M = u;
      }
    }
  }
  widen_span(E[ad.last], &ad);
  cover_every_element(E, n, h, &ad);
  st->offset_span = ad.S;
}

// ---- Writes on change ---------------------------------------------------------------------

namespace {

// Units one value takes on the data source (0 when not writable on change).
// Strings and raw bytes are sent whole: as many units as their length needs.
int change_unit_count(const ConvEntry& e, unsigned u) {
  if (u == 0) return 1;
  switch (e.data_type) {
    case DT_BIT:
    case DT_BYTE_LO:
    case DT_BYTE_HI:
    case DT_BYTE:
    case DT_BCD2:
      return 1;
    case DT_WORD:
    case DT_BCD4:
    case DT_SCALE:
    case DT_LOW14:
    case DT_SIGNED_BITS:
    case DT_BCD4B:
      return u < 2 ? static_cast<int>(2 / u) : 1;
    case DT_LONG:
    case DT_FLOAT:
    case DT_EXP_FLOAT:
    case DT_LONG_WS:
    case DT_FLOAT_WS:
    case DT_TIME:
    case DT_FFLOAT:
    case DT_FFLOAT_WS:
      return u < 4 ? static_cast<int>(4 / u) : 1;
    case DT_DOUBLE:
      return u < 8 ? static_cast<int>(8 / u) : 1;
    default:
      break;
  }
  if (is_length_sized(e.data_type)) return static_cast<int>((e.length + u - 1) / u);
  return 0;
}

// Write mode 1: a value narrower than one unit keeps its own transfer type,
// anything else travels as whole units (also on unusual unit sizes).
uint16_t typed_transfer(uint16_t transfer, unsigned u) {
  switch (u) {
    case 1:
      return transfer < TRANSFER_BYTE ? transfer : MCI_TRANSFER_WHOLE_UNITS;
    case 2:
      return transfer < TRANSFER_WORD ? transfer : MCI_TRANSFER_WHOLE_UNITS;
    case 4:
      return transfer < TRANSFER_LONG ? transfer : MCI_TRANSFER_WHOLE_UNITS;
    case 8:
      return transfer < TRANSFER_DOUBLE ? transfer : MCI_TRANSFER_WHOLE_UNITS;
    default:
      return MCI_TRANSFER_WHOLE_UNITS;
  }
}

}  // namespace

int ds_on_tag_change(void* p, ChangeRecord record) {
  ConvEntry* e = static_cast<ConvEntry*>(p);
  DataSource* ds = e->data_source;
  DsState* st = ds->state;
  if (mci_query_pending(ds) || st->inhibit[DS_OP_WRITE] != 0) return 0;
  if (!provider_mailbox_has_room(ds)) return 0;
  task_trace(g_task, "DBG_EXCEPT", TRACE_EXCEPT, ds->name, e->address);
  if (e->tag_type == TAG_MESSAGE) {
    task_report(g_task, "EX_MSG", STATUS_ERROR);
    return 0;
  }
  unsigned u = ds->unit_size;
  bool writable = dt_is_valid(e->data_type) && e->data_type != DT_FIXED && e->data_type != DT_BCD8;
  if (u != 0 && !writable) {
    task_report(g_task, "EW_CONV", STATUS_ERROR, ds->name, e->data_type);
    return 0;
  }
  int count = change_unit_count(*e, u);
  uint32_t bytes = uint32_t(count) * (u + 1);
  if (bytes > BLOCK_DATA_CAPACITY) {
    task_report(g_task, "IMX_BOUND", STATUS_ERROR, ds->name, u);
    return 0;
  }
  mci_prepare_request(ds, nullptr);
  set_kind(ds, MCI_KIND_WRITE);
  uint8_t* buffer = ds->default_buffer.data;
  MciBlockHeader h;
  mci_header_read(buffer, &h);
  h.start = st->addressing_mode == DS_ADDRESSING_ABSOLUTE
                ? e->address
                : static_cast<uint16_t>(ds->start + e->address);
  h.count = static_cast<uint16_t>(count);
  uint8_t* data = buffer + MCI_HEADER_SIZE;
  memset(data, 0, bytes);
  bool untyped = false;
  if (st->flags & DS_FLAG_WRITE_MODE1) {
    h.flags &= static_cast<uint16_t>(~MCI_FLAG_UNTYPED);
    h.transfer_type = typed_transfer(e->transfer_type, u);
  } else {
    h.flags |= MCI_FLAG_UNTYPED;
    h.transfer_type = e->transfer_type;
    untyped = true;
  }
  if (u != 0 && e->data_type == DT_BIT) {
    h.transfer_type =
        static_cast<uint16_t>(h.transfer_type - ((h.flags & MCI_FLAG_ONE_BASED) ? 1 : 0));
  }
  if (h.transfer_type == MCI_TRANSFER_WHOLE_UNITS || untyped) {
    convert_to_block(data, BLOCK_DATA_CAPACITY, record.value, *e, block_of(h, e->address),
                     reporter_for(ds));
  } else {
    h.flags &= static_cast<uint16_t>(~MCI_FLAG_BYTE_SWAP);
    if (convert_to_typed(data, BLOCK_DATA_CAPACITY, record.value, *e, block_of(h, e->address),
                         nullptr) != 0) {
      task_report(g_task, "EX_CONVERT", STATUS_ERROR, ds->name, e->address);
      return 0;
    }
  }
  mci_header_write(buffer, h);
  int r = mci_send(handle(), ds);
  if (r != 0) task_report(g_task, "IMX_SEND", STATUS_ERROR, ds->name, r);
  return r;
}
