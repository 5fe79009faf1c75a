// Morton (Z-order) keys of three-dimensional points, for vl_morton_order.
//
// Each coordinate is quantised to 21 bits inside the points' own bounding
// box and the three values are interleaved into a 63-bit key: bit 3i is bit
// i of x, bit 3i + 1 bit i of y, bit 3i + 2 bit i of z; the top bit is 0.
#pragma once

#include <cstdint>

namespace velta::binary {

// One sort record: the key and the index of the point it belongs to.
struct MKey {
  std::uint64_t key;
  std::uint32_t index;
};

// Largest quantised coordinate (21 bits).
inline constexpr std::uint32_t kMortonMax = 0x1FFFFF;

// Moves bit i of the 21-bit value v to bit 3i.
constexpr std::uint64_t morton_spread(std::uint64_t v) noexcept {
  v &= kMortonMax;
  v = (v | v << 32) & 0x1F00000000FFFFull;
  v = (v | v << 16) & 0x1F0000FF0000FFull;
  v = (v | v << 8) & 0x100F00F00F00F00Full;
  v = (v | v << 4) & 0x10C30C30C30C30C3ull;
  v = (v | v << 2) & 0x1249249249249249ull;
  return v;
}

// The 63-bit key of three quantised coordinates.
constexpr std::uint64_t morton_key(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
  return morton_spread(x) | morton_spread(y) << 1 | morton_spread(z) << 2;
}

// Quantises t = (c - min) / extent to 0..kMortonMax: below 0 and NaN give 0,
// above 1 gives kMortonMax, otherwise t * kMortonMax truncated.
std::uint32_t morton_quantise(double t) noexcept;

// qsort comparator on two MKey records: the smaller key first (unsigned),
// equal keys by the smaller index; -1, 0 or 1. Records are unique by index,
// so the order is total.
int mkey_cmp(const void* a, const void* b) noexcept;

// Writes to out[0, count) the indices of the points in Z order (ties by
// index). REQUIRES: points holds 3 * count floats, count > 0, out holds
// count entries. Throws std::bad_alloc before writing to out.
void order(const float* points, std::uint32_t count, std::uint32_t* out);

}  // namespace velta::binary
