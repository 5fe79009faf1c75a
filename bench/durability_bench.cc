// Durability benchmarks: opening a large store (mapped in place and read
// into memory), replaying a long log of small updates, and durable edits
// (fsync per record) against edits flushed only.
//
// Inputs are generated at run time in a scratch directory under /tmp. Times
// are wall-clock: page faults on the mapping and fsync waits are the point.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "license_corpus.h"
#include "persist/recovery.h"
#include "velta.h"

namespace {

struct Scratch {
  std::string dir;
  Scratch() {
    char tmpl[] = "/tmp/velta_durability_bench_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

// A store of about 100 MB of token data (some 25 million tokens in 50
// objects), saved once in each layout. Returns the path for `options`.
const std::string& big_store(int options) {
  static std::string mapped;
  static std::string plain;
  if (mapped.empty()) {
    vl_engine* e = vl_engine_new();
    for (int i = 0; i < 50; ++i) {
      std::string text = velta::bench::vocabulary_words(250000, 0x9E3779B97F4A7C15ull * (i + 1));
      vl_create(e, ("object " + std::to_string(i)).c_str(), text.data(), text.size());
    }
    mapped = scratch().dir + "/big_mapped.vlt";
    plain = scratch().dir + "/big_plain.vlt";
    if (vl_save_ex(e, mapped.c_str(), VL_SAVE_MAPPABLE) != 0 ||
        vl_save_ex(e, plain.c_str(), VL_SAVE_UNCOMPRESSED) != 0) {
      std::abort();
    }
    vl_engine_free(e);
  }
  return options & VL_SAVE_MAPPABLE ? mapped : plain;
}

void BM_OpenStore(benchmark::State& state) {
  const int options = static_cast<int>(state.range(0));
  const std::string& path = big_store(options);
  const auto file_bytes = std::filesystem::file_size(path);
  for (auto _ : state) {
    vl_engine* e = vl_open(path.c_str());
    if (!e || vl_store_is_mapped(e) != (options & VL_SAVE_MAPPABLE ? 1 : 0)) {
      state.SkipWithError("open failed or took the wrong road");
      break;
    }
    benchmark::DoNotOptimize(e);
    vl_close(e);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_bytes));
  state.counters["file_MB"] = static_cast<double>(file_bytes) / 1e6;
}
BENCHMARK(BM_OpenStore)
    ->Arg(VL_SAVE_MAPPABLE)
    ->Arg(VL_SAVE_UNCOMPRESSED)
    ->ArgName("options")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A store with one small object and a log of 100,000 small updates to it.
struct UpdateLog {
  std::string store;
  std::string log;
  std::uint64_t records = 0;
};

const UpdateLog& update_log() {
  static UpdateLog u;
  if (u.records == 0) {
    u.store = scratch().dir + "/updates.vlt";
    vl_engine* e = vl_engine_new();
    std::string text = velta::bench::vocabulary_words(2000, 42);
    vl_create(e, "doc", text.data(), text.size());
    if (vl_save(e, u.store.c_str()) != 0) std::abort();
    vl_wal_set_sync(e, 0);
    vl_object* doc = vl_object_open(e, "doc");
    for (std::uint64_t i = 0; i < 100000; ++i) {
      std::uint64_t len = vl_object_bytes(doc, UINT32_MAX);
      std::string ins = "e" + std::to_string(i % 97) + " ";
      vl_update(e, doc, (i * 7919) % (len + 1), i % 3, ins.data(), ins.size());
    }
    u.records = vl_wal_records(e);
    vl_engine_free(e);
    {
      std::ifstream in(u.store + ".wal", std::ios::binary);
      u.log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Leave only the header on disk, so that opening the store costs the
    // snapshot alone and the timed replay gets the records.
    std::ofstream out(u.store + ".wal", std::ios::binary | std::ios::trunc);
    out.write(u.log.data(), 32);
  }
  return u;
}

void BM_ReplayUpdates(benchmark::State& state) {
  const UpdateLog& u = update_log();
  const auto* log = reinterpret_cast<const std::uint8_t*>(u.log.data());
  std::uint64_t applied = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vl_engine* e = vl_open(u.store.c_str());
    state.ResumeTiming();
    applied = velta::persist::replay(e, log, u.log.size()).applied;
    state.PauseTiming();
    vl_engine_free(e);
    state.ResumeTiming();
  }
  if (applied != u.records) state.SkipWithError("replay stopped early");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * u.records));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * u.log.size()));
}
BENCHMARK(BM_ReplayUpdates)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_DurableEdits(benchmark::State& state) {
  const bool sync = state.range(0) != 0;
  const std::string path = scratch().dir + (sync ? "/edits_sync.vlt" : "/edits_nosync.vlt");
  vl_engine* e = vl_engine_new();
  vl_create(e, "doc", "a small document", 16);
  if (vl_save(e, path.c_str()) != 0) std::abort();
  vl_wal_set_sync(e, sync ? 1 : 0);
  vl_object* doc = vl_object_open(e, "doc");
  std::uint64_t i = 0;
  for (auto _ : state) {
    std::uint64_t len = vl_object_bytes(doc, UINT32_MAX);
    vl_update(e, doc, (i++ * 7919) % (len + 1), 0, "word ", 5);
  }
  if (vl_wal_ok(e) != 1) state.SkipWithError("log failed");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  vl_engine_free(e);
}
BENCHMARK(BM_DurableEdits)
    ->Arg(1)
    ->Arg(0)
    ->ArgName("sync")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
