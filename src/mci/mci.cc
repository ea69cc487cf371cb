// MCI data-source layer: registry, request building and sending, answer
// matching and the own-mailbox handler.
#include "mci/mci.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "config/object_table.h"

namespace {

constexpr int kFirstIndex = 0;
constexpr int kOneMessage = 1;
constexpr uint16_t kErrorReplySize = 12;  // header + 16-bit code + 2 zero bytes
constexpr uint16_t kErrorCodeCount = 2;   // `count` and `unit_size` of a refusal
constexpr uint16_t kErrorCodeUnit = 2;
constexpr uint16_t kBitsPerByte = 8;
constexpr uint16_t kBitBlockExtra = MCI_HEADER_SIZE + 1;  // count / 8 + 9
constexpr uint16_t kUnusedField = 0xFFFF;                 // descriptor words set before every send
// Bytes a short received message gets zeroed up to, so that neither the
// header nor an error code of the previous message shows through.
constexpr uint16_t kReceiveCleanBytes = MCI_HEADER_SIZE + 2;

struct Registry {
  MciHandle handle = {};
  MciSlot* slots = nullptr;
  int32_t count = 0;
  int32_t pending = 0;
};

Registry g_mci;
int g_allocations_left = -1;  // successes before allocations fail; -1 = never
void (*g_idle_pause)(int) = nullptr;

// ---- Allocation -----------------------------------------------------------------

bool allocation_refused() {
  if (g_allocations_left < 0) return false;
  if (g_allocations_left == 0) return true;
  --g_allocations_left;
  return false;
}

void* mci_alloc_zeroed(size_t size) {
  return allocation_refused() ? nullptr : calloc(1, size);
}

void* mci_realloc(void* old, size_t size) {
  return allocation_refused() ? nullptr : realloc(old, size);
}

void sleep_milliseconds(int ms) {
  struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// ---- Small helpers ----------------------------------------------------------------

int kernel_error(const MciHandle* h) {
  return zq_errno(h->task_id);
}

MciSlot* slot_of(const DataSource* ds) {
  if (ds == nullptr || ds->slot < 0 || ds->slot >= g_mci.count) return nullptr;
  return &g_mci.slots[ds->slot];
}

void clear_buffer(MbxMessage* m) {
  m->data = nullptr;
  m->capacity = 0;
  m->length = 0;
}

void set_kind(MbxMessage* m, uint16_t kind) {
  m->control =
      static_cast<uint16_t>((m->control & ~MCI_CTRL_KIND_MASK) | (kind & MCI_CTRL_KIND_MASK));
}

void set_sender_station(MbxMessage* m, uint8_t station) {
  m->control = static_cast<uint16_t>((m->control & 0x00FF) | (station << MCI_CTRL_STATION_SHIFT));
}

bool has_header_room(const MbxMessage& m) {
  return m.data != nullptr && m.capacity >= MCI_HEADER_SIZE;
}

// Geometry of a data source from a header.
void take_geometry(DataSource* ds, const MciBlockHeader& h) {
  ds->start = h.start;
  ds->count = h.count;
  ds->unit_size = mci_header_unit_size(h);
  ds->byte_swap = (h.flags & MCI_FLAG_BYTE_SWAP) ? 1 : 0;
  ds->low_bit_first = (h.flags & MCI_FLAG_LOW_BIT_FIRST) ? 1 : 0;
  ds->flag_bit10 = (h.flags & MCI_FLAG_BIT10) ? 1 : 0;
  ds->one_based_bits = (h.flags & MCI_FLAG_ONE_BASED) ? 1 : 0;
}

// Message length by kind; 0 for kinds that cannot be sent.
uint32_t send_length(uint16_t kind, const MciBlockHeader& h) {
  const uint32_t unit = mci_header_unit_size(h);
  const uint32_t data_rule = unit != 0 ? uint32_t{h.count} * unit + MCI_HEADER_SIZE
                                       : h.count / kBitsPerByte + kBitBlockExtra;
  switch (kind) {
    case MCI_KIND_QUERY:
    case MCI_KIND_QUERY_REPLY:
      return uint32_t{h.count} + MCI_HEADER_SIZE;
    case MCI_KIND_READ:
    case MCI_KIND_WRITE_ACK:
      return MCI_HEADER_SIZE;
    case MCI_KIND_READ_DATA:
    case MCI_KIND_WRITE:
    case MCI_KIND_UNSOLICITED:
    case MCI_KIND_QUERY_ERROR:
    case MCI_KIND_READ_ERROR:
    case MCI_KIND_WRITE_ERROR:
    case MCI_KIND_RECEIVE_ERROR:
      return data_rule;
    default:
      return 0;
  }
}

bool is_request(uint16_t kind) {
  return kind == MCI_KIND_QUERY || kind == MCI_KIND_READ || kind == MCI_KIND_WRITE;
}

// Header words that arrive byte-swapped (control bit 6) are put right when
// the header is of format 3 or later. The format nibble is read in the byte
// order the sender declares, the only order in which it means anything.
void unswap_header(MbxMessage* m) {
  if (m->length < MCI_HEADER_SIZE || (m->control & MCI_CTRL_SWAPPED) == 0) return;
  const uint16_t raw = mci_get16(m->data + MCI_HDR_FLAGS);
  const uint16_t flags = static_cast<uint16_t>((raw >> 8) | (raw << 8));
  if ((flags & MCI_FLAG_FORMAT_MASK) < MCI_FLAG_FORMAT) return;
  for (uint16_t off = 0; off < MCI_HEADER_SIZE; off += 2) {
    const uint8_t b = m->data[off];
    m->data[off] = m->data[off + 1];
    m->data[off + 1] = b;
  }
}

// Force-writes 1 into the data-source tag. The value block is built for the
// tag's type, so that a long, float or message tag is never read past a
// 16-bit value.
int force_write_one(const MciHandle* h, TagRef tag) {
  uint16_t type = 0;
  if (zq_tag_info(&tag, 1, &type, nullptr) != 0) return kernel_error(h);
  alignas(8) unsigned char block[ZQ_VALUE_SLOT_MAX] = {};
  char text[] = "1";
  switch (type) {
    case TAG_FLOAT: {
      const double one = 1.0;
      memcpy(block, &one, sizeof one);
      break;
    }
    case TAG_MESSAGE: {
      const MessageValue value = {text, sizeof text, 1};
      memcpy(block, &value, sizeof value);
      break;
    }
    case TAG_LONG: {
      const int32_t one = 1;
      memcpy(block, &one, sizeof one);
      break;
    }
    default: {  // digital, analog; the kernel refuses anything else
      const int16_t one = 1;
      memcpy(block, &one, sizeof one);
      break;
    }
  }
  if (zq_f_write(h->task_id, &tag, 1, block) != 0) return kernel_error(h);
  return MCI_OK;
}

bool create_slot_zero() {
  DataSource* zero = static_cast<DataSource*>(mci_alloc_zeroed(sizeof(DataSource)));
  MciSlot* slots = static_cast<MciSlot*>(mci_realloc(nullptr, sizeof(MciSlot)));
  if (zero == nullptr || slots == nullptr) {
    free(zero);
    free(slots);
    return false;
  }
  slots[0] = {zero, g_mci.handle.own_mailbox, g_mci.handle.own_mailbox, g_mci.handle.station};
  g_mci.slots = slots;
  g_mci.count = 1;
  return true;
}

// Removes replies from the own mailbox at start; queries stay.
int clear_old_replies(const MciHandle* h) {
  int n = 0;
  if (zq_count_mbx(h->task_id, h->own_mailbox, &n) != 0) return kernel_error(h);
  if (n <= 0) return MCI_OK;
  MbxMessage* seen = static_cast<MbxMessage*>(mci_alloc_zeroed(sizeof(MbxMessage) * n));
  if (seen == nullptr) return MCI_ENOMEM;
  int number = 0;
  if (zq_peek_mbx(h->task_id, h->own_mailbox, seen, kFirstIndex, n, &number) != 0) {
    const int e = kernel_error(h);
    free(seen);
    return e;
  }
  int k = 0;
  for (int i = 0; i < number && i < n; ++i) {
    if (mci_kind(seen[i]) == MCI_KIND_QUERY) {
      ++k;
      continue;
    }
    clear_buffer(&seen[i]);  // take it out without its data
    if (zq_read_mbx(h->task_id, h->task_id, h->own_mailbox, &seen[i], k) != 0) {
      const int e = kernel_error(h);
      free(seen);
      return e;
    }
  }
  free(seen);
  return MCI_OK;
}

// Frees the temporary buffer of the work record and clears its descriptor.
int drop_work_buffer(DataSource* work, uint8_t* buffer, int result) {
  free(buffer);
  clear_buffer(&work->message);
  return result;
}

// Refuses a request found in the own mailbox: it is taken out without its
// data (the refusal needs only its kind and key; the work record has no
// buffer to receive a query's name into) and answered with 59. A request does
// not name the requester's mailbox: when its key names one of our data
// sources, the refusal goes to that data source's provider mailbox; otherwise
// the destination stays unset, the kernel refuses the address and the run
// ends with 54 (55 when the key is no tag), so the operator sees that a task
// sent requests here.
int refuse_request(const MciHandle* h, DataSource* work) {
  const int rc = mci_discard(h, work);
  if (rc != MCI_OK) return rc;
  MbxMessage probe = work->message;
  const DataSource* named = mci_match_source(&probe);
  if (named != nullptr) work->destination = named->destination;
  return mci_error_reply(h, work, MCI_EREFUSED);
}

// Hands an answer to its data source's message handler. `*result` receives
// the handler's result; the return value is a failure that ends the run.
int deliver_answer(const MciHandle* h, DataSource* work, int32_t idx, int* result) {
  DataSource* ds = mci_match_source(&work->message);
  if (ds == nullptr) {
    const int rc = mci_discard(h, work);
    return rc != MCI_OK ? rc : MCI_ENOSOURCE;
  }
  const MbxMessage kept = work->message;
  *work = *ds;
  work->receive_state = MCI_RECEIVE_IN_MAILBOX;
  work->message = kept;
  if (ds->message.data == nullptr) {
    ds->message.data = ds->default_buffer.data;
    ds->message.capacity = ds->default_buffer.capacity;
  }
  work->mailbox_index = idx;
  if (ds->handler != nullptr) *result = ds->handler(work);
  return MCI_OK;
}

}  // namespace

// ---- Header -------------------------------------------------------------------------

void mci_header_read(const uint8_t* data, MciBlockHeader* header) {
  header->flags = mci_get16(data + MCI_HDR_FLAGS);
  header->count = mci_get16(data + MCI_HDR_COUNT);
  header->start = mci_get16(data + MCI_HDR_START);
  header->transfer_type = mci_get16(data + MCI_HDR_TRANSFER);
}

void mci_header_write(uint8_t* data, const MciBlockHeader& header) {
  mci_put16(data + MCI_HDR_FLAGS, header.flags);
  mci_put16(data + MCI_HDR_COUNT, header.count);
  mci_put16(data + MCI_HDR_START, header.start);
  mci_put16(data + MCI_HDR_TRANSFER, header.transfer_type);
}

// ---- Start and registry ---------------------------------------------------------------

int mci_init(const MciHandle* handle) {
  mci_release();
  g_mci.handle = *handle;
  return clear_old_replies(&g_mci.handle);
}

const MciHandle* mci_handle(void) {
  return &g_mci.handle;
}

DataSource* mci_register(const DataSource* record) {
  if (record == nullptr) return nullptr;
  if (g_mci.count == 0 && !create_slot_zero()) return nullptr;
  const int32_t s = g_mci.count;
  MciSlot* grown = static_cast<MciSlot*>(mci_realloc(g_mci.slots, sizeof(MciSlot) * (s + 1)));
  if (grown == nullptr) return nullptr;
  g_mci.slots = grown;
  DataSource* copy = static_cast<DataSource*>(mci_alloc_zeroed(sizeof(DataSource)));
  if (copy == nullptr) return nullptr;
  *copy = *record;
  copy->name[DS_NAME_SIZE - 1] = '\0';
  const TagRef local = copy->message.key;

  TagRef found = {};
  if (resolve_object_tag(copy->name, &found) != 0 || !tag_ref_equal(found, local)) {
    free(copy);
    return nullptr;
  }
  // A header too small to hold one is not read: the geometry stays as given.
  if (has_header_room(copy->message)) {
    MciBlockHeader h;
    mci_header_read(copy->message.data, &h);
    take_geometry(copy, h);
  }
  copy->mailbox_index = 0;
  clear_buffer(&copy->message);
  copy->slot = s;
  grown[s] = {copy, local, MCI_NO_KEY, g_mci.handle.station};
  g_mci.count = s + 1;
  return copy;
}

DataSource* mci_find_by_key(TagRef key) {
  for (int32_t i = 0; i < g_mci.count; ++i) {
    if (tag_ref_equal(g_mci.slots[i].local_key, key)) return g_mci.slots[i].source;
  }
  return nullptr;
}

bool mci_query_pending(const DataSource* ds) {
  const MciSlot* slot = slot_of(ds);
  return slot == nullptr || tag_ref_equal(slot->remote_key, MCI_NO_KEY);
}

int32_t mci_pending_count(void) {
  return g_mci.pending;
}
void mci_reset_pending(void) {
  g_mci.pending = 0;
}
int32_t mci_slot_count(void) {
  return g_mci.count;
}

const MciSlot* mci_slot(int32_t slot) {
  if (slot < 0 || slot >= g_mci.count) return nullptr;
  return &g_mci.slots[slot];
}

// ---- Requests -------------------------------------------------------------------------

int mci_query(DataSource* ds) {
  const MciSlot* slot = slot_of(ds);
  if (slot == nullptr) return MCI_EKEY;
  const uint16_t name_length = static_cast<uint16_t>(strnlen(ds->name, DS_NAME_SIZE - 1));
  const uint16_t size = static_cast<uint16_t>(name_length + MCI_HEADER_SIZE + 1);
  uint8_t* buffer = static_cast<uint8_t*>(mci_alloc_zeroed(size));
  if (buffer == nullptr) return MCI_ENOMEM;
  set_kind(&ds->message, MCI_KIND_QUERY);
  ds->message.data = buffer;
  ds->message.capacity = size;
  ds->message.key = slot->local_key;
  mci_put16(buffer + MCI_HDR_COUNT, name_length);
  memcpy(buffer + MCI_HEADER_SIZE, ds->name, name_length);  // NUL from the zeroed buffer
  const int rc = mci_send(&g_mci.handle, ds);
  free(buffer);
  clear_buffer(&ds->message);
  return rc;
}

void mci_prepare_request(DataSource* ds, MciBuffer* buffer) {
  if (buffer != nullptr) {
    buffer->length = MCI_HEADER_SIZE;
    ds->message.data = buffer->data;
    ds->message.capacity = buffer->capacity;
  } else {
    ds->message.data = ds->default_buffer.data;
    ds->message.capacity = ds->default_buffer.capacity;
  }
  ds->message.length = MCI_HEADER_SIZE;
  ds->message.control = static_cast<uint16_t>(ds->message.control & ~MCI_CTRL_SWAPPED);
  set_sender_station(&ds->message, g_mci.handle.station);
  if (const MciSlot* slot = slot_of(ds)) ds->message.key = slot->local_key;
  if (!has_header_room(ds->message)) return;  // mci_send refuses it

  MciBlockHeader h;
  mci_header_read(ds->message.data, &h);
  h.flags = static_cast<uint16_t>((h.flags & 0x00F0) | MCI_FLAG_FORMAT);
  h.flags |= static_cast<uint16_t>((ds->unit_size & 0x0F) << MCI_FLAG_UNIT_SHIFT);
  if (ds->byte_swap & 1) h.flags |= MCI_FLAG_BYTE_SWAP;
  if (ds->low_bit_first & 1) h.flags |= MCI_FLAG_LOW_BIT_FIRST;
  if (ds->flag_bit10 & 1) h.flags |= MCI_FLAG_BIT10;
  if (ds->one_based_bits & 1) h.flags |= MCI_FLAG_ONE_BASED;
  h.start = ds->start;
  h.count = ds->count;
  mci_header_write(ds->message.data, h);
}

int mci_send(const MciHandle* handle, DataSource* ds) {
  MbxMessage* m = &ds->message;
  if (zq_tag_info(&m->key, 1, nullptr, nullptr) != 0) return MCI_EKEY;
  if (zq_tag_info(&ds->destination, 1, nullptr, nullptr) != 0) return MCI_EMAILBOX;
  int waiting = 0;
  if (zq_count_mbx(handle->task_id, ds->destination, &waiting) != 0) return MCI_EMAILBOX;
  if (waiting > MCI_MAX_DEST_MESSAGES) return MCI_EFULL;
  if (m->data == nullptr) {
    m->data = ds->default_buffer.data;
    m->capacity = ds->default_buffer.capacity;
  }
  m->reserved1 = kUnusedField;
  m->reserved2 = kUnusedField;

  const uint16_t kind = mci_kind(*m);
  if (kind == MCI_KIND_UNUSED || ((kind & MCI_KIND_ERROR) != 0 && (kind & 1) == 0)) {
    return MCI_EKIND;
  }
  // The length comes from the header, so the header must be there, and the
  // kernel copies `length` bytes from the buffer: a message that would reach
  // past its buffer is refused instead of being sent with foreign bytes.
  if (m->data == nullptr) return MCI_ENOBUFFER;
  if (m->capacity < MCI_HEADER_SIZE) return ZQ_ETOOBIG;
  MciBlockHeader h;
  mci_header_read(m->data, &h);
  const uint32_t length = send_length(kind, h);
  if (length > m->capacity) return ZQ_ETOOBIG;
  m->length = static_cast<uint16_t>(length);
  if (is_request(kind)) {
    m->station = static_cast<uint16_t>((m->station & 0xFF00) | handle->station);
  }
  m->sender = static_cast<uint16_t>(handle->task_id);
  h.flags = static_cast<uint16_t>((h.flags & ~MCI_FLAG_FORMAT_MASK) | MCI_FLAG_FORMAT);
  mci_put16(m->data + MCI_HDR_FLAGS, h.flags);
  m->control = static_cast<uint16_t>(m->control & ~MCI_CTRL_SWAPPED);
  set_sender_station(m, handle->station);
  if (zq_write_mbx(handle->task_id, handle->task_id, ds->destination, m) != 0) {
    return kernel_error(handle);
  }
  return MCI_OK;
}

int mci_request_read(const MciHandle* handle, DataSource* ds) {
  const MciSlot* slot = slot_of(ds);
  if (slot == nullptr) return MCI_EKEY;
  if (slot->remote_station == handle->station) return force_write_one(handle, slot->local_key);
  mci_prepare_request(ds, nullptr);
  set_kind(&ds->message, MCI_KIND_READ);
  return mci_send(handle, ds);
}

// ---- Answers --------------------------------------------------------------------------

int mci_count(const MciHandle* handle, int* count) {
  if (zq_count_mbx(handle->task_id, handle->own_mailbox, count) != 0) return kernel_error(handle);
  return MCI_OK;
}

int mci_receive(const MciHandle* handle, DataSource* ds) {
  if (ds->receive_state == MCI_RECEIVE_TAKEN) return MCI_OK;
  if (ds->mailbox_index >= g_mci.pending) return MCI_EPENDING;
  MbxMessage* m = &ds->message;
  if (m->data == nullptr || m->capacity == 0) {
    if (ds->default_buffer.data == nullptr || ds->default_buffer.capacity == 0) {
      return MCI_ENOBUFFER;
    }
    m->data = ds->default_buffer.data;
    m->capacity = ds->default_buffer.capacity;
  }
  if (zq_read_mbx(handle->task_id, handle->task_id, handle->own_mailbox, m, ds->mailbox_index) !=
      0) {
    const int e = kernel_error(handle);
    m->length = 0;  // nothing of the message is in the buffer
    if (e != ZQ_ETOOBIG) return e;
    // A message that cannot fit its buffer can never be received: it is
    // dropped, so that it does not block the mailbox, and refused.
    MbxMessage drop = *m;
    clear_buffer(&drop);
    if (zq_read_mbx(handle->task_id, handle->task_id, handle->own_mailbox, &drop,
                    ds->mailbox_index) != 0) {
      return kernel_error(handle);
    }
    --g_mci.pending;
    return e;
  }
  --g_mci.pending;
  if (m->length < kReceiveCleanBytes) {
    const uint16_t end = m->capacity < kReceiveCleanBytes ? m->capacity : kReceiveCleanBytes;
    if (end > m->length) memset(m->data + m->length, 0, end - m->length);
  }
  unswap_header(m);
  return MCI_OK;
}

int mci_discard(const MciHandle* handle, DataSource* ds) {
  if (ds->receive_state == MCI_RECEIVE_TAKEN) return MCI_OK;
  if (ds->mailbox_index >= g_mci.pending) return MCI_EPENDING;
  clear_buffer(&ds->message);
  if (zq_read_mbx(handle->task_id, handle->task_id, handle->own_mailbox, &ds->message,
                  ds->mailbox_index) != 0) {
    return kernel_error(handle);
  }
  --g_mci.pending;
  return MCI_OK;
}

int mci_peek(const MciHandle* handle, DataSource* ds) {
  int number = 0;
  if (zq_peek_mbx(handle->task_id, handle->own_mailbox, &ds->message, ds->mailbox_index,
                  kOneMessage, &number) != 0) {
    return kernel_error(handle);
  }
  return number < kOneMessage ? MCI_ENOMSG : MCI_OK;
}

int mci_error_reply(const MciHandle* handle, DataSource* ds, uint16_t code) {
  uint8_t* buffer = static_cast<uint8_t*>(mci_alloc_zeroed(kErrorReplySize));
  if (buffer == nullptr) return MCI_ENOMEM;
  MbxMessage* m = &ds->message;
  m->data = buffer;
  m->capacity = kErrorReplySize;
  const MciBlockHeader h = {static_cast<uint16_t>(kErrorCodeUnit << MCI_FLAG_UNIT_SHIFT),
                            kErrorCodeCount, 0, 0};
  mci_header_write(buffer, h);
  mci_put16(buffer + MCI_HEADER_SIZE, code);
  int rc = MCI_OK;
  const uint16_t kind = mci_kind(*m);
  if (is_request(kind)) {
    set_kind(m, static_cast<uint16_t>(kind + MCI_KIND_QUERY_ERROR));
    rc = mci_send(handle, ds);
  }
  clear_buffer(m);
  free(buffer);
  return rc;
}

DataSource* mci_match_source(MbxMessage* message) {
  if (mci_sender_station(*message) == g_mci.handle.station) {
    for (int32_t i = 0; i < g_mci.count; ++i) {
      if (tag_ref_equal(g_mci.slots[i].local_key, message->key)) return g_mci.slots[i].source;
    }
    return nullptr;
  }
  // A data source whose provider is not known yet has no remote key: an
  // answer keyed (0xFFFF, 0xFFFF) from another station matches nothing.
  if (tag_ref_equal(message->key, MCI_NO_KEY)) return nullptr;
  for (int32_t i = 0; i < g_mci.count; ++i) {
    if (tag_ref_equal(g_mci.slots[i].remote_key, message->key)) {
      message->key = g_mci.slots[i].local_key;
      return g_mci.slots[i].source;
    }
  }
  return nullptr;
}

int mci_accept_query_reply(const MciHandle* handle, DataSource* work) {
  // Room for the whole reply, at least a header, and a NUL after the name.
  const uint32_t wanted =
      work->message.length < MCI_HEADER_SIZE ? MCI_HEADER_SIZE : work->message.length;
  if (wanted + 1 > UINT16_MAX) {
    const int rc = mci_discard(handle, work);
    return rc != MCI_OK ? rc : ZQ_ETOOBIG;
  }
  const uint16_t size = static_cast<uint16_t>(wanted + 1);
  uint8_t* buffer = static_cast<uint8_t*>(mci_alloc_zeroed(size));
  if (buffer == nullptr) return MCI_ENOMEM;
  work->message.data = buffer;
  work->message.capacity = size;
  work->message.length = 0;
  const int rc = mci_receive(handle, work);
  if (rc != MCI_OK) return drop_work_buffer(work, buffer, rc);

  TagRef remembered_key = work->message.key;
  uint8_t remembered_station = mci_sender_station(work->message);
  if (remembered_station != handle->station) {
    TagRef found = {};
    if (resolve_object_tag(reinterpret_cast<const char*>(buffer + MCI_HEADER_SIZE), &found) != 0) {
      return drop_work_buffer(work, buffer, MCI_ENAME);
    }
    work->message.key = found;
    set_sender_station(&work->message, handle->station);
  }
  DataSource* ds = mci_match_source(&work->message);
  if (ds == nullptr) return drop_work_buffer(work, buffer, MCI_ENOSOURCE);
  MciSlot* slot = slot_of(ds);
  slot->remote_station = remembered_station;
  slot->remote_key = remembered_key;

  MciBlockHeader h;
  mci_header_read(buffer, &h);
  take_geometry(ds, h);
  ds->message = work->message;
  ds->message.data = ds->default_buffer.data;
  ds->message.capacity = ds->default_buffer.capacity;
  ds->message.length = ds->default_buffer.length;
  if (ds->default_buffer.data != nullptr && ds->default_buffer.capacity >= MCI_HEADER_SIZE) {
    memcpy(ds->default_buffer.data, buffer, MCI_HEADER_SIZE);
  }
  ds->receive_state = MCI_RECEIVE_TAKEN;
  if (ds->handler != nullptr) ds->handler(ds);
  return drop_work_buffer(work, buffer, MCI_OK);
}

// ---- The mailbox handler ----------------------------------------------------------------

int mci_on_mailbox(void* /*user_data*/, ChangeRecord /*record*/) {
  const MciHandle* h = &g_mci.handle;
  int result = MCI_OK;
  int n = 0;
  const int rc = mci_count(h, &n);
  if (rc != MCI_OK) return rc;
  if (n <= g_mci.pending) {
    if (g_idle_pause != nullptr) {
      g_idle_pause(MCI_IDLE_PAUSE_MS);
    } else {
      sleep_milliseconds(MCI_IDLE_PAUSE_MS);
    }
  }
  int32_t idx = g_mci.pending;
  const int32_t repetitions = n - idx;
  for (int32_t r = 0; r < repetitions; ++r) {
    // A fresh work record for every message: a refusal must never go to the
    // provider of the answer handled just before.
    DataSource work = {};
    const int32_t old = g_mci.pending;
    g_mci.pending = old + 1;
    work.mailbox_index = idx;
    if (mci_peek(h, &work) != MCI_OK) {
      const int d = mci_discard(h, &work);
      if (d != MCI_OK) return d;
      continue;
    }
    const uint16_t kind = mci_kind(work.message);
    int step = MCI_OK;
    switch (kind) {
      case MCI_KIND_QUERY:
      case MCI_KIND_READ:
      case MCI_KIND_WRITE:
        step = refuse_request(h, &work);
        break;
      case MCI_KIND_QUERY_REPLY:
        step = mci_accept_query_reply(h, &work);
        break;
      case 8:
      case 10:
      case 12:
      case 14:
        step = mci_discard(h, &work);
        if (step == MCI_OK) step = MCI_EKIND;
        break;
      default:
        step = deliver_answer(h, &work, idx, &result);
        break;
    }
    if (step != MCI_OK) return step;
    if (g_mci.pending != old) idx = g_mci.pending;
  }
  return result;
}

// ---- Testing --------------------------------------------------------------------------

void mci_set_idle_pause(void (*pause)(int milliseconds)) {
  g_idle_pause = pause;
}
void mci_fail_allocations_after(int successes) {
  g_allocations_left = successes < 0 ? -1 : successes;
}

void mci_release(void) {
  for (int32_t i = 0; i < g_mci.count; ++i) free(g_mci.slots[i].source);
  free(g_mci.slots);
  g_mci = Registry{};
}
