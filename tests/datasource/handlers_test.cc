// Data-source handlers driven by a test provider task: answers of every kind,
// handshakes, deferred and continuous reads, block writes, entry adaptation
// and writes on change.
#include "datetime/datetime.h"
#include "ds_fixture.h"

namespace dstest {
namespace {

constexpr uint8_t kRemoteStation = 7;
constexpr TagRef kRemoteKey = {TAG_LONG, 999};
constexpr uint16_t kUnit2 = 0x2000;
constexpr uint16_t kUnit1 = 0x1000;

struct Request {
  MbxMessage desc = {};
  std::vector<uint8_t> data;
  MciBlockHeader header() const {
    MciBlockHeader h = {};
    if (data.size() >= MCI_HEADER_SIZE) mci_header_read(data.data(), &h);
    return h;
  }
  uint16_t kind() const { return mci_kind(desc); }
};

class Handlers : public DsFixture {
 protected:
  // DS1 with every handshake tag configured; `tweak` adjusts the record.
  void setup(const std::vector<ConvRec>& conv, uint16_t max_messages = 8,
             void (*tweak)(DsRec*) = nullptr, bool with_handshakes = true) {
    d_.tag = name_ds("DS1");
    d_.name = "DS1";
    d_.read_enabled = 1;
    d_.read_trigger = take(TAG_DIGITAL);
    d_.bw_enabled = 1;
    d_.bw_trigger = take(TAG_DIGITAL);
    d_.unsolicited = 1;
    d_.status = take(TAG_ANALOG);
    for (int op = 0; op < DS_OP_COUNT; ++op) {
      d_.complete[op] = take(TAG_DIGITAL);
      if (with_handshakes) {
        d_.inhibit[op] = take(TAG_DIGITAL);
        d_.sync[op] = take(TAG_DIGITAL);
      }
    }
    if (tweak != nullptr) tweak(&d_);
    ASSERT_EQ(load({task_table(own_mailbox_), ds_table(provider_mailbox_, max_messages, {d_}),
                    conv_table(d_.tag, conv)}),
              "");
    ds_ = mci_find_by_key(d_.tag);
    ASSERT_NE(ds_, nullptr);
    st_ = ds_->state;
    // The first wait delivers the handshake tags' values (all 0 here).
    for (int op = 0; op < DS_OP_COUNT; ++op) {
      if (with_handshakes) {
        ASSERT_EQ(dispatch_tag_now(&ctx_, d_.inhibit[op]), 0);
        ASSERT_EQ(dispatch_tag_now(&ctx_, d_.sync[op]), 0);
      }
    }
    drain_own_changes();
  }

  void drain_own_changes() { changed(own_mailbox_); }

  // The provider writes an answer into the own mailbox.
  void answer(uint16_t kind, MciBlockHeader h, const std::vector<uint8_t>& payload = {},
              uint8_t station = 0, TagRef key = {}, int header_bytes = MCI_HEADER_SIZE) {
    std::vector<uint8_t> bytes(MCI_HEADER_SIZE, 0);
    mci_header_write(bytes.data(), h);
    bytes.resize(static_cast<size_t>(header_bytes));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    MbxMessage m = {};
    m.data = bytes.data();
    m.length = m.capacity = static_cast<uint16_t>(bytes.size());
    m.control = static_cast<uint16_t>(kind | (station << MCI_CTRL_STATION_SHIFT));
    m.key = key.type == 0 && key.index == 0 ? d_.tag : key;
    ASSERT_EQ(zq_write_mbx(provider_, provider_, own_mailbox_, &m), 0);
  }
  int run() { return mci_on_mailbox(nullptr, ChangeRecord{}); }

