// Helpers shared by the snapshot tests: a temporary directory fixture, whole
// file I/O, a little-endian builder for hand-made bodies, and a wrapper that
// puts a valid header in front of a body.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "persist/snapshot_format.h"
#include "util/fnv.h"
#include "util/holders.h"
#include "velta.h"

namespace velta::snaptest {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory per test, removed with everything in it on teardown.
class SnapshotDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(VELTA_TEST_TMP);
    std::string tmpl = std::string(VELTA_TEST_TMP) + "/snapXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

inline std::uint32_t get32(const Bytes& b, std::size_t off) {
  return std::uint32_t{b[off]} | std::uint32_t{b[off + 1]} << 8 | std::uint32_t{b[off + 2]} << 16 |
         std::uint32_t{b[off + 3]} << 24;
}
inline std::uint64_t get64(const Bytes& b, std::size_t off) {
  return get32(b, off) | std::uint64_t{get32(b, off + 4)} << 32;
}

// Little-endian builder for hand-made bodies.
struct Builder {
  Bytes v;
  Builder& u8(std::uint8_t x) {
    v.push_back(x);
    return *this;
  }
  Builder& u32(std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
    return *this;
  }
  Builder& u64(std::uint64_t x) {
    u32(static_cast<std::uint32_t>(x));
    return u32(static_cast<std::uint32_t>(x >> 32));
  }
  Builder& raw(const void* p, std::size_t n) {
    const auto* c = static_cast<const std::uint8_t*>(p);
    v.insert(v.end(), c, c + n);
    return *this;
  }
  Builder& name(const std::string& s) {
    u8(static_cast<std::uint8_t>(s.size()));
    return raw(s.data(), s.size());
  }
  Builder& leaf(std::uint64_t key, std::uint32_t off, std::uint32_t count, std::uint64_t bytes,
                std::uint32_t prio) {
    return u8(0).u64(key).u32(off).u32(count).u64(bytes).u32(prio);
  }
  Builder& inner(std::uint32_t l, std::uint32_t r, std::uint32_t prio) {
    return u8(1).u32(l).u32(r).u32(prio);
  }
  Builder& version(std::uint32_t root, std::uint64_t tokens, std::uint64_t bytes,
                   std::uint64_t dict_version = 0) {
    return u32(root).u64(tokens).u64(bytes).u64(dict_version);
  }
  Builder& stats(std::uint64_t seed = 0) {
    for (int i = 0; i < 6; ++i) u64(seed + static_cast<std::uint64_t>(i));
    return *this;
  }
};

inline std::uint32_t crc(const std::uint8_t* p, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

// Recomputes the header CRC after a test edits header fields.
inline void reseal_header(Bytes& file) {
  const std::uint32_t c = crc(file.data(), velta::persist::kSnapHeaderCrcSpan);
  for (int i = 0; i < 4; ++i) {
    file[velta::persist::kSnapOffHeaderCrc + i] = static_cast<std::uint8_t>(c >> (8 * i));
  }
}

inline void put64_at(Bytes& b, std::size_t off, std::uint64_t x) {
  for (int i = 0; i < 8; ++i) b[off + i] = static_cast<std::uint8_t>(x >> (8 * i));
}
inline void put32_at(Bytes& b, std::size_t off, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(x >> (8 * i));
}

// A whole file: valid header for `body` stored plain (flags 0), or
// compressed with zlib (1) or zstd (2); `trailer` follows a mappable body.
inline Bytes make_file(const Bytes& body, std::uint32_t flags = 0, std::uint64_t generation = 7,
                       const Bytes& trailer = {}) {
  using namespace velta::persist;
  Bytes payload = body;
  if (flags == kSnapFlagZlib) {
    uLongf n = compressBound(body.size());
    payload.assign(n, 0);
    compress2(payload.data(), &n, body.data(), body.size(), 6);
    payload.resize(n);
  } else if (flags == kSnapFlagZstd) {
    payload.assign(ZSTD_compressBound(body.size()), 0);
    payload.resize(ZSTD_compress(payload.data(), payload.size(), body.data(), body.size(), 3));
  }
  payload.insert(payload.end(), trailer.begin(), trailer.end());
  Bytes f(kSnapHeaderSize, 0);
  std::copy(kSnapMagic, kSnapMagic + kSnapMagicLen, f.begin());
  put32_at(f, kSnapOffVersion, kSnapVersion);
  put32_at(f, kSnapOffFlags, flags);
  put64_at(f, kSnapOffGeneration, generation);
  put64_at(f, kSnapOffStoredLen, payload.size());
  put32_at(f, kSnapOffBodyCrc, crc(body.data(), body.size()));
  put64_at(f, kSnapOffTotalLen, body.size() + trailer.size());
  put64_at(f, kSnapOffBodyLen, body.size());
  put32_at(f, kSnapOffTrailerCrc, trailer.empty() ? 0 : crc(trailer.data(), trailer.size()));
  reseal_header(f);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

// The chunk key of `toks`: the string hash over the little-endian ids, with
// 0 kept for empty slots.
inline std::uint64_t chunk_key(const std::vector<std::uint32_t>& toks) {
  const std::uint64_t h =
      velta::fnv1a(reinterpret_cast<const std::uint8_t*>(toks.data()), 4 * toks.size());
  return h == 0 ? 1 : h;
}

}  // namespace velta::snaptest
