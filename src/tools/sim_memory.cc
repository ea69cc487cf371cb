// zq sim: device memory, value layout and movers.
#include "tools/sim_memory.h"

#include <cmath>
#include <cstring>

namespace {

constexpr unsigned BITS_PER_BYTE = 8;
constexpr uint64_t XORSHIFT_MULTIPLIER = 0x2545F4914F6CDD1DULL;
constexpr uint64_t SEED_MIX = 0x9E3779B97F4A7C15ULL;
constexpr int RANDOM_BITS = 53;
constexpr double TWO_PI = 6.283185307179586;

// Bytes a value of the format takes; a narrower integer fills a whole unit.
unsigned value_bytes(SimFormat format, uint8_t unit_size) {
  switch (format) {
    case SimFormat::kUnit:
      return unit_size;
    case SimFormat::kInt16:
      return unit_size > 2 ? unit_size : 2;
    case SimFormat::kInt32:
      return unit_size > 4 ? unit_size : 4;
    case SimFormat::kFloat32:
      return 4;
    case SimFormat::kFloat64:
      return 8;
  }
  return 0;
}

bool is_float(SimFormat format) {
  return format == SimFormat::kFloat32 || format == SimFormat::kFloat64;
}

// Where a value of the format at unit i lies; false when it leaves the block.
bool locate(const SimMemory& m, uint32_t i, SimFormat format, uint8_t** p, unsigned* n) {
  if (m.unit_size == 0 || i >= m.count) return false;
  unsigned bytes = value_bytes(format, m.unit_size);
  size_t offset = size_t{i} * m.unit_size;
  if (offset + bytes > m.bytes.size()) return false;
  *p = const_cast<uint8_t*>(m.bytes.data()) + offset;
  *n = bytes;
  return true;
}

int64_t sign_extend(uint64_t v, unsigned bytes) {
  if (bytes >= 8) return static_cast<int64_t>(v);
  unsigned shift = 64 - bytes * BITS_PER_BYTE;
  return static_cast<int64_t>(v << shift) >> shift;
}

uint64_t to_integer(double value) {
  if (!std::isfinite(value)) return 0;
  // Rounded, then cut to 64 bits the way a two's-complement store cuts it.
  double r = std::nearbyint(value);
  if (r >= 9.2e18 || r <= -9.2e18) return 0;
  return static_cast<uint64_t>(static_cast<int64_t>(r));
}

double counter_next(const SimMover& m, double v) {
  v += m.step;
  if (v > m.max) return m.min;
  if (v < m.min) return m.max;
  return v;
}

double ramp_next(const SimMover& m, double v, int8_t* direction) {
  if (*direction == 0) *direction = 1;
  v += *direction * m.step;
  if (v >= m.max) {
    *direction = -1;
    return m.max;
  }
  if (v <= m.min) {
    *direction = 1;
    return m.min;
  }
  return v;
}

double clamp(double v, double lo, double hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

double next_value(SimMoverState* s, size_t e, double current, uint64_t elapsed_ms,
                  SimRandom* random) {
  const SimMover& m = s->mover;
  switch (m.kind) {
    case SimMoverKind::kCounter:
      return counter_next(m, current);
    case SimMoverKind::kRamp:
      return ramp_next(m, current, &s->direction[e]);
    case SimMoverKind::kSine:
      return m.offset +
             m.amplitude * std::sin(TWO_PI * static_cast<double>(elapsed_ms) / m.period_ms);
    case SimMoverKind::kRandom:
      return clamp(current + m.step * sim_random_unit(random), m.min, m.max);
    case SimMoverKind::kConstant:
      return m.value;
  }
  return current;
}

// On a bit block a mover's number becomes one bit: constant sets it when not
// zero, a sine when above its offset, the others give their lowest bit.
bool bit_of(const SimMover& m, double v) {
  switch (m.kind) {
    case SimMoverKind::kConstant:
      return v != 0;
    case SimMoverKind::kSine:
      return v > m.offset;
    default:
      return (to_integer(v) & 1u) != 0;
  }
}

}  // namespace

SimMemory sim_memory_make(const SimSourceConfig& source) {
  SimMemory m;
  m.start = source.start;
  m.count = source.count;
  m.unit_size = source.unit_size;
  m.byte_swap = source.byte_swap;
  m.low_bit_first = source.low_bit_first;
  m.bytes.assign(sim_block_bytes(source.count, source.unit_size), 0);
  return m;
}

void sim_memory_apply_inits(SimMemory* memory, const SimSourceConfig& source) {
  for (const SimInit& init : source.inits) {
    uint32_t i = static_cast<uint32_t>(init.at - memory->start);
    if (!init.bytes.empty()) {
      size_t offset = size_t{i} * memory->unit_size;
      for (size_t k = 0; k < init.bytes.size() && offset + k < memory->bytes.size(); ++k) {
        memory->bytes[offset + k] = init.bytes[k];
      }
      continue;
    }
    uint16_t step = sim_format_units(init.format, memory->unit_size);
    for (double v : init.values) {
      sim_memory_set_value(memory, i, init.format, v);
      i += step;
    }
  }
}

uint64_t sim_bit_mask(bool low_bit_first, unsigned bit, unsigned width) {
  if (bit >= width) return 0;
  return low_bit_first ? (uint64_t{1} << bit) : (uint64_t{1} << (width - 1 - bit));
}

bool sim_memory_bit(const SimMemory& m, uint32_t i) {
  if (i >= m.count) return false;
  uint64_t mask = sim_bit_mask(m.low_bit_first, i % BITS_PER_BYTE, BITS_PER_BYTE);
  return (m.bytes[i / BITS_PER_BYTE] & mask) != 0;
}

void sim_memory_set_bit(SimMemory* m, uint32_t i, bool value) {
  if (i >= m->count) return;
  uint8_t mask =
      static_cast<uint8_t>(sim_bit_mask(m->low_bit_first, i % BITS_PER_BYTE, BITS_PER_BYTE));
  uint8_t& b = m->bytes[i / BITS_PER_BYTE];
  b = static_cast<uint8_t>(value ? (b | mask) : (b & ~mask));
}

uint64_t sim_load(const uint8_t* p, unsigned n, bool big_endian) {
  uint64_t v = 0;
  for (unsigned k = 0; k < n; ++k) {
    unsigned at = big_endian ? k : n - 1 - k;
    v = (v << BITS_PER_BYTE) | p[at];
  }
  return v;
}

void sim_store(uint8_t* p, unsigned n, uint64_t value, bool big_endian) {
  for (unsigned k = 0; k < n; ++k) {
    unsigned at = big_endian ? n - 1 - k : k;
    p[at] = static_cast<uint8_t>(value);
    value >>= BITS_PER_BYTE;
  }
}

uint64_t sim_memory_unit(const SimMemory& m, uint32_t i) {
  if (m.unit_size == 0) return sim_memory_bit(m, i) ? 1 : 0;
  if (i >= m.count) return 0;
  return sim_load(m.bytes.data() + size_t{i} * m.unit_size, m.unit_size, m.byte_swap);
}

void sim_memory_set_unit(SimMemory* m, uint32_t i, uint64_t value) {
  if (m->unit_size == 0) {
    sim_memory_set_bit(m, i, (value & 1u) != 0);
    return;
  }
  if (i >= m->count) return;
  sim_store(m->bytes.data() + size_t{i} * m->unit_size, m->unit_size, value, m->byte_swap);
}

bool sim_memory_value(const SimMemory& m, uint32_t i, SimFormat format, double* value) {
  if (m.unit_size == 0) {
    if (i >= m.count) return false;
    *value = sim_memory_bit(m, i) ? 1.0 : 0.0;
    return true;
  }
  uint8_t* p = nullptr;
  unsigned n = 0;
  if (!locate(m, i, format, &p, &n)) return false;
  uint64_t raw = sim_load(p, n, m.byte_swap);
  if (format == SimFormat::kFloat32) {
    uint32_t bits = static_cast<uint32_t>(raw);
    float f;
    memcpy(&f, &bits, sizeof f);
    *value = f;
  } else if (format == SimFormat::kFloat64) {
    double d;
    memcpy(&d, &raw, sizeof d);
    *value = d;
  } else if (format == SimFormat::kUnit) {
    *value = static_cast<double>(raw);
  } else {
    *value = static_cast<double>(sign_extend(raw, n));
  }
  if (is_float(format) && !std::isfinite(*value)) *value = 0;
  return true;
}

bool sim_memory_set_value(SimMemory* m, uint32_t i, SimFormat format, double value) {
  if (m->unit_size == 0) {
    if (i >= m->count) return false;
    sim_memory_set_bit(m, i, value != 0);
    return true;
  }
  uint8_t* p = nullptr;
  unsigned n = 0;
  if (!locate(*m, i, format, &p, &n)) return false;
  uint64_t raw = 0;
  if (format == SimFormat::kFloat32) {
    float f = static_cast<float>(value);
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    raw = bits;
  } else if (format == SimFormat::kFloat64) {
    memcpy(&raw, &value, sizeof raw);
  } else {
    raw = to_integer(value);
  }
  sim_store(p, n, raw, m->byte_swap);
  return true;
}

void sim_random_seed(SimRandom* r, uint64_t seed) {
  r->state = (seed ^ SEED_MIX) | 1u;
}

double sim_random_unit(SimRandom* r) {
  uint64_t x = r->state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  r->state = x;
  uint64_t v = (x * XORSHIFT_MULTIPLIER) >> (64 - RANDOM_BITS);
  return std::ldexp(static_cast<double>(v), 1 - RANDOM_BITS) - 1.0;
}

std::vector<SimMoverState> sim_movers_make(const std::vector<SimMover>& movers) {
  std::vector<SimMoverState> out;
  for (const SimMover& m : movers) {
    out.push_back(SimMoverState{m, std::vector<int8_t>(m.count, 1)});
  }
  return out;
}

void sim_movers_step(SimMemory* m, std::vector<SimMoverState>* movers, uint64_t elapsed_ms,
                     SimRandom* random) {
  for (SimMoverState& s : *movers) {
    const SimMover& mv = s.mover;
    uint16_t step = sim_format_units(mv.format, m->unit_size);
    for (size_t e = 0; e < mv.count; ++e) {
      uint32_t i = static_cast<uint32_t>(mv.at - m->start) + static_cast<uint32_t>(e * step);
      double current = 0;
      if (!sim_memory_value(*m, i, mv.format, &current)) break;
      double v = next_value(&s, e, current, elapsed_ms, random);
      if (m->unit_size == 0) v = bit_of(mv, v) ? 1 : 0;
      sim_memory_set_value(m, i, mv.format, v);
    }
  }
}
