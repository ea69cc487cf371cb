// Reading end to end: continuous reads, the read-inhibit pause, the sync
// handshake that holds answers back, unsolicited data, provider errors and
// the query the provider's data-source state asks for. QUANTREL and zq sim
// run under zq run; this test watches and drives the tags.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e_harness.h"

namespace {

using e2e::App;

constexpr auto QUIET =
    std::chrono::milliseconds(300);  // long enough to see a cycle that should not run

std::string sim_header() {
  return "[sim]\ntask = \"PLC1\"\nmailbox = \"PLC1_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\ntick_ms "
         "= 20\n\n";
}

// A continuously read block (no read trigger) of a 32-bit counter moving
// every tick and a constant word.
const char* const kContinuousTags = R"(
CONT = "digital"
C_STATUS = "analog"
C_RDY = "digital"
C_INHIBIT = "digital"
C_SYNC = "analog"
C_COUNT = "long"
C_FIXED = "analog"
)";
std::string continuous_source(const std::string& extra) {
  return R"([[quantrel.provider]]
mailbox = "PLC1_MBX"

[[quantrel.provider.source]]
name = "CONT"
read_enabled = true
status = "C_STATUS"
read_ready = "C_RDY"
read_inhibit = "C_INHIBIT"
)" + extra +
         R"(conversions = [
  { tag = "C_COUNT", address = 0, type = "DT_LONG" },
  { tag = "C_FIXED", address = 2, type = "DT_WORD" },
]
)";
}
const char* const kContinuousSim = R"([[source]]
name = "CONT"
count = 3
unit_size = 2
byte_swap = true
[[source.mover]]
kind = "counter"
at = 0
format = "int32"
step = 1
max = 100000000
[[source.mover]]
kind = "constant"
at = 2
format = "int16"
value = -777
)";

TEST(E2eRead, ContinuousReadKeepsTagsCurrentAndPausesWhileInhibited) {
  App app;
  ASSERT_TRUE(app.build("[tags]\n" + e2e::core_tags() + kContinuousTags + "\n" +
                            e2e::core_tasks("", "") + continuous_source(""),
                        sim_header() + kContinuousSim));
  ASSERT_TRUE(app.start());
  // Cycles run without any trigger; the counter follows the simulator's.
  for (int i = 0; i < 5; ++i) {
    app.forget_changes("C_RDY");
    ASSERT_TRUE(app.wait_changed("C_RDY")) << app.output();
  }
  EXPECT_EQ(app.get_int("C_STATUS"), 0);
  EXPECT_TRUE(app.wait_until([&] { return app.get_int("C_FIXED") == -777; }));
  int64_t first = app.get_int("C_COUNT");
  EXPECT_TRUE(app.wait_until([&] { return app.get_int("C_COUNT") >= first + 5; }))
      << "the counter did not move: " << app.get_int("C_COUNT");

  // Inhibited: the cycle stops after the answer in flight.
  app.set_int("C_INHIBIT", 1);
  std::this_thread::sleep_for(QUIET);
  app.forget_changes("C_RDY");
  int64_t frozen = app.get_int("C_COUNT");
  std::this_thread::sleep_for(QUIET);
  EXPECT_FALSE(app.changed("C_RDY")) << "a read completed while inhibited";
  EXPECT_EQ(app.get_int("C_COUNT"), frozen);
  EXPECT_EQ(app.mailbox_count("QTL_MBX"), 0);
  EXPECT_EQ(app.mailbox_count("PLC1_MBX"), 0);

  // Released: reading resumes by itself and catches up with the device.
  app.set_int("C_INHIBIT", 0);
  ASSERT_TRUE(app.wait_changed("C_RDY")) << app.output();
  EXPECT_TRUE(app.wait_until([&] { return app.get_int("C_COUNT") > frozen; }));
  EXPECT_TRUE(app.stop());
}

