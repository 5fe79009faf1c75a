// vl_range_history over an object with 10,000 versions.
//
// A text of about 1 MiB of words receives 10,000 small random edits (one
// version each), made once outside the timing. The history scan costs two
// root-to-node descents per consecutive version pair and decodes nothing,
// so its time per version should not depend on the range length.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "velta.h"

namespace {

constexpr std::uint32_t kVersions = 10000;

std::string words(std::mt19937_64& rng, std::size_t bytes) {
  static const char* const kWords[] = {"stone",   "river", "amber", "north", "quiet",
                                       "lantern", "of",    "the",   "and",   "copper"};
  std::string s;
  while (s.size() < bytes) {
    s += kWords[rng() % 10];
    s += rng() % 12 == 0 ? ".\n" : " ";
  }
  return s;
}

struct History {
  vl_engine* engine = vl_engine_new();
  vl_object* object = nullptr;

  History() {
    std::mt19937_64 rng(11);
    const std::string text = words(rng, 1 << 20);
    object = vl_create(engine, "doc", text.data(), text.size());
    while (vl_object_versions(object) < kVersions) {
      const std::uint64_t bytes = vl_object_bytes(object, 0xFFFFFFFF);
      const std::uint64_t pos = rng() % bytes;
      const std::string ins = words(rng, rng() % 24);
      vl_update(engine, object, pos, rng() % 16, ins.data(), ins.size());
    }
  }
  ~History() { vl_engine_free(engine); }
};

History& history() {
  static History h;
  return h;
}

void BM_RangeHistory(benchmark::State& state) {
  History& h = history();
  const auto len = static_cast<std::uint64_t>(state.range(0));
  std::vector<std::uint32_t> out(kVersions);
  std::mt19937_64 rng(12);
  std::uint32_t found = 0;
  for (auto _ : state) {
    const std::uint64_t start = rng() % vl_object_bytes(h.object, 0);
    found = vl_range_history(h.object, start, len, out.data(), kVersions);
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (kVersions - 1)));
  state.counters["changed_versions"] = found;
}

BENCHMARK(BM_RangeHistory)->Arg(64)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
