// The simulator's answers, checked byte by byte by a client task standing in
// for QUANTREL on a private database.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "tests/system/sim_fixture.h"

namespace simtest {
namespace {

using Bytes = std::vector<uint8_t>;

const char* const kWords = R"(
[[source]]
name = "WORDS"
start = 100
count = 4
unit_size = 2
[[source.init]]
at = 100
values = [0x1234, 0xABCD, 1, 2]
)";

std::string words_with(const std::string& flags) {
  std::string s = kWords;
  s.insert(s.find("[[source.init]]"), flags + "\n");
  return s;
}

// ---- Queries ----------------------------------------------------------------------------

TEST_F(SimTest, QueryReplyOnTheOwnStationCarriesGeometryNameAndTheQueryKey) {
  ASSERT_TRUE(start(words_with("byte_swap = true\nprovider_name = \"PLC:W\"")));
  Got g = [&] {
    query("WORDS", tag("WORDS"));
    EXPECT_EQ(serve(), 1);
    return take();
  }();
  EXPECT_EQ(g.kind(), SIM_KIND_QUERY_REPLY);
  EXPECT_EQ(g.desc.control, 0x0001) << "kind 1, station 0, header not swapped";
  EXPECT_EQ(g.desc.station, 0xAB00) << "the requester's station word comes back";
  EXPECT_EQ(g.desc.reserved1, 0xFFFF);
  EXPECT_EQ(g.desc.reserved2, 0xFFFF);
  EXPECT_TRUE(tag_ref_equal(g.desc.key, tag("WORDS")));
  EXPECT_EQ(g.desc.sender, sim_id_);
  Bytes expected = {0x03, 0x21, 4, 0, 100, 0, 0, 0, 'P', 'L', 'C', ':', 'W'};
  EXPECT_EQ(g.data, expected) << "flags 0x2103, count 4, start 100, then the name without NUL";
}

TEST_F(SimTest, QueryReplyOnAnotherStationUsesTheSimsKeyForEveryLaterAnswer) {
  const std::string sim =
      "[sim]\nmailbox = \"SIM_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n"
      "station = 5\nquantrel_station = 3\n";
  ASSERT_TRUE(start(std::string(kWords) + R"(
[[source]]
name = "BYTES"
count = 2
unit_size = 1
one_based_bits = true
low_bit_first = true
flag_bit10 = true
remote_key = "OWNKEY"
)",
                    sim));
  query("WORDS", tag("WORDS"));
  query("BYTES", tag("BYTES"));
  ASSERT_EQ(serve(), 2);
  Got w = take();
  EXPECT_EQ(w.desc.control, 0x0501) << "kind 1 from station 5";
  EXPECT_EQ(w.desc.station, 0xAB03);
  EXPECT_EQ(w.desc.key.type, SIM_DEFAULT_KEY_TYPE);
  EXPECT_EQ(w.desc.key.index, 1);
  EXPECT_EQ(w.header().flags, 0x2003);
  Got b = take();
  EXPECT_TRUE(tag_ref_equal(b.desc.key, tag("OWNKEY")));
  EXPECT_EQ(b.header().flags, 0x1003 | 0x0200 | 0x0400 | 0x0800);
  EXPECT_EQ(b.header().count, 2);

  // QUANTREL's requests carry its own data-source tag; the answers the remote key.
  Got r = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 4, 100, 0});
  EXPECT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.desc.control, 0x0503);
  EXPECT_EQ(r.desc.key.type, SIM_DEFAULT_KEY_TYPE);
  // A request keyed with the remote key is served as well.
  r = exchange(SIM_KIND_READ, w.desc.key, Hdr{0x2003, 1, 101, 0});
  EXPECT_EQ(r.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(r.payload(), (Bytes{0xCD, 0xAB}));
}

