// zq modbus without a device: its configuration file, and its block layout
// checked against QUANTREL's own conversions in both directions (what the
// provider puts into read data must decode to the device's values; what
// QUANTREL encodes into a write must become the right Modbus write).
#include <errno.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "tools/modbus_block.h"
#include "tools/modbus_config.h"

namespace {

// ---- Configuration -----------------------------------------------------------------------

constexpr const char* kTop =
    "[modbus]\ntask = \"MB\"\nmailbox = \"MB_MBX\"\nquantrel_mailbox = \"QTL_MBX\"\n";
constexpr const char* kDevice = "[[device]]\nname = \"plc\"\nhost = \"10.0.0.5\"\n";

std::vector<std::string> mistakes(const std::string& text) {
  MbConfig c;
  std::vector<std::string> errors;
  EXPECT_FALSE(mb_config_parse(text, "/cfg/mb.toml", &c, &errors));
  return errors;
}

bool has(const std::vector<std::string>& errors, const std::string& part) {
  for (const std::string& e : errors) {
    if (e.find(part) != std::string::npos) return true;
  }
  return false;
}

std::string joined(const std::vector<std::string>& errors) {
  std::string all;
  for (const std::string& e : errors) all += e + "\n";
  return all;
}

TEST(ModbusConfig, TheExampleParsesWithItsDevicesSourcesAndDefaults) {
  MbConfig c;
  std::vector<std::string> errors;
  std::string path = std::string(ZQ_SOURCE_DIR) + "/examples/modbus/modbus.toml";
  ASSERT_TRUE(mb_config_load(path, &c, &errors)) << joined(errors);
  EXPECT_EQ(c.task, "MODBUS");
  EXPECT_EQ(c.mailbox, "MB_MBX");
  EXPECT_EQ(c.quantrel_mailbox, "QTL_MBX");
  ASSERT_EQ(c.devices.size(), 1u);
  EXPECT_EQ(c.devices[0].host, "127.0.0.1");
  EXPECT_EQ(c.devices[0].port, 5020);
  EXPECT_EQ(c.devices[0].unit_id, 1);
  EXPECT_EQ(c.devices[0].max_read_registers, MB_PROTOCOL_READ_REGISTERS);
  EXPECT_EQ(c.devices[0].max_read_bits, MB_PROTOCOL_READ_BITS);
  EXPECT_TRUE(c.devices[0].mask_write);
  ASSERT_EQ(c.sources.size(), 5u);
  EXPECT_EQ(c.sources[0].name, "HOLDING");
  EXPECT_EQ(c.sources[0].table, MbTable::kHoldingRegisters);
  EXPECT_EQ(c.sources[0].count, 40);
  EXPECT_EQ(c.sources[0].state_tag, "HR_STATE");
  EXPECT_TRUE(c.sources[0].byte_swap);
  EXPECT_TRUE(c.sources[0].low_bit_first);
  EXPECT_EQ(c.sources[3].table, MbTable::kDiscreteInputs);
  EXPECT_EQ(c.sources[3].start, 10);
}

TEST(ModbusConfig, OneDeviceNeedsNoReferenceAndAppIsTakenFromTheFilesFolder) {
  MbConfig c;
  std::vector<std::string> errors;
  std::string text = std::string(kTop) + "app = \"apps/one\"\n" + kDevice +
                     "port = 1502\nunit_id = 255\n"
                     "[[source]]\nname = \"C\"\ntable = \"coils\"\nstart = 65000\ncount = 536\n";
  ASSERT_TRUE(mb_config_parse(text, "/cfg/mb.toml", &c, &errors)) << joined(errors);
  EXPECT_EQ(c.app_dir, "/cfg/apps/one");
  EXPECT_EQ(c.devices[0].port, 1502);
  EXPECT_EQ(c.devices[0].unit_id, 255);
  EXPECT_EQ(c.sources[0].device, 0u);
}

TEST(ModbusConfig, EveryMistakeIsListedWithItsPlace) {
  std::string text =
      std::string(kTop) + "colour = 1\n" + kDevice +
      "unit_id = 250\nretry_min_ms = 500\nretry_max_ms = 100\n"
      "[[device]]\nname = \"plc\"\nhost = \"b\"\n"
      "[[source]]\nname = \"A\"\ndevice = \"plc\"\ntable = \"holding\"\ncount = 1\n"
      "[[source]]\nname = \"B\"\ndevice = \"nope\"\ntable = \"coils\"\ncount = 8\n"
      "[[source]]\nname = \"C\"\ndevice = \"plc\"\ntable = \"input_registers\"\n"
      "[[source]]\nname = \"D\"\ndevice = \"plc\"\ntable = \"holding_registers\"\n"
      "count = 2057\n"
      "[[source]]\nname = \"E\"\ndevice = \"plc\"\ntable = \"coils\"\nstart = 65530\n"
      "count = 7\nbyte_swap = false\n"
      "[[source]]\nname = \"A\"\ndevice = \"plc\"\ntable = \"coils\"\ncount = 1\n";
  std::vector<std::string> e = mistakes(text);
  EXPECT_TRUE(has(e, "/cfg/mb.toml:5:1: unknown key 'colour' in [modbus]")) << joined(e);
  EXPECT_TRUE(has(e, ":9:11: 'unit_id' must be 0..247 or 255")) << joined(e);
  EXPECT_TRUE(has(e, "retry_max_ms (100) is below retry_min_ms (500)")) << joined(e);
  EXPECT_TRUE(has(e, "device name 'plc' is given twice")) << joined(e);
  EXPECT_TRUE(has(e, "'table' must be one of coils")) << joined(e);
  EXPECT_TRUE(has(e, "no [[device]] named 'nope'")) << joined(e);
  EXPECT_TRUE(has(e, "'C' needs 'count'")) << joined(e);
  EXPECT_TRUE(has(e, "the block needs 4114 bytes; at most 4112")) << joined(e);
  EXPECT_TRUE(has(e, "'E': start + count - 1 passes address 65535")) << joined(e);
  EXPECT_TRUE(has(e, "'byte_swap' applies to register tables only")) << joined(e);
  EXPECT_TRUE(has(e, "data source 'A' is given twice")) << joined(e);
}

TEST(ModbusConfig, MissingSectionsAndBrokenTomlAreRefused) {
  std::vector<std::string> e = mistakes("");
  EXPECT_TRUE(has(e, "missing [modbus] section")) << joined(e);
  EXPECT_TRUE(has(e, "no [[device]]")) << joined(e);
  EXPECT_TRUE(has(e, "no [[source]]")) << joined(e);
  e = mistakes(std::string(kTop) + kDevice + "[[source]]\nname = \"A\"\ndevice = \"plc\"\n" +
               "table = \"coils\"\ncount = 8\n[[device]]\nname = \"x\"\nhost = \"y\"\n" +
               "[[source]]\nname = \"B\"\ntable = \"coils\"\ncount = 8\n");
  EXPECT_TRUE(has(e, "'B' needs 'device'")) << joined(e);  // two devices: say which
  e = mistakes("[modbus\n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].rfind("/cfg/mb.toml:1:", 0), 0u) << e[0];
  MbConfig c;
  std::vector<std::string> errors;
  EXPECT_FALSE(mb_config_load("/nonexistent/mb.toml", &c, &errors));
  EXPECT_TRUE(has(errors, "cannot be read"));
}

// ---- Block layout against QUANTREL's conversions -------------------------------------------

MbSourceConfig source(MbTable table, uint16_t start, uint16_t count) {
  MbSourceConfig s;
  s.name = "DS";
  s.table = table;
  s.start = start;
  s.count = count;
  return s;
}

struct Reports {
  int count = 0;
  static void sink(void* user, const char*, int, const FormatArg*, int) {
    ++static_cast<Reports*>(user)->count;
  }
};

class ModbusLayout : public ::testing::Test {
 protected:
  ConvEntry entry(uint16_t data_type, uint16_t tag_type, uint16_t address, uint16_t length = 0) {
    ConvEntry e = {};
    e.data_type = data_type;
    e.tag_type = tag_type;
    e.address = address;
    e.length = length;
    if (tag_type == TAG_MESSAGE) {
      e.text = text_;
      e.text_size = length;
    }
    return e;
  }
  // QUANTREL numbers the bits of a bit-addressed block from the message's
  // first address, so that is the origin it converts with.
  ConvBlock block(const MbSourceConfig& s, uint16_t start, uint16_t count) {
    return ConvBlock{mb_source_flags(s), count, start, start};
  }
  ConvReporter reporter() { return ConvReporter{nullptr, "DS", Reports::sink, &reports_}; }

  // Decodes the element of `e` from read data of registers `regs` at the source's start.
  template <typename T>
  T decode(const MbSourceConfig& s, const std::vector<uint16_t>& regs, const ConvEntry& e) {
    std::vector<uint8_t> data(mb_block_bytes(s, static_cast<uint16_t>(regs.size())));
    mb_pack_registers(s, regs.data(), regs.size(), data.data());
    size_t at = size_t{e.address} * MB_UNIT_REGISTER;
    uint8_t slot[ZQ_VALUE_SLOT_MAX] = {};
    convert_from_block(slot, data.data() + at, data.size() - at, e,
                       block(s, s.start, static_cast<uint16_t>(regs.size())), reporter());
    T value;
    memcpy(&value, slot, sizeof value);
    return value;
  }
  std::string decode_text(const MbSourceConfig& s, const std::vector<uint16_t>& regs,
                          const ConvEntry& e) {
    MessageValue v = decode<MessageValue>(s, regs, e);
    return std::string(v.text, strnlen(v.text, v.length));
  }

  char text_[81] = {};
  Reports reports_;
};

TEST_F(ModbusLayout, QueryFlagsAnnounceUnitSizeByteOrderAndBitOrder) {
  MbSourceConfig hr = source(MbTable::kHoldingRegisters, 0, 10);
  EXPECT_EQ(mb_source_flags(hr), 0x2303);  // unit 2, low bit first, byte_swap, format 3
  hr.byte_swap = false;
  hr.one_based_bits = true;
  EXPECT_EQ(mb_source_flags(hr), 0x2A03);
  MbSourceConfig coils = source(MbTable::kCoils, 0, 10);
  EXPECT_EQ(mb_source_flags(coils), 0x0203);  // unit 0: no byte order
  coils.low_bit_first = false;
  EXPECT_EQ(mb_source_flags(coils), 0x0003);
  EXPECT_EQ(mb_block_bytes(coils, 16), 3u);  // count / 8 + 1, as the data rule says
  EXPECT_EQ(mb_block_bytes(hr, 16), 32u);
}

TEST_F(ModbusLayout, RegistersDecodeToTheDeviceValuesInBothByteOrders) {
  const std::vector<uint16_t> regs = {1234,   0xFFFF, 0xE240, 0x0001, 0xFFFE, 0x7960,
                                      0x449A, 0x5000, 0x0005, 0x4142, 0x4344, 0x4546,
                                      0x4700, 0xC0E0, 0x0000, 0x0000, 0x0000, 0x12AB};
  MbSourceConfig s = source(MbTable::kHoldingRegisters, 100, static_cast<uint16_t>(regs.size()));
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_WORD, TAG_ANALOG, 0)), 1234);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_WORD, TAG_ANALOG, 1)), -1);
  EXPECT_EQ(decode<int32_t>(s, regs, entry(DT_LONG_WS, TAG_LONG, 2)), 123456);  // low word first
  EXPECT_EQ(decode<int32_t>(s, regs, entry(DT_LONG, TAG_LONG, 4)), -100000);    // high word first
  EXPECT_EQ(decode<double>(s, regs, entry(DT_FLOAT, TAG_FLOAT, 6)), 1234.5);
  EXPECT_EQ(decode<double>(s, regs, entry(DT_DOUBLE, TAG_FLOAT, 13)), -32768.0);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BIT, TAG_DIGITAL, 8, 0)), 1);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BIT, TAG_DIGITAL, 8, 1)), 0);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BIT, TAG_DIGITAL, 8, 2)), 1);
  EXPECT_EQ(decode_text(s, regs, entry(DT_STRING, TAG_MESSAGE, 9, 7)), "ABCDEFG");
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BYTE_HI, TAG_ANALOG, 17)), 0x12);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BYTE_LO, TAG_ANALOG, 17)), 0xAB);
  EXPECT_EQ(reports_.count, 0);

  // Little-endian registers: only the word order of 32-bit values turns.
  s.byte_swap = false;
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_WORD, TAG_ANALOG, 1)), -1);
  EXPECT_EQ(decode<int32_t>(s, regs, entry(DT_LONG, TAG_LONG, 2)), 123456);
  EXPECT_EQ(decode<int32_t>(s, regs, entry(DT_LONG_WS, TAG_LONG, 4)), -100000);
  EXPECT_EQ(decode<double>(s, regs, entry(DT_FLOAT_WS, TAG_FLOAT, 6)), 1234.5);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BIT, TAG_DIGITAL, 8, 2)), 1);
  EXPECT_EQ(decode_text(s, regs, entry(DT_STRING, TAG_MESSAGE, 9, 7)), "ABCDEFG");
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BYTE_HI, TAG_ANALOG, 17)), 0x12);
}

