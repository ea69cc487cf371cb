// Answers in the own mailbox: taking them out, the mailbox handler with its
// pending count, held answers, query replies and refusals.
#include "mci_fixture.h"

namespace mcitest {
namespace {

// What a test's message handler does with the answer it is given.
enum class Action { kReceive, kLeave, kDiscard };

struct HandlerLog {
  std::vector<DataSource> calls;  // the records the handler was given
  std::vector<int> receive_results;
  std::vector<std::vector<uint8_t>> received;  // header and data after a receive
  std::vector<Action> script;                  // per call; default kReceive
  int result = 0;                              // returned by every call
};
HandlerLog g_log;

int test_handler(DataSource* r) {
  g_log.calls.push_back(*r);
  const size_t call = g_log.calls.size() - 1;
  const Action action = call < g_log.script.size() ? g_log.script[call] : Action::kReceive;
  if (action == Action::kReceive) {
    const int rc = mci_receive(mci_handle(), r);
    g_log.receive_results.push_back(rc);
    if (rc == MCI_OK && r->message.data != nullptr) {
      g_log.received.emplace_back(r->message.data, r->message.data + r->message.length);
    }
  } else if (action == Action::kDiscard) {
    g_log.receive_results.push_back(mci_discard(mci_handle(), r));
  }
  return g_log.result;
}

class MciMailbox : public MciTest {
 protected:
  void SetUp() override {
    MciTest::SetUp();
    g_log = HandlerLog{};
  }

  // A registered data source with the test handler.
  DataSource* source(const char* name, TagRef tag, TagRef destination = {}) {
    if (mci_slot_count() == 0 && mci_init(&handle_) != 0) return nullptr;
    DataSource r = record(name, tag, destination.type == 0 ? provider_mailbox_ : destination);
    r.handler = &test_handler;
    return mci_register(&r);
  }

  Sent answer(uint16_t kind, TagRef key, std::vector<uint8_t> payload = {}) {
    Sent s;
    s.kind = kind;
    s.key = key;
    s.header = {0x2000 | MCI_FLAG_FORMAT, static_cast<uint16_t>(payload.size() / 2), 10, 0};
    s.payload = std::move(payload);
    return s;
  }

  // The own-station provider answers the query of `tag` with this geometry.
  void ready(TagRef tag, MciBlockHeader geometry) {
    Sent reply;
    reply.kind = MCI_KIND_QUERY_REPLY;
    reply.key = tag;
    reply.header = geometry;
    send(reply);
    ASSERT_EQ(run_mailbox(), MCI_OK);
  }

  // The record the mailbox handler would give a handler for a peeked message.
  DataSource peeked_at(int32_t index) {
    DataSource r = {};
    r.mailbox_index = index;
    r.default_buffer = {shared_.data(), MCI_MESSAGE_BUFFER_SIZE, 0};
    EXPECT_EQ(mci_peek(&handle_, &r), MCI_OK);
    return r;
  }
};

using MciReceive = MciMailbox;
using MailboxHandler = MciMailbox;
using QueryReply = MciMailbox;

// ---- Taking messages out ---------------------------------------------------------

TEST_F(MciReceive, ReceivePeekAndDiscardWithinThePendingCount) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {0x2000 | MCI_FLAG_FORMAT, 2, 10, 0});
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {1, 2, 3, 4}));
  send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
  DataSource r = peeked_at(0);
  EXPECT_EQ(mci_kind(r.message), MCI_KIND_READ_DATA);
  EXPECT_EQ(r.message.data, nullptr);
  EXPECT_EQ(mci_receive(&handle_, &r), MCI_EPENDING);  // not looked at by a run yet
  EXPECT_EQ(mci_discard(&handle_, &r), MCI_EPENDING);

  g_log.script = {Action::kReceive, Action::kLeave, Action::kLeave};
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(mci_pending_count(), 2);

  r = peeked_at(1);
  ASSERT_EQ(mci_discard(&handle_, &r), MCI_OK);
  EXPECT_EQ(r.message.data, nullptr);
  EXPECT_EQ(mci_pending_count(), 1);
  EXPECT_EQ(count(own_mailbox_), 1);

  r = peeked_at(0);
  ASSERT_EQ(mci_receive(&handle_, &r), MCI_OK);
  EXPECT_EQ(r.message.data, shared_.data());  // the default buffer
  EXPECT_EQ(r.message.length, 12);
  EXPECT_EQ(shared_[MCI_HEADER_SIZE + 3], 4);
  EXPECT_EQ(mci_pending_count(), 0);
  EXPECT_EQ(count(own_mailbox_), 0);

  r.mailbox_index = 0;
  EXPECT_EQ(mci_peek(&handle_, &r), MCI_ENOMSG);
  zq_fault_inject("zq_peek_mbx", 1, ZQ_ESYS);
  EXPECT_EQ(mci_peek(&handle_, &r), ZQ_ESYS);

  // A record whose message was taken out already does nothing.
  r.receive_state = MCI_RECEIVE_TAKEN;
  r.mailbox_index = 5;
  EXPECT_EQ(mci_receive(&handle_, &r), MCI_OK);
  EXPECT_EQ(mci_discard(&handle_, &r), MCI_OK);
}

