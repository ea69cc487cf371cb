// Writing end to end: block writes of every unit size and byte order read
// back from the simulator's memory, and writes on change in write modes 1
// and 2 with the request headers the simulator saw.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"

namespace {

using e2e::App;

constexpr auto QUIET = std::chrono::milliseconds(300);

std::string sim_header() {
  return "[sim]\ntask = \"PLC1\"\nmailbox = \"PLC1_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n\n";
}
std::string yes(bool b) {
  return b ? "true" : "false";
}
std::string conv(const std::string& tag, int address, const std::string& type,
                 const std::string& extra = "") {
  return "  { tag = \"" + tag + "\", address = " + std::to_string(address) + ", type = \"" + type +
         "\"" + extra + " },\n";
}

// ---- Block writes ------------------------------------------------------------

constexpr int kBlockBytes = 44;
constexpr int kBitBlockBits = 32;

struct Case {
  int unit;
  bool swap;
  std::string prefix() const { return "W" + std::to_string(unit) + (swap ? "S" : "N"); }
  int addr(int byte) const { return byte / unit; }
  int first_bit() const { return unit * 8 - 2; }
};
const Case kCases[] = {{0, false}, {0, true}, {1, false}, {1, true},
                       {2, false}, {2, true}, {4, false}, {4, true}};

// Values written: a few per tag, distinct per data source.
struct Values {
  int16_t word;
  int32_t longs[2];
  double flt;
  double dbl;
  int bits[3];
  std::string text;
  int lo, hi;
  int bit_block[8];
  int b20;
};
Values values_for(int k) {
  Values v;
  v.word = static_cast<int16_t>(-3000 - k);
  v.longs[0] = 70000 + k;
  v.longs[1] = -1000000 - k;
  v.flt = 0.75 + k;
  v.dbl = -12345.0625 - k;
  v.bits[0] = 1;
  v.bits[1] = k % 2;
  v.bits[2] = 1;
  v.text = "txt" + std::to_string(k) + "ab";
  v.lo = 0x11 + k;
  v.hi = 0xE0 + k;
  for (int i = 0; i < 8; ++i) v.bit_block[i] = ((0x5Bu + k) >> i) & 1u;
  v.b20 = 1;
  return v;
}

std::string block_tags(const Case& c) {
  std::string p = c.prefix();
  std::string t = p + " = \"digital\"\n" + p + "_BW = \"digital\"\n" + p + "_READ = \"digital\"\n" +
                  p + "_STATUS = \"analog\"\n" + p + "_RDY = \"digital\"\n" + p +
                  "_WRDY = \"digital\"\n";
  if (c.unit == 0)
    return t + p + "_BITS = { type = \"digital\", dims = [8] }\n" + p + "_B20 = \"digital\"\n";
  return t + p + "_WORD = \"analog\"\n" + p + "_LONGS = { type = \"long\", dims = [2] }\n" + p +
         "_FLT = \"float\"\n" + p + "_DBL = \"float\"\n" + p +
         "_BITS = { type = \"digital\", dims = [3] }\n" + p +
         "_TEXT = { type = \"message\", capacity = 8 }\n" + p + "_LO = \"analog\"\n" + p +
         "_HI = \"analog\"\n";
}

std::string block_source(const Case& c) {
  std::string p = c.prefix();
  std::string s = "[[quantrel.provider.source]]\nname = \"" + p +
                  "\"\nread_enabled = true\nread_trigger = \"" + p +
                  "_READ\"\nblock_write_enabled = true\nblock_write_trigger = \"" + p +
                  "_BW\"\nstatus = \"" + p + "_STATUS\"\nread_ready = \"" + p +
                  "_RDY\"\nwrite_ready = \"" + p + "_WRDY\"\nconversions = [\n";
  if (c.unit == 0) {
    s += conv(p + "_BITS[0]", 0, "DT_BIT", ", count = 8");
    s += conv(p + "_B20", 20, "DT_BIT");
    return s + "]\n\n";
  }
  s += conv(p + "_WORD", c.addr(0), "DT_WORD");
  s += conv(p + "_LONGS[0]", c.addr(4), "DT_LONG", ", count = 2");
  s += conv(p + "_FLT", c.addr(12), "DT_FLOAT");
  s += conv(p + "_DBL", c.addr(16), "DT_DOUBLE");
  s += conv(p + "_BITS[0]", c.addr(24), "DT_BIT",
            ", count = 3, bit = " + std::to_string(c.first_bit()));
  s += conv(p + "_TEXT", c.addr(32), "DT_STRING", ", length = 6");
  s += conv(p + "_LO", c.addr(40), "DT_BYTE_LO");
  s += conv(p + "_HI", c.addr(40), "DT_BYTE_HI");
  return s + "]\n\n";
}

// The device blocks are exactly as long as the configured values need: a
// block write whose span ran past them would be refused by the simulator.
std::string block_sim_source(const Case& c) {
  int count = c.unit == 0 ? kBitBlockBits : kBlockBytes / c.unit;
  return "[[source]]\nname = \"" + c.prefix() + "\"\ncount = " + std::to_string(count) +
         "\nunit_size = " + std::to_string(c.unit) + "\nbyte_swap = " + yes(c.swap) +
         "\nlow_bit_first = " + yes(!c.swap) + "\n\n";
}

void set_values(App& app, const Case& c, const Values& v) {
  std::string p = c.prefix();
  if (c.unit == 0) {
    for (int i = 0; i < 8; ++i) app.set_int(p + "_BITS[" + std::to_string(i) + "]", v.bit_block[i]);
    app.set_int(p + "_B20", v.b20);
    return;
  }
  app.set_int(p + "_WORD", v.word);
  app.set_int(p + "_LONGS[0]", v.longs[0]);
  app.set_int(p + "_LONGS[1]", v.longs[1]);
  app.set_float(p + "_FLT", v.flt);
  app.set_float(p + "_DBL", v.dbl);
  for (int i = 0; i < 3; ++i) app.set_int(p + "_BITS[" + std::to_string(i) + "]", v.bits[i]);
  app.set_text(p + "_TEXT", v.text);
  app.set_int(p + "_LO", v.lo);
  app.set_int(p + "_HI", v.hi);
}

void expect_values(App& app, const Case& c, const Values& v) {
  SCOPED_TRACE("data source " + c.prefix());
  std::string p = c.prefix();
  if (c.unit == 0) {
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(app.get_int(p + "_BITS[" + std::to_string(i) + "]"), v.bit_block[i]) << "bit " << i;
    EXPECT_EQ(app.get_int(p + "_B20"), v.b20);
    return;
  }
  EXPECT_EQ(app.get_int(p + "_WORD"), v.word);
  EXPECT_EQ(app.get_int(p + "_LONGS[0]"), v.longs[0]);
  EXPECT_EQ(app.get_int(p + "_LONGS[1]"), v.longs[1]);
  EXPECT_EQ(app.get_float(p + "_FLT"), v.flt);
  EXPECT_EQ(app.get_float(p + "_DBL"), v.dbl);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(app.get_int(p + "_BITS[" + std::to_string(i) + "]"), v.bits[i]) << "bit " << i;
  EXPECT_EQ(app.get_text(p + "_TEXT"), v.text);
  EXPECT_EQ(app.get_int(p + "_LO"), v.lo);
  EXPECT_EQ(app.get_int(p + "_HI"), v.hi);
}

void clear_values(App& app, const Case& c) {
  Values zero{};
  zero.text = "-";
  set_values(app, c, zero);
}

TEST(E2eWrite, BlockWritesOfEveryUnitSizeAndByteOrderReadBackFromTheDevice) {
  App app;
  std::string tags = "[tags]\n" + e2e::core_tags();
  std::string sources = "[[quantrel.provider]]\nmailbox = \"PLC1_MBX\"\nmax_messages = 10\n\n";
  std::string sim = sim_header();
  for (const Case& c : kCases) {
    tags += block_tags(c);
    sources += block_source(c);
    sim += block_sim_source(c);
  }
  ASSERT_TRUE(app.build(tags + "\n" + e2e::core_tasks("-d1", "--trace") + sources, sim));
  ASSERT_TRUE(app.start());
  for (size_t k = 0; k < std::size(kCases); ++k) {
    const Case& c = kCases[k];
    set_values(app, c, values_for(static_cast<int>(k)));
    app.forget_changes(c.prefix() + "_WRDY");
    app.set_int(c.prefix() + "_STATUS", -1);
    app.set_int(c.prefix() + "_BW", 1, true);
  }
  for (const Case& c : kCases) {
    ASSERT_TRUE(app.wait_changed(c.prefix() + "_WRDY")) << c.prefix() << "\n" << app.output();
    EXPECT_EQ(app.get_int(c.prefix() + "_STATUS"), 0) << c.prefix();
  }
  std::string out = app.output();
  EXPECT_EQ(e2e::count_of(out, "tt=0x0C00"), std::size(kCases)) << out;
  EXPECT_EQ(e2e::count_of(out, "PLC1 > write ack"), std::size(kCases)) << out;

  // Without write mode the tags can be cleared here; a read then brings the
  // written values back from the simulator's memory.
  for (const Case& c : kCases) {
    clear_values(app, c);
    app.forget_changes(c.prefix() + "_RDY");
    app.set_int(c.prefix() + "_READ", 1, true);
  }
  for (size_t k = 0; k < std::size(kCases); ++k) {
    const Case& c = kCases[k];
    ASSERT_TRUE(app.wait_changed(c.prefix() + "_RDY")) << c.prefix() << "\n" << app.output();
    EXPECT_EQ(app.get_int(c.prefix() + "_STATUS"), 0) << c.prefix();
    expect_values(app, c, values_for(static_cast<int>(k)));
  }
  EXPECT_TRUE(app.stop());
}

// A block write covers the configured units from the lowest to the highest
// and no more: a unit beyond them is not the task's to overwrite.
TEST(E2eWrite, BlockWriteSpanEndsAtTheHighestConfiguredUnit) {
  App app;
  std::string tags = "[tags]\n" + e2e::core_tags() +
                     "SPAN = \"digital\"\nSP_BW = \"digital\"\nSP_WRDY = \"digital\"\n"
                     "SP_BITS = { type = \"digital\", dims = [2] }\nSP_WORD = \"analog\"\n";
  // Bits 15 and 16 of unit 0: the second one is bit 0 of unit 1, well below
  // the word at unit 3, the highest configured unit.
  std::string sources = R"([[quantrel.provider]]
mailbox = "PLC1_MBX"
max_messages = 10

[[quantrel.provider.source]]
name = "SPAN"
block_write_enabled = true
block_write_trigger = "SP_BW"
write_ready = "SP_WRDY"
conversions = [
  { tag = "SP_BITS[0]", address = 0, type = "DT_BIT", bit = 15, count = 2 },
  { tag = "SP_WORD", address = 3, type = "DT_WORD" },
]
)";
  std::string sim = sim_header() + "[[source]]\nname = \"SPAN\"\ncount = 6\nunit_size = 2\n";
  ASSERT_TRUE(app.build(tags + "\n" + e2e::core_tasks("-d1", "--trace") + sources, sim));
  ASSERT_TRUE(app.start());
  app.forget_changes("SP_WRDY");
  app.set_int("SP_BW", 1, true);
  ASSERT_TRUE(app.wait_changed("SP_WRDY")) << app.output();
  std::string out = app.output();
  EXPECT_TRUE(app.stop());
  EXPECT_EQ(e2e::count_of(out, "count=4 start=0 tt=0x0C00"), 1u) << out;
}

