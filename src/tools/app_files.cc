// Reading the compiled application directory; see app_files.h.
#include "tools/app_files.h"

#include <algorithm>
#include <cstring>

#include "config/ct_file.h"
#include "config/object_table.h"

namespace {

// Offsets inside a tasks.ct task record.
constexpr size_t kTaskName = 0;
constexpr size_t kTaskDesc = kTaskName + APP_TASK_NAME_SIZE;
constexpr size_t kTaskProgram = kTaskDesc + APP_TASK_DESC_SIZE;
constexpr size_t kTaskArgs = kTaskProgram + APP_PROGRAM_SIZE;
constexpr size_t kTaskStatus = kTaskArgs + APP_ARGS_SIZE;
constexpr size_t kTaskMessage = kTaskStatus + 4;
static_assert(kTaskMessage + 4 == APP_TASK_RECORD_SIZE);

// Offsets inside the tasks.ct APP header.
constexpr size_t kAppName = 0;
constexpr size_t kAppDomain = kAppName + APP_NAME_SIZE;
constexpr size_t kAppUser = kAppDomain + APP_DOMAIN_SIZE;
constexpr size_t kAppMbxMessages = kAppUser + APP_USER_SIZE;
constexpr size_t kAppMbxBytes = kAppMbxMessages + 4;
constexpr size_t kAppMaxMessage = kAppMbxBytes + 4;
static_assert(kAppMaxMessage + 4 == APP_APP_HEADER_SIZE);

void put_text(uint8_t* p, size_t size, const std::string& text) {
  memset(p, 0, size);
  memcpy(p, text.data(), std::min(text.size(), size - 1));
}
std::string get_text(const uint8_t* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}
void put_ref(uint8_t* p, TagRef r) {
  ct_put_u16(p, r.type);
  ct_put_u16(p + 2, r.index);
}
TagRef get_ref(const uint8_t* p) {
  return TagRef{ct_get_u16(p), ct_get_u16(p + 2)};
}

bool ref_less(TagRef a, TagRef b) {
  return a.type != b.type ? a.type < b.type : a.index < b.index;
}

std::string ct_error(const std::string& path, const char* what, int status) {
  return path + ": " + what + ": " + ct_strerror(status);
}

}  // namespace

std::vector<uint8_t> app_encode_app_header(const AppRunList& list) {
  std::vector<uint8_t> h(APP_APP_HEADER_SIZE, 0);
  put_text(&h[kAppName], APP_NAME_SIZE, list.name);
  put_text(&h[kAppDomain], APP_DOMAIN_SIZE, list.domain);
  put_text(&h[kAppUser], APP_USER_SIZE, list.user);
  ct_put_u32(&h[kAppMbxMessages], list.limits.mbx_messages);
  ct_put_u32(&h[kAppMbxBytes], list.limits.mbx_data_bytes);
  ct_put_u32(&h[kAppMaxMessage], list.limits.max_message_bytes);
  return h;
}

void app_decode_app_header(const uint8_t* h, AppRunList* list) {
  list->name = get_text(h + kAppName, APP_NAME_SIZE);
  list->domain = get_text(h + kAppDomain, APP_DOMAIN_SIZE);
  list->user = get_text(h + kAppUser, APP_USER_SIZE);
  list->limits.mbx_messages = ct_get_u32(h + kAppMbxMessages);
  list->limits.mbx_data_bytes = ct_get_u32(h + kAppMbxBytes);
  list->limits.max_message_bytes = ct_get_u32(h + kAppMaxMessage);
}

std::vector<uint8_t> app_encode_task_record(const AppTask& task) {
  std::vector<uint8_t> r(APP_TASK_RECORD_SIZE, 0);
  put_text(&r[kTaskName], APP_TASK_NAME_SIZE, task.name);
  put_text(&r[kTaskDesc], APP_TASK_DESC_SIZE, task.description);
  put_text(&r[kTaskProgram], APP_PROGRAM_SIZE, task.program);
  put_text(&r[kTaskArgs], APP_ARGS_SIZE, task.arguments);
  put_ref(&r[kTaskStatus], task.status_tag);
  put_ref(&r[kTaskMessage], task.message_tag);
  return r;
}

AppTask app_decode_task_record(const uint8_t* r) {
  AppTask t;
  t.name = get_text(r + kTaskName, APP_TASK_NAME_SIZE);
  t.description = get_text(r + kTaskDesc, APP_TASK_DESC_SIZE);
  t.program = get_text(r + kTaskProgram, APP_PROGRAM_SIZE);
  t.arguments = get_text(r + kTaskArgs, APP_ARGS_SIZE);
  t.status_tag = get_ref(r + kTaskStatus);
  t.message_tag = get_ref(r + kTaskMessage);
  return t;
}

