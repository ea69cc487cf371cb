// Configuration loading: fatal keys, data-source flags and handshakes,
// conversion entries, arrays and trigger registration.
#include "../datasource/ds_fixture.h"
#include "datetime/datetime.h"

namespace dstest {
namespace {

constexpr size_t kIndexStart = 8;  // file header
constexpr size_t kEntrySize = 28;  // current index entry
constexpr size_t kEntryOffset = 12;
constexpr size_t kEntryHeaderLength = 16;
constexpr size_t kEntryRecordCount = 24;

void patch32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

class Loader : public DsFixture {
 protected:
  // A minimal valid data source DS1 with read trigger and status tag.
  DsRec basic(const std::string& name = "DS1") {
    DsRec d;
    d.tag = name_ds(name);
    d.name = name;
    return d;
  }
  std::string load_one(const DsRec& d, const std::vector<ConvRec>& conv) {
    return load(
        {task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {d}), conv_table(d.tag, conv)});
  }
  std::string load_bytes(std::vector<uint8_t> bytes) {
    write_objects();
    EXPECT_EQ(ct_write_bytes((app_ / "dom" / "ct" / "quantrel.ct").c_str(), bytes), 0);
    const char* key = load_configuration(&ctx_);
    return key == nullptr ? "" : key;
  }
  std::vector<uint8_t> image(const std::vector<CtTable>& tables) {
    std::vector<uint8_t> out;
    EXPECT_EQ(ct_build_image(tables, CT_VERSION_CURRENT, &out), 0);
    return out;
  }
  DsState* state_of(TagRef tag) {
    DataSource* ds = mci_find_by_key(tag);
    return ds == nullptr ? nullptr : ds->state;
  }
};

TEST_F(Loader, MissingFileAndTooFewTablesStop) {
  write_objects();
  EXPECT_STREQ(load_configuration(&ctx_), "NOCT");
  EXPECT_EQ(read16(task_status_), STATUS_STOPPED);
  DsRec d = basic();
  EXPECT_EQ(load({task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {d})}), "NOTRIGGERS");
}

TEST_F(Loader, UnreadableIndexAndHeadersStop) {
  DsRec d = basic();
  std::vector<CtTable> tables = {task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {d}),
                                 conv_table(d.tag, {})};
  std::vector<uint8_t> good = image(tables);
  // Only the file header: no index entry can be read.
  std::vector<uint8_t> cut(good.begin(), good.begin() + kIndexStart);
  EXPECT_EQ(load_bytes(cut), "CTINDEX");
  reset();
  // Task table header beyond the end of the file.
  std::vector<uint8_t> b = good;
  patch32(&b, kIndexStart + kEntryOffset, 100000);
  EXPECT_EQ(load_bytes(b), "CTHEADER");
  reset();
  // Data-source table header beyond the end of the file.
  b = good;
  patch32(&b, kIndexStart + kEntrySize + kEntryOffset, 100000);
  EXPECT_EQ(load_bytes(b), "CTHEADER");
  reset();
  // The data-source table claims a record the file does not hold.
  tables[1] = ds_table(provider_mailbox_, 4, {});
  tables.erase(tables.begin() + 2);
  tables.push_back(ds_table(provider_mailbox_, 4, {}));
  b = image(tables);
  patch32(&b, kIndexStart + 2 * kEntrySize + kEntryRecordCount, 1);
  EXPECT_EQ(load_bytes(b), "CTRECORD");
}

TEST_F(Loader, ConversionRecordsMissingFromTheFileStopAtTheFirstOneMissing) {
  DsRec d = basic();
  TagRef a = take(TAG_ANALOG);
  // The table claims three records; the file holds one.
  for (bool bad_first : {false, true}) {
    ConvRec first{bad_first ? own_mailbox_ : a, "FIRST", ""};
    std::vector<uint8_t> b = image({task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {d}),
                                    conv_table(d.tag, {first})});
    patch32(&b, kIndexStart + 2 * kEntrySize + kEntryRecordCount, 3);
    skipped_lines_ = lines().size();
    // A readable bad record is reported as itself before the missing ones.
    EXPECT_EQ(load_bytes(b), bad_first ? "CTTAGVAL" : "CTRECORD");
    if (bad_first) {
      EXPECT_TRUE(reported("CTTAGVAL FIRST"));
    }
    reset();
  }
}

