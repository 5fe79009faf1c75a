// Range change history: whether a byte range changed between two versions,
// decided from shared tree structure alone, without decoding any text.
//
// Versions share every subtree an edit did not touch, and nodes never
// change once built. So if, in both versions, the smallest subtree that
// covers the range is the very same node, and that node begins at the same
// byte position in both, the range holds the same bytes in both. The test
// is conservative the other way: different covering nodes are reported as
// a change even when their text happens to be equal.
#include "capi/range_history.h"

#include <cstdint>

#include "engine/engine.h"
#include "extent/node.h"

namespace velta::capi {
namespace {

// The smallest subtree of `node` that holds the byte range [start, end),
// and the byte position at which that subtree begins.
struct Cover {
  const vl_ext* node;  // NULL for an empty tree
  std::uint64_t offset;
};

// Descends while the range lies wholly on one side of a node's split. A
// range past the end of the text ends on the rightmost spine; an empty
// range ends in a single leaf. O(depth).
Cover cover(const vl_ext* node, std::uint64_t start, std::uint64_t end) noexcept {
  std::uint64_t offset = 0;
  while (node != nullptr && (node->left != nullptr || node->right != nullptr)) {
    const std::uint64_t split = offset + (node->left != nullptr ? node->left->bytes : 0);
    if (split >= end) {
      node = node->left;
    } else if (split <= start) {
      node = node->right;
      offset = split;
    } else {
      break;  // the range straddles the split
    }
  }
  return Cover{node, offset};
}

// 1 when the covers of one range in two versions show a change. Equal
// roots were handled before.
int differs(const Cover& ca, const Cover& cb) noexcept {
  if (ca.node == nullptr) return 1;
  // The same node at another position holds other bytes of the range.
  return ca.node == cb.node && ca.offset == cb.offset ? 0 : 1;
}

}  // namespace

int changed(const vl_object& object, std::uint32_t a, std::uint32_t b, std::uint64_t start,
            std::uint64_t end) noexcept {
  if (a == b) return 0;
  const vl_ext* ra = object.versions[a].root;
  const vl_ext* rb = object.versions[b].root;
  if (ra == rb) return 0;
  return differs(cover(ra, start, end), cover(rb, start, end));
}

// Each version's cover is computed once and compared with the previous
// one: one descent per version.
std::uint32_t history(const vl_object& object, std::uint64_t start, std::uint64_t end,
                      std::uint32_t* out, std::uint32_t capacity) noexcept {
  const std::uint32_t n = object.n_versions();
  std::uint32_t count = 0;
  const vl_ext* prev_root = n > 0 ? object.versions[0].root : nullptr;
  Cover prev = cover(prev_root, start, end);
  for (std::uint32_t v = 1; v < n && count < capacity; ++v) {
    const vl_ext* root = object.versions[v].root;
    if (root == prev_root) continue;
    const Cover cur = cover(root, start, end);
    if (differs(prev, cur) != 0) out[count++] = v;
    prev = cur;
    prev_root = root;
  }
  return count;
}

std::uint32_t new_leaves(const vl_object& object, std::uint32_t a, std::uint32_t b) noexcept {
  const vl_ext* rb = object.versions[b].root;
  if (object.versions[a].root == rb) return 0;
  return vl_ext_leaves(rb);
}

}  // namespace velta::capi
