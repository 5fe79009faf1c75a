// Small RAII holders shared by the persistence layer and the dictionary:
// malloc'd memory, stdio streams, file descriptors and engines, each
// released exactly once on every path out of a function.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "velta.h"

namespace velta {

// Frees memory from malloc/realloc (the C allocator, so growth failure is a
// return value rather than an exception).
struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FileHolder = std::unique_ptr<std::FILE, FileCloser>;

struct EngineFree {
  void operator()(vl_engine* e) const noexcept { vl_engine_free(e); }
};
using EngineHolder = std::unique_ptr<vl_engine, EngineFree>;

// An owned file descriptor (-1 for none).
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }
  int get() const noexcept { return fd_; }
  void close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Hands the descriptor on; the holder then owns none.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace velta
