// Building and sending requests: query, prepared requests, read requests,
// refusals and the checks of every send.
#include "mci_fixture.h"

namespace mcitest {
namespace {

using MciQuery = MciTest;
using MciSend = MciTest;
using MciRequestRead = MciTest;
using MciErrorReply = MciTest;

// Writes a header with the geometry into the shared buffer and makes the
// data source's message point at it.
void with_header(DataSource* ds, uint16_t kind, MciBlockHeader h) {
  ds->message.data = ds->default_buffer.data;
  ds->message.capacity = ds->default_buffer.capacity;
  ds->message.control = kind;
  mci_header_write(ds->message.data, h);
}

TEST_F(MciQuery, SendsTheNameWithoutItsNulAndTheLocalKey) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ds->message.key = ds3_tag_;  // whatever the record holds, the slot's key goes out
  ASSERT_EQ(mci_query(ds), MCI_OK);
  EXPECT_EQ(ds->message.data, nullptr);
  EXPECT_EQ(ds->message.capacity, 0);

  Received q;
  ASSERT_TRUE(take(provider_mailbox_, &q));
  EXPECT_EQ(mci_kind(q.desc), MCI_KIND_QUERY);
  ASSERT_EQ(q.desc.length, 3 + MCI_HEADER_SIZE);
  const MciBlockHeader h = q.header();
  EXPECT_EQ(h.flags, MCI_FLAG_FORMAT);
  EXPECT_EQ(h.count, 3);
  EXPECT_EQ(h.start, 0);
  EXPECT_EQ(h.transfer_type, 0);
  EXPECT_EQ(0, memcmp(q.data.data() + MCI_HEADER_SIZE, "DS1", 3));
  EXPECT_TRUE(tag_ref_equal(q.desc.key, ds1_tag_));
  EXPECT_EQ(mci_sender_station(q.desc), kOwnStation);
  EXPECT_EQ(q.desc.station & 0xFF, kOwnStation);
  EXPECT_EQ(q.desc.sender, task_);
  EXPECT_EQ(q.desc.reserved1, 0xFFFF);
  EXPECT_EQ(q.desc.reserved2, 0xFFFF);
  EXPECT_EQ(q.desc.control & MCI_CTRL_SWAPPED, 0);
}

TEST_F(MciQuery, FailuresAreReturnedAndTheBufferReleased) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  mci_fail_allocations_after(0);
  EXPECT_EQ(mci_query(ds), MCI_ENOMEM);
  mci_fail_allocations_after(-1);
  zq_fault_inject("zq_write_mbx", 1, ZQ_ENOSPACE);
  EXPECT_EQ(mci_query(ds), ZQ_ENOSPACE);
  EXPECT_EQ(ds->message.data, nullptr);
  DataSource loose = *ds;
  loose.slot = 42;
  EXPECT_EQ(mci_query(&loose), MCI_EKEY);
  EXPECT_EQ(count(provider_mailbox_), 0);
}

TEST_F(MciSend, PreparedRequestCarriesTheGeometry) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ds->start = 100;
  ds->count = 4;
  ds->unit_size = 2;
  ds->byte_swap = 1;
  ds->one_based_bits = 3;  // only bit 0 counts
  ds->message.control = MCI_CTRL_SWAPPED | 0x5500;
  ds->message.key = ds2_tag_;
  // Bits 4-7 survive (the loader's `untyped` bit), transfer type stays.
  mci_header_write(shared_.data(), {0xFFF0 | MCI_FLAG_UNTYPED, 9, 9, 0x0600});
  mci_prepare_request(ds, nullptr);
  EXPECT_EQ(ds->message.data, shared_.data());
  EXPECT_EQ(ds->message.capacity, MCI_MESSAGE_BUFFER_SIZE);
  EXPECT_EQ(ds->message.length, MCI_HEADER_SIZE);
  EXPECT_EQ(ds->message.control & MCI_CTRL_SWAPPED, 0);
  EXPECT_EQ(mci_sender_station(ds->message), kOwnStation);
  EXPECT_TRUE(tag_ref_equal(ds->message.key, ds1_tag_));
  MciBlockHeader h;
  mci_header_read(shared_.data(), &h);
  EXPECT_EQ(h.flags, 0x2903 | 0xF0);
  EXPECT_EQ(h.count, 4);
  EXPECT_EQ(h.start, 100);
  EXPECT_EQ(h.transfer_type, 0x0600);
}

