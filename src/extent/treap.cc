// Treap build, join and split over arena nodes, and the priority generator.
#include "extent/treap.h"

#include <algorithm>
#include <new>

#include "extent/arena.h"
#include "extent/node_stack.h"

namespace velta::extent {
namespace {

std::uint32_t g_rng = 0x92D68CA2u;

std::uint64_t tokens_of(const vl_ext* n) noexcept { return n != nullptr ? n->tokens : 0; }
std::uint64_t bytes_of(const vl_ext* n) noexcept { return n != nullptr ? n->bytes : 0; }
bool is_leaf(const vl_ext* n) noexcept { return n->left == nullptr && n->right == nullptr; }

// mk_inner, inlined into join and split, which make most of the nodes.
[[gnu::always_inline]] inline vl_ext* inner(vl_ext* left, vl_ext* right,
                                            std::uint32_t prio) noexcept {
  vl_ext* n = node_alloc();
  if (n == nullptr) return nullptr;
  n->left = retain(left);
  n->right = retain(right);
  n->leaf = vl_leaf{0, 0, 0};
  n->tokens = tokens_of(left) + tokens_of(right);
  n->bytes = bytes_of(left) + bytes_of(right);
  n->prio = prio;
  return n;
}

vl_ext* build_rec(const vl_leaf* leaves, const std::uint64_t* bytes, std::uint32_t n) noexcept {
  if (n == 1) return mk_leaf(leaves[0], bytes[0], rng_next());
  std::uint32_t h = n / 2;
  vl_ext* l = build_rec(leaves, bytes, h);
  if (l == nullptr) return nullptr;
  vl_ext* r = build_rec(leaves + h, bytes + h, n - h);
  if (r == nullptr) {
    discard(l);
    return nullptr;
  }
  std::uint32_t p = std::max(l->prio, r->prio);
  if (p != 0xFFFFFFFFu) ++p;
  vl_ext* node = mk_inner(l, r, p);
  if (node == nullptr) {
    discard(l);
    discard(r);
  }
  return node;
}

// One step of a descent: the node left behind and which child was taken.
struct step {
  vl_ext* node;
  bool went_right;
};

}  // namespace

std::uint32_t rng_next() noexcept {
  std::uint32_t x = g_rng;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  g_rng = x;
  return x;
}

std::uint32_t rng_state() noexcept { return g_rng; }
void set_rng_state(std::uint32_t state) noexcept { g_rng = state; }

vl_ext* mk_inner(vl_ext* left, vl_ext* right, std::uint32_t prio) noexcept {
  return inner(left, right, prio);
}

vl_ext* mk_leaf(const vl_leaf& leaf, std::uint64_t bytes, std::uint32_t prio) noexcept {
  vl_ext* n = node_alloc();
  if (n == nullptr) return nullptr;
  n->left = nullptr;
  n->right = nullptr;
  n->leaf = leaf;
  n->tokens = leaf.count;
  n->bytes = bytes;
  n->prio = prio;
  return n;
}

vl_ext* build_core(const vl_leaf* leaves, const std::uint64_t* bytes, std::uint32_t n) noexcept {
  if (n == 0) return nullptr;
  return build_rec(leaves, bytes, n);
}

vl_ext* join_core(vl_ext* a, vl_ext* b, bool* failed) noexcept {
  if (failed != nullptr) *failed = false;
  // Descend the right spine of a and the left spine of b to where they
  // meet, remembering the nodes passed; then rebuild copies bottom-up.
  small_stack<step> path;
  vl_ext* res = nullptr;
  try {
    for (;;) {
      if (a == nullptr || b == nullptr) {
        res = a != nullptr ? a : b;
        break;
      }
      if (a->prio >= b->prio) {
        if (is_leaf(a)) {
          res = inner(a, b, a->prio);
          if (res == nullptr) goto fail;
          break;
        }
        path.push({a, true});
        a = a->right;
      } else {
        if (is_leaf(b)) {
          res = inner(a, b, b->prio);
          if (res == nullptr) goto fail;
          break;
        }
        path.push({b, false});
        b = b->left;
      }
    }
  } catch (const std::bad_alloc&) {
    goto fail;  // the path could not grow; nothing was made yet
  }
  while (!path.empty()) {
    step s = path.pop();
    vl_ext* n = s.went_right ? inner(s.node->left, res, s.node->prio)
                             : inner(res, s.node->right, s.node->prio);
    if (n == nullptr) {
      discard(res);
      goto fail;
    }
    res = n;
  }
  return res;
fail:
  if (failed != nullptr) *failed = true;
  return nullptr;
}

bool split_core(vl_ext* node, std::uint64_t k, vl_leaf_bytes_fn fn, void* ctx, vl_ext** out_left,
                vl_ext** out_right) noexcept {
  *out_left = nullptr;
  *out_right = nullptr;
  small_stack<step> path;
  vl_ext* l = nullptr;
  vl_ext* r = nullptr;
  try {
    for (;;) {
      if (node == nullptr) break;
      if (k == 0) {
        r = node;
        break;
      }
      if (k >= node->tokens) {
        l = node;
        break;
      }
      if (is_leaf(node)) {
        // 0 < k < count: cut the leaf in two.
        if (fn == nullptr) return false;
        vl_leaf lp = node->leaf;
        lp.count = static_cast<std::uint32_t>(k);
        std::uint64_t lb = std::min(fn(ctx, &lp), node->bytes);
        l = mk_leaf(lp, lb, rng_next());
        if (l == nullptr) return false;
        vl_leaf rp = node->leaf;
        rp.off += static_cast<std::uint32_t>(k);
        rp.count -= static_cast<std::uint32_t>(k);
        r = mk_leaf(rp, node->bytes - lb, rng_next());
        if (r == nullptr) {
          discard(l);
          return false;
        }
        break;
      }
      std::uint64_t t = tokens_of(node->left);
      if (k > t) {
        path.push({node, true});
        k -= t;
        node = node->right;
      } else {
        path.push({node, false});
        node = node->left;
      }
    }
  } catch (const std::bad_alloc&) {
    return false;  // only path.push throws, before anything was made
  }
  while (!path.empty()) {
    step s = path.pop();
    vl_ext* n = s.node;
    if (s.went_right) {
      if (l != nullptr) {
        vl_ext* m = inner(n->left, l, n->prio);
        if (m == nullptr) goto fail;
        l = m;
      } else {
        l = n->left;
      }
    } else {
      if (r != nullptr) {
        vl_ext* m = inner(r, n->right, n->prio);
        if (m == nullptr) goto fail;
        r = m;
      } else {
        r = n->right;
      }
    }
  }
  *out_left = l;
  *out_right = r;
  return true;
fail:
  discard(l);
  discard(r);
  return false;
}

namespace {

// One step of a consuming descent. `owned`: the walk holds the reference
// that leads to the node (the caller's handle on a root, or the edge of a
// parent it may reuse). `unique`: owned and nobody else holds the node, so
// it may be rewritten in place; below a node that is not unique nothing is
// owned.
struct ostep {
  vl_ext* node;
  bool went_right;
  bool owned;
  bool unique;
};

// A copied path node's other child gains a reference when the path is
// rebuilt; in an old tree that child is usually far from everything else
// touched, so its line is requested during the descent, while the misses
// of the next levels are still outstanding.
inline void prefetch_for_retain(const vl_ext* n) noexcept {
  if (n != nullptr) __builtin_prefetch(&n->refs, 1);
}

bool unique_below(bool parent_unique, const vl_ext* child) noexcept {
  return parent_unique && child != nullptr && child->refs == 1;
}

// Takes a reference for the result: an owned one passes as it is, a
// borrowed one is retained.
vl_ext* take(vl_ext* n, bool owned) noexcept { return owned ? n : retain(n); }

void set_sums(vl_ext* n) noexcept {
  n->tokens = tokens_of(n->left) + tokens_of(n->right);
  n->bytes = bytes_of(n->left) + bytes_of(n->right);
}

// A held inner node over left and right, which pass their references in.
vl_ext* adopt_inner(vl_ext* left, vl_ext* right, std::uint32_t prio) noexcept {
  vl_ext* n = node_alloc();  // cannot fail: the caller reserved
  n->left = left;
  n->right = right;
  n->leaf = vl_leaf{0, 0, 0};
  set_sums(n);
  n->prio = prio;
  n->refs = 1;
  return n;
}

// Replaces the child the descent took with `res` (whose reference passes
// in): in place when the step's node is unique, else in a fresh copy that
// shares the other child. Returns the held result.
vl_ext* rebuild(const ostep& s, vl_ext* res) noexcept {
  vl_ext* n = s.node;
  if (s.unique) {
    (s.went_right ? n->right : n->left) = res;
    set_sums(n);
    return n;
  }
  return s.went_right ? adopt_inner(retain(n->left), res, n->prio)
                      : adopt_inner(res, retain(n->right), n->prio);
}

// Gives back what the walk held on nodes it copied rather than reused.
void drop_copied(small_stack<ostep>& path) noexcept {
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i].owned && !path[i].unique) release(path[i].node);
  }
}

}  // namespace

