// Tag values as text, per tag type, for the operator tools (zq run, zq tag).
#ifndef ZQ_TOOLS_APP_VALUES_H_
#define ZQ_TOOLS_APP_VALUES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/zqkernel.h"

// One value in its packed form (as zq_read/zq_write take it), with its own
// text storage for message tags.
struct AppValue {
  uint16_t type = 0;
  alignas(8) uint8_t slot[ZQ_VALUE_SLOT_MAX] = {};
  std::string text;  // message tags: the text itself
};

// The value as an operator reads it: 0/1, integers, a float in its shortest
// exact form, message text in double quotes with escapes.
std::string app_value_show(const AppValue& value);

// Parses text for a tag of `type` with text capacity `capacity` (message
// tags). On success the slot is ready for zq_write (for a message tag it
// points into value->text, so the value must not move before the write).
// Returns "" or the reason the text is not a value of that type.
std::string app_value_parse(uint16_t type, uint16_t capacity, std::string_view text,
                            AppValue* value);

// Reads one tag through an attached task id. Returns 0 or zq_errno.
int app_value_read(int id, TagRef tag, AppValue* value);

// Encodes bytes as lower-case hex.
std::string app_hex(const uint8_t* data, size_t size);

#endif  // ZQ_TOOLS_APP_VALUES_H_