TEST_F(MciReceive, KernelFailuresAndMissingBuffer) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {9, 9}));
  g_log.script = {Action::kLeave, Action::kLeave};
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(mci_pending_count(), 1);

  DataSource r = peeked_at(0);
  r.default_buffer = {};
  EXPECT_EQ(mci_receive(&handle_, &r), MCI_ENOBUFFER);
  r.default_buffer = {shared_.data(), 0, 0};
  EXPECT_EQ(mci_receive(&handle_, &r), MCI_ENOBUFFER);

  r = peeked_at(0);
  zq_fault_inject("zq_read_mbx", 2, ZQ_ESYS);
  EXPECT_EQ(mci_receive(&handle_, &r), ZQ_ESYS);
  EXPECT_EQ(mci_discard(&handle_, &r), ZQ_ESYS);
  EXPECT_EQ(mci_pending_count(), 1);
  EXPECT_EQ(count(own_mailbox_), 1);
}

TEST_F(MciReceive, MessageLargerThanItsBufferIsRefusedAndDropped) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, std::vector<uint8_t>(100, 0x11)));
  send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
  g_log.script = {Action::kLeave, Action::kLeave, Action::kLeave};
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(mci_pending_count(), 2);

  uint8_t small[64];
  memset(small, 0xAA, sizeof small);
  DataSource r = peeked_at(0);
  r.message.data = small;
  r.message.capacity = sizeof small;
  EXPECT_EQ(mci_receive(&handle_, &r), ZQ_ETOOBIG);
  EXPECT_EQ(zq_errno(task_), ZQ_ETOOBIG);  // what a caller reports
  for (uint8_t b : small) ASSERT_EQ(b, 0xAA);
  EXPECT_EQ(r.message.length, 0);
  EXPECT_EQ(mci_pending_count(), 1);
  // The oversized message is gone; the acknowledgement behind it moved up.
  ASSERT_EQ(count(own_mailbox_), 1);
  r = peeked_at(0);
  EXPECT_EQ(mci_kind(r.message), MCI_KIND_WRITE_ACK);
}

TEST_F(MciReceive, ShortMessageLeavesNoOldHeaderBehind) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  Sent s = answer(MCI_KIND_READ_ERROR, ds1_tag_);
  s.header_bytes = 4;
  send(s);
  memset(shared_.data(), 0xEE, 16);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(g_log.receive_results.back(), MCI_OK);
  for (int i = 4; i < 10; ++i) EXPECT_EQ(shared_[i], 0) << i;
  EXPECT_EQ(shared_[10], 0xEE);  // nothing beyond header and code is touched
}

TEST_F(MciReceive, SwappedHeaderIsPutRight) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  Sent s = answer(MCI_KIND_READ_DATA, ds1_tag_, {0x12, 0x34});
  s.header = {0x2103, 1, 0x0102, 0x0C00};
  s.swapped = true;
  send(s);
  Sent old_format = s;
  old_format.header.flags = 0x2102;  // before format 3 headers were never swapped
  send(old_format);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(g_log.received.size(), 3u);  // the query reply, then both answers
  MciBlockHeader h;
  mci_header_read(g_log.received[1].data(), &h);
  EXPECT_EQ(h.flags, 0x2103);
  EXPECT_EQ(h.count, 1);
  EXPECT_EQ(h.start, 0x0102);
  EXPECT_EQ(h.transfer_type, 0x0C00);
  EXPECT_EQ(g_log.received[1][8], 0x12);  // data bytes are not the header's
  mci_header_read(g_log.received[2].data(), &h);
  EXPECT_EQ(h.flags, 0x0221);
}