  // Query reply with the geometry; remote replies name the data source.
  void ready(uint16_t flags, uint16_t start, uint16_t count, bool remote = false) {
    MciBlockHeader h = {static_cast<uint16_t>(MCI_FLAG_FORMAT | flags), count, start, 0};
    if (remote) {
      h.count = 3;
      answer(MCI_KIND_QUERY_REPLY, h, {'D', 'S', '1'}, kRemoteStation, kRemoteKey);
    } else {
      answer(MCI_KIND_QUERY_REPLY, h);
    }
    ASSERT_EQ(run(), 0);
    ASSERT_FALSE(mci_query_pending(ds_));
    if (remote) {
      ds_->start = start;
      ds_->count = count;
    }
    clear_requests();
  }
  // Read data (or another block kind) from the provider, `remote` as in ready().
  void block(uint16_t kind, uint16_t flags, uint16_t start, uint16_t count,
             const std::vector<uint8_t>& data, bool remote = false) {
    MciBlockHeader h = {static_cast<uint16_t>(MCI_FLAG_FORMAT | flags), count, start, 0};
    if (remote) {
      answer(kind, h, data, kRemoteStation, kRemoteKey);
    } else {
      answer(kind, h, data);
    }
  }
  bool take_request(Request* out) {
    int n = 0;
    if (zq_count_mbx(provider_, provider_mailbox_, &n) != 0 || n == 0) return false;
    out->data.assign(8192, 0);
    out->desc = {};
    out->desc.data = out->data.data();
    out->desc.capacity = static_cast<uint16_t>(out->data.size());
    if (zq_read_mbx(provider_, provider_, provider_mailbox_, &out->desc, 0) != 0) return false;
    out->data.resize(out->desc.length);
    return true;
  }
  std::vector<Request> requests() {
    std::vector<Request> all;
    Request r;
    while (take_request(&r)) all.push_back(r);
    return all;
  }
  void clear_requests() { requests(); }
  int count_kind(const std::vector<Request>& rs, uint16_t kind) {
    int n = 0;
    for (const Request& r : rs) n += r.kind() == kind ? 1 : 0;
    return n;
  }
  void set_sync(int op, int16_t v) {
    write16(d_.sync[op], v);
    ASSERT_EQ(dispatch_tag_now(&ctx_, d_.sync[op]), 0);
  }
  void set_inhibit(int op, int16_t v) {
    write16(d_.inhibit[op], v);
    ASSERT_EQ(dispatch_tag_now(&ctx_, d_.inhibit[op]), 0);
  }
  void trigger(TagRef t, int16_t v) {
    write16(t, v);
    ASSERT_EQ(dispatch_tag_now(&ctx_, t), 0);
  }
  // Completion as seen on the tags: status code, sync value, complete forced.
  void expect_completion(int op, int16_t code) {
    EXPECT_EQ(read16(d_.status), code);
    EXPECT_EQ(read16(d_.sync[op]), op + 1);
    EXPECT_EQ(st_->sync[op], 1);
    EXPECT_EQ(read16(d_.complete[op]), 1);
    EXPECT_TRUE(changed(d_.complete[op]));
    set_sync(op, 0);
  }
  static std::vector<uint8_t> words(std::initializer_list<uint16_t> ws) {
    std::vector<uint8_t> b;
    for (uint16_t w : ws) {
      b.push_back(static_cast<uint8_t>(w));
      b.push_back(static_cast<uint8_t>(w >> 8));
    }
    return b;
  }