TEST_F(Loader, HeaderAndRecordSizesOtherThanTheLayoutsStop) {
  DsRec d = basic();
  std::vector<CtTable> ok = {task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {d}),
                             conv_table(d.tag, {ConvRec{take(TAG_ANALOG), "A", ""}})};
  auto expect = [&](std::vector<CtTable> t, const char* key) {
    EXPECT_EQ(load(t), key);
    reset();
  };
  std::vector<CtTable> t = ok;
  t[0].header.push_back(0);
  expect(t, "CTHDRSIZE");
  t = ok;
  t[1].header.resize(6);
  expect(t, "CTHDRSIZE");
  t = ok;
  t[2].header.resize(12);
  expect(t, "CTHDRSIZE");
  t = ok;
  t[1].record_size = 120;
  t[1].records.resize(120);
  expect(t, "CTRECSIZE");
  t = ok;
  t[2].record_size = 84;
  t[2].records.resize(84);
  expect(t, "CTRECSIZE");
  expect(ok, "");
}

TEST_F(Loader, ConversionTagMustBeAValueTag) {
  DsRec d = basic();
  EXPECT_EQ(load_one(d, {ConvRec{own_mailbox_, "MBX", ""}}), "CTTAGVAL");
  EXPECT_TRUE(reported("CTTAGVAL MBX"));
  reset();
  EXPECT_EQ(load_one(d, {ConvRec{TagRef{}, "NOTHING", ""}}), "CTTAGVAL");
  EXPECT_TRUE(reported("CTTAGVAL NOTHING"));
}

TEST_F(Loader, DataTypesOutsideTheTableStopWithTheEntryIndex) {
  DsRec d = basic();
  for (uint16_t dt : {0, 35}) {
    ConvRec good{take(TAG_ANALOG), "A", "", 0, 0, 1, DT_WORD};
    ConvRec bad{take(TAG_ANALOG), "B", "", 1, 0, 1, dt};
    EXPECT_EQ(load_one(d, {good, bad}), "CTCONV");
    EXPECT_TRUE(reported("CTCONV DS1 1")) << all_lines();
    reset();
  }
}

TEST_F(Loader, ArrayCoverageFollowsDimensionsAndIndexes) {
  DsRec d = basic();
  TagRef t = take(TAG_ANALOG, 12);
  TagRef named{t.type, static_cast<uint16_t>(t.index + 6)};  // T[1][2] of 3,4
  EXPECT_EQ(load_one(d, {ConvRec{named, "T[1][2]", "3,4", 10, 0, 6, DT_WORD}}), "");
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  ASSERT_EQ(st->entry_count, 6u);
  for (uint16_t k = 0; k < 6; ++k) {
    EXPECT_EQ(st->tags[k].index, named.index + k);
    EXPECT_EQ(st->entries[k].address, 10 + k);
    EXPECT_EQ(st->entries[k].first_address, 10);
    EXPECT_EQ(st->entries[k].continued, k == 0 ? 0 : 1);
  }
  EXPECT_EQ(st->lowest_offset, 10);
  EXPECT_EQ(st->offset_span, 6);

  struct Case {
    const char* name;
    const char* dims;
    uint16_t count;
  } cases[] = {
      {"T[1][2]", "3,4", 7},       // fewer elements remain than asked
      {"T[2][4]", "3,4", 1},       // past the end
      {"T[1]", "1,1,1,1,1,2", 1},  // six dimensions
      {"T[x]", "4", 1},            // index without digits
      {"T[1][1][1]", "2,2", 1},    // more indexes than dimensions
  };
  for (const Case& c : cases) {
    reset();
    skipped_lines_ = lines().size();
    EXPECT_EQ(load_one(d, {ConvRec{named, c.name, c.dims, 0, 0, c.count, DT_WORD}}), "ARRAY")
        << c.name;
    EXPECT_TRUE(reported(std::string("ARRAY ") + c.name));
  }
}

