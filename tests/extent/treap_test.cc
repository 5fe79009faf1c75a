// Treap build, join and split: shapes, priorities, persistence of the
// inputs, a seeded model run, and allocation failure at every point.
#include "extent/treap.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "extent/arena.h"
#include "testutil/alloc_fail.h"
#include "tree_util.h"

namespace velta::extent {
namespace {

using test::tree;

class Treap : public ::testing::Test {
 protected:
  void SetUp() override { live_ = vl_ext_nodes_alloced(); }
  void TearDown() override {
    testing::fail_next_blocks(0);
    EXPECT_EQ(vl_ext_nodes_alloced(), live_);
  }
  std::uint64_t live_ = 0;
};

// The state whose next xorshift32 draw is y (each step is invertible).
std::uint32_t state_before(std::uint32_t y) {
  auto undo_left = [](std::uint32_t v, int k) {
    std::uint32_t x = v;
    for (int i = 0; i < 32 / k + 1; ++i) x = v ^ (x << k);
    return x;
  };
  auto undo_right = [](std::uint32_t v, int k) {
    std::uint32_t x = v;
    for (int i = 0; i < 32 / k + 1; ++i) x = v ^ (x >> k);
    return x;
  };
  return undo_left(undo_right(undo_left(y, 5), 17), 13);
}

TEST_F(Treap, GeneratorStartsAtItsFixedSequence) {
  std::uint32_t saved = rng_state();
  set_rng_state(0x92D68CA2u);
  tree t(test::build(test::make_leaves(3, 4)));
  EXPECT_EQ(vl_ext_prio(vl_ext_left(t.get())), 0x2B1F4D63u);
  EXPECT_EQ(vl_ext_prio(vl_ext_left(vl_ext_right(t.get()))), 0x94DACB7Au);
  EXPECT_EQ(vl_ext_prio(vl_ext_right(vl_ext_right(t.get()))), 0x7B0859A0u);
  EXPECT_EQ(state_before(0x94DACB7Au), 0x2B1F4D63u);
  set_rng_state(saved);
}

TEST_F(Treap, BuildShapesAndPriorities) {
  EXPECT_EQ(vl_ext_build(nullptr, nullptr, 0), nullptr);
  std::vector<vl_leaf> none;
  EXPECT_EQ(test::build(none), nullptr);

  tree one(test::build(test::make_leaves(1, 7)));
  ASSERT_TRUE(vl_ext_is_leaf(one.get()));
  EXPECT_EQ(one.get()->refs, 1u);
  EXPECT_EQ(vl_ext_tokens(one.get()), 7u);

  tree three(test::build(test::make_leaves(3, 2)));
  vl_ext* l = vl_ext_left(three.get());
  vl_ext* r = vl_ext_right(three.get());
  ASSERT_TRUE(vl_ext_is_leaf(l));
  EXPECT_EQ(l->leaf.key, 1u);
  EXPECT_EQ(vl_ext_leaves(r), 2u);
  EXPECT_EQ(vl_ext_left(r)->leaf.key, 2u);
  EXPECT_EQ(vl_ext_right(r)->leaf.key, 3u);

  // Every inner node of a built tree sits one above its larger child.
  for (std::uint32_t n : {2u, 5u, 64u, 1000u}) {
    tree t(test::build(test::make_leaves(n, 3)));
    ASSERT_TRUE(check_invariants(t.get(), true));
    EXPECT_EQ(vl_ext_leaves(t.get()), n);
    std::vector<const vl_ext*> todo{t.get()};
    while (!todo.empty()) {
      const vl_ext* x = todo.back();
      todo.pop_back();
      if (vl_ext_is_leaf(x)) continue;
      std::uint32_t p = std::max(x->left->prio, x->right->prio);
      EXPECT_EQ(x->prio, p == 0xFFFFFFFFu ? p : p + 1);
      todo.push_back(x->left);
      todo.push_back(x->right);
    }
  }

  // A leaf drawing 0xFFFFFFFF makes its parent saturate instead of wrap.
  std::uint32_t saved = rng_state();
  set_rng_state(state_before(0xFFFFFFFFu));
  tree sat(test::build(test::make_leaves(2, 1)));
  EXPECT_EQ(vl_ext_prio(vl_ext_left(sat.get())), 0xFFFFFFFFu);
  EXPECT_EQ(vl_ext_prio(sat.get()), 0xFFFFFFFFu);
  set_rng_state(saved);
}

TEST_F(Treap, JoinEdgesAndTies) {
  EXPECT_EQ(vl_ext_join(nullptr, nullptr), nullptr);
  tree b(test::build(test::make_leaves(2, 3)));
  tree j1(vl_ext_join(nullptr, b.get()));
  EXPECT_EQ(j1.get(), b.get());
  tree j2(vl_ext_join(b.get(), nullptr));
  EXPECT_EQ(j2.get(), b.get());
  EXPECT_EQ(b.get()->refs, 3u);

  tree x(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{1, 0, 2}, 4, 77)));
  tree y(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{2, 0, 3}, 5, 77)));
  tree xy(vl_ext_join(x.get(), y.get()));
  EXPECT_EQ(vl_ext_prio(xy.get()), 77u);
  EXPECT_EQ(vl_ext_left(xy.get()), x.get());
  EXPECT_EQ(vl_ext_right(xy.get()), y.get());
  EXPECT_EQ(vl_ext_tokens(xy.get()), 5u);
  EXPECT_EQ(vl_ext_bytes(xy.get()), 9u);
}

