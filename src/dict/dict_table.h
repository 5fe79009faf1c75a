// Hash-table and buffer internals shared by the dictionary's own files
// (core, restore/install, training). Not for other subsystems: they go
// through dict.h or the C functions.
#pragma once

#include <bit>
#include <cstring>

#include "dict/dict.h"

namespace velta::dict {

// New room for `have` grown by doubling until it reaches `need`; 0 counts as 1.
inline std::uint64_t doubled(std::uint64_t have, std::uint64_t need) noexcept {
  std::uint64_t c = have != 0 ? have : 1;
  while (c < need) c *= 2;
  return c;
}

// a[0, n) == b[0, n); up to 16 bytes without a library call: entries are
// short, and a call costs more than the compare. Loads never pass n.
inline bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n) noexcept {
  auto load8 = [](const std::uint8_t* q) {
    std::uint64_t v;
    std::memcpy(&v, q, 8);
    return v;
  };
  auto load4 = [](const std::uint8_t* q) {
    std::uint32_t v;
    std::memcpy(&v, q, 4);
    return v;
  };
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    return ((load8(a) ^ load8(b)) | (load8(a + n - 8) ^ load8(b + n - 8))) == 0;
  }
  if (n >= 4) return ((load4(a) ^ load4(b)) | (load4(a + n - 4) ^ load4(b + n - 4))) == 0;
  if (n == 0) return true;
  // 1 to 3 bytes: positions 0, n / 2 and n - 1 cover them all.
  return ((a[0] ^ b[0]) | (a[n / 2] ^ b[n / 2]) | (a[n - 1] ^ b[n - 1])) == 0;
}

// Bytes a slot key holds besides the length; texts up to this long are
// matched by the key alone.
inline constexpr std::uint64_t kKeyBytes = 7;

// The 8 bytes at p as a little-endian value: byte i in bits 8i..8i+7 on any
// host, as slot_key builds it.
inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// The length n in the top byte and the first min(n, 7) bytes below it, byte
// i in bits 8i..8i+7. Never 0 for n >= 1. Loads stay inside p[0, n).
inline std::uint64_t slot_key(const std::uint8_t* p, std::uint64_t n) noexcept {
  const std::uint64_t k = n < kKeyBytes ? n : kKeyBytes;
  std::uint64_t v = 0;
  if (k >= 4) {
    // Two overlapping 4-byte loads; the bytes they share are equal.
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + k - 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      a = __builtin_bswap32(a);
      b = __builtin_bswap32(b);
    }
    v = a | std::uint64_t{b} << (8 * (k - 4));
  } else if (k != 0) {
    v = p[0] | std::uint64_t{p[k / 2]} << (8 * (k / 2)) | std::uint64_t{p[k - 1]} << (8 * (k - 1));
  }
  return v | n << 56;
}

// slot_key(p, n) for 1 <= n <= 64 when 8 bytes at p may be read.
inline std::uint64_t slot_key_wide(const std::uint8_t* p, std::uint64_t n) noexcept {
  const std::uint64_t k = n < kKeyBytes ? n : kKeyBytes;
  return (load_le64(p) & (~std::uint64_t{0} >> (64 - 8 * k))) | n << 56;
}

// Table hash of a text of up to 7 bytes from its key: a multiply between
// two folds, so every key bit reaches the low bits that pick the slot.
inline std::uint64_t short_hash(std::uint64_t key) noexcept {
  const std::uint64_t h = (key ^ (key >> 31)) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}

// hash_bytes(p, n) given fnv == FNV-1a of the same n bytes: callers that
// grow a span run by run keep the FNV state and ask for the table hash of
// each span.
inline std::uint64_t span_hash(std::uint64_t fnv, const std::uint8_t* p, std::uint64_t n) noexcept {
  return n <= kKeyBytes ? short_hash(slot_key(p, n)) : fnv;
}

// True when the slot holds the n bytes at p whose slot_key is `key`.
inline bool slot_holds(const std::uint8_t* text, const Slot& s, std::uint64_t key,
                       const std::uint8_t* p, std::uint64_t n) noexcept {
  return s.key == key &&
         (n <= kKeyBytes || same_bytes(text + s.off + kKeyBytes, p + kKeyBytes, n - kKeyBytes));
}

// The slot holding the n bytes at p (hash h), or the empty slot where they
// belong. REQUIRES: h == hash_bytes(p, n); the table has an empty slot.
Slot* tab_slot(const vl_dict& d, std::uint64_t h, const std::uint8_t* p, std::uint64_t n) noexcept;

// Doubles the table, moving occupied slots in id order. false (table
// unchanged) past kMaxSlots or on out of memory.
bool tab_grow(vl_dict& d) noexcept;

// Empties an occupied slot by backward-shift deletion.
void tab_erase(vl_dict& d, Slot* victim) noexcept;

// Fills the empty slot *s (found by tab_slot for the text at off) with the
// entry, first growing the table if it would otherwise lose its last empty
// slot (then *s is re-probed). Raises max_runs. false when full and the
// table cannot grow.
bool tab_fill(vl_dict& d, Slot*& s, std::uint64_t h, std::uint32_t off, std::uint32_t len,
              std::uint32_t id) noexcept;

// Sets the filter bits of every run prefix of the n bytes at p.
void prefix_add(vl_dict& d, const std::uint8_t* p, std::uint32_t n) noexcept;

// A zeroed filter sized for nslots, or null.
Buf<std::uint64_t> prefix_alloc(std::uint32_t nslots) noexcept;

// Offset of p inside d's text buffer, or -1 when p points elsewhere. Adding
// or installing may reallocate text, so a source pointing into it (a
// vl_dict_text or vl_dict__texts result handed back) must be re-derived
// after growth.
std::int64_t text_offset(const vl_dict& d, const std::uint8_t* p) noexcept;

// Makes text_cap >= need by doubling; src is re-pointed when it lay inside
// the old buffer. false (nothing changed) on out of memory.
bool grow_text(vl_dict& d, std::uint64_t need, const std::uint8_t*& src) noexcept;

// Makes cap >= need by doubling (clamped to 0xFFFFFFFF). false on out of
// memory or when need cannot fit.
bool grow_ids(vl_dict& d, std::uint64_t need) noexcept;

// Appends the n bytes as a new entry into the empty slot s that tab_slot
// returned for them. Returns the new id, or 0 with nothing changed.
std::uint32_t add_at(vl_dict& d, Slot* s, std::uint64_t h, const std::uint8_t* p,
                     std::uint64_t n) noexcept;

}  // namespace velta::dict
