// Value codecs: the primitives the block conversions are built from.
//
// Unit readers and writers in the byte order a data block declares, single
// bits, the two non-IEEE 32-bit float formats, byte reversal, and the
// converter between the value representations of the tag types. All are pure
// functions of their arguments; none allocates.
//
// Byte order (B0, B1, ... are an element's bytes in ascending address order;
// values composed most significant byte first):
//   reader/writer          byte_swap clear   byte_swap set
//   get_byte_lo/put_       B0                B1            (of a 16-bit unit)
//   get_byte_hi/put_       B1                B0
//   get_word/put_word      B1 B0             B0 B1
//   get_long/put_long      B3 B2 B1 B0       B0 B1 B2 B3
//   get_long_ws/put_       B1 B0 B3 B2       B2 B3 B0 B1
//   get_double/put_        B7 ... B0         B0 ... B7
// Byte writers keep the other byte of the unit and store the low 8 bits.
#ifndef ZQ_CONVERT_CODECS_H_
#define ZQ_CONVERT_CODECS_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "convert/conv_entry.h"

// ---- Units -----------------------------------------------------------------------

// Inline: they run once or more per converted element.

inline uint16_t get_byte_lo(uint16_t flags, const uint8_t* p) {
  return p[conv_byte_swap(flags) ? 1 : 0];
}
inline uint16_t get_byte_hi(uint16_t flags, const uint8_t* p) {
  return p[conv_byte_swap(flags) ? 0 : 1];
}
inline int16_t get_word(uint16_t flags, const uint8_t* p) {
  const unsigned v =
      conv_byte_swap(flags) ? (unsigned{p[0]} << 8 | p[1]) : (p[0] | unsigned{p[1]} << 8);
  return static_cast<int16_t>(static_cast<uint16_t>(v));
}
inline int32_t get_long(uint16_t flags, const uint8_t* p) {
  const uint32_t v =
      conv_byte_swap(flags)
          ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
          : (p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
  return static_cast<int32_t>(v);
}
inline int32_t get_long_ws(uint16_t flags, const uint8_t* p) {
  const uint32_t v = static_cast<uint32_t>(get_long(flags, p));
  return static_cast<int32_t>(v << 16 | v >> 16);
}
inline double get_double(uint16_t flags, const uint8_t* p) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    bits |= uint64_t{p[conv_byte_swap(flags) ? 7 - i : i]} << (8 * i);
  }
  double v;
  memcpy(&v, &bits, sizeof v);
  return v;
}

inline void put_byte_lo(uint16_t flags, uint8_t* p, uint16_t value) {
  p[conv_byte_swap(flags) ? 1 : 0] = static_cast<uint8_t>(value);
}
inline void put_byte_hi(uint16_t flags, uint8_t* p, uint16_t value) {
  p[conv_byte_swap(flags) ? 0 : 1] = static_cast<uint8_t>(value);
}
inline void put_word(uint16_t flags, uint8_t* p, uint16_t value) {
  const bool swap = conv_byte_swap(flags);
  p[swap ? 1 : 0] = static_cast<uint8_t>(value);
  p[swap ? 0 : 1] = static_cast<uint8_t>(value >> 8);
}
inline void put_long(uint16_t flags, uint8_t* p, uint32_t value) {
  const bool swap = conv_byte_swap(flags);
  for (int i = 0; i < 4; ++i) p[swap ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void put_long_ws(uint16_t flags, uint8_t* p, uint32_t value) {
  put_long(flags, p, value << 16 | value >> 16);
}
inline void put_double(uint16_t flags, uint8_t* p, double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  const bool swap = conv_byte_swap(flags);
  for (int i = 0; i < 8; ++i) p[swap ? 7 - i : i] = static_cast<uint8_t>(bits >> (8 * i));
}

// ---- Bits ------------------------------------------------------------------------

// Bytes of the unit a bit lives in for the block's unit size: 1 for bit- and
// byte-addressed blocks, 2 or 4 for word and long units, 0 for unit sizes
// that hold no bits (3, above 4).
size_t bit_unit_bytes(uint16_t flags);

// The selector is the element's bit address on a bit-addressed block (bit
// (selector - source_start) mod 8 of the byte at p; a negative difference
// selects nothing), else the bit number (counted from 1 with one_based_bits).
// Mask: 1 << n with low_bit_first, else the unit's top bit >> n. A bit
// outside the unit selects nothing: it reads 0 and is never written.
// get_bit is non-zero when the bit is set; put_bit sets it when value is
// non-zero, clears it otherwise, keeping every other bit of the unit. The
// unit (bit_unit_bytes) must be readable at p.
uint32_t get_bit(const ConvBlock& block, const uint8_t* p, int32_t selector);
void put_bit(const ConvBlock& block, uint8_t* p, int32_t selector, int16_t value);

// ---- Float formats ---------------------------------------------------------------

// Exponent in bits 24-31 and a fraction in bits 0-23, both two's complement,
// value fraction / 2^23 * 2^exponent.
double decode_exp_float(uint32_t v);
uint32_t encode_exp_float(double x);

// DEC F_floating pattern to an IEEE binary32 pattern and back.
uint32_t decode_f_float(uint32_t v);
uint32_t encode_f_float(uint32_t f);

// ---- Other -----------------------------------------------------------------------

void reverse_bytes(uint8_t* buffer, size_t n);

// Converts a value held in the representation of tag type from_type into the
// slot for to_type. Representations: digital and analog int16_t, float
// double, long int32_t, message a MessageValue (the text is read up to its
// NUL or `length`, whichever comes first). For a message target the caller
// names the text storage beforehand by putting a MessageValue with `text`
// and `capacity` (bytes, terminator included) into the slot; the text is
// written NUL-terminated within that capacity and `length` set. Returns the
// slot, or nullptr when nothing was converted (null pointers, a type outside
// TAG_DIGITAL..TAG_LONG, a message target without storage). Values and slots
// may be unaligned.
void* convert_tag_value(const void* value, uint16_t from_type, void* slot, uint16_t to_type);

#endif  // ZQ_CONVERT_CODECS_H_
