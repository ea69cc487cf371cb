// zq modbus: between QUANTREL's data blocks and Modbus requests.
//
// Block layout the provider announces and keeps to:
//   registers (unit size 2): register i of the block at data bytes 2i, 2i+1,
//     big-endian as on the Modbus wire when the source's byte_swap is set
//     (header flag bit 8; the default), little-endian when it is clear. Either
//     way QUANTREL's DT_WORD of an address is that register's value.
//   bits (unit size 0): the bit of Modbus address a lies in data byte
//     (a - message start) / 8, bit (a - message start) mod 8, counted from the
//     low bit when low_bit_first is set (the default), from the high bit
//     otherwise: the Modbus wire packing from the message's first address.
//
// Error replies carry one of the MB_ERR_* codes (or 0x100 + a Modbus
// exception code); QUANTREL writes it into the data source's status tag.
#ifndef ZQ_TOOLS_MODBUS_BLOCK_H_
#define ZQ_TOOLS_MODBUS_BLOCK_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "tools/modbus_config.h"

// ---- Error codes of error replies --------------------------------------------------------

constexpr uint16_t MB_ERR_EXCEPTION = 0x100;        // + the device's Modbus exception code (1..255)
constexpr uint16_t MB_ERR_TIMEOUT = 0x200;          // no answer within response_timeout_ms
constexpr uint16_t MB_ERR_CONNECTION_LOST = 0x201;  // the connection broke during the request
constexpr uint16_t MB_ERR_NOT_CONNECTED = 0x202;    // the device cannot be connected to (retrying)
constexpr uint16_t MB_ERR_BAD_RESPONSE = 0x203;     // an answer that is not valid Modbus for it
constexpr uint16_t MB_ERR_NOT_WRITABLE = 0x300;     // a write to discrete inputs or input registers
constexpr uint16_t MB_ERR_RANGE = 0x301;      // addresses (or bit number) outside the data source
constexpr uint16_t MB_ERR_FORM = 0x302;       // a transfer_type the table cannot take
constexpr uint16_t MB_ERR_MALFORMED = 0x303;  // shorter than its header or than its count says
constexpr uint16_t MB_ERR_NO_SOURCE = 0x304;  // no data source of that name or key
constexpr uint16_t MB_ERR_UNIT = 0x305;       // a write whose unit size is not the table's

// Values written into a data source's state tag. QUANTREL sends its query
// for a data source with a state tag when the tag first takes one of the two
// "ready" values, and not on a change between them; so a connection that
// comes and goes does not make it query again (which would start a second
// continuous read).
constexpr int16_t MB_STATE_STOPPED = 0;
constexpr int16_t MB_STATE_CONNECTED = 0x311;      // ready, device connected
constexpr int16_t MB_STATE_NOT_CONNECTED = 0x321;  // ready, device not connected

// ---- Message header ------------------------------------------------------------------------

constexpr uint16_t MB_HEADER_SIZE = 8;
constexpr uint16_t MB_FLAG_FORMAT = 3;  // bits 0-3 of every header sent
constexpr uint16_t MB_FLAG_FORMAT_MASK = 0x000F;
constexpr uint16_t MB_FLAG_UNTYPED = 0x0010;
constexpr uint16_t MB_FLAG_BYTE_SWAP = 0x0100;
constexpr uint16_t MB_FLAG_LOW_BIT_FIRST = 0x0200;
constexpr uint16_t MB_FLAG_ONE_BASED = 0x0800;
constexpr int MB_FLAG_UNIT_SHIFT = 12;
constexpr uint16_t MB_UNIT_REGISTER = 2;  // bytes per address unit of a register table
constexpr uint16_t MB_UNIT_BIT = 0;

