// vl_search over 100 MB of real text in 100 objects, side by side with
// memmem over the same decoded texts, for a rare 10-byte pattern and a
// common 3-byte one. Both report MB of text per second (SetBytesProcessed);
// the ratio is the velta figure over the memmem figure of the same pattern.
//
// Where the time goes is measured by the parts alone: the candidate table
// (a search in an engine holding the same dictionary and one empty object),
// and flattening versions into id arrays (the leaf walk with a copy, no
// matching).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "license_corpus.h"
#include "velta.h"

namespace {

constexpr int kObjects = 100;
constexpr std::uint64_t kObjectBytes = 1u << 20;
// Appears a few times per object, nowhere else.
constexpr char kRare[] = "qz-rare-71";
constexpr char kCommon[] = "the";

struct Corpus {
  vl_engine* engine = vl_engine_new();
  vl_engine* dict_only = vl_engine_new();  // same dictionary, one empty object
  std::vector<std::string> texts;          // decoded current texts
  std::uint64_t total = 0;

  Corpus() {
    const std::string source = velta::bench::license_text();
    for (int i = 0; i < kObjects; ++i) {
      std::string t = velta::bench::varied_text(source, kObjectBytes, 100 + i);
      for (int k = 1; k <= 3; ++k) t.replace(t.size() * k / 4, sizeof kRare - 1, kRare);
      const std::string name = "doc" + std::to_string(i);
      vl_create(engine, name.c_str(), t.data(), t.size());
      total += t.size();
      texts.push_back(std::move(t));
    }
    vl_dict* d = vl_engine_dict(engine);
    std::uint64_t blob_len = 0;
    const std::uint8_t* blob = vl_dict__texts(d, &blob_len);
    vl_dict__restore(vl_engine_dict(dict_only), blob, blob_len, vl_dict__offs(d), vl_dict__lens(d),
                     vl_dict__entries(d));
    vl_create(dict_only, "empty", "", 0);
  }
  ~Corpus() {
    vl_engine_free(engine);
    vl_engine_free(dict_only);
  }
};

Corpus& corpus() {
  static Corpus c;
  return c;
}

std::uint64_t memmem_all(const std::string& text, const char* pat, std::size_t plen) {
  std::uint64_t n = 0;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  while (const void* hit = memmem(p, static_cast<std::size_t>(end - p), pat, plen)) {
    ++n;
    p = static_cast<const char*>(hit) + 1;
  }
  return n;
}

void BM_VeltaSearch(benchmark::State& state, const char* pattern) {
  Corpus& c = corpus();
  const std::size_t plen = std::strlen(pattern);
  std::uint64_t expect = 0;
  for (const auto& t : c.texts) expect += memmem_all(t, pattern, plen);
  std::vector<vl_hit> hits(expect + 1);
  std::uint64_t found = 0;
  for (auto _ : state) {
    found = vl_search(c.engine, pattern, plen, hits.data(), hits.size());
    benchmark::DoNotOptimize(hits.data());
  }
  if (found != expect) state.SkipWithError("hit count differs from memmem");
  state.counters["hits"] = static_cast<double>(found);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.total));
}
BENCHMARK_CAPTURE(BM_VeltaSearch, rare10, kRare)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VeltaSearch, common3, kCommon)->Unit(benchmark::kMillisecond);

void BM_Memmem(benchmark::State& state, const char* pattern) {
  Corpus& c = corpus();
  const std::size_t plen = std::strlen(pattern);
  std::uint64_t found = 0;
  for (auto _ : state) {
    found = 0;
    for (const auto& t : c.texts) found += memmem_all(t, pattern, plen);
    benchmark::DoNotOptimize(found);
  }
  state.counters["hits"] = static_cast<double>(found);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.total));
}
BENCHMARK_CAPTURE(BM_Memmem, rare10, kRare)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Memmem, common3, kCommon)->Unit(benchmark::kMillisecond);

// The candidate table alone: same dictionary, nothing to scan.
void BM_CandidateTable(benchmark::State& state, const char* pattern) {
  Corpus& c = corpus();
  const std::size_t plen = std::strlen(pattern);
  vl_hit hit;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vl_search(c.dict_only, pattern, plen, &hit, 1));
  }
  state.counters["dict_entries"] = vl_dict_size(vl_engine_dict(c.dict_only));
}
BENCHMARK_CAPTURE(BM_CandidateTable, rare10, kRare)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CandidateTable, common3, kCommon)->Unit(benchmark::kMillisecond);

// Flattening alone: every current version's ids copied into one array.
void BM_Flatten(benchmark::State& state) {
  Corpus& c = corpus();
  struct Ctx {
    vl_store* store;
    std::uint32_t* ids;
    std::uint64_t fill;
  };
  std::uint64_t most = 0;
  for (int i = 0; i < kObjects; ++i) {
    most = std::max(most, vl_object_tokens(vl_engine__obj(c.engine, i), UINT32_MAX));
  }
  auto ids = std::make_unique<std::uint32_t[]>(most);
  for (auto _ : state) {
    for (int i = 0; i < kObjects; ++i) {
      vl_object* o = vl_engine__obj(c.engine, i);
      Ctx ctx{vl_engine_store(c.engine), ids.get(), 0};
      vl_ext_walk(
          o->current().root,
          [](void* p, const vl_leaf* leaf, std::uint64_t) -> int {
            auto* x = static_cast<Ctx*>(p);
            std::uint64_t n = 0;
            const std::uint32_t* t = vl_store_get(x->store, leaf->key, &n);
            std::memcpy(x->ids + x->fill, t + leaf->off, leaf->count * sizeof(std::uint32_t));
            x->fill += leaf->count;
            return 0;
          },
          &ctx);
      benchmark::DoNotOptimize(ids.get());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.total));
}
BENCHMARK(BM_Flatten)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
