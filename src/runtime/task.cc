// Task start-up, the "-LS" option, the main loop and the exit path.
#include "runtime/task.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "runtime/report.h"
#include "runtime/triggers.h"

extern char** environ;

namespace {

constexpr int BANNER_TRACE_LEVEL = 1;
constexpr int WAIT_RESULT_STOP = 1;
constexpr auto STOP_POLL_PAUSE = std::chrono::milliseconds(1);
constexpr auto ERROR_EXIT_PAUSE = std::chrono::milliseconds(1000);
constexpr char LS_OPTION[] = "-LS";
constexpr size_t LS_OPTION_LENGTH = sizeof LS_OPTION - 1;
constexpr int DECIMAL_BASE = 10;

uint16_t load_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void store_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

TagRef block_tag(const TaskContext* ctx, size_t offset) {
  return TagRef{load_u16(ctx->kernel_block + offset), load_u16(ctx->kernel_block + offset + 2)};
}

// A NUL-terminated copy of a fixed-size text field of the task block.
void block_text(const TaskContext* ctx, size_t offset, size_t size, char* out) {
  memcpy(out, ctx->kernel_block + offset, size);
  out[size] = '\0';
}

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool matches_ls_option(const char* at) {
  for (size_t i = 0; i < LS_OPTION_LENGTH; ++i) {
    if (at[i] == '\0' || upper(at[i]) != LS_OPTION[i]) return false;
  }
  return true;
}

// The content of the environment variable whose name is the `length`
// characters at `name` (which need not be NUL-terminated), or null.
const char* environment_value(const char* name, size_t length) {
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
  }
  return nullptr;
}

