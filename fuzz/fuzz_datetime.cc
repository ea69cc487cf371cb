// Date/time configuration texts and date/time texts of any shape: the
// layout loader, the text format and the block codecs must neither crash
// nor write outside their buffers.
//
// The input is split at newlines into the catalogue texts TIM0..TIM9,
// DATETIME, the month and day names, DAM and DPM, then one text to parse;
// what follows is used as device block bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "datetime/datetime.h"
#include "runtime/catalogue.h"

namespace {

constexpr const char* kLayoutKeys[TIME_LAYOUT_COUNT] = {"TIM0", "TIM1", "TIM2", "TIM3", "TIM4",
                                                        "TIM5", "TIM6", "TIM7", "TIM8", "TIM9"};

// Splits off the next line; false when the input is used up.
bool next_line(const uint8_t*& p, const uint8_t* end, std::string* line) {
  if (p >= end) return false;
  const uint8_t* nl = static_cast<const uint8_t*>(memchr(p, '\n', static_cast<size_t>(end - p)));
  const uint8_t* stop = nl ? nl : end;
  line->assign(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
  line->erase(std::remove(line->begin(), line->end(), '\0'), line->end());
  p = nl ? nl + 1 : end;
  return true;
}

void insert_text(const char* key, const uint8_t*& p, const uint8_t* end) {
  std::string text;
  if (next_line(p, end, &text) && !text.empty()) catalogue_insert(key, text.c_str());
}

void check(bool ok) {
  if (!ok) abort();
}

void exercise_layout(const TimeLayout& layout, const uint8_t* block, size_t n, uint32_t seconds) {
  check(layout.size >= 0 && layout.size <= TIME_LAYOUT_MAX_SIZE);
  // Exactly sized heap copies: the sanitizer sees any access past them.
  std::vector<uint8_t> bytes(block, block + n);
  decode_time_block(bytes.data(), bytes.size(), layout);
  uint8_t* area = new uint8_t[static_cast<size_t>(layout.size) + 1];
  memset(area, 0, static_cast<size_t>(layout.size));
  encode_time_block(area, seconds, layout);
  decode_time_block(area, static_cast<size_t>(layout.size), layout);
  delete[] area;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  catalogue_clear();
  for (const char* key : kLayoutKeys) insert_text(key, p, end);
  insert_text("DATETIME", p, end);
  for (const char* key : DATETIME_MONTH_KEYS) insert_text(key, p, end);
  for (const char* key : DATETIME_DAY_KEYS) insert_text(key, p, end);
  insert_text("DAM", p, end);
  insert_text("DPM", p, end);
  std::string to_parse;
  next_line(p, end, &to_parse);
  const uint8_t* block = p;
  const size_t block_size = static_cast<size_t>(end - p);

  uint32_t seconds = 0;
  memcpy(&seconds, data, size < sizeof seconds ? size : sizeof seconds);

  for (const char* key : kLayoutKeys) {
    TimeLayout layout = empty_time_layout();
    if (parse_time_layout(catalogue_lookup(key), &layout) == 0) {
      exercise_layout(layout, block, block_size, seconds);
    }
  }
  if (load_time_layouts() == 0) {
    for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) {
      exercise_layout(*time_layout(i), block, block_size, seconds);
    }
  }

  load_datetime_format(catalogue_lookup("DATETIME"));
  char* text = new char[DATETIME_TEXT_SIZE];
  format_datetime(text, seconds);
  check(strlen(text) <= DATETIME_TEMPLATE_MAX);
  parse_datetime(text);
  delete[] text;

  parse_datetime(to_parse.c_str());
  char* unterminated = new char[to_parse.size() + 1];
  memcpy(unterminated, to_parse.data(), to_parse.size());
  parse_datetime_with(datetime_format(), unterminated, to_parse.size());
  delete[] unterminated;
  return 0;
}