bool join_owned(vl_ext* a, vl_ext* b, vl_ext** out) noexcept {
  *out = nullptr;
  small_stack<ostep> path;
  bool a_owned = true, b_owned = true;
  bool a_unique = a != nullptr && a->refs == 1;
  bool b_unique = b != nullptr && b->refs == 1;
  bool meet_at_leaf = false;
  std::uint32_t leaf_prio = 0;
  try {
    while (a != nullptr && b != nullptr) {
      if (a->prio >= b->prio) {
        if (is_leaf(a)) {
          meet_at_leaf = true;
          leaf_prio = a->prio;
          break;
        }
        path.push({a, true, a_owned, a_unique});
        if (!a_unique) prefetch_for_retain(a->left);
        a_owned = a_unique;
        a = a->right;
        a_unique = unique_below(a_owned, a);
      } else {
        if (is_leaf(b)) {
          meet_at_leaf = true;
          leaf_prio = b->prio;
          break;
        }
        path.push({b, false, b_owned, b_unique});
        if (!b_unique) prefetch_for_retain(b->right);
        b_owned = b_unique;
        b = b->left;
        b_unique = unique_below(b_owned, b);
      }
    }
  } catch (const std::bad_alloc&) {
    return false;  // only the path can fail to grow; nothing changed
  }
  if (!reserve(path.size() + 1)) return false;
  // Nothing below fails.
  vl_ext* res;
  if (meet_at_leaf) {
    res = adopt_inner(take(a, a_owned), take(b, b_owned), leaf_prio);
  } else {
    res = a != nullptr ? take(a, a_owned) : (b != nullptr ? take(b, b_owned) : nullptr);
  }
  for (std::size_t i = path.size(); i-- > 0;) res = rebuild(path[i], res);
  drop_copied(path);
  *out = res;
  return true;
}

