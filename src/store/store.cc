// Chunk store: content-addressed put with deduplication, key-collision
// resolution, lookup, the open-addressing slot table and the slabs that
// hold owned token arrays.
#include "store/store.h"

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#endif
#endif

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <new>

#include "util/fnv.h"
#include "util/limits.h"

namespace velta::store {
namespace {

// At most this many keys are tried for one content. Each try is a fresh
// pseudo-random key, so even a table of 2^32 records cannot exhaust it in
// practice; reaching it fails the put rather than looping.
constexpr int kMaxKeyTries = 64;

testing::key_fn g_key_fn = nullptr;

bool same(const vl_chunk& c, const std::uint32_t* toks, std::uint64_t n) noexcept {
  return c.n == n && (n == 0 || std::memcmp(c.toks, toks, n * 4) == 0);
}

// Writes the byte tokens of bytes[0, n) to out, 16 bytes per step where
// SSE2 is there (the compiler leaves the plain loop scalar at -O2).
void widen(const std::uint8_t* bytes, std::uint64_t n, std::uint32_t* out) noexcept {
  std::uint64_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i base = _mm_set1_epi32(static_cast<int>(kByteTokenBase));
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    auto* o = reinterpret_cast<__m128i*>(out + i);
    _mm_storeu_si128(o, _mm_or_si128(_mm_unpacklo_epi16(lo, zero), base));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_unpackhi_epi16(lo, zero), base));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_unpacklo_epi16(hi, zero), base));
    _mm_storeu_si128(o + 3, _mm_or_si128(_mm_unpackhi_epi16(hi, zero), base));
  }
#endif
  for (; i < n; ++i) out[i] = kByteTokenBase | bytes[i];
}

// c holds the byte tokens of bytes[0, n). Compared a block at a time
// through a small widened copy.
bool same_bytes(const vl_chunk& c, const std::uint8_t* bytes, std::uint64_t n) noexcept {
  if (c.n != n) return false;
  constexpr std::uint64_t kBlock = 256;
  std::uint32_t block[kBlock];
  for (std::uint64_t at = 0; at < n; at += kBlock) {
    const std::uint64_t m = std::min(kBlock, n - at);
    widen(bytes + at, m, block);
    if (std::memcmp(block, c.toks + at, m * 4) != 0) return false;
  }
  return true;
}

// Slabs. Each is one anonymous mapping: a SlabHeader, then tokens carved
// front to back. Shared slabs start at kFirstSlab bytes and double up to
// kMaxSlab. A shared slab is at least 16 times the chunk that opened it,
// and a chunk over kMaxSlab / 16 gets a mapping of its own, so the tail a
// full slab leaves unused is at most a sixteenth of it (and untouched tail
// pages cost no memory).
//
// A store keeps 4 bytes of tokens per byte of binary data, and the kernel's
// first touch of that memory is most of the cost of storing new data. Pages
// are mapped up to kMapAhead bytes at a time, one call each
// (MADV_POPULATE_WRITE) rather than a fault per page: about a tenth
// faster. Transparent huge pages were measured too and left out: on a
// virtual machine they come from the large free blocks the host has taken
// back, and the first touch of a fresh store then varied from 90 to 560
// MB/s against a steady 300.
struct SlabHeader {
  SlabHeader* next;    // the slab made before this one
  std::uint64_t size;  // bytes mapped
};
constexpr std::uint64_t kHeaderBytes = 64;  // tokens start 64-byte aligned
constexpr std::uint64_t kFirstSlab = 256u << 10;
constexpr std::uint64_t kMaxSlab = 32u << 20;
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMapAhead = 256u << 10;

// Under AddressSanitizer the room no array has claimed stays poisoned, and
// each array is followed by a poisoned gap, so reads past a chunk's end are
// caught as they were when every array was its own allocation.
#if defined(__SANITIZE_ADDRESS__)
#define VELTA_STORE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTA_STORE_ASAN 1
#endif
#endif
#ifdef VELTA_STORE_ASAN
constexpr std::uint64_t kGapTokens = 4;
void poison(const void* p, std::uint64_t bytes) noexcept { __asan_poison_memory_region(p, bytes); }
void unpoison(const void* p, std::uint64_t bytes) noexcept {
  __asan_unpoison_memory_region(p, bytes);
}
#else
constexpr std::uint64_t kGapTokens = 0;
void poison(const void*, std::uint64_t) noexcept {}
void unpoison(const void*, std::uint64_t) noexcept {}
#endif

