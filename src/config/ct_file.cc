// CT file reader: header, index entries of both layouts, headers and records.
#include "config/ct_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include "config/path.h"

constexpr int CT_MODE_READ = 1;

// What an open handle owns. The stream buffer lives here so that its size is
// exactly the one the reader promises.
struct CtOpenState {
  FILE* stream;             // null once a failed close has taken it
  int mode;                 // CT_MODE_READ
  uint64_t entry_position;  // file position of the selected entry; 0 = none yet
  char path[CT_PATH_SIZE];
  char buffer[CT_STREAM_BUFFER_SIZE];
};

namespace {

constexpr size_t kProbeSize = 4;  // magic and version, read before the layout is known
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);

bool old_layout(uint16_t version) {
  return version == CT_VERSION_OLD;
}
bool known_version(uint16_t version) {
  return version >= CT_VERSION_OLD && version <= CT_VERSION_CURRENT;
}
size_t file_header_size(uint16_t version) {
  return old_layout(version) ? CT_FILE_HEADER_SIZE_OLD : CT_FILE_HEADER_SIZE;
}
size_t entry_size(uint16_t version) {
  return old_layout(version) ? CT_ENTRY_SIZE_OLD : CT_ENTRY_SIZE;
}

bool seek_to(FILE* stream, uint64_t position) {
  if (stream == nullptr || position > kMaxOffset) return false;
  return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool read_exact(FILE* stream, void* buffer, size_t size) {
  return fread(buffer, 1, size, stream) == size;
}

int read_file_header(FILE* stream, CtFileHeader* header) {
  uint8_t probe[kProbeSize];
  if (!read_exact(stream, probe, sizeof probe)) return CT_EREAD;
  if (fseeko(stream, -static_cast<off_t>(sizeof probe), SEEK_CUR) != 0) return CT_EREAD;
  uint16_t magic = ct_get_u16(probe);
  uint16_t version = ct_get_u16(probe + 2);
  if (magic != CT_MAGIC) return CT_EMAGIC;
  if (!known_version(version)) return CT_EVERSION;
  uint8_t bytes[CT_FILE_HEADER_SIZE];
  size_t size = file_header_size(version);
  if (!read_exact(stream, bytes, size)) return CT_EREAD;
  header->magic = ct_get_u16(bytes);
  header->version = ct_get_u16(bytes + 2);
  header->table_count = old_layout(version) ? ct_get_u16(bytes + 4) : ct_get_u32(bytes + 4);
  return CT_OK;
}

// Decodes one index entry of either layout into its current form.
void decode_entry(const uint8_t* bytes, bool old, CtIndexEntry* entry) {
  constexpr size_t kType = 0;
  constexpr size_t kName = 2;
  constexpr size_t kOffset = 12;
  constexpr size_t kSizes = 16;
  entry->type = ct_get_u16(bytes + kType);
  memcpy(entry->name, bytes + kName, CT_NAME_SIZE);
  entry->data_offset = ct_get_u32(bytes + kOffset);
  if (old) {
    entry->header_length = ct_get_u16(bytes + kSizes);
    entry->record_size = ct_get_u16(bytes + kSizes + 2);
    entry->record_count = ct_get_u16(bytes + kSizes + 4);
  } else {
    entry->header_length = ct_get_u32(bytes + kSizes);
    entry->record_size = ct_get_u32(bytes + kSizes + 4);
    entry->record_count = ct_get_u32(bytes + kSizes + 8);
  }
}

// The checks every table read starts with.
int check_selected(const CtFile* ct) {
  if (ct == nullptr) return CT_EARG;
  if (ct->state == nullptr) return CT_ENOTOPEN;
  if (ct->state->entry_position == 0) return CT_ETABLE;
  if (ct->entry.data_offset == 0) return CT_ETABLE;
  return CT_OK;
}

}  // namespace

const char* ct_strerror(int status) {
  switch (status) {
    case CT_OK:
      return "success";
    case CT_EOPEN:
      return "file cannot be opened";
    case CT_ECLOSE:
      return "closing the file failed";
    case CT_ENOTOPEN:
      return "handle not open";
    case CT_ESEEK:
      return "seek failed";
    case CT_EREAD:
      return "short read";
    case CT_EWRITE:
      return "write failed";
    case CT_EMAGIC:
      return "not a CT file";
    case CT_ETOOBIG:
      return "value does not fit the layout";
    case CT_EARG:
      return "missing or inconsistent argument";
    case CT_ETABLE:
      return "no such table or no table data";
    case CT_ERANGE:
      return "record range outside the table";
    case CT_EVERSION:
      return "unsupported version";
    default:
      return "unknown status";
  }
}

