// zq sim: answering QUANTREL's requests from the simulated memories.
#include "tools/sim_provider.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "config/object_table.h"

namespace {

constexpr unsigned BITS_PER_BYTE = 8;
constexpr uint16_t ERROR_REPLY_UNIT = 2;   // error replies: unit size 2,
constexpr uint16_t ERROR_REPLY_COUNT = 2;  // count 2, code at data offset 0
constexpr size_t ERROR_REPLY_BYTES = SIM_HEADER_SIZE + ERROR_REPLY_UNIT * ERROR_REPLY_COUNT;
constexpr size_t RECEIVE_BUFFER = 0xFFFF;  // the largest message a descriptor can describe
constexpr uint16_t BYTE_MASK = 0xFF;

uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << BITS_PER_BYTE));
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> BITS_PER_BYTE);
}
uint16_t swap16(uint16_t v) {
  return static_cast<uint16_t>((v << BITS_PER_BYTE) | (v >> BITS_PER_BYTE));
}

struct Header {
  uint16_t flags = 0;
  uint16_t count = 0;
  uint16_t start = 0;
  uint16_t transfer = 0;
};

Header read_header(const uint8_t* p, bool swapped) {
  Header h{get16(p + SIM_HDR_FLAGS), get16(p + SIM_HDR_COUNT), get16(p + SIM_HDR_START),
           get16(p + SIM_HDR_TRANSFER)};
  if (swapped) {
    h.flags = swap16(h.flags);
    h.count = swap16(h.count);
    h.start = swap16(h.start);
    h.transfer = swap16(h.transfer);
  }
  return h;
}

void write_header(std::vector<uint8_t>* out, const Header& h) {
  out->resize(out->size() < SIM_HEADER_SIZE ? SIM_HEADER_SIZE : out->size());
  uint8_t* p = out->data();
  put16(p + SIM_HDR_FLAGS, h.flags);
  put16(p + SIM_HDR_COUNT, h.count);
  put16(p + SIM_HDR_START, h.start);
  put16(p + SIM_HDR_TRANSFER, h.transfer);
}

uint8_t unit_of(uint16_t flags) {
  return static_cast<uint8_t>(flags >> SIM_FLAG_UNIT_SHIFT);
}

// The header flags of a data source's messages.
uint16_t source_flags(const SimSourceConfig& c) {
  uint16_t f = SIM_FLAG_FORMAT;
  if (c.byte_swap) f |= SIM_FLAG_BYTE_SWAP;
  if (c.low_bit_first) f |= SIM_FLAG_LOW_BIT_FIRST;
  if (c.flag_bit10) f |= SIM_FLAG_BIT10;
  if (c.one_based_bits) f |= SIM_FLAG_ONE_BASED;
  return static_cast<uint16_t>(f | (c.unit_size << SIM_FLAG_UNIT_SHIFT));
}

std::string key_text(TagRef k) {
  return std::to_string(k.type) + "/" + std::to_string(k.index);
}

