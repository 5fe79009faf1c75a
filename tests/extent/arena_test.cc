// Node arena: block carving, free-list reuse, counters, reference counting
// and the release of trees of every shape without deep recursion.
#include "extent/arena.h"

#include <gtest/gtest.h>

#include "extent/treap.h"
#include "tree_util.h"

namespace velta::extent {
namespace {

using test::tree;

// Every test starts from an empty arena and must give back every node.
class Arena : public ::testing::Test {
 protected:
  void SetUp() override { vl_ext_arena_free(); }
  void TearDown() override {
    EXPECT_EQ(vl_ext_nodes_alloced(), 0u);
    EXPECT_EQ(vl_ext_nodes_total(), vl_ext_nodes_alloced() + testing::free_list_length());
    testing::fail_next_blocks(0);
    vl_ext_arena_free();
  }
};

TEST_F(Arena, NullArgumentsAreHarmless) {
  EXPECT_EQ(vl_ext_retain(nullptr), nullptr);
  vl_ext_release(nullptr);
  EXPECT_EQ(vl_ext_tokens(nullptr), 0u);
  EXPECT_EQ(vl_ext_bytes(nullptr), 0u);
  EXPECT_EQ(vl_ext_node_size(), 56u);
}

TEST_F(Arena, BlocksAreCarvedOncePer4096FreshNodes) {
  EXPECT_EQ(vl_ext_nodes_total(), 0u);
  std::vector<tree> held;
  held.emplace_back(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{1, 0, 1}, 1, 1)));
  EXPECT_EQ(vl_ext_nodes_total(), 1u);
  while (vl_ext_nodes_total() < kBlockNodes) {
    held.emplace_back(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{1, 0, 1}, 1, 1)));
  }
  // The 4097th fresh node needs a second block: refuse it once to prove it.
  testing::fail_next_blocks(1);
  EXPECT_EQ(vl_ext_mk_leaf_p(vl_leaf{1, 0, 1}, 1, 1), nullptr);
  EXPECT_EQ(vl_ext_nodes_total(), kBlockNodes);
  EXPECT_EQ(vl_ext_nodes_alloced(), kBlockNodes);
  held.emplace_back(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{1, 0, 1}, 1, 1)));
  EXPECT_EQ(vl_ext_nodes_total(), kBlockNodes + 1);
  EXPECT_EQ(vl_ext_arena_bytes(), (kBlockNodes + 1) * 56u);
  EXPECT_EQ(vl_ext_node_bytes(), (kBlockNodes + 1) * 56u);
  held.clear();
  EXPECT_EQ(vl_ext_node_bytes(), 0u);
  EXPECT_EQ(vl_ext_arena_bytes(), (kBlockNodes + 1) * 56u);
  EXPECT_EQ(vl_ext_nodes_freed(), kBlockNodes + 1);
  vl_ext_arena_free();
  EXPECT_EQ(vl_ext_nodes_total(), 0u);
  EXPECT_EQ(vl_ext_nodes_freed(), 0u);
  EXPECT_EQ(vl_ext_nodes_alloced(), 0u);
  EXPECT_EQ(vl_ext_arena_bytes(), 0u);
}

TEST_F(Arena, ReleasedNodeIsReusedFirst) {
  tree keep(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{2, 0, 1}, 1, 1)));
  vl_ext* n = vl_ext_mk_leaf_p(vl_leaf{1, 0, 1}, 1, 1);
  EXPECT_EQ(n->refs, 0u);
  std::uint64_t alloced = vl_ext_nodes_alloced();
  std::uint64_t freed = vl_ext_nodes_freed();
  vl_ext_release(vl_ext_retain(n));
  EXPECT_EQ(vl_ext_nodes_alloced(), alloced - 1);
  EXPECT_EQ(vl_ext_nodes_freed(), freed + 1);
  std::uint64_t total = vl_ext_nodes_total();
  vl_ext* again = vl_ext_mk_leaf_p(vl_leaf{3, 0, 1}, 1, 1);
  EXPECT_EQ(again, n);
  EXPECT_EQ(vl_ext_nodes_total(), total);
  EXPECT_EQ(vl_ext_nodes_freed(), freed + 1);
  discard(again);
}

TEST_F(Arena, ReleaseReturnsOnlyUnsharedNodes) {
  tree shared(test::build(test::make_leaves(4, 5)));  // 7 nodes
  vl_ext* leaf = vl_ext_mk_leaf_p(vl_leaf{9, 0, 5}, 5, 0);
  tree a(vl_ext_retain(vl_ext_mk_inner_p(shared.get(), leaf, 0)));
  ASSERT_EQ(shared.get()->refs, 2u);
  ASSERT_EQ(vl_ext_nodes_alloced(), 9u);
  std::uint64_t freed = vl_ext_nodes_freed();
  a = tree();
  EXPECT_EQ(shared.get()->refs, 1u);
  EXPECT_EQ(vl_ext_nodes_alloced(), 7u);
  EXPECT_EQ(vl_ext_nodes_freed(), freed + 2);
  EXPECT_EQ(vl_ext_leaves(shared.get()), 4u);
}

// Degenerate trees made by repeated joins: ascending priorities append
// each leaf above the whole tree (left-deep chain), prepending does the
// mirror image (right-deep chain, two children at every node). Releasing
// either must not recurse per level; neither may the walks.
TEST_F(Arena, DeepDegenerateTreesReleaseWithoutRecursion) {
  constexpr std::uint32_t kLeaves = 400'000;  // far past what 8 MiB of stack frames can recurse
  for (bool append : {true, false}) {
    vl_ext* t = nullptr;
    for (std::uint32_t i = 0; i < kLeaves; ++i) {
      vl_ext* leaf = vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{1, i, 1}, 2, i + 1));
      vl_ext* next = append ? vl_ext_join(t, leaf) : vl_ext_join(leaf, t);
      ASSERT_NE(next, nullptr);
      vl_ext_release(leaf);
      vl_ext_release(t);
      t = next;
    }
    tree holder(t);
    EXPECT_EQ(vl_ext_depth(t), kLeaves);
    EXPECT_EQ(vl_ext_leaves(t), kLeaves);
    EXPECT_EQ(vl_ext_tokens(t), kLeaves);
    EXPECT_EQ(vl_ext_audit(&t, 1, 0), 0);
    std::uint32_t seen = 0;
    vl_ext_walk(
        t,
        [](void* c, const vl_leaf*, std::uint64_t) {
          ++*static_cast<std::uint32_t*>(c);
          return 0;
        },
        &seen);
    EXPECT_EQ(seen, kLeaves);
    {
      tree l, r;
      vl_ext_split_tok(t, kLeaves / 2, l.out(), r.out(), test::measure_cb, nullptr);
      EXPECT_EQ(vl_ext_tokens(l.get()), kLeaves / 2);
      EXPECT_EQ(vl_ext_bytes(r.get()), 2u * (kLeaves - kLeaves / 2));
    }
    EXPECT_EQ(vl_ext_nodes_alloced(), 2u * kLeaves - 1);
  }
}

}  // namespace
}  // namespace velta::extent
