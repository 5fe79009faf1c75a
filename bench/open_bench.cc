// Time from vl_open to the first byte read, for large mappable stores,
// beside mapping the same file and touching one byte of it.
//
// Stores (all saved with VL_SAVE_MAPPABLE, built once per run):
//  - single: one object of about 25 million tokens, a file of ~100 MB;
//  - stb xK: the shared file history replayed K times over (one object per
//    pass, one vl_update per hunk, every version kept);
//  - each shared editing trace replayed with one vl_update per edit.
// Each measurement runs in a fresh process (the program re-executed, so
// nothing of the library touched before and no heap inherited from the
// process that built the stores: a forked child's allocations would reuse
// the parent's freed pages and pay a copy per page), files warm in the
// page cache; the clock is wall time
// from just before vl_open to just after a 1-byte vl_read of the newest
// version of the last object made, and the CPU time of the same span. The
// median of nine. Baselines of the same run, each in a fresh child too:
// mapping the file and touching one byte, and mapping it and reading every
// byte once (what an open whose cost follows the file's size would pay at
// least); the ratio is velta's time over the read-once baseline.
// Usage: velta_bench_open [dir]   (stores are kept in dir when given)
//        velta_bench_open --child FD PATH NAME MODE   (one measurement)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "license_corpus.h"
#include "velta.h"

