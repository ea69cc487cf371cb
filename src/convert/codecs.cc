// Value codecs: unit readers and writers, bits, float formats, tag value conversion.
#include "convert/codecs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

#include "kernel/zqkernel.h"

namespace {

constexpr uint16_t BYTE_MASK = 0xFF;
constexpr int BITS_PER_BYTE = 8;

// The bit a selector names: the unit's width in bytes and the mask (0 = none).
struct BitSelection {
  size_t unit_bytes;
  uint32_t mask;
};

BitSelection select_bit(const ConvBlock& block, int32_t selector) {
  const unsigned unit = conv_unit_size(block.flags);
  BitSelection sel{bit_unit_bytes(block.flags), 0};
  if (sel.unit_bytes == 0) return sel;
  int32_t n;
  if (unit == 0) {
    const int32_t offset = selector - static_cast<int32_t>(block.source_start);
    if (offset < 0) return sel;
    n = offset % BITS_PER_BYTE;
  } else {
    n = selector - ((block.flags & CONV_FLAG_ONE_BASED_BITS) ? 1 : 0);
  }
  const int32_t width = static_cast<int32_t>(sel.unit_bytes) * BITS_PER_BYTE;
  if (n < 0 || n >= width) return sel;
  if (block.flags & CONV_FLAG_LOW_BIT_FIRST) {
    sel.mask = uint32_t{1} << n;
  } else {
    sel.mask = (uint32_t{1} << (width - 1)) >> n;
  }
  return sel;
}

uint32_t read_bit_unit(uint16_t flags, size_t unit_bytes, const uint8_t* p) {
  if (unit_bytes == 1) return *p;
  if (unit_bytes == 2) return static_cast<uint16_t>(get_word(flags, p));
  return static_cast<uint32_t>(get_long(flags, p));
}

// ---- Tag value representations ----------------------------------------------------

struct Value {
  int64_t integer;  // digital, analog, long
  double real;      // float
};

int16_t load_i16(const void* p) {
  int16_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
int32_t load_i32(const void* p) {
  int32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
double load_f64(const void* p) {
  double v;
  memcpy(&v, p, sizeof v);
  return v;
}
MessageValue load_message(const void* p) {
  MessageValue v;
  memcpy(&v, p, sizeof v);
  return v;
}
void store_i16(void* p, int64_t v) {
  const int16_t x = static_cast<int16_t>(static_cast<uint16_t>(v));
  memcpy(p, &x, sizeof x);
}
void store_i32(void* p, int64_t v) {
  const int32_t x = static_cast<int32_t>(static_cast<uint32_t>(v));
  memcpy(p, &x, sizeof x);
}
void store_f64(void* p, double v) {
  memcpy(p, &v, sizeof v);
}

// Truncation toward zero through a 64-bit integer; values outside its range
// (and NaN) give the integer's minimum, as the hardware conversion does.
int64_t truncate_to_i64(double x) {
  constexpr double LIMIT = 9223372036854775808.0;  // 2^63
  if (!(x > -LIMIT && x < LIMIT)) return INT64_MIN;
  return static_cast<int64_t>(x);
}

bool is_blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The text of a message value: up to its NUL or `length`.
size_t message_text_length(const MessageValue& m) {
  if (m.text == nullptr) return 0;
  const void* nul = memchr(m.text, '\0', m.length);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - m.text) : m.length;
}

// Leading decimal integer of a text (blanks skipped, optional sign, no digits
// gives 0), kept to its low 32 bits.
int64_t parse_integer(const char* s, size_t n) {
  size_t i = 0;
  while (i < n && is_blank(s[i])) ++i;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  uint32_t v = 0;
  for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10u + static_cast<uint32_t>(s[i] - '0');
  if (negative) v = 0u - v;
  return static_cast<int32_t>(v);
}

// Leading decimal floating-point number of a text (blanks skipped).
double parse_real(const char* s, size_t n) {
  constexpr size_t NUMBER_TEXT_MAX = 511;
  size_t i = 0;
  while (i < n && is_blank(s[i])) ++i;
  if (i + 1 < n && s[i] == '+' && s[i + 1] != '-' && s[i + 1] != '+') ++i;
  double v = 0.0;
  const auto r = std::from_chars(s + i, s + n, v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // Too large or too small for binary64: strtod gives the limit value.
    char copy[NUMBER_TEXT_MAX + 1];
    const size_t len = static_cast<size_t>(r.ptr - (s + i));
    const size_t kept = len < NUMBER_TEXT_MAX ? len : NUMBER_TEXT_MAX;
    memcpy(copy, s + i, kept);
    copy[kept] = '\0';
    return strtod(copy, nullptr);
  }
  return r.ec == std::errc() ? v : 0.0;
}

// Reads a value of from_type; false when the type carries no value.
bool read_value(const void* value, uint16_t from_type, uint16_t to_type, Value* out) {
  out->integer = 0;
  out->real = 0.0;
  switch (from_type) {
    case TAG_DIGITAL:
    case TAG_ANALOG:
      out->integer = load_i16(value);
      out->real = static_cast<double>(out->integer);
      return true;
    case TAG_LONG:
      out->integer = load_i32(value);
      out->real = static_cast<double>(out->integer);
      return true;
    case TAG_FLOAT:
      out->real = load_f64(value);
      out->integer = truncate_to_i64(out->real);
      return true;
    case TAG_MESSAGE: {
      const MessageValue m = load_message(value);
      const size_t n = message_text_length(m);
      if (to_type == TAG_FLOAT) {
        out->real = parse_real(m.text, n);
      } else {
        out->integer = parse_integer(m.text, n);
      }
      return true;
    }
    default:
      return false;
  }
}

// Copies a formatted text into the caller's storage, cut to fit.
void put_text(MessageValue* m, const char* text, size_t n) {
  const size_t room = m->capacity - 1u;
  if (n > room) n = room;
  memmove(m->text, text, n);
  m->text[n] = '\0';
  m->length = static_cast<uint16_t>(n);
}

// "%f" when it fits the storage; otherwise the shortest text that reads back
// exactly (1e+300), cut to the storage only when even that does not fit.
void format_real(MessageValue* m, double x) {
  constexpr size_t FIXED_TEXT_MAX = 400;  // "%f" of the largest binary64 needs 317
  char buf[FIXED_TEXT_MAX];
  const int n = snprintf(buf, sizeof buf, "%f", x);
  if (n >= 0 && static_cast<size_t>(n) < m->capacity && static_cast<size_t>(n) < sizeof buf) {
    put_text(m, buf, static_cast<size_t>(n));
    return;
  }
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  put_text(m, buf, static_cast<size_t>(r.ptr - buf));
}

void write_message(const void* value, uint16_t from_type, const Value& v, MessageValue* m) {
  char buf[32];
  switch (from_type) {
    case TAG_DIGITAL:
    case TAG_ANALOG:
    case TAG_LONG: {
      const int n = snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.integer));
      put_text(m, buf, static_cast<size_t>(n));
      return;
    }
    case TAG_FLOAT:
      format_real(m, v.real);
      return;
    default: {  // TAG_MESSAGE
      const MessageValue src = load_message(value);
      put_text(m, src.text, message_text_length(src));
      return;
    }
  }
}

}  // namespace

