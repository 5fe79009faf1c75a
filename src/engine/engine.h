// The engine: one dictionary, one chunk store, the table of named objects,
// six counters and, once opened or saved, the write-ahead log state.
//
// Ownership: the engine owns its dictionary, store, objects and log; each
// version owns one reference on its tree root. Object handles are stable
// pointers (the table holds unique_ptrs) and stay valid until the object is
// deleted or the engine freed; table positions change on deletion
// (swap-with-last).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "velta.h"

struct vl_version {
  vl_ext* root;                // NULL for an empty text; holds one reference
  std::uint64_t tokens;        // = vl_ext_tokens(root)
  std::uint64_t bytes;         // = vl_ext_bytes(root)
  std::uint64_t dict_version;  // vl_dict_version when the version was made
};

struct vl_object {
  // Oldest first; the last element is the current version. Never empty for
  // an object in a table.
  std::vector<vl_version> versions;
  char name[64];  // NUL-terminated, at most 63 bytes kept

  std::uint32_t n_versions() const noexcept {
    return static_cast<std::uint32_t>(versions.size());
  }
  const vl_version& current() const noexcept { return versions.back(); }
};

struct vl_engine {
  vl_dict* dict = nullptr;
  vl_store* store = nullptr;
  std::vector<std::unique_ptr<vl_object>> objects;  // table order
  vl_stats stats{};
  vl_wal* wal = nullptr;  // attached log, or NULL
};

namespace velta::engine {

// A byte position turned into a token position of one version.
struct TokPos {
  std::uint64_t index;  // token index over the whole version
  std::uint64_t off;    // bytes of that token before the byte
  std::uint64_t start;  // byte position at which that token begins
};

// Copies `name` into dst[64], keeping at most 63 bytes, NUL-terminated.
void copy_name(char (&dst)[64], const char* name) noexcept;

// Byte length of a leaf's text, measured through the dictionary; caches the
// length of whole chunks in the chunk record. 0 for an unknown chunk.
std::uint64_t ext_bytes(vl_dict* dict, vl_store* store, const vl_leaf& leaf);

// The vl_leaf_bytes_fn every split passes; ctx is the vl_engine.
std::uint64_t ext_bytes_cb(void* ctx, const vl_leaf* leaf);

// Token position of byte `pos` of version v. REQUIRES: pos < v.bytes, or the
// tree is empty (then the end of the text is returned).
TokPos locate(vl_engine* engine, const vl_version& v, std::uint64_t pos);

// Text of the token at token index `index` of `root`, its length in *len;
// NULL and 0 when there is none. Points into the dictionary.
const std::uint8_t* tok_at(vl_engine* engine, vl_ext* root, std::uint64_t index,
                           std::uint64_t* len);

// Appends a version over `root` (consumes one reference on root) to object,
// filling tokens, bytes and dict_version. Throws std::bad_alloc before
// consuming anything when the version array cannot grow.
void push_version(vl_engine* engine, vl_object* object, vl_ext* root);

}  // namespace velta::engine
