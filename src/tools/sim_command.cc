// zq sim: the provider simulator task (its own process, started by zq run).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/provider_config.h"
#include "tools/sim_config.h"
#include "tools/sim_provider.h"
#include "tools/zq_command.h"

namespace {

constexpr int16_t TASK_STATUS_STOPPED = 0;
constexpr int16_t TASK_STATUS_RUNNING = 1;
constexpr size_t ENV_VALUE_SIZE = 256;

const char* const HELP_FOOTER = R"(
Attaches to the database named by ZQNAME, ZQDOMAIN and ZQUSER as task NAME
(--task, else [sim] task) and serves the data sources of FILE until a stop is
requested. Names are resolved in {app}/ct/object.ct ([sim] app, else ZQAPP).
Runs on QUANTREL's station when [sim] station equals quantrel_station.

How each request is answered (answers go to [sim] quantrel_mailbox):
  query (0)       the data source named by the text after the header ->
                  query reply (1): flags (format 3, byte_swap, low_bit_first,
                  bit 10, one_based_bits, unit_size), count, start; data = the
                  sim's name for it (provider_name). Key: the query's own key on
                  QUANTREL's station, else the sim's remote_key.
  read (2)        units start..start+count-1 (count 0 = the whole block) ->
                  read data (3): header + count x unit_size bytes
                  (bits: count/8+1 bytes) of the memory.
  write (4)       by transfer_type: 0x0C00 whole units (bits packed from bit 0
                  of the first byte); 0x100+b bit b of the unit at start;
                  below 0x600 one byte (0x408 the high byte); below 0x800 two
                  bytes; below 0xB00 four; 0xB00 eight. Typed values (flag bit
                  4 clear) are little-endian numbers as wide as a unit; untyped
                  ones are in block form. Memory updated -> write ack (5),
                  header only.
  data-source tag force-written with a non-zero value (QUANTREL's station
  only) -> read data (3) of the whole block.
  every unsolicited_ms, once the data source has been queried -> unsolicited
  data (7) of the whole block.
Error replies (9, 11, 13, 15) carry a 16-bit code after the header (unit size
2, count 2): 801 no such data source, 802 malformed request, 803 addresses
outside the block, 804 transfer_type not served, 805 unit size differs, or
the code of a matching [[source.error]] rule. Other kinds are dropped.
Exit status: 0 stopped on request, 1 kernel failure, 2 bad configuration.
See docs/sim.md for the configuration file.)";

struct Options {
  std::string config;
  std::string task;
  bool trace = false;
  bool check = false;
};

std::atomic<bool> g_interrupted{false};

void on_interrupt(int) {
  g_interrupted.store(true);
}

// Writes the task's status into the status tag the run-time manager gave it.
void write_status(int id, int16_t status) {
  uint8_t block[ZQ_TASK_BLOCK_SIZE];
  if (zq_task_info(id, block) < 0) return;
  TagRef tag{
      static_cast<uint16_t>(block[ZQ_TB_STATUS_TAG] | (block[ZQ_TB_STATUS_TAG + 1] << 8)),
      static_cast<uint16_t>(block[ZQ_TB_STATUS_TAG + 2] | (block[ZQ_TB_STATUS_TAG + 3] << 8))};
  uint16_t type = 0;
  if (tag.type == ZQ_TAGREF_UNSET || zq_tag_info(&tag, 1, &type, nullptr) != 0) return;
  if (type == TAG_LONG) {
    int32_t v = status;
    zq_write(id, &tag, 1, &v);
  } else if (type == TAG_ANALOG || type == TAG_DIGITAL) {
    zq_write(id, &tag, 1, &status);
  }
}

void print_summary(const SimConfig& c) {
  printf("%s: task %s, mailbox %s, answers to %s, station %u (QUANTREL %u: %s)\n", c.file.c_str(),
         c.task.c_str(), c.mailbox.c_str(), c.quantrel_mailbox.c_str(), c.station,
         c.quantrel_station, c.station == c.quantrel_station ? "same station" : "other station");
  for (const SimSourceConfig& s : c.sources) {
    printf("  %s: start %u count %u unit %u, %zu init, %zu mover(s), %zu error rule(s)",
           s.name.c_str(), s.start, s.count, s.unit_size, s.inits.size(), s.movers.size(),
           s.errors.size());
    if (s.unsolicited_ms) printf(", unsolicited every %u ms", s.unsolicited_ms);
    printf("\n");
  }
}

