// zq modbus: block bytes to and from Modbus registers and bits, write plans, error codes.
#include "tools/modbus_block.h"

#include <errno.h>
#include <modbus/modbus.h>
#include <string.h>

namespace {

constexpr unsigned BITS_PER_BYTE = 8;
constexpr unsigned REGISTER_BITS = 16;
constexpr uint16_t BYTE_MASK = 0xFF;
constexpr uint32_t ADDRESS_SPACE = 0x10000;
constexpr uint16_t EXCEPTION_CODE_MAX = 0xFF;

uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << BITS_PER_BYTE));
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> BITS_PER_BYTE);
}
uint16_t swap16(uint16_t v) {
  return static_cast<uint16_t>((v << BITS_PER_BYTE) | (v >> BITS_PER_BYTE));
}
// A register in block form: big-endian when the header's byte_swap is set.
uint16_t load_register(const uint8_t* p, bool big_endian) {
  uint16_t v = get16(p);
  return big_endian ? swap16(v) : v;
}

// Mask of bit n (0-based) of a unit of `bits` bits.
uint32_t bit_mask(bool low_bit_first, unsigned n, unsigned bits) {
  if (n >= bits) return 0;
  return low_bit_first ? uint32_t{1} << n : (uint32_t{1} << (bits - 1)) >> n;
}

bool inside(const MbSourceConfig& s, uint32_t start, uint32_t count) {
  return start >= s.start && start - s.start + count <= s.count;
}

// Registers a whole-unit value of this transfer_type takes (0 = not one).
uint16_t form_registers(uint16_t transfer) {
  if (transfer < MB_TT_WORD) return 0;
  if (transfer < MB_TT_LONG) return 1;
  if (transfer < MB_TT_QUAD) return 2;
  if (transfer == MB_TT_QUAD) return 4;
  return 0;
}

uint16_t plan_registers(const MbSourceConfig& s, const MbHeader& h, const uint8_t* data,
                        size_t size, MbWritePlan* plan) {
  const bool untyped = (h.flags & MB_FLAG_UNTYPED) != 0;
  const bool big = (h.flags & MB_FLAG_BYTE_SWAP) != 0;
  const bool low_first = (h.flags & MB_FLAG_LOW_BIT_FIRST) != 0;
  const uint16_t tt = h.transfer;
  const bool is_bit = tt >= MB_TT_BIT && tt < MB_TT_BIT_END;
  const bool is_byte = tt >= MB_TT_BYTE && tt < MB_TT_WORD;
  plan->address = h.start;
  if (tt == MB_TT_WHOLE_UNITS || (untyped && !is_bit && !is_byte)) {
    uint16_t n = h.count;
    if (n == 0 && untyped) n = form_registers(tt);
    if (n == 0) return MB_ERR_MALFORMED;
    if (!inside(s, h.start, n)) return MB_ERR_RANGE;
    if (size < size_t{n} * MB_UNIT_REGISTER) return MB_ERR_MALFORMED;
    plan->op = MbWriteOp::kRegisters;
    plan->registers.resize(n);
    for (uint16_t i = 0; i < n; ++i) {
      plan->registers[i] = load_register(data + size_t{i} * MB_UNIT_REGISTER, big);
    }
    return 0;
  }
  if (!inside(s, h.start, 1)) return MB_ERR_RANGE;
  if (size < MB_UNIT_REGISTER) return MB_ERR_MALFORMED;
  if (is_bit) {
    uint16_t mask = static_cast<uint16_t>(bit_mask(low_first, tt - MB_TT_BIT, REGISTER_BITS));
    if (mask == 0) return MB_ERR_RANGE;
    bool on = untyped ? (load_register(data, big) & mask) != 0 : get16(data) != 0;
    plan->op = MbWriteOp::kMaskRegister;
    plan->and_mask = static_cast<uint16_t>(~mask);
    plan->or_mask = on ? mask : 0;
    return 0;
  }
  if (is_byte) {
    unsigned shift = tt - MB_TT_BYTE;
    if (shift % BITS_PER_BYTE != 0 || shift >= REGISTER_BITS) return MB_ERR_FORM;
    uint16_t mask = static_cast<uint16_t>(BYTE_MASK << shift);
    uint16_t value = untyped ? static_cast<uint16_t>(load_register(data, big) & mask)
                             : static_cast<uint16_t>((get16(data) & BYTE_MASK) << shift);
    plan->op = MbWriteOp::kMaskRegister;
    plan->and_mask = static_cast<uint16_t>(~mask);
    plan->or_mask = value;
    return 0;
  }
  if (form_registers(tt) == 1) {
    // A typed 16-bit value: a little-endian number.
    plan->op = MbWriteOp::kRegisters;
    plan->registers.assign(1, get16(data));
    return 0;
  }
  return MB_ERR_FORM;  // a typed value wider than a register travels as whole units
}