// ---- Bits --------------------------------------------------------------------------

size_t bit_unit_bytes(uint16_t flags) {
  switch (conv_unit_size(flags)) {
    case 0:
    case 1:
      return 1;
    case 2:
      return 2;
    case 4:
      return 4;
    default:
      return 0;
  }
}

uint32_t get_bit(const ConvBlock& block, const uint8_t* p, int32_t selector) {
  const BitSelection sel = select_bit(block, selector);
  if (sel.mask == 0) return 0;
  return read_bit_unit(block.flags, sel.unit_bytes, p) & sel.mask;
}

void put_bit(const ConvBlock& block, uint8_t* p, int32_t selector, int16_t value) {
  const BitSelection sel = select_bit(block, selector);
  if (sel.mask == 0) return;
  uint32_t unit = read_bit_unit(block.flags, sel.unit_bytes, p);
  unit = value != 0 ? (unit | sel.mask) : (unit & ~sel.mask);
  if (sel.unit_bytes == 1) {
    *p = static_cast<uint8_t>(unit);
  } else if (sel.unit_bytes == 2) {
    put_word(block.flags, p, static_cast<uint16_t>(unit));
  } else {
    put_long(block.flags, p, unit);
  }
}

// ---- Float formats -----------------------------------------------------------------

namespace {
constexpr uint32_t EXP_FLOAT_ZERO = 0x80000000u;
constexpr uint32_t EXP_FRACTION_MASK = 0x00FFFFFFu;
constexpr uint32_t EXP_FRACTION_SIGN = 0x00800000u;
constexpr uint32_t EXP_FRACTION_ONE = 0x00400000u;   // the leading one of a normalised fraction
constexpr uint32_t EXP_FRACTION_BITS = 0x003FFFFFu;  // the 22 stored fraction bits
constexpr int EXP_SHIFT = 24;
constexpr int DOUBLE_FRACTION_BITS = 52;
constexpr int DOUBLE_FRACTION_DROP = 30;  // 52 - 22
constexpr uint64_t DOUBLE_EXPONENT_MASK = 0x7FF;
constexpr int64_t DOUBLE_EXPONENT_BIAS_MINUS_ONE = 0x3FE;
constexpr int DOUBLE_SIGN_SHIFT = 63;
}  // namespace

