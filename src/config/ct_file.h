// Reader of configuration-table files (CT files).
//
// A CT file is a binary container of numbered tables, each one table header
// and a run of fixed-size records, found through an index at the front. All
// integers are little-endian, nothing is padded:
//
//   file header   magic "CT" (u16 0x5443), version (u16), table count
//                 (u16 in the old layout 0x0200, u32 in the current layouts
//                 0x0201-0x0300), so 6 or 8 bytes;
//   index         one entry per table: type (u16), name (10 chars, NUL-padded,
//                 no terminator when full), data offset (u32, 0 = no data),
//                 header length, record size, record count (u16 each in the
//                 old 22-byte entry, u32 each in the current 28-byte entry);
//   table data    at the data offset: header bytes, then the records.
//
// The reader is a handful of plain functions over a caller-owned CtFile.
// Every operation returns a CtStatus; the reader prints nothing. One seek and
// one read per call, straight into the caller's buffer; nothing is cached.
#ifndef ZQ_CONFIG_CT_FILE_H_
#define ZQ_CONFIG_CT_FILE_H_

#include <stddef.h>
#include <stdint.h>

constexpr uint16_t CT_MAGIC = 0x5443;  // "CT"
constexpr uint16_t CT_VERSION_OLD = 0x0200;
constexpr uint16_t CT_VERSION_FIRST_CURRENT = 0x0201;
constexpr uint16_t CT_VERSION_CURRENT = 0x0300;  // what the tools write
constexpr size_t CT_FILE_HEADER_SIZE_OLD = 6;
constexpr size_t CT_FILE_HEADER_SIZE = 8;
constexpr size_t CT_ENTRY_SIZE_OLD = 22;
constexpr size_t CT_ENTRY_SIZE = 28;
constexpr size_t CT_NAME_SIZE = 10;   // table name, no terminator when full
constexpr size_t CT_PATH_SIZE = 128;  // full path kept by an open handle
constexpr size_t CT_STREAM_BUFFER_SIZE = 8192;

enum CtStatus : int {
  CT_OK = 0,
  CT_EOPEN = 1,      // the file cannot be opened, or the open state cannot be allocated
  CT_ECLOSE = 2,     // closing the stream failed
  CT_ENOTOPEN = 3,   // the handle is not open
  CT_ESEEK = 4,      // a seek failed
  CT_EREAD = 5,      // short read, or an index entry could not be read
  CT_EWRITE = 6,     // writer: writing the file failed
  CT_EMAGIC = 7,     // the file does not begin with "CT"
  CT_ETOOBIG = 8,    // writer: a field does not fit the layout
  CT_EARG = 9,       // a required argument is missing (or, writer: inconsistent)
  CT_ETABLE = 10,    // no such table, no table selected, or the table has no data
  CT_ERANGE = 11,    // record range outside the table (or wrong record size)
  CT_EVERSION = 12,  // unsupported version
};

// Short English meaning of a status, for tools and tests.
const char* ct_strerror(int status);

// One index entry in its current (28-byte) form.
struct CtIndexEntry {
  uint16_t type;
  char name[CT_NAME_SIZE];  // NUL-padded; all 10 may be used
  uint32_t data_offset;     // absolute offset of the table header; 0 = no data
  uint32_t header_length;
  uint32_t record_size;
  uint32_t record_count;
};

struct CtFileHeader {
  uint16_t magic;
  uint16_t version;
  uint32_t table_count;
};

struct CtOpenState;  // stream, mode, selected entry position, path (internal)

// The handle. Closed while `state` is null. ct_open initialises every field,
// so a handle need not be set up before it; an open handle must be closed
// before it is opened again.
struct CtFile {
  CtFileHeader header;
  CtIndexEntry entry;  // the selected table's entry; all zero until one is selected
  CtOpenState* state;
};

// Opens file_name resolved against directory (macros expanded; null directory:
// the current one; a name with a device or a leading separator as it is).
// No table is selected afterwards. A failed open leaves the handle closed.
int ct_open(CtFile* ct, const char* directory, const char* file_name);
// Makes table `index` (0-based) the selected one. On failure the handle stays
// open with the earlier entry, but its stored entry position is already the new one.
int ct_select(CtFile* ct, uint32_t index);
// Copies the selected table's header (header_length bytes) into buffer.
int ct_read_header(CtFile* ct, void* buffer);
// Copies records first .. first + count - 1 (count >= 1) into buffer, which
// holds count * record_size bytes.
int ct_read_records(CtFile* ct, void* buffer, uint32_t first, uint32_t count);
int ct_read_record(CtFile* ct, void* buffer, uint32_t index);
// Closes the stream and frees the open state. If closing the stream fails
// the handle stays open (its stream gone) and a second ct_close finishes.
int ct_close(CtFile* ct);

// The full path of an open handle, "" when closed.
const char* ct_path(const CtFile* ct);
// The selected table's name as text (up to 10 characters) into out[11].
void ct_entry_name(const CtIndexEntry* entry, char out[CT_NAME_SIZE + 1]);

// ---- Little-endian byte helpers for CT headers and records ---------------------------

inline uint16_t ct_get_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t ct_get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void ct_put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void ct_put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

#endif  // ZQ_CONFIG_CT_FILE_H_
