// Log appends through libvelta.so beside a raw loop writing the very same
// records to a file in the same directory.
//
// One run: a fresh child process saves a one-object store, then makes N
// edits of one vl_update each (an insert of 27 bytes at a spread position,
// so every record is 64 bytes framed), timed by wall clock around the edit
// loop; the same edits on an engine without log give the edit cost alone.
// The raw loop writes the records the library wrote, one fwrite of each
// 64 bytes and one fflush (and one fsync with sync on) per record. The
// three take turns in blocks. Wall clock is the honest clock here: fsync
// waits are the point.
//
// Prints appends/s for the library, for the edits without log and for the
// raw loop, library / raw, and what the log adds per edit beside the raw
// loop's cost per record. The median of three runs.
// Usage: velta_bench_log [dir [edits_sync_off [edits_sync_on]]]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "velta.h"

namespace {

constexpr std::uint64_t kFrame = 64;  // bytes per framed record
constexpr char kInsert[] = "twenty-seven bytes of text ";
static_assert(sizeof kInsert - 1 == 27, "1 kind + 4 name + 24 fields + 27 + 8 frame = 64");

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Edits i in [from, from + n) of "doc" in e, in seconds; -1 when one is
// refused.
double edit_block(vl_engine* e, std::uint64_t from, std::uint64_t n) {
  vl_object* doc = vl_object_open(e, "doc");
  const double t0 = now_s();
  for (std::uint64_t i = from; i < from + n; ++i) {
    const std::uint64_t len = vl_object_bytes(doc, UINT32_MAX);
    if (vl_update(e, doc, (i * 7919) % (len + 1), 0, kInsert, sizeof kInsert - 1) != 0) return -1;
  }
  return now_s() - t0;
}

struct Result {
  double velta_s = 0, edits_s = 0, raw_s = 0;
};

// Runs in a child. The three loops take turns in blocks, so that load from
// other processes and the disk's moods fall on all three alike: a block of
// logged edits, the same block on an engine without log, then the records
// that block wrote (read back untimed) written raw. Writes the Result to
// `out`.
int measure(const std::string& dir, bool sync, std::uint64_t n, int out) {
  const std::string store = dir + "/log_bench.vlt";
  const std::string raw = dir + "/log_bench.raw";
  const std::uint64_t block = sync ? 50 : 1000;
  vl_engine* logged = vl_engine_new();
  vl_engine* plain = vl_engine_new();
  vl_create(logged, "doc", "a small document", 16);
  vl_create(plain, "doc", "a small document", 16);
  if (vl_save(logged, store.c_str()) != 0 || vl_wal_set_sync(logged, sync ? 1 : 0) < 0) return 1;
  const int log_fd = open((store + ".wal").c_str(), O_RDONLY);
  std::FILE* f = std::fopen(raw.c_str(), "wb");
  if (log_fd < 0 || f == nullptr) return 1;
  std::vector<char> records(block * kFrame);
  Result r;
  for (std::uint64_t done = 0; done < n; done += block) {
    const double v = edit_block(logged, done, block);
    const double p = edit_block(plain, done, block);
    if (v < 0 || p < 0 || vl_wal_ok(logged) != 1 ||
        vl_wal_bytes(logged) != (done + block) * kFrame ||
        pread(log_fd, records.data(), records.size(), static_cast<off_t>(32 + done * kFrame)) !=
            static_cast<ssize_t>(records.size())) {
      return 1;
    }
    const double t0 = now_s();
    for (std::uint64_t i = 0; i < block; ++i) {
      if (std::fwrite(records.data() + i * kFrame, 1, kFrame, f) != kFrame || std::fflush(f) != 0 ||
          (sync && fsync(fileno(f)) != 0)) {
        return 1;
      }
    }
    r.raw_s += now_s() - t0;
    r.velta_s += v;
    r.edits_s += p;
  }
  std::fclose(f);
  close(log_fd);
  vl_engine_free(logged);
  vl_engine_free(plain);
  std::filesystem::remove(raw);
  std::filesystem::remove(store);
  std::filesystem::remove(store + ".wal");
  return write(out, &r, sizeof r) == static_cast<ssize_t>(sizeof r) ? 0 : 1;
}

bool run_child(const std::string& dir, bool sync, std::uint64_t n, Result* r) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    _exit(measure(dir, sync, n, fds[1]));
  }
  close(fds[1]);
  const bool got = read(fds[0], r, sizeof *r) == static_cast<ssize_t>(sizeof *r);
  close(fds[0]);
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && got;
}

int report(const std::string& dir, bool sync, std::uint64_t n) {
  std::vector<Result> runs(3);
  for (Result& r : runs) {
    if (!run_child(dir, sync, n, &r)) {
      std::printf("sync %-3s  failed\n", sync ? "on" : "off");
      return 1;
    }
  }
  auto median = [&](double Result::*field) {
    std::vector<double> v;
    for (const Result& r : runs) v.push_back(static_cast<double>(n) / (r.*field));
    std::sort(v.begin(), v.end());
    return v[1];
  };
  const double velta = median(&Result::velta_s);
  const double edits = median(&Result::edits_s);
  const double raw = median(&Result::raw_s);
  // What the log adds to an edit, beside what the raw loop pays per record.
  const double log_us = (1 / velta - 1 / edits) * 1e6;
  std::printf(
      "sync %-3s %6llu edits  velta %8.0f appends/s  edits alone %8.0f/s  raw fwrite+fflush%s "
      "%8.0f/s  ratio %.2f  |  log %.2f us/append, raw %.2f us/record\n",
      sync ? "on" : "off", static_cast<unsigned long long>(n), velta, edits, sync ? "+fsync" : "",
      raw, velta / raw, log_us, 1e6 / raw);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : "/tmp";
  const std::uint64_t n_off = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200000;
  const std::uint64_t n_on = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 2000;
  std::string tmpl = base + "/velta_log_bench_XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  int rc = report(tmpl, false, n_off);
  rc |= report(tmpl, true, n_on);
  std::filesystem::remove_all(tmpl);
  return rc;
}