TEST_F(MciSend, PreparedRequestIntoAGivenBuffer) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ds->count = 7;
  uint8_t own[16] = {};
  MciBuffer buffer = {own, sizeof own, 99};
  mci_prepare_request(ds, &buffer);
  EXPECT_EQ(buffer.length, MCI_HEADER_SIZE);
  EXPECT_EQ(ds->message.data, own);
  EXPECT_EQ(ds->message.capacity, sizeof own);
  EXPECT_EQ(mci_get16(own + MCI_HDR_COUNT), 7);
  EXPECT_EQ(mci_get16(own + MCI_HDR_FLAGS), MCI_FLAG_FORMAT);

  uint8_t tiny[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  MciBuffer small = {tiny, sizeof tiny, 0};
  mci_prepare_request(ds, &small);
  for (uint8_t b : tiny) EXPECT_EQ(b, 0xAA);  // nothing written past its end
  EXPECT_EQ(mci_send(&handle_, ds), ZQ_ETOOBIG);
}

TEST_F(MciSend, LengthFollowsTheKind) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  struct Case {
    uint16_t kind;
    MciBlockHeader header;
    uint16_t length;
  } cases[] = {
      {MCI_KIND_QUERY_REPLY, {0, 5, 0, 0}, 13},
      {MCI_KIND_READ, {0x2000, 40, 0, 0}, 8},
      {MCI_KIND_READ_DATA, {0x2000, 4, 0, 0}, 16},
      {MCI_KIND_WRITE, {0x4000, 3, 0, 0}, 20},
      {MCI_KIND_WRITE, {0x0000, 20, 0, 0}, 11},  // bits: 20 / 8 + 9
      {MCI_KIND_WRITE, {0x0000, 7, 0, 0}, 9},
      {MCI_KIND_WRITE_ACK, {0x2000, 40, 0, 0}, 8},
      {MCI_KIND_UNSOLICITED, {0x1000, 9, 0, 0}, 17},
      {MCI_KIND_QUERY_ERROR, {0x2000, 2, 0, 0}, 12},
      {MCI_KIND_READ_ERROR, {0x2000, 2, 0, 0}, 12},
      {MCI_KIND_WRITE_ERROR, {0x2000, 2, 0, 0}, 12},
      {MCI_KIND_RECEIVE_ERROR, {0x2000, 2, 0, 0}, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    with_header(ds, c.kind, c.header);
    ds->message.key = ds1_tag_;
    ds->message.station = 0xAB00;
    ASSERT_EQ(mci_send(&handle_, ds), MCI_OK);
    Received r;
    ASSERT_TRUE(take(provider_mailbox_, &r));
    EXPECT_EQ(r.desc.length, c.length);
    EXPECT_EQ(mci_kind(r.desc), c.kind);
    EXPECT_EQ(r.header().flags & MCI_FLAG_FORMAT_MASK, MCI_FLAG_FORMAT);
    // The requester's station goes only into requests; the high byte stays.
    const bool request = c.kind == MCI_KIND_READ || c.kind == MCI_KIND_WRITE;
    EXPECT_EQ(r.desc.station, request ? 0xAB00 | kOwnStation : 0xAB00);
  }
}

TEST_F(MciSend, RefusedKindsSendNothing) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  for (uint16_t kind : {6, 8, 10, 12, 14}) {
    with_header(ds, kind, {0, 0, 0, 0});
    ds->message.key = ds1_tag_;
    EXPECT_EQ(mci_send(&handle_, ds), MCI_EKIND) << kind;
  }
  EXPECT_EQ(count(provider_mailbox_), 0);
}

TEST_F(MciSend, ChecksKeyThenDestinationThenItsFill) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  with_header(ds, MCI_KIND_READ, {0, 0, 0, 0});
  ds->message.key = TagRef{TAG_DIGITAL, 0};
  ds->destination = TagRef{};
  EXPECT_EQ(mci_send(&handle_, ds), MCI_EKEY);
  ds->message.key = ds1_tag_;
  EXPECT_EQ(mci_send(&handle_, ds), MCI_EMAILBOX);
  ds->destination = ds2_tag_;  // a valid tag, but no mailbox to count
  EXPECT_EQ(mci_send(&handle_, ds), MCI_EMAILBOX);
  ds->destination = provider_mailbox_;
  zq_fault_inject("zq_count_mbx", 1, ZQ_ESYS);
  EXPECT_EQ(mci_send(&handle_, ds), MCI_EMAILBOX);
  zq_fault_inject("zq_write_mbx", 1, ZQ_EMBXFULL);
  EXPECT_EQ(mci_send(&handle_, ds), ZQ_EMBXFULL);
  EXPECT_EQ(count(provider_mailbox_), 0);
  EXPECT_EQ(mci_send(&handle_, ds), MCI_OK);
  EXPECT_EQ(count(provider_mailbox_), 1);
}

