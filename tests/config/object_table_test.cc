// Object names, the object-table lookup across several tables, element
// resolution, and the tools' side (numbering, writing, reading back).
#include "config/object_table.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/ct_writer.h"
#include "config_test_util.h"

namespace {

struct Parsed {
  int status;
  ObjectName name;
};

Parsed parse(const char* text) {
  Parsed p;
  object_name_reset(&p.name);
  p.status = object_name_parse(&p.name, text);
  return p;
}

std::string format(const ObjectName& n, int parts, size_t size = 64) {
  std::string out(size, '#');
  object_name_format(&n, parts, out.data(), size);
  return out.c_str();
}

constexpr int kKey = OBJECT_PART_NODE | OBJECT_PART_NAME | OBJECT_PART_MEMBER;
constexpr int kAll = kKey | OBJECT_PART_INDEX;

TEST(ObjectNameParse, SplitsNodeNameIndexAndMember) {
  Parsed a = parse("PLC1:BLOCK1");
  ASSERT_EQ(a.status, OBJ_OK);
  EXPECT_STREQ(a.name.node, "PLC1");
  EXPECT_STREQ(a.name.name, "BLOCK1");
  EXPECT_STREQ(a.name.index, "");

  Parsed b = parse("BLOCK1.x");
  ASSERT_EQ(b.status, OBJ_OK);
  EXPECT_STREQ(b.name.name, "BLOCK1");
  EXPECT_STREQ(b.name.member, "x");

  Parsed c = parse("T[2][3]");
  ASSERT_EQ(c.status, OBJ_OK);
  EXPECT_STREQ(c.name.name, "T");
  EXPECT_STREQ(c.name.index, "[2][3]");

  Parsed d = parse("N:T[2][3].m");
  ASSERT_EQ(d.status, OBJ_OK);
  EXPECT_STREQ(d.name.node, "N");
  EXPECT_STREQ(d.name.index, "[2][3]");
  EXPECT_STREQ(d.name.member, "m");

  Parsed e = parse("A.B");
  ASSERT_EQ(e.status, OBJ_OK);
  EXPECT_STREQ(e.name.name, "A");
  EXPECT_STREQ(e.name.member, "B");
  EXPECT_EQ(format(e.name, kKey), "A.B");

  Parsed f = parse("$T@_1:_x$@9");
  ASSERT_EQ(f.status, OBJ_OK);
  EXPECT_STREQ(f.name.node, "$T@_1");
  EXPECT_STREQ(f.name.name, "_x$@9");

  Parsed g = parse("T[0065533]");  // leading zeros are digits like any other
  EXPECT_EQ(g.status, OBJ_OK);
}

TEST(ObjectNameParse, MisplacedSeparatorsAreSyntaxErrors) {
  for (const char* text : {":BLOCK1", "A:B:C", "BLOCK1.", "A.B.C", "T.m[2]", "T[1]:x", "N:", "",
                           "[1]", ".m", "N:.m", "T[1].m.n"}) {
    EXPECT_EQ(parse(text).status, OBJ_ESYNTAX) << text;
  }
}

TEST(ObjectNameParse, CharactersLengthsAndIndexSyntax) {
  struct Case {
    const char* text;
    int status;
  };
  const std::string n49(49, 'A');
  const std::string bad49 = "!" + std::string(48, 'A');
  const std::string n48 = "N:" + std::string(32, 'A') + "[1][2][3][4]";  // key of 34
  const Case cases[] = {
      {n49.c_str(), OBJ_ETOOLONG},
      {bad49.c_str(), OBJ_ETOOLONG},  // length before anything else
      {"NODE56789:T", OBJ_ETOOLONG},
      {"NODE5678:T", OBJ_OK},
      {"1ABC", OBJ_ECHAR},
      {"1N:T", OBJ_ECHAR},
      {"A-B", OBJ_ECHAR},
      {"N!:T", OBJ_ECHAR},
      {"T.1m", OBJ_ECHAR},
      {"T.m-x", OBJ_ECHAR},
      {"T.abcdefghijklmnopq", OBJ_ETOOLONG},  // member of 17
      {"T.abcdefghijklmnop", OBJ_OK},
      {"T[2]x", OBJ_EINDEX},
      {"T[65534]", OBJ_EINDEX},
      {"T[65533]", OBJ_OK},
      {"T[255][255]", OBJ_EINDEX},  // 256 * 256 elements
      {"T[1][32766]", OBJ_OK},      // 2 * 32767 = 65534
      {"T[]", OBJ_EINDEX},
      {"T[1", OBJ_EINDEX},
      {"T[a]", OBJ_EINDEX},
      {"T[1.2]", OBJ_EINDEX},
      {"T[1] [2]", OBJ_EINDEX},
      {"T[1][[2]", OBJ_EINDEX},  // a later "[" is an ordinary character
      {"T[1][1][1][1][1][1]", OBJ_EINDEXLONG},
      {"T[99999999999999]", OBJ_EINDEX},
      {n48.c_str(), OBJ_ETOOLONG},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.text).status, c.status) << c.text;

