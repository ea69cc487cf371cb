// Task start-up, main loop and shutdown.
//
// The task attaches to the kernel under its name, reads its task block (the
// argument string from the run-time manager, its status and message tags,
// its directories), then loops over wait-and-dispatch passes until the
// kernel asks it to stop. task_exit is the only way the process ends once it
// is attached.
#ifndef ZQ_RUNTIME_TASK_H_
#define ZQ_RUNTIME_TASK_H_

#include <stdint.h>

#include "runtime/task_context.h"

constexpr const char* TASK_NAME = "QUANTREL";  // kernel task name, catalogue and log file name
constexpr const char* TASK_DESCRIPTION = "Quantrel";
constexpr const char* TASK_DEFAULT_TZ = "GMT0";  // time zone when TZ is unset

constexpr int TASK_INIT_NOT_ATTACHED = -1;  // task_init: zq_init failed
constexpr int TASK_INIT_NO_TASK_INFO = -2;  // task_init: zq_task_info failed

// Fills the task's name, description and program version.
void task_set_identity(TaskContext* ctx);

// Sets TZ if unset, attaches to the kernel, reads the task block and the
// "-LS" option, opens the log file as the options say and prints the start
// banner. 0, TASK_INIT_NOT_ATTACHED or TASK_INIT_NO_TASK_INFO.
int task_init(TaskContext* ctx);

// Finds "-LS" (any case, outside double quotes) in the argument string and
// reads its value: decimal digits, or "{NAME}" for the content of the
// environment variable NAME. Returns 0 and stores the value in *result (when
// result is not null), or -1 when there is no usable option; only the first
// occurrence counts. Values beyond the 32-bit range are held at INT32_MAX.
int scan_ls_option(const char* arguments, int32_t* result);

// Prints the start banner (task, version, ZQ variables, directories). 0.
int print_start_banner(TaskContext* ctx);

// After a wait pass: 1 when the task must stop (the pass saw a stop, or the
// kernel requests termination), else 0.
int task_should_stop(TaskContext* ctx);

// Waits and dispatches until the task must stop. A failed pass is reported
// as "ZQ_CHG_WAIT" and the loop goes on.
void task_main_loop(TaskContext* ctx);

// Ends the process: "STOP" for status 0; otherwise, after a second, 0 in the
// status tag (the message tag keeps the error). Detaches and closes the log.
[[noreturn]] void task_exit(TaskContext* ctx, int status);

// The task block's status and message tags and its argument string
// (always NUL-terminated).
TagRef task_status_tag(const TaskContext* ctx);
TagRef task_message_tag(const TaskContext* ctx);
const char* task_arguments(const TaskContext* ctx);

#endif  // ZQ_RUNTIME_TASK_H_
