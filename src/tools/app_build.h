// Compiling a checked AppModel into the application directory.
//
// quantrel.ct (all integers little-endian):
//   table 0, type 0 "QUANTREL": a 4-byte header, QUANTREL's own mailbox tag;
//   per provider a data-source table, type 1, named after the provider's
//     mailbox: 8-byte header (mailbox tag, u16 maximum messages, u16 unused)
//     and one 116-byte record per data source;
//   after each data-source table, one conversion table (type 2, named after
//     the data source) per data source of it, written even when empty: 8-byte
//     header (4 unused bytes, data-source tag) and one 80-byte record per
//     conversion record.
// Unset tag references are written as (0xFFFD, 0).
#ifndef ZQ_TOOLS_APP_BUILD_H_
#define ZQ_TOOLS_APP_BUILD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "config/ct_writer.h"
#include "config/object_table.h"
#include "tools/app_files.h"
#include "tools/app_model.h"

constexpr uint16_t APP_QTL_TABLE_TASK = 0;
constexpr uint16_t APP_QTL_TABLE_DS = 1;
constexpr uint16_t APP_QTL_TABLE_CONV = 2;
constexpr size_t APP_QTL_TASK_HEADER_SIZE = 4;
constexpr size_t APP_DS_HEADER_SIZE = 8;
constexpr size_t APP_DS_RECORD_SIZE = 116;
constexpr size_t APP_CONV_HEADER_SIZE = 8;
constexpr size_t APP_CONV_RECORD_SIZE = 80;

// Byte offsets of the 116-byte data-source record.
enum AppDsOffset : size_t {
  DS_OFF_TAG = 0,
  DS_OFF_NAME = 4,
  DS_OFF_READ_TRIGGER = 54,
  DS_OFF_BLOCK_WRITE_TRIGGER = 58,
  DS_OFF_READ_ENABLED = 62,
  DS_OFF_WRITE_MODE = 64,
  DS_OFF_BLOCK_WRITE_ENABLED = 66,
  DS_OFF_UNSOLICITED = 68,
  DS_OFF_ADDRESSING = 70,
  DS_OFF_STATUS = 72,
  DS_OFF_READ_READY = 76,
  DS_OFF_WRITE_READY = 80,
  DS_OFF_RCV_READY = 84,
  DS_OFF_READ_INHIBIT = 88,
  DS_OFF_WRITE_INHIBIT = 92,
  DS_OFF_RCV_INHIBIT = 96,
  DS_OFF_READ_SYNC = 100,
  DS_OFF_WRITE_SYNC = 104,
  DS_OFF_RCV_SYNC = 108,
  DS_OFF_STATE = 112,
};

// Byte offsets of the 80-byte conversion record.
enum AppConvOffset : size_t {
  CONV_OFF_TAG = 0,
  CONV_OFF_NAME = 4,
  CONV_OFF_DIMS = 54,
  CONV_OFF_ADDRESS = 72,
  CONV_OFF_LENGTH = 74,
  CONV_OFF_COUNT = 76,
  CONV_OFF_DATA_TYPE = 78,
};

void app_encode_ds_record(const AppDataSource& ds, uint8_t out[APP_DS_RECORD_SIZE]);
AppDataSource app_decode_ds_record(const uint8_t in[APP_DS_RECORD_SIZE]);
void app_encode_conv_record(const AppConversion& c, uint8_t out[APP_CONV_RECORD_SIZE]);
AppConversion app_decode_conv_record(const uint8_t in[APP_CONV_RECORD_SIZE]);

// Everything the application directory gets, held in memory.
struct AppBuildOutput {
  std::vector<ObjectRecord> objects;
  std::vector<CtTable> tasks;  // ct/tasks.ct
  bool has_quantrel = false;
  std::vector<CtTable> quantrel;  // <domain>/ct/quantrel.ct
};

// Lays out the files. False (with a message) only on an internal mismatch.
bool app_build_tables(const AppModel& model, AppBuildOutput* out, std::string* error);

// Writes the files under dir (created when missing), each first to a
// temporary name and then renamed, plus the log directory
// <name>/<domain>/<user>/log. False with a message when writing fails.
bool app_build_write(const AppModel& model, const AppBuildOutput& out, const std::string& dir,
                     std::string* error, uint32_t objects_per_table = OBJECT_TABLE_SPLIT_DEFAULT);

#endif  // ZQ_TOOLS_APP_BUILD_H_
