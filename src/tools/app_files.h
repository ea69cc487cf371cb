// The compiled application directory, as zq run, zq tag and zq ct dump read it.
//
//   DIR/ct/object.ct            the object table: every tag with its reference
//   DIR/ct/tasks.ct             the run list: identity, database limits, tasks
//   DIR/<domain>/ct/quantrel.ct QUANTREL's configuration
//
// tasks.ct is a CT file of two tables:
//   table 0 "APP" (type APP_TASKS_TABLE_APP), a header of APP_APP_HEADER_SIZE
//     bytes: ZQNAME (32), ZQDOMAIN (8), ZQUSER (16), then u32 mailbox messages,
//     u32 mailbox data bytes, u32 largest message; no records;
//   table 1 "TASKS" (type APP_TASKS_TABLE_TASKS), no header, one record of
//     APP_TASK_RECORD_SIZE bytes per task: name (32), description (80),
//     program (64), argument string (128), status tag (4), message tag (4).
// Texts are NUL-padded; integers little-endian.
#ifndef ZQ_TOOLS_APP_FILES_H_
#define ZQ_TOOLS_APP_FILES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/zqkernel.h"
#include "tools/app_model.h"

constexpr const char* APP_OBJECT_FILE = "ct/object.ct";
constexpr const char* APP_TASKS_FILE = "ct/tasks.ct";
constexpr const char* APP_QUANTREL_FILE = "ct/quantrel.ct";  // under DIR/<domain>/

constexpr uint16_t APP_TASKS_TABLE_APP = 0x0101;
constexpr uint16_t APP_TASKS_TABLE_TASKS = 0x0102;
constexpr size_t APP_APP_HEADER_SIZE = APP_NAME_SIZE + APP_DOMAIN_SIZE + APP_USER_SIZE + 12;
constexpr size_t APP_TASK_RECORD_SIZE =
    APP_TASK_NAME_SIZE + APP_TASK_DESC_SIZE + APP_PROGRAM_SIZE + APP_ARGS_SIZE + 8;

// What zq run needs besides the object table.
struct AppRunList {
  std::string name;
  std::string domain;
  std::string user;
  ZqDbLimits limits{};
  std::vector<AppTask> tasks;
};

// Encodes the table header / record of tasks.ct (exact sizes above).
std::vector<uint8_t> app_encode_app_header(const AppRunList& list);
std::vector<uint8_t> app_encode_task_record(const AppTask& task);
void app_decode_app_header(const uint8_t* header, AppRunList* list);
AppTask app_decode_task_record(const uint8_t* record);

// Reads DIR/ct/tasks.ct. False with a message when it cannot.
bool app_run_list_read(const std::string& app_dir, AppRunList* list, std::string* error);

// One tag as the object table lists it.
struct AppObject {
  std::string name;
  uint16_t type = 0;
  std::vector<uint16_t> dims;
  uint32_t elements = 1;
  uint16_t capacity = 0;
  std::string description;
  TagRef first{};
};

// Reads every record of an object table file (all its tables).
bool app_objects_read_file(const std::string& path, std::vector<AppObject>* objects,
                           std::string* error);
inline bool app_objects_read(const std::string& app_dir, std::vector<AppObject>* objects,
                             std::string* error) {
  return app_objects_read_file(app_dir + "/" + APP_OBJECT_FILE, objects, error);
}

// Names and references of an application's tags, both ways.
class AppObjectIndex {
 public:
  explicit AppObjectIndex(std::vector<AppObject> objects);

  struct Element {
    const AppObject* object = nullptr;
    uint32_t linear = 0;  // element index within the object
    TagRef ref{};
  };
  // "NAME" (a scalar) or "NAME[i][j]"; with whole_array an array named
  // without an index gives its first element. Error text on failure.
  std::optional<Element> find(std::string_view text, std::string* error,
                              bool whole_array = false) const;
  // "NAME" or "NAME[i][j]" of a reference, "" when no tag has it.
  std::string name_of(TagRef ref) const;
  // The element name of element `linear` of an object.
  static std::string element_name(const AppObject& object, uint32_t linear);

  const std::vector<AppObject>& objects() const { return objects_; }

 private:
  std::vector<AppObject> objects_;
  std::vector<size_t> by_ref_;  // indexes into objects_, ordered by first reference
};

#endif  // ZQ_TOOLS_APP_FILES_H_
