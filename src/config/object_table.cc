// Object names, object-table lookup and resolution, and the tools' side of
// the object table (reference numbering, writing, reading back).
#include "config/object_table.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "config/ct_writer.h"

namespace {

constexpr size_t kKeySize = OBJECT_TAG_MAX + 2;  // node:name.member, 33 characters at most
constexpr size_t kMaxGroups = OBJECT_DIMENSIONS_FIELD / 3 + 1;  // "[n]" is 3 characters
constexpr uint64_t kValueCap = 0xFFFFFFFFu;                     // digits beyond this saturate
constexpr uint32_t kReadChunk = 256;  // records per read of object_table_read_all
const char kNodeExtra[] = "@$_";
const char kNameExtra[] = "@$_.";
const char kMemberExtra[] = "@$_";

bool valid(const ObjectName* n) {
  return n != nullptr && n->marker == OBJECT_NAME_MARKER;
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

void copy_part(char* dst, const char* src, size_t len) {
  memcpy(dst, src, len);
  dst[len] = '\0';
}

// Length, then characters (letters of the current classification, digits,
// the extra characters), then no leading digit.
int check_part(const char* s, size_t len, size_t max, const char* extra) {
  if (len > max) return OBJ_ETOOLONG;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (isalpha(c) || is_digit(s[i]) || (c != '\0' && strchr(extra, c) != nullptr)) continue;
    return OBJ_ECHAR;
  }
  if (len > 0 && is_digit(s[0])) return OBJ_ECHAR;
  return OBJ_OK;
}

// Reads bracket groups "[digits]" from text; false when the text is not
// exactly such groups (at least one). Values saturate at kValueCap.
bool read_groups(const char* s, size_t len, uint64_t* values, size_t max_groups, size_t* count) {
  size_t i = 0;
  size_t n = 0;
  while (i < len) {
    if (s[i] != '[' || n == max_groups) return false;
    ++i;
    size_t digits = 0;
    uint64_t value = 0;
    while (i < len && is_digit(s[i])) {
      value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(s[i] - '0'), kValueCap);
      ++i;
      ++digits;
    }
    if (digits == 0 || i >= len || s[i] != ']') return false;
    ++i;
    values[n++] = value;
  }
  *count = n;
  return n > 0;
}

int check_index(const char* s, size_t len) {
  if (len > OBJECT_INDEX_MAX) return OBJ_EINDEXLONG;
  uint64_t values[OBJECT_INDEX_MAX];
  size_t count = 0;
  if (!read_groups(s, len, values, OBJECT_INDEX_MAX, &count)) return OBJ_EINDEX;
  uint64_t product = 1;
  for (size_t k = 0; k < count; ++k) {
    if (values[k] > OBJECT_INDEX_VALUE_MAX) return OBJ_EINDEX;
    product *= values[k] + 1;
    if (product > OBJECT_LINEAR_MAX) return OBJ_EINDEX;
  }
  return OBJ_OK;
}

int set_node(ObjectName* n, const char* s, size_t len) {
  int status = check_part(s, len, OBJECT_NODE_MAX, kNodeExtra);
  if (status == OBJ_OK) copy_part(n->node, s, len);
  return status;
}
int set_tag(ObjectName* n, const char* s, size_t len) {
  int status = check_part(s, len, OBJECT_TAG_MAX, kNameExtra);
  if (status == OBJ_OK) copy_part(n->name, s, len);
  return status;
}
int set_index(ObjectName* n, const char* s, size_t len) {
  int status = check_index(s, len);
  if (status == OBJ_OK) copy_part(n->index, s, len);
  return status;
}
int set_member(ObjectName* n, const char* s, size_t len) {
  int status = check_part(s, len, OBJECT_MEMBER_MAX, kMemberExtra);
  if (status == OBJ_OK) copy_part(n->member, s, len);
  return status;
}

// Compares the key with a record's NUL-padded name over 32 characters, in
// unsigned byte order.
int compare_name(const char* key, const uint8_t* record) {
  for (size_t i = 0; i < OBJECT_NAME_FIELD; ++i) {
    unsigned char a = static_cast<unsigned char>(key[i]);
    unsigned char b = record[OBJECT_OFF_NAME + i];
    if (a != b) return a < b ? -1 : 1;
    if (a == '\0') return 0;
  }
  return 0;
}