  const std::string name32(32, 'A');
  EXPECT_EQ(parse(name32.c_str()).status, OBJ_OK);
  EXPECT_EQ(parse((name32 + "B").c_str()).status, OBJ_ETOOLONG);
  // Every part fits, but node:name.member passes 32 characters.
  EXPECT_EQ(parse("NODE5678:ABCDEFGHIJKLMNOPQRST.abcdefghij").status, OBJ_ETOOLONG);
  EXPECT_EQ(parse("NODE5678:ABCDEFGHIJKLMNOPQRS.abc").status, OBJ_OK);
}

TEST(ObjectNameParse, BytesOutsideTheCharacterClassificationAreRefused) {
  // In the "C" classification the bytes of a UTF-8 letter are not letters.
  EXPECT_EQ(parse("caf\xc3\xa9").status, OBJ_ECHAR);
}

TEST(ObjectNameParse, ObjectsNeedTheMarkerAndArguments) {
  ObjectName stale;
  memset(&stale, 0, sizeof stale);
  EXPECT_EQ(object_name_parse(&stale, "T"), OBJ_EINVALID);
  EXPECT_EQ(object_name_format(&stale, kAll, nullptr, 0), OBJ_EINVALID);
  uint8_t record[OBJECT_RECORD_SIZE];
  CtFile ct{};
  EXPECT_EQ(object_find(&stale, &ct, record), OBJ_EINVALID);
  TagRef ref;
  EXPECT_EQ(object_resolve(&stale, &ct, &ref), OBJ_EINVALID);
  object_name_free(&stale);  // ignored: no marker

  ObjectName* n = object_name_new();
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->marker, OBJECT_NAME_MARKER);
  EXPECT_EQ(object_name_parse(n, nullptr), OBJ_EARG);
  EXPECT_EQ(object_name_parse(nullptr, "T"), OBJ_EARG);
  EXPECT_EQ(object_find(n, nullptr, record), OBJ_EARG);
  EXPECT_EQ(object_find(n, &ct, nullptr), OBJ_EARG);
  EXPECT_EQ(object_resolve(n, &ct, nullptr), OBJ_EARG);
  ASSERT_EQ(object_name_parse(n, "N:A[1].m"), OBJ_OK);
  ASSERT_EQ(object_name_parse(n, "B"), OBJ_OK);  // a new parse resets every part
  EXPECT_STREQ(n->node, "");
  EXPECT_STREQ(n->index, "");
  EXPECT_STREQ(n->member, "");
  object_name_free(n);
}

TEST(ObjectNameFormat, WritesTheAskedPartsCutToTheRoom) {
  Parsed p = parse("PLC1:T[2][3].m");
  ASSERT_EQ(p.status, OBJ_OK);
  EXPECT_EQ(format(p.name, kAll), "PLC1:T[2][3].m");
  EXPECT_EQ(format(p.name, kKey), "PLC1:T.m");
  EXPECT_EQ(format(p.name, OBJECT_PART_NODE), "PLC1");  // no ":" for the node alone
  EXPECT_EQ(format(p.name, OBJECT_PART_NAME | OBJECT_PART_INDEX), "T[2][3]");
  EXPECT_EQ(format(p.name, OBJECT_PART_MEMBER), ".m");
  EXPECT_EQ(format(p.name, 0), "");

  Parsed plain = parse("T");
  EXPECT_EQ(format(plain.name, kAll), "T");

  char small[6];
  memset(small, '#', sizeof small);
  EXPECT_EQ(object_name_format(&p.name, kAll, small, 5), 14);  // the length it needs
  EXPECT_STREQ(small, "PLC1");
  EXPECT_EQ(small[5], '#');
  EXPECT_EQ(object_name_format(&p.name, kAll, nullptr, 0), 14);
  EXPECT_EQ(object_name_format(&p.name, kAll, nullptr, 4), OBJ_EARG);
  EXPECT_EQ(object_name_format(&p.name, kAll, small, 1), 14);
  EXPECT_STREQ(small, "");
}

