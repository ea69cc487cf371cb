// zq modbus: the provider task: mailbox, data-source tags, one worker per device.
#include "tools/modbus_provider.h"

#include <errno.h>
#include <modbus/modbus.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/modbus_block.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t RECEIVE_BUFFER = 0xFFFF;  // the largest message a descriptor can describe
constexpr uint16_t ERROR_REPLY_UNIT = 2;   // error replies: unit size 2,
constexpr uint16_t ERROR_REPLY_COUNT = 2;  // count 2, code at data offset 0
constexpr size_t ERROR_REPLY_BYTES = MB_HEADER_SIZE + ERROR_REPLY_UNIT * ERROR_REPLY_COUNT;
constexpr uint16_t RESERVED = 0xFFFF;  // descriptor words 8 and 10 of every message sent
constexpr uint16_t CTRL_KIND_MASK = 0x000F;
constexpr uint16_t CTRL_SWAPPED = 0x0040;
constexpr int CTRL_STATION_SHIFT = 8;
constexpr uint16_t BYTE_MASK = 0xFF;
constexpr unsigned BITS_PER_BYTE = 8;
constexpr uint32_t MS_PER_S = 1000;
constexpr uint32_t US_PER_MS = 1000;
constexpr int MAX_UNEXPLAINED_WAIT_ERRORS = 3;
constexpr double US_PER_S = 1e6;

std::string key_text(TagRef k) {
  return std::to_string(k.type) + "/" + std::to_string(k.index);
}

std::string hex4(uint16_t v) {
  char text[8];
  snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

struct Source {
  MbSourceConfig config;
  bool has_tag = false;  // QUANTREL's data-source tag, when its name resolves
  TagRef tag{};
  bool has_query_key = false;  // the key of the last query for it
  TagRef query_key{};
  TagRef remote_key{};  // the key it is served under on another station
  bool has_state_tag = false;
  TagRef state_tag{};
  size_t slot = 0;  // its place among its device's sources
};

// One request for a device, prepared by the main thread.
struct Job {
  bool write = false;
  size_t source = 0;
  TagRef key{};          // the key the answer carries
  uint16_t station = 0;  // the answer's station word
  uint16_t start = 0;    // read: the range
  uint16_t count = 0;
  MbHeader header;  // write: the request's header, echoed in the acknowledgement
  MbWritePlan plan;
  bool forced = false;  // a forced write of the data-source tag asked for it
  Clock::time_point queued;
};

struct Answer {
  bool send = false;
  uint16_t kind = 0;
  TagRef key{};
  uint16_t station = 0;
  int source = -1;
  std::vector<uint8_t> data;  // header and data
  std::string note;
};

enum class LinkState { kUnknown, kConnected, kDown };

// Result of one Modbus exchange: 0 or an MB_ERR_* code, with libmodbus's errno.
struct IoResult {
  uint16_t code = 0;
  int err = 0;
};

enum class AheadState {
  kIdle,
  kInFlight,  // its request has gone out; the worker receives the answer
  kDone,      // result and answer hold a finished read
};

// The read ahead of one data source (under the device's mutex). Once read
// data of a source that is read back to back has gone out, the next read of
// the same range starts: its request is sent at once when one request reads
// the range and the connection is free, else the worker makes the read when
// it is free. The next read request of the same range takes the result.
struct ReadAhead {
  bool back_to_back = false;        // the last request came within the window of the answer before
  Clock::time_point last_answer{};  // when read data of the source last went out
  bool wanted = false;              // the worker is to make one
  AheadState state = AheadState::kIdle;
  uint16_t start = 0;
  uint16_t count = 0;
  Clock::time_point started{};
  uint64_t epoch = 0;  // the device's write epoch when it started
  IoResult result;
  Answer answer;
};

struct Device {
  MbDeviceConfig config;
  std::string label;  // "name (host:port unit n)"
  std::vector<size_t> sources;
  modbus_t* ctx = nullptr;
  // Worker-only state.
  bool connected = false;
  uint32_t backoff_ms = 0;
  Clock::time_point next_attempt{};
  uint32_t timeouts_in_row = 0;
  bool mask_write = true;
  std::vector<uint16_t> registers;  // scratch of a read
  std::vector<uint8_t> bits;
  // Shared with the main thread.
  std::mutex mutex;
  std::condition_variable cond;
  std::deque<Job> queue;
  std::vector<ReadAhead> ahead;  // per source of the device (Source::slot)
  int in_flight = -1;            // the slot whose read ahead awaits its answer
  bool worker_idle = false;      // the worker waits and leaves the connection alone
  uint64_t write_epoch = 0;      // writes executed so far
  Clock::duration window{};      // read_ahead_ms
  std::thread thread;
  LinkState state = LinkState::kUnknown;  // under MbProvider::state_mutex
};

}  // namespace

struct MbProvider {
  MbConfig config;
  int id = -1;
  TagRef mailbox{};
  TagRef quantrel_mailbox{};
  bool own_station = false;
  std::vector<Source> sources;
  std::vector<std::unique_ptr<Device>> devices;
  // What the main loop waits on: [0] the own mailbox, then (own station only)
  // the data-source tags, wait_source[i] naming the source of tag i.
  std::vector<TagRef> wait_tags;
  std::vector<int> wait_source;
  bool has_status_tag = false;
  TagRef status_tag{};
  bool has_message_tag = false;
  TagRef message_tag{};
  MbTraceSink sink;
  bool trace_requests = false;
  std::vector<uint8_t> buffer;  // one received message (main thread)
  // Every kernel call but the main loop's wait runs under this lock: the
  // workers send answers and write state tags from their own threads.
  std::mutex kernel;
  std::mutex state_mutex;  // device link states, the task's status
  std::mutex sink_mutex;
  std::atomic<bool> stopping{false};
  std::atomic<bool> interrupted{false};
  std::atomic<uint64_t> received{0}, forced{0}, answered{0}, errors{0}, dropped{0},
      send_failures{0}, modbus_requests{0}, read_ahead_used{0};
};

