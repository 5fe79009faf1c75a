// The chunk store: every token chunk of an engine, kept once under its
// 64-bit key.
//
// Layout: `recs` in insertion order (an index never changes) plus an
// open-addressing table of two parallel arrays (slot_keys, slot_recs),
// linear probing from key & (slots - 1), load at most 0.7, key 0 marks an
// empty slot.
// Invariants: every record is reachable from exactly one slot; a key names
// exactly one content; token arrays never move, so pointers handed out
// stay valid for the store's life (borrowed ones until the mapping is
// released). Records themselves move when `recs` grows.
//
// Owned token arrays are carved front to back from slabs, mappings that
// grow from 256 KiB to 32 MiB and are unmapped with the store (records are
// never removed one by one), so most puts make no allocation call and a
// large store sits on few, large pages; see store.cc.
//
// Keys. A chunk's natural key is FNV-1a (util/fnv.h start value) over its
// ids as little-endian u32 bytes, 0 mapped to 1. A put whose key already
// names different contents tries next_key(key), then next_key of that, ...
// until it reaches identical contents or a free key. The resolution
// depends only on the keys already present, so re-putting chunks in
// insertion order (what a snapshot load does) reproduces every key, and a
// store without collisions holds only natural keys. Both functions are
// part of the snapshot format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "velta.h"

struct vl_chunk {
  std::uint64_t key;            // never 0
  const std::uint32_t* toks;    // owned copy (in a slab), or into the mapping when borrowed
  std::uint32_t n;              // token count
  std::uint64_t byte_len;       // cached decoded length of the whole chunk
  std::uint8_t byte_len_valid;  // 0 unknown, 1 cached, 2 claimed by a loaded file, unchecked
  std::uint8_t borrowed;
  // Borrowed tokens are checked at first use, not when the file is
  // mapped: 0 trusted (made here, copied and keyed, or checked), 1 not yet
  // checked against the key, 2 checked and damaged (never to be read).
  std::uint8_t unchecked;
};

struct vl_store {
  vl_store() = default;
  vl_store(const vl_store&) = delete;
  vl_store& operator=(const vl_store&) = delete;
  // Unmaps the slabs of owned token arrays, then the recorded mapping.
  ~vl_store();

  std::unique_ptr<vl_chunk[]> recs;            // insertion order
  std::uint32_t count = 0;                     // records in use
  std::uint32_t cap = 0;                       // records allocated: 4096, doubled when full
  std::unique_ptr<std::uint64_t[]> slot_keys;  // 0 = empty
  std::unique_ptr<std::uint32_t[]> slot_recs;  // index into recs
  std::uint32_t slots = 0;                     // power of two: 8192, doubled
  std::uint64_t deduped = 0;                   // puts that found identical contents
  std::uint64_t token_bytes = 0;               // 4 x tokens over all records
  void* map = nullptr;                         // snapshot mapping borrowed chunks point into
  std::uint64_t map_len = 0;                   // bytes
  void* map_aux = nullptr;         // handed back with the mapping; unused by the library
  std::uint64_t mapped_bytes = 0;  // 4 x tokens over borrowed records
  // Dictionary size when unchecked chunks were entered: an id above it and
  // below the byte tokens was not assigned in the file, so marks damage.
  std::uint32_t unchecked_id_limit = 0;
  void* slabs = nullptr;          // newest slab first, linked through their headers
  std::uint32_t* room = nullptr;  // first free token of the newest slab
  std::uint64_t room_left = 0;    // tokens free from `room`
  std::uint64_t next_slab = 0;    // bytes of the next slab; 0 before the first
  std::uintptr_t mapped_to = 0;   // pages of the newest slab below this are mapped
};