ObjectRecord record(const char* name, uint16_t type, const char* dims = "", uint16_t capacity = 0,
                    const char* description = "") {
  ObjectRecord r;
  memset(&r, 0, sizeof r);
  snprintf(r.name, sizeof r.name, "%s", name);
  r.tag_type = type;
  snprintf(r.dimensions, sizeof r.dimensions, "%s", dims);
  r.capacity = capacity;
  snprintf(r.description, sizeof r.description, "%s", description);
  return r;
}

class ObjectTableTest : public ::testing::Test {
 protected:
  void SetUp() override { tmp_.dir("ct"); }
  std::string table_path() const { return tmp_.sub("ct/object.ct"); }

  // Numbers the records like the kernel and writes them.
  void write(std::vector<ObjectRecord> records, uint32_t per_table = 3) {
    ASSERT_EQ(object_assign_refs(&records), CT_OK);
    records_ = records;
    ASSERT_EQ(object_table_write(table_path().c_str(), records, per_table), CT_OK);
  }
  void open(CtFile* ct) { ASSERT_EQ(object_table_open(ct, tmp_.path().c_str()), CT_OK); }

  int resolve(CtFile* ct, const char* text, TagRef* out) {
    Parsed p = parse(text);
    if (p.status != OBJ_OK) return p.status;
    return object_resolve(&p.name, ct, out);
  }
  int find(CtFile* ct, const char* text, ObjectRecord* out = nullptr) {
    Parsed p = parse(text);
    EXPECT_EQ(p.status, OBJ_OK) << text;
    uint8_t bytes[OBJECT_RECORD_SIZE];
    int status = object_find(&p.name, ct, bytes);
    if (status == OBJ_OK && out != nullptr) object_record_decode(bytes, out);
    return status;
  }
  const ObjectRecord& by_name(const char* name) const {
    for (const ObjectRecord& r : records_) {
      if (strcmp(r.name, name) == 0) return r;
    }
    ADD_FAILURE() << name;
    return records_.front();
  }

  std::vector<ObjectRecord> sample() const {
    return {record("T", TAG_ANALOG, "[4][5]"),
            record("B1", TAG_DIGITAL),
            record("MSG", TAG_MESSAGE, "", 40, "a text"),
            record("F", TAG_FLOAT),
            record("PLC1:BLOCK1", TAG_ANALOG),
            record("X.m", TAG_LONG),
            record("MBX", TAG_MAILBOX),
            record("V", TAG_DIGITAL, "[3]"),
            record("A0", TAG_ANALOG),
            record("ZZ", TAG_LONG)};
  }

  TempDir tmp_;
  std::vector<ObjectRecord> records_;
};

TEST_F(ObjectTableTest, EveryNameIsFoundAcrossSeveralTables) {
  write(sample(), 3);
  CtFile ct;
  open(&ct);
  EXPECT_EQ(ct.header.table_count, 4u);  // 10 records, 3 per table
  for (const ObjectRecord& r : records_) {
    ObjectRecord found;
    ASSERT_EQ(find(&ct, r.name, &found), OBJ_OK) << r.name;
    EXPECT_STREQ(found.name, r.name);
    EXPECT_EQ(found.tag.type, r.tag.type);
    EXPECT_EQ(found.tag.index, r.tag.index);
    EXPECT_EQ(found.tag_type, r.tag_type);
  }
  for (const char* missing : {"AA", "A", "C", "MBY", "N", "Y", "ZZZ", "Z", "PLC1:BLOCK2"}) {
    EXPECT_EQ(find(&ct, missing), OBJ_ENOTFOUND) << missing;
  }
  ct_close(&ct);
}