// transfer_type of a write request.
constexpr uint16_t MB_TT_WHOLE_UNITS = 0x0C00;
constexpr uint16_t MB_TT_BIT = 0x0100;  // 0x100 + bit number
constexpr uint16_t MB_TT_BIT_END = 0x0200;
constexpr uint16_t MB_TT_BYTE = 0x0400;  // 0x400 low byte, 0x408 high byte
constexpr uint16_t MB_TT_WORD = 0x0600;  // below: one byte
constexpr uint16_t MB_TT_LONG = 0x0800;  // below: two bytes
constexpr uint16_t MB_TT_QUAD = 0x0B00;  // below: four bytes; exactly: eight

struct MbHeader {
  uint16_t flags = 0;
  uint16_t count = 0;
  uint16_t start = 0;
  uint16_t transfer = 0;
};

// Reads the 8 header bytes (little-endian words; `swapped`: the sender swapped
// the bytes of each word, control bit 6). Writes them little-endian.
MbHeader mb_header_read(const uint8_t* p, bool swapped);
void mb_header_write(uint8_t* p, const MbHeader& h);
unsigned mb_header_unit(const MbHeader& h);

// The header flags of the source's messages: format 3, byte_swap (registers),
// low_bit_first, one_based_bits and the unit size.
uint16_t mb_source_flags(const MbSourceConfig& s);
// Data bytes of a message of `count` units of the source (the data rule:
// 2 per register, count / 8 + 1 for bits).
uint32_t mb_block_bytes(const MbSourceConfig& s, uint16_t count);

// ---- Read data --------------------------------------------------------------------------

// Checks a read request's range against the source: count 0 asks for the
// whole block. 0 with the range to read, or MB_ERR_RANGE.
uint16_t mb_plan_read(const MbSourceConfig& s, const MbHeader& h, uint16_t* start, uint16_t* count);
// Puts registers read from the device into block bytes (2 per register).
void mb_pack_registers(const MbSourceConfig& s, const uint16_t* registers, size_t n, uint8_t* out);
// Puts bits read from the device (one byte 0/1 each, from the message's first
// address on) into mb_block_bytes(s, n) bytes, which it clears first.
void mb_pack_bits(const MbSourceConfig& s, const uint8_t* bits, size_t n, uint8_t* out);

// ---- Writes -------------------------------------------------------------------------------

enum class MbWriteOp {
  kRegisters,     // write `registers` from `address` on (function 6 or 16)
  kMaskRegister,  // change the bits of and_mask's zeros in the register at `address` (22)
  kCoils,         // write `bits` from `address` on (function 5 or 15)
};

struct MbWritePlan {
  MbWriteOp op = MbWriteOp::kRegisters;
  uint16_t address = 0;
  std::vector<uint16_t> registers;
  std::vector<uint8_t> bits;   // 0 or 1 per coil
  uint16_t and_mask = 0xFFFF;  // kMaskRegister: result = (old & and) | (or & ~and)
  uint16_t or_mask = 0;
};

// Decodes a write request for the source into the Modbus write it asks for.
// `data` holds the `size` bytes after the header. 0, or an MB_ERR_* code:
// NOT_WRITABLE, UNIT, FORM, RANGE, MALFORMED.
//   registers: 0x0C00 (and untyped forms of a register or more) whole
//     registers in block form; 0x100+b bit b of one register; 0x400 / 0x408
//     its low / high byte; typed values are little-endian numbers as wide as
//     a register, untyped ones the register in block form.
//   coils: 0x0C00 or any untyped form: `count` bits in block form.
uint16_t mb_plan_write(const MbSourceConfig& s, const MbHeader& h, const uint8_t* data, size_t size,
                       MbWritePlan* plan);
// The register after a mask write of `plan` onto `old` (the read-modify-write
// fallback for devices without function 22).
uint16_t mb_apply_mask(const MbWritePlan& plan, uint16_t old);

// ---- Codes ---------------------------------------------------------------------------------

// The error code for a failed libmodbus call's errno.
uint16_t mb_error_from_errno(int error);
// True for the errno values of a broken connection (the request may be
// repeated on a new one).
bool mb_errno_is_connection_lost(int error);
// A short text for an error code ("illegal data address", "response timeout").
const char* mb_error_text(uint16_t code);

#endif  // ZQ_TOOLS_MODBUS_BLOCK_H_
