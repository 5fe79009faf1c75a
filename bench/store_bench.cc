// Chunk store: putting fresh 1024-id chunks (hash, copy, insert) and
// putting chunks already stored (hash, compare), in MB of ids.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "store/store.h"
#include "velta.h"

namespace {

constexpr std::size_t kIds = 1024;
constexpr std::size_t kChunks = 8192;

std::vector<std::uint32_t> make_ids() {
  std::vector<std::uint32_t> ids(kIds * kChunks);
  std::mt19937 rng(7);
  for (auto& id : ids) id = rng() % 50000;
  return ids;
}

void BM_PutFresh(benchmark::State& state) {
  std::vector<std::uint32_t> ids = make_ids();
  vl_store* s = vl_store_new();
  std::size_t i = 0;
  for (auto _ : state) {
    if (i == kChunks) {
      state.PauseTiming();
      vl_store_free(s);
      s = vl_store_new();
      i = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(vl_store_put(s, ids.data() + kIds * i++, kIds));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kIds * 4));
  vl_store_free(s);
}
BENCHMARK(BM_PutFresh);

void BM_PutDeduped(benchmark::State& state) {
  std::vector<std::uint32_t> ids = make_ids();
  vl_store* s = vl_store_new();
  for (std::size_t i = 0; i < kChunks; ++i) vl_store_put(s, ids.data() + kIds * i, kIds);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vl_store_put(s, ids.data() + kIds * i, kIds));
    i = (i + 1) % kChunks;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kIds * 4));
  vl_store_free(s);
}
BENCHMARK(BM_PutDeduped);

void BM_ChunkKey(benchmark::State& state) {
  std::vector<std::uint32_t> ids = make_ids();
  for (auto _ : state) {
    benchmark::DoNotOptimize(velta::store::chunk_key(ids.data(), kIds));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kIds * 4));
}
BENCHMARK(BM_ChunkKey);

}  // namespace

BENCHMARK_MAIN();
