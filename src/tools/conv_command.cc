// zq conv: the conversion workbench. Decodes and encodes single elements the
// way the task converts device blocks, produces typed single values, and
// converts date/time blocks and second counts, with the installation's
// catalogue (date/time layouts, template and report texts).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>
#include <memory>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "datetime/datetime.h"
#include "kernel/zqkernel.h"
#include "runtime/catalogue.h"
#include "runtime/format.h"
#include "tools/zq_command.h"

namespace {

constexpr const char* SOURCE_NAME = "conv";  // the data source named in reports
constexpr int DEFAULT_UNIT_SIZE = 2;
constexpr int MAX_UNIT_SIZE = 15;  // four bits of the flags word
constexpr size_t TYPED_AREA = 8;
constexpr size_t REPORT_TEXT = 2048;
constexpr uint8_t UNTOUCHED_A = 0xA5;
constexpr uint8_t UNTOUCHED_B = 0x5A;

struct Options {
  std::string type;
  int unit_size = DEFAULT_UNIT_SIZE;
  bool byte_swap = false;
  bool low_bit_first = false;
  bool one_based_bits = false;
  int length = -1;  // -1: the data type's natural length
  int address = 0;
  int start = 0;
  std::string tag_type;
  std::string catalogue;
  std::vector<std::string> hex;  // decode: the element's bytes
  std::string fill;              // encode: the data area before encoding
  std::string value;             // encode, typed: the tag value
  int layout = 0;
  std::string seconds;
  std::string date;
};

// ---- Input --------------------------------------------------------------------------

int usage(const char* what, const std::string& detail) {
  fprintf(stderr, "zq conv: %s: %s\n", what, detail.c_str());
  return ZQ_EXIT_USAGE;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Pairs of hex digits; blanks between pairs are allowed.
bool parse_hex(const std::string& text, std::vector<uint8_t>* out) {
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (high >= 0) return false;  // a blank inside a pair
      continue;
    }
    const int d = hex_digit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      out->push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  return high < 0;
}

std::string to_hex(const uint8_t* p, size_t n) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += DIGITS[p[i] >> 4];
    s += DIGITS[p[i] & 0xF];
  }
  return s;
}

template <class T>
bool parse_number(const std::string& text, T* out) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  const auto r = std::from_chars(first, last, *out);
  return r.ec == std::errc() && r.ptr == last && first != last;
}

bool parse_data_type(const std::string& text, uint16_t* out) {
  unsigned code;
  if (parse_number(text, &code)) {
    if (!dt_is_valid(static_cast<uint16_t>(code)) || code > DT_LAST) return false;
    *out = static_cast<uint16_t>(code);
    return true;
  }
  *out = dt_from_name(text.c_str());
  if (*out == 0) *out = dt_from_name(("DT_" + text).c_str());
  return *out != 0;
}

bool parse_tag_type(const std::string& text, uint16_t* out) {
  static const char* const NAMES[] = {"digital", "analog", "float", "message", "long"};
  for (uint16_t i = 0; i < ZQ_VALUE_TYPE_COUNT; ++i) {
    if (text == NAMES[i]) {
      *out = i;
      return true;
    }
  }
  return false;
}

// ---- Catalogue and reports ------------------------------------------------------------

// Loads one catalogue file given by path.
bool load_catalogue_path(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  char line[CATALOGUE_LINE_MAX + 2];
  char key[CATALOGUE_LINE_MAX + 1];
  char text[CATALOGUE_LINE_MAX + 1];
  while (fgets(line, sizeof line, f) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    for (char* p = line; *p; ++p) {
      if (*p == '\t') *p = ' ';
    }
    if (parse_catalogue_line(line, key, sizeof key, text, sizeof text)) catalogue_insert(key, text);
  }
  fclose(f);
  return true;
}

// The installation's catalogue (master and task file along ZQPATH/ZQROOT, the
// build tree's root when neither is set), or the one file given; then the
// date/time layouts and template from it. Returns an exit status.
int load_catalogue(const Options& o, bool* layouts_loaded) {
  catalogue_clear();
  if (!o.catalogue.empty()) {
    if (!load_catalogue_path(o.catalogue)) {
      return usage("cannot read the catalogue", o.catalogue);
    }
  } else {
#ifdef ZQ_SOURCE_ROOT
    const char* path = getenv("ZQPATH");
    const char* root = getenv("ZQROOT");
    if ((path == nullptr || *path == '\0') && (root == nullptr || *root == '\0')) {
      setenv("ZQROOT", ZQ_SOURCE_ROOT, 1);
    }
#endif
    catalogue_load_file("master");
    catalogue_load_file("quantrel");
  }
  *layouts_loaded = load_time_layouts() == 0;
  load_datetime_format(catalogue_lookup("DATETIME"));
  return ZQ_EXIT_OK;
}

