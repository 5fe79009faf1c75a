// Search: worked examples, the tokens_scanned counter, the max_hits stop,
// versions whose claimed token count is wrong, and a comparison with a
// naive scan of the decoded texts on random texts and patterns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine_testutil.h"

namespace velta::testing {
namespace {

using Hit = std::pair<std::string, std::uint64_t>;  // object name, position

std::vector<Hit> search(vl_engine* e, std::string_view pattern, std::uint64_t max_hits = 4096) {
  std::vector<vl_hit> hits(max_hits);
  const std::uint64_t n = vl_search(e, pattern.data(), pattern.size(), hits.data(), max_hits);
  std::vector<Hit> out;
  for (std::uint64_t i = 0; i < n; ++i) out.emplace_back(hits[i].object_name, hits[i].pos);
  return out;
}

// Every occurrence, overlapping ones included, object by object.
std::vector<Hit> naive(vl_engine* e, std::string_view pattern) {
  std::vector<Hit> out;
  for (std::uint32_t i = 0; i < vl_engine_objects(e); ++i) {
    vl_object* o = vl_engine__obj(e, i);
    const std::string text = text_at(e, o);
    for (auto p = text.find(pattern); p != std::string::npos; p = text.find(pattern, p + 1)) {
      out.emplace_back(vl_object_name(o), p);
    }
  }
  return out;
}

std::uint64_t scanned(vl_engine* e) {
  vl_stats s;
  vl_engine_stats(e, &s);
  return s.tokens_scanned;
}

class Search : public ::testing::Test {
 protected:
  vl_engine* e() { return engine_.get(); }
  EngineHolder engine_{vl_engine_new()};
};

TEST_F(Search, OverlappingMatchesWhateverTheTokens) {
  make(e(), "one", "aaaa");                 // a single token
  vl_object* two = make(e(), "two", "aa");  // becomes two tokens "aa" "aa"
  ASSERT_EQ(vl_update(e(), two, 2, 0, "aa", 2), 0);
  ASSERT_EQ(vl_object_tokens(two, UINT32_MAX), 2u);
  make(e(), "three", std::string(70, 'a'));  // never learned: byte tokens
  std::vector<Hit> want = {{"one", 0}, {"one", 1}, {"one", 2}, {"two", 0}, {"two", 1}, {"two", 2}};
  for (std::uint64_t p = 0; p < 69; ++p) want.emplace_back("three", p);
  EXPECT_EQ(search(e(), "aa"), want);
}

TEST_F(Search, MatchesSpanningTokens) {
  make(e(), "a", "hello, world");
  EXPECT_EQ(search(e(), "lo, wo"), (std::vector<Hit>{{"a", 3}}));  // three tokens
  EXPECT_EQ(search(e(), "hello, world"), (std::vector<Hit>{{"a", 0}}));
  // Running past the end of the text is no match.
  EXPECT_TRUE(search(e(), "world!").empty());
  EXPECT_TRUE(search(e(), "hello, world, ").empty());
}

TEST_F(Search, FirstByteOnlyInByteTokens) {
  const std::string run(70, 'Q');  // longer than any entry: byte tokens
  make(e(), "a", "abc " + run + " end");
  EXPECT_EQ(search(e(), "QQ end"), (std::vector<Hit>{{"a", 4 + 68}}));
  EXPECT_EQ(search(e(), " " + run + " "), (std::vector<Hit>{{"a", 3}}));
}

TEST_F(Search, StopsAtMaxHitsAndCountsScannedTokens) {
  vl_object* first = make(e(), "first", "x y x");
  make(e(), "second", "x z");
  const std::uint64_t before = scanned(e());
  EXPECT_EQ(search(e(), "x", 1), (std::vector<Hit>{{"first", 0}}));
  EXPECT_EQ(scanned(e()) - before, vl_object_tokens(first, UINT32_MAX));

  EXPECT_EQ(search(e(), "x", 3), (std::vector<Hit>{{"first", 0}, {"first", 4}, {"second", 0}}));
  const std::uint64_t mid = scanned(e());
  EXPECT_TRUE(search(e(), "x", 0).empty());
  EXPECT_TRUE(search(e(), "").empty());
  EXPECT_EQ(scanned(e()), mid);
  vl_hit h;
  EXPECT_EQ(vl_search(e(), nullptr, 1, &h, 1), 0u);
  EXPECT_EQ(vl_search(nullptr, "x", 1, &h, 1), 0u);
}

TEST_F(Search, EmptyVersionContributesNothing) {
  vl_object* o = make(e(), "a", "abc abc");
  ASSERT_EQ(vl_cut(e(), o, 0, 7), 0);
  make(e(), "b", "");
  const std::uint64_t before = scanned(e());
  EXPECT_TRUE(search(e(), "abc").empty());
  EXPECT_EQ(scanned(e()), before);
}

TEST_F(Search, EmptyTokensDoNotBreakAMatch) {
  // A chunk with an unassigned id between two byte tokens decodes to "ab".
  const std::uint32_t ids[] = {0xFFFFFF00u + 'a', 12345, 0xFFFFFF00u + 'b'};
  const std::uint64_t key = vl_store_put(vl_engine_store(e()), ids, 3);
  const vl_leaf leaf{key, 0, 3};
  vl_object* o = vl_net__rebuild(e(), "a", &leaf, 1);
  ASSERT_NE(o, nullptr);
  ASSERT_EQ(vl_object_bytes(o, UINT32_MAX), 2u);
  EXPECT_EQ(search(e(), "ab"), (std::vector<Hit>{{"a", 0}}));
}

TEST_F(Search, WrongTokenCountsNeitherCrashNorOverrun) {
  make(e(), "a", "find me");
  vl_object* b = make(e(), "b", "find me too");
  vl_object* c = make(e(), "c", "find");
  vl_version& v = b->versions.back();
  const std::uint64_t real = v.tokens;

  // A count whose id array cannot be allocated: the search stops there.
  v.tokens = UINT64_MAX / 2;
  EXPECT_EQ(search(e(), "find"), (std::vector<Hit>{{"a", 0}}));
  // A count below what the tree holds: only that many ids are taken.
  v.tokens = 1;
  EXPECT_EQ(search(e(), "find"), (std::vector<Hit>{{"a", 0}, {"b", 0}, {"c", 0}}));
  EXPECT_EQ(search(e(), "me"), (std::vector<Hit>{{"a", 5}}));
  v.tokens = real;
  EXPECT_EQ(search(e(), "me"), (std::vector<Hit>{{"a", 5}, {"b", 5}}));
  (void)c;
}

// Random texts built from a small vocabulary, with long runs that are never
// learned, against random patterns that begin anywhere.
TEST_F(Search, AgreesWithNaiveScan) {
  const std::uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto pick = [&](std::uint64_t n) { return static_cast<std::uint64_t>(rng() % n); };
  // Rare words and non-ASCII bytes give patterns whose rarest byte is not
  // their first, and searches where few ids can hold a match.
  const char* words[] = {"a",  "ab",  "aba", "the", "then", "there", " ",  "  ",
                         ", ", ".\n", "x1",  "_",   "ba",   "b",     "qz", "\xC3\xA9t\xC3\xA9"};
  std::vector<std::string> texts;
  for (int o = 0; o < 6; ++o) {
    std::string t;
    const std::uint64_t n = o == 1 ? 6000 : pick(400);  // one spans several chunks
    for (std::uint64_t i = 0; i < n; ++i) {
      if (pick(40) == 0) {
        t += std::string(65 + pick(30), "ab "[pick(3)]);
      } else {
        t += words[pick(std::size(words))];
      }
    }
    texts.push_back(t);
    make(e(), ("o" + std::to_string(o)).c_str(), t);
  }
  // Edits move token boundaries away from where a fresh tokenizing puts them.
  vl_object* first = vl_engine__obj(e(), 0);
  if (vl_object_bytes(first, UINT32_MAX) > 10) {
    ASSERT_EQ(vl_update(e(), first, 5, 3, "bab", 3), 0);
  }
  // Grafts and cuts leave many leaves, some cut inside chunks.
  vl_object* big = vl_engine__obj(e(), 1);
  for (int i = 0; i < 20; ++i) {
    const auto starts = token_starts(e(), big);
    const std::uint64_t from = pick(starts.size());
    const std::uint64_t to = std::min<std::uint64_t>(starts.size() - 1, from + pick(200));
    const std::uint64_t len = starts[to] - starts[from];
    if (i % 2 == 0) {
      ASSERT_EQ(vl_graft(e(), big, starts[pick(starts.size())], big, starts[from], len), 0);
    } else {
      ASSERT_EQ(vl_cut(e(), big, starts[from], len), 0);
    }
  }
  ASSERT_GT(vl_ext_leaves(big->current().root), 20u);

  for (int round = 0; round < 200; ++round) {
    std::string pattern;
    const std::string& src = texts[pick(texts.size())];
    if (pick(4) != 0 && !src.empty()) {
      const std::uint64_t at = pick(src.size());
      pattern = src.substr(at, 1 + pick(round % 3 == 0 ? 120 : 8));
    } else {
      for (std::uint64_t i = 1 + pick(4); i > 0; --i) pattern += "ab ,q\xC3"[pick(6)];
    }
    const auto want = naive(e(), pattern);
    ASSERT_EQ(search(e(), pattern, want.size() + 1), want) << "pattern '" << pattern << "'";
    if (want.size() > 1) {
      const std::uint64_t k = 1 + pick(want.size() - 1);
      ASSERT_EQ(search(e(), pattern, k), std::vector<Hit>(want.begin(), want.begin() + k));
    }
  }
}

}  // namespace
}  // namespace velta::testing