uint16_t plan_coils(const MbSourceConfig& s, const MbHeader& h, const uint8_t* data, size_t size,
                    MbWritePlan* plan) {
  const bool untyped = (h.flags & MB_FLAG_UNTYPED) != 0;
  if (h.transfer != MB_TT_WHOLE_UNITS && !untyped) return MB_ERR_FORM;
  const uint16_t n = h.count;
  if (n == 0) return MB_ERR_MALFORMED;
  if (!inside(s, h.start, n)) return MB_ERR_RANGE;
  if (size < (size_t{n} + BITS_PER_BYTE - 1) / BITS_PER_BYTE) return MB_ERR_MALFORMED;
  const bool low_first = (h.flags & MB_FLAG_LOW_BIT_FIRST) != 0;
  plan->op = MbWriteOp::kCoils;
  plan->address = h.start;
  plan->bits.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    unsigned bit = i % BITS_PER_BYTE;
    uint32_t mask = bit_mask(low_first, bit, BITS_PER_BYTE);
    plan->bits[i] = (data[i / BITS_PER_BYTE] & mask) != 0 ? 1 : 0;
  }
  return 0;
}

}  // namespace

MbHeader mb_header_read(const uint8_t* p, bool swapped) {
  MbHeader h{get16(p), get16(p + 2), get16(p + 4), get16(p + 6)};
  if (swapped) {
    h.flags = swap16(h.flags);
    h.count = swap16(h.count);
    h.start = swap16(h.start);
    h.transfer = swap16(h.transfer);
  }
  return h;
}

void mb_header_write(uint8_t* p, const MbHeader& h) {
  put16(p, h.flags);
  put16(p + 2, h.count);
  put16(p + 4, h.start);
  put16(p + 6, h.transfer);
}

unsigned mb_header_unit(const MbHeader& h) {
  return h.flags >> MB_FLAG_UNIT_SHIFT;
}

uint16_t mb_source_flags(const MbSourceConfig& s) {
  uint16_t f = MB_FLAG_FORMAT;
  const bool registers = mb_table_is_registers(s.table);
  if (registers && s.byte_swap) f |= MB_FLAG_BYTE_SWAP;
  if (s.low_bit_first) f |= MB_FLAG_LOW_BIT_FIRST;
  if (s.one_based_bits) f |= MB_FLAG_ONE_BASED;
  uint16_t unit = registers ? MB_UNIT_REGISTER : MB_UNIT_BIT;
  return static_cast<uint16_t>(f | (unit << MB_FLAG_UNIT_SHIFT));
}

uint32_t mb_block_bytes(const MbSourceConfig& s, uint16_t count) {
  if (mb_table_is_registers(s.table)) return uint32_t{count} * MB_UNIT_REGISTER;
  return count / BITS_PER_BYTE + 1u;
}

uint16_t mb_plan_read(const MbSourceConfig& s, const MbHeader& h, uint16_t* start,
                      uint16_t* count) {
  if (h.count == 0) {
    *start = s.start;
    *count = s.count;
    return 0;
  }
  if (!inside(s, h.start, h.count)) return MB_ERR_RANGE;
  *start = h.start;
  *count = h.count;
  return 0;
}

void mb_pack_registers(const MbSourceConfig& s, const uint16_t* registers, size_t n, uint8_t* out) {
  const bool big = s.byte_swap;
  for (size_t i = 0; i < n; ++i) {
    put16(out + i * MB_UNIT_REGISTER, big ? swap16(registers[i]) : registers[i]);
  }
}

