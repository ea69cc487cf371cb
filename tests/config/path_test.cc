// Path library: macros, both notations, combining, resolving, search lists,
// listings and the file-system helpers.
#include "config/path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "config_test_util.h"

namespace {

struct PathDeleter {
  void operator()(PathObject* p) const { path_free(p); }
};
using PathPtr = std::unique_ptr<PathObject, PathDeleter>;

PathPtr parse(const char* text) {
  return PathPtr(path_parse(nullptr, text));
}
PathPtr parse_dir(const char* text) {
  return PathPtr(path_parse_dir(nullptr, text));
}

std::string drive(const PathObject* p) {
  char buf[512];
  EXPECT_NE(path_format(p, buf, sizeof buf, PATH_NOTATION_DRIVE), nullptr);
  return buf;
}
std::string posix(const PathObject* p) {
  char buf[512];
  EXPECT_NE(path_format(p, buf, sizeof buf, PATH_NOTATION_POSIX), nullptr);
  return buf;
}
std::string expand(const char* text, size_t size = 256) {
  std::string out(size, '#');
  path_expand(text, out.data(), size);
  return out.c_str();
}
std::string cwd() {
  char buf[4096];
  return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

TEST(PathExpand, MacrosAreReplacedByEnvironmentValues) {
  EnvVar b("B", "xyz");
  EnvVar app("ZQAPP", nullptr);
  EXPECT_EQ(expand("a{B}c"), "axyzc");
  EXPECT_EQ(expand("{ZQAPP}/x"), "/x");  // unset expands to nothing
  EXPECT_EQ(expand("a{}b"), "ab");
  EXPECT_EQ(expand("{B}{B}"), "xyzxyz");
  EXPECT_EQ(expand("x{B"), "xxyz");  // unclosed: the name runs to the end
  EXPECT_EQ(expand("x{ZQAPP"), "x");
  EXPECT_EQ(expand("x{"), "x");
  EXPECT_EQ(expand("no macro } here"), "no macro } here");
}

TEST(PathExpand, OutputIsCutToTheRoomAndValuesThatDoNotFitVanish) {
  EnvVar b("B", "xyz");
  EXPECT_EQ(expand("abcdefgh", 5), "abcd");
  EXPECT_EQ(expand("ab{B}", 5), "ab");  // "xyz" does not fit the 2 left
  EXPECT_EQ(expand("a{B}", 5), "axyz");
  EXPECT_EQ(expand("{B}tail", 5), "xyzt");

  char buf[8];
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(path_expand("abcdefghijkl", buf, 4), 3u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], '#');  // never past the room
  EXPECT_EQ(path_expand("abc", buf, 0), 0u);
  EXPECT_EQ(path_expand(nullptr, buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "");
}

TEST(PathExpand, LongMacroNamesAreCutTo127Characters) {
  std::string name(127, 'N');
  EnvVar v(name.c_str(), "val");
  std::string text = "{" + name + "EXTRA}!";
  EXPECT_EQ(expand(text.c_str()), "val!");
}

TEST(PathParse, DriveNotationSplitsDeviceDirectoryAndFile) {
  PathPtr p = parse("C:\\dir\\sub\\file.ct");
  ASSERT_TRUE(p);
  EXPECT_STREQ(p->device, "C");
  EXPECT_STREQ(p->directory, "/dir/sub");
  EXPECT_STREQ(p->file, "file.ct");
  EXPECT_STREQ(p->node, "");
  EXPECT_EQ(p->kind, PATH_KIND_UNKNOWN);
  EXPECT_EQ(drive(p.get()), "C:\\dir\\sub\\file.ct");
  EXPECT_EQ(posix(p.get()), "/dir/sub/file.ct");
}

TEST(PathParse, TwoLeadingSeparatorsNameANode) {
  PathPtr p = parse("\\\\srv\\share\\f");
  ASSERT_TRUE(p);
  EXPECT_STREQ(p->node, "srv");
  EXPECT_STREQ(p->directory, "/share");
  EXPECT_STREQ(p->file, "f");
  EXPECT_EQ(drive(p.get()), "\\\\srv\\share\\f");
  EXPECT_EQ(posix(p.get()), "//srv/share/f");

  PathPtr mixed = parse("/\\srv/share/f");
  EXPECT_STREQ(mixed->node, "srv");
  EXPECT_STREQ(mixed->directory, "/share");

  // A device after the node: the separator before it is dropped.
  PathPtr dev = parse("\\\\srv\\C:\\x");
  EXPECT_STREQ(dev->node, "srv");
  EXPECT_STREQ(dev->directory, "C:");
  EXPECT_STREQ(dev->file, "x");
  EXPECT_EQ(drive(dev.get()), "\\\\srv\\C:\\x");
}

TEST(PathParse, ExclamationMarksNameANode) {
  PathPtr p = parse("node!dir/f");
  EXPECT_STREQ(p->node, "node");
  EXPECT_STREQ(p->directory, "dir");
  EXPECT_STREQ(p->file, "f");
  // The node is kept apart from a relative directory when formatted.
  EXPECT_EQ(drive(p.get()), "\\\\node\\dir\\f");

  PathPtr q = parse("a!b!dir/f");
  EXPECT_STREQ(q->node, "a.b");
  EXPECT_STREQ(q->directory, "dir");
}

TEST(PathParse, AtSignAfterTheFileNameNamesTheNode) {
  PathPtr p = parse("f@n");
  EXPECT_STREQ(p->file, "f");
  EXPECT_STREQ(p->node, "n");
  EXPECT_STREQ(p->directory, "");
  EXPECT_EQ(drive(p.get()), "\\\\n\\f");

  PathPtr d = parse_dir("/a/b@host");
  EXPECT_STREQ(d->directory, "/a/b");
  EXPECT_STREQ(d->node, "host");
}

TEST(PathParse, RootAndBareNames) {
  PathPtr root = parse("/file");
  EXPECT_STREQ(root->directory, "/");
  EXPECT_STREQ(root->file, "file");
  EXPECT_EQ(drive(root.get()), "\\file");
  EXPECT_EQ(posix(root.get()), "/file");

  PathPtr bare = parse("file.txt");
  EXPECT_STREQ(bare->directory, "");
  EXPECT_STREQ(bare->file, "file.txt");
  EXPECT_EQ(posix(bare.get()), "file.txt");  // stays relative

  PathPtr rel = parse("D:y.ct");
  EXPECT_STREQ(rel->device, "D");
  EXPECT_STREQ(rel->directory, "");
  EXPECT_EQ(drive(rel.get()), "D:y.ct");
  EXPECT_EQ(posix(rel.get()), "y.ct");

  PathPtr empty = parse("");
  EXPECT_STREQ(empty->file, "");
  EXPECT_EQ(posix(empty.get()), "");
  PathPtr null_text = parse(nullptr);
  ASSERT_TRUE(null_text);
  EXPECT_STREQ(null_text->directory, "");
}

TEST(PathParse, WildcardFileNamesBecomeThePattern) {
  PathPtr p = parse("/dir/*.txt");
  EXPECT_STREQ(p->pattern, "*.txt");
  PathPtr q = parse("/dir/a?c");
  EXPECT_STREQ(q->pattern, "a?c");
  PathPtr r = parse("/dir/abc");
  EXPECT_STREQ(r->pattern, "");
}

TEST(PathParse, MacrosAreExpandedBeforeParsing) {
  EnvVar app("ZQAPP", "C:\\app");
  EnvVar unset("ZQUNSET_X", nullptr);
  PathPtr p = parse("{ZQAPP}\\ct\\x.ct");
  EXPECT_STREQ(p->device, "C");
  EXPECT_STREQ(p->directory, "/app/ct");
  EXPECT_STREQ(p->file, "x.ct");
  PathPtr q = parse("{ZQUNSET_X}/x");
  EXPECT_STREQ(q->directory, "/");
  EXPECT_STREQ(q->file, "x");
}

TEST(PathParse, BracketNotation) {
  PathPtr p = parse("dev:[dir.sub]file.txt");
  EXPECT_STREQ(p->device, "dev");
  EXPECT_STREQ(p->directory, "/dir/sub");
  EXPECT_STREQ(p->file, "file.txt");
  EXPECT_EQ(drive(p.get()), "d:\\dir\\sub\\file.txt");

  PathPtr rel = parse("[.sub]f");
  EXPECT_STREQ(rel->directory, "sub");
  EXPECT_STREQ(rel->file, "f");

  PathPtr node = parse("host::disk:[a.b.c]x.y");
  EXPECT_STREQ(node->node, "host");
  EXPECT_STREQ(node->device, "disk");
  EXPECT_STREQ(node->directory, "/a/b/c");
  EXPECT_STREQ(node->file, "x.y");

  PathPtr angle = parse("[a]<b.c>d.e");
  EXPECT_STREQ(angle->directory, "/a/b/c");
  EXPECT_STREQ(angle->file, "d.e");
  PathPtr no_square = parse("<a.b>c.d");  // only "[" selects the bracket notation
  EXPECT_STREQ(no_square->directory, "");
  EXPECT_STREQ(no_square->file, "<a.b>c.d");

  PathPtr empty = parse("dev:[]f");
  EXPECT_STREQ(empty->device, "dev");
  EXPECT_STREQ(empty->directory, "");
  EXPECT_STREQ(empty->file, "f");

  PathPtr no_double = parse("[a..b.]f");
  EXPECT_STREQ(no_double->directory, "/a/b");
  EXPECT_STREQ(no_double->file, "f");

  PathPtr seps = parse("[a]b\\c/d");
  EXPECT_STREQ(seps->directory, "/a/b/c");
  EXPECT_STREQ(seps->file, "d");

  PathPtr at = parse("[a]f@n");
  EXPECT_STREQ(at->file, "f");
  EXPECT_STREQ(at->node, "n");

  PathPtr dir_only = parse_dir("[a.b]");
  EXPECT_STREQ(dir_only->directory, "/a/b/");
  EXPECT_STREQ(dir_only->file, "");
}

TEST(PathParseDir, DotNamesGiveTheCurrentDirectoryAndItsParent) {
  TempDir tmp;
  tmp.dir("inner");
  InDir in(tmp.sub("inner"));
  std::string here = cwd();
  PathPtr dot = parse_dir(".");
  EXPECT_EQ(dot->directory, here);
  PathPtr brackets = parse_dir("[]");
  EXPECT_EQ(brackets->directory, here);
  PathPtr up = parse_dir("..");
  EXPECT_EQ(up->directory, here.substr(0, here.rfind('/')));
  PathPtr up2 = parse_dir("[-]");
  EXPECT_STREQ(up2->directory, up->directory);
  PathPtr c = PathPtr(path_cwd(nullptr));
  EXPECT_EQ(c->directory, here);
  EXPECT_STREQ(c->file, "");
}

TEST(PathParseDir, TextIsAllDirectory) {
  PathPtr p = parse_dir("C:\\a\\b");
  EXPECT_STREQ(p->device, "C");
  EXPECT_STREQ(p->directory, "/a/b");
  EXPECT_STREQ(p->file, "");
  EXPECT_EQ(drive(p.get()), "C:\\a\\b");
}

TEST(PathObjects, ReuseNeedsTheMarkerAndClearsEveryField) {
  PathObject stale;
  memset(&stale, 0, sizeof stale);
  EXPECT_EQ(path_parse(&stale, "a/b"), nullptr);
  EXPECT_EQ(path_parse_dir(&stale, "a"), nullptr);
  EXPECT_EQ(path_cwd(&stale), nullptr);
  EXPECT_EQ(path_format(&stale, nullptr, 0), nullptr);
  EXPECT_EQ(path_set_file(&stale, "x"), -1);
  EXPECT_EQ(path_set_ext(&stale, "x"), -1);
  EXPECT_EQ(path_append_dir(&stale, "x"), -1);
  EXPECT_EQ(path_exists(&stale), PATH_EXISTS_NOT);
  EXPECT_EQ(path_list_first(&stale), -1);
  EXPECT_EQ(path_clone(&stale), nullptr);
  path_free(&stale);  // ignored: no marker, not ours to free
  EXPECT_EQ(path_set_file(nullptr, "x"), -1);
  EXPECT_EQ(path_combine(nullptr, nullptr), -1);

  PathPtr p = parse("\\\\n\\C:\\d\\*.x");
  ASSERT_EQ(path_parse(p.get(), "plain"), p.get());
  EXPECT_STREQ(p->node, "");
  EXPECT_STREQ(p->device, "");
  EXPECT_STREQ(p->directory, "");
  EXPECT_STREQ(p->pattern, "");
  EXPECT_STREQ(p->file, "plain");
  EXPECT_EQ(p->marker, PATH_MARKER);
  EXPECT_EQ(p->kind, PATH_KIND_UNKNOWN);

  PathPtr clone(path_clone(p.get()));
  ASSERT_TRUE(clone);
  EXPECT_STREQ(clone->file, "plain");
  EXPECT_EQ(clone->listing, nullptr);
}

TEST(PathParse, OverlongPartsAreCutNotOverrun) {
  std::string node(100, 'n');
  PathPtr p = parse(("\\\\" + node + "\\d\\f").c_str());
  EXPECT_EQ(strlen(p->node), 62u);
  PathPtr bang = parse((node + "!f").c_str());
  EXPECT_EQ(strlen(bang->node), 62u);
  PathPtr brk = parse((node + "::[a]f").c_str());
  EXPECT_EQ(strlen(brk->node), 63u);
  PathPtr dev = parse((node + ":f").c_str());
  EXPECT_EQ(strlen(dev->device), 63u);
  std::string dir = "/" + std::string(400, 'd');
  PathPtr d = parse((dir + "/" + std::string(300, 'f')).c_str());
  EXPECT_EQ(strlen(d->directory), PATH_DIR_SIZE - 1);
  EXPECT_EQ(strlen(d->file), PATH_FILE_SIZE - 1);
  EXPECT_EQ(d->file[0], 'f');
  PathPtr at = parse(("f@" + node).c_str());
  EXPECT_EQ(strlen(at->node), PATH_NODE_SIZE - 1);
  std::string huge(5000, '[');
  PathPtr h = parse(huge.c_str());
  ASSERT_TRUE(h);
  EXPECT_LT(strlen(h->directory), PATH_DIR_SIZE);
}

TEST(PathFormat, OutputIsCutToTheRoomAndNeverPastIt) {
  PathPtr p = parse(("/" + std::string(200, 'd') + "/" + std::string(100, 'f')).c_str());
  char buf[140];
  memset(buf, '#', sizeof buf);
  ASSERT_EQ(path_format(p.get(), buf, 128), buf);
  EXPECT_EQ(strlen(buf), 127u);
  EXPECT_EQ(buf[128], '#');
  ASSERT_EQ(path_format(p.get(), buf, 1), buf);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(path_format(p.get(), buf, 0), nullptr);

  char* all = path_format(p.get(), nullptr, 0, PATH_NOTATION_DRIVE);
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(strlen(all), 1u + 200 + 1 + 100);
  free(all);
  PathPtr n = parse("\\\\srv\\a\\b");
  char* with_node = path_format(n.get(), nullptr, 0, PATH_NOTATION_DRIVE);
  EXPECT_STREQ(with_node, "\\\\srv\\a\\b");
  free(with_node);
}

TEST(PathFormat, RunsOfSeparatorsBecomeOne) {
  PathPtr p = parse("C:/a//b\\\\c/f");
  EXPECT_EQ(drive(p.get()), "C:\\a\\b\\c\\f");
  EXPECT_EQ(posix(p.get()), "/a/b/c/f");
  PathPtr dir = parse_dir("/a/b/");
  path_set_file(dir.get(), "f");
  EXPECT_EQ(posix(dir.get()), "/a/b/f");
}

TEST(PathCombine, RelativePathsArePlacedUnderTheBase) {
  PathPtr base = parse_dir("C:\\app");
  PathPtr rel = parse("user/ct/x.ct");
  ASSERT_EQ(path_combine(base.get(), rel.get()), 0);
  EXPECT_EQ(drive(base.get()), "C:\\app\\user\\ct\\x.ct");
  EXPECT_EQ(posix(base.get()), "/app/user/ct/x.ct");
  EXPECT_EQ(base->kind, PATH_KIND_UNKNOWN);

  PathPtr b2 = parse_dir("C:\\app");
  PathPtr abs = parse("/abs/x.ct");
  path_combine(b2.get(), abs.get());
  EXPECT_EQ(drive(b2.get()), "C:\\abs\\x.ct");

  PathPtr b3 = parse_dir("C:\\app");
  PathPtr dev = parse("D:y.ct");
  path_combine(b3.get(), dev.get());
  EXPECT_EQ(drive(b3.get()), "D:\\app\\y.ct");

  // A relative base keeps its directory: a relative search element works.
  PathPtr b4 = parse_dir("root");
  PathPtr name = parse("msg/en/m.txt");
  path_combine(b4.get(), name.get());
  EXPECT_EQ(posix(b4.get()), "root/msg/en/m.txt");

  PathPtr b5 = parse_dir("");
  path_combine(b5.get(), name.get());
  EXPECT_EQ(posix(b5.get()), "msg/en/m.txt");

  PathPtr b6 = parse_dir("/a");
  PathPtr wild = parse("*.txt");
  path_combine(b6.get(), wild.get());
  EXPECT_STREQ(b6->pattern, "*.txt");
  EXPECT_STREQ(b6->file, "*.txt");
  EXPECT_STREQ(b6->directory, "/a");
}

TEST(PathResolve, FileNamesAreTakenRelativeToTheDirectory) {
  EnvVar app("ZQAPP", "C:\\app");
  EnvVar dom("ZQDOMAIN", "user");
  char out[PATH_RESOLVE_SIZE];
  ASSERT_EQ(path_resolve(out, "{ZQAPP}", "{ZQDOMAIN}/ct/quantrel.ct", PATH_NOTATION_DRIVE), 0);
  EXPECT_STREQ(out, "C:\\app\\user\\ct\\quantrel.ct");
  ASSERT_EQ(path_resolve(out, "{ZQAPP}", "{ZQDOMAIN}/ct/quantrel.ct"), 0);
  EXPECT_STREQ(out, "/app/user/ct/quantrel.ct");

  path_resolve(out, "{ZQAPP}", "/abs/x.ct", PATH_NOTATION_DRIVE);
  EXPECT_STREQ(out, "\\abs\\x.ct");  // an absolute file path is taken as it is
  path_resolve(out, "{ZQAPP}", "E:\\d\\x.ct", PATH_NOTATION_DRIVE);
  EXPECT_STREQ(out, "E:\\d\\x.ct");
}

TEST(PathResolve, RelativeDirectoriesAndNoDirectoryUseTheCurrentOne) {
  TempDir tmp;
  InDir in(tmp.path());
  std::string here = cwd();
  char out[PATH_RESOLVE_SIZE];
  path_resolve(out, nullptr, "ct/x.ct");
  EXPECT_EQ(std::string(out), here + "/ct/x.ct");
  path_resolve(out, "app", "ct/x.ct");
  EXPECT_EQ(std::string(out), here + "/app/ct/x.ct");
  path_resolve(out, "", "x.ct");
  EXPECT_EQ(std::string(out), here + "/x.ct");
  EXPECT_EQ(path_resolve(out, "/d", nullptr), -1);
  EXPECT_EQ(path_resolve(nullptr, "/d", "x"), -1);
}

TEST(PathResolve, OutputIsCutAt127Characters) {
  std::string file = "/" + std::string(300, 'a');
  char out[PATH_RESOLVE_SIZE + 8];
  memset(out, '#', sizeof out);
  path_resolve(out, "/d", file.c_str());
  EXPECT_EQ(strlen(out), PATH_RESOLVE_SIZE - 1);
  EXPECT_EQ(out[PATH_RESOLVE_SIZE], '#');
}

TEST(PathAppendDir, AppendsAndClimbs) {
  PathPtr p = parse_dir("");
  ASSERT_EQ(path_append_dir(p.get(), "x"), 0);
  EXPECT_STREQ(p->directory, "/x");  // an empty directory becomes absolute
  path_append_dir(p.get(), "y");
  EXPECT_STREQ(p->directory, "/x/y");
  path_append_dir(p.get(), ".");
  path_append_dir(p.get(), "[]");
  EXPECT_STREQ(p->directory, "/x/y");
  path_append_dir(p.get(), "..");
  EXPECT_STREQ(p->directory, "/x");
  path_append_dir(p.get(), "[-]");
  EXPECT_STREQ(p->directory, "/");
  path_append_dir(p.get(), "..");
  EXPECT_STREQ(p->directory, "/");  // the root stays

  PathPtr rel = parse_dir("a");
  path_append_dir(rel.get(), "..");
  EXPECT_STREQ(rel->directory, "");

  EnvVar sub("ZQSUBDIR", "msg");
  PathPtr m = parse_dir("/root/");
  path_append_dir(m.get(), "{ZQSUBDIR}");
  EXPECT_STREQ(m->directory, "/root/msg");
  EXPECT_EQ(path_append_dir(m.get(), nullptr), -1);

  PathPtr full = parse_dir(("/" + std::string(250, 'd')).c_str());
  path_append_dir(full.get(), "abcdefghij");
  EXPECT_EQ(strlen(full->directory), PATH_DIR_SIZE - 1);
}

TEST(PathSetters, FileNameExtensionAndPattern) {
  EnvVar lang("ZQLANGX", "en");
  PathPtr p = parse_dir("/msg");
  ASSERT_EQ(path_set_file(p.get(), "{ZQLANGX}.lst"), 0);
  EXPECT_STREQ(p->file, "en.lst");
  EXPECT_STREQ(p->pattern, "");
  path_set_ext(p.get(), ".txt");
  EXPECT_STREQ(p->file, "en.txt");
  path_set_ext(p.get(), "");
  EXPECT_STREQ(p->file, "en");
  path_set_ext(p.get(), "ct");
  EXPECT_STREQ(p->file, "en.ct");

  path_set_file(p.get(), "*.txt");
  EXPECT_STREQ(p->pattern, "*.txt");
  path_set_ext(p.get(), "lst");
  EXPECT_STREQ(p->file, "*.lst");
  EXPECT_STREQ(p->pattern, "*.lst");

  path_set_file(p.get(), ".hidden");
  path_set_ext(p.get(), "x");
  EXPECT_STREQ(p->file, ".hidden.x");  // a leading dot is no extension
  path_set_file(p.get(), "");
  path_set_ext(p.get(), "x");
  EXPECT_STREQ(p->file, "");  // an empty name gets no extension

  path_set_file(p.get(), std::string(127, 'f').c_str());
  path_set_ext(p.get(), "ext");
  EXPECT_EQ(strlen(p->file), PATH_FILE_SIZE - 1);

  path_set_node(p.get(), "host");
  path_set_device(p.get(), "Z");
  path_set_pattern(p.get(), "a*");
  EXPECT_STREQ(p->node, "host");
  EXPECT_STREQ(p->device, "Z");
  EXPECT_STREQ(p->pattern, "a*");
  EXPECT_EQ(path_set_ext(p.get(), nullptr), -1);
}

TEST(PathSplitName, SplitsAtTheLastDot) {
  char base[8];
  char ext[8];
  ASSERT_EQ(path_split_name("a.b.txt", base, sizeof base, ext, sizeof ext), 0);
  EXPECT_STREQ(base, "a.b");
  EXPECT_STREQ(ext, "txt");
  path_split_name("noext", base, sizeof base, ext, sizeof ext);
  EXPECT_STREQ(base, "noext");
  EXPECT_STREQ(ext, "");
  path_split_name(".prof", base, sizeof base, ext, sizeof ext);
  EXPECT_STREQ(base, ".prof");
  EXPECT_STREQ(ext, "");
  path_split_name("verylongname.extension", base, sizeof base, ext, sizeof ext);
  EXPECT_STREQ(base, "verylon");
  EXPECT_STREQ(ext, "extensi");
  EXPECT_EQ(path_split_name(nullptr, base, sizeof base, ext, sizeof ext), -1);
}

TEST(PathPackTime, FieldsLandInTheirBits) {
  uint32_t t = path_pack_time(2024, 12, 31, 23, 59, 58);
  EXPECT_EQ(t & 0x3F, 58u);
  EXPECT_EQ((t >> 6) & 0x3F, 59u);
  EXPECT_EQ((t >> 12) & 0x1F, 23u);
  EXPECT_EQ((t >> 17) & 0x1F, 31u);
  EXPECT_EQ((t >> 22) & 0x0F, 12u);
  EXPECT_EQ(t >> 26, 44u);
  EXPECT_EQ(path_pack_time(2044, 1, 1, 0, 0, 0) >> 26, 0u);  // modulo 64
}

TEST(PathFileSystem, ExistsTellsKinds) {
  TempDir tmp;
  tmp.file("plain.txt");
  tmp.file("ro.txt");
  tmp.file(".hidden");
  tmp.dir("sub");
  ASSERT_EQ(chmod(tmp.sub("ro.txt").c_str(), 0444), 0);
  EXPECT_EQ(path_exists(parse(tmp.sub("plain.txt").c_str()).get()), PATH_EXISTS_FILE);
  EXPECT_EQ(path_exists(parse(tmp.sub("ro.txt").c_str()).get()), PATH_EXISTS_READONLY);
  EXPECT_EQ(path_exists(parse(tmp.sub(".hidden").c_str()).get()), PATH_EXISTS_SPECIAL);
  EXPECT_EQ(path_exists(parse(tmp.sub("sub").c_str()).get()), PATH_EXISTS_SPECIAL);
  EXPECT_EQ(path_exists(parse_dir(tmp.sub("sub").c_str()).get()), PATH_EXISTS_SPECIAL);
  EXPECT_EQ(path_exists(parse(tmp.sub("none").c_str()).get()), PATH_EXISTS_NOT);
  EXPECT_EQ(path_exists(parse("").get()), PATH_EXISTS_NOT);
}

TEST(PathFileSystem, HelpersCreateAndRemove) {
  TempDir tmp;
  PathPtr deep = parse((tmp.path() + "/a/b/c/file.ct").c_str());
  ASSERT_EQ(path_make_dirs(deep.get()), 0);
  EXPECT_EQ(path_make_dirs(deep.get()), 0);  // existing: no error
  PathPtr dir = parse_dir((tmp.path() + "/a/b/c").c_str());
  EXPECT_EQ(path_status(dir.get()), PATH_KIND_DIR);

  ASSERT_EQ(path_create_file(deep.get()), 0);
  EXPECT_EQ(path_status(deep.get()), PATH_KIND_FILE);
  EXPECT_EQ(deep->size, 0u);
  FILE* f = path_fopen(deep.get(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("12345", f);
  fclose(f);
  EXPECT_EQ(path_status(deep.get()), PATH_KIND_FILE);
  EXPECT_EQ(deep->size, 5u);
  EXPECT_NE(deep->date_time, 0u);
  ASSERT_EQ(path_create_file(deep.get()), 0);  // truncates
  path_status(deep.get());
  EXPECT_EQ(deep->size, 0u);

  EXPECT_EQ(path_remove_dir(dir.get()), -1);  // not empty
  EXPECT_EQ(path_delete_file(deep.get()), 0);
  EXPECT_EQ(path_delete_file(deep.get()), -1);
  EXPECT_EQ(path_status(deep.get()), -1);
  EXPECT_EQ(path_fopen(deep.get(), "rb"), nullptr);
  EXPECT_EQ(path_remove_dir(dir.get()), 0);
  EXPECT_EQ(path_status(dir.get()), -1);

  // A file in the way of a directory.
  tmp.file("blocker");
  PathPtr blocked = parse_dir((tmp.path() + "/blocker/x").c_str());
  EXPECT_EQ(path_make_dirs(blocked.get()), -1);
}

TEST(PathFileSystem, CurrentDirectoryText) {
  TempDir tmp;
  InDir in(tmp.path());
  char buf[PATH_CWD_TEXT_SIZE];
  ASSERT_EQ(path_cwd_text(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), cwd());
  char small[4];
  EXPECT_EQ(path_cwd_text(small, sizeof small), -1);
  PathPtr empty = parse("");
  EXPECT_EQ(path_status(empty.get()), PATH_KIND_DIR);  // "" is the current directory
}

TEST(PathSearch, FindsTheFirstElementHoldingTheName) {
  TempDir tmp;
  tmp.dir("a");
  tmp.dir("b");
  tmp.dir("b/msg");
  tmp.file("b/msg/m.txt");
  tmp.dir("c");
  tmp.dir("c/msg");
  tmp.file("c/msg/m.txt");
  std::string list = tmp.sub("a") + ";" + tmp.sub("b") + ";" + tmp.sub("c");
  PathPtr found(path_search(list.c_str(), "msg/m.txt"));
  ASSERT_TRUE(found);
  EXPECT_EQ(posix(found.get()), tmp.sub("b/msg/m.txt"));

  std::string commas = tmp.sub("a") + "," + tmp.sub("c") + "," + tmp.sub("b") + "  ";
  PathPtr c(path_search(commas.c_str(), "msg/m.txt"));
  ASSERT_TRUE(c);
  EXPECT_EQ(posix(c.get()), tmp.sub("c/msg/m.txt"));

  EXPECT_EQ(path_search(tmp.sub("a").c_str(), "msg/m.txt"), nullptr);
  EXPECT_EQ(path_search(list.c_str(), "msg/none.txt"), nullptr);
  EXPECT_EQ(path_search(list.c_str(), nullptr), nullptr);
}

TEST(PathSearch, TheFirstCommaWinsOverSemicolons) {
  TempDir tmp;
  tmp.dir("a;b");
  tmp.file("a;b/x");
  tmp.dir("a");
  tmp.dir("c");
  tmp.file("c/y");
  InDir in(tmp.path());
  // "a;b,c" splits into "a;b" and "c".
  PathPtr x(path_search("a;b,c", "x"));
  ASSERT_TRUE(x);
  EXPECT_EQ(posix(x.get()), "a;b/x");
  PathPtr y(path_search("a;b,c", "y"));
  ASSERT_TRUE(y);
  EXPECT_EQ(posix(y.get()), "c/y");
  // Without commas the semicolons split.
  tmp.file("a/z");
  PathPtr z(path_search("c;a", "z"));
  ASSERT_TRUE(z);
  EXPECT_EQ(posix(z.get()), "a/z");
}

TEST(PathSearch, EmptyElementsAreTheCurrentDirectory) {
  TempDir tmp;
  tmp.file("here.txt");
  InDir in(tmp.path());
  PathPtr a(path_search("/nonexistent-zq,", "here.txt"));
  ASSERT_TRUE(a);
  EXPECT_EQ(posix(a.get()), cwd() + "/here.txt");
  PathPtr b(path_search("", "here.txt"));
  ASSERT_TRUE(b);
  PathPtr c(path_search(" ", "here.txt"));  // trailing blanks go first
  ASSERT_TRUE(c);
}

TEST(PathSearch, WithoutAListUsesZqpathThenZqroot) {
  TempDir tmp;
  tmp.dir("p");
  tmp.file("p/f1");
  tmp.dir("r");
  tmp.file("r/f2");
  {
    EnvVar path("ZQPATH", tmp.sub("p").c_str());
    EnvVar root("ZQROOT", tmp.sub("r").c_str());
    EXPECT_TRUE(PathPtr(path_search(nullptr, "f1")));
    EXPECT_FALSE(PathPtr(path_search(nullptr, "f2")));
  }
  {
    EnvVar path("ZQPATH", nullptr);
    EnvVar root("ZQROOT", tmp.sub("r").c_str());
    EXPECT_TRUE(PathPtr(path_search(nullptr, "f2")));
  }
  {
    EnvVar path("ZQPATH", nullptr);
    EnvVar root("ZQROOT", nullptr);
    EXPECT_FALSE(PathPtr(path_search(nullptr, "f2")));
  }
}

TEST(PathList, ListsMatchesInNameOrder) {
  TempDir tmp;
  tmp.file("b.txt", "12");
  tmp.file("a.txt", "1");
  tmp.file("c.lst");
  tmp.file("noext");
  tmp.dir("d.txt");
  PathPtr p = parse((tmp.path() + "/*.txt").c_str());
  ASSERT_EQ(path_list_first(p.get()), 0);
  EXPECT_STREQ(p->file, "a.txt");
  EXPECT_EQ(p->kind, PATH_KIND_FILE);
  EXPECT_EQ(p->size, 1u);
  EXPECT_NE(p->date_time, 0u);
  ASSERT_EQ(path_list_next(p.get()), 0);
  EXPECT_STREQ(p->file, "b.txt");
  EXPECT_EQ(p->size, 2u);
  ASSERT_EQ(path_list_next(p.get()), 0);
  EXPECT_STREQ(p->file, "d.txt");
  EXPECT_EQ(p->kind, PATH_KIND_DIR);
  EXPECT_EQ(path_list_next(p.get()), -1);
  EXPECT_EQ(path_list_next(p.get()), -1);
  EXPECT_EQ(path_list_end(p.get()), 0);
  EXPECT_EQ(p->listing, nullptr);
  EXPECT_EQ(path_list_next(p.get()), -1);

  PathPtr all = parse_dir(tmp.path().c_str());
  int count = 0;
  for (int r = path_list_first(all.get()); r == 0; r = path_list_next(all.get())) ++count;
  path_list_end(all.get());
  EXPECT_EQ(count, 5);  // "*.*" is everything, names without a dot included

  PathPtr q = parse((tmp.path() + "/?.lst").c_str());
  ASSERT_EQ(path_list_first(q.get()), 0);
  EXPECT_STREQ(q->file, "c.lst");
  EXPECT_EQ(path_list_next(q.get()), -1);
  path_list_end(q.get());

  PathPtr none = parse((tmp.path() + "/*.none").c_str());
  EXPECT_EQ(path_list_first(none.get()), -1);
  EXPECT_EQ(none->listing, nullptr);
  PathPtr missing = parse_dir(tmp.sub("missing").c_str());
  EXPECT_EQ(path_list_first(missing.get()), -1);

  // An object freed with its listing still open loses nothing (checked by ASan).
  PathPtr open = parse_dir(tmp.path().c_str());
  ASSERT_EQ(path_list_first(open.get()), 0);
}

}  // namespace
