// Allocation-failure injection shared by the tests, for the two places
// memory comes from:
// - the heap: the test binary's operator new (alloc_fail.cc, linked into
//   the binaries that use it) fails the allocation after `n` successful ones;
// - the node arena: hold nodes until exactly `slots` can be made from the
//   current block, then refuse the next block.
// Every arming object disarms on scope exit, so an armed fault never
// outlives the statement or test that set it, even when an ASSERT returns.
#pragma once

#include <gtest/gtest.h>

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

// Runs attempt() (true on success) with the 1st, 2nd, 3rd, ... heap
// allocation failing until an attempt succeeds. Each failed attempt must be
// the injected failure's doing; after_failure() then checks what it left
// (with the heap disarmed). Returns the number of failed attempts; stops at
// the first fatal test failure.
template <class Attempt, class AfterFailure>
long fail_each_heap_allocation(Attempt&& attempt, AfterFailure&& after_failure) {
  for (long n = 0;; ++n) {
    bool ok = false, fired = false;
    {
      HeapFailure fail(n);
      ok = attempt();
      fired = fail.fired();
    }
    if (ok) return n;
    if (!fired) {
      ADD_FAILURE() << "attempt " << n << " failed with no allocation failure injected";
      return n;
    }
    after_failure();
    if (::testing::Test::HasFatalFailure()) return n;
  }
}

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
