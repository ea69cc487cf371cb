// Object table and object names: from a tag's name to its TagRef.
//
// The object table is the CT file ct/object.ct of the application. Every
// table holds 170-byte object records sorted by name in ascending byte order,
// and the tables follow one another in that order (every name of table i sorts
// before every name of table i + 1). Record layout (little-endian):
//
//   offset size  field
//        0   32  tag name, NUL-padded, compared over its first 32 characters
//       32    2  tag type code (TAG_DIGITAL .. TAG_LONG, TAG_MAILBOX)
//       34    2  element count: 1 for a scalar, the product of the dimensions
//                for an array (the consecutive indexes the tag takes)
//       36    2  text capacity of a message tag (bytes), 0 for other types
//       38    2  attribute layout version (OBJECT_ATTR_VERSION)
//       40  100  description, NUL-padded text (all 100 may be used)
//      140   26  dimension text of an array, one bracketed bound per
//                dimension as in [10][5]; empty for a scalar
//      166    4  TagRef: type (u16) then index (u16); an array's first element
//
// Bytes 32-139 are attributes the task itself never reads; the tools use them
// to build the kernel's tag declarations back from the table.
//
// Object names: [node:]name[index][.member], at most 48 characters. Statuses
// are the OBJ_* codes below (0 = success).
#ifndef ZQ_CONFIG_OBJECT_TABLE_H_
#define ZQ_CONFIG_OBJECT_TABLE_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "config/ct_file.h"
#include "kernel/zqkernel.h"

// ---- Record layout ------------------------------------------------------------------

constexpr size_t OBJECT_RECORD_SIZE = 170;
constexpr size_t OBJECT_NAME_FIELD = 32;
constexpr size_t OBJECT_OFF_NAME = 0;
constexpr size_t OBJECT_OFF_TYPE = 32;
constexpr size_t OBJECT_OFF_ELEMENTS = 34;
constexpr size_t OBJECT_OFF_CAPACITY = 36;
constexpr size_t OBJECT_OFF_ATTR_VERSION = 38;
constexpr size_t OBJECT_OFF_DESCRIPTION = 40;
constexpr size_t OBJECT_DESCRIPTION_FIELD = 100;
constexpr size_t OBJECT_OFF_DIMENSIONS = 140;
constexpr size_t OBJECT_DIMENSIONS_FIELD = 26;
constexpr size_t OBJECT_OFF_TAG = 166;
constexpr uint16_t OBJECT_ATTR_VERSION = 1;

constexpr const char* OBJECT_TABLE_FILE = "ct/object.ct";
constexpr const char* OBJECT_TABLE_DIRECTORY = "{ZQAPP}";
constexpr uint16_t OBJECT_TABLE_TYPE = 0;
constexpr uint32_t OBJECT_TABLE_SPLIT_DEFAULT = 4096;  // records per table the writer puts

// One object record decoded (text fields terminated).
struct ObjectRecord {
  char name[OBJECT_NAME_FIELD + 1];
  uint16_t tag_type;
  uint16_t elements;
  uint16_t capacity;
  char description[OBJECT_DESCRIPTION_FIELD + 1];
  char dimensions[OBJECT_DIMENSIONS_FIELD + 1];
  TagRef tag;
};

void object_record_encode(const ObjectRecord& record, uint8_t out[OBJECT_RECORD_SIZE]);
void object_record_decode(const uint8_t in[OBJECT_RECORD_SIZE], ObjectRecord* record);

// ---- Names ---------------------------------------------------------------------------

enum ObjectStatus : int {
  OBJ_OK = 0,
  OBJ_ENOTFOUND = -1,   // not in the table, or the table cannot be read
  OBJ_EINVALID = -2,    // not a valid ObjectName (marker missing)
  OBJ_EARG = -3,        // a required argument is missing
  OBJ_ESYNTAX = -5,     // misplaced ":", "." or "[", or an empty tag name
  OBJ_ECHAR = -6,       // a character outside its part's set, or a leading digit
  OBJ_ETOOLONG = -7,    // a part or the whole name is too long
  OBJ_EINDEX = -8,      // index text is not valid bracket syntax
  OBJ_EINDEXLONG = -9,  // index text longer than 16 characters
  OBJ_EDIMS = -10,      // index groups do not match the object's dimensions
  OBJ_EBOUND = -11,     // an index not below its bound, or the linear index too large
};