bool app_run_list_read(const std::string& app_dir, AppRunList* list, std::string* error) {
  std::string path = app_dir + "/" + APP_TASKS_FILE;
  CtFile ct;
  int st = ct_open(&ct, nullptr, path.c_str());
  if (st) {
    *error = ct_error(path, "cannot open", st);
    return false;
  }
  auto fail = [&](const std::string& message) {
    *error = message;
    ct_close(&ct);
    return false;
  };
  if (ct.header.table_count < 2) return fail(path + ": not a task list (fewer than 2 tables)");
  if ((st = ct_select(&ct, 0)) != 0) return fail(ct_error(path, "table 0", st));
  if (ct.entry.type != APP_TASKS_TABLE_APP || ct.entry.header_length != APP_APP_HEADER_SIZE)
    return fail(path + ": table 0 is not the APP table");
  uint8_t header[APP_APP_HEADER_SIZE];
  if ((st = ct_read_header(&ct, header)) != 0) return fail(ct_error(path, "table 0 header", st));
  app_decode_app_header(header, list);
  if ((st = ct_select(&ct, 1)) != 0) return fail(ct_error(path, "table 1", st));
  if (ct.entry.type != APP_TASKS_TABLE_TASKS || ct.entry.record_size != APP_TASK_RECORD_SIZE)
    return fail(path + ": table 1 is not the TASKS table");
  list->tasks.clear();
  uint8_t record[APP_TASK_RECORD_SIZE];
  for (uint32_t i = 0; i < ct.entry.record_count; ++i) {
    if ((st = ct_read_record(&ct, record, i)) != 0)
      return fail(ct_error(path, ("task record " + std::to_string(i)).c_str(), st));
    list->tasks.push_back(app_decode_task_record(record));
  }
  ct_close(&ct);
  return true;
}

// Dimensions from the object table's text, as in [10][5]; false when malformed.
static bool parse_dimensions(const char* text, std::vector<uint16_t>* dims) {
  dims->clear();
  const char* p = text;
  while (*p) {
    if (*p != '[') return false;
    ++p;
    uint32_t v = 0;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + static_cast<uint32_t>(*p - '0');
      if (v > ZQ_MAX_TAGS_PER_TYPE) return false;
      ++p;
    }
    if (p == digits || *p != ']' || v == 0) return false;
    ++p;
    dims->push_back(static_cast<uint16_t>(v));
  }
  return true;
}

bool app_objects_read_file(const std::string& path, std::vector<AppObject>* objects,
                           std::string* error) {
  objects->clear();
  CtFile ct;
  int st = ct_open(&ct, nullptr, path.c_str());
  if (st) {
    *error = ct_error(path, "cannot open", st);
    return false;
  }
  std::vector<ObjectRecord> records;
  st = object_table_read_all(&ct, &records);
  ct_close(&ct);
  if (st) {
    *error = ct_error(path, "cannot read the object records", st);
    return false;
  }
  for (const ObjectRecord& rec : records) {
    AppObject o;
    o.name = rec.name;
    o.type = rec.tag_type;
    o.capacity = rec.capacity;
    o.description = rec.description;
    o.first = rec.tag;
    if (!parse_dimensions(rec.dimensions, &o.dims)) {
      *error = path + ": object '" + o.name + "' has malformed dimensions '" + rec.dimensions + "'";
      return false;
    }
    o.elements = 1;
    for (uint16_t d : o.dims) o.elements *= d;
    objects->push_back(std::move(o));
  }
  return true;
}

AppObjectIndex::AppObjectIndex(std::vector<AppObject> objects) : objects_(std::move(objects)) {
  by_ref_.resize(objects_.size());
  for (size_t i = 0; i < by_ref_.size(); ++i) by_ref_[i] = i;
  std::sort(by_ref_.begin(), by_ref_.end(),
            [&](size_t a, size_t b) { return ref_less(objects_[a].first, objects_[b].first); });
}

std::optional<AppObjectIndex::Element> AppObjectIndex::find(std::string_view text,
                                                            std::string* error,
                                                            bool whole_array) const {
  std::string name;
  std::vector<uint32_t> indexes;
  bool indexed = false;
  std::string err = app_parse_tag_ref(text, &name, &indexes, &indexed);
  if (!err.empty()) {
    *error = "bad tag name '" + std::string(text) + "': " + err;
    return std::nullopt;
  }
  const AppObject* object = nullptr;
  for (const AppObject& o : objects_) {
    if (o.name == name) {
      object = &o;
      break;
    }
  }
  if (!object) {
    *error = "no tag '" + name + "'";
    return std::nullopt;
  }
  Element e;
  e.object = object;
  if (!indexed && !object->dims.empty() && !whole_array) {
    *error = "'" + name + "' is an array; name an element, as in " + element_name(*object, 0);
    return std::nullopt;
  }
  if (indexed) {
    if (indexes.size() != object->dims.size()) {
      *error = "'" + std::string(text) + "' does not match the dimensions of '" + name + "'";
      return std::nullopt;
    }
    for (size_t k = 0; k < indexes.size(); ++k) {
      if (indexes[k] >= object->dims[k]) {
        *error = "'" + std::string(text) + "' is past the end of '" + name + "'";
        return std::nullopt;
      }
      e.linear = e.linear * object->dims[k] + indexes[k];
    }
  }
  e.ref = object->first;
  e.ref.index = static_cast<uint16_t>(object->first.index + e.linear);
  return e;
}

std::string AppObjectIndex::element_name(const AppObject& object, uint32_t linear) {
  if (object.dims.empty()) return object.name;
  std::vector<uint32_t> idx(object.dims.size());
  for (size_t k = object.dims.size(); k-- > 0;) {
    idx[k] = linear % object.dims[k];
    linear /= object.dims[k];
  }
  std::string s = object.name;
  for (uint32_t i : idx) s += "[" + std::to_string(i) + "]";
  return s;
}

std::string AppObjectIndex::name_of(TagRef ref) const {
  // The last object whose first reference is not above ref.
  auto it = std::upper_bound(by_ref_.begin(), by_ref_.end(), ref,
                             [&](TagRef r, size_t i) { return ref_less(r, objects_[i].first); });
  if (it == by_ref_.begin()) return "";
  const AppObject& o = objects_[*std::prev(it)];
  if (o.first.type != ref.type) return "";
  uint32_t linear = static_cast<uint32_t>(ref.index - o.first.index);
  if (linear >= o.elements) return "";
  return element_name(o, linear);
}
