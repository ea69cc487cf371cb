// Drives the own-mailbox handler with whatever a provider task may send:
// arbitrary kinds, headers, keys, stations and lengths, interleaved with
// requests, pending-count resets, held answers and kernel faults.
//
// Checked after every step: the pending count stays within the mailbox, and
// every received message lies inside its buffer (ASan guards the buffers).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/object_table.h"
#include "kernel/zqkernel.h"
#include "mci/mci.h"

namespace {

constexpr size_t kMaxSteps = 64;
constexpr size_t kMaxPayload = 6000;  // more than the shared buffer holds
constexpr int kSources = 3;

struct World {
  ZqDb* db = nullptr;
  int16_t task = -1;
  int16_t provider = -1;
  TagRef own{}, provider_mbx{}, tags[kSources + 1]{};
  uint8_t* shared = nullptr;  // the shared 4120-byte message buffer
};
World g;

// The input, read front to back; zeros once used up.
struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
};
Input g_in;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void no_pause(int) {}

int fuzz_handler(DataSource* r) {
  check(r->receive_state == MCI_RECEIVE_TAKEN || r->mailbox_index < mci_pending_count());
  switch (g_in.byte() % 4) {
    case 0: {
      if (mci_receive(mci_handle(), r) != MCI_OK) break;
      const MbxMessage& m = r->message;
      if (m.data == nullptr) break;
      check(m.length <= m.capacity);
      volatile uint8_t sum = 0;
      for (uint16_t i = 0; i < m.length; ++i) sum = static_cast<uint8_t>(sum + m.data[i]);
      break;
    }
    case 1:
      mci_discard(mci_handle(), r);
      break;
    case 2:
      mci_reset_pending();  // a sync tag returned to 0
      break;
    default:
      break;  // held
  }
  return g_in.byte() % 8 == 0 ? g_in.byte() : 0;
}

TagRef pick_key() {
  const uint8_t c = g_in.byte();
  switch (c % 6) {
    case 0:
      return g.own;
    case 1:
    case 2:
    case 3:
      return g.tags[c % kSources + 1];
    case 4:
      return MCI_NO_KEY;
    default:
      return TagRef{g_in.word(), g_in.word()};
  }
}

void provider_writes() {
  const uint8_t control_low = g_in.byte();
  const uint8_t station = g_in.byte() % 3 == 0 ? g_in.byte() : 0;
  const TagRef key = pick_key();
  size_t length = g_in.byte();
  if (length >= 250) length = g_in.word() % kMaxPayload;
  std::vector<uint8_t> data(length);
  const bool named = length > 8 && g_in.byte() % 2 == 0;  // a name a reply may carry
  for (size_t i = 0; i < length; ++i) data[i] = g_in.byte();
  if (named) {
    static const char* names[] = {"DS1", "DS2", "DS3", "NOPE"};
    const char* name = names[g_in.byte() % 4];
    memcpy(data.data() + 8, name, std::min(strlen(name), length - 8));
  }
  MbxMessage m = {};
  m.data = data.data();
  m.length = static_cast<uint16_t>(length);
  m.capacity = m.length;
  m.control = static_cast<uint16_t>(control_low | (station << 8));
  m.station = g_in.word();
  m.key = key;
  zq_write_mbx(g.provider, g.provider, g.own, &m);
}

void drain(TagRef mailbox) {
  int n = 0;
  while (zq_count_mbx(g.provider, mailbox, &n) == 0 && n > 0) {
    MbxMessage m = {};
    if (zq_read_mbx(g.provider, g.provider, mailbox, &m, 0) != 0) break;
  }
}

void check_pending() {
  int n = 0;
  check(zq_count_mbx(g.provider, g.own, &n) == 0);
  check(mci_pending_count() >= 0);
  check(mci_pending_count() <= n);
}

// A kernel fault armed by one step hits the kernel calls of the next one.
struct ArmedFault {
  const char* op = nullptr;
  int calls = 0;
};
ArmedFault g_fault;

void arm_fault() {
  static const char* ops[] = {"zq_count_mbx", "zq_peek_mbx", "zq_read_mbx", "zq_write_mbx",
                              "zq_f_write"};
  g_fault.op = ops[g_in.byte() % 5];
  g_fault.calls = 1 + g_in.byte() % 2;
}