  DsRec d_;
  DataSource* ds_ = nullptr;
  DsState* st_ = nullptr;
};

TEST_F(Handlers, EveryAnswerKindCompletesItsOperation) {
  TagRef a = take(TAG_ANALOG, 2);
  setup({ConvRec{a, "A[0]", "2", 0, 0, 2, DT_WORD}});
  ready(kUnit2, 0, 2);
  write16(d_.status, 77);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 2, words({11, 22}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 11);
  EXPECT_EQ(read16(TagRef{a.type, static_cast<uint16_t>(a.index + 1)}), 22);
  expect_completion(DS_OP_READ, 0);

  block(MCI_KIND_UNSOLICITED, kUnit2, 0, 2, words({33, 44}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 33);
  expect_completion(DS_OP_RECEIVE, 0);

  block(MCI_KIND_WRITE_ACK, kUnit2, 0, 0, {});
  write16(d_.status, 77);
  ASSERT_EQ(run(), 0);
  expect_completion(DS_OP_WRITE, 0);

  const struct {
    uint16_t kind;
    int op;
    const char* name;
  } errors[] = {{MCI_KIND_READ_ERROR, DS_OP_READ, "READ"},
                {MCI_KIND_WRITE_ERROR, DS_OP_WRITE, "WRITE"},
                {MCI_KIND_RECEIVE_ERROR, DS_OP_RECEIVE, "RCV"}};
  for (const auto& e : errors) {
    block(e.kind, kUnit2, 0, 1, words({321}));
    ASSERT_EQ(run(), 0);
    EXPECT_TRUE(reported(std::string("IMX_ERROR ") + e.name + " DS1 321")) << all_lines();
    expect_completion(e.op, 321);
  }
  // An error reply too short to carry its code.
  block(MCI_KIND_READ_ERROR, kUnit2, 0, 0, {});
  ASSERT_EQ(run(), 0);
  EXPECT_TRUE(reported("IMX_ERROR READ DS1 65535"));
  expect_completion(DS_OP_READ, -1);

  block(MCI_KIND_QUERY_ERROR, kUnit2, 0, 1, words({5}));
  ASSERT_EQ(run(), 0);
  EXPECT_TRUE(reported("IMX_MSG DS1 9"));
  EXPECT_EQ(mailbox_count(own_mailbox_), 0);
}

TEST_F(Handlers, ReadDataIsDroppedWhenReadIsDisabledOrReceiveInhibited) {
  TagRef a = take(TAG_ANALOG);
  setup({ConvRec{a, "A", "", 0, 0, 1, DT_WORD}}, 8, [](DsRec* d) { d->read_enabled = 0; });
  ready(kUnit2, 0, 1);
  write16(d_.status, 77);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({5}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(mailbox_count(own_mailbox_), 0);
  EXPECT_EQ(read16(a), 0);
  EXPECT_EQ(read16(d_.status), 77);
  EXPECT_FALSE(changed(d_.complete[DS_OP_READ]));
  set_inhibit(DS_OP_RECEIVE, 1);
  block(MCI_KIND_UNSOLICITED, kUnit2, 0, 1, words({6}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(mailbox_count(own_mailbox_), 0);
  EXPECT_EQ(read16(a), 0);
  EXPECT_FALSE(changed(d_.complete[DS_OP_RECEIVE]));
}

TEST_F(Handlers, HeldAnswerIsProcessedWhenTheSyncTagFalls) {
  TagRef a = take(TAG_ANALOG);
  setup({ConvRec{a, "A", "", 0, 0, 1, DT_WORD}});
  ready(kUnit2, 0, 1);
  set_sync(DS_OP_READ, 1);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({42}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(mailbox_count(own_mailbox_), 1);
  EXPECT_EQ(mci_pending_count(), 1);
  EXPECT_EQ(read16(a), 0);
  // Another run without news leaves it there.
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(mailbox_count(own_mailbox_), 1);
  drain_own_changes();
  set_sync(DS_OP_READ, 0);
  EXPECT_EQ(mci_pending_count(), 0);
  // The own mailbox is marked changed so the held answer is looked at again.
  EXPECT_TRUE(changed(own_mailbox_));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 42);
  EXPECT_EQ(mailbox_count(own_mailbox_), 0);
  EXPECT_EQ(st_->sync[DS_OP_READ], 1);  // set again by the completion
}

TEST_F(Handlers, TriggersWhilePendingGiveOneRequestAfterTheQueryReply) {
  setup({ConvRec{take(TAG_ANALOG), "A", "", 0, 0, 1, DT_WORD}});
  clear_requests();  // the query sent at load
  for (int i = 0; i < 3; ++i) {
    trigger(d_.read_trigger, 1);
    trigger(d_.read_trigger, 0);
  }
  trigger(d_.bw_trigger, 1);
  trigger(d_.bw_trigger, 1);
  EXPECT_EQ(mailbox_count(provider_mailbox_), 0);
  EXPECT_EQ(st_->flags & (DS_FLAG_READ_DEFERRED | DS_FLAG_BW_DEFERRED),
            DS_FLAG_READ_DEFERRED | DS_FLAG_BW_DEFERRED);
  MciBlockHeader h = {static_cast<uint16_t>(MCI_FLAG_FORMAT | kUnit2), 3, 0, 0};
  answer(MCI_KIND_QUERY_REPLY, h, {'D', 'S', '1'}, kRemoteStation, kRemoteKey);
  ASSERT_EQ(run(), 0);
  std::vector<Request> rs = requests();
  EXPECT_EQ(count_kind(rs, MCI_KIND_READ), 1);
  EXPECT_EQ(count_kind(rs, MCI_KIND_WRITE), 1);
  EXPECT_EQ(st_->flags & (DS_FLAG_READ_DEFERRED | DS_FLAG_BW_DEFERRED), 0);
  // Falling values do nothing.
  trigger(d_.read_trigger, 0);
  trigger(d_.bw_trigger, 0);
  EXPECT_EQ(mailbox_count(provider_mailbox_), 0);
}

TEST_F(Handlers, ContinuousReadPausesWhileInhibitedAndRestarts) {
  TagRef a = take(TAG_ANALOG);
  setup({ConvRec{a, "A", "", 0, 0, 1, DT_WORD}}, 8, [](DsRec* d) { d->read_trigger = TagRef{}; });
  ASSERT_EQ(st_->continuous_read, 1);
  clear_requests();
  // A deferred read and the continuous read both go out after the reply.
  st_->flags |= DS_FLAG_READ_DEFERRED;
  MciBlockHeader h = {static_cast<uint16_t>(MCI_FLAG_FORMAT | kUnit2), 3, 0, 0};
  answer(MCI_KIND_QUERY_REPLY, h, {'D', 'S', '1'}, kRemoteStation, kRemoteKey);
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(count_kind(requests(), MCI_KIND_READ), 2);
  for (int16_t v : {1, 2}) {
    block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({static_cast<uint16_t>(v)}), true);
    ASSERT_EQ(run(), 0);
    set_sync(DS_OP_READ, 0);
    EXPECT_EQ(read16(a), v);
    EXPECT_EQ(count_kind(requests(), MCI_KIND_READ), 1);
  }
  set_inhibit(DS_OP_READ, 1);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({3}), true);
  ASSERT_EQ(run(), 0);
  set_sync(DS_OP_READ, 0);
  EXPECT_EQ(read16(a), 3);
  EXPECT_EQ(mailbox_count(provider_mailbox_), 0);
  set_inhibit(DS_OP_READ, 0);
  EXPECT_EQ(count_kind(requests(), MCI_KIND_READ), 1);
  // A read error also goes on reading.
  block(MCI_KIND_READ_ERROR, kUnit2, 0, 1, words({8}), true);
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(count_kind(requests(), MCI_KIND_READ), 1);
}

TEST_F(Handlers, FullProviderMailboxCompletesTheWriteWith469) {
  TagRef a = take(TAG_ANALOG);
  setup({ConvRec{a, "A", "", 0, 0, 1, DT_WORD}}, 1);
  ready(kUnit2, 0, 1);
  // One message waits in the provider's mailbox; the limit is 1.
  MbxMessage m = {};
  uint8_t byte = 0;
  m.data = &byte;
  m.length = m.capacity = 1;
  ASSERT_EQ(zq_write_mbx(provider_, provider_, provider_mailbox_, &m), 0);
  trigger(d_.bw_trigger, 1);
  EXPECT_TRUE(reported("MAX_MSG 1 DS1")) << all_lines();
  expect_completion(DS_OP_WRITE, 469);
  EXPECT_EQ(mailbox_count(provider_mailbox_), 1);
}

TEST_F(Handlers, KernelFailuresAroundABlockWriteCompleteWithTheError) {
  TagRef a = take(TAG_ANALOG);
  setup({ConvRec{a, "A", "", 0, 0, 1, DT_WORD}});
  ready(kUnit2, 0, 1);
  zq_fault_inject("zq_count_mbx", 1, 12);
  trigger(d_.bw_trigger, 1);
  EXPECT_TRUE(reported("ZQ_COUNT_MBX DS1 412")) << all_lines();
  expect_completion(DS_OP_WRITE, 412);
  zq_fault_inject("zq_read", 1, 13);
  ChangeRecord one = {};
  one.value[0] = 1;
  EXPECT_EQ(ds_on_block_write(ds_, one), 0);
  EXPECT_TRUE(reported("ZQ_READ 'block write' DS1 413")) << all_lines();
  expect_completion(DS_OP_WRITE, 413);
  EXPECT_EQ(mailbox_count(provider_mailbox_), 0);
}

TEST_F(Handlers, WriteModeKeepsALocalChangeAgainstAnIncomingBlock) {
  TagRef a = take(TAG_ANALOG, 2);
  TagRef a1 = {a.type, static_cast<uint16_t>(a.index + 1)};
  setup({ConvRec{a, "A[0]", "2", 0, 0, 2, DT_WORD}}, 8, [](DsRec* d) { d->write_mode = 2; });
  ready(kUnit2, 0, 2);
  write16(a, 500);  // an operator's change, not yet handled here
  block(MCI_KIND_READ_DATA, kUnit2, 0, 2, words({100, 200}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 500);
  EXPECT_EQ(read16(a1), 200);
  EXPECT_FALSE(changed(a1));  // written from the device: not sent back
  // The local change is still pending and goes out as a write on change.
  ASSERT_EQ(dispatch_tag_now(&ctx_, a), 0);
  std::vector<Request> rs = requests();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].kind(), MCI_KIND_WRITE);
  EXPECT_EQ(rs[0].header().start, 0);
  EXPECT_EQ(rs[0].header().count, 1);
  ASSERT_GE(rs[0].data.size(), 10u);
  EXPECT_EQ(mci_get16(rs[0].data.data() + MCI_HEADER_SIZE), 500);
  EXPECT_TRUE(changed(a));
}

TEST_F(Handlers, StateTagRequeriesOnlyOnTheListedValues) {
  setup({}, 8, [](DsRec* d) { d->state = TagRef{TAG_ANALOG, 0}; });
  DsState* st = st_;
  clear_requests();
  ChangeRecord r = {};
  auto state = [&](int16_t v) {
    memcpy(r.value, &v, sizeof v);
    EXPECT_EQ(ds_on_state(ds_, r), 0);
    return count_kind(requests(), MCI_KIND_QUERY);
  };
  EXPECT_EQ(state(0x311), 1);
  EXPECT_EQ(state(0x321), 0);
  EXPECT_EQ(state(0x311), 0);
  EXPECT_EQ(state(0x312), 1);
  EXPECT_EQ(state(0x312), 0);  // repeated value
  EXPECT_EQ(state(0x321), 1);
  EXPECT_EQ(state(0x111), 1);
  EXPECT_EQ(state(0x200), 0);
  EXPECT_EQ(state(0x211), 1);
  EXPECT_EQ(st->last_state, 0x211);
}

TEST_F(Handlers, AdaptEntriesSpacesWideArrayElementsAndSplitsBitNumbers) {
  TagRef l = take(TAG_LONG, 3);
  TagRef b = take(TAG_DIGITAL, 2);
  setup({ConvRec{l, "L[0]", "3", 10, 0, 3, DT_LONG}, ConvRec{b, "B[0]", "2", 10, 20, 2, DT_BIT}});
  ASSERT_EQ(st_->lowest_offset, 10);
  ASSERT_EQ(st_->offset_span, 3);
  ready(kUnit2, 0, 100);
  const ConvEntry* e = st_->entries;
  EXPECT_EQ(e[0].address, 10);
  EXPECT_EQ(e[1].address, 12);
  EXPECT_EQ(e[2].address, 14);
  // Bits 20 and 21 of a 16-bit unit: bit 4 and 5 of the next unit.
  EXPECT_EQ(e[3].address, 11);
  EXPECT_EQ(e[3].length, 4);
  EXPECT_EQ(e[3].transfer_type, 0x104);
  EXPECT_EQ(e[4].length, 5);
  EXPECT_EQ(st_->offset_span, 6);  // 10..15 holds the last long
}

TEST_F(Handlers, AdaptEntriesOnABitBlockNumbersElementsConsecutively) {
  TagRef b = take(TAG_DIGITAL, 3);
  TagRef s = take(TAG_MESSAGE);
  setup({ConvRec{b, "B[0]", "3", 7, 14, 3, DT_BIT}, ConvRec{s, "S", "", 2, 10, 1, DT_STRING}});
  ready(0, 0, 64);
  const ConvEntry* e = st_->entries;
  EXPECT_EQ(e[0].address, 7);
  EXPECT_EQ(e[1].address, 8);
  EXPECT_EQ(e[2].address, 9);
  EXPECT_EQ(e[3].address, 2);
  EXPECT_EQ(st_->lowest_offset, 2);
  EXPECT_EQ(st_->offset_span, 8);  // 6 + one per continued bit; the text adds none
}

TEST_F(Handlers, BlockWriteCoversTheConfiguredSpan) {
  TagRef a = take(TAG_ANALOG, 3);
  setup(
      {ConvRec{a, "A[0]", "3", 10, 0, 1, DT_WORD},
       ConvRec{TagRef{a.type, static_cast<uint16_t>(a.index + 1)}, "A[1]", "3", 12, 0, 1, DT_WORD},
       ConvRec{TagRef{a.type, static_cast<uint16_t>(a.index + 2)}, "A[2]", "3", 13, 0, 1,
               DT_WORD}});
  ready(kUnit2 | MCI_FLAG_BYTE_SWAP, 100, 50);
  write16(a, 0x0101);
  write16(TagRef{a.type, static_cast<uint16_t>(a.index + 1)}, 0x1234);
  trigger(d_.bw_trigger, 1);
  std::vector<Request> rs = requests();
  ASSERT_EQ(rs.size(), 1u);
  MciBlockHeader h = rs[0].header();
  EXPECT_EQ(rs[0].kind(), MCI_KIND_WRITE);
  EXPECT_EQ(h.flags, 0x2103);
  EXPECT_EQ(h.count, 4);
  EXPECT_EQ(h.start, 110);
  EXPECT_EQ(h.transfer_type, 0x0C00);
  ASSERT_EQ(rs[0].desc.length, 16);
  const uint8_t* data = rs[0].data.data() + MCI_HEADER_SIZE;
  EXPECT_EQ(data[4], 0x12);
  EXPECT_EQ(data[5], 0x34);
  EXPECT_EQ(data[0], 0x01);
  EXPECT_EQ(data[2], 0);
  EXPECT_EQ(data[6], 0);
  // Acknowledged: the completion follows the answer.
  block(MCI_KIND_WRITE_ACK, kUnit2, 0, 0, {});
  ASSERT_EQ(run(), 0);
  expect_completion(DS_OP_WRITE, 0);
}

TEST_F(Handlers, BlockWriteLargerThanAMessageIsRefused) {
  TagRef a = take(TAG_ANALOG, 2);
  setup(
      {ConvRec{a, "A", "", 0, 0, 1, DT_WORD},
       ConvRec{TagRef{a.type, static_cast<uint16_t>(a.index + 1)}, "B", "", 3000, 0, 1, DT_WORD}});
  ready(kUnit2, 0, 4000);
  trigger(d_.bw_trigger, 1);
  EXPECT_TRUE(reported("IMX_BOUND DS1 2")) << all_lines();
  expect_completion(DS_OP_WRITE, 470);
  EXPECT_EQ(mailbox_count(provider_mailbox_), 0);
}

TEST_F(Handlers, BlockWriteFillingTheWholeMessageIsSent) {
  TagRef a = take(TAG_ANALOG, 2);
  // Units 0 .. 2055 of 2 bytes: exactly the 4112 data bytes of a message.
  setup(
      {ConvRec{a, "A", "", 0, 0, 1, DT_WORD},
       ConvRec{TagRef{a.type, static_cast<uint16_t>(a.index + 1)}, "B", "", 2055, 0, 1, DT_WORD}});
  ready(kUnit2, 0, 4000);
  write16(TagRef{a.type, static_cast<uint16_t>(a.index + 1)}, 0x0A0B);
  trigger(d_.bw_trigger, 1);
  std::vector<Request> rs = requests();
  ASSERT_EQ(rs.size(), 1u) << all_lines();
  EXPECT_EQ(rs[0].header().count, 2056);
  ASSERT_EQ(rs[0].desc.length, MCI_MESSAGE_BUFFER_SIZE);
  EXPECT_EQ(mci_get16(rs[0].data.data() + MCI_MESSAGE_BUFFER_SIZE - 2), 0x0A0B);
}

TEST_F(Handlers, ShortBlockConvertsOnlyTheEntriesThatArrived) {
  TagRef a = take(TAG_ANALOG, 4);
  setup({ConvRec{a, "A[0]", "4", 0, 0, 4, DT_WORD}});
  ready(kUnit2, 0, 4);
  for (uint16_t k = 0; k < 4; ++k) write16(TagRef{a.type, static_cast<uint16_t>(a.index + k)}, -1);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 10, words({1, 2}));  // claims 10 units, carries 2
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 1);
  EXPECT_EQ(read16(TagRef{a.type, static_cast<uint16_t>(a.index + 1)}), 2);
  EXPECT_EQ(read16(TagRef{a.type, static_cast<uint16_t>(a.index + 2)}), -1);
  EXPECT_EQ(count_lines("IMX_BOUND DS1"), 1);
  expect_completion(DS_OP_READ, 0);
  // Entries outside [start, start + count) of an absolute block stay untouched.
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({9}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 9);
  EXPECT_EQ(read16(TagRef{a.type, static_cast<uint16_t>(a.index + 1)}), 2);
}

TEST_F(Handlers, TextEntriesTravelBothWays) {
  TagRef m = take(TAG_MESSAGE);
  TagRef w = take(TAG_ANALOG);
  setup({ConvRec{w, "W", "", 0, 0, 1, DT_WORD}, ConvRec{m, "M", "", 2, 6, 1, DT_STRING}});
  ready(kUnit1, 0, 8);
  std::vector<uint8_t> data = words({7});
  for (char c : std::string("ABCDEF")) data.push_back(static_cast<uint8_t>(c));
  block(MCI_KIND_READ_DATA, kUnit1, 0, 8, data);
  ASSERT_EQ(run(), 0);
  char text[64] = {};
  MessageValue v = {text, sizeof text, 0};
  ASSERT_EQ(zq_read(provider_, &m, 1, &v), 0);
  EXPECT_STREQ(text, "ABCDEF");
  EXPECT_EQ(read16(w), 7);
  set_sync(DS_OP_READ, 0);
  MessageValue out = {const_cast<char*>("xyz"), 4, 3};
  ASSERT_EQ(zq_write(provider_, &m, 1, &out), 0);
  write16(w, 0x0102);
  trigger(d_.bw_trigger, 1);
  std::vector<Request> rs = requests();
  ASSERT_EQ(rs.size(), 1u);
  ASSERT_GE(rs[0].data.size(), MCI_HEADER_SIZE + 5u);
  const uint8_t* b = rs[0].data.data() + MCI_HEADER_SIZE;
  EXPECT_EQ(mci_get16(b), 0x0102);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 2), 3), "xyz");
}

