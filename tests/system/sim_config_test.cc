// The simulator's configuration reader, and its memory layout and movers.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "tools/sim_config.h"
#include "tools/sim_memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kSim = "[sim]\nmailbox = \"A\"\nquantrel_mailbox = \"B\"\n";

// The TOML block of docs/sim.md that holds a [sim] section.
std::string documented_example() {
  std::ifstream in(std::string(ZQ_SOURCE_DIR) + "/docs/sim.md");
  std::stringstream text;
  text << in.rdbuf();
  std::string doc = text.str();
  for (size_t at = doc.find("```toml\n"); at != std::string::npos;
       at = doc.find("```toml\n", at + 1)) {
    size_t begin = at + 8;
    size_t end = doc.find("```", begin);
    std::string block = doc.substr(begin, end - begin);
    if (block.find("[sim]") != std::string::npos) return block;
  }
  return "";
}

std::vector<std::string> mistakes(const std::string& text) {
  SimConfig c;
  std::vector<std::string> errors;
  EXPECT_FALSE(sim_config_parse(text, "x.toml", &c, &errors));
  return errors;
}

bool mentions(const std::vector<std::string>& errors, const std::string& what) {
  for (const std::string& e : errors) {
    if (e.find(what) != std::string::npos) return true;
  }
  return false;
}

TEST(SimConfig, TheDocumentedExampleReadsAsDescribed) {
  std::string example = documented_example();
  ASSERT_FALSE(example.empty()) << "docs/sim.md has no configuration example";
  SimConfig c;
  std::vector<std::string> errors;
  ASSERT_TRUE(sim_config_parse(example, "/apps/demo/sim.toml", &c, &errors))
      << (errors.empty() ? "" : errors[0]);
  EXPECT_EQ(c.task, "PLC1");
  EXPECT_EQ(c.mailbox, "PLC1_MBX");
  EXPECT_EQ(c.quantrel_mailbox, "QTL_MBX");
  EXPECT_EQ(c.app_dir, "/apps/demo/") << "relative to the file's folder";
  ASSERT_EQ(c.sources.size(), 1u);
  const SimSourceConfig& s = c.sources[0];
  EXPECT_EQ(s.name, "BLOCK1");
  EXPECT_EQ(s.count, 16);
  EXPECT_EQ(s.unit_size, 2);
  EXPECT_EQ(s.state_value, 0x311);
  EXPECT_TRUE(s.has_stop_state);
  ASSERT_EQ(s.inits.size(), 2u);
  EXPECT_EQ(s.inits[1].bytes, (Bytes{'T', 'A', 'N', 'K', ' ', 'A'}));
  ASSERT_EQ(s.movers.size(), 3u);
  EXPECT_EQ(s.movers[0].kind, SimMoverKind::kCounter);
  EXPECT_EQ(s.movers[0].format, SimFormat::kInt32);
  EXPECT_EQ(s.movers[1].period_ms, 20000);
  ASSERT_EQ(s.errors.size(), 2u);
  EXPECT_EQ(s.errors[0].request, SIM_REQ_READ);
  EXPECT_EQ(s.errors[0].every, 10u);
  EXPECT_TRUE(s.errors[1].has_range);
  EXPECT_EQ(s.errors[1].code, 1002);
}

TEST(SimConfig, DefaultsFillWhatIsNotGiven) {
  SimConfig c;
  std::vector<std::string> errors;
  ASSERT_TRUE(sim_config_parse(std::string(kSim) + "[[source]]\nname = \"X\"\ncount = 3\n", "", &c,
                               &errors));
  EXPECT_EQ(c.task, SIM_DEFAULT_TASK);
  EXPECT_EQ(c.tick_ms, SIM_DEFAULT_TICK_MS);
  EXPECT_TRUE(c.app_dir.empty());
  const SimSourceConfig& s = c.sources[0];
  EXPECT_EQ(s.provider_name, "X");
  EXPECT_EQ(s.unit_size, 2);
  EXPECT_EQ(s.start, 0);
  EXPECT_FALSE(s.has_remote_key);
  EXPECT_TRUE(s.state_tag.empty());
}

