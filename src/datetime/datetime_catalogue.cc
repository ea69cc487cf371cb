// Loading the layouts and the text format from the message catalogue.
#include "datetime/datetime.h"
#include "runtime/catalogue.h"

namespace {

// The keys live as long as the process: a key without an entry comes back
// from the catalogue as the very pointer it was given.
constexpr const char* kLayoutKeys[TIME_LAYOUT_COUNT] = {"TIM0", "TIM1", "TIM2", "TIM3", "TIM4",
                                                        "TIM5", "TIM6", "TIM7", "TIM8", "TIM9"};

}  // namespace

int load_time_layouts(void) {
  const char* texts[TIME_LAYOUT_COUNT];
  // A key without an entry is its own text, which is no valid layout.
  for (int i = 0; i < TIME_LAYOUT_COUNT; ++i) texts[i] = catalogue_lookup(kLayoutKeys[i]);
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
