// QUANTREL's own message layer against the simulator, in one process: the
// layer queries, reads and writes; the simulator serves; the layer must
// accept every answer and hand it to the data source's handler.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "mci/mci.h"
#include "tests/system/sim_fixture.h"

namespace simtest {
namespace {

using Bytes = std::vector<uint8_t>;

struct Delivered {
  uint16_t kind;
  Bytes data;
};
std::vector<Delivered> g_delivered;

int on_message(DataSource* r) {
  uint16_t kind = r->message.control & 0x0F;
  if (mci_receive(mci_handle(), r) != 0) return -1;
  Bytes data;
  if (r->receive_state == MCI_RECEIVE_IN_MAILBOX && r->message.data != nullptr) {
    data.assign(r->message.data, r->message.data + r->message.length);
  }
  g_delivered.push_back({kind, data});
  return 0;
}

void no_pause(int) {}

class SimWithMci : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    setenv("ZQAPP", app_.c_str(), 1);
    shared_.assign(MCI_MESSAGE_BUFFER_SIZE, 0);
    g_delivered.clear();
    mci_set_idle_pause(no_pause);
  }
  void TearDown() override {
    mci_set_idle_pause(nullptr);
    mci_release();
    SimTest::TearDown();
  }

  DataSource* register_source(uint8_t station, const char* name) {
    handle_ = {client_, tag("QTL_MBX"), station};
    if (mci_slot_count() == 0 && mci_init(&handle_) != 0) return nullptr;
    DataSource r = {};
    snprintf(r.name, sizeof r.name, "%s", name);
    r.message.key = tag(name);
    r.destination = tag("SIM_MBX");
    r.default_buffer = {shared_.data(), MCI_MESSAGE_BUFFER_SIZE, 0};
    r.message.data = shared_.data();
    r.message.capacity = MCI_MESSAGE_BUFFER_SIZE;
    r.handler = on_message;
    return mci_register(&r);
  }

  int run_mailbox() {
    ChangeRecord none = {};
    return mci_on_mailbox(nullptr, none);
  }

  // The simulator serves everything waiting, then the layer takes the answers.
  void round_trip() {
    std::string error;
    ASSERT_EQ(sim_poll(&sim_, &error), 0) << error;
    ASSERT_EQ(run_mailbox(), 0);
  }

  MciHandle handle_ = {};
  Bytes shared_;
};

const char* const kSource = R"(
[[source]]
name = "WORDS"
start = 100
count = 4
unit_size = 2
byte_swap = true
[[source.init]]
at = 100
values = [0x1234, 0xABCD, 1, 2]
)";

TEST_F(SimWithMci, OnTheOwnStationTheLayerLearnsTheGeometryReadsByForcingAndWrites) {
  ASSERT_TRUE(start(kSource));
  DataSource* ds = register_source(0, "WORDS");
  ASSERT_NE(ds, nullptr);
  ASSERT_EQ(mci_query(ds), 0);
  round_trip();
  EXPECT_FALSE(mci_query_pending(ds));
  EXPECT_EQ(ds->start, 100);
  EXPECT_EQ(ds->count, 4);
  EXPECT_EQ(ds->unit_size, 2);
  EXPECT_EQ(ds->byte_swap, 1);
  EXPECT_TRUE(tag_ref_equal(mci_slot(ds->slot)->remote_key, tag("WORDS")));

  ASSERT_EQ(mci_request_read(&handle_, ds), 0);  // force-writes the data-source tag
  EXPECT_EQ(answers(), 0) << "no message sent on the own station";
  round_trip();
  ASSERT_EQ(g_delivered.size(), 2u);
  EXPECT_EQ(g_delivered[1].kind, MCI_KIND_READ_DATA);
  EXPECT_EQ(g_delivered[1].data,
            (Bytes{0x03, 0x21, 4, 0, 100, 0, 0, 0, 0x12, 0x34, 0xAB, 0xCD, 0, 1, 0, 2}));

  // A block write as the block-write handler builds it.
  mci_prepare_request(ds, nullptr);
  ds->message.control = MCI_KIND_WRITE;
  uint8_t* p = ds->default_buffer.data;
  mci_put16(p + MCI_HDR_COUNT, 2);
  mci_put16(p + MCI_HDR_START, 102);
  mci_put16(p + MCI_HDR_TRANSFER, MCI_TRANSFER_WHOLE_UNITS);
  const uint8_t values[] = {0xBE, 0xEF, 0xCA, 0xFE};
  memcpy(p + MCI_HEADER_SIZE, values, sizeof values);
  ASSERT_EQ(mci_send(&handle_, ds), 0);
  round_trip();
  ASSERT_EQ(g_delivered.size(), 3u);
  EXPECT_EQ(g_delivered[2].kind, MCI_KIND_WRITE_ACK);
  EXPECT_EQ(sim_.sources[0].memory.bytes, (Bytes{0x12, 0x34, 0xAB, 0xCD, 0xBE, 0xEF, 0xCA, 0xFE}));
}

TEST_F(SimWithMci, OnAnotherStationAnswersComeUnderTheRemoteKeyAndAreTranslated) {
  ASSERT_TRUE(start(kSource,
                    "[sim]\nmailbox = \"SIM_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n"
                    "station = 9\nquantrel_station = 4\n"));
  DataSource* ds = register_source(4, "WORDS");
  ASSERT_NE(ds, nullptr);
  ASSERT_EQ(mci_query(ds), 0);
  round_trip();
  ASSERT_FALSE(mci_query_pending(ds));
  const MciSlot* slot = mci_slot(ds->slot);
  EXPECT_EQ(slot->remote_station, 9);
  EXPECT_EQ(slot->remote_key.type, SIM_DEFAULT_KEY_TYPE);

  ASSERT_EQ(mci_request_read(&handle_, ds), 0);  // a read request message this time
  round_trip();
  ASSERT_EQ(g_delivered.size(), 2u);
  EXPECT_EQ(g_delivered[1].kind, MCI_KIND_READ_DATA);
  EXPECT_EQ(g_delivered[1].data.size(), 16u);

  // A write the simulator refuses arrives as a write error for this source.
  mci_prepare_request(ds, nullptr);
  ds->message.control = MCI_KIND_WRITE;
  uint8_t* p = ds->default_buffer.data;
  mci_put16(p + MCI_HDR_COUNT, 1);
  mci_put16(p + MCI_HDR_START, 100);
  mci_put16(p + MCI_HDR_TRANSFER, 0x0C80);
  ASSERT_EQ(mci_send(&handle_, ds), 0);
  round_trip();
  ASSERT_EQ(g_delivered.size(), 3u);
  EXPECT_EQ(g_delivered[2].kind, MCI_KIND_WRITE_ERROR);
  EXPECT_EQ(mci_get16(g_delivered[2].data.data() + MCI_HEADER_SIZE), SIM_ERR_FORM);
}

}  // namespace
}  // namespace simtest
