// Path library: parsing, formatting, search lists and listings.
#include "config/path.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// An open listing: the matching names, read and sorted when it begins.
struct PathListing {
  char** names;
  size_t count;
  size_t next;
  char directory[PATH_FOPEN_SIZE];  // formatted directory, "" for the current one
};

namespace {

constexpr size_t kNodeKeepNative = 62;   // node characters kept from "\\node" and "a!b!"
constexpr size_t kNodeKeepBracket = 63;  // node characters kept from "node::"
constexpr size_t kDeviceKeep = 63;
constexpr size_t kFormatSlack = 10;  // extra room of an allocated format buffer
constexpr int kBaseYear = 1980;
constexpr uint32_t kYearModulo = 64;
constexpr mode_t kDirMode = 0777;
constexpr mode_t kFileMode = 0666;
const char kAllPattern[] = "*.*";
const char kPathVariable[] = "ZQPATH";
const char kRootVariable[] = "ZQROOT";

bool is_separator(char c) {
  return c == '/' || c == '\\';
}
bool is_open_bracket(char c) {
  return c == '[' || c == '<';
}
bool is_close_bracket(char c) {
  return c == ']' || c == '>';
}
bool has_wildcard(const char* s) {
  return strpbrk(s, "*?") != nullptr;
}
bool valid(const PathObject* p) {
  return p != nullptr && p->marker == PATH_MARKER;
}

// Copies at most `count` characters of src (stopping at its end) into dst of
// room dst_size, always terminated.
void copy_cut(char* dst, size_t dst_size, const char* src, size_t count) {
  if (dst_size == 0) return;
  size_t limit = count < dst_size - 1 ? count : dst_size - 1;
  size_t n = 0;
  while (n < limit && src[n] != '\0') {
    dst[n] = src[n];
    ++n;
  }
  dst[n] = '\0';
}

void copy_text(char* dst, size_t dst_size, const char* src) {
  copy_cut(dst, dst_size, src, SIZE_MAX);
}

// Bounded writer into a caller's buffer: stops at the room, never past it.
struct Writer {
  char* out;
  size_t room;  // characters that may be written (size - 1)
  size_t n;
  void put(char c) {
    if (n < room) out[n++] = c;
  }
  void put_text(const char* s) {
    while (*s != '\0' && n < room) out[n++] = *s++;
  }
  char last() const { return n > 0 ? out[n - 1] : '\0'; }
  void finish() { out[n] = '\0'; }
};

void free_listing(PathListing* listing) {
  if (listing == nullptr) return;
  for (size_t i = 0; i < listing->count; ++i) free(listing->names[i]);
  free(listing->names);
  free(listing);
}

void end_listing(PathObject* p) {
  free_listing(p->listing);
  p->listing = nullptr;
}

void reset(PathObject* p) {
  end_listing(p);
  memset(p, 0, sizeof *p);
  p->marker = PATH_MARKER;
  p->kind = PATH_KIND_UNKNOWN;
}

// Prepares an object for parsing: a null one is allocated, a reused one must
// carry the marker and is cleared. *allocated tells the caller to free it on
// a later failure.
PathObject* take_object(PathObject* p, bool* allocated) {
  *allocated = false;
  if (p == nullptr) {
    *allocated = true;
    return path_new();
  }
  if (!valid(p)) return nullptr;
  reset(p);
  return p;
}

PathObject* fail(PathObject* p, bool allocated) {
  if (allocated) path_free(p);
  return nullptr;
}

// Splits `rest` (either separator) into directory and file name. dir_only
// keeps the whole rest as directory.
void set_dir_and_file(PathObject* p, const char* rest, bool dir_only) {
  size_t len = strlen(rest);
  size_t dir_len = len;
  const char* file = rest + len;
  if (!dir_only) {
    size_t last = len;
    for (size_t i = 0; i < len; ++i) {
      if (is_separator(rest[i])) last = i;
    }
    if (last == len) {
      dir_len = 0;
      file = rest;
    } else {
      dir_len = last == 0 ? 1 : last;  // a leading separator stays as the root
      file = rest + last + 1;
    }
  }
  size_t n = 0;
  for (; n < dir_len && n < PATH_DIR_SIZE - 1; ++n) {
    p->directory[n] = is_separator(rest[n]) ? '/' : rest[n];
  }
  p->directory[n] = '\0';
  copy_text(p->file, sizeof p->file, file);
}

// A trailing "@node" of the file name (or of a directory-only text).
void take_at_node(PathObject* p, bool dir_only) {
  char* field = dir_only ? p->directory : p->file;
  char* at = strchr(field, '@');
  if (at == nullptr) return;
  copy_text(p->node, sizeof p->node, at + 1);
  *at = '\0';
}

void parse_native(PathObject* p, const char* text, bool dir_only) {
  const char* rest = text;
  if (is_separator(text[0]) && is_separator(text[1])) {
    const char* name = text + 2;
    const char* end = name;
    while (*end != '\0' && !is_separator(*end)) ++end;
    copy_cut(p->node, sizeof p->node, name, static_cast<size_t>(end - name));
    if (strlen(p->node) > kNodeKeepNative) p->node[kNodeKeepNative] = '\0';
    rest = end;
    if (*rest != '\0' && strchr(rest, ':') != nullptr) ++rest;
  } else if (const char* bang = strrchr(text, '!')) {
    size_t n = static_cast<size_t>(bang - text);
    if (n > kNodeKeepNative) n = kNodeKeepNative;
    for (size_t i = 0; i < n; ++i) p->node[i] = text[i] == '!' ? '.' : text[i];
    p->node[n] = '\0';
    rest = bang + 1;
  } else if (const char* colon = strchr(text, ':')) {
    copy_cut(p->device, sizeof p->device, text, static_cast<size_t>(colon - text));
    if (strlen(p->device) > kDeviceKeep) p->device[kDeviceKeep] = '\0';
    rest = colon + 1;
  }
  set_dir_and_file(p, rest, dir_only);
}

// Finds `needle` in [begin, end); null when absent.
const char* find_before(const char* begin, const char* end, const char* needle) {
  size_t len = strlen(needle);
  for (const char* s = begin; s + len <= end; ++s) {
    if (memcmp(s, needle, len) == 0) return s;
  }
  return nullptr;
}

// Translates the bracket notation's directory list into "/" form.
void translate_brackets(const char* s, char* out, size_t size) {
  Writer w{out, size - 1, 0};
  auto put = [&w](char c) {
    if (c == '/' && w.last() == '/') return;  // never doubled
    w.put(c);
  };
  bool inside = false;
  for (; *s != '\0'; ++s) {
    char c = *s;
    if (is_open_bracket(c)) {
      if (is_close_bracket(s[1])) {  // an empty pair adds nothing
        ++s;
        continue;
      }
      inside = true;
      if (s[1] == '.') {
        ++s;  // relative list
      } else {
        put('/');
      }
    } else if (is_close_bracket(c)) {
      inside = false;
      if (w.n > 0) put('/');
    } else if (c == '.') {
      put(inside ? '/' : '.');
    } else if (is_separator(c)) {
      put('/');
    } else {
      put(c);
    }
  }
  w.finish();
}

void parse_bracket(PathObject* p, const char* text, bool dir_only) {
  const char* list = strpbrk(text, "[<");
  const char* limit = list != nullptr ? list : text + strlen(text);
  const char* s = text;
  if (const char* node_end = find_before(s, limit, "::")) {
    copy_cut(p->node, sizeof p->node, s, static_cast<size_t>(node_end - s));
    if (strlen(p->node) > kNodeKeepBracket) p->node[kNodeKeepBracket] = '\0';
    s = node_end + 2;
  }
  if (const char* colon = find_before(s, limit, ":")) {
    copy_cut(p->device, sizeof p->device, s, static_cast<size_t>(colon - s));
    if (strlen(p->device) > kDeviceKeep) p->device[kDeviceKeep] = '\0';
    s = colon + 1;
  }
  char translated[PATH_DIR_SIZE];
  translate_brackets(s, translated, sizeof translated);
  set_dir_and_file(p, translated, dir_only);
}

void parse_text(PathObject* p, const char* text, bool dir_only) {
  char expanded[PATH_EXPAND_SIZE];
  if (strchr(text, '{') != nullptr) {
    path_expand(text, expanded, sizeof expanded);
    text = expanded;
  }
  if (strchr(text, '[') != nullptr) {
    parse_bracket(p, text, dir_only);
  } else {
    parse_native(p, text, dir_only);
  }
  take_at_node(p, dir_only);
  if (!dir_only && has_wildcard(p->file)) copy_text(p->pattern, sizeof p->pattern, p->file);
}

// Removes the last component of a directory: "/" stays, a single relative
// component leaves "".
void remove_last_component(char* dir) {
  size_t len = strlen(dir);
  while (len > 1 && dir[len - 1] == '/') --len;  // trailing separators
  dir[len] = '\0';
  char* slash = strrchr(dir, '/');
  if (slash == nullptr) {
    dir[0] = '\0';
  } else if (slash == dir) {
    dir[1] = '\0';
  } else {
    *slash = '\0';
  }
}

bool is_dir_name(const char* s, const char* a, const char* b) {
  return strcmp(s, a) == 0 || strcmp(s, b) == 0;
}

// Replaces the extension (after the last "." that is not the first
// character) of a field.
void replace_extension(char* field, size_t size, const char* ext) {
  if (field[0] == '\0') return;
  char* dot = strrchr(field, '.');
  if (dot != nullptr && dot != field) *dot = '\0';
  if (ext[0] == '\0') return;
  size_t len = strlen(field);
  Writer w{field, size - 1, len};
  w.put('.');
  w.put_text(ext);
  w.finish();
}

// Sets a field from text with macros expanded.
int set_expanded(PathObject* p, char* field, size_t size, const char* text) {
  if (!valid(p) || text == nullptr) return -1;
  path_expand(text, field, size);
  p->kind = PATH_KIND_UNKNOWN;
  return 0;
}

uint32_t pack_mtime(time_t t) {
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return path_pack_time(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec);
}

void fill_status(PathObject* p, const struct stat& st) {
  p->kind = S_ISDIR(st.st_mode) ? PATH_KIND_DIR : PATH_KIND_FILE;
  p->date_time = pack_mtime(st.st_mtime);
  p->size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));
}

