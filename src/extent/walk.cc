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

namespace {

// A right subtree waiting on a lane's stack. Its start is known only once
// its left sibling has been read; by the time it is popped that sibling
// has been visited, so reading it then costs nothing.
struct pending_right {
  const vl_ext* node;
  const vl_ext* left_sibling;  // may be NULL
  std::uint64_t parent_start;
};

// Walks whole seed subtrees, one node per step, appending leaves in order.
struct lane {
  small_stack<pending_right> stack;
  at cur{nullptr, 0};
  std::vector<LeafAt> leaves;
};

// Seed subtrees walked side by side; enough to cover a memory latency.
constexpr std::size_t kLanes = 16;
// Seeds per lane: lanes that finish early take more, so they stay busy.
constexpr std::size_t kSeedsPerLane = 4;

}  // namespace

void collect_range(const vl_ext* root, std::uint64_t lo, std::uint64_t len,
                   std::vector<LeafAt>& out) {
  if (root == nullptr || len == 0) return;
  std::uint64_t hi = lo + len;
  if (hi < lo) hi = UINT64_MAX;
  auto outside = [&](const vl_ext* n, std::uint64_t s) { return s >= hi || s + n->bytes <= lo; };

  // Seeds: the top of the tree cut level by level into disjoint subtrees
  // in text order (leaves met on the way are seeds of their own).
  std::vector<at> seeds{{root, 0}};
  for (bool grew = true; grew && seeds.size() < kLanes * kSeedsPerLane;) {
    grew = false;
    std::vector<at> next;
    next.reserve(seeds.size() * 2);
    for (const at& a : seeds) {
      const vl_ext* n = a.node;
      if (outside(n, a.start)) continue;
      if (is_leaf(n)) {
        next.push_back(a);
        continue;
      }
      grew = true;
      if (n->left != nullptr) next.push_back({n->left, a.start});
      if (n->right != nullptr) next.push_back({n->right, a.start + bytes_of(n->left)});
    }
    seeds = std::move(next);
  }

  // Each seed's leaves end up as one stretch of one lane's list.
  struct stretch {
    std::size_t lane, begin, end;
  };
  std::vector<stretch> of_seed(seeds.size());
  std::vector<std::size_t> seed_of_lane(kLanes);
  lane lanes[kLanes];
  std::size_t next_seed = 0;
  std::size_t active = 0;
  // Starts lane i on the next seed; false when none is left.
  auto take = [&](std::size_t i) {
    if (next_seed == seeds.size()) return false;
    seed_of_lane[i] = next_seed;
    of_seed[next_seed] = {i, lanes[i].leaves.size(), 0};
    lanes[i].cur = seeds[next_seed++];
    return true;
  };
  bool live[kLanes] = {};
  for (std::size_t i = 0; i < kLanes; ++i) active += live[i] = take(i);
  while (active > 0) {
    for (std::size_t i = 0; i < kLanes; ++i) {
      if (!live[i]) continue;
      lane& ln = lanes[i];
      if (ln.cur.node == nullptr) {
        if (!ln.stack.empty()) {
          const pending_right p = ln.stack.pop();
          ln.cur = {p.node, p.parent_start + bytes_of(p.left_sibling)};
        } else {
          of_seed[seed_of_lane[i]].end = ln.leaves.size();
          if (!take(i)) {
            live[i] = false;
            --active;
          }
        }
        continue;
      }
      const vl_ext* n = ln.cur.node;
      const std::uint64_t s = ln.cur.start;
      if (outside(n, s)) {
        ln.cur.node = nullptr;
        continue;
      }
      if (is_leaf(n)) {
        ln.leaves.push_back({n->leaf, n->bytes, s});
        ln.cur.node = nullptr;
        continue;
      }
      const vl_ext* l = n->left;
      const vl_ext* r = n->right;
      __builtin_prefetch(l);
      __builtin_prefetch(r);
      if (l == nullptr) {
        ln.cur = {r, s};
        continue;
      }
      if (r != nullptr) ln.stack.push({r, l, s});
      ln.cur = {l, s};
    }
  }
  std::size_t total = out.size();
  for (const lane& ln : lanes) total += ln.leaves.size();
  out.reserve(total);
  for (const stretch& st : of_seed) {
    const std::vector<LeafAt>& v = lanes[st.lane].leaves;
    out.insert(out.end(), v.begin() + static_cast<std::ptrdiff_t>(st.begin),
               v.begin() + static_cast<std::ptrdiff_t>(st.end));
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
