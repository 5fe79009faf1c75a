// The hot paths side by side with what the machine allows, each figure next
// to a baseline measured in the same iteration over the same bytes:
//   create of new English text, and of the same text again: one pass of
//     run splitting plus FNV-1a per run;
//   read of every object whole: memcpy;
//   create_binary of random and half-repeated data: FNV-1a over the 4-byte
//     byte tokens, one chain;
//   search for a rare and a common pattern: memmem over the decoded texts;
//   read of 100 random old versions of a keystroke-edited document (every
//     version kept): memcpy of the same bytes.
// Counters: MB/s (velta), base_MB/s, ratio = velta / baseline, all from
// thread CPU time. The machine is shared (caches and memory bandwidth too),
// so compare ratios, not raw figures, between runs. create_binary also
// shows first_MB/s and last_MB/s, its first and last iterations: the store
// keeps 4 bytes of tokens per byte, so the kernel's first touch of that
// memory is a large and variable share of each run.
//
// Text: 50 MB of real English (licenses, package copyright files, man pages
// in name order), made at run time, stored as 1 MB objects.
#include <benchmark/benchmark.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "license_corpus.h"
#include "velta.h"

namespace {

// CPU time of this thread: the machine is shared, and time spent waiting
// for a core is nobody's figure.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};
constexpr std::uint64_t kTextBytes = 50u << 20;
constexpr std::uint64_t kObjectBytes = 1u << 20;
constexpr std::uint64_t kBinaryBytes = 64u << 20;
constexpr std::uint64_t kFnvStart = 0x14650FB0739D0383ull;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ull;

double seconds_since(Clock::time_point t0) { return Clock::now() - t0; }

std::vector<std::string> split_objects(const std::string& all) {
  std::vector<std::string> out;
  for (std::uint64_t at = 0; at < all.size(); at += kObjectBytes)
    out.push_back(all.substr(at, kObjectBytes));
  return out;
}

const std::vector<std::string>& texts() {
  static const std::vector<std::string> t = split_objects(velta::bench::english_corpus(kTextBytes));
  return t;
}

// Sets the rate counters from the bytes one iteration handles and the two
// times summed over all iterations.
void report(benchmark::State& state, double bytes, double t_velta, double t_base) {
  bytes *= static_cast<double>(state.iterations());
  state.counters["MB/s"] = bytes / t_velta / 1e6;
  state.counters["base_MB/s"] = bytes / t_base / 1e6;
  state.counters["ratio"] = t_base / t_velta;
}

// One pass of run splitting with FNV-1a over every run: the floor of any
// tokenizer that looks each run up once.
std::uint64_t run_fnv_pass(const std::string& s) {
  static constexpr auto kWord = [] {
    std::array<bool, 256> w{};
    for (int c = 0; c < 256; ++c)
      w[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    return w;
  }();
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  std::uint64_t acc = 0;
  for (std::uint64_t i = 0; i < s.size();) {
    const bool w = kWord[p[i]];
    std::uint64_t h = kFnvStart;
    do {
      h = (h ^ p[i]) * kFnvPrime;
      ++i;
    } while (i < s.size() && kWord[p[i]] == w);
    acc += h;
  }
  return acc;
}

double baseline_runs(const std::vector<std::string>& ts) {
  const auto t0 = Clock::now();
  std::uint64_t acc = 0;
  for (const std::string& t : ts) acc += run_fnv_pass(t);
  benchmark::DoNotOptimize(acc);
  return seconds_since(t0);
}

double create_all(vl_engine* e, const std::vector<std::string>& ts) {
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < ts.size(); ++i) {
    const std::string name = "doc" + std::to_string(i);
    benchmark::DoNotOptimize(vl_create(e, name.c_str(), ts[i].data(), ts[i].size()));
  }
  return seconds_since(t0);
}

void BM_CreateNewText(benchmark::State& state) {
  const auto& ts = texts();
  const double bytes = static_cast<double>(ts.size() * kObjectBytes);
  double tv = 0, tb = 0;
  for (auto _ : state) {
    vl_engine* e = vl_engine_new();
    const double t = create_all(e, ts);
    state.SetIterationTime(t);
    tv += t;
    state.counters["dict_entries"] = vl_dict_size(vl_engine_dict(e));
    vl_engine_free(e);
    tb += baseline_runs(ts);
  }
  report(state, bytes, tv, tb);
}
BENCHMARK(BM_CreateNewText)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_CreateStoredText(benchmark::State& state) {
  const auto& ts = texts();
  const double bytes = static_cast<double>(ts.size() * kObjectBytes);
  vl_engine* e = vl_engine_new();
  create_all(e, ts);
  double tv = 0, tb = 0;
  for (auto _ : state) {
    const double t = create_all(e, ts);
    state.SetIterationTime(t);
    tv += t;
    tb += baseline_runs(ts);
  }
  report(state, bytes, tv, tb);
  vl_engine_free(e);
}
BENCHMARK(BM_CreateStoredText)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ReadWhole(benchmark::State& state) {
  const auto& ts = texts();
  vl_engine* e = vl_engine_new();
  create_all(e, ts);
  std::vector<vl_object*> objs;
  for (std::size_t i = 0; i < ts.size(); ++i)
    objs.push_back(vl_object_open(e, ("doc" + std::to_string(i)).c_str()));
  std::string out(kObjectBytes, '\0');
  double tv = 0, tb = 0, bytes = 0;
  bool same = true;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (std::size_t i = 0; i < ts.size(); ++i) {
      benchmark::DoNotOptimize(vl_read(e, objs[i], 0, ts[i].size(), out.data()));
      benchmark::ClobberMemory();
    }
    const double t = seconds_since(t0);
    state.SetIterationTime(t);
    tv += t;
    same = same && out.compare(0, ts.back().size(), ts.back()) == 0;
    t0 = Clock::now();
    for (const std::string& s : ts) {
      std::memcpy(out.data(), s.data(), s.size());
      benchmark::ClobberMemory();
    }
    tb += seconds_since(t0);
    for (const std::string& s : ts) bytes += static_cast<double>(s.size());
  }
  if (!same) state.SkipWithError("read back differs");
  report(state, bytes / static_cast<double>(state.iterations()), tv, tb);
  vl_engine_free(e);
}
BENCHMARK(BM_ReadWhole)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// Arg 0: random bytes; 1: 1 MiB blocks, every other one a repeat of the
// block before it.
std::string binary_data(int kind) {
  std::string d(kBinaryBytes, '\0');
  std::mt19937_64 rng(7);
  for (std::uint64_t i = 0; i < d.size(); i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(d.data() + i, &v, 8);
  }
  if (kind == 1) {
    for (std::uint64_t b = 1u << 20; b + (1u << 20) <= d.size(); b += 2u << 20)
      std::memcpy(d.data() + b, d.data() + b - (1u << 20), 1u << 20);
  }
  return d;
}