// Tokens an array of n takes from a slab: an empty one takes one, so every
// array has its own non-null address.
std::uint64_t claimed(std::uint64_t n) noexcept { return (n == 0 ? 1 : n) + kGapTokens; }

// A new slab of `size` bytes (a multiple of kPage) linked in front of the
// store's list; its first token, or null when it cannot be mapped.
std::uint32_t* map_slab(vl_store* s, std::uint64_t size) noexcept {
  void* m = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  auto* base = static_cast<std::uint8_t*>(m);
  auto* h = reinterpret_cast<SlabHeader*>(base);
  h->next = static_cast<SlabHeader*>(s->slabs);
  h->size = size;
  s->slabs = h;
  poison(base + kHeaderBytes, size - kHeaderBytes);
  return reinterpret_cast<std::uint32_t*>(base + kHeaderBytes);
}

void unmap_slabs(vl_store* s) noexcept {
  for (auto* h = static_cast<SlabHeader*>(s->slabs); h != nullptr;) {
    SlabHeader* next = h->next;
    unpoison(h, h->size);  // the addresses may be mapped again for others
    ::munmap(h, h->size);
    h = next;
  }
  s->slabs = nullptr;
}

// Maps the pages of [at, at + bytes) (at page-aligned) for writing. Best
// effort: without it (older kernels) they fault in one by one.
void populate(std::uintptr_t at, std::uint64_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  (void)::madvise(reinterpret_cast<void*>(at), bytes, MADV_POPULATE_WRITE);
#else
  (void)at;
  (void)bytes;
#endif
}

// Writable room for an array of n tokens: at s->room when the newest slab
// has it (a new shared slab is made when it does not), or a mapping of the
// array's own. Nothing is claimed until take_room. null on out of memory.
std::uint32_t* room_for(vl_store* s, std::uint64_t n) noexcept {
  const std::uint64_t c = claimed(n);
  std::uint32_t* toks = s->room;
  if (c > s->room_left) {
    const std::uint64_t need = kHeaderBytes + 4 * c;
    if (4 * c > kMaxSlab / 16) {
      toks = map_slab(s, (need + kPage - 1) & ~(kPage - 1));
    } else {
      std::uint64_t size = s->next_slab != 0 ? s->next_slab : kFirstSlab;
      while (size < 16 * need && size < kMaxSlab) size *= 2;
      toks = map_slab(s, size);
      if (toks != nullptr) {
        s->room = toks;
        s->room_left = (size - kHeaderBytes) / 4;
        s->mapped_to = reinterpret_cast<std::uintptr_t>(toks) & ~(kPage - 1);
        s->next_slab = std::min(size * 2, kMaxSlab);
      }
    }
    if (toks == nullptr) return nullptr;
  }
  if (toks == s->room) {
    // The pages this array will write, and some past them: up to kMapAhead,
    // and an eighth of the slab (a small store maps little it does not use).
    const auto want = reinterpret_cast<std::uintptr_t>(toks + c);
    if (want > s->mapped_to) {
      const auto slab_end = reinterpret_cast<std::uintptr_t>(s->room + s->room_left);
      // next_slab is twice this slab (or kMaxSlab).
      const std::uint64_t ahead = std::min(kMapAhead, s->next_slab / 16);
      const std::uintptr_t to =
          std::min<std::uintptr_t>(((want + kPage - 1) & ~(kPage - 1)) + ahead, slab_end);
      populate(s->mapped_to, to - s->mapped_to);
      s->mapped_to = to;
    }
  } else {
    populate(reinterpret_cast<std::uintptr_t>(toks) & ~(kPage - 1), kHeaderBytes + 4 * c);
  }
  unpoison(toks, 4 * (c - kGapTokens));
  return toks;
}

