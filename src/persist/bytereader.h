// bytereader: the bounded little-endian reader every file format of the
// library is decoded with (encodings in persist/bytebuf.h).
//
// Sticky failure: the first read that would pass `size` sets `failed` and
// leaves pos where it was; every later read returns 0 / NULL and does not
// move. Decoders read field by field and check `failed` at checkpoints.
// Bounds checks never overflow; numbers are read in place from the
// caller's memory, which may be a read-only file mapping.
#pragma once

#include <cstdint>

#include "util/limits.h"

namespace velta::persist {

// The little-endian u32 / u64 at p (no bounds check: p must hold 4 / 8
// bytes).
inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}
inline std::uint64_t load_u64(const std::uint8_t* p) noexcept {
  return std::uint64_t{load_u32(p)} | std::uint64_t{load_u32(p + 4)} << 32;
}

struct bytereader {
  const std::uint8_t* data = nullptr;  // borrowed input
  std::uint64_t size = 0;              // readable bytes at data
  std::uint64_t pos = 0;               // next byte to read
  int failed = 0;                      // sticky
};

// Next byte / u32 / u64, or 0 on failure. read_u64 is two read_u32 calls, low half
// first; a half that fails reads as 0.
std::uint8_t read_u8(bytereader* r) noexcept;
std::uint32_t read_u32(bytereader* r) noexcept;
std::uint64_t read_u64(bytereader* r) noexcept;

// Pointer to the next n bytes (into data) and advances past them; NULL
// and failed when fewer than n bytes remain. n = 0 gives data + pos.
const std::uint8_t* read_bytes(bytereader* r, std::uint64_t n) noexcept;

// Decodes a name (length byte 0..63, then the bytes) into `out`,
// NUL-terminated; true on success. False on failure (length byte past the
// end or above 63, or bytes past the end; pos then stays after the length
// byte), with `out` unspecified.
bool read_name(bytereader* r, char (&out)[kNameBufBytes]) noexcept;

}  // namespace velta::persist