namespace {

void emit(MbProvider* p, const std::string& line) {
  if (!p->sink) return;
  std::lock_guard<std::mutex> lock(p->sink_mutex);
  p->sink(line);
}

// ---- Answers -----------------------------------------------------------------------------

TagRef answer_key(const MbProvider& p, const Source& s, const TagRef* request_key) {
  if (!p.own_station) return s.remote_key;
  if (request_key) return *request_key;
  return s.has_query_key ? s.query_key : s.tag;
}

Answer error_answer(uint16_t reply_kind, TagRef key, uint16_t station, int source, uint16_t code) {
  Answer a;
  a.send = true;
  a.kind = static_cast<uint16_t>(reply_kind | SIM_KIND_ERROR_BIT);
  a.key = key;
  a.station = station;
  a.source = source;
  a.data.assign(ERROR_REPLY_BYTES, 0);
  MbHeader h;
  h.flags = static_cast<uint16_t>(MB_FLAG_FORMAT | (ERROR_REPLY_UNIT << MB_FLAG_UNIT_SHIFT));
  h.count = ERROR_REPLY_COUNT;
  mb_header_write(a.data.data(), h);
  a.data[MB_HEADER_SIZE] = static_cast<uint8_t>(code);
  a.data[MB_HEADER_SIZE + 1] = static_cast<uint8_t>(code >> BITS_PER_BYTE);
  a.note = "code " + hex4(code) + " (" + mb_error_text(code) + ")";
  return a;
}

void send_answer(MbProvider* p, const Answer& a) {
  if (!a.send) return;
  MbxMessage m;
  memset(&m, 0, sizeof m);
  m.data = const_cast<uint8_t*>(a.data.data());
  m.capacity = static_cast<uint16_t>(a.data.size());
  m.length = static_cast<uint16_t>(a.data.size());
  m.reserved1 = RESERVED;
  m.reserved2 = RESERVED;
  m.control = static_cast<uint16_t>(a.kind | (p->config.station << CTRL_STATION_SHIFT));
  m.station = a.station;
  m.key = a.key;
  m.sender = static_cast<uint16_t>(p->id);
  int rc = 0, err = 0;
  {
    std::lock_guard<std::mutex> lock(p->kernel);
    rc = zq_write_mbx(p->id, p->id, p->quantrel_mailbox, &m);
    if (rc != 0) err = zq_errno(p->id);
  }
  if (rc == 0) {
    ++p->answered;
    if (a.kind & SIM_KIND_ERROR_BIT) ++p->errors;
  } else {
    ++p->send_failures;
  }
  if (!p->trace_requests && rc == 0) return;
  std::string name = a.source >= 0 ? p->sources[a.source].config.name : std::string("-");
  std::string line =
      p->config.task + " > " + sim_kind_name(a.kind) + " " + name + " key=" + key_text(a.key);
  if (a.data.size() >= MB_HEADER_SIZE) {
    MbHeader h = mb_header_read(a.data.data(), false);
    line += " flags=" + hex4(h.flags) + " count=" + std::to_string(h.count) +
            " start=" + std::to_string(h.start);
  }
  line += " len=" + std::to_string(a.data.size());
  if (!a.note.empty()) line += " " + a.note;
  if (rc != 0) line += std::string(" NOT SENT: ") + zq_strerror(err);
  emit(p, line);
}

// ---- Tags written on state changes ----------------------------------------------------------

// Writes a number into a numeric tag of any type. Called under the kernel lock.
void write_number(MbProvider* p, TagRef tag, int16_t value) {
  uint16_t type = 0;
  if (zq_tag_info(&tag, 1, &type, nullptr) != 0) return;
  if (type == TAG_LONG) {
    int32_t v = value;
    zq_write(p->id, &tag, 1, &v);
  } else if (type == TAG_FLOAT) {
    double v = value;
    zq_write(p->id, &tag, 1, &v);
  } else if (type == TAG_ANALOG || type == TAG_DIGITAL) {
    zq_write(p->id, &tag, 1, &value);
  }
}

void write_message(MbProvider* p, const std::string& text) {
  if (!p->has_message_tag) return;
  int capacity = zq_tag_capacity(p->message_tag);
  if (capacity <= 0) return;
  std::string cut = text.substr(0, static_cast<size_t>(capacity));
  MessageValue v = {cut.data(), static_cast<uint16_t>(capacity), static_cast<uint16_t>(cut.size())};
  zq_write(p->id, &p->message_tag, 1, &v);
}

// The task's status from the link states (state_mutex held).
int16_t task_status(const MbProvider& p) {
  for (const auto& d : p.devices) {
    if (d->state == LinkState::kDown) return MB_TASK_DEVICE_DOWN;
  }
  return MB_TASK_RUNNING;
}

// Records a device's link state; a change is reported once: a line, the
// state tags of its sources, the task's status and message tags.
void set_link_state(MbProvider* p, Device* d, LinkState state, const std::string& why) {
  std::lock_guard<std::mutex> state_lock(p->state_mutex);
  if (d->state == state) return;
  d->state = state;
  std::string line = p->config.task + " device " + d->label + ": " + why;
  emit(p, line);
  int16_t value = state == LinkState::kConnected ? MB_STATE_CONNECTED : MB_STATE_NOT_CONNECTED;
  std::lock_guard<std::mutex> lock(p->kernel);
  for (size_t i : d->sources) {
    if (p->sources[i].has_state_tag) write_number(p, p->sources[i].state_tag, value);
  }
  if (p->has_status_tag) write_number(p, p->status_tag, task_status(*p));
  write_message(p, "device " + d->label + ": " + why);
}

// ---- Device I/O (worker thread) -------------------------------------------------------------

std::string ms_text(uint32_t ms) {
  return ms % MS_PER_S == 0 ? std::to_string(ms / MS_PER_S) + " s" : std::to_string(ms) + " ms";
}

bool connect_once(Device* d, int* err) {
  if (modbus_connect(d->ctx) == 0) return true;
  *err = errno;
  modbus_close(d->ctx);
  return false;
}

void schedule_retry(Device* d) {
  d->next_attempt = Clock::now() + std::chrono::milliseconds(d->backoff_ms);
  d->backoff_ms = std::min(d->backoff_ms * 2, d->config.retry_max_ms);
}

void link_up(MbProvider* p, Device* d) {
  d->connected = true;
  d->backoff_ms = d->config.retry_min_ms;
  d->timeouts_in_row = 0;
  set_link_state(p, d, LinkState::kConnected, "connected");
}

// One connection attempt; a failure schedules the next one.
bool try_connect(MbProvider* p, Device* d) {
  int err = 0;
  if (connect_once(d, &err)) {
    link_up(p, d);
    return true;
  }
  schedule_retry(d);
  set_link_state(p, d, LinkState::kDown,
                 std::string("cannot connect: ") + modbus_strerror(err) +
                     " (requests get error 0x202; retrying, at most every " +
                     ms_text(d->config.retry_max_ms) + ")");
  return false;
}

// A call that failed (rc < 0, errno set) or answered another count than asked.
IoResult io_failure(int rc) {
  IoResult r;
  r.err = rc < 0 ? errno : EMBBADDATA;
  r.code = rc < 0 ? mb_error_from_errno(r.err) : MB_ERR_BAD_RESPONSE;
  return r;
}

IoResult read_range(MbProvider* p, Device* d, const MbSourceConfig& s, uint16_t start,
                    uint16_t count) {
  const bool registers = mb_table_is_registers(s.table);
  const uint16_t chunk = registers ? d->config.max_read_registers : d->config.max_read_bits;
  if (registers) {
    d->registers.resize(count);
  } else {
    d->bits.resize(count);
  }
  for (uint32_t done = 0; done < count;) {
    int n = static_cast<int>(std::min<uint32_t>(chunk, count - done));
    int address = static_cast<int>(start + done);
    int rc = 0;
    ++p->modbus_requests;
    switch (s.table) {
      case MbTable::kHoldingRegisters:
        rc = modbus_read_registers(d->ctx, address, n, d->registers.data() + done);
        break;
      case MbTable::kInputRegisters:
        rc = modbus_read_input_registers(d->ctx, address, n, d->registers.data() + done);
        break;
      case MbTable::kCoils:
        rc = modbus_read_bits(d->ctx, address, n, d->bits.data() + done);
        break;
      case MbTable::kDiscreteInputs:
        rc = modbus_read_input_bits(d->ctx, address, n, d->bits.data() + done);
        break;
    }
    if (rc != n) return io_failure(rc);
    done += static_cast<uint32_t>(n);
  }
  return IoResult{};
}

// Read data of `count` units from `start` out of the device's scratch.
void read_answer(const Device& d, const MbSourceConfig& s, uint16_t start, uint16_t count,
                 Answer* a) {
  a->kind = SIM_KIND_READ_DATA;
  a->data.assign(MB_HEADER_SIZE + mb_block_bytes(s, count), 0);
  mb_header_write(a->data.data(), MbHeader{mb_source_flags(s), count, start, 0});
  uint8_t* out = a->data.data() + MB_HEADER_SIZE;
  if (mb_table_is_registers(s.table)) {
    mb_pack_registers(s, d.registers.data(), count, out);
  } else {
    mb_pack_bits(s, d.bits.data(), count, out);
  }
}

uint8_t read_function(MbTable table) {
  switch (table) {
    case MbTable::kCoils:
      return MODBUS_FC_READ_COILS;
    case MbTable::kDiscreteInputs:
      return MODBUS_FC_READ_DISCRETE_INPUTS;
    case MbTable::kHoldingRegisters:
      return MODBUS_FC_READ_HOLDING_REGISTERS;
    case MbTable::kInputRegisters:
      return MODBUS_FC_READ_INPUT_REGISTERS;
  }
  return 0;
}

// True when one Modbus request reads `count` units of the source.
bool one_request(const Device& d, const MbSourceConfig& s, uint16_t count) {
  return count <=
         (mb_table_is_registers(s.table) ? d.config.max_read_registers : d.config.max_read_bits);
}

constexpr int READ_REQUEST_BYTES = 6;  // unit, function, address, quantity
constexpr uint8_t EXCEPTION_FLAG = 0x80;

// Sends a read request without waiting for its answer (receive_read takes it).
IoResult send_read(MbProvider* p, Device* d, const MbSourceConfig& s, uint16_t start,
                   uint16_t count) {
  const uint8_t request[READ_REQUEST_BYTES] = {
      static_cast<uint8_t>(d->config.unit_id),      read_function(s.table),
      static_cast<uint8_t>(start >> BITS_PER_BYTE), static_cast<uint8_t>(start),
      static_cast<uint8_t>(count >> BITS_PER_BYTE), static_cast<uint8_t>(count)};
  ++p->modbus_requests;
  if (modbus_send_raw_request(d->ctx, request, READ_REQUEST_BYTES) < 0) return io_failure(-1);
  return IoResult{};
}

// Receives the answer to send_read's request into the device's scratch.
IoResult receive_read(Device* d, const MbSourceConfig& s, uint16_t count) {
  uint8_t response[MODBUS_TCP_MAX_ADU_LENGTH];
  int n = modbus_receive_confirmation(d->ctx, response);
  if (n < 0) return io_failure(-1);
  const int h = modbus_get_header_length(d->ctx);
  const uint8_t function = read_function(s.table);
  if (n >= h + 2 && response[h] == (function | EXCEPTION_FLAG)) {
    return IoResult{static_cast<uint16_t>(MB_ERR_EXCEPTION + response[h + 1]),
                    MODBUS_ENOBASE + response[h + 1]};
  }
  const bool registers = mb_table_is_registers(s.table);
  const int bytes = registers ? count * 2 : (count + BITS_PER_BYTE - 1) / BITS_PER_BYTE;
  if (n < h + 2 + bytes || response[h] != function || response[h + 1] != bytes) {
    return IoResult{MB_ERR_BAD_RESPONSE, EMBBADDATA};
  }
  const uint8_t* data = response + h + 2;
  if (registers) {
    d->registers.resize(count);
    for (uint16_t i = 0; i < count; ++i) {
      d->registers[i] = static_cast<uint16_t>((data[2 * i] << BITS_PER_BYTE) | data[2 * i + 1]);
    }
  } else {
    d->bits.resize(count);
    for (uint16_t i = 0; i < count; ++i) {
      d->bits[i] = (data[i / BITS_PER_BYTE] >> (i % BITS_PER_BYTE)) & 1;
    }
  }
  return IoResult{};
}

IoResult write_registers(MbProvider* p, Device* d, uint16_t address,
                         const std::vector<uint16_t>& values) {
  if (values.size() == 1) {
    ++p->modbus_requests;
    int rc = modbus_write_register(d->ctx, address, values[0]);
    return rc == 1 ? IoResult{} : io_failure(rc);
  }
  for (size_t done = 0; done < values.size();) {
    int n = static_cast<int>(std::min<size_t>(d->config.max_write_registers, values.size() - done));
    ++p->modbus_requests;
    int rc =
        modbus_write_registers(d->ctx, static_cast<int>(address + done), n, values.data() + done);
    if (rc != n) return io_failure(rc);
    done += static_cast<size_t>(n);
  }
  return IoResult{};
}

IoResult write_coils(MbProvider* p, Device* d, uint16_t address, const std::vector<uint8_t>& bits) {
  if (bits.size() == 1) {
    ++p->modbus_requests;
    int rc = modbus_write_bit(d->ctx, address, bits[0]);
    return rc == 1 ? IoResult{} : io_failure(rc);
  }
  for (size_t done = 0; done < bits.size();) {
    int n = static_cast<int>(std::min<size_t>(d->config.max_write_bits, bits.size() - done));
    ++p->modbus_requests;
    int rc = modbus_write_bits(d->ctx, static_cast<int>(address + done), n, bits.data() + done);
    if (rc != n) return io_failure(rc);
    done += static_cast<size_t>(n);
  }
  return IoResult{};
}

IoResult mask_register(MbProvider* p, Device* d, const MbWritePlan& plan) {
  if (d->mask_write) {
    ++p->modbus_requests;
    int rc = modbus_mask_write_register(d->ctx, plan.address, plan.and_mask, plan.or_mask);
    if (rc == 1) return IoResult{};
    IoResult r = io_failure(rc);
    if (r.err != EMBXILFUN) return r;
    d->mask_write = false;
    emit(p, p->config.task + " device " + d->label +
                ": no function 22 (mask write); bits and bytes of registers are written by "
                "reading and writing the register from now on");
  }
  uint16_t old = 0;
  ++p->modbus_requests;
  int rc = modbus_read_registers(d->ctx, plan.address, 1, &old);
  if (rc != 1) return io_failure(rc);
  ++p->modbus_requests;
  rc = modbus_write_register(d->ctx, plan.address, mb_apply_mask(plan, old));
  return rc == 1 ? IoResult{} : io_failure(rc);
}

IoResult execute(MbProvider* p, Device* d, const Job& job, Answer* a) {
  const MbSourceConfig& s = p->sources[job.source].config;
  if (!job.write) {
    IoResult r = read_range(p, d, s, job.start, job.count);
    if (r.code == 0) read_answer(*d, s, job.start, job.count, a);
    return r;
  }
  IoResult r;
  switch (job.plan.op) {
    case MbWriteOp::kRegisters:
      r = write_registers(p, d, job.plan.address, job.plan.registers);
      break;
    case MbWriteOp::kCoils:
      r = write_coils(p, d, job.plan.address, job.plan.bits);
      break;
    case MbWriteOp::kMaskRegister:
      r = mask_register(p, d, job.plan);
      break;
  }
  if (r.code != 0) return r;
  a->kind = SIM_KIND_WRITE_ACK;
  MbHeader h = job.header;
  h.flags = static_cast<uint16_t>((h.flags & ~MB_FLAG_FORMAT_MASK) | MB_FLAG_FORMAT);
  a->data.assign(MB_HEADER_SIZE, 0);
  mb_header_write(a->data.data(), h);
  return r;
}

uint16_t reply_kind(const Job& job) {
  return job.write ? SIM_KIND_WRITE_ACK : SIM_KIND_READ_DATA;
}

std::string job_note(const Job& job, const MbSourceConfig& s) {
  std::string what = job.write ? "write" : "read";
  const bool registers = mb_table_is_registers(s.table);
  if (job.write) {
    switch (job.plan.op) {
      case MbWriteOp::kRegisters:
        what += " " + std::to_string(job.plan.registers.size()) + " register(s) at " +
                std::to_string(job.plan.address);
        break;
      case MbWriteOp::kCoils:
        what += " " + std::to_string(job.plan.bits.size()) + " coil(s) at " +
                std::to_string(job.plan.address);
        break;
      case MbWriteOp::kMaskRegister:
        what += " register " + std::to_string(job.plan.address) + " and " +
                hex4(job.plan.and_mask) + " or " + hex4(job.plan.or_mask);
        break;
    }
  } else {
    what += " " + std::to_string(job.count) + (registers ? " register(s)" : " bit(s)") + " at " +
            std::to_string(job.start);
  }
  double us = std::chrono::duration<double>(Clock::now() - job.queued).count() * US_PER_S;
  char took[32];
  snprintf(took, sizeof took, " in %.0f us", us);
  return "(" + what + took + ")";
}

// A connection the device (or a firewall) closed is made again at once;
// when that fails the device counts as not connected. True when connected.
bool reconnect_after_loss(MbProvider* p, Device* d, int lost_errno) {
  std::string why = modbus_strerror(lost_errno);
  modbus_close(d->ctx);
  d->connected = false;
  int err = 0;
  if (connect_once(d, &err)) {
    link_up(p, d);
    return true;
  }
  d->backoff_ms = d->config.retry_min_ms;
  schedule_retry(d);
  set_link_state(p, d, LinkState::kDown,
                 "connection lost (" + why + "), cannot connect again: " + modbus_strerror(err) +
                     " (requests get error 0x201/0x202; retrying)");
  return false;
}

// Runs a job on a connected device: the exchange, one more try on a new
// connection when the old one broke, and the bookkeeping of timeouts.
IoResult run_job(MbProvider* p, Device* d, const Job& job, Answer* a) {
  IoResult r = execute(p, d, job, a);
  // Modbus writes set values, so a repeated write does no harm.
  if (r.code == MB_ERR_CONNECTION_LOST && reconnect_after_loss(p, d, r.err)) {
    r = execute(p, d, job, a);
  }
  if (r.code == MB_ERR_TIMEOUT) {
    modbus_flush(d->ctx);
    ++d->timeouts_in_row;
    uint32_t limit = d->config.timeouts_before_reconnect;
    if (limit != 0 && d->timeouts_in_row >= limit && d->connected) {
      modbus_close(d->ctx);
      d->connected = false;
      d->backoff_ms = d->config.retry_min_ms;
      schedule_retry(d);
      set_link_state(p, d, LinkState::kDown,
                     "no answer to " + std::to_string(limit) +
                         " requests in a row (requests get error 0x200; reconnecting)");
    }
  } else if (r.code == MB_ERR_BAD_RESPONSE) {
    modbus_flush(d->ctx);
  } else if (d->connected) {
    d->timeouts_in_row = 0;
  }
  return r;
}

// The answer to a job: `a` as execute filled it, or the error reply of `r`.
Answer build_reply(MbProvider* p, const Job& job, const IoResult& r, Answer a, bool read_ahead) {
  const MbSourceConfig& s = p->sources[job.source].config;
  int source = static_cast<int>(job.source);
  if (r.code != 0) {
    Answer e = error_answer(reply_kind(job), job.key, job.station, source, r.code);
    if (p->trace_requests) e.note += " " + job_note(job, s);
    return e;
  }
  a.send = true;
  a.key = job.key;
  a.station = job.station;
  a.source = source;
  if (p->trace_requests) {
    a.note = job_note(job, s) + (read_ahead ? " (read ahead)" : "") +
             (job.forced ? " (data-source tag forced)" : "");
  }
  return a;
}

// Takes the source's finished read ahead when it answers `job`: a good
// result of the same range, started within the window before the request
// came, and no write to the device since it started. A read ahead that does
// not fit is dropped. Device mutex held.
bool take_read_ahead(Device* d, ReadAhead* ra, const Job& job, IoResult* r, Answer* a) {
  if (ra->state != AheadState::kDone) return false;
  ra->state = AheadState::kIdle;
  if (ra->result.code != 0 || ra->start != job.start || ra->count != job.count ||
      ra->epoch != d->write_epoch || job.queued - ra->started > d->window) {
    return false;
  }
  *r = ra->result;
  *a = std::move(ra->answer);
  return true;
}

void begin_read_ahead(Device* d, ReadAhead* ra, uint16_t start, uint16_t count) {
  ra->start = start;
  ra->count = count;
  ra->started = Clock::now();
  ra->epoch = d->write_epoch;
}

// Read data of a source is going out (device mutex held; the caller is free
// to use the connection). A source read back to back gets its next read
// started: its request sent now when one request reads the range, else the
// worker is asked to make it.
void answered_read(MbProvider* p, Device* d, ReadAhead* ra, const Job& job) {
  ra->last_answer = Clock::now();
  if (!ra->back_to_back || d->window.count() == 0) return;
  const MbSourceConfig& s = p->sources[job.source].config;
  if (d->connected && d->in_flight < 0 && one_request(*d, s, job.count) &&
      send_read(p, d, s, job.start, job.count).code == 0) {
    begin_read_ahead(d, ra, job.start, job.count);
    ra->state = AheadState::kInFlight;
    d->in_flight = static_cast<int>(p->sources[job.source].slot);
    return;
  }
  ra->wanted = true;
  ra->start = job.start;
  ra->count = job.count;
}

ReadAhead* read_ahead_of(MbProvider* p, Device* d, const Job& job) {
  return job.write ? nullptr : &d->ahead[p->sources[job.source].slot];
}

// Serves one job on a connected device and sends its answer.
void serve(MbProvider* p, Device* d, const Job& job) {
  Answer a;
  IoResult r;
  ReadAhead* ra = read_ahead_of(p, d, job);
  bool ahead = false;
  if (ra) {
    std::lock_guard<std::mutex> lock(d->mutex);
    ahead = take_read_ahead(d, ra, job, &r, &a);
  }
  if (ahead) {
    ++p->read_ahead_used;
  } else {
    r = run_job(p, d, job, &a);
  }
  Answer reply = build_reply(p, job, r, std::move(a), ahead);
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (ra && r.code == 0) {
      // The next read starts before QUANTREL has this answer.
      answered_read(p, d, ra, job);
    } else if (ra) {
      ra->last_answer = Clock::now();  // a failing read is not read ahead
    } else {
      ++d->write_epoch;
    }
  }
  send_answer(p, reply);
}

