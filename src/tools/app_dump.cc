// Showing a CT file; see app_dump.h.
#include "tools/app_dump.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <vector>

#include "config/ct_file.h"
#include "config/object_table.h"
#include "tools/app_build.h"
#include "tools/app_files.h"

namespace {

namespace fs = std::filesystem;

constexpr int kKeyWidth = 26;
constexpr size_t kHexPerLine = 16;

// A tree of what was read, rendered as text or as JSON at the end.
struct Node {
  enum Kind { STR, NUM, REF, HEX, OBJ, ARR } kind = OBJ;
  std::string key;
  std::string str;
  int64_t num = 0;
  bool hex_number = false;
  TagRef ref{};
  std::string ref_name;
  std::vector<uint8_t> bytes;
  std::list<Node> kids;

  Node& add(Kind k, std::string name) {
    kids.emplace_back();
    kids.back().kind = k;
    kids.back().key = std::move(name);
    return kids.back();
  }
  void text(std::string name, std::string value) {
    add(STR, std::move(name)).str = std::move(value);
  }
  void number(std::string name, int64_t value, bool hex = false) {
    Node& n = add(NUM, std::move(name));
    n.num = value;
    n.hex_number = hex;
  }
  void tag(std::string name, TagRef r, std::string tag_name) {
    Node& n = add(REF, std::move(name));
    n.ref = r;
    n.ref_name = std::move(tag_name);
  }
  void hex(std::string name, const uint8_t* p, size_t size) {
    add(HEX, std::move(name)).bytes.assign(p, p + size);
  }
  Node& object(std::string name) { return add(OBJ, std::move(name)); }
  Node& array(std::string name) { return add(ARR, std::move(name)); }
};

std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes from a file need not be UTF-8; show each as its own code point.
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool ref_unset(TagRef r) {
  return r.type == ZQ_TAGREF_UNSET;
}

std::string ref_text(const Node& n) {
  char buf[32];
  if (ref_unset(n.ref)) return "-";
  snprintf(buf, sizeof buf, "(%u:%u)", n.ref.type, n.ref.index);
  return n.ref_name.empty() ? std::string(buf) : n.ref_name + " " + buf;
}

void render_text(const Node& n, int depth, std::string* out) {
  std::string indent(static_cast<size_t>(depth) * 2, ' ');
  auto line = [&](const std::string& value) {
    std::string key = indent + n.key;
    if (key.size() < kKeyWidth) key.resize(kKeyWidth, ' ');
    *out += key + " " + value + "\n";
  };
  switch (n.kind) {
    case Node::STR:
      line("\"" + printable(n.str) + "\"");
      return;
    case Node::NUM: {
      char buf[32];
      if (n.hex_number)
        snprintf(buf, sizeof buf, "0x%04" PRIX64, static_cast<uint64_t>(n.num));
      else
        snprintf(buf, sizeof buf, "%" PRId64, n.num);
      line(buf);
      return;
    }
    case Node::REF:
      line(ref_text(n));
      return;
    case Node::HEX: {
      line(std::to_string(n.bytes.size()) + " byte(s)");
      for (size_t off = 0; off < n.bytes.size(); off += kHexPerLine) {
        char buf[32];
        snprintf(buf, sizeof buf, "%04zx ", off);
        std::string l = indent + "  " + buf;
        std::string ascii;
        for (size_t k = off; k < off + kHexPerLine; ++k) {
          if (k < n.bytes.size()) {
            snprintf(buf, sizeof buf, " %02x", n.bytes[k]);
            l += buf;
            ascii +=
                (n.bytes[k] >= 0x20 && n.bytes[k] < 0x7F) ? static_cast<char>(n.bytes[k]) : '.';
          } else {
            l += "   ";
          }
        }
        *out += l + "  " + ascii + "\n";
      }
      return;
    }
    case Node::OBJ:
    case Node::ARR:
      if (!n.key.empty()) *out += indent + n.key + "\n";
      for (const Node& k : n.kids) render_text(k, n.key.empty() ? depth : depth + 1, out);
      return;
  }
}

void render_json(const Node& n, std::string* out) {
  switch (n.kind) {
    case Node::STR:
      *out += json_string(n.str);
      return;
    case Node::NUM:
      *out += std::to_string(n.num);
      return;
    case Node::REF:
      if (ref_unset(n.ref)) {
        *out += "null";
        return;
      }
      *out +=
          "{\"type\":" + std::to_string(n.ref.type) + ",\"index\":" + std::to_string(n.ref.index) +
          ",\"name\":" + (n.ref_name.empty() ? std::string("null") : json_string(n.ref_name)) + "}";
      return;
    case Node::HEX: {
      std::string h;
      char buf[4];
      for (uint8_t b : n.bytes) {
        snprintf(buf, sizeof buf, "%02x", b);
        h += buf;
      }
      *out += "\"" + h + "\"";
      return;
    }
    case Node::OBJ: {
      *out += "{";
      bool first = true;
      for (const Node& k : n.kids) {
        if (!first) *out += ",";
        first = false;
        *out += json_string(k.key) + ":";
        render_json(k, out);
      }
      *out += "}";
      return;
    }
    case Node::ARR: {
      *out += "[";
      bool first = true;
      for (const Node& k : n.kids) {
        if (!first) *out += ",";
        first = false;
        render_json(k, out);
      }
      *out += "]";
      return;
    }
  }
}

TagRef get_ref(const uint8_t* p) {
  return TagRef{ct_get_u16(p), ct_get_u16(p + 2)};
}

class Dumper {
 public:
  Dumper(const std::string& path, const AppDumpOptions& o) : path_(path), options_(o) {}
  int run(Node* root);