TEST_F(Handlers, KernelFailuresWhileAnsweringAreReportedAndTheTaskGoesOn) {
  TagRef a = take(TAG_ANALOG);
  setup({ConvRec{a, "A", "", 0, 0, 1, DT_WORD}}, 8, [](DsRec* d) { d->write_mode = 1; });
  ready(kUnit2, 0, 1, true);
  // Change flags unreadable: the block is dropped, the completion still 0.
  write16(d_.status, 77);
  zq_fault_inject("zq_get_chg", 1, 5);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({1}), true);
  ASSERT_EQ(run(), 0);
  EXPECT_TRUE(reported("ZQ_GET_CHG DS1 405")) << all_lines();
  EXPECT_EQ(read16(a), 0);
  expect_completion(DS_OP_READ, 0);
  // The tags' write fails; the completion follows.
  zq_fault_inject("zq_write", 1, 6);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({2}), true);
  ASSERT_EQ(run(), 0);
  EXPECT_TRUE(reported("ZQ_WRITE tags DS1 406")) << all_lines();
  expect_completion(DS_OP_READ, 0);
  // The complete tag cannot be forced.
  zq_fault_inject("zq_f_write", 1, 7);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({3}), true);
  ASSERT_EQ(run(), 0);
  EXPECT_TRUE(reported("ZQ_F_WRITE read ready|DS1 407")) << all_lines();
  EXPECT_EQ(read16(a), 3);
  set_sync(DS_OP_READ, 0);
  // The answer cannot be taken out: it is not processed.
  zq_fault_inject("zq_read_mbx", 1, 8);
  block(MCI_KIND_READ_DATA, kUnit2, 0, 1, words({4}), true);
  run();
  EXPECT_TRUE(reported("IMX_RECV DS1 408")) << all_lines();
  EXPECT_EQ(read16(a), 3);
  mci_reset_pending();
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 4);
  set_sync(DS_OP_READ, 0);
  // Requests that cannot be written.
  zq_fault_inject("zq_write_mbx", 1, 9);
  trigger(d_.read_trigger, 1);
  EXPECT_TRUE(reported("IMX_DS_TRIGGER DS1 409")) << all_lines();
  zq_fault_inject("zq_write_mbx", 1, 10);
  trigger(d_.bw_trigger, 1);
  EXPECT_TRUE(reported("IMX_SEND DS1 10")) << all_lines();
  zq_fault_inject("zq_write_mbx", 1, 11);
  write16(a, 5);
  EXPECT_EQ(dispatch_tag_now(&ctx_, a), 11);
  EXPECT_TRUE(reported("IMX_SEND DS1 11"));
  EXPECT_EQ(mailbox_count(provider_mailbox_), 0);
}