TEST_F(SimTest, QueriesForUnknownNamesOrWithAShortNameAreRefused) {
  ASSERT_TRUE(start(kWords));
  Got g = [&] {
    query("NOPE", tag("BYTES"));
    EXPECT_EQ(serve(), 1);
    return take();
  }();
  EXPECT_EQ(g.kind(), SIM_KIND_QUERY_ERROR);
  EXPECT_TRUE(tag_ref_equal(g.desc.key, tag("BYTES")));
  EXPECT_EQ(g.data, (Bytes{0x03, 0x20, 2, 0, 0, 0, 0, 0, 0x21, 0x03, 0, 0}))
      << "unit size 2, count 2, code 801 at data offset 0, length by the data rule";

  // count says 20 characters, 5 came.
  send(SIM_KIND_QUERY, tag("WORDS"), Hdr{3, 20, 0, 0}, Bytes{'W', 'O', 'R', 'D', 'S'});
  serve();
  g = take();
  EXPECT_EQ(g.kind(), SIM_KIND_QUERY_ERROR);
  EXPECT_EQ(g.code(), SIM_ERR_MALFORMED);
  // A name sent with its NUL is still the name.
  send(SIM_KIND_QUERY, tag("WORDS"), Hdr{3, 6, 0, 0}, Bytes{'W', 'O', 'R', 'D', 'S', 0});
  serve();
  EXPECT_EQ(take().kind(), SIM_KIND_QUERY_REPLY);
}

// ---- Reads ------------------------------------------------------------------------------

struct ReadCase {
  const char* source;
  const char* tag;
  Hdr request;
  uint16_t flags;  // of the answer
  Bytes data;
};

TEST_F(SimTest, ReadDataIsTheMemoryInTheBlocksByteAndBitOrder) {
  ASSERT_TRUE(start(R"(
[[source]]
name = "WORDS"
start = 100
count = 4
unit_size = 2
[[source.init]]
at = 100
values = [0x1234, 0xABCD, 1, 2]

[[source]]
name = "BYTES"
count = 5
unit_size = 1
byte_swap = true
[[source.init]]
values = [1, 2]
[[source.init]]
at = 2
format = "int16"
values = [0x0A0B]

[[source]]
name = "LONGS"
start = 10
count = 3
unit_size = 4
byte_swap = true
[[source.init]]
at = 10
values = [0x01020304, -2]
[[source.init]]
at = 12
format = "float32"
values = [1.5]

[[source]]
name = "BITS"
count = 12
unit_size = 0
[[source.init]]
values = [1, 0, 1, 1, 0, 0, 0, 0, 1]
)"));
  const ReadCase cases[] = {
      {"WORDS", "WORDS", {0x2003, 4, 100, 0}, 0x2003, {0x34, 0x12, 0xCD, 0xAB, 1, 0, 2, 0}},
      {"WORDS part", "WORDS", {0x2003, 2, 101, 0}, 0x2003, {0xCD, 0xAB, 1, 0}},
      {"BYTES", "BYTES", {0, 0, 0, 0}, 0x1103, {1, 2, 0x0A, 0x0B, 0}},
      {"LONGS",
       "LONGS",
       {0x4103, 3, 10, 0},
       0x4103,
       {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFE, 0x3F, 0xC0, 0, 0}},
      {"BITS", "BITS", {0x0003, 12, 0, 0}, 0x0003, {0xB0, 0x80}},
      {"BITS from 2", "BITS", {0x0003, 7, 2, 0}, 0x0003, {0xC2}},
      {"BITS 8 of them", "BITS", {0x0003, 8, 0, 0}, 0x0003, {0xB0, 0x00}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.source);
    Got g = exchange(SIM_KIND_READ, tag(c.tag), c.request);
    EXPECT_EQ(g.kind(), SIM_KIND_READ_DATA);
    EXPECT_TRUE(tag_ref_equal(g.desc.key, tag(c.tag)));
    uint16_t count = c.request.count ? c.request.count : g.header().count;
    EXPECT_EQ(g.header().flags, c.flags);
    EXPECT_EQ(g.header().count, count);
    EXPECT_EQ(g.payload(), c.data);
    uint8_t unit = static_cast<uint8_t>(c.flags >> 12);
    size_t rule = unit ? count * unit + 8u : count / 8u + 9u;
    EXPECT_EQ(g.desc.length, rule) << "length by the data rule";
  }
}

TEST_F(SimTest, LowBitFirstBitsCountFromTheLowBitOfEachByte) {
  ASSERT_TRUE(start(R"(
[[source]]
name = "BITS"
count = 12
unit_size = 0
low_bit_first = true
[[source.init]]
values = [1, 0, 1, 1, 0, 0, 0, 0, 1]
)"));
  Got g = exchange(SIM_KIND_READ, tag("BITS"), Hdr{0x0203, 0, 0, 0});
  EXPECT_EQ(g.header().flags, 0x0203);
  EXPECT_EQ(g.payload(), (Bytes{0x0D, 0x01}));
  g = exchange(SIM_KIND_READ, tag("BITS"), Hdr{0x0203, 7, 2, 0});
  EXPECT_EQ(g.payload(), (Bytes{0x43}));
}

TEST_F(SimTest, ReadsOutsideTheBlockOrForUnknownKeysAreRefused) {
  ASSERT_TRUE(start(kWords));
  Got g = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 2, 103, 0});
  EXPECT_EQ(g.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(g.code(), SIM_ERR_RANGE);
  g = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 1, 99, 0});
  EXPECT_EQ(g.code(), SIM_ERR_RANGE);
  g = exchange(SIM_KIND_READ, tag("LONGS"), Hdr{0x2003, 1, 100, 0});
  EXPECT_EQ(g.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(g.code(), SIM_ERR_NO_SOURCE);
  EXPECT_TRUE(tag_ref_equal(g.desc.key, tag("LONGS")));
  // A request shorter than its header.
  send(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 4, 100, 0}, {}, 5);
  serve();
  g = take();
  EXPECT_EQ(g.kind(), SIM_KIND_READ_ERROR);
  EXPECT_EQ(g.code(), SIM_ERR_MALFORMED);
  EXPECT_EQ(g.desc.length, 12);
}