 private:
  AppDumpKind detect(CtFile* ct);
  void load_names(AppDumpKind kind, Node* root);
  std::string name_of(TagRef r) const { return names_ && !ref_unset(r) ? names_->name_of(r) : ""; }
  void ref(Node& n, const char* key, TagRef r) { n.tag(key, r, name_of(r)); }
  void decode_header(AppDumpKind kind, uint32_t table, const CtIndexEntry& e,
                     const std::vector<uint8_t>& h, Node* t);
  void decode_record(AppDumpKind kind, uint32_t table, const CtIndexEntry& e, const uint8_t* r,
                     Node* rec);
  bool record_known(AppDumpKind kind, uint32_t table, const CtIndexEntry& e) const;
  void note(int st) {
    if (st && !status_) status_ = st;
  }

  std::string path_;
  AppDumpOptions options_;
  std::unique_ptr<AppObjectIndex> names_;
  uint64_t file_size_ = 0;
  int status_ = 0;
};

AppDumpKind Dumper::detect(CtFile* ct) {
  if (options_.kind != AppDumpKind::AUTO) return options_.kind;
  std::string base = fs::path(path_).filename().string();
  if (base == "object.ct") return AppDumpKind::OBJECT;
  if (base == "quantrel.ct") return AppDumpKind::QUANTREL;
  if (base == "tasks.ct") return AppDumpKind::TASKS;
  if (ct->header.table_count >= 1 && ct_select(ct, 0) == 0 && ct->entry.type == APP_TASKS_TABLE_APP)
    return AppDumpKind::TASKS;
  return AppDumpKind::RAW;
}

void Dumper::load_names(AppDumpKind kind, Node* root) {
  std::string table = options_.object_table;
  fs::path dir = fs::path(path_).parent_path();
  if (dir.empty()) dir = ".";
  if (table.empty() && kind == AppDumpKind::QUANTREL)
    table = (dir / ".." / ".." / "ct" / "object.ct").lexically_normal().string();
  if (table.empty() && kind == AppDumpKind::TASKS) table = (dir / "object.ct").string();
  if (table.empty()) return;
  std::vector<AppObject> objects;
  std::string error;
  if (!app_objects_read_file(table, &objects, &error)) {
    root->text("names", "none: " + error);
    return;
  }
  root->text("names", table);
  names_ = std::make_unique<AppObjectIndex>(std::move(objects));
}

bool Dumper::record_known(AppDumpKind kind, uint32_t table, const CtIndexEntry& e) const {
  switch (kind) {
    case AppDumpKind::OBJECT:
      return e.record_size == OBJECT_RECORD_SIZE;
    case AppDumpKind::QUANTREL:
      if (table == 0) return false;
      return e.record_size ==
             (e.type == APP_QTL_TABLE_DS ? APP_DS_RECORD_SIZE : APP_CONV_RECORD_SIZE);
    case AppDumpKind::TASKS:
      return e.type == APP_TASKS_TABLE_TASKS && e.record_size == APP_TASK_RECORD_SIZE;
    default:
      return false;
  }
}

void Dumper::decode_header(AppDumpKind kind, uint32_t table, const CtIndexEntry& e,
                           const std::vector<uint8_t>& h, Node* t) {
  Node& n = t->object("header");
  const uint8_t* p = h.data();
  if (kind == AppDumpKind::QUANTREL && table == 0 && h.size() == APP_QTL_TASK_HEADER_SIZE) {
    ref(n, "own_mailbox", get_ref(p));
  } else if (kind == AppDumpKind::QUANTREL && table > 0 && e.type == APP_QTL_TABLE_DS &&
             h.size() == APP_DS_HEADER_SIZE) {
    ref(n, "mailbox", get_ref(p));
    n.number("max_messages", ct_get_u16(p + 4));
    n.number("unused", ct_get_u16(p + 6), true);
  } else if (kind == AppDumpKind::QUANTREL && table > 0 && h.size() == APP_CONV_HEADER_SIZE) {
    n.number("unused", ct_get_u32(p), true);
    ref(n, "data_source", get_ref(p + 4));
  } else if (kind == AppDumpKind::TASKS && e.type == APP_TASKS_TABLE_APP &&
             h.size() == APP_APP_HEADER_SIZE) {
    AppRunList list;
    app_decode_app_header(p, &list);
    n.text("name", list.name);
    n.text("domain", list.domain);
    n.text("user", list.user);
    n.number("mailbox_messages", list.limits.mbx_messages);
    n.number("mailbox_data_bytes", list.limits.mbx_data_bytes);
    n.number("max_message_bytes", list.limits.max_message_bytes);
  } else {
    n.hex("bytes", p, h.size());
  }
}

void Dumper::decode_record(AppDumpKind kind, uint32_t table, const CtIndexEntry& e,
                           const uint8_t* r, Node* rec) {
  if (kind == AppDumpKind::OBJECT) {
    ObjectRecord o;
    object_record_decode(r, &o);
    rec->text("name", o.name);
    rec->text("type", app_tag_type_name(o.tag_type));
    rec->number("type_code", o.tag_type);
    rec->number("elements", o.elements);
    rec->number("capacity", o.capacity);
    rec->text("description", o.description);
    rec->text("dimensions", o.dimensions);
    rec->tag("tag", o.tag, "");
    return;
  }
  if (kind == AppDumpKind::TASKS) {
    AppTask t = app_decode_task_record(r);
    rec->text("name", t.name);
    rec->text("description", t.description);
    rec->text("program", t.program);
    rec->text("arguments", t.arguments);
    ref(*rec, "status", t.status_tag);
    ref(*rec, "message", t.message_tag);
    return;
  }
  (void)table;
  if (e.type == APP_QTL_TABLE_DS) {
    AppDataSource ds = app_decode_ds_record(r);
    ref(*rec, "tag", ds.tag);
    rec->text("name", ds.name);
    ref(*rec, "read_trigger", ds.read_trigger);
    ref(*rec, "block_write_trigger", ds.block_write_trigger);
    rec->number("read_enabled", ds.read_enabled);
    rec->number("write_mode", ds.write_mode);
    rec->number("block_write_enabled", ds.block_write_enabled);
    rec->number("unsolicited", ds.unsolicited);
    rec->number("addressing", ds.addressing);
    ref(*rec, "status", ds.status);
    ref(*rec, "read_ready", ds.read_ready);
    ref(*rec, "write_ready", ds.write_ready);
    ref(*rec, "rcv_ready", ds.rcv_ready);
    ref(*rec, "read_inhibit", ds.read_inhibit);
    ref(*rec, "write_inhibit", ds.write_inhibit);
    ref(*rec, "rcv_inhibit", ds.rcv_inhibit);
    ref(*rec, "read_sync", ds.read_sync);
    ref(*rec, "write_sync", ds.write_sync);
    ref(*rec, "rcv_sync", ds.rcv_sync);
    ref(*rec, "state", ds.state);
    return;
  }
  AppConversion c = app_decode_conv_record(r);
  ref(*rec, "tag", c.tag);
  rec->text("name", c.tag_name);
  rec->text("dims", c.dims_text);
  rec->number("address", c.address);
  rec->number("length", c.length);
  rec->number("count", c.count);
  rec->number("data_type", c.data_type);
  const char* dt = app_data_type_name(c.data_type);
  rec->text("data_type_name", *dt ? dt : "unknown");
}

int Dumper::run(Node* root) {
  root->text("file", path_);
  struct stat sb;
  if (stat(path_.c_str(), &sb) == 0) file_size_ = static_cast<uint64_t>(sb.st_size);
  root->number("file_size", static_cast<int64_t>(file_size_));
  CtFile ct;
  int st = ct_open(&ct, nullptr, path_.c_str());
  if (st) {
    note(st);
    return status_;
  }
  AppDumpKind kind = detect(&ct);
  static const char* kKindNames[] = {"auto", "object", "quantrel", "tasks", "raw"};
  root->text("kind", kKindNames[static_cast<int>(kind)]);
  load_names(kind, root);
  root->number("magic", ct.header.magic, true);
  root->number("version", ct.header.version, true);
  root->number("table_count", ct.header.table_count);
  Node& tables = root->array("tables");
  for (uint32_t i = 0; i < ct.header.table_count; ++i) {
    Node& t = tables.object("table " + std::to_string(i));
    t.number("index", i);
    st = ct_select(&ct, i);
    if (st) {
      t.number("status", st);
      t.text("status_text", ct_strerror(st));
      note(st);
      break;  // the index itself is damaged: later entries cannot be trusted
    }
    const CtIndexEntry e = ct.entry;
    char name[CT_NAME_SIZE + 1];
    ct_entry_name(&e, name);
    t.number("type", e.type);
    t.text("name", name);
    t.number("data_offset", e.data_offset);
    t.number("header_length", e.header_length);
    t.number("record_size", e.record_size);
    t.number("record_count", e.record_count);
    if (e.data_offset == 0) continue;
    uint64_t data_end = uint64_t{e.data_offset} + e.header_length;
    if (data_end > file_size_) {
      t.text("problem", "the table header runs past the end of the file");
      note(CT_EREAD);
      continue;
    }
    if (e.header_length > 0) {
      std::vector<uint8_t> h(e.header_length);
      if ((st = ct_read_header(&ct, h.data())) != 0) {
        t.number("status", st);
        t.text("status_text", ct_strerror(st));
        note(st);
        continue;
      }
      decode_header(kind, i, e, h, &t);
    }
    if (e.record_count == 0 || e.record_size == 0) continue;
    if (e.record_size > file_size_) {
      t.text("problem", "the record size is larger than the file");
      note(CT_EREAD);
      continue;
    }
    bool known = record_known(kind, i, e);
    Node& records = t.array("records");
    std::vector<uint8_t> buf(e.record_size);
    for (uint32_t r = 0; r < e.record_count; ++r) {
      if ((st = ct_read_record(&ct, buf.data(), r)) != 0) {
        Node& bad = records.object("record " + std::to_string(r));
        bad.number("index", r);
        bad.number("status", st);
        bad.text("status_text", ct_strerror(st));
        note(st);
        break;
      }
      Node& rec = records.object("record " + std::to_string(r));
      rec.number("index", r);
      if (known)
        decode_record(kind, i, e, buf.data(), &rec);
      else
        rec.hex("bytes", buf.data(), buf.size());
    }
  }
  ct_close(&ct);
  return status_;
}

}  // namespace

int app_dump_ct(const std::string& path, const AppDumpOptions& options, std::string* out) {
  Node root;
  Dumper dumper(path, options);
  int st = dumper.run(&root);
  root.number("status", st);
  root.text("status_text", st ? ct_strerror(st) : "whole file read");
  if (options.json) {
    render_json(root, out);
    *out += "\n";
  } else {
    render_text(root, 0, out);
  }
  return st;
}