// On a bit-addressed block the configured bits need not start on a byte:
// written from bit 3 on, every bit must land on its own address.
TEST(E2eWrite, BitBlockWriteFromTheMiddleOfAByteReadsBack) {
  App app;
  std::string tags = "[tags]\n" + e2e::core_tags() +
                     "MID = \"digital\"\nMD_BW = \"digital\"\nMD_READ = \"digital\"\n"
                     "MD_RDY = \"digital\"\nMD_WRDY = \"digital\"\nMD_STATUS = \"analog\"\n"
                     "MD_BITS = { type = \"digital\", dims = [10] }\n";
  std::string sources = R"([[quantrel.provider]]
mailbox = "PLC1_MBX"
max_messages = 10

[[quantrel.provider.source]]
name = "MID"
read_enabled = true
read_trigger = "MD_READ"
block_write_enabled = true
block_write_trigger = "MD_BW"
status = "MD_STATUS"
read_ready = "MD_RDY"
write_ready = "MD_WRDY"
conversions = [ { tag = "MD_BITS[0]", address = 3, type = "DT_BIT", count = 10 } ]
)";
  std::string sim = sim_header() + "[[source]]\nname = \"MID\"\ncount = 24\nunit_size = 0\n";
  ASSERT_TRUE(app.build(tags + "\n" + e2e::core_tasks("-d1", "--trace") + sources, sim));
  ASSERT_TRUE(app.start());
  const int bits[10] = {1, 0, 0, 1, 1, 0, 1, 0, 1, 1};
  for (int i = 0; i < 10; ++i) app.set_int("MD_BITS[" + std::to_string(i) + "]", bits[i]);
  app.forget_changes("MD_WRDY");
  app.set_int("MD_BW", 1, true);
  ASSERT_TRUE(app.wait_changed("MD_WRDY")) << app.output();
  EXPECT_EQ(app.get_int("MD_STATUS"), 0);
  for (int i = 0; i < 10; ++i) app.set_int("MD_BITS[" + std::to_string(i) + "]", 0);
  app.forget_changes("MD_RDY");
  app.set_int("MD_READ", 1, true);
  ASSERT_TRUE(app.wait_changed("MD_RDY")) << app.output();
  std::vector<int> got, want(bits, bits + 10);
  for (int i = 0; i < 10; ++i)
    got.push_back(static_cast<int>(app.get_int("MD_BITS[" + std::to_string(i) + "]")));
  EXPECT_TRUE(app.stop());
  EXPECT_EQ(got, want);
}

