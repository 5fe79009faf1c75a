// Phrase training: the worked example, agreement with a plain pair table
// built exactly as described (full size, zeroed each pass), and the effect
// on real English text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dict/dict.h"
#include "dict_test_util.h"
#include "util/fnv.h"

namespace velta::dict::test {
namespace {

// The training algorithm written the obvious way, with the whole table.
std::uint32_t reference_train(vl_dict* d, const std::string& sample, std::uint32_t passes,
                              std::uint32_t per_pass, std::uint32_t min_count,
                              const PairTableShape& shape) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(sample.data());
  const std::uint64_t len = sample.size();
  vl_dict_learn(d, s, len, 0x1000000);
  std::vector<std::uint64_t> rs;
  for (std::uint64_t i = 0; i < len; ++i)
    if (i == 0 || is_word(s[i]) != is_word(s[i - 1])) rs.push_back(i);
  const std::uint64_t n_runs = rs.size();
  rs.push_back(len);
  std::vector<std::uint64_t> units;
  for (std::uint64_t r = 0; r <= n_runs; ++r) units.push_back(r);
  struct Rec {
    std::uint64_t hash;
    std::uint32_t count, start, len;
  };
  for (std::uint32_t pass = 0; pass < passes; ++pass) {
    const std::uint64_t n_units = units.size() - 1;
    std::vector<Rec> table(std::uint64_t{shape.mask} + 1, Rec{0, 0, 0, 0});
    std::uint64_t filled = 0;
    std::vector<std::uint64_t> used;  // filled records, so bisection skips empty ones
    for (std::uint64_t m = 0; n_units >= 2 && m <= n_units - 2; ++m) {
      const std::uint64_t a = rs[units[m]], b = rs[units[m + 2]];
      if (b - a > 64 || units[m + 2] - units[m] > 12) continue;
      std::uint64_t h = fnv1a(s + a, b - a);
      if (h == 0) h = 1;
      for (std::uint64_t i = h & shape.mask;; i = (i + 1) & shape.mask) {
        Rec& r = table[i];
        if (r.hash == 0) {
          if (filled * 10 > shape.fill_limit) break;
          r = Rec{h, 1, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b - a)};
          ++filled;
          used.push_back(i);
          break;
        }
        if (r.hash == h && r.len == b - a && std::memcmp(s + r.start, s + a, b - a) == 0) {
          ++r.count;
          break;
        }
      }
    }
    std::uint32_t lo = min_count, hi = 0x10000000;
    for (int it = 0; it < 28 && hi - lo > 1; ++it) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      std::uint64_t k = 0;
      for (std::uint64_t i : used) k += table[i].count >= mid;
      (k > per_pass ? lo : hi) = mid;
    }
    const std::uint32_t t = std::max(lo, min_count);
    std::uint32_t added = 0;
    for (const Rec& r : table) {
      if (added >= per_pass) break;
      if (r.hash == 0 || r.count < t || r.len < 1 || r.len > 64) continue;
      if (vl_dict_lookup(d, s + r.start, r.len) != 0) continue;
      if (add(*d, s + r.start, r.len) != 0) ++added;
    }
    if (added == 0) break;
    std::vector<std::uint64_t> next;
    for (std::uint64_t l = 0; l < n_units;) {
      std::uint64_t take = 1;
      for (std::uint64_t e = std::min<std::uint64_t>(12, n_units - l); e >= 2; --e) {
        const std::uint64_t a = rs[units[l]], b = rs[units[l + e]];
        if (b - a <= 64 && vl_dict_lookup(d, s + a, b - a) != 0) {
          take = e;
          break;
        }
      }
      next.push_back(units[l]);
      l += take;
    }
    next.push_back(n_runs);
    units = std::move(next);
  }
  return vl_dict_size(d);
}

std::vector<std::string> entries(const vl_dict* d) {
  std::vector<std::string> all;
  for (std::uint32_t id = 1; id <= vl_dict_size(d); ++id) all.push_back(bytes_of(d, id));
  return all;
}

TEST(Train, AAAExample) {
  EXPECT_EQ(fnv1a(reinterpret_cast<const std::uint8_t*>("a "), 2) & 0x3FFFFF, 0x1B3B92u);
  EXPECT_EQ(fnv1a(reinterpret_cast<const std::uint8_t*>(" a"), 2) & 0x3FFFFF, 0x247948u);
  DictPtr d = new_dict();
  EXPECT_EQ(vl_dict_train(d.get(), "a a a", 5, 2, 1, 2), 3u);
  EXPECT_EQ(entries(d.get()), (std::vector<std::string>{"a", " ", "a "}));
}

