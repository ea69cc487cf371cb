// Date/time block layouts: the definition language and the block codecs.
#include <string.h>

#include "datetime/datetime.h"

namespace {

constexpr int kYearBytes = 2;
constexpr unsigned kByteBits = 8;
constexpr unsigned kByteMask = 0xFF;
constexpr int kCenturyYears = 100;
constexpr int kTwentiethCentury = 1900;
constexpr int kTwentyFirstCentury = 2000;
constexpr int kYrPivot = 80;  // a two-digit year from 80 on is 19xx, below it 20xx
constexpr unsigned kNibbleBits = 4;
constexpr unsigned kNibbleMask = 0x0F;
constexpr unsigned kDecimalBase = 10;
constexpr size_t kMaxTokenLength = 8;  // longer than every known token

TimeLayout g_layouts[TIME_LAYOUT_COUNT] = {
    empty_time_layout(), empty_time_layout(), empty_time_layout(), empty_time_layout(),
    empty_time_layout(), empty_time_layout(), empty_time_layout(), empty_time_layout(),
    empty_time_layout(), empty_time_layout(),
};

bool is_separator(char c) {
  return c == ' ' || c == ',' || c == '\t';
}

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// What one token of the definition language does.
struct TokenRule {
  const char* name;
  int field;                      // TimeField, or -1 for a skipped byte
  int width;                      // bytes the token occupies
  int16_t* (*base)(TimeLayout*);  // base the token sets, or null
  int16_t base_value;
};

int16_t* month_base(TimeLayout* l) {
  return &l->month_base;
}
int16_t* day_base(TimeLayout* l) {
  return &l->day_base;
}
int16_t* dow_base(TimeLayout* l) {
  return &l->dow_base;
}

constexpr TokenRule kTokenRules[] = {
    {"HR", TIME_HR, 1, nullptr, 0},     {"MI", TIME_MI, 1, nullptr, 0},
    {"SC", TIME_SC, 1, nullptr, 0},     {"YP", TIME_YP, 1, nullptr, 0},
    {"YR", TIME_YR, 1, nullptr, 0},     {"YEAR", TIME_YEAR, kYearBytes, nullptr, 0},
    {"MO", TIME_MO, 1, month_base, 1},  {"MO1", TIME_MO, 1, month_base, 1},
    {"MO0", TIME_MO, 1, month_base, 0}, {"DY", TIME_DY, 1, day_base, 1},
    {"DY1", TIME_DY, 1, day_base, 1},   {"DY0", TIME_DY, 1, day_base, 0},
    {"DOW", TIME_DOW, 1, dow_base, 1},  {"DOW1", TIME_DOW, 1, dow_base, 1},
    {"DOW0", TIME_DOW, 1, dow_base, 0}, {"X", -1, 1, nullptr, 0},
};

// Reads the next token (upper-cased, cut to kMaxTokenLength so that an
// overlong one stays unknown) from *cursor; false at the end of the text.
bool next_token(const char** cursor, char (&token)[kMaxTokenLength + 2]) {
  const char* p = *cursor;
  while (*p != '\0' && is_separator(*p)) ++p;
  if (*p == '\0') return false;
  size_t n = 0;
  while (*p != '\0' && !is_separator(*p)) {
    if (n < kMaxTokenLength + 1) token[n++] = ascii_upper(*p);
    ++p;
  }
  token[n] = '\0';
  *cursor = p;
  return true;
}

const TokenRule* find_rule(const char* token) {
  for (const TokenRule& rule : kTokenRules) {
    if (strcmp(rule.name, token) == 0) return &rule;
  }
  return nullptr;
}

uint8_t from_bcd(uint8_t b) {
  return static_cast<uint8_t>((b & kNibbleMask) + kDecimalBase * (b >> kNibbleBits));
}

uint8_t to_bcd(unsigned v) {
  return static_cast<uint8_t>((v / kDecimalBase % kDecimalBase) << kNibbleBits | v % kDecimalBase);
}

int field_width(TimeField field) {
  return field == TIME_YEAR ? kYearBytes : 1;
}

// Whether the field is present and lies inside the first limit bytes. Layouts
// from parse_time_layout always fit inside their size; the check keeps a
// hand-built layout from reaching outside the caller's bytes.
bool fits(const TimeLayout& layout, TimeField field, size_t limit) {
  const int offset = layout.offset[field];
  return offset >= 0 && static_cast<size_t>(offset + field_width(field)) <= limit;
}

// A one-byte field, BCD-decoded in a BCD layout.
unsigned read_byte_field(const uint8_t* bytes, const TimeLayout& layout, TimeField field) {
  const uint8_t b = bytes[layout.offset[field]];
  return layout.bcd ? from_bcd(b) : b;
}

unsigned read_year_field(const uint8_t* bytes, const TimeLayout& layout) {
  uint16_t word;
  memcpy(&word, bytes + layout.offset[TIME_YEAR], sizeof word);
  if (!layout.bcd) return word;
  const unsigned low = from_bcd(static_cast<uint8_t>(word & kByteMask));
  const unsigned high = from_bcd(static_cast<uint8_t>(word >> kByteBits));
  return high * kCenturyYears + low;
}

void write_byte_field(uint8_t* bytes, const TimeLayout& layout, TimeField field, unsigned v) {
  if (!fits(layout, field, static_cast<size_t>(layout.size))) return;
  bytes[layout.offset[field]] = layout.bcd ? to_bcd(v) : static_cast<uint8_t>(v);
}

void write_year_field(uint8_t* bytes, const TimeLayout& layout, unsigned year) {
  if (!fits(layout, TIME_YEAR, static_cast<size_t>(layout.size))) return;
  uint16_t word = static_cast<uint16_t>(year);
  if (layout.bcd) {
    word = static_cast<uint16_t>(to_bcd(year / kCenturyYears) << kByteBits |
                                 to_bcd(year % kCenturyYears));
  }
  memcpy(bytes + layout.offset[TIME_YEAR], &word, sizeof word);
}

// Device number minus base plus 1, without wrapping below 0 (0 then counts
// as the first day or month).
uint16_t rebase(unsigned device_value, int16_t base) {
  const int v = static_cast<int>(device_value) - base + 1;
  return static_cast<uint16_t>(v < 0 ? 0 : v);
}

}  // namespace

