// Date and time: seconds since 1980-01-01 00:00:00 (local calendar time),
// the ten device date/time block layouts and the one date/time text format.
//
// Everything configurable comes from catalogue texts: "TIM0".."TIM9" define
// the block layouts, "DATETIME" the text template, "MO0".."MO9", "M10",
// "M11" the month names, "DOW0".."DOW6" the day names, "DAM" and "DPM" the
// before-noon and after-noon markers. The loaders read them once at start-up
// into process-wide tables; every parsing step is also callable on given
// texts so that callers and tests need no catalogue.
//
// Values the calendar cannot express are never an error (the conversions
// must not fail on device data):
//   - a year below 1980 counts as 1980 (so a layout or template without a
//     year, or without a date at all, gives that day/time of 1980);
//   - day 0 counts as day 1 and month 0 as January; a month above 12 runs on
//     into the following years, a day beyond the month's length into the
//     following months, hours, minutes and seconds likewise;
//   - a count beyond the unsigned 32-bit range (after 2116-02-07 06:28:15)
//     is held at 0xFFFFFFFF.
#ifndef ZQ_DATETIME_DATETIME_H_
#define ZQ_DATETIME_DATETIME_H_

#include <stddef.h>
#include <stdint.h>

constexpr int DATETIME_EPOCH_YEAR = 1980;
constexpr uint32_t SECONDS_PER_DAY = 86400;

// ---- Calendar arithmetic ---------------------------------------------------

struct BrokenDownDate {
  uint16_t hour;     // 0..23
  uint16_t minute;   // 0..59
  uint16_t second;   // 0..59
  uint16_t day;      // 1..31
  uint16_t month;    // 1..12
  uint16_t year;     // four digits
  uint16_t weekday;  // 0 = Sunday .. 6 = Saturday
};

// Gregorian rule: divisible by 4 and not by 100, or divisible by 400.
bool is_leap_year(int year);
// Broken-down date of a count of seconds since 1980-01-01 00:00:00.
BrokenDownDate seconds_to_date(uint32_t seconds);
// The inverse; weekday is ignored. Out-of-range fields as described above.
uint32_t date_to_seconds(const BrokenDownDate& date);

// ---- Date/time block layouts -------------------------------------------------

constexpr int TIME_LAYOUT_COUNT = 10;
constexpr int TIME_LAYOUT_MAX_SIZE = 255;  // bytes; a longer layout text is invalid

// Fields a layout can place; index into TimeLayout::offset.
enum TimeField : int {
  TIME_HR,    // hour
  TIME_MI,    // minute
  TIME_SC,    // second
  TIME_YP,    // year hundreds
  TIME_YR,    // year within the century
  TIME_YEAR,  // whole year, 16 bits in host byte order (two bytes)
  TIME_MO,    // month
  TIME_DY,    // day
  TIME_DOW,   // weekday
  TIME_FIELD_COUNT
};

struct TimeLayout {
  int16_t size;                      // bytes the layout occupies
  int16_t bcd;                       // 1: fields are two-digit BCD bytes; 0: binary
  int16_t offset[TIME_FIELD_COUNT];  // byte offset of each field, -1 when absent
  int16_t dow_base;                  // device number of Sunday (0 or 1)
  int16_t day_base;                  // device number of the first day (0 or 1)
  int16_t month_base;                // device number of January (0 or 1)
};

// A layout with no fields and size 0 (what every table slot holds before
// the layouts are loaded).
constexpr TimeLayout empty_time_layout() {
  TimeLayout layout{};
  for (int16_t& offset : layout.offset) offset = -1;
  layout.dow_base = 1;
  layout.day_base = 1;
  layout.month_base = 1;
  return layout;
}

// Parses one layout definition: "BCD" or "BIN", then field tokens (HR MI SC
// YP YR YEAR MO MO0 MO1 DY DY0 DY1 DOW DOW0 DOW1, X skips a byte), separated
// by blanks or commas, any case. Returns 0 with *out filled, or -1 (then
// *out is untouched) when the text is null, empty, names an unknown token or
// is longer than TIME_LAYOUT_MAX_SIZE bytes.
int parse_time_layout(const char* text, TimeLayout* out);

// Parses ten layout texts and installs them as layouts 0..9. All or
// nothing: returns 0, or -1 with the table unchanged if any text fails.
int load_time_layouts_from(const char* const texts[TIME_LAYOUT_COUNT]);
// The same with the catalogue texts of "TIM0".."TIM9" (a key without an
// entry is its own text and so fails).
int load_time_layouts(void);
// Installed layout number 0..9, or nullptr for any other number.
const TimeLayout* time_layout(int number);