TEST_F(ObjectTableTest, LargeTablesSplitAndStaySearchable) {
  std::vector<ObjectRecord> many;
  for (int i = 0; i < 500; ++i) {
    char name[16];
    snprintf(name, sizeof name, "TAG%04d", (i * 7919) % 500);  // unsorted input
    many.push_back(record(name, static_cast<uint16_t>(i % 5)));
  }
  write(many, 64);
  CtFile ct;
  open(&ct);
  EXPECT_EQ(ct.header.table_count, 8u);
  for (const ObjectRecord& r : records_) {
    ObjectRecord found;
    ASSERT_EQ(find(&ct, r.name, &found), OBJ_OK) << r.name;
    EXPECT_TRUE(tag_ref_equal(found.tag, r.tag)) << r.name;
  }
  EXPECT_EQ(find(&ct, "TAG0500"), OBJ_ENOTFOUND);
  EXPECT_EQ(find(&ct, "TAG"), OBJ_ENOTFOUND);
  ct_close(&ct);
}

TEST_F(ObjectTableTest, ElementsResolveToTheirReference) {
  write(sample());
  CtFile ct;
  open(&ct);
  const TagRef t = by_name("T").tag;
  TagRef ref = {0, 0};
  ASSERT_EQ(resolve(&ct, "T[2][3]", &ref), OBJ_OK);
  EXPECT_EQ(ref.type, t.type);
  EXPECT_EQ(ref.index, t.index + 13);  // 2 * 5 + 3
  ASSERT_EQ(resolve(&ct, "T[3][4]", &ref), OBJ_OK);
  EXPECT_EQ(ref.index, t.index + 19);
  ASSERT_EQ(resolve(&ct, "T[0][0]", &ref), OBJ_OK);
  EXPECT_EQ(ref.index, t.index);
  ref = TagRef{7, 7};
  EXPECT_EQ(resolve(&ct, "T[4][0]", &ref), OBJ_EBOUND);
  EXPECT_EQ(resolve(&ct, "T[0][5]", &ref), OBJ_EBOUND);
  EXPECT_EQ(resolve(&ct, "T[2]", &ref), OBJ_EDIMS);
  EXPECT_EQ(resolve(&ct, "T", &ref), OBJ_EDIMS);
  EXPECT_EQ(resolve(&ct, "T[1][1][1]", &ref), OBJ_EDIMS);
  EXPECT_TRUE(tag_ref_equal(ref, TagRef{7, 7}));  // untouched on failure

  ASSERT_EQ(resolve(&ct, "B1", &ref), OBJ_OK);
  EXPECT_TRUE(tag_ref_equal(ref, by_name("B1").tag));
  EXPECT_EQ(resolve(&ct, "B1[0]", &ref), OBJ_EDIMS);
  ASSERT_EQ(resolve(&ct, "V[2]", &ref), OBJ_OK);
  EXPECT_EQ(ref.index, by_name("V").tag.index + 2);
  ASSERT_EQ(resolve(&ct, "PLC1:BLOCK1", &ref), OBJ_OK);
  EXPECT_TRUE(tag_ref_equal(ref, by_name("PLC1:BLOCK1").tag));
  ASSERT_EQ(resolve(&ct, "X.m", &ref), OBJ_OK);
  EXPECT_EQ(resolve(&ct, "NOPE", &ref), OBJ_ENOTFOUND);
  ct_close(&ct);
}

TEST_F(ObjectTableTest, DamagedDimensionsAndReferencesAreRefused) {
  std::vector<ObjectRecord> records = {record("BIG", TAG_ANALOG), record("BAD", TAG_ANALOG),
                                       record("TOP", TAG_ANALOG)};
  ASSERT_EQ(object_assign_refs(&records), CT_OK);
  snprintf(records[0].dimensions, sizeof records[0].dimensions, "[70000]");
  snprintf(records[1].dimensions, sizeof records[1].dimensions, "[4]x");
  snprintf(records[2].dimensions, sizeof records[2].dimensions, "[10]");
  records[2].tag.index = 65530;
  ASSERT_EQ(object_table_write(table_path().c_str(), records), CT_OK);
  CtFile ct;
  open(&ct);
  TagRef ref;
  EXPECT_EQ(resolve(&ct, "BIG[1]", &ref), OBJ_EBOUND);  // a bound above 65534
  EXPECT_EQ(resolve(&ct, "BAD[1]", &ref), OBJ_ENOTFOUND);
  ASSERT_EQ(resolve(&ct, "TOP[5]", &ref), OBJ_OK);
  EXPECT_EQ(ref.index, 65535);
  EXPECT_EQ(resolve(&ct, "TOP[6]", &ref), OBJ_EBOUND);  // index past 16 bits
  ct_close(&ct);
}

