// Reads and checks app.toml; see app_model.h.
#include "tools/app_model.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

namespace {

constexpr const char* kDataTypeNames[APP_DT_LAST + 1] = {
    "",          "DT_BIT",    "DT_BYTE_LO",     "DT_BYTE_HI",   "DT_WORD",      "DT_LONG",
    "DT_DOUBLE", "DT_STRING", "DT_FLOAT",       "DT_EXP_FLOAT", "DT_BCD4",      "DT_BYTE",
    "DT_SCALE",  "DT_LOW14",  "DT_SIGNED_BITS", "DT_LONG_WS",   "DT_FLOAT_WS",  "DT_FIXED",
    "DT_BCD2",   "DT_BCD4B",  "DT_BCD8",        "DT_TIME",      "DT_TIM0",      "DT_TIM1",
    "DT_TIM2",   "DT_TIM3",   "DT_TIM4",        "DT_TIM5",      "DT_TIM6",      "DT_TIM7",
    "DT_TIM8",   "DT_TIM9",   "DT_RAW",         "DT_FFLOAT",    "DT_FFLOAT_WS",
};

constexpr uint16_t DT_BIT = 1;
constexpr uint16_t DT_STRING = 7;
constexpr uint16_t DT_SIGNED_BITS = 14;
constexpr uint16_t DT_RAW = 32;

// Bytes an element of the data type occupies, used as the default length;
// 0 = the length must be given.
uint16_t default_length(uint16_t data_type) {
  static constexpr uint16_t kBytes[APP_DT_LAST + 1] = {
      0, 0, 2, 2, 2, 4, 8, 0, 4, 4, 2, 1, 2, 2, 0, 4, 4, 2,
      1, 2, 4, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 4,
  };
  return data_type <= APP_DT_LAST ? kBytes[data_type] : 0;
}
bool length_required(uint16_t dt) {
  return dt == DT_STRING || dt == DT_RAW || dt == DT_SIGNED_BITS;
}

constexpr const char* kTagTypeNames[ZQ_TAG_TYPE_COUNT] = {"digital", "analog", "float",
                                                          "message", "long",   "mailbox"};

constexpr uint32_t kMaxIndexText = 16;   // bracketed element index of an object name
constexpr uint32_t kMaxObjectName = 48;  // whole object name with its index
constexpr int64_t kMaxU16 = 0xFFFF;

// Bit masks of acceptable tag types for a role.
constexpr unsigned bit(uint16_t type) {
  return 1u << type;
}
constexpr unsigned kDigital = bit(TAG_DIGITAL);
constexpr unsigned kAnalog = bit(TAG_ANALOG);
constexpr unsigned kMailbox = bit(TAG_MAILBOX);
constexpr unsigned kValueTypes =
    bit(TAG_DIGITAL) | bit(TAG_ANALOG) | bit(TAG_FLOAT) | bit(TAG_MESSAGE) | bit(TAG_LONG);

std::string type_set_text(unsigned mask) {
  std::string out;
  for (uint16_t t = 0; t < ZQ_TAG_TYPE_COUNT; ++t) {
    if (!(mask & bit(t))) continue;
    if (!out.empty()) out += " or ";
    out += kTagTypeNames[t];
  }
  return out;
}

bool is_name_start(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '@' || c == '$' || c == '_';
}
bool is_name_char(char c) {
  return is_name_start(c) || std::isdigit(static_cast<unsigned char>(c));
}

// A parsed tag reference text: NAME or NAME[i][j]...
struct RefText {
  std::string name;
  std::vector<uint32_t> indexes;
  bool indexed = false;
};

// Returns an error text, or "" when the text is a well-formed reference.
std::string parse_ref_text(std::string_view text, RefText* out) {
  size_t i = 0;
  while (i < text.size() && text[i] != '[') ++i;
  out->name = std::string(text.substr(0, i));
  while (i < text.size()) {
    if (text[i] != '[') return "unexpected text after the element index";
    size_t j = i + 1;
    uint32_t value = 0;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) {
      value = value * 10 + static_cast<uint32_t>(text[j] - '0');
      if (value > ZQ_MAX_TAGS_PER_TYPE) return "element index too large";
      ++j;
    }
    if (j == i + 1 || j >= text.size() || text[j] != ']')
      return "element index must be written as [number]";
    out->indexes.push_back(value);
    out->indexed = true;
    i = j + 1;
  }
  return "";
}

