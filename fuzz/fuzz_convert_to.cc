// Fuzz target: encoding an arbitrary tag value into a block and into a typed
// value with an arbitrary entry and block flags. The destination, the slot
// and the entry's text are allocated at their exact sizes.
//
// Input: data type, tag type, length (2), address (2), flags (2), data
// source start (2), block count (2), text size, destination size, then the
// slot's bytes (16) and the entry's text.
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
  load_datetime_format("mo/dy/year hr:mi:sc");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < HEADER + ZQ_VALUE_SLOT_MAX) return 0;
  ConvEntry entry{};
  entry.data_type = static_cast<uint16_t>(data[0] % 40);
  entry.tag_type = static_cast<uint16_t>(data[1] % 7);
  entry.length = u16(data + 2);
  entry.address = u16(data + 4);
  const ConvBlock block{u16(data + 6), u16(data + 10), u16(data + 8), u16(data + 8)};
  entry.text_size = data[12];
  const size_t available = data[13];
  const uint8_t* rest = data + HEADER;
  size_t left = size - HEADER;

  const size_t slot_bytes = slot_size(entry.tag_type);
  unsigned char* slot = static_cast<unsigned char*>(malloc(slot_bytes));
  memcpy(slot, rest, slot_bytes);
  rest += ZQ_VALUE_SLOT_MAX;
  left -= ZQ_VALUE_SLOT_MAX;

  // The entry's text: text_size + 1 bytes from the input (not necessarily
  // terminated inside text_size), or none.
  char* text = nullptr;
  if (entry.tag_type == TAG_MESSAGE && left > 0) {
    text = static_cast<char*>(calloc(size_t{entry.text_size} + 1, 1));
    memcpy(text, rest, left < entry.text_size ? left : entry.text_size);
    entry.text = text;
  }

  uint8_t* destination = static_cast<uint8_t*>(malloc(available ? available : 1));
  memset(destination, 0, available);
  const ConvReporter reporter{nullptr, "fuzz", ignore_report, nullptr};
  convert_to_block(available ? destination : nullptr, available, slot, entry, block, reporter);

  size_t written = 0;
  const int r = convert_to_typed(destination, available, slot, entry, block, &written);
  if (written > available || (r != 0 && written != 0)) __builtin_trap();

  free(destination);
  free(text);
  free(slot);
  return 0;
}
