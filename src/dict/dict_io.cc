// Restoring a dictionary from its exported arrays, and installing one entry
// under a chosen id.
//
// Snapshots store the raw arrays (text blob, offs, lens) because chunks hold
// ids: a restore must give every id back its exact bytes rather than
// re-adding entries. The hash table is rebuilt in id order, so a text held
// by several ids is looked up as the lowest of them.
#include <cassert>
#include <cstring>
#include <utility>

#include "dict/dict_table.h"

namespace velta::dict {

bool restore(vl_dict& d, const std::uint8_t* blob, std::uint64_t blob_len,
             const std::uint32_t* offs, const std::uint32_t* lens, std::uint32_t count) noexcept {
  if (blob_len > kMaxTextBytes) return false;
  if ((blob_len != 0 && blob == nullptr) || (count != 0 && (offs == nullptr || lens == nullptr)))
    return false;
  std::uint32_t max_len = 0;
  for (std::uint32_t j = 0; j < count; ++j) {
    if (std::uint64_t{offs[j]} + lens[j] > blob_len || lens[j] > kMaxEntryLen) return false;
    if (lens[j] > max_len) max_len = lens[j];
  }
  std::uint64_t nslots = kInitSlots;
  while (nslots * 7 < std::uint64_t{count} * 10) nslots *= 2;
  if (nslots > kMaxSlots) return false;

  // The new content is built aside and swapped in, so a failure anywhere
  // leaves d as it was, and blob/offs/lens may be d's own exported arrays.
  vl_dict nd;
  nd.text_cap = d.text_cap < blob_len ? doubled(d.text_cap, blob_len) : d.text_cap;
  std::uint64_t cap = d.cap < count ? doubled(d.cap, count) : d.cap;
  if (cap > 0xFFFFFFFFu) cap = 0xFFFFFFFFu;
  nd.cap = static_cast<std::uint32_t>(cap);
  if (!buf_resize(nd.text, nd.text_cap) || !buf_resize(nd.offs, nd.cap) ||
      !buf_resize(nd.lens, nd.cap))
    return false;
  nd.slots = buf_zeroed<Slot>(nslots);
  nd.prefixes = prefix_alloc(static_cast<std::uint32_t>(nslots));
  if (!nd.slots || !nd.prefixes) return false;
  nd.nslots = static_cast<std::uint32_t>(nslots);
  nd.prefix_bits_log2 = prefix_bits_log2_for(nd.nslots);
  if (blob_len != 0) std::memcpy(nd.text.get(), blob, blob_len);
  nd.text_used = blob_len;
  if (count != 0) {
    std::memcpy(nd.offs.get(), offs, std::uint64_t{count} * sizeof(std::uint32_t));
    std::memcpy(nd.lens.get(), lens, std::uint64_t{count} * sizeof(std::uint32_t));
  }
  nd.size = count;
  nd.max_len = max_len;
  // Restored content is mostly read, and reads need no table: the table is
  // filled at its first use (fill_pending), with nothing left to allocate.
  nd.table_pending = count != 0;
  nd.on_change = d.on_change;
  nd.on_change_ctx = d.on_change_ctx;
  d = std::move(nd);
  assert(check_invariants(d, true));
  return true;
}

void fill_pending(vl_dict& d) noexcept {
  if (!d.table_pending) return;
  d.table_pending = false;
  for (std::uint32_t id = 1; id <= d.size; ++id) {
    const std::uint32_t len = d.lens[id - 1];
    if (len == 0) continue;
    const std::uint32_t off = d.offs[id - 1];
    const std::uint8_t* p = d.text.get() + off;
    const std::uint64_t h = hash_bytes(p, len);
    Slot* s = tab_slot(d, h, p, len);
    if (s->id != 0) continue;  // an earlier id has these bytes and keeps them
    // restore sized the table for size at a load of at most 0.7, so this
    // never grows (and so never allocates or fails).
    const bool ok = tab_fill(d, s, h, off, len, id);
    assert(ok);
    (void)ok;
  }
  assert(check_invariants(d, true));
}

void install(vl_dict& d, std::uint32_t id, const std::uint8_t* p, std::uint32_t n) noexcept {
  ensure_table(d);
  if (id == 0 || id > kMaxId || n > kMaxEntryLen || (n != 0 && p == nullptr)) return;
  const std::uint64_t off = d.text_used;
  if (off + n > kMaxTextBytes) return;
  // Every allocation happens before the first change.
  if (!grow_ids(d, id) || !grow_text(d, off + n, p)) return;

  if (id <= d.size && d.lens[id - 1] != 0) {
    // The id is about to lose its bytes: drop the table's mapping of those
    // bytes to it, or a lookup would return an id that decodes to others.
    const std::uint8_t* old = d.text.get() + d.offs[id - 1];
    const std::uint32_t old_len = d.lens[id - 1];
    Slot* s = tab_slot(d, hash_bytes(old, old_len), old, old_len);
    if (s->id == id) tab_erase(d, s);
  }
  if (d.recs_built >= id) d.recs_built = id - 1;  // its read record is stale
  if (d.size < id) {
    for (std::uint32_t k = d.size; k < id - 1; ++k) d.offs[k] = d.lens[k] = 0;
    d.size = id;
  }
  if (n != 0) std::memmove(d.text.get() + off, p, n);
  const auto off32 = static_cast<std::uint32_t>(off);
  d.offs[id - 1] = off32;
  d.lens[id - 1] = n;
  d.text_used = off + n;
  if (n > d.max_len) d.max_len = n;
  if (n == 0) return;  // an empty id is never in the table

  const std::uint8_t* mine = d.text.get() + off;
  const std::uint64_t h = hash_bytes(mine, n);
  Slot* s = tab_slot(d, h, mine, n);
  if (s->id != 0) return;  // another id has these bytes; lookups keep it
  // A table that cannot grow leaves the bytes unmapped: the id still
  // decodes, lookups simply do not find it.
  if (!tab_fill(d, s, h, off32, n, id)) return;
  if (std::uint64_t{d.size} * 10 > std::uint64_t{d.nslots} * 7) (void)tab_grow(d);
  assert(check_invariants(d, true));
}

}  // namespace velta::dict
