// Operator values per tag type, and tag names from references and back.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/app_files.h"
#include "tools/app_values.h"

namespace {

std::string round_trip(uint16_t type, const std::string& text, uint16_t capacity = 10) {
  AppValue v;
  std::string error = app_value_parse(type, capacity, text, &v);
  if (!error.empty()) return "error: " + error;
  if (type == TAG_MESSAGE) {
    MessageValue m;
    memcpy(&m, v.slot, sizeof m);
    EXPECT_EQ(m.text, v.text.data());  // the slot points at the value's own text
    EXPECT_EQ(m.length, v.text.size());
  }
  return app_value_show(v);
}

TEST(AppValue, ParsesAndShowsEachTypeWithinItsRange) {
  EXPECT_EQ(round_trip(TAG_DIGITAL, "1"), "1");
  EXPECT_EQ(round_trip(TAG_DIGITAL, "off"), "0");
  EXPECT_EQ(round_trip(TAG_DIGITAL, "TRUE"), "1");
  EXPECT_EQ(round_trip(TAG_DIGITAL, "2").rfind("error", 0), 0u);
  EXPECT_EQ(round_trip(TAG_ANALOG, "-32768"), "-32768");
  EXPECT_EQ(round_trip(TAG_ANALOG, "+32767"), "32767");
  EXPECT_EQ(round_trip(TAG_ANALOG, "32768").rfind("error", 0), 0u);
  EXPECT_EQ(round_trip(TAG_ANALOG, "12x").rfind("error", 0), 0u);
  EXPECT_EQ(round_trip(TAG_ANALOG, "").rfind("error", 0), 0u);
  EXPECT_EQ(round_trip(TAG_LONG, "-2147483648"), "-2147483648");
  EXPECT_EQ(round_trip(TAG_LONG, "2147483648").rfind("error", 0), 0u);
  EXPECT_EQ(round_trip(TAG_FLOAT, "0.1"), "0.1");  // shortest exact form
  EXPECT_EQ(round_trip(TAG_FLOAT, "-2e3"), "-2000");
  EXPECT_EQ(round_trip(TAG_FLOAT, "1.5.2").rfind("error", 0), 0u);
  EXPECT_EQ(round_trip(TAG_MESSAGE, "say \"hi\"\n"), "\"say \\\"hi\\\"\\n\"");
  EXPECT_EQ(round_trip(TAG_MESSAGE, "0123456789"), "\"0123456789\"");
  EXPECT_EQ(round_trip(TAG_MESSAGE, "0123456789a").rfind("error", 0), 0u);  // capacity 10
  EXPECT_EQ(round_trip(TAG_MAILBOX, "1").rfind("error", 0), 0u);
}

TEST(AppObjectIndex, NamesElementsFromReferencesAndBack) {
  std::vector<AppObject> objects(3);
  objects[0].name = "T";
  objects[0].type = TAG_ANALOG;
  objects[0].dims = {3, 4};
  objects[0].elements = 12;
  objects[0].first = {TAG_ANALOG, 5};
  objects[1].name = "A";
  objects[1].type = TAG_ANALOG;
  objects[1].first = {TAG_ANALOG, 1};
  objects[2].name = "D";
  objects[2].type = TAG_DIGITAL;
  objects[2].first = {TAG_DIGITAL, 1};
  AppObjectIndex index(objects);
  EXPECT_EQ(index.name_of({TAG_ANALOG, 1}), "A");
  EXPECT_EQ(index.name_of({TAG_ANALOG, 5}), "T[0][0]");
  EXPECT_EQ(index.name_of({TAG_ANALOG, 5 + 2 * 4 + 3}), "T[2][3]");
  EXPECT_EQ(index.name_of({TAG_ANALOG, 5 + 12}), "");  // past the last element
  EXPECT_EQ(index.name_of({TAG_ANALOG, 2}), "");       // a gap
  EXPECT_EQ(index.name_of({TAG_DIGITAL, 1}), "D");
  EXPECT_EQ(index.name_of({TAG_FLOAT, 1}), "");
  EXPECT_EQ(index.name_of({TAG_DIGITAL, 0}), "");

  std::string error;
  auto e = index.find("T[2][3]", &error);
  ASSERT_TRUE(e) << error;
  EXPECT_EQ(e->linear, 11u);
  EXPECT_TRUE(tag_ref_equal(e->ref, TagRef{TAG_ANALOG, 16}));
  EXPECT_FALSE(index.find("T[3][0]", &error));
  EXPECT_FALSE(index.find("T[1]", &error));
  EXPECT_FALSE(index.find("T", &error));
  EXPECT_NE(error.find("T[0][0]"), std::string::npos);
  EXPECT_TRUE(index.find("T", &error, /*whole_array=*/true));
  EXPECT_FALSE(index.find("A[0]", &error));
  EXPECT_FALSE(index.find("X", &error));
  EXPECT_FALSE(index.find("T[1]x", &error));
}

}  // namespace
