// The application description: one TOML file (app.toml) that names the
// application, declares its tags and tasks and configures QUANTREL.
//
// app_model_parse checks the whole description and turns it into an AppModel
// whose tag references are already assigned (indexes per type from 1 in
// declaration order, array elements consecutive), so that the object table,
// the database and quantrel.ct all agree. Every mistake becomes one
// AppDiagnostic with the position of the offending text.
#ifndef ZQ_TOOLS_APP_MODEL_H_
#define ZQ_TOOLS_APP_MODEL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/zqkernel.h"

// Field sizes the description must fit (text sizes include the NUL).
constexpr size_t APP_NAME_SIZE = 32;     // ZQNAME
constexpr size_t APP_DOMAIN_SIZE = 8;    // ZQDOMAIN
constexpr size_t APP_USER_SIZE = 16;     // ZQUSER
constexpr size_t APP_TAG_NAME_MAX = 32;  // object names are compared over 32 characters
constexpr size_t APP_MAX_DIMS = 5;
constexpr size_t APP_TASK_NAME_SIZE = ZQ_TASK_NAME_SIZE;
constexpr size_t APP_TASK_DESC_SIZE = ZQ_TASK_DESC_SIZE;
constexpr size_t APP_PROGRAM_SIZE = 64;
constexpr size_t APP_ARGS_SIZE = ZQ_TB_ARGS_SIZE;
constexpr size_t APP_TAG_DESC_MAX = 100;       // the object table's description field
constexpr uint16_t APP_DEFAULT_CAPACITY = 80;  // message tags without a capacity

// Record fields of quantrel.ct.
constexpr size_t APP_DS_NAME_SIZE = 50;
constexpr size_t APP_CONV_NAME_SIZE = 50;
constexpr size_t APP_CONV_DIMS_SIZE = 18;

// Data types of the conversion records: DT_BIT (1) to DT_FFLOAT_WS (34).
constexpr uint16_t APP_DT_FIRST = 1;
constexpr uint16_t APP_DT_LAST = 34;
// Code of a data type name ("DT_WORD" -> 4), 0 when unknown.
uint16_t app_data_type_code(std::string_view name);
// Name of a data type code, "" when outside 1..34.
const char* app_data_type_name(uint16_t code);
// Name of a tag type code ("analog"), "?" when unknown.
const char* app_tag_type_name(uint16_t type);

// Splits a tag reference "NAME" or "NAME[i][j]..." into the name and its
// indexes. Returns "" or the reason the text is not such a reference.
std::string app_parse_tag_ref(std::string_view text, std::string* name,
                              std::vector<uint32_t>* indexes, bool* indexed);

struct AppPos {
  uint32_t line = 0;
  uint32_t column = 0;
};

struct AppDiagnostic {
  std::string file;
  AppPos pos;
  std::string message;
};
// "file:line:column: message"
std::string app_diagnostic_text(const AppDiagnostic& d);

struct AppTag {
  std::string name;
  uint16_t type = 0;           // TagType
  std::vector<uint16_t> dims;  // empty for a scalar tag
  uint16_t capacity = 0;       // text capacity of a message tag, else 0
  std::string description;
  uint32_t elements = 1;  // product of dims
  TagRef first{};         // reference of the first element
  AppPos pos;
};

struct AppTask {
  std::string name;
  std::string description;
  std::string program;    // "quantrel", "zq sim", ...: program name and fixed words
  std::string arguments;  // argument string handed over in the task block
  TagRef status_tag = ZQ_UNSET_TAG;
  TagRef message_tag = ZQ_UNSET_TAG;
};

// One conversion record (80 bytes in quantrel.ct).
struct AppConversion {
  std::string tag_name;  // with the element index, as in T[1][2]
  TagRef tag{};
  std::string dims_text;  // "3,4", empty for a scalar tag
  uint16_t address = 0;
  uint16_t length = 0;  // bit number for DT_BIT
  uint16_t count = 1;
  uint16_t data_type = 0;
};

// One data source (116-byte record in quantrel.ct).
struct AppDataSource {
  std::string name;
  TagRef tag{};
  TagRef read_trigger = ZQ_UNSET_TAG;
  TagRef block_write_trigger = ZQ_UNSET_TAG;
  uint16_t read_enabled = 0;
  uint16_t write_mode = 0;
  uint16_t block_write_enabled = 0;
  uint16_t unsolicited = 0;
  uint16_t addressing = 0;  // 1 = absolute addresses
  TagRef status = ZQ_UNSET_TAG;
  TagRef read_ready = ZQ_UNSET_TAG;
  TagRef write_ready = ZQ_UNSET_TAG;
  TagRef rcv_ready = ZQ_UNSET_TAG;
  TagRef read_inhibit = ZQ_UNSET_TAG;
  TagRef write_inhibit = ZQ_UNSET_TAG;
  TagRef rcv_inhibit = ZQ_UNSET_TAG;
  TagRef read_sync = ZQ_UNSET_TAG;
  TagRef write_sync = ZQ_UNSET_TAG;
  TagRef rcv_sync = ZQ_UNSET_TAG;
  TagRef state = ZQ_UNSET_TAG;
  std::vector<AppConversion> conversions;
};

// One provider: a data-source table of quantrel.ct.
// Provider mailbox limit for writes when the description gives none: writes
// are refused while the provider's mailbox holds this many messages.
constexpr uint16_t kAppDefaultMaxMessages = 100;

struct AppProvider {
  std::string mailbox_name;
  TagRef mailbox{};
  uint16_t max_messages = kAppDefaultMaxMessages;
  std::vector<AppDataSource> sources;
};

struct AppQuantrel {
  bool present = false;
  TagRef mailbox{};
  std::vector<AppProvider> providers;
};

struct AppModel {
  std::string file;
  std::string name;
  std::string domain;
  std::string user;
  ZqDbLimits limits{};
  std::vector<AppTag> tags;  // declaration order
  std::vector<AppTask> tasks;
  AppQuantrel quantrel;
};

// Parses and checks a description given as text; `file` names it in
// diagnostics. Returns true when there is no diagnostic.
bool app_model_parse(std::string_view text, const std::string& file, AppModel* model,
                     std::vector<AppDiagnostic>* diagnostics);
// Same for a file; a file that cannot be read gives one diagnostic at 0:0.
bool app_model_load(const std::string& path, AppModel* model,
                    std::vector<AppDiagnostic>* diagnostics);

#endif  // ZQ_TOOLS_APP_MODEL_H_
