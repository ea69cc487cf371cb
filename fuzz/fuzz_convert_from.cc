// Fuzz target: decoding an element of arbitrary bytes with an arbitrary entry
// and block flags. Every buffer is allocated at its exact size so that any
// read or write beyond the data, the slot or the entry's text is caught.
//
// Input: data type, tag type, length (2), address (2), flags (2), data
// source start (2), block count (2), text size, then the element's bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "convert/convert.h"
#include "datetime/datetime.h"
#include "kernel/zqkernel.h"

namespace {

constexpr size_t HEADER = 14;

uint16_t u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

size_t slot_size(uint16_t tag_type) {
  const size_t sizes[] = {2, 2, 8, sizeof(MessageValue), 4};
  return tag_type < 5 ? sizes[tag_type] : ZQ_VALUE_SLOT_MAX;
}

void ignore_report(void*, const char*, int, const FormatArg*, int) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static const char* const LAYOUTS[TIME_LAYOUT_COUNT] = {
      "BCD YR MO DY HR MI SC",     "BIN YR MO DY HR MI SC",
      "BIN YEAR MO DY HR MI SC",   "BCD SC MI HR DY MO YR",
      "BCD YP YR MO DY HR MI SC",  "BCD YR MO DY HR MI SC X X",
      "BCD SC MI HR DOW DY MO YR", "BIN YEAR MO DY DOW HR MI SC X X X X",
      "BCD DY MO YR HR MI SC",     "BIN YEAR MO X DY X HR X MI X SC X"};
  load_time_layouts_from(LAYOUTS);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < HEADER) return 0;
  ConvEntry entry{};
  entry.data_type = static_cast<uint16_t>(data[0] % 40);
  entry.tag_type = static_cast<uint16_t>(data[1] % 7);
  entry.length = u16(data + 2);
  entry.address = u16(data + 4);
  const ConvBlock block{u16(data + 6), u16(data + 10), u16(data + 8), u16(data + 8)};
  entry.text_size = data[12];
  char* text = nullptr;
  if (entry.tag_type == TAG_MESSAGE && (data[13] & 1) == 0) {
    text = static_cast<char*>(calloc(size_t{entry.text_size} + 1, 1));
    entry.text = text;
  }
  const size_t n = size - HEADER;
  uint8_t* element = static_cast<uint8_t*>(malloc(n ? n : 1));
  memcpy(element, data + HEADER, n);

  const size_t slot_bytes = slot_size(entry.tag_type);
  unsigned char* slot = static_cast<unsigned char*>(malloc(slot_bytes));
  memset(slot, 0xA5, slot_bytes);
  const ConvReporter reporter{nullptr, "fuzz", ignore_report, nullptr};
  convert_from_block(slot, n ? element : nullptr, n, entry, block, reporter);

  // A message slot names the entry's own text, within its size, terminated.
  if (entry.tag_type == TAG_MESSAGE && text != nullptr) {
    MessageValue m;
    memcpy(&m, slot, sizeof m);
    const bool untouched = m.text == reinterpret_cast<char*>(0xA5A5A5A5A5A5A5A5ull);
    if (!untouched) {
      if (m.text != text || m.length > entry.text_size || text[entry.text_size] != '\0') {
        __builtin_trap();
      }
    }
  }
  free(slot);
  free(element);
  free(text);
  return 0;
}
