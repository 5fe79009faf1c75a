// vl_merge_preview on a 4 MiB text whose two sides changed far apart, and
// the bare replacement finder on the same texts. The preview decodes three
// whole versions, so it is bound by reading; span_of compares eight bytes
// at a time from both ends.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "merge/merge.h"
#include "velta.h"

namespace {

constexpr std::size_t kBytes = 4 << 20;

std::string words(std::size_t bytes) {
  static const char* const kWords[] = {"stone",   "river", "amber", "north", "quiet",
                                       "lantern", "of",    "the",   "and",   "copper"};
  std::mt19937_64 rng(21);
  std::string s;
  while (s.size() < bytes) {
    s += kWords[rng() % 10];
    s += ' ';
  }
  return s;
}

void BM_MergePreview(benchmark::State& state) {
  const std::string base = words(kBytes);
  vl_engine* e = vl_engine_new();
  vl_object* o = vl_create(e, "doc", base.data(), base.size());
  vl_update(e, o, base.size() - 100, 5, "theirs", 6);                         // version 1: theirs
  vl_update(e, o, base.size() - 100, 6, base.data() + base.size() - 100, 5);  // the base again
  vl_update(e, o, 100, 5, "ours", 4);                                         // current: ours
  int rc = 0;
  for (auto _ : state) {
    vl_merge_report r;
    rc = vl_merge_preview(e, o, 0, 1, &r);
    benchmark::DoNotOptimize(r);
  }
  state.counters["rc"] = rc;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 3 * base.size()));
  vl_engine_free(e);
}

void BM_SpanOf(benchmark::State& state) {
  const std::string a = words(kBytes);
  std::string b = a;
  b[kBytes / 2] = '#';
  const std::span<const std::uint8_t> sa(reinterpret_cast<const std::uint8_t*>(a.data()), a.size());
  const std::span<const std::uint8_t> sb(reinterpret_cast<const std::uint8_t*>(b.data()), b.size());
  for (auto _ : state) {
    const auto s = velta::merge::span_of(sa, sb);
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * a.size()));
}

BENCHMARK(BM_MergePreview)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpanOf)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
