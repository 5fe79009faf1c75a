// Search for a byte string in the current text of every object, working on
// token ids rather than decoded text.
#pragma once

#include <cstdint>
#include <span>

#include "engine/engine.h"

namespace velta::engine {

// Writes to `hits`, object by object in table order and by increasing
// position within an object, every occurrence of `pattern` in the current
// texts (overlapping ones included), stopping once hits is full. Returns the
// number written; 0 for an empty pattern. Adds the token count of every
// version it scans to tokens_scanned. When a version claims more ids than
// an array could hold, or its leaf list cannot be allocated, the search
// stops there and returns the hits found so far.
// Throws std::bad_alloc when the candidate table cannot be built.
// Cost: the dictionary's total text length (times plen at worst), then
// either eight ids per vector compare (when at most eight ids can hold the
// anchor byte) plus measuring from a hit's leaf start, or one table load
// per token; plus the comparisons at anchor offsets. Ids are read in place
// in their chunks, never copied.
std::uint64_t search(vl_engine* engine, std::span<const std::uint8_t> pattern,
                     std::span<vl_hit> hits);

}  // namespace velta::engine