TEST(Train, SmallCases) {
  struct Case {
    const char* sample;
    std::uint32_t passes, per_pass, min_count;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"x y x y", 0, 10, 1, {"x", " ", "y"}},                             // learning only
      {"", 3, 10, 1, {}},                                                 // nothing at all
      {"single", 3, 10, 1, {"single"}},                                   // no pairs
      {"x y x y", 3, 0, 1, {"x", " ", "y"}},                              // per_pass 0
      {"p q r", 3, 10, 2, {"p", " ", "q", "r"}},                          // pairs occur once
      {"p q r", 1, 10, 1, {"p", " ", "q", "r", "q ", "p ", " q", " r"}},  // record order
  };
  for (const Case& c : cases) {
    DictPtr d = new_dict();
    const std::string s = c.sample;
    EXPECT_EQ(vl_dict_train(d.get(), s.data(), s.size(), c.passes, c.per_pass, c.min_count),
              c.want.size())
        << s;
    EXPECT_EQ(entries(d.get()), c.want) << s;
  }
  // The result counts entries that were there before.
  DictPtr d = new_dict();
  vl_dict_learn(d.get(), "old", 3, 10);
  EXPECT_EQ(vl_dict_train(d.get(), "new", 3, 2, 2, 2), 2u);
  // Pairs over 64 bytes never count.
  const std::string wide =
      std::string(40, 'w') + std::string(30, ' ') + std::string(40, 'v') + std::string(30, ' ');
  DictPtr w = new_dict();
  vl_dict_train(w.get(), (wide + wide + wide).data(), wide.size() * 3, 1, 100, 1);
  EXPECT_EQ(vl_dict_size(w.get()), 3u);
}

// Several samples and table shapes: the entries added, and their order,
// equal those of the plain table. Small shapes reach the fill limit and
// wrap-around with small samples.
TEST(Train, MatchesThePlainPairTable) {
  std::mt19937_64 rng(99);
  std::vector<std::string> samples = {"a a a", random_words(rng, 400), random_words(rng, 3000),
                                      random_bytes(rng, 3000) + random_words(rng, 200),
                                      std::string(500, 'q') + " q q q q"};
  const std::string lic = license_text();
  if (!lic.empty()) samples.push_back(lic.substr(10000, 60000));
  struct Params {
    std::uint32_t passes, per_pass, min_count;
    PairTableShape shape;
  };
  const Params params[] = {
      {4, 8, 2, PairTableShape{}},
      {3, 100, 1, PairTableShape{}},
      {6, 16, 2, PairTableShape{0x3FF, 7000}},
      {3, 1000, 1, PairTableShape{0x3F, 400}},  // 41 records at most
      {2, 3, 0, PairTableShape{0x7, 50}},
      {4, 8, 2, PairTableShape{0x3FFFFF, 29360128, true}},  // the path for samples past 4 GiB
  };
  for (std::size_t si = 0; si < samples.size(); ++si) {
    for (const Params& p : params) {
      // The full-size plain table is slow under sanitizers: fewer samples.
      if (p.shape.mask == PairTableShape{}.mask && si % 2 == 1) continue;
      const std::string& s = samples[si];
      DictPtr fast = new_dict(), plain = new_dict();
      const std::uint32_t got = train(*fast, reinterpret_cast<const std::uint8_t*>(s.data()),
                                      s.size(), p.passes, p.per_pass, p.min_count, p.shape);
      const std::uint32_t want =
          reference_train(plain.get(), s, p.passes, p.per_pass, p.min_count, p.shape);
      ASSERT_EQ(got, want) << "sample " << si << " mask " << p.shape.mask;
      ASSERT_EQ(entries(fast.get()), entries(plain.get())) << "sample " << si;
      ASSERT_TRUE(check_invariants(*fast, false));
    }
  }
}

double tokens_per_byte(const vl_dict* d, const std::string& text) {
  return static_cast<double>(tokens(d, text).size()) / static_cast<double>(text.size());
}

TEST(Train, IsDeterministicAndShortensRealText) {
  const std::string lic = license_text();
  if (lic.empty()) GTEST_SKIP() << "no /usr/share/common-licenses";
  DictPtr a = new_dict(), b = new_dict();
  vl_dict_learn(a.get(), lic.data(), lic.size(), kLearnLimit);
  const double before = tokens_per_byte(a.get(), lic);
  const std::uint32_t n = vl_dict_train(a.get(), lic.data(), lic.size(), 4, 2000, 2);
  EXPECT_EQ(vl_dict_train(b.get(), lic.data(), lic.size(), 4, 2000, 2), n);
  EXPECT_EQ(entries(a.get()), entries(b.get()));
  const double after = tokens_per_byte(a.get(), lic);
  EXPECT_LT(after, before * 0.7) << before << " -> " << after;
  EXPECT_EQ(detok(a.get(), tokens(a.get(), lic)), lic);
  // A second round can add what the per-pass limit crowded out.
  EXPECT_GT(vl_dict_train(a.get(), lic.data(), lic.size(), 1, 2000, 2), n);
}

}  // namespace
}  // namespace velta::dict::test
