// Path library: parsed file names, macro expansion, search lists, listings.
//
// Every file the task opens is named by text that may hold macros ({ZQAPP},
// {ZQDOMAIN}: environment variables in braces) and may be written in one of
// two notations:
//   - native:  [\\node\ | node!][device:]dir\sub\file  (either separator), with
//              an optional trailing "@node" on the file name;
//   - bracket: [node::][device:][dir.sub]file  ("<" ">" work as brackets too).
// The text is parsed into a PathObject whose directory always uses "/".
//
// A PathObject formats in two notations: the drive notation (device letter,
// backslashes, "\\node" prefix) and the POSIX notation ("/" separators, no
// device, "//node" prefix). POSIX is the native one on this platform and the
// one used to open files (path_fopen, path_resolve, path_exists, listings).
//
// Text that does not fit a field is cut at the field's size. Operations
// return 0 / -1, or a null object on failure; they print nothing. An object
// carries PATH_MARKER from path_new to path_free; operations refuse objects
// without it.
#ifndef ZQ_CONFIG_PATH_H_
#define ZQ_CONFIG_PATH_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Field sizes, terminator included.
constexpr size_t PATH_NODE_SIZE = 64;
constexpr size_t PATH_DEVICE_SIZE = 64;
constexpr size_t PATH_DIR_SIZE = 256;
constexpr size_t PATH_FILE_SIZE = 128;
constexpr size_t PATH_PATTERN_SIZE = 128;
constexpr size_t PATH_WILD_SIZE = 16;

constexpr uint32_t PATH_MARKER = 0x4E50;

constexpr int32_t PATH_KIND_UNKNOWN = -1;
constexpr int32_t PATH_KIND_FILE = 0;
constexpr int32_t PATH_KIND_DIR = 1;

constexpr size_t PATH_EXPAND_SIZE = 512;      // buffer macros are expanded into while parsing
constexpr size_t PATH_RESOLVE_SIZE = 128;     // output of path_resolve
constexpr size_t PATH_FOPEN_SIZE = 512;       // room for the name path_fopen opens
constexpr size_t PATH_SEARCH_LIST_MAX = 511;  // characters of a search list used
constexpr size_t PATH_MACRO_NAME_MAX = 127;   // characters of a macro name used
constexpr size_t PATH_CWD_TEXT_SIZE = 128;    // path_cwd_text output

// path_exists results.
constexpr int PATH_EXISTS_NOT = -1;
constexpr int PATH_EXISTS_SPECIAL = 0;   // directory, hidden (dot) file, or not a regular file
constexpr int PATH_EXISTS_READONLY = 1;  // regular file without any write permission bit
constexpr int PATH_EXISTS_FILE = 3;      // any other regular file

enum PathNotation : int {
  PATH_NOTATION_DRIVE = 0,  // C:\dir\file, \\node\dir\file
  PATH_NOTATION_POSIX = 1,  // /dir/file, //node/dir/file
};
constexpr PathNotation PATH_NOTATION_NATIVE = PATH_NOTATION_POSIX;

struct PathListing;  // an open directory listing (internal)

struct PathObject {
  char node[PATH_NODE_SIZE];          // network node (server) name
  char device[PATH_DEVICE_SIZE];      // drive or device name, without ":"
  char directory[PATH_DIR_SIZE];      // "/" separators; absolute when it starts with "/"
  char file[PATH_FILE_SIZE];          // file name
  char pattern[PATH_PATTERN_SIZE];    // copy of a file name holding "*" or "?"
  char wild_pattern[PATH_WILD_SIZE];  // further pattern of wildcard setters (kept, copied)
  char wild_from[PATH_WILD_SIZE];     // field that pattern was moved from
  uint32_t date_time;                 // packed local time of last write (see below)
  uint32_t size;                      // file size, low 32 bits
  int32_t kind;                       // PATH_KIND_*; unknown after every change
  uint32_t marker;                    // PATH_MARKER while valid
  PathListing* listing;               // open listing or null
};

// Packed date and time: bits 0-5 second, 6-11 minute, 12-16 hour, 17-21 day,
// 22-25 month, 26-31 year - 1980 (modulo 64).
uint32_t path_pack_time(int year, int month, int day, int hour, int minute, int second);

// ---- Objects ---------------------------------------------------------------------

PathObject* path_new(void);        // zeroed, marker set, kind unknown; null when out of memory
void path_free(PathObject* path);  // ends an open listing; ignores objects without the marker
PathObject* path_clone(const PathObject* path);  // copy without the listing; null on failure

