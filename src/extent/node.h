// The extent-tree node record shared by the arena, the treap and the walks.
//
// Invariants of every tree:
//  - a node is a leaf exactly when both children are NULL; its `leaf` names
//    `tokens` (= leaf.count) consecutive tokens of one stored chunk and
//    `bytes` is their decoded length;
//  - in an inner node `leaf` is all zero and `tokens` / `bytes` are the sums
//    over the children (a NULL child counts 0);
//  - in-order leaf sequence = text order; treap heap order on `prio` is kept
//    by build and join, and may be broken locally under a cut leaf;
//  - `refs` = parents holding the node + versions whose root it is + other
//    holders (callers of build/join/split).
// While a node sits on the arena's free list, `left` links the next free node.
#pragma once

#include <cstdint>

#include "velta.h"

struct vl_ext {
  vl_ext* left;
  vl_ext* right;
  vl_leaf leaf;
  std::uint64_t tokens;  // tokens in the subtree
  std::uint64_t bytes;   // text bytes in the subtree
  std::uint32_t prio;    // treap priority
  std::uint32_t refs;    // reference count
};

static_assert(sizeof(vl_ext) == 56, "node records are 56 bytes");
