// The process-wide node arena: every extent-tree node of every engine is
// carved from it, recycled through its free list and counted by it.
//
// Blocks hold one link word (the block allocated before) and kBlockNodes
// node records in one 2 MiB-aligned allocation (a huge page when asked for,
// see HugeBlocks); the heap allocator is called once per kBlockNodes
// fresh nodes and blocks go back to it only all at once (arena_free). A
// node whose count falls to zero is pushed on the free list (linked
// through `left`, LIFO).
// Invariant: nodes_total() == nodes_alloced() + length of the free list.
//
// Reference rule: constructors return nodes with refs 0 ("unadopted"); the
// caller adopts a node by retaining it or making it a child of an inner
// node. Anything holding a reference releases it exactly once.
//
// Single-threaded: the arena and the counts are plain, unlocked integers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extent/node.h"

namespace velta::extent {

// A block (a link word and the node slots) fits one 2 MiB huge page.
inline constexpr std::size_t kBlockBytes = std::size_t{2} << 20;
inline constexpr std::uint32_t kBlockNodes = (kBlockBytes - sizeof(void*)) / sizeof(vl_ext);

// The arena's process-wide state. Only arena.cc and the inline fast paths
// below touch it.
namespace detail {
struct block;
struct arena_state {
  block* newest = nullptr;           // head of the chain of blocks
  std::uint32_t used = kBlockNodes;  // slots used in `newest`; full = next alloc makes a block
  vl_ext* free = nullptr;            // free list head, linked through left
  vl_ext* next_slot = nullptr;       // slot number `used` of `newest`
  std::uint64_t nodes_total = 0;
  std::uint64_t nodes_alloced = 0;
  std::uint64_t nodes_freed = 0;
  std::uint32_t fail_blocks = 0;  // test hook: block allocations still to refuse
  block* spare = nullptr;         // allocated by reserve(), linked in when needed
  bool huge_blocks = false;       // fresh blocks are asked to be huge pages (HugeBlocks)
};
extern arena_state g_arena;
// node_alloc when the free list is empty and the newest block is full.
vl_ext* node_alloc_new_block() noexcept;
}  // namespace detail

// A node with refs 0 and every other field for the caller to fill; the
// free list's head when there is one, else the next slot of the newest
// block. NULL when a new block is needed and the heap refuses it (no
// counter changes then). O(1); inline because every tree operation makes
// its nodes here.
inline vl_ext* node_alloc() noexcept {
  detail::arena_state& a = detail::g_arena;
  vl_ext* n;
  if (a.free != nullptr) {
    n = a.free;
    a.free = n->left;
  } else if (a.used < kBlockNodes) {
    n = a.next_slot++;
    ++a.used;
    ++a.nodes_total;
  } else {
    return detail::node_alloc_new_block();
  }
  ++a.nodes_alloced;
  n->refs = 0;
  return n;
}

// Makes sure the next n node_alloc calls succeed without asking the heap:
// the free list and the newest block's unused slots count, and when they
// fall short one spare block is set aside for node_alloc to link in when
// it needs it (so block order and the counters follow node_alloc alone).
// false when n exceeds what that can cover or the heap refuses the block.
bool reserve(std::uint64_t n) noexcept;

// While alive, fresh blocks are asked to be huge pages: one fault and one
// clear per block instead of 512, four times less for building millions of
// nodes at once (a snapshot load). Off otherwise: measured here, a huge
// page's cost varies far more than its small pages' (at times several
// times theirs, when the memory behind it has to be brought back), which an
// edit loop that needs a block now and then does not gain enough to risk.
// Scopes nest.
class HugeBlocks {
 public:
  HugeBlocks() noexcept : was_(detail::g_arena.huge_blocks) { detail::g_arena.huge_blocks = true; }
  ~HugeBlocks() { detail::g_arena.huge_blocks = was_; }
  HugeBlocks(const HugeBlocks&) = delete;
  HugeBlocks& operator=(const HugeBlocks&) = delete;

 private:
  bool was_;
};

// Adds one reference; returns `node`. NULL stays NULL.
inline vl_ext* retain(vl_ext* node) noexcept {
  if (node != nullptr) ++node->refs;
  return node;
}

// Gives up one reference; at zero the node goes to the free list and its
// children lose one reference each, recursively. NULL does nothing.
// Uses no stack beyond a constant and no heap: dead two-child nodes park
// the pending right subtree themselves until it is released, so trees of
// any depth and shape are safe. REQUIRES: node->refs > 0.
void release(vl_ext* node) noexcept;

// Drops a node the caller may or may not have adopted: an unadopted node
// (refs 0) is returned to the arena with everything only it held, a held
// one is left as it was. Used to undo partial work after a failed
// allocation. NULL does nothing.
void discard(vl_ext* node) noexcept;

std::uint64_t nodes_total() noexcept;    // slots carved from blocks
std::uint64_t nodes_alloced() noexcept;  // live nodes
std::uint64_t nodes_freed() noexcept;    // returns to the free list, cumulative

// Returns every block to the heap and resets the arena and the counters to
// their load-time values. Every node of every tree becomes invalid.
void arena_free() noexcept;

// Checks the reference count of every node reachable from the n roots
// against the number of its holders among them (each listing in roots,
// plus each distinct reachable parent). Returns the number of mismatches;
// with verbose, prints up to five "  [audit] node ..." lines and a summary
// line to stderr. Reads only; -1 when its table entries cannot be
// allocated (nothing printed then).
int audit(vl_ext* const* roots, std::uint32_t n, int verbose) noexcept;

namespace testing {
// The next `n` block allocations fail as if the heap were exhausted.
void fail_next_blocks(std::uint32_t n) noexcept;
// Length of the free list, by walking it. O(length).
std::uint64_t free_list_length() noexcept;
}  // namespace testing

}  // namespace velta::extent