int ct_open(CtFile* ct, const char* directory, const char* file_name) {
  if (ct == nullptr || file_name == nullptr) return CT_EARG;
  memset(ct, 0, sizeof *ct);
  char path[CT_PATH_SIZE];
  path_resolve(path, directory, file_name);
  CtOpenState* state = static_cast<CtOpenState*>(calloc(1, sizeof(CtOpenState)));
  if (state == nullptr) return CT_EOPEN;
  FILE* stream = fopen(path, "rb");
  if (stream == nullptr) {
    free(state);
    return CT_EOPEN;
  }
  setvbuf(stream, state->buffer, _IOFBF, sizeof state->buffer);
  int status = read_file_header(stream, &ct->header);
  if (status != CT_OK) {
    fclose(stream);
    free(state);
    return status;
  }
  state->stream = stream;
  state->mode = CT_MODE_READ;
  state->entry_position = 0;
  memcpy(state->path, path, sizeof state->path);
  memset(&ct->entry, 0, sizeof ct->entry);
  ct->state = state;
  return CT_OK;
}

int ct_select(CtFile* ct, uint32_t index) {
  if (ct == nullptr) return CT_EARG;
  if (ct->state == nullptr) return CT_ENOTOPEN;
  if (index >= ct->header.table_count) return CT_ETABLE;
  uint16_t version = ct->header.version;
  uint64_t position =
      file_header_size(version) + static_cast<uint64_t>(index) * entry_size(version);
  ct->state->entry_position = position;
  if (!seek_to(ct->state->stream, position)) return CT_ESEEK;
  if (!known_version(version)) return CT_EREAD;
  uint8_t bytes[CT_ENTRY_SIZE];
  if (!read_exact(ct->state->stream, bytes, entry_size(version))) return CT_EREAD;
  decode_entry(bytes, old_layout(version), &ct->entry);
  return CT_OK;
}

int ct_read_header(CtFile* ct, void* buffer) {
  int status = check_selected(ct);
  if (status != CT_OK) return status;
  if (ct->entry.header_length == 0) return CT_OK;
  if (buffer == nullptr) return CT_EARG;
  if (!seek_to(ct->state->stream, ct->entry.data_offset)) return CT_ESEEK;
  if (!read_exact(ct->state->stream, buffer, ct->entry.header_length)) return CT_EREAD;
  return CT_OK;
}

int ct_read_records(CtFile* ct, void* buffer, uint32_t first, uint32_t count) {
  int status = check_selected(ct);
  if (status != CT_OK) return status;
  const CtIndexEntry& e = ct->entry;
  if (count == 0 || static_cast<uint64_t>(first) + count > e.record_count) return CT_ERANGE;
  if (e.record_size == 0) return CT_OK;
  if (buffer == nullptr) return CT_EARG;
  uint64_t position = static_cast<uint64_t>(e.data_offset) + e.header_length +
                      static_cast<uint64_t>(first) * e.record_size;
  if (!seek_to(ct->state->stream, position)) return CT_ESEEK;
  size_t read = fread(buffer, e.record_size, count, ct->state->stream);
  return read == count ? CT_OK : CT_EREAD;
}

int ct_read_record(CtFile* ct, void* buffer, uint32_t index) {
  return ct_read_records(ct, buffer, index, 1);
}

int ct_close(CtFile* ct) {
  if (ct == nullptr) return CT_EARG;
  if (ct->state == nullptr) return CT_ENOTOPEN;
  if (ct->state->stream != nullptr) {
    FILE* stream = ct->state->stream;
    // The stream is gone whatever fclose says; a retry only frees the state.
    ct->state->stream = nullptr;
    if (fclose(stream) != 0) return CT_ECLOSE;
  }
  free(ct->state);
  ct->state = nullptr;
  return CT_OK;
}

const char* ct_path(const CtFile* ct) {
  if (ct == nullptr || ct->state == nullptr) return "";
  return ct->state->path;
}

void ct_entry_name(const CtIndexEntry* entry, char out[CT_NAME_SIZE + 1]) {
  size_t n = 0;
  if (entry != nullptr) {
    while (n < CT_NAME_SIZE && entry->name[n] != '\0') {
      out[n] = entry->name[n];
      ++n;
    }
  }
  out[n] = '\0';
}
