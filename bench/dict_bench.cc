// Dictionary throughput on real English text: learning a fresh dictionary,
// tokenizing with a learned and with a trained dictionary, detokenizing.
// The input (licenses plus decompressed man pages, a few MB) is built at
// run time; nothing is committed.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "license_corpus.h"
#include "velta.h"

namespace {

const std::string& corpus() {
  static const std::string text = velta::bench::english_text(4 << 20);
  return text;
}

struct Dict {
  vl_dict* d = vl_dict_new();
  ~Dict() { vl_dict_free(d); }
};

void BM_Learn(benchmark::State& state) {
  const std::string& text = corpus();
  for (auto _ : state) {
    Dict d;
    benchmark::DoNotOptimize(vl_dict_learn(d.d, text.data(), text.size(), 0x100000));
    state.counters["entries"] = vl_dict_size(d.d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Learn)->Unit(benchmark::kMillisecond);

// Arg 0: learned runs only; arg 1: also trained on the same text.
void BM_Tokenize(benchmark::State& state) {
  const std::string& text = corpus();
  Dict d;
  vl_dict_learn(d.d, text.data(), text.size(), 0x100000);
  if (state.range(0) != 0) vl_dict_train(d.d, text.data(), text.size(), 4, 4096, 4);
  std::vector<uint32_t> ids(text.size() + 1);
  uint64_t n = 0;
  for (auto _ : state) {
    n = vl_tokenize(d.d, text.data(), text.size(), ids.data(), ids.size());
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["tokens_per_byte"] = static_cast<double>(n) / static_cast<double>(text.size());
}
BENCHMARK(BM_Tokenize)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Detokenize(benchmark::State& state) {
  const std::string& text = corpus();
  Dict d;
  vl_dict_learn(d.d, text.data(), text.size(), 0x100000);
  std::vector<uint32_t> ids(text.size() + 1);
  ids.resize(vl_tokenize(d.d, text.data(), text.size(), ids.data(), ids.size()));
  std::string out(text.size(), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(vl_detokenize(d.d, ids.data(), ids.size(), out.data(), out.size()));
  }
  if (out != text) state.SkipWithError("round trip differs");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Detokenize)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
