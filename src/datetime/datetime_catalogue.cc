// Loading the layouts and the text format from the message catalogue.
#include <stdio.h>

#include "datetime/datetime.h"
#include "runtime/catalogue.h"

namespace {

constexpr size_t kKeySize = 8;

}  // namespace

int load_time_layouts(void) {
  const char* texts[TIME_LAYOUT_COUNT];
  for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) {
    char key[kKeySize];
    snprintf(key, sizeof key, "TIM%1d", i);
    // A key without an entry comes back as itself, which is no valid layout.
    texts[i] = catalogue_lookup(key);
  }
  return load_time_layouts_from(texts);
}

void load_datetime_format(const char* text) {
  DateTimeTexts texts{};
  texts.template_text = text;
  for (int i = 0; i < DATETIME_MONTHS; ++i)
    texts.month_names[i] = catalogue_lookup(DATETIME_MONTH_KEYS[i]);
  for (int i = 0; i < DATETIME_DAYS; ++i)
    texts.day_names[i] = catalogue_lookup(DATETIME_DAY_KEYS[i]);
  texts.am_text = catalogue_lookup("DAM");
  texts.pm_text = catalogue_lookup("DPM");
  DateTimeFormat format;
  build_datetime_format(texts, &format);
  set_datetime_format(format);
}
