// zq ct build: compiles an application description into an application directory.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "tools/app_build.h"
#include "tools/app_cli.h"
#include "tools/app_model.h"
#include "tools/sim_config.h"
#include "tools/zq_command.h"

namespace {

struct Options {
  std::string description;
  std::string out;
  uint32_t objects_per_table = OBJECT_TABLE_SPLIT_DEFAULT;
};

// Simulator configurations held in the description: [simulator.TASK] is the
// configuration of the zq sim task TASK, written to sim/TASK.toml of the
// application directory (zq sim finds a relative --config under $ZQAPP).
struct SimFile {
  std::string task;
  std::string text;
};

bool collect_simulators(const std::string& description, std::vector<SimFile>* files) {
  toml::table root = toml::parse_file(description);
  const toml::table* sims = root["simulator"].as_table();
  if (sims == nullptr) return true;
  bool ok = true;
  for (const auto& [key, node] : *sims) {
    const std::string task(key.str());
    const toml::table* table = node.as_table();
    if (table == nullptr) {
      fprintf(stderr, "%s: [simulator.%s] must be a table\n", description.c_str(), task.c_str());
      ok = false;
      continue;
    }
    std::ostringstream text;
    text << *table << "\n";
    SimConfig config;
    std::vector<std::string> errors;
    const std::string origin = description + " [simulator." + task + "]";
    if (!sim_config_parse(text.str(), origin, &config, &errors)) {
      for (const std::string& e : errors) fprintf(stderr, "%s\n", e.c_str());
      ok = false;
      continue;
    }
    files->push_back({task, text.str()});
  }
  return ok;
}

bool write_simulators(const std::string& dir, const std::vector<SimFile>& files,
                      std::string* error) {
  namespace fs = std::filesystem;
  if (files.empty()) return true;
  std::error_code ec;
  fs::create_directories(fs::path(dir) / "sim", ec);
  for (const SimFile& f : files) {
    const fs::path path = fs::path(dir) / "sim" / (f.task + ".toml");
    std::ofstream out(path);
    out << "# Written by zq ct build from [simulator." << f.task << "]; edit the description.\n"
        << f.text;
    if (!out) {
      *error = "cannot write " + path.string();
      return false;
    }
  }
  return true;
}

int run(const Options& o) {
  AppModel model;
  std::vector<AppDiagnostic> diags;
  if (!app_model_load(o.description, &model, &diags)) {
    for (const AppDiagnostic& d : diags) fprintf(stderr, "%s\n", app_diagnostic_text(d).c_str());
    fprintf(stderr, "zq ct build: %zu mistake(s); nothing written\n", diags.size());
    return ZQ_EXIT_USAGE;
  }
  std::vector<SimFile> simulators;
  if (!collect_simulators(o.description, &simulators)) {
    fprintf(stderr, "zq ct build: mistakes in the simulator configuration; nothing written\n");
    return ZQ_EXIT_USAGE;
  }
  AppBuildOutput out;
  std::string error;
  if (!app_build_tables(model, &out, &error) ||
      !app_build_write(model, out, o.out, &error, o.objects_per_table) ||
      !write_simulators(o.out, simulators, &error)) {
    fprintf(stderr, "zq ct build: %s\n", error.c_str());
    return ZQ_EXIT_FAILURE;
  }
  size_t sources = 0, records = 0;
  for (const AppProvider& p : model.quantrel.providers) {
    sources += p.sources.size();
    for (const AppDataSource& ds : p.sources) records += ds.conversions.size();
  }
  printf("%s: application %s.%s.%s, %zu tag(s), %zu task(s)", o.out.c_str(), model.name.c_str(),
         model.domain.c_str(), model.user.c_str(), model.tags.size(), model.tasks.size());
  if (model.quantrel.present)
    printf(", quantrel.ct with %zu data source(s) and %zu conversion record(s)", sources, records);
  printf("\n");
  return ZQ_EXIT_OK;
}

ZqCommandRegistrar registrar("ct build", [](CLI::App& app, int* status) {
  CLI::App* ct = app_ct_group(app);
  CLI::App* cmd = ct->add_subcommand(
      "build", "Compile APP.toml into an application directory (object.ct, tasks.ct, quantrel.ct)");
  auto o = std::make_shared<Options>();
  cmd->add_option("description", o->description, "The application description (app.toml)")
      ->required()
      ->check(CLI::ExistingFile);
  cmd->add_option("--out,-o", o->out, "The application directory to write")->required();
  cmd->add_option("--objects-per-table", o->objects_per_table,
                  "Object records per table of object.ct")
      ->check(CLI::Range(1u, 1000000u));
  cmd->callback([o, status] {
    try {
      *status = run(*o);
    } catch (const std::exception& e) {
      fprintf(stderr, "zq ct build: %s\n", e.what());
      *status = ZQ_EXIT_FAILURE;
    }
  });
});

}  // namespace