// ---- Writes -----------------------------------------------------------------------------

struct WriteCase {
  const char* what;
  Hdr request;
  Bytes payload;
  Bytes memory;  // WORDS afterwards (8 bytes)
};

TEST_F(SimTest, WritesUpdateTheMemoryByTransferTypeAndAreAcknowledged) {
  ASSERT_TRUE(start(kWords));
  const Bytes initial = {0x34, 0x12, 0xCD, 0xAB, 1, 0, 2, 0};
  const WriteCase cases[] = {
      {"whole units",
       {0x2003, 2, 101, 0x0C00},
       {0x11, 0x22, 0x33, 0x44},
       {0x34, 0x12, 0x11, 0x22, 0x33, 0x44, 2, 0}},
      {"typed low byte",
       {0x2003, 1, 100, 0x0400},
       {0xEE, 0x00},
       {0xEE, 0x12, 0xCD, 0xAB, 1, 0, 2, 0}},
      {"typed high byte",
       {0x2003, 1, 100, 0x0408},
       {0x77, 0x00},
       {0x34, 0x77, 0xCD, 0xAB, 1, 0, 2, 0}},
      {"typed bit 3 set",
       {0x2003, 1, 103, 0x0103},
       {0x01, 0x00},
       {0x34, 0x12, 0xCD, 0xAB, 1, 0, 2, 0x10}},
      {"typed bit 0 cleared",
       {0x2003, 1, 101, 0x0100},
       {0x00, 0x00},
       {0x34, 0x12, 0xCD, 0x2B, 1, 0, 2, 0}},
      {"typed word",
       {0x2003, 1, 102, 0x0600},
       {0x78, 0x56},
       {0x34, 0x12, 0xCD, 0xAB, 0x78, 0x56, 2, 0}},
      {"untyped bit 15 cleared, other bits ignored",
       {0x2013, 1, 102, 0x010F},
       {0xFE, 0xFF},
       {0x34, 0x12, 0xCD, 0xAB, 0, 0, 2, 0}},
      {"untyped byte",
       {0x2013, 1, 100, 0x0400},
       {0x99, 0x55},
       {0x99, 0x12, 0xCD, 0xAB, 1, 0, 2, 0}},
      {"untyped long",
       {0x2013, 2, 102, 0x0800},
       {9, 8, 7, 6},
       {0x34, 0x12, 0xCD, 0xAB, 9, 8, 7, 6}},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.what);
    sim_.sources[0].memory.bytes = initial;
    Got g = exchange(SIM_KIND_WRITE, tag("WORDS"), c.request, c.payload);
    EXPECT_EQ(g.kind(), SIM_KIND_WRITE_ACK) << "code " << g.code();
    EXPECT_EQ(g.desc.length, 8);
    Hdr h = g.header();
    EXPECT_EQ(h.flags, c.request.flags);
    EXPECT_EQ(h.count, c.request.count);
    EXPECT_EQ(h.start, c.request.start);
    EXPECT_EQ(h.transfer, c.request.transfer);
    EXPECT_EQ(sim_.sources[0].memory.bytes, c.memory);
  }
  // What was written is what a read returns.
  Got g = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 4, 100, 0});
  EXPECT_EQ(g.payload(), cases[8].memory);
}

