// Allocation-failure injection for the tests, on the heap (operator new,
// replaced in alloc_fail.cc for the binaries that link it) and in the node
// arena. Each arming object disarms when it goes out of scope, so a fault
// never outlives the statement that set it, even when an ASSERT returns.
#pragma once

#include <cstdint>
#include <vector>

#include "extent/arena.h"
#include "velta.h"

namespace velta::testutil {

// Heap state, defined in alloc_fail.cc.
void arm_heap_failure(long successes) noexcept;  // -1 disarms
bool heap_failure_fired() noexcept;              // since the last arm

// While alive: the operator new call after `successes` successful ones
// fails once (plain forms throw std::bad_alloc, nothrow forms return NULL).
class HeapFailure {
 public:
  explicit HeapFailure(long successes) noexcept { arm_heap_failure(successes); }
  HeapFailure(const HeapFailure&) = delete;
  HeapFailure& operator=(const HeapFailure&) = delete;
  ~HeapFailure() { arm_heap_failure(-1); }
  bool fired() const noexcept { return heap_failure_fired(); }
};

// While alive: holds arena nodes so that exactly `free_slots` nodes can be
// made before the arena needs a new block, and refuses that block.
class NodeBlockFailure {
 public:
  explicit NodeBlockFailure(std::uint64_t free_slots) {
    auto remaining = [] {
      const std::uint64_t total = vl_ext_nodes_total();
      const std::uint64_t in_free_list = total - vl_ext_nodes_alloced();
      return in_free_list +
             (extent::kBlockNodes - total % extent::kBlockNodes) % extent::kBlockNodes;
    };
    while (vl_ext_nodes_total() != vl_ext_nodes_alloced() || remaining() != free_slots) {
      pads_.push_back(vl_ext_retain(vl_ext_mk_leaf_p(vl_leaf{1, 0, 1}, 1, 1)));
    }
    extent::testing::fail_next_blocks(1);
  }
  NodeBlockFailure(const NodeBlockFailure&) = delete;
  NodeBlockFailure& operator=(const NodeBlockFailure&) = delete;
  ~NodeBlockFailure() {
    extent::testing::fail_next_blocks(0);
    for (vl_ext* n : pads_) vl_ext_release(n);
  }

 private:
  std::vector<vl_ext*> pads_;
};

}  // namespace velta::testutil