// Returns an error text for a bad tag name, "" when it is fine.
std::string check_tag_name(std::string_view name) {
  if (name.empty()) return "tag name is empty";
  if (name.size() > APP_TAG_NAME_MAX)
    return "tag name '" + std::string(name) + "' is longer than " +
           std::to_string(APP_TAG_NAME_MAX) + " characters";
  if (!is_name_start(name[0]))
    return "tag name '" + std::string(name) + "' must start with a letter, '@', '$' or '_'";
  for (char c : name) {
    if (!is_name_char(c) || static_cast<unsigned char>(c) >= 0x80)
      return "tag name '" + std::string(name) + "' may hold only letters, digits, '@', '$' and '_'";
  }
  return "";
}

struct Resolved {
  const AppTag* tag = nullptr;
  uint32_t linear = 0;  // element index within the tag
  TagRef ref{};
  std::string canonical;  // NAME or NAME[i][j] without spaces or leading zeros
};

class Parser {
 public:
  Parser(const std::string& file, AppModel* model, std::vector<AppDiagnostic>* diags)
      : file_(file), m_(model), diags_(diags) {}

  void run(const toml::table& root);

 private:
  // ---- diagnostics ----
  void error(AppPos pos, std::string message) {
    diags_->push_back({file_, pos, std::move(message)});
  }
  static AppPos pos_of(const toml::source_region& r, AppPos fallback) {
    if (r.begin.line == 0) return fallback;
    return {r.begin.line, r.begin.column};
  }
  static AppPos pos_of(const toml::node& n, AppPos fallback) {
    return pos_of(n.source(), fallback);
  }

  void check_keys(const toml::table& t, std::initializer_list<std::string_view> allowed,
                  const std::string& where) {
    for (auto&& [key, value] : t) {
      (void)value;
      if (std::find(allowed.begin(), allowed.end(), key.str()) != allowed.end()) continue;
      error(pos_of(key.source(), {}), "unknown key '" + std::string(key.str()) + "' in " + where);
    }
  }

  // ---- typed fields; each reports its own mistakes ----
  std::optional<std::string> get_string(const toml::table& t, std::string_view key, AppPos at,
                                        bool required, size_t size_with_nul,
                                        const std::string& what) {
    const toml::node* n = t.get(key);
    if (!n) {
      if (required) error(at, "missing '" + std::string(key) + "' (" + what + ")");
      return std::nullopt;
    }
    const auto* s = n->as_string();
    if (!s) {
      error(pos_of(*n, at), "'" + std::string(key) + "' must be a string");
      return std::nullopt;
    }
    std::string v = s->get();
    if (size_with_nul && v.size() + 1 > size_with_nul) {
      error(pos_of(*n, at), "'" + std::string(key) + "' is too long for its field: " + what +
                                " holds at most " + std::to_string(size_with_nul - 1) +
                                " characters");
      return std::nullopt;
    }
    if (v.find('\0') != std::string::npos) {
      error(pos_of(*n, at), "'" + std::string(key) + "' must not hold a NUL character");
      return std::nullopt;
    }
    return v;
  }

  std::optional<int64_t> get_int(const toml::table& t, std::string_view key, AppPos at,
                                 bool required, int64_t lo, int64_t hi) {
    const toml::node* n = t.get(key);
    if (!n) {
      if (required) error(at, "missing '" + std::string(key) + "'");
      return std::nullopt;
    }
    const auto* i = n->as_integer();
    if (!i) {
      error(pos_of(*n, at), "'" + std::string(key) + "' must be an integer");
      return std::nullopt;
    }
    int64_t v = i->get();
    if (v < lo || v > hi) {
      error(pos_of(*n, at), "'" + std::string(key) + "' = " + std::to_string(v) + " is outside " +
                                std::to_string(lo) + " to " + std::to_string(hi));
      return std::nullopt;
    }
    return v;
  }

  uint16_t get_flag(const toml::table& t, std::string_view key, AppPos at) {
    const toml::node* n = t.get(key);
    if (!n) return 0;
    const auto* b = n->as_boolean();
    if (!b) {
      error(pos_of(*n, at), "'" + std::string(key) + "' must be true or false");
      return 0;
    }
    return b->get() ? 1 : 0;
  }

