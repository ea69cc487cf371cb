// zq modbus: reading and checking the provider's TOML configuration.
#include "tools/modbus_config.h"
#include "tools/provider_config.h"

#include <toml++/toml.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>

namespace {

constexpr int64_t U16_MAX = 0xFFFF;
constexpr int64_t U8_MAX = 0xFF;
constexpr int64_t ADDRESS_SPACE = 0x10000;  // Modbus addresses 0..65535
constexpr int64_t TIMEOUT_MS_MAX = 60000;
constexpr int64_t RETRY_MS_MAX = 600000;
constexpr int64_t TIMEOUTS_MAX = 1000;
constexpr int64_t READ_AHEAD_MS_MAX = 1000;
constexpr size_t TASK_NAME_MAX = ZQ_TASK_NAME_SIZE - 1;
constexpr size_t DESCRIPTION_MAX = ZQ_TASK_DESC_SIZE - 1;
constexpr size_t SOURCE_NAME_MAX = 49;  // QUANTREL's data-source names hold 50 with the NUL
constexpr size_t TAG_NAME_MAX = 48;
constexpr size_t DEVICE_NAME_MAX = 64;
constexpr size_t HOST_MAX = 255;
constexpr uint32_t BITS_PER_BYTE = 8;
constexpr uint32_t REGISTER_BYTES = 2;

struct NamedTable {
  const char* name;
  MbTable table;
};
constexpr NamedTable TABLES[] = {
    {"coils", MbTable::kCoils},
    {"discrete_inputs", MbTable::kDiscreteInputs},
    {"holding_registers", MbTable::kHoldingRegisters},
    {"input_registers", MbTable::kInputRegisters},
};

// Data bytes of a whole-block message of the source (the data rule).
uint32_t block_bytes(const MbSourceConfig& s) {
  return mb_table_is_registers(s.table) ? uint32_t{s.count} * REGISTER_BYTES
                                        : s.count / BITS_PER_BYTE + 1u;
}

class Parser : public TomlChecker {
 public:
  Parser(const std::string& file, MbConfig* config, std::vector<std::string>* errors)
      : TomlChecker(file, errors), c_(config) {}

  void run(const toml::table& root) {
    check_keys(root, {"modbus", "device", "source"}, "the file");
    const toml::table* top = root.get_as<toml::table>("modbus");
    if (!top) {
      error(TomlPos{1, 1}, "missing [modbus] section (task, mailbox, quantrel_mailbox, ...)");
    } else {
      parse_top(*top);
    }
    for (const toml::table* d : tables(root, "device", "device")) parse_device(*d);
    if (c_->devices.empty() && !root.get("device"))
      error(TomlPos{1, 1}, "no [[device]]: name at least one Modbus TCP device");
    for (const toml::table* s : tables(root, "source", "source")) parse_source(*s);
    if (c_->sources.empty() && !root.get("source"))
      error(TomlPos{1, 1}, "no [[source]]: the provider serves at least one data source");
  }

 private:
  void parse_top(const toml::table& t) {
    check_keys(t,
               {"task", "description", "mailbox", "quantrel_mailbox", "station", "quantrel_station",
                "app"},
               "[modbus]");
    if (auto s = get_string(t, "task", TASK_NAME_MAX)) {
      if (s->empty()) error(pos(*t.get("task")), "'task' must not be empty");
      c_->task = *s;
    }
    if (auto s = get_string(t, "description", DESCRIPTION_MAX)) c_->description = *s;
    if (auto s = get_string(t, "mailbox", TAG_NAME_MAX)) c_->mailbox = *s;
    if (auto s = get_string(t, "quantrel_mailbox", TAG_NAME_MAX)) c_->quantrel_mailbox = *s;
    if (c_->mailbox.empty()) error(pos(t), "[modbus] needs 'mailbox', the tag requests arrive in");
    if (c_->quantrel_mailbox.empty())
      error(pos(t), "[modbus] needs 'quantrel_mailbox', the tag answers are sent to");
    if (auto v = get_int(t, "station", 0, U8_MAX)) c_->station = static_cast<uint8_t>(*v);
    if (auto v = get_int(t, "quantrel_station", 0, U8_MAX))
      c_->quantrel_station = static_cast<uint8_t>(*v);
    if (auto s = get_string(t, "app", SIZE_MAX)) c_->app_dir = *s;
  }

