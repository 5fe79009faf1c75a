// Snapshot save and load of a store holding N MB of real text (manual pages
// and documentation found on the machine, decompressed at run time) cut into
// objects of about 1 MB, plus 1,000 edit versions spread over them; for
// every layout: time, file size and the process's peak resident memory
// during the call (VmHWM, reset before each call through clear_refs).
//
// Args: {layout, MB}; layout 0 = compressed (zstd -19, zlib fallback),
// 1 = mappable, 2 = plain. zstd at level 19 dominates the compressed save.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "persist/snapshot_loader.h"
#include "velta.h"

namespace {

constexpr int kEdits = 1000;

// Scratch directories of the saved files, removed when the program ends.
struct ScratchDirs {
  std::vector<std::string> dirs;
  ~ScratchDirs() {
    std::error_code ec;
    for (const std::string& d : dirs) std::filesystem::remove_all(d, ec);
  }
} g_scratch;
constexpr std::size_t kObjectBytes = 1 << 20;

// Appends the text of `path` (gzip or plain) to `out`, up to `limit` bytes.
void append_file(const std::string& path, std::string& out, std::size_t limit) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) return;
  char buf[65536];
  int n;
  while (out.size() < limit && (n = gzread(f, buf, sizeof buf)) > 0) {
    out.append(buf, static_cast<std::size_t>(n));
  }
  gzclose(f);
}

void collect(const std::filesystem::path& dir, std::string& out, std::size_t limit) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(
           dir, std::filesystem::directory_options::skip_permission_denied, ec);
       it != std::filesystem::recursive_directory_iterator() && out.size() < limit;
       it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec) && !it->is_symlink(ec))
      append_file(it->path().string(), out, limit);
  }
}

std::string real_text(std::size_t limit) {
  std::string text;
  text.reserve(limit);
  collect(VELTA_DATA_DIR, text, limit);
  collect("/usr/share/man", text, limit);
  collect("/usr/share/doc", text, limit);
  collect("/usr/share/common-licenses", text, limit);
  return text;
}

struct EngineFree {
  void operator()(vl_engine* e) const noexcept { vl_engine_free(e); }
};
using Engine = std::unique_ptr<vl_engine, EngineFree>;

struct Store {
  Engine engine;
  std::uint64_t text_bytes = 0;
  std::string dir;
};

// One store per size, built once.
Store& store_of(std::size_t mb) {
  static std::map<std::size_t, Store> stores;
  Store& s = stores[mb];
  if (s.engine) return s;
  const std::string text = real_text(mb << 20);
  s.text_bytes = text.size();
  s.engine.reset(vl_engine_new());
  std::vector<vl_object*> objects;
  for (std::size_t at = 0, i = 0; at < text.size(); ++i) {
    std::size_t end = std::min(text.size(), at + kObjectBytes);
    const std::size_t nl = text.find('\n', end);
    if (nl != std::string::npos && nl - end < 4096) end = nl + 1;
    objects.push_back(
        vl_create(s.engine.get(), ("doc" + std::to_string(i)).c_str(), text.data() + at, end - at));
    at = end;
  }
  std::mt19937_64 rng(42);
  for (int i = 0; i < kEdits && !objects.empty(); ++i) {
    vl_object* o = objects[rng() % objects.size()];
    const std::uint64_t n = vl_object_bytes(o, 0xFFFFFFFF);
    const std::uint64_t src = rng() % text.size();
    const std::uint64_t ins = std::min<std::uint64_t>(rng() % 40, text.size() - src);
    vl_update(s.engine.get(), o, n == 0 ? 0 : rng() % n, rng() % 20, text.data() + src, ins);
  }
  char tmpl[] = "/tmp/velta_snap_benchXXXXXX";
  s.dir = mkdtemp(tmpl);
  g_scratch.dirs.push_back(s.dir);
  return s;
}

int options_of(std::int64_t layout) {
  return layout == 1 ? VL_SAVE_MAPPABLE : layout == 2 ? VL_SAVE_UNCOMPRESSED : 0;
}

std::string file_of(const Store& s, std::int64_t layout) {
  return s.dir + "/snap" + std::to_string(layout);
}

