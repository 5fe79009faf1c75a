// Extent tree: split + join at a random token position of a large tree
// (the core of every edit), and a full leaf walk.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "velta.h"

namespace {

constexpr std::uint32_t kTokensPerLeaf = 1024;

std::uint64_t four_per_token(void*, const vl_leaf* leaf) { return std::uint64_t{leaf->count} * 4; }

vl_ext* make_tree(std::uint32_t n_leaves) {
  std::vector<vl_leaf> leaves(n_leaves);
  std::vector<std::uint64_t> bytes(n_leaves, kTokensPerLeaf * 4);
  for (std::uint32_t i = 0; i < n_leaves; ++i) leaves[i] = vl_leaf{i + 1, 0, kTokensPerLeaf};
  return vl_ext_build(leaves.data(), bytes.data(), n_leaves);
}

void BM_SplitJoin(benchmark::State& state) {
  vl_ext* root = make_tree(static_cast<std::uint32_t>(state.range(0)));
  std::uint64_t tokens = vl_ext_tokens(root);
  std::mt19937_64 rng(42);
  std::uint64_t made = 0;
  for (auto _ : state) {
    std::uint64_t k = rng() % tokens;
    std::uint64_t before = vl_ext_nodes_alloced();
    vl_ext* l = nullptr;
    vl_ext* r = nullptr;
    vl_ext_split_tok(root, k, &l, &r, four_per_token, nullptr);
    vl_ext* j = vl_ext_join(l, r);
    made += vl_ext_nodes_alloced() - before;
    benchmark::DoNotOptimize(j);
    vl_ext_release(l);
    vl_ext_release(r);
    vl_ext_release(j);
  }
  state.counters["nodes_per_op"] =
      benchmark::Counter(static_cast<double>(made), benchmark::Counter::kAvgIterations);
  state.counters["depth"] = vl_ext_depth(root);
  vl_ext_release(root);
}
BENCHMARK(BM_SplitJoin)->Arg(1'000'000);

void BM_Walk(benchmark::State& state) {
  auto n = static_cast<std::uint32_t>(state.range(0));
  vl_ext* root = make_tree(n);
  for (auto _ : state) {
    std::uint64_t sum = 0;
    vl_ext_walk(
        root,
        [](void* ctx, const vl_leaf* leaf, std::uint64_t) {
          *static_cast<std::uint64_t*>(ctx) += leaf->key;
          return 0;
        },
        &sum);
    benchmark::DoNotOptimize(sum);
  }
  state.counters["leaves_per_s"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
  vl_ext_release(root);
}
BENCHMARK(BM_Walk)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
