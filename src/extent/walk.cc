// Locate, leaf walks, range walks, depth and leaf count.
#include "extent/walk.h"

#include <algorithm>

#include "extent/node_stack.h"

namespace velta::extent {
namespace {

bool is_leaf(const vl_ext* n) noexcept { return n->left == nullptr && n->right == nullptr; }
std::uint64_t bytes_of(const vl_ext* n) noexcept { return n != nullptr ? n->bytes : 0; }
std::uint64_t tokens_of(const vl_ext* n) noexcept { return n != nullptr ? n->tokens : 0; }

struct at {
  const vl_ext* node;
  std::uint64_t start;  // first byte of the subtree
};

struct deep {
  const vl_ext* node;
  std::uint32_t depth;  // depth of node below the root, root = 1
};

}  // namespace

bool locate_byte(const vl_ext* root, std::uint64_t pos, vl_leaf* out_leaf,
                 std::uint64_t* out_tok_start, std::uint64_t* out_byte_start) noexcept {
  std::uint64_t b = 0;
  std::uint64_t t = 0;
  const vl_ext* cur = root;
  while (cur != nullptr) {
    if (is_leaf(cur)) {
      if (out_leaf != nullptr) *out_leaf = cur->leaf;
      if (out_tok_start != nullptr) *out_tok_start = t;
      if (out_byte_start != nullptr) *out_byte_start = b;
      return true;
    }
    std::uint64_t c = b + bytes_of(cur->left);
    if (pos < c) {
      cur = cur->left;
    } else {
      t += tokens_of(cur->left);
      b = c;
      cur = cur->right;
    }
  }
  return false;
}

void walk(const vl_ext* root, vl_leaf_visit_fn fn, void* ctx) {
  // Pending right subtrees; the left side is followed in place.
  small_stack<const vl_ext*> pending;
  const vl_ext* cur = root;
  for (;;) {
    while (cur != nullptr) {
      if (is_leaf(cur)) {
        fn(ctx, &cur->leaf, cur->bytes);
        break;
      }
      const vl_ext* l = cur->left;
      if (l == nullptr) {
        cur = cur->right;
        continue;
      }
      if (is_leaf(l)) {  // half of all leaves: visit without a push and pop
        fn(ctx, &l->leaf, l->bytes);
        cur = cur->right;
        continue;
      }
      if (cur->right != nullptr) pending.push(cur->right);
      cur = l;
    }
    if (pending.empty()) return;
    cur = pending.pop();
  }
}

void walk_range(const vl_ext* root, std::uint64_t lo, std::uint64_t len, vl_range_visit_fn fn,
                void* ctx) {
  if (root == nullptr || len == 0) return;
  std::uint64_t hi = lo + len;
  if (hi < lo) hi = UINT64_MAX;
  small_stack<at> pending;
  at cur{root, 0};
  for (;;) {
    while (cur.node != nullptr) {
      const vl_ext* n = cur.node;
      std::uint64_t s = cur.start;
      if (s >= hi || s + n->bytes <= lo) break;
      if (is_leaf(n)) {
        fn(ctx, &n->leaf, n->bytes, s);
        break;
      }
      std::uint64_t mid = s + bytes_of(n->left);
      // The right side is skipped now rather than later when it starts at
      // or after the end, which keeps the stack at the path length.
      if (n->right != nullptr && mid < hi) pending.push({n->right, mid});
      cur = {n->left, s};
    }
    if (pending.empty()) return;
    cur = pending.pop();
  }
}

std::uint32_t depth(const vl_ext* root) {
  if (root == nullptr) return 0;
  small_stack<deep> todo;
  todo.push({root, 1});
  std::uint32_t best = 0;
  while (!todo.empty()) {
    deep d = todo.pop();
    best = std::max(best, d.depth);
    if (d.node->left != nullptr) todo.push({d.node->left, d.depth + 1});
    if (d.node->right != nullptr) todo.push({d.node->right, d.depth + 1});
  }
  return best;
}

std::uint32_t leaves(const vl_ext* root) {
  std::uint32_t n = 0;
  small_stack<const vl_ext*> todo;
  const vl_ext* cur = root;
  for (;;) {
    while (cur != nullptr) {
      if (is_leaf(cur)) {
        ++n;
        break;
      }
      if (cur->right != nullptr) todo.push(cur->right);
      cur = cur->left;
    }
    if (todo.empty()) return n;
    cur = todo.pop();
  }
}

}  // namespace velta::extent
