// The message catalogue: an unbalanced binary tree of (key, text) entries,
// keys compared without regard to ASCII case, filled from catalogue files.
#include "runtime/catalogue.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/path.h"
#include "runtime/task_context.h"

namespace {

constexpr size_t LINE_BUFFER_SIZE = CATALOGUE_LINE_MAX + 1;
constexpr size_t LANGUAGE_LINE_MAX = 127;
constexpr size_t LANGUAGE_CODE_SIZE = 3;
constexpr size_t APP_FILE_NAME_SIZE = 128;
constexpr size_t NATIVE_NAME_SIZE = 512;
constexpr int CODEPAGE_DEFAULT = 1252;
constexpr int DOUBLE_BYTE_CODEPAGES[] = {932, 936, 949, 950};
constexpr char DEFAULT_LANGUAGE[] = "EN";
constexpr char LANGUAGE_FILE[] = "/install/zqlang.lst";
constexpr char PARENT_DIRECTORY[] = "..";
constexpr char BELL = 7;
constexpr char BACKSPACE = 8;

// Shown instead of a text whose copy could not be allocated; never freed.
const char ERROR_TEXT[] = "Error";

struct Entry {
  Entry* left;
  Entry* right;
  char* key;
  char* text;
};

Entry* g_root = nullptr;
int g_added = 0;  // entries added by the current file load
char g_language[LANGUAGE_CODE_SIZE] = "";

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int compare_keys(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(ascii_lower(*a));
    unsigned char cb = static_cast<unsigned char>(ascii_lower(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

char* copy_text(const char* text) {
  size_t n = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(n));
  if (copy) memcpy(copy, text, n);
  return copy;
}

void free_text(char* text) {
  if (text != ERROR_TEXT) free(text);
}

// ---- Parsing of one line -----------------------------------------------------

// Copies [begin, end) into out (bounded), resolving the backslash escapes.
void unescape(const char* begin, const char* end, char* out, size_t size) {
  size_t n = 0;
  for (const char* p = begin; p < end && n + 1 < size; ++p) {
    if (*p != '\\' || p + 1 >= end) {
      out[n++] = *p;
      continue;
    }
    char e = 0;
    switch (p[1]) {
      case '\\':
        e = '\\';
        break;
      case 'a':
        e = BELL;
        break;
      case 'b':
        e = BACKSPACE;
        break;
      case 'n':
        e = '\n';
        break;
      case 'r':
        e = '\r';
        break;
      case 't':
        e = '\t';
        break;
      default:
        break;
    }
    if (e) {
      out[n++] = e;
      ++p;
    } else {
      out[n++] = *p;  // the backslash stays; the next character follows as usual
    }
  }
  out[n] = '\0';
}

// ---- Finding files --------------------------------------------------------------

// The directory list catalogue files are searched along.
const char* search_list() {
  const char* list = getenv("ZQPATH");
  if (!list || !*list) list = getenv("ZQROOT");
  if (!list || !*list) list = PARENT_DIRECTORY;
  return list;
}

FILE* open_along(const char* list, const char* relname) {
  PathObject* found = path_search(list, relname);
  if (!found) return nullptr;
  FILE* f = path_fopen(found, "r");
  path_free(found);
  return f;
}

FILE* open_with_txt_extension(const char* name) {
  PathObject* path = path_parse(nullptr, name);
  if (!path) return nullptr;
  FILE* f = nullptr;
  if (path_set_ext(path, "txt") == 0) f = path_fopen(path, "r");
  path_free(path);
  return f;
}

// Builds msg/<language>/<name>[.txt] in lower case; false when it does not fit.
bool relative_name(const char* name, char* out, size_t size) {
  const char* language = catalogue_language();
  if (!language) language = DEFAULT_LANGUAGE;
  const char* ext = strchr(name, '.') ? "" : ".txt";
  int n = snprintf(out, size, "msg/%s/%s%s", language, name, ext);
  if (n < 0 || static_cast<size_t>(n) >= size) return false;
  for (char* p = out; *p; ++p) *p = ascii_lower(*p);
  return true;
}

// Reads one line of at most CATALOGUE_LINE_MAX characters. The rest of a
// longer line is skipped so that it cannot turn into an entry of its own.
bool read_line(FILE* f, char* line) {
  if (!fgets(line, static_cast<int>(LINE_BUFFER_SIZE), f)) return false;
  size_t n = strlen(line);
  if (n == CATALOGUE_LINE_MAX && line[n - 1] != '\n') {
    int c;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
  }
  return true;
}

// Tabs become blanks; the line ends at its newline (or a CR before it).
void clean_line(char* line) {
  for (char* p = line; *p; ++p) {
    if (*p == '\t') *p = ' ';
    if (*p == '\n' || (*p == '\r' && (p[1] == '\n' || p[1] == '\0'))) {
      *p = '\0';
      break;
    }
  }
}

}  // namespace

bool parse_catalogue_line(const char* line, char* key, size_t key_size, char* text,
                          size_t text_size) {
  if (!line || !key || !text || key_size == 0 || text_size == 0) return false;
  if (line[0] == '*' || line[0] == '#') return false;
  const char* p = line;
  while (*p == ' ') ++p;
  if (!*p) return false;

  const char* key_begin = p;
  while (*p && *p != ' ' && *p != '|') ++p;
  const char* key_end = p;
  while (*p == ' ' || *p == '|') ++p;

  const char* text_begin = p;
  const char* text_end = nullptr;
  if (*p == '"') {
    const char* close = strchr(p + 1, '"');
    if (close) {
      text_begin = p + 1;
      text_end = close;
    } else {
      text_begin = p + 1;  // no closing quote: to the end, trailing blanks removed
    }
  }
  if (!text_end) {
    text_end = text_begin + strlen(text_begin);
    while (text_end > text_begin && text_end[-1] == ' ') --text_end;
    if (text_end == text_begin) return false;
  }

  size_t key_len = static_cast<size_t>(key_end - key_begin);
  if (key_len >= key_size) key_len = key_size - 1;
  memcpy(key, key_begin, key_len);
  key[key_len] = '\0';
  unescape(text_begin, text_end, text, text_size);
  return true;
}

int catalogue_insert(const char* key, const char* text) {
  if (!key || !text) return -1;
  Entry** link = &g_root;
  while (*link) {
    int c = compare_keys(key, (*link)->key);
    if (c == 0) {
      char* copy = copy_text(text);
      free_text((*link)->text);
      (*link)->text = copy ? copy : const_cast<char*>(ERROR_TEXT);
      return copy ? 0 : -1;
    }
    link = c < 0 ? &(*link)->left : &(*link)->right;
  }
  Entry* entry = static_cast<Entry*>(calloc(1, sizeof(Entry)));
  if (!entry) return -1;
  entry->key = copy_text(key);
  entry->text = copy_text(text);
  if (!entry->key || !entry->text) {
    free(entry->key);
    free(entry->text);
    free(entry);
    return -1;
  }
  *link = entry;
  ++g_added;
  return 0;
}

const char* catalogue_lookup(const char* key) {
  if (!key) return key;
  const Entry* e = g_root;
  while (e) {
    int c = compare_keys(key, e->key);
    if (c == 0) return e->text;
    e = c < 0 ? e->left : e->right;
  }
  return key;
}

void catalogue_clear(void) {
  // Iterative: a file sorted by key makes the tree one long chain.
  Entry* e = g_root;
  while (e) {
    if (e->left) {
      Entry* l = e->left;
      e->left = l->right;
      l->right = e;
      e = l;
      continue;
    }
    Entry* next = e->right;
    free(e->key);
    free_text(e->text);
    free(e);
    e = next;
  }
  g_root = nullptr;
}

const char* catalogue_language(void) {
  const char* dir = getenv("ZQPATH");
  if (!dir || !*dir) dir = getenv("ZQROOT");
  if (!dir || !*dir) return nullptr;
  char name[NATIVE_NAME_SIZE];
  int n = snprintf(name, sizeof name, "%s%s", dir, LANGUAGE_FILE);
  if (n < 0 || static_cast<size_t>(n) >= sizeof name) return nullptr;
  FILE* f = fopen(name, "r");
  if (!f) return nullptr;
  char line[LANGUAGE_LINE_MAX + 1];
  if (fgets(line, sizeof line, f)) {
    // Only letters and digits: the code becomes part of a file name.
    size_t i = 0;
    for (; i + 1 < LANGUAGE_CODE_SIZE; ++i) {
      char c = line[i];
      bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      if (!alnum) break;
      g_language[i] = c;
    }
    g_language[i] = '\0';
  }
  fclose(f);
  return g_language;
}

int catalogue_codepage(const char* zqcodepage) {
  long value = zqcodepage ? strtol(zqcodepage, nullptr, 10) : 0;
  for (int cp : DOUBLE_BYTE_CODEPAGES) {
    if (value == cp) return 0;
  }
  return CODEPAGE_DEFAULT;
}

void catalogue_apply_codepage(int codepage) {
  // POSIX consoles have no code pages; the decision is only computed.
  (void)codepage;
}

int catalogue_load_file(const char* name) {
  g_added = 0;
  if (!name || !*name) return -1;
  char relname[CATALOGUE_RELNAME_MAX + 1];
  FILE* f = nullptr;
  if (relative_name(name, relname, sizeof relname)) f = open_along(search_list(), relname);
  if (!f) f = open_with_txt_extension(name);
  if (!f) return -1;

  char line[LINE_BUFFER_SIZE];
  char key[LINE_BUFFER_SIZE];
  char text[LINE_BUFFER_SIZE];
  while (read_line(f, line)) {
    clean_line(line);
    if (!parse_catalogue_line(line, key, sizeof key, text, sizeof text)) continue;
    if (catalogue_insert(key, text) != 0) {
      fclose(f);
      return -1;
    }
  }
  fclose(f);
  return g_added;
}

int catalogue_init(const char* task_name) {
  catalogue_apply_codepage(catalogue_codepage(getenv("ZQCODEPAGE")));
  catalogue_clear();
  int a = catalogue_load_file("master");
  int b = catalogue_load_file(task_name);
  if (b < 0) return -1;
  if (a < 0) return b;
  return a + b;
}

void load_task_catalogue(TaskContext* ctx) {
  if (!ctx) return;
  catalogue_init(ctx->task_name);
  char app_dir[ZQ_TB_APP_DIR_SIZE + 1];
  memcpy(app_dir, ctx->kernel_block + ZQ_TB_APP_DIR, ZQ_TB_APP_DIR_SIZE);
  app_dir[ZQ_TB_APP_DIR_SIZE] = '\0';
  if (!app_dir[0]) return;  // no application directory: no application file
  char file[APP_FILE_NAME_SIZE];
  snprintf(file, sizeof file, "%.*s.txt", static_cast<int>(sizeof ctx->task_name), ctx->task_name);
  char name[APP_FILE_NAME_SIZE];
  PathObject* path = path_parse_dir(nullptr, app_dir);
  if (!path) return;
  path_append_dir(path, "msg");
  path_set_file(path, file);
  path_format(path, name, sizeof name);
  path_free(path);
  catalogue_load_file(name);
}
