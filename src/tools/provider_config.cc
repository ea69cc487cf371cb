// Configuration files of the provider tasks.
#include "tools/provider_config.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

bool provider_toml_parse(std::string_view text, const std::string& file, toml::table* root,
                         std::vector<std::string>* errors) {
  try {
    *root = toml::parse(text, file);
  } catch (const toml::parse_error& e) {
    std::ostringstream s;
    s << file << ":" << e.source().begin.line << ":" << e.source().begin.column << ": "
      << e.description();
    errors->push_back(s.str());
    return false;
  }
  return true;
}

bool provider_read_file(const std::string& path, std::string* text,
                        std::vector<std::string>* errors) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors->push_back(path + ": cannot be read");
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  *text = content.str();
  return true;
}

std::string provider_env(const char* name) {
  const char* v = getenv(name);
  return v ? std::string(v) : std::string();
}

std::string provider_find_config(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return path;
  std::string app = provider_env("ZQAPP");
  if (!app.empty() && std::filesystem::path(path).is_relative()) {
    std::filesystem::path alt = std::filesystem::path(app) / path;
    if (std::filesystem::exists(alt, ec)) return alt.string();
  }
  return path;
}

std::string provider_app_dir(const std::string& app_dir, const std::string& file) {
  if (app_dir.empty() || file.empty()) return app_dir;
  std::filesystem::path app(app_dir);
  if (!app.is_relative()) return app_dir;
  return (std::filesystem::path(file).parent_path() / app).lexically_normal().string();
}

TomlPos TomlChecker::pos(const toml::node& n) const {
  const toml::source_position& b = n.source().begin;
  return TomlPos{static_cast<long>(b.line), static_cast<long>(b.column)};
}

void TomlChecker::error(TomlPos at, const std::string& message) {
  std::ostringstream s;
  s << file_ << ":" << at.line << ":" << at.column << ": " << message;
  errors_->push_back(s.str());
}

void TomlChecker::check_keys(const toml::table& t, std::initializer_list<std::string_view> allowed,
                             const std::string& where) {
  for (const auto& [key, value] : t) {
    bool known = false;
    for (std::string_view a : allowed) known = known || key.str() == a;
    if (known) continue;
    const toml::source_position& b = key.source().begin;
    TomlPos at =
        b.line ? TomlPos{static_cast<long>(b.line), static_cast<long>(b.column)} : pos(value);
    error(at, "unknown key '" + std::string(key.str()) + "' in " + where);
  }
}

std::optional<std::string> TomlChecker::get_string(const toml::table& t, std::string_view key,
                                                   size_t max_length) {
  const toml::node* n = t.get(key);
  if (!n) return std::nullopt;
  const toml::value<std::string>* s = n->as_string();
  if (!s) {
    error(pos(*n), "'" + std::string(key) + "' must be a string");
    return std::nullopt;
  }
  if (s->get().size() > max_length) {
    error(pos(*n), "'" + std::string(key) + "' is longer than " + std::to_string(max_length) +
                       " characters");
    return std::nullopt;
  }
  return s->get();
}

std::optional<int64_t> TomlChecker::get_int(const toml::table& t, std::string_view key, int64_t lo,
                                            int64_t hi) {
  const toml::node* n = t.get(key);
  if (!n) return std::nullopt;
  const toml::value<int64_t>* v = n->as_integer();
  if (!v) {
    error(pos(*n), "'" + std::string(key) + "' must be an integer");
    return std::nullopt;
  }
  if (v->get() < lo || v->get() > hi) {
    error(pos(*n), "'" + std::string(key) + "' must lie in " + std::to_string(lo) + ".." +
                       std::to_string(hi) + ", not " + std::to_string(v->get()));
    return std::nullopt;
  }
  return v->get();
}

std::optional<double> TomlChecker::get_number(const toml::table& t, std::string_view key) {
  const toml::node* n = t.get(key);
  if (!n) return std::nullopt;
  if (const auto* i = n->as_integer()) return static_cast<double>(i->get());
  if (const auto* f = n->as_floating_point()) {
    if (std::isfinite(f->get())) return f->get();
  }
  error(pos(*n), "'" + std::string(key) + "' must be a finite number");
  return std::nullopt;
}

bool TomlChecker::get_bool(const toml::table& t, std::string_view key, bool fallback) {
  const toml::node* n = t.get(key);
  if (!n) return fallback;
  if (const auto* b = n->as_boolean()) return b->get();
  error(pos(*n), "'" + std::string(key) + "' must be true or false");
  return fallback;
}

std::vector<const toml::table*> TomlChecker::tables(const toml::table& t, std::string_view key,
                                                    std::string_view written) {
  std::vector<const toml::table*> out;
  const toml::node* n = t.get(key);
  if (!n) return out;
  const toml::array* a = n->as_array();
  if (!a || !a->is_array_of_tables()) {
    error(pos(*n),
          "'" + std::string(key) + "' must be written as [[" + std::string(written) + "]] tables");
    return out;
  }
  for (const toml::node& e : *a) out.push_back(e.as_table());
  return out;
}
