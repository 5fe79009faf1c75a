// CRC-32 as zlib computes it (reflected polynomial 0xEDB88320, initial and
// final xor 0xFFFFFFFF). Every checksum in the library's files is this.
#pragma once

#include <cstdint>

namespace velta::persist {

// CRC-32 of n bytes at p, continuing from `crc` (0 to start). Chaining
// calls over consecutive pieces equals one call over their concatenation;
// n = 0 returns crc unchanged. p may be NULL when n is 0.
std::uint32_t crc32_update(std::uint32_t crc, const void* p, std::uint64_t n) noexcept;

}  // namespace velta::persist
