// Randomized model test: cuts, grafts (within and across objects), trims
// and splice updates on a few objects, checked against std::string models
// of every kept version. Positions are drawn both on and off token
// boundaries, so refusals are checked too. Cut and graft must store no
// chunk; reference counts must audit clean at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine_testutil.h"

namespace velta::testing {
namespace {

class EditsModel : public ::testing::TestWithParam<std::uint32_t> {};

std::string random_text(std::mt19937& rng, std::uint64_t words) {
  static const char* kWords[] = {"alpha", "beta",    "gamma", " ", "  ", ", ",  ".\n", "x",
                                 "42",    "delta_9", "(",     ")", "é",  "the", "then"};
  std::string t;
  for (std::uint64_t i = 0; i < words; ++i) {
    if (rng() % 50 == 0) {
      t += std::string(65 + rng() % 20, 'z');  // never learned: byte tokens
    } else {
      t += kWords[rng() % std::size(kWords)];
    }
  }
  return t;
}

TEST_P(EditsModel, MatchesStringModel) {
  const std::uint32_t seed = GetParam();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto pick = [&](std::uint64_t n) { return n == 0 ? 0 : static_cast<std::uint64_t>(rng() % n); };

  EngineHolder holder(vl_engine_new());
  vl_engine* e = holder.get();
  std::vector<vl_object*> objs;
  std::vector<std::vector<std::string>> model;  // every kept version, oldest first
  for (int i = 0; i < 4; ++i) {
    const std::string t = random_text(rng, i == 0 ? 0 : 200 + pick(2500));
    objs.push_back(make(e, ("o" + std::to_string(i)).c_str(), t));
    model.push_back({t});
  }
  vl_store* store = vl_engine_store(e);

  // A token start, sometimes one byte off; `near` draws within 300 tokens
  // of an index so that grafts do not make the texts grow without bound.
  auto draw = [&](const std::vector<std::uint64_t>& starts, std::uint64_t* index) {
    *index = pick(starts.size());
    std::uint64_t p = starts[*index];
    if (pick(6) == 0) p += pick(3);
    return p;
  };
  auto near = [&](const std::vector<std::uint64_t>& starts, std::uint64_t index) {
    const std::uint64_t i = std::min<std::uint64_t>(starts.size() - 1, index + pick(300));
    std::uint64_t p = starts[i];
    if (pick(6) == 0) p += pick(3);
    return p;
  };
  auto aligned = [](const std::vector<std::uint64_t>& starts, std::uint64_t p) {
    return std::binary_search(starts.begin(), starts.end(), p);
  };

  for (int step = 0; step < 400; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const std::uint64_t a = pick(objs.size());
    const std::string& cur = model[a].back();
    const auto starts = token_starts(e, objs[a]);
    const std::uint32_t chunks = vl_store_chunks(store);
    switch (pick(5)) {
      case 0: {  // cut
        std::uint64_t i = 0;
        const std::uint64_t p = draw(starts, &i),
                            q = pick(8) == 0 ? draw(starts, &i) : near(starts, i);
        const std::uint64_t lo = std::min(p, q), hi = std::max(p, q);
        const bool ok = hi <= cur.size() && aligned(starts, lo) && aligned(starts, hi);
        ASSERT_EQ(vl_cut(e, objs[a], lo, hi - lo), ok ? 0 : -1) << lo << ".." << hi;
        if (ok) model[a].push_back(cur.substr(0, lo) + cur.substr(hi));
        EXPECT_EQ(vl_store_chunks(store), chunks);
        break;
      }
      case 1:
      case 2: {  // graft, often within one object
        const std::uint64_t d = pick(2) == 0 ? a : pick(objs.size());
        const std::string dcur = model[d].back();
        const auto dstarts = token_starts(e, objs[d]);
        std::uint64_t i = 0, j = 0;
        const std::uint64_t p = draw(starts, &i), q = near(starts, i), at = draw(dstarts, &j);
        const std::uint64_t lo = std::min(p, q), hi = std::max(p, q);
        const bool ok = hi <= cur.size() && at <= dcur.size() && aligned(starts, lo) &&
                        aligned(starts, hi) && aligned(dstarts, at);
        ASSERT_EQ(vl_graft(e, objs[d], at, objs[a], lo, hi - lo), ok ? 0 : -1);
        if (ok) model[d].push_back(dcur.substr(0, at) + cur.substr(lo, hi - lo) + dcur.substr(at));
        EXPECT_EQ(vl_store_chunks(store), chunks);
        break;
      }
      case 3: {  // trim
        const std::uint32_t keep = static_cast<std::uint32_t>(pick(5));
        const std::uint64_t n = model[a].size(), k = std::max<std::uint64_t>(keep, 1);
        const std::uint64_t drop = n > k ? n - k : 0;
        ASSERT_EQ(vl_trim_history(e, objs[a], keep), static_cast<int>(drop));
        model[a].erase(model[a].begin(), model[a].begin() + static_cast<std::ptrdiff_t>(drop));
        break;
      }
      default: {  // splice update, anywhere
        const std::uint64_t p = pick(cur.size() + 1), del = pick(30);
        const std::string t = random_text(rng, pick(6));
        ASSERT_EQ(vl_update(e, objs[a], p, del, t.data(), t.size()), 0);
        model[a].push_back(cur.substr(0, p) + t + cur.substr(std::min(cur.size(), p + del)));
        break;
      }
    }
    for (std::size_t i = 0; i < objs.size(); ++i) {
      ASSERT_EQ(vl_object_versions(objs[i]), model[i].size()) << "object " << i;
      ASSERT_EQ(text_at(e, objs[i]), model[i].back()) << "object " << i;
    }
  }
  for (std::size_t i = 0; i < objs.size(); ++i) {
    for (std::uint32_t v = 0; v < model[i].size(); ++v) {
      ASSERT_EQ(text_at(e, objs[i], v), model[i][v]) << "object " << i << " version " << v;
    }
  }
  EXPECT_EQ(audit(e), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, EditsModel, ::testing::Values(1u, 2u, 3u, 20240611u),
                         [](const auto& param_info) {
                           return "seed" + std::to_string(param_info.param);
                         });

}  // namespace
}  // namespace velta::testing