std::string hex4(uint16_t v) {
  char text[8];
  snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

const char* error_text(uint16_t code) {
  switch (code) {
    case SIM_ERR_NO_SOURCE:
      return "no such data source";
    case SIM_ERR_MALFORMED:
      return "malformed request";
    case SIM_ERR_RANGE:
      return "addresses outside the block";
    case SIM_ERR_FORM:
      return "transfer_type not served";
    case SIM_ERR_UNIT:
      return "unit size differs from the block's";
    default:
      return "configured error";
  }
}

bool ranges_overlap(uint32_t a_first, uint32_t a_count, uint32_t b_first, uint32_t b_last) {
  uint32_t a_last = a_first + (a_count == 0 ? 0 : a_count - 1);
  return a_first <= b_last && b_first <= a_last;
}

// Counts a served request and returns the code of the first error rule that
// fires for it (0 = none). [first, first + count) are the addresses it touches.
uint16_t count_and_inject(SimSource* s, SimRequestKind kind, uint32_t first, uint32_t count) {
  uint32_t n = ++s->requests[kind];
  for (const SimErrorRule& r : s->config.errors) {
    if (r.request != kind) continue;
    if (r.every != 0 && n % r.every != 0) continue;
    if (r.has_range && !ranges_overlap(first, count, r.first, r.last)) continue;
    return r.code;
  }
  return 0;
}

// The key an answer about the source carries: on the own station the key the
// request came with (or, unasked, the data-source tag); on another station
// the sim's own key, which QUANTREL learned from the query reply.
TagRef answer_key(const Sim& sim, const SimSource& s, const TagRef* request_key) {
  if (!sim.own_station) return s.remote_key;
  if (request_key) return *request_key;
  return s.has_query_key ? s.query_key : s.tag;
}

SimAnswer error_answer(uint16_t reply_kind, TagRef key, uint16_t station, int source,
                       uint16_t code) {
  SimAnswer a;
  a.send = true;
  a.kind = static_cast<uint16_t>(reply_kind | SIM_KIND_ERROR_BIT);
  a.key = key;
  a.station = station;
  a.source = source;
  a.data.assign(ERROR_REPLY_BYTES, 0);
  Header h;
  h.flags = static_cast<uint16_t>(SIM_FLAG_FORMAT | (ERROR_REPLY_UNIT << SIM_FLAG_UNIT_SHIFT));
  h.count = ERROR_REPLY_COUNT;
  write_header(&a.data, h);
  put16(a.data.data() + SIM_HEADER_SIZE, code);
  a.note = "code " + std::to_string(code) + " (" + error_text(code) + ")";
  return a;
}

// The block bytes of units [i, i + count) of the memory, as read data carries them.
std::vector<uint8_t> block_bytes(const SimMemory& m, uint32_t i, uint16_t count) {
  std::vector<uint8_t> out(sim_block_bytes(count, m.unit_size), 0);
  if (m.unit_size == 0) {
    for (uint32_t j = 0; j < count; ++j) {
      if (!sim_memory_bit(m, i + j)) continue;
      out[j / BITS_PER_BYTE] |=
          static_cast<uint8_t>(sim_bit_mask(m.low_bit_first, j % BITS_PER_BYTE, BITS_PER_BYTE));
    }
    return out;
  }
  memcpy(out.data(), m.bytes.data() + size_t{i} * m.unit_size, out.size());
  return out;
}

SimAnswer data_answer(uint16_t kind, const SimSource& s, TagRef key, uint16_t station, int source,
                      uint16_t start, uint16_t count) {
  SimAnswer a;
  a.send = true;
  a.kind = kind;
  a.key = key;
  a.station = station;
  a.source = source;
  Header h{source_flags(s.config), count, start, 0};
  write_header(&a.data, h);
  std::vector<uint8_t> bytes = block_bytes(s.memory, uint32_t{start} - s.memory.start, count);
  a.data.insert(a.data.end(), bytes.begin(), bytes.end());
  return a;
}

bool inside(const SimMemory& m, uint32_t start, uint32_t count) {
  return start >= m.start && start - m.start + count <= m.count;
}

int find_by_name(const Sim& sim, const std::string& name) {
  for (size_t i = 0; i < sim.sources.size(); ++i) {
    if (sim.sources[i].config.name == name) return static_cast<int>(i);
  }
  return -1;
}

int find_by_key(const Sim& sim, TagRef key) {
  for (size_t i = 0; i < sim.sources.size(); ++i) {
    const SimSource& s = sim.sources[i];
    if ((s.has_tag && tag_ref_equal(s.tag, key)) ||
        (s.has_query_key && tag_ref_equal(s.query_key, key)) ||
        (!sim.own_station && tag_ref_equal(s.remote_key, key))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// ---- Requests ----------------------------------------------------------------------------

SimAnswer answer_query(Sim* sim, const MbxMessage& m, const uint8_t* data, uint16_t length) {
  if (length < SIM_HEADER_SIZE) {
    return error_answer(SIM_KIND_QUERY_REPLY, m.key, m.station, -1, SIM_ERR_MALFORMED);
  }
  Header h = read_header(data, (m.control & SIM_CTRL_SWAPPED) != 0);
  if (h.count > length - SIM_HEADER_SIZE) {
    return error_answer(SIM_KIND_QUERY_REPLY, m.key, m.station, -1, SIM_ERR_MALFORMED);
  }
  std::string name(reinterpret_cast<const char*>(data + SIM_HEADER_SIZE), h.count);
  while (!name.empty() && name.back() == '\0') name.pop_back();
  int index = find_by_name(*sim, name);
  if (index < 0) {
    SimAnswer a = error_answer(SIM_KIND_QUERY_REPLY, m.key, m.station, -1, SIM_ERR_NO_SOURCE);
    a.note += ": \"" + name + "\"";
    return a;
  }
  SimSource& s = sim->sources[index];
  s.has_query_key = true;
  s.query_key = m.key;
  TagRef key = answer_key(*sim, s, &m.key);
  uint16_t code = count_and_inject(&s, SIM_REQ_QUERY, s.memory.start, s.memory.count);
  if (code != 0) return error_answer(SIM_KIND_QUERY_REPLY, key, m.station, index, code);
  s.answered_query = true;
  SimAnswer a;
  a.send = true;
  a.kind = SIM_KIND_QUERY_REPLY;
  a.key = key;
  a.station = m.station;
  a.source = index;
  write_header(&a.data, Header{source_flags(s.config), s.memory.count, s.memory.start, 0});
  a.data.insert(a.data.end(), s.config.provider_name.begin(), s.config.provider_name.end());
  a.note = "name \"" + s.config.provider_name + "\"";
  return a;
}

SimAnswer answer_read(Sim* sim, const MbxMessage& m, const uint8_t* data, uint16_t length) {
  int index = find_by_key(*sim, m.key);
  if (index < 0) {
    return error_answer(SIM_KIND_READ_DATA, m.key, m.station, -1, SIM_ERR_NO_SOURCE);
  }
  SimSource& s = sim->sources[index];
  TagRef key = answer_key(*sim, s, &m.key);
  if (length < SIM_HEADER_SIZE) {
    return error_answer(SIM_KIND_READ_DATA, key, m.station, index, SIM_ERR_MALFORMED);
  }
  Header h = read_header(data, (m.control & SIM_CTRL_SWAPPED) != 0);
  if (h.count == 0) {
    h.start = s.memory.start;
    h.count = s.memory.count;
  }
  if (!inside(s.memory, h.start, h.count)) {
    return error_answer(SIM_KIND_READ_DATA, key, m.station, index, SIM_ERR_RANGE);
  }
  uint16_t code = count_and_inject(&s, SIM_REQ_READ, h.start, h.count);
  if (code != 0) return error_answer(SIM_KIND_READ_DATA, key, m.station, index, code);
  return data_answer(SIM_KIND_READ_DATA, s, key, m.station, index, h.start, h.count);
}

// A write of one value narrower than or as wide as a unit: which bits of the
// unit it replaces (mask), and from which bit on.
struct Part {
  uint64_t mask = 0;
  unsigned shift = 0;
  unsigned size = 0;  // bytes of the form; 0 = a bit
};

// The form of a transfer_type; false when the simulator does not serve it.
bool form_of(uint16_t transfer, unsigned* size) {
  if (transfer >= SIM_TT_BIT && transfer < SIM_TT_BIT_END) {
    *size = 0;
  } else if (transfer < SIM_TT_WORD) {
    *size = 1;
  } else if (transfer < SIM_TT_LONG) {
    *size = 2;
  } else if (transfer < SIM_TT_QUAD) {
    *size = 4;
  } else if (transfer == SIM_TT_QUAD) {
    *size = 8;
  } else {
    return false;
  }
  return true;
}

uint64_t low_mask(unsigned bytes) {
  return bytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (bytes * BITS_PER_BYTE)) - 1;
}

// Applies a write request to the memory. Returns 0 or a SIM_ERR_* code; the
// memory is changed only when the result is 0 and `apply` is set.
uint16_t write_request(SimSource* s, const Header& h, const uint8_t* payload, size_t available,
                       bool apply, uint32_t* first, uint32_t* units) {
  SimMemory& m = s->memory;
  *first = h.start;
  if (h.transfer == SIM_TT_WHOLE_UNITS) {
    *units = h.count;
    if (h.count == 0) return SIM_ERR_MALFORMED;
    if (!inside(m, h.start, h.count)) return SIM_ERR_RANGE;
    size_t need = m.unit_size == 0 ? (h.count + BITS_PER_BYTE - 1) / BITS_PER_BYTE
                                   : size_t{h.count} * m.unit_size;
    if (available < need) return SIM_ERR_MALFORMED;
    if (!apply) return 0;
    uint32_t i = uint32_t{h.start} - m.start;
    if (m.unit_size == 0) {
      for (uint32_t j = 0; j < h.count; ++j) {
        uint8_t mask =
            static_cast<uint8_t>(sim_bit_mask(m.low_bit_first, j % BITS_PER_BYTE, BITS_PER_BYTE));
        sim_memory_set_bit(&m, i + j, (payload[j / BITS_PER_BYTE] & mask) != 0);
      }
    } else {
      memcpy(m.bytes.data() + size_t{i} * m.unit_size, payload, need);
    }
    return 0;
  }
  unsigned size = 0;
  if (!form_of(h.transfer, &size) || m.unit_size == 0) return SIM_ERR_FORM;
  const bool untyped = (h.flags & SIM_FLAG_UNTYPED) != 0;
  const unsigned unit = m.unit_size;
  // An untyped value as wide as a unit or wider is whole units in block form.
  if (untyped && size >= unit) {
    Header whole = h;
    whole.transfer = SIM_TT_WHOLE_UNITS;
    if (whole.count == 0) whole.count = static_cast<uint16_t>(size / unit);
    return write_request(s, whole, payload, available, apply, first, units);
  }
  *units = 1;
  if (!inside(m, h.start, 1)) return SIM_ERR_RANGE;
  Part part;
  part.size = size;
  if (size == 0) {
    unsigned bit = h.transfer - SIM_TT_BIT;
    part.mask = sim_bit_mask(m.low_bit_first, bit, unit * BITS_PER_BYTE);
    if (part.mask == 0) return SIM_ERR_RANGE;
  } else if (size > unit) {
    return SIM_ERR_FORM;  // a typed value wider than a unit travels as whole units
  } else {
    if (h.transfer == SIM_TT_HIGH_BYTE) {
      if (unit < 2) return SIM_ERR_FORM;
      part.shift = BITS_PER_BYTE;
    }
    part.mask = low_mask(size) << part.shift;
  }
  if (available < unit) return SIM_ERR_MALFORMED;
  if (!apply) return 0;
  uint32_t i = uint32_t{h.start} - m.start;
  uint64_t current = sim_memory_unit(m, i);
  uint64_t incoming = 0;
  if (untyped) {
    // Block form: the unit in the device's byte order, the value in its place.
    incoming = sim_load(payload, unit, m.byte_swap);
    if (size == 0) incoming = (incoming & part.mask) != 0 ? part.mask : 0;
  } else {
    // Typed: the value as a little-endian number as wide as a unit.
    uint64_t value = sim_load(payload, unit, false);
    incoming = size == 0 ? (value != 0 ? part.mask : 0) : (value << part.shift);
  }
  sim_memory_set_unit(&m, i, (current & ~part.mask) | (incoming & part.mask));
  return 0;
}

SimAnswer answer_write(Sim* sim, const MbxMessage& m, const uint8_t* data, uint16_t length) {
  int index = find_by_key(*sim, m.key);
  if (index < 0) {
    return error_answer(SIM_KIND_WRITE_ACK, m.key, m.station, -1, SIM_ERR_NO_SOURCE);
  }
  SimSource& s = sim->sources[index];
  TagRef key = answer_key(*sim, s, &m.key);
  if (length < SIM_HEADER_SIZE) {
    return error_answer(SIM_KIND_WRITE_ACK, key, m.station, index, SIM_ERR_MALFORMED);
  }
  Header h = read_header(data, (m.control & SIM_CTRL_SWAPPED) != 0);
  if (unit_of(h.flags) != s.config.unit_size) {
    return error_answer(SIM_KIND_WRITE_ACK, key, m.station, index, SIM_ERR_UNIT);
  }
  const uint8_t* payload = data + SIM_HEADER_SIZE;
  size_t available = length - SIM_HEADER_SIZE;
  uint32_t first = 0, units = 0;
  uint16_t code = write_request(&s, h, payload, available, false, &first, &units);
  if (code != 0) return error_answer(SIM_KIND_WRITE_ACK, key, m.station, index, code);
  code = count_and_inject(&s, SIM_REQ_WRITE, first, units);
  if (code != 0) return error_answer(SIM_KIND_WRITE_ACK, key, m.station, index, code);
  write_request(&s, h, payload, available, true, &first, &units);
  SimAnswer a;
  a.send = true;
  a.kind = SIM_KIND_WRITE_ACK;
  a.key = key;
  a.station = m.station;
  a.source = index;
  h.flags = static_cast<uint16_t>((h.flags & ~SIM_FLAG_FORMAT_MASK) | SIM_FLAG_FORMAT);
  write_header(&a.data, h);
  a.note = "wrote " + std::to_string(units) + (s.memory.unit_size == 0 ? " bit(s)" : " unit(s)") +
           " at " + std::to_string(first);
  return a;
}

std::string request_line(const Sim& sim, const MbxMessage& m, const uint8_t* data,
                         uint16_t length) {
  std::string line = sim.config.task + " < " + sim_kind_name(m.control & SIM_CTRL_KIND_MASK) +
                     " key=" + key_text(m.key) +
                     " station=" + std::to_string(m.control >> SIM_CTRL_STATION_SHIFT) + "/" +
                     std::to_string(m.station & BYTE_MASK) + " sender=" + std::to_string(m.sender) +
                     " len=" + std::to_string(length);
  if (length >= SIM_HEADER_SIZE) {
    Header h = read_header(data, (m.control & SIM_CTRL_SWAPPED) != 0);
    line += " flags=" + hex4(h.flags) + " count=" + std::to_string(h.count) +
            " start=" + std::to_string(h.start) + " tt=" + hex4(h.transfer);
  }
  return line;
}

void trace(const Sim& sim, const std::string& line) {
  if (sim.trace) sim.trace(line);
}

int write_state(Sim* sim, SimSource* s, uint16_t value) {
  uint16_t type = 0;
  if (zq_tag_info(&s->state_tag, 1, &type, nullptr) != 0) return zq_errno(sim->id);
  int rc = 0;
  if (type == TAG_LONG) {
    int32_t v = value;
    rc = zq_write(sim->id, &s->state_tag, 1, &v);
  } else if (type == TAG_FLOAT) {
    double v = value;
    rc = zq_write(sim->id, &s->state_tag, 1, &v);
  } else {
    int16_t v = static_cast<int16_t>(value);
    rc = zq_write(sim->id, &s->state_tag, 1, &v);
  }
  return rc == 0 ? 0 : zq_errno(sim->id);
}

// The numeric value of a changed data-source tag, whatever its type.
double record_value(const ChangeRecord& record) {
  switch (record.type) {
    case TAG_LONG:
      return change_record_int32(record);
    case TAG_FLOAT:
      return change_record_double(record);
    case TAG_DIGITAL:
    case TAG_ANALOG:
      return change_record_int16(record);
    default:
      return 0;  // a message tag carries no request
  }
}

std::string number_text(double v) {
  char text[32];
  snprintf(text, sizeof text, "%g", v);
  return text;
}

uint64_t steady_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Wakes the loop every period with the simulator's tick signal.
class Ticker {
 public:
  Ticker(int id, std::string task, uint32_t period_ms)
      : id_(id), task_(std::move(task)), period_(period_ms) {
    thread_ = std::thread([this] { run(); });
  }
  ~Ticker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cond_.notify_all();
    thread_.join();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!cond_.wait_for(lock, std::chrono::milliseconds(period_), [this] { return stop_; })) {
      zq_send_signal(id_, task_.c_str(), SIM_TICK_SIGNAL);
    }
  }
  int id_;
  std::string task_;
  uint32_t period_;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::thread thread_;
};

// The shortest period the loop must wake for: the tick or an unsolicited period.
uint32_t wake_period(const Sim& sim) {
  uint32_t p = sim.config.tick_ms;
  for (const SimSource& s : sim.sources) {
    if (s.config.unsolicited_ms != 0 && s.config.unsolicited_ms < p) p = s.config.unsolicited_ms;
  }
  return p < SIM_MIN_TICK_MS ? SIM_MIN_TICK_MS : p;
}

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

}  // namespace