TEST_F(MciSend, At25000WaitingMessagesTheNextIsRefused) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  Sent filler;
  filler.header_bytes = 0;
  for (int i = 0; i < MCI_MAX_DEST_MESSAGES; ++i) send(filler, provider_mailbox_);
  ASSERT_EQ(count(provider_mailbox_), MCI_MAX_DEST_MESSAGES);
  with_header(ds, MCI_KIND_READ, {0, 0, 0, 0});
  ds->message.key = ds1_tag_;
  EXPECT_EQ(mci_send(&handle_, ds), MCI_OK);  // 25000 waiting: allowed
  EXPECT_EQ(mci_send(&handle_, ds), MCI_EFULL);
  EXPECT_EQ(count(provider_mailbox_), MCI_MAX_DEST_MESSAGES + 1);
}

TEST_F(MciSend, NeverSendsBytesPastItsBuffer) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  uint8_t small[32] = {};
  ds->message.data = small;
  ds->message.capacity = sizeof small;
  ds->message.control = MCI_KIND_WRITE;
  ds->message.key = ds1_tag_;
  mci_header_write(small, {0x2000, 13, 0, 0});  // 13 * 2 + 8 = 34 > 32
  EXPECT_EQ(mci_send(&handle_, ds), ZQ_ETOOBIG);
  mci_header_write(small, {0xF000, 0xFFFF, 0, 0});  // would overflow 16 bits
  EXPECT_EQ(mci_send(&handle_, ds), ZQ_ETOOBIG);
  mci_header_write(small, {0x2000, 12, 0, 0});  // exactly 32
  EXPECT_EQ(mci_send(&handle_, ds), MCI_OK);
  EXPECT_EQ(count(provider_mailbox_), 1);
}

TEST_F(MciSend, MissingBufferFallsBackToTheDefaultOne) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  mci_header_write(shared_.data(), {0x2000, 2, 0, 0});
  ds->message.data = nullptr;
  ds->message.control = MCI_KIND_WRITE;
  ds->message.key = ds1_tag_;
  ASSERT_EQ(mci_send(&handle_, ds), MCI_OK);
  EXPECT_EQ(ds->message.data, shared_.data());
  Received r;
  ASSERT_TRUE(take(provider_mailbox_, &r));
  EXPECT_EQ(r.desc.length, 12);

  ds->message.data = nullptr;
  ds->default_buffer = {};
  EXPECT_EQ(mci_send(&handle_, ds), MCI_ENOBUFFER);
}

TEST_F(MciRequestRead, ProviderOnAnotherStationGetsAReadRequest) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  // The provider on station 7 answers the query under its own key.
  Sent reply;
  reply.kind = MCI_KIND_QUERY_REPLY;
  reply.station = kRemoteStation;
  reply.key = {TAG_ANALOG, 900};
  reply.header = {0x2000 | MCI_FLAG_FORMAT, 3, 40, 0};
  reply.payload = {'D', 'S', '1'};
  send(reply);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_FALSE(mci_query_pending(ds));

  ASSERT_EQ(mci_request_read(&handle_, ds), MCI_OK);
  Received r;
  ASSERT_TRUE(take(provider_mailbox_, &r));
  EXPECT_EQ(mci_kind(r.desc), MCI_KIND_READ);
  EXPECT_EQ(r.desc.length, MCI_HEADER_SIZE);
  EXPECT_TRUE(tag_ref_equal(r.desc.key, ds1_tag_));
  const MciBlockHeader h = r.header();
  EXPECT_EQ(h.flags, 0x2000 | MCI_FLAG_FORMAT);
  EXPECT_EQ(h.count, 3);
  EXPECT_EQ(h.start, 40);
  EXPECT_EQ(r.desc.station & 0xFF, kOwnStation);

  zq_fault_inject("zq_write_mbx", 1, ZQ_ENOSPACE);
  EXPECT_EQ(mci_request_read(&handle_, ds), ZQ_ENOSPACE);
}