TEST_F(Handlers, AbsoluteBlockPlacesEntriesFromItsStart) {
  TagRef a = take(TAG_ANALOG, 4);
  setup({ConvRec{a, "A[0]", "4", 100, 0, 4, DT_WORD}}, 8, [](DsRec* d) { d->addressing = 1; });
  ready(kUnit2, 100, 4);
  block(MCI_KIND_UNSOLICITED, kUnit2, 101, 2, words({7, 8}));
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(a), 0);
  EXPECT_EQ(read16(TagRef{a.type, static_cast<uint16_t>(a.index + 1)}), 7);
  EXPECT_EQ(read16(TagRef{a.type, static_cast<uint16_t>(a.index + 2)}), 8);
  EXPECT_EQ(read16(TagRef{a.type, static_cast<uint16_t>(a.index + 3)}), 0);
  expect_completion(DS_OP_RECEIVE, 0);
  // Absolute block writes start at the lowest configured address.
  trigger(d_.bw_trigger, 1);
  std::vector<Request> rs = requests();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].header().start, 100);
  EXPECT_EQ(rs[0].header().count, 4);
  EXPECT_EQ(mci_get16(rs[0].data.data() + MCI_HEADER_SIZE + 2), 7);
}

// Bits are numbered from the block's first address: with relative addresses
// and a data source starting at 10 (not a multiple of 8) each bit is read and
// written where the provider packs it.
TEST_F(Handlers, BitBlockFromAnUnalignedStartKeepsEveryBitInPlace) {
  TagRef di = take(TAG_DIGITAL, 3);
  auto element = [&](uint16_t i) { return TagRef{di.type, static_cast<uint16_t>(di.index + i)}; };
  setup({ConvRec{di, "DI[0]", "3", 0, 0, 3, DT_BIT}});
  ready(MCI_FLAG_LOW_BIT_FIRST, 10, 8);
  block(MCI_KIND_READ_DATA, MCI_FLAG_LOW_BIT_FIRST, 10, 8, {0x05});
  ASSERT_EQ(run(), 0);
  EXPECT_EQ(read16(element(0)), 1);
  EXPECT_EQ(read16(element(1)), 0);
  EXPECT_EQ(read16(element(2)), 1);
  expect_completion(DS_OP_READ, 0);
  write16(element(0), 0);
  write16(element(1), 1);
  write16(element(2), 1);
  trigger(d_.bw_trigger, 1);
  std::vector<Request> rs = requests();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].header().start, 10);
  EXPECT_EQ(rs[0].header().count, 3);
  EXPECT_EQ(rs[0].data[MCI_HEADER_SIZE], 0x06);
}