const char* sim_kind_name(uint16_t kind) {
  static const char* const NAMES[] = {
      "query",   "query reply", "read",    "read data",     "write",   "write ack",
      "kind 6",  "unsolicited", "kind 8",  "query error",   "kind 10", "read error",
      "kind 12", "write error", "kind 14", "receive error",
  };
  return NAMES[kind & SIM_CTRL_KIND_MASK];
}

SimResolver sim_object_table_resolver(const std::string& app_dir) {
  return [app_dir](const std::string& text, TagRef* tag) {
    ObjectName name;
    object_name_reset(&name);
    if (object_name_parse(&name, text.c_str()) != OBJ_OK) return false;
    CtFile ct;
    if (object_table_open(&ct, app_dir.c_str()) != 0) return false;
    int rc = object_resolve(&name, &ct, tag);
    ct_close(&ct);
    return rc == OBJ_OK;
  };
}

bool sim_setup(Sim* sim, const SimConfig& config, int id, const SimResolver& resolve,
               std::string* error) {
  sim->config = config;
  sim->id = id;
  sim->own_station = config.station == config.quantrel_station;
  sim->sources.clear();
  sim->wait_tags.clear();
  sim->wait_source.clear();
  sim->counters = SimCounters{};
  sim->buffer.assign(RECEIVE_BUFFER, 0);
  sim_random_seed(&sim->random, config.seed);
  if (!resolve_mailbox(resolve, config.mailbox, "mailbox", &sim->mailbox, error) ||
      !resolve_mailbox(resolve, config.quantrel_mailbox, "quantrel_mailbox", &sim->quantrel_mailbox,
                       error)) {
    return false;
  }
  sim->wait_tags.push_back(sim->mailbox);
  sim->wait_source.push_back(-1);
  for (size_t i = 0; i < config.sources.size(); ++i) {
    const SimSourceConfig& c = config.sources[i];
    SimSource s;
    s.config = c;
    s.memory = sim_memory_make(c);
    sim_memory_apply_inits(&s.memory, c);
    s.movers = sim_movers_make(c.movers);
    s.has_tag = resolve(c.name, &s.tag) && zq_tag_info(&s.tag, 1, nullptr, nullptr) == 0;
    if (!s.has_tag && sim->own_station) {
      *error = "data source '" + c.name +
               "' is not a tag of the application; on QUANTREL's station the simulator "
               "watches that tag for read requests";
      return false;
    }
    s.remote_key = TagRef{SIM_DEFAULT_KEY_TYPE, static_cast<uint16_t>(i + 1)};
    if (c.has_remote_key) s.remote_key = c.remote_key;
    if (!c.remote_key_tag.empty() && !resolve(c.remote_key_tag, &s.remote_key)) {
      *error = "remote_key '" + c.remote_key_tag + "' of data source '" + c.name +
               "' is not a tag of the application";
      return false;
    }
    if (!c.state_tag.empty()) {
      uint16_t type = 0;
      if (!resolve(c.state_tag, &s.state_tag) ||
          zq_tag_info(&s.state_tag, 1, &type, nullptr) != 0 || type == TAG_MESSAGE ||
          type == TAG_MAILBOX) {
        *error = "state_tag '" + c.state_tag + "' of data source '" + c.name +
                 "' is not a numeric tag of the application";
        return false;
      }
      s.has_state_tag = true;
    }
    if (sim->own_station) {
      sim->wait_tags.push_back(s.tag);
      sim->wait_source.push_back(static_cast<int>(i));
    }
    sim->sources.push_back(std::move(s));
  }
  return true;
}

