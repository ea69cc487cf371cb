// zq ct dump: shows a CT file's header, index and tables.
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include "config/ct_file.h"
#include "tools/app_cli.h"
#include "tools/app_dump.h"
#include "tools/zq_command.h"

namespace {

struct Options {
  std::string file;
  bool json = false;
  AppDumpKind kind = AppDumpKind::AUTO;
  std::string names;
};

int run(const Options& o) {
  AppDumpOptions options;
  options.json = o.json;
  options.kind = o.kind;
  options.object_table = o.names;
  std::string out;
  int st = app_dump_ct(o.file, options, &out);
  fwrite(out.data(), 1, out.size(), stdout);
  if (st) {
    fprintf(stderr, "zq ct dump: %s: %s (status %d)\n", o.file.c_str(), ct_strerror(st), st);
    return ZQ_EXIT_FAILURE;
  }
  return ZQ_EXIT_OK;
}

ZqCommandRegistrar registrar("ct dump", [](CLI::App& app, int* status) {
  CLI::App* ct = app_ct_group(app);
  CLI::App* cmd = ct->add_subcommand(
      "dump",
      "Show a CT file: header, index and every table (object.ct, quantrel.ct and "
      "tasks.ct field by field, others in hex)");
  auto o = std::make_shared<Options>();
  cmd->add_option("file", o->file, "The CT file")->required();
  cmd->add_flag("--json", o->json, "Print one JSON document instead of text");
  std::map<std::string, AppDumpKind> kinds = {{"auto", AppDumpKind::AUTO},
                                              {"object", AppDumpKind::OBJECT},
                                              {"quantrel", AppDumpKind::QUANTREL},
                                              {"tasks", AppDumpKind::TASKS},
                                              {"raw", AppDumpKind::RAW}};
  cmd->add_option("--as", o->kind, "Decode as: auto (by file name), object, quantrel, tasks, raw")
      ->transform(CLI::CheckedTransformer(kinds, CLI::ignore_case));
  cmd->add_option("--names", o->names,
                  "Object table for tag names (default: ../../ct/object.ct for quantrel.ct, "
                  "object.ct beside tasks.ct)");
  cmd->callback([o, status] {
    try {
      *status = run(*o);
    } catch (const std::exception& e) {
      fprintf(stderr, "zq ct dump: %s\n", e.what());
      *status = ZQ_EXIT_FAILURE;
    }
  });
});

}  // namespace
