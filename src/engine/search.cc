// vl_search: every occurrence of a byte string in the current texts.
//
// Texts are never decoded. One byte of the pattern, at index k, is the
// anchor: every occurrence has exactly one token holding its k-th byte. A
// table built once per call from the dictionary alone lists for every
// learned id the offsets j in its text where that byte can lie: text[j] is
// pattern[k] and the entry's bytes around j agree with the pattern as far
// as both reach. k is chosen among the pattern's distinct bytes as the one
// with the fewest such offsets, so a pattern that begins with a common byte
// but holds a rare one tries few tokens; with k = 0 the offsets are those
// where the pattern can begin. Each object's current version is flattened
// into its token ids; tokens with anchors are found with one bit test per
// token (or, when at most kSparseIds ids have any, by comparing eight ids
// at a time with all of them), and each anchor is verified backwards
// through the tokens before it and forwards through those after it, empty
// tokens stepped over. An occurrence is found once, from the token holding
// its k-th byte, and those come in text order, so hits come by increasing
// position. Byte positions are measured only for hits, from the start of
// the leaf that holds them.
#include "engine/search.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

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

 public:
  // info() length of an id whose length is looked up in entries() instead.
  static constexpr std::uint64_t kLongInfo = 0x7FFF;
  // At most this many ids (learned ids with anchors, and the byte token of
  // the anchor byte) make a search sparse.
  static constexpr std::size_t kSparseIds = 8;

  // Throws std::bad_alloc. Cost: twice the total text length of the
  // dictionary, plus one comparison of at most plen bytes per offset
  // holding a byte of the pattern.
  AnchorTable(const vl_dict* dict, std::span<const std::uint8_t> pattern)
      : pattern_(pattern), max_id_(std::min(vl_dict_size(dict), kByteTokenBase - 1)) {
    entries_.resize(std::size_t{max_id_} + 2);
    first_.resize(std::size_t{max_id_} + 1);
    short_len_.resize(std::size_t{max_id_} + 1);
    info_.resize(std::size_t{max_id_} + 1);
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict, id, &len);
      entries_[id].len = static_cast<std::uint32_t>(len);
      short_len_[id] = static_cast<std::uint8_t>(std::min<std::uint64_t>(len, kLongEntry));
      info_[id] = static_cast<std::uint16_t>(std::min<std::uint64_t>(len, kLongInfo) << 1);
      if (text != nullptr && len != 0) first_[id] = text[0];
    }
    k_ = choose_anchor(dict);
    const std::uint8_t byte = pattern_[k_];
    std::vector<std::uint32_t> with;  // learned ids with anchors, up to one too many
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      entries_[id].cand = static_cast<std::uint32_t>(cands_.size());
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict, id, &len);
      if (text == nullptr) continue;
      for (std::uint64_t j = 0; j < len; ++j) {
        if (text[j] != byte || !agrees(text, len, j, k_)) continue;
        if (cands_.empty()) cands_.reserve(1024);
        cands_.push_back(static_cast<std::uint32_t>(j));
      }
      if (cands_.size() != entries_[id].cand && with.size() < kSparseIds) with.push_back(id);
    }
    entries_[std::size_t{max_id_} + 1].cand = static_cast<std::uint32_t>(cands_.size());
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      if (entries_[id + 1].cand == entries_[id].cand) continue;
      info_[id] |= 1;
    }
    if (with.size() < kSparseIds) {
      with.push_back(kByteTokenBase | byte);
      // Repeats pad the set to its fixed size; a repeat matches nothing new.
      sparse_.fill(with.back());
      std::copy(with.begin(), with.end(), sparse_.begin());
      sparse_size_ = with.size();
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
  // When at most kSparseIds ids hold anchors: those ids, padded with
  // repeats; sparse() is false otherwise.
  const std::uint32_t* sparse_ids() const noexcept { return sparse_.data(); }
  bool sparse() const noexcept { return sparse_size_ != 0; }

 private:
  // Whether the k-th byte of the pattern can lie at offset j of `text`
  // (whose byte there is that byte): the bytes around j agree with the
  // pattern as far as both reach.
  bool agrees(const std::uint8_t* text, std::uint64_t len, std::uint64_t j,
              std::uint64_t k) const noexcept {
    const std::uint64_t left = std::min(k, j);
    const std::uint64_t right = std::min(pattern_.size() - k, len - j);
    return std::memcmp(text + j - left, pattern_.data() + k - left, left + right) == 0;
  }

  // The anchor index with the fewest offsets over the dictionary, the
  // first such one on a tie (index 0 needs no backward check).
  std::uint64_t choose_anchor(const vl_dict* dict) const {
    std::array<std::uint8_t, 256> slot;
    slot.fill(0xFF);
    std::vector<std::uint64_t> ks;
    for (std::uint64_t k = 0; k < pattern_.size() && ks.size() < kMaxAnchors; ++k) {
      if (slot[pattern_[k]] != 0xFF) continue;
      slot[pattern_[k]] = static_cast<std::uint8_t>(ks.size());
      ks.push_back(k);
    }
    if (ks.size() == 1) return 0;
    std::vector<std::uint64_t> count(ks.size());
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict, id, &len);
      if (text == nullptr) continue;
      for (std::uint64_t j = 0; j < len; ++j) {
        const std::uint8_t s = slot[text[j]];
        if (s != 0xFF && agrees(text, len, j, ks[s])) ++count[s];
      }
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
  std::array<std::uint32_t, kSparseIds> sparse_{};
  std::size_t sparse_size_ = 0;
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

// Where a leaf begins: its first token's index in the id array and its
// first byte in the text. Lets a hit's byte position be found without
// measuring every token before it.
struct LeafMark {
  std::uint64_t tok;
  std::uint64_t byte;
};

struct FlatCtx {
  vl_store* store;
  std::uint32_t* ids;  // room for cap ids
  std::uint64_t cap;
  std::uint64_t fill;
  LeafMark* marks;  // room for mark_cap marks (NULL: none kept)
  std::uint64_t mark_cap;
  std::uint64_t n_marks;
  std::uint64_t bytes;  // text bytes of the leaves visited so far
};

// vl_leaf_visit_fn: appends the leaf's ids and notes where it begins. Never
// writes past `cap` ids or `mark_cap` marks, and never reads past the
// leaf's chunk, whatever the tree claims.
int flat_leaf(void* ctx, const vl_leaf* leaf, std::uint64_t bytes) {
  auto* c = static_cast<FlatCtx*>(ctx);
  if (c->n_marks < c->mark_cap) c->marks[c->n_marks++] = LeafMark{c->fill, c->bytes};
  c->bytes += bytes;
  std::uint64_t n = 0;
  const std::uint32_t* toks = vl_store_get(c->store, leaf->key, &n);
  if (toks == nullptr || leaf->off >= n) return 0;
  std::uint64_t count = std::min<std::uint64_t>(leaf->count, n - leaf->off);
  count = std::min(count, c->cap - c->fill);
  if (count == 0) return 0;
  std::memcpy(c->ids + c->fill, toks + leaf->off, count * sizeof(std::uint32_t));
  c->fill += count;
  return 0;
}

// Byte positions of tokens of one flattened version, asked for in
// increasing token order. Jumps from leaf mark to leaf mark and measures
// only the tokens between a mark and the token asked for.
class Positions {
 public:
  Positions(const AnchorTable& table, const std::uint32_t* ids, std::span<const LeafMark> marks)
      : table_(table), ids_(ids), marks_(marks) {}

  // REQUIRES: i not below the previous call's i.
  std::uint64_t at(std::uint64_t i) {
    for (; next_ < marks_.size() && marks_[next_].tok <= i; ++next_) {
      if (marks_[next_].tok > tok_) {
        tok_ = marks_[next_].tok;
        byte_ = marks_[next_].byte;
      }
    }
    for (; tok_ < i; ++tok_) byte_ += table_.length(ids_[tok_]);
    return byte_;
  }

 private:
  const AnchorTable& table_;
  const std::uint32_t* ids_;
  std::span<const LeafMark> marks_;
  std::size_t next_ = 0;    // first mark not yet passed
  std::uint64_t tok_ = 0;   // token index of the cursor
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

std::uint64_t next_sparse(const std::uint32_t* ids, std::uint64_t from, std::uint64_t n,
                          const std::uint32_t* set) noexcept {
  return next_member<AnchorTable::kSparseIds>(ids, from, n, set);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with 256-bit compares, on processors that have them.
[[gnu::target("avx2")]] std::uint64_t next_sparse_avx2(const std::uint32_t* ids, std::uint64_t from,
                                                       std::uint64_t n,
                                                       const std::uint32_t* set) noexcept {
  return next_member<AnchorTable::kSparseIds>(ids, from, n, set);
}

NextMemberFn pick_next_sparse() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? next_sparse_avx2 : next_sparse;
}
#else
NextMemberFn pick_next_sparse() noexcept { return next_sparse; }
#endif

class Scanner {
 public:
  Scanner(const vl_dict* dict, const AnchorTable& table, std::span<const std::uint8_t> pattern)
      : dict_(dict), table_(table), pattern_(pattern), k_(table.anchor()) {}

  // Whether scan() uses leaf marks.
  bool wants_marks() const noexcept { return table_.sparse(); }

  // Scans ids[0, n) of object `name`, writing hits from index `found` on
  // until hits is full; returns the new count. `marks` may be empty.
  std::uint64_t scan(const std::uint32_t* ids, std::uint64_t n, std::span<const LeafMark> marks,
                     const char* name, std::span<vl_hit> hits, std::uint64_t found) const {
    Positions positions(table_, ids, marks);
    if (table_.sparse()) {
      static const NextMemberFn next = pick_next_sparse();
      const std::uint32_t* set = table_.sparse_ids();
      for (std::uint64_t i = 0; (i = next(ids, i, n, set)) < n; ++i) {
        if (try_token(ids, n, i, name, hits, found, positions)) break;
      }
      return found;
    }
    return scan_dense(ids, n, name, hits, found);
  }

 private:
  // Many ids hold anchors, and hits may be dense: one pass that tests each
  // token and adds up the byte lengths, instead of measuring from a leaf
  // mark for every hit.
  std::uint64_t scan_dense(const std::uint32_t* ids, std::uint64_t n, const char* name,
                           std::span<vl_hit> hits, std::uint64_t found) const {
    const IdEntry* entries = table_.entries();
    const std::uint16_t* info = table_.info();
    const std::uint32_t* cands = table_.cands();
    const std::uint32_t max_id = table_.max_id();
    const std::uint8_t byte = pattern_[k_];
    std::uint64_t pos = 0;  // of token i
    for (std::uint64_t i = 0; i < n; ++i) {
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
            if (!holds(ids, n, i, off, len)) continue;
            hits[found++] = vl_hit{name, pos + off - k_};
            if (found == hits.size()) return found;
          }
        }
        pos += len;
      } else if (id >= kByteTokenBase) {
        if (static_cast<std::uint8_t>(id) == byte && holds(ids, n, i, 0, 1)) {
          hits[found++] = vl_hit{name, pos - k_};
          if (found == hits.size()) return found;
        }
        pos += 1;
      }
      // Unassigned ids decode to nothing.
    }
    return found;
  }

  // Verifies the anchors of token i, in increasing offset, writing a hit
  // for each occurrence; true once hits is full.
  bool try_token(const std::uint32_t* ids, std::uint64_t n, std::uint64_t i, const char* name,
                 std::span<vl_hit> hits, std::uint64_t& found, Positions& positions) const {
    const std::uint32_t id = ids[i];
    if (id >= kByteTokenBase) {
      if (static_cast<std::uint8_t>(id) != pattern_[k_] || !holds(ids, n, i, 0, 1)) return false;
      hits[found++] = vl_hit{name, positions.at(i) - k_};
      return found == hits.size();
    }
    if (id > table_.max_id()) return false;
    const IdEntry* entries = table_.entries();
    const std::uint32_t* cands = table_.cands();
    const std::uint32_t end = entries[id + 1].cand;
    for (std::uint32_t c = entries[id].cand; c < end; ++c) {
      const std::uint32_t off = cands[c];
      if (!holds(ids, n, i, off, entries[id].len)) continue;
      hits[found++] = vl_hit{name, positions.at(i) + off - k_};
      if (found == hits.size()) return true;
    }
    return false;
  }

  // True when an occurrence has its anchor byte at offset j of token i,
  // whose text (len bytes) is known to agree with the pattern there.
  bool holds(const std::uint32_t* ids, std::uint64_t n, std::uint64_t i, std::uint64_t j,
             std::uint64_t len) const {
    const std::uint64_t through = len - j + k_;  // pattern bytes up to token i's end
    if (through < pattern_.size() && !continues(ids, n, i, through)) return false;
    return j >= k_ || precedes(ids, i, k_ - j);
  }

  // True when the pattern's first `need` bytes end right before token i.
  bool precedes(const std::uint32_t* ids, std::uint64_t i, std::uint64_t need) const {
    while (need > 0) {
      if (i == 0) return false;
      const std::uint32_t id = ids[--i];
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
  // to the end of token i, goes on matching through the tokens after i.
  // Empty tokens are stepped over: they add nothing to the text.
  bool continues(const std::uint32_t* ids, std::uint64_t n, std::uint64_t i,
                 std::uint64_t done) const {
    while (done < pattern_.size()) {
      if (++i >= n) return false;
      const std::uint32_t id = ids[i];
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

}  // namespace

std::uint64_t search(vl_engine* engine, std::span<const std::uint8_t> pattern,
                     std::span<vl_hit> hits) {
  if (pattern.empty() || engine == nullptr) return 0;
  if (hits.empty() || engine->objects.empty()) return 0;

  const AnchorTable table(engine->dict, pattern);
  const Scanner scanner(engine->dict, table, pattern);
  Buffer<std::uint32_t> id_buffer;
  Buffer<LeafMark> mark_buffer;
  std::uint64_t found = 0;
  for (const auto& object : engine->objects) {
    if (found == hits.size()) break;
    if (object->versions.empty()) continue;
    const vl_version& v = object->current();
    if (v.tokens == 0) continue;
    std::uint32_t* ids = id_buffer.room(v.tokens);
    if (ids == nullptr) break;  // out of memory: keep what was found
    // Without marks positions are still right, only measured token by token.
    const std::uint64_t leaves = scanner.wants_marks() ? vl_ext_leaves(v.root) : 0;
    LeafMark* marks = leaves != 0 ? mark_buffer.room(leaves) : nullptr;
    FlatCtx ctx{engine->store, ids, v.tokens, 0, marks, marks != nullptr ? leaves : 0, 0, 0};
    vl_ext_walk(v.root, flat_leaf, &ctx);
    engine->stats.tokens_scanned += v.tokens;
    found = scanner.scan(ids, ctx.fill, std::span(marks, ctx.n_marks), object->name, hits, found);
  }
  return found;
}

}  // namespace velta::engine