TEST_F(Treap, SplitEdgesAndLeafCut) {
  tree t(test::build(test::make_leaves(4, 10)));
  tree l, r;
  EXPECT_EQ(vl_ext_split_tok(t.get(), 0, l.out(), r.out(), test::measure_cb, nullptr), t.get());
  EXPECT_EQ(l.get(), nullptr);
  EXPECT_EQ(r.get(), t.get());
  EXPECT_EQ(vl_ext_split_tok(t.get(), 40, l.out(), r.out(), test::measure_cb, nullptr), nullptr);
  EXPECT_EQ(l.get(), t.get());
  EXPECT_EQ(r.get(), nullptr);
  EXPECT_EQ(vl_ext_split_tok(t.get(), 1000, l.out(), r.out(), test::measure_cb, nullptr), nullptr);
  EXPECT_EQ(l.get(), t.get());
  EXPECT_EQ(t.get()->refs, 2u);

  // A boundary split makes no leaf and calls nothing.
  int calls = 0;
  vl_ext_split_tok(t.get(), 20, l.out(), r.out(), test::measure_cb, &calls);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(vl_ext_leaves(l.get()), 2u);
  EXPECT_EQ(vl_ext_leaves(r.get()), 2u);

  // Inside a leaf of 10 at 3: (off, 3) and (off + 3, 7), one measurement.
  vl_leaf base{42, 100, 10};
  tree leaf(vl_ext_retain(vl_ext_mk_leaf_p(base, test::measure(base), 5)));
  calls = 0;
  vl_ext_split_tok(leaf.get(), 3, l.out(), r.out(), test::measure_cb, &calls);
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(vl_ext_is_leaf(l.get()) && vl_ext_is_leaf(r.get()));
  EXPECT_EQ(l.get()->leaf.off, 100u);
  EXPECT_EQ(l.get()->leaf.count, 3u);
  EXPECT_EQ(r.get()->leaf.off, 103u);
  EXPECT_EQ(r.get()->leaf.count, 7u);
  EXPECT_EQ(vl_ext_bytes(l.get()), test::measure(vl_leaf{42, 100, 3}));
  EXPECT_EQ(vl_ext_bytes(l.get()) + vl_ext_bytes(r.get()), test::measure(base));
  EXPECT_EQ(leaf.get()->leaf.count, 10u);
  EXPECT_EQ(leaf.get()->refs, 1u);

  // Without a measure a cut cannot be made: both outputs NULL.
  EXPECT_EQ(vl_ext_split_tok(leaf.get(), 3, l.out(), r.out(), nullptr, nullptr), nullptr);
  EXPECT_EQ(l.get(), nullptr);
  EXPECT_EQ(r.get(), nullptr);
  // A measure larger than the leaf is clamped, never wrapping the rest.
  vl_ext_split_tok(
      leaf.get(), 3, l.out(), r.out(), [](void*, const vl_leaf*) { return UINT64_MAX; }, nullptr);
  EXPECT_EQ(vl_ext_bytes(r.get()), 0u);
  EXPECT_EQ(vl_ext_bytes(l.get()), test::measure(base));
}

