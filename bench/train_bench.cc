// Training on 10 MB of real English text (licenses plus decompressed man
// pages, built at run time): wall time, the peak resident memory the
// training adds (getrusage), entries added, tokens per byte before/after.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
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

long peak_rss_kib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

double tokens_per_byte(vl_dict* d, const std::string& text, std::vector<uint32_t>& ids) {
  const uint64_t n = vl_tokenize(d, text.data(), text.size(), ids.data(), ids.size());
  return static_cast<double>(n) / static_cast<double>(text.size());
}

// Args: passes, per_pass, min_count. peak_rss_added_MiB is the rise of the
// process's high-water mark, so it is only meaningful for the first run in a
// process: use --benchmark_filter to measure one configuration at a time.
void BM_Train10MB(benchmark::State& state) {
  static const std::string text = velta::bench::english_text(10 << 20);
  std::vector<uint32_t> ids(text.size() + 1);
  for (auto _ : state) {
    state.PauseTiming();
    vl_dict* d = vl_dict_new();
    vl_dict_learn(d, text.data(), text.size(), 0x1000000);
    const uint32_t learned = vl_dict_size(d);
    const double before = tokens_per_byte(d, text, ids);
    const long rss0 = peak_rss_kib();
    state.ResumeTiming();
    const uint32_t size =
        vl_dict_train(d, text.data(), text.size(), static_cast<uint32_t>(state.range(0)),
                      static_cast<uint32_t>(state.range(1)), static_cast<uint32_t>(state.range(2)));
    state.PauseTiming();
    state.counters["peak_rss_added_MiB"] = static_cast<double>(peak_rss_kib() - rss0) / 1024.0;
    state.counters["entries_added"] = size - learned;
    state.counters["tok_per_byte_before"] = before;
    state.counters["tok_per_byte_after"] = tokens_per_byte(d, text, ids);
    vl_dict_free(d);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Train10MB)
    ->Args({4, 4096, 4})
    ->Args({8, 2000, 2})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// A small sample must not pay for a table sized for a large one.
void BM_TrainSmall(benchmark::State& state) {
  const std::string text = velta::bench::english_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    vl_dict* d = vl_dict_new();
    benchmark::DoNotOptimize(vl_dict_train(d, text.data(), text.size(), 4, 256, 2));
    vl_dict_free(d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_TrainSmall)->Arg(4 << 10)->Arg(64 << 10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
