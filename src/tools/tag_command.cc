// zq tag: the operator's view of a running application's tags: get, set,
// watch, list, and the messages waiting in a mailbox.
#include <fnmatch.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/app_files.h"
#include "tools/app_values.h"
#include "tools/zq_command.h"

namespace {

constexpr const char* kToolTask = "ZQTAG";
constexpr const char* kToolDesc = "zq tag";
constexpr int kToolSlots = 9;  // ZQTAG, ZQTAG2 .. ZQTAG9: several at once
constexpr auto kWatchInterval = std::chrono::milliseconds(50);
constexpr uint16_t kKindMask = 0x000F;
constexpr int kSenderStationShift = 8;
constexpr uint16_t kStationMask = 0x00FF;

volatile sig_atomic_t g_interrupted = 0;
void on_interrupt(int) {
  g_interrupted = 1;
}

struct Options {
  std::string app;
  std::vector<std::string> names;
  bool force = false;
  int count = 0;
  std::string pattern;
};

// An error of the operator's input (exit 2) or of the system (exit 1).
struct Failure {
  int status;
  std::string message;
};

class Session {
 public:
  ~Session() {
    if (id_ >= 0) zq_exit(id_);
  }
  // Finds the application and reads its object table.
  std::optional<Failure> open(const std::string& app_option);
  // Attaches to the running database.
  std::optional<Failure> attach();
  int id() const { return id_; }
  const AppObjectIndex& index() const { return *index_; }
  std::string identity() const { return name_ + "." + domain_ + "." + user_; }

