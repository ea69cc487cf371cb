// Object-name parsing on arbitrary text: statuses stay in their set, parts
// are terminated, and a parsed name formats back to text that parses alike.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "config/object_table.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Parsing reports success or one of the name statuses -3 and -5 to -11.
bool parse_status(int s) {
  return s == OBJ_OK || (s <= OBJ_EARG && s >= OBJ_EBOUND && s != -4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();
  ObjectName name;
  object_name_reset(&name);
  int status = object_name_parse(&name, text.c_str());
  check(parse_status(status));
  check(strnlen(name.node, sizeof name.node) < sizeof name.node);
  check(strnlen(name.name, sizeof name.name) < sizeof name.name);
  check(strnlen(name.index, sizeof name.index) < sizeof name.index);
  check(strnlen(name.member, sizeof name.member) < sizeof name.member);
  if (status != OBJ_OK) return 0;

  constexpr int kAll = OBJECT_PART_NODE | OBJECT_PART_NAME | OBJECT_PART_INDEX | OBJECT_PART_MEMBER;
  char full[64];
  int len = object_name_format(&name, kAll, full, sizeof full);
  check(len >= 0 && static_cast<size_t>(len) == strlen(full) && len <= 48);
  check(text == full);
  for (int parts = 0; parts <= kAll; ++parts) {
    for (size_t room : {size_t{0}, size_t{1}, size_t{5}, size_t{64}}) {
      char buf[72];
      memset(buf, 0x7f, sizeof buf);
      int need = object_name_format(&name, parts, room ? buf : nullptr, room);
      check(need >= 0);
      if (room > 0) check(strlen(buf) < room && buf[room] == 0x7f);
    }
  }
  ObjectName again;
  object_name_reset(&again);
  check(object_name_parse(&again, full) == OBJ_OK);
  check(memcmp(&name, &again, sizeof name) == 0);
  return 0;
}
