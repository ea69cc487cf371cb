// Triggered block reads end to end, for data sources of every unit size
// (bits, 1, 2 and 4 bytes) in both byte orders, with the simulator on
// QUANTREL's station (forced data-source tags) and on another station (read
// request messages): every converted tag must hold what the simulator's
// memory says.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "e2e_device.h"
#include "e2e_harness.h"

namespace {

using e2e::App;
using e2e::Block;

// The first 16 bytes of every unit-addressed block; bytes 8-9 are BCD digits.
const std::vector<uint8_t> kPattern = {0x12, 0xA5, 0x3C, 0x81, 0x7E, 0x01, 0xFF, 0x40,
                                       0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
constexpr const char* kText = "ABCDEFGH";  // bytes 16-23
constexpr int kTextLength = 7;
// Bytes 24-51: numbers as the device holds them (the simulator stores them
// in the block's byte order).
constexpr int32_t kLongs[2] = {305419896, -19088744};
constexpr double kFloats[2] = {1.5, -2.25};
constexpr double kDouble = 3.141592653589793;
constexpr int16_t kWords[2] = {-1234, 4321};
constexpr int kPatternAt = 0, kTextAt = 16, kLongsAt = 24, kFloatsAt = 32, kDoubleAt = 40,
              kWordsAt = 48, kBlockBytes = 52;
// The bits of the bit-addressed blocks, bit i = bit i of this number.
constexpr uint64_t kBitPattern = 0xB5C396E10F7A4D28ULL;
constexpr int kBitCount = 64;

struct Case {
  int unit;
  bool swap;
  std::string prefix() const { return "U" + std::to_string(unit) + (swap ? "S" : "N"); }
  // Variety beyond unit size and byte order, spread over the cases.
  bool low_bit_first() const { return swap; }
  bool one_based() const { return unit == 2 && swap; }
  bool absolute() const { return unit == 1 && swap; }
  int start() const { return unit == 2 ? 100 : (absolute() ? 50 : 0); }
  int count() const { return unit == 0 ? kBitCount : kBlockBytes / unit; }
  // Address of a byte offset in the configuration (absolute: device address).
  int addr(int byte) const { return (absolute() ? start() : 0) + byte / unit; }
  int device(int byte) const { return start() + byte / unit; }
  bool has_words() const { return unit <= 2; }

  Block block() const {
    Block b;
    b.unit_size = unit;
    b.byte_swap = swap;
    b.low_bit_first = low_bit_first();
    b.one_based_bits = one_based();
    if (unit == 0) {
      for (int i = 0; i < kBitCount; ++i) b.set_bit(i, (kBitPattern >> i) & 1u);
      return b;
    }
    b.bytes = kPattern;
    for (int k = 0; k < 8; ++k) b.bytes.push_back(static_cast<uint8_t>(kText[k]));
    b.bytes.resize(kBlockBytes, 0);
    return b;
  }
  int first_bit() const { return unit * e2e::BITS_PER_BYTE - 2 + (one_based() ? 1 : 0); }
};

const Case kCases[] = {{0, false}, {0, true}, {1, false}, {1, true},
                       {2, false}, {2, true}, {4, false}, {4, true}};

std::string tags_of(const Case& c) {
  std::string p = c.prefix();
  std::string t = p + " = \"digital\"\n" + p + "_READ = \"digital\"\n" + p +
                  "_STATUS = \"analog\"\n" + p + "_RDY = \"digital\"\n" + p +
                  "_WORD = \"analog\"\n" + p + "_BYTE = \"analog\"\n";
  if (c.unit == 0)
    return t + p + "_BITS = { type = \"digital\", dims = [16] }\n" + p + "_B37 = \"digital\"\n";
  return t + p + "_BLO = \"analog\"\n" + p + "_BHI = \"analog\"\n" + p + "_BCD = \"analog\"\n" + p +
         "_LWS = \"long\"\n" + p + "_BITS = { type = \"digital\", dims = [4] }\n" + p +
         "_TEXT = { type = \"message\", capacity = 16 }\n" + p +
         "_LONGS = { type = \"long\", dims = [2] }\n" + p +
         "_FLTS = { type = \"float\", dims = [2] }\n" + p + "_DBL = \"float\"\n" + p +
         "_WORDS = { type = \"analog\", dims = [2] }\n";
}

std::string conv(const std::string& tag, int address, const std::string& type,
                 const std::string& extra = "") {
  return "  { tag = \"" + tag + "\", address = " + std::to_string(address) + ", type = \"" + type +
         "\"" + extra + " },\n";
}

std::string source_of(const Case& c) {
  std::string p = c.prefix();
  std::string s = "[[quantrel.provider.source]]\nname = \"" + p +
                  "\"\nread_enabled = true\nread_trigger = \"" + p + "_READ\"\naddressing = \"" +
                  (c.absolute() ? "absolute" : "relative") + "\"\nstatus = \"" + p +
                  "_STATUS\"\nread_ready = \"" + p + "_RDY\"\nconversions = [\n";
  if (c.unit == 0) {
    s += conv(p + "_BITS[0]", 0, "DT_BIT", ", count = 16");
    s += conv(p + "_B37", 37, "DT_BIT");
    s += conv(p + "_WORD", 48, "DT_WORD");
    s += conv(p + "_BYTE", 40, "DT_BYTE");
    return s + "]\n\n";
  }
  s += conv(p + "_BLO", c.addr(0), "DT_BYTE_LO");
  s += conv(p + "_BHI", c.addr(0), "DT_BYTE_HI");
  s += conv(p + "_BYTE", c.addr(4), "DT_BYTE");
  s += conv(p + "_WORD", c.addr(4), "DT_WORD");
  s += conv(p + "_BCD", c.addr(8), "DT_BCD4");
  s += conv(p + "_LWS", c.addr(12), "DT_LONG_WS");
  s += conv(p + "_BITS[0]", c.addr(0), "DT_BIT",
            ", count = 4, bit = " + std::to_string(c.first_bit()));
  s += conv(p + "_TEXT", c.addr(kTextAt), "DT_STRING", ", length = " + std::to_string(kTextLength));
  s += conv(p + "_LONGS[0]", c.addr(kLongsAt), "DT_LONG", ", count = 2");
  s += conv(p + "_FLTS[0]", c.addr(kFloatsAt), "DT_FLOAT", ", count = 2");
  s += conv(p + "_DBL", c.addr(kDoubleAt), "DT_DOUBLE");
  if (c.has_words()) s += conv(p + "_WORDS[0]", c.addr(kWordsAt), "DT_WORD", ", count = 2");
  return s + "]\n\n";
}

std::string list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

std::string sim_source_of(const Case& c) {
  auto yes = [](bool b) { return b ? std::string("true") : std::string("false"); };
  std::string s =
      "[[source]]\nname = \"" + c.prefix() + "\"\nstart = " + std::to_string(c.start()) +
      "\ncount = " + std::to_string(c.count()) + "\nunit_size = " + std::to_string(c.unit) +
      "\nbyte_swap = " + yes(c.swap) + "\nlow_bit_first = " + yes(c.low_bit_first()) +
      "\none_based_bits = " + yes(c.one_based()) + "\n";
  auto init = [&](int byte, const std::string& what) {
    s += "[[source.init]]\nat = " + std::to_string(c.device(byte)) + "\n" + what + "\n";
  };
  if (c.unit == 0) {
    std::vector<std::string> bits;
    for (int i = 0; i < kBitCount; ++i) bits.push_back(std::to_string((kBitPattern >> i) & 1u));
    s += "[[source.init]]\nat = 0\nformat = \"unit\"\nvalues = " + list(bits) + "\n";
    return s + "\n";
  }
  std::vector<std::string> bytes;
  for (uint8_t b : kPattern) bytes.push_back(std::to_string(b));
  init(kPatternAt, "bytes = " + list(bytes));
  init(kTextAt, std::string("text = \"") + kText + "\"");
  init(kLongsAt, "format = \"int32\"\nvalues = " +
                     list({std::to_string(kLongs[0]), std::to_string(kLongs[1])}));
  init(kFloatsAt, "format = \"float32\"\nvalues = [1.5, -2.25]");
  init(kDoubleAt, "format = \"float64\"\nvalues = [3.141592653589793]");
  if (c.has_words())
    init(kWordsAt, "format = \"int16\"\nvalues = " +
                       list({std::to_string(kWords[0]), std::to_string(kWords[1])}));
  return s + "\n";
}

enum class Mode { kOwnStation, kRemote };
void PrintTo(Mode m, std::ostream* os) {
  *os << (m == Mode::kRemote ? "simulator on another station" : "simulator on QUANTREL's station");
}

std::string app_text(Mode mode) {
  std::string tags = "[tags]\n" + e2e::core_tags();
  std::string sources;
  for (const Case& c : kCases) {
    tags += tags_of(c);
    sources += source_of(c);
  }
  std::string args = mode == Mode::kRemote ? "-LS1 -d1" : "-d1";
  return tags + "\n" + e2e::core_tasks(args, "--trace") +
         "[[quantrel.provider]]\nmailbox = \"PLC1_MBX\"\n\n" + sources;
}

std::string sim_text(Mode mode) {
  std::string s =
      "[sim]\ntask = \"PLC1\"\nmailbox = \"PLC1_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n";
  s += mode == Mode::kRemote ? "station = 2\nquantrel_station = 1\n\n" : "\n";
  for (const Case& c : kCases) s += sim_source_of(c);
  return s;
}

void expect_tags(App& app, const Case& c) {
  SCOPED_TRACE("data source " + c.prefix());
  std::string p = c.prefix();
  Block b = c.block();
  if (c.unit == 0) {
    for (int i = 0; i < 16; ++i)
      EXPECT_EQ(app.get_int(p + "_BITS[" + std::to_string(i) + "]"), int((kBitPattern >> i) & 1u))
          << "bit " << i;
    EXPECT_EQ(app.get_int(p + "_B37"), int((kBitPattern >> 37) & 1u));
    EXPECT_EQ(app.get_int(p + "_WORD"), b.word(b.offset(48)));
    EXPECT_EQ(app.get_int(p + "_BYTE"), b.at(b.offset(40)));
    return;
  }
  EXPECT_EQ(app.get_int(p + "_BLO"), b.byte_lo(0));
  EXPECT_EQ(app.get_int(p + "_BHI"), b.byte_hi(0));
  EXPECT_EQ(app.get_int(p + "_BYTE"), b.at(4));
  EXPECT_EQ(app.get_int(p + "_WORD"), b.word(4));
  EXPECT_EQ(app.get_int(p + "_BCD"), Block::bcd(static_cast<uint16_t>(b.word(8)), 4));
  EXPECT_EQ(app.get_int(p + "_LWS"), b.longword_ws(12));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(app.get_int(p + "_BITS[" + std::to_string(i) + "]"), b.bit(0, c.first_bit() + i))
        << "bit number " << c.first_bit() + i;
  EXPECT_EQ(app.get_text(p + "_TEXT"), b.text(kTextAt / c.unit, kTextLength));
  // Numbers: the simulator stored them in the block's byte order; QUANTREL
  // must read back the very same numbers.
  EXPECT_EQ(app.get_int(p + "_LONGS[0]"), kLongs[0]);
  EXPECT_EQ(app.get_int(p + "_LONGS[1]"), kLongs[1]);
  EXPECT_EQ(app.get_float(p + "_FLTS[0]"), kFloats[0]);
  EXPECT_EQ(app.get_float(p + "_FLTS[1]"), kFloats[1]);
  EXPECT_EQ(app.get_float(p + "_DBL"), kDouble);
  if (c.has_words()) {
    EXPECT_EQ(app.get_int(p + "_WORDS[0]"), kWords[0]);
    EXPECT_EQ(app.get_int(p + "_WORDS[1]"), kWords[1]);
  }
}

class E2eUnits : public ::testing::TestWithParam<Mode> {};

TEST_P(E2eUnits, TriggeredReadsFillEveryTagFromTheSimulatorMemory) {
  App app;
  ASSERT_TRUE(app.build(app_text(GetParam()), sim_text(GetParam())));
  ASSERT_TRUE(app.start());
  // Before any read the tags are still zero.
  EXPECT_EQ(app.get_int("U2N_LONGS[0]"), 0);
  for (const Case& c : kCases) {
    app.forget_changes(c.prefix() + "_RDY");
    app.set_int(c.prefix() + "_STATUS", -1);
    app.set_int(c.prefix() + "_READ", 1, true);
  }
  for (const Case& c : kCases) {
    ASSERT_TRUE(app.wait_changed(c.prefix() + "_RDY")) << c.prefix() << "\n" << app.output();
    EXPECT_EQ(app.get_int(c.prefix() + "_STATUS"), 0) << c.prefix();
    expect_tags(app, c);
  }
  std::string out = app.output();
  if (GetParam() == Mode::kRemote) {
    // Read requests travel as messages; no data-source tag is forced.
    EXPECT_EQ(e2e::count_of(out, "PLC1 < read key="), std::size(kCases)) << out;
    EXPECT_EQ(e2e::count_of(out, ":= 1"), 0u) << out;
  } else {
    EXPECT_EQ(e2e::count_of(out, "PLC1 < read key="), 0u) << out;
    EXPECT_EQ(e2e::count_of(out, "(data-source tag forced)"), std::size(kCases)) << out;
  }
  // The operator's tool shows the same values.
  e2e::Ran r = app.zq_tag({"get", "U4S_LONGS", "U1N_TEXT"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("U4S_LONGS[1] = " + std::to_string(kLongs[1])), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("U1N_TEXT = \"ABCDEFG\""), std::string::npos) << r.output;
  EXPECT_TRUE(app.stop());
}

// A bit-addressed block whose device addresses start at 100, configured once
// with device addresses and once with addresses relative to the block.
TEST(E2eBitBlocks, BitsOfABlockStartingAtAnyAddressReadInBothAddressingModes) {
  constexpr int kStart = 100;
  App app;
  std::string tags = "[tags]\n" + e2e::core_tags();
  std::string sources = "[[quantrel.provider]]\nmailbox = \"PLC1_MBX\"\n\n";
  std::string sim =
      "[sim]\ntask = \"PLC1\"\nmailbox = \"PLC1_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n\n";
  std::vector<std::string> bits;
  for (int i = 0; i < 16; ++i) bits.push_back(std::to_string((kBitPattern >> i) & 1u));
  for (std::string mode : {"absolute", "relative"}) {
    std::string p = mode == "absolute" ? "BABS" : "BREL";
    int first = mode == "absolute" ? kStart : 0;
    tags += p + " = \"digital\"\n" + p + "_READ = \"digital\"\n" + p + "_RDY = \"digital\"\n" + p +
            "_BITS = { type = \"digital\", dims = [16] }\n";
    sources += "[[quantrel.provider.source]]\nname = \"" + p +
               "\"\nread_enabled = true\nread_trigger = \"" + p + "_READ\"\nread_ready = \"" + p +
               "_RDY\"\naddressing = \"" + mode + "\"\nconversions = [\n" +
               conv(p + "_BITS[0]", first, "DT_BIT", ", count = 16") + "]\n\n";
    sim += "[[source]]\nname = \"" + p + "\"\nstart = " + std::to_string(kStart) +
           "\ncount = 16\nunit_size = 0\nlow_bit_first = true\n[[source.init]]\nat = " +
           std::to_string(kStart) + "\nformat = \"unit\"\nvalues = " + list(bits) + "\n\n";
  }
  ASSERT_TRUE(app.build(tags + "\n" + e2e::core_tasks("-d1", "") + sources, sim));
  ASSERT_TRUE(app.start());
  for (std::string p : {"BABS", "BREL"}) {
    app.forget_changes(p + "_RDY");
    app.set_int(p + "_READ", 1, true);
  }
  std::vector<int> got[2];
  int k = 0;
  for (std::string p : {"BABS", "BREL"}) {
    ASSERT_TRUE(app.wait_changed(p + "_RDY")) << app.output();
    for (int i = 0; i < 16; ++i)
      got[k].push_back(static_cast<int>(app.get_int(p + "_BITS[" + std::to_string(i) + "]")));
    ++k;
  }
  EXPECT_TRUE(app.stop());
  std::vector<int> want;
  for (int i = 0; i < 16; ++i) want.push_back(static_cast<int>((kBitPattern >> i) & 1u));
  EXPECT_EQ(got[0], want) << "absolute addresses";
  EXPECT_EQ(got[1], want) << "relative addresses";
}

INSTANTIATE_TEST_SUITE_P(Stations, E2eUnits, ::testing::Values(Mode::kOwnStation, Mode::kRemote),
                         [](const ::testing::TestParamInfo<Mode>& i) {
                           return i.param == Mode::kRemote ? std::string("OtherStation")
                                                           : std::string("OwnStation");
                         });

}  // namespace