void BM_CreateBinary(benchmark::State& state) {
  const std::string data = binary_data(static_cast<int>(state.range(0)));
  double tv = 0, tb = 0, first = 0, last = 0;
  for (auto _ : state) {
    vl_engine* e = vl_engine_new();
    auto t0 = Clock::now();
    benchmark::DoNotOptimize(vl_create_binary(e, "bin", data.data(), data.size(), nullptr));
    const double t = seconds_since(t0);
    state.SetIterationTime(t);
    tv += t;
    if (first == 0) first = t;
    last = t;
    vl_engine_free(e);
    t0 = Clock::now();
    std::uint64_t h = kFnvStart;
    for (unsigned char c : data) {
      h = (h ^ c) * kFnvPrime;
      h = (h ^ 0xFF) * kFnvPrime;
      h = (h ^ 0xFF) * kFnvPrime;
      h = (h ^ 0xFF) * kFnvPrime;
    }
    benchmark::DoNotOptimize(h);
    tb += seconds_since(t0);
  }
  report(state, static_cast<double>(data.size()), tv, tb);
  state.counters["first_MB/s"] = static_cast<double>(data.size()) / first / 1e6;
  state.counters["last_MB/s"] = static_cast<double>(data.size()) / last / 1e6;
}
BENCHMARK(BM_CreateBinary)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// Arg 0: a rare 10-byte pattern planted three times per object; 1: "the".
void BM_Search(benchmark::State& state) {
  static const std::string kRare = "qz-rare-71";
  const std::string pattern = state.range(0) == 0 ? kRare : "the";
  std::vector<std::string> ts = texts();
  for (std::string& t : ts)
    for (int k = 1; k <= 3; ++k) t.replace(t.size() * k / 4, kRare.size(), kRare);
  vl_engine* e = vl_engine_new();
  create_all(e, ts);
  std::vector<vl_hit> hits(8u << 20);
  double tv = 0, tb = 0, bytes = 0;
  std::uint64_t n_velta = 0, n_base = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    n_velta = vl_search(e, pattern.data(), pattern.size(), hits.data(), hits.size());
    const double t = seconds_since(t0);
    state.SetIterationTime(t);
    tv += t;
    t0 = Clock::now();
    n_base = 0;
    for (const std::string& s : ts) {
      const char* p = s.data();
      const char* end = s.data() + s.size();
      while (const void* m =
                 memmem(p, static_cast<std::size_t>(end - p), pattern.data(), pattern.size())) {
        ++n_base;
        p = static_cast<const char*>(m) + 1;
      }
    }
    tb += seconds_since(t0);
    for (const std::string& s : ts) bytes += static_cast<double>(s.size());
  }
  if (n_velta != n_base) state.SkipWithError("hit counts differ");
  state.counters["hits"] = static_cast<double>(n_velta);
  report(state, bytes / static_cast<double>(state.iterations()), tv, tb);
  vl_engine_free(e);
}
BENCHMARK(BM_Search)->Arg(0)->Arg(1)->UseManualTime()->Iterations(10)->Unit(
    benchmark::kMillisecond);

