// zq sim: a provider task that serves simulated data sources to QUANTREL.
//
// Requests arrive in the simulator's own mailbox; every answer goes to
// QUANTREL's mailbox. What each request gets:
//
//   query (0)   -> query reply (1): geometry in the header, the sim's own name
//                  for the data source as data; key = the query's key when
//                  the sim runs on QUANTREL's station, else the sim's remote key
//   read (2)    -> read data (3): the asked units of the memory (count 0 = the
//                  whole block)
//   write (4)   -> the memory is updated, write acknowledgement (5), header only
//   forced write of a data-source tag (own station only) -> read data (3) of
//                  the whole block
//   every unsolicited_ms -> unsolicited data (7) of the whole block, once the
//                  data source has been queried
//
// A request that cannot be served gets the error reply of its kind (9, 11,
// 13; 15 replaces unsolicited data) with one of the SIM_ERR_* codes or a
// configured code in its first data word; anything else is dropped (traced).
#ifndef ZQ_TOOLS_SIM_PROVIDER_H_
#define ZQ_TOOLS_SIM_PROVIDER_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "kernel/zqkernel.h"
#include "tools/sim_config.h"
#include "tools/sim_memory.h"

// ---- Wire protocol, as the simulator speaks it ---------------------------------------

constexpr uint16_t SIM_KIND_QUERY = 0;
constexpr uint16_t SIM_KIND_QUERY_REPLY = 1;
constexpr uint16_t SIM_KIND_READ = 2;
constexpr uint16_t SIM_KIND_READ_DATA = 3;
constexpr uint16_t SIM_KIND_WRITE = 4;
constexpr uint16_t SIM_KIND_WRITE_ACK = 5;
constexpr uint16_t SIM_KIND_UNSOLICITED = 7;
constexpr uint16_t SIM_KIND_ERROR_BIT = 0x8;  // reply kind + 8 = its error reply
constexpr uint16_t SIM_KIND_QUERY_ERROR = 9;
constexpr uint16_t SIM_KIND_READ_ERROR = 11;
constexpr uint16_t SIM_KIND_WRITE_ERROR = 13;
constexpr uint16_t SIM_KIND_RECEIVE_ERROR = 15;

constexpr uint16_t SIM_CTRL_KIND_MASK = 0x000F;
constexpr uint16_t SIM_CTRL_SWAPPED = 0x0040;  // the sender byte-swapped the header words
constexpr int SIM_CTRL_STATION_SHIFT = 8;
constexpr uint16_t SIM_RESERVED = 0xFFFF;  // descriptor words 8 and 10 of every message sent

constexpr uint16_t SIM_HEADER_SIZE = 8;
constexpr uint16_t SIM_HDR_FLAGS = 0;
constexpr uint16_t SIM_HDR_COUNT = 2;
constexpr uint16_t SIM_HDR_START = 4;
constexpr uint16_t SIM_HDR_TRANSFER = 6;

constexpr uint16_t SIM_FLAG_FORMAT = 3;  // bits 0-3 of every header sent
constexpr uint16_t SIM_FLAG_FORMAT_MASK = 0x000F;
constexpr uint16_t SIM_FLAG_UNTYPED = 0x0010;
constexpr uint16_t SIM_FLAG_BYTE_SWAP = 0x0100;
constexpr uint16_t SIM_FLAG_LOW_BIT_FIRST = 0x0200;
constexpr uint16_t SIM_FLAG_BIT10 = 0x0400;
constexpr uint16_t SIM_FLAG_ONE_BASED = 0x0800;
constexpr int SIM_FLAG_UNIT_SHIFT = 12;

// transfer_type of a write request: the form of the value it carries.
constexpr uint16_t SIM_TT_WHOLE_UNITS = 0x0C00;
constexpr uint16_t SIM_TT_BIT = 0x0100;  // 0x100 + bit number
constexpr uint16_t SIM_TT_BIT_END = 0x0200;
constexpr uint16_t SIM_TT_HIGH_BYTE = 0x0408;
constexpr uint16_t SIM_TT_WORD = 0x0600;  // below: one byte
constexpr uint16_t SIM_TT_LONG = 0x0800;  // below: two bytes
constexpr uint16_t SIM_TT_QUAD = 0x0B00;  // below: four bytes; exactly: eight

// Error codes the simulator puts into its error replies (configured codes
// from [[source.error]] come on top).
constexpr uint16_t SIM_ERR_NO_SOURCE = 801;  // no data source of that name or key
constexpr uint16_t SIM_ERR_MALFORMED = 802;  // shorter than its header or than its count says
constexpr uint16_t SIM_ERR_RANGE = 803;      // addresses (or bit number) outside the block
constexpr uint16_t SIM_ERR_FORM = 804;       // transfer_type that the simulator does not serve
constexpr uint16_t SIM_ERR_UNIT = 805;       // write in a unit size other than the block's

// Signals the simulator enables: its own tick, and the stop signal.
constexpr int SIM_TICK_SIGNAL = 20;
constexpr int SIM_STOP_SIGNAL = 1;