// ---- The mailbox handler -----------------------------------------------------------

TEST_F(MailboxHandler, AnswerReachesItsHandlerAsACopy) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {0x2000 | MCI_FLAG_FORMAT, 2, 10, 0});
  g_log = HandlerLog{};
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {1, 2, 3, 4}));
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(g_log.calls.size(), 1u);
  const DataSource& r = g_log.calls[0];
  EXPECT_NE(&r, ds);
  EXPECT_STREQ(r.name, "DS1");
  EXPECT_EQ(r.slot, ds->slot);
  EXPECT_EQ(r.receive_state, MCI_RECEIVE_IN_MAILBOX);
  EXPECT_EQ(r.mailbox_index, 0);
  EXPECT_EQ(mci_kind(r.message), MCI_KIND_READ_DATA);
  EXPECT_EQ(r.message.length, 12);
  EXPECT_TRUE(tag_ref_equal(r.message.key, ds1_tag_));
  EXPECT_EQ(g_log.receive_results[0], MCI_OK);
  EXPECT_EQ(g_log.received[0][MCI_HEADER_SIZE], 1);
  EXPECT_EQ(count(own_mailbox_), 0);
  EXPECT_EQ(mci_pending_count(), 0);
  EXPECT_EQ(ds->receive_state, MCI_RECEIVE_TAKEN);  // from its query reply
  EXPECT_EQ(ds->message.data, shared_.data());
  EXPECT_EQ(pauses_, 0);
}

TEST_F(MailboxHandler, HeldAnswerStaysPending) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {0x2000 | MCI_FLAG_FORMAT, 1, 0, 0});
  g_log = HandlerLog{};
  g_log.script = {Action::kLeave, Action::kReceive, Action::kReceive, Action::kReceive};
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {1, 0}));
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {2, 0}));
  ASSERT_EQ(run_mailbox(), MCI_OK);
  // The first is held, the second taken out from index 1.
  ASSERT_EQ(g_log.calls.size(), 2u);
  EXPECT_EQ(g_log.calls[0].mailbox_index, 0);
  EXPECT_EQ(g_log.calls[1].mailbox_index, 1);
  EXPECT_EQ(g_log.received[0][MCI_HEADER_SIZE], 2);
  EXPECT_EQ(mci_pending_count(), 1);
  EXPECT_EQ(count(own_mailbox_), 1);

  // Nothing new: the run pauses and passes the held answer over.
  ASSERT_EQ(run_mailbox(), MCI_OK);
  EXPECT_EQ(pauses_, 1);
  EXPECT_EQ(pause_ms_, MCI_IDLE_PAUSE_MS);
  EXPECT_EQ(g_log.calls.size(), 2u);

  // A new answer is looked at behind the held one.
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {3, 0}));
  ASSERT_EQ(run_mailbox(), MCI_OK);
  EXPECT_EQ(pauses_, 1);
  ASSERT_EQ(g_log.calls.size(), 3u);
  EXPECT_EQ(g_log.calls[2].mailbox_index, 1);
  EXPECT_EQ(g_log.received[1][MCI_HEADER_SIZE], 3);

  // Once the pending count is reset the held answer is delivered again.
  mci_reset_pending();
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(g_log.calls.size(), 4u);
  EXPECT_EQ(g_log.received[2][MCI_HEADER_SIZE], 1);
  EXPECT_EQ(count(own_mailbox_), 0);
  EXPECT_EQ(mci_pending_count(), 0);
}

TEST_F(MailboxHandler, AnswerForTheOwnMailboxKeyStaysInTheMailbox) {
  ASSERT_NE(source("DS1", ds1_tag_), nullptr);
  send(answer(MCI_KIND_READ_DATA, own_mailbox_, {1, 2}));
  ASSERT_EQ(run_mailbox(), MCI_OK);
  EXPECT_TRUE(g_log.calls.empty());  // slot 0 has no handler
  EXPECT_EQ(mci_pending_count(), 1);
  EXPECT_EQ(count(own_mailbox_), 1);
}