int sim_publish_state(Sim* sim, bool stopping) {
  int failures = 0;
  for (SimSource& s : sim->sources) {
    if (!s.has_state_tag || (stopping && !s.config.has_stop_state)) continue;
    uint16_t value = stopping ? s.config.stop_state_value : s.config.state_value;
    int err = write_state(sim, &s, value);
    if (err != 0) {
      ++failures;
      trace(*sim, sim->config.task + " ! state " + s.config.state_tag + " := " + hex4(value) +
                      " failed: " + zq_strerror(err));
    } else {
      trace(*sim, sim->config.task + " state " + s.config.state_tag + " := " + hex4(value));
    }
  }
  return failures;
}

SimAnswer sim_answer(Sim* sim, const MbxMessage& message, const uint8_t* data, uint16_t length) {
  switch (message.control & SIM_CTRL_KIND_MASK) {
    case SIM_KIND_QUERY:
      return answer_query(sim, message, data, length);
    case SIM_KIND_READ:
      return answer_read(sim, message, data, length);
    case SIM_KIND_WRITE:
      return answer_write(sim, message, data, length);
    default: {
      SimAnswer a;
      a.note = "dropped: not a request";
      return a;
    }
  }
}

int sim_send(Sim* sim, const SimAnswer& a) {
  if (!a.send) return 0;
  MbxMessage m;
  memset(&m, 0, sizeof m);
  m.data = const_cast<uint8_t*>(a.data.data());
  m.capacity = static_cast<uint16_t>(a.data.size());
  m.length = static_cast<uint16_t>(a.data.size());
  m.reserved1 = SIM_RESERVED;
  m.reserved2 = SIM_RESERVED;
  m.control = static_cast<uint16_t>(a.kind | (sim->config.station << SIM_CTRL_STATION_SHIFT));
  m.station = a.station;
  m.key = a.key;
  m.sender = static_cast<uint16_t>(sim->id);
  std::string name = a.source >= 0 ? sim->sources[a.source].config.name : std::string("-");
  std::string line =
      sim->config.task + " > " + sim_kind_name(a.kind) + " " + name + " key=" + key_text(a.key);
  if (a.data.size() >= SIM_HEADER_SIZE) {
    Header h = read_header(a.data.data(), false);
    line += " flags=" + hex4(h.flags) + " count=" + std::to_string(h.count) +
            " start=" + std::to_string(h.start);
  }
  line += " len=" + std::to_string(a.data.size());
  if (!a.note.empty()) line += " " + a.note;
  if (zq_write_mbx(sim->id, sim->id, sim->quantrel_mailbox, &m) != 0) {
    int err = zq_errno(sim->id);
    ++sim->counters.send_failures;
    trace(*sim, line + " NOT SENT: " + zq_strerror(err));
    return err;
  }
  ++sim->counters.answered;
  if (a.kind & SIM_KIND_ERROR_BIT) ++sim->counters.errors;
  trace(*sim, line);
  return 0;
}

