// Greedy tokenizer and detokenizer.
//
// A step starts at a run boundary p, collects the ends q1..qJ of up to 13
// runs, and emits the id of the longest span p..qj found in the dictionary;
// when none is found, the first run becomes byte tokens. The span hashes
// are made in one forward pass (FNV extends: hash(p..qj+1) continues
// hash(p..qj); span_hash turns it into the table hash), spans longer than min(64, max_len) are
// never hashed, and spans of more runs than any entry has (max_runs) are never probed: they cannot
// match. Extension also stops at the first span that the run-prefix filter rules out: no entry is
// that span or starts with it, so no longer span can be an entry. All positions are 64-bit: texts
// of any length work.
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dict/dict_table.h"
#include "util/fnv.h"

namespace velta::dict {

std::uint64_t tokenize(const vl_dict& d, const std::uint8_t* p, std::uint64_t n, std::uint32_t* out,
                       std::uint64_t out_cap) noexcept {
  ensure_table(d);
  const std::uint64_t max_span = d.max_len < kMaxEntryLen ? d.max_len : kMaxEntryLen;
  const unsigned max_j = d.max_runs < kMaxSpanRuns ? d.max_runs : kMaxSpanRuns;
  std::uint64_t q[kMaxSpanRuns + 1];
  std::uint64_t hs[kMaxSpanRuns + 1];
  std::uint64_t n_out = 0;
  std::uint64_t pos = 0;
  while (pos < n) {
    const std::uint64_t span_end = n - pos < max_span ? n : pos + max_span;
    std::uint64_t i = pos;
    std::uint64_t h = kFnvStart;
    unsigned n_spans = 0;
    while (n_spans < max_j) {
      // i is a run boundary below n here.
      const bool w = is_word(p[i]);
      while (i < span_end && is_word(p[i]) == w) {
        h = (h ^ p[i]) * kFnvPrime;
        ++i;
      }
      if (i < n && is_word(p[i]) == w) break;  // this run reaches past span_end
      const std::uint64_t th = span_hash(h, p + pos, i - pos);
      if (!may_be_prefix(d, th)) break;  // no entry is or extends this span
      q[++n_spans] = i;
      hs[n_spans] = th;
      if (i == n) break;
    }
    std::uint32_t id = 0;
    unsigned j = n_spans;
    for (; j >= 1; --j) {
      id = lookup_hashed(d, hs[j], p + pos, q[j] - pos);
      if (id != 0) break;
    }
    if (id != 0) {
      if (n_out == out_cap) return UINT64_MAX;
      out[n_out++] = id;
      pos = q[j];
      continue;
    }
    std::uint64_t run_end;
    if (n_spans >= 1) {
      run_end = q[1];
    } else {
      // The first run was only scanned up to span_end (or not at all).
      const bool w = is_word(p[pos]);
      run_end = i > pos ? i : pos + 1;
      while (run_end < n && is_word(p[run_end]) == w) ++run_end;
    }
    if (run_end - pos > out_cap - n_out) {
      const std::uint64_t room = out_cap - n_out;
      for (std::uint64_t k = 0; k < room; ++k) out[n_out + k] = kByteTokenBase + p[pos + k];
      return UINT64_MAX;
    }
    for (std::uint64_t k = pos; k < run_end; ++k) out[n_out++] = kByteTokenBase + p[k];
    pos = run_end;
  }
  return n_out;
}

namespace {

// Bit i set when p[i] is a word byte, for the 64 bytes at p.
std::uint64_t word_bits(const std::uint8_t* p) noexcept {
#if defined(__SSE2__)
  // x lies in [lo, lo + n) exactly when x + (0x80 - lo) (mod 256), read as
  // a signed byte, is below n - 128: SSE2 has only signed byte compares.
  auto in_range = [](__m128i x, int lo, int n) {
    const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - lo)));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(n - 0x80)));
  };
  std::uint64_t m = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    // Setting bit 5 folds exactly A..Z onto a..z.
    const __m128i alpha = in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26);
    const __m128i word = _mm_or_si128(_mm_or_si128(alpha, in_range(v, '0', 10)),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
    m |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(word))} << (16 * k);
  }
  return m;
#else
  std::uint64_t m = 0;
  for (int i = 0; i < 64; ++i) m |= std::uint64_t{is_word(p[i])} << i;
  return m;
#endif
}

// The run ends of a text in order, found 64 bytes at a time from bit masks
// of the byte classes: no branch per byte. REQUIRES: n > 0.
class RunEnds {
 public:
  RunEnds(const std::uint8_t* p, std::uint64_t n) noexcept : p_(p), n_(n) { load(); }

  // The end of the run after the one last returned; n once no boundary is
  // left (and on every later call).
  std::uint64_t next() noexcept {
    while (bits_ == 0) {
      if (n_ - base_ <= 64) return n_;
      base_ += 64;
      load();
    }
    const std::uint64_t end = base_ + static_cast<unsigned>(std::countr_zero(bits_));
    bits_ &= bits_ - 1;
    return end;
  }