// Claims the room for n tokens at toks, which room_for(s, n) returned.
void take_room(vl_store* s, const std::uint32_t* toks, std::uint64_t n) noexcept {
  if (toks != s->room) return;  // a mapping of its own
  const std::uint64_t c = claimed(n);
  poison(toks + (c - kGapTokens), 4 * kGapTokens);
  s->room += c;
  s->room_left -= c;
}

// Slot holding `key`, or the empty slot where its probe ends; *found says
// which.
std::uint32_t probe(const vl_store* s, std::uint64_t key, bool* found) noexcept {
  std::uint32_t mask = s->slots - 1;
  std::uint32_t i = static_cast<std::uint32_t>(key) & mask;
  for (;;) {
    std::uint64_t k = s->slot_keys[i];
    if (k == key) {
      *found = true;
      return i;
    }
    if (k == 0) {
      *found = false;
      return i;
    }
    i = (i + 1) & mask;
  }
}

// Doubles the slot table, re-inserting occupied slots in old slot order.
bool store_hgrow(vl_store* s) noexcept {
  if (s->slots >= (1u << 31)) return false;
  std::uint32_t slots = s->slots * 2;
  std::unique_ptr<std::uint64_t[]> keys(new (std::nothrow) std::uint64_t[slots]());
  std::unique_ptr<std::uint32_t[]> recs(new (std::nothrow) std::uint32_t[slots]());
  if (!keys || !recs) return false;
  std::uint32_t mask = slots - 1;
  for (std::uint32_t j = 0; j < s->slots; ++j) {
    std::uint64_t k = s->slot_keys[j];
    if (k == 0) continue;
    std::uint32_t i = static_cast<std::uint32_t>(k) & mask;
    while (keys[i] != 0) i = (i + 1) & mask;
    keys[i] = k;
    recs[i] = s->slot_recs[j];
  }
  s->slot_keys = std::move(keys);
  s->slot_recs = std::move(recs);
  s->slots = slots;
  return true;
}

// Appends a record under `key` (known absent) for the n tokens at toks:
// borrowed, or owned, when toks is room_for(s, n) already filled. Every
// allocation happens before anything is changed, so a failure leaves the
// store as it was (apart from a larger record array or an unused slab).
// false on out of memory.
bool insert(vl_store* s, std::uint64_t key, const std::uint32_t* toks, std::uint32_t n,
            bool borrowed) noexcept {
  if (s->count == UINT32_MAX) return false;
  if (s->count == s->cap) {
    std::uint32_t cap = s->cap >= (1u << 31) ? UINT32_MAX : s->cap * 2;
    std::unique_ptr<vl_chunk[]> recs(new (std::nothrow) vl_chunk[cap]);
    if (!recs) return false;
    std::memcpy(recs.get(), s->recs.get(), sizeof(vl_chunk) * s->count);
    s->recs = std::move(recs);
    s->cap = cap;
  }
  // Growing first keeps the load at most 0.7 after the insertion, as
  // growing right after it would, but can fail without undoing anything.
  if (std::uint64_t{s->count + 1} * 10 > std::uint64_t{s->slots} * 7 && !store_hgrow(s)) {
    return false;
  }
  bool found;
  std::uint32_t slot = probe(s, key, &found);
  vl_chunk& c = s->recs[s->count];
  if (!borrowed) take_room(s, toks, n);
  c.key = key;
  c.toks = toks;
  c.n = n;
  c.byte_len = 0;
  c.byte_len_valid = 0;
  c.borrowed = borrowed ? 1 : 0;
  c.unchecked = 0;
  s->slot_keys[slot] = key;
  s->slot_recs[slot] = s->count;
  s->count += 1;
  s->token_bytes += std::uint64_t{n} * 4;
  if (borrowed) s->mapped_bytes += std::uint64_t{n} * 4;
  assert(check_invariants(s, false));
  return true;
}

}  // namespace

vl_store* create() noexcept {
  std::unique_ptr<vl_store> s(new (std::nothrow) vl_store);
  if (!s) return nullptr;
  s->recs.reset(new (std::nothrow) vl_chunk[kInitialCap]);
  s->slot_keys.reset(new (std::nothrow) std::uint64_t[kInitialSlots]());
  s->slot_recs.reset(new (std::nothrow) std::uint32_t[kInitialSlots]());
  if (!s->recs || !s->slot_keys || !s->slot_recs) return nullptr;
  s->cap = kInitialCap;
  s->slots = kInitialSlots;
  return s.release();
}

