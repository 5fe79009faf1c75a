// Range change history: the fixed cases, and random edit histories checked
// by decoding both versions: a range reported unchanged must hold equal
// bytes in both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "util/holders.h"
#include "velta.h"

namespace {

using velta::EngineHolder;

class RangeHistory : public ::testing::Test {
 protected:
  EngineHolder engine{vl_engine_new()};
  vl_engine* e() { return engine.get(); }

  std::string text(vl_object* o, std::uint32_t v) {
    std::string s(vl_object_bytes(o, v), '\0');
    EXPECT_EQ(vl_read_version(e(), o, v, 0, s.size(), s.data()), s.size());
    return s;
  }

  // Words separated by spaces, so the text tokenizes into many tokens and
  // spreads over several chunks (leaves).
  static std::string words(std::mt19937& rng, std::size_t n) {
    static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "eps", "zeta"};
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
      s += kWords[rng() % 6];
      s += ' ';
    }
    return s;
  }
};

TEST_F(RangeHistory, BadIndicesAndTrivialPairs) {
  vl_object* o = vl_create(e(), "o", "hello", 5);
  ASSERT_EQ(vl_update(e(), o, 5, 0, " world", 6), 0);
  EXPECT_EQ(vl_range_changed(nullptr, 0, 1, 0, 5), 1);
  EXPECT_EQ(vl_range_changed(o, 0, 2, 0, 5), 1);
  EXPECT_EQ(vl_range_changed(o, 2, 2, 0, 5), 1);
  EXPECT_EQ(vl_range_changed(o, 1, 1, 0, 5), 0);
  EXPECT_EQ(vl_version_new_leaves(nullptr, 0, 0), 0u);
  EXPECT_EQ(vl_version_new_leaves(o, 0, 2), 0u);
  EXPECT_EQ(vl_version_new_leaves(o, 1, 1), 0u);
  EXPECT_EQ(vl_version_new_leaves(o, 0, 1), vl_ext_leaves(o->versions[1].root));
  EXPECT_EQ(vl_version_new_leaves(o, 1, 0), 1u);

  std::uint32_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(vl_range_history(nullptr, 0, 5, out, 4), 0u);
  EXPECT_EQ(vl_range_history(o, 0, 5, out, 0), 0u);
  vl_object* one = vl_create(e(), "one", "x", 1);
  EXPECT_EQ(vl_range_history(one, 0, 1, out, 4), 0u);
  EXPECT_EQ(out[0], 9u);
}

TEST_F(RangeHistory, SharedRootIsUnchangedEverywhere) {
  vl_object* o = vl_create(e(), "o", "some text here", 14);
  velta::engine::push_version(e(), o, vl_ext_retain(o->versions[0].root));
  for (std::uint64_t start : {0ull, 5ull, 13ull, 100ull}) {
    EXPECT_EQ(vl_range_changed(o, 0, 1, start, 3), 0) << start;
  }
  EXPECT_EQ(vl_version_new_leaves(o, 0, 1), 0u);
}

TEST_F(RangeHistory, EmptyVersionAndEveryVersionChanging) {
  vl_object* o = vl_create(e(), "o", "", 0);
  ASSERT_EQ(vl_update(e(), o, 0, 0, "abc", 3), 0);
  EXPECT_EQ(vl_range_changed(o, 0, 1, 0, 3), 1);
  ASSERT_EQ(vl_update(e(), o, 0, 3, "xyz", 3), 0);
  ASSERT_EQ(vl_update(e(), o, 0, 3, "pqr", 3), 0);
  std::uint32_t out[2] = {0, 0};
  EXPECT_EQ(vl_range_history(o, 0, 3, out, 2), 2u);
  EXPECT_EQ(out[0], 1u);
  EXPECT_EQ(out[1], 2u);
}