std::uint64_t le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

// Replays the automerge-paper trace (see the data folder's README) into one
// object with a version per edit. false when the trace is not there.
bool replay_paper(vl_engine* e, vl_object** out) {
  std::ifstream in(std::string(VELTA_DATA_DIR) + "/traces/automerge-paper.edits.bin",
                   std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 32 || b.compare(0, 8, "EDTRACE1") != 0) return false;
  const std::uint64_t start_len = le(b, 8, 8), n = le(b, 16, 8);
  std::size_t at = 32;
  vl_object* o = vl_create(e, "paper", b.data() + at, start_len);
  at += start_len;
  for (std::uint64_t i = 0; i < n && at + 16 <= b.size(); ++i) {
    const std::uint64_t pos = le(b, at, 4), del = le(b, at + 4, 4), len = le(b, at + 8, 4);
    at += 16;
    vl_update(e, o, pos, del, b.data() + at, len);
    at += len;
  }
  *out = o;
  return true;
}

void BM_ReadOldVersion(benchmark::State& state) {
  vl_engine* e = vl_engine_new();
  vl_object* o = nullptr;
  if (!replay_paper(e, &o)) {
    state.SkipWithError("trace not available");
    vl_engine_free(e);
    return;
  }
  const std::uint32_t nv = vl_object_versions(o);
  std::mt19937 rng(11);
  std::vector<std::uint32_t> picks(100);
  for (auto& v : picks) v = static_cast<std::uint32_t>(rng() % (nv / 2) + nv / 2);
  double leaves = 0;
  for (std::uint32_t v : picks) leaves += vl_ext_leaves(o->versions[v].root);
  state.counters["leaves/version"] = leaves / static_cast<double>(picks.size());
  std::vector<std::string> copies;
  std::string out(1u << 20, '\0');
  for (std::uint32_t v : picks) {
    const std::uint64_t n = vl_read_version(e, o, v, 0, out.size(), out.data());
    copies.push_back(out.substr(0, n));
  }
  double tv = 0, tb = 0, bytes = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (std::uint32_t v : picks) {
      benchmark::DoNotOptimize(vl_read_version(e, o, v, 0, out.size(), out.data()));
      benchmark::ClobberMemory();
    }
    const double t = seconds_since(t0);
    state.SetIterationTime(t);
    tv += t;
    t0 = Clock::now();
    for (const std::string& c : copies) {
      std::memcpy(out.data(), c.data(), c.size());
      benchmark::ClobberMemory();
    }
    tb += seconds_since(t0);
    for (const std::string& c : copies) bytes += static_cast<double>(c.size());
  }
  state.counters["ms/version"] = tv / static_cast<double>(state.iterations() * picks.size()) * 1e3;
  report(state, bytes / static_cast<double>(state.iterations()), tv, tb);
  vl_engine_free(e);
}
BENCHMARK(BM_ReadOldVersion)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