 private:
  // Boundary bits of the block at base_: bit i when p[base_ + i] starts a
  // run other than the first.
  void load() noexcept {
    const std::uint64_t left = n_ - base_;
    std::uint64_t w;
    if (left >= 64) {
      w = word_bits(p_ + base_);
    } else {
      std::uint8_t tail[64] = {};
      std::memcpy(tail, p_ + base_, left);
      w = word_bits(tail);
    }
    const std::uint64_t before = base_ == 0 ? (w & 1) : last_;
    bits_ = w ^ (w << 1 | before);
    if (left < 64) bits_ &= (std::uint64_t{1} << left) - 1;
    last_ = w >> 63;
  }

  const std::uint8_t* p_;
  std::uint64_t n_;
  std::uint64_t base_ = 0;  // first byte of the current block
  std::uint64_t bits_ = 0;  // boundaries of the block not yet returned
  std::uint64_t last_ = 0;  // class of the block's last byte
};

// One run of a learn_tokenize batch.
struct Run {
  std::uint64_t start;
  std::uint64_t len;
  std::uint64_t key;  // slot_key of the run; set when len <= kMaxEntryLen
  std::uint64_t h;    // hash_bytes of the run; set when len <= kMaxEntryLen
};

// Runs split, hashed and prefetched together. The table of a large
// dictionary lives mostly outside the caches, so a slot is fetched a whole
// batch of work before it is probed: 256 runs measured about a fifth
// faster than 16 on English text, and their slots (16 KiB of lines) still
// fit in L1 when the batch is probed.
constexpr unsigned kBatchRuns = 256;

}  // namespace

std::uint64_t learn_tokenize(vl_dict& d, const std::uint8_t* p, std::uint64_t n,
                             std::uint32_t limit, std::uint32_t* out,
                             std::uint64_t out_cap) noexcept {
  // With no entry of two or more runs, every tokenizer step is one run: its
  // id when the finished dictionary holds it, else its bytes. Learning adds
  // runs in text order and a run it meets is in the finished dictionary
  // exactly when it is there already or gets added then (nothing is added
  // after the limit), so emitting each run's id as it is learned writes
  // what tokenizing afterwards would. A text inside d's own buffer could
  // move while learning: the two calls handle that.
  ensure_table(d);
  if (d.max_runs > 1 || out_cap < n || text_offset(d, p) >= 0) {
    (void)learn(d, p, n, limit);
    return tokenize(d, p, n, out, out_cap);
  }
  if (n == 0) return 0;
  std::uint32_t added = 0;
  std::uint64_t n_out = 0;
  // Table fields are kept in locals (stores to `out` could alias them) and
  // reloaded after an addition, which may grow the table or the text.
  Slot* slots = d.slots.get();
  std::uint32_t mask = d.nslots - 1;
  const std::uint8_t* text = d.text.get();
  RunEnds ends(p, n);
  Run runs[kBatchRuns];
  for (std::uint64_t pos = 0; pos < n;) {
    unsigned k = 0;
    for (; k < kBatchRuns && pos < n; ++k) {
      const std::uint64_t end = ends.next();
      Run& r = runs[k];
      r.start = pos;
      r.len = end - pos;
      pos = end;
      if (r.len <= kKeyBytes) {
        r.key = n - r.start >= 8 ? slot_key_wide(p + r.start, r.len) : slot_key(p + r.start, r.len);
        r.h = short_hash(r.key);
      } else if (r.len <= kMaxEntryLen) {
        r.key = slot_key_wide(p + r.start, r.len);
        r.h = fnv1a(p + r.start, static_cast<std::size_t>(r.len));
      } else {
        continue;
      }
      __builtin_prefetch(&slots[static_cast<std::uint32_t>(r.h) & mask]);
    }
    for (unsigned i = 0; i < k; ++i) {
      const Run& r = runs[i];
      const std::uint8_t* q = p + r.start;
      std::uint32_t id = 0;
      if (r.len <= kMaxEntryLen) {
        // Linear probing inline, with the key already made.
        Slot* s = &slots[static_cast<std::uint32_t>(r.h) & mask];
        for (std::uint32_t at = static_cast<std::uint32_t>(r.h) & mask;
             s->id != 0 && !slot_holds(text, *s, r.key, q, r.len); s = &slots[at]) {
          at = (at + 1) & mask;
        }
        id = s->id;
        if (id == 0 && added < limit) {
          id = add_at(d, s, r.h, q, r.len);
          if (id == 0) {
            // Not added (full, or out of memory): a later equal run might
            // still be, which would change this run's tokens. Finish
            // learning as learn would and tokenize afresh.
            const std::uint64_t next = r.start + r.len;
            (void)learn(d, p + next, n - next, limit - added);
            return tokenize(d, p, n, out, out_cap);
          }
          ++added;
          slots = d.slots.get();
          mask = d.nslots - 1;
          text = d.text.get();
        }
      }
      if (id != 0) {
        out[n_out++] = id;
      } else {
        for (std::uint64_t b = 0; b < r.len; ++b) out[n_out++] = kByteTokenBase + q[b];
      }
    }
  }
  return n_out;
}