TEST_F(ModbusLayout, BitNumbersFollowTheAnnouncedBitOrder) {
  const std::vector<uint16_t> regs = {0x8001};
  MbSourceConfig s = source(MbTable::kHoldingRegisters, 0, 1);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BIT, TAG_DIGITAL, 0, 0)), 1);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BIT, TAG_DIGITAL, 0, 15)), 1);
  EXPECT_EQ(decode<int16_t>(s, regs, entry(DT_BIT, TAG_DIGITAL, 0, 1)), 0);
  s.one_based_bits = true;  // bit 1 is the lowest
  EXPECT_EQ(decode<int16_t>(s, {0x0002}, entry(DT_BIT, TAG_DIGITAL, 0, 2)), 1);
  s.one_based_bits = false;
  s.low_bit_first = false;  // bit 0 is the highest
  EXPECT_EQ(decode<int16_t>(s, {0x4000}, entry(DT_BIT, TAG_DIGITAL, 0, 1)), 1);
  EXPECT_EQ(decode<int16_t>(s, {0x4000}, entry(DT_BIT, TAG_DIGITAL, 0, 14)), 0);
}

TEST_F(ModbusLayout, BitsDecodeAtTheirAddressesFromAnyStart) {
  // Discrete inputs 10..29 with 10, 12, 17 and 29 on; QUANTREL addresses them
  // absolutely.
  MbSourceConfig s = source(MbTable::kDiscreteInputs, 10, 20);
  std::vector<uint8_t> bits(20, 0);
  bits[0] = bits[2] = bits[7] = bits[19] = 1;
  std::vector<uint8_t> data(mb_block_bytes(s, 20), 0xEE);
  mb_pack_bits(s, bits.data(), bits.size(), data.data());
  EXPECT_EQ(data, (std::vector<uint8_t>{0x85, 0x00, 0x08}));  // the wire packing
  for (uint16_t a = 10; a < 30; ++a) {
    ConvEntry e = entry(DT_BIT, TAG_DIGITAL, a);
    size_t at = (a - 10u) / 8;
    uint8_t slot[2] = {};
    convert_from_block(slot, data.data() + at, data.size() - at, e, block(s, 10, 20), reporter());
    int16_t v;
    memcpy(&v, slot, sizeof v);
    EXPECT_EQ(v, bits[a - 10u]) << "address " << a;
  }
  s.low_bit_first = false;
  mb_pack_bits(s, bits.data(), bits.size(), data.data());
  EXPECT_EQ(data, (std::vector<uint8_t>{0xA1, 0x00, 0x10}));
  // A read that starts inside the block is packed from its own first address.
  s.low_bit_first = true;
  std::vector<uint8_t> part(mb_block_bytes(s, 4));
  mb_pack_bits(s, bits.data() + 6, 4, part.data());
  EXPECT_EQ(part, std::vector<uint8_t>{0x02});  // address 17: bit 1
}

