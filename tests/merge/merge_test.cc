// Three-way merge: the replacement finder, the worked cases, and random
// base/ours/theirs triples against a straightforward model of applying two
// edits to one text.
#include "merge/merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "util/holders.h"
#include "velta.h"

namespace {

using velta::EngineHolder;

std::span<const std::uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(MergeSpan, TrimsCommonPrefixAndSuffix) {
  struct Case {
    const char *a, *b;
    std::uint64_t pos, a_end, b_len;
  } cases[] = {
      {"", "", 0, 0, 0},
      {"", "xy", 0, 0, 2},
      {"abc", "", 0, 3, 0},
      {"abc", "abc", 3, 3, 0},
      {"abcdef", "abXdef", 2, 3, 1},
      {"ab", "aXb", 1, 1, 1},
      // Prefix and suffix may not overlap inside the shorter text.
      {"aa", "aaa", 2, 2, 1},
      {"aaa", "a", 1, 3, 0},
  };
  for (const Case& c : cases) {
    const auto s = velta::merge::span_of(bytes(c.a), bytes(c.b));
    EXPECT_EQ(s.pos, c.pos) << c.a << " -> " << c.b;
    EXPECT_EQ(s.a_end, c.a_end) << c.a << " -> " << c.b;
    EXPECT_EQ(s.b_len, c.b_len) << c.a << " -> " << c.b;
  }
}

// The word-at-a-time comparisons agree with a byte loop at every offset.
TEST(MergeSpan, MatchesByteLoopOnLongTexts) {
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    std::string a(rng() % 80, 'x');
    for (auto& ch : a) ch = static_cast<char>('a' + rng() % 3);
    std::string b = a;
    const std::size_t at = b.empty() ? 0 : rng() % (b.size() + 1);
    const std::size_t del = std::min<std::size_t>(rng() % 5, b.size() - at);
    b.replace(at, del, std::string(rng() % 4, static_cast<char>('a' + rng() % 4)));
    const std::size_t m = std::min(a.size(), b.size());
    std::size_t pos = 0;
    while (pos < m && a[pos] == b[pos]) ++pos;
    std::size_t s = 0;
    while (s < m - pos && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
    const auto got = velta::merge::span_of(bytes(a), bytes(b));
    ASSERT_EQ(got.pos, pos) << a << " -> " << b;
    ASSERT_EQ(got.a_end, a.size() - s) << a << " -> " << b;
    ASSERT_EQ(got.b_len, b.size() - pos - s) << a << " -> " << b;
  }
}

class MergeTest : public ::testing::Test {
 protected:
  EngineHolder engine{vl_engine_new()};
  vl_engine* e() { return engine.get(); }

  // An object whose versions hold the given texts, oldest first.
  vl_object* history(const std::vector<std::string>& texts) {
    vl_object* o = vl_create(e(), "doc", texts[0].data(), texts[0].size());
    for (std::size_t i = 1; i < texts.size(); ++i) {
      EXPECT_EQ(
          vl_update(e(), o, 0, vl_object_bytes(o, 0xFFFFFFFF), texts[i].data(), texts[i].size()),
          0);
    }
    return o;
  }