int layouts_missing() {
  char text[REPORT_TEXT];
  format_text(text, sizeof text, catalogue_lookup("TIMER_CONV"));
  fprintf(stderr, "TIMER_CONV: %s\n", text);
  return ZQ_EXIT_FAILURE;
}

struct ReportCount {
  int reports = 0;
};

// Reports go to standard error as "KEY: text".
void report_to_stderr(void* user, const char* key, int, const FormatArg* args, int count) {
  char text[REPORT_TEXT];
  format_checked(text, sizeof text, catalogue_lookup(key), args, count);
  fprintf(stderr, "%s: %s\n", key, text);
  ++static_cast<ReportCount*>(user)->reports;
}

// ---- Elements -----------------------------------------------------------------------------

struct Element {
  ConvEntry entry{};
  ConvBlock block{};
  std::vector<char> text;
};

// Builds the entry and block from the options; returns an exit status.
int make_element(const Options& o, bool layouts_loaded, Element* el) {
  uint16_t type;
  if (!parse_data_type(o.type, &type)) return usage("unknown data type", o.type);
  uint16_t tag_type = dt_natural_tag_type(type);
  if (!o.tag_type.empty() && !parse_tag_type(o.tag_type, &tag_type)) {
    return usage("unknown tag type (digital, analog, float, message, long)", o.tag_type);
  }
  if (dt_is_time_block(type) && !layouts_loaded) return layouts_missing();
  uint16_t flags = static_cast<uint16_t>(o.unit_size << CONV_UNIT_SIZE_SHIFT);
  if (o.byte_swap) flags |= CONV_FLAG_BYTE_SWAP;
  if (o.low_bit_first) flags |= CONV_FLAG_LOW_BIT_FIRST;
  if (o.one_based_bits) flags |= CONV_FLAG_ONE_BASED_BITS;
  el->block = ConvBlock{flags, 0, static_cast<uint16_t>(o.start), static_cast<uint16_t>(o.start)};
  ConvEntry& e = el->entry;
  e.data_type = type;
  e.tag_type = tag_type;
  e.address = static_cast<uint16_t>(o.address);
  if (o.length >= 0) {
    e.length = static_cast<uint16_t>(o.length);
  } else if (dt_is_time_block(type)) {
    e.length = static_cast<uint16_t>(time_layout(type - DT_TIM0)->size);
  }
  return ZQ_EXIT_OK;
}

// Gives a message entry its own text storage, holding `value`.
void attach_text(Element* el, const std::string& value) {
  ConvEntry& e = el->entry;
  if (e.tag_type != TAG_MESSAGE) return;
  e.text_size = conv_entry_text_size(e.data_type, e.length);
  el->text.assign(size_t{e.text_size} + 1, '\0');
  memcpy(el->text.data(), value.data(), value.size() < e.text_size ? value.size() : e.text_size);
  e.text = el->text.data();
}

uint16_t block_count(const ConvBlock& block, size_t bytes) {
  const unsigned unit = conv_unit_size(block.flags);
  const size_t count = unit == 0 ? bytes * 8 : bytes / unit;
  return static_cast<uint16_t>(count > 0xFFFF ? 0xFFFF : count);
}

// The tag value as the tag type shows it.
std::string show_value(const unsigned char* slot, uint16_t tag_type) {
  char buf[64];
  switch (tag_type) {
    case TAG_DIGITAL:
    case TAG_ANALOG: {
      int16_t v;
      memcpy(&v, slot, sizeof v);
      return std::to_string(v);
    }
    case TAG_LONG: {
      int32_t v;
      memcpy(&v, slot, sizeof v);
      return std::to_string(v);
    }
    case TAG_FLOAT: {
      double v;
      memcpy(&v, slot, sizeof v);
      const auto r = std::to_chars(buf, buf + sizeof buf, v);
      return std::string(buf, r.ptr);
    }
    default: {
      MessageValue m;
      memcpy(&m, slot, sizeof m);
      if (m.text == nullptr) return std::string();
      return std::string(m.text, strnlen(m.text, m.length));
    }
  }
}

