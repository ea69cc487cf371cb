// Start of the layer, the registry and matching answers to data sources.
#include "mci_fixture.h"

namespace mcitest {
namespace {

using MciStart = MciTest;
using MciRegistry = MciTest;
using MciMatch = MciTest;

TEST(MciHeader, WordsAreLittleEndian) {
  uint8_t bytes[MCI_HEADER_SIZE] = {};
  mci_header_write(bytes, {0x2103, 0x0405, 0xA0B0, 0x0C00});
  const uint8_t expected[MCI_HEADER_SIZE] = {0x03, 0x21, 0x05, 0x04, 0xB0, 0xA0, 0x00, 0x0C};
  EXPECT_EQ(0, memcmp(bytes, expected, sizeof bytes));
  MciBlockHeader h = {};
  mci_header_read(expected, &h);
  EXPECT_EQ(h.flags, 0x2103);
  EXPECT_EQ(h.count, 0x0405);
  EXPECT_EQ(h.start, 0xA0B0);
  EXPECT_EQ(h.transfer_type, 0x0C00);
  EXPECT_EQ(mci_header_unit_size(h), 2);
}

TEST_F(MciStart, RemovesOldRepliesAndKeepsQueries) {
  const uint16_t kinds[] = {MCI_KIND_READ_DATA, MCI_KIND_QUERY,       MCI_KIND_WRITE_ACK,
                            MCI_KIND_QUERY,     MCI_KIND_UNSOLICITED, 8};
  uint16_t index = 1;
  for (uint16_t kind : kinds) {
    Sent s;
    s.kind = kind;
    s.key = {TAG_DIGITAL, index++};
    send(s);
  }
  ASSERT_EQ(mci_init(&handle_), MCI_OK);
  Received first, second;
  ASSERT_TRUE(take(own_mailbox_, &first));
  ASSERT_TRUE(take(own_mailbox_, &second));
  EXPECT_EQ(count(own_mailbox_), 0);
  EXPECT_EQ(mci_kind(first.desc), MCI_KIND_QUERY);
  EXPECT_EQ(first.desc.key.index, 2);
  EXPECT_EQ(mci_kind(second.desc), MCI_KIND_QUERY);
  EXPECT_EQ(second.desc.key.index, 4);
  EXPECT_EQ(mci_pending_count(), 0);
}

TEST_F(MciStart, EmptyMailboxKeepsTheHandle) {
  ASSERT_EQ(mci_init(&handle_), MCI_OK);
  EXPECT_EQ(mci_handle()->task_id, task_);
  EXPECT_TRUE(tag_ref_equal(mci_handle()->own_mailbox, own_mailbox_));
  EXPECT_EQ(mci_handle()->station, kOwnStation);
  EXPECT_EQ(mci_slot_count(), 0);
}

TEST_F(MciStart, FailuresAreReturned) {
  Sent reply;
  send(reply);
  zq_fault_inject("zq_count_mbx", 1, ZQ_ESYS);
  EXPECT_EQ(mci_init(&handle_), ZQ_ESYS);
  zq_fault_inject("zq_peek_mbx", 1, ZQ_ECORRUPT);
  EXPECT_EQ(mci_init(&handle_), ZQ_ECORRUPT);
  zq_fault_inject("zq_read_mbx", 1, ZQ_ENOMSG);
  EXPECT_EQ(mci_init(&handle_), ZQ_ENOMSG);
  mci_fail_allocations_after(0);
  EXPECT_EQ(mci_init(&handle_), MCI_ENOMEM);
  mci_fail_allocations_after(-1);
  EXPECT_EQ(count(own_mailbox_), 1);  // nothing was removed by a failed start
  EXPECT_EQ(mci_init(&handle_), MCI_OK);
  EXPECT_EQ(count(own_mailbox_), 0);
}

TEST_F(MciRegistry, FirstRegistrationCreatesTheOwnMailboxSlot) {
  ASSERT_EQ(mci_init(&handle_), MCI_OK);
  // The loader leaves a header in the shared buffer; its geometry is taken.
  mci_header_write(shared_.data(), {0x2F00, 12, 100, 0});
  DataSource r = record("DS1", ds1_tag_, provider_mailbox_);
  r.mailbox_index = 9;
  DataSource* ds = mci_register(&r);
  ASSERT_NE(ds, nullptr);
  EXPECT_NE(ds, &r);
  ASSERT_EQ(mci_slot_count(), 2);

  const MciSlot* zero = mci_slot(0);
  EXPECT_TRUE(tag_ref_equal(zero->local_key, own_mailbox_));
  EXPECT_TRUE(tag_ref_equal(zero->remote_key, own_mailbox_));
  EXPECT_EQ(zero->remote_station, kOwnStation);
  EXPECT_EQ(zero->source->handler, nullptr);
  EXPECT_EQ(zero->source->slot, 0);
  EXPECT_FALSE(mci_query_pending(zero->source));

  const MciSlot* one = mci_slot(1);
  EXPECT_EQ(one->source, ds);
  EXPECT_TRUE(tag_ref_equal(one->local_key, ds1_tag_));
  EXPECT_TRUE(tag_ref_equal(one->remote_key, MCI_NO_KEY));
  EXPECT_EQ(one->remote_station, kOwnStation);
  EXPECT_TRUE(mci_query_pending(ds));

  EXPECT_EQ(ds->slot, 1);
  EXPECT_STREQ(ds->name, "DS1");
  EXPECT_EQ(ds->start, 100);
  EXPECT_EQ(ds->count, 12);
  EXPECT_EQ(ds->unit_size, 2);
  EXPECT_EQ(ds->byte_swap, 1);
  EXPECT_EQ(ds->low_bit_first, 1);
  EXPECT_EQ(ds->flag_bit10, 1);
  EXPECT_EQ(ds->one_based_bits, 1);
  EXPECT_EQ(ds->mailbox_index, 0);
  EXPECT_EQ(ds->message.data, nullptr);
  EXPECT_EQ(ds->message.capacity, 0);
  EXPECT_EQ(ds->default_buffer.data, shared_.data());
  EXPECT_TRUE(tag_ref_equal(ds->destination, provider_mailbox_));

  EXPECT_EQ(mci_slot(2), nullptr);
  EXPECT_EQ(mci_slot(-1), nullptr);
}

TEST_F(MciRegistry, SlotsFollowRegistrationOrderAndAreFoundByKey) {
  DataSource* a = start_and_register("DS1", ds1_tag_);
  DataSource* b = start_and_register("DS2", ds2_tag_);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->slot, 1);
  EXPECT_EQ(b->slot, 2);
  EXPECT_EQ(mci_find_by_key(ds1_tag_), a);
  EXPECT_EQ(mci_find_by_key(ds2_tag_), b);
  EXPECT_EQ(mci_find_by_key(own_mailbox_), mci_slot(0)->source);
  EXPECT_EQ(mci_find_by_key(ds3_tag_), nullptr);
}

TEST_F(MciRegistry, RefusesNamesThatDoNotResolveToTheDataSourceTag) {
  ASSERT_NE(start_and_register("DS1", ds1_tag_), nullptr);
  EXPECT_EQ(start_and_register("NOSUCH", ds2_tag_), nullptr);
  EXPECT_EQ(start_and_register("DS2", ds3_tag_), nullptr);  // name of another tag
  EXPECT_EQ(start_and_register("DS2", TagRef{ds2_tag_.type, 0}), nullptr);
  EXPECT_EQ(mci_slot_count(), 2);
  DataSource* two = start_and_register("DS2", ds2_tag_);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->slot, 2);
}