 private:
  std::string app_dir_;
  std::string name_, domain_, user_;
  std::unique_ptr<AppObjectIndex> index_;
  int id_ = -1;
};

std::optional<Failure> Session::open(const std::string& app_option) {
  bool from_env = app_option.empty();
  if (from_env) {
    const char* env = getenv("ZQAPP");
    if (!env || !*env) return Failure{ZQ_EXIT_USAGE, "no application: give --app DIR or set ZQAPP"};
    app_dir_ = env;
  } else {
    app_dir_ = app_option;
  }
  const char* n = getenv("ZQNAME");
  const char* d = getenv("ZQDOMAIN");
  const char* u = getenv("ZQUSER");
  if (from_env && n && *n && d && *d && u && *u) {
    name_ = n;
    domain_ = d;
    user_ = u;
  } else {
    AppRunList list;
    std::string error;
    if (!app_run_list_read(app_dir_, &list, &error)) return Failure{ZQ_EXIT_USAGE, error};
    name_ = list.name;
    domain_ = list.domain;
    user_ = list.user;
  }
  std::vector<AppObject> objects;
  std::string error;
  if (!app_objects_read(app_dir_, &objects, &error)) return Failure{ZQ_EXIT_USAGE, error};
  index_ = std::make_unique<AppObjectIndex>(std::move(objects));
  return std::nullopt;
}

std::optional<Failure> Session::attach() {
  for (int k = 1; k <= kToolSlots; ++k) {
    std::string task = k == 1 ? kToolTask : kToolTask + std::to_string(k);
    id_ = zq_init(task.c_str(), kToolDesc, name_.c_str(), domain_.c_str(), user_.c_str());
    if (id_ >= 0) return std::nullopt;
    int e = zq_errno(-1);
    if (e == ZQ_ETASKBUSY) continue;
    if (e == ZQ_ENODB)
      return Failure{ZQ_EXIT_FAILURE,
                     "application " + identity() + " is not running (start it with zq run)"};
    return Failure{ZQ_EXIT_FAILURE, "cannot attach to " + identity() + ": " + zq_strerror(e)};
  }
  return Failure{ZQ_EXIT_FAILURE, "too many zq tag commands attached at once"};
}

// Every element a name stands for: one element, or all of an array named
// without an index.
struct Target {
  std::string name;
  TagRef ref;
  uint16_t type;
  uint16_t capacity;
};

std::optional<Failure> expand(const AppObjectIndex& index, const std::string& text,
                              std::vector<Target>* out) {
  std::string error;
  auto e = index.find(text, &error, true);
  if (!e) return Failure{ZQ_EXIT_USAGE, error};
  const AppObject& o = *e->object;
  bool whole = text.find('[') == std::string::npos && !o.dims.empty();
  uint32_t first = whole ? 0 : e->linear;
  uint32_t last = whole ? o.elements : e->linear + 1;
  for (uint32_t k = first; k < last; ++k) {
    TagRef r = o.first;
    r.index = static_cast<uint16_t>(o.first.index + k);
    out->push_back({AppObjectIndex::element_name(o, k), r, o.type, o.capacity});
  }
  return std::nullopt;
}

int report(const Failure& f) {
  fprintf(stderr, "zq tag: %s\n", f.message.c_str());
  return f.status;
}

int cmd_get(const Options& o) {
  Session s;
  if (auto f = s.open(o.app)) return report(*f);
  std::vector<Target> targets;
  for (const std::string& n : o.names)
    if (auto f = expand(s.index(), n, &targets)) return report(*f);
  for (const Target& t : targets)
    if (t.type == TAG_MAILBOX)
      return report({ZQ_EXIT_USAGE, t.name + " is a mailbox; use zq tag mbx " + t.name});
  if (auto f = s.attach()) return report(*f);
  int status = ZQ_EXIT_OK;
  for (const Target& t : targets) {
    AppValue v;
    int e = app_value_read(s.id(), t.ref, &v);
    if (e) {
      fprintf(stderr, "zq tag: cannot read %s: %s\n", t.name.c_str(), zq_strerror(e));
      status = ZQ_EXIT_FAILURE;
      continue;
    }
    printf("%s = %s\n", t.name.c_str(), app_value_show(v).c_str());
  }
  return status;
}

int cmd_set(const Options& o) {
  Session s;
  if (auto f = s.open(o.app)) return report(*f);
  // Every assignment is checked before the first is written.
  std::vector<Target> targets;
  std::vector<std::unique_ptr<AppValue>> values;
  for (const std::string& a : o.names) {
    size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
      return report({ZQ_EXIT_USAGE, "'" + a + "' is not NAME=VALUE"});
    std::string name = a.substr(0, eq);
    std::string error;
    auto e = s.index().find(name, &error);
    if (!e) return report({ZQ_EXIT_USAGE, error});
    auto v = std::make_unique<AppValue>();
    error = app_value_parse(e->object->type, e->object->capacity, a.substr(eq + 1), v.get());
    if (!error.empty()) return report({ZQ_EXIT_USAGE, name + ": " + error});
    targets.push_back({name, e->ref, e->object->type, e->object->capacity});
    values.push_back(std::move(v));
  }
  if (auto f = s.attach()) return report(*f);
  for (size_t i = 0; i < targets.size(); ++i) {
    const Target& t = targets[i];
    int r = o.force ? zq_f_write(s.id(), &t.ref, 1, values[i]->slot)
                    : zq_write(s.id(), &t.ref, 1, values[i]->slot);
    if (r != 0) {
      fprintf(stderr, "zq tag: cannot write %s: %s\n", t.name.c_str(),
              zq_strerror(zq_errno(s.id())));
      return ZQ_EXIT_FAILURE;
    }
    printf("%s = %s\n", t.name.c_str(), app_value_show(*values[i]).c_str());
  }
  return ZQ_EXIT_OK;
}

std::string now_text() {
  auto now = std::chrono::system_clock::now();
  time_t secs = std::chrono::system_clock::to_time_t(now);
  int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm tm;
  localtime_r(&secs, &tm);
  char buf[32];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

int cmd_watch(const Options& o) {
  Session s;
  if (auto f = s.open(o.app)) return report(*f);
  std::vector<Target> targets;
  for (const std::string& n : o.names)
    if (auto f = expand(s.index(), n, &targets)) return report(*f);
  for (const Target& t : targets)
    if (t.type == TAG_MAILBOX)
      return report({ZQ_EXIT_USAGE, t.name + " is a mailbox; zq tag mbx shows its messages"});
  if (auto f = s.attach()) return report(*f);
  std::vector<TagRef> refs;
  for (const Target& t : targets) refs.push_back(t.ref);
  uint32_t n = static_cast<uint32_t>(refs.size());
  // The current values first; from then on every change.
  zq_clear_chg(s.id(), refs.data(), n);
  for (const Target& t : targets) {
    AppValue v;
    if (app_value_read(s.id(), t.ref, &v) == 0)
      printf("%s %s = %s\n", now_text().c_str(), t.name.c_str(), app_value_show(v).c_str());
  }
  fflush(stdout);
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  int changes = 0;
  std::vector<char> text(ZQ_MAX_MESSAGE_CAPACITY + 1);
  while (!g_interrupted && (o.count <= 0 || changes < o.count)) {
    uint32_t at = 0;
    ChangeRecord rec;
    change_record_prepare(&rec, text.data(), static_cast<uint16_t>(text.size()));
    int r = zq_get_chg(s.id(), refs.data(), n, &at, &rec);
    if (r != 0) {
      int e = zq_errno(s.id());
      if (e != ZQ_ENOCHANGE) {
        fprintf(stderr, "zq tag: watching failed: %s\n", zq_strerror(e));
        return ZQ_EXIT_FAILURE;
      }
      std::this_thread::sleep_for(kWatchInterval);
      continue;
    }
    AppValue v;
    v.type = rec.type;
    if (rec.type == TAG_MESSAGE) {
      MessageValue m = change_record_message(rec);
      v.text.assign(text.data(), std::min<size_t>(m.length, text.size()));
    } else {
      memcpy(v.slot, rec.value, sizeof v.slot);
    }
    printf("%s %s = %s\n", now_text().c_str(), targets[at].name.c_str(), app_value_show(v).c_str());
    fflush(stdout);
    ++changes;
  }
  return ZQ_EXIT_OK;
}

std::string ref_text(TagRef r) {
  return "(" + std::to_string(r.type) + ":" + std::to_string(r.index) + ")";
}

int cmd_list(const Options& o) {
  Session s;
  if (auto f = s.open(o.app)) return report(*f);
  // Values when the application runs; the declarations alone otherwise.
  bool running = !s.attach().has_value();
  if (!running)
    fprintf(stderr, "zq tag: %s is not running; values not shown\n", s.identity().c_str());
  std::vector<const AppObject*> objects;
  for (const AppObject& obj : s.index().objects()) {
    if (!o.pattern.empty() && fnmatch(o.pattern.c_str(), obj.name.c_str(), 0) != 0) continue;
    objects.push_back(&obj);
  }
  std::sort(objects.begin(), objects.end(),
            [](const AppObject* a, const AppObject* b) { return a->name < b->name; });
  for (const AppObject* obj : objects) {
    std::string dims;
    for (uint16_t d : obj->dims) dims += "[" + std::to_string(d) + "]";
    std::string line = obj->name + dims;
    char buf[128];
    snprintf(buf, sizeof buf, "%-32s %-8s %-12s", line.c_str(), app_tag_type_name(obj->type),
             ref_text(obj->first).c_str());
    std::string out = buf;
    if (obj->type == TAG_MESSAGE) out += " capacity " + std::to_string(obj->capacity);
    if (running && obj->dims.empty() && obj->type != TAG_MAILBOX) {
      AppValue v;
      if (app_value_read(s.id(), obj->first, &v) == 0) out += " = " + app_value_show(v);
    }
    if (running && obj->type == TAG_MAILBOX && obj->dims.empty()) {
      int count = 0;
      if (zq_count_mbx(s.id(), obj->first, &count) == 0)
        out += " " + std::to_string(count) + " message(s)";
    }
    if (!obj->description.empty()) out += "  # " + obj->description;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    printf("%s\n", out.c_str());
  }
  if (objects.empty() && !o.pattern.empty()) {
    fprintf(stderr, "zq tag: no tag matches '%s'\n", o.pattern.c_str());
    return ZQ_EXIT_FAILURE;
  }
  return ZQ_EXIT_OK;
}

int cmd_mbx(const Options& o) {
  Session s;
  if (auto f = s.open(o.app)) return report(*f);
  std::string error;
  auto e = s.index().find(o.names.empty() ? "" : o.names[0], &error);
  if (!e) return report({ZQ_EXIT_USAGE, error});
  if (e->object->type != TAG_MAILBOX)
    return report({ZQ_EXIT_USAGE, o.names[0] + " is not a mailbox"});
  if (auto f = s.attach()) return report(*f);
  int count = 0;
  if (zq_count_mbx(s.id(), e->ref, &count) != 0) {
    fprintf(stderr, "zq tag: %s: %s\n", o.names[0].c_str(), zq_strerror(zq_errno(s.id())));
    return ZQ_EXIT_FAILURE;
  }
  std::vector<MbxMessage> msgs(static_cast<size_t>(count));
  int got = 0;
  if (count > 0 && zq_peek_mbx(s.id(), e->ref, msgs.data(), 0, count, &got) != 0) {
    fprintf(stderr, "zq tag: %s: %s\n", o.names[0].c_str(), zq_strerror(zq_errno(s.id())));
    return ZQ_EXIT_FAILURE;
  }
  // Sender task ids by name.
  std::vector<ZqTaskState> tasks(ZQ_MAX_TASKS);
  int ntasks = 0;
  if (zq_db_current()) zq_task_list(zq_db_current(), tasks.data(), ZQ_MAX_TASKS, &ntasks);
  auto sender_name = [&](uint16_t id) -> std::string {
    for (int i = 0; i < ntasks; ++i)
      if (tasks[static_cast<size_t>(i)].id == id) return tasks[static_cast<size_t>(i)].name;
    return "?";
  };
  printf("%s %s: %d message(s)\n", o.names[0].c_str(), ref_text(e->ref).c_str(), got);
  if (got > 0)
    printf("%-5s %-5s %-7s %-24s %-8s %-8s %-14s %s\n", "#", "KIND", "LENGTH", "KEY", "FROM-ST",
           "REQ-ST", "SENDER", "DATA");
  for (int i = 0; i < got; ++i) {
    const MbxMessage& m = msgs[static_cast<size_t>(i)];
    std::string key = s.index().name_of(m.key);
    key = (key.empty() ? "" : key + " ") + ref_text(m.key);
    std::string sender = std::to_string(m.sender) + " " + sender_name(m.sender);
    std::vector<uint8_t> bytes(m.length);
    uint32_t length = 0;
    std::string data = "-";
    if (zq_peek_mbx_data(s.id(), e->ref, i, bytes.data(), m.length, &length) == 0)
      data = app_hex(bytes.data(), length < m.length ? length : m.length);
    printf("%-5d %-5u %-7u %-24s %-8u %-8u %-14s %s\n", i, m.control & kKindMask, m.length,
           key.c_str(), (m.control >> kSenderStationShift) & kStationMask, m.station & kStationMask,
           sender.c_str(), data.c_str());
  }
  return ZQ_EXIT_OK;
}

void add_command(CLI::App* tag, const char* name, const char* help, int* status,
                 const std::shared_ptr<Options>& o, int (*fn)(const Options&), CLI::App** out) {
  CLI::App* cmd = tag->add_subcommand(name, help);
  cmd->callback([o, status, fn] {
    try {
      *status = fn(*o);
    } catch (const std::exception& e) {
      fprintf(stderr, "zq tag: %s\n", e.what());
      *status = ZQ_EXIT_FAILURE;
    }
  });
  *out = cmd;
}

ZqCommandRegistrar registrar("tag", [](CLI::App& app, int* status) {
  CLI::App* tag = app.add_subcommand(
      "tag", "Read, write and watch the tags of a running application (--app DIR or ZQAPP)");
  tag->require_subcommand(1);
  tag->fallthrough();
  auto o = std::make_shared<Options>();
  tag->add_option("--app,-a", o->app,
                  "Application directory (default: $ZQAPP, with ZQNAME/ZQDOMAIN/ZQUSER)");
  CLI::App* cmd = nullptr;
  add_command(tag, "get", "Show the values of tags (an array named alone: every element)", status,
              o, cmd_get, &cmd);
  cmd->add_option("names", o->names, "Tag names, as in LEVEL or T[1][2]")->required();
  add_command(tag, "set", "Write tag values: NAME=VALUE ...; all are checked before any is written",
              status, o, cmd_set, &cmd);
  cmd->add_option("assignments", o->names, "NAME=VALUE ...")->required();
  cmd->add_flag("--force,-f", o->force, "Mark the tags changed even when the value is the same");
  add_command(tag, "watch", "Show tag values and then every change until Ctrl-C", status, o,
              cmd_watch, &cmd);
  cmd->add_option("names", o->names, "Tag names")->required();
  cmd->add_option("--count,-n", o->count, "Stop after this many changes")
      ->check(CLI::PositiveNumber);
  add_command(tag, "list", "List the tags (with values when the application runs)", status, o,
              cmd_list, &cmd);
  cmd->add_option("pattern", o->pattern, "Shell pattern for the names, as in 'B1_*'");
  add_command(tag, "mbx", "List the messages waiting in a mailbox", status, o, cmd_mbx, &cmd);
  cmd->add_option("name", o->names, "Mailbox tag name")->required()->expected(1);
});

}  // namespace
