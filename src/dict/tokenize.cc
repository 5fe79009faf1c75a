// Greedy tokenizer and detokenizer.
//
// A step starts at a run boundary p, collects the ends q1..qJ of up to 13
// runs, and emits the id of the longest span p..qj found in the dictionary;
// when none is found, the first run becomes byte tokens. The span hashes
// are made in one forward pass (FNV extends: hash(p..qj+1) continues
// hash(p..qj)), spans longer than min(64, max_len) are never hashed, and
// spans of more runs than any entry has (max_runs) are never probed: they
// cannot match. Extension also stops at the first span that the run-prefix
// filter rules out: no entry is that span or starts with it, so no longer
// span can be an entry. All positions are 64-bit: texts of any length work.
#include <cstring>

#include "dict/dict.h"
#include "util/fnv.h"

namespace velta::dict {

std::uint64_t tokenize(const vl_dict& d, const std::uint8_t* p, std::uint64_t n, std::uint32_t* out,
                       std::uint64_t out_cap) noexcept {
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
      if (!may_be_prefix(d, h)) break;         // no entry is or extends this span
      q[++n_spans] = i;
      hs[n_spans] = h;
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
