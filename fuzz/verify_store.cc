// Property: deep verify of any store bytes never crashes, never changes a
// file, and never calls sound what does not open: a snapshot the copying
// loader refuses verifies as damaged, and a store that verifies sound opens
// with as many objects as the report counts, replaying as many records.
//
// Input: byte 0 holds options; bit 0 reseals the header CRC and (for an
// uncompressed payload) the body CRC so mutations reach the parser behind
// them; bit 1 splits off a log: the u16 at bytes 1..2 is its length, taken
// from the end; bit 2 gives that log a valid header for the snapshot's
// generation, so its records are scanned and replayed.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "persist/crc32.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "persist/wal.h"
#include "velta.h"

namespace {

namespace per = velta::persist;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "verify_store: %s\n", what);
  abort();
}

std::string make_dir(std::string tmpl) { return mkdtemp(tmpl.data()) ? tmpl : std::string(); }

// The folder every input is written to, removed at exit.
struct Dir {
  std::string dir;
  std::string path;
  Dir() {
    // tmpfs when there is one: an open syncs the log it starts or cuts.
    dir = make_dir("/dev/shm/velta_verify_fuzz_XXXXXX");
    if (dir.empty()) dir = make_dir("/tmp/velta_verify_fuzz_XXXXXX");
    if (dir.empty()) fail("mkdtemp");
    path = dir + "/s";
  }
  ~Dir() { std::filesystem::remove_all(dir); }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
};

void put(const std::string& path, const std::uint8_t* data, std::size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || (n > 0 && std::fwrite(data, 1, n, f) != n) || std::fclose(f) != 0) fail("write");
}

// Every file of the folder with its bytes.
std::vector<std::pair<std::string, std::string>> listing(const std::string& dir) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    out.emplace_back(e.path().filename().string(),
                     std::string(std::istreambuf_iterator<char>(in), {}));
  }
  std::sort(out.begin(), out.end());
  return out;
}

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void reseal(std::vector<std::uint8_t>& f) {
  if (f.size() < per::kSnapHeaderSize) return;
  const per::SnapHeader h = per::snap_decode_header(f.data());
  const std::uint64_t body = h.body_len;
  if ((h.flags & (per::kSnapFlagZlib | per::kSnapFlagZstd)) == 0 &&
      body <= f.size() - per::kSnapHeaderSize) {
    put32(f.data() + per::kSnapOffBodyCrc,
          per::crc32_update(0, f.data() + per::kSnapHeaderSize, body));
  }
  put32(f.data() + per::kSnapOffHeaderCrc, per::crc32_update(0, f.data(), per::kSnapHeaderCrcSpan));
}

}  // namespace

// Also called by the seed replay of the plain test build.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Dir dir;
  if (size < 3) return 0;
  const std::uint8_t opts = data[0];
  std::size_t log_len = (opts & 2) != 0 ? (data[1] | std::size_t{data[2]} << 8) : 0;
  log_len = std::min(log_len, size - 3);
  std::vector<std::uint8_t> snap(data + 3, data + size - log_len);
  std::vector<std::uint8_t> log(data + size - log_len, data + size);
  if ((opts & 1) != 0) reseal(snap);

  const std::string wal = dir.path + ".wal";
  put(dir.path, snap.data(), snap.size());
  std::filesystem::remove(wal);
  if ((opts & 2) != 0) {
    if ((opts & 4) != 0 && log.size() >= 32 && snap.size() >= per::kSnapHeaderSize) {
      std::uint8_t h[32];
      per::wal_encode_header(h, per::snap_decode_header(snap.data()).generation);
      std::copy(h, h + 32, log.begin());
    }
    put(wal, log.data(), log.size());
  }

  const auto before = listing(dir.dir);
  vl_verify_report rep;
  errno = 0;
  const int rc = vl_verify_store(dir.path.c_str(), &rep);
  if (listing(dir.dir) != before) fail("verify changed a file");
  if (rc == -1) {
    if (errno != ENOMEM) fail("verify could not look at a readable store");
    return 0;
  }
  if (rc != 0 && rc != VL_VERIFY_DAMAGED) fail("unknown result");
  if ((rc == VL_VERIFY_DAMAGED) != (rep.damaged == 1)) fail("result and report disagree");

  vl_engine* loaded = per::snap_load_ex(snap.data(), snap.size(), nullptr, nullptr);
  if (!loaded && errno != ENOMEM && rc == 0) fail("a snapshot the loader refuses verified sound");
  vl_engine_free(loaded);
  if (rc != 0) return 0;

  vl_engine* e = vl_open(dir.path.c_str());
  if (!e) fail("a store that verified sound does not open");
  if (vl_engine_objects(e) != rep.objects) fail("open gives another object count");
  if (rep.log == VL_VERIFY_LOG_SOUND && vl_wal_replayed(e) != rep.log_replayed) {
    fail("open replays another record count");
  }
  vl_close(e);
  return 0;
}
