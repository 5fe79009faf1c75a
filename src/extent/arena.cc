// Node arena, free list, reference counts and the three arena counters.
#include "extent/arena.h"

#include <sys/mman.h>

#include <cassert>
#include <cstdint>
#include <cstdlib>

namespace velta::extent {

namespace detail {

struct block {
  block* prev;  // the block allocated before this one
  vl_ext nodes[kBlockNodes];
};

arena_state g_arena;

namespace {

static_assert(sizeof(block) <= kBlockBytes, "a block fits one huge page");

// A fresh block is filled slot by slot, so every page of it will be
// written: its pages are mapped in one call instead of one fault each, and
// under HugeBlocks it is asked to be one huge page. Best effort: without
// the calls the pages fault in as before.
void prefault(block* b) noexcept {
  if (g_arena.huge_blocks) {
#ifdef MADV_HUGEPAGE
    (void)madvise(b, kBlockBytes, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    (void)madvise(b, kBlockBytes, MADV_POPULATE_WRITE);
#endif
    return;
  }
#ifdef MADV_POPULATE_WRITE
  const std::uintptr_t page = 4096;
  const std::uintptr_t lo = (reinterpret_cast<std::uintptr_t>(b) + page - 1) & ~(page - 1);
  const std::uintptr_t hi = (reinterpret_cast<std::uintptr_t>(b) + sizeof(block)) & ~(page - 1);
  if (hi > lo) (void)madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_POPULATE_WRITE);
#endif
}

// A new block, its pages mapped. Only a huge page needs the alignment; a
// block of small pages does without the allocator's slack around an
// aligned one. NULL when the heap refuses.
block* fresh_block() noexcept {
  auto* b = static_cast<block*>(g_arena.huge_blocks ? std::aligned_alloc(kBlockBytes, kBlockBytes)
                                                    : std::malloc(sizeof(block)));
  if (b != nullptr) prefault(b);
  return b;
}

}  // namespace

vl_ext* node_alloc_new_block() noexcept {
  arena_state& a = g_arena;
  if (a.fail_blocks > 0) {
    --a.fail_blocks;
    return nullptr;
  }
  block* b = a.spare;
  if (b != nullptr) {
    a.spare = nullptr;
  } else {
    b = fresh_block();
    if (b == nullptr) return nullptr;
  }
  b->prev = a.newest;
  a.newest = b;
  a.used = 1;
  a.next_slot = &b->nodes[1];
  ++a.nodes_total;
  ++a.nodes_alloced;
  vl_ext* n = &b->nodes[0];
  n->refs = 0;
  return n;
}

}  // namespace detail

bool reserve(std::uint64_t n) noexcept {
  detail::arena_state& a = detail::g_arena;
  const std::uint64_t ready = (a.nodes_total - a.nodes_alloced) + (kBlockNodes - a.used);
  if (n <= ready) return true;
  if (n > ready + kBlockNodes) return false;
  if (a.spare != nullptr) return true;
  if (a.fail_blocks > 0) {
    --a.fail_blocks;
    return false;
  }
  a.spare = detail::fresh_block();
  return a.spare != nullptr;
}

namespace {

using detail::g_arena;

void free_push(vl_ext* n) noexcept {
  n->left = g_arena.free;
  g_arena.free = n;
  --g_arena.nodes_alloced;
  ++g_arena.nodes_freed;
}

}  // namespace

void release(vl_ext* node) noexcept {
  // Dead nodes with two children wait on `parked` (linked through left,
  // their right child still in place) until the left side is done; only
  // then do they join the free list and their right subtree is released.
  vl_ext* parked = nullptr;
  vl_ext* cur = node;
  for (;;) {
    while (cur != nullptr) {
      assert(cur->refs > 0);
      if (--cur->refs != 0) break;
      vl_ext* l = cur->left;
      vl_ext* r = cur->right;
      if (l != nullptr && r != nullptr) {
        cur->left = parked;
        parked = cur;
      } else {
        free_push(cur);
      }
      cur = l != nullptr ? l : r;
    }
    if (parked == nullptr) return;
    vl_ext* d = parked;
    parked = d->left;
    cur = d->right;
    free_push(d);
  }
}

void discard(vl_ext* node) noexcept { release(retain(node)); }

std::uint64_t nodes_total() noexcept { return g_arena.nodes_total; }
std::uint64_t nodes_alloced() noexcept { return g_arena.nodes_alloced; }
std::uint64_t nodes_freed() noexcept { return g_arena.nodes_freed; }

void arena_free() noexcept {
  while (g_arena.newest != nullptr) {
    detail::block* prev = g_arena.newest->prev;
    std::free(g_arena.newest);
    g_arena.newest = prev;
  }
  std::free(g_arena.spare);
  const std::uint32_t fail_blocks = g_arena.fail_blocks;
  const bool huge_blocks = g_arena.huge_blocks;
  g_arena = detail::arena_state{};
  g_arena.fail_blocks = fail_blocks;
  g_arena.huge_blocks = huge_blocks;
}

namespace testing {

void fail_next_blocks(std::uint32_t n) noexcept { g_arena.fail_blocks = n; }

std::uint64_t free_list_length() noexcept {
  std::uint64_t n = 0;
  for (const vl_ext* p = g_arena.free; p != nullptr; p = p->left) ++n;
  return n;
}

}  // namespace testing
}  // namespace velta::extent
