// zq ct build: compiles an application description into an application directory.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tools/app_build.h"
#include "tools/app_cli.h"
#include "tools/app_model.h"
#include "tools/zq_command.h"

namespace {

struct Options {
  std::string description;
  std::string out;
  uint32_t objects_per_table = OBJECT_TABLE_SPLIT_DEFAULT;
};

int run(const Options& o) {
  AppModel model;
  std::vector<AppDiagnostic> diags;
  if (!app_model_load(o.description, &model, &diags)) {
    for (const AppDiagnostic& d : diags) fprintf(stderr, "%s\n", app_diagnostic_text(d).c_str());
    fprintf(stderr, "zq ct build: %zu mistake(s); nothing written\n", diags.size());
    return ZQ_EXIT_USAGE;
  }
  AppBuildOutput out;
  std::string error;
  if (!app_build_tables(model, &out, &error) ||
      !app_build_write(model, out, o.out, &error, o.objects_per_table)) {
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
