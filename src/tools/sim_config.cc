// zq sim: reading and checking the simulator's TOML configuration.
#include "tools/sim_config.h"
#include "tools/provider_config.h"

#include <toml++/toml.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>

namespace {

constexpr int BITS_PER_BYTE = 8;
constexpr int64_t U16_MAX = 0xFFFF;
constexpr int64_t U8_MAX = 0xFF;
constexpr int64_t I16_MIN = -32768;
constexpr uint32_t TICK_MS_MAX = 60000;
constexpr uint32_t PERIOD_MS_MAX = 86400000;
constexpr size_t TASK_NAME_MAX = ZQ_TASK_NAME_SIZE - 1;
constexpr size_t DESCRIPTION_MAX = ZQ_TASK_DESC_SIZE - 1;
constexpr size_t SOURCE_NAME_MAX = 49;  // QUANTREL's data-source names hold 50 with the NUL
constexpr double FLOAT_DEFAULT_MAX = 1000000.0;

struct NamedFormat {
  const char* name;
  SimFormat format;
};
constexpr NamedFormat FORMATS[] = {
    {"unit", SimFormat::kUnit},       {"int16", SimFormat::kInt16},
    {"int32", SimFormat::kInt32},     {"float32", SimFormat::kFloat32},
    {"float64", SimFormat::kFloat64},
};

struct NamedMover {
  const char* name;
  SimMoverKind kind;
};
constexpr NamedMover MOVERS[] = {
    {"counter", SimMoverKind::kCounter},   {"ramp", SimMoverKind::kRamp},
    {"sine", SimMoverKind::kSine},         {"random", SimMoverKind::kRandom},
    {"constant", SimMoverKind::kConstant},
};

struct NamedRequest {
  const char* name;
  int reply_kind;  // the error reply's kind number, accepted in its place
  SimRequestKind kind;
};
constexpr NamedRequest REQUESTS[] = {
    {"query", 9, SIM_REQ_QUERY},
    {"read", 11, SIM_REQ_READ},
    {"write", 13, SIM_REQ_WRITE},
    {"unsolicited", 15, SIM_REQ_UNSOLICITED},
};

// Largest value of a format with `unit_size` bytes per unit, for counters and ramps.
double format_max(SimFormat format, uint8_t unit_size) {
  switch (format) {
    case SimFormat::kUnit:
      return unit_size == 0 ? 1.0 : std::ldexp(1.0, BITS_PER_BYTE * unit_size) - 1.0;
    case SimFormat::kInt16:
      return 32767.0;
    case SimFormat::kInt32:
      return 2147483647.0;
    default:
      return FLOAT_DEFAULT_MAX;
  }
}

class Parser : public TomlChecker {
 public:
  Parser(const std::string& file, SimConfig* config, std::vector<std::string>* errors)
      : TomlChecker(file, errors), c_(config) {}

  void run(const toml::table& root) {
    check_keys(root, {"sim", "source"}, "the file");
    const toml::table* sim = root.get_as<toml::table>("sim");
    if (!sim) {
      error(TomlPos{1, 1}, "missing [sim] section (task, mailbox, quantrel_mailbox, ...)");
    } else {
      parse_sim(*sim);
    }
    const toml::node* sources = root.get("source");
    if (!sources) {
      error(TomlPos{1, 1}, "no [[source]]: the simulator serves at least one data source");
      return;
    }
    const toml::array* list = sources->as_array();
    if (!list || !list->is_array_of_tables()) {
      error(pos(*sources), "'source' must be written as [[source]] tables");
      return;
    }
    for (const toml::node& n : *list) parse_source(*n.as_table());
    check_unique_names();
  }

