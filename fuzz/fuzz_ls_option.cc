// Fuzzes scan_ls_option. The input is "NAME=VALUE\nARGUMENTS": the first line
// defines an environment variable (any bytes as its name) so that "-LS{NAME}"
// forms can find it; the rest is the argument string.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "runtime/task.h"

extern char** environ;

namespace {

bool contains_option(const std::string& args) {
  for (size_t i = 0; i + 3 <= args.size(); ++i) {
    if (args[i] == '-' && (args[i + 1] | 0x20) == 'l' && (args[i + 2] | 0x20) == 's') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  input = input.substr(0, input.find('\0'));
  std::string definition;
  std::string args = input;
  const size_t newline = input.find('\n');
  if (newline != std::string::npos) {
    definition = input.substr(0, newline);
    args = input.substr(newline + 1);
  }
  // The environment is exactly this one definition (setenv would leak a
  // copy per name over millions of runs).
  char* entry = definition.empty() ? nullptr : strdup(definition.c_str());
  char** const old_environ = environ;
  char* environment[] = {entry, nullptr};
  environ = environment;

  // An exactly sized copy, so that reading past the terminator is caught.
  char* text = static_cast<char*>(malloc(args.size() + 1));
  memcpy(text, args.c_str(), args.size() + 1);
  constexpr int32_t UNTOUCHED = -12345;
  int32_t value = UNTOUCHED;
  const int result = scan_ls_option(text, &value);
  if (result != 0 && result != -1) abort();
  if (result == -1 && value != UNTOUCHED) abort();
  if (result == 0 && (value < 0 || !contains_option(args))) abort();
  if (scan_ls_option(text, nullptr) != result) abort();
  free(text);

  environ = old_environ;
  free(entry);
  return 0;
}