TEST_F(Loader, PlainNameCoversOneElementAndZeroCountCoversNone) {
  DsRec d = basic();
  TagRef a = take(TAG_ANALOG, 4);
  EXPECT_EQ(load_one(d, {ConvRec{a, "T", "", 3, 0, 5, DT_WORD},
                         ConvRec{a, "U[0]", "4", 9, 0, 0, DT_WORD}}),
            "");
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->entry_count, 1u);
  EXPECT_EQ(st->entries[0].address, 3);
}

TEST_F(Loader, RegistrationAndQueryFailuresStop) {
  DsRec d;
  d.tag = take(TAG_DIGITAL);
  d.name = "UNKNOWN";
  objects_.push_back({"OTHER", take(TAG_DIGITAL)});
  EXPECT_EQ(load_one(d, {}), "IMX_DS_REGISTER");
  EXPECT_TRUE(reported("IMX_DS_REGISTER UNKNOWN"));
  reset();
  d.name = "OTHER";  // in the table, but under another tag
  EXPECT_EQ(load_one(d, {}), "IMX_DS_REGISTER");
  EXPECT_TRUE(reported("IMX_DS_REGISTER OTHER"));
  reset();
  DsRec q = basic("DSQ");
  zq_fault_inject("zq_write_mbx", 1, 7);
  EXPECT_EQ(load_one(q, {}), "IMX_DS_QUERY");
  EXPECT_TRUE(reported("IMX_DS_QUERY DSQ 7")) << all_lines();
}

TEST_F(Loader, MessageLayerStartFailureStops) {
  DsRec d = basic();
  zq_fault_inject("zq_count_mbx", 1, 9);
  EXPECT_EQ(load_one(d, {}), "IMX_INIT");
  EXPECT_TRUE(reported("IMX_INIT 9")) << all_lines();
  EXPECT_EQ(read16(task_status_), STATUS_STOPPED);
}

TEST_F(Loader, NonFatalReportsLetLoadingGoOn) {
  DsRec d = basic();
  d.bw_enabled = 1;  // no block-write trigger configured
  TagRef a = take(TAG_ANALOG);
  zq_fault_inject("zq_clear_chg", 1, 9);
  EXPECT_EQ(load_one(d, {ConvRec{a, "A", ""}}), "");
  EXPECT_TRUE(reported("NO_BWTRIGGER DS1"));
  EXPECT_TRUE(reported("ZQ_CLEAR_CHG CTLOAD DS1 409")) << all_lines();
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->flags & DS_FLAG_BW_TRIGGER, 0);
  EXPECT_EQ(st->entry_count, 1u);
}

TEST_F(Loader, FlagsAndContinuousRead) {
  DsRec a = basic("DSA");
  a.read_enabled = 1;
  a.read_trigger = take(TAG_DIGITAL);
  a.bw_enabled = 1;
  a.bw_trigger = take(TAG_DIGITAL);
  a.write_mode = 1;
  a.unsolicited = 1;
  a.addressing = 1;
  DsRec b = basic("DSB");
  b.read_enabled = 1;
  b.read_trigger = take(TAG_ANALOG);  // not digital: reads continuously
  b.write_mode = 3;
  DsRec c = basic("DSC");
  c.read_enabled = 1;  // no trigger at all
  EXPECT_EQ(load({task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {a, b, c}),
                  conv_table(a.tag, {})}),
            "");
  DsState* sa = state_of(a.tag);
  DsState* sb = state_of(b.tag);
  DsState* sc = state_of(c.tag);
  ASSERT_TRUE(sa && sb && sc);
  EXPECT_EQ(sa->flags,
            DS_FLAG_READ | DS_FLAG_BW_TRIGGER | DS_FLAG_WRITE_MODE1 | DS_FLAG_UNSOLICITED);
  EXPECT_EQ(sa->continuous_read, 0);
  EXPECT_EQ(sa->addressing_mode, 1);
  EXPECT_EQ(sa->max_messages, 4);
  EXPECT_EQ(sb->flags, DS_FLAG_READ | DS_FLAG_WRITE_MODE2);
  EXPECT_EQ(sb->continuous_read, 1);
  EXPECT_EQ(sc->flags, DS_FLAG_READ);
  EXPECT_EQ(sc->continuous_read, 1);
  // The untyped header bit follows the write mode.
  DataSource* da = mci_find_by_key(a.tag);
  DataSource* db = mci_find_by_key(b.tag);
  ASSERT_TRUE(da && db);
  uint16_t tags[] = {trigger_count()};
  EXPECT_GE(tags[0], 3);  // two triggers and the own mailbox
  std::vector<TagRef> registered;
  for (uint16_t i = 0; i < trigger_count(); ++i) registered.push_back(trigger_tag_at(i));
  auto has = [&](TagRef t) {
    for (TagRef r : registered)
      if (tag_ref_equal(r, t)) return true;
    return false;
  };
  EXPECT_TRUE(has(a.read_trigger));
  EXPECT_TRUE(has(a.bw_trigger));
  EXPECT_FALSE(has(b.read_trigger));
  EXPECT_TRUE(has(own_mailbox_));
  // Triggers are not marked changed; only real changes act.
  EXPECT_FALSE(changed(a.read_trigger));
  EXPECT_FALSE(changed(a.bw_trigger));
}

