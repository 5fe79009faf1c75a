// Replay of real editing sessions through libvelta.so, one vl_update per
// edit and every version kept, beside a plain-buffer replay of the same
// edits (memmove on one growing array, no history) in the same process.
//
// Conditions: each trace runs in a fresh child process (nothing of the
// library touched before it), the program links the shared library, the
// clock is the thread's CPU time around the edit loop only, and memory is
// the growth of the resident set over the loop, so the first touch of every
// page the history needs is paid inside the timed region.
//
// Prints per trace: us/edit for both replays and their ratio, live extent
// nodes and resident bytes per kept version, the chunk store's bytes, and
// the page faults taken per edit (first touches of new memory).
// Usage: velta_bench_replay [trace ...]   (default: the shared traces)
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "velta.h"

namespace {

struct Edit {
  std::uint32_t pos, del, ins_len;
  const char* ins;
};

struct Trace {
  std::string bytes;  // the whole file; edits point into it
  std::string start;
  std::vector<Edit> edits;
};

std::uint64_t le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

// EDTRACE1 (see the data folder's README); false when absent or malformed.
bool load(const std::string& path, Trace* t) {
  std::ifstream in(path, std::ios::binary);
  t->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const std::string& b = t->bytes;
  if (b.size() < 32 || b.compare(0, 8, "EDTRACE1") != 0) return false;
  const std::uint64_t start_len = le(b, 8, 8), n = le(b, 16, 8);
  std::size_t at = 32;
  if (start_len > b.size() - at) return false;
  t->start = b.substr(at, start_len);
  at += start_len;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (b.size() - at < 16) return false;
    Edit e{static_cast<std::uint32_t>(le(b, at, 4)), static_cast<std::uint32_t>(le(b, at + 4, 4)),
           static_cast<std::uint32_t>(le(b, at + 8, 4)), nullptr};
    at += 16;
    if (e.ins_len > b.size() - at) return false;
    e.ins = b.data() + at;
    at += e.ins_len;
    t->edits.push_back(e);
  }
  return true;
}

std::uint64_t minor_faults() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<std::uint64_t>(ru.ru_minflt);
}

double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::uint64_t resident_bytes() {
  unsigned long size = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<std::uint64_t>(resident) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// The same splices on one array; returns seconds. The final text is
// checked against the trace's end text by the caller.
double plain_replay(const Trace& t, std::string* out) {
  std::vector<char> buf(t.start.begin(), t.start.end());
  buf.reserve(1 << 20);
  const double t0 = thread_cpu_s();
  for (const Edit& e : t.edits) {
    const std::size_t size = buf.size();
    const std::size_t pos = e.pos < size ? e.pos : size;
    const std::size_t del = e.del < size - pos ? e.del : size - pos;
    const std::size_t tail = size - pos - del;
    if (e.ins_len > del) buf.resize(size + e.ins_len - del);
    std::memmove(buf.data() + pos + e.ins_len, buf.data() + pos + del, tail);
    std::memcpy(buf.data() + pos, e.ins, e.ins_len);
    if (e.ins_len < del) buf.resize(size - (del - e.ins_len));
  }
  const double s = thread_cpu_s() - t0;
  out->assign(buf.begin(), buf.end());
  return s;
}

int run(const std::string& name) {
  Trace t;
  if (!load(std::string(VELTA_DATA_DIR) + "/traces/" + name + ".edits.bin", &t)) {
    std::printf("%-18s trace not available\n", name.c_str());
    return 0;
  }
  std::string plain_text;
  const double plain_s = plain_replay(t, &plain_text);

  vl_engine* e = vl_engine_new();
  vl_object* o = vl_create(e, "doc", t.start.data(), t.start.size());
  if (e == nullptr || o == nullptr) return 1;
  const std::uint64_t nodes0 = vl_ext_nodes_alloced();
  const std::uint64_t store0 = vl_store_bytes(vl_engine_store(e));
  const std::uint64_t rss0 = resident_bytes();
  const std::uint64_t faults0 = minor_faults();
  const double t0 = thread_cpu_s();
  for (const Edit& ed : t.edits) {
    if (vl_update(e, o, ed.pos, ed.del, ed.ins, ed.ins_len) != 0) return 1;
  }
  const double velta_s = thread_cpu_s() - t0;
  const double faults = static_cast<double>(minor_faults() - faults0);
  const std::uint64_t rss1 = resident_bytes();

  const double n = static_cast<double>(t.edits.size());
  const double kept = static_cast<double>(vl_object_versions(o) - 1);
  const double nodes = static_cast<double>(vl_ext_nodes_alloced() - nodes0);
  const double store = static_cast<double>(vl_store_bytes(vl_engine_store(e)) - store0);
  const double rss = static_cast<double>(rss1 - rss0);

  std::string text(plain_text.size(), '\0');
  const std::uint64_t got = vl_read(e, o, 0, text.size(), text.data());
  const bool same = got == plain_text.size() && text == plain_text;

  std::printf(
      "%-18s %8.0f edits  velta %6.3f us/edit (%7.1f ms)  plain %6.3f us/edit  ratio %6.1fx"
      "  %5.1f nodes/version  %6.0f B/version (nodes %5.0f, store %4.0f)  %4.2f faults/edit%s\n",
      name.c_str(), n, velta_s / n * 1e6, velta_s * 1e3, plain_s / n * 1e6, velta_s / plain_s,
      nodes / kept, rss / kept, nodes * static_cast<double>(vl_ext_node_size()) / kept,
      store / kept, faults / n, same ? "" : "  TEXT DIFFERS");
  vl_engine_free(e);
  return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) names.emplace_back(argv[i]);
  if (names.empty()) names = {"automerge-paper", "sveltecomponent"};
  int rc = 0;
  for (const std::string& name : names) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      const int r = run(name);
      std::fflush(stdout);
      _exit(r);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) rc = 1;
  }
  return rc;
}
