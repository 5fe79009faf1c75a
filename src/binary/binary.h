// Binary objects: raw bytes cut into chunks by content-defined (or fixed)
// chunking, one byte token per byte, so that repeated data deduplicates in
// the chunk store.
//
// Content-defined cuts use a gear rolling hash: h = 2h + g_gear[byte]
// (mod 2^64), cut after the byte where h AND mask is 0. Only the bytes from
// the chunk's start + min_size take part, so a cut depends on the content
// since the last cut and nothing before it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "velta.h"

namespace velta::binary {

// The 256 gear values: the first 256 outputs of SplitMix64 whose state
// starts at 0x9e3779b97f4a7c15. Fixed for all time: changing them moves
// every cut and so loses deduplication against stored data.
extern const std::array<std::uint64_t, 256> g_gear;

// Options copied and normalised in this order: target below 64 becomes 64;
// min 0 becomes target / 4; max 0 becomes target * 4 (saturating at
// UINT32_MAX); then max <= min makes min = max / 4. NULL gives the defaults.
vl_bin_opts normalise(const vl_bin_opts* opts) noexcept;

// Smallest 2^k - 1 that is >= target - 1. REQUIRES: target >= 2.
std::uint64_t cut_mask(std::uint32_t target) noexcept;

// End (exclusive) of the chunk of `data` that begins at `start`, for
// normalised options. REQUIRES: start < data.size().
std::uint64_t chunk_end(std::span<const std::uint8_t> data, std::uint64_t start,
                        const vl_bin_opts& opts) noexcept;

// The options vl_bin_opts_default fills in.
inline constexpr vl_bin_opts kDefaultOpts{4096, 1024, 16384, 0};

// vl_create_binary without the C boundary: one object of raw bytes, one
// version over content-defined chunks. REQUIRES: engine and name not NULL.
// Throws std::bad_alloc; on any failure nothing is attached (chunks already
// put stay in the store, unused).
vl_object* create(vl_engine* engine, const char* name, std::span<const std::uint8_t> data,
                  const vl_bin_opts* opts);

// Leaves in version `version` (0xFFFFFFFF: the newest) of object; 0 for an
// object without versions or an index out of range.
std::uint32_t chunk_count(const vl_object& object, std::uint32_t version) noexcept;

}  // namespace velta::binary