namespace velta::store {

inline constexpr std::uint32_t kInitialCap = 4096;
inline constexpr std::uint32_t kInitialSlots = 8192;

// A new empty store (cap 4096, 8192 zeroed slots), or NULL on out of memory.
vl_store* create() noexcept;

// Natural key of n ids: byte-by-byte FNV-1a over their little-endian
// bytes, 0 becoming 1. ~4 cycles per byte (the definition is a serial
// chain; this only avoids per-byte loads).
std::uint64_t chunk_key(const std::uint32_t* toks, std::uint64_t n) noexcept;

// chunk_key of m id arrays at once, keys[i] for toks[i][0, ns[i]): the
// same values, hashed four chains side by side (up to four times the
// throughput when the arrays are many and similar in length).
void chunk_keys(const std::uint32_t* const* toks, const std::uint64_t* ns, std::size_t m,
                std::uint64_t* keys) noexcept;

// chunk_keys of m arrays of byte tokens given by their bytes: keys[i] is
// the key of the ids 0xFFFFFF00 + bytes[i][k] for k in [0, ns[i]).
void byte_chunk_keys(const std::uint8_t* const* bytes, const std::uint64_t* ns, std::size_t m,
                     std::uint64_t* keys) noexcept;

// The key tried after `key` when it names other contents: a fixed
// bijective 64-bit mix, 0 becoming 1.
std::uint64_t next_key(std::uint64_t key) noexcept;

// Stores a copy of the n ids unless identical contents are stored, and
// returns the key naming them; counts a dedupe when found. 0 on out of
// memory, when n exceeds 2^32 - 1, when the store holds 2^32 - 1 records,
// or toks is NULL with n > 0; nothing changes then.
std::uint64_t put(vl_store* store, const std::uint32_t* toks, std::uint64_t n) noexcept;

// put, given natural_key == chunk_key(toks, n) already computed (chunk_keys
// computes several at once). A test key function, when set, overrides it.
std::uint64_t put_keyed(vl_store* store, std::uint64_t natural_key, const std::uint32_t* toks,
                        std::uint64_t n) noexcept;

// put_keyed of the byte tokens of bytes[0, n) (ids 0xFFFFFF00 + b), given
// their natural key (byte_chunk_keys): new contents are widened straight
// into the store's memory, stored ones compared against the bytes, so no
// token copy of the data is made. Same results and failures as put_keyed.
std::uint64_t put_byte_tokens(vl_store* store, std::uint64_t natural_key, const std::uint8_t* bytes,
                              std::uint64_t n) noexcept;

// Registers n ids under the given key without copying (borrowed). Returns
// key when it was free (new record) or already names identical contents
// (a dedupe). 0 when the key names other contents, key is 0, or on out of
// memory; nothing changes then.
std::uint64_t put_borrowed(vl_store* store, std::uint64_t key, const std::uint32_t* toks,
                           std::uint32_t n) noexcept;

// The key a put of these n ids would name them by now: the first key of
// their chain (natural key, then next_key ...) that is free or already
// names identical contents. 0 when the chain is exhausted. Lets a loader
// check borrowed chunks against their stored keys without copying them.
std::uint64_t key_for(const vl_store* store, const std::uint32_t* toks, std::uint64_t n) noexcept;

// The record stored under `key`, or NULL. The pointer is valid until the
// next put into the store; the engine uses it to read and fill the cached
// byte length.
vl_chunk* find(vl_store* store, std::uint64_t key) noexcept;

// Checks an unchecked chunk once and caches the outcome: its key must be
// on the chain of its tokens' natural key (every key before it naming other
// contents) and every id must be at most unchecked_id_limit or a byte
// token. True for a trusted or good chunk; false, now and on every later
// call, for a damaged one. Touches the chunk's tokens only the first time.
bool verify(vl_store* store, vl_chunk* chunk) noexcept;

// Unmaps the recorded mapping and clears it. Borrowed records keep
// pointing into it and must not be read afterwards.
void unmap(vl_store* store) noexcept;

// Structure check: slots a power of two, load within 0.7, count <= cap,
// totals consistent. Deep also checks that every record is found by its
// key from exactly one slot and that keys are distinct. Deep is O(slots).
bool check_invariants(const vl_store* store, bool deep) noexcept;

namespace testing {
// Replaces the natural key function (NULL restores FNV-1a), to force
// collisions.
using key_fn = std::uint64_t (*)(const std::uint32_t* toks, std::uint64_t n);
void set_key_fn(key_fn fn) noexcept;
}  // namespace testing

}  // namespace velta::store
