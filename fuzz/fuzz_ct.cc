// The CT reader and the object-table lookup on arbitrary file bytes: every
// call returns a known status and never writes past the buffers it is given.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "config/ct_file.h"
#include "config/object_table.h"

namespace {

constexpr size_t kMaxRead = 1 << 16;  // largest header or record run read
constexpr size_t kGuard = 16;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool known(int s) {
  return s >= CT_OK && s <= CT_EVERSION;
}

// The input lives in one memory file, opened by name like any CT file.
int memory_file() {
  static int fd = memfd_create("fuzz_ct", 0);
  return fd;
}

void read_selected(CtFile* ct, uint32_t seed) {
  const CtIndexEntry e = ct->entry;
  if (e.header_length <= kMaxRead) {
    std::vector<uint8_t> buf(e.header_length + kGuard, 0x5a);
    check(known(ct_read_header(ct, buf.data())));
    for (size_t i = e.header_length; i < buf.size(); ++i) check(buf[i] == 0x5a);
  }
  if (e.record_size == 0 || e.record_size > kMaxRead) return;
  uint32_t count = static_cast<uint32_t>(kMaxRead / e.record_size);
  if (count > 4) count = 4;
  uint32_t firsts[] = {0, e.record_count > 0 ? e.record_count - 1 : 0, seed, e.record_count};
  for (uint32_t first : firsts) {
    for (uint32_t n : {1u, count}) {
      std::vector<uint8_t> buf(static_cast<size_t>(n) * e.record_size + kGuard, 0x5a);
      check(known(ct_read_records(ct, buf.data(), first, n)));
      for (size_t i = buf.size() - kGuard; i < buf.size(); ++i) check(buf[i] == 0x5a);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memory_file();
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

  CtFile ct;
  int status = ct_open(&ct, nullptr, path);
  check(known(status));
  if (status != CT_OK) {
    check(ct.state == nullptr);
    return 0;
  }
  uint32_t seed = size >= 12 ? static_cast<uint32_t>(data[size - 1]) : 0;
  uint32_t picks[] = {0, 1, 2, seed, ct.header.table_count - 1, ct.header.table_count};
  for (uint32_t index : picks) {
    int s = ct_select(&ct, index);
    check(known(s));
    read_selected(&ct, seed);
  }
  // The object-table search over the same bytes.
  for (const char* text : {"A", "T[1][2]", "N:X.m", "ZZZZ"}) {
    ObjectName name;
    object_name_reset(&name);
    if (object_name_parse(&name, text) != OBJ_OK) continue;
    TagRef ref;
    int s = object_resolve(&name, &ct, &ref);
    check(s == OBJ_OK || (s <= OBJ_ENOTFOUND && s >= OBJ_EBOUND));
  }
  check(ct_close(&ct) == CT_OK);
  return 0;
}