 private:
  void parse_sim(const toml::table& t) {
    check_keys(t,
               {"task", "description", "mailbox", "quantrel_mailbox", "station", "quantrel_station",
                "app", "tick_ms", "seed"},
               "[sim]");
    if (auto s = get_string(t, "task", TASK_NAME_MAX)) {
      if (s->empty()) error(pos(*t.get("task")), "'task' must not be empty");
      c_->task = *s;
    }
    if (auto s = get_string(t, "description", DESCRIPTION_MAX)) c_->description = *s;
    if (auto s = get_string(t, "mailbox", OBJECT_NAME_LIMIT)) c_->mailbox = *s;
    if (auto s = get_string(t, "quantrel_mailbox", OBJECT_NAME_LIMIT)) c_->quantrel_mailbox = *s;
    if (c_->mailbox.empty()) error(pos(t), "[sim] needs 'mailbox', the tag requests arrive in");
    if (c_->quantrel_mailbox.empty())
      error(pos(t), "[sim] needs 'quantrel_mailbox', the tag answers are sent to");
    if (auto v = get_int(t, "station", 0, U8_MAX)) c_->station = static_cast<uint8_t>(*v);
    if (auto v = get_int(t, "quantrel_station", 0, U8_MAX))
      c_->quantrel_station = static_cast<uint8_t>(*v);
    if (auto s = get_string(t, "app", SIZE_MAX)) c_->app_dir = *s;
    if (auto v = get_int(t, "tick_ms", SIM_MIN_TICK_MS, TICK_MS_MAX))
      c_->tick_ms = static_cast<uint32_t>(*v);
    if (auto v = get_int(t, "seed", 0, INT64_MAX)) c_->seed = static_cast<uint64_t>(*v);
  }

  void parse_source(const toml::table& t) {
    check_keys(t,
               {"name", "provider_name", "remote_key", "start", "count", "unit_size", "byte_swap",
                "low_bit_first", "flag_bit10", "one_based_bits", "unsolicited_ms", "state_tag",
                "state_value", "stop_state_value", "init", "mover", "error"},
               "[[source]]");
    SimSourceConfig s;
    if (auto v = get_string(t, "name", SOURCE_NAME_MAX)) s.name = *v;
    if (s.name.empty()) error(pos(t), "[[source]] needs 'name', QUANTREL's data-source tag name");
    s.provider_name = s.name;
    if (auto v = get_string(t, "provider_name", SOURCE_NAME_MAX)) s.provider_name = *v;
    parse_remote_key(t, &s);
    if (auto v = get_int(t, "start", 0, U16_MAX)) s.start = static_cast<uint16_t>(*v);
    if (auto v = get_int(t, "count", 1, U16_MAX)) {
      s.count = static_cast<uint16_t>(*v);
    } else if (!t.get("count")) {
      error(pos(t), "[[source]] '" + s.name + "' needs 'count', the number of address units");
    }
    if (auto v = get_int(t, "unit_size", 0, 4)) {
      if (*v == 3) {
        error(pos(*t.get("unit_size")), "'unit_size' must be 0 (bits), 1, 2 or 4");
      } else {
        s.unit_size = static_cast<uint8_t>(*v);
      }
    }
    s.byte_swap = get_bool(t, "byte_swap", false);
    s.low_bit_first = get_bool(t, "low_bit_first", false);
    s.flag_bit10 = get_bool(t, "flag_bit10", false);
    s.one_based_bits = get_bool(t, "one_based_bits", false);
    if (auto v = get_int(t, "unsolicited_ms", 0, PERIOD_MS_MAX))
      s.unsolicited_ms = static_cast<uint32_t>(*v);
    if (auto v = get_string(t, "state_tag", OBJECT_NAME_LIMIT)) s.state_tag = *v;
    if (auto v = get_int(t, "state_value", I16_MIN, U16_MAX))
      s.state_value = static_cast<uint16_t>(*v);
    if (auto v = get_int(t, "stop_state_value", I16_MIN, U16_MAX)) {
      s.has_stop_state = true;
      s.stop_state_value = static_cast<uint16_t>(*v);
    }
    if ((t.get("state_value") || t.get("stop_state_value")) && s.state_tag.empty())
      error(pos(t), "[[source]] '" + s.name + "' gives a state value but no 'state_tag'");
    bool geometry_ok = s.count > 0 && check_geometry(t, s);
    for (const toml::table* i : tables(t, "init", "source.init")) parse_init(*i, &s, geometry_ok);
    for (const toml::table* m : tables(t, "mover", "source.mover"))
      parse_mover(*m, &s, geometry_ok);
    for (const toml::table* e : tables(t, "error", "source.error")) parse_error_rule(*e, &s);
    c_->sources.push_back(std::move(s));
  }

