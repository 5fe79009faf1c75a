// vl_search: every occurrence of a byte string in the current texts.
//
// Texts are never decoded. One byte of the pattern, at index k, is the
// anchor: every occurrence has exactly one token holding its k-th byte. A
// table built once per call from the dictionary lists for every learned id
// the offsets j in its text where that byte can lie: text[j] is pattern[k]
// and the entry's bytes around j agree with the pattern as far as both
// reach. With k = 0 these are the offsets where the pattern can begin; k is
// chosen among the pattern's distinct bytes as the one held least often by
// a sample of the texts' tokens, so a pattern that begins with a common
// byte but holds a rare one tries few tokens. Each current version is read
// as its list of leaves, ids in place in their chunks. When at most
// kSparseIds ids can hold the anchor, ids are compared with all of them
// several at a time and a hit's position is measured from its leaf's
// start; otherwise one pass looks up each token's length and whether it
// holds anchors, and keeps the position as it goes. Each anchor is
// verified forwards through the tokens after it and backwards through
// those before it, empty tokens stepped over. An occurrence is found once,
// from the token holding its k-th byte, and those come in text order, so
// hits come by increasing position.
#include "engine/search.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "store/store.h"
#include "util/capi_guard.h"
#include "util/limits.h"

namespace velta::engine {
namespace {

// memcmp(a, b, n) == 0, without a library call for the few bytes a
// continuation usually compares.
inline bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Per id up to the dictionary size: index in the anchor list at which its
// offsets begin, and its text length in bytes. The entry after the last id
// holds the total, so the offsets of id t are [entry t .cand, entry t + 1
// .cand). Entry 0 (no token) is all zero.
struct IdEntry {
  std::uint32_t cand;
  std::uint32_t len;
};

class AnchorTable {
  static constexpr std::uint64_t kLongEntry = 255;
  // Anchor indices weighed: the first occurrence of each distinct byte of
  // the pattern, up to this many.
  static constexpr std::size_t kMaxAnchors = 16;
  static constexpr std::uint32_t kDictSample = 8192;

 public:
  // info() length of an id whose length is looked up in entries() instead.
  static constexpr std::uint64_t kLongInfo = 0x7FFF;
  // At most this many ids (learned ids with anchors, and the byte token of
  // the anchor byte) make a search sparse.
  static constexpr std::size_t kSparseIds = 8;

  // `sample`: some token ids of the texts to search, to choose the anchor.
  // Throws std::bad_alloc. Cost: the total text length of the dictionary
  // (and of the sample), plus one comparison of at most plen bytes per
  // offset holding the anchor byte.
  AnchorTable(const vl_dict* dict, std::span<const std::uint8_t> pattern,
              std::span<const std::uint32_t> sample)
      : pattern_(pattern), max_id_(std::min(vl_dict_size(dict), kByteTokenBase - 1)) {
    entries_.resize(std::size_t{max_id_} + 2);
    first_.resize(std::size_t{max_id_} + 1);
    short_len_.resize(std::size_t{max_id_} + 1);
    info_.resize(std::size_t{max_id_} + 1);
    k_ = choose_anchor(dict, sample);
    const std::uint8_t byte = pattern_[k_];
    std::vector<std::uint32_t> with;  // learned ids with anchors, up to one too many
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict, id, &len);
      const auto at = static_cast<std::uint32_t>(cands_.size());
      entries_[id] = IdEntry{at, static_cast<std::uint32_t>(len)};
      short_len_[id] = static_cast<std::uint8_t>(std::min<std::uint64_t>(len, kLongEntry));
      info_[id] = static_cast<std::uint16_t>(std::min<std::uint64_t>(len, kLongInfo) << 1);
      if (text == nullptr || len == 0) continue;
      first_[id] = text[0];
      for (std::uint64_t j = 0; j < len; ++j) {
        if (text[j] != byte || !agrees(text, len, j, k_)) continue;
        if (cands_.empty()) cands_.reserve(1024);
        cands_.push_back(static_cast<std::uint32_t>(j));
      }
      if (cands_.size() == at) continue;
      info_[id] |= 1;
      if (with.size() < kSparseIds) with.push_back(id);
    }
    entries_[std::size_t{max_id_} + 1].cand = static_cast<std::uint32_t>(cands_.size());
    if (with.size() < kSparseIds) {
      with.push_back(kByteTokenBase | byte);
      sparse_ = with;
    }
  }

