// Snapshot loader: turns the bytes of a snapshot file into a new engine,
// validating everything it reads. A damaged, truncated or crafted file gives
// no engine and an errno; never a half-built one.
//
// Beyond the format checks the loader refuses what a loaded engine could
// later trip over: subtree token or byte totals that overflow 64 bits, a
// leaf whose stored byte length differs from what its tokens measure
// through the restored dictionary, a leaf over token ids the dictionary has
// not assigned (their length would change once they are learned), an inner
// record without children (it would pass for a leaf over no chunk), and
// trees deeper than kSnapMaxTreeDepth.
#pragma once

#include <cstdint>

#include "velta.h"

namespace velta::persist {

// The decoded 64-byte header; field meanings in snapshot_format.h.
struct SnapHeader {
  std::uint32_t version;
  std::uint32_t flags;
  std::uint64_t generation;
  std::uint64_t stored_len;
  std::uint32_t body_crc;
  std::uint64_t total_len;
  std::uint64_t body_len;
  std::uint32_t trailer_crc;
  std::uint32_t header_crc;
};

// Decodes the header at `bytes` (REQUIRES: length >= 64 readable bytes).
// Checks nothing.
SnapHeader snap_decode_header(const std::uint8_t* bytes) noexcept;

// True when the first 64 bytes carry the magic, version 3 and a matching
// header CRC. False for length < 64.
bool snap_header_ok(const std::uint8_t* bytes, std::uint64_t length) noexcept;

// Builds a new engine from the `length` bytes of a whole snapshot file.
//
// `mapping` is NULL, or the read-only mapping holding `bytes` that will live
// as long as the engine; only its presence matters. With a mapping, a
// mappable snapshot's chunks are borrowed in place: no token is copied or
// hashed here. Each borrowed chunk is checked against its key (and its ids
// against the dictionary) at its first use; leaves over part of one are
// measured over its tokens as mapped. The caller hands the mapping to the
// store (vl_store__set_map) after a successful load. Without one,
// everything is copied and checked, and the caller may free `bytes` on
// return.
//
// Returns the engine (owned by the caller, no log attached) and writes the
// header's generation to *generation_out (may be NULL). On failure returns
// NULL with errno EINVAL (bad or damaged file), EIO (a leaf over part of a
// borrowed chunk whose length disagrees with the tokens, which do not hash
// to the chunk's key) or ENOMEM, leaves *generation_out untouched, and has
// freed everything it built; it never unmaps `mapping`.
vl_engine* snap_load_ex(const std::uint8_t* bytes, std::uint64_t length,
                        std::uint64_t* generation_out, const void* mapping) noexcept;

}  // namespace velta::persist

using velta::persist::snap_load_ex;