  void parse_remote_key(const toml::table& t, SimSourceConfig* s) {
    const toml::node* n = t.get("remote_key");
    if (!n) return;
    if (const auto* name = n->as_string()) {
      s->remote_key_tag = name->get();
      return;
    }
    const toml::array* a = n->as_array();
    if (a && a->size() == 2 && a->get(0)->is_integer() && a->get(1)->is_integer()) {
      int64_t type = a->get(0)->as_integer()->get();
      int64_t index = a->get(1)->as_integer()->get();
      if (type >= 0 && type <= U16_MAX && index >= 0 && index <= U16_MAX &&
          !(type == U16_MAX && index == U16_MAX)) {
        s->has_remote_key = true;
        s->remote_key = TagRef{static_cast<uint16_t>(type), static_cast<uint16_t>(index)};
        return;
      }
    }
    error(pos(*n),
          "'remote_key' must be a tag name or [type, index] of two 16-bit numbers "
          "(not [65535, 65535], which means \"no key\")");
  }

  bool check_geometry(const toml::table& t, const SimSourceConfig& s) {
    if (uint32_t{s.start} + s.count - 1 > U16_MAX) {
      error(pos(t), "[[source]] '" + s.name + "': start + count - 1 passes address 65535");
      return false;
    }
    if (sim_block_bytes(s.count, s.unit_size) > SIM_MAX_BLOCK_BYTES) {
      error(pos(t), "[[source]] '" + s.name + "': the block needs " +
                        std::to_string(sim_block_bytes(s.count, s.unit_size)) + " bytes; at most " +
                        std::to_string(SIM_MAX_BLOCK_BYTES) + " fit in one message");
      return false;
    }
    return true;
  }

  std::optional<SimFormat> get_format(const toml::table& t, uint8_t unit_size) {
    const toml::node* n = t.get("format");
    if (!n) return SimFormat::kUnit;
    const auto* s = n->as_string();
    for (const NamedFormat& f : FORMATS) {
      if (s && s->get() == f.name) {
        if (unit_size == 0 && f.format != SimFormat::kUnit) {
          error(pos(*n), "a bit-addressed data source holds bits only: use format \"unit\"");
          return std::nullopt;
        }
        return f.format;
      }
    }
    error(pos(*n), "'format' must be one of unit, int16, int32, float32, float64");
    return std::nullopt;
  }

  // Address `at` of the table, checked to lie in the block with `units` units from there.
  std::optional<uint16_t> get_at(const toml::table& t, const SimSourceConfig& s, uint32_t units,
                                 bool geometry_ok) {
    uint16_t at = s.start;
    if (auto v = get_int(t, "at", 0, U16_MAX)) {
      at = static_cast<uint16_t>(*v);
    } else if (t.get("at")) {
      return std::nullopt;
    }
    if (!geometry_ok) return std::nullopt;
    if (at < s.start || uint32_t{at} - s.start + units > s.count) {
      error(pos(t), "addresses " + std::to_string(at) + ".." +
                        std::to_string(uint32_t{at} + units - 1) + " lie outside the block " +
                        std::to_string(s.start) + ".." +
                        std::to_string(uint32_t{s.start} + s.count - 1) + " of '" + s.name + "'");
      return std::nullopt;
    }
    return at;
  }