std::uint64_t chunk_key(const std::uint32_t* toks, std::uint64_t n) noexcept {
  // Byte order is taken from the value, so the key is the same on any host.
  std::uint64_t h = kFnvStart;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint32_t v = toks[i];
    h = (h ^ (v & 0xFF)) * kFnvPrime;
    h = (h ^ ((v >> 8) & 0xFF)) * kFnvPrime;
    h = (h ^ ((v >> 16) & 0xFF)) * kFnvPrime;
    h = (h ^ (v >> 24)) * kFnvPrime;
  }
  return h != 0 ? h : 1;
}

namespace {

// The key a put would try first: the test override when one is set.
std::uint64_t natural_key(const std::uint32_t* toks, std::uint64_t n) noexcept {
  return g_key_fn != nullptr ? g_key_fn(toks, n) : chunk_key(toks, n);
}

}  // namespace

std::uint64_t next_key(std::uint64_t key) noexcept {
  // splitmix64's finaliser over key + the golden-ratio increment.
  std::uint64_t z = key + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return z != 0 ? z : 1;
}

namespace {

// One FNV-1a step per byte of the id v, low byte first.
constexpr std::uint64_t fnv_id(std::uint64_t h, std::uint32_t v) noexcept {
  h = (h ^ (v & 0xFF)) * kFnvPrime;
  h = (h ^ ((v >> 8) & 0xFF)) * kFnvPrime;
  h = (h ^ ((v >> 16) & 0xFF)) * kFnvPrime;
  return (h ^ (v >> 24)) * kFnvPrime;
}

// A byte token's id is 0xFFFFFF00 + b, so its four hash steps feed b and
// then three 0xFF bytes. x ^ 0xFF = x + (0xFF - 2 (x & 0xFF)), and the low
// byte of x * P depends only on the low byte of x, so for x = h ^ b the four
// steps come to x * P^4 plus a term that depends only on the low byte of x:
// one multiply per byte on the chain instead of four.
constexpr std::uint64_t kFnvPrime4 = kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime;

constexpr std::array<std::uint64_t, 256> make_byte_token_terms() {
  std::array<std::uint64_t, 256> t{};
  for (std::uint64_t v = 0; v < 256; ++v) t[v] = fnv_id(v, kByteTokenBase) - v * kFnvPrime4;
  return t;
}
constexpr std::array<std::uint64_t, 256> kByteTokenTerms = make_byte_token_terms();

// fnv_id(h, kByteTokenBase | b).
inline std::uint64_t fnv_byte_token(std::uint64_t h, std::uint8_t b) noexcept {
  const std::uint64_t x = h ^ b;
  return x * kFnvPrime4 + kByteTokenTerms[x & 0xFF];
}

// Hashes m arrays src[i][0, ns[i]) into keys[i], one element at a time with
// step(h, element), four chains side by side: one chain is bound by the
// latency of its multiplies, four keep the multiplier busy. A lane that
// finishes its array takes the next one, so arrays of unequal lengths still
// share the work; only the last few run alone.
template <class T, class Step>
void hash_lanes(const T* const* src, const std::uint64_t* ns, std::size_t m, std::uint64_t* keys,
                Step step) noexcept {
  struct Lane {
    const T* p;
    std::uint64_t left;  // elements still to hash
    std::uint64_t h;
    std::size_t idx;  // array whose key this is
  };
  constexpr int kLanes = 4;
  Lane lane[kLanes];
  std::size_t next = 0;
  // Starts lane l on the next array with elements, finishing empty ones on
  // the way; false when none is left.
  auto take = [&](Lane& l) {
    for (; next < m; ++next) {
      if (ns[next] == 0) {
        keys[next] = kFnvStart;
        continue;
      }
      l = Lane{src[next], ns[next], kFnvStart, next};
      ++next;
      return true;
    }
    return false;
  };
  int active = 0;
  while (active < kLanes && take(lane[active])) ++active;
  while (active == kLanes) {
    std::uint64_t n = lane[0].left;
    for (int j = 1; j < kLanes; ++j) n = std::min(n, lane[j].left);
    std::uint64_t h0 = lane[0].h, h1 = lane[1].h, h2 = lane[2].h, h3 = lane[3].h;
    const T *a = lane[0].p, *b = lane[1].p, *c = lane[2].p, *d = lane[3].p;
    for (std::uint64_t i = 0; i < n; ++i) {
      h0 = step(h0, a[i]);
      h1 = step(h1, b[i]);
      h2 = step(h2, c[i]);
      h3 = step(h3, d[i]);
    }
    lane[0].h = h0;
    lane[1].h = h1;
    lane[2].h = h2;
    lane[3].h = h3;
    for (int j = 0; j < kLanes; ++j) {
      lane[j].p += n;
      lane[j].left -= n;
    }
    // Finished lanes take the next array; a lane with none left is replaced
    // by the last active one (already stepped) and looked at again.
    for (int j = 0; j < active;) {
      if (lane[j].left != 0) {
        ++j;
        continue;
      }
      keys[lane[j].idx] = lane[j].h != 0 ? lane[j].h : 1;
      if (!take(lane[j])) lane[j] = lane[--active];
    }
  }
  for (int j = 0; j < active; ++j) {
    std::uint64_t h = lane[j].h;
    for (std::uint64_t i = 0; i < lane[j].left; ++i) h = step(h, lane[j].p[i]);
    keys[lane[j].idx] = h != 0 ? h : 1;
  }
}

}  // namespace