  // ---- tag references ----
  std::optional<Resolved> resolve(std::string_view text, AppPos at) {
    RefText rt;
    std::string err = parse_ref_text(text, &rt);
    if (!err.empty()) {
      error(at, "bad tag reference '" + std::string(text) + "': " + err);
      return std::nullopt;
    }
    auto it = tag_index_.find(rt.name);
    if (it == tag_index_.end()) {
      error(at, "unknown tag '" + rt.name + "'");
      return std::nullopt;
    }
    const AppTag& tag = m_->tags[it->second];
    Resolved r;
    r.tag = &tag;
    r.canonical = tag.name;
    if (tag.dims.empty()) {
      if (rt.indexed) {
        error(at, "tag '" + tag.name + "' is not an array; '" + std::string(text) +
                      "' names an element");
        return std::nullopt;
      }
    } else {
      if (!rt.indexed) {
        error(at, "tag '" + tag.name + "' is an array" + dims_brackets(tag) +
                      "; name one element, as in " + tag.name + zero_index(tag));
        return std::nullopt;
      }
      if (rt.indexes.size() != tag.dims.size()) {
        error(at, "'" + std::string(text) + "' gives " + std::to_string(rt.indexes.size()) +
                      " index(es) but tag '" + tag.name + "' has " +
                      std::to_string(tag.dims.size()) + " dimension(s)" + dims_brackets(tag));
        return std::nullopt;
      }
      std::string index_text;
      for (size_t k = 0; k < rt.indexes.size(); ++k) {
        if (rt.indexes[k] >= tag.dims[k]) {
          error(at, "element '" + std::string(text) + "' is past the end of array '" + tag.name +
                        "'" + dims_brackets(tag));
          return std::nullopt;
        }
        r.linear = r.linear * tag.dims[k] + rt.indexes[k];
        index_text += "[" + std::to_string(rt.indexes[k]) + "]";
      }
      if (index_text.size() > kMaxIndexText ||
          tag.name.size() + index_text.size() > kMaxObjectName) {
        error(at, "element name '" + tag.name + index_text + "' is too long for its field");
        return std::nullopt;
      }
      r.canonical += index_text;
    }
    r.ref = tag.first;
    r.ref.index = static_cast<uint16_t>(tag.first.index + r.linear);
    return r;
  }

  static std::string dims_brackets(const AppTag& tag) {
    std::string s;
    for (uint16_t d : tag.dims) s += "[" + std::to_string(d) + "]";
    return s;
  }
  static std::string zero_index(const AppTag& tag) {
    std::string s;
    for (size_t k = 0; k < tag.dims.size(); ++k) s += "[0]";
    return s;
  }

  // A role's tag: resolved and of one of the allowed types. Absent and not
  // required: nullopt without a diagnostic.
  std::optional<Resolved> role_tag(const toml::table& t, std::string_view key, AppPos at,
                                   unsigned types, bool required, const std::string& role) {
    const toml::node* n = t.get(key);
    if (!n) {
      if (required) error(at, "missing '" + std::string(key) + "' (" + role + ")");
      return std::nullopt;
    }
    AppPos p = pos_of(*n, at);
    const auto* s = n->as_string();
    if (!s) {
      error(p, "'" + std::string(key) + "' must be a tag name in quotes");
      return std::nullopt;
    }
    auto r = resolve(s->get(), p);
    if (!r) return std::nullopt;
    if (!(types & bit(r->tag->type))) {
      error(p, "tag '" + r->tag->name + "' is " + kTagTypeNames[r->tag->type] + ", but " + role +
                   " must be " + type_set_text(types));
      return std::nullopt;
    }
    return r;
  }
  TagRef role_ref(const toml::table& t, std::string_view key, AppPos at, unsigned types,
                  const std::string& role) {
    auto r = role_tag(t, key, at, types, false, role);
    return r ? r->ref : ZQ_UNSET_TAG;
  }

  // ---- sections ----
  void parse_application(const toml::table& root);
  void parse_database(const toml::table& root);
  void parse_tags(const toml::table& root);
  void parse_tag(const toml::key& key, const toml::node& value);
  void assign_refs();
  void parse_tasks(const toml::table& root);
  void parse_quantrel(const toml::table& root);
  void parse_provider(const toml::table& t, AppPos at);
  void parse_source(const toml::table& t, AppPos at, AppProvider* provider);
  void parse_conversion(const toml::table& t, AppPos at, AppDataSource* ds);
  const toml::table* section(const toml::table& root, std::string_view key, bool required);
  std::vector<std::pair<const toml::table*, AppPos>> table_array(const toml::table& t,
                                                                 std::string_view key, AppPos at);