// Resets the peak-RSS mark of this process; the next peak_mb() reports the
// highest resident size since.
void reset_peak() {
  const int fd = open("/proc/self/clear_refs", O_WRONLY);
  if (fd >= 0) {
    (void)!write(fd, "5", 1);
    close(fd);
  }
}

double status_mb(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  double kb = 0;
  const std::size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0) kb = std::atof(line + n + 1);
  }
  std::fclose(f);
  return kb / 1024.0;
}

double file_mb(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / (1 << 20) : 0;
}

void BM_SnapshotSave(benchmark::State& state) {
  Store& s = store_of(static_cast<std::size_t>(state.range(1)));
  const std::string path = file_of(s, state.range(0));
  const double rss = status_mb("VmRSS:");
  double peak = 0;
  for (auto _ : state) {
    reset_peak();
    if (vl_save_ex(s.engine.get(), path.c_str(), options_of(state.range(0))) != 0) {
      state.SkipWithError("save failed");
      break;
    }
    peak = status_mb("VmHWM:");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(s.text_bytes * state.iterations()));
  state.counters["text_MB"] = static_cast<double>(s.text_bytes) / (1 << 20);
  state.counters["file_MB"] = file_mb(path);
  state.counters["rss_before_MB"] = rss;
  state.counters["peak_MB"] = peak;
}

// Loads the file as open does: read whole into memory, or mapped (`mapped`).
// The caller frees the engine.
vl_engine* load_once(const std::string& path, bool mapped, benchmark::State& state) {
  const int fd = open(path.c_str(), O_RDONLY);
  struct stat st;
  fstat(fd, &st);
  const auto len = static_cast<std::size_t>(st.st_size);
  std::uint64_t gen = 0;
  vl_engine* e = nullptr;
  if (mapped) {
    void* map = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
      state.SkipWithError("mmap");
      close(fd);
      return nullptr;
    }
    e = snap_load_ex(static_cast<const std::uint8_t*>(map), len, &gen, map);
    if (e != nullptr) {
      vl_store__set_map(vl_engine_store(e), map, len, nullptr);
    } else {
      munmap(map, len);
    }
  } else {
    std::vector<std::uint8_t> bytes(len);
    if (::read(fd, bytes.data(), len) != static_cast<ssize_t>(len)) state.SkipWithError("read");
    e = snap_load_ex(bytes.data(), len, &gen, nullptr);
  }
  close(fd);
  if (e == nullptr) state.SkipWithError("load failed");
  return e;
}

void BM_SnapshotLoad(benchmark::State& state, bool mapped) {
  Store& s = store_of(static_cast<std::size_t>(state.range(1)));
  const std::string path = file_of(s, state.range(0));
  if (file_mb(path) == 0 && vl_save_ex(s.engine.get(), path.c_str(), options_of(state.range(0)))) {
    state.SkipWithError("save failed");
    return;
  }
  const double rss = status_mb("VmRSS:");
  double peak = 0;
  for (auto _ : state) {
    reset_peak();
    vl_engine* e = load_once(path, mapped, state);
    benchmark::DoNotOptimize(e);
    peak = status_mb("VmHWM:");
    state.PauseTiming();
    vl_engine_free(e);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(s.text_bytes * state.iterations()));
  state.counters["file_MB"] = file_mb(path);
  state.counters["rss_before_MB"] = rss;
  state.counters["peak_MB"] = peak;
}

void BM_SnapshotLoadRead(benchmark::State& state) { BM_SnapshotLoad(state, false); }
void BM_SnapshotLoadMapped(benchmark::State& state) { BM_SnapshotLoad(state, true); }

void layouts(benchmark::internal::Benchmark* b) {
  for (std::int64_t mb : {20, 100}) {
    for (std::int64_t layout : {2, 1, 0}) b->Args({layout, mb});
  }
  b->ArgNames({"layout", "MB"})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
}

BENCHMARK(BM_SnapshotSave)->Apply(layouts);
BENCHMARK(BM_SnapshotLoadRead)->Apply(layouts);
BENCHMARK(BM_SnapshotLoadMapped)
    ->Args({1, 20})
    ->Args({1, 100})
    ->ArgNames({"layout", "MB"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
