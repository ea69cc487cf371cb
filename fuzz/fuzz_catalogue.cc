// Fuzzes catalogue line parsing, the catalogue tree and checked formatting of
// the parsed texts, with output buffers of exact size so that any overrun is
// caught. Input: one byte choosing buffer sizes, one byte choosing argument
// types, then catalogue lines. A first byte 'F' loads the lines as a file.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "runtime/catalogue.h"
#include "runtime/format.h"

namespace {

constexpr size_t kLineMax = CATALOGUE_LINE_MAX + 1;
constexpr int kArgCount = 6;
const char* const kTexts[] = {"DS1", "", "%s%d%n", nullptr};

std::vector<FormatArg> make_args(uint8_t types) {
  std::vector<FormatArg> args;
  for (int i = 0; i < kArgCount; ++i) {
    switch ((types >> i) & 3) {
      case 0:
        args.push_back(format_arg(-405 * (i + 1)));
        break;
      case 1:
        args.push_back(format_arg(kTexts[i % 4]));
        break;
      case 2:
        args.push_back(format_arg(1.5e300 * (i & 1 ? -1 : 1)));
        break;
      default:
        args.push_back(format_arg(static_cast<uint64_t>(~0ULL >> i)));
        break;
    }
  }
  return args;
}

void check_format(const char* text, size_t size, const std::vector<FormatArg>& args, int count) {
  char* out = static_cast<char*>(malloc(size));
  size_t n = format_checked(out, size, text, args.data(), count);
  if (n >= size || out[n] != '\0' || strlen(out) > n) abort();
  format_mismatches(text, args.data(), count);
  free(out);
}

void load_as_file(const uint8_t* data, size_t size) {
  char name[64];
  snprintf(name, sizeof name, "/tmp/fuzz_catalogue_%d.txt", static_cast<int>(getpid()));
  FILE* f = fopen(name, "wb");
  if (!f) return;
  fwrite(data, 1, size, f);
  fclose(f);
  catalogue_load_file(name);
  unlink(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t sizes = data[0];
  std::vector<FormatArg> args = make_args(data[1]);
  int count = data[1] % (kArgCount + 1);
  if (sizes == 'F') {
    load_as_file(data + 2, size - 2);
    catalogue_clear();
    return 0;
  }
  size_t key_size = 1 + (sizes & 0x0F) * 8;
  size_t out_size = 1 + (sizes >> 4) * 40;

  const char* p = reinterpret_cast<const char*>(data + 2);
  const char* end = reinterpret_cast<const char*>(data + size);
  while (p < end) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    size_t len = static_cast<size_t>((nl ? nl : end) - p);
    if (len > CATALOGUE_LINE_MAX) len = CATALOGUE_LINE_MAX;
    char* line = static_cast<char*>(malloc(len + 1));
    memcpy(line, p, len);
    line[len] = '\0';
    char* key = static_cast<char*>(malloc(key_size));
    char* text = static_cast<char*>(malloc(kLineMax));
    if (parse_catalogue_line(line, key, key_size, text, kLineMax)) {
      if (strlen(key) >= key_size || strlen(text) >= kLineMax) abort();
      if (catalogue_insert(key, text) == 0 && strcmp(catalogue_lookup(key), text) != 0) abort();
      check_format(text, out_size, args, count);
      check_format(catalogue_lookup(key), 2048, args, count);
    }
    check_format(line, out_size, args, count);  // any raw line as a format too
    free(line);
    free(key);
    free(text);
    p += (nl ? nl - p + 1 : end - p);
  }
  catalogue_clear();
  return 0;
}