// Receives the answer of the read ahead in flight.
void complete_in_flight(MbProvider* p, Device* d, size_t slot) {
  const MbSourceConfig& s = p->sources[d->sources[slot]].config;
  uint16_t start = 0, count = 0;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    start = d->ahead[slot].start;
    count = d->ahead[slot].count;
  }
  Answer a;
  IoResult r = receive_read(d, s, count);
  if (r.code == 0) {
    read_answer(*d, s, start, count, &a);
    d->timeouts_in_row = 0;
  } else if (r.code == MB_ERR_CONNECTION_LOST) {
    reconnect_after_loss(p, d, r.err);
  } else {
    modbus_flush(d->ctx);
    if (r.code == MB_ERR_TIMEOUT) ++d->timeouts_in_row;
  }
  std::lock_guard<std::mutex> lock(d->mutex);
  ReadAhead& ra = d->ahead[slot];
  d->in_flight = -1;
  ra.state = AheadState::kDone;
  ra.result = r;
  ra.answer = std::move(a);
}

// The read ahead the worker is to make next, as a job (device mutex held).
bool pick_read_ahead(MbProvider* p, Device* d, Job* job) {
  const Clock::time_point now = Clock::now();
  for (size_t i = 0; i < d->ahead.size(); ++i) {
    ReadAhead& ra = d->ahead[i];
    if (!ra.wanted) continue;
    ra.wanted = false;
    if (now - ra.last_answer > d->window) continue;  // no longer read back to back
    job->source = d->sources[i];
    job->start = ra.start;
    job->count = ra.count;
    job->key = p->sources[job->source].tag;
    job->queued = now;
    ra.state = AheadState::kIdle;
    begin_read_ahead(d, &ra, ra.start, ra.count);
    return true;
  }
  return false;
}