// ---- Writes: QUANTREL's encodings into Modbus writes -----------------------------------------

// A write request as QUANTREL builds it: header from the geometry, one value.
struct Request {
  MbHeader h;
  std::vector<uint8_t> data = std::vector<uint8_t>(64, 0);
};

class ModbusWrites : public ModbusLayout {
 protected:
  // Single value on change: whole units, encoded with convert_to_block.
  Request whole(const MbSourceConfig& s, const ConvEntry& e, const void* slot, uint16_t units,
                bool untyped = false, uint16_t transfer = MB_TT_WHOLE_UNITS) {
    Request r;
    r.h = MbHeader{mb_source_flags(s), units, static_cast<uint16_t>(s.start + e.address), transfer};
    if (untyped) r.h.flags |= MB_FLAG_UNTYPED;
    convert_to_block(r.data.data(), r.data.size(), slot, e, block(s, r.h.start, units), reporter());
    return r;
  }
  // Single value on change, typed: byte_swap cleared, convert_to_typed.
  Request typed(const MbSourceConfig& s, const ConvEntry& e, const void* slot, uint16_t transfer) {
    Request r;
    r.h = MbHeader{static_cast<uint16_t>(mb_source_flags(s) & ~MB_FLAG_BYTE_SWAP), 1,
                   static_cast<uint16_t>(s.start + e.address), transfer};
    EXPECT_EQ(convert_to_typed(r.data.data(), r.data.size(), slot, e,
                               ConvBlock{r.h.flags, 1, r.h.start, s.start}, nullptr),
              0);
    return r;
  }
  uint16_t plan(const MbSourceConfig& s, const Request& r, MbWritePlan* p, size_t size = 64) {
    return mb_plan_write(s, r.h, r.data.data(), size, p);
  }
};