  std::string text(vl_object* o) {
    std::string s(vl_object_bytes(o, 0xFFFFFFFF), '\0');
    EXPECT_EQ(vl_read(e(), o, 0, s.size(), s.data()), s.size());
    return s;
  }
};

TEST_F(MergeTest, DisjointChangesMerge) {
  vl_object* o = history({"abcdef", "abcdeY", "abXdef"});  // base, theirs, ours
  vl_merge_report r;
  ASSERT_EQ(vl_merge_preview(e(), o, 0, 1, &r), 0);
  EXPECT_EQ(vl_object_versions(o), 3u);
  EXPECT_EQ(r.ours_pos, 2u);
  EXPECT_EQ(r.ours_end, 3u);
  EXPECT_EQ(r.ours_len, 1u);
  EXPECT_EQ(r.theirs_pos, 5u);
  EXPECT_EQ(r.theirs_end, 6u);
  EXPECT_EQ(r.theirs_len, 1u);
  EXPECT_EQ(r.conflict, 0u);
  EXPECT_EQ(r.version, 0u);

  ASSERT_EQ(vl_merge(e(), o, 0, 1, &r), 0);
  EXPECT_EQ(vl_object_versions(o), 4u);
  EXPECT_EQ(r.version, 3u);
  EXPECT_EQ(text(o), "abXdeY");
}

TEST_F(MergeTest, OverlappingChangesConflict) {
  vl_object* o = history({"abcdef", "abYYef", "aXXdef"});
  vl_merge_report r;
  EXPECT_EQ(vl_merge_preview(e(), o, 0, 1, &r), -2);
  EXPECT_EQ(vl_merge(e(), o, 0, 1, &r), -2);
  EXPECT_EQ(r.conflict, 1u);
  EXPECT_EQ(r.ours_pos, 1u);
  EXPECT_EQ(r.ours_end, 3u);
  EXPECT_EQ(r.theirs_pos, 2u);
  EXPECT_EQ(r.theirs_end, 4u);
  EXPECT_EQ(vl_object_versions(o), 3u);
  EXPECT_EQ(text(o), "aXXdef");
}

TEST_F(MergeTest, InsertionsAtOnePointKeepOursFirst) {
  vl_object* o = history({"ab", "aYb", "aXb"});
  ASSERT_EQ(vl_merge(e(), o, 0, 1, nullptr), 0);
  EXPECT_EQ(text(o), "aXYb");

  vl_object* same = history({"ab", "aXb", "aXb"});
  ASSERT_EQ(vl_merge(e(), same, 0, 1, nullptr), 0);
  EXPECT_EQ(text(same), "aXXb");
}

TEST_F(MergeTest, IdenticalChangeIsAppliedOnce) {
  vl_object* o = history({"hello world", "hello there", "hello there"});
  vl_merge_report r;
  ASSERT_EQ(vl_merge(e(), o, 0, 1, &r), 0);
  EXPECT_EQ(r.same, 1u);
  EXPECT_EQ(r.conflict, 0u);
  EXPECT_EQ(r.theirs_pos, 0u);
  EXPECT_EQ(r.theirs_end, 0u);
  EXPECT_EQ(r.theirs_len, 0u);
  EXPECT_EQ(r.version, 2u);
  EXPECT_EQ(vl_object_versions(o), 3u);
}

TEST_F(MergeTest, NothingToApplyAndUnshiftedTheirs) {
  vl_object* o = history({"one two", "one 2", "1 two"});
  vl_merge_report r;
  // base == other: theirs made no change.
  ASSERT_EQ(vl_merge(e(), o, 1, 1, &r), 0);
  EXPECT_EQ(r.version, 2u);
  EXPECT_EQ(vl_object_versions(o), 3u);
  // base == current: ours made no change, theirs applies at its own place.
  ASSERT_EQ(vl_merge(e(), o, 2, 0, &r), 0);
  EXPECT_EQ(r.ours_pos, r.ours_end);
  EXPECT_EQ(r.ours_len, 0u);
  EXPECT_EQ(text(o), "one two");
  EXPECT_EQ(r.version, 3u);
}

TEST_F(MergeTest, RefusesBadArguments) {
  vl_object* o = history({"abc", "abd"});
  vl_merge_report r{};
  r.version = 99;
  EXPECT_EQ(vl_merge(e(), o, 0, 2, &r), -1);
  EXPECT_EQ(vl_merge(e(), o, 2, 0, &r), -1);
  EXPECT_EQ(vl_merge_preview(e(), o, 0, 2, &r), -1);
  EXPECT_EQ(r.version, 99u);  // untouched on argument errors
  EXPECT_EQ(vl_merge(nullptr, o, 0, 1, &r), -1);
  EXPECT_EQ(vl_merge(e(), nullptr, 0, 1, &r), -1);
  EXPECT_EQ(vl_merge_preview(e(), o, 0, 1, nullptr), 0);
  EXPECT_EQ(vl_object_versions(o), 2u);
}

// One replacement of [pos, end) of the base by `text`.
struct Edit {
  std::size_t pos, end;
  std::string text;
  bool empty() const { return pos == end && text.empty(); }
  bool operator==(const Edit&) const = default;
};

// The reference: both edits applied to the base, in base order; at equal
// positions an insertion goes before a replacement and ours before theirs.
std::string apply_both(const std::string& base, const Edit& ours, const Edit& theirs) {
  const bool ours_first =
      std::make_pair(ours.pos, ours.end) <= std::make_pair(theirs.pos, theirs.end);
  const Edit& x = ours_first ? ours : theirs;
  const Edit& y = ours_first ? theirs : ours;
  return base.substr(0, x.pos) + x.text + base.substr(x.end, y.pos - x.end) + y.text +
         base.substr(y.end);
}

// A random edit whose trimmed replacement is the edit itself: its text
// comes from an alphabet the base never uses, and a pure deletion is only
// taken where neither end could slide along equal bytes.
Edit random_edit(std::mt19937& rng, const std::string& base, char lo) {
  for (;;) {
    Edit ed;
    ed.pos = rng() % (base.size() + 1);
    ed.end = std::min(base.size(), ed.pos + rng() % 6);
    const std::size_t n = rng() % 4;
    for (std::size_t i = 0; i < n; ++i) ed.text += static_cast<char>(lo + rng() % 13);
    if (!ed.text.empty() || ed.pos == ed.end) return ed;
    const bool left_fixed = ed.pos == 0 || base[ed.pos - 1] != base[ed.end - 1];
    const bool right_fixed = ed.end == base.size() || base[ed.pos] != base[ed.end];
    if (left_fixed && right_fixed) return ed;
  }
}

TEST_F(MergeTest, RandomTriplesMatchModel) {
  int merged = 0, conflicts = 0, same = 0;
  for (unsigned seed = 1; seed <= 400; ++seed) {
    std::mt19937 rng(seed);
    std::string base(rng() % 40, 'x');
    for (auto& ch : base) ch = static_cast<char>('a' + rng() % 3);  // repeats on purpose
    const Edit ours = random_edit(rng, base, 'A');
    Edit theirs = rng() % 10 == 0 ? ours : random_edit(rng, base, 'N');
    if (rng() % 10 == 0) theirs = Edit{0, 0, ""};

    auto applied = [&](const Edit& ed) {
      return base.substr(0, ed.pos) + ed.text + base.substr(ed.end);
    };
    const std::string ours_text = applied(ours);
    vl_object* o = history({base, applied(theirs), ours_text});
    const int rc = vl_merge(e(), o, 0, 1, nullptr);

    const bool overlap = ours.pos < theirs.end && theirs.pos < ours.end;
    if (ours.empty() || theirs.empty() || !overlap) {
      ASSERT_EQ(rc, 0) << "seed " << seed;
      const std::string want = theirs.empty() ? ours_text
                               : ours.empty() ? applied(theirs)
                                              : apply_both(base, ours, theirs);
      ASSERT_EQ(text(o), want) << "seed " << seed << " base " << base << " ours [" << ours.pos
                               << "," << ours.end << ")=" << ours.text << " theirs [" << theirs.pos
                               << "," << theirs.end << ")=" << theirs.text;
      ++merged;
    } else if (ours == theirs) {
      ASSERT_EQ(rc, 0) << "seed " << seed;
      ASSERT_EQ(vl_object_versions(o), 3u) << "seed " << seed;
      ++same;
    } else {
      ASSERT_EQ(rc, -2) << "seed " << seed;
      ASSERT_EQ(vl_object_versions(o), 3u) << "seed " << seed;
      ++conflicts;
    }
    vl_delete(e(), "doc");
  }
  // Each regime must actually have been exercised.
  EXPECT_GT(merged, 100);
  EXPECT_GT(conflicts, 20);
  EXPECT_GT(same, 5);
}

}  // namespace
