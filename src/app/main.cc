// quantrel: the translator task. Started by the run-time manager, it attaches
// to the tag database, loads its catalogue, date/time layouts and
// configuration, then waits for trigger tags and dispatches them until the
// kernel asks it to stop.
#include <chrono>
#include <thread>

#include "config/config_loader.h"
#include "datetime/datetime.h"
#include "runtime/catalogue.h"
#include "runtime/report.h"
#include "runtime/task.h"
#include "runtime/triggers.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FATAL = 1;
constexpr int CTLOAD_TRACE_LEVEL = 1;
constexpr auto START_PAUSE = std::chrono::milliseconds(100);

// The process's one task record: zero at load, never freed.
TaskContext g_task;

}  // namespace

int main() {
  task_set_identity(&g_task);
  if (task_init(&g_task) != 0) return EXIT_FATAL;  // not attached: nothing to report to

  load_task_catalogue(&g_task);
  task_report(&g_task, "START", STATUS_STARTING);
  std::this_thread::sleep_for(START_PAUSE);

  if (load_time_layouts() == -1) {
    task_report(&g_task, "TIMER_CONV", STATUS_STOPPED);
    task_exit(&g_task, EXIT_FATAL);
  }
  load_datetime_format(catalogue_lookup("DATETIME"));
  signal_setup(&g_task);  // without the wake-up signal registrations still work

  if (load_configuration(&g_task) != nullptr) task_exit(&g_task, EXIT_FATAL);
  task_trace(&g_task, "DBG_CTLOAD", CTLOAD_TRACE_LEVEL);
  task_report(&g_task, "RUN", STATUS_RUNNING);

  task_main_loop(&g_task);
  task_exit(&g_task, EXIT_OK);
}