TEST(SimConfig, EveryMistakeIsReportedWithItsPosition) {
  std::vector<std::string> e = mistakes(std::string(kSim) + R"(bogus = 1
[[source]]
name = "X"
count = 4
unit_size = 3
[[source]]
name = "Y"
count = 3000
[[source]]
name = "Z"
count = 4
[[source.init]]
at = 3
format = "int32"
values = [1]
[[source.mover]]
kind = "wobble"
[[source.error]]
request = "read"
code = 5
)");
  EXPECT_TRUE(mentions(e, "x.toml:4:1: unknown key 'bogus'")) << e[0];
  EXPECT_TRUE(mentions(e, "x.toml:8:13: 'unit_size' must be 0 (bits), 1, 2 or 4"));
  EXPECT_TRUE(mentions(e, "the block needs 6000 bytes"));
  EXPECT_TRUE(mentions(e, "addresses 3..4 lie outside the block 0..3 of 'Z'"));
  EXPECT_TRUE(mentions(e, "'kind' must be counter, ramp"));
  EXPECT_TRUE(mentions(e, "needs 'every' or an address range"));
  EXPECT_EQ(e.size(), 6u);
}

TEST(SimConfig, MissingAndMistypedEssentialsAreNamed) {
  std::vector<std::string> e = mistakes("[sim]\ntask = 5\n");
  EXPECT_TRUE(mentions(e, "'task' must be a string"));
  EXPECT_TRUE(mentions(e, "needs 'mailbox'"));
  EXPECT_TRUE(mentions(e, "needs 'quantrel_mailbox'"));
  EXPECT_TRUE(mentions(e, "no [[source]]"));

  e = mistakes(std::string(kSim) + "[[source]]\nname = \"X\"\n");
  EXPECT_TRUE(mentions(e, "needs 'count'"));
  e = mistakes(std::string(kSim) +
               "[[source]]\nname = \"X\"\ncount = 1\nremote_key = [65535, 65535]\n");
  EXPECT_TRUE(mentions(e, "'remote_key' must be"));
  e = mistakes(std::string(kSim) + "[[source]]\nname = \"X\"\ncount = 1\nstate_value = 1\n");
  EXPECT_TRUE(mentions(e, "no 'state_tag'"));
  e = mistakes(std::string(kSim) +
               "[[source]]\nname = \"X\"\ncount = 8\nunit_size = 0\n"
               "[[source.init]]\nformat = \"float32\"\nvalues = [1]\n");
  EXPECT_TRUE(mentions(e, "holds bits only"));
  e = mistakes(std::string(kSim) +
               "[[source]]\nname = \"X\"\ncount = 1\n"
               "[[source]]\nname = \"X\"\ncount = 1\n");
  EXPECT_TRUE(mentions(e, "declared twice"));
  e = mistakes(std::string(kSim) + "[[source]]\nname = \"X\"\nstart = 65535\ncount = 2\n");
  EXPECT_TRUE(mentions(e, "passes address 65535"));
}