bool split_owned(vl_ext* node, std::uint64_t k, vl_leaf_bytes_fn fn, void* ctx, vl_ext** out_left,
                 vl_ext** out_right) noexcept {
  *out_left = nullptr;
  *out_right = nullptr;
  small_stack<ostep> path;
  bool owned = true;
  bool unique = node != nullptr && node->refs == 1;
  enum { kNone, kRight, kLeft, kCut } bottom = kNone;
  vl_leaf lp{}, rp{};
  std::uint64_t lb = 0;
  try {
    while (node != nullptr) {
      if (k == 0) {
        bottom = kRight;
        break;
      }
      if (k >= node->tokens) {
        bottom = kLeft;
        break;
      }
      if (is_leaf(node)) {
        if (fn == nullptr) return false;
        lp = node->leaf;
        lp.count = static_cast<std::uint32_t>(k);
        lb = std::min(fn(ctx, &lp), node->bytes);
        rp = node->leaf;
        rp.off += static_cast<std::uint32_t>(k);
        rp.count -= static_cast<std::uint32_t>(k);
        bottom = kCut;
        break;
      }
      const std::uint64_t t = tokens_of(node->left);
      const bool right = k > t;
      path.push({node, right, owned, unique});
      if (!unique) prefetch_for_retain(right ? node->left : node->right);
      owned = unique;
      if (right) {
        k -= t;
        node = node->right;
      } else {
        node = node->left;
      }
      unique = unique_below(owned, node);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!reserve(path.size() + 2)) return false;
  // Nothing below fails.
  vl_ext* l = nullptr;
  vl_ext* r = nullptr;
  switch (bottom) {
    case kNone:
      break;
    case kRight:
      r = take(node, owned);
      break;
    case kLeft:
      l = take(node, owned);
      break;
    case kCut:
      l = mk_leaf(lp, lb, rng_next());
      l->refs = 1;
      r = mk_leaf(rp, node->bytes - lb, rng_next());
      r->refs = 1;
      if (owned) release(node);
      break;
  }
  for (std::size_t i = path.size(); i-- > 0;) {
    const ostep& s = path[i];
    vl_ext*& piece = s.went_right ? l : r;
    if (piece != nullptr) {
      piece = rebuild(s, piece);
    } else if (s.unique) {
      // The node drops out of this side: its other child moves up with the
      // edge that held it, and the node itself is freed bare.
      vl_ext* n = s.node;
      piece = s.went_right ? n->left : n->right;
      n->left = nullptr;
      n->right = nullptr;
      release(n);
    } else {
      piece = retain(s.went_right ? s.node->left : s.node->right);
    }
  }
  drop_copied(path);
  *out_left = l;
  *out_right = r;
  return true;
}

bool check_invariants(const vl_ext* root, bool deep) {
  small_stack<const vl_ext*> todo;
  if (root != nullptr) todo.push(root);
  while (!todo.empty()) {
    const vl_ext* n = todo.pop();
    if (is_leaf(n)) {
      if (n->tokens != n->leaf.count) return false;
    } else {
      if (n->leaf.key != 0 || n->leaf.off != 0 || n->leaf.count != 0) return false;
      if (n->tokens != tokens_of(n->left) + tokens_of(n->right)) return false;
      if (n->bytes != bytes_of(n->left) + bytes_of(n->right)) return false;
      if (deep) {
        if (n->left != nullptr) todo.push(n->left);
        if (n->right != nullptr) todo.push(n->right);
      }
    }
  }
  return true;
}

}  // namespace velta::extent
