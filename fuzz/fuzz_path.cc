// Path parsing, combining and formatting on arbitrary text: no overrun, every
// field terminated, output within the room given.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/path.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void check_fields(const PathObject* p) {
  check(strnlen(p->node, sizeof p->node) < sizeof p->node);
  check(strnlen(p->device, sizeof p->device) < sizeof p->device);
  check(strnlen(p->directory, sizeof p->directory) < sizeof p->directory);
  check(strnlen(p->file, sizeof p->file) < sizeof p->file);
  check(strnlen(p->pattern, sizeof p->pattern) < sizeof p->pattern);
}

void check_format(const PathObject* p) {
  for (size_t size : {size_t{1}, size_t{7}, size_t{128}, size_t{600}}) {
    for (PathNotation n : {PATH_NOTATION_DRIVE, PATH_NOTATION_POSIX}) {
      std::string buf(size + 8, '\x7f');
      check(path_format(p, buf.data(), size, n) == buf.data());
      check(strlen(buf.c_str()) < size);
      check(buf[size] == '\x7f');
    }
  }
  char* all = path_format(p, nullptr, 0, PATH_NOTATION_DRIVE);
  check(all != nullptr);
  free(all);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Two texts separated by the first NUL (or the whole input twice).
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\0');
  std::string first = input.substr(0, cut);
  std::string second = cut == std::string::npos ? first : input.substr(cut + 1);
  second = second.c_str();

  PathObject* a = path_parse(nullptr, first.c_str());
  PathObject* b = path_parse_dir(nullptr, second.c_str());
  check(a != nullptr && b != nullptr);
  check_fields(a);
  check_fields(b);
  check_format(a);
  check_format(b);
  check(path_combine(b, a) == 0);
  check_fields(b);
  check_format(b);
  path_append_dir(b, second.c_str());
  path_set_ext(b, first.c_str());
  path_set_file(a, second.c_str());
  check_fields(a);
  check_fields(b);
  check_format(a);
  check_format(b);

  char out[PATH_RESOLVE_SIZE + 8];
  memset(out, 0x7f, sizeof out);
  path_resolve(out, second.c_str(), first.c_str(), PATH_NOTATION_DRIVE);
  check(strlen(out) < PATH_RESOLVE_SIZE && out[PATH_RESOLVE_SIZE] == 0x7f);

  char expanded[40];
  memset(expanded, 0x7f, sizeof expanded);
  size_t n = path_expand(first.c_str(), expanded, 32);
  check(n < 32 && strlen(expanded) == n && expanded[32] == 0x7f);

  path_free(a);
  path_free(b);
  return 0;
}
