// Binary chunking and Morton ordering.
//
// vl_create_binary on random data (nothing repeats) and on data where half
// of the 64 KiB blocks repeat an earlier block; each iteration uses a fresh
// engine, made and freed outside the timing. The parts of chunking are
// timed alone too, so the share of the chunk-key hash (FNV-1a over four
// token bytes per input byte, fixed by the file format) can be read off:
// BM_ChunkKeyHash / BM_CreateBinary. Sizes are in MiB of input.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "binary/binary.h"
#include "util/fnv.h"
#include "velta.h"

namespace {

constexpr std::size_t kBlock = 64 << 10;

std::vector<std::uint8_t> random_data(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const std::uint64_t x = rng();
    std::memcpy(v.data() + i, &x, 8);
  }
  return v;
}

// Half of the blocks are copies of an earlier block chosen at random.
std::vector<std::uint8_t> half_duplicate_data(std::size_t n, std::uint64_t seed) {
  std::vector<std::uint8_t> v = random_data(n, seed);
  std::mt19937_64 rng(seed + 1);
  for (std::size_t b = 1; b < n / kBlock; ++b) {
    if (rng() % 2 == 0) {
      const std::size_t from = rng() % b;
      std::memcpy(v.data() + b * kBlock, v.data() + from * kBlock, kBlock);
    }
  }
  return v;
}

void create_binary(benchmark::State& state, const std::vector<std::uint8_t>& data) {
  double stored = 0;
  double chunks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vl_engine* e = vl_engine_new();
    state.ResumeTiming();
    vl_object* o = vl_create_binary(e, "bin", data.data(), data.size(), nullptr);
    benchmark::DoNotOptimize(o);
    state.PauseTiming();
    stored = static_cast<double>(vl_store_token_bytes(e)) / 4;
    chunks = vl_bin_chunk_count(o, 0xFFFFFFFF);
    vl_engine_free(e);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["chunks"] = chunks;
  // Input bytes per stored byte: 1.0 when nothing repeats.
  state.counters["dedupe_ratio"] = static_cast<double>(data.size()) / stored;
}

void BM_CreateBinaryRandom(benchmark::State& state) {
  const auto data = random_data(static_cast<std::size_t>(state.range(0)) << 20, 1);
  create_binary(state, data);
}

void BM_CreateBinaryHalfDuplicate(benchmark::State& state) {
  const auto data = half_duplicate_data(static_cast<std::size_t>(state.range(0)) << 20, 2);
  create_binary(state, data);
}

// The key hash alone, over the byte tokens of the whole input.
void BM_ChunkKeyHash(benchmark::State& state) {
  const auto data = random_data(static_cast<std::size_t>(state.range(0)) << 20, 3);
  std::vector<std::uint32_t> toks(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) toks[i] = 0xFFFFFF00u | data[i];
  for (auto _ : state) {
    const std::uint64_t h =
        velta::fnv1a(reinterpret_cast<const std::uint8_t*>(toks.data()), 4 * toks.size());
    benchmark::DoNotOptimize(h);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

// The gear scan alone: every chunk end of the input with default options.
void BM_GearScan(benchmark::State& state) {
  const auto data = random_data(static_cast<std::size_t>(state.range(0)) << 20, 4);
  const vl_bin_opts opts = velta::binary::normalise(nullptr);
  for (auto _ : state) {
    std::uint64_t n = 0;
    for (std::uint64_t s = 0; s < data.size(); ++n) s = velta::binary::chunk_end(data, s, opts);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_MortonOrder(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> coord(-1000.0f, 1000.0f);
  std::vector<float> pts(3 * std::size_t{n});
  for (float& c : pts) c = coord(rng);
  std::vector<std::uint32_t> out(n);
  for (auto _ : state) {
    const int rc = vl_morton_order(pts.data(), n, out.data());
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

BENCHMARK(BM_CreateBinaryRandom)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_CreateBinaryHalfDuplicate)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(BM_ChunkKeyHash)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GearScan)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MortonOrder)->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