TEST_F(Loader, HandshakeTagsStartSetAndAreMarkedChanged) {
  DsRec d = basic();
  for (int op = 0; op < DS_OP_COUNT; ++op) {
    d.inhibit[op] = take(TAG_DIGITAL);
    d.sync[op] = op == 1 ? take(TAG_ANALOG) : take(TAG_DIGITAL);
    d.complete[op] = take(TAG_DIGITAL);
  }
  d.status = take(TAG_ANALOG);
  d.state = take(TAG_ANALOG);
  DsRec e = basic("DS2");
  e.inhibit[0] = take(TAG_ANALOG);  // not digital: no inhibit
  e.sync[2] = take(TAG_FLOAT);      // neither digital nor analog: no sync
  e.state = take(TAG_DIGITAL);      // not analog: queried at load
  EXPECT_EQ(load({task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {d, e}),
                  conv_table(d.tag, {})}),
            "");
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  for (int op = 0; op < DS_OP_COUNT; ++op) {
    EXPECT_EQ(st->inhibit[op], 1);
    EXPECT_EQ(st->sync[op], op + 1);
    EXPECT_TRUE(tag_ref_equal(st->sync_tags[op], d.sync[op]));
    EXPECT_TRUE(tag_ref_equal(st->complete_tags[op], d.complete[op]));
    EXPECT_TRUE(changed(d.inhibit[op]));
    EXPECT_TRUE(changed(d.sync[op]));
    EXPECT_FALSE(changed(d.complete[op]));
  }
  EXPECT_TRUE(changed(d.state));
  EXPECT_TRUE(tag_ref_equal(st->status_tag, d.status));
  EXPECT_EQ(st->last_state, 0);
  DsState* s2 = state_of(e.tag);
  ASSERT_NE(s2, nullptr);
  EXPECT_EQ(s2->inhibit[0], 0);
  EXPECT_EQ(s2->sync[2], 0);
  EXPECT_FALSE(changed(e.inhibit[0]));
  EXPECT_FALSE(changed(e.state));
  // Only DS2 (state tag not analog) was queried at load.
  EXPECT_EQ(mailbox_count(provider_mailbox_), 1);
  MbxMessage m = {};
  int number = 0;
  ASSERT_EQ(zq_peek_mbx(provider_, provider_mailbox_, &m, 0, 1, &number), 0);
  EXPECT_TRUE(tag_ref_equal(m.key, e.tag));
}