// Exit statuses of sim_run's caller.
constexpr int SIM_RUN_STOPPED = 0;
constexpr int SIM_RUN_FAILED = 1;

// Resolves a tag name to its reference; false when there is none.
using SimResolver = std::function<bool(const std::string& name, TagRef* tag)>;
// The application's object table ({app_dir}/ct/object.ct).
SimResolver sim_object_table_resolver(const std::string& app_dir);

// One line of --trace output (no newline).
using SimTraceSink = std::function<void(const std::string& line)>;

struct SimSource {
  SimSourceConfig config;
  SimMemory memory;
  std::vector<SimMoverState> movers;
  bool has_tag = false;  // QUANTREL's data-source tag, when its name resolves
  TagRef tag{};
  bool has_query_key = false;  // the key of the last query for it
  TagRef query_key{};
  bool answered_query = false;  // a query reply has gone out
  TagRef remote_key{};          // the key the sim serves it under on another station
  bool has_state_tag = false;
  TagRef state_tag{};
  uint32_t requests[SIM_REQ_KINDS] = {};  // served requests of each kind
  uint64_t next_unsolicited_ms = 0;       // 0 = not scheduled yet
};

struct SimCounters {
  uint64_t received = 0;  // messages taken from the own mailbox
  uint64_t answered = 0;  // answers sent (errors included)
  uint64_t errors = 0;    // error replies among them
  uint64_t dropped = 0;   // messages not answered
  uint64_t send_failures = 0;
};

struct Sim {
  SimConfig config;
  int id = -1;  // kernel task id
  TagRef mailbox{};
  TagRef quantrel_mailbox{};
  bool own_station = false;  // station == quantrel_station
  std::vector<SimSource> sources;
  // What the main loop waits on: [0] the own mailbox, then (own station only)
  // the data-source tags, wait_source[i] naming the source of tag i.
  std::vector<TagRef> wait_tags;
  std::vector<int> wait_source;
  SimTraceSink trace;  // empty = no trace
  // Set from outside (a signal handler) to end sim_run at its next wake-up.
  const std::atomic<bool>* interrupt = nullptr;
  SimRandom random;
  uint64_t last_tick_ms = 0;
  SimCounters counters;
  std::vector<uint8_t> buffer;  // one received message
};

// What the simulator answers to one message.
struct SimAnswer {
  bool send = false;  // false: dropped
  uint16_t kind = 0;
  TagRef key{};
  uint16_t station = 0;       // descriptor station word
  int source = -1;            // the data source it is about, -1 = none
  std::vector<uint8_t> data;  // header and data
  std::string note;           // why, for the trace
};

// Resolves the configuration's names, builds the memories (initial values
// applied) and the wait list. The caller has attached (id, zq_init) to the
// database whose tags the names stand for. False with *error on a name that
// does not resolve or a tag of the wrong type.
bool sim_setup(Sim* sim, const SimConfig& config, int id, const SimResolver& resolve,
               std::string* error);

// Writes every configured state value (stopping: the stop values, where
// given). Returns the number of failed writes (traced).
int sim_publish_state(Sim* sim, bool stopping);

// The answer to a message taken from the own mailbox (descriptor and data).
// Updates memory and counters as serving it does; sends nothing.
SimAnswer sim_answer(Sim* sim, const MbxMessage& message, const uint8_t* data, uint16_t length);
// Sends an answer to QUANTREL's mailbox (traced). 0 or the kernel's error number.
int sim_send(Sim* sim, const SimAnswer& answer);
// Takes every message out of the own mailbox and answers it. Returns the
// number handled, or -1 when the mailbox cannot be read (*error set).
int sim_drain_mailbox(Sim* sim, std::string* error);

// Read data (or the configured read error) of the whole block, as a forced
// write of the data-source tag asks for on the own station.
SimAnswer sim_forced_read(Sim* sim, size_t source);
// Unsolicited data (or the configured receive error) of the whole block.
SimAnswer sim_unsolicited(Sim* sim, size_t source);

// Handles one change the wait reported: the mailbox is drained, a data-source
// tag force-written with a non-zero value is answered with read data.
int sim_handle_change(Sim* sim, uint32_t index, const ChangeRecord& record, std::string* error);
// Handles every change waiting for the simulator without blocking.
int sim_poll(Sim* sim, std::string* error);
// Moves the memories once tick_ms has passed since the last step and sends
// the unsolicited data that is due. now_ms counts from the simulator's start.
void sim_tick(Sim* sim, uint64_t now_ms);

// The task's loop: waits on the wait list, woken every tick by its own
// signal, until a stop is requested. SIM_RUN_STOPPED on a stop request,
// SIM_RUN_FAILED with *error when the kernel fails.
int sim_run(Sim* sim, std::string* error);

// "read data", "query error", ... for traces.
const char* sim_kind_name(uint16_t kind);

#endif  // ZQ_TOOLS_SIM_PROVIDER_H_