TEST_F(ModbusWrites, WholeUnitValuesBecomeRegisterWrites) {
  MbSourceConfig s = source(MbTable::kHoldingRegisters, 100, 40);
  MbWritePlan p;
  int16_t word = -2;
  ASSERT_EQ(plan(s, whole(s, entry(DT_WORD, TAG_ANALOG, 20), &word, 1), &p), 0);
  EXPECT_EQ(p.op, MbWriteOp::kRegisters);
  EXPECT_EQ(p.address, 120);
  EXPECT_EQ(p.registers, std::vector<uint16_t>{0xFFFE});
  int32_t along = 123456;
  ASSERT_EQ(plan(s, whole(s, entry(DT_LONG_WS, TAG_LONG, 22), &along, 2), &p), 0);
  EXPECT_EQ(p.registers, (std::vector<uint16_t>{0xE240, 0x0001}));
  ASSERT_EQ(plan(s, whole(s, entry(DT_LONG, TAG_LONG, 22), &along, 2), &p), 0);
  EXPECT_EQ(p.registers, (std::vector<uint16_t>{0x0001, 0xE240}));
  double real = 1234.5;
  ASSERT_EQ(plan(s, whole(s, entry(DT_FLOAT, TAG_FLOAT, 6), &real, 2), &p), 0);
  EXPECT_EQ(p.registers, (std::vector<uint16_t>{0x449A, 0x5000}));
  snprintf(text_, sizeof text_, "ABCDE");
  MessageValue m = {text_, 80, 5};
  ConvEntry str = entry(DT_STRING, TAG_MESSAGE, 10, 5);
  ASSERT_EQ(plan(s, whole(s, str, &m, 3), &p), 0);
  EXPECT_EQ(p.registers, (std::vector<uint16_t>{0x4142, 0x4344, 0x4500}));
  // Write mode 2: untyped, the entry's own transfer_type and the value's units.
  ASSERT_EQ(plan(s, whole(s, entry(DT_WORD, TAG_ANALOG, 3), &word, 1, true, 0x600), &p), 0);
  EXPECT_EQ(p.address, 103);
  EXPECT_EQ(p.registers, std::vector<uint16_t>{0xFFFE});
  ASSERT_EQ(plan(s, whole(s, entry(DT_LONG, TAG_LONG, 4), &along, 2, true, 0x800), &p), 0);
  EXPECT_EQ(p.registers, (std::vector<uint16_t>{0x0001, 0xE240}));
  EXPECT_EQ(reports_.count, 0);
}