TEST_F(ObjectTableTest, AnEmptyTableEndsTheSearch) {
  std::vector<CtTable> tables(3);
  const char* names[3][2] = {{"A", "C"}, {nullptr, nullptr}, {"X", "Z"}};
  for (int t = 0; t < 3; ++t) {
    tables[t].record_size = OBJECT_RECORD_SIZE;
    for (const char* n : names[t]) {
      if (n == nullptr) continue;
      uint8_t bytes[OBJECT_RECORD_SIZE];
      object_record_encode(record(n, TAG_DIGITAL), bytes);
      ct_table_add_record(&tables[t], bytes, sizeof bytes);
    }
  }
  ASSERT_EQ(ct_write_file(table_path().c_str(), tables), CT_OK);
  CtFile ct;
  open(&ct);
  EXPECT_EQ(find(&ct, "C"), OBJ_OK);
  EXPECT_EQ(find(&ct, "Y"), OBJ_ENOTFOUND);  // never reached past the empty table
  ct_close(&ct);
}

TEST_F(ObjectTableTest, RecordSizesOtherThan170AreRefused) {
  std::vector<CtTable> tables(1);
  tables[0].record_size = 169;
  ct_table_add_record(&tables[0], "A", 1);
  ASSERT_EQ(ct_write_file(table_path().c_str(), tables), CT_OK);
  CtFile ct;
  EXPECT_EQ(object_table_open(&ct, tmp_.path().c_str()), CT_ERANGE);
  EXPECT_EQ(ct.state, nullptr);  // closed again

  // A later table of other records: the search stops rather than overrun.
  std::vector<CtTable> mixed(2);
  mixed[0].record_size = OBJECT_RECORD_SIZE;
  uint8_t bytes[OBJECT_RECORD_SIZE];
  object_record_encode(record("A", TAG_DIGITAL), bytes);
  ct_table_add_record(&mixed[0], bytes, sizeof bytes);
  mixed[1].record_size = 400;
  std::vector<uint8_t> wide(400, 'Z');
  ct_table_add_record(&mixed[1], wide.data(), wide.size());
  ASSERT_EQ(ct_write_file(table_path().c_str(), mixed), CT_OK);
  open(&ct);
  EXPECT_EQ(find(&ct, "A"), OBJ_OK);
  EXPECT_EQ(find(&ct, "B"), OBJ_ENOTFOUND);
  ct_close(&ct);

  EXPECT_EQ(object_table_open(&ct, tmp_.sub("nowhere").c_str()), CT_EOPEN);
  std::vector<CtTable> none;
  ASSERT_EQ(ct_write_file(table_path().c_str(), none), CT_OK);
  EXPECT_EQ(object_table_open(&ct, tmp_.path().c_str()), CT_ETABLE);
  EXPECT_EQ(ct.state, nullptr);
}

TEST_F(ObjectTableTest, ResolveObjectTagUsesTheApplicationDirectory) {
  write(sample());
  EnvVar app("ZQAPP", tmp_.path().c_str());
  TagRef ref = {0, 0};
  ASSERT_EQ(resolve_object_tag("T[1][1]", &ref), 0);
  EXPECT_EQ(ref.index, by_name("T").tag.index + 6);
  EXPECT_EQ(resolve_object_tag("MBX", &ref), 0);
  EXPECT_EQ(ref.type, TAG_MAILBOX);
  EXPECT_EQ(resolve_object_tag("NOPE", &ref), -1);
  EXPECT_EQ(resolve_object_tag("1BAD", &ref), -1);
  EXPECT_EQ(resolve_object_tag("T[9][9]", &ref), -1);
  EXPECT_EQ(resolve_object_tag(nullptr, &ref), -1);
  EXPECT_EQ(resolve_object_tag("T", nullptr), -1);
  EnvVar elsewhere("ZQAPP", tmp_.sub("none").c_str());
  EXPECT_EQ(resolve_object_tag("MBX", &ref), -1);
}