void chunk_keys(const std::uint32_t* const* toks, const std::uint64_t* ns, std::size_t m,
                std::uint64_t* keys) noexcept {
  hash_lanes(toks, ns, m, keys, fnv_id);
}

void byte_chunk_keys(const std::uint8_t* const* bytes, const std::uint64_t* ns, std::size_t m,
                     std::uint64_t* keys) noexcept {
  hash_lanes(bytes, ns, m, keys, fnv_byte_token);
}

namespace {

// The collision chain of a put of n tokens, from `key`: the first key that
// is free takes a new chunk, which fill(room) writes; the first that names
// equal contents (same_as(chunk)) is a dedupe. 0 on out of memory or when
// the chain runs past kMaxKeyTries.
template <class Same, class Fill>
std::uint64_t put_chain(vl_store* s, std::uint64_t key, std::uint64_t n, Same same_as,
                        Fill fill) noexcept {
  if (key == 0) key = 1;
  for (int tries = 0; tries < kMaxKeyTries; ++tries) {
    bool found;
    const std::uint32_t slot = probe(s, key, &found);
    if (!found) {
      std::uint32_t* dst = room_for(s, n);
      if (dst == nullptr) return 0;
      fill(dst);
      return insert(s, key, dst, static_cast<std::uint32_t>(n), false) ? key : 0;
    }
    if (same_as(s->recs[s->slot_recs[slot]])) {
      s->deduped += 1;
      return key;
    }
    key = next_key(key);
  }
  return 0;
}

}  // namespace

std::uint64_t put(vl_store* s, const std::uint32_t* toks, std::uint64_t n) noexcept {
  if (n > UINT32_MAX || (toks == nullptr && n > 0)) return 0;
  return put_keyed(s, chunk_key(toks, n), toks, n);
}

std::uint64_t put_keyed(vl_store* s, std::uint64_t key, const std::uint32_t* toks,
                        std::uint64_t n) noexcept {
  if (n > UINT32_MAX || (toks == nullptr && n > 0)) return 0;
  if (g_key_fn != nullptr) key = g_key_fn(toks, n);
  return put_chain(
      s, key, n, [&](const vl_chunk& c) { return same(c, toks, n); },
      [&](std::uint32_t* dst) {
        if (n != 0) std::memcpy(dst, toks, n * 4);
      });
}

std::uint64_t put_byte_tokens(vl_store* s, std::uint64_t key, const std::uint8_t* bytes,
                              std::uint64_t n) noexcept {
  if (n > UINT32_MAX || (bytes == nullptr && n > 0)) return 0;
  if (g_key_fn != nullptr) {
    // A test key function hashes tokens: make them.
    std::unique_ptr<std::uint32_t[]> toks(new (std::nothrow) std::uint32_t[n == 0 ? 1 : n]);
    if (!toks) return 0;
    widen(bytes, n, toks.get());
    return put_keyed(s, key, toks.get(), n);
  }
  return put_chain(
      s, key, n, [&](const vl_chunk& c) { return same_bytes(c, bytes, n); },
      [&](std::uint32_t* dst) { widen(bytes, n, dst); });
}