TEST_F(ModbusWrites, BitsAndBytesOfARegisterBecomeMaskWrites) {
  MbSourceConfig s = source(MbTable::kHoldingRegisters, 0, 40);
  MbWritePlan p;
  int16_t on = 1, off = 0;
  ConvEntry bit3 = entry(DT_BIT, TAG_DIGITAL, 26, 3);
  ASSERT_EQ(plan(s, typed(s, bit3, &on, MB_TT_BIT + 3), &p), 0);
  EXPECT_EQ(p.op, MbWriteOp::kMaskRegister);
  EXPECT_EQ(p.address, 26);
  EXPECT_EQ(mb_apply_mask(p, 0x0101), 0x0109);  // only bit 3 changes
  ASSERT_EQ(plan(s, typed(s, bit3, &off, MB_TT_BIT + 3), &p), 0);
  EXPECT_EQ(mb_apply_mask(p, 0xFFFF), 0xFFF7);
  // Untyped (write mode 2): the register in block form with the bit in place.
  ASSERT_EQ(plan(s, whole(s, bit3, &on, 1, true, MB_TT_BIT + 3), &p), 0);
  EXPECT_EQ(mb_apply_mask(p, 0x0100), 0x0108);
  // Bits counted from the top.
  s.low_bit_first = false;
  ASSERT_EQ(plan(s, typed(s, bit3, &on, MB_TT_BIT + 3), &p), 0);
  EXPECT_EQ(mb_apply_mask(p, 0), 0x1000);
  s.low_bit_first = true;
  // Bytes: DT_BYTE_HI 0x408, DT_BYTE_LO 0x400, typed and untyped.
  int16_t byte = 0x1AB;  // only the low 8 bits count
  ASSERT_EQ(plan(s, typed(s, entry(DT_BYTE_HI, TAG_ANALOG, 5), &byte, 0x408), &p), 0);
  EXPECT_EQ(mb_apply_mask(p, 0x1234), 0xAB34);
  ASSERT_EQ(plan(s, typed(s, entry(DT_BYTE_LO, TAG_ANALOG, 5), &byte, 0x400), &p), 0);
  EXPECT_EQ(mb_apply_mask(p, 0x1234), 0x12AB);
  ASSERT_EQ(plan(s, whole(s, entry(DT_BYTE_LO, TAG_ANALOG, 5), &byte, 1, true, 0x400), &p), 0);
  EXPECT_EQ(mb_apply_mask(p, 0x1234), 0x12AB);
  ASSERT_EQ(plan(s, whole(s, entry(DT_BYTE_HI, TAG_ANALOG, 5), &byte, 1, true, 0x408), &p), 0);
  EXPECT_EQ(mb_apply_mask(p, 0x1234), 0xAB34);
}

