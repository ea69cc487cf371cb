// Compiling an AppModel into the application directory; see app_build.h.
#include "tools/app_build.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

namespace {

namespace fs = std::filesystem;

static_assert(APP_TAG_DESC_MAX == OBJECT_DESCRIPTION_FIELD);
static_assert(APP_TAG_NAME_MAX == OBJECT_NAME_FIELD);

void put_ref(uint8_t* p, TagRef r) {
  ct_put_u16(p, r.type);
  ct_put_u16(p + 2, r.index);
}
TagRef get_ref(const uint8_t* p) {
  return TagRef{ct_get_u16(p), ct_get_u16(p + 2)};
}

void put_text(uint8_t* p, size_t size, const std::string& text) {
  memset(p, 0, size);
  memcpy(p, text.data(), std::min(text.size(), size - 1));
}
std::string get_text(const uint8_t* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

void copy_field(char* dst, size_t size, const std::string& text) {
  memset(dst, 0, size);
  memcpy(dst, text.data(), std::min(text.size(), size - 1));
}

std::string dims_brackets(const std::vector<uint16_t>& dims) {
  std::string s;
  for (uint16_t d : dims) s += "[" + std::to_string(d) + "]";
  return s;
}

CtTable make_table(uint16_t type, const std::string& name, std::vector<uint8_t> header,
                   uint32_t record_size) {
  CtTable t;
  t.type = type;
  t.name = name.substr(0, CT_NAME_SIZE);
  t.header = std::move(header);
  t.record_size = record_size;
  return t;
}

// Writes through a temporary file in the same directory, then renames.
bool replace_file(const fs::path& target, const std::function<int(const char*)>& write,
                  std::string* error) {
  fs::path tmp = target;
  tmp += ".tmp";
  int st = write(tmp.c_str());
  if (st) {
    std::remove(tmp.c_str());
    *error = "cannot write " + target.string() + ": " + ct_strerror(st);
    return false;
  }
  std::error_code ec;
  fs::rename(tmp, target, ec);
  if (ec) {
    std::remove(tmp.c_str());
    *error = "cannot write " + target.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

void app_encode_ds_record(const AppDataSource& ds, uint8_t out[APP_DS_RECORD_SIZE]) {
  memset(out, 0, APP_DS_RECORD_SIZE);
  put_ref(out + DS_OFF_TAG, ds.tag);
  put_text(out + DS_OFF_NAME, APP_DS_NAME_SIZE, ds.name);
  put_ref(out + DS_OFF_READ_TRIGGER, ds.read_trigger);
  put_ref(out + DS_OFF_BLOCK_WRITE_TRIGGER, ds.block_write_trigger);
  ct_put_u16(out + DS_OFF_READ_ENABLED, ds.read_enabled);
  ct_put_u16(out + DS_OFF_WRITE_MODE, ds.write_mode);
  ct_put_u16(out + DS_OFF_BLOCK_WRITE_ENABLED, ds.block_write_enabled);
  ct_put_u16(out + DS_OFF_UNSOLICITED, ds.unsolicited);
  ct_put_u16(out + DS_OFF_ADDRESSING, ds.addressing);
  put_ref(out + DS_OFF_STATUS, ds.status);
  put_ref(out + DS_OFF_READ_READY, ds.read_ready);
  put_ref(out + DS_OFF_WRITE_READY, ds.write_ready);
  put_ref(out + DS_OFF_RCV_READY, ds.rcv_ready);
  put_ref(out + DS_OFF_READ_INHIBIT, ds.read_inhibit);
  put_ref(out + DS_OFF_WRITE_INHIBIT, ds.write_inhibit);
  put_ref(out + DS_OFF_RCV_INHIBIT, ds.rcv_inhibit);
  put_ref(out + DS_OFF_READ_SYNC, ds.read_sync);
  put_ref(out + DS_OFF_WRITE_SYNC, ds.write_sync);
  put_ref(out + DS_OFF_RCV_SYNC, ds.rcv_sync);
  put_ref(out + DS_OFF_STATE, ds.state);
}

AppDataSource app_decode_ds_record(const uint8_t in[APP_DS_RECORD_SIZE]) {
  AppDataSource ds;
  ds.tag = get_ref(in + DS_OFF_TAG);
  ds.name = get_text(in + DS_OFF_NAME, APP_DS_NAME_SIZE);
  ds.read_trigger = get_ref(in + DS_OFF_READ_TRIGGER);
  ds.block_write_trigger = get_ref(in + DS_OFF_BLOCK_WRITE_TRIGGER);
  ds.read_enabled = ct_get_u16(in + DS_OFF_READ_ENABLED);
  ds.write_mode = ct_get_u16(in + DS_OFF_WRITE_MODE);
  ds.block_write_enabled = ct_get_u16(in + DS_OFF_BLOCK_WRITE_ENABLED);
  ds.unsolicited = ct_get_u16(in + DS_OFF_UNSOLICITED);
  ds.addressing = ct_get_u16(in + DS_OFF_ADDRESSING);
  ds.status = get_ref(in + DS_OFF_STATUS);
  ds.read_ready = get_ref(in + DS_OFF_READ_READY);
  ds.write_ready = get_ref(in + DS_OFF_WRITE_READY);
  ds.rcv_ready = get_ref(in + DS_OFF_RCV_READY);
  ds.read_inhibit = get_ref(in + DS_OFF_READ_INHIBIT);
  ds.write_inhibit = get_ref(in + DS_OFF_WRITE_INHIBIT);
  ds.rcv_inhibit = get_ref(in + DS_OFF_RCV_INHIBIT);
  ds.read_sync = get_ref(in + DS_OFF_READ_SYNC);
  ds.write_sync = get_ref(in + DS_OFF_WRITE_SYNC);
  ds.rcv_sync = get_ref(in + DS_OFF_RCV_SYNC);
  ds.state = get_ref(in + DS_OFF_STATE);
  return ds;
}

void app_encode_conv_record(const AppConversion& c, uint8_t out[APP_CONV_RECORD_SIZE]) {
  memset(out, 0, APP_CONV_RECORD_SIZE);
  put_ref(out + CONV_OFF_TAG, c.tag);
  put_text(out + CONV_OFF_NAME, APP_CONV_NAME_SIZE, c.tag_name);
  put_text(out + CONV_OFF_DIMS, APP_CONV_DIMS_SIZE, c.dims_text);
  ct_put_u16(out + CONV_OFF_ADDRESS, c.address);
  ct_put_u16(out + CONV_OFF_LENGTH, c.length);
  ct_put_u16(out + CONV_OFF_COUNT, c.count);
  ct_put_u16(out + CONV_OFF_DATA_TYPE, c.data_type);
}

AppConversion app_decode_conv_record(const uint8_t in[APP_CONV_RECORD_SIZE]) {
  AppConversion c;
  c.tag = get_ref(in + CONV_OFF_TAG);
  c.tag_name = get_text(in + CONV_OFF_NAME, APP_CONV_NAME_SIZE);
  c.dims_text = get_text(in + CONV_OFF_DIMS, APP_CONV_DIMS_SIZE);
  c.address = ct_get_u16(in + CONV_OFF_ADDRESS);
  c.length = ct_get_u16(in + CONV_OFF_LENGTH);
  c.count = ct_get_u16(in + CONV_OFF_COUNT);
  c.data_type = ct_get_u16(in + CONV_OFF_DATA_TYPE);
  return c;
}

bool app_build_tables(const AppModel& model, AppBuildOutput* out, std::string* error) {
  *out = AppBuildOutput{};
  // Object table: one record per declared tag.
  for (const AppTag& tag : model.tags) {
    ObjectRecord r;
    memset(&r, 0, sizeof r);
    copy_field(r.name, sizeof r.name, tag.name);
    r.tag_type = tag.type;
    r.elements = static_cast<uint16_t>(tag.elements);
    r.capacity = tag.type == TAG_MESSAGE ? tag.capacity : 0;
    copy_field(r.description, sizeof r.description, tag.description);
    copy_field(r.dimensions, sizeof r.dimensions, dims_brackets(tag.dims));
    r.tag = tag.first;
    out->objects.push_back(r);
  }
  // The object table's own numbering must agree with the references the
  // description was compiled with, or the database would not match.
  std::vector<ObjectRecord> check = out->objects;
  int st = object_assign_refs(&check);
  if (st) {
    *error = std::string("the object table refuses the tags: ") + ct_strerror(st);
    return false;
  }
  for (size_t i = 0; i < check.size(); ++i) {
    if (!tag_ref_equal(check[i].tag, out->objects[i].tag)) {
      *error = "internal error: object table numbers tag '" + model.tags[i].name + "' differently";
      return false;
    }
  }

  // Task list.
  AppRunList list;
  list.name = model.name;
  list.domain = model.domain;
  list.user = model.user;
  list.limits = model.limits;
  out->tasks.push_back(make_table(APP_TASKS_TABLE_APP, "APP", app_encode_app_header(list), 0));
  CtTable tasks = make_table(APP_TASKS_TABLE_TASKS, "TASKS", {}, APP_TASK_RECORD_SIZE);
  for (const AppTask& task : model.tasks) {
    std::vector<uint8_t> rec = app_encode_task_record(task);
    ct_table_add_record(&tasks, rec.data(), rec.size());
  }
  out->tasks.push_back(std::move(tasks));

  // QUANTREL's configuration.
  if (!model.quantrel.present) return true;
  out->has_quantrel = true;
  std::vector<uint8_t> own(APP_QTL_TASK_HEADER_SIZE);
  put_ref(own.data(), model.quantrel.mailbox);
  out->quantrel.push_back(make_table(APP_QTL_TABLE_TASK, "QUANTREL", std::move(own), 0));
  for (const AppProvider& p : model.quantrel.providers) {
    std::vector<uint8_t> h(APP_DS_HEADER_SIZE, 0);
    put_ref(h.data(), p.mailbox);
    ct_put_u16(h.data() + 4, p.max_messages);
    CtTable ds_table =
        make_table(APP_QTL_TABLE_DS, p.mailbox_name, std::move(h), APP_DS_RECORD_SIZE);
    for (const AppDataSource& ds : p.sources) {
      uint8_t rec[APP_DS_RECORD_SIZE];
      app_encode_ds_record(ds, rec);
      ct_table_add_record(&ds_table, rec, sizeof rec);
    }
    out->quantrel.push_back(std::move(ds_table));
    for (const AppDataSource& ds : p.sources) {
      std::vector<uint8_t> ch(APP_CONV_HEADER_SIZE, 0);
      put_ref(ch.data() + 4, ds.tag);
      CtTable conv = make_table(APP_QTL_TABLE_CONV, ds.name, std::move(ch), APP_CONV_RECORD_SIZE);
      for (const AppConversion& c : ds.conversions) {
        uint8_t rec[APP_CONV_RECORD_SIZE];
        app_encode_conv_record(c, rec);
        ct_table_add_record(&conv, rec, sizeof rec);
      }
      out->quantrel.push_back(std::move(conv));
    }
  }
  // Lay the files out once, so that a size that does not fit shows up
  // before anything is written.
  std::vector<uint8_t> image;
  if ((st = ct_build_image(out->quantrel, CT_VERSION_CURRENT, &image)) != 0 ||
      (st = ct_build_image(out->tasks, CT_VERSION_CURRENT, &image)) != 0) {
    *error = std::string("cannot lay out the configuration: ") + ct_strerror(st);
    return false;
  }
  return true;
}

bool app_build_write(const AppModel& model, const AppBuildOutput& out, const std::string& dir,
                     std::string* error, uint32_t objects_per_table) {
  std::error_code ec;
  fs::path root(dir);
  fs::path ct_dir = root / "ct";
  fs::path qtl_dir = root / model.domain / "ct";
  fs::path log_dir = root / model.name / model.domain / model.user / "log";
  for (const fs::path& d : {ct_dir, log_dir}) {
    fs::create_directories(d, ec);
    if (ec) {
      *error = "cannot create " + d.string() + ": " + ec.message();
      return false;
    }
  }
  if (out.has_quantrel) {
    fs::create_directories(qtl_dir, ec);
    if (ec) {
      *error = "cannot create " + qtl_dir.string() + ": " + ec.message();
      return false;
    }
  }
  if (!replace_file(
          ct_dir / "object.ct",
          [&](const char* p) { return object_table_write(p, out.objects, objects_per_table); },
          error))
    return false;
  if (!replace_file(
          ct_dir / "tasks.ct", [&](const char* p) { return ct_write_file(p, out.tasks); }, error))
    return false;
  fs::path qtl = qtl_dir / "quantrel.ct";
  if (out.has_quantrel) {
    return replace_file(
        qtl, [&](const char* p) { return ct_write_file(p, out.quantrel); }, error);
  }
  // A configuration left from an earlier description would be loaded by a
  // QUANTREL started by hand; remove it.
  fs::remove(qtl, ec);
  return true;
}