// Leading decimal digits of text, held at INT32_MAX.
int32_t leading_decimal(const char* text) {
  int64_t value = 0;
  for (; is_digit(*text); ++text) {
    value = value * DECIMAL_BASE + (*text - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

// Reads the value right after "-LS": -1 unless it starts with a digit.
int read_ls_value(const char* value, int32_t* result) {
  if (*value == '{') {
    const char* name = value + 1;
    const char* close = strchr(name, '}');
    if (close == nullptr) return -1;
    value = environment_value(name, static_cast<size_t>(close - name));
    if (value == nullptr) return -1;
  }
  if (!is_digit(*value)) return -1;
  if (result != nullptr) *result = leading_decimal(value);
  return 0;
}

}  // namespace

void task_set_identity(TaskContext* ctx) {
  snprintf(ctx->task_name, sizeof ctx->task_name, "%s", TASK_NAME);
  snprintf(ctx->task_description, sizeof ctx->task_description, "%s", TASK_DESCRIPTION);
  ctx->version = TASK_VERSION;
}

TagRef task_status_tag(const TaskContext* ctx) {
  return block_tag(ctx, ZQ_TB_STATUS_TAG);
}

TagRef task_message_tag(const TaskContext* ctx) {
  return block_tag(ctx, ZQ_TB_MESSAGE_TAG);
}

const char* task_arguments(const TaskContext* ctx) {
  // The kernel terminates the field; the last byte is kept NUL in any case so
  // that a scan can never run past the block.
  const char* args = reinterpret_cast<const char*>(ctx->kernel_block + ZQ_TB_ARGS);
  return memchr(args, '\0', ZQ_TB_ARGS_SIZE) != nullptr ? args : "";
}

int scan_ls_option(const char* arguments, int32_t* result) {
  if (arguments == nullptr) return -1;
  bool quoted = false;
  for (const char* at = arguments; *at != '\0'; ++at) {
    if (*at == '"') quoted = !quoted;
    if (quoted || !matches_ls_option(at)) continue;
    return read_ls_value(at + LS_OPTION_LENGTH, result);
  }
  return -1;
}

int task_init(TaskContext* ctx) {
  if (getenv("TZ") == nullptr) setenv("TZ", TASK_DEFAULT_TZ, 1);
  tzset();

  store_u16(ctx->kernel_block + ZQ_TB_UNUSED_TAG, ZQ_TAGREF_UNSET);
  store_u16(ctx->kernel_block + ZQ_TB_STATUS_TAG, ZQ_TAGREF_UNSET);
  store_u16(ctx->kernel_block + ZQ_TB_MESSAGE_TAG, ZQ_TAGREF_UNSET);

  const char* user = zq_getenv("ZQUSER", ctx->zq_user, sizeof ctx->zq_user);
  const char* domain = zq_getenv("ZQDOMAIN", ctx->zq_domain, sizeof ctx->zq_domain);
  const char* name = zq_getenv("ZQNAME", ctx->zq_name, sizeof ctx->zq_name);

  ctx->task_id = zq_init(ctx->task_name, ctx->task_description, name, domain, user);
  if (ctx->task_id < 0) return TASK_INIT_NOT_ATTACHED;
  ctx->waiting = 0;
  ctx->wait_result = 0;
  if (zq_task_info(ctx->task_id, ctx->kernel_block) < 0) return TASK_INIT_NO_TASK_INFO;

  scan_ls_option(task_arguments(ctx), &ctx->ls_option);
  open_task_log(ctx);  // without a log file the task goes on
  print_start_banner(ctx);
  return 0;
}

int print_start_banner(TaskContext* ctx) {
  fputs("\n", stdout);
  fflush(stdout);
  task_trace(ctx, "START of %s: %s Version %d.%d\n\n", BANNER_TRACE_LEVEL,
             static_cast<const char*>(ctx->task_name),
             static_cast<const char*>(ctx->task_description), ctx->version >> 8,
             ctx->version & 0xFF);
  char app_dir[ZQ_TB_APP_DIR_SIZE + 1];
  char bin_dir[ZQ_TB_BIN_DIR_SIZE + 1];
  block_text(ctx, ZQ_TB_APP_DIR, ZQ_TB_APP_DIR_SIZE, app_dir);
  block_text(ctx, ZQ_TB_BIN_DIR, ZQ_TB_BIN_DIR_SIZE, bin_dir);
  task_trace(
      ctx, "\r ZQDOMAIN\t<%s>\n ZQNAME\t\t<%s>\n ZQUSER\t\t<%s>\n ZQAPP\t\t<%s>\n ZQBIN\t\t<%s>\n",
      BANNER_TRACE_LEVEL, static_cast<const char*>(ctx->zq_domain),
      static_cast<const char*>(ctx->zq_name), static_cast<const char*>(ctx->zq_user),
      static_cast<const char*>(app_dir), static_cast<const char*>(bin_dir));
  return 0;
}

int task_should_stop(TaskContext* ctx) {
  if (ctx->waiting != 0) {
    if (ctx->wait_result == WAIT_RESULT_STOP || zq_term_requested(ctx->task_id) == 1) return 1;
    ctx->waiting = 0;
    ctx->wait_result = 0;
    return 0;
  }
  if (zq_term_requested(ctx->task_id) == 1) return 1;
  std::this_thread::sleep_for(STOP_POLL_PAUSE);
  return 0;
}

void task_main_loop(TaskContext* ctx) {
  do {
    const int r = zq_wait_event(ctx);
    if (r != 0) task_report(ctx, "ZQ_CHG_WAIT", STATUS_ERROR, r);
  } while (task_should_stop(ctx) == 0);
}

void task_exit(TaskContext* ctx, int status) {
  if (status == 0) {
    task_report(ctx, "STOP", STATUS_STOPPED);
  } else {
    std::this_thread::sleep_for(ERROR_EXIT_PAUSE);
    TagRef status_tag = task_status_tag(ctx);
    // A zeroed value block reads as 0 in every numeric width.
    const unsigned char zero[ZQ_VALUE_SLOT_MAX] = {};
    if (tag_type_of(status_tag) != TAG_MESSAGE) zq_write(ctx->task_id, &status_tag, 1, zero);
  }
  zq_exit(ctx->task_id);
  if (ctx->log_file != nullptr) {
    fclose(ctx->log_file);
    ctx->log_file = nullptr;
  }
  exit(status);  // flushes and closes every other stream
}