namespace {

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::uint64_t le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

// Applies every edit of an EDTRACE1 file to a new object `name` in e, one
// vl_update each. False when the file is absent or malformed.
bool replay_into(vl_engine* e, const std::string& path, const std::string& name) {
  std::ifstream in(path, std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 32 || b.compare(0, 8, "EDTRACE1") != 0) return false;
  const std::uint64_t start_len = le(b, 8, 8), n = le(b, 16, 8);
  std::size_t at = 32;
  if (start_len > b.size() - at) return false;
  vl_object* o = vl_create(e, name.c_str(), b.data() + at, start_len);
  at += start_len;
  for (std::uint64_t i = 0; i < n && o != nullptr; ++i) {
    if (b.size() - at < 16) return false;
    const std::uint64_t pos = le(b, at, 4), del = le(b, at + 4, 4), len = le(b, at + 8, 4);
    at += 16;
    if (len > b.size() - at) return false;
    if (vl_update(e, o, pos, del, b.data() + at, len) != 0) return false;
    at += len;
  }
  return o != nullptr;
}

struct Store {
  std::string label;
  std::string path;
};

// Builds (unless already present) the store at `path`; false when its
// input is missing.
bool build(const std::string& path, const std::string& kind, int passes) {
  if (std::filesystem::exists(path)) return true;
  vl_engine* e = vl_engine_new();
  bool ok = true;
  if (kind == "single") {
    const std::string text = velta::bench::vocabulary_words(12500000, 0x9E3779B97F4A7C15ull);
    ok = vl_create(e, "single", text.data(), text.size()) != nullptr;
  } else {
    for (int k = 0; k < passes && ok; ++k) {
      ok = replay_into(e, std::string(VELTA_DATA_DIR) + "/" + kind, "pass " + std::to_string(k));
    }
  }
  ok = ok && vl_save_ex(e, path.c_str(), VL_SAVE_MAPPABLE) == 0;
  vl_engine_free(e);
  std::filesystem::remove(path + ".wal");
  return ok;
}

double cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

enum class Mode { kVelta, kMapTouch, kMapRead };

struct Times {
  double wall = -1;  // seconds
  double cpu = -1;
};

// Child: from vl_open to the first byte read, or from open to a touched
// byte (or every byte read) of a mapping of the file. wall < 0 on failure.
Times time_to_first_byte(const std::string& path, const std::string& name, Mode mode) {
  const double t0 = now_s();
  const double c0 = cpu_s();
  Times t;
  if (mode != Mode::kVelta) {
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return t;
    const auto len = static_cast<std::size_t>(st.st_size);
    void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return t;
    const auto* b = static_cast<const std::uint64_t*>(p);
    std::uint64_t sum = b[8];
    if (mode == Mode::kMapRead) {
      for (std::size_t i = 0; i < len / 8; ++i) sum += b[i];
    }
    volatile std::uint64_t sink = sum;
    (void)sink;
    t = {now_s() - t0, cpu_s() - c0};
    munmap(p, len);
    return t;
  }
  vl_engine* e = vl_open_ex(path.c_str(), VL_OPEN_READONLY);
  if (e == nullptr) return t;
  vl_object* o = vl_object_open(e, name.c_str());
  char c = 0;
  if (vl_read(e, o, 0, 1, &c) != 1) return t;
  t = {now_s() - t0, cpu_s() - c0};
  if (vl_store_is_mapped(e) != 1) return Times{};
  vl_close(e);
  return t;
}

// Medians over fresh children, in milliseconds; wall < 0 on failure.
Times median_ms(const std::string& path, const std::string& name, Mode mode) {
  constexpr int kRuns = 9;
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int i = 0; i < kRuns; ++i) {
    int fds[2];
    if (pipe(fds) != 0) return Times{};
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      const std::string m = std::to_string(static_cast<int>(mode));
      execl("/proc/self/exe", "velta_bench_open", "--child", fd.c_str(), path.c_str(), name.c_str(),
            m.c_str(), static_cast<char*>(nullptr));
      _exit(1);
    }
    close(fds[1]);
    Times t;
    if (read(fds[0], &t, sizeof t) != sizeof t) t = Times{};
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (t.wall < 0) return Times{};
    wall.push_back(t.wall * 1e3);
    cpu.push_back(t.cpu * 1e3);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--child") {
    const int fd = std::atoi(argv[2]);
    const Times t = time_to_first_byte(argv[3], argv[4], static_cast<Mode>(std::atoi(argv[5])));
    return write(fd, &t, sizeof t) == sizeof t ? 0 : 1;
  }
  const bool keep = argc > 1;
  std::string dir = keep ? argv[1] : "/tmp/velta_open_bench_XXXXXX";
  if (keep) {
    std::filesystem::create_directories(dir);
  } else if (mkdtemp(dir.data()) == nullptr) {
    return 1;
  }
  struct StoreCase {
    const char* label;
    const char* kind;
    int passes;
  };
  const StoreCase cases[] = {
      {"single ~100 MB", "single", 1},
      {"stb history x4", "history/stb_truetype.edits.bin", 4},
      {"stb history x10", "history/stb_truetype.edits.bin", 10},
      {"sveltecomponent", "traces/sveltecomponent.edits.bin", 1},
      {"automerge-paper", "traces/automerge-paper.edits.bin", 1},
  };
  int rc = 0;
  for (const StoreCase& s : cases) {
    const std::string path = dir + "/" + s.label + ".vlt";
    if (!build(path, s.kind, s.passes)) {
      std::printf("%-18s input not available\n", s.label);
      continue;
    }
    const std::string last = s.passes == 1 && std::string(s.kind) == "single"
                                 ? "single"
                                 : "pass " + std::to_string(s.passes - 1);
    const Times velta = median_ms(path, last, Mode::kVelta);
    const Times touch = median_ms(path, last, Mode::kMapTouch);
    const Times once = median_ms(path, last, Mode::kMapRead);
    const double mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
    if (velta.wall < 0 || touch.wall < 0 || once.wall < 0) {
      std::printf("%-18s %7.1f MB  open failed\n", s.label, mb);
      rc = 1;
      continue;
    }
    std::printf(
        "%-18s %6.1f MB  open to first byte %7.2f ms (cpu %7.2f)  mmap+touch %6.3f ms  "
        "mmap+read once %7.2f ms (cpu %7.2f)  ratio %5.2f\n",
        s.label, mb, velta.wall, velta.cpu, touch.wall, once.wall, once.cpu,
        velta.wall / once.wall);
  }
  if (!keep) std::filesystem::remove_all(dir);
  return rc;
}