void mb_pack_bits(const MbSourceConfig& s, const uint8_t* bits, size_t n, uint8_t* out) {
  memset(out, 0, n / BITS_PER_BYTE + 1);
  for (size_t i = 0; i < n; ++i) {
    if (!bits[i]) continue;
    unsigned bit = static_cast<unsigned>(i % BITS_PER_BYTE);
    out[i / BITS_PER_BYTE] |= static_cast<uint8_t>(bit_mask(s.low_bit_first, bit, BITS_PER_BYTE));
  }
}

uint16_t mb_plan_write(const MbSourceConfig& s, const MbHeader& h, const uint8_t* data, size_t size,
                       MbWritePlan* plan) {
  *plan = MbWritePlan{};
  if (!mb_table_is_writable(s.table)) return MB_ERR_NOT_WRITABLE;
  const bool registers = mb_table_is_registers(s.table);
  if (mb_header_unit(h) != (registers ? MB_UNIT_REGISTER : MB_UNIT_BIT)) return MB_ERR_UNIT;
  if (uint32_t{h.start} + (h.count == 0 ? 1 : h.count) > ADDRESS_SPACE) return MB_ERR_RANGE;
  return registers ? plan_registers(s, h, data, size, plan) : plan_coils(s, h, data, size, plan);
}

uint16_t mb_apply_mask(const MbWritePlan& plan, uint16_t old) {
  return static_cast<uint16_t>((old & plan.and_mask) | (plan.or_mask & ~plan.and_mask));
}

uint16_t mb_error_from_errno(int error) {
  if (error > MODBUS_ENOBASE && error <= MODBUS_ENOBASE + EXCEPTION_CODE_MAX && error < EMBBADCRC) {
    return static_cast<uint16_t>(MB_ERR_EXCEPTION + (error - MODBUS_ENOBASE));
  }
  if (error == ETIMEDOUT) return MB_ERR_TIMEOUT;
  if (mb_errno_is_connection_lost(error)) return MB_ERR_CONNECTION_LOST;
  if (error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH ||
      error == EINPROGRESS) {
    return MB_ERR_NOT_CONNECTED;
  }
  return MB_ERR_BAD_RESPONSE;
}

bool mb_errno_is_connection_lost(int error) {
  return error == ECONNRESET || error == EPIPE || error == EBADF || error == ENOTCONN ||
         error == ECONNABORTED || error == ENOTSOCK;
}

const char* mb_error_text(uint16_t code) {
  switch (code) {
    case MB_ERR_EXCEPTION + 1:
      return "Modbus exception 1: illegal function";
    case MB_ERR_EXCEPTION + 2:
      return "Modbus exception 2: illegal data address";
    case MB_ERR_EXCEPTION + 3:
      return "Modbus exception 3: illegal data value";
    case MB_ERR_EXCEPTION + 4:
      return "Modbus exception 4: server device failure";
    case MB_ERR_EXCEPTION + 5:
      return "Modbus exception 5: acknowledge";
    case MB_ERR_EXCEPTION + 6:
      return "Modbus exception 6: server device busy";
    case MB_ERR_EXCEPTION + 8:
      return "Modbus exception 8: memory parity error";
    case MB_ERR_EXCEPTION + 10:
      return "Modbus exception 10: gateway path unavailable";
    case MB_ERR_EXCEPTION + 11:
      return "Modbus exception 11: gateway target device failed to respond";
    case MB_ERR_TIMEOUT:
      return "response timeout";
    case MB_ERR_CONNECTION_LOST:
      return "connection lost";
    case MB_ERR_NOT_CONNECTED:
      return "not connected";
    case MB_ERR_BAD_RESPONSE:
      return "invalid response";
    case MB_ERR_NOT_WRITABLE:
      return "table not writable";
    case MB_ERR_RANGE:
      return "addresses outside the data source";
    case MB_ERR_FORM:
      return "transfer_type not served for this table";
    case MB_ERR_MALFORMED:
      return "malformed request";
    case MB_ERR_NO_SOURCE:
      return "no such data source";
    case MB_ERR_UNIT:
      return "unit size differs from the table's";
    default:
      return code > MB_ERR_EXCEPTION && code <= MB_ERR_EXCEPTION + EXCEPTION_CODE_MAX
                 ? "Modbus exception"
                 : "unknown code";
  }
}
