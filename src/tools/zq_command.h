// Subcommands of the zq tool.
//
// Each subcommand lives in its own file and registers itself with a static
// ZqCommandRegistrar; zq's main() builds the command line from the list.
#ifndef ZQ_TOOLS_ZQ_COMMAND_H_
#define ZQ_TOOLS_ZQ_COMMAND_H_

#include <CLI/CLI.hpp>

#include <functional>

// Exit statuses of every subcommand.
constexpr int ZQ_EXIT_OK = 0;
constexpr int ZQ_EXIT_FAILURE = 1;
constexpr int ZQ_EXIT_USAGE = 2;

// Adds the subcommand to app. The callback it installs stores the exit status
// into *status.
using ZqCommandSetup = std::function<void(CLI::App& app, int* status)>;

struct ZqCommandRegistrar {
  ZqCommandRegistrar(const char* name, ZqCommandSetup setup);
};

#endif  // ZQ_TOOLS_ZQ_COMMAND_H_