// Seconds from n device bytes. Fewer bytes than the layout's size give 0.
// Fields absent from the layout take hour/minute/second 0, day 1, month 1,
// year 1980. In a BCD layout the YEAR field is a four-digit BCD number in a
// 16-bit host-order word (low byte: year within the century). bytes is only
// read.
uint32_t decode_time_block(const uint8_t* bytes, size_t n, const TimeLayout& layout);
// Writes the layout's fields for seconds into bytes, which holds at least
// layout.size bytes and is zeroed by the caller; only field bytes are written.
void encode_time_block(uint8_t* bytes, uint32_t seconds, const TimeLayout& layout);

// ---- Date/time text format -------------------------------------------------

constexpr size_t DATETIME_TEXT_SIZE = 80;     // callers' buffer for format_datetime
constexpr size_t DATETIME_TEMPLATE_MAX = 39;  // template characters kept
constexpr size_t DATETIME_NAME_LEN = 3;       // month and day names
constexpr size_t DATETIME_MARKER_LEN = 2;     // before-noon / after-noon markers
constexpr int DATETIME_MONTHS = 12;
constexpr int DATETIME_DAYS = 7;

// Catalogue keys of the month names (January first) and day names (Sunday
// first).
inline constexpr const char* DATETIME_MONTH_KEYS[DATETIME_MONTHS] = {
    "MO0", "MO1", "MO2", "MO3", "MO4", "MO5", "MO6", "MO7", "MO8", "MO9", "M10", "M11"};
inline constexpr const char* DATETIME_DAY_KEYS[DATETIME_DAYS] = {"DOW0", "DOW1", "DOW2", "DOW3",
                                                                 "DOW4", "DOW5", "DOW6"};

// Keywords of the template, in the order their positions are kept.
enum DateTimeKeyword : int {
  DTK_YEAR,  // "year": four-digit year
  DTK_YR,    // "yr": year modulo 100; parsed 80..99 -> 19xx, 00..79 -> 20xx
  DTK_MON,   // "mon": month name
  DTK_MO,    // "mo": month number
  DTK_DY,    // "dy": day
  DTK_DOW,   // "dow": day name (not used when parsing)
  DTK_HR,    // "hr": hour 0..23
  DTK_AH,    // "ah": hour modulo 12
  DTK_MI,    // "mi": minute
  DTK_SC,    // "sc": second
  DTK_AP,    // "ap": before-noon / after-noon marker
  DTK_COUNT
};

struct DateTimeFormat {
  int32_t position[DTK_COUNT];                    // first position of each keyword, -1 when absent
  char template_text[DATETIME_TEMPLATE_MAX + 1];  // lower-cased
  char month_names[DATETIME_MONTHS][DATETIME_NAME_LEN + 1];  // blank-padded
  char day_names[DATETIME_DAYS][DATETIME_NAME_LEN + 1];      // blank-padded
  char am_text[DATETIME_MARKER_LEN + 1];                     // blank-padded
  char pm_text[DATETIME_MARKER_LEN + 1];                     // blank-padded
};

// The texts a format is built from; a null text counts as empty.
struct DateTimeTexts {
  const char* template_text;
  const char* month_names[DATETIME_MONTHS];  // January first
  const char* day_names[DATETIME_DAYS];      // Sunday first
  const char* am_text;
  const char* pm_text;
};

// Builds a format: the template lower-cased and cut to 39 characters, the
// keyword positions found in it, names cut to 3 and markers to 2 characters.
void build_datetime_format(const DateTimeTexts& texts, DateTimeFormat* out);
// Builds the process-wide format from a template and the catalogue's name
// and marker texts. Cannot fail.
void load_datetime_format(const char* text);
// The process-wide format (until one is loaded: template "datetime", the
// names and markers being the keys' own texts).
const DateTimeFormat& datetime_format(void);
void set_datetime_format(const DateTimeFormat& format);

// Writes the template with the keywords replaced into text (at least
// DATETIME_TEXT_SIZE bytes; at most DATETIME_TEMPLATE_MAX + 1 are written)
// and returns text. "ap" shows the after-noon marker from 12:00 on.
char* format_datetime(char* text, uint32_t seconds);
char* format_datetime_with(const DateTimeFormat& format, char* text, uint32_t seconds);

// Seconds from a text in the format. Each keyword's characters are read at
// its template position: numbers as decimal digits up to the keyword's
// width (a non-digit or the end of the text ends the number; no digit gives
// 0), names and markers compared without regard to case. Missing parts of
// the text read as empty. A null text reads as empty. With "ap", "ah" is
// read on a 12-hour clock ("12" before noon is midnight, after noon noon).
uint32_t parse_datetime(const char* text);
uint32_t parse_datetime_with(const DateTimeFormat& format, const char* text, size_t length);

#endif  // ZQ_DATETIME_DATETIME_H_
