// Locate, leaf walks, range walks, depth, leaf count and node accessors.
#include "extent/walk.h"

#include <gtest/gtest.h>

#include <vector>

#include "tree_util.h"

namespace velta::extent {
namespace {

using test::tree;

// Two leaves of 5 and 7 bytes (3 and 4 tokens).
tree five_seven() {
  vl_ext* a = vl_ext_mk_leaf_p(vl_leaf{1, 0, 3}, 5, 9);
  vl_ext* b = vl_ext_mk_leaf_p(vl_leaf{2, 0, 4}, 7, 8);
  return tree(vl_ext_retain(vl_ext_mk_inner_p(a, b, 9)));
}

struct seen {
  std::uint64_t key;
  std::uint64_t bytes;
  std::uint64_t start;
};

std::vector<seen> range(const vl_ext* root, std::uint64_t lo, std::uint64_t len) {
  std::vector<seen> out;
  vl_ext_walk_range(
      root, lo, len,
      [](void* ctx, const vl_leaf* l, std::uint64_t b, std::uint64_t s) {
        static_cast<std::vector<seen>*>(ctx)->push_back({l->key, b, s});
        return 0;
      },
      &out);
  return out;
}

TEST(Walk, LocateByte) {
  vl_leaf leaf{};
  std::uint64_t tok = 99, byte = 99;
  EXPECT_EQ(vl_ext_locate_byte(nullptr, 0, &leaf, &tok, &byte), 0);
  EXPECT_EQ(tok, 99u);

  tree one(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{7, 2, 3}, 4, 1)));
  for (std::uint64_t pos : {0u, 3u, 4u, 1000u}) {
    ASSERT_EQ(vl_ext_locate_byte(one.get(), pos, &leaf, &tok, &byte), 1);
    EXPECT_EQ(leaf.key, 7u);
    EXPECT_EQ(tok, 0u);
    EXPECT_EQ(byte, 0u);
  }

  tree t = five_seven();
  ASSERT_EQ(vl_ext_locate_byte(t.get(), 4, &leaf, &tok, &byte), 1);
  EXPECT_EQ(leaf.key, 1u);
  EXPECT_EQ(tok, 0u);
  EXPECT_EQ(byte, 0u);
  for (std::uint64_t pos : {5u, 11u, 100u}) {
    ASSERT_EQ(vl_ext_locate_byte(t.get(), pos, &leaf, &tok, &byte), 1);
    EXPECT_EQ(leaf.key, 2u);
    EXPECT_EQ(tok, 3u);
    EXPECT_EQ(byte, 5u);
  }

  // A missing child on the path finds nothing.
  tree half(vl_ext_retain(vl_ext_mk_inner_p(vl_ext_left(t.get()), nullptr, 1)));
  EXPECT_EQ(vl_ext_locate_byte(half.get(), 50, &leaf, &tok, &byte), 0);
}

TEST(Walk, RangeWalkReportsWholeOverlappingLeaves) {
  tree t = five_seven();
  EXPECT_TRUE(range(t.get(), 0, 0).empty());
  EXPECT_TRUE(range(nullptr, 0, 10).empty());
  auto both = range(t.get(), 3, 5);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].start, 0u);
  EXPECT_EQ(both[0].bytes, 5u);
  EXPECT_EQ(both[1].start, 5u);
  EXPECT_EQ(both[1].bytes, 7u);
  auto second = range(t.get(), 5, 1);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].key, 2u);
  EXPECT_EQ(range(t.get(), 12, 5).size(), 0u);
  EXPECT_EQ(range(t.get(), 4, UINT64_MAX).size(), 2u);  // end overflows: to the end
}

// Every range over a larger tree reports exactly the overlapping leaves,
// in order, with the same starts a full walk computes.
TEST(Walk, RangeWalkAgreesWithFullWalk) {
  tree t(test::build(test::make_leaves(57, 4)));
  std::vector<test::leaf_rec> all = test::leaf_list(t.get());
  ASSERT_EQ(all.size(), 57u);
  std::vector<std::uint64_t> starts;
  std::uint64_t s = 0;
  for (const auto& r : all) {
    starts.push_back(s);
    s += r.bytes;
  }
  EXPECT_EQ(s, vl_ext_bytes(t.get()));
  for (std::uint64_t lo = 0; lo <= s; lo += 7) {
    for (std::uint64_t len : {1u, 5u, 30u, 400u}) {
      std::vector<seen> want;
      for (std::size_t i = 0; i < all.size(); ++i) {
        if (starts[i] < lo + len && starts[i] + all[i].bytes > lo) {
          want.push_back({all[i].leaf.key, all[i].bytes, starts[i]});
        }
      }
      auto got = range(t.get(), lo, len);
      ASSERT_EQ(got.size(), want.size()) << lo << "+" << len;
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].key, want[i].key);
        EXPECT_EQ(got[i].start, want[i].start);
      }
    }
  }
}

TEST(Walk, DepthLeavesAndAccessors) {
  tree t(test::build(test::make_leaves(10, 2)));
  EXPECT_EQ(vl_ext_leaves(t.get()), 10u);
  EXPECT_EQ(vl_ext_depth(t.get()), 5u);
  EXPECT_EQ(vl_ext_depth(nullptr), 0u);
  EXPECT_EQ(vl_ext_leaves(nullptr), 0u);
  std::vector<test::leaf_rec> ls = test::leaf_list(t.get());
  for (std::size_t i = 0; i < ls.size(); ++i) EXPECT_EQ(ls[i].leaf.key, i + 1);

  EXPECT_EQ(vl_ext_is_leaf(nullptr), 0);
  EXPECT_EQ(vl_ext_is_leaf(t.get()), 0);
  EXPECT_EQ(vl_ext_prio(nullptr), 0u);
  EXPECT_EQ(vl_ext_left(nullptr), nullptr);
  EXPECT_EQ(vl_ext_right(nullptr), nullptr);
  vl_leaf leaf{1, 2, 3};
  std::uint64_t bytes = 5;
  vl_ext_leaf_info(nullptr, &leaf, &bytes);
  EXPECT_EQ(leaf.key, 0u);
  EXPECT_EQ(leaf.count, 0u);
  EXPECT_EQ(bytes, 0u);
  // An inner node yields the zero payload and its subtree's bytes.
  vl_ext_leaf_info(t.get(), &leaf, &bytes);
  EXPECT_EQ(leaf.key, 0u);
  EXPECT_EQ(bytes, vl_ext_bytes(t.get()));
}

}  // namespace
}  // namespace velta::extent