  void parse_init(const toml::table& t, SimSourceConfig* sp, bool geometry_ok) {
    const SimSourceConfig& s = *sp;
    check_keys(t, {"at", "format", "values", "bytes", "text"}, "[[source.init]]");
    SimInit init;
    auto format = get_format(t, s.unit_size);
    if (!format) return;
    init.format = *format;
    int given = (t.get("values") ? 1 : 0) + (t.get("bytes") ? 1 : 0) + (t.get("text") ? 1 : 0);
    if (given != 1) {
      error(pos(t), "[[source.init]] needs exactly one of 'values', 'bytes' or 'text'");
      return;
    }
    if (const toml::node* n = t.get("values")) {
      const toml::array* a = n->as_array();
      bool ok = a != nullptr;
      for (size_t i = 0; ok && i < a->size(); ++i) {
        const toml::node* e = a->get(i);
        if (e->is_integer()) {
          init.values.push_back(static_cast<double>(e->as_integer()->get()));
        } else if (e->is_floating_point() && std::isfinite(e->as_floating_point()->get())) {
          init.values.push_back(e->as_floating_point()->get());
        } else {
          ok = false;
        }
      }
      if (!ok) {
        error(pos(*n), "'values' must be an array of numbers");
        return;
      }
    } else if (const toml::node* n = t.get("bytes")) {
      const toml::array* a = n->as_array();
      bool ok = a != nullptr;
      for (size_t i = 0; ok && i < a->size(); ++i) {
        const toml::node* e = a->get(i);
        ok = e->is_integer() && e->as_integer()->get() >= 0 && e->as_integer()->get() <= U8_MAX;
        if (ok) init.bytes.push_back(static_cast<uint8_t>(e->as_integer()->get()));
      }
      if (!ok) {
        error(pos(*n), "'bytes' must be an array of numbers 0..255");
        return;
      }
    } else if (auto text = get_string(t, "text", SIM_MAX_BLOCK_BYTES)) {
      init.bytes.assign(text->begin(), text->end());
    } else {
      return;
    }
    if (s.unit_size == 0 && !init.bytes.empty()) {
      error(pos(t), "'bytes' and 'text' need a unit-addressed block (unit_size 1, 2 or 4)");
      return;
    }
    uint32_t units = 0;
    if (!init.bytes.empty()) {
      units = (static_cast<uint32_t>(init.bytes.size()) + s.unit_size - 1) / s.unit_size;
    } else {
      units =
          static_cast<uint32_t>(init.values.size()) * sim_format_units(init.format, s.unit_size);
    }
    auto at = get_at(t, s, units, geometry_ok);
    if (!at) return;
    init.at = *at;
    sp->inits.push_back(std::move(init));
  }

  void parse_mover(const toml::table& t, SimSourceConfig* s, bool geometry_ok) {
    check_keys(t,
               {"kind", "at", "count", "format", "step", "min", "max", "amplitude", "offset",
                "period_ms", "value"},
               "[[source.mover]]");
    SimMover m;
    const toml::node* kind = t.get("kind");
    bool known = false;
    if (kind && kind->is_string()) {
      for (const NamedMover& k : MOVERS) {
        if (kind->as_string()->get() == k.name) {
          m.kind = k.kind;
          known = true;
        }
      }
    }
    if (!known) {
      error(kind ? pos(*kind) : pos(t),
            "[[source.mover]] 'kind' must be counter, ramp, sine, random or constant");
      return;
    }
    auto format = get_format(t, s->unit_size);
    if (!format) return;
    m.format = *format;
    if (auto v = get_int(t, "count", 1, U16_MAX)) m.count = static_cast<uint16_t>(*v);
    m.max = format_max(m.format, s->unit_size);
    if (auto v = get_number(t, "step")) m.step = *v;
    if (auto v = get_number(t, "min")) m.min = *v;
    if (auto v = get_number(t, "max")) m.max = *v;
    if (auto v = get_number(t, "amplitude")) m.amplitude = *v;
    if (auto v = get_number(t, "offset")) m.offset = *v;
    if (auto v = get_number(t, "value")) m.value = *v;
    if (auto v = get_number(t, "period_ms")) {
      if (*v < 1 || *v > PERIOD_MS_MAX) {
        error(pos(*t.get("period_ms")), "'period_ms' must lie in 1..86400000");
        return;
      }
      m.period_ms = *v;
    }
    if (m.min > m.max) {
      error(pos(t), "[[source.mover]] 'min' is above 'max'");
      return;
    }
    uint32_t units = uint32_t{m.count} * sim_format_units(m.format, s->unit_size);
    auto at = get_at(t, *s, units, geometry_ok);
    if (!at) return;
    m.at = *at;
    s->movers.push_back(m);
  }

