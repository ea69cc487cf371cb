// Configuration files of the provider tasks (zq sim, zq modbus): reading a
// TOML file with positioned messages, and the application directory it names.
#ifndef ZQ_TOOLS_PROVIDER_CONFIG_H_
#define ZQ_TOOLS_PROVIDER_CONFIG_H_

#include <toml++/toml.h>

#include <string>
#include <string_view>
#include <vector>

// Parses text as TOML; a syntax error becomes "file:line:column: message" in
// *errors and false is returned.
bool provider_toml_parse(std::string_view text, const std::string& file, toml::table* root,
                         std::vector<std::string>* errors);

// The whole file into *text, or "path: cannot be read" in *errors.
bool provider_read_file(const std::string& path, std::string* text,
                        std::vector<std::string>* errors);

// A relative application directory is taken from the configuration file's
// folder; an absolute one, or an empty one, stays as it is.
std::string provider_app_dir(const std::string& app_dir, const std::string& file);

#endif  // ZQ_TOOLS_PROVIDER_CONFIG_H_
