// zq sim: the provider simulator's configuration (a TOML file) and its reader.
//
// The records below are what the file says, checked: names are still names
// (resolved to tags when the simulator attaches), addresses are device
// addresses, and every range lies inside its data source's block.
#ifndef ZQ_TOOLS_SIM_CONFIG_H_
#define ZQ_TOOLS_SIM_CONFIG_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "kernel/zqkernel.h"

// Largest block a data source may have: what fits after the 8-byte header in
// QUANTREL's 4120-byte message buffer.
constexpr uint32_t SIM_MAX_BLOCK_BYTES = 4112;
constexpr uint32_t SIM_DEFAULT_TICK_MS = 100;
constexpr uint32_t SIM_MIN_TICK_MS = 5;
constexpr uint16_t SIM_DEFAULT_STATE_VALUE = 0x311;  // "ready"
constexpr const char* SIM_DEFAULT_TASK = "SIM";
constexpr uint16_t SIM_DEFAULT_KEY_TYPE = 0x5300;  // remote keys of the sim's own choosing

// How a value lies in the block: one unit (bit on a bit-addressed block), or
// a number of fixed width spread over as many units as it needs.
enum class SimFormat { kUnit, kInt16, kInt32, kFloat32, kFloat64 };

enum class SimMoverKind { kCounter, kRamp, kSine, kRandom, kConstant };

// The request kinds error rules and counters are kept for.
enum SimRequestKind { SIM_REQ_QUERY = 0, SIM_REQ_READ, SIM_REQ_WRITE, SIM_REQ_UNSOLICITED };
constexpr int SIM_REQ_KINDS = 4;

// Initial memory: values of one format from `at` on, or raw bytes / text
// from the first byte of unit `at`.
struct SimInit {
  uint16_t at = 0;
  SimFormat format = SimFormat::kUnit;
  std::vector<double> values;
  std::vector<uint8_t> bytes;  // "bytes" or "text"
};

struct SimMover {
  SimMoverKind kind = SimMoverKind::kCounter;
  uint16_t at = 0;     // device address of the first element
  uint16_t count = 1;  // elements, each as wide as its format
  SimFormat format = SimFormat::kUnit;
  double step = 1;
  double min = 0;
  double max = 0;  // filled from the format when not given
  double amplitude = 100;
  double offset = 0;
  double period_ms = 10000;
  double value = 0;  // constant
};

// Replaces an answer by an error reply when every given condition holds.
struct SimErrorRule {
  SimRequestKind request = SIM_REQ_READ;
  uint32_t every = 0;  // 0 = any request; n = the n-th, 2n-th, ... of its kind
  bool has_range = false;
  uint16_t first = 0;  // device addresses, inclusive
  uint16_t last = 0;
  uint16_t code = 0;
};

struct SimSourceConfig {
  std::string name;           // QUANTREL's data-source tag name (the query's text)
  std::string provider_name;  // the sim's own name for it, sent in query replies
  bool has_remote_key = false;
  TagRef remote_key{};         // given as [type, index]
  std::string remote_key_tag;  // or as a tag name
  uint16_t start = 0;
  uint16_t count = 0;
  uint8_t unit_size = 2;  // 0 (bits), 1, 2, 4
  bool byte_swap = false;
  bool low_bit_first = false;
  bool flag_bit10 = false;
  bool one_based_bits = false;
  uint32_t unsolicited_ms = 0;  // 0 = none
  std::string state_tag;        // empty = none
  uint16_t state_value = SIM_DEFAULT_STATE_VALUE;
  bool has_stop_state = false;
  uint16_t stop_state_value = 0;
  std::vector<SimInit> inits;
  std::vector<SimMover> movers;
  std::vector<SimErrorRule> errors;
};

struct SimConfig {
  std::string file;  // where it was read from ("" for text)
  std::string task = SIM_DEFAULT_TASK;
  std::string description = "provider simulator";
  std::string mailbox;           // own mailbox tag: requests arrive here
  std::string quantrel_mailbox;  // answers go here
  uint8_t station = 0;
  uint8_t quantrel_station = 0;
  std::string app_dir;  // "" = $ZQAPP
  uint32_t tick_ms = SIM_DEFAULT_TICK_MS;
  uint64_t seed = 1;
  std::vector<SimSourceConfig> sources;
};

// Units one element of the format takes in a block of the unit size (bits: 1).
uint16_t sim_format_units(SimFormat format, uint8_t unit_size);
// Bytes of the block's memory: count x unit size, or count / 8 + 1 for bits
// (the length the data rule gives a whole-block message, less its header).
uint32_t sim_block_bytes(uint16_t count, uint8_t unit_size);
const char* sim_request_name(SimRequestKind kind);

// Parses and checks a configuration text; `file` names it in messages and
// anchors a relative app directory. On failure every mistake found is in
// *errors as "file:line:column: message" and false is returned.
bool sim_config_parse(std::string_view text, const std::string& file, SimConfig* config,
                      std::vector<std::string>* errors);
bool sim_config_load(const std::string& path, SimConfig* config, std::vector<std::string>* errors);

#endif  // ZQ_TOOLS_SIM_CONFIG_H_
