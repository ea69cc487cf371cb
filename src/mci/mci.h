// MCI: the task's message layer towards provider tasks.
//
// Keeps the registry of data sources (named blocks of device data that one
// provider serves) and exchanges request and reply messages with providers
// through kernel mailboxes: requests go into the provider's mailbox, every
// answer arrives in the task's own mailbox, where the mailbox handler matches
// it to its data source by key and station and hands it to the data source's
// message handler. The layer reports nothing: every operation returns a
// result code (below) or a kernel error number from zq_errno, and its callers
// report. It has no locks; it runs on the task's single thread only.
#ifndef ZQ_MCI_MCI_H_
#define ZQ_MCI_MCI_H_

#include <stdint.h>

#include "kernel/zqkernel.h"

// ---- Result codes (0 = success; other values are kernel error numbers) ---------

constexpr int MCI_OK = 0;
constexpr int MCI_ENOMEM = 2;      // out of memory
constexpr int MCI_EKIND = 50;      // kind that cannot be sent; invalid kind received
constexpr int MCI_ENOMSG = 52;     // no message at the given mailbox index
constexpr int MCI_EMAILBOX = 54;   // destination mailbox not valid or not countable
constexpr int MCI_EKEY = 55;       // message key (data-source tag) not valid
constexpr int MCI_EREFUSED = 59;   // request refused; the code a refusal carries
constexpr int MCI_EPENDING = 60;   // mailbox index not below the pending count
constexpr int MCI_ENAME = 61;      // a remote query reply names no tag of this application
constexpr int MCI_ENOSOURCE = 62;  // no data source for the message's key
constexpr int MCI_ENOBUFFER = 63;  // no buffer to build or receive the message in
constexpr int MCI_EFULL = 69;      // destination mailbox holds too many messages

// ---- Message kinds (control word bits 0-3) -------------------------------------

constexpr uint16_t MCI_KIND_QUERY = 0;
constexpr uint16_t MCI_KIND_QUERY_REPLY = 1;
constexpr uint16_t MCI_KIND_READ = 2;
constexpr uint16_t MCI_KIND_READ_DATA = 3;
constexpr uint16_t MCI_KIND_WRITE = 4;
constexpr uint16_t MCI_KIND_WRITE_ACK = 5;
constexpr uint16_t MCI_KIND_UNUSED = 6;
constexpr uint16_t MCI_KIND_UNSOLICITED = 7;
constexpr uint16_t MCI_KIND_ERROR = 0x8;  // added to reply kinds 1, 3, 5, 7
constexpr uint16_t MCI_KIND_QUERY_ERROR = 9;
constexpr uint16_t MCI_KIND_READ_ERROR = 11;
constexpr uint16_t MCI_KIND_WRITE_ERROR = 13;
constexpr uint16_t MCI_KIND_RECEIVE_ERROR = 15;

// Control word of a message descriptor.
constexpr uint16_t MCI_CTRL_KIND_MASK = 0x000F;
constexpr uint16_t MCI_CTRL_SWAPPED = 0x0040;  // the sender byte-swapped the header
constexpr int MCI_CTRL_STATION_SHIFT = 8;      // bits 8-15: sender's station
constexpr uint16_t MCI_STATION_LOW_MASK = 0x00FF;

inline uint16_t mci_kind(const MbxMessage& m) {
  return m.control & MCI_CTRL_KIND_MASK;
}
inline uint8_t mci_sender_station(const MbxMessage& m) {
  return static_cast<uint8_t>(m.control >> MCI_CTRL_STATION_SHIFT);
}

// ---- Data block header: the first 8 bytes of every message's data ---------------

constexpr uint16_t MCI_HEADER_SIZE = 8;
constexpr uint16_t MCI_HDR_FLAGS = 0;  // byte offsets, 16-bit little-endian words
constexpr uint16_t MCI_HDR_COUNT = 2;
constexpr uint16_t MCI_HDR_START = 4;
constexpr uint16_t MCI_HDR_TRANSFER = 6;

