// What a tag should hold after a read: an independent model of the device
// block (the simulator's memory bytes) and of the decoding rules of each data
// type, so that end-to-end tests compare QUANTREL's tags with values worked
// out here and not with QUANTREL's own code.
#ifndef ZQ_TESTS_SYSTEM_E2E_DEVICE_H_
#define ZQ_TESTS_SYSTEM_E2E_DEVICE_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace e2e {

constexpr int BITS_PER_BYTE = 8;

// A block as the simulator holds it: unit i (relative to the block start) at
// byte i * unit_size; bit i of a bit-addressed block in byte i / 8.
struct Block {
  int unit_size = 2;
  bool byte_swap = false;
  bool low_bit_first = false;
  bool one_based_bits = false;
  std::vector<uint8_t> bytes;

  uint8_t at(size_t i) const { return i < bytes.size() ? bytes[i] : 0; }
  // Byte offset of a unit address (bits: the byte holding the bit).
  size_t offset(int address) const {
    return unit_size == 0 ? static_cast<size_t>(address) / BITS_PER_BYTE
                          : static_cast<size_t>(address) * static_cast<size_t>(unit_size);
  }
  // Numbers of n bytes from p, the first byte most significant when big.
  uint64_t load(size_t p, int n, bool big) const {
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) v = (v << BITS_PER_BYTE) | at(p + (big ? k : n - 1 - k));
    return v;
  }
  // The unit readers: the device's byte order is the reverse of the host's
  // (little-endian) when byte_swap is set.
  int16_t word(size_t p) const { return static_cast<int16_t>(load(p, 2, byte_swap)); }
  int32_t longword(size_t p) const { return static_cast<int32_t>(load(p, 4, byte_swap)); }
  int32_t longword_ws(size_t p) const {
    // Word-swapped: the first word is the high one, each word in the
    // block's byte order; byte_swap turns the whole sequence round.
    uint32_t first = static_cast<uint32_t>(load(p, 2, byte_swap));
    uint32_t second = static_cast<uint32_t>(load(p + 2, 2, byte_swap));
    return static_cast<int32_t>(byte_swap ? (second << 16 | first) : (first << 16 | second));
  }
  double float32(size_t p) const {
    uint32_t bits = static_cast<uint32_t>(longword(p));
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
  }
  double float64(size_t p) const {
    uint64_t bits = load(p, 8, byte_swap);
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
  }
  int byte_lo(size_t p) const { return at(p + (byte_swap ? 1 : 0)); }
  int byte_hi(size_t p) const { return at(p + (byte_swap ? 0 : 1)); }
  static int bcd(uint64_t v, int digits) {
    int out = 0, scale = 1;
    for (int i = 0; i < digits; ++i, scale *= 10)
      out += static_cast<int>((v >> (4 * i)) & 0xF) * scale;
    return out;
  }

  // A bit: on a bit-addressed block `address` is the bit's address (block
  // start 0); otherwise the unit `address` and bit number `bit` as
  // configured, a bit number beyond the unit counting on into the next units.
  int bit(int address, int bit_number) const {
    if (unit_size == 0) {
      int n = address % BITS_PER_BYTE;
      uint8_t mask = low_bit_first ? uint8_t(1u << n) : uint8_t(0x80u >> n);
      return (at(offset(address)) & mask) != 0;
    }
    int width = unit_size * BITS_PER_BYTE;
    int absolute = bit_number - (one_based_bits ? 1 : 0);
    int unit = address + absolute / width;
    int n = absolute % width;
    uint64_t value = unit_size == 1 ? at(offset(unit)) : load(offset(unit), unit_size, byte_swap);
    uint64_t mask = low_bit_first ? (uint64_t{1} << n) : (uint64_t{1} << (width - 1)) >> n;
    return (value & mask) != 0;
  }

  // Text of `length` characters from unit `address`: units of 2 or 4 bytes
  // of a block without byte_swap hold their characters in reverse.
  std::string text(int address, int length) const {
    size_t p = offset(address);
    std::vector<uint8_t> raw;
    if (byte_swap || unit_size <= 1) {
      for (int k = 0; k < length; ++k) raw.push_back(at(p + k));
    } else {
      int units = (length + unit_size - 1) / unit_size;
      for (int u = 0; u < units; ++u)
        for (int k = unit_size - 1; k >= 0; --k) raw.push_back(at(p + u * unit_size + k));
    }
    std::string out;
    for (int k = 0; k < length && raw[k] != 0; ++k) out += static_cast<char>(raw[k]);
    return out;
  }

  // Stores as the simulator stores a value: big-endian over all its bytes
  // when byte_swap is set, little-endian otherwise.
  void store(size_t p, uint64_t v, int n) {
    if (bytes.size() < p + n) bytes.resize(p + n, 0);
    for (int k = 0; k < n; ++k) {
      bytes[p + (byte_swap ? n - 1 - k : k)] = static_cast<uint8_t>(v);
      v >>= BITS_PER_BYTE;
    }
  }
  void set_bit(int address, bool on) {
    size_t p = offset(address);
    if (bytes.size() <= p) bytes.resize(p + 1, 0);
    int n = address % BITS_PER_BYTE;
    uint8_t mask = low_bit_first ? uint8_t(1u << n) : uint8_t(0x80u >> n);
    bytes[p] = on ? uint8_t(bytes[p] | mask) : uint8_t(bytes[p] & ~mask);
  }
};

}  // namespace e2e

#endif  // ZQ_TESTS_SYSTEM_E2E_DEVICE_H_