  void parse_device(const toml::table& t) {
    check_keys(t,
               {"name", "host", "port", "unit_id", "response_timeout_ms", "retry_min_ms",
                "retry_max_ms", "timeouts_before_reconnect", "max_read_registers", "max_read_bits",
                "max_write_registers", "max_write_bits", "mask_write", "read_ahead_ms"},
               "[[device]]");
    MbDeviceConfig d;
    if (auto s = get_string(t, "name", DEVICE_NAME_MAX)) d.name = *s;
    if (d.name.empty()) error(pos(t), "[[device]] needs 'name', which sources refer to");
    for (const MbDeviceConfig& other : c_->devices) {
      if (!d.name.empty() && other.name == d.name)
        error(pos(t), "device name '" + d.name + "' is given twice");
    }
    if (auto s = get_string(t, "host", HOST_MAX)) d.host = *s;
    if (d.host.empty()) error(pos(t), "[[device]] '" + d.name + "' needs 'host' (name or address)");
    if (auto v = get_int(t, "port", 1, U16_MAX)) d.port = static_cast<uint16_t>(*v);
    if (auto v = get_int(t, "unit_id", 0, MB_UNIT_ID_TCP)) {
      if (*v > MB_UNIT_ID_MAX && *v != MB_UNIT_ID_TCP) {
        error(pos(*t.get("unit_id")), "'unit_id' must be 0..247 or 255");
      } else {
        d.unit_id = static_cast<int>(*v);
      }
    }
    if (auto v = get_int(t, "response_timeout_ms", 1, TIMEOUT_MS_MAX))
      d.response_timeout_ms = static_cast<uint32_t>(*v);
    if (auto v = get_int(t, "retry_min_ms", 1, RETRY_MS_MAX))
      d.retry_min_ms = static_cast<uint32_t>(*v);
    if (auto v = get_int(t, "retry_max_ms", 1, RETRY_MS_MAX))
      d.retry_max_ms = static_cast<uint32_t>(*v);
    if (d.retry_max_ms < d.retry_min_ms) {
      error(pos(t), "[[device]] '" + d.name + "': retry_max_ms (" + std::to_string(d.retry_max_ms) +
                        ") is below retry_min_ms (" + std::to_string(d.retry_min_ms) + ")");
    }
    if (auto v = get_int(t, "timeouts_before_reconnect", 0, TIMEOUTS_MAX))
      d.timeouts_before_reconnect = static_cast<uint32_t>(*v);
    if (auto v = get_int(t, "max_read_registers", 1, MB_PROTOCOL_READ_REGISTERS))
      d.max_read_registers = static_cast<uint16_t>(*v);
    if (auto v = get_int(t, "max_read_bits", 1, MB_PROTOCOL_READ_BITS))
      d.max_read_bits = static_cast<uint16_t>(*v);
    if (auto v = get_int(t, "max_write_registers", 1, MB_PROTOCOL_WRITE_REGISTERS))
      d.max_write_registers = static_cast<uint16_t>(*v);
    if (auto v = get_int(t, "max_write_bits", 1, MB_PROTOCOL_WRITE_BITS))
      d.max_write_bits = static_cast<uint16_t>(*v);
    d.mask_write = get_bool(t, "mask_write", true);
    if (auto v = get_int(t, "read_ahead_ms", 0, READ_AHEAD_MS_MAX))
      d.read_ahead_ms = static_cast<uint32_t>(*v);
    c_->devices.push_back(std::move(d));
  }