TEST_F(SimTest, TypedWritesFollowTheBlocksBitOrderAndByteOrder) {
  ASSERT_TRUE(start(R"(
[[source]]
name = "LONGS"
count = 1
unit_size = 4
byte_swap = true
low_bit_first = true
[[source.init]]
values = [0x01020304]
)"));
  SimMemory& m = sim_.sources[0].memory;
  Got g =
      exchange(SIM_KIND_WRITE, tag("LONGS"), Hdr{0x4303, 1, 0, 0x0600}, Bytes{0xEF, 0xBE, 0, 0});
  EXPECT_EQ(g.kind(), SIM_KIND_WRITE_ACK);
  EXPECT_EQ(m.bytes, (Bytes{0x01, 0x02, 0xBE, 0xEF})) << "low word replaced, big-endian unit";
  g = exchange(SIM_KIND_WRITE, tag("LONGS"), Hdr{0x4303, 1, 0, 0x0108}, Bytes{1, 0, 0, 0});
  EXPECT_EQ(m.bytes, (Bytes{0x01, 0x02, 0xBF, 0xEF})) << "bit 8 counted from the low bit";
  g = exchange(SIM_KIND_WRITE, tag("LONGS"), Hdr{0x4303, 1, 0, 0x0408}, Bytes{0x42, 0, 0, 0});
  EXPECT_EQ(m.bytes, (Bytes{0x01, 0x02, 0x42, 0xEF}));
  g = exchange(SIM_KIND_WRITE, tag("LONGS"), Hdr{0x4303, 1, 0, 0x0800}, Bytes{4, 3, 2, 1});
  EXPECT_EQ(m.bytes, (Bytes{1, 2, 3, 4}));
}

TEST_F(SimTest, BitBlockWritesTakeBitsPackedFromTheFirstByte) {
  ASSERT_TRUE(start(R"(
[[source]]
name = "BITS"
count = 12
unit_size = 0
low_bit_first = true
[[source.init]]
values = [0, 0, 0, 0, 0, 1]
)"));
  Got g = exchange(SIM_KIND_WRITE, tag("BITS"), Hdr{0x0203, 3, 4, 0x0C00}, Bytes{0x05});
  EXPECT_EQ(g.kind(), SIM_KIND_WRITE_ACK);
  const SimMemory& m = sim_.sources[0].memory;
  EXPECT_TRUE(sim_memory_bit(m, 4));
  EXPECT_FALSE(sim_memory_bit(m, 5));
  EXPECT_TRUE(sim_memory_bit(m, 6));
  EXPECT_EQ(m.bytes[0], 0x50);
  // A bit form on a bit-addressed block is not served.
  g = exchange(SIM_KIND_WRITE, tag("BITS"), Hdr{0x0203, 1, 0, 0x0100}, Bytes{1, 0});
  EXPECT_EQ(g.code(), SIM_ERR_FORM);
}

TEST_F(SimTest, RefusedWritesLeaveTheMemoryAlone) {
  ASSERT_TRUE(start(kWords));
  const Bytes initial = sim_.sources[0].memory.bytes;
  struct Refusal {
    const char* what;
    Hdr request;
    Bytes payload;
    uint16_t code;
  } const refusals[] = {
      {"past the end", {0x2003, 2, 103, 0x0C00}, {1, 2, 3, 4}, SIM_ERR_RANGE},
      {"before the start", {0x2003, 1, 99, 0x0400}, {1, 0}, SIM_ERR_RANGE},
      {"bit beyond the unit", {0x2003, 1, 100, 0x0110}, {1, 0}, SIM_ERR_RANGE},
      {"string form", {0x2003, 1, 100, 0x0C80}, {1, 0}, SIM_ERR_FORM},
      {"typed long on words", {0x2003, 2, 100, 0x0800}, {1, 0, 0, 0}, SIM_ERR_FORM},
      {"other unit size", {0x1003, 2, 100, 0x0C00}, {1, 2}, SIM_ERR_UNIT},
      {"data shorter than count", {0x2003, 2, 100, 0x0C00}, {1, 2}, SIM_ERR_MALFORMED},
      {"typed value missing", {0x2003, 1, 100, 0x0400}, {}, SIM_ERR_MALFORMED},
      {"no units", {0x2003, 0, 100, 0x0C00}, {}, SIM_ERR_MALFORMED},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    Got g = exchange(SIM_KIND_WRITE, tag("WORDS"), r.request, r.payload);
    EXPECT_EQ(g.kind(), SIM_KIND_WRITE_ERROR);
    EXPECT_EQ(g.code(), r.code);
    EXPECT_EQ(g.desc.length, 12);
    EXPECT_EQ(sim_.sources[0].memory.bytes, initial);
  }
  EXPECT_EQ(sim_.sources[0].requests[SIM_REQ_WRITE], 0u) << "refusals are not served requests";
}

// ---- Error injection ----------------------------------------------------------------------

TEST_F(SimTest, ConfiguredErrorsReplaceAnswersOnTheirRhythmAndAddresses) {
  ASSERT_TRUE(start(words_with("unsolicited_ms = 10") + R"(
[[source.error]]
request = "read"
every = 3
code = 1234
[[source.error]]
request = 13
first = 102
last = 102
code = 4321
[[source.error]]
request = "query"
every = 2
code = 7
[[source.error]]
request = "unsolicited"
every = 2
code = 15
)"));
  std::vector<uint16_t> kinds;
  for (int i = 0; i < 6; ++i) {
    Got g = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 4, 100, 0});
    kinds.push_back(g.kind());
    if (g.kind() == SIM_KIND_READ_ERROR) {
      EXPECT_EQ(g.code(), 1234);
      EXPECT_EQ(g.header().flags, 0x2003);
      EXPECT_EQ(g.header().count, 2);
    }
  }
  EXPECT_EQ(kinds, (std::vector<uint16_t>{3, 3, 11, 3, 3, 11}));

  const Bytes before = sim_.sources[0].memory.bytes;
  Got g = exchange(SIM_KIND_WRITE, tag("WORDS"), Hdr{0x2003, 1, 100, 0x0C00}, Bytes{9, 9});
  EXPECT_EQ(g.kind(), SIM_KIND_WRITE_ACK);
  g = exchange(SIM_KIND_WRITE, tag("WORDS"), Hdr{0x2003, 2, 101, 0x0C00}, Bytes{7, 7, 7, 7});
  EXPECT_EQ(g.kind(), SIM_KIND_WRITE_ERROR);
  EXPECT_EQ(g.code(), 4321);
  EXPECT_EQ(sim_.sources[0].memory.bytes[2], before[2]) << "a refused write changes nothing";

  query("WORDS", tag("WORDS"));
  query("WORDS", tag("WORDS"));
  serve();
  EXPECT_EQ(take().kind(), SIM_KIND_QUERY_REPLY);
  g = take();
  EXPECT_EQ(g.kind(), SIM_KIND_QUERY_ERROR);
  EXPECT_EQ(g.code(), 7);

  sim_tick(&sim_, 1000);  // schedules the first unsolicited data
  sim_tick(&sim_, 1010);
  sim_tick(&sim_, 1020);
  ASSERT_EQ(answers(), 2);
  EXPECT_EQ(take().kind(), SIM_KIND_UNSOLICITED);
  g = take();
  EXPECT_EQ(g.kind(), SIM_KIND_RECEIVE_ERROR);
  EXPECT_EQ(g.code(), 15);
}

// ---- Own station, unsolicited data, state ----------------------------------------------------

TEST_F(SimTest, ForcedWriteOfTheDataSourceTagIsAnsweredWithReadData) {
  ASSERT_TRUE(start(words_with("") + R"(
[[source]]
name = "BITS"
count = 3
unit_size = 0
[[source.init]]
values = [1, 1, 0]
)"));
  ASSERT_EQ(sim_.wait_tags.size(), 3u);
  std::string error;
  ASSERT_EQ(sim_poll(&sim_, &error), 0) << error;
  EXPECT_EQ(answers(), 0) << "nothing changed yet";

  int16_t one = 1, zero = 0;
  ASSERT_EQ(zq_f_write(client_, &sim_.wait_tags[2], 1, &one), 0);
  ASSERT_EQ(sim_poll(&sim_, &error), 0) << error;
  ASSERT_EQ(answers(), 1);
  Got g = take();
  EXPECT_EQ(g.kind(), SIM_KIND_READ_DATA);
  EXPECT_TRUE(tag_ref_equal(g.desc.key, tag("BITS")));
  EXPECT_EQ(g.desc.control, 0x0003);
  EXPECT_EQ(g.desc.station, 0);
  EXPECT_EQ(g.data, (Bytes{0x03, 0x00, 3, 0, 0, 0, 0, 0, 0xC0}));

  // Writing 0 back is no read request; forcing 1 again is.
  ASSERT_EQ(zq_write(client_, &sim_.wait_tags[2], 1, &zero), 0);
  ASSERT_EQ(sim_poll(&sim_, &error), 0) << error;
  EXPECT_EQ(answers(), 0);
  ASSERT_EQ(zq_f_write(client_, &sim_.wait_tags[2], 1, &one), 0);
  ASSERT_EQ(zq_f_write(client_, &sim_.wait_tags[1], 1, &one), 0);
  query("WORDS", tag("WORDS"));
  ASSERT_EQ(sim_poll(&sim_, &error), 0) << error;
  EXPECT_EQ(answers(), 3);
  EXPECT_EQ(sim_.sources[1].requests[SIM_REQ_READ], 2u);
}

TEST_F(SimTest, ForcedWritesOfLongDataSourceTagsCountByTheirWholeValue) {
  ASSERT_TRUE(start("[[source]]\nname = \"STATE2\"\ncount = 1\n"));
  int32_t big = 0x10000;  // its low 16 bits are 0
  std::string error;
  ASSERT_EQ(zq_f_write(client_, &sim_.wait_tags[1], 1, &big), 0);
  ASSERT_EQ(sim_poll(&sim_, &error), 0) << error;
  ASSERT_EQ(answers(), 1);
  EXPECT_EQ(take().kind(), SIM_KIND_READ_DATA);
}

TEST_F(SimTest, ForcedWritesAreNotWatchedOnAnotherStation) {
  ASSERT_TRUE(start(kWords,
                    "[sim]\nmailbox = \"SIM_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n"
                    "station = 2\nquantrel_station = 1\n"));
  EXPECT_EQ(sim_.wait_tags.size(), 1u);
}

TEST_F(SimTest, UnsolicitedDataFollowsItsPeriodOnceTheSourceWasQueried) {
  ASSERT_TRUE(start(words_with("unsolicited_ms = 50")));
  sim_tick(&sim_, 100);
  sim_tick(&sim_, 500);
  EXPECT_EQ(answers(), 0) << "QUANTREL does not know the data source yet";
  query("WORDS", tag("WORDS"));
  serve();
  take();
  sim_tick(&sim_, 510);
  sim_tick(&sim_, 559);
  EXPECT_EQ(answers(), 0);
  sim_tick(&sim_, 560);
  ASSERT_EQ(answers(), 1);
  Got g = take();
  EXPECT_EQ(g.kind(), SIM_KIND_UNSOLICITED);
  EXPECT_TRUE(tag_ref_equal(g.desc.key, tag("WORDS")));
  EXPECT_EQ(g.data, (Bytes{0x03, 0x20, 4, 0, 100, 0, 0, 0, 0x34, 0x12, 0xCD, 0xAB, 1, 0, 2, 0}));
  sim_tick(&sim_, 600);
  EXPECT_EQ(answers(), 0);
  sim_tick(&sim_, 610);
  EXPECT_EQ(answers(), 1);
}

TEST_F(SimTest, MoversChangeWhatReadsReturn) {
  ASSERT_TRUE(start(R"(
tick_ms = 10
[[source]]
name = "WORDS"
count = 2
unit_size = 2
[[source.mover]]
kind = "counter"
max = 2
[[source.mover]]
kind = "constant"
at = 1
value = 77
)"));
  Got g = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 2, 0, 0});
  EXPECT_EQ(g.payload(), (Bytes{0, 0, 0, 0}));
  std::vector<uint8_t> seen;
  for (uint64_t t = 10; t <= 40; t += 10) {
    sim_tick(&sim_, t);
    g = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 2, 0, 0});
    seen.push_back(g.payload()[0]);
    EXPECT_EQ(g.payload()[2], 77);
  }
  EXPECT_EQ(seen, (Bytes{1, 2, 0, 1}));
  sim_tick(&sim_, 45);  // less than a tick later: no step
  g = exchange(SIM_KIND_READ, tag("WORDS"), Hdr{0x2003, 2, 0, 0});
  EXPECT_EQ(g.payload()[0], 1);
}