int parse_time_layout(const char* text, TimeLayout* out) {
  if (text == nullptr || out == nullptr) return -1;
  TimeLayout layout = empty_time_layout();
  const char* cursor = text;
  char token[kMaxTokenLength + 2];
  if (!next_token(&cursor, token)) return -1;
  if (strcmp(token, "BCD") == 0) {
    layout.bcd = 1;
  } else if (strcmp(token, "BIN") != 0) {
    return -1;
  }
  int offset = 0;
  while (next_token(&cursor, token)) {
    const TokenRule* rule = find_rule(token);
    if (rule == nullptr) return -1;
    if (offset + rule->width > TIME_LAYOUT_MAX_SIZE) return -1;
    if (rule->field >= 0) layout.offset[rule->field] = static_cast<int16_t>(offset);
    if (rule->base != nullptr) *rule->base(&layout) = rule->base_value;
    offset += rule->width;
  }
  layout.size = static_cast<int16_t>(offset);
  *out = layout;
  return 0;
}

int load_time_layouts_from(const char* const texts[TIME_LAYOUT_COUNT]) {
  if (texts == nullptr) return -1;
  TimeLayout parsed[TIME_LAYOUT_COUNT];
  for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) {
    if (parse_time_layout(texts[i], &parsed[i]) != 0) return -1;
  }
  for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) g_layouts[i] = parsed[i];
  return 0;
}

const TimeLayout* time_layout(int number) {
  if (number < 0 || number >= TIME_LAYOUT_COUNT) return nullptr;
  return &g_layouts[number];
}

uint32_t decode_time_block(const uint8_t* bytes, size_t n, const TimeLayout& layout) {
  if (bytes == nullptr || layout.size < 0 || n < static_cast<size_t>(layout.size)) return 0;
  auto present = [&](TimeField field) { return fits(layout, field, n); };
  auto value = [&](TimeField field) { return read_byte_field(bytes, layout, field); };

  BrokenDownDate date{};
  date.day = 1;
  date.month = 1;
  if (present(TIME_HR)) date.hour = static_cast<uint16_t>(value(TIME_HR));
  if (present(TIME_MI)) date.minute = static_cast<uint16_t>(value(TIME_MI));
  if (present(TIME_SC)) date.second = static_cast<uint16_t>(value(TIME_SC));
  if (present(TIME_DY)) date.day = rebase(value(TIME_DY), layout.day_base);
  if (present(TIME_MO)) date.month = rebase(value(TIME_MO), layout.month_base);

  unsigned year = 0;
  if (present(TIME_YP)) {
    year = value(TIME_YP) * kCenturyYears;
  } else if (present(TIME_YR)) {
    year = value(TIME_YR) >= kYrPivot ? kTwentiethCentury : kTwentyFirstCentury;
  }
  if (present(TIME_YR)) year += value(TIME_YR);
  if (present(TIME_YEAR)) year = read_year_field(bytes, layout);
  date.year = static_cast<uint16_t>(year);
  return date_to_seconds(date);
}

void encode_time_block(uint8_t* bytes, uint32_t seconds, const TimeLayout& layout) {
  if (bytes == nullptr) return;
  const BrokenDownDate date = seconds_to_date(seconds);
  write_byte_field(bytes, layout, TIME_HR, date.hour);
  write_byte_field(bytes, layout, TIME_MI, date.minute);
  write_byte_field(bytes, layout, TIME_SC, date.second);
  write_byte_field(bytes, layout, TIME_DY, date.day + layout.day_base - 1u);
  write_byte_field(bytes, layout, TIME_MO, date.month + layout.month_base - 1u);
  write_byte_field(bytes, layout, TIME_YP, date.year / kCenturyYears);
  write_byte_field(bytes, layout, TIME_YR, date.year % kCenturyYears);
  write_year_field(bytes, layout, date.year);
  write_byte_field(bytes, layout, TIME_DOW, date.weekday + layout.dow_base);
}
