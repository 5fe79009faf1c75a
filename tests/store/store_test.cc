// Chunk store: fixed keys, deduplication, table growth, borrowed chunks,
// forced key collisions, and a seeded model run against a plain map.
#include "store/store.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <map>
#include <random>
#include <vector>

#include "util/fnv.h"

namespace velta::store {
namespace {

// Owns a store; every test also checks its invariants before freeing it.
struct holder {
  holder() : s(vl_store_new()) {}
  ~holder() {
    EXPECT_TRUE(check_invariants(s, true));
    vl_store_free(s);
  }
  vl_store* s;
};

TEST(Store, KeysAreByteWiseFnv1a) {
  std::uint32_t one = 1, zero = 0;
  EXPECT_EQ(chunk_key(&one, 1), 0x91599A98306C74A2ull);
  EXPECT_EQ(chunk_key(&zero, 1), 0x315446A086A23133ull);
  EXPECT_EQ(chunk_key(nullptr, 0), kFnvStart);
  std::vector<std::uint32_t> ids{0xFFFFFF41u, 7, 0x01020304u, 1u << 31};
  EXPECT_EQ(chunk_key(ids.data(), ids.size()),
            fnv1a(reinterpret_cast<const std::uint8_t*>(ids.data()), ids.size() * 4));

  holder h;
  EXPECT_EQ(vl_store_put(h.s, &one, 1), 0x91599A98306C74A2ull);
  EXPECT_EQ(vl_store_put(h.s, &zero, 1), 0x315446A086A23133ull);
}

TEST(Store, PutDedupesEqualContentsOnly) {
  holder h;
  std::vector<std::uint32_t> a{5, 6, 7}, b{7, 6, 5};
  std::uint64_t ka = vl_store_put(h.s, a.data(), 3);
  EXPECT_EQ(vl_store_put(h.s, a.data(), 3), ka);
  EXPECT_EQ(vl_store_chunks(h.s), 1u);
  EXPECT_EQ(vl_store__deduped(h.s), 1u);
  std::uint64_t kb = vl_store_put(h.s, b.data(), 3);
  EXPECT_NE(kb, ka);
  EXPECT_EQ(vl_store__count(h.s), 2u);
  EXPECT_EQ(vl_store_bytes(h.s), 24u);

  std::uint64_t n = 9;
  const std::uint32_t* got = vl_store_get(h.s, kb, &n);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(std::vector<std::uint32_t>(got, got + 3), b);
  EXPECT_NE(got, b.data());  // a copy
  EXPECT_EQ(vl_store_get(h.s, 0, &n), nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(vl_store_get(h.s, 12345, &n), nullptr);

  // An empty chunk is a chunk too, found by its key.
  std::uint64_t ke = vl_store_put(h.s, nullptr, 0);
  EXPECT_EQ(ke, kFnvStart);
  EXPECT_NE(vl_store_get(h.s, ke, &n), nullptr);
  EXPECT_EQ(n, 0u);

  std::uint32_t cnt = 9;
  std::uint64_t key = 9;
  EXPECT_EQ(vl_store__at(h.s, 1, &cnt, &key), vl_store_get(h.s, kb, &n));
  EXPECT_EQ(key, kb);
  EXPECT_EQ(vl_store__at(h.s, 3, &cnt, &key), nullptr);
  EXPECT_EQ(cnt, 0u);
  EXPECT_EQ(key, 0u);
}

TEST(Store, TablesGrowAtTheirThresholds) {
  holder h;
  EXPECT_EQ(h.s->cap, 4096u);
  EXPECT_EQ(h.s->slots, 8192u);
  std::vector<const std::uint32_t*> arrays;
  for (std::uint32_t i = 0; i < 5735; ++i) {
    std::uint64_t n;
    std::uint32_t id = i;
    std::uint64_t k = vl_store_put(h.s, &id, 1);
    arrays.push_back(vl_store_get(h.s, k, &n));
    if (i + 1 == 4096) {
      EXPECT_EQ(h.s->cap, 4096u);
    }
    if (i + 1 == 4097) {
      EXPECT_EQ(h.s->cap, 8192u);
    }
    if (i + 1 == 5734) {
      EXPECT_EQ(h.s->slots, 8192u);
    }
  }
  EXPECT_EQ(h.s->slots, 16384u);
  // Token arrays stayed where they were through both growths.
  for (std::uint32_t i = 0; i < 5735; ++i) {
    std::uint32_t n;
    std::uint64_t key;
    ASSERT_EQ(vl_store__at(h.s, i, &n, &key), arrays[i]);
    ASSERT_EQ(*arrays[i], i);
  }
}

TEST(Store, BorrowedChunksAndTheMapping) {
  // A real anonymous mapping stands in for a snapshot; the store must
  // unmap it exactly once and never free the borrowed arrays.
  const std::size_t len = 4096;
  void* map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* ids = static_cast<std::uint32_t*>(map);
  for (std::uint32_t i = 0; i < 16; ++i) ids[i] = i * 3;
  {
    holder h;
    std::uint32_t own[2] = {1, 2};
    std::uint64_t k_own = vl_store_put(h.s, own, 2);
    std::uint64_t k = chunk_key(ids, 8);
    EXPECT_EQ(vl_store__put_borrowed(h.s, k, ids, 8), k);
    EXPECT_EQ(vl_store__put_borrowed(h.s, k, ids, 8), k);  // same contents: a dedupe
    EXPECT_EQ(vl_store__deduped(h.s), 1u);
    // The key already names other contents: refused, no second record.
    EXPECT_EQ(vl_store__put_borrowed(h.s, k_own, ids + 8, 8), 0u);
    EXPECT_EQ(vl_store__put_borrowed(h.s, 0, ids, 8), 0u);
    EXPECT_EQ(vl_store_chunks(h.s), 2u);
    std::uint64_t n;
    EXPECT_EQ(vl_store_get(h.s, k, &n), ids);
    EXPECT_EQ(vl_store__mapped_bytes(h.s), 32u);
    EXPECT_EQ(vl_store_bytes(h.s), 40u);
    // A copied put of the same ids finds the borrowed chunk.
    EXPECT_EQ(vl_store_put(h.s, std::vector<std::uint32_t>(ids, ids + 8).data(), 8), k);

    vl_store__set_map(h.s, map, len, nullptr);
    void* m = nullptr;
    std::uint64_t ml = 0;
    void* aux = &ml;
    vl_store__get_map(h.s, &m, &ml, &aux);
    EXPECT_EQ(m, map);
    EXPECT_EQ(ml, len);
    EXPECT_EQ(aux, nullptr);
  }
  // The store unmapped it: msync fails on a range that is not mapped.
  EXPECT_NE(msync(map, len, MS_ASYNC), 0);
  vl_store_free(nullptr);
  vl_store_unmap(nullptr);
}

std::uint64_t constant_key(const std::uint32_t*, std::uint64_t) { return 42; }
std::uint64_t zero_key(const std::uint32_t*, std::uint64_t) { return 0; }

// Different contents under one natural key get distinct keys, each reached
// by lookup, and the same sequence of puts reproduces the same keys.
TEST(Store, ForcedCollisionsResolveToDistinctKeys) {
  testing::set_key_fn(constant_key);
  std::vector<std::vector<std::uint32_t>> chunks{{1}, {2}, {3, 4}, {}};
  std::vector<std::uint64_t> first;
  for (int round = 0; round < 2; ++round) {
    holder h;
    std::vector<std::uint64_t> keys;
    for (const auto& c : chunks) keys.push_back(vl_store_put(h.s, c.data(), c.size()));
    EXPECT_EQ(keys[0], 42u);
    EXPECT_EQ(keys[1], next_key(42));
    EXPECT_EQ(keys[2], next_key(next_key(42)));
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      std::uint64_t n;
      const std::uint32_t* got = vl_store_get(h.s, keys[i], &n);
      ASSERT_EQ(n, chunks[i].size());
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(std::vector<std::uint32_t>(got, got + n), chunks[i]);
      EXPECT_EQ(vl_store_put(h.s, chunks[i].data(), chunks[i].size()), keys[i]);
    }
    EXPECT_EQ(vl_store_chunks(h.s), 4u);
    EXPECT_EQ(vl_store__deduped(h.s), 4u);
    if (round == 0) {
      first = keys;
    } else {
      EXPECT_EQ(keys, first);
    }
    // A loader re-registering borrowed chunks in store order gets the same keys.
    holder h2;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(vl_store__put_borrowed(h2.s, keys[i], chunks[i].data(),
                                       static_cast<std::uint32_t>(chunks[i].size())),
                keys[i]);
    }
  }
  // A hash of 0 is stored as 1 (0 marks an empty slot), and a second
  // content hashing to 0 moves on from 1.
  testing::set_key_fn(zero_key);
  {
    holder h;
    std::uint32_t a = 5, b = 6;
    EXPECT_EQ(vl_store_put(h.s, &a, 1), 1u);
    EXPECT_EQ(vl_store_put(h.s, &b, 1), next_key(1));
  }
  testing::set_key_fn(nullptr);
}

TEST(Store, RandomPutsMatchAMap) {
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::minstd_rand rng(seed);
    holder h;
    std::map<std::vector<std::uint32_t>, std::uint64_t> model;
    std::uint64_t dedupes = 0, bytes = 0;
    for (int i = 0; i < 20000; ++i) {
      std::vector<std::uint32_t> c(rng() % 6);
      for (auto& id : c) id = static_cast<std::uint32_t>(rng() % 8);
      std::uint64_t k = vl_store_put(h.s, c.data(), c.size());
      ASSERT_NE(k, 0u);
      auto [it, fresh] = model.emplace(c, k);
      if (fresh) {
        bytes += 4 * c.size();
      } else {
        ++dedupes;
        ASSERT_EQ(it->second, k);
      }
    }
    EXPECT_EQ(vl_store_chunks(h.s), model.size());
    EXPECT_EQ(vl_store__deduped(h.s), dedupes);
    EXPECT_EQ(vl_store_bytes(h.s), bytes);
    for (const auto& [c, k] : model) {
      vl_chunk* rec = find(h.s, k);
      ASSERT_NE(rec, nullptr);
      ASSERT_TRUE(rec->n == c.size() && std::equal(c.begin(), c.end(), rec->toks));
    }
  }
}

}  // namespace
}  // namespace velta::store