TEST(E2eRead, SyncHandshakeHoldsEachAnswerUntilTheSyncTagIsReset) {
  App app;
  ASSERT_TRUE(app.build("[tags]\n" + e2e::core_tags() + kContinuousTags + "\n" +
                            e2e::core_tasks("", "") + continuous_source("read_sync = \"C_SYNC\"\n"),
                        sim_header() + kContinuousSim));
  ASSERT_TRUE(app.start());
  // The first answer completes the read and sets the sync tag to 1 (read);
  // the next answer then waits in QUANTREL's mailbox.
  ASSERT_TRUE(app.wait_until([&] { return app.get_int("C_SYNC") == 1; })) << app.output();
  ASSERT_TRUE(app.wait_until([&] { return app.mailbox_count("QTL_MBX") == 1; }))
      << app.mailbox_count("QTL_MBX");
  app.forget_changes("C_RDY");
  int64_t held = app.get_int("C_COUNT");
  std::this_thread::sleep_for(QUIET);
  EXPECT_FALSE(app.changed("C_RDY")) << "an answer was processed while the sync tag was set";
  EXPECT_EQ(app.get_int("C_COUNT"), held);
  EXPECT_EQ(app.mailbox_count("QTL_MBX"), 1) << "held answers pile up or vanish";
  EXPECT_EQ(app.get_int("C_SYNC"), 1);

  // Each reset lets exactly one answer through, and the cycle pauses again.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("reset " + std::to_string(round));
    app.forget_changes("C_RDY");
    app.set_int("C_SYNC", 0);
    ASSERT_TRUE(app.wait_changed("C_RDY")) << app.output();
    EXPECT_TRUE(app.wait_until([&] { return app.get_int("C_SYNC") == 1; }));
    EXPECT_TRUE(app.wait_until([&] { return app.mailbox_count("QTL_MBX") == 1; }));
    std::this_thread::sleep_for(QUIET);
    EXPECT_FALSE(app.changed("C_RDY")) << "more than one answer per reset";
    EXPECT_EQ(app.mailbox_count("QTL_MBX"), 1);
  }
  // The answers let through were made after the pauses: the counter moved on.
  EXPECT_GT(app.get_int("C_COUNT"), held);
  EXPECT_EQ(app.get_int("C_STATUS"), 0);
  EXPECT_TRUE(app.stop());
}

TEST(E2eRead, UnsolicitedDataIsWrittenUnlessInhibitedOrNotAccepted) {
  App app;
  std::string tags = R"(
RCV = "digital"
R_STATUS = "analog"
R_RDY = "digital"
R_INHIBIT = "digital"
R_COUNT = "analog"
SHUT = "digital"
S_RDY = "digital"
S_COUNT = "analog"
)";
  std::string sources = R"([[quantrel.provider]]
mailbox = "PLC1_MBX"

[[quantrel.provider.source]]
name = "RCV"
unsolicited = true
status = "R_STATUS"
rcv_ready = "R_RDY"
rcv_inhibit = "R_INHIBIT"
conversions = [ { tag = "R_COUNT", address = 0, type = "DT_WORD" } ]

[[quantrel.provider.source]]
name = "SHUT"
unsolicited = false
rcv_ready = "S_RDY"
conversions = [ { tag = "S_COUNT", address = 0, type = "DT_WORD" } ]
)";
  std::string sim = sim_header() + R"([[source]]
name = "RCV"
count = 1
unit_size = 2
unsolicited_ms = 30
[[source.mover]]
kind = "counter"
at = 0
format = "int16"
min = 1
max = 30000

[[source]]
name = "SHUT"
count = 1
unit_size = 2
unsolicited_ms = 30
[[source.mover]]
kind = "counter"
at = 0
format = "int16"
min = 1
max = 30000
)";
  ASSERT_TRUE(app.build(
      "[tags]\n" + e2e::core_tags() + tags + "\n" + e2e::core_tasks("", "--trace") + sources, sim));
  ASSERT_TRUE(app.start());
  for (int i = 0; i < 3; ++i) {
    app.forget_changes("R_RDY");
    ASSERT_TRUE(app.wait_changed("R_RDY")) << app.output();
  }
  EXPECT_EQ(app.get_int("R_STATUS"), 0);
  int64_t first = app.get_int("R_COUNT");
  EXPECT_GT(first, 0);
  EXPECT_TRUE(app.wait_until([&] { return app.get_int("R_COUNT") > first; }));

  app.set_int("R_INHIBIT", 1);
  std::this_thread::sleep_for(QUIET);
  app.forget_changes("R_RDY");
  int64_t frozen = app.get_int("R_COUNT");
  std::this_thread::sleep_for(QUIET);
  EXPECT_FALSE(app.changed("R_RDY"));
  EXPECT_EQ(app.get_int("R_COUNT"), frozen);
  // Dropped data is still taken out of the mailbox.
  EXPECT_LE(app.mailbox_count("QTL_MBX"), 2);

  app.set_int("R_INHIBIT", 0);
  ASSERT_TRUE(app.wait_changed("R_RDY"));
  EXPECT_TRUE(app.wait_until([&] { return app.get_int("R_COUNT") > frozen; }));

  // The data source that does not accept unsolicited data never changes.
  EXPECT_EQ(app.get_int("S_COUNT"), 0);
  EXPECT_FALSE(app.changed("S_RDY"));
  EXPECT_LE(app.mailbox_count("QTL_MBX"), 2);
  EXPECT_TRUE(app.stop());
  EXPECT_GT(app.output_count("PLC1 > unsolicited SHUT "), 3u) << app.output();
}

