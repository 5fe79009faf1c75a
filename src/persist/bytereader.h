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

namespace velta::persist {

struct bytereader {
  const std::uint8_t* data = nullptr;  // borrowed input
  std::uint64_t size = 0;              // readable bytes at data
  std::uint64_t pos = 0;               // next byte to read
  int failed = 0;                      // sticky
};

// Next byte / u32 / u64, or 0 on failure. ru64 is two ru32 calls, low half
// first; a half that fails reads as 0.
std::uint8_t ru8(bytereader* r) noexcept;
std::uint32_t ru32(bytereader* r) noexcept;
std::uint64_t ru64(bytereader* r) noexcept;

// Pointer to the next n bytes (into data) and advances past them; NULL
// and failed when fewer than n bytes remain. n = 0 gives data + pos.
const std::uint8_t* rbytes(bytereader* r, std::uint64_t n) noexcept;

// Decodes a name (length byte 0..63, then the bytes) into a process-wide
// 64-byte buffer and returns it NUL-terminated; NULL on failure (length
// byte past the end or above 63, or bytes past the end; pos then stays
// after the length byte). Valid until the next rname anywhere: copy it.
const char* rname(bytereader* r) noexcept;

}  // namespace velta::persist
