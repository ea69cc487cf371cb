// e2e_provider: the least a provider task can be, for the end-to-end
// benchmark. It answers queries with a fixed geometry (units of 2 bytes from
// address 0) and read requests with that many bytes of data, nothing else,
// from another station than QUANTREL's. It counts the reads it served into a
// long tag now and then, so that the benchmark can measure the cycle rate
// without touching the exchange.
//
//   e2e_provider TASK MAILBOX REPLY_MAILBOX COUNTER UNITS
//
// Tags are given as TYPE:INDEX; ZQNAME, ZQDOMAIN and ZQUSER name the
// database. Runs until the kernel asks it to stop.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/zqkernel.h"

namespace {

constexpr size_t BUFFER_SIZE = 4120;
constexpr size_t HEADER_SIZE = 8;
constexpr uint16_t KIND_MASK = 0x000F;
constexpr uint16_t KIND_QUERY = 0;
constexpr uint16_t KIND_QUERY_REPLY = 1;
constexpr uint16_t KIND_READ = 2;
constexpr uint16_t KIND_READ_DATA = 3;
constexpr uint16_t STATION = 2;  // QUANTREL runs as station 1
constexpr int STATION_SHIFT = 8;
constexpr uint16_t FLAGS_WORDS = 0x2003;  // format 3, unit size 2
constexpr uint16_t UNIT_BYTES = 2;
constexpr uint16_t RESERVED = 0xFFFF;
constexpr uint32_t COUNTER_EVERY = 64;  // reads between counter updates
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_KERNEL = 1;

uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

bool parse_tag(const char* text, TagRef* tag) {
  unsigned type = 0, index = 0;
  if (sscanf(text, "%u:%u", &type, &index) != 2) return false;
  *tag = TagRef{static_cast<uint16_t>(type), static_cast<uint16_t>(index)};
  return true;
}

struct Provider {
  int id = -1;
  TagRef reply{};
  TagRef counter{};
  uint16_t units = 0;
  int32_t served = 0;
  uint8_t in[BUFFER_SIZE] = {};
  uint8_t out[BUFFER_SIZE] = {};
};

int send(Provider* p, const MbxMessage& request, uint16_t kind, uint16_t length) {
  MbxMessage m{};
  m.data = p->out;
  m.capacity = BUFFER_SIZE;
  m.length = length;
  m.reserved1 = RESERVED;
  m.reserved2 = RESERVED;
  m.control = static_cast<uint16_t>(kind | STATION << STATION_SHIFT);
  m.station = request.station;
  m.key = request.key;
  return zq_write_mbx(p->id, p->id, p->reply, &m);
}

int answer(Provider* p, const MbxMessage& request) {
  uint16_t kind = request.control & KIND_MASK;
  if (request.length < HEADER_SIZE) return 0;
  if (kind == KIND_QUERY) {
    uint16_t name_length = get16(p->in + 2);
    if (name_length > request.length - HEADER_SIZE) name_length = request.length - HEADER_SIZE;
    put16(p->out, FLAGS_WORDS);
    put16(p->out + 2, p->units);
    put16(p->out + 4, 0);
    put16(p->out + 6, 0);
    memcpy(p->out + HEADER_SIZE, p->in + HEADER_SIZE, name_length);
    return send(p, request, KIND_QUERY_REPLY, static_cast<uint16_t>(HEADER_SIZE + name_length));
  }
  if (kind != KIND_READ) return 0;
  uint16_t count = get16(p->in + 2);
  if (count == 0 || count > p->units) count = p->units;
  put16(p->out, FLAGS_WORDS);
  put16(p->out + 2, count);
  put16(p->out + 4, get16(p->in + 4));
  put16(p->out + 6, 0);
  put16(p->out + HEADER_SIZE, static_cast<uint16_t>(p->served));  // data that moves
  int rc =
      send(p, request, KIND_READ_DATA, static_cast<uint16_t>(HEADER_SIZE + count * UNIT_BYTES));
  if (rc == 0 && ++p->served % COUNTER_EVERY == 0) zq_write(p->id, &p->counter, 1, &p->served);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  Provider* p = new Provider;
  TagRef mailbox{};
  if (argc != 6 || !parse_tag(argv[2], &mailbox) || !parse_tag(argv[3], &p->reply) ||
      !parse_tag(argv[4], &p->counter)) {
    fprintf(stderr, "usage: e2e_provider TASK MAILBOX REPLY_MAILBOX COUNTER UNITS\n");
    return EXIT_USAGE;
  }
  p->units = static_cast<uint16_t>(atoi(argv[5]));
  char name[64], domain[16], user[32];
  zq_getenv("ZQNAME", name, sizeof name);
  zq_getenv("ZQDOMAIN", domain, sizeof domain);
  zq_getenv("ZQUSER", user, sizeof user);
  p->id = zq_init(argv[1], "benchmark provider", name, domain, user);
  if (p->id < 0) {
    fprintf(stderr, "e2e_provider: cannot attach: %s\n", zq_strerror(zq_errno(-1)));
    return EXIT_KERNEL;
  }
  for (;;) {
    uint32_t at = 0;
    ChangeRecord record;
    char text[ZQ_CHANGE_TEXT_CAPACITY];
    change_record_prepare(&record, text, sizeof text);
    if (zq_change_wait(p->id, &mailbox, 1, &at, &record) != 0) {
      int e = zq_errno(p->id);
      if (e == ZQ_EINTR) continue;
      if (e == ZQ_ESTOP) break;
      fprintf(stderr, "e2e_provider: wait failed: %s\n", zq_strerror(e));
      zq_exit(p->id);
      return EXIT_KERNEL;
    }
    for (;;) {
      MbxMessage m{};
      m.data = p->in;
      m.capacity = BUFFER_SIZE;
      if (zq_read_mbx(p->id, p->id, mailbox, &m, 0) != 0) break;  // empty
      if (answer(p, m) != 0) {
        fprintf(stderr, "e2e_provider: answer not sent: %s\n", zq_strerror(zq_errno(p->id)));
      }
    }
  }
  zq_write(p->id, &p->counter, 1, &p->served);
  zq_exit(p->id);
  delete p;
  return 0;
}