// A node shared by two versions but lying at another position holds other
// bytes of the range: that must count as a change.
TEST_F(RangeHistory, SharedNodeAtShiftedPositionIsAChange) {
  std::mt19937 rng(3);
  const std::string base = words(rng, 3000);  // several chunks of 1024 ids
  vl_object* o = vl_create(e(), "o", base.data(), base.size());
  ASSERT_GE(vl_ext_leaves(o->versions[0].root), 3u);
  ASSERT_EQ(vl_update(e(), o, 0, 0, "XY", 2), 0);  // shifts everything by 2
  const std::uint64_t start = base.size() - 40;
  const std::string a = text(o, 0).substr(start, 10);
  const std::string b = text(o, 1).substr(start, 10);
  ASSERT_NE(a, b);
  // Both versions find the range in the same leaf, two bytes apart.
  vl_leaf la, lb;
  std::uint64_t ta, tb, ba, bb;
  ASSERT_TRUE(vl_ext_locate_byte(o->versions[0].root, start, &la, &ta, &ba));
  ASSERT_TRUE(vl_ext_locate_byte(o->versions[1].root, start, &lb, &tb, &bb));
  ASSERT_EQ(la.key, lb.key);
  ASSERT_EQ(la.off, lb.off);
  ASSERT_EQ(bb, ba + 2);
  EXPECT_EQ(vl_range_changed(o, 0, 1, start, 10), 1);
}

// Random histories: small edits at random places over a multi-chunk text.
// Every "unchanged" must be true; how often equal text is reported as
// changed is printed (the test is conservative by design).
TEST_F(RangeHistory, UnchangedMeansEqualOnRandomHistories) {
  std::uint64_t queries = 0, reported_unchanged = 0, equal = 0, equal_but_changed = 0;
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    const std::string name = "doc" + std::to_string(seed);
    std::string cur = words(rng, 2500);
    vl_object* o = vl_create(e(), name.c_str(), cur.data(), cur.size());
    std::vector<std::string> texts = {cur};
    for (int step = 0; step < 60; ++step) {
      const std::uint64_t pos = rng() % (cur.size() + 1);
      const std::uint64_t del = std::min<std::uint64_t>(rng() % 12, cur.size() - pos);
      const std::string ins = rng() % 3 == 0 ? std::string() : words(rng, rng() % 3 + 1);
      ASSERT_EQ(vl_update(e(), o, pos, del, ins.data(), ins.size()), 0);
      cur.replace(pos, del, ins);
      texts.push_back(cur);
    }
    const std::uint32_t n = vl_object_versions(o);
    ASSERT_EQ(n, texts.size());
    for (int q = 0; q < 400; ++q) {
      const std::uint32_t a = rng() % n;
      const std::uint32_t b = q % 2 == 0 ? (a + 1 < n ? a + 1 : a) : rng() % n;
      const std::uint64_t start = rng() % (cur.size() + 50);
      const std::uint64_t len = q % 7 == 0 ? UINT64_MAX : rng() % 300;
      auto slice = [&](const std::string& s) {
        return start >= s.size() ? std::string() : s.substr(start, len);
      };
      const bool same_text = slice(texts[a]) == slice(texts[b]);
      const int changed = vl_range_changed(o, a, b, start, len);
      ++queries;
      equal += same_text;
      if (changed == 0) {
        ++reported_unchanged;
        ASSERT_TRUE(same_text) << "seed " << seed << " versions " << a << "," << b << " range "
                               << start << "+" << len;
      } else if (same_text) {
        ++equal_but_changed;
      }
    }
    // vl_range_history lists exactly the consecutive pairs that changed.
    const std::uint64_t start = rng() % cur.size();
    std::vector<std::uint32_t> hist(n);
    const std::uint32_t count = vl_range_history(o, start, 64, hist.data(), n);
    std::vector<std::uint32_t> want;
    for (std::uint32_t v = 1; v < n; ++v) {
      if (vl_range_changed(o, v - 1, v, start, 64) == 1) want.push_back(v);
    }
    hist.resize(count);
    EXPECT_EQ(hist, want);
  }
  EXPECT_GT(reported_unchanged, 0u);
  std::printf(
      "range history: %llu queries, %llu with equal text, %llu reported unchanged, "
      "%llu equal but reported changed\n",
      static_cast<unsigned long long>(queries), static_cast<unsigned long long>(equal),
      static_cast<unsigned long long>(reported_unchanged),
      static_cast<unsigned long long>(equal_but_changed));
}

}  // namespace