double decode_exp_float(uint32_t v) {
  if (v == 0 || v == EXP_FLOAT_ZERO) return 0.0;
  const int32_t exponent = static_cast<int8_t>(static_cast<uint8_t>(v >> EXP_SHIFT));
  uint64_t biased =
      static_cast<uint64_t>(exponent + DOUBLE_EXPONENT_BIAS_MINUS_ONE) & DOUBLE_EXPONENT_MASK;
  uint32_t fraction = v & EXP_FRACTION_MASK;
  uint64_t sign = 0;
  if (fraction & EXP_FRACTION_SIGN) {
    fraction = (0u - fraction) & EXP_FRACTION_MASK;  // magnitude of the negative fraction
    sign = 1;
    if (fraction & EXP_FRACTION_SIGN) biased = (biased + 1) & DOUBLE_EXPONENT_MASK;  // it was -1
  }
  const uint64_t bits =
      (sign << DOUBLE_SIGN_SHIFT) | (biased << DOUBLE_FRACTION_BITS) |
      (static_cast<uint64_t>(fraction & EXP_FRACTION_BITS) << DOUBLE_FRACTION_DROP);
  double x;
  memcpy(&x, &bits, sizeof x);
  return x;
}

uint32_t encode_exp_float(double x) {
  if (x == 0.0 || x != x) return EXP_FLOAT_ZERO;
  uint64_t bits;
  memcpy(&bits, &x, sizeof bits);
  const uint64_t biased = (bits >> DOUBLE_FRACTION_BITS) & DOUBLE_EXPONENT_MASK;
  uint32_t exponent = static_cast<uint32_t>(biased + 2) & BYTE_MASK;
  const uint32_t magnitude =
      EXP_FRACTION_ONE | static_cast<uint32_t>((bits >> DOUBLE_FRACTION_DROP) & EXP_FRACTION_BITS);
  uint32_t fraction = magnitude;
  if (bits >> DOUBLE_SIGN_SHIFT) {
    if (magnitude == EXP_FRACTION_ONE) {  // minus a power of two: fraction -1, exponent one less
      fraction = EXP_FRACTION_SIGN;
      exponent = (exponent - 1) & BYTE_MASK;
    } else {
      fraction = (0u - magnitude) & EXP_FRACTION_MASK;
    }
  }
  return (exponent << EXP_SHIFT) | fraction;
}