// Formats only the directory part (no file name) of an object.
bool format_directory(const PathObject* p, char* out, size_t size) {
  PathObject dir = *p;
  dir.file[0] = '\0';
  dir.listing = nullptr;
  return path_format(&dir, out, size) != nullptr;
}

// Wildcard match: "*" any run, "?" one character; "*.*" matches every name.
bool wild_match(const char* pattern, const char* name) {
  if (strcmp(pattern, kAllPattern) == 0) return true;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

int compare_names(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

bool add_name(PathListing* listing, size_t* capacity, const char* name) {
  if (listing->count == *capacity) {
    size_t grown = *capacity == 0 ? 16 : *capacity * 2;
    void* names = realloc(listing->names, grown * sizeof(char*));
    if (names == nullptr) return false;
    listing->names = static_cast<char**>(names);
    *capacity = grown;
  }
  char* copy = strdup(name);
  if (copy == nullptr) return false;
  listing->names[listing->count++] = copy;
  return true;
}

// Reads every matching name of the directory, sorted. Null on failure.
PathListing* open_listing(const char* directory, const char* pattern) {
  PathListing* listing = static_cast<PathListing*>(calloc(1, sizeof(PathListing)));
  if (listing == nullptr) return nullptr;
  copy_text(listing->directory, sizeof listing->directory, directory);
  DIR* dir = opendir(directory[0] != '\0' ? directory : ".");
  if (dir == nullptr) {
    free_listing(listing);
    return nullptr;
  }
  size_t capacity = 0;
  bool ok = true;
  while (struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (strlen(name) >= PATH_FILE_SIZE || !wild_match(pattern, name)) continue;
    if (!add_name(listing, &capacity, name)) {
      ok = false;
      break;
    }
  }
  closedir(dir);
  if (!ok) {
    free_listing(listing);
    return nullptr;
  }
  if (listing->count > 1) qsort(listing->names, listing->count, sizeof(char*), compare_names);
  return listing;
}

// Reports the listing's next name into the object; -1 at the end.
int report_next(PathObject* p) {
  PathListing* listing = p->listing;
  while (listing->next < listing->count) {
    const char* name = listing->names[listing->next++];
    char full[PATH_FOPEN_SIZE * 2];
    const char* dir = listing->directory;
    const char* sep = dir[0] != '\0' && dir[strlen(dir) - 1] != '/' ? "/" : "";
    snprintf(full, sizeof full, "%s%s%s", dir, sep, name);
    struct stat st;
    if (stat(full, &st) != 0) continue;  // vanished since the listing began
    copy_text(p->file, sizeof p->file, name);
    fill_status(p, st);
    return 0;
  }
  return -1;
}

}  // namespace

uint32_t path_pack_time(int year, int month, int day, int hour, int minute, int second) {
  uint32_t y = static_cast<uint32_t>(year - kBaseYear) % kYearModulo;
  return (static_cast<uint32_t>(second) & 0x3F) | (static_cast<uint32_t>(minute) & 0x3F) << 6 |
         (static_cast<uint32_t>(hour) & 0x1F) << 12 | (static_cast<uint32_t>(day) & 0x1F) << 17 |
         (static_cast<uint32_t>(month) & 0x0F) << 22 | y << 26;
}

PathObject* path_new(void) {
  PathObject* p = static_cast<PathObject*>(calloc(1, sizeof(PathObject)));
  if (p == nullptr) return nullptr;
  p->marker = PATH_MARKER;
  p->kind = PATH_KIND_UNKNOWN;
  return p;
}

void path_free(PathObject* path) {
  if (!valid(path)) return;
  end_listing(path);
  path->marker = 0;
  free(path);
}

PathObject* path_clone(const PathObject* path) {
  if (!valid(path)) return nullptr;
  PathObject* copy = path_new();
  if (copy == nullptr) return nullptr;
  *copy = *path;
  copy->listing = nullptr;
  return copy;
}

size_t path_expand(const char* text, char* out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  if (text == nullptr) text = "";
  const size_t room = size - 1;
  size_t n = 0;
  const char* s = text;
  while (*s != '\0' && n < room) {
    if (*s != '{') {
      out[n++] = *s++;
      continue;
    }
    ++s;
    char name[PATH_MACRO_NAME_MAX + 1];
    size_t len = 0;
    while (*s != '\0' && *s != '}') {
      if (len < PATH_MACRO_NAME_MAX) name[len++] = *s;
      ++s;
    }
    name[len] = '\0';
    if (*s == '}') ++s;
    if (len == 0) continue;
    const char* value = getenv(name);
    if (value == nullptr) continue;
    size_t value_len = strlen(value);
    if (value_len > room - n) continue;
    memcpy(out + n, value, value_len);
    n += value_len;
  }
  out[n] = '\0';
  return n;
}

PathObject* path_parse(PathObject* path, const char* text) {
  bool allocated;
  PathObject* p = take_object(path, &allocated);
  if (p == nullptr) return nullptr;
  parse_text(p, text != nullptr ? text : "", false);
  return p;
}

PathObject* path_cwd(PathObject* path) {
  bool allocated;
  PathObject* p = take_object(path, &allocated);
  if (p == nullptr) return nullptr;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return fail(p, allocated);
  copy_text(p->directory, sizeof p->directory, cwd);
  return p;
}

PathObject* path_parse_dir(PathObject* path, const char* text) {
  bool allocated;
  PathObject* p = take_object(path, &allocated);
  if (p == nullptr) return nullptr;
  if (text == nullptr) text = "";
  char expanded[PATH_EXPAND_SIZE];
  if (strchr(text, '{') != nullptr) {
    path_expand(text, expanded, sizeof expanded);
    text = expanded;
  }
  bool current = is_dir_name(text, ".", "[]");
  bool parent = is_dir_name(text, "..", "[-]");
  if (current || parent) {
    if (path_cwd(p) == nullptr) return fail(p, allocated);
    if (parent) remove_last_component(p->directory);
    return p;
  }
  parse_text(p, text, true);
  return p;
}

int path_combine(PathObject* base, const PathObject* relative) {
  if (!valid(base) || !valid(relative)) return -1;
  if (relative->node[0] != '\0') copy_text(base->node, sizeof base->node, relative->node);
  if (relative->device[0] != '\0') {
    copy_text(base->device, sizeof base->device, relative->device);
  }
  const char* rel_dir = relative->directory;
  if (rel_dir[0] == '/' || base->directory[0] == '\0') {
    copy_text(base->directory, sizeof base->directory, rel_dir);
  } else if (rel_dir[0] != '\0') {
    size_t len = strlen(base->directory);
    Writer w{base->directory, sizeof base->directory - 1, len};
    if (w.last() != '/') w.put('/');
    w.put_text(rel_dir);
    w.finish();
  }
  copy_text(base->file, sizeof base->file, relative->file);
  copy_text(base->pattern, sizeof base->pattern, relative->pattern);
  copy_text(base->wild_pattern, sizeof base->wild_pattern, relative->wild_pattern);
  copy_text(base->wild_from, sizeof base->wild_from, relative->wild_from);
  base->kind = PATH_KIND_UNKNOWN;
  return 0;
}

char* path_format(const PathObject* path, char* buffer, size_t size, PathNotation notation) {
  if (!valid(path)) return nullptr;
  if (buffer == nullptr) {
    size = strlen(path->node) + strlen(path->directory) + strlen(path->file) + kFormatSlack;
    buffer = static_cast<char*>(malloc(size));
    if (buffer == nullptr) return nullptr;
  }
  if (size == 0) return nullptr;
  const char sep = notation == PATH_NOTATION_DRIVE ? '\\' : '/';
  const char* dir = path->directory;
  Writer w{buffer, size - 1, 0};
  if (path->node[0] != '\0') {
    w.put(sep);
    w.put(sep);
    w.put_text(path->node);
    // A relative directory or a bare file name still needs its separator.
    bool follows = dir[0] != '\0' || path->file[0] != '\0';
    if (follows && dir[0] != '/') w.put(sep);
  } else if (path->device[0] != '\0' && notation == PATH_NOTATION_DRIVE) {
    w.put(path->device[0]);
    w.put(':');
  }
  char previous = '\0';
  for (const char* s = dir; *s != '\0'; ++s) {
    if (*s != '/') {
      w.put(*s);
    } else if (previous != '/') {
      w.put(sep);
    }
    previous = *s;
  }
  if (dir[0] != '\0' && previous != '/' && path->file[0] != '\0') w.put(sep);
  w.put_text(path->file);
  w.finish();
  return buffer;
}

int path_resolve(char* out, const char* directory, const char* file, PathNotation notation) {
  if (out == nullptr) return -1;
  out[0] = '\0';
  if (file == nullptr) return -1;
  PathObject* name = path_parse(nullptr, file);
  if (name == nullptr) {
    copy_text(out, PATH_RESOLVE_SIZE, file);
    return -1;
  }
  bool as_is = name->directory[0] == '/' || name->device[0] != '\0';
  if (as_is) {
    path_format(name, out, PATH_RESOLVE_SIZE, notation);
    path_free(name);
    return 0;
  }
  PathObject* base = directory != nullptr ? path_parse_dir(nullptr, directory) : path_cwd(nullptr);
  if (base != nullptr && base->directory[0] != '/') {
    PathObject* cwd = path_cwd(nullptr);
    if (cwd != nullptr) {
      path_combine(cwd, base);
      path_free(base);
      base = cwd;
    }
  }
  if (base == nullptr) {
    path_format(name, out, PATH_RESOLVE_SIZE, notation);
  } else {
    path_combine(base, name);
    path_format(base, out, PATH_RESOLVE_SIZE, notation);
  }
  path_free(base);
  path_free(name);
  return 0;
}

int path_append_dir(PathObject* path, const char* name) {
  if (!valid(path) || name == nullptr) return -1;
  char expanded[PATH_DIR_SIZE];
  path_expand(name, expanded, sizeof expanded);
  path->kind = PATH_KIND_UNKNOWN;
  if (expanded[0] == '\0' || is_dir_name(expanded, ".", "[]")) return 0;
  if (is_dir_name(expanded, "..", "[-]")) {
    remove_last_component(path->directory);
    return 0;
  }
  size_t len = strlen(path->directory);
  Writer w{path->directory, sizeof path->directory - 1, len};
  if (w.last() != '/') w.put('/');
  w.put_text(expanded[0] == '/' ? expanded + 1 : expanded);
  w.finish();
  return 0;
}

int path_set_file(PathObject* path, const char* name) {
  if (!valid(path) || set_expanded(path, path->file, sizeof path->file, name) != 0) return -1;
  if (has_wildcard(path->file)) {
    copy_text(path->pattern, sizeof path->pattern, path->file);
  } else {
    path->pattern[0] = '\0';
  }
  return 0;
}

int path_set_ext(PathObject* path, const char* extension) {
  if (!valid(path) || extension == nullptr) return -1;
  if (extension[0] == '.') ++extension;
  replace_extension(path->file, sizeof path->file, extension);
  replace_extension(path->pattern, sizeof path->pattern, extension);
  path->kind = PATH_KIND_UNKNOWN;
  return 0;
}

int path_set_pattern(PathObject* path, const char* pattern) {
  if (!valid(path)) return -1;
  return set_expanded(path, path->pattern, sizeof path->pattern, pattern);
}

int path_set_node(PathObject* path, const char* node) {
  if (!valid(path)) return -1;
  return set_expanded(path, path->node, sizeof path->node, node);
}

int path_set_device(PathObject* path, const char* device) {
  if (!valid(path)) return -1;
  return set_expanded(path, path->device, sizeof path->device, device);
}

int path_exists(const PathObject* path) {
  char name[PATH_FOPEN_SIZE];
  if (path_format(path, name, sizeof name) == nullptr) return PATH_EXISTS_NOT;
  struct stat st;
  if (name[0] == '\0' || stat(name, &st) != 0) return PATH_EXISTS_NOT;
  if (S_ISDIR(st.st_mode) || !S_ISREG(st.st_mode)) return PATH_EXISTS_SPECIAL;
  if (path->file[0] == '.') return PATH_EXISTS_SPECIAL;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return PATH_EXISTS_READONLY;
  return PATH_EXISTS_FILE;
}

PathObject* path_search(const char* list, const char* name) {
  if (name == nullptr) return nullptr;
  if (list == nullptr) list = getenv(kPathVariable);
  if (list == nullptr) list = getenv(kRootVariable);
  if (list == nullptr) return nullptr;
  char text[PATH_SEARCH_LIST_MAX + 1];
  copy_text(text, sizeof text, list);
  size_t len = strlen(text);
  while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t')) text[--len] = '\0';

  PathObject* wanted = path_parse(nullptr, name);
  if (wanted == nullptr) return nullptr;
  char* element = text;
  for (;;) {
    char* end = strchr(element, ',');
    if (end == nullptr) end = strchr(element, ';');
    bool last = end == nullptr;
    if (!last) *end = '\0';
    PathObject* base = element[0] == '\0' ? path_cwd(nullptr) : path_parse_dir(nullptr, element);
    if (base != nullptr) {
      path_combine(base, wanted);
      if (path_exists(base) != PATH_EXISTS_NOT) {
        path_free(wanted);
        return base;
      }
      path_free(base);
    }
    if (last) break;
    element = end + 1;
  }
  path_free(wanted);
  return nullptr;
}

int path_list_first(PathObject* path) {
  if (!valid(path)) return -1;
  end_listing(path);
  char directory[PATH_FOPEN_SIZE];
  if (!format_directory(path, directory, sizeof directory)) return -1;
  const char* pattern = path->pattern[0] != '\0' ? path->pattern : kAllPattern;
  path->listing = open_listing(directory, pattern);
  if (path->listing == nullptr) return -1;
  if (report_next(path) != 0) {
    end_listing(path);
    return -1;
  }
  return 0;
}

int path_list_next(PathObject* path) {
  if (!valid(path) || path->listing == nullptr) return -1;
  return report_next(path);
}

int path_list_end(PathObject* path) {
  if (!valid(path)) return -1;
  end_listing(path);
  return 0;
}

FILE* path_fopen(const PathObject* path, const char* mode) {
  if (mode == nullptr) return nullptr;
  char name[PATH_FOPEN_SIZE];
  if (path_format(path, name, sizeof name) == nullptr || name[0] == '\0') return nullptr;
  return fopen(name, mode);
}

int path_status(PathObject* path) {
  char name[PATH_FOPEN_SIZE];
  if (path_format(path, name, sizeof name) == nullptr) return -1;
  struct stat st;
  if (stat(name[0] != '\0' ? name : ".", &st) != 0) return -1;
  fill_status(path, st);
  return path->kind;
}

int path_make_dirs(const PathObject* path) {
  char name[PATH_FOPEN_SIZE];
  if (!valid(path) || !format_directory(path, name, sizeof name)) return -1;
  size_t len = strlen(name);
  if (len == 0) return 0;
  // Create each prefix ending before a separator, then the whole.
  for (size_t i = 1; i <= len; ++i) {
    if (i < len && name[i] != '/') continue;
    char saved = name[i];
    name[i] = '\0';
    if (mkdir(name, kDirMode) != 0 && errno != EEXIST) return -1;
    name[i] = saved;
  }
  struct stat st;
  return stat(name, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

int path_remove_dir(const PathObject* path) {
  char name[PATH_FOPEN_SIZE];
  if (!valid(path) || !format_directory(path, name, sizeof name) || name[0] == '\0') return -1;
  return rmdir(name) == 0 ? 0 : -1;
}

int path_create_file(const PathObject* path) {
  char name[PATH_FOPEN_SIZE];
  if (path_format(path, name, sizeof name) == nullptr || name[0] == '\0') return -1;
  int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
  if (fd < 0) return -1;
  return close(fd) == 0 ? 0 : -1;
}

int path_delete_file(const PathObject* path) {
  char name[PATH_FOPEN_SIZE];
  if (path_format(path, name, sizeof name) == nullptr || name[0] == '\0') return -1;
  return unlink(name) == 0 ? 0 : -1;
}

int path_cwd_text(char* out, size_t size) {
  if (out == nullptr || size == 0) return -1;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr || strlen(cwd) >= size) {
    out[0] = '\0';
    return -1;
  }
  copy_text(out, size, cwd);
  return 0;
}

int path_split_name(const char* name, char* base, size_t base_size, char* extension,
                    size_t extension_size) {
  if (name == nullptr) return -1;
  const char* dot = strrchr(name, '.');
  if (dot == name) dot = nullptr;
  size_t base_len = dot != nullptr ? static_cast<size_t>(dot - name) : strlen(name);
  if (base != nullptr) copy_cut(base, base_size, name, base_len);
  if (extension != nullptr) copy_text(extension, extension_size, dot != nullptr ? dot + 1 : "");
  return 0;
}