// Puts VALUE, given as the tag type shows it, into a value slot.
bool parse_value(const std::string& text, uint16_t tag_type, unsigned char* slot) {
  switch (tag_type) {
    case TAG_DIGITAL:
    case TAG_ANALOG: {
      int16_t v;
      if (!parse_number(text, &v)) return false;
      memcpy(slot, &v, sizeof v);
      return true;
    }
    case TAG_LONG: {
      int32_t v;
      if (!parse_number(text, &v)) return false;
      memcpy(slot, &v, sizeof v);
      return true;
    }
    case TAG_FLOAT: {
      double v;
      if (!parse_number(text, &v)) return false;
      memcpy(slot, &v, sizeof v);
      return true;
    }
    default:
      return true;  // message tags: the text is the entry's
  }
}

// ---- Subcommands ----------------------------------------------------------------------------

int run_decode(const Options& o) {
  bool layouts = false;
  if (int s = load_catalogue(o, &layouts); s != ZQ_EXIT_OK) return s;
  std::vector<uint8_t> bytes;
  std::string joined;
  for (const std::string& h : o.hex) joined += h + " ";
  if (!parse_hex(joined, &bytes)) return usage("not pairs of hex digits", joined);
  Element el;
  if (int s = make_element(o, layouts, &el); s != ZQ_EXIT_OK) return s;
  if (o.length < 0 && (el.entry.data_type == DT_STRING || el.entry.data_type == DT_RAW)) {
    el.entry.length = static_cast<uint16_t>(bytes.size() > 0xFFFF ? 0xFFFF : bytes.size());
  }
  attach_text(&el, "");
  el.block.count = block_count(el.block, bytes.size());
  ReportCount count;
  const ConvReporter reporter{nullptr, SOURCE_NAME, report_to_stderr, &count};
  // Decoded twice into differently filled slots when needed, to tell a value
  // that happens to equal the filler from a slot left untouched.
  unsigned char slot[ZQ_VALUE_SLOT_MAX];
  memset(slot, UNTOUCHED_A, sizeof slot);
  convert_from_block(slot, bytes.data(), bytes.size(), el.entry, el.block, reporter);
  bool untouched = true;
  for (unsigned char b : slot) untouched = untouched && b == UNTOUCHED_A;
  if (untouched) {
    memset(slot, UNTOUCHED_B, sizeof slot);
    ReportCount quiet;
    const ConvReporter silent{nullptr, SOURCE_NAME,
                              [](void*, const char*, int, const FormatArg*, int) {}, &quiet};
    convert_from_block(slot, bytes.data(), bytes.size(), el.entry, el.block, silent);
    for (unsigned char b : slot) untouched = untouched && b == UNTOUCHED_B;
  }
  if (untouched) {
    if (count.reports == 0) fprintf(stderr, "zq conv: nothing converted\n");
    return ZQ_EXIT_FAILURE;
  }
  printf("%s\n", show_value(slot, el.entry.tag_type).c_str());
  return count.reports == 0 ? ZQ_EXIT_OK : ZQ_EXIT_FAILURE;
}

int run_encode(const Options& o) {
  bool layouts = false;
  if (int s = load_catalogue(o, &layouts); s != ZQ_EXIT_OK) return s;
  Element el;
  if (int s = make_element(o, layouts, &el); s != ZQ_EXIT_OK) return s;
  if (o.length < 0 && (el.entry.data_type == DT_STRING || el.entry.data_type == DT_RAW)) {
    el.entry.length = static_cast<uint16_t>(o.value.size() > 0xFFFF ? 0xFFFF : o.value.size());
  }
  attach_text(&el, o.value);
  unsigned char slot[ZQ_VALUE_SLOT_MAX] = {};
  if (!parse_value(o.value, el.entry.tag_type, slot)) {
    return usage("not a value of the tag type", o.value);
  }
  std::vector<uint8_t> area;
  if (!o.fill.empty()) {
    if (!parse_hex(o.fill, &area)) return usage("--fill is not pairs of hex digits", o.fill);
  } else {
    el.block.count = 0xFFFF;  // the element's own size, not cut by the block
    area.assign(conv_element_bytes(el.entry, el.block), 0);
  }
  el.block.count = block_count(el.block, area.size());
  ReportCount count;
  const ConvReporter reporter{nullptr, SOURCE_NAME, report_to_stderr, &count};
  convert_to_block(area.data(), area.size(), slot, el.entry, el.block, reporter);
  printf("%s\n", to_hex(area.data(), area.size()).c_str());
  return count.reports == 0 ? ZQ_EXIT_OK : ZQ_EXIT_FAILURE;
}

