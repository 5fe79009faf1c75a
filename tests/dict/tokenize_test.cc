// Tokenizer and detokenizer: worked examples, the stop rules, and round
// trips checked against a plain greedy tokenizer built on vl_dict_lookup.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "dict/dict.h"
#include "dict_test_util.h"

namespace velta::dict::test {
namespace {

// The greedy rule written the obvious way: collect up to 13 run ends, try
// the longest span first with a full lookup each.
std::vector<std::uint32_t> reference_tokens(const vl_dict* d, const std::string& s) {
  std::vector<std::uint32_t> out;
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::vector<std::size_t> q;
    std::size_t i = pos;
    while (q.size() < 13 && i < s.size()) {
      const bool w = is_word(p[i]);
      while (i < s.size() && is_word(p[i]) == w) ++i;
      q.push_back(i);
    }
    std::uint32_t id = 0;
    std::size_t end = 0;
    for (std::size_t j = q.size(); j-- > 0 && id == 0;) {
      if (q[j] - pos <= 64) id = vl_dict_lookup(d, p + pos, q[j] - pos), end = q[j];
    }
    if (id != 0) {
      out.push_back(id);
      pos = end;
    } else {
      for (; pos < q[0]; ++pos) out.push_back(0xFFFFFF00u + p[pos]);
    }
  }
  return out;
}

TEST(Tokenize, HelloWorldAndUnlearnedBytes) {
  DictPtr d = new_dict();
  vl_dict_learn(d.get(), "hello, world", 12, kLearnLimit);
  const auto ids = tokens(d.get(), "hello, world");
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(vl_detok_len(d.get(), ids.data(), ids.size()), 12u);
  EXPECT_EQ(tokens(d.get(), "ab"), (std::vector<std::uint32_t>{0xFFFFFF61u, 0xFFFFFF62u}));
  std::uint32_t none[1];
  EXPECT_EQ(vl_tokenize(d.get(), "", 0, none, 1), 0u);
}

TEST(Tokenize, LongestSpanWins) {
  DictPtr d = new_dict();
  vl_dict_learn(d.get(), "hello, world", 12, kLearnLimit);
  vl_net__install_entry(d.get(), 4, "hello, ", 7);
  vl_net__install_entry(d.get(), 5, "hello, world", 12);
  EXPECT_EQ(tokens(d.get(), "hello, world"), (std::vector<std::uint32_t>{5}));
  EXPECT_EQ(tokens(d.get(), "hello, hello"), (std::vector<std::uint32_t>{4, 1}));
}

TEST(Tokenize, RunsLongerThan64BytesBecomeByteTokens) {
  DictPtr d = new_dict();
  const std::string text = std::string(65, 'w') + " " + std::string(64, 'v');
  vl_dict_learn(d.get(), text.data(), text.size(), kLearnLimit);
  const auto ids = tokens(d.get(), text);
  ASSERT_EQ(ids.size(), 67u);
  for (int i = 0; i < 65; ++i) EXPECT_EQ(ids[i], 0xFFFFFF00u + 'w');
  EXPECT_EQ(ids[65], lookup(d.get(), " "));
  EXPECT_EQ(ids[66], lookup(d.get(), std::string(64, 'v')));
}

TEST(Tokenize, OutputOneTooSmallReturnsAllOnes) {
  DictPtr d = new_dict();
  const std::string text = "one two xyz";
  vl_dict_learn(d.get(), "one two", 7, kLearnLimit);  // "xyz" stays byte tokens
  const auto ids = tokens(d.get(), text);
  ASSERT_EQ(ids.size(), 7u);
  std::vector<std::uint32_t> out(ids.size());
  EXPECT_EQ(vl_tokenize(d.get(), text.data(), text.size(), out.data(), out.size()), 7u);
  for (std::size_t cap = 0; cap < ids.size(); ++cap) {
    std::vector<std::uint32_t> small(cap + 1, 7);
    EXPECT_EQ(vl_tokenize(d.get(), text.data(), text.size(), small.data(), cap), UINT64_MAX);
    EXPECT_TRUE(std::equal(small.begin(), small.begin() + cap, ids.begin())) << cap;
    EXPECT_EQ(small[cap], 7u) << "wrote past out_cap " << cap;
  }
}

TEST(Tokenize, DetokenizeStopsBeforeAnIdThatDoesNotFit) {
  DictPtr d = new_dict();
  vl_dict_learn(d.get(), "hello, world", 12, kLearnLimit);
  const std::vector<std::uint32_t> ids = {1, 2, 3, 0xFFFFFF21u};  // 5 + 2 + 5 + 1 bytes
  char buf[16] = {};
  EXPECT_EQ(vl_detokenize(d.get(), ids.data(), ids.size(), buf, 11), 7u);
  EXPECT_EQ(std::string(buf, 7), "hello, ");
  EXPECT_EQ(vl_detokenize(d.get(), ids.data(), ids.size(), buf, 13), 13u);
  EXPECT_EQ(vl_detokenize(d.get(), ids.data(), 0, buf, 13), 0u);
  // Unassigned ids decode to nothing.
  const std::vector<std::uint32_t> odd = {0, 99, 0xFFFFFEFFu, 1};
  EXPECT_EQ(vl_detok_len(d.get(), odd.data(), odd.size()), 5u);
  EXPECT_EQ(detok(d.get(), odd), "hello");
}

// Each text round-trips and tokenizes exactly as the plain greedy rule
// says, before learning, after learning, and with multi-run entries.
TEST(Tokenize, RoundTripsAndMatchesPlainGreedyRule) {
  std::mt19937_64 rng(20260812);
  std::vector<std::string> texts;
  std::string all256;
  for (int b = 0; b < 256; ++b) all256 += static_cast<char>(b);
  texts.push_back(all256 + all256);
  texts.push_back(std::string(300, 'z') + "  " + std::string(130, '\xff') + "a_b9");
  texts.push_back("");
  texts.push_back("x");
  texts.push_back(random_bytes(rng, 5000));
  texts.push_back(random_words(rng, 3000));
  const std::string lic = license_text();
  if (!lic.empty()) texts.push_back(lic.substr(0, 200000));
  // The final text of a real editing session (UTF-8 LaTeX), when present.
  std::ifstream trace(std::string(VELTA_DATA_DIR) + "/traces/automerge-paper.end",
                      std::ios::binary);
  if (trace)
    texts.emplace_back(std::istreambuf_iterator<char>(trace), std::istreambuf_iterator<char>());
  for (const std::string& text : texts) {
    DictPtr d = new_dict();
    for (int stage = 0; stage < 3; ++stage) {
      if (stage == 1) vl_dict_learn(d.get(), text.data(), text.size(), kLearnLimit);
      if (stage == 2) {
        // Multi-run phrases cut from the text itself.
        for (std::size_t at = 0; at + 40 < text.size() && at < 4000; at += 37)
          vl_net__install_entry(d.get(), vl_dict_size(d.get()) + 1, text.data() + at,
                                1 + static_cast<std::uint32_t>(rng() % 40));
      }
      const auto ids = tokens(d.get(), text);
      ASSERT_EQ(ids, reference_tokens(d.get(), text)) << "stage " << stage;
      ASSERT_LE(ids.size(), text.size());
      EXPECT_EQ(vl_detok_len(d.get(), ids.data(), ids.size()), text.size());
      ASSERT_EQ(detok(d.get(), ids), text) << "stage " << stage;
    }
    EXPECT_TRUE(check_invariants(*d, false));
  }
}

}  // namespace
}  // namespace velta::dict::test