// ---- Writes on change ------------------------------------------------------------

struct ModeCase {
  int mode;
  bool swap;
  std::string prefix() const { return "M" + std::to_string(mode) + (swap ? "S" : "N"); }
};
const ModeCase kModes[] = {{1, false}, {1, true}, {2, false}, {2, true}};

std::string mode_tags(const ModeCase& m) {
  std::string p = m.prefix();
  return p + " = \"digital\"\n" + p + "_READ = \"digital\"\n" + p + "_STATUS = \"analog\"\n" + p +
         "_RDY = \"digital\"\n" + p + "_WRDY = \"digital\"\n" + p + "_WINH = \"digital\"\n" + p +
         "_WORD = \"analog\"\n" + p + "_LONG = \"long\"\n" + p + "_BIT = \"digital\"\n" + p +
         "_LO = \"analog\"\n" + p + "_HI = \"analog\"\n" + p + "_FLT = \"float\"\n";
}

std::string mode_source(const ModeCase& m) {
  std::string p = m.prefix();
  return "[[quantrel.provider.source]]\nname = \"" + p +
         "\"\nread_enabled = true\nread_trigger = \"" + p +
         "_READ\"\nwrite_mode = " + std::to_string(m.mode) + "\nstatus = \"" + p +
         "_STATUS\"\nread_ready = \"" + p + "_RDY\"\nwrite_ready = \"" + p +
         "_WRDY\"\nwrite_inhibit = \"" + p + "_WINH\"\nconversions = [\n" +
         conv(p + "_WORD", 0, "DT_WORD") + conv(p + "_LONG", 1, "DT_LONG") +
         conv(p + "_BIT", 3, "DT_BIT", ", bit = 3") + conv(p + "_LO", 4, "DT_BYTE_LO") +
         conv(p + "_HI", 4, "DT_BYTE_HI") + conv(p + "_FLT", 5, "DT_FLOAT") + "]\n\n";
}

