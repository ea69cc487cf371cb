// CT file writer: file header, index and table data in index order.
#include "config/ct_writer.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr uint64_t kMaxFileSize = UINT32_MAX;  // data offsets are 32-bit
constexpr uint32_t kMaxOldField = UINT16_MAX;

void put_entry(uint8_t* p, const CtTable& t, uint32_t offset, bool old) {
  ct_put_u16(p, t.type);
  memset(p + 2, 0, CT_NAME_SIZE);
  memcpy(p + 2, t.name.data(), t.name.size());
  ct_put_u32(p + 12, offset);
  uint32_t header_length = static_cast<uint32_t>(t.header.size());
  if (old) {
    ct_put_u16(p + 16, static_cast<uint16_t>(header_length));
    ct_put_u16(p + 18, static_cast<uint16_t>(t.record_size));
    ct_put_u16(p + 20, static_cast<uint16_t>(t.record_count));
  } else {
    ct_put_u32(p + 16, header_length);
    ct_put_u32(p + 20, t.record_size);
    ct_put_u32(p + 24, t.record_count);
  }
}

int check_table(const CtTable& t, bool old) {
  if (t.name.size() > CT_NAME_SIZE) return CT_EARG;
  if (static_cast<uint64_t>(t.record_size) * t.record_count != t.records.size()) return CT_EARG;
  if (t.header.size() > UINT32_MAX) return CT_ETOOBIG;
  if (old && (t.header.size() > kMaxOldField || t.record_size > kMaxOldField ||
              t.record_count > kMaxOldField)) {
    return CT_ETOOBIG;
  }
  return CT_OK;
}

}  // namespace

bool ct_table_add_record(CtTable* table, const void* data, size_t size) {
  if (table == nullptr || size > table->record_size || (data == nullptr && size > 0)) {
    return false;
  }
  size_t at = table->records.size();
  table->records.resize(at + table->record_size, 0);
  if (size > 0) memcpy(table->records.data() + at, data, size);
  ++table->record_count;
  return true;
}

int ct_build_image(const std::vector<CtTable>& tables, uint16_t version,
                   std::vector<uint8_t>* out) {
  if (out == nullptr) return CT_EARG;
  if (version < CT_VERSION_OLD || version > CT_VERSION_CURRENT) return CT_EVERSION;
  const bool old = version == CT_VERSION_OLD;
  if (old && tables.size() > kMaxOldField) return CT_ETOOBIG;
  if (tables.size() > UINT32_MAX) return CT_ETOOBIG;
  const size_t header_size = old ? CT_FILE_HEADER_SIZE_OLD : CT_FILE_HEADER_SIZE;
  const size_t entry_size = old ? CT_ENTRY_SIZE_OLD : CT_ENTRY_SIZE;

  uint64_t total = header_size + static_cast<uint64_t>(entry_size) * tables.size();
  for (const CtTable& t : tables) {
    int status = check_table(t, old);
    if (status != CT_OK) return status;
    if (!t.no_data) total += t.header.size() + t.records.size();
  }
  if (total > kMaxFileSize) return CT_ETOOBIG;

  out->assign(static_cast<size_t>(total), 0);
  uint8_t* p = out->data();
  ct_put_u16(p, CT_MAGIC);
  ct_put_u16(p + 2, version);
  if (old) {
    ct_put_u16(p + 4, static_cast<uint16_t>(tables.size()));
  } else {
    ct_put_u32(p + 4, static_cast<uint32_t>(tables.size()));
  }
  size_t data = header_size + entry_size * tables.size();
  for (size_t i = 0; i < tables.size(); ++i) {
    const CtTable& t = tables[i];
    uint32_t offset = t.no_data ? 0 : static_cast<uint32_t>(data);
    put_entry(p + header_size + i * entry_size, t, offset, old);
    if (t.no_data) continue;
    if (!t.header.empty()) memcpy(p + data, t.header.data(), t.header.size());
    data += t.header.size();
    if (!t.records.empty()) memcpy(p + data, t.records.data(), t.records.size());
    data += t.records.size();
  }
  return CT_OK;
}

int ct_write_bytes(const char* path, const std::vector<uint8_t>& bytes) {
  if (path == nullptr) return CT_EARG;
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return CT_EOPEN;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (fclose(f) != 0) ok = false;
  return ok ? CT_OK : CT_EWRITE;
}

int ct_write_file(const char* path, const std::vector<CtTable>& tables, uint16_t version) {
  if (path == nullptr) return CT_EARG;
  std::vector<uint8_t> image;
  int status = ct_build_image(tables, version, &image);
  if (status != CT_OK) return status;
  return ct_write_bytes(path, image);
}
