// Command-line helpers shared by the zq subcommands of this folder.
#ifndef ZQ_TOOLS_APP_CLI_H_
#define ZQ_TOOLS_APP_CLI_H_

#include <CLI/CLI.hpp>

#include <string>

// The "zq ct" group, created by whichever ct subcommand registers first.
inline CLI::App* app_ct_group(CLI::App& app) {
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    if (sub->get_name() == "ct") return sub;
  }
  CLI::App* ct = app.add_subcommand("ct", "Compile application descriptions; show CT files");
  ct->require_subcommand(1);
  return ct;
}

#endif  // ZQ_TOOLS_APP_CLI_H_