constexpr uint16_t MCI_FLAG_FORMAT_MASK = 0x000F;  // bits 0-3
constexpr uint16_t MCI_FLAG_FORMAT = 3;            // value of bits 0-3 in every sent message
constexpr uint16_t MCI_FLAG_UNTYPED = 0x0010;
constexpr uint16_t MCI_FLAG_BYTE_SWAP = 0x0100;
constexpr uint16_t MCI_FLAG_LOW_BIT_FIRST = 0x0200;
constexpr uint16_t MCI_FLAG_BIT10 = 0x0400;
constexpr uint16_t MCI_FLAG_ONE_BASED = 0x0800;
constexpr int MCI_FLAG_UNIT_SHIFT = 12;  // bits 12-15: bytes per address unit, 0 = bits
constexpr uint16_t MCI_TRANSFER_WHOLE_UNITS = 0x0C00;

struct MciBlockHeader {
  uint16_t flags;
  uint16_t count;  // address units (bits when the unit size is 0); a query: name length
  uint16_t start;
  uint16_t transfer_type;
};

inline uint16_t mci_get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void mci_put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
// `data` must hold at least MCI_HEADER_SIZE bytes.
void mci_header_read(const uint8_t* data, MciBlockHeader* header);
void mci_header_write(uint8_t* data, const MciBlockHeader& header);
inline uint8_t mci_header_unit_size(const MciBlockHeader& h) {
  return static_cast<uint8_t>(h.flags >> MCI_FLAG_UNIT_SHIFT);
}

// ---- Records -----------------------------------------------------------------

// The layer's start record; the layer keeps its own copy.
struct MciHandle {
  int16_t task_id;
  TagRef own_mailbox;  // the task's mailbox, where answers arrive
  uint8_t station;     // low 8 bits of "-LS", 0 when absent
};

// A buffer descriptor: the shared message buffer of every data source.
struct MciBuffer {
  uint8_t* data;
  uint16_t capacity;
  uint16_t length;
};
constexpr uint16_t MCI_MESSAGE_BUFFER_SIZE = 4120;  // 8 header bytes + 4112 data bytes

constexpr int DS_NAME_SIZE = 50;
constexpr uint16_t MCI_RECEIVE_IN_MAILBOX = 0;   // the message is still in the own mailbox
constexpr uint16_t MCI_RECEIVE_TAKEN = 2;        // it has been taken out already
constexpr TagRef MCI_NO_KEY = {0xFFFF, 0xFFFF};  // remote key before the first query reply
constexpr int MCI_MAX_DEST_MESSAGES = 25000;     // more in a provider's mailbox refuses a send
constexpr int MCI_IDLE_PAUSE_MS = 10;            // mailbox run that finds nothing new

struct DsState;  // the data-source handlers' state
struct DataSource;
// Called by the mailbox handler when a message for the data source arrived.
typedef int (*DsMessageHandler)(DataSource* record);

struct DataSource {
  char name[DS_NAME_SIZE];  // also the name of its data-source tag
  uint16_t start;           // geometry, learned from the query reply
  uint16_t count;
  uint8_t unit_size;  // bytes per address unit, 0 = bit-addressed
  uint8_t byte_swap;  // header flag bits 8-11
  uint8_t low_bit_first;
  uint8_t flag_bit10;
  uint8_t one_based_bits;
  int32_t slot;
  uint16_t receive_state;  // MCI_RECEIVE_IN_MAILBOX or MCI_RECEIVE_TAKEN
  MbxMessage message;      // the message being built, sent or received
  TagRef destination;      // the provider's mailbox
  MciBuffer default_buffer;
  int32_t mailbox_index;  // position of the received message in the own mailbox
  DsState* state;
  DsMessageHandler handler;  // null = no call
};

// One registry slot. Slot 0 stands for the own mailbox.
struct MciSlot {
  DataSource* source;
  TagRef local_key;   // the data-source tag
  TagRef remote_key;  // the provider's key; MCI_NO_KEY until the first query reply
  uint8_t remote_station;
};

// ---- Operations --------------------------------------------------------------

// Starts the layer with a copy of the handle and a fresh, empty registry
// (records of an earlier start are freed). Old replies in the own mailbox
// are removed; old queries stay.
int mci_init(const MciHandle* handle);
// The layer's copy of the start handle.
const MciHandle* mci_handle(void);

