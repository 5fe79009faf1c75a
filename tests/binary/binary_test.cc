// Binary objects: option normalisation, cut placement, deduplication, and
// binary objects behaving as ordinary objects afterwards.
#include "binary/binary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "util/holders.h"
#include "velta.h"

namespace {

using velta::EngineHolder;

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

std::vector<std::uint8_t> read_all(vl_engine* e, vl_object* o) {
  std::vector<std::uint8_t> out(vl_object_bytes(o, 0xFFFFFFFF));
  EXPECT_EQ(vl_read(e, o, 0, out.size(), out.data()), out.size());
  return out;
}

// Byte lengths of the leaves of the object's current version, in order.
std::vector<std::uint64_t> chunk_lengths(const vl_object* o) {
  std::vector<std::uint64_t> lens;
  vl_ext_walk(
      o->current().root,
      [](void* ctx, const vl_leaf*, std::uint64_t bytes) {
        static_cast<std::vector<std::uint64_t>*>(ctx)->push_back(bytes);
        return 0;
      },
      &lens);
  return lens;
}

class BinaryTest : public ::testing::Test {
 protected:
  EngineHolder engine{vl_engine_new()};
  vl_engine* e() { return engine.get(); }
};

TEST(BinaryOpts, DefaultsAndNormalisation) {
  vl_bin_opts d;
  vl_bin_opts_default(&d);
  EXPECT_EQ(d.target_size, 4096u);
  EXPECT_EQ(d.min_size, 1024u);
  EXPECT_EQ(d.max_size, 16384u);
  EXPECT_EQ(d.fixed_size, 0u);

  struct Case {
    vl_bin_opts in, want;
  } cases[] = {
      {{10, 0, 0, 0}, {64, 16, 256, 0}},
      {{4096, 5000, 4000, 0}, {4096, 1000, 4000, 0}},
      {{100, 0, 0, 1}, {100, 25, 400, 1}},
      {{4096, 1024, 1024, 0}, {4096, 256, 1024, 0}},
      // target * 4 would wrap to 0 in 32 bits; it saturates instead.
      {{0x40000000u, 0, 0, 0}, {0x40000000u, 0x10000000u, 0xFFFFFFFFu, 0}},
  };
  for (const Case& c : cases) {
    const vl_bin_opts got = velta::binary::normalise(&c.in);
    EXPECT_EQ(got.target_size, c.want.target_size) << c.in.target_size;
    EXPECT_EQ(got.min_size, c.want.min_size) << c.in.target_size;
    EXPECT_EQ(got.max_size, c.want.max_size) << c.in.target_size;
    EXPECT_EQ(got.fixed_size, c.want.fixed_size) << c.in.target_size;
  }
  const vl_bin_opts none = velta::binary::normalise(nullptr);
  EXPECT_EQ(none.target_size, 4096u);
  EXPECT_EQ(none.max_size, 16384u);

  EXPECT_EQ(velta::binary::cut_mask(4096), 4095u);
  EXPECT_EQ(velta::binary::cut_mask(100), 127u);
  EXPECT_EQ(velta::binary::cut_mask(64), 63u);
}

TEST(BinaryOpts, GearTableIsSplitMix64FromTheGoldenRatio) {
  // Outputs 2 and 3 of SplitMix64 seeded with 0: the state starts one
  // increment in.
  EXPECT_EQ(velta::binary::g_gear[0], 0x6e789e6aa1b965f4ull);
  EXPECT_EQ(velta::binary::g_gear[1], 0x06c45d188009454full);
}

TEST_F(BinaryTest, RefusesMissingEngineOrName) {
  const char data[] = "abc";
  EXPECT_EQ(vl_create_binary(nullptr, "x", data, 3, nullptr), nullptr);
  EXPECT_EQ(vl_create_binary(e(), nullptr, data, 3, nullptr), nullptr);
  EXPECT_EQ(vl_create_binary(e(), "x", nullptr, 3, nullptr), nullptr);
  EXPECT_EQ(vl_engine_objects(e()), 0u);
  EXPECT_EQ(vl_bin_chunk_count(nullptr, 0), 0u);
}

TEST_F(BinaryTest, EmptyAndSmallData) {
  vl_object* empty = vl_create_binary(e(), "empty", "", 0, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(vl_object_versions(empty), 1u);
  EXPECT_EQ(vl_object_bytes(empty, 0), 0u);
  EXPECT_EQ(vl_object_tokens(empty, 0), 0u);
  EXPECT_EQ(vl_bin_chunk_count(empty, 0xFFFFFFFF), 0u);

  const auto data = random_bytes(1024, 1);
  vl_object* small = vl_create_binary(e(), "small", data.data(), data.size(), nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(vl_bin_chunk_count(small, 0xFFFFFFFF), 1u);
  EXPECT_EQ(vl_bin_chunk_count(small, 0), 1u);
  EXPECT_EQ(vl_bin_chunk_count(small, 1), 0u);
  EXPECT_EQ(vl_object_tokens(small, 0), 1024u);
  EXPECT_EQ(vl_object_dict_version(small, 0), 0u);
  EXPECT_EQ(read_all(e(), small), data);
}

TEST_F(BinaryTest, FixedModeCutsAtTargetEvenAboveMaxSize) {
  const auto data = random_bytes(2500, 2);
  vl_bin_opts o = {1000, 0, 0, 1};
  vl_object* a = vl_create_binary(e(), "a", data.data(), data.size(), &o);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(o.min_size, 0u);  // the caller's record is not normalised
  EXPECT_EQ(chunk_lengths(a), (std::vector<std::uint64_t>{1000, 1000, 500}));
  EXPECT_EQ(vl_store_chunk_count(e()), 3u);
  EXPECT_EQ(vl_store_token_bytes(e()), 4u * 2500);  // 1000 + 1000 + 500 tokens
  EXPECT_EQ(read_all(e(), a), data);

  // Chunks of 5000 bytes with max_size 1000: the token scratch must hold
  // the whole fixed chunk (under ASan an undersized one fails here).
  const auto big = random_bytes(12000, 3);
  vl_bin_opts f = {5000, 0, 1000, 1};
  vl_object* b = vl_create_binary(e(), "b", big.data(), big.size(), &f);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(chunk_lengths(b), (std::vector<std::uint64_t>{5000, 5000, 2000}));
  EXPECT_EQ(read_all(e(), b), big);
}

TEST_F(BinaryTest, ZeroBytesRepeatOneChunk) {
  const std::vector<std::uint8_t> zeros(100000, 0);
  vl_object* o = vl_create_binary(e(), "z", zeros.data(), zeros.size(), nullptr);
  ASSERT_NE(o, nullptr);
  // The hash over equal bytes never hits the mask, so every chunk is cut at
  // max_size: six equal chunks of 16384 and a tail of 1696.
  std::vector<std::uint64_t> want(6, 16384);
  want.push_back(1696);
  EXPECT_EQ(chunk_lengths(o), want);
  EXPECT_EQ(vl_bin_chunk_count(o, 0), 7u);
  EXPECT_EQ(vl_store_chunk_count(e()), 2u);
  EXPECT_EQ(read_all(e(), o), zeros);
}

TEST_F(BinaryTest, SameDataTwiceAddsNoChunkAndTouchesNoCounter) {
  const auto data = random_bytes(200000, 4);
  ASSERT_NE(vl_create_binary(e(), "one", data.data(), data.size(), nullptr), nullptr);
  const std::uint32_t chunks = vl_store_chunk_count(e());
  vl_stats before;
  vl_engine__stats_get(e(), &before);
  const std::uint32_t dict = vl_dict_entries(e());

  vl_object* two = vl_create_binary(e(), "two", data.data(), data.size(), nullptr);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(vl_store_chunk_count(e()), chunks);
  vl_stats after;
  vl_engine__stats_get(e(), &after);
  EXPECT_EQ(after.chunks_put, before.chunks_put);
  EXPECT_EQ(after.bytes_ingested, before.bytes_ingested);
  EXPECT_EQ(vl_dict_entries(e()), dict);
  EXPECT_EQ(vl_object_open(e(), "two"), two);
}

// Cut points depend only on nearby content: bytes inserted near the start
// of a large random buffer change the first chunks, and from the first cut
// after the insertion on the cuts line up again and the chunks dedupe.
TEST_F(BinaryTest, CutsFollowContent) {
  const auto data = random_bytes(1 << 20, 5);
  auto edited = data;
  const auto extra = random_bytes(100, 6);
  edited.insert(edited.begin() + 5000, extra.begin(), extra.end());

  const vl_bin_opts opts = velta::binary::normalise(nullptr);
  auto cuts = [&](const std::vector<std::uint8_t>& v) {
    std::vector<std::uint64_t> ends;
    for (std::uint64_t s = 0; s < v.size(); s = ends.back()) {
      ends.push_back(velta::binary::chunk_end(v, s, opts));
    }
    return ends;
  };
  const auto a = cuts(data);
  const auto b = cuts(edited);
  ASSERT_GT(a.size(), 100u);
  std::size_t shared = 0;
  for (std::uint64_t end : a) {
    if (end > 5000 + opts.max_size && std::find(b.begin(), b.end(), end + 100) != b.end()) {
      ++shared;
    }
  }
  std::size_t later = 0;
  for (std::uint64_t end : a) later += end > 5000 + opts.max_size ? 1 : 0;
  EXPECT_EQ(shared, later);

  ASSERT_NE(vl_create_binary(e(), "a", data.data(), data.size(), nullptr), nullptr);
  const std::uint32_t before = vl_store_chunk_count(e());
  vl_object* o = vl_create_binary(e(), "b", edited.data(), edited.size(), nullptr);
  ASSERT_NE(o, nullptr);
  EXPECT_LE(vl_store_chunk_count(e()) - before, 4u);
  EXPECT_EQ(read_all(e(), o), edited);
}

// Random data and options: the chunks reassemble the input and respect the
// size bounds.
TEST_F(BinaryTest, RandomOptionsReassembleInput) {
  for (unsigned seed = 10; seed < 30; ++seed) {
    std::mt19937 rng(seed);
    auto data = random_bytes(rng() % 60000, seed);
    // Low-entropy stretches give long runs without cuts.
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
      if (rng() % 4 == 0) data[i + 1] = data[i];
    }
    auto pick = [&](std::uint32_t mod) { return static_cast<std::uint32_t>(rng() % mod); };
    vl_bin_opts in;
    in.target_size = pick(3000);
    in.min_size = pick(3) != 0 ? 0 : pick(2000);
    in.max_size = pick(3) != 0 ? 0 : pick(8000);
    in.fixed_size = pick(4) == 0 ? 1 : 0;
    const vl_bin_opts opts = velta::binary::normalise(&in);
    const std::string name = "obj" + std::to_string(seed);
    vl_object* o = vl_create_binary(e(), name.c_str(), data.data(), data.size(), &in);
    ASSERT_NE(o, nullptr) << "seed " << seed;
    EXPECT_EQ(read_all(e(), o), data) << "seed " << seed;

    std::uint64_t start = 0;
    std::uint32_t chunks = 0;
    while (start < data.size()) {
      const std::uint64_t end = velta::binary::chunk_end(data, start, opts);
      ASSERT_GT(end, start);
      if (opts.fixed_size != 0) {
        EXPECT_TRUE(end - start == opts.target_size || end == data.size());
      } else {
        EXPECT_LE(end - start, opts.max_size) << "seed " << seed;
        if (end != data.size()) {
          EXPECT_GT(end - start, opts.min_size) << "seed " << seed;
        }
      }
      start = end;
      ++chunks;
    }
    EXPECT_EQ(vl_bin_chunk_count(o, 0xFFFFFFFF), chunks) << "seed " << seed;
  }
}

// After creation a binary object is an ordinary object: it can be edited,
// merged against, saved and loaded.
TEST_F(BinaryTest, EditSaveAndLoadLikeAnyObject) {
  auto data = random_bytes(50000, 7);
  vl_object* o = vl_create_binary(e(), "bin", data.data(), data.size(), nullptr);
  ASSERT_NE(o, nullptr);
  const std::uint8_t patch[] = {0, 1, 2, 0xFF, 0xFE};
  ASSERT_EQ(vl_update(e(), o, 20000, 3, patch, sizeof patch), 0);
  data.erase(data.begin() + 20000, data.begin() + 20003);
  data.insert(data.begin() + 20000, patch, patch + sizeof patch);
  EXPECT_EQ(vl_object_versions(o), 2u);
  EXPECT_EQ(read_all(e(), o), data);

  const std::filesystem::path dir = std::filesystem::path(VELTA_TEST_TMP) / "binary_save";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "store.vl").string();
  std::filesystem::remove(path);
  std::filesystem::remove(path + ".wal");
  ASSERT_EQ(vl_save(e(), path.c_str()), 0);
  EngineHolder loaded(vl_open(path.c_str()));
  ASSERT_NE(loaded, nullptr);
  vl_object* l = vl_object_open(loaded.get(), "bin");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(vl_object_versions(l), 2u);
  EXPECT_EQ(read_all(loaded.get(), l), data);
  loaded.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
