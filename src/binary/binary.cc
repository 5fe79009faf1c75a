// vl_create_binary and vl_bin_chunk_count: objects of raw bytes.
//
// Each chunk is put into the engine's store as byte tokens (0xFFFFFF00 +
// b), widened straight into the store's memory when new (see
// store::put_byte_tokens). Their keys, the file-format FNV-1a over the
// 4-byte tokens, are hashed from the bytes themselves, several chunks side
// by side, one multiply per byte (see store::byte_chunk_keys). The
// object's one version is the tree over the chunk leaves, dict_version 0.
// The binary record carries the data and the normalised options, so
// replay cuts the very same chunks. No engine counter changes.
#include "binary/binary.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "store/store.h"
#include "util/limits.h"

namespace velta::binary {
namespace {

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ull;

constexpr std::array<std::uint64_t, 256> make_gear() {
  std::array<std::uint64_t, 256> t{};
  std::uint64_t state = kGolden;
  for (auto& v : t) {
    state += kGolden;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    v = z ^ (z >> 31);
  }
  return t;
}

}  // namespace

// Computed at compile time: nothing to build on first use and no race.
constexpr std::array<std::uint64_t, 256> g_gear = make_gear();

vl_bin_opts normalise(const vl_bin_opts* opts) noexcept {
  vl_bin_opts o;
  if (opts != nullptr) {
    o = *opts;
  } else {
    vl_bin_opts_default(&o);
  }
  if (o.target_size < 64) o.target_size = 64;
  if (o.min_size == 0) o.min_size = o.target_size / 4;
  if (o.max_size == 0) {
    // target * 4 would wrap for targets from 2^30 on and could reach 0,
    // which no cut could respect.
    o.max_size = o.target_size > UINT32_MAX / 4 ? UINT32_MAX : o.target_size * 4;
  }
  if (o.max_size <= o.min_size) o.min_size = o.max_size / 4;
  return o;
}

std::uint64_t cut_mask(std::uint32_t target) noexcept {
  std::uint64_t m = target - 1;
  m |= m >> 1;
  m |= m >> 2;
  m |= m >> 4;
  m |= m >> 8;
  m |= m >> 16;
  return m;
}

std::uint64_t chunk_end(std::span<const std::uint8_t> data, std::uint64_t start,
                        const vl_bin_opts& opts) noexcept {
  const std::uint64_t length = data.size();
  if (opts.fixed_size != 0) return std::min<std::uint64_t>(start + opts.target_size, length);
  if (length - start <= opts.min_size) return length;
  const std::uint64_t limit = std::min<std::uint64_t>(start + opts.max_size, length);
  const std::uint64_t mask = cut_mask(opts.target_size);
  // min_size < max_size after normalisation, so the scan starts below limit.
  const std::uint64_t first = start + opts.min_size;
  const std::uint8_t* d = data.data();
  // Each step doubles h, so a byte stops reaching the masked bits after
  // `reach` steps: the masked hash at i depends on d[i - reach + 1 .. i]
  // alone (bytes from `first` on). Two chains then run side by side over
  // neighbouring blocks, each started `reach` bytes early, instead of one
  // chain bound by the latency of its steps.
  const auto reach = static_cast<std::uint64_t>(std::popcount(mask));
  auto step = [](std::uint64_t h, std::uint8_t b) { return (h << 1) + g_gear[b]; };
  constexpr std::uint64_t kBlock = 128;  // > reach, which is at most 32
  std::uint64_t t = first;
  for (; limit - t >= 2 * kBlock; t += 2 * kBlock) {
    std::uint64_t h1 = 0, h2 = 0;
    for (std::uint64_t i = t - std::min(reach, t - first); i < t; ++i) h1 = step(h1, d[i]);
    for (std::uint64_t i = t + kBlock - reach; i < t + kBlock; ++i) h2 = step(h2, d[i]);
    std::uint64_t j = 0;
    for (; j < kBlock; ++j) {
      h1 = step(h1, d[t + j]);
      h2 = step(h2, d[t + kBlock + j]);
      if (((h1 & mask) == 0) | ((h2 & mask) == 0)) break;
    }
    if (j == kBlock) continue;
    if ((h1 & mask) == 0) return t + j + 1;
    // The second block cut first: the first may still cut later on.
    for (std::uint64_t i = j + 1; i < kBlock; ++i) {
      h1 = step(h1, d[t + i]);
      if ((h1 & mask) == 0) return t + i + 1;
    }
    return t + kBlock + j + 1;
  }
  std::uint64_t h = 0;
  for (std::uint64_t i = t - std::min(reach, t - first); i < t; ++i) h = step(h, d[i]);
  for (std::uint64_t i = t; i < limit; ++i) {
    h = step(h, d[i]);
    if ((h & mask) == 0) return i + 1;
  }
  return limit;
}

vl_object* create(vl_engine* engine, const char* name, std::span<const std::uint8_t> data,
                  const vl_bin_opts* opts_in) {
  const vl_bin_opts opts = normalise(opts_in);
  std::unique_ptr<vl_object> object = engine::make_object(name);
  object->versions.reserve(1);

  engine::ExtRef root;
  if (!data.empty()) {
    const std::uint64_t length = data.size();
    std::vector<vl_leaf> leaves;
    std::vector<std::uint64_t> leaf_bytes;
    leaves.reserve(length / opts.target_size + 8);
    leaf_bytes.reserve(length / opts.target_size + 8);
    // Chunks are cut kGroup at a time so their keys can be hashed
    // together; they are then put in order, as one at a time would.
    constexpr std::size_t kGroup = 16;
    for (std::uint64_t start = 0; start < length;) {
      const std::uint8_t* srcs[kGroup];
      std::uint64_t ns[kGroup];
      std::uint64_t keys[kGroup];
      std::size_t m = 0;
      for (; m < kGroup && start < length; ++m) {
        const std::uint64_t end = chunk_end(data, start, opts);
        srcs[m] = data.data() + start;
        ns[m] = end - start;
        start = end;
      }
      store::byte_chunk_keys(srcs, ns, m, keys);
      for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t key = store::put_byte_tokens(engine->store, keys[j], srcs[j], ns[j]);
        if (key == 0) throw std::bad_alloc();
        leaves.push_back(vl_leaf{key, 0, static_cast<std::uint32_t>(ns[j])});
        leaf_bytes.push_back(ns[j]);
      }
    }
    // Only data of tens of gigabytes in tiny chunks could get here.
    if (leaves.size() > UINT32_MAX) throw std::bad_alloc();
    root.reset(
        vl_ext_build(leaves.data(), leaf_bytes.data(), static_cast<std::uint32_t>(leaves.size())));
    if (!root) throw std::bad_alloc();
  }

  const vl_version v{root.get(), vl_ext_tokens(root.get()), vl_ext_bytes(root.get()), 0};
  object->versions.push_back(v);   // capacity reserved: cannot throw
  root.release();                  // the version holds the reference now
  engine::reserve_object(engine);  // attach cannot fail after the record
  if (engine->log) engine->log->log_binary(name, data.data(), data.size(), opts);
  return engine::attach(engine, std::move(object));
}

std::uint32_t chunk_count(const vl_object& object, std::uint32_t version) noexcept {
  if (object.versions.empty()) return 0;
  const std::uint32_t n = object.n_versions();
  if (version == kNewestVersion) version = n - 1;
  if (version >= n) return 0;
  return vl_ext_leaves(object.versions[version].root);
}

}  // namespace velta::binary