constexpr uint16_t OBJECT_NAME_MARKER = 0x9999;
constexpr size_t OBJECT_NAME_MAX = 48;
constexpr size_t OBJECT_NODE_MAX = 8;
constexpr size_t OBJECT_TAG_MAX = 32;
constexpr size_t OBJECT_INDEX_MAX = 16;
constexpr size_t OBJECT_MEMBER_MAX = 16;
constexpr uint32_t OBJECT_INDEX_VALUE_MAX = 65533;  // one index value
constexpr uint32_t OBJECT_LINEAR_MAX = 65534;       // linear index, product of bounds

// Part flags of object_name_format.
constexpr int OBJECT_PART_NODE = 1;
constexpr int OBJECT_PART_NAME = 2;
constexpr int OBJECT_PART_INDEX = 4;
constexpr int OBJECT_PART_MEMBER = 8;

struct ObjectName {
  uint16_t marker;  // OBJECT_NAME_MARKER while valid
  char node[OBJECT_NODE_MAX + 1];
  char name[OBJECT_TAG_MAX + 1];
  char index[OBJECT_INDEX_MAX + 1];  // "[3][4]", brackets included
  char member[OBJECT_MEMBER_MAX + 1];
};

ObjectName* object_name_new(void);        // reset, marker set; null when out of memory
void object_name_free(ObjectName* name);  // ignores objects without the marker
// Clears every part and sets the marker (also makes a caller-owned record valid).
void object_name_reset(ObjectName* name);
int object_name_parse(ObjectName* name, const char* text);
// Writes the asked parts into buffer (cut to size - 1, terminated when size > 0):
// node, ":" after a non-empty node when more than the node is asked for, name,
// index, "." and member when the member is non-empty. Returns the length the
// full text needs, or OBJ_EINVALID / OBJ_EARG.
int object_name_format(const ObjectName* name, int parts, char* buffer, size_t size);

// ---- Lookup --------------------------------------------------------------------------

// ct_open of ct/object.ct under directory and ct_select of table 0, whose
// record size must be 170 (else the file is closed and CT_ERANGE returned).
// Other failures return the reader's status, the file closed.
int object_table_open(CtFile* ct, const char* directory);
// Finds the object of the name's node, name and member (no index). 0 with the
// record (170 bytes) filled, OBJ_ENOTFOUND, or OBJ_EINVALID / OBJ_EARG.
int object_find(const ObjectName* name, CtFile* ct, uint8_t* record);
// The TagRef of the named element: the record's reference plus the linear
// index of the name's index within the object's dimensions.
int object_resolve(const ObjectName* name, CtFile* ct, TagRef* out);
// The whole resolution of a name text against {ZQAPP}/ct/object.ct; 0 or -1.
int resolve_object_tag(const char* text, TagRef* out);

// ---- Tools: building and reading whole tables -----------------------------------------

// Fills tag and elements of each record from its type and dimensions the way
// the kernel numbers declarations: per type from 1 in vector order, an array
// taking consecutive indexes. CT_EARG for a bad type, bad dimensions or a
// name that does not fit; CT_ETOOBIG when a type runs out of indexes.
int object_assign_refs(std::vector<ObjectRecord>* records);
// Sorts the records by name and writes them to path, at most
// records_per_table records per table. CT_EARG for an empty or duplicate name.
int object_table_write(const char* path, std::vector<ObjectRecord> records,
                       uint32_t records_per_table = OBJECT_TABLE_SPLIT_DEFAULT);
// Reads every record of every table of an open object table.
int object_table_read_all(CtFile* ct, std::vector<ObjectRecord>* records);
// The kernel declarations that reproduce the records' references: records
// ordered by reference, one declaration each. CT_EARG when the references
// leave gaps or overlap (such a table cannot come from one declaration list).
int object_kernel_declarations(const std::vector<ObjectRecord>& records,
                               std::vector<ZqTagDecl>* decls);

#endif  // ZQ_CONFIG_OBJECT_TABLE_H_
