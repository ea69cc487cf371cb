// zq: one command-line tool for QUANTREL users, with git-style subcommands.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/zq_command.h"

namespace {

struct Entry {
  std::string name;
  ZqCommandSetup setup;
};

std::vector<Entry>& commands() {
  static std::vector<Entry> list;
  return list;
}

}  // namespace

ZqCommandRegistrar::ZqCommandRegistrar(const char* name, ZqCommandSetup setup) {
  commands().push_back({name, std::move(setup)});
}

int main(int argc, char** argv) {
  CLI::App app{"zq: tools around the QUANTREL task (run, tag, ct, conv, sim)"};
  app.require_subcommand(1);
  int status = ZQ_EXIT_OK;
  for (auto& entry : commands()) entry.setup(app, &status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return ZQ_EXIT_USAGE;
  }
  return status;
}