TEST(E2eRead, ProviderErrorsReachTheStatusTagAndContinuousReadsGoOn) {
  App app;
  std::string tags = R"(
TRIG = "digital"
T_READ = "digital"
T_STATUS = "analog"
T_RDY = "digital"
T_SYNC = "digital"
T_VALUE = "analog"
LOOP = "digital"
L_STATUS = "analog"
L_RDY = "digital"
L_VALUE = "analog"
)";
  std::string sources = R"([[quantrel.provider]]
mailbox = "PLC1_MBX"

[[quantrel.provider.source]]
name = "TRIG"
read_enabled = true
read_trigger = "T_READ"
status = "T_STATUS"
read_ready = "T_RDY"
conversions = [ { tag = "T_VALUE", address = 0, type = "DT_WORD" } ]

[[quantrel.provider.source]]
name = "LOOP"
read_enabled = true
status = "L_STATUS"
read_ready = "L_RDY"
conversions = [ { tag = "L_VALUE", address = 0, type = "DT_WORD" } ]
)";
  std::string sim = sim_header() + R"([[source]]
name = "TRIG"
count = 1
unit_size = 2
[[source.init]]
at = 0
format = "int16"
values = [4242]
[[source.error]]
request = "read"
every = 2
code = 1001

[[source]]
name = "LOOP"
count = 1
unit_size = 2
[[source.init]]
at = 0
format = "int16"
values = [99]
[[source.error]]
request = "read"
every = 1
code = 2002
)";
  ASSERT_TRUE(app.build(
      "[tags]\n" + e2e::core_tags() + tags + "\n" + e2e::core_tasks("-d1", "") + sources, sim));
  ASSERT_TRUE(app.start());
  // First read served, second refused with the configured code, third served.
  const int64_t expected_status[] = {0, 1001, 0};
  for (int64_t want : expected_status) {
    app.forget_changes("T_RDY");
    app.set_int("T_STATUS", -1);
    app.set_int("T_READ", 1, true);
    ASSERT_TRUE(app.wait_changed("T_RDY")) << app.output();
    EXPECT_EQ(app.get_int("T_STATUS"), want);
  }
  EXPECT_EQ(app.get_int("T_VALUE"), 4242);
  EXPECT_TRUE(app.wait_output("provider error 1001")) << app.output();

  // A continuous data source whose every read fails keeps asking.
  for (int i = 0; i < 3; ++i) {
    app.forget_changes("L_RDY");
    ASSERT_TRUE(app.wait_changed("L_RDY")) << app.output();
  }
  EXPECT_EQ(app.get_int("L_STATUS"), 2002);
  EXPECT_EQ(app.get_int("L_VALUE"), 0) << "data of a failed read reached the tag";
  EXPECT_EQ(app.get_int("QTL_STATUS"), 1) << "a provider error stopped QUANTREL";
  EXPECT_TRUE(app.stop());
}

TEST(E2eRead, TheDataSourceStateDecidesWhenToQueryAndDeferredReadsRunOnce) {
  App app;
  std::string tags = R"(
DS = "digital"
D_READ = "digital"
D_STATUS = "analog"
D_RDY = "digital"
D_STATE = "analog"
D_VALUE = "long"
)";
  std::string sources = R"([[quantrel.provider]]
mailbox = "PLC1_MBX"

