// Engine benchmarks: creation throughput on real text, one-character splices
// at random positions in objects of 1, 10 and 100 MB (log off, log on
// without fsync, log on with fsync), whole-text reads, and the replay of a
// real editing session. Edit cost should stay flat as the object grows;
// only the fsync of the log should dominate when it is on.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "license_corpus.h"
#include "persist/wal.h"
#include "velta.h"

namespace {

const std::string& corpus() {
  static const std::string text = velta::bench::license_text();
  return text;
}

// A scratch directory removed when the benchmark ends.
class TempDir {
 public:
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "velta-bench-XXXXXX").string();
    if (mkdtemp(t.data()) != nullptr) path_ = t;
  }
  ~TempDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Attaches a fresh log at dir/store.wal, as a save would leave it.
bool attach_log(vl_engine* e, const std::string& dir, int sync) {
  const std::string store = dir + "/store";
  vl_wal* w = velta::persist::wal_new(e, store.c_str(), 1);
  if (w == nullptr) return false;
  if (velta::persist::wal_write_header(w->wal_path, 1) != 0 ||
      velta::persist::wal_open_append(w) != 0) {
    vl_wal__destroy(w);
    return false;
  }
  vl_engine__set_wal(e, w);
  vl_wal_set_sync(e, sync);
  return true;
}

void BM_Create(benchmark::State& state) {
  const std::string text = velta::bench::varied_text(corpus(), state.range(0) << 20, 1);
  for (auto _ : state) {
    vl_engine* e = vl_engine_new();
    benchmark::DoNotOptimize(vl_create(e, "doc", text.data(), text.size()));
    state.PauseTiming();
    vl_engine_free(e);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Create)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

// Args: object size in MB; log mode 0 off, 1 on without fsync, 2 on with.
void BM_UpdateOneChar(benchmark::State& state) {
  const std::uint64_t size = static_cast<std::uint64_t>(state.range(0)) << 20;
  const int mode = static_cast<int>(state.range(1));
  const std::string text = velta::bench::varied_text(corpus(), size, 2);
  vl_engine* e = vl_engine_new();
  vl_object* o = vl_create(e, "doc", text.data(), text.size());
  TempDir dir;
  if (mode > 0 && !attach_log(e, dir.path(), mode == 2)) {
    state.SkipWithError("cannot attach a log");
    vl_engine_free(e);
    return;
  }
  std::mt19937_64 rng(3);
  const std::uint64_t nodes0 = vl_ext_nodes_alloced();
  const std::uint64_t store0 = vl_store_bytes(e->store);
  for (auto _ : state) {
    const std::uint64_t pos = rng() % (o->current().bytes + 1);
    const char c = static_cast<char>('a' + rng() % 26);
    if (vl_update(e, o, pos, rng() % 2, &c, 1) != 0) state.SkipWithError("update failed");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["nodes/edit"] = static_cast<double>(vl_ext_nodes_alloced() - nodes0) / n;
  state.counters["chunk_B/edit"] = static_cast<double>(vl_store_bytes(e->store) - store0) / n;
  state.counters["time/edit"] =
      benchmark::Counter(n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  vl_engine_free(e);
}
BENCHMARK(BM_UpdateOneChar)
    ->ArgsProduct({{1, 10, 100}, {0, 1}})
    ->ArgNames({"MB", "log"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UpdateOneChar)
    ->ArgsProduct({{1, 100}, {2}})
    ->ArgNames({"MB", "log"})
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

void BM_ReadAll(benchmark::State& state) {
  const std::string text = velta::bench::varied_text(corpus(), state.range(0) << 20, 4);
  vl_engine* e = vl_engine_new();
  vl_object* o = vl_create(e, "doc", text.data(), text.size());
  std::string out(text.size(), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(vl_read(e, o, 0, out.size(), out.data()));
  }
  if (out != text) state.SkipWithError("read back differs");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  vl_engine_free(e);
}
BENCHMARK(BM_ReadAll)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

struct TraceEdit {
  std::uint32_t pos, del;
  std::string ins;
};

std::uint64_t le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

// The edits of a trace (see the data folder's README), or none.
std::vector<TraceEdit> load_trace(const std::string& name, std::string* start) {
  std::ifstream in(std::string(VELTA_DATA_DIR) + "/traces/" + name + ".edits.bin",
                   std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<TraceEdit> edits;
  if (b.size() < 32 || b.compare(0, 8, "EDTRACE1") != 0) return edits;
  const std::uint64_t start_len = le(b, 8, 8), n = le(b, 16, 8);
  std::size_t at = 32;
  *start = b.substr(at, start_len);
  at += start_len;
  for (std::uint64_t i = 0; i < n && at + 16 <= b.size(); ++i) {
    TraceEdit ed{
        static_cast<std::uint32_t>(le(b, at, 4)), static_cast<std::uint32_t>(le(b, at + 4, 4)), {}};
    const std::uint64_t len = le(b, at + 8, 4);
    at += 16;
    ed.ins = b.substr(at, len);
    at += len;
    edits.push_back(std::move(ed));
  }
  return edits;
}

// One version per edit, all kept. peak_RSS_MB is the process's peak: run
// this benchmark alone (--benchmark_filter=Automerge) for its own figure.
void BM_AutomergeReplay(benchmark::State& state) {
  std::string start;
  const std::vector<TraceEdit> edits = load_trace("automerge-paper", &start);
  if (edits.empty()) {
    state.SkipWithError("trace not available");
    return;
  }
  for (auto _ : state) {
    vl_engine* e = vl_engine_new();
    vl_object* o = vl_create(e, "paper", start.data(), start.size());
    for (const TraceEdit& ed : edits) {
      vl_update(e, o, ed.pos, ed.del, ed.ins.data(), ed.ins.size());
    }
    state.PauseTiming();
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peak_RSS_MB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
    state.counters["live_nodes"] = static_cast<double>(vl_ext_nodes_alloced());
    state.counters["store_B"] = static_cast<double>(vl_store_bytes(e->store));
    state.counters["versions"] = o->n_versions();
    vl_engine_free(e);
    state.ResumeTiming();
  }
  state.counters["time/edit"] =
      benchmark::Counter(static_cast<double>(state.iterations() * edits.size()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AutomergeReplay)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
