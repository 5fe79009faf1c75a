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

#include "velta.h"

namespace {

// Licenses, then man pages from man1 in name order, up to `bytes`.
std::string english_text(std::size_t bytes) {
  namespace fs = std::filesystem;
  std::string all;
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator("/usr/share/common-licenses", ec))
    if (e.is_regular_file(ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  files.clear();
  for (const auto& e : fs::directory_iterator("/usr/share/man/man1", ec))
    if (e.path().extension() == ".gz" && e.is_regular_file(ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  char buf[65536];
  for (const auto& f : files) {
    if (all.size() >= bytes) break;
    gzFile gz = gzopen(f.c_str(), "rb");
    if (gz == nullptr) continue;
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    gzclose(gz);
  }
  if (all.empty()) all = "no text found, ";
  const std::string base = all;
  while (all.size() < bytes) all += base;
  all.resize(bytes);
  return all;
}

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
  static const std::string text = english_text(10 << 20);
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
  const std::string text = english_text(static_cast<std::size_t>(state.range(0)));
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