struct Change {
  const char* tag;
  double value;
  int start, count;
  int tt_mode1, tt_mode2;  // transfer type in the request
  bool typed_in_mode1;     // sent as a typed value: byte_swap cleared
};
// On a block of 2-byte units: values narrower than a unit travel typed in
// write mode 1, whole units otherwise; write mode 2 sends every value untyped
// with its own transfer type.
const Change kChanges[] = {
    {"_WORD", -12345, 0, 1, 0x0C00, 0x0600, false},
    {"_LONG", 987654321, 1, 2, 0x0C00, 0x0800, false},
    {"_BIT", 1, 3, 1, 0x0103, 0x0103, true},
    {"_LO", 0x5A, 4, 1, 0x0400, 0x0400, true},
    {"_HI", 0xC3, 4, 1, 0x0408, 0x0408, true},
    {"_FLT", -6.5, 5, 2, 0x0C00, 0x0800, false},
};

void set_number(App& app, const std::string& name, double value) {
  if (name.ends_with("_FLT")) {
    app.set_float(name, value);
  } else {
    app.set_int(name, static_cast<int64_t>(value));
  }
}
double get_number(App& app, const std::string& name) {
  return name.ends_with("_FLT") ? app.get_float(name) : static_cast<double>(app.get_int(name));
}