// Refcount of every node reachable from root, keyed by address.
std::map<const vl_ext*, std::uint32_t> refs_of(const vl_ext* root) {
  std::map<const vl_ext*, std::uint32_t> m;
  std::vector<const vl_ext*> todo;
  if (root != nullptr) todo.push_back(root);
  while (!todo.empty()) {
    const vl_ext* n = todo.back();
    todo.pop_back();
    if (!m.emplace(n, n->refs).second) continue;
    if (n->left != nullptr) todo.push_back(n->left);
    if (n->right != nullptr) todo.push_back(n->right);
  }
  return m;
}

// Seeded random build/split/join/release over a pool of trees, each with
// its token sequence as the model. Every input must read the same and keep
// its counts across each operation; the audit must stay clean.
TEST_F(Treap, RandomOperationsMatchModelAndKeepInputs) {
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::minstd_rand rng(seed);
    std::vector<tree> pool;
    std::vector<std::vector<test::tok>> model;
    std::uint64_t next_key = 1;
    for (int step = 0; step < 400; ++step) {
      int op = pool.empty() ? 0 : static_cast<int>(rng() % 4);
      if (op == 0 || pool.size() < 2) {
        std::vector<vl_leaf> ls;
        std::uint32_t n = rng() % 20;
        for (std::uint32_t i = 0; i < n; ++i)
          ls.push_back(vl_leaf{next_key++, static_cast<std::uint32_t>(rng() % 5),
                               static_cast<std::uint32_t>(1 + rng() % 9)});
        pool.emplace_back(test::build(ls));
        model.push_back(test::token_list(pool.back().get()));
        std::vector<test::tok> want;
        for (const vl_leaf& l : ls) {
          for (std::uint32_t i = 0; i < l.count; ++i) want.emplace_back(l.key, l.off + i);
        }
        ASSERT_EQ(model.back(), want);
      } else if (op == 1) {
        std::size_t i = rng() % pool.size();
        vl_ext* in = pool[i].get();
        auto before = refs_of(in);
        std::uint64_t k = rng() % (vl_ext_tokens(in) + 2);
        tree l, r;
        vl_ext_split_tok(in, k, l.out(), r.out(), test::measure_cb, nullptr);
        std::size_t cut = std::min<std::size_t>(k, model[i].size());
        std::vector<test::tok> wl(model[i].begin(), model[i].begin() + cut);
        std::vector<test::tok> wr(model[i].begin() + cut, model[i].end());
        ASSERT_EQ(test::token_list(l.get()), wl);
        ASSERT_EQ(test::token_list(r.get()), wr);
        ASSERT_TRUE(check_invariants(l.get(), true));
        ASSERT_TRUE(check_invariants(r.get(), true));
        EXPECT_EQ(vl_ext_bytes(l.get()) + vl_ext_bytes(r.get()), vl_ext_bytes(in));
        l = tree();
        r = tree();
        ASSERT_EQ(refs_of(in), before);
        ASSERT_EQ(test::token_list(in), model[i]);
        vl_ext_split_tok(in, k, l.out(), r.out(), test::measure_cb, nullptr);
        pool.push_back(std::move(l));
        model.push_back(wl);
        pool.push_back(std::move(r));
        model.push_back(wr);
      } else if (op == 2) {
        std::size_t i = rng() % pool.size();
        std::size_t j = rng() % pool.size();
        if (model[i].size() + model[j].size() > 1500) continue;  // keep the model small
        auto before_i = refs_of(pool[i].get());
        auto before_j = refs_of(pool[j].get());
        tree joined(vl_ext_join(pool[i].get(), pool[j].get()));
        std::vector<test::tok> want = model[i];
        want.insert(want.end(), model[j].begin(), model[j].end());
        ASSERT_EQ(test::token_list(joined.get()), want);
        ASSERT_EQ(test::token_list(pool[i].get()), model[i]);
        ASSERT_EQ(test::token_list(pool[j].get()), model[j]);
        ASSERT_TRUE(check_invariants(joined.get(), true));
        joined = tree();
        ASSERT_EQ(refs_of(pool[i].get()), before_i);
        ASSERT_EQ(refs_of(pool[j].get()), before_j);
        joined = tree(vl_ext_join(pool[i].get(), pool[j].get()));
        pool.push_back(std::move(joined));
        model.push_back(want);
      } else {
        std::size_t i = rng() % pool.size();
        pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(i));
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
      }
      std::vector<vl_ext*> roots;
      for (const tree& t : pool) roots.push_back(t.get());
      ASSERT_EQ(vl_ext_audit(roots.data(), static_cast<std::uint32_t>(roots.size()), 0), 0);
      // Each operation checked its own inputs; every tree is re-read now
      // and then to catch damage from releases.
      for (std::size_t i = 0; step % 16 == 0 && i < pool.size(); ++i) {
        ASSERT_EQ(test::token_list(pool[i].get()), model[i]);
        std::uint64_t bytes = 0;
        for (auto [key, idx] : model[i]) bytes += test::token_bytes(key, idx);
        ASSERT_EQ(vl_ext_bytes(pool[i].get()), bytes);
      }
    }
  }
}

