// Conversion entries and the data-block description the value conversions work on.
//
// One ConvEntry per configured tag element says where the element lies in a
// data source's device block and how it is encoded (its data type). The
// configuration loader builds them; the data-source handlers hand them, with a
// ConvBlock describing the block's format flags, to convert_from_block and
// convert_to_block (convert/convert.h).
#ifndef ZQ_CONVERT_CONV_ENTRY_H_
#define ZQ_CONVERT_CONV_ENTRY_H_

#include <stdint.h>

struct DataSource;  // the MCI layer's record; the conversions never look inside

// Device encodings of an element.
enum DataType : uint16_t {
  DT_BIT = 1,
  DT_BYTE_LO = 2,
  DT_BYTE_HI = 3,
  DT_WORD = 4,
  DT_LONG = 5,
  DT_DOUBLE = 6,
  DT_STRING = 7,
  DT_FLOAT = 8,
  DT_EXP_FLOAT = 9,
  DT_BCD4 = 10,
  DT_BYTE = 11,
  DT_SCALE = 12,
  DT_LOW14 = 13,
  DT_SIGNED_BITS = 14,
  DT_LONG_WS = 15,
  DT_FLOAT_WS = 16,
  DT_FIXED = 17,
  DT_BCD2 = 18,
  DT_BCD4B = 19,
  DT_BCD8 = 20,
  DT_TIME = 21,
  DT_TIM0 = 22,  // DT_TIM0 + n: date/time block layout n
  DT_TIM9 = 31,
  DT_RAW = 32,
  DT_FFLOAT = 33,
  DT_FFLOAT_WS = 34,
};
constexpr uint16_t DT_FIRST = DT_BIT;
constexpr uint16_t DT_LAST = DT_FFLOAT_WS;
constexpr uint16_t DT_TIME_LAYOUT_COUNT = 10;

inline bool dt_is_valid(uint16_t data_type) {
  return data_type >= DT_FIRST && data_type <= DT_LAST;
}
inline bool dt_is_time_block(uint16_t data_type) {
  return data_type >= DT_TIM0 && data_type <= DT_TIM9;
}

// Bits of the data block header's flags word (word 0).
constexpr uint16_t CONV_FLAG_UNTYPED = 0x0010;
constexpr uint16_t CONV_FLAG_BYTE_SWAP = 0x0100;
constexpr uint16_t CONV_FLAG_LOW_BIT_FIRST = 0x0200;
constexpr uint16_t CONV_FLAG_ONE_BASED_BITS = 0x0800;
constexpr int CONV_UNIT_SIZE_SHIFT = 12;  // bits 12-15: bytes per address unit, 0 = bits

inline unsigned conv_unit_size(uint16_t flags) {
  return flags >> CONV_UNIT_SIZE_SHIFT;
}
inline bool conv_byte_swap(uint16_t flags) {
  return (flags & CONV_FLAG_BYTE_SWAP) != 0;
}

// One tag element of a data source. Field order and widths as configured.
struct ConvEntry {
  DataSource* data_source;  // the data source whose block holds the element
  uint16_t tag_type;        // TAG_* of the target tag
  uint16_t address;         // device address, in the block's units (bit address on bit blocks)
  uint16_t length;          // bit number, characters, sign-bit position or time-field bytes
  uint16_t data_type;       // DT_*
  uint16_t transfer_type;   // value form of a single-value write (not used by the conversions)
  char* text;               // message tags: the entry's own text, text_size + 1 bytes
  uint16_t text_size;       // characters `text` holds (without the terminator)
  uint16_t first_address;   // address of the configuration record's first element
  uint8_t continued;        // 0 for a record's first element, 1 for the following ones
};

// Text characters the conversions format numbers and dates into.
constexpr uint16_t CONV_TEXT_SIZE = 80;

// Text size a message-tag entry needs so that no converted value is cut:
// `length` characters for DT_STRING and DT_RAW, at least CONV_TEXT_SIZE for
// every other type (numbers and dates are formatted into the entry's text).
inline uint16_t conv_entry_text_size(uint16_t data_type, uint16_t length) {
  if (data_type == DT_STRING || data_type == DT_RAW) return length;
  return length > CONV_TEXT_SIZE ? length : CONV_TEXT_SIZE;
}

// The data block an element is converted from or to: the header words the
// conversions read, and the data source's own start address (bit-addressed
// blocks number their bits from it).
struct ConvBlock {
  uint16_t flags;         // header word 0
  uint16_t count;         // header word 1: address units in the block
  uint16_t start;         // header word 2: device address of the first unit
  uint16_t source_start;  // the data source's start address
};

#endif  // ZQ_CONVERT_CONV_ENTRY_H_