namespace {
constexpr uint32_t F_FLOAT_NAN = 0xFFFF0000u;
constexpr uint32_t F_FLOAT_INFINITY = 0x00008000u;  // what an IEEE infinity or NaN encodes as
constexpr uint8_t SIGN_BYTE = 0x80;
constexpr uint8_t TOP_EXPONENT = 0x7F;

uint8_t byte_of(uint32_t v, int i) {
  return static_cast<uint8_t>(v >> (i * BITS_PER_BYTE));
}
uint32_t bytes_to_u32(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return uint32_t{b0} | (uint32_t{b1} << 8) | (uint32_t{b2} << 16) | (uint32_t{b3} << 24);
}
}  // namespace

uint32_t decode_f_float(uint32_t v) {
  const uint8_t b0 = byte_of(v, 0), b1 = byte_of(v, 1), b2 = byte_of(v, 2), b3 = byte_of(v, 3);
  if (b1 == SIGN_BYTE && b0 < SIGN_BYTE) return F_FLOAT_NAN;
  if (b0 >= SIGN_BYTE && (b1 == TOP_EXPONENT || b1 == 0xFF)) {
    return bytes_to_u32(0, 0, SIGN_BYTE, b1);
  }
  if (b1 == 0 && b0 == 0) return 0;
  return bytes_to_u32(b2, b3, b0, static_cast<uint8_t>(b1 - 1));
}

uint32_t encode_f_float(uint32_t f) {
  const uint8_t i0 = byte_of(f, 0), i1 = byte_of(f, 1), i2 = byte_of(f, 2), i3 = byte_of(f, 3);
  if (i2 >= SIGN_BYTE && (i3 == TOP_EXPONENT || i3 == 0xFF)) return F_FLOAT_INFINITY;
  if (i3 == SIGN_BYTE && i2 < SIGN_BYTE) return 0;
  return bytes_to_u32(i2, static_cast<uint8_t>(i3 + 1), i0, i1);
}

// ---- Other ---------------------------------------------------------------------------

void reverse_bytes(uint8_t* buffer, size_t n) {
  for (size_t i = 0; i < n / 2; ++i) {
    const uint8_t t = buffer[i];
    buffer[i] = buffer[n - 1 - i];
    buffer[n - 1 - i] = t;
  }
}

void* convert_tag_value(const void* value, uint16_t from_type, void* slot, uint16_t to_type) {
  if (value == nullptr || slot == nullptr) return nullptr;
  if (from_type > TAG_LONG || to_type > TAG_LONG) return nullptr;
  Value v;
  if (!read_value(value, from_type, to_type, &v)) return nullptr;
  switch (to_type) {
    case TAG_DIGITAL:
      if (from_type == TAG_DIGITAL) {
        store_i16(slot, v.integer);
      } else if (from_type == TAG_FLOAT) {
        store_i16(slot, (v.real < 0.0 || v.real > 0.0) ? 1 : 0);
      } else {
        // Analog, long, and the message's leading integer cut to 16 bits.
        const int64_t x = from_type == TAG_LONG ? v.integer : static_cast<int16_t>(v.integer);
        store_i16(slot, x != 0 ? 1 : 0);
      }
      return slot;
    case TAG_ANALOG:
      store_i16(slot, v.integer);
      return slot;
    case TAG_LONG:
      store_i32(slot, v.integer);
      return slot;
    case TAG_FLOAT:
      store_f64(slot, v.real);
      return slot;
    default: {  // TAG_MESSAGE
      MessageValue m = load_message(slot);
      if (m.text == nullptr || m.capacity == 0) return nullptr;
      write_message(value, from_type, v, &m);
      memcpy(slot, &m, sizeof m);
      return slot;
    }
  }
}