// ---- Text ------------------------------------------------------------------------

// Copies text into out (room size) with every {NAME} replaced by the variable's
// value. "{}" vanishes; an unset variable or a value that does not fit the room
// left expands to nothing; an unclosed macro runs to the end of the text.
// Returns the length written (out is always terminated when size > 0).
size_t path_expand(const char* text, char* out, size_t size);

// ---- Parsing and combining ---------------------------------------------------------

// Parses a full path (directory and file name) into path, or into a new object
// when path is null. Null when allocation fails or path lacks the marker. A
// null text parses as "".
PathObject* path_parse(PathObject* path, const char* text);
// Parses text as a directory (file name empty). "." and "[]" give the current
// directory, ".." and "[-]" its parent.
PathObject* path_parse_dir(PathObject* path, const char* text);
// The current working directory as a directory object; null on failure.
PathObject* path_cwd(PathObject* path);

// Places relative under base (the result is in base). A relative directory is
// appended to a non-empty base directory; an absolute one replaces it. 0 / -1.
int path_combine(PathObject* base, const PathObject* relative);

// Formats the path into buffer (room size), cut to size - 1 characters. With a
// null buffer one is allocated (caller frees with free()). Null on failure.
char* path_format(const PathObject* path, char* buffer, size_t size,
                  PathNotation notation = PATH_NOTATION_NATIVE);

// The full name of file taken relative to directory (null: the current
// directory), macros expanded, into out (PATH_RESOLVE_SIZE bytes). A file with a
// device or an absolute directory is taken as it is. 0, or -1 when the file
// name could not be parsed (out then holds it as given, cut).
int path_resolve(char* out, const char* directory, const char* file,
                 PathNotation notation = PATH_NOTATION_NATIVE);

// ---- Setters (macros expanded) ------------------------------------------------------

// Appends "/" and name to the directory; ".." and "[-]" remove the last
// component instead ("/" stays; a relative single component leaves ""), "."
// and "[]" (and an empty name) change nothing. 0 / -1.
int path_append_dir(PathObject* path, const char* name);
// Sets the file name; a name holding "*" or "?" also becomes the pattern,
// any other clears it. 0 / -1.
int path_set_file(PathObject* path, const char* name);
// Replaces or adds the extension of the file name and of the pattern (each
// only when non-empty); a leading "." is ignored; "" removes the extension.
int path_set_ext(PathObject* path, const char* extension);
int path_set_pattern(PathObject* path, const char* pattern);
int path_set_node(PathObject* path, const char* node);
int path_set_device(PathObject* path, const char* device);

// ---- File system -------------------------------------------------------------------

// PATH_EXISTS_NOT when nothing exists under the name, else one of PATH_EXISTS_*.
int path_exists(const PathObject* path);

// The first element of list (null: $ZQPATH, else $ZQROOT) holding name, as a
// new object (caller frees) of the element combined with name; null when none.
// Elements end at the first ","; an element without "," ends at its first ";".
// An empty element is the current directory.
PathObject* path_search(const char* list, const char* name);

// Directory listing of the pattern ("*.*", everything, when empty) in the
// object's directory ("." and ".." left out, names in byte order). Each match
// fills file, kind, date_time and size. -1 when nothing (more) matches.
int path_list_first(PathObject* path);
int path_list_next(PathObject* path);
int path_list_end(PathObject* path);

// Opens the formatted file with the given stdio mode; null on failure.
FILE* path_fopen(const PathObject* path, const char* mode);

// Kind of the object's full name (PATH_KIND_FILE or PATH_KIND_DIR) with its
// date_time and size filled in, or -1. An empty name is the current directory.
int path_status(PathObject* path);
// Creates every missing directory of the object's directory (file name
// ignored); existing directories are no error. 0 / -1.
int path_make_dirs(const PathObject* path);
// Removes the (empty) directory of the object (file name ignored). 0 / -1.
int path_remove_dir(const PathObject* path);
// Creates or truncates the object's file as an empty file. 0 / -1.
int path_create_file(const PathObject* path);
// Deletes the object's file. 0 / -1.
int path_delete_file(const PathObject* path);
// The current directory as text (room size, normally PATH_CWD_TEXT_SIZE). 0 / -1
// (-1 also when it does not fit).
int path_cwd_text(char* out, size_t size);
// Splits a file name at its last "." (not a leading one) into base name and
// extension (without the dot); either output may be null. 0 / -1.
int path_split_name(const char* name, char* base, size_t base_size, char* extension,
                    size_t extension_size);

#endif  // ZQ_CONFIG_PATH_H_
