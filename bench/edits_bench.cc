// vl_cut and vl_graft of random token-aligned ranges in a 10 MB object.
//
// Only the edit call itself is timed (manual time): choosing aligned
// positions, trimming history and restoring the object's size run between
// timed calls. Both edits cost a few splits and joins plus one locate scan
// per position, whatever the range length.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>

#include "engine/engine.h"
#include "license_corpus.h"
#include "velta.h"

namespace {

constexpr std::uint64_t kObjectBytes = 10u << 20;
constexpr std::uint64_t kMaxRange = 1u << 20;

struct Fixture {
  vl_engine* engine = vl_engine_new();
  vl_object* a = nullptr;  // stays as created: the refill source
  vl_object* b = nullptr;  // edited

  Fixture() {
    const std::string source = velta::bench::license_text();
    const std::string t1 = velta::bench::varied_text(source, kObjectBytes, 1);
    const std::string t2 = velta::bench::varied_text(source, kObjectBytes, 2);
    a = vl_create(engine, "a", t1.data(), t1.size());
    b = vl_create(engine, "b", t2.data(), t2.size());
  }
  ~Fixture() { vl_engine_free(engine); }

  // The start of the token holding byte pos of o's current text.
  std::uint64_t aligned(vl_object* o, std::uint64_t pos) {
    return velta::engine::locate(engine, o->current(), pos).start;
  }
};

template <class F>
void timed(benchmark::State& state, F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = f();
  const auto t1 = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(rc);
  state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
}

void BM_CutTokenAligned(benchmark::State& state) {
  Fixture fx;
  std::mt19937_64 rng(7);
  std::uint64_t n = 0;
  for (auto _ : state) {
    const std::uint64_t bytes = fx.b->current().bytes;
    const std::uint64_t p = fx.aligned(fx.b, rng() % bytes);
    const std::uint64_t q = fx.aligned(fx.b, p + rng() % kMaxRange);
    timed(state, [&] { return vl_cut(fx.engine, fx.b, p, q - p); });
    if (++n % 256 == 0) vl_trim_history(fx.engine, fx.b, 1);
    if (fx.b->current().bytes < kObjectBytes / 2) {
      vl_graft(fx.engine, fx.b, fx.b->current().bytes, fx.a, 0, fx.a->current().bytes);
    }
  }
  state.counters["leaves"] = vl_ext_leaves(fx.b->current().root);
}
BENCHMARK(BM_CutTokenAligned)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_GraftTokenAligned(benchmark::State& state) {
  Fixture fx;
  std::mt19937_64 rng(8);
  std::uint64_t n = 0;
  for (auto _ : state) {
    const std::uint64_t sbytes = fx.a->current().bytes;
    const std::uint64_t p = fx.aligned(fx.a, rng() % sbytes);
    const std::uint64_t q = fx.aligned(fx.a, p + rng() % kMaxRange);
    const std::uint64_t at = fx.aligned(fx.b, rng() % fx.b->current().bytes);
    timed(state, [&] { return vl_graft(fx.engine, fx.b, at, fx.a, p, q - p); });
    if (++n % 256 == 0) vl_trim_history(fx.engine, fx.b, 1);
    const std::uint64_t bytes = fx.b->current().bytes;
    if (bytes > 2 * kObjectBytes) {
      const std::uint64_t from = fx.aligned(fx.b, kObjectBytes);
      vl_cut(fx.engine, fx.b, from, bytes - from);
    }
  }
  state.counters["leaves"] = vl_ext_leaves(fx.b->current().root);
}
BENCHMARK(BM_GraftTokenAligned)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