int sim_drain_mailbox(Sim* sim, std::string* error) {
  int handled = 0;
  for (;;) {
    int count = 0;
    if (zq_count_mbx(sim->id, sim->mailbox, &count) != 0) {
      *error = std::string("cannot count the own mailbox: ") + zq_strerror(zq_errno(sim->id));
      return -1;
    }
    if (count == 0) return handled;
    MbxMessage m;
    memset(&m, 0, sizeof m);
    m.data = sim->buffer.data();
    m.capacity = static_cast<uint16_t>(sim->buffer.size());
    if (zq_read_mbx(sim->id, sim->id, sim->mailbox, &m, 0) != 0) {
      *error = std::string("cannot read the own mailbox: ") + zq_strerror(zq_errno(sim->id));
      return -1;
    }
    ++handled;
    ++sim->counters.received;
    uint16_t length = m.length <= m.capacity ? m.length : m.capacity;
    if (sim->trace) trace(*sim, request_line(*sim, m, sim->buffer.data(), length));
    SimAnswer a = sim_answer(sim, m, sim->buffer.data(), length);
    if (!a.send) {
      ++sim->counters.dropped;
      trace(*sim, sim->config.task + " x " + sim_kind_name(m.control & SIM_CTRL_KIND_MASK) + " " +
                      a.note);
      continue;
    }
    sim_send(sim, a);
  }
}

