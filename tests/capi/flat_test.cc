// The flat query interface: neutral results for missing handles and bad
// indices, the newest-version shorthand, and search hits as table indices.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "util/holders.h"
#include "velta.h"

namespace {

using velta::EngineHolder;

constexpr std::uint32_t kNewest = 0xFFFFFFFF;

TEST(FlatApi, Identity) {
  const char* v = vl_capi_version();
  EXPECT_STREQ(v, "velta-capi 1");
  EXPECT_EQ(vl_capi_version(), v);
  EXPECT_EQ(vl_capi_abi(), 1);
}

TEST(FlatApi, NeutralResultsWithoutHandles) {
  EXPECT_EQ(vl_object_versions(nullptr), 0u);
  EXPECT_EQ(vl_object_name(nullptr), nullptr);
  EXPECT_EQ(vl_object_bytes(nullptr, kNewest), 0u);
  EXPECT_EQ(vl_object_tokens(nullptr, 0), 0u);
  EXPECT_EQ(vl_object_dict_version(nullptr, 0), 0u);
  EXPECT_EQ(vl_object_has_version(nullptr, kNewest), 0);
  std::uint64_t stats[6] = {1, 2, 3, 4, 5, 6};
  vl_stats_flat(nullptr, stats);
  EXPECT_EQ(stats[0], 1u);
  EXPECT_EQ(stats[5], 6u);
  EXPECT_EQ(vl_store_chunk_count(nullptr), 0u);
  EXPECT_EQ(vl_store_token_bytes(nullptr), 0u);
  EXPECT_EQ(vl_dict_entries(nullptr), 0u);
  EXPECT_EQ(vl_train(nullptr, "abc abc", 7, 1, 10, 1), -1);
  std::uint64_t pos[1];
  int obj[1];
  EXPECT_EQ(vl_search_flat(nullptr, "a", 1, pos, obj, 1), 0u);
  EXPECT_EQ(vl_arena_node_bytes(), 56 * vl_arena_live_nodes());
}

class FlatTest : public ::testing::Test {
 protected:
  EngineHolder engine{vl_engine_new()};
  vl_engine* e() { return engine.get(); }
};

TEST_F(FlatTest, VersionIndices) {
  vl_object* o = vl_create(e(), "doc", "hello", 5);
  ASSERT_EQ(vl_update(e(), o, 5, 0, " world", 6), 0);
  EXPECT_STREQ(vl_object_name(o), "doc");
  EXPECT_EQ(vl_object_versions(o), 2u);
  EXPECT_EQ(vl_object_bytes(o, 0), 5u);
  EXPECT_EQ(vl_object_bytes(o, kNewest), 11u);
  EXPECT_EQ(vl_object_bytes(o, kNewest), vl_object_bytes(o, 1));
  EXPECT_EQ(vl_object_tokens(o, kNewest), vl_object_tokens(o, 1));
  EXPECT_GT(vl_object_tokens(o, 1), 0u);
  EXPECT_EQ(vl_object_dict_version(o, kNewest), vl_dict_version(vl_engine_dict(e())));
  EXPECT_EQ(vl_object_bytes(o, 2), 0u);
  EXPECT_EQ(vl_object_tokens(o, 2), 0u);
  EXPECT_EQ(vl_object_dict_version(o, 2), 0u);
  EXPECT_EQ(vl_object_has_version(o, 2), 0);
  EXPECT_EQ(vl_object_has_version(o, 1), 1);
  EXPECT_EQ(vl_object_has_version(o, kNewest), 1);
}

TEST_F(FlatTest, CountersForwardToTheirOwners) {
  const std::string text = "the quick brown fox jumps over the lazy dog ";
  vl_create(e(), "a", text.data(), text.size());
  vl_create(e(), "b", text.data(), text.size());
  vl_stats s;
  vl_engine_stats(e(), &s);
  std::uint64_t flat[6];
  vl_stats_flat(e(), flat);
  EXPECT_EQ(std::memcmp(flat, &s, sizeof flat), 0);
  EXPECT_EQ(flat[4], 2 * text.size());
  EXPECT_EQ(vl_store_chunk_count(e()), vl_store_chunks(vl_engine_store(e())));
  EXPECT_EQ(vl_store_token_bytes(e()), vl_store_bytes(vl_engine_store(e())));
  EXPECT_EQ(vl_dict_entries(e()), vl_dict_size(vl_engine_dict(e())));
  EXPECT_GT(vl_arena_live_nodes(), 0u);
  EXPECT_EQ(vl_arena_node_bytes(), 56 * vl_arena_live_nodes());

  std::string sample;
  for (int i = 0; i < 200; ++i) sample += text;
  const int entries = vl_train(e(), sample.data(), sample.size(), 2, 50, 2);
  EXPECT_EQ(entries, static_cast<int>(vl_dict_entries(e())));
}

TEST_F(FlatTest, SearchHitsCarryTableIndices) {
  vl_create(e(), "first", "nothing here", 12);
  vl_create(e(), "second", "needle once", 11);
  vl_create(e(), "third", "a needle and a needle", 21);
  std::vector<std::uint64_t> pos(8, 99);
  std::vector<int> obj(8, 99);

  EXPECT_EQ(vl_search_flat(e(), "needle", 6, pos.data(), obj.data(), 0), 0u);
  EXPECT_EQ(pos[0], 99u);
  EXPECT_EQ(vl_search_flat(e(), nullptr, 6, pos.data(), obj.data(), 8), 0u);

  ASSERT_EQ(vl_search_flat(e(), "needle", 6, pos.data(), obj.data(), 8), 3u);
  EXPECT_EQ(obj[0], 1);
  EXPECT_EQ(pos[0], 0u);
  EXPECT_EQ(obj[1], 2);
  EXPECT_EQ(pos[1], 2u);
  EXPECT_EQ(obj[2], 2);
  EXPECT_EQ(pos[2], 15u);

  // Capacity bounds what is written.
  obj.assign(8, 99);
  EXPECT_EQ(vl_search_flat(e(), "needle", 6, pos.data(), obj.data(), 2), 2u);
  EXPECT_EQ(obj[2], 99);

  // Deleting the first object moves the last into its place, and the
  // indices follow the new table order.
  ASSERT_EQ(vl_delete(e(), "first"), 0);
  ASSERT_EQ(vl_search_flat(e(), "needle", 6, pos.data(), obj.data(), 8), 3u);
  const char* const owners[] = {"third", "third", "second"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(vl_object_name(vl_engine_object(e(), obj[i])), owners[i]) << i;
  }
  EXPECT_EQ(obj[0], 0);
  EXPECT_EQ(obj[2], 1);
}

}  // namespace
