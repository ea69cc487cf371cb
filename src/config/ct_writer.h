// Writer of configuration-table files, for the tools and the tests.
//
// Builds a CT file from tables held in memory, laid out the way the reader
// expects: file header, index, then the data of table 0, 1, ... back to back
// in index order. The current layout (0x0300, 8-byte header, 28-byte entries)
// is what the tools write; the old layout (0x0200, 6-byte header, 22-byte
// entries with 16-bit sizes) is there so that old files can be produced for
// tests. Returns CtStatus codes (ct_file.h).
#ifndef ZQ_CONFIG_CT_WRITER_H_
#define ZQ_CONFIG_CT_WRITER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "config/ct_file.h"

struct CtTable {
  uint16_t type = 0;
  std::string name;             // up to CT_NAME_SIZE characters are written
  std::vector<uint8_t> header;  // table header bytes (may be empty)
  uint32_t record_size = 0;
  uint32_t record_count = 0;
  std::vector<uint8_t> records;  // record_count * record_size bytes
  bool no_data = false;          // write data offset 0 (header and records not written)
};

// Appends one record (record_size bytes; shorter data is zero-padded, longer
// is refused with false) and counts it.
bool ct_table_add_record(CtTable* table, const void* data, size_t size);

// The whole file as bytes. CT_EVERSION for a version outside 0x0200-0x0300,
// CT_EARG when a table's records do not match record_count * record_size or
// its name is longer than 10 characters, CT_ETOOBIG when a size does not fit
// the layout's fields or the file would pass 4 GiB.
int ct_build_image(const std::vector<CtTable>& tables, uint16_t version, std::vector<uint8_t>* out);

// Builds the image and writes it to path (a native file name); CT_EOPEN when
// it cannot be created, CT_EWRITE when writing or closing fails.
int ct_write_file(const char* path, const std::vector<CtTable>& tables,
                  uint16_t version = CT_VERSION_CURRENT);

// Writes bytes to path as they are (tests use it for damaged files).
int ct_write_bytes(const char* path, const std::vector<uint8_t>& bytes);

#endif  // ZQ_CONFIG_CT_WRITER_H_