TEST_F(Loader, TransferTypesAndLengthsByDataType) {
  const char* layouts[TIME_LAYOUT_COUNT] = {"BIN SC",
                                            "BIN MI SC",
                                            "BIN HR MI SC",
                                            "BIN DY HR MI SC",
                                            "BIN MO DY HR MI SC",
                                            "BIN YR MO DY HR MI SC",
                                            "BIN YEAR MO DY HR MI SC",
                                            "BCD YR MO DY HR MI SC X X",
                                            "BIN YEAR MO DY HR MI SC X X",
                                            "BIN YEAR MO DY DOW HR MI SC X X X X"};
  ASSERT_EQ(load_time_layouts_from(layouts), 0);
  DsRec d = basic();
  std::vector<ConvRec> recs;
  TagRef t = take(TAG_LONG, DT_LAST);
  for (uint16_t dt = DT_FIRST; dt <= DT_LAST; ++dt) {
    recs.push_back(
        ConvRec{TagRef{t.type, static_cast<uint16_t>(t.index + dt - 1)}, "L", "", dt, 5, 1, dt});
  }
  ASSERT_EQ(load_one(d, recs), "");
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  ASSERT_EQ(st->entry_count, DT_LAST);
  auto expected = [](uint16_t dt, int size) -> uint16_t {
    switch (dt) {
      case 1:
        return 0x105;
      case 2:
      case 11:
      case 18:
        return 0x400;
      case 3:
        return 0x408;
      case 4:
      case 17:
        return 0x600;
      case 5:
      case 8:
      case 9:
      case 15:
      case 16:
      case 20:
      case 21:
      case 33:
      case 34:
        return 0x800;
      case 6:
        return 0xB00;
      case 7:
      case 32:
        return 0xC80;
      case 10:
      case 19:
        return 0x780;
      case 12:
      case 13:
      case 14:
        return 0;
      default:
        break;
    }
    if (size > 8) return 0xB00;
    if (size > 4) return 0x800;
    if (size > 2) return 0x600;
    return 0x400;
  };
  for (uint16_t dt = DT_FIRST; dt <= DT_LAST; ++dt) {
    const ConvEntry& e = st->entries[dt - 1];
    int size = dt_is_time_block(dt) ? time_layout(dt - DT_TIM0)->size : 0;
    EXPECT_EQ(e.transfer_type, expected(dt, size)) << "data type " << dt;
    EXPECT_EQ(e.length, dt_is_time_block(dt) ? size : 5) << "data type " << dt;
  }
}

TEST_F(Loader, BitRecordAdvancesTheBitNumberNotTheAddress) {
  DsRec d = basic();
  TagRef t = take(TAG_DIGITAL, 3);
  ASSERT_EQ(load_one(d, {ConvRec{t, "B[0]", "3", 7, 14, 3, DT_BIT}}), "");
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  ASSERT_EQ(st->entry_count, 3u);
  for (uint16_t k = 0; k < 3; ++k) {
    EXPECT_EQ(st->entries[k].address, 7);
    EXPECT_EQ(st->entries[k].length, 14 + k);
    EXPECT_EQ(st->entries[k].transfer_type, 0x100 + 14 + k);
  }
  EXPECT_EQ(st->offset_span, 1);
}

TEST_F(Loader, MessageArrayGetsOwnTextsAndValueSlots) {
  DsRec d = basic();
  TagRef t = take(TAG_MESSAGE, 5);
  TagRef s = take(TAG_MESSAGE);
  ASSERT_EQ(load_one(d, {ConvRec{t, "M[0]", "5", 20, 4, 5, DT_WORD},
                         ConvRec{s, "S", "", 30, 120, 1, DT_STRING}}),
            "");
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  ASSERT_EQ(st->entry_count, 6u);
  const size_t slot = tag_value_size(TAG_MESSAGE);
  for (uint16_t k = 0; k < 5; ++k) {
    const ConvEntry& e = st->entries[k];
    EXPECT_EQ(e.address, 20 + k);
    ASSERT_NE(e.text, nullptr);
    EXPECT_EQ(e.text_size, CONV_TEXT_SIZE);  // numbers need room beyond `length`
    if (k > 0) {
      EXPECT_NE(e.text, st->entries[k - 1].text);
    }
    EXPECT_EQ(st->value_offsets[k], k * slot);
    MessageValue v;
    memcpy(&v, st->values + st->value_offsets[k], sizeof v);
    EXPECT_EQ(v.text, e.text);
    EXPECT_EQ(v.capacity, e.text_size);
  }
  EXPECT_EQ(st->entries[5].text_size, 120);
  EXPECT_EQ(st->value_offsets[5], 5 * slot);
}

