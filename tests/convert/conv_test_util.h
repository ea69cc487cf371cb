// Helpers shared by the conversion tests: entries, blocks, captured reports,
// and the installation's date/time layouts and template.
#ifndef ZQ_TESTS_CONVERT_CONV_TEST_UTIL_H_
#define ZQ_TESTS_CONVERT_CONV_TEST_UTIL_H_

#include <string.h>

#include <cstdint>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "datetime/datetime.h"
#include "kernel/zqkernel.h"

namespace conv_test {

inline uint16_t flags_of(unsigned unit, uint16_t extra = 0) {
  return static_cast<uint16_t>((unit << CONV_UNIT_SIZE_SHIFT) | extra);
}

inline ConvBlock block_of(unsigned unit, uint16_t extra = 0, uint16_t count = 64,
                          uint16_t source_start = 0) {
  return ConvBlock{flags_of(unit, extra), count, source_start, source_start};
}

// An entry with its own zeroed text of `text_size` + 1 bytes.
struct Entry {
  ConvEntry e{};
  std::vector<char> text;
  Entry(uint16_t data_type, uint16_t tag_type, uint16_t length = 0, uint16_t address = 0,
        uint16_t text_size = 0) {
    e.data_type = data_type;
    e.tag_type = tag_type;
    e.length = length;
    e.address = address;
    if (tag_type == TAG_MESSAGE) {
      if (text_size == 0) text_size = conv_entry_text_size(data_type, length);
      text.assign(text_size + 1u, '\0');
      e.text = text.data();
      e.text_size = text_size;
    }
  }
  void set_text(const std::string& s) {
    memset(text.data(), 0, text.size());
    memcpy(text.data(), s.data(), s.size() < e.text_size ? s.size() : e.text_size);
  }
};

struct Report {
  std::string key;
  int status;
  std::vector<std::string> args;
};

// Captures reports instead of sending them to the kernel.
struct ReportLog {
  std::vector<Report> reports;
  ConvReporter reporter(const char* name = "DS1") {
    return ConvReporter{nullptr, name, &ReportLog::sink, this};
  }
  static void sink(void* user, const char* key, int status, const FormatArg* args, int count) {
    Report r{key, status, {}};
    for (int i = 0; i < count; ++i) {
      switch (args[i].kind) {
        case FormatArg::TEXT:
          r.args.push_back(args[i].s);
          break;
        case FormatArg::INT:
          r.args.push_back(std::to_string(args[i].i));
          break;
        case FormatArg::UINT:
          r.args.push_back(std::to_string(args[i].u));
          break;
        default:
          r.args.push_back("?");
      }
    }
    static_cast<ReportLog*>(user)->reports.push_back(r);
  }
  bool only(const char* key) const { return reports.size() == 1 && reports[0].key == key; }
};

// Slot bytes with a recognisable filler, to see whether a conversion wrote.
struct Slot {
  alignas(8) unsigned char bytes[ZQ_VALUE_SLOT_MAX];
  Slot() { memset(bytes, 0xA5, sizeof bytes); }
  bool untouched() const {
    for (unsigned char b : bytes)
      if (b != 0xA5) return false;
    return true;
  }
  int16_t i16() const {
    int16_t v;
    memcpy(&v, bytes, sizeof v);
    return v;
  }
  int32_t i32() const {
    int32_t v;
    memcpy(&v, bytes, sizeof v);
    return v;
  }
  double f64() const {
    double v;
    memcpy(&v, bytes, sizeof v);
    return v;
  }
  MessageValue message() const {
    MessageValue v;
    memcpy(&v, bytes, sizeof v);
    return v;
  }
  std::string text() const {
    const MessageValue m = message();
    return std::string(m.text, m.length);
  }
  template <class T>
  static Slot of(T v) {
    Slot s;
    memcpy(s.bytes, &v, sizeof v);
    return s;
  }
};

// The installation's layouts (as shipped in the master catalogue) and template.
inline void install_datetime_tables() {
  static const char* const LAYOUTS[TIME_LAYOUT_COUNT] = {
      "BCD YR MO DY HR MI SC",     "BIN YR MO DY HR MI SC",
      "BIN YEAR MO DY HR MI SC",   "BCD SC MI HR DY MO YR",
      "BCD YP YR MO DY HR MI SC",  "BCD YR MO DY HR MI SC X X",
      "BCD SC MI HR DOW DY MO YR", "BIN YEAR MO DY DOW HR MI SC X X X X",
      "BCD DY MO YR HR MI SC",     "BIN YEAR MO X DY X HR X MI X SC X",
  };
  load_time_layouts_from(LAYOUTS);
  DateTimeTexts texts{};
  texts.template_text = "year-mo-dy hr:mi:sc";
  static const char* const MONTHS[DATETIME_MONTHS] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char* const DAYS[DATETIME_DAYS] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  for (int i = 0; i < DATETIME_MONTHS; ++i) texts.month_names[i] = MONTHS[i];
  for (int i = 0; i < DATETIME_DAYS; ++i) texts.day_names[i] = DAYS[i];
  texts.am_text = "AM";
  texts.pm_text = "PM";
  DateTimeFormat format;
  build_datetime_format(texts, &format);
  set_datetime_format(format);
}

}  // namespace conv_test

#endif  // ZQ_TESTS_CONVERT_CONV_TEST_UTIL_H_