int compare_at(CtFile* ct, const char* key, uint8_t* record, uint32_t i, int* cmp) {
  if (ct_read_record(ct, record, i) != CT_OK) return OBJ_ENOTFOUND;
  *cmp = compare_name(key, record);
  return OBJ_OK;
}

// Binary search over records 0 .. count - 1 of the selected table.
int search_table(CtFile* ct, const char* key, uint8_t* record, uint32_t count) {
  int64_t low = 0;
  int64_t high = static_cast<int64_t>(count) - 1;
  while (low <= high) {
    int64_t middle = low + (high - low) / 2;
    int cmp = 0;
    if (compare_at(ct, key, record, static_cast<uint32_t>(middle), &cmp) != OBJ_OK) {
      return OBJ_ENOTFOUND;
    }
    if (cmp == 0) return OBJ_OK;
    if (cmp < 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return OBJ_ENOTFOUND;
}

void copy_field(char* dst, const uint8_t* src, size_t field) {
  size_t n = 0;
  while (n < field && src[n] != '\0') {
    dst[n] = static_cast<char>(src[n]);
    ++n;
  }
  dst[n] = '\0';
}

void put_field(uint8_t* dst, const char* src, size_t field) {
  memset(dst, 0, field);
  size_t n = strnlen(src, field);
  memcpy(dst, src, n);
}

// Product of a dimension text's bounds (1 for ""); false when malformed, a
// bound is 0, or the product passes the kernel's indexes per type.
bool dimension_elements(const char* dims, uint32_t* elements) {
  size_t len = strlen(dims);
  if (len == 0) {
    *elements = 1;
    return true;
  }
  uint64_t values[kMaxGroups];
  size_t count = 0;
  if (!read_groups(dims, len, values, kMaxGroups, &count)) return false;
  uint64_t product = 1;
  for (size_t k = 0; k < count; ++k) {
    if (values[k] == 0) return false;
    product *= values[k];
    if (product > ZQ_MAX_TAGS_PER_TYPE) return false;
  }
  *elements = static_cast<uint32_t>(product);
  return true;
}

bool name_less(const ObjectRecord& a, const ObjectRecord& b) {
  return strncmp(a.name, b.name, OBJECT_NAME_FIELD) < 0;
}

bool ref_less(const ObjectRecord& a, const ObjectRecord& b) {
  if (a.tag.type != b.tag.type) return a.tag.type < b.tag.type;
  return a.tag.index < b.tag.index;
}

}  // namespace

void object_record_encode(const ObjectRecord& r, uint8_t out[OBJECT_RECORD_SIZE]) {
  memset(out, 0, OBJECT_RECORD_SIZE);
  put_field(out + OBJECT_OFF_NAME, r.name, OBJECT_NAME_FIELD);
  ct_put_u16(out + OBJECT_OFF_TYPE, r.tag_type);
  ct_put_u16(out + OBJECT_OFF_ELEMENTS, r.elements);
  ct_put_u16(out + OBJECT_OFF_CAPACITY, r.capacity);
  ct_put_u16(out + OBJECT_OFF_ATTR_VERSION, OBJECT_ATTR_VERSION);
  put_field(out + OBJECT_OFF_DESCRIPTION, r.description, OBJECT_DESCRIPTION_FIELD);
  put_field(out + OBJECT_OFF_DIMENSIONS, r.dimensions, OBJECT_DIMENSIONS_FIELD);
  ct_put_u16(out + OBJECT_OFF_TAG, r.tag.type);
  ct_put_u16(out + OBJECT_OFF_TAG + 2, r.tag.index);
}

void object_record_decode(const uint8_t in[OBJECT_RECORD_SIZE], ObjectRecord* r) {
  copy_field(r->name, in + OBJECT_OFF_NAME, OBJECT_NAME_FIELD);
  r->tag_type = ct_get_u16(in + OBJECT_OFF_TYPE);
  r->elements = ct_get_u16(in + OBJECT_OFF_ELEMENTS);
  r->capacity = ct_get_u16(in + OBJECT_OFF_CAPACITY);
  copy_field(r->description, in + OBJECT_OFF_DESCRIPTION, OBJECT_DESCRIPTION_FIELD);
  copy_field(r->dimensions, in + OBJECT_OFF_DIMENSIONS, OBJECT_DIMENSIONS_FIELD);
  r->tag.type = ct_get_u16(in + OBJECT_OFF_TAG);
  r->tag.index = ct_get_u16(in + OBJECT_OFF_TAG + 2);
}

// ---- Names ---------------------------------------------------------------------------

void object_name_reset(ObjectName* name) {
  if (name == nullptr) return;
  memset(name, 0, sizeof *name);
  name->marker = OBJECT_NAME_MARKER;
}

ObjectName* object_name_new(void) {
  ObjectName* name = static_cast<ObjectName*>(malloc(sizeof(ObjectName)));
  object_name_reset(name);
  return name;
}

void object_name_free(ObjectName* name) {
  if (!valid(name)) return;
  name->marker = 0;
  free(name);
}

int object_name_parse(ObjectName* name, const char* text) {
  if (name == nullptr) return OBJ_EARG;
  if (!valid(name)) return OBJ_EINVALID;
  if (text == nullptr) return OBJ_EARG;
  size_t len = strnlen(text, OBJECT_NAME_MAX + 1);
  if (len > OBJECT_NAME_MAX) return OBJ_ETOOLONG;
  object_name_reset(name);

  size_t segment = 0;
  bool node_seen = false;
  bool bracket_seen = false;
  bool dot_seen = false;
  for (size_t i = 0; i < len; ++i) {
    char c = text[i];
    int status = OBJ_OK;
    if (c == ':') {
      if (node_seen || bracket_seen || dot_seen || i == segment) return OBJ_ESYNTAX;
      status = set_node(name, text + segment, i - segment);
      node_seen = true;
      segment = i + 1;
    } else if (c == '[' && !bracket_seen) {
      if (dot_seen) return OBJ_ESYNTAX;
      status = set_tag(name, text + segment, i - segment);
      bracket_seen = true;
      segment = i;
    } else if (c == '.') {
      if (dot_seen || i + 1 == len) return OBJ_ESYNTAX;
      status = bracket_seen ? set_index(name, text + segment, i - segment)
                            : set_tag(name, text + segment, i - segment);
      dot_seen = true;
      segment = i + 1;
    }
    if (status != OBJ_OK) return status;
  }

  const char* rest = text + segment;
  size_t rest_len = len - segment;
  int status = OBJ_OK;
  if (!bracket_seen && !dot_seen) {
    status = set_tag(name, rest, rest_len);
  } else if (bracket_seen && name->index[0] == '\0' && !dot_seen) {
    status = set_index(name, rest, rest_len);
  } else if (dot_seen) {
    status = set_member(name, rest, rest_len);
  } else {
    status = OBJ_ESYNTAX;
  }
  if (status != OBJ_OK) return status;
  if (name->name[0] == '\0') return OBJ_ESYNTAX;
  int key_len = object_name_format(name, OBJECT_PART_NODE | OBJECT_PART_NAME | OBJECT_PART_MEMBER,
                                   nullptr, 0);
  if (key_len > static_cast<int>(OBJECT_TAG_MAX)) return OBJ_ETOOLONG;
  return OBJ_OK;
}

int object_name_format(const ObjectName* name, int parts, char* buffer, size_t size) {
  if (name == nullptr) return OBJ_EARG;
  if (!valid(name)) return OBJ_EINVALID;
  if (buffer == nullptr && size > 0) return OBJ_EARG;
  size_t total = 0;
  auto add = [&](const char* s) {
    for (; *s != '\0'; ++s, ++total) {
      if (total + 1 < size) buffer[total] = *s;
    }
  };
  if ((parts & OBJECT_PART_NODE) != 0) {
    add(name->node);
    int more = parts & (OBJECT_PART_NAME | OBJECT_PART_INDEX | OBJECT_PART_MEMBER);
    if (name->node[0] != '\0' && more != 0) add(":");
  }
  if ((parts & OBJECT_PART_NAME) != 0) add(name->name);
  if ((parts & OBJECT_PART_INDEX) != 0) add(name->index);
  if ((parts & OBJECT_PART_MEMBER) != 0 && name->member[0] != '\0') {
    add(".");
    add(name->member);
  }
  if (size > 0) buffer[total < size ? total : size - 1] = '\0';
  return static_cast<int>(total);
}

// ---- Lookup --------------------------------------------------------------------------

int object_table_open(CtFile* ct, const char* directory) {
  int status = ct_open(ct, directory, OBJECT_TABLE_FILE);
  if (status != CT_OK) return status;
  status = ct_select(ct, 0);
  if (status == CT_OK && ct->entry.record_size != OBJECT_RECORD_SIZE) status = CT_ERANGE;
  if (status != CT_OK) ct_close(ct);
  return status;
}

int object_find(const ObjectName* name, CtFile* ct, uint8_t* record) {
  if (name == nullptr || ct == nullptr || record == nullptr) return OBJ_EARG;
  if (!valid(name)) return OBJ_EINVALID;
  char key[kKeySize];
  object_name_format(name, OBJECT_PART_NODE | OBJECT_PART_NAME | OBJECT_PART_MEMBER, key,
                     sizeof key);
  for (uint32_t i = 0; i < ct->header.table_count; ++i) {
    if (ct_select(ct, i) != CT_OK) return OBJ_ENOTFOUND;
    // Every table must hold object records; anything else would overrun the record.
    if (ct->entry.record_size != OBJECT_RECORD_SIZE) return OBJ_ENOTFOUND;
    uint32_t count = ct->entry.record_count;
    if (count == 0) return OBJ_ENOTFOUND;
    int cmp = 0;
    if (compare_at(ct, key, record, count - 1, &cmp) != OBJ_OK) return OBJ_ENOTFOUND;
    if (cmp == 0) return OBJ_OK;
    if (cmp > 0) continue;
    return search_table(ct, key, record, count);
  }
  return OBJ_ENOTFOUND;
}

int object_resolve(const ObjectName* name, CtFile* ct, TagRef* out) {
  if (out == nullptr) return OBJ_EARG;
  uint8_t record[OBJECT_RECORD_SIZE];
  int status = object_find(name, ct, record);
  if (status != OBJ_OK) return status;

  char dims[OBJECT_DIMENSIONS_FIELD + 1];
  copy_field(dims, record + OBJECT_OFF_DIMENSIONS, OBJECT_DIMENSIONS_FIELD);
  uint64_t bounds[kMaxGroups];
  size_t bound_count = 0;
  if (dims[0] != '\0' && !read_groups(dims, strlen(dims), bounds, kMaxGroups, &bound_count)) {
    return OBJ_ENOTFOUND;  // a damaged record
  }
  uint64_t indexes[OBJECT_INDEX_MAX];
  size_t index_count = 0;
  size_t index_len = strlen(name->index);
  if (index_len > 0 &&
      !read_groups(name->index, index_len, indexes, OBJECT_INDEX_MAX, &index_count)) {
    return OBJ_EINDEX;
  }

  uint64_t multiplier = 1;
  uint64_t sum = 0;
  size_t k_index = index_count;
  size_t k_bound = bound_count;
  while (k_index > 0 && k_bound > 0) {
    uint64_t i = indexes[--k_index];
    uint64_t d = bounds[--k_bound];
    if (d > OBJECT_LINEAR_MAX || i >= d) return OBJ_EBOUND;
    sum += multiplier * i;
    multiplier = std::min<uint64_t>(multiplier * d, OBJECT_LINEAR_MAX + 1);
    if (sum > OBJECT_LINEAR_MAX) return OBJ_EBOUND;
  }
  if (k_index != 0 || k_bound != 0) return OBJ_EDIMS;

  uint16_t type = ct_get_u16(record + OBJECT_OFF_TAG);
  uint64_t index = ct_get_u16(record + OBJECT_OFF_TAG + 2) + sum;
  if (index > UINT16_MAX) return OBJ_EBOUND;
  out->type = type;
  out->index = static_cast<uint16_t>(index);
  return OBJ_OK;
}

int resolve_object_tag(const char* text, TagRef* out) {
  if (text == nullptr || out == nullptr) return OBJ_ENOTFOUND;
  CtFile ct;
  if (object_table_open(&ct, OBJECT_TABLE_DIRECTORY) != CT_OK) return OBJ_ENOTFOUND;
  ObjectName* name = object_name_new();
  int status = OBJ_ENOTFOUND;
  if (name != nullptr && object_name_parse(name, text) == OBJ_OK) {
    status = object_resolve(name, &ct, out) == OBJ_OK ? OBJ_OK : OBJ_ENOTFOUND;
  }
  object_name_free(name);
  ct_close(&ct);
  return status;
}

// ---- Tools ---------------------------------------------------------------------------

int object_assign_refs(std::vector<ObjectRecord>* records) {
  if (records == nullptr) return CT_EARG;
  uint32_t next[ZQ_TAG_TYPE_COUNT];
  std::fill(next, next + ZQ_TAG_TYPE_COUNT, 1u);
  for (ObjectRecord& r : *records) {
    if (r.tag_type >= ZQ_TAG_TYPE_COUNT) return CT_EARG;
    if (strnlen(r.name, sizeof r.name) == 0 || strnlen(r.name, sizeof r.name) > OBJECT_TAG_MAX) {
      return CT_EARG;
    }
    if (strnlen(r.dimensions, sizeof r.dimensions) > OBJECT_DIMENSIONS_FIELD) return CT_EARG;
    uint32_t elements = 0;
    if (!dimension_elements(r.dimensions, &elements)) return CT_EARG;
    uint32_t& first = next[r.tag_type];
    if (first + elements - 1 > ZQ_MAX_TAGS_PER_TYPE) return CT_ETOOBIG;
    r.tag = TagRef{r.tag_type, static_cast<uint16_t>(first)};
    r.elements = static_cast<uint16_t>(elements);
    if (r.tag_type != TAG_MESSAGE) r.capacity = 0;
    first += elements;
  }
  return CT_OK;
}

int object_table_write(const char* path, std::vector<ObjectRecord> records,
                       uint32_t records_per_table) {
  if (path == nullptr || records_per_table == 0) return CT_EARG;
  std::sort(records.begin(), records.end(), name_less);
  for (size_t i = 0; i < records.size(); ++i) {
    size_t len = strnlen(records[i].name, sizeof records[i].name);
    if (len == 0 || len > OBJECT_NAME_FIELD) return CT_EARG;
    if (i > 0 && !name_less(records[i - 1], records[i])) return CT_EARG;  // duplicate
  }
  std::vector<CtTable> tables;
  size_t at = 0;
  do {
    CtTable table;
    table.type = OBJECT_TABLE_TYPE;
    char table_name[CT_NAME_SIZE + 1];
    snprintf(table_name, sizeof table_name, "OBJ%zu", tables.size());
    table.name = table_name;
    table.record_size = OBJECT_RECORD_SIZE;
    size_t end = std::min(records.size(), at + records_per_table);
    for (; at < end; ++at) {
      uint8_t bytes[OBJECT_RECORD_SIZE];
      object_record_encode(records[at], bytes);
      ct_table_add_record(&table, bytes, sizeof bytes);
    }
    tables.push_back(std::move(table));
  } while (at < records.size());
  return ct_write_file(path, tables, CT_VERSION_CURRENT);
}

int object_table_read_all(CtFile* ct, std::vector<ObjectRecord>* records) {
  if (ct == nullptr || records == nullptr) return CT_EARG;
  records->clear();
  uint8_t chunk[kReadChunk * OBJECT_RECORD_SIZE];
  for (uint32_t t = 0; t < ct->header.table_count; ++t) {
    int status = ct_select(ct, t);
    if (status != CT_OK) return status;
    if (ct->entry.record_size != OBJECT_RECORD_SIZE) return CT_ERANGE;
    uint32_t count = ct->entry.record_count;
    for (uint32_t first = 0; first < count;) {
      uint32_t n = std::min(kReadChunk, count - first);
      status = ct_read_records(ct, chunk, first, n);
      if (status != CT_OK) return status;
      for (uint32_t k = 0; k < n; ++k) {
        ObjectRecord r;
        object_record_decode(chunk + k * OBJECT_RECORD_SIZE, &r);
        records->push_back(r);
      }
      first += n;
    }
  }
  return CT_OK;
}

int object_kernel_declarations(const std::vector<ObjectRecord>& records,
                               std::vector<ZqTagDecl>* decls) {
  if (decls == nullptr) return CT_EARG;
  std::vector<ObjectRecord> sorted = records;
  std::sort(sorted.begin(), sorted.end(), ref_less);
  uint32_t next[ZQ_TAG_TYPE_COUNT];
  std::fill(next, next + ZQ_TAG_TYPE_COUNT, 1u);
  decls->clear();
  for (const ObjectRecord& r : sorted) {
    if (r.tag.type >= ZQ_TAG_TYPE_COUNT || r.elements == 0) return CT_EARG;
    if (r.tag.index != next[r.tag.type]) return CT_EARG;
    next[r.tag.type] += r.elements;
    decls->push_back(ZqTagDecl{r.tag.type, r.elements, r.capacity});
  }
  return CT_OK;
}