  std::string file_;
  AppModel* m_;
  std::vector<AppDiagnostic>* diags_;
  std::map<std::string, size_t> tag_index_;
  std::set<std::string> source_names_;
  std::vector<std::pair<TagRef, AppPos>> source_refs_;
};

const toml::table* Parser::section(const toml::table& root, std::string_view key, bool required) {
  const toml::node* n = root.get(key);
  if (!n) {
    if (required) error({1, 1}, "missing section [" + std::string(key) + "]");
    return nullptr;
  }
  const auto* t = n->as_table();
  if (!t) error(pos_of(*n, {1, 1}), "'" + std::string(key) + "' must be a table");
  return t;
}

// An array of tables ([[key]] or key = [{...}, ...]), each with its position.
std::vector<std::pair<const toml::table*, AppPos>> Parser::table_array(const toml::table& t,
                                                                       std::string_view key,
                                                                       AppPos at) {
  std::vector<std::pair<const toml::table*, AppPos>> out;
  const toml::node* n = t.get(key);
  if (!n) return out;
  const auto* arr = n->as_array();
  if (!arr) {
    error(pos_of(*n, at),
          "'" + std::string(key) + "' must be an array of tables ([[" + std::string(key) + "]])");
    return out;
  }
  for (const toml::node& e : *arr) {
    const auto* et = e.as_table();
    AppPos p = pos_of(e, pos_of(*n, at));
    if (!et) {
      error(p, "each entry of '" + std::string(key) + "' must be a table");
      continue;
    }
    out.push_back({et, p});
  }
  return out;
}

void Parser::run(const toml::table& root) {
  check_keys(root, {"application", "database", "tags", "task", "quantrel", "simulator"},
             "the description");
  parse_application(root);
  parse_database(root);
  parse_tags(root);
  assign_refs();
  parse_tasks(root);
  parse_quantrel(root);
}

void Parser::parse_application(const toml::table& root) {
  const toml::table* t = section(root, "application", true);
  if (!t) return;
  AppPos at = pos_of(*t, {1, 1});
  check_keys(*t, {"name", "domain", "user"}, "[application]");
  auto word = [&](std::string_view key, size_t size, const char* what, std::string* out) {
    auto v = get_string(*t, key, at, true, size, what);
    if (!v) return;
    if (v->empty()) {
      error(pos_of(*t->get(key), at), "'" + std::string(key) + "' must not be empty");
      return;
    }
    for (char c : *v) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
        error(pos_of(*t->get(key), at),
              "'" + std::string(key) + "' may hold only letters, digits, '_' and '-'");
        return;
      }
    }
    *out = *v;
  };
  word("name", APP_NAME_SIZE, "ZQNAME", &m_->name);
  word("domain", APP_DOMAIN_SIZE, "ZQDOMAIN", &m_->domain);
  word("user", APP_USER_SIZE, "ZQUSER", &m_->user);
}

void Parser::parse_database(const toml::table& root) {
  m_->limits.mbx_messages = ZQ_DEFAULT_MBX_MESSAGES;
  m_->limits.mbx_data_bytes = ZQ_DEFAULT_MBX_DATA_BYTES;
  m_->limits.max_message_bytes = ZQ_DEFAULT_MAX_MESSAGE_BYTES;
  const toml::table* t = section(root, "database", false);
  if (!t) return;
  AppPos at = pos_of(*t, {1, 1});
  check_keys(*t, {"mailbox_messages", "mailbox_data_bytes", "max_message_bytes"}, "[database]");
  constexpr int64_t kMaxU32 = 0xFFFFFFFF;
  if (auto v = get_int(*t, "mailbox_messages", at, false, 1, kMaxU32))
    m_->limits.mbx_messages = static_cast<uint32_t>(*v);
  if (auto v = get_int(*t, "mailbox_data_bytes", at, false, 1, kMaxU32))
    m_->limits.mbx_data_bytes = static_cast<uint32_t>(*v);
  if (auto v = get_int(*t, "max_message_bytes", at, false, 1, kMaxU16))
    m_->limits.max_message_bytes = static_cast<uint32_t>(*v);
}

void Parser::parse_tags(const toml::table& root) {
  const toml::table* t = section(root, "tags", true);
  if (!t) return;
  // Declaration order is the order in the file, not the table's key order.
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (auto&& [key, value] : *t) entries.push_back({&key, &value});
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    const auto& pa = a.first->source().begin;
    const auto& pb = b.first->source().begin;
    return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
  });
  for (const auto& [key, value] : entries) parse_tag(*key, *value);
}

