// Block-to-tag and tag-to-block conversion of configured elements.
#include "convert/convert.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "datetime/datetime.h"
#include "kernel/zqkernel.h"
#include "runtime/report.h"

namespace {

constexpr uint16_t NO_TAG_TYPE = 0xFFFF;
constexpr size_t SCRATCH_ON_STACK = 256;  // larger scratch areas come from the heap
constexpr uint16_t TEXT_CAPACITY_MAX = 0xFFFF;
constexpr int BCD_BASE = 10;
constexpr int NIBBLE_BITS = 4;
constexpr uint16_t FIXED_SIGN = 0x8000;
constexpr uint16_t FIXED_ONE = 0x4000;
constexpr uint16_t FIXED_FRACTION = 0x3FFF;
constexpr double FIXED_SCALE = 16384.0;
constexpr uint16_t FIXED_MAX = 0x7FFF;
constexpr uint16_t FIXED_MIN = 0xFFFF;
constexpr uint16_t LOW14_MASK = 0x3FFF;
constexpr int SCALE_SHIFT = 14;
constexpr uint16_t SCALE_MASK = 0xC000;

// ---- Reports --------------------------------------------------------------------

void report(const ConvReporter& r, const char* key, const FormatArg* args, int count) {
  if (r.sink != nullptr) {
    r.sink(r.sink_user, key, CONV_REPORT_STATUS, args, count);
  } else if (r.task != nullptr) {
    task_report_args(r.task, key, CONV_REPORT_STATUS, args, count);
  }
}

void report_bound(const ConvReporter& r, unsigned unit) {
  const FormatArg args[] = {format_arg(r.data_source ? r.data_source : ""), format_arg(unit),
                            FormatArg{}};
  report(r, "IMX_BOUND", args, 2);
}

void report_no_memory(const ConvReporter& r) {
  const FormatArg args[] = {FormatArg{}};
  report(r, "NOMEMORY", args, 0);
}

// ---- Scratch areas ------------------------------------------------------------------

// Zeroed bytes on the stack when small, on the heap otherwise.
class Scratch {
 public:
  explicit Scratch(size_t n) : size_(n) {
    if (n <= SCRATCH_ON_STACK) {
      data_ = local_;
      memset(local_, 0, n);
    } else {
      data_ = static_cast<uint8_t*>(calloc(n, 1));
      heap_ = data_;
    }
  }
  ~Scratch() { free(heap_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  uint8_t* data() { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t local_[SCRATCH_ON_STACK];
  uint8_t* data_ = nullptr;
  uint8_t* heap_ = nullptr;
  size_t size_;
};

void reverse_units(uint8_t* p, size_t units, size_t unit) {
  for (size_t i = 0; i < units; ++i) reverse_bytes(p + i * unit, unit);
}

size_t min_size(size_t a, size_t b) {
  return a < b ? a : b;
}

// memcpy that accepts null pointers when there is nothing to copy.
void copy_bytes(void* to, const void* from, size_t n) {
  if (n != 0) memcpy(to, from, n);
}

// Units of `unit` bytes covering `length` bytes.
size_t units_for(size_t length, size_t unit) {
  return (length + unit - 1) / unit;
}

// ---- Slots ----------------------------------------------------------------------------

uint16_t text_capacity(const ConvEntry& e) {
  const uint32_t c = uint32_t{e.text_size} + 1;
  return c > TEXT_CAPACITY_MAX ? TEXT_CAPACITY_MAX : static_cast<uint16_t>(c);
}

void set_message_slot(void* slot, const ConvEntry& e, size_t length) {
  const MessageValue m{e.text, text_capacity(e), static_cast<uint16_t>(length)};
  memcpy(slot, &m, sizeof m);
}

size_t value_size(uint16_t tag_type) {
  switch (tag_type) {
    case TAG_DIGITAL:
    case TAG_ANALOG:
      return sizeof(int16_t);
    case TAG_FLOAT:
      return sizeof(double);
    case TAG_LONG:
      return sizeof(int32_t);
    default:
      return 0;
  }
}

// Stores a decoded value (representation of tag type `as`) into the slot of
// the entry's tag type; message tags get the text in the entry's own buffer.
// A value for another tag type than its own: converted, message tags getting
// the text in the entry's own buffer.
void store_converted(void* slot, const ConvEntry& e, uint16_t as, const void* value) {
  if (e.tag_type == TAG_MESSAGE) {
    if (e.text == nullptr) return;
    set_message_slot(slot, e, 0);
  }
  convert_tag_value(value, as, slot, e.tag_type);
}

// Stores a decoded value (representation of tag type `as`, a numeric type)
// into the slot of the entry's tag type. The common case, a tag of the
// value's own type, is a plain copy.
inline void store_value(void* slot, const ConvEntry& e, uint16_t as, const void* value) {
  if (e.tag_type != as) {
    store_converted(slot, e, as, value);
  } else if (as == TAG_FLOAT) {
    memcpy(slot, value, sizeof(double));
  } else if (as == TAG_LONG) {
    memcpy(slot, value, sizeof(int32_t));
  } else {
    memcpy(slot, value, sizeof(int16_t));
  }
}

void store_i16(void* slot, const ConvEntry& e, int32_t v) {
  const int16_t x = static_cast<int16_t>(static_cast<uint16_t>(v));
  store_value(slot, e, TAG_ANALOG, &x);
}
void store_digital(void* slot, const ConvEntry& e, bool on) {
  const int16_t x = on ? 1 : 0;
  store_value(slot, e, TAG_DIGITAL, &x);
}
void store_i32(void* slot, const ConvEntry& e, int32_t v) {
  store_value(slot, e, TAG_LONG, &v);
}
void store_f64(void* slot, const ConvEntry& e, double v) {
  store_value(slot, e, TAG_FLOAT, &v);
}

// Seconds since 1980: a date/time text for message tags, a long value otherwise.
void store_seconds(void* slot, const ConvEntry& e, uint32_t seconds) {
  if (e.tag_type != TAG_MESSAGE) {
    store_i32(slot, e, static_cast<int32_t>(seconds));
    return;
  }
  if (e.text == nullptr) return;
  char text[DATETIME_TEXT_SIZE];
  format_datetime(text, seconds);
  const size_t n = min_size(strnlen(text, sizeof text), e.text_size);
  memcpy(e.text, text, n);
  e.text[n] = '\0';
  set_message_slot(slot, e, n);
}

// Characters of the entry's text the conversions may read or write.
size_t text_room(const ConvEntry& e) {
  return min_size(e.length, e.text_size);
}

// Copies at most `length` characters from src (n bytes there) into the
// entry's text, stopping after a NUL; the rest of the length is NUL-filled.
void copy_into_text(const ConvEntry& e, const uint8_t* src, size_t n) {
  const size_t room = text_room(e);
  size_t i = 0;
  while (i < room && i < n) {
    const char c = static_cast<char>(src[i]);
    e.text[i++] = c;
    if (c == '\0') break;
  }
  memset(e.text + i, 0, room - i);
  e.text[room] = '\0';
}

// ---- Decoded numbers ---------------------------------------------------------------------

int32_t bcd_value(uint32_t v, int digits) {
  int32_t result = 0;
  int32_t weight = 1;
  for (int i = 0; i < digits; ++i) {
    result += static_cast<int32_t>((v >> (i * NIBBLE_BITS)) & 0xF) * weight;
    weight *= BCD_BASE;
  }
  return result;
}

int16_t signed_bits(uint16_t w, uint16_t s) {
  constexpr int WORD_BITS = 16;
  if (s >= WORD_BITS) return static_cast<int16_t>(w);
  const uint16_t upper = static_cast<uint16_t>(0xFFFFu << s);  // bits s..15
  if ((w & LOW14_MASK) & (1u << s)) return static_cast<int16_t>(w | upper);
  return static_cast<int16_t>(w & ~upper);
}

double fixed_value(uint16_t w) {
  const double magnitude = ((w & FIXED_ONE) ? 1.0 : 0.0) + (w & FIXED_FRACTION) / FIXED_SCALE;
  if (magnitude == 0.0) return 0.0;
  return (w & FIXED_SIGN) ? -magnitude : magnitude;
}

double widen_float(uint32_t bits) {
  float f;
  memcpy(&f, &bits, sizeof f);
  return static_cast<double>(f);
}

uint32_t device_to_tag_seconds(int32_t v) {
  if (v <= static_cast<int32_t>(CONV_DEVICE_EPOCH_OFFSET)) return 0;
  return static_cast<uint32_t>(v) - CONV_DEVICE_EPOCH_OFFSET;
}

// Fixed element sizes; 0 for types whose size depends on the entry or block.
size_t fixed_bytes(uint16_t data_type) {
  switch (data_type) {
    case DT_BYTE:
    case DT_BCD2:
      return 1;
    case DT_BYTE_LO:
    case DT_BYTE_HI:
    case DT_WORD:
    case DT_BCD4:
    case DT_SCALE:
    case DT_LOW14:
    case DT_SIGNED_BITS:
    case DT_FIXED:
    case DT_BCD4B:
      return 2;
    case DT_LONG:
    case DT_FLOAT:
    case DT_EXP_FLOAT:
    case DT_LONG_WS:
    case DT_FLOAT_WS:
    case DT_BCD8:
    case DT_TIME:
    case DT_FFLOAT:
    case DT_FFLOAT_WS:
      return 4;
    case DT_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

// Decodes a fixed-size numeric element (size already checked).
void decode_number(void* slot, const uint8_t* p, const ConvEntry& e, uint16_t flags) {
  switch (e.data_type) {
    case DT_BYTE_LO:
      store_i16(slot, e, get_byte_lo(flags, p));
      return;
    case DT_BYTE_HI:
      store_i16(slot, e, get_byte_hi(flags, p));
      return;
    case DT_WORD:
      store_i16(slot, e, get_word(flags, p));
      return;
    case DT_LONG:
      store_i32(slot, e, get_long(flags, p));
      return;
    case DT_DOUBLE:
      store_f64(slot, e, get_double(flags, p));
      return;
    case DT_FLOAT:
      store_f64(slot, e, widen_float(static_cast<uint32_t>(get_long(flags, p))));
      return;
    case DT_EXP_FLOAT:
      store_f64(slot, e, decode_exp_float(static_cast<uint32_t>(get_long(flags, p))));
      return;
    case DT_BCD4:
    case DT_BCD4B:
      store_i16(slot, e, bcd_value(static_cast<uint16_t>(get_word(flags, p)), 4));
      return;
    case DT_BYTE:
      store_i16(slot, e, *p);
      return;
    case DT_SCALE: {
      static const int16_t POWERS[] = {1, 10, 100, 1000};
      store_i16(slot, e, POWERS[static_cast<uint16_t>(get_word(flags, p)) >> SCALE_SHIFT]);
      return;
    }
    case DT_LOW14:
      store_i16(slot, e, static_cast<uint16_t>(get_word(flags, p)) & LOW14_MASK);
      return;
    case DT_SIGNED_BITS:
      store_i16(slot, e, signed_bits(static_cast<uint16_t>(get_word(flags, p)), e.length));
      return;
    case DT_LONG_WS:
      store_i32(slot, e, get_long_ws(flags, p));
      return;
    case DT_FLOAT_WS:
      store_f64(slot, e, widen_float(static_cast<uint32_t>(get_long_ws(flags, p))));
      return;
    case DT_FIXED:
      store_f64(slot, e, fixed_value(static_cast<uint16_t>(get_word(flags, p))));
      return;
    case DT_BCD2:
      store_i16(slot, e, bcd_value(*p, 2));
      return;
    case DT_BCD8:
      store_i32(slot, e, bcd_value(static_cast<uint32_t>(get_long(flags, p)), 8));
      return;
    case DT_TIME:
      store_seconds(slot, e, device_to_tag_seconds(get_long(flags, p)));
      return;
    case DT_FFLOAT:
      store_f64(slot, e, widen_float(decode_f_float(static_cast<uint32_t>(get_long(flags, p)))));
      return;
    case DT_FFLOAT_WS:
      store_f64(slot, e, widen_float(decode_f_float(static_cast<uint32_t>(get_long_ws(flags, p)))));
      return;
    default:
      return;
  }
}

// ---- Read direction: the variable-size types ----------------------------------------------

void bit_from_block(void* slot, const uint8_t* p, size_t available, const ConvEntry& e,
                    const ConvBlock& b, const ConvReporter& r) {
  const size_t need = bit_unit_bytes(b.flags);
  if (need == 0 || available < need) {
    report_bound(r, conv_unit_size(b.flags));
    return;
  }
  const int32_t selector = conv_unit_size(b.flags) == 0 ? e.address : e.length;
  store_digital(slot, e, get_bit(b, p, selector) != 0);
}

void string_from_block(void* slot, const uint8_t* p, size_t available, const ConvEntry& e,
                       const ConvBlock& b, const ConvReporter& r) {
  if (e.tag_type != TAG_MESSAGE || e.text == nullptr) return;
  const unsigned unit = conv_unit_size(b.flags);
  if (conv_byte_swap(b.flags) || unit <= 1) {
    copy_into_text(e, p, available);
  } else if (unit == 2 || unit == 4) {
    const size_t units = units_for(e.length, unit);
    Scratch scratch(units * unit);
    if (scratch.data() == nullptr) {
      report_no_memory(r);
    } else {
      copy_bytes(scratch.data(), p, min_size(scratch.size(), available));
      reverse_units(scratch.data(), units, unit);
      copy_into_text(e, scratch.data(), scratch.size());
    }
  } else {
    report_bound(r, unit);
  }
  set_message_slot(slot, e, text_room(e));
}

void time_block_from_block(void* slot, const uint8_t* p, size_t available, const ConvEntry& e,
                           const ConvBlock& b, const ConvReporter& r) {
  const unsigned unit = conv_unit_size(b.flags);
  if (unit == 0) {  // whole units only
    report_bound(r, unit);
    return;
  }
  if (e.length / unit == 0) return;
  const size_t units = units_for(e.length, unit);
  const size_t n = units * unit;
  if (available < n) {
    report_bound(r, unit);
    return;
  }
  const TimeLayout* layout = time_layout(e.data_type - DT_TIM0);
  if (layout == nullptr) return;
  Scratch scratch(n);
  if (scratch.data() == nullptr) {
    report_no_memory(r);
    return;
  }
  copy_bytes(scratch.data(), p, n);
  if (conv_byte_swap(b.flags)) {
    if (unit == 2 || unit == 4) {
      reverse_units(scratch.data(), units, unit);
    } else if (unit != 1) {
      report_bound(r, unit);  // bytes taken as received
    }
  }
  store_seconds(slot, e, decode_time_block(scratch.data(), n, *layout));
}

void raw_from_block(void* slot, const uint8_t* p, size_t available, const ConvEntry& e,
                    const ConvBlock& b) {
  if (e.tag_type != TAG_MESSAGE || e.text == nullptr) return;
  const uint16_t block_bytes = static_cast<uint16_t>(b.count * conv_unit_size(b.flags));
  const size_t room = text_room(e);
  const size_t m = min_size(min_size(block_bytes, room), available);
  memset(e.text, 0, room);
  copy_bytes(e.text, p, m);
  e.text[room] = '\0';
  set_message_slot(slot, e, m);
}

// ---- Write direction ------------------------------------------------------------------------

// The tag's value in the representation of tag type `as` (message tags: the
// entry's own text). False when there is none.
bool take_value(const void* slot, const ConvEntry& e, uint16_t as, void* out) {
  if (e.tag_type == as && as != TAG_MESSAGE) {
    memcpy(out, slot, value_size(as));
    return true;
  }
  if (e.tag_type == TAG_MESSAGE) {
    if (e.text == nullptr) return false;
    const MessageValue m{e.text, text_capacity(e),
                         static_cast<uint16_t>(strnlen(e.text, e.text_size))};
    return convert_tag_value(&m, TAG_MESSAGE, out, as) != nullptr;
  }
  return convert_tag_value(slot, e.tag_type, out, as) != nullptr;
}

bool take_i16(const void* slot, const ConvEntry& e, uint16_t as, int16_t* v) {
  return take_value(slot, e, as, v);
}
bool take_i32(const void* slot, const ConvEntry& e, int32_t* v) {
  return take_value(slot, e, TAG_LONG, v);
}
bool take_f64(const void* slot, const ConvEntry& e, double* v) {
  return take_value(slot, e, TAG_FLOAT, v);
}

// Seconds since 1980 of the tag: the entry's text in the date/time format for
// message tags, the long value otherwise.
bool take_seconds(const void* slot, const ConvEntry& e, uint32_t* seconds) {
  if (e.tag_type == TAG_MESSAGE) {
    if (e.text == nullptr) return false;
    *seconds = parse_datetime_with(datetime_format(), e.text, strnlen(e.text, e.text_size));
    return true;
  }
  int32_t v;
  if (!take_i32(slot, e, &v)) return false;
  *seconds = static_cast<uint32_t>(v);
  return true;
}

uint32_t float_bits(double x) {
  const float f = static_cast<float>(x);
  uint32_t bits;
  memcpy(&bits, &f, sizeof bits);
  return bits;
}

// BCD digits of a 16-bit value: remainders of the unsigned pattern, divisions
// signed (block writes) or unsigned (typed writes).
uint16_t bcd16(int16_t value, int digits, bool signed_division) {
  uint16_t result = 0;
  int32_t v = value;
  for (int i = 0; i < digits; ++i) {
    const uint16_t pattern = static_cast<uint16_t>(v);
    result = static_cast<uint16_t>(result | ((pattern % BCD_BASE) << (i * NIBBLE_BITS)));
    v = signed_division ? static_cast<int16_t>(pattern) / BCD_BASE : pattern / BCD_BASE;
  }
  return result;
}

uint32_t bcd32(uint32_t v) {
  uint32_t result = 0;
  for (int i = 0; i < 8; ++i) {
    result |= (v % BCD_BASE) << (i * NIBBLE_BITS);
    v /= BCD_BASE;
  }
  return result;
}

// The exponent word: 10^e below or at v, e in bits 14-15 (10000 and more wrap to 0).
uint16_t scale_word(int16_t v) {
  if (v <= 0) return 0;
  int e = 0;
  for (int32_t x = v; x >= BCD_BASE; x /= BCD_BASE) ++e;
  return static_cast<uint16_t>((e << SCALE_SHIFT) & SCALE_MASK);
}

uint16_t fixed_word(double x) {
  if (x >= 2.0) return FIXED_MAX;
  if (x <= -2.0 || x != x) return FIXED_MIN;
  uint16_t w = 0;
  if (x <= 0.0) w |= FIXED_SIGN;
  if (x <= -1.0 || x >= 1.0) {
    w |= FIXED_ONE;
  } else {
    x += x > 0.0 ? 1.0 : -1.0;
  }
  const double magnitude = x < 0.0 ? -x : x;
  w |=
      static_cast<uint16_t>(static_cast<int32_t>((magnitude - 1.0) * FIXED_SCALE) & FIXED_FRACTION);
  return w;
}

// Encodes a fixed-size numeric element (size already checked).
void encode_number(uint8_t* p, const void* slot, const ConvEntry& e, uint16_t flags) {
  int16_t a;
  int32_t l;
  double x;
  uint32_t seconds;
  switch (e.data_type) {
    case DT_BYTE_LO:
      if (take_i16(slot, e, TAG_ANALOG, &a)) put_byte_lo(flags, p, static_cast<uint16_t>(a));
      return;
    case DT_BYTE_HI:
      if (take_i16(slot, e, TAG_ANALOG, &a)) put_byte_hi(flags, p, static_cast<uint16_t>(a));
      return;
    case DT_WORD:
    case DT_LOW14:
    case DT_SIGNED_BITS:
      if (take_i16(slot, e, TAG_ANALOG, &a)) put_word(flags, p, static_cast<uint16_t>(a));
      return;
    case DT_LONG:
      if (take_i32(slot, e, &l)) put_long(flags, p, static_cast<uint32_t>(l));
      return;
    case DT_LONG_WS:
      if (take_i32(slot, e, &l)) put_long_ws(flags, p, static_cast<uint32_t>(l));
      return;
    case DT_DOUBLE:
      if (take_f64(slot, e, &x)) put_double(flags, p, x);
      return;
    case DT_FLOAT:
      if (take_f64(slot, e, &x)) put_long(flags, p, float_bits(x));
      return;
    case DT_FLOAT_WS:
      if (take_f64(slot, e, &x)) put_long_ws(flags, p, float_bits(x));
      return;
    case DT_EXP_FLOAT:
      if (take_f64(slot, e, &x)) put_long(flags, p, encode_exp_float(x));
      return;
    case DT_FFLOAT:
      if (take_f64(slot, e, &x)) put_long(flags, p, encode_f_float(float_bits(x)));
      return;
    case DT_FFLOAT_WS:
      if (take_f64(slot, e, &x)) put_long_ws(flags, p, encode_f_float(float_bits(x)));
      return;
    case DT_BYTE:
      if (take_i16(slot, e, TAG_ANALOG, &a)) *p = static_cast<uint8_t>(a);
      return;
    case DT_BCD2:
      if (take_i16(slot, e, TAG_ANALOG, &a)) *p = static_cast<uint8_t>(bcd16(a, 2, true));
      return;
    case DT_BCD4:
    case DT_BCD4B:
      if (take_i16(slot, e, TAG_ANALOG, &a)) put_word(flags, p, bcd16(a, 4, true));
      return;
    case DT_BCD8:
      if (take_i32(slot, e, &l)) put_long(flags, p, bcd32(static_cast<uint32_t>(l)));
      return;
    case DT_SCALE:
      if (take_i16(slot, e, TAG_ANALOG, &a)) put_word(flags, p, scale_word(a));
      return;
    case DT_FIXED:
      if (take_f64(slot, e, &x)) put_word(flags, p, fixed_word(x));
      return;
    case DT_TIME:
      if (take_seconds(slot, e, &seconds)) put_long(flags, p, seconds + CONV_DEVICE_EPOCH_OFFSET);
      return;
    default:
      return;
  }
}

void bit_to_block(uint8_t* p, size_t available, const void* slot, const ConvEntry& e,
                  const ConvBlock& b, const ConvReporter& r) {
  const size_t need = bit_unit_bytes(b.flags);
  if (need == 0) return;  // no bits in such units; nothing written
  if (available < need) {
    report_bound(r, conv_unit_size(b.flags));
    return;
  }
  int16_t v;
  if (!take_i16(slot, e, TAG_DIGITAL, &v)) return;
  const int32_t selector = conv_unit_size(b.flags) == 0 ? e.address : e.length;
  put_bit(b, p, selector, v);
}

// The entry's text as `length` characters: up to its NUL, then NULs.
void padded_text(const ConvEntry& e, uint8_t* out, size_t length) {
  const size_t n = min_size(strnlen(e.text, e.text_size), length);
  memcpy(out, e.text, n);
  memset(out + n, 0, length - n);
}

// Writes `length` bytes of src into the element of `units` units at p, whose
// device bytes are unit-reversed: the bytes of the last unit beyond `length`
// keep their places. Only `available` bytes of the element are touched.
void write_unit_reversed(uint8_t* p, size_t available, const uint8_t* src, size_t length,
                         size_t units, size_t unit, Scratch* image) {
  const size_t n = units * unit;
  const size_t kept = min_size(n, available);
  copy_bytes(image->data(), p, kept);
  reverse_bytes(image->data() + (units - 1) * unit, unit);
  copy_bytes(image->data(), src, length);
  reverse_units(image->data(), units, unit);
  copy_bytes(p, image->data(), kept);
}

void string_to_block(uint8_t* p, size_t available, const ConvEntry& e, const ConvBlock& b,
                     const ConvReporter& r) {
  if (e.tag_type != TAG_MESSAGE || e.text == nullptr) return;
  const unsigned unit = conv_unit_size(b.flags);
  const size_t length = e.length;
  if (conv_byte_swap(b.flags) || unit <= 1) {
    Scratch text(length);
    if (text.data() == nullptr) {
      report_no_memory(r);
      return;
    }
    padded_text(e, text.data(), length);
    copy_bytes(p, text.data(), min_size(length, available));
  } else if (unit == 2 || unit == 4) {
    const size_t units = units_for(length, unit);
    Scratch text(length);
    Scratch image(units * unit);
    if (text.data() == nullptr || image.data() == nullptr) {
      report_no_memory(r);
      return;
    }
    if (units == 0) return;
    padded_text(e, text.data(), length);
    write_unit_reversed(p, available, text.data(), length, units, unit, &image);
  } else {
    report_bound(r, unit);
  }
}

void time_block_to_block(uint8_t* p, size_t available, const void* slot, const ConvEntry& e,
                         const ConvBlock& b, const ConvReporter& r) {
  const unsigned unit = conv_unit_size(b.flags);
  if (unit == 0) {
    report_bound(r, unit);
    return;
  }
  if (e.length / unit == 0) return;
  const size_t units = units_for(e.length, unit);
  const bool swap = conv_byte_swap(b.flags);
  if (swap && unit != 1 && unit != 2 && unit != 4) {
    report_bound(r, unit);
    return;
  }
  const bool reversed = swap && unit != 1;
  if (available < (reversed ? units * unit : e.length)) {
    report_bound(r, unit);
    return;
  }
  const TimeLayout* layout = time_layout(e.data_type - DT_TIM0);
  uint32_t seconds;
  if (layout == nullptr || !take_seconds(slot, e, &seconds)) return;
  const size_t layout_size = layout->size > 0 ? static_cast<size_t>(layout->size) : 0;
  Scratch fields(units * unit > layout_size ? units * unit : layout_size);
  Scratch image(reversed ? units * unit : 0);
  if (fields.data() == nullptr || (reversed && image.data() == nullptr)) {
    report_no_memory(r);
    return;
  }
  encode_time_block(fields.data(), seconds, *layout);
  if (reversed) {
    write_unit_reversed(p, available, fields.data(), e.length, units, unit, &image);
  } else {
    copy_bytes(p, fields.data(), e.length);
  }
}

void raw_to_block(uint8_t* p, size_t available, const ConvEntry& e, const ConvBlock& b) {
  if (e.tag_type != TAG_MESSAGE || e.text == nullptr) return;
  const uint16_t block_bytes = static_cast<uint16_t>(b.count * conv_unit_size(b.flags));
  const size_t m = min_size(min_size(block_bytes, text_room(e)), available);
  copy_bytes(p, e.text, m);
}

// ---- Typed values ------------------------------------------------------------------------------

struct Typed {
  uint8_t bytes[8];
  size_t size;
};

template <class T>
void typed_put(Typed* t, T v) {
  memcpy(t->bytes, &v, sizeof v);
  t->size = sizeof v;
}

// The typed form of the tag value; false when there is none.
bool typed_value(const void* slot, const ConvEntry& e, unsigned unit, Typed* t) {
  int16_t a;
  int32_t l;
  double x;
  uint32_t seconds;
  switch (e.data_type) {
    case DT_BIT:
      if (!take_i16(slot, e, TAG_DIGITAL, &a)) return false;
      if (unit == 1) typed_put(t, static_cast<uint8_t>(a));
      if (unit == 2) typed_put(t, a);
      if (unit == 4) typed_put(t, static_cast<int32_t>(a));
      if (unit == 8) typed_put(t, static_cast<double>(a));
      return t->size != 0;
    case DT_BYTE_LO:
    case DT_BYTE_HI:
    case DT_BYTE:
      if (unit != 2 || !take_i16(slot, e, TAG_ANALOG, &a)) return false;
      typed_put(t, a);
      return true;
    case DT_WORD:
    case DT_LOW14:
    case DT_SIGNED_BITS:
      if ((unit != 4 && unit != 8) || !take_i16(slot, e, TAG_ANALOG, &a)) return false;
      if (unit == 4) typed_put(t, static_cast<int32_t>(a));
      if (unit == 8) typed_put(t, static_cast<double>(a));
      return true;
    case DT_LONG:
    case DT_LONG_WS:
      if (unit != 8 || !take_i32(slot, e, &l)) return false;
      typed_put(t, static_cast<double>(l));
      return true;
    case DT_FLOAT:
    case DT_FLOAT_WS:
      if (unit != 8 || !take_f64(slot, e, &x)) return false;
      typed_put(t, x);
      return true;
    case DT_EXP_FLOAT:
      if (unit != 8 || !take_f64(slot, e, &x)) return false;
      typed_put(t, static_cast<double>(encode_exp_float(x)));
      return true;
    case DT_BCD4:
    case DT_BCD4B: {
      if ((unit != 4 && unit != 8) || !take_i16(slot, e, TAG_ANALOG, &a)) return false;
      const int32_t word = static_cast<int16_t>(bcd16(a, 4, false));
      if (unit == 4) typed_put(t, word);
      if (unit == 8) typed_put(t, static_cast<double>(word));
      return true;
    }
    case DT_SCALE: {
      if ((unit != 4 && unit != 8) || !take_i16(slot, e, TAG_ANALOG, &a)) return false;
      const int32_t word = scale_word(a);
      if (unit == 4) typed_put(t, word);
      if (unit == 8) typed_put(t, static_cast<double>(word));
      return true;
    }
    case DT_BCD2:
      if (unit != 2 || !take_i16(slot, e, TAG_ANALOG, &a)) return false;
      typed_put(t, static_cast<int16_t>(bcd16(a, 2, true)));
      return true;
    case DT_TIME:
      if (unit != 8 || !take_seconds(slot, e, &seconds)) return false;
      typed_put(t, static_cast<double>(seconds + CONV_DEVICE_EPOCH_OFFSET));
      return true;
    case DT_FFLOAT:
    case DT_FFLOAT_WS:
      if (unit != 8 || !take_f64(slot, e, &x)) return false;
      typed_put(t, encode_f_float(float_bits(x)));  // 4 bytes; the rest untouched
      return true;
    default:
      return false;
  }
}

struct NamedType {
  uint16_t code;
  const char* name;
};
constexpr NamedType DATA_TYPE_NAMES[] = {
    {DT_BIT, "DT_BIT"},
    {DT_BYTE_LO, "DT_BYTE_LO"},
    {DT_BYTE_HI, "DT_BYTE_HI"},
    {DT_WORD, "DT_WORD"},
    {DT_LONG, "DT_LONG"},
    {DT_DOUBLE, "DT_DOUBLE"},
    {DT_STRING, "DT_STRING"},
    {DT_FLOAT, "DT_FLOAT"},
    {DT_EXP_FLOAT, "DT_EXP_FLOAT"},
    {DT_BCD4, "DT_BCD4"},
    {DT_BYTE, "DT_BYTE"},
    {DT_SCALE, "DT_SCALE"},
    {DT_LOW14, "DT_LOW14"},
    {DT_SIGNED_BITS, "DT_SIGNED_BITS"},
    {DT_LONG_WS, "DT_LONG_WS"},
    {DT_FLOAT_WS, "DT_FLOAT_WS"},
    {DT_FIXED, "DT_FIXED"},
    {DT_BCD2, "DT_BCD2"},
    {DT_BCD4B, "DT_BCD4B"},
    {DT_BCD8, "DT_BCD8"},
    {DT_TIME, "DT_TIME"},
    {22, "DT_TIM0"},
    {23, "DT_TIM1"},
    {24, "DT_TIM2"},
    {25, "DT_TIM3"},
    {26, "DT_TIM4"},
    {27, "DT_TIM5"},
    {28, "DT_TIM6"},
    {29, "DT_TIM7"},
    {30, "DT_TIM8"},
    {31, "DT_TIM9"},
    {DT_RAW, "DT_RAW"},
    {DT_FFLOAT, "DT_FFLOAT"},
    {DT_FFLOAT_WS, "DT_FFLOAT_WS"},
};

}  // namespace

void convert_from_block_general(void* slot, const uint8_t* source, size_t available,
                                const ConvEntry& entry, ConvBlock block,
                                const ConvReporter& reporter) {
  if (slot == nullptr || !dt_is_valid(entry.data_type)) return;
  if (source == nullptr) available = 0;
  const size_t need = fixed_bytes(entry.data_type);
  if (need != 0) {
    if (available < need) {
      report_bound(reporter, conv_unit_size(block.flags));
      return;
    }
    decode_number(slot, source, entry, block.flags);
    return;
  }
  switch (entry.data_type) {
    case DT_BIT:
      bit_from_block(slot, source, available, entry, block, reporter);
      return;
    case DT_STRING:
      string_from_block(slot, source, available, entry, block, reporter);
      return;
    case DT_RAW:
      raw_from_block(slot, source, available, entry, block);
      return;
    default:
      time_block_from_block(slot, source, available, entry, block, reporter);
      return;
  }
}

void convert_to_block(uint8_t* destination, size_t available, const void* slot,
                      const ConvEntry& entry, ConvBlock block, const ConvReporter& reporter) {
  if (slot == nullptr || !dt_is_valid(entry.data_type)) return;
  if (destination == nullptr) available = 0;
  const size_t need = fixed_bytes(entry.data_type);
  if (need != 0) {
    if (available < need) {
      report_bound(reporter, conv_unit_size(block.flags));
      return;
    }
    encode_number(destination, slot, entry, block.flags);
    return;
  }
  switch (entry.data_type) {
    case DT_BIT:
      bit_to_block(destination, available, slot, entry, block, reporter);
      return;
    case DT_STRING:
      string_to_block(destination, available, entry, block, reporter);
      return;
    case DT_RAW:
      raw_to_block(destination, available, entry, block);
      return;
    default:
      time_block_to_block(destination, available, slot, entry, block, reporter);
      return;
  }
}

int convert_to_typed(uint8_t* destination, size_t available, const void* slot,
                     const ConvEntry& entry, ConvBlock block, size_t* written) {
  if (written != nullptr) *written = 0;
  if (entry.data_type == DT_DOUBLE) return 0;
  if (slot == nullptr || destination == nullptr) return -1;
  Typed t{};
  if (!typed_value(slot, entry, conv_unit_size(block.flags), &t)) return -1;
  if (t.size > available) return -1;
  memcpy(destination, t.bytes, t.size);
  if (written != nullptr) *written = t.size;
  return 0;
}

size_t conv_element_bytes(const ConvEntry& entry, ConvBlock block) {
  const size_t fixed = fixed_bytes(entry.data_type);
  if (fixed != 0) return fixed;
  const unsigned unit = conv_unit_size(block.flags);
  switch (entry.data_type) {
    case DT_BIT:
      return bit_unit_bytes(block.flags);
    case DT_STRING:
      if (conv_byte_swap(block.flags) || unit <= 1) return entry.length;
      if (unit == 2 || unit == 4) return units_for(entry.length, unit) * unit;
      return 0;
    case DT_RAW:
      return min_size(static_cast<uint16_t>(block.count * unit), entry.length);
    default:
      if (!dt_is_time_block(entry.data_type) || unit == 0) return 0;
      return units_for(entry.length, unit) * unit;
  }
}

uint16_t dt_natural_tag_type(uint16_t data_type) {
  switch (data_type) {
    case DT_BIT:
      return TAG_DIGITAL;
    case DT_LONG:
    case DT_LONG_WS:
    case DT_BCD8:
    case DT_TIME:
      return TAG_LONG;
    case DT_DOUBLE:
    case DT_FLOAT:
    case DT_EXP_FLOAT:
    case DT_FLOAT_WS:
    case DT_FIXED:
    case DT_FFLOAT:
    case DT_FFLOAT_WS:
      return TAG_FLOAT;
    case DT_STRING:
    case DT_RAW:
      return TAG_MESSAGE;
    default:
      if (dt_is_time_block(data_type)) return TAG_LONG;
      return dt_is_valid(data_type) ? uint16_t{TAG_ANALOG} : NO_TAG_TYPE;
  }
}

const char* dt_name(uint16_t data_type) {
  for (const NamedType& t : DATA_TYPE_NAMES) {
    if (t.code == data_type) return t.name;
  }
  return nullptr;
}

uint16_t dt_from_name(const char* name) {
  if (name == nullptr) return 0;
  for (const NamedType& t : DATA_TYPE_NAMES) {
    if (strcasecmp(t.name, name) == 0) return t.code;
  }
  return 0;
}