SimAnswer sim_forced_read(Sim* sim, size_t source) {
  SimSource& s = sim->sources[source];
  TagRef key = answer_key(*sim, s, nullptr);
  uint16_t station = sim->config.quantrel_station;
  int index = static_cast<int>(source);
  uint16_t code = count_and_inject(&s, SIM_REQ_READ, s.memory.start, s.memory.count);
  if (code != 0) return error_answer(SIM_KIND_READ_DATA, key, station, index, code);
  SimAnswer a =
      data_answer(SIM_KIND_READ_DATA, s, key, station, index, s.memory.start, s.memory.count);
  a.note = "(data-source tag forced)";
  return a;
}

SimAnswer sim_unsolicited(Sim* sim, size_t source) {
  SimSource& s = sim->sources[source];
  TagRef key = answer_key(*sim, s, nullptr);
  uint16_t station = sim->config.quantrel_station;
  int index = static_cast<int>(source);
  uint16_t code = count_and_inject(&s, SIM_REQ_UNSOLICITED, s.memory.start, s.memory.count);
  if (code != 0) return error_answer(SIM_KIND_UNSOLICITED, key, station, index, code);
  return data_answer(SIM_KIND_UNSOLICITED, s, key, station, index, s.memory.start, s.memory.count);
}

int sim_handle_change(Sim* sim, uint32_t index, const ChangeRecord& record, std::string* error) {
  if (index >= sim->wait_tags.size()) return 0;
  int source = sim->wait_source[index];
  if (source < 0) return sim_drain_mailbox(sim, error) < 0 ? -1 : 0;
  double value = record_value(record);
  trace(*sim,
        sim->config.task + " < " + sim->sources[source].config.name + " := " + number_text(value));
  if (value == 0) return 0;
  sim_send(sim, sim_forced_read(sim, static_cast<size_t>(source)));
  return 0;
}