// ---- Writes on change --------------------------------------------------------------

class WriteOnChange : public Handlers {
 protected:
  // One entry of the given data type on a data source of unit size `unit`.
  Request change(uint16_t data_type, uint16_t unit_flags, uint16_t write_mode,
                 uint16_t tag_type = TAG_LONG, uint16_t length = 0, int32_t value = 5) {
    TagRef t = take(tag_type);
    static uint16_t mode;
    mode = write_mode;
    setup({ConvRec{t, "V", "", 3, length, 1, data_type}}, 8,
          [](DsRec* d) { d->write_mode = mode; });
    ready(unit_flags, 100, 50);
    if (tag_type == TAG_LONG) write32(t, value);
    if (tag_type == TAG_ANALOG || tag_type == TAG_DIGITAL) write16(t, static_cast<int16_t>(value));
    if (tag_type == TAG_MESSAGE) {
      MessageValue m = {const_cast<char*>("hello"), 6, 5};
      EXPECT_EQ(zq_write(provider_, &t, 1, &m), 0);
    }
    dispatch_tag_now(&ctx_, t);
    std::vector<Request> rs = requests();
    EXPECT_LE(rs.size(), 1u);
    return rs.empty() ? Request{} : rs[0];
  }
};

TEST_F(WriteOnChange, WordOnByteUnitsTravelsAsTwoWholeUnits) {
  Request r = change(DT_WORD, kUnit1, 1);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().count, 2);
  EXPECT_EQ(r.header().start, 103);
  EXPECT_EQ(r.header().transfer_type, 0x0C00);
  EXPECT_EQ(r.header().flags & MCI_FLAG_UNTYPED, 0);
  EXPECT_EQ(r.desc.length, 8 + 2);
}