TEST(SimConfig, ASyntaxErrorIsOneMessageWithItsPlace) {
  std::vector<std::string> e = mistakes("[sim\nmailbox = 1\n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].rfind("x.toml:1:", 0), 0u) << e[0];
}

TEST(SimConfig, AFileThatCannotBeReadIsAMistake) {
  SimConfig c;
  std::vector<std::string> errors;
  EXPECT_FALSE(sim_config_load("/nonexistent/sim.toml", &c, &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("cannot be read"), std::string::npos);
}

// ---- Memory ----------------------------------------------------------------------------

SimMemory memory(uint16_t count, uint8_t unit, bool swap, bool low_bit_first = false) {
  SimSourceConfig s;
  s.count = count;
  s.unit_size = unit;
  s.byte_swap = swap;
  s.low_bit_first = low_bit_first;
  return sim_memory_make(s);
}

TEST(SimMemory, ValuesLieInTheBlocksByteOrderAcrossUnits) {
  SimMemory le = memory(4, 2, false), be = memory(4, 2, true);
  for (SimMemory* m : {&le, &be}) {
    ASSERT_TRUE(sim_memory_set_value(m, 0, SimFormat::kInt32, -2));
    ASSERT_TRUE(sim_memory_set_value(m, 2, SimFormat::kUnit, 0x1234));
    ASSERT_TRUE(sim_memory_set_value(m, 3, SimFormat::kInt16, -1));
  }
  EXPECT_EQ(le.bytes, (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0x34, 0x12, 0xFF, 0xFF}));
  EXPECT_EQ(be.bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0x12, 0x34, 0xFF, 0xFF}));
  double v = 0;
  ASSERT_TRUE(sim_memory_value(be, 0, SimFormat::kInt32, &v));
  EXPECT_EQ(v, -2);
  ASSERT_TRUE(sim_memory_value(be, 3, SimFormat::kUnit, &v));
  EXPECT_EQ(v, 65535) << "format unit is unsigned";
  EXPECT_FALSE(sim_memory_set_value(&be, 3, SimFormat::kInt32, 1)) << "would pass the end";
  EXPECT_FALSE(sim_memory_value(be, 4, SimFormat::kUnit, &v));

  SimMemory f = memory(2, 4, true);
  ASSERT_TRUE(sim_memory_set_value(&f, 0, SimFormat::kFloat32, 1.5));
  EXPECT_EQ(f.bytes, (Bytes{0x3F, 0xC0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(sim_memory_set_value(&f, 0, SimFormat::kFloat64, -2.0));
  EXPECT_EQ(f.bytes, (Bytes{0xC0, 0, 0, 0, 0, 0, 0, 0}));
  SimMemory wide = memory(1, 4, false);
  ASSERT_TRUE(sim_memory_set_value(&wide, 0, SimFormat::kInt16, -3));
  EXPECT_EQ(wide.bytes, (Bytes{0xFD, 0xFF, 0xFF, 0xFF})) << "a narrower integer fills the unit";
}

TEST(SimMemory, BitsCountFromTheConfiguredEndOfEachByte) {
  SimMemory high = memory(10, 0, false), low = memory(10, 0, false, true);
  EXPECT_EQ(high.bytes.size(), 2u) << "count / 8 + 1";
  for (SimMemory* m : {&high, &low}) {
    sim_memory_set_bit(m, 1, true);
    sim_memory_set_bit(m, 9, true);
    sim_memory_set_bit(m, 10, true);  // outside: ignored
  }
  EXPECT_EQ(high.bytes, (Bytes{0x40, 0x40}));
  EXPECT_EQ(low.bytes, (Bytes{0x02, 0x02}));
  EXPECT_TRUE(sim_memory_bit(low, 9));
  EXPECT_FALSE(sim_memory_bit(low, 8));
  EXPECT_EQ(sim_bit_mask(false, 0, 16), 0x8000u);
  EXPECT_EQ(sim_bit_mask(true, 15, 16), 0x8000u);
  EXPECT_EQ(sim_bit_mask(true, 16, 16), 0u);
}

TEST(SimMemory, InitialBytesAndTextStartAtTheirUnit) {
  SimSourceConfig s;
  s.start = 10;
  s.count = 4;
  s.unit_size = 2;
  SimInit text;
  text.at = 11;
  text.bytes = {'A', 'B', 'C'};
  SimInit values;
  values.at = 13;
  values.values = {7};
  s.inits = {text, values};
  SimMemory m = sim_memory_make(s);
  sim_memory_apply_inits(&m, s);
  EXPECT_EQ(m.bytes, (Bytes{0, 0, 'A', 'B', 'C', 0, 7, 0}));
}

// ---- Movers ------------------------------------------------------------------------------

std::vector<double> run_mover(SimMover mover, int steps, SimMemory* m, uint64_t step_ms = 100) {
  std::vector<SimMoverState> movers = sim_movers_make({mover});
  SimRandom random;
  sim_random_seed(&random, 42);
  std::vector<double> seen;
  for (int i = 1; i <= steps; ++i) {
    sim_movers_step(m, &movers, i * step_ms, &random);
    double v = 0;
    sim_memory_value(*m, static_cast<uint32_t>(mover.at - m->start), mover.format, &v);
    seen.push_back(v);
  }
  return seen;
}

TEST(SimMovers, CountersWrapAndRampsTurnAtTheirLimits) {
  SimMemory m = memory(2, 2, false);
  SimMover counter;
  counter.kind = SimMoverKind::kCounter;
  counter.step = 2;
  counter.min = 1;
  counter.max = 6;
  EXPECT_EQ(run_mover(counter, 5, &m), (std::vector<double>{2, 4, 6, 1, 3}));
  sim_memory_set_value(&m, 0, SimFormat::kUnit, 5);  // written from outside
  EXPECT_EQ(run_mover(counter, 1, &m), (std::vector<double>{1})) << "7 passes max";

  SimMover ramp;
  ramp.kind = SimMoverKind::kRamp;
  ramp.at = 1;
  ramp.step = 1;
  ramp.max = 3;
  EXPECT_EQ(run_mover(ramp, 7, &m), (std::vector<double>{1, 2, 3, 2, 1, 0, 1}));
}

TEST(SimMovers, SineRandomAndConstantStayWhereTheySay) {
  SimMemory m = memory(4, 4, true);
  SimMover sine;
  sine.kind = SimMoverKind::kSine;
  sine.format = SimFormat::kFloat32;
  sine.amplitude = 10;
  sine.offset = 5;
  sine.period_ms = 400;
  std::vector<double> s = run_mover(sine, 4, &m);  // t = 100, 200, 300, 400
  EXPECT_NEAR(s[0], 15, 1e-4);
  EXPECT_NEAR(s[1], 5, 1e-4);
  EXPECT_NEAR(s[2], -5, 1e-4);

  SimMover walk;
  walk.kind = SimMoverKind::kRandom;
  walk.at = 1;
  walk.format = SimFormat::kInt32;
  walk.step = 5;
  walk.min = -20;
  walk.max = 20;
  std::vector<double> w = run_mover(walk, 200, &m);
  double previous = 0;
  bool moved = false;
  for (double v : w) {
    EXPECT_GE(v, -20);
    EXPECT_LE(v, 20);
    EXPECT_LE(std::fabs(v - previous), 5);
    moved = moved || v != previous;
    previous = v;
  }
  EXPECT_TRUE(moved);

  SimMover constant;
  constant.kind = SimMoverKind::kConstant;
  constant.at = 2;
  constant.value = 99;
  sim_memory_set_value(&m, 2, SimFormat::kUnit, 1);
  EXPECT_EQ(run_mover(constant, 1, &m), (std::vector<double>{99}));
}

TEST(SimMovers, OnBitsACounterTogglesAndASineIsASquareWave) {
  SimMemory m = memory(2, 0, false, true);
  SimMover counter;
  counter.kind = SimMoverKind::kCounter;
  counter.max = 1;
  EXPECT_EQ(run_mover(counter, 4, &m), (std::vector<double>{1, 0, 1, 0}));
  SimMover sine;
  sine.kind = SimMoverKind::kSine;
  sine.at = 1;
  sine.period_ms = 400;
  EXPECT_EQ(run_mover(sine, 4, &m, 130), (std::vector<double>{1, 0, 0, 1}));
}

}  // namespace