std::string request_text(const ModeCase& m, const Change& ch) {
  int flags = 0x2203;  // 2-byte units, low bit first, format 3
  if (m.mode >= 2) flags |= 0x0010;
  if (m.swap && !(m.mode == 1 && ch.typed_in_mode1)) flags |= 0x0100;
  char buf[96];
  snprintf(buf, sizeof buf, "flags=0x%04X count=%d start=%d tt=0x%04X", flags, ch.count, ch.start,
           m.mode == 1 ? ch.tt_mode1 : ch.tt_mode2);
  return buf;
}

TEST(E2eWrite, WritesOnChangeSendEachValueInTheFormOfItsWriteMode) {
  App app;
  std::string tags = "[tags]\n" + e2e::core_tags();
  // max_messages 0 (the default) would refuse every write with 469.
  std::string sources = "[[quantrel.provider]]\nmailbox = \"PLC1_MBX\"\nmax_messages = 10\n\n";
  std::string sim = sim_header();
  for (const ModeCase& m : kModes) {
    tags += mode_tags(m);
    sources += mode_source(m);
    sim += "[[source]]\nname = \"" + m.prefix() +
           "\"\ncount = 7\nunit_size = 2\nbyte_swap = " + yes(m.swap) +
           "\nlow_bit_first = true\n\n";
  }
  ASSERT_TRUE(app.build(tags + "\n" + e2e::core_tasks("-d1", "--trace") + sources, sim));
  ASSERT_TRUE(app.start());
  for (const ModeCase& m : kModes)
    ASSERT_TRUE(app.wait_output("Query reply " + m.prefix() + ":")) << app.output();

  for (const ModeCase& m : kModes) {
    std::string p = m.prefix();
    SCOPED_TRACE("data source " + p);
    for (const Change& ch : kChanges) {
      SCOPED_TRACE(ch.tag);
      size_t writes = app.output_count("PLC1 < write ");
      app.forget_changes(p + "_WRDY");
      app.set_int(p + "_STATUS", -1);
      set_number(app, p + ch.tag, ch.value);
      ASSERT_TRUE(app.wait_changed(p + "_WRDY")) << app.output();
      EXPECT_EQ(app.get_int(p + "_STATUS"), 0) << app.output();
      std::string out = app.output();
      EXPECT_EQ(e2e::count_of(out, "PLC1 < write "), writes + 1);
      EXPECT_NE(out.find(request_text(m, ch)), std::string::npos)
          << "expected " << request_text(m, ch) << "\n"
          << out;
    }
    // A change while writes are inhibited is dropped: the device keeps the
    // value written before, which a read brings back.
    app.set_int(p + "_WINH", 1);
    size_t writes = app.output_count("PLC1 < write ");
    for (const Change& ch : kChanges) set_number(app, p + ch.tag, ch.value + 1);
    std::this_thread::sleep_for(QUIET);
    EXPECT_EQ(app.output_count("PLC1 < write "), writes) << "a change was sent while inhibited";
    app.set_int(p + "_WINH", 0);
    app.forget_changes(p + "_RDY");
    app.set_int(p + "_READ", 1, true);
    ASSERT_TRUE(app.wait_changed(p + "_RDY")) << app.output();
    for (const Change& ch : kChanges) EXPECT_EQ(get_number(app, p + ch.tag), ch.value) << ch.tag;
    // What the read wrote is not sent back to the device.
    std::this_thread::sleep_for(QUIET);
    EXPECT_EQ(app.output_count("PLC1 < write "), writes) << "read values were echoed as writes";
  }
  EXPECT_EQ(app.output_count("PLC1 > write error"), 0u) << app.output();
  EXPECT_TRUE(app.stop());
}

}  // namespace