void Parser::parse_tag(const toml::key& key, const toml::node& value) {
  AppPos at = pos_of(key.source(), pos_of(value, {1, 1}));
  AppTag tag;
  tag.name = std::string(key.str());
  tag.pos = at;
  std::string err = check_tag_name(tag.name);
  if (!err.empty()) {
    error(at, err);
    return;
  }
  const toml::node* type_node = &value;
  const toml::table* t = value.as_table();
  if (t) {
    check_keys(*t, {"type", "dims", "capacity", "description"}, "tag '" + tag.name + "'");
    type_node = t->get("type");
    if (!type_node) {
      error(pos_of(*t, at), "tag '" + tag.name + "' has no 'type'");
      return;
    }
  }
  const auto* type_text = type_node->as_string();
  if (!type_text) {
    error(pos_of(*type_node, at),
          "tag '" + tag.name + "': give a type name in quotes, or a table with 'type'");
    return;
  }
  bool known = false;
  for (uint16_t k = 0; k < ZQ_TAG_TYPE_COUNT; ++k) {
    if (type_text->get() == kTagTypeNames[k]) {
      tag.type = k;
      known = true;
    }
  }
  if (!known) {
    error(pos_of(*type_node, at), "unknown tag type '" + type_text->get() +
                                      "' (digital, analog, float, message, long or mailbox)");
    return;
  }
  if (tag.type == TAG_MESSAGE) tag.capacity = APP_DEFAULT_CAPACITY;
  if (t) {
    AppPos tp = pos_of(*t, at);
    if (const toml::node* dn = t->get("dims")) {
      const auto* arr = dn->as_array();
      AppPos dp = pos_of(*dn, tp);
      if (!arr || arr->empty() || arr->size() > APP_MAX_DIMS) {
        error(dp, "'dims' must be a list of 1 to " + std::to_string(APP_MAX_DIMS) +
                      " dimensions, as in [4, 10]");
        return;
      }
      uint64_t total = 1;
      for (const toml::node& d : *arr) {
        const auto* i = d.as_integer();
        if (!i || i->get() < 1 || i->get() > ZQ_MAX_TAGS_PER_TYPE) {
          error(pos_of(d, dp), "each dimension must be an integer from 1 to " +
                                   std::to_string(ZQ_MAX_TAGS_PER_TYPE));
          return;
        }
        tag.dims.push_back(static_cast<uint16_t>(i->get()));
        total *= static_cast<uint64_t>(i->get());
      }
      if (total > ZQ_MAX_TAGS_PER_TYPE) {
        error(dp, "array '" + tag.name + "' has " + std::to_string(total) + " elements; at most " +
                      std::to_string(ZQ_MAX_TAGS_PER_TYPE) + " are possible");
        return;
      }
      tag.elements = static_cast<uint32_t>(total);
    }
    if (const toml::node* cn = t->get("capacity")) {
      if (tag.type != TAG_MESSAGE) {
        error(pos_of(*cn, tp), "'capacity' is only for message tags");
        return;
      }
      auto v = get_int(*t, "capacity", tp, false, 1, ZQ_MAX_MESSAGE_CAPACITY);
      if (!v) return;
      tag.capacity = static_cast<uint16_t>(*v);
    }
    auto d = get_string(*t, "description", tp, false, APP_TAG_DESC_MAX + 1, "a tag description");
    if (d) tag.description = *d;
  }
  tag_index_[tag.name] = m_->tags.size();
  m_->tags.push_back(std::move(tag));
}

void Parser::assign_refs() {
  uint32_t next[ZQ_TAG_TYPE_COUNT];
  std::fill(std::begin(next), std::end(next), 1u);
  bool reported[ZQ_TAG_TYPE_COUNT] = {};
  for (AppTag& tag : m_->tags) {
    uint32_t first = next[tag.type];
    next[tag.type] += tag.elements;
    if (next[tag.type] - 1 > ZQ_MAX_TAGS_PER_TYPE) {
      if (!reported[tag.type])
        error(tag.pos, std::string("too many ") + kTagTypeNames[tag.type] + " tags: at most " +
                           std::to_string(ZQ_MAX_TAGS_PER_TYPE) + " elements per type");
      reported[tag.type] = true;
      continue;
    }
    tag.first = {tag.type, static_cast<uint16_t>(first)};
  }
}

