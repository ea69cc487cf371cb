// The message catalogue: message keys to texts, loaded from plain text files.
//
// One process-wide tree, built on the main thread at start-up and read-only
// afterwards. A key without an entry is its own text.
#ifndef ZQ_RUNTIME_CATALOGUE_H_
#define ZQ_RUNTIME_CATALOGUE_H_

#include <stddef.h>

struct TaskContext;

constexpr size_t CATALOGUE_LINE_MAX = 511;     // characters read per line
constexpr size_t CATALOGUE_RELNAME_MAX = 128;  // msg/<lang>/<name>.txt

// Resets the catalogue and loads the master file and the task's file.
// Returns entries added, or -1 when the task's file could not be loaded.
int catalogue_init(const char* task_name);
// Loads one file by name along ZQPATH / ZQROOT; entries added or -1.
int catalogue_load_file(const char* name);
// The key's text, or the key itself.
const char* catalogue_lookup(const char* key);
// Two-letter language code from install/zqlang.lst, or nullptr.
const char* catalogue_language(void);
// Adds or replaces one entry; 0, or -1 when out of memory.
int catalogue_insert(const char* key, const char* text);
// Forgets every entry.
void catalogue_clear(void);

// Parses one catalogue line (tabs already blanks, no newline). On an entry
// returns true with key and text written (bounded, NUL-terminated).
bool parse_catalogue_line(const char* line, char* key, size_t key_size, char* text,
                          size_t text_size);

// Console code page decision from the value of ZQCODEPAGE (may be null):
// 0 = leave the console alone (double-byte code pages 932, 936, 949, 950),
// otherwise the code page to set (1252).
int catalogue_codepage(const char* zqcodepage);
// Sets the console's input and output code pages; nothing to do on POSIX.
void catalogue_apply_codepage(int codepage);

// Master file, task file, then the application's msg/<task>.txt.
void load_task_catalogue(TaskContext* ctx);

#endif  // ZQ_RUNTIME_CATALOGUE_H_
