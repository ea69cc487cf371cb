// Reports to the task's status and message tags, and the level-driven trace
// to the console and the task log file.
#include "runtime/report.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "runtime/catalogue.h"

namespace {

constexpr int THREAD_FORM_LEVEL = 7;  // levels from here on show the thread id
constexpr size_t STAMP_SIZE = 16;
constexpr mode_t LOG_DIR_MODE = 0777;
constexpr char LOG_DIR_NAME[] = "log";
constexpr char LOG_EXTENSION[] = ".log";

// Serialises trace lines between threads; re-entrant so a trace may nest.
std::recursive_mutex g_trace_lock;

uint16_t load_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

TagRef block_tag(const TaskContext* ctx, size_t offset) {
  return TagRef{load_u16(ctx->kernel_block + offset), load_u16(ctx->kernel_block + offset + 2)};
}

// A NUL-terminated copy of a fixed-size text field of the task block.
void block_text(const TaskContext* ctx, size_t offset, size_t size, char* out) {
  memcpy(out, ctx->kernel_block + offset, size);
  out[size] = '\0';
}

// Type code of a tag, or -1 when the kernel does not know it.
int tag_type(TagRef tag) {
  uint16_t type = 0;
  if (zq_tag_info(&tag, 1, &type, nullptr) != 0) return -1;
  return type;
}

void write_message_tag(const TaskContext* ctx, char* text, size_t length) {
  TagRef tag = block_tag(ctx, ZQ_TB_MESSAGE_TAG);
  int type = tag_type(tag);
  if (type >= 0 && type != TAG_MESSAGE) return;  // not a text tag: nothing sensible to write
  MessageValue value = {text, REPORT_MESSAGE_CAPACITY, static_cast<uint16_t>(length)};
  unsigned char block[ZQ_VALUE_SLOT_MAX] = {};
  memcpy(block, &value, sizeof value);
  zq_write(ctx->task_id, &tag, 1, block);
}

// The status is a 32-bit integer; it is written in the width of the tag's own
// type so that the kernel never reads more bytes than were given.
void write_status_tag(const TaskContext* ctx, int status) {
  TagRef tag = block_tag(ctx, ZQ_TB_STATUS_TAG);
  unsigned char block[ZQ_VALUE_SLOT_MAX] = {};
  switch (tag_type(tag)) {
    case TAG_DIGITAL:
    case TAG_ANALOG: {
      int16_t v = static_cast<int16_t>(status);
      memcpy(block, &v, sizeof v);
      break;
    }
    case TAG_FLOAT: {
      double v = status;
      memcpy(block, &v, sizeof v);
      break;
    }
    case TAG_MESSAGE:
      return;
    default: {
      int32_t v = status;
      memcpy(block, &v, sizeof v);
      break;
    }
  }
  zq_write(ctx->task_id, &tag, 1, block);
}

bool level_reaches(int level, int threshold, bool exact) {
  if (threshold == 0) return false;
  return exact ? level == threshold : level <= threshold;
}

void time_stamp(char* date, char* clock) {
  time_t now = time(nullptr);
  struct tm local;
  if (!localtime_r(&now, &local)) memset(&local, 0, sizeof local);
  strftime(date, STAMP_SIZE, "%m/%d/%y", &local);
  strftime(clock, STAMP_SIZE, "%H:%M:%S", &local);
}

int write_line(FILE* f, bool thread_form, const char* date, const char* clock, const char* text) {
  if (thread_form) {
    return fprintf(f, "%s %s Thd=0x%X %s", date, clock, static_cast<unsigned>(gettid()), text);
  }
  return fprintf(f, "%s %s %s", date, clock, text);
}

// The trace itself; `format` is used as it is.
int trace_formatted(TaskContext* ctx, const char* format, int level, const FormatArg* args,
                    int count) {
  std::lock_guard<std::recursive_mutex> guard(g_trace_lock);
  bool exact = ctx->exact_levels != 0;
  bool console = level == 0 || level_reaches(level, ctx->console_level, exact);
  bool file = level_reaches(level, ctx->file_level, exact);
  if (!console && !file) return -1;

  char text[TRACE_TEXT_SIZE];
  size_t n = format_checked(text, sizeof text, format, args, count);
  if (n == 0) return -1;
  if (text[n - 1] != '\n') {
    if (n + 1 >= sizeof text) n = sizeof text - 2;  // full: the newline replaces the last character
    text[n++] = '\n';
    text[n] = '\0';
  }

  char date[STAMP_SIZE];
  char clock[STAMP_SIZE];
  time_stamp(date, clock);
  int result = -1;
  if (console) {
    write_line(stdout, level > 0 && ctx->console_level >= THREAD_FORM_LEVEL, date, clock, text);
    fflush(stdout);
    result = 0;
  }
  if (file && ctx->log_file) {
    bool thread_form = level > 0 && ctx->file_level >= THREAD_FORM_LEVEL;
    if (write_line(ctx->log_file, thread_form, date, clock, text) < 0 ||
        fflush(ctx->log_file) != 0) {
      // A log that failed once is closed for good; the console trace goes on.
      fclose(ctx->log_file);
      ctx->log_file = nullptr;
      ctx->file_level = 0;
      result = -1;
    } else {
      result = 0;
    }
  }
  return result;
}

// Level of "-d" or "-l": the digit after the option, 1 when it is no digit 1-9.
int8_t option_level(const char* args, const char* option) {
  const char* at = strstr(args, option);
  if (!at) return 0;
  char c = at[strlen(option)];
  return static_cast<int8_t>(c >= '1' && c <= '9' ? c - '0' : 1);
}

// Appends "/" and part to path and creates that directory; false when the
// path no longer fits.
bool append_dir(char* path, size_t size, const char* part) {
  size_t used = strlen(path);
  int n = snprintf(path + used, size - used, "/%s", part);
  if (n < 0 || static_cast<size_t>(n) >= size - used) return false;
  mkdir(path, LOG_DIR_MODE);  // usually exists already; a real problem shows at fopen
  return true;
}

bool build_log_path(TaskContext* ctx) {
  char* path = ctx->log_path;
  const size_t size = sizeof ctx->log_path;
  char app_dir[ZQ_TB_APP_DIR_SIZE + 1];
  block_text(ctx, ZQ_TB_APP_DIR, ZQ_TB_APP_DIR_SIZE, app_dir);
  path[0] = '\0';
  if (snprintf(path, size, "%s", app_dir) >= static_cast<int>(size)) return false;
  char name[TASK_ZQ_NAME_SIZE + 1];
  char domain[TASK_ZQ_DOMAIN_SIZE + 1];
  char user[TASK_ZQ_USER_SIZE + 1];
  char task[TASK_NAME_SIZE + 1];
  snprintf(name, sizeof name, "%.*s", TASK_ZQ_NAME_SIZE, ctx->zq_name);
  snprintf(domain, sizeof domain, "%.*s", TASK_ZQ_DOMAIN_SIZE, ctx->zq_domain);
  snprintf(user, sizeof user, "%.*s", TASK_ZQ_USER_SIZE, ctx->zq_user);
  snprintf(task, sizeof task, "%.*s", TASK_NAME_SIZE, ctx->task_name);
  if (!append_dir(path, size, name) || !append_dir(path, size, domain) ||
      !append_dir(path, size, user) || !append_dir(path, size, LOG_DIR_NAME)) {
    return false;
  }
  size_t used = strlen(path);
  int n = snprintf(path + used, size - used, "/%s%s", task, LOG_EXTENSION);
  return n >= 0 && static_cast<size_t>(n) < size - used;
}

}  // namespace