// Pre-order record of a tree's values (not its addresses), with a marker
// for each missing child, so two trees compare equal node for node.
std::vector<std::uint64_t> shape_of(const vl_ext* root) {
  std::vector<std::uint64_t> out;
  std::vector<const vl_ext*> todo{root};
  while (!todo.empty()) {
    const vl_ext* n = todo.back();
    todo.pop_back();
    if (n == nullptr) {
      out.push_back(UINT64_MAX);
      continue;
    }
    out.insert(out.end(), {n->leaf.key, n->leaf.off, n->leaf.count, n->tokens, n->bytes, n->prio});
    todo.push_back(n->right);
    todo.push_back(n->left);
  }
  return out;
}

// The consuming forms against the copying ones on the same inputs and the
// same generator state: equal results node for node and equal draws, with
// inputs that are shared (also kept in the pool), held only by the call
// (so its nodes may be reused in place), or passed twice; the references
// of everything kept must stay exact (audit) and nothing may leak.
TEST_F(Treap, OwnedFormsEqualCopyingForms) {
  for (std::uint32_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::minstd_rand rng(seed);
    std::vector<tree> pool;
    std::uint64_t next_key = 1;
    auto fresh = [&] {
      std::vector<vl_leaf> ls;
      for (std::uint32_t i = 0, n = 1 + rng() % 12; i < n; ++i)
        ls.push_back(vl_leaf{next_key++, 0, static_cast<std::uint32_t>(1 + rng() % 6)});
      return tree(test::build(ls));
    };
    // One input handle: shared with the pool, or taken out of it.
    auto pick = [&](bool* shared) {
      const std::size_t i = rng() % pool.size();
      *shared = rng() % 2 == 0;
      if (*shared) return tree(vl_ext_retain(pool[i].get()));
      tree t = std::move(pool[i]);
      pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(i));
      return t;
    };
    for (int step = 0; step < 600; ++step) {
      while (pool.size() < 3) pool.push_back(fresh());
      if (rng() % 8 == 0) pool.push_back(fresh());
      const std::uint32_t state = rng_state();
      bool shared_a = false, shared_b = false;
      if (rng() % 2 == 0) {
        tree in = pick(&shared_a);
        const std::uint64_t k = rng() % (vl_ext_tokens(in.get()) + 2);
        tree cl, cr;
        vl_ext_split_tok(in.get(), k, cl.out(), cr.out(), test::measure_cb, nullptr);
        const auto want_l = shape_of(cl.get()), want_r = shape_of(cr.get());
        const std::uint32_t after = rng_state();
        cl = tree();
        cr = tree();
        set_rng_state(state);
        vl_ext *l = nullptr, *r = nullptr;
        ASSERT_TRUE(split_owned(in.get(), k, test::measure_cb, nullptr, &l, &r));
        in.disown();
        pool.emplace_back(l);
        pool.emplace_back(r);
        ASSERT_EQ(shape_of(l), want_l);
        ASSERT_EQ(shape_of(r), want_r);
        ASSERT_EQ(rng_state(), after);
      } else {
        tree a = pick(&shared_a);
        tree b = rng() % 8 == 0 ? tree(vl_ext_retain(a.get())) : pick(&shared_b);
        if (vl_ext_tokens(a.get()) + vl_ext_tokens(b.get()) > 3000) {
          pool.push_back(std::move(a));
          pool.push_back(std::move(b));
          continue;
        }
        const auto want = shape_of(tree(vl_ext_join(a.get(), b.get())).get());
        vl_ext* j = nullptr;
        ASSERT_TRUE(join_owned(a.get(), b.get(), &j));
        pool.emplace_back(j);
        ASSERT_EQ(shape_of(j), want);
        ASSERT_TRUE(check_invariants(j, true));
        a.disown();
        b.disown();
      }
      std::vector<vl_ext*> roots;
      for (const tree& t : pool) roots.push_back(t.get());
      ASSERT_EQ(vl_ext_audit(roots.data(), static_cast<std::uint32_t>(roots.size()), 0), 0)
          << "step " << step << (shared_a ? " shared" : " owned");
    }
  }
}