std::uint64_t key_for(const vl_store* s, const std::uint32_t* toks, std::uint64_t n) noexcept {
  if (n > UINT32_MAX || (toks == nullptr && n > 0)) return 0;
  std::uint64_t key = natural_key(toks, n);
  if (key == 0) key = 1;
  for (int tries = 0; tries < kMaxKeyTries; ++tries) {
    bool found;
    const std::uint32_t slot = probe(s, key, &found);
    if (!found || same(s->recs[s->slot_recs[slot]], toks, n)) return key;
    key = next_key(key);
  }
  return 0;
}

std::uint64_t put_borrowed(vl_store* s, std::uint64_t key, const std::uint32_t* toks,
                           std::uint32_t n) noexcept {
  if (key == 0 || (toks == nullptr && n > 0)) return 0;
  bool found;
  std::uint32_t slot = probe(s, key, &found);
  if (found) {
    if (!same(s->recs[s->slot_recs[slot]], toks, n)) return 0;
    s->deduped += 1;
    return key;
  }
  return insert(s, key, toks, n, true) ? key : 0;
}

bool verify(vl_store* s, vl_chunk* c) noexcept {
  if (c->unchecked != 1) return c->unchecked == 0;
  bool good = true;
  for (std::uint32_t i = 0; i < c->n && good; ++i) {
    const std::uint32_t id = c->toks[i];
    good = id <= s->unchecked_id_limit || id >= kByteTokenBase;
  }
  // A put passes over a key only when it names other contents; chains are
  // short (collisions of 64-bit keys), and no longer than the store.
  std::uint64_t key = natural_key(c->toks, c->n);
  for (std::uint32_t step = 0; good && key != c->key; ++step) {
    const vl_chunk* other = find(s, key);
    good = other != nullptr && step < s->count && !same(*other, c->toks, c->n);
    key = next_key(key);
  }
  c->unchecked = good ? 0 : 2;
  return good;
}

vl_chunk* find(vl_store* s, std::uint64_t key) noexcept {
  if (s == nullptr || key == 0) return nullptr;
  bool found;
  std::uint32_t slot = probe(s, key, &found);
  return found ? &s->recs[s->slot_recs[slot]] : nullptr;
}

void unmap(vl_store* s) noexcept {
  if (s == nullptr || s->map == nullptr) return;
  ::munmap(s->map, s->map_len);
  s->map = nullptr;
  s->map_len = 0;
  s->map_aux = nullptr;
}

bool check_invariants(const vl_store* s, bool deep) noexcept {
  if (s->slots == 0 || (s->slots & (s->slots - 1)) != 0) return false;
  if (s->count > s->cap) return false;
  if (std::uint64_t{s->count} * 10 > std::uint64_t{s->slots} * 7) return false;
  if (!deep) return true;
  std::uint64_t bytes = 0;
  std::uint64_t mapped = 0;
  for (std::uint32_t r = 0; r < s->count; ++r) {
    const vl_chunk& c = s->recs[r];
    if (c.key == 0) return false;
    bytes += std::uint64_t{c.n} * 4;
    if (c.borrowed) mapped += std::uint64_t{c.n} * 4;
    bool found;
    std::uint32_t slot = probe(s, c.key, &found);
    if (!found || s->slot_recs[slot] != r) return false;  // also rules out duplicate keys
  }
  std::uint32_t used = 0;
  for (std::uint32_t i = 0; i < s->slots; ++i) used += s->slot_keys[i] != 0;
  return used == s->count && bytes == s->token_bytes && mapped == s->mapped_bytes;
}

namespace testing {
void set_key_fn(key_fn fn) noexcept { g_key_fn = fn; }
}  // namespace testing

}  // namespace velta::store

vl_store::~vl_store() {
  velta::store::unmap_slabs(this);
  velta::store::unmap(this);
}
