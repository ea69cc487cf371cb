// zq modbus: the Modbus TCP provider task (its own process, started by zq run).
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/modbus_block.h"
#include "tools/modbus_config.h"
#include "tools/modbus_provider.h"
#include "tools/provider_config.h"
#include "tools/zq_command.h"

namespace {

const char* const HELP_FOOTER = R"(
Attaches to the database named by ZQNAME, ZQDOMAIN and ZQUSER as task NAME
(--task, else [modbus] task) and serves the data sources of FILE from Modbus
TCP devices until a stop is requested. Names are resolved in
{app}/ct/object.ct ([modbus] app, else ZQAPP). A relative FILE that does not
exist is looked up under ZQAPP.

Requests (answers go to [modbus] quantrel_mailbox):
  query (0)      -> query reply (1) with the data source's geometry: unit size
                    2 for holding/input registers, 0 for coils/discrete
                    inputs; start = the first Modbus address; count.
  read (2), or a forced write of the data-source tag on QUANTREL's station
                 -> Modbus reads (function 1, 2, 3 or 4), split at 125
                    registers / 2000 bits per request -> read data (3).
  write (4)      -> function 6/16 (registers), 5/15 (coils), 22 (one bit or
                    byte of a register; read+write where 22 is refused)
                 -> write acknowledgement (5).
A data source read back to back (the next request within read_ahead_ms of
the answer) is read ahead: its next Modbus read starts as the answer goes out,
and is used when the request comes within read_ahead_ms of that read's start
and no write went to the device meanwhile.
Registers lie in the block big-endian (header flag byte_swap set), so DT_WORD
is the register, DT_LONG/DT_FLOAT take the first register as the high word
and DT_LONG_WS/DT_FLOAT_WS the second; bits are packed as on the wire, bit 0
the lowest (low_bit_first).

Error replies (read error 11, write error 13, query error 9) carry a code
that QUANTREL writes into the data source's status tag:
  0x101..0x1FF  257..511  Modbus exception from the device, 0x100 + its code
                          (0x101 illegal function, 0x102 illegal data
                          address, 0x103 illegal data value, 0x104 device
                          failure, 0x106 busy, 0x10B gateway target failed)
  0x200  512  response timeout
  0x201  513  connection lost during the request (and not made again)
  0x202  514  not connected: the device cannot be reached; retrying
  0x203  515  invalid response
  0x300  768  write to discrete inputs or input registers
  0x301  769  addresses (or bit number) outside the data source
  0x302  770  transfer_type the table cannot take
  0x303  771  malformed request
  0x304  772  no data source of that name or key
  0x305  773  write with another unit size than the table's
Connection changes are reported once each: a line on standard output, the
data sources' state tags (0x311 = 785 ready and connected, 0x321 = 801 ready
but not connected, 0 stopped; QUANTREL queries a data source with a state tag
when it first turns ready), the task's status tag (1 running, 2 a device is
not connected, 0 stopped) and message tag.
Exit status: 0 stopped on request, 1 kernel failure, 2 bad configuration.
See docs/modbus.md.)";

struct Options {
  std::string config;
  std::string task;
  bool trace = false;
  bool check = false;
};

void print_summary(const MbConfig& c) {
  printf("%s: task %s, mailbox %s, answers to %s, station %u (QUANTREL %u: %s)\n", c.file.c_str(),
         c.task.c_str(), c.mailbox.c_str(), c.quantrel_mailbox.c_str(), c.station,
         c.quantrel_station, c.station == c.quantrel_station ? "same station" : "other station");
  for (const MbDeviceConfig& d : c.devices) {
    printf("  device %s: %s:%u unit %d, timeout %u ms, retry %u..%u ms\n", d.name.c_str(),
           d.host.c_str(), d.port, d.unit_id, d.response_timeout_ms, d.retry_min_ms,
           d.retry_max_ms);
  }
  for (const MbSourceConfig& s : c.sources) {
    printf("  %s: %s %u..%u of %s (%u %s)\n", s.name.c_str(), mb_table_name(s.table), s.start,
           s.start + s.count - 1, c.devices[s.device].name.c_str(), s.count,
           mb_table_is_registers(s.table) ? "registers" : "bits");
  }
}

void print_line(const std::string& line) {
  printf("%s\n", line.c_str());
  fflush(stdout);
}

