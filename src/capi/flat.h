// The flat query interface's work: the lookups behind the handle-and-integer
// calls for bindings that cannot walk the library's structures.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "util/limits.h"

namespace velta::capi {

// What vl_capi_version returns.
inline constexpr char kCapiVersion[] = "velta-capi 1";

// The version named by a flat index (kNewestVersion: the newest), or NULL when the
// object is NULL, has no versions or the index is out of range.
const vl_version* pick(const vl_object* object, std::uint32_t index) noexcept;

// vl_search with each hit's object turned into its table index (0 when no
// object owns the hit's name storage); positions[i] and objects[i] for
// each hit. 0 when the hit buffer cannot be had.
// REQUIRES: engine, query, positions and objects not NULL.
std::uint64_t search_flat(vl_engine* engine, const void* query, std::uint64_t query_len,
                          std::uint64_t* positions, int* objects, std::uint64_t capacity);

}  // namespace velta::capi