  // Index in the pattern of the anchor byte.
  std::uint64_t anchor() const noexcept { return k_; }

  // First byte of a learned id's text (0 for an empty one) or of a byte
  // token. REQUIRES: id <= max_id() or id is a byte token.
  std::uint8_t first_byte(std::uint32_t id) const noexcept {
    return id >= kByteTokenBase ? static_cast<std::uint8_t>(id) : first_[id];
  }

  // Text length of any id: learned, byte token or unassigned.
  std::uint64_t length(std::uint32_t id) const noexcept {
    if (id >= kByteTokenBase) return 1;
    if (id > max_id_) return 0;
    const std::uint8_t n = short_len_[id];
    return n != kLongEntry ? n : entries_[id].len;
  }

  // Ids above this (and below the byte tokens) are unassigned.
  std::uint32_t max_id() const noexcept { return max_id_; }
  const IdEntry* entries() const noexcept { return entries_.data(); }
  const std::uint32_t* cands() const noexcept { return cands_.data(); }
  // Per id up to max_id(): (min(text length, kLongInfo) << 1) | whether it
  // has anchors: one load per token for both on the dense scan.
  const std::uint16_t* info() const noexcept { return info_.data(); }
  // When at most kSparseIds ids hold anchors: those ids (the anchor byte's
  // byte token last); sparse() is false otherwise.
  std::span<const std::uint32_t> sparse_ids() const noexcept { return sparse_; }
  bool sparse() const noexcept { return !sparse_.empty(); }

 private:
  // Whether the k-th byte of the pattern can lie at offset j of `text`
  // (whose byte there is that byte): the bytes around j agree with the
  // pattern as far as both reach.
  bool agrees(const std::uint8_t* text, std::uint64_t len, std::uint64_t j,
              std::uint64_t k) const noexcept {
    const std::uint64_t left = std::min(k, j);
    const std::uint64_t right = std::min(pattern_.size() - k, len - j);
    return same_bytes(text + j - left, pattern_.data() + k - left, left + right);
  }

  // The anchor index with the fewest anchors over a sample of the texts
  // searched (so a byte held by frequent tokens such as a space is
  // avoided), then over a sample of the dictionary (so a byte that is rare
  // in both wins), the first such one on a tie (index 0 needs no backward
  // check). Any choice gives the same hits; a good one tries fewer tokens.
  std::uint64_t choose_anchor(const vl_dict* dict, std::span<const std::uint32_t> sample) const {
    std::array<std::uint8_t, 256> slot;
    slot.fill(0xFF);
    std::vector<std::uint64_t> ks;
    for (std::uint64_t k = 0; k < pattern_.size() && ks.size() < kMaxAnchors; ++k) {
      if (slot[pattern_[k]] != 0xFF) continue;
      slot[pattern_[k]] = static_cast<std::uint8_t>(ks.size());
      ks.push_back(k);
    }
    if (ks.size() == 1) return 0;
    // Per index: anchors in the sampled tokens, then in a sample of the
    // dictionary (every step-th id, about kDictSample of them).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> count(ks.size());
    auto tally = [&](std::uint32_t id, bool in_text) {
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict, id, &len);
      if (text == nullptr) return;
      for (std::uint64_t j = 0; j < len; ++j) {
        const std::uint8_t s = slot[text[j]];
        if (s == 0xFF || !agrees(text, len, j, ks[s])) continue;
        ++(in_text ? count[s].first : count[s].second);
      }
    };
    for (const std::uint32_t id : sample) tally(id, true);
    const std::uint64_t step = std::max<std::uint64_t>(1, max_id_ / kDictSample);
    for (std::uint64_t id = 1; id <= max_id_; id += step) {
      tally(static_cast<std::uint32_t>(id), false);
    }
    return ks[static_cast<std::size_t>(std::min_element(count.begin(), count.end()) -
                                       count.begin())];
  }

  std::span<const std::uint8_t> pattern_;
  std::uint32_t max_id_;
  std::uint64_t k_ = 0;
  std::vector<IdEntry> entries_;      // max_id_ + 2 entries
  std::vector<std::uint32_t> cands_;  // grouped by id, increasing within an id
  std::vector<std::uint8_t> first_;   // max_id_ + 1 first bytes
  // max_id_ + 1 lengths, kLongEntry for one to look up in entries_: a
  // table an eighth the size, for measuring tokens between hits.
  std::vector<std::uint8_t> short_len_;
  std::vector<std::uint16_t> info_;  // max_id_ + 1, see info()
  std::vector<std::uint32_t> sparse_;
};