void Parser::parse_tasks(const toml::table& root) {
  std::set<std::string> names;
  for (auto [t, at] : table_array(root, "task", {1, 1})) {
    check_keys(*t, {"name", "description", "program", "arguments", "status", "message"},
               "[[task]]");
    AppTask task;
    auto name = get_string(*t, "name", at, true, APP_TASK_NAME_SIZE, "a task name");
    auto program = get_string(*t, "program", at, true, APP_PROGRAM_SIZE, "the program");
    auto desc = get_string(*t, "description", at, false, APP_TASK_DESC_SIZE, "a task description");
    auto args = get_string(*t, "arguments", at, false, APP_ARGS_SIZE, "the argument string");
    if (name) {
      AppPos np = pos_of(*t->get("name"), at);
      if (name->empty()) error(np, "task name must not be empty");
      if (!names.insert(*name).second) error(np, "duplicate task name '" + *name + "'");
      task.name = *name;
    }
    if (program) {
      AppPos pp = pos_of(*t->get("program"), at);
      std::istringstream words(*program);
      std::string first;
      words >> first;
      if (first.empty()) {
        error(pp, "'program' must name a program, as in \"quantrel\"");
      } else if (first.find('/') != std::string::npos) {
        error(pp, "'program' is a program name found in the program directory, not a path");
      } else if (first == "quantrel" && name && *name != "QUANTREL") {
        error(pp, "the quantrel program attaches as task QUANTREL; name the task QUANTREL");
      }
      task.program = *program;
      if (first == "quantrel" && !root.get("quantrel"))
        error(pp, "task runs quantrel but the description has no [quantrel] section");
    }
    if (desc) task.description = *desc;
    if (args) task.arguments = *args;
    task.status_tag = role_ref(*t, "status", at, kAnalog | bit(TAG_LONG), "a task's status tag");
    task.message_tag = role_ref(*t, "message", at, bit(TAG_MESSAGE), "a task's message tag");
    m_->tasks.push_back(std::move(task));
  }
}

void Parser::parse_quantrel(const toml::table& root) {
  const toml::table* t = section(root, "quantrel", false);
  if (!t) return;
  AppPos at = pos_of(*t, {1, 1});
  check_keys(*t, {"mailbox", "provider"}, "[quantrel]");
  m_->quantrel.present = true;
  if (auto r = role_tag(*t, "mailbox", at, kMailbox, true, "QUANTREL's own mailbox"))
    m_->quantrel.mailbox = r->ref;
  auto providers = table_array(*t, "provider", at);
  for (auto [pt, pp] : providers) parse_provider(*pt, pp);
  size_t sources = 0;
  for (const AppProvider& p : m_->quantrel.providers) sources += p.sources.size();
  if (sources == 0)
    error(at, "[quantrel] needs at least one data source ([[quantrel.provider.source]])");
}

void Parser::parse_provider(const toml::table& t, AppPos at) {
  check_keys(t, {"mailbox", "max_messages", "source"}, "[[quantrel.provider]]");
  AppProvider p;
  if (auto r = role_tag(t, "mailbox", at, kMailbox, true, "a provider's mailbox")) {
    p.mailbox = r->ref;
    p.mailbox_name = r->canonical;
  }
  if (auto v = get_int(t, "max_messages", at, false, 0, kMaxU16))
    p.max_messages = static_cast<uint16_t>(*v);
  for (auto [st, sp] : table_array(t, "source", at)) parse_source(*st, sp, &p);
  m_->quantrel.providers.push_back(std::move(p));
}