// Waits for SIGINT or SIGTERM (blocked in every thread) and asks the
// provider to stop; SIGUSR1 ends it without a stop.
class SignalWatcher {
 public:
  explicit SignalWatcher(MbProvider* provider) : provider_(provider) {
    thread_ = std::thread([this] { run(); });
  }
  ~SignalWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }

 private:
  void run() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    int signal = 0;
    while (sigwait(&set, &signal) == 0) {
      if (signal == SIGUSR1) return;
      mb_provider_interrupt(provider_);
    }
  }
  MbProvider* provider_;
  std::thread thread_;
};

int run(const Options& o) {
  MbConfig config;
  std::vector<std::string> errors;
  if (!mb_config_load(provider_find_config(o.config), &config, &errors)) {
    for (const std::string& e : errors) fprintf(stderr, "%s\n", e.c_str());
    fprintf(stderr, "zq modbus: the configuration has %zu mistake(s)\n", errors.size());
    return ZQ_EXIT_USAGE;
  }
  if (!o.task.empty()) config.task = o.task;
  if (config.task.size() >= static_cast<size_t>(ZQ_TASK_NAME_SIZE)) {
    fprintf(stderr, "zq modbus: task name '%s' is longer than %d characters\n", config.task.c_str(),
            ZQ_TASK_NAME_SIZE - 1);
    return ZQ_EXIT_USAGE;
  }
  if (config.app_dir.empty()) config.app_dir = provider_env("ZQAPP");
  if (o.check) {
    print_summary(config);
    return ZQ_EXIT_OK;
  }
  if (config.app_dir.empty()) {
    fprintf(stderr, "zq modbus: no application directory: set [modbus] app or ZQAPP\n");
    return ZQ_EXIT_USAGE;
  }
  // The signals go to the watcher thread only; every thread started from
  // here on inherits the mask.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  std::string name = provider_env("ZQNAME"), domain = provider_env("ZQDOMAIN"),
              user = provider_env("ZQUSER");
  int16_t id = zq_init(config.task.c_str(), config.description.c_str(), name.c_str(),
                       domain.c_str(), user.c_str());
  if (id < 0) {
    fprintf(stderr, "zq modbus: cannot attach as task %s to database %s.%s.%s: %s\n",
            config.task.c_str(), name.c_str(), domain.c_str(), user.c_str(),
            zq_strerror(zq_errno(id)));
    return ZQ_EXIT_FAILURE;
  }
  std::string error;
  MbProvider* provider = mb_provider_create(config, id, sim_object_table_resolver(config.app_dir),
                                            print_line, o.trace, &error);
  if (!provider) {
    fprintf(stderr, "zq modbus: %s (object table under %s)\n", error.c_str(),
            config.app_dir.c_str());
    zq_exit(id);
    return ZQ_EXIT_USAGE;
  }
  int rc = MB_RUN_STOPPED;
  {
    SignalWatcher watcher(provider);
    rc = mb_provider_run(provider, &error);
  }
  {
    MbCounters c = mb_provider_counters(provider);
    printf(
        "%s stopped: %llu received, %llu forced reads, %llu answered (%llu errors), %llu "
        "dropped, %llu not sent, %llu Modbus requests, %llu reads answered ahead\n",
        config.task.c_str(), static_cast<unsigned long long>(c.received),
        static_cast<unsigned long long>(c.forced), static_cast<unsigned long long>(c.answered),
        static_cast<unsigned long long>(c.errors), static_cast<unsigned long long>(c.dropped),
        static_cast<unsigned long long>(c.send_failures),
        static_cast<unsigned long long>(c.modbus_requests),
        static_cast<unsigned long long>(c.read_ahead_used));
    fflush(stdout);
  }
  mb_provider_destroy(provider);
  zq_exit(id);
  if (rc != MB_RUN_STOPPED) {
    fprintf(stderr, "zq modbus: %s\n", error.c_str());
    return ZQ_EXIT_FAILURE;
  }
  return ZQ_EXIT_OK;
}

ZqCommandRegistrar registrar("modbus", [](CLI::App& app, int* status) {
  CLI::App* cmd = app.add_subcommand(
      "modbus", "Modbus TCP provider: serves QUANTREL's data sources from Modbus TCP devices");
  auto o = std::make_shared<Options>();
  cmd->add_option("--config,-c", o->config, "The provider's configuration (TOML)")->required();
  cmd->add_option("--task,-t", o->task, "Task name to attach under (default: [modbus] task)");
  cmd->add_flag("--trace", o->trace, "Print one line per request received and answer sent");
  cmd->add_flag("--check", o->check, "Check the configuration, print a summary and exit");
  cmd->footer(HELP_FOOTER);
  cmd->callback([o, status] { *status = run(*o); });
});

}  // namespace
