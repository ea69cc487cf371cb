// The date/time text format: building it from texts, formatting, parsing.
#include <stdio.h>
#include <string.h>

#include "datetime/datetime.h"

namespace {

constexpr int kCenturyYears = 100;
constexpr int kTwentiethCentury = 1900;
constexpr int kHalfDayHours = 12;
constexpr int kDecimalBase = 10;
constexpr size_t kNumberBufferSize = 16;

struct KeywordRule {
  const char* word;
  int width;  // characters the keyword's value occupies
};

// Indexed by DateTimeKeyword.
constexpr KeywordRule kKeywords[DTK_COUNT] = {
    {"year", 4}, {"yr", 2}, {"mon", 3}, {"mo", 2}, {"dy", 2}, {"dow", 3},
    {"hr", 2},   {"ah", 2}, {"mi", 2},  {"sc", 2}, {"ap", 2},
};

// Order in which formatting overwrites the template (later ones win where
// keywords overlap).
constexpr DateTimeKeyword kFormatOrder[] = {DTK_YEAR, DTK_YR, DTK_MON, DTK_MO,  DTK_DY, DTK_HR,
                                            DTK_AH,   DTK_MI, DTK_SC,  DTK_DOW, DTK_AP};

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// Copies at most width characters of text into out (width + 1 bytes),
// padding with blanks so that every name has exactly width characters.
void copy_padded(const char* text, size_t width, char* out) {
  size_t n = 0;
  if (text != nullptr) {
    while (n < width && text[n] != '\0') {
      out[n] = text[n];
      ++n;
    }
  }
  while (n < width) out[n++] = ' ';
  out[width] = '\0';
}

int32_t find_from(const char* text, const char* word, size_t from) {
  if (from > strlen(text)) return -1;
  const char* hit = strstr(text + from, word);
  return hit == nullptr ? -1 : static_cast<int32_t>(hit - text);
}

DateTimeFormat make_default_format() {
  DateTimeTexts texts{};
  texts.template_text = "DATETIME";
  for (int i = 0; i < DATETIME_MONTHS; ++i) texts.month_names[i] = DATETIME_MONTH_KEYS[i];
  for (int i = 0; i < DATETIME_DAYS; ++i) texts.day_names[i] = DATETIME_DAY_KEYS[i];
  texts.am_text = "DAM";
  texts.pm_text = "DPM";
  DateTimeFormat format;
  build_datetime_format(texts, &format);
  return format;
}

DateTimeFormat g_format = make_default_format();

// Writes the first width characters of value at the keyword's position.
void put(const DateTimeFormat& format, char* text, DateTimeKeyword keyword, const char* value) {
  const int32_t position = format.position[keyword];
  const size_t width = static_cast<size_t>(kKeywords[keyword].width);
  for (size_t i = 0; i < width && value[i] != '\0'; ++i) text[position + i] = value[i];
}

void put_number(const DateTimeFormat& format, char* text, DateTimeKeyword keyword, unsigned v) {
  char digits[kNumberBufferSize];
  snprintf(digits, sizeof digits, keyword == DTK_YEAR ? "%04u" : "%02u", v);
  put(format, text, keyword, digits);
}

// The characters of the parsed text at a keyword's position, bounded by
// the text's length; a missing part reads as empty.
struct Field {
  const char* chars;
  size_t length;
};

Field field_at(const DateTimeFormat& format, DateTimeKeyword keyword, const char* text,
               size_t length) {
  const int32_t position = format.position[keyword];
  if (position < 0 || static_cast<size_t>(position) >= length) return Field{"", 0};
  const size_t available = length - static_cast<size_t>(position);
  const size_t width = static_cast<size_t>(kKeywords[keyword].width);
  return Field{text + position, available < width ? available : width};
}

// Decimal digits from the start of the field; a non-digit ends the number.
unsigned number_at(const DateTimeFormat& format, DateTimeKeyword keyword, const char* text,
                   size_t length) {
  const Field field = field_at(format, keyword, text, length);
  unsigned v = 0;
  for (size_t i = 0; i < field.length; ++i) {
    const char c = field.chars[i];
    if (c < '0' || c > '9') break;
    v = v * kDecimalBase + static_cast<unsigned>(c - '0');
  }
  return v;
}

// Whether the field equals name (width characters, blank-padded), any case.
bool field_matches(const DateTimeFormat& format, DateTimeKeyword keyword, const char* text,
                   size_t length, const char* name) {
  const Field field = field_at(format, keyword, text, length);
  char padded[DATETIME_NAME_LEN + 1];
  const size_t width = static_cast<size_t>(kKeywords[keyword].width);
  size_t i = 0;
  for (; i < field.length && field.chars[i] != '\0'; ++i) padded[i] = field.chars[i];
  for (; i < width; ++i) padded[i] = ' ';
  return same_ignoring_case(padded, name, width);
}

bool present(const DateTimeFormat& format, DateTimeKeyword keyword) {
  return format.position[keyword] >= 0;
}

}  // namespace