void Parser::parse_source(const toml::table& t, AppPos at, AppProvider* provider) {
  check_keys(t, {"name",         "read_enabled",        "read_trigger",
                 "write_mode",   "block_write_enabled", "block_write_trigger",
                 "unsolicited",  "addressing",          "status",
                 "read_ready",   "write_ready",         "rcv_ready",
                 "read_inhibit", "write_inhibit",       "rcv_inhibit",
                 "read_sync",    "write_sync",          "rcv_sync",
                 "state",        "conversions"},
             "a data source");
  AppDataSource ds;
  if (auto r = role_tag(t, "name", at, kDigital | kAnalog, true,
                        "the data source's name, the name of its data-source tag")) {
    AppPos np = pos_of(*t.get("name"), at);
    ds.name = r->canonical;
    ds.tag = r->ref;
    if (ds.name.size() + 1 > APP_DS_NAME_SIZE)
      error(np, "data-source name '" + ds.name + "' is too long for its field");
    if (!source_names_.insert(ds.name).second) error(np, "duplicate data source '" + ds.name + "'");
  }
  ds.read_enabled = get_flag(t, "read_enabled", at);
  ds.read_trigger = role_ref(t, "read_trigger", at, kDigital, "a read trigger");
  if (auto v = get_int(t, "write_mode", at, false, 0, 2)) ds.write_mode = static_cast<uint16_t>(*v);
  ds.block_write_enabled = get_flag(t, "block_write_enabled", at);
  auto bw = role_tag(t, "block_write_trigger", at, kDigital, false, "a block-write trigger");
  if (bw) ds.block_write_trigger = bw->ref;
  if (ds.block_write_enabled && !bw && !t.get("block_write_trigger"))
    error(pos_of(*t.get("block_write_enabled"), at),
          "block_write_enabled needs a digital 'block_write_trigger'");
  ds.unsolicited = get_flag(t, "unsolicited", at);
  if (const toml::node* a = t.get("addressing")) {
    const auto* s = a->as_string();
    if (s && s->get() == "absolute") {
      ds.addressing = 1;
    } else if (!s || s->get() != "relative") {
      error(pos_of(*a, at), "'addressing' must be \"absolute\" or \"relative\"");
    }
  }
  ds.status = role_ref(t, "status", at, kAnalog, "a status tag");
  ds.read_ready = role_ref(t, "read_ready", at, kDigital, "a read-complete tag");
  ds.write_ready = role_ref(t, "write_ready", at, kDigital, "a write-complete tag");
  ds.rcv_ready = role_ref(t, "rcv_ready", at, kDigital, "a receive-complete tag");
  ds.read_inhibit = role_ref(t, "read_inhibit", at, kDigital, "an inhibit tag");
  ds.write_inhibit = role_ref(t, "write_inhibit", at, kDigital, "an inhibit tag");
  ds.rcv_inhibit = role_ref(t, "rcv_inhibit", at, kDigital, "an inhibit tag");
  ds.read_sync = role_ref(t, "read_sync", at, kDigital | kAnalog, "a sync tag");
  ds.write_sync = role_ref(t, "write_sync", at, kDigital | kAnalog, "a sync tag");
  ds.rcv_sync = role_ref(t, "rcv_sync", at, kDigital | kAnalog, "a sync tag");
  ds.state = role_ref(t, "state", at, kAnalog, "a data-source state tag");
  for (auto [ct, cp] : table_array(t, "conversions", at)) parse_conversion(*ct, cp, &ds);
  provider->sources.push_back(std::move(ds));
}

