// The exported vl_ext_* functions: argument checks, one reference added to
// each tree handed out, and the guard that keeps exceptions inside.
#include "extent/arena.h"
#include "extent/treap.h"
#include "extent/walk.h"
#include "util/capi_guard.h"
#include "velta.h"

namespace ext = velta::extent;

extern "C" {

vl_ext* vl_ext_retain(vl_ext* node) noexcept { return ext::retain(node); }

void vl_ext_release(vl_ext* node) noexcept { ext::release(node); }

uint64_t vl_ext_tokens(const vl_ext* node) noexcept { return node != nullptr ? node->tokens : 0; }

uint64_t vl_ext_bytes(const vl_ext* node) noexcept { return node != nullptr ? node->bytes : 0; }

uint64_t vl_ext_nodes_total(void) noexcept { return ext::nodes_total(); }
uint64_t vl_ext_nodes_freed(void) noexcept { return ext::nodes_freed(); }
uint64_t vl_ext_nodes_alloced(void) noexcept { return ext::nodes_alloced(); }

uint64_t vl_ext_node_size(void) noexcept { return sizeof(vl_ext); }

uint64_t vl_ext_node_bytes(void) noexcept { return ext::nodes_alloced() * sizeof(vl_ext); }

uint64_t vl_ext_arena_bytes(void) noexcept { return ext::nodes_total() * sizeof(vl_ext); }

void vl_ext_arena_free(void) noexcept { ext::arena_free(); }

int vl_ext_audit(vl_ext* const* roots, uint32_t n, int verbose) noexcept {
  if (roots == nullptr) n = 0;
  return ext::audit(roots, n, verbose);
}

vl_ext* vl_ext_mk_inner_p(vl_ext* left, vl_ext* right, uint32_t prio) noexcept {
  return ext::mk_inner(left, right, prio);
}

vl_ext* vl_ext_mk_leaf_p(vl_leaf leaf, uint64_t bytes, uint32_t prio) noexcept {
  return ext::mk_leaf(leaf, bytes, prio);
}

vl_ext* vl_ext_build(const vl_leaf* leaves, const uint64_t* bytes, uint32_t n) noexcept {
  if (leaves == nullptr || bytes == nullptr) return nullptr;
  return ext::retain(ext::build_core(leaves, bytes, n));
}

vl_ext* vl_ext_join(vl_ext* a, vl_ext* b) noexcept { return ext::retain(ext::join_core(a, b)); }

vl_ext* vl_ext_split_tok(vl_ext* root, uint64_t k, vl_ext** out_left, vl_ext** out_right,
                         vl_leaf_bytes_fn fn, void* ctx) noexcept {
  vl_ext* l = nullptr;
  vl_ext* r = nullptr;
  if (ext::split_core(root, k, fn, ctx, &l, &r)) {
    ext::retain(l);
    ext::retain(r);
  }
  // A piece the caller does not take is dropped again.
  if (out_left != nullptr) {
    *out_left = l;
  } else {
    ext::release(l);
  }
  if (out_right != nullptr) {
    *out_right = r;
    return r;
  }
  ext::release(r);
  return nullptr;
}

void vl_ext_set_monoid(const void* /*monoid*/) noexcept {}
int vl_ext_monoid_set(void) noexcept { return 0; }
void vl_ext_monoid_bind(void* /*ctx*/) noexcept {}
uint64_t vl_ext_range_agg(const vl_ext* /*root*/, uint64_t /*start*/, uint64_t /*len*/) noexcept {
  return 0;
}

int vl_ext_locate_byte(const vl_ext* root, uint64_t pos, vl_leaf* out_leaf, uint64_t* out_tok_start,
                       uint64_t* out_byte_start) noexcept {
  return ext::locate_byte(root, pos, out_leaf, out_tok_start, out_byte_start) ? 1 : 0;
}

void vl_ext_walk(const vl_ext* root, vl_leaf_visit_fn fn, void* ctx) noexcept {
  if (fn == nullptr) return;
  velta::guard_void([&] { ext::walk(root, fn, ctx); });
}

void vl_ext_walk_range(const vl_ext* root, uint64_t lo, uint64_t len, vl_range_visit_fn fn,
                       void* ctx) noexcept {
  if (fn == nullptr) return;
  velta::guard_void([&] { ext::walk_range(root, lo, len, fn, ctx); });
}

uint32_t vl_ext_depth(const vl_ext* root) noexcept {
  return velta::guard<uint32_t>(0, [&] { return ext::depth(root); });
}

uint32_t vl_ext_leaves(const vl_ext* root) noexcept {
  return velta::guard<uint32_t>(0, [&] { return ext::leaves(root); });
}

int vl_ext_is_leaf(const vl_ext* node) noexcept {
  return node != nullptr && node->left == nullptr && node->right == nullptr ? 1 : 0;
}

vl_ext* vl_ext_left(const vl_ext* node) noexcept { return node != nullptr ? node->left : nullptr; }

vl_ext* vl_ext_right(const vl_ext* node) noexcept {
  return node != nullptr ? node->right : nullptr;
}

uint32_t vl_ext_prio(const vl_ext* node) noexcept { return node != nullptr ? node->prio : 0; }

void vl_ext_leaf_info(const vl_ext* node, vl_leaf* out_leaf, uint64_t* out_bytes) noexcept {
  if (out_leaf != nullptr) *out_leaf = node != nullptr ? node->leaf : vl_leaf{0, 0, 0};
  if (out_bytes != nullptr) *out_bytes = node != nullptr ? node->bytes : 0;
}

}  // extern "C"