bool read_ahead_wanted(const Device& d) {
  for (const ReadAhead& ra : d.ahead) {
    if (ra.wanted) return true;
  }
  return false;
}

void run_read_ahead(MbProvider* p, Device* d, const Job& job) {
  Answer a;
  IoResult r = run_job(p, d, job, &a);
  std::lock_guard<std::mutex> lock(d->mutex);
  ReadAhead& ra = d->ahead[p->sources[job.source].slot];
  ra.state = AheadState::kDone;
  ra.result = r;
  ra.answer = std::move(a);
}

// Answers every job with the error of a device that cannot be reached.
void refuse_all(MbProvider* p, std::deque<Job>* jobs, uint16_t code) {
  for (const Job& job : *jobs) {
    send_answer(
        p, error_answer(reply_kind(job), job.key, job.station, static_cast<int>(job.source), code));
  }
  jobs->clear();
}

void worker_main(MbProvider* p, Device* d) {
  try_connect(p, d);
  for (;;) {
    Job job;
    bool ahead = false;
    {
      std::unique_lock<std::mutex> lock(d->mutex);
      if (p->stopping) return;
      if (d->in_flight >= 0) {
        size_t slot = static_cast<size_t>(d->in_flight);
        lock.unlock();
        complete_in_flight(p, d, slot);
        continue;
      }
      if (!d->connected && Clock::now() < d->next_attempt) {
        // Requests wait for the next attempt: a continuous read of an absent
        // device goes at the pace of the back-off.
        d->cond.wait_until(lock, d->next_attempt, [p] { return p->stopping.load(); });
        continue;
      }
      if (!d->connected) {
        lock.unlock();
        if (!try_connect(p, d)) {
          std::deque<Job> waiting;
          lock.lock();
          waiting.swap(d->queue);
          lock.unlock();
          refuse_all(p, &waiting, MB_ERR_NOT_CONNECTED);
        }
        continue;
      }
      if (!d->queue.empty()) {
        job = std::move(d->queue.front());
        d->queue.pop_front();
      } else if (pick_read_ahead(p, d, &job)) {
        ahead = true;
      } else {
        // Idle: the main thread may start a read ahead on the connection meanwhile.
        d->worker_idle = true;
        d->cond.wait(lock, [p, d] {
          return p->stopping.load() || !d->queue.empty() || read_ahead_wanted(*d) ||
                 d->in_flight >= 0;
        });
        d->worker_idle = false;
        continue;
      }
    }
    if (ahead) {
      run_read_ahead(p, d, job);
    } else {
      serve(p, d, job);
    }
  }
}