TEST_F(SimTest, StateValuesArePublishedAtStartAndStop) {
  ASSERT_TRUE(start(words_with("state_tag = \"STATE1\"") + R"(
[[source]]
name = "LONGS"
count = 1
state_tag = "STATE2"
state_value = 0x312
stop_state_value = 0
)"));
  EXPECT_EQ(sim_publish_state(&sim_, false), 0);
  int16_t s1 = 0;
  int32_t s2 = 0;
  TagRef t1 = tag("STATE1"), t2 = tag("STATE2");
  ASSERT_EQ(zq_read(client_, &t1, 1, &s1), 0);
  ASSERT_EQ(zq_read(client_, &t2, 1, &s2), 0);
  EXPECT_EQ(s1, 0x311);
  EXPECT_EQ(s2, 0x312);
  EXPECT_EQ(sim_publish_state(&sim_, true), 0);
  ASSERT_EQ(zq_read(client_, &t1, 1, &s1), 0);
  ASSERT_EQ(zq_read(client_, &t2, 1, &s2), 0);
  EXPECT_EQ(s1, 0x311) << "no stop value given";
  EXPECT_EQ(s2, 0);
}

// ---- Malformed and foreign messages, set-up ------------------------------------------------

TEST_F(SimTest, MessagesThatAreNoRequestsAreDroppedAndSwappedHeadersUnderstood) {
  ASSERT_TRUE(start(kWords));
  send(6, tag("WORDS"), Hdr{});
  send(SIM_KIND_READ_DATA, tag("WORDS"), Hdr{0x2003, 1, 100, 0}, Bytes{1, 2});
  send(SIM_KIND_WRITE_ACK, tag("WORDS"), Hdr{}, {}, 0);
  EXPECT_EQ(serve(), 3);
  EXPECT_EQ(answers(), 0);
  EXPECT_EQ(sim_.counters.dropped, 3u);

  // Header words byte-swapped by the sender (control bit 6).
  send(SIM_KIND_READ, tag("WORDS"), Hdr{0x0320, 0x0100, 0x6500, 0}, {}, 8, 0x0040);
  serve();
  Got g = take();
  EXPECT_EQ(g.kind(), SIM_KIND_READ_DATA);
  EXPECT_EQ(g.header().start, 101);
  EXPECT_EQ(g.payload(), (Bytes{0xCD, 0xAB}));

  bool traced_request = false, traced_answer = false;
  for (const std::string& line : trace_) {
    traced_request = traced_request || line.find("SIM < read key=") != std::string::npos;
    traced_answer = traced_answer || line.find("SIM > read data WORDS") != std::string::npos;
  }
  EXPECT_TRUE(traced_request);
  EXPECT_TRUE(traced_answer);
}

TEST_F(SimTest, SetUpRefusesNamesThatAreNotTagsOfTheRightType) {
  EXPECT_FALSE(start("[[source]]\nname = \"NOPE\"\ncount = 1\n"));
  EXPECT_NE(setup_error_.find("'NOPE'"), std::string::npos) << setup_error_;
  EXPECT_FALSE(start(kWords, "[sim]\nmailbox = \"WORDS\"\nquantrel_mailbox = \"QTL_MBX\"\n"));
  EXPECT_NE(setup_error_.find("not a mailbox"), std::string::npos) << setup_error_;
  EXPECT_FALSE(start(words_with("state_tag = \"TEXT\"")));
  EXPECT_NE(setup_error_.find("TEXT"), std::string::npos) << setup_error_;
  EXPECT_FALSE(start(words_with("remote_key = \"MISSING\"")));
  // On another station a data-source name need not be a tag: queries name it.
  EXPECT_TRUE(start("[[source]]\nname = \"NOPE\"\ncount = 1\n",
                    "[sim]\nmailbox = \"SIM_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\nstation = 1\n"));
}

// Random requests of every kind, key, length and header never break the
// simulator: every answer keeps the data rule and the memories their size.
TEST_F(SimTest, RandomRequestsGetWellFormedAnswersOrAreDropped) {
  ASSERT_TRUE(start(std::string(kWords) + R"(
[[source]]
name = "BITS"
count = 13
unit_size = 0
[[source]]
name = "LONGS"
count = 5
unit_size = 4
byte_swap = true
[[source]]
name = "BYTES"
start = 65530
count = 6
unit_size = 1
)"));
  const TagRef keys[] = {tag("WORDS"), tag("BITS"), tag("LONGS"), tag("BYTES"), TagRef{9, 9}};
  const char* const names[] = {"WORDS", "BITS", "LONGS", "BYTES", "NONE"};
  std::vector<size_t> sizes;
  for (const SimSource& src : sim_.sources) sizes.push_back(src.memory.bytes.size());
  SimRandom random;
  sim_random_seed(&random, 7);
  auto next = [&](uint32_t n) {
    return static_cast<uint32_t>((sim_random_unit(&random) + 1.0) * 0.5 * n) % n;
  };
  std::map<uint16_t, int> seen;
  const uint16_t transfers[] = {0x0C00, 0x0100, 0x0107, 0x010F, 0x011F, 0x0400, 0x0408,
                                0x0600, 0x0800, 0x0B00, 0x0C80, 0x0000, 0xFFFF};
  for (int i = 0; i < 20000; ++i) {
    MbxMessage m = {};
    m.control = static_cast<uint16_t>(next(16) | (next(4) == 0 ? SIM_CTRL_SWAPPED : 0));
    m.key = keys[next(5)];
    Bytes data(next(48), 0);
    for (uint8_t& b : data) b = static_cast<uint8_t>(next(256));
    if (data.size() >= 8 && next(2) == 0) {
      put16(&data[0], static_cast<uint16_t>((next(5) << 12) | next(0x1000)));
      put16(&data[2], static_cast<uint16_t>(next(20)));
      put16(&data[4], static_cast<uint16_t>(next(2) ? 100 + next(6) : 65528 + next(8)));
      put16(&data[6], transfers[next(13)]);
    }
    if ((m.control & 0x0F) == SIM_KIND_QUERY && next(2) == 0) {
      std::string name = names[next(5)];
      data.assign(8, 0);
      put16(&data[2], static_cast<uint16_t>(name.size() + next(3)));
      data.insert(data.end(), name.begin(), name.end());
    }
    SimAnswer a = sim_answer(&sim_, m, data.data(), static_cast<uint16_t>(data.size()));
    if (!a.send) {
      EXPECT_NE(m.control & 0x0F, SIM_KIND_QUERY);
      EXPECT_NE(m.control & 0x0F, SIM_KIND_READ);
      EXPECT_NE(m.control & 0x0F, SIM_KIND_WRITE);
      continue;
    }
    ASSERT_GE(a.data.size(), 8u);
    ++seen[a.kind];
    Hdr h = {get16(&a.data[0]), get16(&a.data[2]), get16(&a.data[4]), get16(&a.data[6])};
    EXPECT_EQ(h.flags & 0x0F, 3);
    switch (a.kind) {
      case SIM_KIND_QUERY_ERROR:
      case SIM_KIND_READ_ERROR:
      case SIM_KIND_WRITE_ERROR:
        EXPECT_EQ(a.data.size(), 12u);
        break;
      case SIM_KIND_READ_DATA: {
        unsigned unit = h.flags >> 12;
        EXPECT_EQ(a.data.size(), unit ? 8u + h.count * unit : 9u + h.count / 8u);
        const SimMemory& mem = sim_.sources[a.source].memory;
        EXPECT_GE(h.start, mem.start);
        EXPECT_LE(uint32_t{h.start} + h.count, uint32_t{mem.start} + mem.count);
        break;
      }
      case SIM_KIND_WRITE_ACK:
        EXPECT_EQ(a.data.size(), 8u);
        break;
      case SIM_KIND_QUERY_REPLY:
        EXPECT_EQ(a.data.size(), 8u + sim_.sources[a.source].config.provider_name.size());
        break;
      default:
        ADD_FAILURE() << "unexpected answer kind " << a.kind;
    }
  }
  for (size_t i = 0; i < sizes.size(); ++i)
    EXPECT_EQ(sim_.sources[i].memory.bytes.size(), sizes[i]);
  for (uint16_t kind : {1, 3, 5, 9, 11, 13}) EXPECT_GT(seen[kind], 0) << "kind " << kind;
}

// ---- The loop ---------------------------------------------------------------------------

TEST_F(SimTest, RunServesRequestsSendsTicksAndStopsOnRequest) {
  ASSERT_TRUE(start(words_with("unsolicited_ms = 20")));
  int rc = -1;
  std::string error;
  std::thread loop([&] { rc = sim_run(&sim_, &error); });
  query("WORDS", tag("WORDS"));
  auto wait_for = [&](uint16_t kind) {
    for (int i = 0; i < 500; ++i) {
      if (answers() > 0) {
        Got g = take();
        if (g.kind() == kind) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  EXPECT_TRUE(wait_for(SIM_KIND_QUERY_REPLY));
  EXPECT_TRUE(wait_for(SIM_KIND_UNSOLICITED)) << "the tick sends unsolicited data";
  ASSERT_EQ(zq_task_request_term(db_, "SIM"), 0);
  loop.join();
  EXPECT_EQ(rc, SIM_RUN_STOPPED) << error;
}

}  // namespace
}  // namespace simtest