int sim_poll(Sim* sim, std::string* error) {
  uint32_t index = 0;
  ChangeRecord record;
  for (;;) {
    change_record_prepare(&record, nullptr, 0);
    if (zq_get_chg(sim->id, sim->wait_tags.data(), static_cast<uint32_t>(sim->wait_tags.size()),
                   &index, &record) != 0) {
      int err = zq_errno(sim->id);
      if (err == ZQ_ENOCHANGE) return 0;
      *error = std::string("cannot scan for changes: ") + zq_strerror(err);
      return -1;
    }
    if (sim_handle_change(sim, index, record, error) != 0) return -1;
    index = 0;
  }
}

void sim_tick(Sim* sim, uint64_t now_ms) {
  if (now_ms - sim->last_tick_ms >= sim->config.tick_ms) {
    sim->last_tick_ms = now_ms;
    for (SimSource& s : sim->sources) {
      sim_movers_step(&s.memory, &s.movers, now_ms, &sim->random);
    }
  }
  for (size_t i = 0; i < sim->sources.size(); ++i) {
    SimSource& s = sim->sources[i];
    if (s.config.unsolicited_ms == 0 || !s.answered_query) continue;
    if (s.next_unsolicited_ms == 0) {
      s.next_unsolicited_ms = now_ms + s.config.unsolicited_ms;
      continue;
    }
    if (now_ms < s.next_unsolicited_ms) continue;
    s.next_unsolicited_ms = now_ms + s.config.unsolicited_ms;
    sim_send(sim, sim_unsolicited(sim, i));
  }
}