TEST_F(WriteOnChange, BitOnWordUnitsIsTypedAndOneBasedAdjusted) {
  Request r =
      change(DT_BIT, kUnit2 | MCI_FLAG_ONE_BASED | MCI_FLAG_BYTE_SWAP, 1, TAG_DIGITAL, 3, 1);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().count, 1);
  EXPECT_EQ(r.header().transfer_type, 0x103 - 1);
  EXPECT_EQ(r.header().flags & MCI_FLAG_BYTE_SWAP, 0);
}

TEST_F(WriteOnChange, BitAddressedBlockSendsOneUnitAsWholeUnits) {
  Request r = change(DT_WORD, 0, 1);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().count, 1);
  EXPECT_EQ(r.header().transfer_type, 0x0C00);
}

TEST_F(WriteOnChange, UntypedModeKeepsTheEntrysTransferType) {
  Request r = change(DT_LONG, kUnit2, 2);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().count, 2);
  EXPECT_EQ(r.header().transfer_type, 0x800);
  EXPECT_NE(r.header().flags & MCI_FLAG_UNTYPED, 0);
}

TEST_F(WriteOnChange, ByteOnWordUnitsKeepsItsTransferTypeTyped) {
  Request r = change(DT_BYTE, kUnit2, 1, TAG_LONG, 0, 0x7F);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().count, 1);
  EXPECT_EQ(r.header().transfer_type, 0x400);
}

