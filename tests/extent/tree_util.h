// Shared helpers of the extent-tree tests: an owning holder for tree
// references, a deterministic byte measure for leaves, and flatteners that
// turn a tree into the plain sequences a model compares against.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "extent/node.h"
#include "velta.h"

namespace velta::extent::test {

// Owns one reference; releases it on scope exit so a failed ASSERT leaks
// nothing.
class tree {
 public:
  tree() = default;
  explicit tree(vl_ext* adopt) : p_(adopt) {}
  tree(const tree&) = delete;
  tree& operator=(const tree&) = delete;
  tree(tree&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  tree& operator=(tree&& o) noexcept {
    if (this != &o) {
      vl_ext_release(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~tree() { vl_ext_release(p_); }
  vl_ext* get() const { return p_; }
  // Forgets the reference without releasing it (a consuming call took it).
  void disown() { p_ = nullptr; }
  vl_ext** out() {
    vl_ext_release(p_);
    p_ = nullptr;
    return &p_;
  }

 private:
  vl_ext* p_ = nullptr;
};

// Bytes of token `idx` of chunk `key`: 1 to 7, fixed per token, so byte
// lengths of pieces add up the way decoded text does.
inline std::uint64_t token_bytes(std::uint64_t key, std::uint64_t idx) {
  return 1 + (key * 31 + idx) % 7;
}

inline std::uint64_t measure(const vl_leaf& l) {
  std::uint64_t b = 0;
  for (std::uint32_t i = 0; i < l.count; ++i) b += token_bytes(l.key, l.off + i);
  return b;
}

inline std::uint64_t measure_cb(void* ctx, const vl_leaf* leaf) {
  if (ctx != nullptr) ++*static_cast<int*>(ctx);
  return measure(*leaf);
}

struct leaf_rec {
  vl_leaf leaf;
  std::uint64_t bytes;
};

inline std::vector<leaf_rec> leaf_list(const vl_ext* root) {
  std::vector<leaf_rec> out;
  vl_ext_walk(
      root,
      [](void* ctx, const vl_leaf* l, std::uint64_t b) {
        static_cast<std::vector<leaf_rec>*>(ctx)->push_back({*l, b});
        return 0;
      },
      &out);
  return out;
}

// The token sequence a tree stands for, as (chunk key, token index) pairs.
using tok = std::pair<std::uint64_t, std::uint32_t>;
inline std::vector<tok> token_list(const vl_ext* root) {
  std::vector<tok> out;
  for (const leaf_rec& r : leaf_list(root)) {
    for (std::uint32_t i = 0; i < r.leaf.count; ++i) out.emplace_back(r.leaf.key, r.leaf.off + i);
  }
  return out;
}

// Builds a tree over leaves whose byte lengths come from measure().
inline vl_ext* build(const std::vector<vl_leaf>& ls) {
  std::vector<std::uint64_t> bytes;
  for (const vl_leaf& l : ls) bytes.push_back(measure(l));
  return vl_ext_build(ls.data(), bytes.data(), static_cast<std::uint32_t>(ls.size()));
}

// n leaves of `count` tokens each, chunk keys first_key, first_key + 1, ...
inline std::vector<vl_leaf> make_leaves(std::uint32_t n, std::uint32_t count,
                                        std::uint64_t first_key = 1) {
  std::vector<vl_leaf> ls;
  for (std::uint32_t i = 0; i < n; ++i) ls.push_back(vl_leaf{first_key + i, 0, count});
  return ls;
}

}  // namespace velta::extent::test