void send_request(DataSource* ds) {
  ds->start = g_in.word();
  ds->count = g_in.word();
  ds->unit_size = g_in.byte();
  ds->byte_swap = g_in.byte();
  mci_prepare_request(ds, nullptr);
  ds->message.control = static_cast<uint16_t>((ds->message.control & 0xFFF0) | (g_in.byte() & 15));
  mci_send(mci_handle(), ds);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const ZqTagDecl decls[] = {
      {TAG_MAILBOX, 1, 0}, {TAG_MAILBOX, 1, 0},  {TAG_DIGITAL, 1, 0},
      {TAG_LONG, 1, 0},    {TAG_MESSAGE, 1, 16},
  };
  ZqDbLimits limits;
  zq_db_default_limits(&limits);
  limits.mbx_messages = 256;
  TagRef refs[5] = {};
  if (zq_db_create(nullptr, decls, 5, &limits, refs, &g.db) != 0) abort();
  zq_db_use(g.db);
  g.own = refs[0];
  g.provider_mbx = refs[1];
  g.tags[1] = refs[2];
  g.tags[2] = refs[3];
  g.tags[3] = refs[4];
  g.task = zq_init("QUANTREL", "translator", "", "", "");
  g.provider = zq_init("PROVIDER", "fuzz provider", "", "", "");
  if (g.task < 0 || g.provider < 0) abort();

  char dir[] = "/tmp/zqfuzzmci.XXXXXX";
  if (mkdtemp(dir) == nullptr) abort();
  const std::string app = dir;
  const std::string ct = app + "/ct";
  if (mkdir(ct.c_str(), 0700) != 0) abort();
  std::vector<ObjectRecord> records;
  const char* names[] = {"DS1", "DS2", "DS3"};
  for (int i = 0; i < kSources; ++i) {
    ObjectRecord r = {};
    strcpy(r.name, names[i]);
    r.tag_type = g.tags[i + 1].type;
    r.elements = 1;
    r.tag = g.tags[i + 1];
    records.push_back(r);
  }
  if (object_table_write((ct + "/object.ct").c_str(), records) != 0) abort();
  setenv("ZQAPP", app.c_str(), 1);
  mci_set_idle_pause(&no_pause);
  g.shared = static_cast<uint8_t*>(malloc(MCI_MESSAGE_BUFFER_SIZE));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_in = Input{data, size};
  zq_fault_clear_all();
  drain(g.own);
  drain(g.provider_mbx);
  memset(g.shared, 0, MCI_MESSAGE_BUFFER_SIZE);

  const uint8_t station = g_in.byte() % 4;
  const MciHandle handle = {g.task, g.own, station};
  if (mci_init(&handle) != MCI_OK) abort();
  DataSource* sources[kSources] = {};
  const char* names[] = {"DS1", "DS2", "DS3"};
  for (int i = 0; i < kSources; ++i) {
    DataSource r = {};
    strcpy(r.name, names[i]);
    r.message.key = g.tags[i + 1];
    r.destination = g.provider_mbx;
    r.default_buffer = {g.shared, MCI_MESSAGE_BUFFER_SIZE, 0};
    r.message.data = g.shared;
    r.message.capacity = MCI_MESSAGE_BUFFER_SIZE;
    r.handler = &fuzz_handler;
    sources[i] = mci_register(&r);
    if (sources[i] == nullptr) abort();
  }

  g_fault = ArmedFault{};
  for (size_t step = 0; step < kMaxSteps && g_in.n > 0; ++step) {
    DataSource* ds = sources[g_in.byte() % kSources];
    if (g_fault.op != nullptr) zq_fault_inject(g_fault.op, g_fault.calls, ZQ_ESYS);
    g_fault = ArmedFault{};
    switch (g_in.byte() % 10) {
      case 0:
      case 1:
      case 2:
        provider_writes();
        break;
      case 3:
      case 4: {
        ChangeRecord none = {};
        mci_on_mailbox(nullptr, none);
        break;
      }
      case 5:
        mci_reset_pending();
        break;
      case 6:
        mci_request_read(mci_handle(), ds);
        break;
      case 7:
        send_request(ds);
        break;
      case 8:
        mci_query(ds);
        break;
      default:
        arm_fault();
        break;
    }
    zq_fault_clear_all();
    check_pending();
    drain(g.provider_mbx);
  }
  return 0;
}