void task_report_args(TaskContext* ctx, const char* key, int status, const FormatArg* args,
                      int count) {
  if (!ctx || ctx->task_id < 0 || !key) return;
  char* text = static_cast<char*>(malloc(REPORT_TEXT_SIZE));
  if (!text) return;
  size_t length = format_checked(text, REPORT_TEXT_SIZE, catalogue_lookup(key), args, count);
  write_message_tag(ctx, text, length);
  write_status_tag(ctx, status);
  const FormatArg line[] = {format_arg(static_cast<const char*>(text))};
  trace_formatted(ctx, "%s", 1, line, 1);
  free(text);
}

int task_trace_args(TaskContext* ctx, const char* key, int level, const FormatArg* args,
                    int count) {
  if (!ctx || !key) return -1;
  return trace_formatted(ctx, catalogue_lookup(key), level, args, count);
}

int open_task_log(TaskContext* ctx) {
  if (!ctx) return -1;
  std::lock_guard<std::recursive_mutex> guard(g_trace_lock);
  char args[ZQ_TB_ARGS_SIZE + 1];
  block_text(ctx, ZQ_TB_ARGS, ZQ_TB_ARGS_SIZE, args);
  ctx->console_level = option_level(args, "-d");
  ctx->exact_levels = strstr(args, "-x") ? 1 : 0;
  ctx->file_level = option_level(args, "-l");
  if (ctx->file_level == 0) return 0;

  if (ctx->log_file) {
    fclose(ctx->log_file);
    ctx->log_file = nullptr;
  }
  if (build_log_path(ctx)) ctx->log_file = fopen(ctx->log_path, "w");
  if (!ctx->log_file) {
    ctx->file_level = 0;
    return -1;
  }
  return 0;
}
