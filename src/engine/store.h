// The chunk store: every token chunk of an engine, kept once under its
// 64-bit key.
//
// Layout: `recs` in insertion order (an index never changes) plus an
// open-addressing table of two parallel arrays (slot_keys, slot_recs),
// linear probing, load at most 0.7, key 0 marks an empty slot.
// Invariants: every record is reachable from exactly one slot; a key names
// exactly one content (a put whose key is taken by other contents moves to
// another key, deterministically); token arrays never move, so pointers
// handed out stay valid for the store's life (borrowed ones until the
// mapping is released). Records themselves may move when `recs` grows.
#pragma once

#include <cstdint>

#include "velta.h"

struct vl_chunk {
  std::uint64_t key;       // never 0
  const std::uint32_t* toks;  // owned copy, or into the mapping when borrowed
  std::uint32_t n;         // token count
  std::uint64_t byte_len;  // cached decoded length of the whole chunk
  std::uint8_t byte_len_valid;
  std::uint8_t borrowed;
};

namespace velta::store {

// The record stored under `key`, or NULL. The pointer is valid until the
// next put into the store; the engine uses it to read and fill the cached
// byte length.
vl_chunk* find(vl_store* store, std::uint64_t key) noexcept;

}  // namespace velta::store