TEST(ObjectRecords, EncodeAndDecodeEveryField) {
  ObjectRecord r =
      record("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", TAG_MESSAGE, "[1][1][1][1][1][1][10][10]", 80, "");
  std::string description(100, 'd');
  memcpy(r.description, description.c_str(), 101);
  r.elements = 100;
  r.tag = TagRef{3, 0xABCD};
  uint8_t bytes[OBJECT_RECORD_SIZE];
  object_record_encode(r, bytes);
  EXPECT_EQ(bytes[31], '5');  // all 32 name bytes, no terminator
  EXPECT_EQ(ct_get_u16(bytes + OBJECT_OFF_TYPE), TAG_MESSAGE);
  EXPECT_EQ(ct_get_u16(bytes + OBJECT_OFF_ELEMENTS), 100);
  EXPECT_EQ(ct_get_u16(bytes + OBJECT_OFF_CAPACITY), 80);
  EXPECT_EQ(ct_get_u16(bytes + OBJECT_OFF_ATTR_VERSION), OBJECT_ATTR_VERSION);
  EXPECT_EQ(bytes[166], 0x03);
  EXPECT_EQ(bytes[167], 0x00);
  EXPECT_EQ(bytes[168], 0xCD);
  EXPECT_EQ(bytes[169], 0xAB);
  ObjectRecord back;
  object_record_decode(bytes, &back);
  EXPECT_STREQ(back.name, r.name);
  EXPECT_STREQ(back.dimensions, "[1][1][1][1][1][1][10][10]");
  EXPECT_EQ(std::string(back.description), description);
  EXPECT_TRUE(tag_ref_equal(back.tag, r.tag));
  EXPECT_EQ(back.capacity, 80);
}

TEST(ObjectTools, ReferencesAreNumberedLikeTheKernelDoes) {
  std::vector<ObjectRecord> records = {
      record("A", TAG_ANALOG),       record("ARR", TAG_ANALOG, "[2][3]"),
      record("D", TAG_DIGITAL),      record("M", TAG_MESSAGE, "[2]", 32),
      record("B", TAG_ANALOG),       record("MB", TAG_MAILBOX),
      record("L", TAG_LONG, "", 99), record("F", TAG_FLOAT, "[4]")};
  ASSERT_EQ(object_assign_refs(&records), CT_OK);
  EXPECT_TRUE(tag_ref_equal(records[0].tag, TagRef{TAG_ANALOG, 1}));
  EXPECT_TRUE(tag_ref_equal(records[1].tag, TagRef{TAG_ANALOG, 2}));
  EXPECT_EQ(records[1].elements, 6);
  EXPECT_TRUE(tag_ref_equal(records[4].tag, TagRef{TAG_ANALOG, 8}));
  EXPECT_TRUE(tag_ref_equal(records[2].tag, TagRef{TAG_DIGITAL, 1}));
  EXPECT_TRUE(tag_ref_equal(records[5].tag, TagRef{TAG_MAILBOX, 1}));
  EXPECT_EQ(records[6].capacity, 0);  // only message tags keep a capacity
  EXPECT_EQ(records[3].capacity, 32);

  // The kernel, given the declarations rebuilt from the table, numbers alike.
  std::vector<ZqTagDecl> decls;
  ASSERT_EQ(object_kernel_declarations(records, &decls), CT_OK);
  ASSERT_EQ(decls.size(), records.size());
  std::vector<TagRef> firsts(decls.size());
  ZqDb* db = nullptr;
  ASSERT_EQ(zq_db_create(nullptr, decls.data(), static_cast<uint32_t>(decls.size()), nullptr,
                         firsts.data(), &db),
            0);
  zq_db_use(db);
  for (size_t i = 0; i < decls.size(); ++i) {
    bool matched = false;
    for (const ObjectRecord& r : records) matched |= tag_ref_equal(r.tag, firsts[i]);
    EXPECT_TRUE(matched) << i;
  }
  for (const ObjectRecord& r : records) {
    if (r.tag_type == TAG_MAILBOX) continue;
    uint16_t type = 0xFFFF;
    TagRef last = {r.tag.type, static_cast<uint16_t>(r.tag.index + r.elements - 1)};
    EXPECT_EQ(zq_tag_info(&last, 1, &type, nullptr), 0) << r.name;  // last element exists
  }
  TagRef past = {TAG_ANALOG, 9};  // A, ARR (6) and B take analog 1 to 8
  uint16_t type = 0;
  EXPECT_NE(zq_tag_info(&past, 1, &type, nullptr), 0);
  zq_db_use(nullptr);
  zq_db_destroy(db);
}

