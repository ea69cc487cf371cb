// Value conversion between a data source's device block and tag values.
//
// convert_from_block decodes one configured element of a received block into
// a tag value slot; convert_to_block encodes a tag value into its place in a
// block to be sent; convert_to_typed produces a single value in the width the
// block's unit size names, for typed single-value writes. The element's data
// type (ConvEntry::data_type) and the block's flags (ConvBlock) select the
// encoding; the codecs are in convert/codecs.h.
//
// Tag value slots hold int16_t (digital, analog), double (float), int32_t
// (long) or a MessageValue (message); they may be unaligned. A message slot
// filled by convert_from_block always names the entry's own text (entry.text,
// entry.text_size + 1 bytes), never shared storage, so the slots of many
// entries gathered for one kernel write each keep their own text. For the
// write direction a message tag's text is read from entry.text.
//
// Every conversion is told how many bytes are available from the element's
// first byte and never reads or writes beyond them: an element that does not
// fit is refused with the report "IMX_BOUND" (data source, unit size) and the
// slot or block is left as it was; DT_STRING and DT_RAW copy what is there.
// Date/time block types (DT_TIM0..DT_TIM9) need whole units and are refused
// the same way on a bit-addressed block (unit size 0).
#ifndef ZQ_CONVERT_CONVERT_H_
#define ZQ_CONVERT_CONVERT_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "convert/codecs.h"
#include "convert/conv_entry.h"
#include "kernel/zqkernel.h"
#include "runtime/format.h"

struct TaskContext;

// Where the conversions' reports go: task_report on `task`, or, when `sink`
// is set, the sink (tools and tests). Reports name the data source by
// `data_source` (may be null: shown empty).
using ConvReportSink = void (*)(void* user, const char* key, int status, const FormatArg* args,
                                int count);
struct ConvReporter {
  TaskContext* task;
  const char* data_source;
  ConvReportSink sink;
  void* sink_user;
};

// Status code of every conversion report (the task goes on).
constexpr int CONV_REPORT_STATUS = 2;

// Seconds between the device's epoch (1970-01-01) and the tags' (1980-01-01).
constexpr uint32_t CONV_DEVICE_EPOCH_OFFSET = 315532800;

// Decodes the element starting at source (available bytes from there to the
// end of the data; source may be null only when available is 0) into slot,
// a value slot of entry.tag_type. An unknown data type leaves the slot as it
// was.
void convert_from_block_general(void* slot, const uint8_t* source, size_t available,
                                const ConvEntry& entry, ConvBlock block,
                                const ConvReporter& reporter);

// The same; 16-bit words into analog tags, the commonest element of a block,
// are decoded here without a call.
inline void convert_from_block(void* slot, const uint8_t* source, size_t available,
                               const ConvEntry& entry, ConvBlock block,
                               const ConvReporter& reporter) {
  if (entry.data_type == DT_WORD && entry.tag_type == TAG_ANALOG && available >= 2) {
    const int16_t v = get_word(block.flags, source);
    memcpy(slot, &v, sizeof v);
    return;
  }
  convert_from_block_general(slot, source, available, entry, block, reporter);
}

// Encodes the tag value in slot (a value slot of entry.tag_type) into the
// element starting at destination (available bytes from there). Bytes of the
// block outside the element keep their content; so do the other bits of a
// DT_BIT unit.
void convert_to_block(uint8_t* destination, size_t available, const void* slot,
                      const ConvEntry& entry, ConvBlock block, const ConvReporter& reporter);

// Writes the tag value as one host-order value of the unit size's width (1,
// 2, 4 or 8 bytes) at destination. Returns 0 when written (DT_DOUBLE writes
// nothing and returns 0), -1 when the data type and unit size have no typed
// form or the value does not fit in `available`. *written (may be null)
// receives the number of bytes written.
int convert_to_typed(uint8_t* destination, size_t available, const void* slot,
                     const ConvEntry& entry, ConvBlock block, size_t* written);

// Bytes the element occupies from its first byte: what the conversions need
// available (for DT_RAW and DT_STRING what they would copy at most). 0 when
// the data type or unit size cannot be converted.
size_t conv_element_bytes(const ConvEntry& entry, ConvBlock block);

// The tag type a data type's decoded value has before it is converted to the
// target tag: TAG_DIGITAL, TAG_ANALOG, TAG_LONG, TAG_FLOAT, or TAG_MESSAGE
// for the text types (DT_STRING, DT_RAW). 0xFFFF for unknown data types.
uint16_t dt_natural_tag_type(uint16_t data_type);

// "DT_WORD" for 4; nullptr for unknown codes.
const char* dt_name(uint16_t data_type);
// Code of a data type name (as dt_name gives it, any case); 0 when unknown.
uint16_t dt_from_name(const char* name);

#endif  // ZQ_CONVERT_CONVERT_H_