[[quantrel.provider.source]]
name = "DS"
read_enabled = true
read_trigger = "D_READ"
status = "D_STATUS"
read_ready = "D_RDY"
state = "D_STATE"
conversions = [ { tag = "D_VALUE", address = 0, type = "DT_LONG" } ]
)";
  // The simulator publishes no state: QUANTREL waits for one before it asks
  // for the geometry.
  std::string sim = sim_header() + R"([[source]]
name = "DS"
count = 2
unit_size = 2
[[source.init]]
at = 0
format = "int32"
values = [123456]
)";
  ASSERT_TRUE(app.build(
      "[tags]\n" + e2e::core_tags() + tags + "\n" + e2e::core_tasks("-d1", "--trace") + sources,
      sim));
  ASSERT_TRUE(app.start());
  const std::string query = "PLC1 < query";
  std::this_thread::sleep_for(QUIET);
  EXPECT_EQ(app.output_count(query), 0u) << app.output();

  // Reads triggered while the query is pending are remembered, once.
  app.forget_changes("D_RDY");
  for (int i = 0; i < 3; ++i) {
    app.set_int("D_READ", 1, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(QUIET);
  EXPECT_FALSE(app.changed("D_RDY"));
  EXPECT_EQ(app.output_count("(data-source tag forced)"), 0u);

  app.set_int("D_STATE", 0x311);  // ready: the first query
  ASSERT_TRUE(app.wait_changed("D_RDY")) << app.output();
  EXPECT_EQ(app.get_int("D_VALUE"), 123456);
  EXPECT_EQ(app.output_count(query), 1u);
  std::this_thread::sleep_for(QUIET);
  EXPECT_EQ(app.output_count("(data-source tag forced)"), 1u) << "deferred reads not made once";

  // Between 0x311 and 0x321 nothing is asked; 0x312, 0x111 and 0x321 coming
  // from another state ask again.
  struct Step {
    int state;
    size_t queries;
  };
  const Step steps[] = {{0x321, 1}, {0x311, 1}, {0x312, 2}, {0x111, 3}, {0, 3}, {0x321, 4}};
  for (const Step& s : steps) {
    SCOPED_TRACE("state " + std::to_string(s.state));
    app.set_int("D_STATE", s.state);
    if (s.queries > app.output_count(query)) {
      EXPECT_TRUE(app.wait_output(query, s.queries)) << app.output();
    } else {
      std::this_thread::sleep_for(QUIET);
    }
    EXPECT_EQ(app.output_count(query), s.queries);
  }
  // Reads still work after the new queries.
  app.forget_changes("D_RDY");
  app.set_int("D_READ", 1, true);
  EXPECT_TRUE(app.wait_changed("D_RDY"));
  EXPECT_EQ(app.get_int("D_STATUS"), 0);
  EXPECT_TRUE(app.stop());
}

}  // namespace

namespace {

// One continuous read cycle per data source: releasing the read inhibit
// restarts a paused cycle but must not add a second one beside it. Answers
// are held by the sync tag, so the held answers in QUANTREL's mailbox count
// the cycles running (on another station every request is a message).
TEST(E2eRead, ReleasingTheReadInhibitDoesNotAddReadCycles) {
  App app;
  std::string sim = sim_header();
  sim.replace(sim.find("tick_ms"), 0, "station = 2\nquantrel_station = 1\n");
  ASSERT_TRUE(app.build("[tags]\n" + e2e::core_tags() + kContinuousTags + "\n" +
                            e2e::core_tasks("-LS1", "") +
                            continuous_source("read_sync = \"C_SYNC\"\n"),
                        sim + kContinuousSim));
  ASSERT_TRUE(app.start());
  ASSERT_TRUE(app.wait_until([&] { return app.get_int("C_SYNC") == 1; })) << app.output();
  std::this_thread::sleep_for(QUIET);
  int at_start = app.mailbox_count("QTL_MBX");
  constexpr int kPulses = 3;
  for (int i = 0; i < kPulses; ++i) {
    app.set_int("C_INHIBIT", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    app.set_int("C_INHIBIT", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(QUIET);
  int after_pulses = app.mailbox_count("QTL_MBX");
  EXPECT_TRUE(app.stop());
  EXPECT_EQ(at_start, 1) << "read cycles running at start";
  EXPECT_EQ(after_pulses, 1) << "read cycles running after " << kPulses << " inhibit pulses";
}

}  // namespace
