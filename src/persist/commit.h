// Commit under the store's lock file, and the small calls around it: the
// work behind vl_commit, vl_lock_break, vl_lock_held, vl_store_generation
// and vl_engine_generation. The lock file's states are described in
// commit.cc.
#pragma once

#include <cstdint>

#include "velta.h"

namespace velta::persist {

// vl_commit without the C boundary: 0 saved, -1 failed (errno set), -2 the
// store's generation is not `expected`, -3 the lock could not be taken.
// REQUIRES: engine and path not NULL. Throws std::bad_alloc.
int commit(vl_engine* engine, const char* path, std::uint64_t expected);

// Removes path + ".lock": 0, or -1 with errno. REQUIRES: path != NULL.
// Throws std::bad_alloc.
int lock_break(const char* path);

// 1 when path + ".lock" exists (opens for reading), else 0.
// REQUIRES: path != NULL. Throws std::bad_alloc.
int lock_held(const char* path);

// Generation in the header of the snapshot at `path`; 0 when it cannot be
// read or is not a snapshot. REQUIRES: path != NULL.
std::uint64_t store_generation(const char* path) noexcept;

// Generation of the engine's attached log; 0 without one (or for NULL).
std::uint64_t engine_generation(const vl_engine* engine) noexcept;

}  // namespace velta::persist
