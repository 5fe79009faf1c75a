// Property: the snapshot loader turns any bytes into an engine or into
// nothing, never crashes; every version of an engine it returns reads back
// within bounds, and the engine saves and loads again with the same objects.
// The input is loaded both copied and as if mapped (borrowing tokens). A
// mapped load takes trailer tokens on trust, so an engine borrowed from a
// damaged trailer may save a file the copying load refuses; only copied
// loads must survive the round trip. Each input is also tried with its
// header and body checksums made to match, so mutations reach the parser
// behind them.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "persist/crc32.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "velta.h"

namespace {

// Save target, one per process.
const std::string& scratch_path() {
  static const std::string path = [] {
    char dir[] = "/tmp/velta_fuzz_snapXXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    return std::string(dir) + "/s";
  }();
  return path;
}

// Reads a bounded window at the start and at the end of every version.
void read_all(vl_engine* e) {
  static std::vector<char> buf(4096);
  for (std::uint32_t i = 0; i < vl_engine_objects(e); ++i) {
    vl_object* o = vl_engine__obj(e, i);
    for (std::uint32_t v = 0; v < vl_object_versions(o); ++v) {
      const std::uint64_t n = vl_object_bytes(o, v);
      const std::uint64_t got = vl_read_version(e, o, v, 0, buf.size(), buf.data());
      if (got > buf.size() || got > n) std::abort();
      if (n > buf.size()) vl_read_version(e, o, v, n - buf.size(), buf.size(), buf.data());
    }
  }
}

std::vector<std::uint8_t> slurp(const std::string& path) {
  std::vector<std::uint8_t> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  std::uint8_t block[65536];
  std::size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + n);
  std::fclose(f);
  return out;
}

void exercise(vl_engine* e, int options, bool must_reload) {
  read_all(e);
  const std::string& path = scratch_path();
  if (vl_save_ex(e, path.c_str(), options) != 0) return;  // only ENOMEM/EOVERFLOW-like refusals
  if (!must_reload) return;
  const std::vector<std::uint8_t> saved = slurp(path);
  std::uint64_t gen = 0;
  vl_engine* again = snap_load_ex(saved.data(), saved.size(), &gen, nullptr);
  if (again == nullptr) std::abort();  // what was accepted must survive save and load
  if (vl_engine_objects(again) != vl_engine_objects(e)) std::abort();
  for (std::uint32_t i = 0; i < vl_engine_objects(e); ++i) {
    if (vl_object_versions(vl_engine__obj(e, i)) != vl_object_versions(vl_engine__obj(again, i))) {
      std::abort();
    }
  }
  vl_engine_free(again);
}

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The input with a matching body CRC (uncompressed payloads) and header CRC.
std::vector<std::uint8_t> resealed(const std::uint8_t* data, std::size_t size) {
  using namespace velta::persist;
  std::vector<std::uint8_t> f(data, data + size);
  if (size < kSnapHeaderSize) return f;
  const SnapHeader h = snap_decode_header(f.data());
  const std::uint64_t body = h.total_len == 0 ? h.stored_len : h.body_len;
  if ((h.flags & (kSnapFlagZlib | kSnapFlagZstd)) == 0 && body <= size - kSnapHeaderSize) {
    put32(f.data() + kSnapOffBodyCrc, crc32_update(0, f.data() + kSnapHeaderSize, body));
  }
  put32(f.data() + kSnapOffHeaderCrc, crc32_update(0, f.data(), kSnapHeaderCrcSpan));
  return f;
}

}  // namespace

// Also called by the seed replay of the plain test build.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int options = size > 0 ? data[size - 1] & 3 : 0;
  std::uint64_t gen = 0;
  if (vl_engine* e = snap_load_ex(data, size, &gen, nullptr)) {
    exercise(e, options, true);
    vl_engine_free(e);
  }
  const std::vector<std::uint8_t> fixed = resealed(data, size);
  if (vl_engine* e = snap_load_ex(fixed.data(), fixed.size(), &gen, nullptr)) {
    exercise(e, options, true);
    vl_engine_free(e);
  }
  // As if mapped: an aligned copy stands in for the mapping, which must
  // outlive the engine.
  std::vector<std::uint32_t> aligned((size + 3) / 4);
  if (size > 0) std::memcpy(aligned.data(), data, size);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(aligned.data());
  if (vl_engine* e = snap_load_ex(bytes, size, &gen, bytes)) {
    exercise(e, options | VL_SAVE_UNCOMPRESSED, false);
    vl_engine_free(e);
  }
  return 0;
}