// A reusable array whose size comes from a version, which a crafted
// snapshot may make enormous: allocation never throws.
template <class T>
class Buffer {
 public:
  // Room for n elements, or NULL when that cannot be allocated.
  T* room(std::uint64_t n) noexcept {
    if (n <= cap_) return data_.get();
    data_.reset();
    cap_ = 0;
    if (n > SIZE_MAX / sizeof(T)) return nullptr;
    data_.reset(new (std::nothrow) T[n]);
    if (data_ != nullptr) cap_ = n;
    return data_.get();
  }

 private:
  std::unique_ptr<T[]> data_;
  std::uint64_t cap_ = 0;
};

// One leaf's ids, read in place from its chunk, and the byte position of
// its first token. A version is scanned as its list of leaves: no ids are
// copied.
struct Segment {
  const std::uint32_t* ids;
  std::uint64_t n;  // at least 1
  std::uint64_t byte;
};

struct FlatCtx {
  vl_dict* dict;
  vl_store* store;
  Segment* segs;  // room for cap segments
  std::uint64_t cap;
  std::uint64_t n_segs;
  std::uint64_t left;   // ids still to take: the version's token count
  std::uint64_t bytes;  // text bytes of the leaves visited so far
  bool damaged;         // a leaf's chunk is missing or failed its first-use check
};

// vl_leaf_visit_fn: appends the leaf's ids as a segment. Never writes past
// `cap` segments, takes no more ids than the version claims, and never
// reads past the leaf's chunk, whatever the tree claims. A chunk that is
// missing or damaged is flagged, never skipped: the hits it hides would
// otherwise be missing from a result that looks whole.
int flat_leaf(void* ctx, const vl_leaf* leaf, std::uint64_t bytes) {
  auto* c = static_cast<FlatCtx*>(ctx);
  const std::uint64_t byte = c->bytes;
  c->bytes += bytes;
  vl_chunk* chunk = store::find(c->store, leaf->key);
  if (chunk == nullptr || !readable(c->dict, c->store, chunk)) {
    c->damaged = true;
    return 0;
  }
  const std::uint32_t* toks = chunk->toks;
  const std::uint64_t n = chunk->n;
  if (leaf->off >= n || c->n_segs == c->cap) return 0;
  std::uint64_t count = std::min<std::uint64_t>(leaf->count, n - leaf->off);
  count = std::min(count, c->left);
  if (count == 0) return 0;
  c->segs[c->n_segs++] = Segment{toks + leaf->off, count, byte};
  c->left -= count;
  return 0;
}

// A token of a version: its segment and index there.
struct Cursor {
  const Segment* seg;
  std::uint64_t at;
};

// Byte positions of tokens of one segment after another, asked for in
// increasing order: measures from the segment's start only the tokens up
// to the one asked for.
class Positions {
 public:
  explicit Positions(const AnchorTable& table) : table_(table) {}

  // REQUIRES: t not before the previous call's t.
  std::uint64_t at(Cursor t) {
    if (t.seg != seg_) {
      seg_ = t.seg;
      tok_ = 0;
      byte_ = t.seg->byte;
    }
    for (; tok_ < t.at; ++tok_) byte_ += table_.length(seg_->ids[tok_]);
    return byte_;
  }

