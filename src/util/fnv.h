// The 64-bit string hash shared by chunk keys, dictionary slots and the
// training pair table: FNV-1a with the usual prime but our own start value.
// Chunk keys are stored in snapshots, so kFnvStart and kFnvPrime are part
// of the file format and must never change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velta {

inline constexpr std::uint64_t kFnvStart = 0x14650FB0739D0383ull;
inline constexpr std::uint64_t kFnvPrime = 0x100000001B3ull;

// Continues the hash `h` over n bytes. Feeding a text in pieces gives the
// same value as feeding it whole, which lets callers extend a span's hash
// instead of rehashing it.
inline std::uint64_t fnv1a_extend(std::uint64_t h, const std::uint8_t* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= kFnvPrime;
  }
  return h;
}

inline std::uint64_t fnv1a(const std::uint8_t* p, std::size_t n) noexcept {
  return fnv1a_extend(kFnvStart, p, n);
}

}  // namespace velta