TEST(ObjectTools, BadDeclarationsAreRefused) {
  std::vector<ObjectRecord> bad_type = {record("A", 6)};
  EXPECT_EQ(object_assign_refs(&bad_type), CT_EARG);
  std::vector<ObjectRecord> bad_dims = {record("A", TAG_ANALOG, "[0]")};
  EXPECT_EQ(object_assign_refs(&bad_dims), CT_EARG);
  std::vector<ObjectRecord> junk_dims = {record("A", TAG_ANALOG, "4,5")};
  EXPECT_EQ(object_assign_refs(&junk_dims), CT_EARG);
  std::vector<ObjectRecord> no_name = {record("", TAG_ANALOG)};
  EXPECT_EQ(object_assign_refs(&no_name), CT_EARG);
  std::vector<ObjectRecord> full = {record("A", TAG_ANALOG, "[65534]"), record("B", TAG_ANALOG)};
  EXPECT_EQ(object_assign_refs(&full), CT_ETOOBIG);
  full.pop_back();
  EXPECT_EQ(object_assign_refs(&full), CT_OK);

  TempDir tmp;
  std::vector<ObjectRecord> twice = {record("A", TAG_ANALOG), record("A", TAG_DIGITAL)};
  EXPECT_EQ(object_table_write(tmp.sub("o.ct").c_str(), twice), CT_EARG);
  EXPECT_EQ(object_table_write(tmp.sub("o.ct").c_str(), no_name), CT_EARG);
  EXPECT_EQ(object_table_write(tmp.sub("o.ct").c_str(), full, 0), CT_EARG);

  std::vector<ObjectRecord> gap = {record("A", TAG_ANALOG)};
  gap[0].tag = TagRef{TAG_ANALOG, 2};
  gap[0].elements = 1;
  std::vector<ZqTagDecl> decls;
  EXPECT_EQ(object_kernel_declarations(gap, &decls), CT_EARG);
}

TEST(ObjectTools, TablesReadBackWhole) {
  TempDir tmp;
  std::vector<ObjectRecord> records;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    snprintf(name, sizeof name, "N%03d", 299 - i);
    records.push_back(record(name, TAG_LONG));
  }
  ASSERT_EQ(object_assign_refs(&records), CT_OK);
  std::string path = tmp.sub("o.ct");
  ASSERT_EQ(object_table_write(path.c_str(), records, 100), CT_OK);
  CtFile ct;
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  std::vector<ObjectRecord> back;
  ASSERT_EQ(object_table_read_all(&ct, &back), CT_OK);
  ct_close(&ct);
  ASSERT_EQ(back.size(), 300u);
  EXPECT_STREQ(back[0].name, "N000");  // sorted by name
  EXPECT_STREQ(back[299].name, "N299");
  EXPECT_EQ(back[0].tag.index, 300);  // declared last
  std::vector<ZqTagDecl> decls;
  EXPECT_EQ(object_kernel_declarations(back, &decls), CT_OK);

  std::vector<ObjectRecord> empty;
  ASSERT_EQ(object_table_write(path.c_str(), empty), CT_OK);
  ASSERT_EQ(ct_open(&ct, nullptr, path.c_str()), CT_OK);
  EXPECT_EQ(ct.header.table_count, 1u);  // one empty table, so the table opens
  ASSERT_EQ(object_table_read_all(&ct, &back), CT_OK);
  EXPECT_TRUE(back.empty());
  ct_close(&ct);
}

}  // namespace