bool prepare_reads(vl_dict& d) noexcept {
  if (d.recs_built == d.size) return true;
  if (d.recs_cap < d.size) {
    const std::uint64_t cap = doubled(d.recs_cap, d.size);
    if (!buf_resize(d.recs, cap)) return false;
    d.recs_cap = static_cast<std::uint32_t>(cap);
  }
  for (std::uint32_t k = d.recs_built; k < d.size; ++k) {
    TextRec& r = d.recs[k];
    const std::uint32_t len = d.lens[k];
    std::memset(&r, 0, sizeof r);
    if (len < sizeof r.text + 1) {
      std::memcpy(r.text, d.text.get() + d.offs[k], len);
      r.len = static_cast<std::uint8_t>(len);
    } else {
      r.len = kLongText;
    }
  }
  d.recs_built = d.size;
  return true;
}

std::uint64_t copy_tokens(const vl_dict& d, const std::uint32_t* ids, std::uint64_t n,
                          std::uint8_t* buf, std::uint64_t cap, std::uint64_t* taken) noexcept {
  // Room for the longest text plus a 16-byte copy's overrun.
  constexpr std::uint64_t kFastRoom = kMaxEntryLen + 16;
  const std::uint8_t* text = d.text.get();
  const std::uint32_t* offs = d.offs.get();
  const std::uint32_t* lens = d.lens.get();
  const std::uint32_t size = d.size;
  const std::uint64_t text_cap = d.text_cap;  // bytes allocated: overreads stay inside
  std::uint64_t used = 0;
  std::uint64_t i = 0;
  if (d.recs_built == size) {
    const TextRec* recs = d.recs.get();
    auto copy_one = [&](std::uint32_t id) {
      if (id - 1u < size) {
        const TextRec& r = recs[id - 1];
        if (r.len != kLongText) {
          std::memcpy(buf + used, &r, sizeof r);  // the length byte is overwritten later
          used += r.len;
        } else {
          const std::uint32_t len = lens[id - 1];
          std::memcpy(buf + used, text + offs[id - 1], len);
          used += len;
        }
      } else if (id >= kByteTokenBase) {
        buf[used++] = static_cast<std::uint8_t>(id);
      }
    };
    // Blocks of kBlock tokens check the room once: the per-token checks
    // cost as much as the copy.
    constexpr std::uint64_t kBlock = 8;
    for (; n - i >= kBlock && cap - used >= kBlock * kFastRoom; i += kBlock) {
#pragma GCC unroll 8
      for (std::uint64_t k = 0; k < kBlock; ++k) copy_one(ids[i + k]);
    }
    for (; i < n && cap - used >= kFastRoom; ++i) copy_one(ids[i]);
  }
  for (; i < n && cap - used >= kFastRoom; ++i) {
    const std::uint32_t id = ids[i];
    if (id - 1u < size) {
      const std::uint32_t off = offs[id - 1];
      const std::uint32_t len = lens[id - 1];
      if (off + std::uint64_t{16} <= text_cap) {
        std::memcpy(buf + used, text + off, 16);
        if (len > 16) std::memcpy(buf + used + 16, text + off + 16, len - 16);
      } else {
        std::memcpy(buf + used, text + off, len);
      }
      used += len;
    } else if (id >= kByteTokenBase) {
      buf[used++] = static_cast<std::uint8_t>(id);
    }
  }
  for (; i < n && used < cap; ++i) {
    const std::uint32_t id = ids[i];
    if (id >= kByteTokenBase) {
      buf[used++] = static_cast<std::uint8_t>(id);
    } else if (id != 0 && id <= size) {
      const std::uint32_t len = lens[id - 1];
      if (len > cap - used) break;
      std::memcpy(buf + used, text + offs[id - 1], len);
      used += len;
    }
  }
  *taken = i;
  return used;
}

std::uint64_t detok_len(const vl_dict& d, const std::uint32_t* ids, std::uint64_t n) noexcept {
  std::uint64_t total = 0;
  const std::uint32_t* lens = d.lens.get();
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint32_t id = ids[i];
    if (id >= kByteTokenBase)
      total += 1;
    else if (id != 0 && id <= d.size)
      total += lens[id - 1];
  }
  return total;
}

std::uint64_t detokenize(const vl_dict& d, const std::uint32_t* ids, std::uint64_t n,
                         std::uint8_t* buf, std::uint64_t buf_cap) noexcept {
  std::uint64_t used = 0;
  const std::uint8_t* text = d.text.get();
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint32_t id = ids[i];
    if (id >= kByteTokenBase) {
      if (used == buf_cap) break;
      buf[used++] = static_cast<std::uint8_t>(id - kByteTokenBase);
    } else if (id != 0 && id <= d.size) {
      const std::uint32_t len = d.lens[id - 1];
      if (len > buf_cap - used) break;
      if (len != 0) std::memcpy(buf + used, text + d.offs[id - 1], len);
      used += len;
    }
  }
  return used;
}

}  // namespace velta::dict
