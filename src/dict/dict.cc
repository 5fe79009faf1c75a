// Dictionary core: the open-addressing table from text to id, adding
// entries, lookups, learning runs and the invariant checker.
//
// The table is linear-probed from (low 32 bits of hash) & (nslots - 1) and
// grows by doubling when size * 10 > nslots * 7. One slot is always left
// empty so every probe ends, even when the table cannot grow.
#include <cassert>
#include <cstring>
#include <functional>

#include "dict/dict_table.h"
#include "util/fnv.h"

namespace velta::dict {

std::int64_t text_offset(const vl_dict& d, const std::uint8_t* p) noexcept {
  const std::uint8_t* b = d.text.get();
  if (b == nullptr || std::less<const std::uint8_t*>()(p, b) ||
      !std::less<const std::uint8_t*>()(p, b + d.text_cap))
    return -1;
  return p - b;
}

std::uint32_t count_runs(const std::uint8_t* p, std::uint64_t n) noexcept {
  if (n == 0) return 0;
  std::uint32_t runs = 1;
  for (std::uint64_t i = 1; i < n; ++i) runs += is_word(p[i]) != is_word(p[i - 1]);
  return runs;
}

std::uint64_t hash_bytes(const std::uint8_t* p, std::uint64_t n) noexcept {
  if (n <= kKeyBytes) return short_hash(slot_key(p, n));
  return fnv1a(p, static_cast<std::size_t>(n));
}

Buf<std::uint64_t> prefix_alloc(std::uint32_t nslots) noexcept {
  return buf_zeroed<std::uint64_t>((std::uint64_t{1} << prefix_bits_log2_for(nslots)) / 64);
}

void prefix_add(vl_dict& d, const std::uint8_t* p, std::uint32_t n) noexcept {
  std::uint64_t h = kFnvStart;
  std::uint64_t* f = d.prefixes.get();
  for (std::uint32_t i = 0; i < n; ++i) {
    h = (h ^ p[i]) * kFnvPrime;
    if (i + 1 == n || is_word(p[i + 1]) != is_word(p[i])) {
      std::uint64_t a, b;
      prefix_bits(d, span_hash(h, p, i + 1), a, b);
      f[a >> 6] |= std::uint64_t{1} << (a & 63);
      f[b >> 6] |= std::uint64_t{1} << (b & 63);
    }
  }
}

std::unique_ptr<vl_dict> make() {
  auto d = std::make_unique<vl_dict>();
  if (!buf_resize(d->text, kInitTextCap) || !buf_resize(d->offs, kInitCap) ||
      !buf_resize(d->lens, kInitCap))
    return nullptr;
  d->slots = buf_zeroed<Slot>(kInitSlots);
  d->prefixes = prefix_alloc(kInitSlots);
  if (!d->slots || !d->prefixes) return nullptr;
  d->prefix_bits_log2 = prefix_bits_log2_for(kInitSlots);
  d->text_cap = kInitTextCap;
  d->cap = kInitCap;
  d->nslots = kInitSlots;
  return d;
}

Slot* tab_slot(const vl_dict& d, std::uint64_t h, const std::uint8_t* p, std::uint64_t n) noexcept {
  const std::uint32_t mask = d.nslots - 1;
  const std::uint64_t key = slot_key(p, n);
  const std::uint8_t* text = d.text.get();
  Slot* slots = d.slots.get();
  for (std::uint32_t i = static_cast<std::uint32_t>(h) & mask;; i = (i + 1) & mask) {
    Slot* s = &slots[i];
    if (s->id == 0 || slot_holds(text, *s, key, p, n)) return s;
  }
}

bool tab_grow(vl_dict& d) noexcept {
  if (d.nslots >= kMaxSlots) return false;
  const std::uint32_t n = d.nslots * 2;
  Buf<Slot> fresh = buf_zeroed<Slot>(n);
  Buf<std::uint64_t> filter = prefix_alloc(n);
  if (!fresh || !filter) return false;
  const std::uint32_t mask = n - 1;
  const std::uint8_t* text = d.text.get();
  // Entries move in id order, which is the order they were learned in:
  // the common words a text teaches first then sit in their home slots,
  // and most lookups end at the first slot they look at.
  for (std::uint32_t id = 1; id <= d.size; ++id) {
    const std::uint32_t len = d.lens[id - 1];
    if (len == 0) continue;
    const std::uint8_t* p = text + d.offs[id - 1];
    const std::uint64_t h = hash_bytes(p, len);
    const Slot* s = tab_slot(d, h, p, len);
    if (s->id != id) continue;  // not mapped (another id has the bytes)
    // Texts in the table are distinct, so the first empty slot is the one
    // a full probe would find.
    std::uint32_t j = static_cast<std::uint32_t>(h) & mask;
    while (fresh[j].id != 0) j = (j + 1) & mask;
    fresh[j] = *s;
  }
  d.slots = std::move(fresh);
  d.nslots = n;
  d.prefixes = std::move(filter);
  d.prefix_bits_log2 = prefix_bits_log2_for(n);
  for (std::uint32_t i = 0; i < n; ++i)
    if (d.slots[i].id != 0)
      prefix_add(d, text + d.slots[i].off, static_cast<std::uint32_t>(d.slots[i].key >> 56));
  return true;
}

void tab_erase(vl_dict& d, Slot* victim) noexcept {
  // Backward-shift deletion: later members of the probe chain move up into
  // the hole when their home does not lie cyclically in (hole, their slot],
  // so no lookup ever stops early at the emptied slot.
  const std::uint32_t mask = d.nslots - 1;
  Slot* slots = d.slots.get();
  const std::uint8_t* text = d.text.get();
  auto hole = static_cast<std::uint32_t>(victim - slots);
  for (std::uint32_t j = (hole + 1) & mask; slots[j].id != 0; j = (j + 1) & mask) {
    const std::uint32_t home =
        static_cast<std::uint32_t>(hash_bytes(text + slots[j].off, slots[j].key >> 56)) & mask;
    const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (!stays) {
      slots[hole] = slots[j];
      hole = j;
    }
  }
  slots[hole] = Slot{};
  --d.used_slots;
}

bool tab_fill(vl_dict& d, Slot*& s, std::uint64_t h, std::uint32_t off, std::uint32_t len,
              std::uint32_t id) noexcept {
  if (d.used_slots + 1 >= d.nslots) {
    if (!tab_grow(d)) return false;
    s = tab_slot(d, h, d.text.get() + off, len);
  }
  *s = Slot{slot_key(d.text.get() + off, len), id, off};
  ++d.used_slots;
  const std::uint32_t runs = count_runs(d.text.get() + off, len);
  if (runs > d.max_runs) d.max_runs = runs;
  prefix_add(d, d.text.get() + off, len);
  return true;
}

bool grow_text(vl_dict& d, std::uint64_t need, const std::uint8_t*& src) noexcept {
  if (need <= d.text_cap) return true;
  const std::int64_t inside = text_offset(d, src);
  const std::uint64_t cap = doubled(d.text_cap, need);
  if (!buf_resize(d.text, cap)) return false;
  d.text_cap = cap;
  if (inside >= 0) src = d.text.get() + inside;
  return true;
}

bool grow_ids(vl_dict& d, std::uint64_t need) noexcept {
  if (need <= d.cap) return true;
  std::uint64_t cap = doubled(d.cap, need);
  if (cap > 0xFFFFFFFFu) cap = 0xFFFFFFFFu;
  if (cap < need) return false;
  if (!buf_resize(d.offs, cap) || !buf_resize(d.lens, cap)) return false;
  d.cap = static_cast<std::uint32_t>(cap);
  return true;
}

std::uint32_t lookup_hashed(const vl_dict& d, std::uint64_t h, const std::uint8_t* p,
                            std::uint64_t n) noexcept {
  if (n == 0 || n > d.max_len) return 0;
  ensure_table(d);
  return tab_slot(d, h, p, n)->id;
}

std::uint32_t lookup(const vl_dict& d, const std::uint8_t* p, std::uint64_t n) noexcept {
  if (n == 0 || n > d.max_len) return 0;
  ensure_table(d);
  return tab_slot(d, hash_bytes(p, n), p, n)->id;
}

std::uint32_t add_at(vl_dict& d, Slot* s, std::uint64_t h, const std::uint8_t* p,
                     std::uint64_t n) noexcept {
  if (d.size >= kMaxId) return 0;
  const std::uint64_t off = d.text_used;
  if (off + n > kMaxTextBytes) return 0;
  if (d.size == d.cap && !grow_ids(d, std::uint64_t{d.cap} + 1)) return 0;
  if (!grow_text(d, off + n, p)) return 0;
  std::memmove(d.text.get() + off, p, n);
  const auto off32 = static_cast<std::uint32_t>(off);
  const auto len32 = static_cast<std::uint32_t>(n);
  if (!tab_fill(d, s, h, off32, len32, d.size + 1)) return 0;  // bytes left unused
  d.offs[d.size] = off32;
  d.lens[d.size] = len32;
  d.text_used = off + n;
  ++d.size;
  if (len32 > d.max_len) d.max_len = len32;
  if (std::uint64_t{d.size} * 10 > std::uint64_t{d.nslots} * 7) (void)tab_grow(d);
  assert(check_invariants(d, true));
  return d.size;
}

std::uint32_t add(vl_dict& d, const std::uint8_t* p, std::uint64_t n) noexcept {
  if (n == 0 || n > kMaxEntryLen) return 0;
  ensure_table(d);
  const std::uint64_t h = hash_bytes(p, n);
  Slot* s = tab_slot(d, h, p, n);
  if (s->id != 0) return s->id;
  return add_at(d, s, h, p, n);
}

const std::uint8_t* text_of(const vl_dict& d, std::uint32_t id, std::uint64_t* out_len) noexcept {
  if (id >= kByteTokenBase) {
    *out_len = 1;
    return &VL_BYTE_TABLE[id - kByteTokenBase];
  }
  if (id == 0 || id > d.size) {
    *out_len = 0;
    return nullptr;
  }
  *out_len = d.lens[id - 1];
  return d.text.get() + d.offs[id - 1];
}

std::uint32_t learn(vl_dict& d, const std::uint8_t* p, std::uint64_t n,
                    std::uint32_t limit) noexcept {
  std::uint32_t added = 0;
  if (limit == 0) return 0;
  ensure_table(d);
  // The text may be d's own (a vl_dict__texts or vl_dict_text result):
  // every addition can move that buffer, so p is re-derived after each.
  const std::int64_t inside = text_offset(d, p);
  for (std::uint64_t i = 0; i < n;) {
    const bool w = is_word(p[i]);
    std::uint64_t j = i + 1;
    while (j < n && is_word(p[j]) == w) ++j;
    const std::uint64_t run = j - i;
    if (run <= kMaxEntryLen) {
      const std::uint64_t h = hash_bytes(p + i, run);
      Slot* s = tab_slot(d, h, p + i, run);
      if (s->id == 0) {
        if (add_at(d, s, h, p + i, run) != 0) ++added;
        if (inside >= 0) p = d.text.get() + inside;
      }
    }
    i = j;
    if (added >= limit) break;
  }
  return added;
}

bool check_invariants(const vl_dict& d, bool shallow) noexcept {
  if (d.table_pending) {
    // Only the id arrays are meaningful until the table is filled.
    if (d.used_slots != 0 || d.max_runs != 0 || !d.slots || !d.prefixes) return false;
    if (std::uint64_t{d.size} * 10 > std::uint64_t{d.nslots} * 7) return false;
    if (!shallow) ensure_table(d);
  }
  if (!d.text || !d.offs || !d.lens || !d.slots || !d.prefixes) return false;
  if (d.prefix_bits_log2 != prefix_bits_log2_for(d.nslots)) return false;
  if (d.text_used > d.text_cap || d.text_used > kMaxTextBytes || d.size > d.cap) return false;
  if (d.nslots == 0 || (d.nslots & (d.nslots - 1)) != 0 || d.used_slots >= d.nslots) return false;
  if (d.max_len > kMaxEntryLen) return false;
  if (shallow) return true;
  for (std::uint32_t i = 0; i < d.size; ++i) {
    if (std::uint64_t{d.offs[i]} + d.lens[i] > d.text_used || d.lens[i] > d.max_len) return false;
  }
  const std::uint32_t mask = d.nslots - 1;
  std::uint32_t used = 0;
  for (std::uint32_t i = 0; i < d.nslots; ++i) {
    const Slot& s = d.slots[i];
    if (s.id == 0) continue;
    ++used;
    const auto len = static_cast<std::uint32_t>(s.key >> 56);
    if (s.id > d.size || d.offs[s.id - 1] != s.off || d.lens[s.id - 1] != len || len == 0)
      return false;
    const std::uint8_t* t = d.text.get() + s.off;
    if (slot_key(t, len) != s.key) return false;
    const std::uint64_t h = hash_bytes(t, len);
    if (count_runs(t, len) > d.max_runs) return false;
    std::uint64_t ph = kFnvStart;
    for (std::uint32_t k = 0; k < len; ++k) {
      ph = (ph ^ t[k]) * kFnvPrime;
      if ((k + 1 == len || is_word(t[k + 1]) != is_word(t[k])) &&
          !may_be_prefix(d, span_hash(ph, t, k + 1)))
        return false;
    }
    for (std::uint32_t j = static_cast<std::uint32_t>(h) & mask; j != i; j = (j + 1) & mask)
      if (d.slots[j].id == 0) return false;  // unreachable from its home
  }
  if (used != d.used_slots) return false;
  for (std::uint32_t id = 1; id <= d.size; ++id) {
    std::uint64_t n = 0;
    const std::uint8_t* p = text_of(d, id, &n);
    if (n == 0) continue;
    const std::uint32_t got = lookup(d, p, n);
    if (got == 0) continue;  // bytes shadowed by a removed mapping: allowed
    std::uint64_t m = 0;
    const std::uint8_t* q = text_of(d, got, &m);
    if (m != n || std::memcmp(p, q, n) != 0) return false;
  }
  return true;
}

}  // namespace velta::dict