TEST_F(MciRequestRead, ProviderOnTheOwnStationSeesTheTagForceWritten) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  const TagRef watched[] = {ds1_tag_};
  ASSERT_EQ(zq_clear_chg(provider_, watched, 1), 0);
  for (int round = 0; round < 2; ++round) {  // the second write changes no value
    ASSERT_EQ(mci_request_read(&handle_, ds), MCI_OK);
    uint32_t index = 0;
    ChangeRecord rec;
    char text[ZQ_CHANGE_TEXT_CAPACITY];
    change_record_prepare(&rec, text, sizeof text);
    ASSERT_EQ(zq_get_chg(provider_, watched, 1, &index, &rec), 0) << round;
    EXPECT_EQ(change_record_int16(rec), 1);
  }
  EXPECT_EQ(count(provider_mailbox_), 0);
  zq_fault_inject("zq_f_write", 1, ZQ_ESYS);
  EXPECT_EQ(mci_request_read(&handle_, ds), ZQ_ESYS);
}

TEST_F(MciRequestRead, ForceWriteFitsEveryValueType) {
  ASSERT_EQ(mci_init(&handle_), MCI_OK);
  DataSource* ds3 = start_and_register("DS3", ds3_tag_);
  DataSource* ds4 = start_and_register("DS4", ds4_tag_);
  DataSource* ds5 = start_and_register("DS5", ds5_tag_);
  ASSERT_TRUE(ds3 && ds4 && ds5);
  ASSERT_EQ(mci_request_read(&handle_, ds3), MCI_OK);
  ASSERT_EQ(mci_request_read(&handle_, ds4), MCI_OK);
  ASSERT_EQ(mci_request_read(&handle_, ds5), MCI_OK);
  int32_t long_value = 0;
  ASSERT_EQ(zq_read(provider_, &ds3_tag_, 1, &long_value), 0);
  EXPECT_EQ(long_value, 1);
  double float_value = 0;
  ASSERT_EQ(zq_read(provider_, &ds4_tag_, 1, &float_value), 0);
  EXPECT_EQ(float_value, 1.0);
  char text[32] = {};
  MessageValue mv = {text, sizeof text, 0};
  ASSERT_EQ(zq_read(provider_, &ds5_tag_, 1, &mv), 0);
  EXPECT_STREQ(text, "1");

  DataSource loose = *ds3;
  loose.slot = -1;
  EXPECT_EQ(mci_request_read(&handle_, &loose), MCI_EKEY);
}

TEST_F(MciErrorReply, RequestsAreAnsweredWithTheirErrorKind) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  const uint16_t kinds[][2] = {{MCI_KIND_QUERY, MCI_KIND_QUERY_ERROR},
                               {MCI_KIND_READ, MCI_KIND_READ_ERROR},
                               {MCI_KIND_WRITE, MCI_KIND_WRITE_ERROR}};
  for (const auto& k : kinds) {
    ds->message.control = k[0];
    ds->message.key = ds1_tag_;
    ASSERT_EQ(mci_error_reply(&handle_, ds, MCI_EREFUSED), MCI_OK);
    EXPECT_EQ(ds->message.data, nullptr);
    Received r;
    ASSERT_TRUE(take(provider_mailbox_, &r));
    EXPECT_EQ(mci_kind(r.desc), k[1]);
    ASSERT_EQ(r.desc.length, 12);
    const MciBlockHeader h = r.header();
    EXPECT_EQ(h.count, 2);
    EXPECT_EQ(mci_header_unit_size(h), 2);
    EXPECT_EQ(mci_get16(r.data.data() + MCI_HEADER_SIZE), MCI_EREFUSED);
    EXPECT_EQ(mci_get16(r.data.data() + MCI_HEADER_SIZE + 2), 0);
  }
}

TEST_F(MciErrorReply, OtherKindsAndFailures) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ds->message.key = ds1_tag_;
  ds->message.control = MCI_KIND_READ_DATA;
  EXPECT_EQ(mci_error_reply(&handle_, ds, MCI_EREFUSED), MCI_OK);
  EXPECT_EQ(count(provider_mailbox_), 0);
  ds->message.control = MCI_KIND_READ;
  mci_fail_allocations_after(0);
  EXPECT_EQ(mci_error_reply(&handle_, ds, MCI_EREFUSED), MCI_ENOMEM);
  mci_fail_allocations_after(-1);
  ds->destination = TagRef{};
  EXPECT_EQ(mci_error_reply(&handle_, ds, MCI_EREFUSED), MCI_EMAILBOX);
  EXPECT_EQ(ds->message.data, nullptr);
}

}  // namespace
}  // namespace mcitest