 private:
  const AnchorTable& table_;
  const Segment* seg_ = nullptr;
  std::uint64_t tok_ = 0;   // index in seg_ of the cursor
  std::uint64_t byte_ = 0;  // its byte position
};

// Index of the first of ids[from, n) equal to one of set[0, K), or n.
// Eight ids are compared with the whole set at once; only a block holding
// a member is looked at id by id.
template <std::size_t K>
[[gnu::always_inline]] inline std::uint64_t next_member(const std::uint32_t* ids,
                                                        std::uint64_t from, std::uint64_t n,
                                                        const std::uint32_t* set) noexcept {
  using Ids8 = std::uint32_t __attribute__((vector_size(32)));
  Ids8 want[K];
  for (std::size_t k = 0; k < K; ++k) want[k] = Ids8{} + set[k];
  std::uint64_t i = from;
  for (; i + 8 <= n; i += 8) {
    Ids8 v;
    std::memcpy(&v, ids + i, sizeof v);
    auto eq = v == want[0];
    for (std::size_t k = 1; k < K; ++k) eq |= v == want[k];
    std::uint64_t w[4];
    std::memcpy(w, &eq, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3]) != 0) break;
  }
  for (; i < n; ++i) {
    for (std::size_t k = 0; k < K; ++k) {
      if (ids[i] == set[k]) return i;
    }
  }
  return n;
}

using NextMemberFn = std::uint64_t (*)(const std::uint32_t*, std::uint64_t, std::uint64_t,
                                       const std::uint32_t*) noexcept;

