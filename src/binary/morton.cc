// The Z-order permutation (vl_morton_order) of a set of 3-D points.
//
// One pass finds the bounding box, one computes the keys (and the digit
// histograms of the radix sort), then the records are sorted by (key,
// index). Large inputs use a stable LSD radix sort over 11-bit digits,
// which gives exactly the order of mkey_cmp because the records start in
// index order; small inputs use std::sort with mkey_cmp's order.
#include "binary/morton.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "velta.h"

namespace velta::binary {

std::uint32_t morton_quantise(double t) noexcept {
  if (t < 0.0) return 0;
  if (t > 1.0) return kMortonMax;
  if (std::isnan(t)) return 0;
  return static_cast<std::uint32_t>(t * static_cast<double>(kMortonMax));
}

int mkey_cmp(const void* a, const void* b) noexcept {
  const auto* x = static_cast<const MKey*>(a);
  const auto* y = static_cast<const MKey*>(b);
  if (x->key != y->key) return x->key < y->key ? -1 : 1;
  if (x->index != y->index) return x->index < y->index ? -1 : 1;
  return 0;
}

namespace {

constexpr int kDigitBits = 11;
constexpr int kPasses = 6;  // 6 x 11 = 66 bits cover the 63-bit key
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// Below this many records std::sort beats six counting passes.
constexpr std::uint32_t kRadixMin = 4096;

using Histograms = std::array<std::array<std::uint32_t, kBuckets>, kPasses>;

std::uint32_t digit(std::uint64_t key, int pass) noexcept {
  return static_cast<std::uint32_t>(key >> (pass * kDigitBits)) & (kBuckets - 1);
}

// Stable LSD radix sort of recs[0, n) by key, using tmp[0, n) as the second
// buffer; passes whose digit is the same for every record are skipped. The
// result ends in whichever buffer the last pass wrote; returns it.
MKey* radix_sort(MKey* recs, MKey* tmp, std::uint32_t n, Histograms& hist) noexcept {
  MKey* src = recs;
  MKey* dst = tmp;
  for (int pass = 0; pass < kPasses; ++pass) {
    auto& h = hist[pass];
    if (h[digit(src[0].key, pass)] == n) continue;
    std::uint32_t sum = 0;
    for (auto& c : h) {  // counts become start offsets
      const std::uint32_t c0 = c;
      c = sum;
      sum += c0;
    }
    for (std::uint32_t i = 0; i < n; ++i) dst[h[digit(src[i].key, pass)]++] = src[i];
    std::swap(src, dst);
  }
  return src;
}

}  // namespace

void order(const float* points, std::uint32_t count, std::uint32_t* out) {
  float lo[3] = {1e30f, 1e30f, 1e30f};
  float hi[3] = {-1e30f, -1e30f, -1e30f};
  for (std::uint64_t i = 0; i < count; ++i) {
    for (int k = 0; k < 3; ++k) {
      const float c = points[3 * i + k];
      if (c < lo[k]) lo[k] = c;
      if (c > hi[k]) hi[k] = c;
    }
  }
  double extent[3];
  for (int k = 0; k < 3; ++k) {
    extent[k] = static_cast<double>(hi[k]) - static_cast<double>(lo[k]);
    if (!(extent[k] > 0.0)) extent[k] = 1.0;
  }

  const bool radix = count >= kRadixMin;
  auto recs = std::make_unique_for_overwrite<MKey[]>(count);
  std::unique_ptr<MKey[]> tmp;
  std::unique_ptr<Histograms> hist;
  if (radix) {
    tmp = std::make_unique_for_overwrite<MKey[]>(count);
    hist = std::make_unique<Histograms>();  // zeroed
  }

  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t q[3];
    for (int k = 0; k < 3; ++k) {
      const double c = static_cast<double>(points[3 * i + k]);
      q[k] = morton_quantise((c - static_cast<double>(lo[k])) / extent[k]);
    }
    const std::uint64_t key = morton_key(q[0], q[1], q[2]);
    recs[i] = MKey{key, static_cast<std::uint32_t>(i)};
    if (radix) {
      for (int pass = 0; pass < kPasses; ++pass) ++(*hist)[pass][digit(key, pass)];
    }
  }

  const MKey* sorted = recs.get();
  if (radix) {
    sorted = radix_sort(recs.get(), tmp.get(), count, *hist);
  } else {
    std::sort(recs.get(), recs.get() + count,
              [](const MKey& a, const MKey& b) { return mkey_cmp(&a, &b) < 0; });
  }
  for (std::uint32_t i = 0; i < count; ++i) out[i] = sorted[i].index;
}

}  // namespace velta::binary
