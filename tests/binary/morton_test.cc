// vl_morton_order against a reference that interleaves key bits one at a
// time and sorts (key, index) pairs; plus the fixed small cases.
#include "binary/morton.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "velta.h"

namespace {

std::vector<std::uint32_t> order(const std::vector<float>& pts) {
  std::vector<std::uint32_t> out(pts.size() / 3, 0xDEADBEEF);
  EXPECT_EQ(vl_morton_order(pts.data(), static_cast<std::uint32_t>(out.size()), out.data()), 0);
  return out;
}

// Straightforward model: bounding box, quantise, then bit i of x, y, z to
// key bits 3i, 3i + 1, 3i + 2.
std::vector<std::uint32_t> reference(const std::vector<float>& pts) {
  const std::size_t n = pts.size() / 3;
  float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], pts[3 * i + k]);  // NaN never wins min/max here
      if (pts[3 * i + k] > hi[k]) hi[k] = pts[3 * i + k];
    }
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> recs;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t q[3];
    for (int k = 0; k < 3; ++k) {
      double ext = double(hi[k]) - double(lo[k]);
      if (ext <= 0) ext = 1.0;
      const double t = (double(pts[3 * i + k]) - double(lo[k])) / ext;
      q[k] = std::isnan(t) || t < 0 ? 0 : t > 1 ? 2097151 : std::uint64_t(t * 2097151.0);
    }
    std::uint64_t key = 0;
    for (int bit = 0; bit < 21; ++bit) {
      for (int k = 0; k < 3; ++k) key |= ((q[k] >> bit) & 1) << (3 * bit + k);
    }
    recs.emplace_back(key, static_cast<std::uint32_t>(i));
  }
  std::sort(recs.begin(), recs.end());
  std::vector<std::uint32_t> out;
  for (const auto& r : recs) out.push_back(r.second);
  return out;
}

TEST(Morton, SmallCases) {
  EXPECT_EQ(order({5, 6, 7}), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(order({2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}), (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(order({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}), (std::vector<std::uint32_t>{3, 0, 1, 2}));
}

TEST(Morton, RefusesBadArgumentsWithoutTouchingOut) {
  const float p[3] = {1, 2, 3};
  std::uint32_t out[1] = {77};
  EXPECT_EQ(vl_morton_order(p, 0, out), -1);
  EXPECT_EQ(vl_morton_order(nullptr, 1, out), -1);
  EXPECT_EQ(vl_morton_order(p, 1, nullptr), -1);
  EXPECT_EQ(out[0], 77u);
}

TEST(Morton, KeyAndQuantisationBounds) {
  EXPECT_EQ(velta::binary::morton_key(velta::binary::kMortonMax, velta::binary::kMortonMax,
                                      velta::binary::kMortonMax),
            (std::uint64_t{1} << 63) - 1);
  EXPECT_EQ(velta::binary::morton_quantise(0.0), 0u);
  EXPECT_EQ(velta::binary::morton_quantise(1.0), 2097151u);
  EXPECT_EQ(velta::binary::morton_quantise(1.5), 2097151u);
  EXPECT_EQ(velta::binary::morton_quantise(-0.5), 0u);
  EXPECT_EQ(velta::binary::morton_quantise(std::nan("")), 0u);
}

// Sizes on both sides of the switch from comparison sort to radix sort,
// with clustered duplicates (many equal keys), huge and NaN coordinates.
TEST(Morton, MatchesBitByBitReference) {
  for (std::uint32_t n : {2u, 17u, 1000u, 4095u, 4096u, 30000u}) {
    const unsigned seed = 1234 + n;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-100.0f, 100.0f);
    std::vector<float> pts(3 * std::size_t{n});
    for (std::uint32_t i = 0; i < n; ++i) {
      for (int k = 0; k < 3; ++k) {
        float c = coord(rng);
        switch (rng() % 16) {
          case 0:
            c = 3.0f;
            break;  // repeats
          case 1:
            c = std::numeric_limits<float>::quiet_NaN();
            break;  // ignored by bbox
          case 2:
            c = 1e35f;
            break;  // beyond 1e30 start
          default:
            break;
        }
        pts[3 * i + k] = c;
      }
    }
    EXPECT_EQ(order(pts), reference(pts)) << "seed " << seed << " n " << n;
  }
}

}  // namespace
