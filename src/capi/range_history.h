// Range change history without the C boundary: whether a byte range changed
// between versions, decided from shared tree structure alone (the reasoning
// is in range_history.cc).
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace velta::capi {

// End of [start, start + length), saturating instead of wrapping so that a
// length meaning "to the end" (UINT64_MAX) covers the whole tail.
constexpr std::uint64_t range_end(std::uint64_t start, std::uint64_t length) noexcept {
  return length > UINT64_MAX - start ? UINT64_MAX : start + length;
}

// 1 when bytes [start, end) may differ between versions a and b of object,
// 0 when they are certainly the same. REQUIRES: a, b < object.n_versions().
int changed(const vl_object& object, std::uint32_t a, std::uint32_t b, std::uint64_t start,
            std::uint64_t end) noexcept;

// Writes to out, oldest first and at most `capacity`, each version index
// whose bytes [start, end) may differ from the version before; returns the
// count. One descent per version.
std::uint32_t history(const vl_object& object, std::uint64_t start, std::uint64_t end,
                      std::uint32_t* out, std::uint32_t capacity) noexcept;

// Leaves of version b's tree, or 0 when versions a and b share their root.
// REQUIRES: a, b < object.n_versions().
std::uint32_t new_leaves(const vl_object& object, std::uint32_t a, std::uint32_t b) noexcept;

}  // namespace velta::capi
