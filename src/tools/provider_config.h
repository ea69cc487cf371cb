// Configuration files of the provider tasks (zq sim, zq modbus): reading a
// TOML file with positioned messages, and the application directory it names.
#ifndef ZQ_TOOLS_PROVIDER_CONFIG_H_
#define ZQ_TOOLS_PROVIDER_CONFIG_H_

#include <toml++/toml.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where in the file a mistake is: 1-based line and column.
struct TomlPos {
  long line = 0;
  long column = 0;
};

// Checked reading of a parsed TOML table: every mistake becomes
// "file:line:column: message" in the error list, and reading goes on so that
// all mistakes are listed at once.
class TomlChecker {
 public:
  TomlChecker(const std::string& file, std::vector<std::string>* errors)
      : file_(file), errors_(errors) {}

 protected:
  TomlPos pos(const toml::node& n) const;
  void error(TomlPos at, const std::string& message);
  // Reports every key of t not in `allowed`; `where` names the table.
  void check_keys(const toml::table& t, std::initializer_list<std::string_view> allowed,
                  const std::string& where);
  std::optional<std::string> get_string(const toml::table& t, std::string_view key,
                                        size_t max_length);
  std::optional<int64_t> get_int(const toml::table& t, std::string_view key, int64_t lo,
                                 int64_t hi);
  std::optional<double> get_number(const toml::table& t, std::string_view key);
  bool get_bool(const toml::table& t, std::string_view key, bool fallback);
  // A list of tables written as [[written]] (the key's full dotted name);
  // empty when absent.
  std::vector<const toml::table*> tables(const toml::table& t, std::string_view key,
                                         std::string_view written);

  std::string file_;
  std::vector<std::string>* errors_;
};

// Parses text as TOML; a syntax error becomes "file:line:column: message" in
// *errors and false is returned.
bool provider_toml_parse(std::string_view text, const std::string& file, toml::table* root,
                         std::vector<std::string>* errors);

// The whole file into *text, or "path: cannot be read" in *errors.
bool provider_read_file(const std::string& path, std::string* text,
                        std::vector<std::string>* errors);

// The value of an environment variable, "" when unset.
std::string provider_env(const char* name);

// The configuration file given on the command line: as given when it exists,
// else, for a relative name, under $ZQAPP (where zq ct build writes it).
std::string provider_find_config(const std::string& path);

// A relative application directory is taken from the configuration file's
// folder; an absolute one, or an empty one, stays as it is.
std::string provider_app_dir(const std::string& app_dir, const std::string& file);

#endif  // ZQ_TOOLS_PROVIDER_CONFIG_H_