int run_typed(const Options& o) {
  bool layouts = false;
  if (int s = load_catalogue(o, &layouts); s != ZQ_EXIT_OK) return s;
  Element el;
  if (int s = make_element(o, true, &el); s != ZQ_EXIT_OK) return s;
  attach_text(&el, o.value);
  unsigned char slot[ZQ_VALUE_SLOT_MAX] = {};
  if (!parse_value(o.value, el.entry.tag_type, slot)) {
    return usage("not a value of the tag type", o.value);
  }
  uint8_t area[TYPED_AREA] = {};
  size_t written = 0;
  if (convert_to_typed(area, sizeof area, slot, el.entry, el.block, &written) != 0) {
    printf("unsupported\n");
    return ZQ_EXIT_FAILURE;
  }
  printf("%s\n", to_hex(area, written).c_str());
  return ZQ_EXIT_OK;
}

int run_time(const Options& o, bool decode) {
  bool layouts = false;
  if (int s = load_catalogue(o, &layouts); s != ZQ_EXIT_OK) return s;
  if (!layouts) return layouts_missing();
  const TimeLayout& layout = *time_layout(o.layout);
  if (decode) {
    std::vector<uint8_t> bytes;
    std::string joined;
    for (const std::string& h : o.hex) joined += h + " ";
    if (!parse_hex(joined, &bytes)) return usage("not pairs of hex digits", joined);
    if (bytes.size() < static_cast<size_t>(layout.size)) {
      fprintf(stderr, "zq conv: layout %d needs %d bytes, %zu given\n", o.layout, layout.size,
              bytes.size());
      return ZQ_EXIT_FAILURE;
    }
    printf("%u\n", decode_time_block(bytes.data(), bytes.size(), layout));
    return ZQ_EXIT_OK;
  }
  uint32_t seconds;
  if (!parse_number(o.seconds, &seconds)) return usage("not a count of seconds", o.seconds);
  std::vector<uint8_t> bytes(static_cast<size_t>(layout.size), 0);
  encode_time_block(bytes.data(), seconds, layout);
  printf("%s\n", to_hex(bytes.data(), bytes.size()).c_str());
  return ZQ_EXIT_OK;
}

constexpr const char* WEEKDAYS[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                    "Thursday", "Friday", "Saturday"};

// "YYYY-MM-DD hh:mm:ss" of a real calendar date from 1980 on.
bool parse_date(const std::string& text, BrokenDownDate* d) {
  static const int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int y, mo, dy, h, mi, s, end = -1;
  if (sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &dy, &h, &mi, &s, &end) != 6 ||
      end != static_cast<int>(text.size())) {
    return false;
  }
  if (y < DATETIME_EPOCH_YEAR || mo < 1 || mo > 12 || h > 23 || mi > 59 || s > 59 || h < 0 ||
      mi < 0 || s < 0) {
    return false;
  }
  const int days = DAYS[mo - 1] + (mo == 2 && is_leap_year(y) ? 1 : 0);
  if (dy < 1 || dy > days) return false;
  *d = BrokenDownDate{
      uint16_t(h), uint16_t(mi), uint16_t(s), uint16_t(dy), uint16_t(mo), uint16_t(y), 0};
  return true;
}

int run_seconds(const Options& o) {
  if (!o.date.empty()) {
    BrokenDownDate d;
    if (!parse_date(o.date, &d)) {
      return usage("not a date YYYY-MM-DD hh:mm:ss from 1980 on", o.date);
    }
    const uint32_t seconds = date_to_seconds(d);
    const BrokenDownDate back = seconds_to_date(seconds);
    if (back.year != d.year || back.month != d.month || back.day != d.day) {
      return usage("date beyond the 32-bit count of seconds", o.date);
    }
    printf("%u\n", seconds);
    return ZQ_EXIT_OK;
  }
  uint32_t seconds;
  if (!parse_number(o.seconds, &seconds)) return usage("not a count of seconds", o.seconds);
  const BrokenDownDate d = seconds_to_date(seconds);
  printf("%04u-%02u-%02u %02u:%02u:%02u %s\n", d.year, d.month, d.day, d.hour, d.minute, d.second,
         WEEKDAYS[d.weekday % 7]);
  return ZQ_EXIT_OK;
}

// ---- Command line ---------------------------------------------------------------------------