TEST_F(ModbusWrites, CoilsAreTakenWhereQuantrelPutsThem) {
  MbSourceConfig s = source(MbTable::kCoils, 0, 16);
  MbWritePlan p;
  int16_t on = 1;
  // A change of coil 5: one unit at address 5; QUANTREL's bit lies at bit 0
  // of the first data byte.
  ASSERT_EQ(plan(s, whole(s, entry(DT_BIT, TAG_DIGITAL, 5), &on, 1), &p), 0);
  EXPECT_EQ(p.op, MbWriteOp::kCoils);
  EXPECT_EQ(p.address, 5);
  EXPECT_EQ(p.bits, std::vector<uint8_t>{1});
  // A block write of coils 8..12, bits encoded at (address - lowest) / 8.
  Request r;
  r.h = MbHeader{mb_source_flags(s), 5, 8, MB_TT_WHOLE_UNITS};
  const int16_t values[5] = {1, 0, 0, 1, 1};
  for (uint16_t a = 8; a < 13; ++a) {
    convert_to_block(r.data.data() + (a - 8) / 8, 8, &values[a - 8], entry(DT_BIT, TAG_DIGITAL, a),
                     block(s, 8, 5), reporter());
  }
  ASSERT_EQ(plan(s, r, &p), 0);
  EXPECT_EQ(p.address, 8);
  EXPECT_EQ(p.bits, (std::vector<uint8_t>{1, 0, 0, 1, 1}));
  // Absolute addressing of a block from 10: coil 13 travels as bit 3.
  MbSourceConfig s10 = source(MbTable::kCoils, 10, 16);
  Request one;
  one.h = MbHeader{mb_source_flags(s10), 1, 13, MB_TT_WHOLE_UNITS};
  convert_to_block(one.data.data(), 8, &on, entry(DT_BIT, TAG_DIGITAL, 13), block(s10, 13, 1),
                   reporter());
  ASSERT_EQ(plan(s10, one, &p), 0);
  EXPECT_EQ(p.address, 13);
  EXPECT_EQ(p.bits, std::vector<uint8_t>{1});
}

