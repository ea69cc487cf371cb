// Reports (status and message tags) and traces (console and log file).
//
// task_report is for the operator: the key's catalogue text, formatted with
// the arguments, goes to the task's message tag and the status code to its
// status tag. task_trace is the debug trace, by level. Arguments are typed
// (numbers or texts) and checked against the text's placeholders.
#ifndef ZQ_RUNTIME_REPORT_H_
#define ZQ_RUNTIME_REPORT_H_

#include "runtime/format.h"
#include "runtime/task_context.h"

constexpr size_t REPORT_TEXT_SIZE = 2048;  // formatted report
constexpr size_t TRACE_TEXT_SIZE = 800;    // one trace line incl. newline and NUL
constexpr uint16_t REPORT_MESSAGE_CAPACITY = 160;

// Status codes written to the status tag.
constexpr int STATUS_STOPPED = 0;
constexpr int STATUS_RUNNING = 1;
constexpr int STATUS_ERROR = 2;
constexpr int STATUS_STARTING = 3;

void task_report_args(TaskContext* ctx, const char* key, int status, const FormatArg* args,
                      int count);
int task_trace_args(TaskContext* ctx, const char* key, int level, const FormatArg* args, int count);

template <class... A>
inline void task_report(TaskContext* ctx, const char* key, int status, const A&... args) {
  const FormatArg list[] = {format_arg(args)..., FormatArg{}};
  task_report_args(ctx, key, status, list, static_cast<int>(sizeof...(A)));
}

// 0 when the line reached the console or the log file, -1 otherwise.
template <class... A>
inline int task_trace(TaskContext* ctx, const char* key, int level, const A&... args) {
  const FormatArg list[] = {format_arg(args)..., FormatArg{}};
  return task_trace_args(ctx, key, level, list, static_cast<int>(sizeof...(A)));
}

// Reads -d/-l/-x from the task block's argument string and opens the log file.
int open_task_log(TaskContext* ctx);

#endif  // ZQ_RUNTIME_REPORT_H_