  void parse_source(const toml::table& t) {
    check_keys(t,
               {"name", "device", "table", "start", "count", "byte_swap", "low_bit_first",
                "one_based_bits", "state_tag"},
               "[[source]]");
    MbSourceConfig s;
    if (auto v = get_string(t, "name", SOURCE_NAME_MAX)) s.name = *v;
    if (s.name.empty()) error(pos(t), "[[source]] needs 'name', QUANTREL's data-source tag name");
    for (const MbSourceConfig& other : c_->sources) {
      if (!s.name.empty() && other.name == s.name)
        error(pos(t), "data source '" + s.name + "' is given twice");
    }
    parse_device_ref(t, &s);
    bool table_ok = parse_table(t, &s);
    if (auto v = get_int(t, "start", 0, U16_MAX)) s.start = static_cast<uint16_t>(*v);
    if (auto v = get_int(t, "count", 1, U16_MAX)) {
      s.count = static_cast<uint16_t>(*v);
    } else if (!t.get("count")) {
      error(pos(t), "[[source]] '" + s.name + "' needs 'count', the number of registers or bits");
    }
    s.byte_swap = get_bool(t, "byte_swap", true);
    s.low_bit_first = get_bool(t, "low_bit_first", true);
    s.one_based_bits = get_bool(t, "one_based_bits", false);
    if (auto v = get_string(t, "state_tag", TAG_NAME_MAX)) s.state_tag = *v;
    if (table_ok && t.get("byte_swap") && !mb_table_is_registers(s.table))
      error(pos(*t.get("byte_swap")), "'byte_swap' applies to register tables only");
    if (s.count > 0) check_geometry(t, s);
    c_->sources.push_back(std::move(s));
  }

  void parse_device_ref(const toml::table& t, MbSourceConfig* s) {
    std::optional<std::string> name = get_string(t, "device", DEVICE_NAME_MAX);
    if (!name && !t.get("device")) {
      // One device: sources may leave it out.
      if (c_->devices.size() == 1) return;
      error(pos(t), "[[source]] '" + s->name + "' needs 'device', the name of a [[device]]");
      return;
    }
    if (!name) return;
    for (size_t i = 0; i < c_->devices.size(); ++i) {
      if (c_->devices[i].name == *name) {
        s->device = i;
        return;
      }
    }
    error(pos(*t.get("device")), "no [[device]] named '" + *name +
                                     "' (devices must be written before the sources using them)");
  }

  bool parse_table(const toml::table& t, MbSourceConfig* s) {
    const toml::node* n = t.get("table");
    if (!n) {
      error(pos(t), "[[source]] '" + s->name +
                        "' needs 'table': coils, discrete_inputs, holding_registers or "
                        "input_registers");
      return false;
    }
    const auto* text = n->as_string();
    for (const NamedTable& named : TABLES) {
      if (text && text->get() == named.name) {
        s->table = named.table;
        return true;
      }
    }
    error(pos(*n),
          "'table' must be one of coils, discrete_inputs, holding_registers, input_registers");
    return false;
  }

  void check_geometry(const toml::table& t, const MbSourceConfig& s) {
    if (int64_t{s.start} + s.count > ADDRESS_SPACE) {
      error(pos(t), "[[source]] '" + s.name + "': start + count - 1 passes address 65535");
      return;
    }
    if (block_bytes(s) > MB_MAX_BLOCK_BYTES) {
      error(pos(t), "[[source]] '" + s.name + "': the block needs " +
                        std::to_string(block_bytes(s)) + " bytes; at most " +
                        std::to_string(MB_MAX_BLOCK_BYTES) + " fit in one message (" +
                        std::to_string(MB_MAX_BLOCK_BYTES / REGISTER_BYTES) + " registers)");
    }
  }

  MbConfig* c_;
};

}  // namespace

bool mb_table_is_registers(MbTable table) {
  return table == MbTable::kHoldingRegisters || table == MbTable::kInputRegisters;
}

bool mb_table_is_writable(MbTable table) {
  return table == MbTable::kHoldingRegisters || table == MbTable::kCoils;
}

const char* mb_table_name(MbTable table) {
  for (const NamedTable& named : TABLES) {
    if (named.table == table) return named.name;
  }
  return "?";
}

bool mb_config_parse(std::string_view text, const std::string& file, MbConfig* config,
                     std::vector<std::string>* errors) {
  *config = MbConfig{};
  config->file = file;
  size_t before = errors->size();
  toml::table root;
  if (!provider_toml_parse(text, file, &root, errors)) return false;
  Parser(file, config, errors).run(root);
  if (errors->size() != before) return false;
  config->app_dir = provider_app_dir(config->app_dir, file);
  return true;
}

bool mb_config_load(const std::string& path, MbConfig* config, std::vector<std::string>* errors) {
  std::string text;
  if (!provider_read_file(path, &text, errors)) return false;
  return mb_config_parse(text, path, config, errors);
}