void build_datetime_format(const DateTimeTexts& texts, DateTimeFormat* out) {
  if (out == nullptr) return;
  DateTimeFormat format{};
  const char* source = texts.template_text == nullptr ? "" : texts.template_text;
  size_t n = 0;
  for (; n < DATETIME_TEMPLATE_MAX && source[n] != '\0'; ++n) {
    format.template_text[n] = ascii_lower(source[n]);
  }
  format.template_text[n] = '\0';

  for (int k = 0; k < DTK_COUNT; ++k) {
    format.position[k] = find_from(format.template_text, kKeywords[k].word, 0);
  }
  // "mo" first found inside "mon" is not the number: look for another one.
  if (present(format, DTK_MON) && format.position[DTK_MO] == format.position[DTK_MON]) {
    format.position[DTK_MO] = find_from(format.template_text, kKeywords[DTK_MO].word,
                                        static_cast<size_t>(format.position[DTK_MON]) + 2);
  }

  for (int i = 0; i < DATETIME_MONTHS; ++i) {
    copy_padded(texts.month_names[i], DATETIME_NAME_LEN, format.month_names[i]);
  }
  for (int i = 0; i < DATETIME_DAYS; ++i) {
    copy_padded(texts.day_names[i], DATETIME_NAME_LEN, format.day_names[i]);
  }
  copy_padded(texts.am_text, DATETIME_MARKER_LEN, format.am_text);
  copy_padded(texts.pm_text, DATETIME_MARKER_LEN, format.pm_text);
  *out = format;
}

const DateTimeFormat& datetime_format(void) {
  return g_format;
}

void set_datetime_format(const DateTimeFormat& format) {
  g_format = format;
}

char* format_datetime_with(const DateTimeFormat& format, char* text, uint32_t seconds) {
  if (text == nullptr) return text;
  const BrokenDownDate date = seconds_to_date(seconds);
  // The template holds at most DATETIME_TEMPLATE_MAX characters and every
  // keyword position lies inside it with its whole width.
  memcpy(text, format.template_text, DATETIME_TEMPLATE_MAX + 1);
  text[DATETIME_TEMPLATE_MAX] = '\0';
  const size_t length = strlen(text);

  for (DateTimeKeyword keyword : kFormatOrder) {
    const int32_t position = format.position[keyword];
    if (position < 0 || static_cast<size_t>(position + kKeywords[keyword].width) > length) {
      continue;
    }
    switch (keyword) {
      case DTK_YEAR:
        put_number(format, text, keyword, date.year);
        break;
      case DTK_YR:
        put_number(format, text, keyword, date.year % kCenturyYears);
        break;
      case DTK_MON:
        put(format, text, keyword, format.month_names[date.month - 1]);
        break;
      case DTK_MO:
        put_number(format, text, keyword, date.month);
        break;
      case DTK_DY:
        put_number(format, text, keyword, date.day);
        break;
      case DTK_HR:
        put_number(format, text, keyword, date.hour);
        break;
      case DTK_AH:
        put_number(format, text, keyword, date.hour % kHalfDayHours);
        break;
      case DTK_MI:
        put_number(format, text, keyword, date.minute);
        break;
      case DTK_SC:
        put_number(format, text, keyword, date.second);
        break;
      case DTK_DOW:
        put(format, text, keyword, format.day_names[date.weekday]);
        break;
      case DTK_AP:
        put(format, text, keyword, date.hour >= kHalfDayHours ? format.pm_text : format.am_text);
        break;
      case DTK_COUNT:
        break;
    }
  }
  return text;
}

char* format_datetime(char* text, uint32_t seconds) {
  return format_datetime_with(g_format, text, seconds);
}

uint32_t parse_datetime_with(const DateTimeFormat& format, const char* text, size_t length) {
  if (text == nullptr) {
    text = "";
    length = 0;
  }
  auto number = [&](DateTimeKeyword keyword) { return number_at(format, keyword, text, length); };

  BrokenDownDate date{};
  if (present(format, DTK_HR)) {
    date.hour = static_cast<uint16_t>(number(DTK_HR));
  } else if (present(format, DTK_AH)) {
    unsigned hour = number(DTK_AH);
    if (present(format, DTK_AP)) {
      hour %= kHalfDayHours;
      if (field_matches(format, DTK_AP, text, length, format.pm_text)) hour += kHalfDayHours;
    }
    date.hour = static_cast<uint16_t>(hour);
  }
  date.minute = static_cast<uint16_t>(number(DTK_MI));
  date.second = static_cast<uint16_t>(number(DTK_SC));

  if (present(format, DTK_YEAR)) {
    date.year = static_cast<uint16_t>(number(DTK_YEAR));
  } else {
    // Without "yr" either this gives the year 100, which counts as 1980.
    unsigned year = present(format, DTK_YR) ? number(DTK_YR) + kTwentiethCentury : 0;
    if (year < DATETIME_EPOCH_YEAR) year += kCenturyYears;
    date.year = static_cast<uint16_t>(year);
  }

  date.day = static_cast<uint16_t>(number(DTK_DY));
  date.month = static_cast<uint16_t>(number(DTK_MO));
  if (present(format, DTK_MON) && !present(format, DTK_MO)) {
    for (int i = 0; i < DATETIME_MONTHS; ++i) {
      if (field_matches(format, DTK_MON, text, length, format.month_names[i])) {
        date.month = static_cast<uint16_t>(i + 1);
        break;
      }
    }
  }
  return date_to_seconds(date);
}

uint32_t parse_datetime(const char* text) {
  return parse_datetime_with(g_format, text, text == nullptr ? 0 : strlen(text));
}
