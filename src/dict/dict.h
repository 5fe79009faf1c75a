// The learned dictionary: byte strings of 1 to 64 bytes mapped to 32-bit
// token ids and back, the greedy tokenizer over it, phrase training, and
// the raw export/restore used by snapshots.
//
// Ids: 0 is no token; 1..size are entries, index id - 1 of offs/lens;
// 0xFFFFFF00 + b is the byte token of byte b, never stored. Entries are only
// appended, so an id keeps its bytes for the life of the dictionary. Only
// install can re-point an id; it then drops the old bytes' table mapping,
// so a lookup never returns an id that decodes to other bytes.
//
// Allocation failure never throws out of this module: buffers are grown
// with realloc/calloc through Buf, and a dictionary that cannot grow simply
// adds nothing (add returns 0, learn counts only what it added).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "util/holders.h"
#include "util/limits.h"
#include "velta.h"

namespace velta::dict {

// Owned malloc'd array; realloc-based so growth failure is a return value.
template <class T>
using Buf = std::unique_ptr<T[], FreeDeleter>;

// Resizes b to n elements (contents kept up to the smaller size). false,
// with b untouched, when memory cannot be obtained or n*sizeof(T) overflows.
template <class T>
bool buf_resize(Buf<T>& b, std::uint64_t n) noexcept {
  if (n == 0) n = 1;
  if (n > SIZE_MAX / sizeof(T)) return false;
  void* p = std::realloc(b.get(), static_cast<std::size_t>(n) * sizeof(T));
  if (p == nullptr) return false;
  (void)b.release();
  b.reset(static_cast<T*>(p));
  return true;
}

// A zeroed array of n elements, or null.
template <class T>
Buf<T> buf_zeroed(std::uint64_t n) noexcept {
  if (n == 0) n = 1;
  if (n > SIZE_MAX / sizeof(T)) return nullptr;
  return Buf<T>(static_cast<T*>(std::calloc(static_cast<std::size_t>(n), sizeof(T))));
}

// One open-addressing slot; key 0 and id 0 mark an empty slot. `key` is the
// entry's slot_key (its length and first 7 bytes), so an entry of up to 7
// bytes (most words and all the space between them) is matched without
// touching the text; a longer one compares its bytes past the 7th at `off`.
struct Slot {
  std::uint64_t key;
  std::uint32_t id;
  std::uint32_t off;  // of the text in d.text
};

// An entry's text for reads: up to 15 bytes inline and the length in the
// last byte, so copying a token is one 16-byte load and store. kLongText
// in `len` sends the reader to offs/text instead.
struct TextRec {
  std::uint8_t text[15];
  std::uint8_t len;
};
inline constexpr std::uint8_t kLongText = 0xFF;

inline constexpr std::uint32_t kMaxEntryLen = 64;            // bytes per entry
inline constexpr std::uint32_t kMaxId = 0xFFFFFEFEu;         // largest learned id
inline constexpr std::uint64_t kMaxTextBytes = 0xFFFFFFFFu;  // offsets are u32
inline constexpr std::uint64_t kInitTextCap = 0x100000;      // 1 MiB
inline constexpr std::uint32_t kInitCap = 0x4000;            // ids
inline constexpr std::uint32_t kInitSlots = 0x10000;
inline constexpr std::uint32_t kMaxSlots = 0x80000000u;  // nslots stays a u32 power of two
inline constexpr unsigned kMaxSpanRuns = 13;             // tokenizer candidates per step
inline constexpr std::uint32_t kLearnLimit = 0x100000;   // what the engine passes to learn

// Word bytes: ASCII letters, digits, underscore. A run is a maximal stretch
// of bytes of one class.
struct WordTable {
  bool w[256];
  constexpr WordTable() : w{} {
    for (int c = 0; c < 256; ++c)
      w[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }
};
inline constexpr WordTable kWord{};
inline bool is_word(std::uint8_t c) noexcept { return kWord.w[c]; }

// Number of runs in n bytes (0 for n == 0).
std::uint32_t count_runs(const std::uint8_t* p, std::uint64_t n) noexcept;

}  // namespace velta::dict

// Invariants:
//  - text_used <= text_cap and text_used <= kMaxTextBytes (offsets are
//    u32); size <= cap;
//  - every id 1..size has offs+lens within text_used and lens <= 64 (or an
//    empty id, length 0); max_len >= every length;
//  - nslots is a power of two <= kMaxSlots; used_slots < nslots (one empty
//    slot always remains, so probes end); every occupied slot maps distinct
//    bytes to an id that decodes to exactly those bytes, and lies in the
//    unbroken probe chain from its home slot;
//  - max_runs >= the run count of every entry in the table;
//  - for every entry in the table, the hash of each of its run prefixes
//    (the bytes up to a run boundary, the whole entry included) has its
//    two bits set in `prefixes`. The filter is a superset: removals leave
//    bits behind, growth of the table rebuilds it.
struct vl_dict {
  velta::dict::Buf<std::uint8_t> text;
  std::uint64_t text_used = 0;  // bytes
  std::uint64_t text_cap = 0;   // bytes allocated
  velta::dict::Buf<std::uint32_t> offs;
  velta::dict::Buf<std::uint32_t> lens;
  std::uint32_t size = 0;  // ids in use
  std::uint32_t cap = 0;   // room in offs and lens, in ids
  velta::dict::Buf<velta::dict::Slot> slots;
  std::uint32_t nslots = 0;
  std::uint32_t max_len = 0;     // bytes of the longest entry
  std::uint32_t used_slots = 0;  // occupied slots
  std::uint32_t max_runs = 0;    // most runs in one entry; bounds tokenizer spans
  // Set by restore: slots and prefixes are allocated (zeroed, sized for
  // size) but not yet filled, and used_slots/max_runs are 0. Reads need
  // only offs/lens/text, so the table is filled at the first lookup, add,
  // learn, tokenize, train or install (ensure_table), which cannot fail.
  // The table invariants below hold whenever this is false.
  bool table_pending = false;
  // Bloom filter over run prefixes of entries: 16 bits per slot. A span
  // whose hash misses it is neither an entry nor the start of one, so the
  // tokenizer stops extending spans there.
  velta::dict::Buf<std::uint64_t> prefixes;
  unsigned prefix_bits_log2 = 0;
  // Told, after the fact, of the ids lo..hi whose bytes a caller changed
  // through the exported learn, train and install calls, so the owning
  // engine can log them. The engine's own learning from text that it logs
  // anyway goes through velta::dict::learn and is not reported. NULL: none.
  // Kept by restore.
  void (*on_change)(void* ctx, std::uint32_t lo, std::uint32_t hi) = nullptr;
  void* on_change_ctx = nullptr;
  // Read records of ids 1..recs_built (see TextRec), made on demand by
  // prepare_reads; an id whose bytes change lowers recs_built below it.
  velta::dict::Buf<velta::dict::TextRec> recs;
  std::uint32_t recs_cap = 0;
  std::uint32_t recs_built = 0;
};

namespace velta::dict {

// A new empty dictionary with the initial sizes, or null when its buffers
// cannot be allocated. Throws std::bad_alloc only for the record itself.
std::unique_ptr<vl_dict> make();

// Filter size for a table of nslots: 16 bits per slot.
inline unsigned prefix_bits_log2_for(std::uint32_t nslots) noexcept {
  return static_cast<unsigned>(std::countr_zero(nslots)) + 4;
}

// Two filter bit positions of a span hash.
inline void prefix_bits(const vl_dict& d, std::uint64_t h, std::uint64_t& a,
                        std::uint64_t& b) noexcept {
  const unsigned shift = 64 - d.prefix_bits_log2;
  a = (h * 0x9E3779B97F4A7C15ull) >> shift;
  b = (h * 0xC2B2AE3D27D4EB4Full) >> shift;
}

// false when no entry in the table is, or starts with, exactly the span
// whose hash is h (ending at a run boundary); true means "maybe".
inline bool may_be_prefix(const vl_dict& d, std::uint64_t h) noexcept {
  std::uint64_t a, b;
  prefix_bits(d, h, a, b);
  const std::uint64_t* f = d.prefixes.get();
  return ((f[a >> 6] >> (a & 63)) & (f[b >> 6] >> (b & 63)) & 1) != 0;
}

// Fills a table left pending by restore; no-op otherwise. Every function
// below that reads slots, prefixes or max_runs calls it first. Allocates
// nothing, so it cannot fail. Mutates only the table (one thread per
// dictionary, as everywhere).
void fill_pending(vl_dict& d) noexcept;
inline void ensure_table(const vl_dict& d) noexcept {
  if (d.table_pending) fill_pending(const_cast<vl_dict&>(d));
}

// Hash of n bytes as the table uses it: short_hash(slot_key) up to 7 bytes,
// FNV-1a over longer texts (see span_hash). In memory only: nothing stored
// depends on it.
std::uint64_t hash_bytes(const std::uint8_t* p, std::uint64_t n) noexcept;

// Id whose bytes equal p[0..n) given their hash h, or 0. REQUIRES: h ==
// hash_bytes(p, n). Returns 0 without probing when n is 0 or > max_len.
std::uint32_t lookup_hashed(const vl_dict& d, std::uint64_t h, const std::uint8_t* p,
                            std::uint64_t n) noexcept;
std::uint32_t lookup(const vl_dict& d, const std::uint8_t* p, std::uint64_t n) noexcept;

// Id of the bytes, adding an entry when there is none. 0 when n is not 1..64,
// the dictionary is full (kMaxId), the text would pass 4 GiB, or memory runs
// out; then nothing changes. `p` may point into d's own text.
std::uint32_t add(vl_dict& d, const std::uint8_t* p, std::uint64_t n) noexcept;

// Bytes of id (see vl_dict_text); null and 0 for an unassigned id.
const std::uint8_t* text_of(const vl_dict& d, std::uint32_t id, std::uint64_t* out_len) noexcept;

// Adds every unknown run of 1..64 bytes, stopping after `limit` additions;
// returns the number added. Positions are 64-bit: any length works. `p`
// may point into d's own text.
std::uint32_t learn(vl_dict& d, const std::uint8_t* p, std::uint64_t n,
                    std::uint32_t limit) noexcept;

// Greedy longest-match tokenizing; UINT64_MAX when more than out_cap ids
// would be needed (ids written so far stay in out). At most 13 lookups per
// step, each span hashed once by extending the previous span's hash.
std::uint64_t tokenize(const vl_dict& d, const std::uint8_t* p, std::uint64_t n, std::uint32_t* out,
                       std::uint64_t out_cap) noexcept;
// learn(d, p, n, limit) followed by tokenize(d, p, n, out, out_cap), with
// the same entries added in the same order and the same ids written, in
// one pass over the runs with one hash and one probe per run when the
// dictionary's entries are all single runs (what learning alone makes);
// otherwise the two calls. Slot probes of a batch of runs are prefetched
// together. REQUIRES: out_cap >= n (no text needs more ids than bytes).
std::uint64_t learn_tokenize(vl_dict& d, const std::uint8_t* p, std::uint64_t n,
                             std::uint32_t limit, std::uint32_t* out,
                             std::uint64_t out_cap) noexcept;

// Brings the read records up to every id, so copy_tokens takes its fast
// path; amortised O(1) per entry added since the last call. false (and
// nothing lost) when memory runs out: reads then use offs/text.
bool prepare_reads(vl_dict& d) noexcept;

// Copies the texts of ids[0, n) in order into buf while each whole text
// fits in the cap bytes, stopping at the first that does not or once buf
// is full; writes the number of ids taken to *taken and returns the bytes
// written. Fixed 16-byte copies while more than 80 bytes remain, so a
// whole text costs one load, one store and no call.
std::uint64_t copy_tokens(const vl_dict& d, const std::uint32_t* ids, std::uint64_t n,
                          std::uint8_t* buf, std::uint64_t cap, std::uint64_t* taken) noexcept;

std::uint64_t detok_len(const vl_dict& d, const std::uint32_t* ids, std::uint64_t n) noexcept;
std::uint64_t detokenize(const vl_dict& d, const std::uint32_t* ids, std::uint64_t n,
                         std::uint8_t* buf, std::uint64_t buf_cap) noexcept;

// The shape of the training pair table. Training results depend on record
// positions (ties break by table order) and on the fill limit, so these are
// fixed for real use; tests shrink them to reach wrap-around and the fill
// limit with small samples.
struct PairTableShape {
  std::uint32_t mask = 0x3FFFFF;        // records - 1 (power of two minus one)
  std::uint64_t fill_limit = 29360128;  // a new pair is refused once filled*10 exceeds this
  bool wide_positions = false;          // u64 sample positions even below 4 GiB
};

// Phrase training (see vl_dict_train). Returns the entry count afterwards.
// Allocation failure ends training early with what was added so far.
// `sample` may point into d's own text (it is copied first).
std::uint32_t train(vl_dict& d, const std::uint8_t* sample, std::uint64_t len, std::uint32_t passes,
                    std::uint32_t per_pass, std::uint32_t min_count,
                    const PairTableShape& shape = PairTableShape{}) noexcept;

// Replaces the whole content with exported arrays. Returns false (and
// leaves d untouched) for a blob over 4 GiB, an entry past the blob or
// longer than 64 bytes, or out of memory. Arguments may alias d's own arrays.
bool restore(vl_dict& d, const std::uint8_t* blob, std::uint64_t blob_len,
             const std::uint32_t* offs, const std::uint32_t* lens, std::uint32_t count) noexcept;

// Makes `id` decode to the n bytes. Refused (nothing changes) for id 0, an
// id above kMaxId (it would collide with byte tokens), n above 64 (a
// snapshot could not be loaded again), a text that would pass 4 GiB, or out
// of memory. If id held other bytes, their hash mapping to id is removed
// first. n == 0 makes id empty.
void install(vl_dict& d, std::uint32_t id, const std::uint8_t* p, std::uint32_t n) noexcept;

// Checks the invariants above; shallow checks only the counters, deep also
// walks every slot and id. Returns false on the first violation.
bool check_invariants(const vl_dict& d, bool shallow) noexcept;

}  // namespace velta::dict
