// The heap side of the allocation-failure harness: every plain form of
// operator new and delete is replaced for the whole test binary, so each new
// is paired with its delete. Disarmed (the default) new is a plain malloc.
#include "alloc_fail.h"

#include <cstdlib>
#include <new>

namespace {
long g_fail_in = -1;  // successful allocations left before the failing one; -1 never
bool g_fired = false;

void* counted_alloc(std::size_t n) noexcept {
  if (g_fail_in == 0) {
    g_fail_in = -1;
    g_fired = true;
    return nullptr;
  }
  if (g_fail_in > 0) --g_fail_in;
  return std::malloc(n != 0 ? n : 1);
}
}  // namespace

namespace velta::testutil {
void arm_heap_failure(long successes) noexcept {
  g_fail_in = successes;
  g_fired = false;
}
bool heap_failure_fired() noexcept { return g_fired; }
}  // namespace velta::testutil

void* operator new(std::size_t n) {
  void* p = counted_alloc(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