TEST_F(MailboxHandler, LastHandlerResultIsReturned) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  g_log = HandlerLog{};
  g_log.result = 17;
  send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
  send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
  EXPECT_EQ(run_mailbox(), 17);
  EXPECT_EQ(g_log.calls.size(), 2u);  // a handler's result does not end the run
  EXPECT_EQ(count(own_mailbox_), 0);
}

TEST_F(MailboxHandler, InvalidKindIsDiscardedAndEndsTheRun) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  for (uint16_t kind : {8, 10, 12, 14}) {
    g_log = HandlerLog{};
    send(answer(kind, ds1_tag_));
    send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
    EXPECT_EQ(run_mailbox(), MCI_EKIND) << kind;
    EXPECT_TRUE(g_log.calls.empty());
    EXPECT_EQ(count(own_mailbox_), 1);  // the answer behind waits
    EXPECT_EQ(mci_pending_count(), 0);
    ASSERT_EQ(run_mailbox(), MCI_OK);
    EXPECT_EQ(g_log.calls.size(), 1u);
  }
}

TEST_F(MailboxHandler, AnswerForAnUnknownKeyIsDiscarded) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  g_log = HandlerLog{};
  send(answer(MCI_KIND_READ_DATA, ds2_tag_, {1, 1}));
  Sent remote = answer(MCI_KIND_UNSOLICITED, TagRef{TAG_ANALOG, 777}, {1, 1});
  remote.station = kRemoteStation;  // no data source is served under that key
  send(remote);
  EXPECT_EQ(run_mailbox(), MCI_ENOSOURCE);
  EXPECT_EQ(count(own_mailbox_), 1);
  EXPECT_EQ(run_mailbox(), MCI_ENOSOURCE);
  EXPECT_EQ(count(own_mailbox_), 0);
  EXPECT_TRUE(g_log.calls.empty());

  send(answer(MCI_KIND_READ_DATA, ds2_tag_));
  zq_fault_inject("zq_read_mbx", 1, ZQ_ESYS);
  EXPECT_EQ(run_mailbox(), ZQ_ESYS);
  EXPECT_EQ(count(own_mailbox_), 1);
}

TEST_F(MailboxHandler, ForeignRequestsAreTakenOutAndRefused) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  g_log = HandlerLog{};
  for (uint16_t kind : {MCI_KIND_QUERY, MCI_KIND_READ, MCI_KIND_WRITE}) {
    // Handled answers around it: each message is looked at on its own.
    send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
    send(answer(kind, ds1_tag_, {5, 5}));
    send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
    // The request names DS1: the refusal goes to DS1's provider mailbox.
    EXPECT_EQ(run_mailbox(), MCI_OK) << kind;
    EXPECT_EQ(count(own_mailbox_), 0);
    Received refusal;
    ASSERT_TRUE(take(provider_mailbox_, &refusal)) << kind;
    EXPECT_EQ(mci_kind(refusal.desc), (kind + 1) | MCI_KIND_ERROR);  // 9, 11, 13
    EXPECT_EQ(refusal.desc.length, 12);
    EXPECT_EQ(mci_get16(refusal.data.data() + MCI_HEADER_SIZE), MCI_EREFUSED);
    EXPECT_EQ(count(provider_mailbox_), 0);
  }
  EXPECT_EQ(g_log.calls.size(), 6u);
  // A request naming no data source has no one to answer: the send fails on
  // the unset destination and the run ends with that failure.
  send(answer(MCI_KIND_READ, ds2_tag_));
  EXPECT_EQ(run_mailbox(), MCI_EMAILBOX);
  EXPECT_EQ(count(own_mailbox_), 0);
  EXPECT_EQ(count(provider_mailbox_), 0);
  // A request whose key is no tag at all fails on the key first.
  send(answer(MCI_KIND_READ, TagRef{TAG_DIGITAL, 0}));
  EXPECT_EQ(run_mailbox(), MCI_EKEY);
  EXPECT_EQ(count(own_mailbox_), 0);
}

TEST_F(MailboxHandler, CountFailureIsReturned) {
  ASSERT_NE(source("DS1", ds1_tag_), nullptr);
  zq_fault_inject("zq_count_mbx", 1, ZQ_ECORRUPT);
  EXPECT_EQ(run_mailbox(), ZQ_ECORRUPT);
  zq_fault_inject("zq_count_mbx", 1, ZQ_ECORRUPT);
  int n = 0;
  EXPECT_EQ(mci_count(&handle_, &n), ZQ_ECORRUPT);
}