  void parse_error_rule(const toml::table& t, SimSourceConfig* s) {
    check_keys(t, {"request", "every", "first", "last", "code"}, "[[source.error]]");
    SimErrorRule r;
    const toml::node* n = t.get("request");
    bool known = false;
    for (const NamedRequest& q : REQUESTS) {
      if (n && ((n->is_string() && n->as_string()->get() == q.name) ||
                (n->is_integer() && n->as_integer()->get() == q.reply_kind))) {
        r.request = q.kind;
        known = true;
      }
    }
    if (!known) {
      error(n ? pos(*n) : pos(t),
            "[[source.error]] 'request' must be query, read, write or unsolicited "
            "(or the error reply kind 9, 11, 13, 15)");
      return;
    }
    if (auto v = get_int(t, "every", 1, UINT32_MAX)) r.every = static_cast<uint32_t>(*v);
    auto first = get_int(t, "first", 0, U16_MAX);
    auto last = get_int(t, "last", 0, U16_MAX);
    if (first || last) {
      r.has_range = true;
      r.first = static_cast<uint16_t>(first ? *first : *last);
      r.last = static_cast<uint16_t>(last ? *last : *first);
      if (r.first > r.last) error(pos(t), "[[source.error]] 'first' is above 'last'");
    }
    if (r.every == 0 && !r.has_range) {
      error(pos(t), "[[source.error]] needs 'every' or an address range ('first', 'last')");
      return;
    }
    if (auto v = get_int(t, "code", 1, U16_MAX)) {
      r.code = static_cast<uint16_t>(*v);
    } else {
      if (!t.get("code")) error(pos(t), "[[source.error]] needs 'code' (1..65535)");
      return;
    }
    s->errors.push_back(r);
  }

  void check_unique_names() {
    for (size_t i = 0; i < c_->sources.size(); ++i) {
      for (size_t j = 0; j < i; ++j) {
        if (c_->sources[i].name == c_->sources[j].name && !c_->sources[i].name.empty())
          error(TomlPos{1, 1}, "data source '" + c_->sources[i].name + "' is declared twice");
      }
    }
  }

  static constexpr size_t OBJECT_NAME_LIMIT = 48;

  SimConfig* c_;
};

}  // namespace

uint16_t sim_format_units(SimFormat format, uint8_t unit_size) {
  size_t bytes = 0;
  switch (format) {
    case SimFormat::kUnit:
      return 1;
    case SimFormat::kInt16:
      bytes = 2;
      break;
    case SimFormat::kInt32:
    case SimFormat::kFloat32:
      bytes = 4;
      break;
    case SimFormat::kFloat64:
      bytes = 8;
      break;
  }
  if (unit_size == 0 || bytes <= unit_size) return 1;
  return static_cast<uint16_t>(bytes / unit_size);
}

uint32_t sim_block_bytes(uint16_t count, uint8_t unit_size) {
  if (unit_size == 0) return count / BITS_PER_BYTE + 1u;
  return uint32_t{count} * unit_size;
}

const char* sim_request_name(SimRequestKind kind) {
  for (const NamedRequest& r : REQUESTS) {
    if (r.kind == kind) return r.name;
  }
  return "?";
}

bool sim_config_parse(std::string_view text, const std::string& file, SimConfig* config,
                      std::vector<std::string>* errors) {
  *config = SimConfig{};
  config->file = file;
  size_t before = errors->size();
  toml::table root;
  if (!provider_toml_parse(text, file, &root, errors)) return false;
  Parser(file, config, errors).run(root);
  if (errors->size() != before) return false;
  config->app_dir = provider_app_dir(config->app_dir, file);
  return true;
}

bool sim_config_load(const std::string& path, SimConfig* config, std::vector<std::string>* errors) {
  std::string text;
  if (!provider_read_file(path, &text, errors)) return false;
  return sim_config_parse(text, path, config, errors);
}