TEST_F(Loader, ConversionTablesForUnknownOrOwnMailboxAreSkippedAndDuplicatesRefused) {
  DsRec d = basic();
  TagRef a = take(TAG_ANALOG);
  // Before its data-source table, for an unknown tag, and for the own mailbox.
  EXPECT_EQ(
      load({task_table(own_mailbox_), conv_table(d.tag, {ConvRec{a, "A", ""}}),
            conv_table(take(TAG_DIGITAL), {ConvRec{a, "A", ""}}),
            conv_table(own_mailbox_, {ConvRec{a, "A", ""}}), ds_table(provider_mailbox_, 4, {d})}),
      "");
  DsState* st = state_of(d.tag);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->entry_count, 0u);
  reset();
  EXPECT_EQ(
      load({task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {d}),
            conv_table(d.tag, {ConvRec{a, "A", ""}}), conv_table(d.tag, {ConvRec{a, "A", ""}})}),
      "CTDUPCONV");
  EXPECT_TRUE(reported("CTDUPCONV DS1"));
}

TEST_F(Loader, WriteModeRegistersEveryEntryTag) {
  DsRec d = basic();
  d.write_mode = 1;
  TagRef t = take(TAG_ANALOG, 3);
  ASSERT_EQ(load_one(d, {ConvRec{t, "W[0]", "3", 0, 0, 3, DT_WORD}}), "");
  int found = 0;
  for (uint16_t i = 0; i < trigger_count(); ++i) {
    TagRef r = trigger_tag_at(i);
    if (r.type == t.type && r.index >= t.index && r.index < t.index + 3) ++found;
  }
  EXPECT_EQ(found, 3);
}

TEST_F(Loader, TagInTwoRolesRunsBothHandlersNewestFirst) {
  DsRec a = basic("DSA");
  DsRec b = basic("DSB");
  TagRef shared = take(TAG_DIGITAL);
  a.read_enabled = b.read_enabled = 1;
  a.read_trigger = b.read_trigger = shared;
  ASSERT_EQ(load({task_table(own_mailbox_), ds_table(provider_mailbox_, 4, {a, b}),
                  conv_table(a.tag, {})}),
            "");
  // Answer both queries from the own station so that reads go out at once.
  for (TagRef key : {a.tag, b.tag}) {
    std::vector<uint8_t> bytes(MCI_HEADER_SIZE, 0);
    mci_header_write(bytes.data(), MciBlockHeader{static_cast<uint16_t>(3 | 0x2000), 4, 0, 0});
    MbxMessage m = {};
    m.data = bytes.data();
    m.length = m.capacity = MCI_HEADER_SIZE;
    m.control = MCI_KIND_QUERY_REPLY;
    m.key = key;
    ASSERT_EQ(zq_write_mbx(provider_, provider_, own_mailbox_, &m), 0);
  }
  ASSERT_EQ(mci_on_mailbox(nullptr, ChangeRecord{}), 0);
  ASSERT_FALSE(mci_query_pending(mci_find_by_key(a.tag)));
  ASSERT_FALSE(mci_query_pending(mci_find_by_key(b.tag)));
  skipped_lines_ = lines().size();
  write16(shared, 1);
  ASSERT_EQ(dispatch_tag_now(&ctx_, shared), 0);
  std::vector<std::string> l = take_lines();
  std::vector<std::string> reads;
  for (const std::string& s : l)
    if (s.rfind("DBG_BLOCK_R", 0) == 0) reads.push_back(s);
  ASSERT_EQ(reads.size(), 2u) << all_lines();
  EXPECT_EQ(reads[0], "DBG_BLOCK_R DSB");
  EXPECT_EQ(reads[1], "DBG_BLOCK_R DSA");
  // On the own station a read force-writes the data-source tag.
  EXPECT_EQ(read16(a.tag), 1);
  EXPECT_EQ(read16(b.tag), 1);
}

}  // namespace
}  // namespace dstest
