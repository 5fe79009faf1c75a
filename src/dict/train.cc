// Phrase training: passes that count adjacent unit pairs of a sample, add
// the most frequent pair texts as entries, and regroup the sample so every
// stretch now in the dictionary is one unit.
//
// Which pairs get in, and in which order, is fixed by a pair table of
// mask + 1 records (0x400000) probed linearly from hash & mask, filled until
// filled * 10 exceeds the fill limit, and visited in record order when
// selecting. That table would be ~100 MB zeroed per pass, so it is not
// built. Without deletions a linear-probing table is fully described by
// (a) which records are occupied and (b) for each text, its record: a text
// already present is always found from its home, and a new text lands in
// the first unoccupied record at or after its home (cyclically). So a
// bitmap of occupied records (512 KiB) plus a hash map from pair text to
// (record, count), sized by the pairs actually seen, gives the same records,
// counts and visiting order at a cost proportional to the sample.
//
// Positions are u32 for samples below 4 GiB and u64 beyond.
#include <algorithm>
#include <bit>
#include <cstring>

#include "dict/dict_table.h"
#include "util/fnv.h"

namespace velta::dict {

namespace {

constexpr std::uint32_t kTrainLearnLimit = 0x1000000;
constexpr std::uint64_t kMaxPairRuns = 12;  // a pair spans at most this many runs
constexpr std::uint64_t kMaxMerge = 12;     // units merged into one by regrouping
constexpr std::uint32_t kBisectHi = 0x10000000;
constexpr int kBisectSteps = 28;
constexpr std::uint64_t kNone = ~std::uint64_t{0};

// A growable array whose growth reports failure instead of throwing.
template <class T>
struct Vec {
  Buf<T> data;
  std::uint64_t n = 0;
  std::uint64_t cap = 0;

  bool reserve(std::uint64_t want) noexcept {
    if (want <= cap) return true;
    std::uint64_t c = cap != 0 ? cap : 256;
    while (c < want) c *= 2;
    if (!buf_resize(data, c)) return false;
    cap = c;
    return true;
  }
  bool push(const T& v) noexcept {
    if (n == cap && !reserve(n + 1)) return false;
    data[n++] = v;
    return true;
  }
  T& operator[](std::uint64_t i) noexcept { return data[i]; }
};

// One distinct pair text of the current pass.
template <class Pos>
struct PairRec {
  std::uint64_t hash;   // FNV of the text, 1 in place of 0
  Pos start;            // byte offset of its first occurrence in the sample
  std::uint32_t len;    // bytes, 1..64
  std::uint32_t count;  // occurrences, saturating
  std::uint32_t rec;    // record index in the described table
};

template <class Pos>
class Trainer {
 public:
  Trainer(vl_dict& d, const std::uint8_t* s, std::uint64_t len, const PairTableShape& shape)
      : d_(d), s_(s), len_(len), shape_(shape) {}

  // Run starts and the initial units (every run a unit). false on OOM.
  bool init() noexcept {
    std::uint64_t runs = len_ != 0 ? 1 : 0;
    for (std::uint64_t i = 1; i < len_; ++i) runs += is_word(s_[i]) != is_word(s_[i - 1]);
    n_runs_ = runs;
    n_units_ = runs;
    if (!buf_resize(run_start_, runs + 1) || !buf_resize(units_, runs + 1)) return false;
    std::uint64_t r = 0;
    if (len_ != 0) run_start_[r++] = 0;
    for (std::uint64_t i = 1; i < len_; ++i)
      if (is_word(s_[i]) != is_word(s_[i - 1])) run_start_[r++] = static_cast<Pos>(i);
    run_start_[runs] = static_cast<Pos>(len_);
    for (std::uint64_t u = 0; u <= runs; ++u) units_[u] = static_cast<Pos>(u);
    const std::uint64_t records = std::uint64_t{shape_.mask} + 1;
    n_words_ = (records + 63) / 64;
    return buf_resize(occupied_, n_words_);
  }

  // One pass; returns the entries added, or kNone on OOM.
  std::uint64_t pass(std::uint32_t per_pass, std::uint32_t min_count) noexcept {
    if (!count_pairs()) return kNone;
    const std::uint32_t t = threshold(per_pass, min_count);
    const std::uint64_t added = select(t, per_pass);
    if (added == kNone || added == 0) return added;
    regroup();
    return added;
  }

