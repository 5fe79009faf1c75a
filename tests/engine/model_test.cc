// Model test: seeded random splices applied to an object and to a
// std::string side by side. After each step the current version must read
// as the model; at the end every earlier version must still read as it was
// and every root's reference counts must audit clean.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_testutil.h"
#include "velta.h"

namespace {

std::string read_version(vl_engine* e, vl_object* o, std::uint32_t version) {
  std::string s(o->versions.at(version).bytes, '\0');
  s.resize(vl_read_version(e, o, version, 0, s.size(), s.data()));
  return s;
}

// Words, punctuation, multi-byte UTF-8 and long runs that stay byte tokens.
std::string random_piece(std::mt19937_64& rng) {
  static const std::vector<std::string> kPieces = {"the",
                                                   "quick",
                                                   " ",
                                                   ", ",
                                                   "brown_fox",
                                                   "\n",
                                                   "42",
                                                   "jump",
                                                   "s",
                                                   "\xc3\xa9",
                                                   "\xe2\x82\xac",
                                                   "over",
                                                   "lazy",
                                                   "dog.",
                                                   "ab",
                                                   "x",
                                                   "\t",
                                                   "()",
                                                   std::string(70, 'w'),
                                                   "\xf0\x9f\x98\x80"};
  std::string s;
  const int n = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < n; ++i) s += kPieces[rng() % kPieces.size()];
  return s;
}

void run_model(std::uint64_t seed, int steps) {
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  velta::EngineHolder holder(vl_engine_new());
  vl_engine* e = holder.get();
  ASSERT_NE(e, nullptr);
  std::string model;
  for (int i = 0; i < 40; ++i) model += random_piece(rng);
  vl_object* o = vl_create(e, "model", model.data(), model.size());
  ASSERT_NE(o, nullptr);
  std::vector<std::string> history = {model};

  for (int step = 0; step < steps; ++step) {
    const std::uint64_t size = model.size();
    std::uint64_t pos = 0, del = 0;
    std::string ins;
    switch (rng() % 8) {
      case 0:  // insert at the front
        ins = random_piece(rng);
        break;
      case 1:  // append at the end
        pos = size;
        ins = random_piece(rng);
        break;
      case 2:  // delete, possibly running far past the end
        pos = size ? rng() % size : 0;
        del = rng() % 3 == 0 ? UINT64_MAX - rng() % 3 : 1 + rng() % 12;
        break;
      case 3:  // delete a single byte (often splitting a UTF-8 sequence)
        pos = size ? rng() % size : 0;
        del = 1;
        break;
      default:  // replace at a random position, often inside a token
        pos = rng() % (size + 1);
        del = rng() % 6;
        ins = random_piece(rng);
        break;
    }
    ASSERT_EQ(vl_update(e, o, pos, del, ins.empty() ? nullptr : ins.data(), ins.size()), 0)
        << "step " << step;
    model.replace(pos, del, ins);  // clips del exactly as the engine does
    history.push_back(model);
    ASSERT_EQ(o->current().bytes, model.size()) << "step " << step;
    ASSERT_EQ(read_version(e, o, o->n_versions() - 1), model) << "step " << step;
    // Keep the text from growing without bound.
    if (model.size() > 4000) {
      ASSERT_EQ(vl_update(e, o, 100, 2000, nullptr, 0), 0);
      model.erase(100, 2000);
      history.push_back(model);
    }
  }
  // An out-of-range splice changes nothing.
  EXPECT_EQ(vl_update(e, o, model.size() + 1, 0, "x", 1), -1);

  ASSERT_EQ(o->n_versions(), history.size());
  for (std::uint32_t v = 0; v < history.size(); ++v) {
    ASSERT_EQ(read_version(e, o, v), history[v]) << "version " << v;
  }
  EXPECT_EQ(velta::testing::audit(e), 0);
  const std::uint64_t live_before = vl_ext_nodes_alloced();
  holder.reset();
  // Freeing the engine returns every node its versions held.
  EXPECT_LT(vl_ext_nodes_alloced(), live_before);
}

TEST(Model, RandomSplicesMatchAString) {
  for (const std::uint64_t seed : {1ull, 0x5eedull, 20261208ull}) run_model(seed, 3000);
}

}  // namespace
