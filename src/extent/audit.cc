// The reference-count audit: recounts, from a set of roots, how many
// holders every reachable node has and compares with its `refs`.
//
// The table `aud_tab` has 65536 buckets keyed by address bits 4..19; each
// bucket is a chain of entries, newest first. Entries come from slabs of
// 4096 so that a large audit costs a handful of heap calls. Nodes are
// entered in pre-order (node, left subtree, right subtree) and reported in
// bucket order, chain order; both orders decide which five mismatches a
// verbose audit prints.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "extent/arena.h"
#include "extent/node_stack.h"

namespace velta::extent {
namespace {

struct aud_entry {
  const vl_ext* node;
  std::uint32_t expected;
  aud_entry* next;
};

constexpr std::size_t kBuckets = 65536;
constexpr std::size_t kSlabEntries = 4096;

struct aud_slab {
  aud_slab* prev;
  aud_entry entries[kSlabEntries];
};

aud_entry* aud_tab[kBuckets];

// Entries handed out from slabs; frees them all and empties the table on
// destruction, so every exit of the audit leaves the table empty.
class entry_pool {
 public:
  entry_pool() = default;
  entry_pool(const entry_pool&) = delete;
  entry_pool& operator=(const entry_pool&) = delete;
  ~entry_pool() {
    while (slab_ != nullptr) {
      aud_slab* prev = slab_->prev;
      std::free(slab_);
      slab_ = prev;
    }
    for (auto& b : aud_tab) b = nullptr;
  }
  aud_entry* take() noexcept {
    if (used_ == kSlabEntries) {
      auto* s = static_cast<aud_slab*>(std::malloc(sizeof(aud_slab)));
      if (s == nullptr) return nullptr;
      s->prev = slab_;
      slab_ = s;
      used_ = 0;
    }
    return &slab_->entries[used_++];
  }

 private:
  aud_slab* slab_ = nullptr;
  std::size_t used_ = kSlabEntries;
};

std::size_t bucket_of(const vl_ext* n) noexcept {
  return (reinterpret_cast<std::uintptr_t>(n) >> 4) & 0xFFFF;
}

// Counts one holder of `root` and, the first time root is seen, one for
// each child of each newly reached node. false when out of memory.
bool aud_count(const vl_ext* root, entry_pool& pool, small_stack<const vl_ext*>& pending) {
  const vl_ext* cur = root;
  for (;;) {
    while (cur != nullptr) {
      aud_entry** head = &aud_tab[bucket_of(cur)];
      aud_entry* e = *head;
      while (e != nullptr && e->node != cur) e = e->next;
      if (e != nullptr) {
        ++e->expected;
        break;
      }
      e = pool.take();
      if (e == nullptr) return false;
      *e = aud_entry{cur, 1, *head};
      *head = e;
      if (cur->right != nullptr) pending.push(cur->right);
      cur = cur->left;
    }
    if (pending.empty()) return true;
    cur = pending.pop();
  }
}

}  // namespace

int audit(vl_ext* const* roots, std::uint32_t n, int verbose) noexcept {
  try {
    entry_pool pool;
    small_stack<const vl_ext*> pending;
    for (auto& b : aud_tab) b = nullptr;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!aud_count(roots[i], pool, pending)) return -1;
    }
    unsigned long long reachable = 0;
    int mismatches = 0;
    for (const aud_entry* head : aud_tab) {
      for (const aud_entry* e = head; e != nullptr; e = e->next) {
        ++reachable;
        std::uint32_t rc = e->node->refs;
        if (rc == e->expected) continue;
        ++mismatches;
        if (verbose != 0 && mismatches <= 5) {
          std::fprintf(stderr, "  [audit] node %p rc=%u expected=%u %s\n",
                       static_cast<const void*>(e->node), rc, e->expected,
                       rc > e->expected ? "(LEAK)" : "(PREMATURE FREE)");
        }
      }
    }
    if (verbose != 0) {
      std::fprintf(stderr, "  [audit] %llu reachable nodes, %d refcount mismatches\n", reachable,
                   mismatches);
    }
    return mismatches;
  } catch (const std::bad_alloc&) {
    return -1;  // the pending stack could not spill to the heap
  }
}

}  // namespace velta::extent