TEST_F(MciRegistry, OutOfMemoryRegistersNothing) {
  ASSERT_EQ(mci_init(&handle_), MCI_OK);
  DataSource r = record("DS1", ds1_tag_, provider_mailbox_);
  for (int successes = 0; successes <= 1; ++successes) {
    mci_fail_allocations_after(successes);  // slot 0's record, then its slot table
    EXPECT_EQ(mci_register(&r), nullptr);
    EXPECT_EQ(mci_slot_count(), 0);
    mci_fail_allocations_after(-1);
  }
  ASSERT_NE(mci_register(&r), nullptr);
  DataSource r2 = record("DS2", ds2_tag_, provider_mailbox_);
  for (int successes = 0; successes <= 1; ++successes) {
    mci_fail_allocations_after(successes);  // growing the table, then the copy
    EXPECT_EQ(mci_register(&r2), nullptr);
    EXPECT_EQ(mci_slot_count(), 2);
    mci_fail_allocations_after(-1);
  }
  EXPECT_NE(mci_register(&r2), nullptr);
  EXPECT_EQ(mci_slot_count(), 3);
}

TEST_F(MciRegistry, HeaderSmallerThanABlockHeaderIsNotRead) {
  ASSERT_EQ(mci_init(&handle_), MCI_OK);
  uint8_t tiny[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  DataSource r = record("DS1", ds1_tag_, provider_mailbox_);
  r.message.data = tiny;
  r.message.capacity = sizeof tiny;
  DataSource* ds = mci_register(&r);
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(ds->count, 0);
  EXPECT_EQ(ds->unit_size, 0);
}

TEST_F(MciRegistry, UnregisteredRecordCountsAsPending) {
  DataSource loose = {};
  loose.slot = 5;
  EXPECT_TRUE(mci_query_pending(&loose));
  EXPECT_TRUE(mci_query_pending(nullptr));
}

TEST_F(MciMatch, OwnStationMatchesLocalKeysFromSlotZero) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  MbxMessage m = {};
  m.control = static_cast<uint16_t>(MCI_KIND_READ_DATA | (kOwnStation << 8));
  m.key = ds1_tag_;
  EXPECT_EQ(mci_match_source(&m), ds);
  m.key = own_mailbox_;
  EXPECT_EQ(mci_match_source(&m), mci_slot(0)->source);
  m.key = ds2_tag_;
  EXPECT_EQ(mci_match_source(&m), nullptr);
}

TEST_F(MciMatch, OtherStationMatchesRemoteKeysAndTranslatesTheKey) {
  DataSource* ds = start_and_register("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  MbxMessage m = {};
  m.control = static_cast<uint16_t>(MCI_KIND_READ_DATA | (kRemoteStation << 8));
  m.key = ds1_tag_;
  // The local key means nothing to another station; neither does the
  // "none yet" remote key of a data source whose query is pending.
  EXPECT_EQ(mci_match_source(&m), nullptr);
  m.key = MCI_NO_KEY;
  EXPECT_EQ(mci_match_source(&m), nullptr);
  // The own mailbox slot's remote key is the own mailbox tag.
  m.key = own_mailbox_;
  EXPECT_EQ(mci_match_source(&m), mci_slot(0)->source);
}

}  // namespace
}  // namespace mcitest
