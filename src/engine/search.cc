// vl_search: every occurrence of a byte string in the current texts.
//
// Texts are never decoded. A candidate table, built once per call from the
// dictionary alone, lists for every learned id the offsets in its text at
// which the pattern can begin: the whole pattern lies inside the entry
// there, or the entry's tail is a prefix of the pattern. Each object's
// current version is then flattened into its token ids; only the listed
// offsets are tried, and a match whose first token holds only a prefix is
// continued through the following tokens' texts. A token without
// candidates costs one bit test; byte positions are measured only for
// hits, from the start of the leaf that holds them.
#include "engine/search.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "util/limits.h"

namespace velta::engine {
namespace {

// Ids from here up are byte tokens: one byte, the id's low eight bits.

// memcmp(a, b, n) == 0, without a library call for the few bytes a
// continuation usually compares.
inline bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Per id up to the dictionary size: index in the candidate list at which
// its candidates begin, and its text length in bytes. The entry after the
// last id holds the candidate total, so the candidates of id t are
// [entry t .cand, entry t + 1 .cand). Entry 0 (no token) is all zero.
struct IdEntry {
  std::uint32_t cand;
  std::uint32_t len;
};

class CandidateTable {
  static constexpr std::uint64_t kLongEntry = 255;

 public:
  // Throws std::bad_alloc. Cost: the total text length of the dictionary,
  // plus one comparison of at most plen bytes per offset holding the
  // pattern's first byte.
  CandidateTable(const vl_dict* dict, std::span<const std::uint8_t> pattern)
      : max_id_(std::min(vl_dict_size(dict), kByteTokenBase - 1)) {
    entries_.resize(std::size_t{max_id_} + 2);
    first_.resize(std::size_t{max_id_} + 1);
    short_len_.resize(std::size_t{max_id_} + 1);
    const std::uint8_t first = pattern[0];
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict, id, &len);
      entries_[id] = {static_cast<std::uint32_t>(cands_.size()), static_cast<std::uint32_t>(len)};
      short_len_[id] = static_cast<std::uint8_t>(std::min<std::uint64_t>(len, kLongEntry));
      if (text == nullptr || len == 0) continue;
      first_[id] = text[0];
      for (std::uint64_t j = 0; j < len; ++j) {
        if (text[j] != first) continue;
        const std::uint64_t n = std::min<std::uint64_t>(pattern.size(), len - j);
        if (std::memcmp(text + j + 1, pattern.data() + 1, n - 1) != 0) continue;
        if (cands_.empty()) cands_.reserve(1024);
        cands_.push_back(static_cast<std::uint32_t>(j));
      }
    }
    entries_[std::size_t{max_id_} + 1].cand = static_cast<std::uint32_t>(cands_.size());
    has_.resize(std::size_t{max_id_} / 64 + 1);
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      if (entries_[id + 1].cand != entries_[id].cand)
        has_[id >> 6] |= std::uint64_t{1} << (id & 63);
    }
  }

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
  // Bit id is set when id has candidates: the scan's test for most tokens,
  // small enough to stay in the first-level cache.
  const std::uint64_t* has_candidates() const noexcept { return has_.data(); }

 private:
  std::uint32_t max_id_;
  std::vector<IdEntry> entries_;      // max_id_ + 2 entries
  std::vector<std::uint32_t> cands_;  // grouped by id, increasing within an id
  std::vector<std::uint64_t> has_;    // (max_id_ + 64) / 64 words
  std::vector<std::uint8_t> first_;   // max_id_ + 1 first bytes
  // max_id_ + 1 lengths, kLongEntry for one to look up in entries_: a
  // table an eighth the size, for measuring tokens between hits.
  std::vector<std::uint8_t> short_len_;
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
  Positions(const CandidateTable& table, const std::uint32_t* ids, std::span<const LeafMark> marks)
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
  const CandidateTable& table_;
  const std::uint32_t* ids_;
  std::span<const LeafMark> marks_;
  std::size_t next_ = 0;    // first mark not yet passed
  std::uint64_t tok_ = 0;   // token index of the cursor
  std::uint64_t byte_ = 0;  // its byte position
};

class Scanner {
 public:
  Scanner(const vl_dict* dict, const CandidateTable& table, std::span<const std::uint8_t> pattern)
      : dict_(dict), table_(table), pattern_(pattern) {}

  // Scans ids[0, n) of object `name`, writing hits from index `found` on
  // until hits is full; returns the new count. `marks` may be empty.
  std::uint64_t scan(const std::uint32_t* ids, std::uint64_t n, std::span<const LeafMark> marks,
                     const char* name, std::span<vl_hit> hits, std::uint64_t found) const {
    const IdEntry* entries = table_.entries();
    const std::uint64_t* has = table_.has_candidates();
    const std::uint32_t* cands = table_.cands();
    const std::uint32_t max_id = table_.max_id();
    const std::uint8_t first = pattern_[0];
    Positions positions(table_, ids, marks);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint32_t id = ids[i];
      if (id <= max_id) {
        if (((has[id >> 6] >> (id & 63)) & 1) == 0) continue;
        const IdEntry e = entries[id];
        const std::uint32_t end = entries[id + 1].cand;
        for (std::uint32_t c = e.cand; c < end; ++c) {
          const std::uint32_t off = cands[c];
          if (!continues(ids, n, i, e.len - off)) continue;
          hits[found++] = vl_hit{name, positions.at(i) + off};
          if (found == hits.size()) return found;
        }
      } else if (id >= kByteTokenBase) {
        if (static_cast<std::uint8_t>(id) != first || !continues(ids, n, i, 1)) continue;
        hits[found++] = vl_hit{name, positions.at(i)};
        if (found == hits.size()) return found;
      }
      // Unassigned ids decode to nothing.
    }
    return found;
  }

 private:
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
  const CandidateTable& table_;
  std::span<const std::uint8_t> pattern_;
};

}  // namespace

std::uint64_t search(vl_engine* engine, std::span<const std::uint8_t> pattern,
                     std::span<vl_hit> hits) {
  if (pattern.empty() || engine == nullptr) return 0;
  if (hits.empty() || engine->objects.empty()) return 0;

  const CandidateTable table(engine->dict, pattern);
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
    const std::uint64_t leaves = vl_ext_leaves(v.root);
    LeafMark* marks = mark_buffer.room(leaves);
    FlatCtx ctx{engine->store, ids, v.tokens, 0, marks, marks != nullptr ? leaves : 0, 0, 0};
    vl_ext_walk(v.root, flat_leaf, &ctx);
    engine->stats.tokens_scanned += v.tokens;
    found = scanner.scan(ids, ctx.fill, std::span(marks, ctx.n_marks), object->name, hits, found);
  }
  return found;
}

}  // namespace velta::engine