TEST_F(MailboxHandler, PeekFailureDiscardsTheMessageAndGoesOn) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ready(ds1_tag_, {MCI_FLAG_FORMAT, 0, 0, 0});
  g_log = HandlerLog{};
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {1, 0}));
  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {2, 0}));
  zq_fault_inject("zq_peek_mbx", 1, ZQ_ESYS);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(g_log.calls.size(), 1u);
  EXPECT_EQ(g_log.received[0][MCI_HEADER_SIZE], 2);
  EXPECT_EQ(count(own_mailbox_), 0);

  send(answer(MCI_KIND_READ_DATA, ds1_tag_, {1, 0}));
  zq_fault_inject("zq_peek_mbx", 1, ZQ_ESYS);
  zq_fault_inject("zq_read_mbx", 1, ZQ_ENOSPACE);
  EXPECT_EQ(run_mailbox(), ZQ_ENOSPACE);
}

TEST_F(MailboxHandler, EmptyMailboxPausesOnce) {
  ASSERT_EQ(mci_init(&handle_), MCI_OK);
  EXPECT_EQ(run_mailbox(), MCI_OK);
  EXPECT_EQ(pauses_, 1);
  EXPECT_EQ(pause_ms_, MCI_IDLE_PAUSE_MS);
}

// ---- Query replies -------------------------------------------------------------------

TEST_F(QueryReply, FromTheOwnStationMakesTheDataSourceReady) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  ASSERT_TRUE(mci_query_pending(ds));
  Sent reply;
  reply.kind = MCI_KIND_QUERY_REPLY;
  reply.key = ds1_tag_;
  reply.header = {0x2F03, 50, 200, 0};
  reply.payload = {'D', 'S', '1'};
  send(reply);
  ASSERT_EQ(run_mailbox(), MCI_OK);

  EXPECT_FALSE(mci_query_pending(ds));
  const MciSlot* slot = mci_slot(ds->slot);
  EXPECT_TRUE(tag_ref_equal(slot->remote_key, ds1_tag_));
  EXPECT_EQ(slot->remote_station, kOwnStation);
  EXPECT_EQ(ds->start, 200);
  EXPECT_EQ(ds->count, 50);
  EXPECT_EQ(ds->unit_size, 2);
  EXPECT_EQ(ds->byte_swap + ds->low_bit_first + ds->flag_bit10 + ds->one_based_bits, 4);
  EXPECT_EQ(ds->receive_state, MCI_RECEIVE_TAKEN);
  EXPECT_EQ(mci_kind(ds->message), MCI_KIND_QUERY_REPLY);
  EXPECT_EQ(ds->message.data, shared_.data());
  MciBlockHeader h;
  mci_header_read(shared_.data(), &h);
  EXPECT_EQ(h.count, 50);
  EXPECT_EQ(h.start, 200);

  // The handler got the registered record itself; its receive does nothing.
  ASSERT_EQ(g_log.calls.size(), 1u);
  EXPECT_EQ(g_log.calls[0].receive_state, MCI_RECEIVE_TAKEN);
  EXPECT_EQ(g_log.receive_results[0], MCI_OK);
  EXPECT_EQ(count(own_mailbox_), 0);
  EXPECT_EQ(mci_pending_count(), 0);

  // A provider on the own station is asked through the data-source tag.
  ASSERT_EQ(mci_request_read(&handle_, ds), MCI_OK);
  EXPECT_EQ(count(provider_mailbox_), 0);
}

