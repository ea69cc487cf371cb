// Configuration files of the provider tasks.
#include "tools/provider_config.h"

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

std::string provider_app_dir(const std::string& app_dir, const std::string& file) {
  if (app_dir.empty() || file.empty()) return app_dir;
  std::filesystem::path app(app_dir);
  if (!app.is_relative()) return app_dir;
  return (std::filesystem::path(file).parent_path() / app).lexically_normal().string();
}