int sim_run(Sim* sim, std::string* error) {
  if (zq_signal_setup(sim->id, SIM_TICK_SIGNAL, ZQ_SIGNAL_ENABLE) != 0 ||
      zq_signal_setup(sim->id, SIM_STOP_SIGNAL, ZQ_SIGNAL_ENABLE) != 0) {
    *error = std::string("cannot enable signals: ") + zq_strerror(zq_errno(sim->id));
    return SIM_RUN_FAILED;
  }
  const uint64_t origin = steady_ms();
  sim->last_tick_ms = 0;
  // Requests sent before the simulator attached are waiting already.
  if (sim_drain_mailbox(sim, error) < 0) return SIM_RUN_FAILED;
  Ticker ticker(sim->id, sim->config.task, wake_period(*sim));
  uint32_t index = 0;
  ChangeRecord record;
  for (;;) {
    if (zq_term_requested(sim->id) == 1) return SIM_RUN_STOPPED;
    if (sim->interrupt != nullptr && sim->interrupt->load()) return SIM_RUN_STOPPED;
    change_record_prepare(&record, nullptr, 0);
    int rc = zq_change_wait(sim->id, sim->wait_tags.data(),
                            static_cast<uint32_t>(sim->wait_tags.size()), &index, &record);
    if (rc == 0) {
      if (sim_handle_change(sim, index, record, error) != 0) return SIM_RUN_FAILED;
      ++index;  // the next wait looks at the other tags first
      continue;
    }
    int err = zq_errno(sim->id);
    if (err == ZQ_ESTOP) return SIM_RUN_STOPPED;
    if (err != ZQ_EINTR) {
      *error = std::string("change wait failed: ") + zq_strerror(err);
      return SIM_RUN_FAILED;
    }
    bool stop = false;
    for (int signal = zq_get_signal(sim->id); signal > 0; signal = zq_get_signal(sim->id)) {
      stop = stop || signal == SIM_STOP_SIGNAL;
    }
    if (stop) return SIM_RUN_STOPPED;
    sim_tick(sim, steady_ms() - origin);
  }
}