namespace {

// The write handshake: a completed write sets the write sync tag to 2 and
// the next write's answer waits until another task resets it; a provider's
// write error then reaches the status tag with its code.
TEST(E2eWrite, WriteSyncHoldsTheNextAnswerAndWriteErrorsReachTheStatusTag) {
  App app;
  std::string tags = R"(
WS = "digital"
WS_BW = "digital"
WS_WRDY = "digital"
WS_STATUS = "analog"
WS_SYNC = "analog"
WS_A = "analog"
WS_B = "analog"
)";
  std::string sources = R"([[quantrel.provider]]
mailbox = "PLC1_MBX"
max_messages = 10

[[quantrel.provider.source]]
name = "WS"
block_write_enabled = true
block_write_trigger = "WS_BW"
status = "WS_STATUS"
write_ready = "WS_WRDY"
write_sync = "WS_SYNC"
conversions = [
  { tag = "WS_A", address = 0, type = "DT_WORD" },
  { tag = "WS_B", address = 2, type = "DT_WORD" },
]
)";
  std::string sim = sim_header() + R"([[source]]
name = "WS"
count = 4
unit_size = 2
[[source.error]]
request = "write"
every = 2
code = 1002
)";
  ASSERT_TRUE(app.build(
      "[tags]\n" + e2e::core_tags() + tags + "\n" + e2e::core_tasks("-d1", "--trace") + sources,
      sim));
  ASSERT_TRUE(app.start());
  // The sync tag starts set until its first value is seen; 0 releases it.
  app.set_int("WS_SYNC", 0, true);
  app.set_int("WS_A", 11);
  app.set_int("WS_B", 22);
  app.forget_changes("WS_WRDY");
  app.set_int("WS_BW", 1, true);
  ASSERT_TRUE(app.wait_changed("WS_WRDY")) << app.output();
  EXPECT_EQ(app.get_int("WS_STATUS"), 0);
  EXPECT_EQ(app.get_int("WS_SYNC"), 2);

  // The second write is refused by the provider; its answer is held.
  app.set_int("WS_BW", 1, true);
  ASSERT_TRUE(app.wait_until([&] { return app.mailbox_count("QTL_MBX") == 1; })) << app.output();
  std::this_thread::sleep_for(QUIET);
  EXPECT_FALSE(app.changed("WS_WRDY"));
  EXPECT_EQ(app.get_int("WS_STATUS"), 0);
  EXPECT_EQ(app.mailbox_count("QTL_MBX"), 1);

  app.set_int("WS_SYNC", 0);
  ASSERT_TRUE(app.wait_changed("WS_WRDY")) << app.output();
  EXPECT_EQ(app.get_int("WS_STATUS"), 1002);
  EXPECT_TRUE(app.wait_until([&] { return app.get_int("WS_SYNC") == 2; }));
  EXPECT_EQ(app.mailbox_count("QTL_MBX"), 0);
  EXPECT_TRUE(app.wait_output("WRITE error on data source WS: provider error 1002"))
      << app.output();
  EXPECT_TRUE(app.stop());
}

}  // namespace