TEST_F(ModbusWrites, WritesTheTableCannotTakeAreRefusedWithTheirCode) {
  MbSourceConfig hr = source(MbTable::kHoldingRegisters, 100, 10);
  MbWritePlan p;
  Request r;
  r.h = MbHeader{mb_source_flags(hr), 2, 108, MB_TT_WHOLE_UNITS};
  EXPECT_EQ(plan(hr, r, &p), 0);
  r.h.start = 109;
  EXPECT_EQ(plan(hr, r, &p), MB_ERR_RANGE);  // 110 lies outside
  r.h.start = 99;
  EXPECT_EQ(plan(hr, r, &p), MB_ERR_RANGE);
  r.h.start = 100;
  EXPECT_EQ(plan(hr, r, &p, 3), MB_ERR_MALFORMED);  // 2 registers need 4 bytes
  r.h.count = 0;
  EXPECT_EQ(plan(hr, r, &p), MB_ERR_MALFORMED);
  r.h.count = 1;
  r.h.flags = static_cast<uint16_t>(MB_FLAG_FORMAT | (1 << MB_FLAG_UNIT_SHIFT));
  EXPECT_EQ(plan(hr, r, &p), MB_ERR_UNIT);
  r.h.flags = mb_source_flags(hr);
  r.h.transfer = MB_TT_BIT + 16;  // a register has bits 0..15
  EXPECT_EQ(plan(hr, r, &p), MB_ERR_RANGE);
  r.h.transfer = 0x800;  // a typed 4-byte value: QUANTREL sends those as whole units
  EXPECT_EQ(plan(hr, r, &p), MB_ERR_FORM);
  r.h.transfer = 0x404;  // half a byte off
  EXPECT_EQ(plan(hr, r, &p), MB_ERR_FORM);
  MbSourceConfig ir = source(MbTable::kInputRegisters, 100, 10);
  r.h.transfer = MB_TT_WHOLE_UNITS;
  EXPECT_EQ(plan(ir, r, &p), MB_ERR_NOT_WRITABLE);
  MbSourceConfig di = source(MbTable::kDiscreteInputs, 0, 10);
  r.h = MbHeader{mb_source_flags(di), 1, 0, MB_TT_WHOLE_UNITS};
  EXPECT_EQ(plan(di, r, &p), MB_ERR_NOT_WRITABLE);
  MbSourceConfig co = source(MbTable::kCoils, 0, 10);
  r.h = MbHeader{mb_source_flags(co), 1, 0, MB_TT_BIT + 1};  // typed bit forms: registers only
  EXPECT_EQ(plan(co, r, &p), MB_ERR_FORM);
  r.h.transfer = MB_TT_WHOLE_UNITS;
  r.h.count = 11;
  EXPECT_EQ(plan(co, r, &p), MB_ERR_RANGE);
  r.h.count = 10;
  EXPECT_EQ(plan(co, r, &p, 1), MB_ERR_MALFORMED);  // 10 bits need 2 bytes
  EXPECT_EQ(plan(co, r, &p, 2), 0);
}

