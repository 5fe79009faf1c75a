// Read-only navigation of extent trees: locate the leaf holding a byte,
// visit leaves in text order (all, or those overlapping a byte range),
// measure depth and leaf count. Nothing here allocates a node or touches
// a reference count. Positions are byte positions in the tree's text.
//
// The walks keep an explicit stack (inline for balanced trees, spilling to
// the heap only for degenerate ones), so a tree of any shape is safe. They
// throw std::bad_alloc only when such a spill fails; a callback may throw,
// and the exception passes through with nothing held.
#pragma once

#include <cstdint>
#include <vector>

#include "extent/node.h"

namespace velta::extent {

// The leaf holding byte `pos` (the last leaf when pos is at or past the
// end): writes its payload, its first token index and its first byte, and
// returns true. false, writing nothing, for an empty tree or a missing
// child on the path. One descent, O(depth).
bool locate_byte(const vl_ext* root, std::uint64_t pos, vl_leaf* out_leaf,
                 std::uint64_t* out_tok_start, std::uint64_t* out_byte_start) noexcept;

// fn(ctx, payload, bytes) for every leaf in text order.
void walk(const vl_ext* root, vl_leaf_visit_fn fn, void* ctx);

// fn(ctx, payload, bytes, start) in text order for every leaf whose byte
// span overlaps [lo, lo + len) (end saturating at 2^64 - 1), each whole
// with its true start. Nothing for len 0. O(depth + leaves reported).
void walk_range(const vl_ext* root, std::uint64_t lo, std::uint64_t len, vl_range_visit_fn fn,
                void* ctx);

// A copy of a leaf's payload, its byte length and the byte position where
// its text starts.
struct LeafAt {
  vl_leaf leaf;
  std::uint64_t bytes;
  std::uint64_t start;
};

// Appends to `out`, in text order, the leaves walk_range would visit for
// the same range, with their starts. Several subtrees are walked side by
// side with their nodes prefetched, so a tree scattered over memory costs
// about one memory latency per several nodes instead of one per node.
// Throws std::bad_alloc (out then holds a prefix of the list).
void collect_range(const vl_ext* root, std::uint64_t lo, std::uint64_t len,
                   std::vector<LeafAt>& out);

// 0 for NULL, 1 for a leaf, else one more than the deeper child.
std::uint32_t depth(const vl_ext* root);
// Number of leaves (nodes without children); 0 for NULL.
std::uint32_t leaves(const vl_ext* root);

}  // namespace velta::extent