void add_element_options(CLI::App* cmd, Options* o) {
  cmd->add_option("--type,-t", o->type, "Data type: name (DT_WORD) or code (4)")->required();
  cmd->add_option("--unit-size,-u", o->unit_size, "Bytes per address unit (0 = bit-addressed)")
      ->check(CLI::Range(0, MAX_UNIT_SIZE));
  cmd->add_flag("--byte-swap", o->byte_swap, "Device byte order is the reverse of the host's");
  cmd->add_flag("--low-bit-first", o->low_bit_first, "Bit 0 is the least significant bit");
  cmd->add_flag("--one-based-bits", o->one_based_bits, "Bit numbers count from 1");
  cmd->add_option("--length,-l", o->length,
                  "Bit number, characters, sign bit or date/time bytes (default: the type's)")
      ->check(CLI::Range(0, 0xFFFF));
  cmd->add_option("--address,-a", o->address, "Device address of the element (bit address)")
      ->check(CLI::Range(0, 0xFFFF));
  cmd->add_option("--start,-s", o->start, "The data source's start address")
      ->check(CLI::Range(0, 0xFFFF));
  cmd->add_option("--tag-type,-k", o->tag_type,
                  "digital, analog, float, message or long (default: the type's own)");
  cmd->add_option("--catalogue", o->catalogue, "Catalogue file instead of the installation's");
}

void on_run(CLI::App* cmd, int* status, std::shared_ptr<Options> o, int (*run)(const Options&)) {
  cmd->callback([status, o, run] { *status = run(*o); });
}

ZqCommandRegistrar registrar("conv", [](CLI::App& app, int* status) {
  CLI::App* conv = app.add_subcommand("conv", "Conversion workbench: device bytes and tag values");
  conv->require_subcommand(1);

  auto o = std::make_shared<Options>();
  CLI::App* decode =
      conv->add_subcommand("decode", "Decode one element from HEX and print the tag value");
  add_element_options(decode, o.get());
  decode->add_option("hex", o->hex, "The element's bytes: pairs of hex digits")->required();
  on_run(decode, status, o, run_decode);

  CLI::App* encode = conv->add_subcommand(
      "encode", "Encode VALUE into a data area and print the whole area as hex");
  add_element_options(encode, o.get());
  encode->add_option("--fill", o->fill, "The data area before encoding (default: zeros)");
  encode->add_option("value", o->value, "The tag value, as the tag type shows it")->required();
  on_run(encode, status, o, run_encode);

  CLI::App* typed = conv->add_subcommand(
      "typed", "Produce the typed single value of VALUE for the unit size, or 'unsupported'");
  typed->add_option("--type,-t", o->type, "Data type: name (DT_WORD) or code (4)")->required();
  typed->add_option("--unit-size,-u", o->unit_size, "Bytes per address unit (1, 2, 4 or 8)")
      ->required()
      ->check(CLI::Range(0, MAX_UNIT_SIZE));
  typed->add_option("--tag-type,-k", o->tag_type, "digital, analog, float, message or long");
  typed->add_option("--catalogue", o->catalogue, "Catalogue file instead of the installation's");
  typed->add_option("value", o->value, "The tag value, as the tag type shows it")->required();
  on_run(typed, status, o, run_typed);

  CLI::App* time = conv->add_subcommand("time", "Date/time blocks of the catalogue's layouts");
  time->require_subcommand(1);
  CLI::App* tdecode = time->add_subcommand("decode", "Seconds since 1980 of a date/time block");
  tdecode->add_option("--layout,-n", o->layout, "Layout number 0-9")
      ->required()
      ->check(CLI::Range(0, TIME_LAYOUT_COUNT - 1));
  tdecode->add_option("--catalogue", o->catalogue, "Catalogue file instead of the installation's");
  tdecode->add_option("hex", o->hex, "The block's bytes: pairs of hex digits")->required();
  tdecode->callback([status, o] { *status = run_time(*o, true); });
  CLI::App* tencode = time->add_subcommand("encode", "Date/time block of seconds since 1980");
  tencode->add_option("--layout,-n", o->layout, "Layout number 0-9")
      ->required()
      ->check(CLI::Range(0, TIME_LAYOUT_COUNT - 1));
  tencode->add_option("--catalogue", o->catalogue, "Catalogue file instead of the installation's");
  tencode->add_option("seconds", o->seconds, "Seconds since 1980-01-01 00:00:00")->required();
  tencode->callback([status, o] { *status = run_time(*o, false); });

  CLI::App* seconds = conv->add_subcommand(
      "seconds", "Date and weekday of seconds since 1980, or (--date) the inverse");
  auto* opt_seconds = seconds->add_option("seconds", o->seconds, "Seconds since 1980");
  auto* opt_date = seconds->add_option("--date", o->date, "\"YYYY-MM-DD hh:mm:ss\"");
  opt_seconds->excludes(opt_date);
  seconds->callback([status, o, opt_seconds, opt_date] {
    if (opt_seconds->count() == 0 && opt_date->count() == 0) {
      *status = usage("seconds", "give SECONDS or --date");
      return;
    }
    *status = run_seconds(*o);
  });
});

}  // namespace
