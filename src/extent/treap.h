// The persistent treap: build over an array of leaves, join end to end,
// split at a token position. Nothing here changes a node anyone else can
// see (the consuming forms rewrite only nodes the caller alone holds); new
// nodes are made only along the walked path and everything else is shared
// by reference with the inputs.
//
// Shape rules: heap order on `prio` (ties in a join keep the left root on
// top); built trees are balanced by leaf count with every inner priority
// one above its larger child (saturating at 0xFFFFFFFF); the two leaves of
// a cut get fresh priorities and may outrank the node above them, which
// costs balance, never correctness.
//
// The cores below return results WITHOUT a reference for the caller
// (fresh nodes have refs 0, inputs keep theirs); the vl_ext_* functions
// add one reference to each result. On allocation failure a core undoes
// its partial work and leaves every input as it was.
#pragma once

#include <cstdint>

#include "extent/node.h"

namespace velta::extent {

// Next draw of the process-wide xorshift32 generator (shifts 13, 17, 5;
// state 0x92D68CA2 at load; never reseeded).
std::uint32_t rng_next() noexcept;
// The generator state, and a setter for tests that need known draws.
std::uint32_t rng_state() noexcept;
void set_rng_state(std::uint32_t state) noexcept;

// Inner node over `left` and `right` (either may be NULL; both retained),
// totals summed, leaf payload zero, refs 0. NULL on out of memory (nothing
// retained then).
vl_ext* mk_inner(vl_ext* left, vl_ext* right, std::uint32_t prio) noexcept;

// Leaf with `leaf`, tokens = leaf.count, `bytes`, `prio`; refs 0. Draws no
// random number. NULL on out of memory.
vl_ext* mk_leaf(const vl_leaf& leaf, std::uint64_t bytes, std::uint32_t prio) noexcept;

// Balanced tree over n leaves in text order, bytes[i] the byte length of
// leaves[i]; leaf priorities drawn in text order. NULL for n == 0 and on
// out of memory. Makes 2n - 1 nodes; recursion depth ~ log2 n.
vl_ext* build_core(const vl_leaf* leaves, const std::uint64_t* bytes, std::uint32_t n) noexcept;

// Text of a followed by text of b; returns a or b themselves when the
// other is NULL. NULL when both are NULL or on out of memory (then
// *failed, when given, is set to true). O(depth), no recursion.
vl_ext* join_core(vl_ext* a, vl_ext* b, bool* failed = nullptr) noexcept;

// Splits `node` after k tokens into *out_left and *out_right (either may
// be NULL; may be node itself or its subtrees). A leaf cut at 0 < k <
// count becomes two leaves; `fn(ctx, left payload)` measures the left
// piece (clamped to the leaf's bytes) and the right gets the rest.
// false on out of memory, or when a leaf must be cut and fn is NULL; both
// outputs are NULL then. O(depth), no recursion.
bool split_core(vl_ext* node, std::uint64_t k, vl_leaf_bytes_fn fn, void* ctx, vl_ext** out_left,
                vl_ext** out_right) noexcept;

// Consuming forms of join and split for chains of edits. Each takes over
// one reference the caller holds on every input and hands out one
// reference on every result, like the vl_ext_* forms followed by releasing
// the inputs, with the same results node for node (shapes, priorities,
// totals, draws of the generator). The difference is the cost: a node on
// the walked path that only the consumed inputs hold (refs 1 all the way
// down from a held root) is reused in place instead of being copied and
// then freed, so a chain split-split-join-join over one tree copies the
// shared path once. Nodes reachable from any other holder are never
// written.
//
// Before changing anything they make sure the arena can supply every node
// the operation may need; on failure (out of memory, or a cut needing fn
// when fn is NULL) they return false, change nothing and leave the inputs
// with the caller.
bool join_owned(vl_ext* a, vl_ext* b, vl_ext** out) noexcept;
bool split_owned(vl_ext* node, std::uint64_t k, vl_leaf_bytes_fn fn, void* ctx, vl_ext** out_left,
                 vl_ext** out_right) noexcept;

// Checks every tree invariant that does not depend on priorities: a node
// is a leaf iff both children are NULL, leaves have tokens == count,
// inner nodes carry zero payloads and the sums of their children. With
// `deep` false only the root is looked at (cheap enough for asserts);
// deep walks the whole tree (tests). Throws std::bad_alloc only when a
// deep walk of a degenerate tree cannot grow its stack.
bool check_invariants(const vl_ext* root, bool deep);

}  // namespace velta::extent
