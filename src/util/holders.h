// Small RAII holders shared by the persistence layer and the dictionary:
// malloc'd memory, stdio streams and engines, each released exactly once
// on every path out of a function. Descriptors: persist/io.h.
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

}  // namespace velta
