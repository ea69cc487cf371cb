// zq sim: the simulated device memory of one data source, and its movers.
//
// The memory holds the block's bytes as the device sends them: unit i (device
// address start + i) at byte i x unit size; a value wider than one byte in
// big-endian order when the data source has byte_swap, little-endian
// otherwise (across all its bytes when it spans several units). In a
// bit-addressed block bit i lies in byte i / 8, counted from the low bit of
// the byte when low_bit_first is set, from the high bit otherwise.
#ifndef ZQ_TOOLS_SIM_MEMORY_H_
#define ZQ_TOOLS_SIM_MEMORY_H_

#include <stdint.h>

#include <vector>

#include "tools/sim_config.h"

struct SimMemory {
  uint16_t start = 0;
  uint16_t count = 0;
  uint8_t unit_size = 0;
  bool byte_swap = false;
  bool low_bit_first = false;
  std::vector<uint8_t> bytes;  // sim_block_bytes(count, unit_size)
};

// An empty (all-zero) memory of the data source's geometry.
SimMemory sim_memory_make(const SimSourceConfig& source);
// Writes the source's initial values ([[source.init]]) into the memory.
void sim_memory_apply_inits(SimMemory* memory, const SimSourceConfig& source);

// Mask of bit `bit` (0 = first) of a byte or unit of `width` bits.
uint64_t sim_bit_mask(bool low_bit_first, unsigned bit, unsigned width);

// Bit i of a bit-addressed block (i counted from the block's start).
bool sim_memory_bit(const SimMemory& m, uint32_t i);
void sim_memory_set_bit(SimMemory* m, uint32_t i, bool value);
// The numeric value of unit i (unsigned, in the memory's byte order), and back.
uint64_t sim_memory_unit(const SimMemory& m, uint32_t i);
void sim_memory_set_unit(SimMemory* m, uint32_t i, uint64_t value);

// Unsigned integer of n bytes (n <= 8) in big- or little-endian order.
uint64_t sim_load(const uint8_t* p, unsigned n, bool big_endian);
void sim_store(uint8_t* p, unsigned n, uint64_t value, bool big_endian);

// A value of the format from unit i on (true when it lies inside the block).
// Integers are signed except format unit; on a bit block format unit is a bit.
bool sim_memory_value(const SimMemory& m, uint32_t i, SimFormat format, double* value);
// Stores a value of the format: integers are rounded and cut to their width
// (two's complement), floats stored as IEEE numbers. False outside the block.
bool sim_memory_set_value(SimMemory* m, uint32_t i, SimFormat format, double value);

// Small deterministic random numbers for random walks (xorshift64*).
struct SimRandom {
  uint64_t state = 1;
};
void sim_random_seed(SimRandom* r, uint64_t seed);
// Uniform in [-1, 1].
double sim_random_unit(SimRandom* r);

// One mover and its per-element direction (ramps).
struct SimMoverState {
  SimMover mover;
  std::vector<int8_t> direction;
};
std::vector<SimMoverState> sim_movers_make(const std::vector<SimMover>& movers);
// One step of every mover at `elapsed_ms` since the simulator started.
// Movers read the current memory, so a value written from outside goes on
// moving from there (constant and sine set it outright).
void sim_movers_step(SimMemory* m, std::vector<SimMoverState>* movers, uint64_t elapsed_ms,
                     SimRandom* random);

#endif  // ZQ_TOOLS_SIM_MEMORY_H_