TEST(ModbusRead, ACountOfZeroAsksForTheWholeBlockAndRangesAreChecked) {
  MbSourceConfig s = source(MbTable::kInputRegisters, 100, 10);
  uint16_t start = 0, count = 0;
  EXPECT_EQ(mb_plan_read(s, MbHeader{0, 0, 0, 0}, &start, &count), 0);
  EXPECT_EQ(start, 100);
  EXPECT_EQ(count, 10);
  EXPECT_EQ(mb_plan_read(s, MbHeader{0, 3, 107, 0}, &start, &count), 0);
  EXPECT_EQ(start, 107);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(mb_plan_read(s, MbHeader{0, 4, 107, 0}, &start, &count), MB_ERR_RANGE);
  EXPECT_EQ(mb_plan_read(s, MbHeader{0, 1, 99, 0}, &start, &count), MB_ERR_RANGE);
}

TEST(ModbusCodes, LibmodbusErrorsMapToDocumentedCodes) {
  EXPECT_EQ(mb_error_from_errno(EMBXILFUN), 0x101);
  EXPECT_EQ(mb_error_from_errno(EMBXILADD), 0x102);
  EXPECT_EQ(mb_error_from_errno(EMBXGTAR), 0x10B);
  EXPECT_EQ(mb_error_from_errno(ETIMEDOUT), MB_ERR_TIMEOUT);
  EXPECT_EQ(mb_error_from_errno(ECONNRESET), MB_ERR_CONNECTION_LOST);
  EXPECT_EQ(mb_error_from_errno(EPIPE), MB_ERR_CONNECTION_LOST);
  EXPECT_EQ(mb_error_from_errno(ECONNREFUSED), MB_ERR_NOT_CONNECTED);
  EXPECT_EQ(mb_error_from_errno(EMBBADDATA), MB_ERR_BAD_RESPONSE);
  EXPECT_EQ(mb_error_from_errno(EMBBADSLAVE), MB_ERR_BAD_RESPONSE);
  EXPECT_STREQ(mb_error_text(0x102), "Modbus exception 2: illegal data address");
  EXPECT_STREQ(mb_error_text(MB_ERR_NOT_WRITABLE), "table not writable");
  // The codes stay clear of QUANTREL's own: kernel errors 400..499 and 469.
  for (uint16_t code : {MB_ERR_TIMEOUT, MB_ERR_CONNECTION_LOST, MB_ERR_NOT_CONNECTED,
                        MB_ERR_BAD_RESPONSE, MB_ERR_NOT_WRITABLE, MB_ERR_RANGE, MB_ERR_FORM,
                        MB_ERR_MALFORMED, MB_ERR_NO_SOURCE, MB_ERR_UNIT}) {
    EXPECT_TRUE(code < 400 || code > 499) << code;
  }
}

}  // namespace
