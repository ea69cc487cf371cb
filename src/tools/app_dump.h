// Showing a CT file: header, index and every table, decoded field by field
// for the files the tools write (object.ct, quantrel.ct, tasks.ct) and in hex
// otherwise. A damaged file shows as far as it reads, then the reader's status.
#ifndef ZQ_TOOLS_APP_DUMP_H_
#define ZQ_TOOLS_APP_DUMP_H_

#include <string>

enum class AppDumpKind { AUTO, OBJECT, QUANTREL, TASKS, RAW };

struct AppDumpOptions {
  bool json = false;
  AppDumpKind kind = AppDumpKind::AUTO;  // AUTO: by the file's name and content
  std::string object_table;              // "" = found next to the file
};

// Appends the dump to *out. Returns 0 when the whole file was read, else the
// first failing status of the CT reader (ct_file.h).
int app_dump_ct(const std::string& path, const AppDumpOptions& options, std::string* out);

#endif  // ZQ_TOOLS_APP_DUMP_H_