int run(const Options& o) {
  SimConfig config;
  std::vector<std::string> errors;
  if (!sim_config_load(provider_find_config(o.config), &config, &errors)) {
    for (const std::string& e : errors) fprintf(stderr, "%s\n", e.c_str());
    fprintf(stderr, "zq sim: the configuration has %zu mistake(s)\n", errors.size());
    return ZQ_EXIT_USAGE;
  }
  if (!o.task.empty()) config.task = o.task;
  if (config.task.size() >= static_cast<size_t>(ZQ_TASK_NAME_SIZE)) {
    fprintf(stderr, "zq sim: task name '%s' is longer than %d characters\n", config.task.c_str(),
            ZQ_TASK_NAME_SIZE - 1);
    return ZQ_EXIT_USAGE;
  }
  if (config.app_dir.empty()) config.app_dir = provider_env("ZQAPP");
  if (o.check) {
    print_summary(config);
    return ZQ_EXIT_OK;
  }
  if (config.app_dir.empty()) {
    fprintf(stderr, "zq sim: no application directory: set [sim] app or ZQAPP\n");
    return ZQ_EXIT_USAGE;
  }
  std::string name = provider_env("ZQNAME"), domain = provider_env("ZQDOMAIN"),
              user = provider_env("ZQUSER");
  int16_t id = zq_init(config.task.c_str(), config.description.c_str(), name.c_str(),
                       domain.c_str(), user.c_str());
  if (id < 0) {
    fprintf(stderr, "zq sim: cannot attach as task %s to database %s.%s.%s: %s\n",
            config.task.c_str(), name.c_str(), domain.c_str(), user.c_str(),
            zq_strerror(zq_errno(id)));
    return ZQ_EXIT_FAILURE;
  }
  auto sim = std::make_unique<Sim>();
  if (o.trace) {
    sim->trace = [](const std::string& line) {
      printf("%s\n", line.c_str());
      fflush(stdout);
    };
  }
  std::string error;
  if (!sim_setup(sim.get(), config, id, sim_object_table_resolver(config.app_dir), &error)) {
    fprintf(stderr, "zq sim: %s (object table under %s)\n", error.c_str(), config.app_dir.c_str());
    zq_exit(id);
    return ZQ_EXIT_USAGE;
  }
  sim->interrupt = &g_interrupted;
  signal(SIGINT, on_interrupt);
  signal(SIGTERM, on_interrupt);
  write_status(id, TASK_STATUS_RUNNING);
  sim_publish_state(sim.get(), false);
  int rc = sim_run(sim.get(), &error);
  sim_publish_state(sim.get(), true);
  write_status(id, TASK_STATUS_STOPPED);
  if (o.trace) {
    const SimCounters& c = sim->counters;
    printf("%s stopped: %llu received, %llu answered (%llu errors), %llu dropped, %llu not sent\n",
           config.task.c_str(), static_cast<unsigned long long>(c.received),
           static_cast<unsigned long long>(c.answered), static_cast<unsigned long long>(c.errors),
           static_cast<unsigned long long>(c.dropped),
           static_cast<unsigned long long>(c.send_failures));
    fflush(stdout);
  }
  zq_exit(id);
  if (rc != SIM_RUN_STOPPED) {
    fprintf(stderr, "zq sim: %s\n", error.c_str());
    return ZQ_EXIT_FAILURE;
  }
  return ZQ_EXIT_OK;
}

ZqCommandRegistrar registrar("sim", [](CLI::App& app, int* status) {
  CLI::App* cmd = app.add_subcommand(
      "sim", "Provider simulator: a provider task serving simulated data sources to QUANTREL");
  auto o = std::make_shared<Options>();
  cmd->add_option("--config,-c", o->config, "The simulator's configuration (TOML)")->required();
  cmd->add_option("--task,-t", o->task, "Task name to attach under (default: [sim] task)");
  cmd->add_flag("--trace", o->trace, "Print one line per request received and answer sent");
  cmd->add_flag("--check", o->check, "Check the configuration, print a summary and exit");
  cmd->footer(HELP_FOOTER);
  cmd->callback([o, status] { *status = run(*o); });
});

}  // namespace
