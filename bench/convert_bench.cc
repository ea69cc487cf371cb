// Decoding a full data block into tag slots, per data type, against a plain
// loop that copies the same 16-bit words into int16 slots.
//
// Each case converts every element of one 4112-byte data area (the largest
// block a reply carries) the way the read handler does: one
// convert_from_block per entry, at the entry's position, into packed value
// slots. The summary prints ns per entry and the ratio to the plain loop
// measured in the same run.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "kernel/zqkernel.h"

namespace {

constexpr size_t BLOCK_BYTES = 4112;
constexpr uint16_t STRING_LENGTH = 16;
const char* const BASELINE = "plain_word_copy";

struct Workload {
  std::vector<uint8_t> data;
  std::vector<ConvEntry> entries;
  std::vector<uint32_t> positions;  // byte offset of each element in the data
  std::vector<uint32_t> offsets;    // byte offset of each slot in the value block
  std::vector<unsigned char> values;
  std::vector<std::vector<char>> texts;
  ConvBlock block{};
};

Workload make_workload(uint16_t data_type, uint16_t tag_type, unsigned unit, size_t element,
                       bool every_bit) {
  Workload w;
  w.data.resize(BLOCK_BYTES);
  for (size_t i = 0; i < BLOCK_BYTES; ++i) w.data[i] = static_cast<uint8_t>(i * 37 + 11);
  w.block = ConvBlock{static_cast<uint16_t>(unit << CONV_UNIT_SIZE_SHIFT),
                      static_cast<uint16_t>(BLOCK_BYTES / unit), 0, 0};
  const size_t value_size = tag_type == TAG_MESSAGE ? sizeof(MessageValue)
                            : tag_type == TAG_FLOAT ? sizeof(double)
                            : tag_type == TAG_LONG  ? sizeof(int32_t)
                                                    : sizeof(int16_t);
  const size_t elements = BLOCK_BYTES / element;
  const int bits = every_bit ? static_cast<int>(unit) * 8 : 1;
  uint32_t offset = 0;
  for (size_t i = 0; i < elements; ++i) {
    for (int b = 0; b < bits; ++b) {
      ConvEntry e{};
      e.data_type = data_type;
      e.tag_type = tag_type;
      e.address = static_cast<uint16_t>(i * element / unit);
      e.length =
          every_bit ? static_cast<uint16_t>(b) : (data_type == DT_STRING ? STRING_LENGTH : 0);
      w.entries.push_back(e);
      w.positions.push_back(static_cast<uint32_t>(e.address * unit));
      w.offsets.push_back(offset);
      offset += static_cast<uint32_t>(value_size);
    }
  }
  if (tag_type == TAG_MESSAGE) {
    w.texts.resize(w.entries.size());
    for (size_t i = 0; i < w.entries.size(); ++i) {
      ConvEntry& e = w.entries[i];
      e.text_size = conv_entry_text_size(e.data_type, e.length);
      w.texts[i].assign(e.text_size + 1u, '\0');
      e.text = w.texts[i].data();
    }
  }
  w.values.resize(offset);
  return w;
}

void decode_block(benchmark::State& state, uint16_t data_type, uint16_t tag_type, unsigned unit,
                  size_t element, bool every_bit) {
  Workload w = make_workload(data_type, tag_type, unit, element, every_bit);
  const ConvReporter reporter{nullptr, "bench", nullptr, nullptr};
  const size_t n = w.entries.size();
  const ConvEntry* entries = w.entries.data();
  const uint32_t* positions = w.positions.data();
  const uint32_t* offsets = w.offsets.data();
  const uint8_t* data = w.data.data();
  unsigned char* values = w.values.data();
  const ConvBlock block = w.block;
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t p = positions[i];
      convert_from_block(values + offsets[i], data + p, BLOCK_BYTES - p, entries[i], block,
                         reporter);
    }
    benchmark::DoNotOptimize(w.values.data());
    benchmark::ClobberMemory();
  }
  state.counters["entries"] = static_cast<double>(n);
}

// The baseline: the same words, at the same entries' positions, copied into
// int16 slots without any conversion.
void plain_word_copy(benchmark::State& state) {
  Workload w = make_workload(DT_WORD, TAG_ANALOG, 2, 2, false);
  const size_t n = w.entries.size();
  const uint32_t* positions = w.positions.data();
  const uint32_t* offsets = w.offsets.data();
  const uint8_t* data = w.data.data();
  unsigned char* values = w.values.data();
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = data + positions[i];
      const int16_t v = static_cast<int16_t>(p[0] | p[1] << 8);
      memcpy(values + offsets[i], &v, sizeof v);
    }
    benchmark::DoNotOptimize(w.values.data());
    benchmark::ClobberMemory();
  }
  state.counters["entries"] = static_cast<double>(n);
}

// For reference: one sequential copy of the whole data area into the slots.
void sequential_word_copy(benchmark::State& state) {
  std::vector<uint8_t> data(BLOCK_BYTES, 0x5A);
  std::vector<int16_t> slots(BLOCK_BYTES / 2);
  const uint8_t* bytes = data.data();
  int16_t* out = slots.data();
  const size_t n = slots.size();
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i)
      out[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    benchmark::DoNotOptimize(slots.data());
    benchmark::ClobberMemory();
  }
  state.counters["entries"] = static_cast<double>(slots.size());
}

void register_cases() {
  benchmark::RegisterBenchmark(BASELINE, plain_word_copy);
  benchmark::RegisterBenchmark("sequential_word_copy", sequential_word_copy);
  benchmark::RegisterBenchmark("DT_WORD", decode_block, DT_WORD, TAG_ANALOG, 2u, size_t{2}, false);
  // The same 16-bit words through the general (called) path.
  benchmark::RegisterBenchmark("DT_LOW14", decode_block, DT_LOW14, TAG_ANALOG, 2u, size_t{2},
                               false);
  benchmark::RegisterBenchmark("DT_FLOAT_WS", decode_block, DT_FLOAT_WS, TAG_FLOAT, 2u, size_t{4},
                               false);
  benchmark::RegisterBenchmark("DT_BIT_every_bit", decode_block, DT_BIT, TAG_DIGITAL, 2u, size_t{2},
                               true);
  benchmark::RegisterBenchmark("DT_BCD4", decode_block, DT_BCD4, TAG_ANALOG, 2u, size_t{2}, false);
  benchmark::RegisterBenchmark("DT_STRING_16", decode_block, DT_STRING, TAG_MESSAGE, 2u,
                               size_t{STRING_LENGTH}, false);
  benchmark::RegisterBenchmark("DT_WORD_to_message", decode_block, DT_WORD, TAG_MESSAGE, 2u,
                               size_t{2}, false);
}

// Keeps ns per entry of every case for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const auto it = r.counters.find("entries");
      if (it == r.counters.end()) continue;
      ns_per_entry_[r.benchmark_name()] = r.GetAdjustedCPUTime() / it->second.value;
      order_.push_back(r.benchmark_name());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void summary() const {
    const auto base = ns_per_entry_.find(BASELINE);
    if (base == ns_per_entry_.end()) return;
    printf("\n%-24s %12s %14s\n", "case", "ns/entry", "x plain loop");
    for (const std::string& name : order_) {
      const double ns = ns_per_entry_.at(name);
      printf("%-24s %12.3f %14.2f\n", name.c_str(), ns, ns / base->second);
    }
    printf("target: DT_WORD at most 3x %s\n", BASELINE);
  }

 private:
  std::map<std::string, double> ns_per_entry_;
  std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char** argv) {
  register_cases();
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summary();
  benchmark::Shutdown();
  return 0;
}
