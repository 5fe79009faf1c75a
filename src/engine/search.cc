// vl_search: every occurrence of a byte string in the current texts.
//
// Texts are never decoded. A candidate table, built once per call from the
// dictionary alone, lists for every learned id the offsets in its text at
// which the pattern can begin: the whole pattern lies inside the entry
// there, or the entry's tail is a prefix of the pattern. Each object's
// current version is then flattened into its token ids; only the listed
// offsets are tried, and a match whose first token holds only a prefix is
// continued through the following tokens' texts. A token without
// candidates costs one table lookup.
#include "engine/search.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "util/capi_guard.h"

namespace velta::engine {
namespace {

// Ids from here up are byte tokens: one byte, the id's low eight bits.
constexpr std::uint32_t kByteTokenBase = 0xFFFFFF00u;

// Per id up to the dictionary size: index in the candidate list at which
// its candidates begin, and its text length in bytes. The entry after the
// last id holds the candidate total, so the candidates of id t are
// [entry t .cand, entry t + 1 .cand). Entry 0 (no token) is all zero.
struct IdEntry {
  std::uint32_t cand;
  std::uint32_t len;
};

class CandidateTable {
 public:
  // Throws std::bad_alloc. Cost: the total text length of the dictionary,
  // plus one comparison of at most plen bytes per offset holding the
  // pattern's first byte.
  CandidateTable(const vl_dict* dict, std::span<const std::uint8_t> pattern)
      : max_id_(std::min(vl_dict_size(dict), kByteTokenBase - 1)) {
    entries_.resize(std::size_t{max_id_} + 2);
    const std::uint8_t first = pattern[0];
    for (std::uint32_t id = 1; id <= max_id_; ++id) {
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict, id, &len);
      entries_[id] = {static_cast<std::uint32_t>(cands_.size()), static_cast<std::uint32_t>(len)};
      if (text == nullptr) continue;
      for (std::uint64_t j = 0; j < len; ++j) {
        if (text[j] != first) continue;
        const std::uint64_t n = std::min<std::uint64_t>(pattern.size(), len - j);
        if (std::memcmp(text + j + 1, pattern.data() + 1, n - 1) != 0) continue;
        if (cands_.empty()) cands_.reserve(1024);
        cands_.push_back(static_cast<std::uint32_t>(j));
      }
    }
    entries_[std::size_t{max_id_} + 1].cand = static_cast<std::uint32_t>(cands_.size());
  }

  // Ids above this (and below the byte tokens) are unassigned.
  std::uint32_t max_id() const noexcept { return max_id_; }
  const IdEntry* entries() const noexcept { return entries_.data(); }
  const std::uint32_t* cands() const noexcept { return cands_.data(); }

 private:
  std::uint32_t max_id_;
  std::vector<IdEntry> entries_;      // max_id_ + 2 entries
  std::vector<std::uint32_t> cands_;  // grouped by id, increasing within an id
};

// Holds the ids of one version; reused from object to object.
class IdBuffer {
 public:
  // Room for n ids, or NULL when that cannot be allocated (the count comes
  // from the version, which a crafted snapshot may make enormous).
  std::uint32_t* room(std::uint64_t n) noexcept {
    if (n <= cap_) return ids_.get();
    ids_.reset();
    cap_ = 0;
    if (n > SIZE_MAX / sizeof(std::uint32_t)) return nullptr;
    ids_.reset(new (std::nothrow) std::uint32_t[n]);
    if (ids_ != nullptr) cap_ = n;
    return ids_.get();
  }

 private:
  std::unique_ptr<std::uint32_t[]> ids_;
  std::uint64_t cap_ = 0;
};

struct FlatCtx {
  vl_store* store;
  std::uint32_t* ids;  // room for cap ids
  std::uint64_t cap;
  std::uint64_t fill;
};

// vl_leaf_visit_fn: appends the leaf's ids. Never writes past `cap`, and
// never reads past its chunk, whatever the tree claims.
int flat_leaf(void* ctx, const vl_leaf* leaf, std::uint64_t /*bytes*/) {
  auto* c = static_cast<FlatCtx*>(ctx);
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

class Scanner {
 public:
  Scanner(const vl_dict* dict, const CandidateTable& table, std::span<const std::uint8_t> pattern)
      : dict_(dict), table_(table), pattern_(pattern) {}

  // Scans ids[0, n) of object `name`, writing hits from index `found` on
  // until hits is full; returns the new count.
  std::uint64_t scan(const std::uint32_t* ids, std::uint64_t n, const char* name,
                     std::span<vl_hit> hits, std::uint64_t found) const {
    const IdEntry* entries = table_.entries();
    const std::uint32_t* cands = table_.cands();
    const std::uint32_t max_id = table_.max_id();
    const std::uint8_t first = pattern_[0];
    std::uint64_t base = 0;  // byte position of token i
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint32_t id = ids[i];
      if (id <= max_id) {
        const IdEntry e = entries[id];
        const std::uint32_t end = entries[id + 1].cand;
        for (std::uint32_t c = e.cand; c < end; ++c) {
          const std::uint32_t off = cands[c];
          if (!continues(ids, n, i, e.len - off)) continue;
          hits[found++] = vl_hit{name, base + off};
          if (found == hits.size()) return found;
        }
        base += e.len;
      } else if (id >= kByteTokenBase) {
        if (static_cast<std::uint8_t>(id) == first && continues(ids, n, i, 1)) {
          hits[found++] = vl_hit{name, base};
          if (found == hits.size()) return found;
        }
        base += 1;
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
      std::uint64_t len = 0;
      const std::uint8_t* text = vl_dict_text(dict_, ids[i], &len);
      if (len == 0 || text == nullptr) continue;
      const std::uint64_t m = std::min<std::uint64_t>(len, pattern_.size() - done);
      if (std::memcmp(text, pattern_.data() + done, m) != 0) return false;
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
  IdBuffer buffer;
  std::uint64_t found = 0;
  for (const auto& object : engine->objects) {
    if (found == hits.size()) break;
    if (object->versions.empty()) continue;
    const vl_version& v = object->current();
    if (v.tokens == 0) continue;
    std::uint32_t* ids = buffer.room(v.tokens);
    if (ids == nullptr) break;  // out of memory: keep what was found
    FlatCtx ctx{engine->store, ids, v.tokens, 0};
    vl_ext_walk(v.root, flat_leaf, &ctx);
    engine->stats.tokens_scanned += v.tokens;
    found = scanner.scan(ids, ctx.fill, object->name, hits, found);
  }
  return found;
}

}  // namespace velta::engine

extern "C" uint64_t vl_search(vl_engine* engine, const void* pattern, uint64_t plen, vl_hit* hits,
                              uint64_t max_hits) VL_NOEXCEPT {
  if (pattern == nullptr || hits == nullptr) return 0;
  return velta::guard(std::uint64_t{0}, [&] {
    return velta::engine::search(engine, std::span(static_cast<const std::uint8_t*>(pattern), plen),
                                 std::span(hits, max_hits));
  });
}