// Hands a job to its device's worker. A read whose read ahead has finished
// is answered here at once; when the worker is idle the next read ahead's
// request goes out from here too, and the worker receives its answer.
void enqueue(MbProvider* p, Job job) {
  Device* d = p->devices[p->sources[job.source].config.device].get();
  job.queued = Clock::now();
  Answer a;
  IoResult r;
  bool ahead = false;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    ReadAhead* ra = read_ahead_of(p, d, job);
    if (ra) {
      ra->back_to_back = job.queued - ra->last_answer <= d->window;
      if (d->queue.empty() && take_read_ahead(d, ra, job, &r, &a)) {
        ahead = true;
        if (d->worker_idle) {
          answered_read(p, d, ra, job);
        } else {
          ra->last_answer = Clock::now();
          ra->wanted = ra->back_to_back && d->window.count() != 0;
        }
      }
    }
    if (!ahead) d->queue.push_back(job);
  }
  d->cond.notify_one();
  if (!ahead) return;
  ++p->read_ahead_used;
  send_answer(p, build_reply(p, job, r, std::move(a), true));
}

// ---- Requests (main thread) -------------------------------------------------------------------

int find_by_name(const MbProvider& p, const std::string& name) {
  for (size_t i = 0; i < p.sources.size(); ++i) {
    if (p.sources[i].config.name == name) return static_cast<int>(i);
  }
  return -1;
}