void Parser::parse_conversion(const toml::table& t, AppPos at, AppDataSource* ds) {
  check_keys(t, {"tag", "address", "length", "bit", "count", "type"}, "a conversion record");
  AppConversion c;
  bool ok = true;
  auto r = role_tag(t, "tag", at, kValueTypes, true, "a converted tag");
  if (!r) ok = false;
  auto address = get_int(t, "address", at, true, 0, kMaxU16);
  if (!address) ok = false;
  auto count = get_int(t, "count", at, false, 1, kMaxU16);
  if (t.get("count") && !count) ok = false;
  c.count = count ? static_cast<uint16_t>(*count) : 1;
  const toml::node* type_node = t.get("type");
  if (!type_node) {
    error(at, "missing 'type' (a data type such as \"DT_WORD\")");
    return;
  }
  AppPos tp = pos_of(*type_node, at);
  const auto* type_text = type_node->as_string();
  c.data_type = type_text ? app_data_type_code(type_text->get()) : 0;
  if (c.data_type == 0) {
    error(tp, type_text ? "unknown data type '" + type_text->get() + "'"
                        : std::string("'type' must be a data type name such as \"DT_WORD\""));
    return;
  }
  const toml::node* bit_node = t.get("bit");
  const toml::node* length_node = t.get("length");
  if (c.data_type == DT_BIT) {
    if (length_node) {
      error(pos_of(*length_node, at),
            "a DT_BIT record gives its bit number as 'bit', not 'length'");
      ok = false;
    }
    auto b = get_int(t, "bit", at, false, 0, kMaxU16 - (c.count - 1));
    if (bit_node && !b) ok = false;
    c.length = b ? static_cast<uint16_t>(*b) : 0;
  } else {
    if (bit_node) {
      error(pos_of(*bit_node, at), "'bit' is only for DT_BIT records; use 'length'");
      ok = false;
    }
    auto len = get_int(t, "length", at, length_required(c.data_type), 0, kMaxU16);
    if (length_node && !len) ok = false;
    if (!length_node && length_required(c.data_type)) ok = false;
    c.length = len ? static_cast<uint16_t>(*len) : default_length(c.data_type);
    if (len && c.data_type == DT_SIGNED_BITS && *len > 15) {
      error(pos_of(*length_node, at), "DT_SIGNED_BITS takes the sign bit 0 to 15 as its 'length'");
      ok = false;
    }
  }
  if (!ok || !r) return;
  AppPos rp = pos_of(*t.get("tag"), at);
  if ((c.data_type == DT_STRING || c.data_type == DT_RAW) && r->tag->type != TAG_MESSAGE) {
    error(rp, std::string(app_data_type_name(c.data_type)) + " converts only message tags; '" +
                  r->tag->name + "' is " + kTagTypeNames[r->tag->type]);
    return;
  }
  uint32_t remaining = r->tag->elements - r->linear;
  if (c.count > remaining) {
    error(rp, "'" + r->canonical + "' with count " + std::to_string(c.count) +
                  " runs past the end of array '" + r->tag->name + "' (" +
                  std::to_string(remaining) + " element(s) from there)");
    return;
  }
  if (c.data_type != DT_BIT && *address + c.count - 1 > kMaxU16) {
    error(pos_of(*t.get("address"), at), "the record's elements run past address 65535");
    return;
  }
  c.tag_name = r->canonical;
  c.tag = r->ref;
  c.address = static_cast<uint16_t>(*address);
  for (size_t k = 0; k < r->tag->dims.size(); ++k) {
    if (k) c.dims_text += ",";
    c.dims_text += std::to_string(r->tag->dims[k]);
  }
  if (c.tag_name.size() + 1 > APP_CONV_NAME_SIZE || c.dims_text.size() + 1 > APP_CONV_DIMS_SIZE) {
    error(rp, "'" + c.tag_name + "' is too long for the conversion record");
    return;
  }
  ds->conversions.push_back(std::move(c));
}

}  // namespace

std::string app_parse_tag_ref(std::string_view text, std::string* name,
                              std::vector<uint32_t>* indexes, bool* indexed) {
  RefText rt;
  std::string err = parse_ref_text(text, &rt);
  *name = rt.name;
  *indexes = rt.indexes;
  *indexed = rt.indexed;
  return err;
}

uint16_t app_data_type_code(std::string_view name) {
  for (uint16_t k = APP_DT_FIRST; k <= APP_DT_LAST; ++k)
    if (name == kDataTypeNames[k]) return k;
  return 0;
}

const char* app_data_type_name(uint16_t code) {
  return code >= APP_DT_FIRST && code <= APP_DT_LAST ? kDataTypeNames[code] : "";
}

const char* app_tag_type_name(uint16_t type) {
  return type < ZQ_TAG_TYPE_COUNT ? kTagTypeNames[type] : "?";
}

std::string app_diagnostic_text(const AppDiagnostic& d) {
  return d.file + ":" + std::to_string(d.pos.line) + ":" + std::to_string(d.pos.column) + ": " +
         d.message;
}

bool app_model_parse(std::string_view text, const std::string& file, AppModel* model,
                     std::vector<AppDiagnostic>* diagnostics) {
  *model = AppModel{};
  model->file = file;
  size_t before = diagnostics->size();
  toml::table root;
  try {
    root = toml::parse(text, file);
  } catch (const toml::parse_error& e) {
    const auto& b = e.source().begin;
    diagnostics->push_back({file, {b.line, b.column}, std::string(e.description())});
    return false;
  }
  Parser parser(file, model, diagnostics);
  parser.run(root);
  std::stable_sort(diagnostics->begin() + static_cast<std::ptrdiff_t>(before), diagnostics->end(),
                   [](const AppDiagnostic& a, const AppDiagnostic& b) {
                     return a.pos.line != b.pos.line ? a.pos.line < b.pos.line
                                                     : a.pos.column < b.pos.column;
                   });
  return diagnostics->size() == before;
}

bool app_model_load(const std::string& path, AppModel* model,
                    std::vector<AppDiagnostic>* diagnostics) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    diagnostics->push_back({path, {0, 0}, "cannot read the file"});
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return app_model_parse(text.str(), path, model, diagnostics);
}