template <std::size_t K>
std::uint64_t next_sparse(const std::uint32_t* ids, std::uint64_t from, std::uint64_t n,
                          const std::uint32_t* set) noexcept {
  return next_member<K>(ids, from, n, set);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with 256-bit compares, on processors that have them.
template <std::size_t K>
[[gnu::target("avx2")]] std::uint64_t next_sparse_avx2(const std::uint32_t* ids, std::uint64_t from,
                                                       std::uint64_t n,
                                                       const std::uint32_t* set) noexcept {
  return next_member<K>(ids, from, n, set);
}

bool has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

// The search over sets of up to K ids, the set padded to K by repeating
// its last id (a repeat matches nothing new).
template <std::size_t K>
NextMemberFn next_for(std::span<const std::uint32_t> ids, std::uint32_t* set) noexcept {
  std::fill(set, set + K, ids.back());
  std::copy(ids.begin(), ids.end(), set);
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = has_avx2();
  if (avx2) return next_sparse_avx2<K>;
#endif
  return next_sparse<K>;
}

class Scanner {
 public:
  Scanner(const vl_dict* dict, const AnchorTable& table, std::span<const std::uint8_t> pattern)
      : dict_(dict), table_(table), pattern_(pattern), k_(table.anchor()) {}

  // Scans the ids of object `name`, writing hits from index `found` on
  // until hits is full; returns the new count.
  std::uint64_t scan(std::span<const Segment> segs, const char* name, std::span<vl_hit> hits,
                     std::uint64_t found) const {
    const Segment* const end = segs.data() + segs.size();
    if (!table_.sparse()) return scan_dense(segs, name, hits, found);
    const std::span<const std::uint32_t> ids = table_.sparse_ids();
    std::uint32_t set[AnchorTable::kSparseIds];
    static_assert(AnchorTable::kSparseIds == 8);
    const NextMemberFn next = ids.size() <= 2   ? next_for<2>(ids, set)
                              : ids.size() <= 4 ? next_for<4>(ids, set)
                                                : next_for<8>(ids, set);
    Positions positions(table_);
    for (const Segment* seg = segs.data(); seg != end; ++seg) {
      for (std::uint64_t i = 0; (i = next(seg->ids, i, seg->n, set)) < seg->n; ++i) {
        if (try_token(segs, Cursor{seg, i}, name, hits, found, positions)) return found;
      }
    }
    return found;
  }

 private:
  // Many ids hold anchors, and hits may be dense: one pass that tests each
  // token and adds up the byte lengths, instead of measuring from a leaf's
  // start for every hit.
  std::uint64_t scan_dense(std::span<const Segment> segs, const char* name, std::span<vl_hit> hits,
                           std::uint64_t found) const {
    const IdEntry* entries = table_.entries();
    const std::uint16_t* info = table_.info();
    const std::uint32_t* cands = table_.cands();
    const std::uint32_t max_id = table_.max_id();
    const std::uint8_t byte = pattern_[k_];
    std::uint64_t pos = 0;  // of the token looked at
    for (const Segment& seg : segs) {
      const std::uint32_t* ids = seg.ids;
      for (std::uint64_t i = 0; i < seg.n; ++i) {
        const std::uint32_t id = ids[i];
        if (id <= max_id) {
          const std::uint16_t x = info[id];
          std::uint64_t len = x >> 1;
          if (len == AnchorTable::kLongInfo) [[unlikely]]
            len = entries[id].len;
          if ((x & 1) != 0) {
            const std::uint32_t end = entries[id + 1].cand;
            for (std::uint32_t c = entries[id].cand; c < end; ++c) {
              const std::uint32_t off = cands[c];
              if (!holds(segs, Cursor{&seg, i}, off, len)) continue;
              hits[found++] = vl_hit{name, pos + off - k_};
              if (found == hits.size()) return found;
            }
          }
          pos += len;
        } else if (id >= kByteTokenBase) {
          if (static_cast<std::uint8_t>(id) == byte && holds(segs, Cursor{&seg, i}, 0, 1)) {
            hits[found++] = vl_hit{name, pos - k_};
            if (found == hits.size()) return found;
          }
          pos += 1;
        }
        // Unassigned ids decode to nothing.
      }
    }
    return found;
  }

  // Verifies the anchors of token t, in increasing offset, writing a hit
  // for each occurrence; true once hits is full.
  bool try_token(std::span<const Segment> segs, Cursor t, const char* name, std::span<vl_hit> hits,
                 std::uint64_t& found, Positions& positions) const {
    const std::uint32_t id = t.seg->ids[t.at];
    if (id >= kByteTokenBase) {
      if (static_cast<std::uint8_t>(id) != pattern_[k_] || !holds(segs, t, 0, 1)) return false;
      hits[found++] = vl_hit{name, positions.at(t) - k_};
      return found == hits.size();
    }
    if (id > table_.max_id()) return false;
    const IdEntry* entries = table_.entries();
    const std::uint32_t* cands = table_.cands();
    const std::uint32_t end = entries[id + 1].cand;
    for (std::uint32_t c = entries[id].cand; c < end; ++c) {
      const std::uint32_t off = cands[c];
      if (!holds(segs, t, off, entries[id].len)) continue;
      hits[found++] = vl_hit{name, positions.at(t) + off - k_};
      if (found == hits.size()) return true;
    }
    return false;
  }

  // True when an occurrence has its anchor byte at offset j of token t,
  // whose text (len bytes) is known to agree with the pattern there.
  bool holds(std::span<const Segment> segs, Cursor t, std::uint64_t j, std::uint64_t len) const {
    const std::uint64_t through = len - j + k_;  // pattern bytes up to t's end
    if (through < pattern_.size() && !continues(segs, t, through)) return false;
    return j >= k_ || precedes(segs, t, k_ - j);
  }

  // True when the pattern's first `need` bytes end right before token t.
  bool precedes(std::span<const Segment> segs, Cursor t, std::uint64_t need) const {
    while (need > 0) {
      if (t.at == 0) {
        if (t.seg == segs.data()) return false;
        --t.seg;
        t.at = t.seg->n;
      }
      const std::uint32_t id = t.seg->ids[--t.at];
      if (table_.length(id) == 0) continue;
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict_, id, &len);
      if (len == 0 || text == nullptr) continue;
      const std::uint64_t m = std::min(len, need);
      if (!same_bytes(text + len - m, pattern_.data() + need - m, m)) return false;
      need -= m;
    }
    return true;
  }

  // True when the pattern, whose first `done` bytes are known to match up
  // to the end of token t, goes on matching through the tokens after t.
  // Empty tokens are stepped over: they add nothing to the text.
  bool continues(std::span<const Segment> segs, Cursor t, std::uint64_t done) const {
    const Segment* const end = segs.data() + segs.size();
    while (done < pattern_.size()) {
      if (++t.at == t.seg->n) {
        if (++t.seg == end) return false;
        t.at = 0;
      }
      const std::uint32_t id = t.seg->ids[t.at];
      if (table_.length(id) == 0) continue;
      // Most continuations fail on the next token's first byte.
      if (table_.first_byte(id) != pattern_[done]) return false;
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict_, id, &len);
      if (len == 0 || text == nullptr) continue;
      const std::uint64_t m = std::min<std::uint64_t>(len, pattern_.size() - done);
      if (!same_bytes(text, pattern_.data() + done, m)) return false;
      done += m;
    }
    return true;
  }

  const vl_dict* dict_;
  const AnchorTable& table_;
  std::span<const std::uint8_t> pattern_;
  std::uint64_t k_;  // index of the anchor byte in the pattern
};

