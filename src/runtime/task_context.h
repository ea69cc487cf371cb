// TaskContext: the one process-wide record of the running task.
//
// Zero-initialised at load, never freed. Every report and trace takes it as
// its first argument; start-up fills it, the wait loop keeps its wait state.
#ifndef ZQ_RUNTIME_TASK_CONTEXT_H_
#define ZQ_RUNTIME_TASK_CONTEXT_H_

#include <stdint.h>
#include <stdio.h>

#include "kernel/zqkernel.h"

constexpr int TASK_ZQ_NAME_SIZE = 32;
constexpr int TASK_ZQ_DOMAIN_SIZE = 8;
constexpr int TASK_ZQ_USER_SIZE = 16;
constexpr int TASK_NAME_SIZE = 32;
constexpr int TASK_DESCRIPTION_SIZE = 80;
constexpr int TASK_LOG_PATH_SIZE = 128;
constexpr uint16_t TASK_VERSION = 0x0201;  // 2.1: major in the high byte

struct TaskContext {
  int16_t task_id;                           // kernel id from zq_init; negative = not attached
  int32_t ls_option;                         // value of "-LS", 0 when absent; low 8 bits = station
  uint16_t version;                          // major << 8 | minor
  uint16_t waiting;                          // set by every wait pass, cleared by task_should_stop
  int32_t wait_result;                       // last wait: kernel error, signal number, or 1 = stop
  uint8_t kernel_block[ZQ_TASK_BLOCK_SIZE];  // task block from zq_task_info
  char zq_name[TASK_ZQ_NAME_SIZE];
  char zq_domain[TASK_ZQ_DOMAIN_SIZE];
  char zq_user[TASK_ZQ_USER_SIZE];
  char task_name[TASK_NAME_SIZE];
  char task_description[TASK_DESCRIPTION_SIZE];
  char log_path[TASK_LOG_PATH_SIZE];
  FILE* log_file;
  int8_t console_level;  // "-d": console trace level, 0 = off
  int8_t file_level;     // "-l": log file trace level, 0 = no log
  int8_t exact_levels;   // "-x": levels match exactly instead of as thresholds
};

#endif  // ZQ_RUNTIME_TASK_CONTEXT_H_