 private:
  bool count_pairs() noexcept {
    std::memset(occupied_.get(), 0, n_words_ * sizeof(std::uint64_t));
    const std::uint64_t records = std::uint64_t{shape_.mask} + 1;
    if (records < 64) occupied_[0] = ~std::uint64_t{0} << records;  // no such records
    pairs_.n = 0;
    if (!reset_index()) return false;
    std::uint64_t filled = 0;
    for (std::uint64_t m = 0; m + 2 <= n_units_; ++m) {
      const std::uint64_t r0 = units_[m], r2 = units_[m + 2];
      if (r2 - r0 > kMaxPairRuns) continue;
      const std::uint64_t a = run_start_[r0];
      const std::uint64_t n = run_start_[r2] - a;
      if (n > kMaxEntryLen) continue;
      std::uint64_t h = fnv1a(s_ + a, static_cast<std::size_t>(n));
      if (h == 0) h = 1;
      std::uint64_t i = h & index_mask_;
      bool found = false;
      for (; index_[i] != 0; i = (i + 1) & index_mask_) {
        PairRec<Pos>& p = pairs_[index_[i] - 1];
        if (p.hash == h && p.len == n && std::memcmp(s_ + p.start, s_ + a, n) == 0) {
          if (p.count != UINT32_MAX) ++p.count;
          found = true;
          break;
        }
      }
      if (found || filled * 10 > shape_.fill_limit) continue;
      const std::uint64_t rec = first_free(h & shape_.mask);
      if (rec == kNone) continue;
      occupied_[rec >> 6] |= std::uint64_t{1} << (rec & 63);
      ++filled;
      if (!pairs_.push(PairRec<Pos>{h, static_cast<Pos>(a), static_cast<std::uint32_t>(n), 1,
                                    static_cast<std::uint32_t>(rec)}))
        return false;
      index_[i] = static_cast<std::uint32_t>(pairs_.n);
      if (pairs_.n * 2 > index_mask_ + 1 && !grow_index()) return false;
    }
    return true;
  }

  // First unoccupied record at or after `home`, wrapping; kNone when full.
  std::uint64_t first_free(std::uint64_t home) const noexcept {
    std::uint64_t w = home >> 6;
    std::uint64_t free_bits = ~occupied_[w] & (~std::uint64_t{0} << (home & 63));
    for (std::uint64_t seen = 0; seen <= n_words_; ++seen) {
      if (free_bits != 0) return (w << 6) + static_cast<unsigned>(std::countr_zero(free_bits));
      w = w + 1 == n_words_ ? 0 : w + 1;
      free_bits = ~occupied_[w];
    }
    return kNone;
  }

  bool reset_index() noexcept {
    if (!index_) {
      index_ = buf_zeroed<std::uint32_t>(4096);
      if (!index_) return false;
      index_mask_ = 4095;
      return true;
    }
    std::memset(index_.get(), 0, (index_mask_ + 1) * sizeof(std::uint32_t));
    return true;
  }

  bool grow_index() noexcept {
    const std::uint64_t n = (index_mask_ + 1) * 2;
    Buf<std::uint32_t> fresh = buf_zeroed<std::uint32_t>(n);
    if (!fresh) return false;
    for (std::uint64_t k = 0; k < pairs_.n; ++k) {
      std::uint64_t i = pairs_[k].hash & (n - 1);
      while (fresh[i] != 0) i = (i + 1) & (n - 1);
      fresh[i] = static_cast<std::uint32_t>(k + 1);
    }
    index_ = std::move(fresh);
    index_mask_ = n - 1;
    return true;
  }

  // The highest threshold at which more than per_pass texts still qualify,
  // by bisection in u32 arithmetic, never below min_count.
  std::uint32_t threshold(std::uint32_t per_pass, std::uint32_t min_count) noexcept {
    std::uint32_t lo = min_count, hi = kBisectHi;
    for (int step = 0; step < kBisectSteps && hi - lo > 1; ++step) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      std::uint64_t k = 0;
      for (std::uint64_t i = 0; i < pairs_.n; ++i) k += pairs_[i].count >= mid;
      if (k > per_pass)
        lo = mid;
      else
        hi = mid;
    }
    return std::max(lo, min_count);
  }

  // Adds qualifying texts in record order until per_pass are added.
  std::uint64_t select(std::uint32_t t, std::uint32_t per_pass) noexcept {
    Vec<std::uint32_t> chosen;
    for (std::uint64_t i = 0; i < pairs_.n; ++i)
      if (pairs_[i].count >= t && !chosen.push(static_cast<std::uint32_t>(i))) return kNone;
    PairRec<Pos>* pairs = pairs_.data.get();
    std::sort(chosen.data.get(), chosen.data.get() + chosen.n,
              [pairs](std::uint32_t x, std::uint32_t y) { return pairs[x].rec < pairs[y].rec; });
    std::uint64_t added = 0;
    for (std::uint64_t k = 0; k < chosen.n && added < per_pass; ++k) {
      const PairRec<Pos>& p = pairs[chosen[k]];
      const std::uint8_t* text = s_ + p.start;
      if (p.len == 0 || p.len > kMaxEntryLen || lookup(d_, text, p.len) != 0) continue;
      if (add(d_, text, p.len) != 0) ++added;
    }
    return added;
  }

