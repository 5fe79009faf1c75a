// bytebuf: the growable little-endian output buffer every file format of
// the library is written with.
//
// Sticky failure: the first failed growth (heap refused, capacity past
// 2^63, or a fixed buffer asked to grow) sets `failed`; from then on every
// append is skipped and make_room returns -1, and the bytes already written
// stay valid. Writers append field by field without checks and look at
// `failed` once, at the end.
//
// Storage: an all-zero bytebuf is a valid empty buffer; its heap storage
// comes from malloc/realloc and belongs to the user, who frees it with
// free_buffer (or std::free(data)). Capacities of heap buffers are 4096 x 2^k.
// A caller may instead point it at a fixed array with fixed_buf(): that
// array is never reallocated or freed; a write that does not fit fails.
//
// Encodings: u32 as 4 bytes little-endian; u64 as the low u32 then the high
// u32; a name as one length byte m (0..63) then m bytes, no terminator.
#pragma once

#include <cstdint>

#include "util/limits.h"

namespace velta::persist {

// Writes v little-endian at p (no bounds check: p must hold 4 / 8 bytes).
inline void store_u32(std::uint8_t* p, std::uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void store_u64(std::uint8_t* p, std::uint64_t v) noexcept {
  store_u32(p, static_cast<std::uint32_t>(v));
  store_u32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

struct bytebuf {
  std::uint8_t* data = nullptr;  // storage: malloc'd, or a caller's fixed array
  std::uint64_t len = 0;         // bytes written
  std::uint64_t cap = 0;         // bytes available at data
  int failed = 0;                // sticky; never cleared
  int fixed = 0;                 // 1: data is the caller's array; never grown or freed
};

// A buffer writing into the caller's array of `cap` bytes.
inline bytebuf fixed_buf(std::uint8_t* array, std::uint64_t cap) noexcept {
  return bytebuf{array, 0, cap, 0, 1};
}

// 0 when n more bytes fit after len, growing the storage if needed (from
// 4096, doubling, up to 2^63); -1 when the buffer has failed or cannot
// grow (then failed is set and the old storage is untouched). n = 0 on an
// empty buffer allocates nothing.
int make_room(bytebuf* b, std::uint64_t n) noexcept;

// Appends, each after its own make_room; skipped when that fails.
void put_u8(bytebuf* b, std::uint8_t v) noexcept;
void put_u32(bytebuf* b, std::uint32_t v) noexcept;
void put_u64(bytebuf* b, std::uint64_t v) noexcept;  // two put_u32: low half, then high
void put_bytes(bytebuf* b, const void* p, std::uint64_t n) noexcept;  // n raw bytes

// Appends the name encoding of NUL-terminated `name`, keeping its first
// kNameMax (63) bytes (the length byte, then the bytes after a second make_room).
void put_name(bytebuf* b, const char* name) noexcept;

// Frees heap storage (not a fixed array) and resets the buffer to all zero.
void free_buffer(bytebuf* b) noexcept;

}  // namespace velta::persist