// Registers a filled record (name, data-source tag in message.key,
// destination, default buffer, state, handler). Returns the registry's copy,
// the data source's handle from now on, or null when the name does not
// resolve to the data-source tag or memory runs out.
DataSource* mci_register(const DataSource* record);
// The data source whose data-source tag is `key` (slot 0 included), or null.
DataSource* mci_find_by_key(TagRef key);
// Sends the query (kind 0) that asks the provider for the geometry.
int mci_query(DataSource* ds);
// True until the data source's first query reply (also for unregistered records).
bool mci_query_pending(const DataSource* ds);

// Points the message at `buffer` (null: the default buffer), length 8, and
// writes the header from the data source's geometry. Nothing is written into
// a buffer smaller than a header.
void mci_prepare_request(DataSource* ds, MciBuffer* buffer);
// Checks and sends the data source's message to its destination mailbox:
// 55 bad key, 54 bad or uncountable destination, 69 more than 25000 waiting,
// 50 a kind that cannot be sent, 63 no buffer, ZQ_ETOOBIG when the length
// the kind gives reaches past the buffer, or the kernel's error.
int mci_send(const MciHandle* handle, DataSource* ds);
// Asks for a block: on the own station the data-source tag is force-written
// with 1, otherwise a read request (kind 2) is sent.
int mci_request_read(const MciHandle* handle, DataSource* ds);
// Takes the message at the record's mailbox index out of the own mailbox
// into its buffer (or the default buffer): 0 at once for a record in
// MCI_RECEIVE_TAKEN, 60 outside the pending count, 63 no buffer. A message
// longer than the buffer is dropped from the mailbox and refused with
// ZQ_ETOOBIG, the buffer untouched and the length 0. The bytes of a short
// message's missing header and error code read as zero, and a header the
// sender marks byte-swapped (format 3 or later) is put right.
int mci_receive(const MciHandle* handle, DataSource* ds);

// Messages in the own mailbox.
int mci_count(const MciHandle* handle, int* count);
// Copies the descriptor at the record's mailbox index into its message; 52
// when there is none.
int mci_peek(const MciHandle* handle, DataSource* ds);
// Takes the message at the record's mailbox index out without its data.
int mci_discard(const MciHandle* handle, DataSource* ds);
// Refuses the request in the record's message (kinds 0, 2, 4) with `code`
// by sending the error reply kind 9, 11 or 13 to the record's destination.
int mci_error_reply(const MciHandle* handle, DataSource* ds, uint16_t code);
// The data source a message is about: from the own station by local key,
// from another by remote key, which is then replaced by the local one. The
// "none yet" remote key matches nothing.
DataSource* mci_match_source(MbxMessage* message);
// Takes a query reply out and learns geometry, remote key and station from
// it: 61 when a remote reply names no tag, 62 when no data source matches.
int mci_accept_query_reply(const MciHandle* handle, DataSource* work);

// Trigger handler of the own mailbox tag; both arguments are ignored. Looks
// at every message behind the pending count once: answers go to their data
// source's handler as a copy of its record (left there, they stay counted
// as pending), query replies are accepted, requests are refused, and an
// invalid kind (50), unknown key (62) or failure ends the run at once.
// Pauses MCI_IDLE_PAUSE_MS when nothing new is there. Returns the last
// handler's result.
int mci_on_mailbox(void* user_data, ChangeRecord record);

// Messages at the head of the own mailbox looked at and left there.
int32_t mci_pending_count(void);
// Makes the next mailbox run look at the whole mailbox again.
void mci_reset_pending(void);

// Registry slots (for the loader's checks, tools and tests).
int32_t mci_slot_count(void);
const MciSlot* mci_slot(int32_t slot);

// ---- Testing -----------------------------------------------------------------

// Replaces the pause of a mailbox run that finds nothing new (null restores
// the real sleep), so tests and fuzzers can observe it without waiting.
void mci_set_idle_pause(void (*pause)(int milliseconds));
// The layer's allocations fail after `successes` more successful ones; a
// negative count turns the failure off.
void mci_fail_allocations_after(int successes);
// Frees the registry and every record; the layer is unstarted afterwards.
void mci_release(void);

#endif  // ZQ_MCI_MCI_H_
