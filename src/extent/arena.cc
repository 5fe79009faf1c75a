// Node arena, free list, reference counts and the three arena counters.
#include "extent/arena.h"

#include <cassert>
#include <cstdlib>

namespace velta::extent {
namespace {

struct block {
  block* prev;  // the block allocated before this one
  vl_ext nodes[kBlockNodes];
};

block* g_arena = nullptr;                  // newest block
std::uint32_t g_arena_used = kBlockNodes;  // slots used in g_arena; full = next alloc makes a block
vl_ext* g_free = nullptr;                  // free list head, linked through left
std::uint64_t g_nodes_total = 0;
std::uint64_t g_nodes_alloced = 0;
std::uint64_t g_nodes_freed = 0;
std::uint32_t g_fail_blocks = 0;  // test hook: block allocations still to refuse

void free_push(vl_ext* n) noexcept {
  n->left = g_free;
  g_free = n;
  --g_nodes_alloced;
  ++g_nodes_freed;
}

}  // namespace

vl_ext* node_alloc() noexcept {
  vl_ext* n;
  if (g_free != nullptr) {
    n = g_free;
    g_free = n->left;
  } else {
    if (g_arena_used == kBlockNodes) {
      if (g_fail_blocks > 0) {
        --g_fail_blocks;
        return nullptr;
      }
      auto* b = static_cast<block*>(std::malloc(sizeof(block)));
      if (b == nullptr) return nullptr;
      b->prev = g_arena;
      g_arena = b;
      g_arena_used = 0;
    }
    n = &g_arena->nodes[g_arena_used++];
    ++g_nodes_total;
  }
  ++g_nodes_alloced;
  n->refs = 0;
  return n;
}

vl_ext* retain(vl_ext* node) noexcept {
  if (node != nullptr) ++node->refs;
  return node;
}

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

std::uint64_t nodes_total() noexcept { return g_nodes_total; }
std::uint64_t nodes_alloced() noexcept { return g_nodes_alloced; }
std::uint64_t nodes_freed() noexcept { return g_nodes_freed; }

void arena_free() noexcept {
  while (g_arena != nullptr) {
    block* prev = g_arena->prev;
    std::free(g_arena);
    g_arena = prev;
  }
  g_arena_used = kBlockNodes;
  g_free = nullptr;
  g_nodes_freed = 0;
  g_nodes_total = 0;
  g_nodes_alloced = 0;
}

namespace testing {

void fail_next_blocks(std::uint32_t n) noexcept { g_fail_blocks = n; }

std::uint64_t free_list_length() noexcept {
  std::uint64_t n = 0;
  for (const vl_ext* p = g_free; p != nullptr; p = p->left) ++n;
  return n;
}

}  // namespace testing
}  // namespace velta::extent