TEST_F(QueryReply, FromAnotherStationLearnsKeyAndStation) {
  DataSource* ds1 = source("DS1", ds1_tag_);
  DataSource* ds2 = source("DS2", ds2_tag_);
  ASSERT_TRUE(ds1 && ds2);
  Sent reply;
  reply.kind = MCI_KIND_QUERY_REPLY;
  reply.station = kRemoteStation;
  reply.key = {TAG_ANALOG, 4711};  // the provider's own key
  reply.header = {0x1003, 8, 16, 0};
  reply.payload = {'A', 'L', 'I', 'A', 'S'};  // its name for DS2 in this application
  send(reply);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  EXPECT_TRUE(mci_query_pending(ds1));
  EXPECT_FALSE(mci_query_pending(ds2));
  const MciSlot* slot = mci_slot(ds2->slot);
  EXPECT_TRUE(tag_ref_equal(slot->remote_key, TagRef{TAG_ANALOG, 4711}));
  EXPECT_EQ(slot->remote_station, kRemoteStation);
  EXPECT_EQ(ds2->count, 8);
  EXPECT_EQ(ds2->start, 16);
  EXPECT_EQ(ds2->unit_size, 1);
  EXPECT_TRUE(tag_ref_equal(ds2->message.key, ds2_tag_));

  // Answers under the provider's key find DS2, with the key translated.
  g_log = HandlerLog{};
  Sent data = answer(MCI_KIND_READ_DATA, TagRef{TAG_ANALOG, 4711}, {7, 7});
  data.station = kRemoteStation;
  send(data);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  ASSERT_EQ(g_log.calls.size(), 1u);
  EXPECT_STREQ(g_log.calls[0].name, "DS2");
  EXPECT_TRUE(tag_ref_equal(g_log.calls[0].message.key, ds2_tag_));

  // A later reply replaces what was learned.
  reply.station = 9;
  reply.key = {TAG_ANALOG, 5};
  reply.header.count = 3;
  send(reply);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  EXPECT_TRUE(tag_ref_equal(slot->remote_key, TagRef{TAG_ANALOG, 5}));
  EXPECT_EQ(slot->remote_station, 9);
  EXPECT_EQ(ds2->count, 3);
}

TEST_F(QueryReply, UnknownNameOrDataSourceEndsTheRun) {
  ASSERT_NE(source("DS1", ds1_tag_), nullptr);
  Sent reply;
  reply.kind = MCI_KIND_QUERY_REPLY;
  reply.station = kRemoteStation;
  reply.key = {TAG_ANALOG, 1};
  reply.payload = {'N', 'O', 'P', 'E'};
  send(reply);
  send(answer(MCI_KIND_WRITE_ACK, ds1_tag_));
  EXPECT_EQ(run_mailbox(), MCI_ENAME);
  EXPECT_EQ(count(own_mailbox_), 1);  // the reply is gone, the answer waits

  // A name of this application that is not a data source (DS3), or an
  // own-station reply for an unknown key.
  mci_reset_pending();
  reply.payload = {'D', 'S', '3'};
  send(reply);
  Sent own = reply;
  own.station = kOwnStation;
  own.key = ds2_tag_;
  send(own);
  g_log.script = {Action::kLeave};  // the answer is held this time
  EXPECT_EQ(run_mailbox(), MCI_ENOSOURCE);
  EXPECT_EQ(run_mailbox(), MCI_ENOSOURCE);
  EXPECT_EQ(count(own_mailbox_), 1);
  EXPECT_TRUE(mci_query_pending(mci_find_by_key(ds1_tag_)));
}

TEST_F(QueryReply, ShortReplyAndFailures) {
  DataSource* ds = source("DS1", ds1_tag_);
  ASSERT_NE(ds, nullptr);
  Sent reply;
  reply.kind = MCI_KIND_QUERY_REPLY;
  reply.key = ds1_tag_;
  reply.header_bytes = 3;  // shorter than a header: the missing bytes read as 0
  reply.header = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  send(reply);
  ASSERT_EQ(run_mailbox(), MCI_OK);
  EXPECT_FALSE(mci_query_pending(ds));
  EXPECT_EQ(ds->count, 0xFF);
  EXPECT_EQ(ds->start, 0);

  Sent remote = reply;
  remote.station = kRemoteStation;  // its name is empty: no tag
  send(remote);
  EXPECT_EQ(run_mailbox(), MCI_ENAME);

  reply.header_bytes = MCI_HEADER_SIZE;
  send(reply);
  mci_fail_allocations_after(0);
  EXPECT_EQ(run_mailbox(), MCI_ENOMEM);
  mci_fail_allocations_after(-1);
  EXPECT_EQ(count(own_mailbox_), 1);  // left in the mailbox, counted as pending
  mci_reset_pending();
  zq_fault_inject("zq_read_mbx", 1, ZQ_ESYS);
  EXPECT_EQ(run_mailbox(), ZQ_ESYS);
  EXPECT_EQ(count(own_mailbox_), 1);
}

}  // namespace
}  // namespace mcitest
