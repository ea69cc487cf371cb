// zq modbus: the configuration of the Modbus TCP provider (a TOML file) and its reader.
//
// The records hold what the file says, checked: tag names are still names
// (resolved when the provider attaches), addresses are Modbus protocol
// addresses (0-based), and every block fits one QUANTREL message.
#ifndef ZQ_TOOLS_MODBUS_CONFIG_H_
#define ZQ_TOOLS_MODBUS_CONFIG_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "kernel/zqkernel.h"

// Largest block a data source may have: what fits after the 8-byte header in
// QUANTREL's 4120-byte message buffer.
constexpr uint32_t MB_MAX_BLOCK_BYTES = 4112;
constexpr const char* MB_DEFAULT_TASK = "MODBUS";
constexpr uint16_t MB_DEFAULT_PORT = 502;
constexpr int MB_DEFAULT_UNIT_ID = 1;
constexpr int MB_UNIT_ID_MAX = 247;  // the largest addressable unit ...
constexpr int MB_UNIT_ID_TCP = 255;  // ... and "the device itself" on Modbus TCP
constexpr uint32_t MB_DEFAULT_RESPONSE_TIMEOUT_MS = 1000;
constexpr uint32_t MB_DEFAULT_RETRY_MIN_MS = 250;
constexpr uint32_t MB_DEFAULT_RETRY_MAX_MS = 2000;
constexpr uint32_t MB_DEFAULT_TIMEOUTS_BEFORE_RECONNECT = 3;
constexpr uint32_t MB_DEFAULT_READ_AHEAD_MS = 10;
// Protocol limits per request (Modbus application protocol).
constexpr uint16_t MB_PROTOCOL_READ_REGISTERS = 125;
constexpr uint16_t MB_PROTOCOL_READ_BITS = 2000;
constexpr uint16_t MB_PROTOCOL_WRITE_REGISTERS = 123;
constexpr uint16_t MB_PROTOCOL_WRITE_BITS = 1968;
// Keys the provider answers with on another station: [type, position + 1].
constexpr uint16_t MB_REMOTE_KEY_TYPE = 0x4D00;

// The four Modbus tables.
enum class MbTable { kCoils, kDiscreteInputs, kHoldingRegisters, kInputRegisters };

struct MbDeviceConfig {
  std::string name;
  std::string host;
  uint16_t port = MB_DEFAULT_PORT;
  int unit_id = MB_DEFAULT_UNIT_ID;
  uint32_t response_timeout_ms = MB_DEFAULT_RESPONSE_TIMEOUT_MS;
  uint32_t retry_min_ms = MB_DEFAULT_RETRY_MIN_MS;  // back-off after a failed connection
  uint32_t retry_max_ms = MB_DEFAULT_RETRY_MAX_MS;
  uint32_t timeouts_before_reconnect = MB_DEFAULT_TIMEOUTS_BEFORE_RECONNECT;
  uint16_t max_read_registers = MB_PROTOCOL_READ_REGISTERS;
  uint16_t max_read_bits = MB_PROTOCOL_READ_BITS;
  uint16_t max_write_registers = MB_PROTOCOL_WRITE_REGISTERS;
  uint16_t max_write_bits = MB_PROTOCOL_WRITE_BITS;
  bool mask_write = true;  // bits and bytes of a register by function 22
  // A data source read again within this time of its last answer is read
  // ahead: the next read starts as soon as an answer has gone out, and the
  // next request takes its result if it comes within this time of the read's
  // start and no write went to the device in between. 0 = never.
  uint32_t read_ahead_ms = MB_DEFAULT_READ_AHEAD_MS;
};

struct MbSourceConfig {
  std::string name;   // QUANTREL's data-source tag name (what it queries)
  size_t device = 0;  // index into MbConfig::devices
  MbTable table = MbTable::kHoldingRegisters;
  uint16_t start = 0;     // Modbus address of the first register or bit
  uint16_t count = 0;     // registers or bits
  bool byte_swap = true;  // registers big-endian in the block, as on the wire
  bool low_bit_first = true;
  bool one_based_bits = false;
  std::string state_tag;  // empty = none
};

struct MbConfig {
  std::string file;  // where it was read from ("" for text)
  std::string task = MB_DEFAULT_TASK;
  std::string description = "Modbus TCP provider";
  std::string mailbox;           // own mailbox: requests arrive here
  std::string quantrel_mailbox;  // answers go here
  uint8_t station = 0;
  uint8_t quantrel_station = 0;
  std::string app_dir;  // "" = $ZQAPP
  std::vector<MbDeviceConfig> devices;
  std::vector<MbSourceConfig> sources;
};

// True for the tables of 16-bit registers (unit size 2), false for bits (0).
bool mb_table_is_registers(MbTable table);
// True for coils and holding registers, the tables a client may write.
bool mb_table_is_writable(MbTable table);
// "coils", "discrete_inputs", "holding_registers", "input_registers".
const char* mb_table_name(MbTable table);

// Parses and checks a configuration text; `file` names it in messages and
// anchors a relative app directory. On failure every mistake found is in
// *errors as "file:line:column: message" and false is returned.
bool mb_config_parse(std::string_view text, const std::string& file, MbConfig* config,
                     std::vector<std::string>* errors);
bool mb_config_load(const std::string& path, MbConfig* config, std::vector<std::string>* errors);

#endif  // ZQ_TOOLS_MODBUS_CONFIG_H_