// Counts of every node reachable from the roots, for before/after checks.
std::map<const vl_ext*, std::uint32_t> counts(const std::vector<vl_ext*>& roots) {
  std::map<const vl_ext*, std::uint32_t> m;
  for (vl_ext* r : roots) {
    for (auto [n, rc] : refs_of(r)) m[n] = rc;
  }
  return m;
}

// Out of memory at every point of build, join and split, copying and
// consuming (whose inputs here are held only by the call, so it reuses
// their nodes): the operation yields nothing, every input keeps its nodes
// and counts, nothing leaks.
TEST_F(Treap, AllocationFailureLeavesInputsIntact) {
  ASSERT_EQ(live_, 0u) << "needs an arena with no live trees";
  for (int op = 0; op < 5; ++op) {
    for (std::uint32_t slots = 0;; ++slots) {
      SCOPED_TRACE(::testing::Message() << "op " << op << " slots " << slots);
      vl_ext_arena_free();
      tree a(test::build(test::make_leaves(37, 6)));
      tree b(test::build(test::make_leaves(29, 6, 100)));
      // The (slots + 1)th new node of the operation fails.
      testutil::NodeBlockFailure fail(slots);
      auto before = counts({a.get(), b.get()});
      std::uint64_t live = vl_ext_nodes_alloced();
      tree l, r;
      bool ok;
      if (op == 0) {
        l = tree(test::build(test::make_leaves(13, 2)));
        ok = l.get() != nullptr;
      } else if (op == 1) {
        l = tree(vl_ext_join(a.get(), b.get()));
        ok = l.get() != nullptr;
      } else if (op == 2) {
        vl_ext_split_tok(a.get(), 17 * 6 + 3, l.out(), r.out(), test::measure_cb, nullptr);
        ok = l.get() != nullptr;
      } else {
        ok = op == 3
                 ? join_owned(a.get(), b.get(), l.out())
                 : split_owned(a.get(), 17 * 6 + 3, test::measure_cb, nullptr, l.out(), r.out());
        if (ok) {
          EXPECT_TRUE(check_invariants(l.get(), true));
          a.disown();
          if (op == 3) b.disown();
          break;
        }
      }
      if (!ok) {
        EXPECT_EQ(counts({a.get(), b.get()}), before);
        EXPECT_EQ(r.get(), nullptr);
        EXPECT_EQ(vl_ext_nodes_alloced(), live);
        continue;
      }
      EXPECT_TRUE(check_invariants(l.get(), true));
      l = tree();
      r = tree();
      EXPECT_EQ(counts({a.get(), b.get()}), before);
      break;  // enough slots: every failure point before this one was tried
    }
  }
  vl_ext_arena_free();
}

}  // namespace
}  // namespace velta::extent