  // Merges each stretch of 2..12 units found in the dictionary, longest
  // first, into one unit. In place: the write index never passes the read.
  void regroup() noexcept {
    const std::uint64_t max_span = std::min<std::uint64_t>(d_.max_len, kMaxEntryLen);
    std::uint64_t hs[kMaxMerge + 1];
    std::uint64_t ends[kMaxMerge + 1];
    std::uint64_t k = 0;
    for (std::uint64_t l = 0; l < n_units_;) {
      const std::uint64_t e_max = std::min(kMaxMerge, n_units_ - l);
      const std::uint64_t a = run_start_[units_[l]];
      std::uint64_t h = kFnvStart, prev = a, n_spans = 0;
      for (std::uint64_t e = 1; e <= e_max; ++e) {
        const std::uint64_t end = run_start_[units_[l + e]];
        if (end - a > max_span) break;
        h = fnv1a_extend(h, s_ + prev, static_cast<std::size_t>(end - prev));
        const std::uint64_t th = span_hash(h, s_ + a, end - a);
        if (!may_be_prefix(d_, th)) break;  // no entry is or extends this stretch
        prev = end;
        hs[e] = th;
        ends[e] = end;
        n_spans = e;
      }
      std::uint64_t take = 1;
      for (std::uint64_t e = n_spans; e >= 2; --e) {
        // A stretch of more runs than any entry has cannot be one.
        if (std::uint64_t{units_[l + e]} - units_[l] > d_.max_runs) continue;
        if (lookup_hashed(d_, hs[e], s_ + a, ends[e] - a) != 0) {
          take = e;
          break;
        }
      }
      units_[k++] = units_[l];
      l += take;
    }
    units_[k] = static_cast<Pos>(n_runs_);
    n_units_ = k;
  }

  vl_dict& d_;
  const std::uint8_t* s_;
  std::uint64_t len_;
  const PairTableShape& shape_;
  Buf<Pos> run_start_;  // n_runs_ + 1 byte offsets; the last is len_
  Buf<Pos> units_;      // n_units_ + 1 run indices; the last is n_runs_
  std::uint64_t n_runs_ = 0;
  std::uint64_t n_units_ = 0;
  Buf<std::uint64_t> occupied_;  // one bit per record of the described table
  std::uint64_t n_words_ = 0;
  Vec<PairRec<Pos>> pairs_;
  Buf<std::uint32_t> index_;  // pair text -> pairs_ index + 1; 0 is empty
  std::uint64_t index_mask_ = 0;
};

template <class Pos>
void run_passes(vl_dict& d, const std::uint8_t* s, std::uint64_t len, std::uint32_t passes,
                std::uint32_t per_pass, std::uint32_t min_count,
                const PairTableShape& shape) noexcept {
  Trainer<Pos> t(d, s, len, shape);
  if (!t.init()) return;
  for (std::uint32_t p = 0; p < passes; ++p) {
    const std::uint64_t added = t.pass(per_pass, min_count);
    if (added == 0 || added == kNone) return;
  }
}

}  // namespace

std::uint32_t train(vl_dict& d, const std::uint8_t* sample, std::uint64_t len, std::uint32_t passes,
                    std::uint32_t per_pass, std::uint32_t min_count,
                    const PairTableShape& shape) noexcept {
  // A sample lying in d's own text would move under the passes as entries
  // are added, so train on a copy of it.
  Buf<std::uint8_t> own;
  if (len != 0 && text_offset(d, sample) >= 0) {
    if (!buf_resize(own, len)) return d.size;
    std::memcpy(own.get(), sample, len);
    sample = own.get();
  }
  (void)learn(d, sample, len, kTrainLearnLimit);
  if (passes == 0 || len == 0) return d.size;
  if (len <= 0xFFFFFFFFu && !shape.wide_positions)
    run_passes<std::uint32_t>(d, sample, len, passes, per_pass, min_count, shape);
  else
    run_passes<std::uint64_t>(d, sample, len, passes, per_pass, min_count, shape);
  return d.size;
}

}  // namespace velta::dict