int find_by_key(const MbProvider& p, TagRef key) {
  for (size_t i = 0; i < p.sources.size(); ++i) {
    const Source& s = p.sources[i];
    if ((s.has_tag && tag_ref_equal(s.tag, key)) ||
        (s.has_query_key && tag_ref_equal(s.query_key, key)) ||
        (!p.own_station && tag_ref_equal(s.remote_key, key))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

Answer answer_query(MbProvider* p, const MbxMessage& m, const uint8_t* data, uint16_t length) {
  if (length < MB_HEADER_SIZE) {
    return error_answer(SIM_KIND_QUERY_REPLY, m.key, m.station, -1, MB_ERR_MALFORMED);
  }
  MbHeader h = mb_header_read(data, (m.control & CTRL_SWAPPED) != 0);
  if (h.count > length - MB_HEADER_SIZE) {
    return error_answer(SIM_KIND_QUERY_REPLY, m.key, m.station, -1, MB_ERR_MALFORMED);
  }
  std::string name(reinterpret_cast<const char*>(data + MB_HEADER_SIZE), h.count);
  while (!name.empty() && name.back() == '\0') name.pop_back();
  int index = find_by_name(*p, name);
  if (index < 0) {
    Answer a = error_answer(SIM_KIND_QUERY_REPLY, m.key, m.station, -1, MB_ERR_NO_SOURCE);
    a.note += ": \"" + name + "\"";
    return a;
  }
  Source& s = p->sources[index];
  s.has_query_key = true;
  s.query_key = m.key;
  Answer a;
  a.send = true;
  a.kind = SIM_KIND_QUERY_REPLY;
  a.key = answer_key(*p, s, &m.key);
  a.station = m.station;
  a.source = index;
  a.data.assign(MB_HEADER_SIZE, 0);
  mb_header_write(a.data.data(),
                  MbHeader{mb_source_flags(s.config), s.config.count, s.config.start, 0});
  a.data.insert(a.data.end(), s.config.name.begin(), s.config.name.end());
  a.note = std::string("(") + mb_table_name(s.config.table) + ")";
  return a;
}

// A read or write request: queued for its device, or refused at once.
void take_request(MbProvider* p, const MbxMessage& m, const uint8_t* data, uint16_t length,
                  bool write) {
  uint16_t reply = write ? SIM_KIND_WRITE_ACK : SIM_KIND_READ_DATA;
  int index = find_by_key(*p, m.key);
  if (index < 0) {
    send_answer(p, error_answer(reply, m.key, m.station, -1, MB_ERR_NO_SOURCE));
    return;
  }
  Source& s = p->sources[index];
  Job job;
  job.write = write;
  job.source = static_cast<size_t>(index);
  job.key = answer_key(*p, s, &m.key);
  job.station = m.station;
  if (length < MB_HEADER_SIZE) {
    send_answer(p, error_answer(reply, job.key, job.station, index, MB_ERR_MALFORMED));
    return;
  }
  MbHeader h = mb_header_read(data, (m.control & CTRL_SWAPPED) != 0);
  uint16_t code =
      write ? mb_plan_write(s.config, h, data + MB_HEADER_SIZE, length - MB_HEADER_SIZE, &job.plan)
            : mb_plan_read(s.config, h, &job.start, &job.count);
  if (code != 0) {
    send_answer(p, error_answer(reply, job.key, job.station, index, code));
    return;
  }
  job.header = h;
  enqueue(p, std::move(job));
}

std::string request_line(const MbProvider& p, const MbxMessage& m, const uint8_t* data,
                         uint16_t length) {
  std::string line = p.config.task + " < " + sim_kind_name(m.control & CTRL_KIND_MASK) +
                     " key=" + key_text(m.key) +
                     " station=" + std::to_string(m.control >> CTRL_STATION_SHIFT) + "/" +
                     std::to_string(m.station & BYTE_MASK) + " sender=" + std::to_string(m.sender) +
                     " len=" + std::to_string(length);
  if (length >= MB_HEADER_SIZE) {
    MbHeader h = mb_header_read(data, (m.control & CTRL_SWAPPED) != 0);
    line += " flags=" + hex4(h.flags) + " count=" + std::to_string(h.count) +
            " start=" + std::to_string(h.start) + " tt=" + hex4(h.transfer);
  }
  return line;
}

void handle_message(MbProvider* p, const MbxMessage& m, const uint8_t* data, uint16_t length) {
  if (p->trace_requests) emit(p, request_line(*p, m, data, length));
  switch (m.control & CTRL_KIND_MASK) {
    case SIM_KIND_QUERY:
      send_answer(p, answer_query(p, m, data, length));
      return;
    case SIM_KIND_READ:
      take_request(p, m, data, length, false);
      return;
    case SIM_KIND_WRITE:
      take_request(p, m, data, length, true);
      return;
    default:
      ++p->dropped;
      if (p->trace_requests)
        emit(p, p->config.task + " x " + sim_kind_name(m.control & CTRL_KIND_MASK) +
                    " dropped: not a request");
      return;
  }
}

// Takes every message out of the own mailbox and serves it. -1 with *error
// when the mailbox cannot be read.
int drain_mailbox(MbProvider* p, std::string* error) {
  for (;;) {
    MbxMessage m;
    memset(&m, 0, sizeof m);
    m.data = p->buffer.data();
    m.capacity = static_cast<uint16_t>(p->buffer.size());
    {
      std::lock_guard<std::mutex> lock(p->kernel);
      int count = 0;
      if (zq_count_mbx(p->id, p->mailbox, &count) != 0) {
        *error = std::string("cannot count the own mailbox: ") + zq_strerror(zq_errno(p->id));
        return -1;
      }
      if (count == 0) return 0;
      if (zq_read_mbx(p->id, p->id, p->mailbox, &m, 0) != 0) {
        *error = std::string("cannot read the own mailbox: ") + zq_strerror(zq_errno(p->id));
        return -1;
      }
    }
    ++p->received;
    uint16_t length = m.length <= m.capacity ? m.length : m.capacity;
    handle_message(p, m, p->buffer.data(), length);
  }
}

// A forced write of a data-source tag (own station): a read of the whole block.
void forced_read(MbProvider* p, size_t index) {
  ++p->forced;
  Source& s = p->sources[index];
  Job job;
  job.source = index;
  job.key = answer_key(*p, s, nullptr);
  job.station = p->config.quantrel_station;
  job.start = s.config.start;
  job.count = s.config.count;
  job.forced = true;
  enqueue(p, std::move(job));
}

int handle_change(MbProvider* p, uint32_t index, const ChangeRecord& record, std::string* error) {
  if (index >= p->wait_tags.size()) return 0;
  int source = p->wait_source[index];
  if (source < 0) return drain_mailbox(p, error) < 0 ? -1 : 0;
  if (change_record_int16(record) == 0) return 0;
  if (p->trace_requests)
    emit(p, p->config.task + " < " + p->sources[source].config.name + " forced");
  forced_read(p, static_cast<size_t>(source));
  return 0;
}

// ---- Set-up -----------------------------------------------------------------------------------

bool resolve_mailbox(const SimResolver& resolve, const std::string& name, const char* role,
                     TagRef* tag, std::string* error) {
  uint16_t type = 0;
  if (!resolve(name, tag)) {
    *error = std::string(role) + " '" + name + "' is not a tag of the application";
    return false;
  }
  if (zq_tag_info(tag, 1, &type, nullptr) != 0 || type != TAG_MAILBOX) {
    *error = std::string(role) + " '" + name + "' is not a mailbox tag of the database";
    return false;
  }
  return true;
}

void find_task_tags(MbProvider* p) {
  uint8_t block[ZQ_TASK_BLOCK_SIZE];
  if (zq_task_info(p->id, block) < 0) return;
  auto tag_at = [&block](size_t at) {
    return TagRef{static_cast<uint16_t>(block[at] | (block[at + 1] << BITS_PER_BYTE)),
                  static_cast<uint16_t>(block[at + 2] | (block[at + 3] << BITS_PER_BYTE))};
  };
  uint16_t type = 0;
  TagRef status = tag_at(ZQ_TB_STATUS_TAG);
  if (status.type != ZQ_TAGREF_UNSET && zq_tag_info(&status, 1, &type, nullptr) == 0 &&
      type != TAG_MESSAGE && type != TAG_MAILBOX) {
    p->has_status_tag = true;
    p->status_tag = status;
  }
  TagRef message = tag_at(ZQ_TB_MESSAGE_TAG);
  if (message.type != ZQ_TAGREF_UNSET && zq_tag_info(&message, 1, &type, nullptr) == 0 &&
      type == TAG_MESSAGE) {
    p->has_message_tag = true;
    p->message_tag = message;
  }
}

bool setup_device(const MbDeviceConfig& c, Device* d, std::string* error) {
  d->config = c;
  d->label = c.name + " (" + c.host + ":" + std::to_string(c.port) + " unit " +
             std::to_string(c.unit_id) + ")";
  d->backoff_ms = c.retry_min_ms;
  d->mask_write = c.mask_write;
  std::string port = std::to_string(c.port);
  d->ctx = modbus_new_tcp_pi(c.host.c_str(), port.c_str());
  if (!d->ctx) {
    *error = "device " + c.name + ": " + modbus_strerror(errno);
    return false;
  }
  uint32_t timeout_s = c.response_timeout_ms / MS_PER_S;
  uint32_t timeout_us = (c.response_timeout_ms % MS_PER_S) * US_PER_MS;
  if (modbus_set_slave(d->ctx, c.unit_id) != 0 ||
      modbus_set_response_timeout(d->ctx, timeout_s, timeout_us) != 0) {
    *error = "device " + c.name + ": " + modbus_strerror(errno);
    return false;
  }
  return true;
}

void stop_workers(MbProvider* p) {
  p->stopping = true;
  for (auto& d : p->devices) {
    { std::lock_guard<std::mutex> lock(d->mutex); }
    d->cond.notify_all();
  }
  for (auto& d : p->devices) {
    if (d->thread.joinable()) d->thread.join();
  }
}

void publish_stopped(MbProvider* p) {
  std::lock_guard<std::mutex> lock(p->kernel);
  for (const Source& s : p->sources) {
    if (s.has_state_tag) write_number(p, s.state_tag, MB_STATE_STOPPED);
  }
  if (p->has_status_tag) write_number(p, p->status_tag, MB_TASK_STOPPED);
  write_message(p, "stopped");
}

}  // namespace

MbProvider* mb_provider_create(const MbConfig& config, int id, const SimResolver& resolve,
                               MbTraceSink sink, bool trace_requests, std::string* error) {
  auto p = std::make_unique<MbProvider>();
  p->config = config;
  p->id = id;
  p->own_station = config.station == config.quantrel_station;
  p->sink = std::move(sink);
  p->trace_requests = trace_requests;
  p->buffer.assign(RECEIVE_BUFFER, 0);
  if (!resolve_mailbox(resolve, config.mailbox, "mailbox", &p->mailbox, error) ||
      !resolve_mailbox(resolve, config.quantrel_mailbox, "quantrel_mailbox", &p->quantrel_mailbox,
                       error)) {
    return nullptr;
  }
  p->wait_tags.push_back(p->mailbox);
  p->wait_source.push_back(-1);
  for (const MbDeviceConfig& c : config.devices) {
    auto d = std::make_unique<Device>();
    if (!setup_device(c, d.get(), error)) {
      if (d->ctx) modbus_free(d->ctx);
      mb_provider_destroy(p.release());
      return nullptr;
    }
    p->devices.push_back(std::move(d));
  }
  for (size_t i = 0; i < config.sources.size(); ++i) {
    const MbSourceConfig& c = config.sources[i];
    Source s;
    s.config = c;
    s.has_tag = resolve(c.name, &s.tag) && zq_tag_info(&s.tag, 1, nullptr, nullptr) == 0;
    if (!s.has_tag && p->own_station) {
      *error = "data source '" + c.name +
               "' is not a tag of the application; on QUANTREL's station the provider watches "
               "that tag for read requests";
      mb_provider_destroy(p.release());
      return nullptr;
    }
    s.remote_key = TagRef{MB_REMOTE_KEY_TYPE, static_cast<uint16_t>(i + 1)};
    if (!c.state_tag.empty()) {
      uint16_t type = 0;
      if (!resolve(c.state_tag, &s.state_tag) ||
          zq_tag_info(&s.state_tag, 1, &type, nullptr) != 0 || type == TAG_MESSAGE ||
          type == TAG_MAILBOX) {
        *error = "state_tag '" + c.state_tag + "' of data source '" + c.name +
                 "' is not a numeric tag of the application";
        mb_provider_destroy(p.release());
        return nullptr;
      }
      s.has_state_tag = true;
    }
    if (p->own_station) {
      p->wait_tags.push_back(s.tag);
      p->wait_source.push_back(static_cast<int>(i));
    }
    s.slot = p->devices[c.device]->sources.size();
    p->devices[c.device]->sources.push_back(i);
    p->sources.push_back(std::move(s));
  }
  for (auto& d : p->devices) {
    d->ahead.resize(d->sources.size());
    d->window = std::chrono::milliseconds(d->config.read_ahead_ms);
  }
  find_task_tags(p.get());
  return p.release();
}

int mb_provider_run(MbProvider* p, std::string* error) {
  {
    std::lock_guard<std::mutex> lock(p->kernel);
    if (zq_signal_setup(p->id, MB_STOP_SIGNAL, ZQ_SIGNAL_ENABLE) != 0) {
      *error = std::string("cannot enable signals: ") + zq_strerror(zq_errno(p->id));
      return MB_RUN_FAILED;
    }
    if (p->has_status_tag) write_number(p, p->status_tag, MB_TASK_RUNNING);
  }
  for (auto& d : p->devices) d->thread = std::thread(worker_main, p, d.get());
  int result = MB_RUN_STOPPED;
  // Requests sent before the provider attached are waiting already.
  if (drain_mailbox(p, error) < 0) result = MB_RUN_FAILED;
  uint32_t index = 0;
  int unexplained = 0;
  ChangeRecord record;
  while (result == MB_RUN_STOPPED) {
    if (p->interrupted || zq_term_requested(p->id) == 1) break;
    change_record_prepare(&record, nullptr, 0);
    int rc = zq_change_wait(p->id, p->wait_tags.data(), static_cast<uint32_t>(p->wait_tags.size()),
                            &index, &record);
    if (rc == 0) {
      unexplained = 0;
      if (handle_change(p, index, record, error) != 0) result = MB_RUN_FAILED;
      ++index;  // the next wait looks at the other tags first
      continue;
    }
    int err = zq_errno(p->id);
    if (err == ZQ_ESTOP) break;
    if (err == ZQ_EINTR) {
      std::lock_guard<std::mutex> lock(p->kernel);
      while (zq_get_signal(p->id) > 0) {
      }
      continue;
    }
    // A worker's failing kernel call may have replaced the wait's error
    // number; only a repeated failure ends the task.
    if (++unexplained >= MAX_UNEXPLAINED_WAIT_ERRORS) {
      *error = std::string("change wait failed: ") + zq_strerror(err);
      result = MB_RUN_FAILED;
    }
  }
  stop_workers(p);
  publish_stopped(p);
  return result;
}

void mb_provider_interrupt(MbProvider* p) {
  p->interrupted = true;
  std::lock_guard<std::mutex> lock(p->kernel);
  zq_send_signal(p->id, p->config.task.c_str(), MB_STOP_SIGNAL);
}

MbCounters mb_provider_counters(const MbProvider* p) {
  MbCounters c;
  c.received = p->received;
  c.forced = p->forced;
  c.answered = p->answered;
  c.errors = p->errors;
  c.dropped = p->dropped;
  c.send_failures = p->send_failures;
  c.modbus_requests = p->modbus_requests;
  c.read_ahead_used = p->read_ahead_used;
  return c;
}

void mb_provider_destroy(MbProvider* p) {
  if (!p) return;
  stop_workers(p);
  for (auto& d : p->devices) {
    if (d->ctx) {
      modbus_close(d->ctx);
      modbus_free(d->ctx);
      d->ctx = nullptr;
    }
  }
  delete p;
}