// Up to kSampleIds ids from the start of the first non-empty current text,
// whose mix of tokens stands for the rest.
constexpr std::uint64_t kSampleIds = 4096;
std::vector<std::uint32_t> sample_ids(const vl_engine* engine) {
  std::vector<std::uint32_t> out;
  for (const auto& object : engine->objects) {
    if (object->versions.empty() || object->current().tokens == 0) continue;
    struct Ctx {
      vl_store* store;
      std::vector<std::uint32_t>* out;
    } ctx{engine->store, &out};
    out.reserve(kSampleIds);
    // Leaves of a text's first 16 KiB hold a few thousand ids.
    vl_ext_walk_range(
        object->current().root, 0, 16384,
        [](void* c, const vl_leaf* leaf, std::uint64_t, std::uint64_t) -> int {
          auto* x = static_cast<Ctx*>(c);
          std::uint64_t n = 0;
          const std::uint32_t* toks = vl_store_get(x->store, leaf->key, &n);
          if (toks == nullptr || leaf->off >= n) return 0;
          n = std::min<std::uint64_t>(leaf->count, n - leaf->off);
          n = std::min(n, kSampleIds - x->out->size());
          x->out->insert(x->out->end(), toks + leaf->off, toks + leaf->off + n);
          return 0;
        },
        &ctx);
    break;
  }
  return out;
}

}  // namespace

std::uint64_t search(vl_engine* engine, std::span<const std::uint8_t> pattern,
                     std::span<vl_hit> hits) {
  if (pattern.empty() || engine == nullptr) return 0;
  if (hits.empty() || engine->objects.empty()) return 0;

  const AnchorTable table(engine->dict, pattern, sample_ids(engine));
  const Scanner scanner(engine->dict, table, pattern);
  Buffer<Segment> seg_buffer;
  std::uint64_t found = 0;
  for (const auto& object : engine->objects) {
    if (found == hits.size()) break;
    if (object->versions.empty()) continue;
    const vl_version& v = object->current();
    if (v.tokens == 0) continue;
    // A count no id array could hold, or a leaf list that cannot be
    // allocated, stops the search: keep what was found.
    if (v.tokens > SIZE_MAX / sizeof(std::uint32_t)) break;
    const std::uint64_t leaves = vl_ext_leaves(v.root);
    Segment* segs = seg_buffer.room(leaves);
    if (segs == nullptr && leaves != 0) break;
    FlatCtx ctx{engine->dict, engine->store, segs, leaves, 0, v.tokens, 0, false};
    vl_ext_walk(v.root, flat_leaf, &ctx);
    if (ctx.damaged) throw DamagedData();
    engine->stats.tokens_scanned += v.tokens;
    found = scanner.scan(std::span(segs, ctx.n_segs), object->name, hits, found);
  }
  return found;
}

}  // namespace velta::engine
