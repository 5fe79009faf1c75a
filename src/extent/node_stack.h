// A stack for explicit tree traversals: the first 64 entries live inside
// the object, so walks over balanced trees (depth ~ 2 log2 n) never touch
// the heap; deeper, degenerate trees (a loaded file may hold any shape)
// spill into a heap array that doubles. No traversal in this module
// recurses along a path of unbounded length.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace velta::extent {

template <class T, std::size_t kInline = 64>
class small_stack {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  small_stack() = default;
  small_stack(const small_stack&) = delete;
  small_stack& operator=(const small_stack&) = delete;

  bool empty() const noexcept { return n_ == 0; }
  std::size_t size() const noexcept { return n_; }
  T& operator[](std::size_t i) noexcept { return p_[i]; }
  T& top() noexcept { return p_[n_ - 1]; }
  T pop() noexcept { return p_[--n_]; }

  // Throws std::bad_alloc when the stack must spill and the heap refuses;
  // the stack is unchanged then.
  void push(const T& v) {
    if (n_ == cap_) grow();
    p_[n_++] = v;
  }

 private:
  void grow() {
    std::size_t cap = cap_ * 2;
    std::unique_ptr<T[]> heap(new T[cap]);
    std::memcpy(heap.get(), p_, n_ * sizeof(T));
    heap_ = std::move(heap);
    p_ = heap_.get();
    cap_ = cap;
  }

  T inline_[kInline];
  std::unique_ptr<T[]> heap_;
  T* p_ = inline_;
  std::size_t n_ = 0;
  std::size_t cap_ = kInline;
};

}  // namespace velta::extent