TEST_F(WriteOnChange, UnusualUnitSizeUsesWholeUnits) {
  Request r = change(DT_BYTE, 0x3000, 1);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().transfer_type, 0x0C00);
}

TEST_F(WriteOnChange, TimeLayoutAndTextTakeTheUnitsTheirLengthNeeds) {
  const char* layouts[TIME_LAYOUT_COUNT] = {"BIN YEAR MO DY HR MI SC",
                                            "BIN SC",
                                            "BIN SC",
                                            "BIN SC",
                                            "BIN SC",
                                            "BIN SC",
                                            "BIN SC",
                                            "BIN SC",
                                            "BIN SC",
                                            "BIN SC"};
  ASSERT_EQ(load_time_layouts_from(layouts), 0);
  Request r = change(DT_TIM0, kUnit2, 1);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().count, 4);  // 7 bytes on 2-byte units
}

TEST_F(WriteOnChange, StringSendsItsLengthInUnits) {
  Request r = change(DT_STRING, kUnit2, 2, TAG_LONG, 5);
  ASSERT_EQ(r.kind(), MCI_KIND_WRITE);
  EXPECT_EQ(r.header().count, 3);
}

TEST_F(WriteOnChange, MessageTagIsNotSent) {
  Request r = change(DT_STRING, kUnit2, 1, TAG_MESSAGE, 5);
  EXPECT_TRUE(r.data.empty());
  EXPECT_TRUE(reported("EX_MSG"));
}

TEST_F(WriteOnChange, FixedPointIsNotWritableOnChange) {
  Request r = change(DT_FIXED, kUnit2, 1);
  EXPECT_TRUE(r.data.empty());
  EXPECT_TRUE(reported("EW_CONV DS1 17"));
}

TEST_F(WriteOnChange, WriteInhibitDropsTheChangeSilently) {
  TagRef t = take(TAG_ANALOG);
  setup({ConvRec{t, "V", "", 3, 0, 1, DT_WORD}}, 8, [](DsRec* d) { d->write_mode = 1; });
  ready(kUnit2, 0, 10);
  set_inhibit(DS_OP_WRITE, 1);
  skipped_lines_ = lines().size();
  write16(t, 9);
  ASSERT_EQ(dispatch_tag_now(&ctx_, t), 0);
  EXPECT_EQ(mailbox_count(provider_mailbox_), 0);
  EXPECT_TRUE(take_lines().empty());
}

}  // namespace
}  // namespace dstest
