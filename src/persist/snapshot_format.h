// Snapshot file format: constants shared by the writer, the loader and the
// inspection calls. Every value here is on disk: never renumber or resize.
//
// File = 64-byte header, then `stored_len` payload bytes. All integers are
// little-endian; CRC-32 is zlib's.
//
//   off  width  field
//    0     8    magic "VELTAsnp"
//    8   u32    version (3)
//   12   u32    flags: 0 plain, 1 zlib, 2 zstd, 4 mappable (exactly one)
//   16   u64    generation (the log started by the save carries it too)
//   24   u64    stored_len   payload bytes after the header
//   32   u32    body_crc     CRC-32 of the uncompressed body, body_len bytes
//   36   u64    total_len    uncompressed body + chunk trailer
//   44   u64    body_len     uncompressed body (mappable: with its padding)
//   52   u32    trailer_crc  CRC-32 of the chunk trailer; 0 without one
//   56   u32    header_crc   CRC-32 of bytes 0..55
//   60     4    reserved, zero, never checked
//
// Body = five sections, no separators:
//   dictionary  u32 n, u64 text_len, text_len bytes, n x (u32 off, u32 len)
//   chunks      u32 count, u64 dedup, per chunk u64 key, u32 k, k x u32 token
//               (mappable layout: the tokens live in the trailer instead)
//   nodes       u32 count, records in id order, children before parents:
//               leaf  (29) u8 0, u64 key, u32 off, u32 count, u64 bytes, u32 prio
//               inner (13) u8 1, u32 left id, u32 right id, u32 prio
//   objects     u32 count, per object: u8 m (<= 63), m name bytes, u32 v,
//               v x (u32 root id, u64 tokens, u64 bytes, u64 dict_version)
//   statistics  6 x u64 in vl_stats order
// Mappable layout: zero padding to a multiple of 4, then the chunk trailer
// (every chunk's tokens in chunk order), which starts 4-aligned in the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velta.h"

namespace velta::persist {

inline constexpr char kSnapMagic[] = "VELTAsnp";  // compare kSnapMagicLen bytes
inline constexpr std::size_t kSnapMagicLen = 8;
inline constexpr std::uint32_t kSnapVersion = 3;

// Header layout.
inline constexpr std::size_t kSnapOffMagic = 0;
inline constexpr std::size_t kSnapOffVersion = 8;
inline constexpr std::size_t kSnapOffFlags = 12;
inline constexpr std::size_t kSnapOffGeneration = 16;
inline constexpr std::size_t kSnapOffStoredLen = 24;
inline constexpr std::size_t kSnapOffBodyCrc = 32;
inline constexpr std::size_t kSnapOffTotalLen = 36;
inline constexpr std::size_t kSnapOffBodyLen = 44;
inline constexpr std::size_t kSnapOffTrailerCrc = 52;
inline constexpr std::size_t kSnapOffHeaderCrc = 56;
inline constexpr std::size_t kSnapOffReserved = 60;
inline constexpr std::size_t kSnapHeaderCrcSpan = 56;  // header_crc covers bytes 0..55
inline constexpr std::size_t kSnapHeaderSize = 64;

// Payload kinds (the header's `flags`); the writer sets exactly one.
inline constexpr std::uint32_t kSnapFlagPlain = 0;
inline constexpr std::uint32_t kSnapFlagZlib = VL_SNAP_ZLIB;
inline constexpr std::uint32_t kSnapFlagZstd = VL_SNAP_ZSTD;
inline constexpr std::uint32_t kSnapFlagMappable = VL_SNAP_MAPPABLE;

// Node record tags.
inline constexpr std::uint8_t kSnapTagLeaf = 0;
inline constexpr std::uint8_t kSnapTagInner = 1;

// A node-id field holding no node (missing child, empty tree).
inline constexpr std::uint32_t kSnapNoNode = 0xFFFFFFFFu;
// Ids run 0 .. count - 1 and kSnapNoNode is reserved, so at most this many nodes.
inline constexpr std::uint64_t kSnapMaxNodes = 0xFFFFFFFEu;
// Every other count field is a u32.
inline constexpr std::uint64_t kSnapMaxCount = 0xFFFFFFFFu;

// Record sizes in bytes.
inline constexpr std::size_t kSnapLeafRecordSize = 1 + 8 + 4 + 4 + 8 + 4;  // 29
inline constexpr std::size_t kSnapInnerRecordSize = 1 + 4 + 4 + 4;         // 13
inline constexpr std::size_t kSnapVersionRecordSize = 4 + 8 + 8 + 8;       // 28
inline constexpr std::size_t kSnapStatsSize = 6 * 8;                       // 48
inline constexpr std::size_t kSnapDictEntrySize = 4 + 4;                   // 8

// Smallest record of each list, used to bound a count by the bytes present
// before anything is allocated for it.
inline constexpr std::size_t kSnapMinDictEntry = kSnapDictEntrySize;                 // 8
inline constexpr std::size_t kSnapMinChunkRecord = 8 + 4;                            // 12: key, k
inline constexpr std::size_t kSnapMinNodeRecord = kSnapInnerRecordSize;              // 13
inline constexpr std::size_t kSnapMinObjectRecord = 1 + 4 + kSnapVersionRecordSize;  // 33
inline constexpr std::size_t kSnapMinVersionRecord = kSnapVersionRecordSize;         // 28

// Body alignment of the mappable layout, so trailer tokens are aligned u32.
inline constexpr std::size_t kSnapTrailerAlign = 4;

// Deepest tree the loader accepts and the writer will write. Treaps of any
// realistic size are a few dozen levels deep; the limit keeps the
// recursive tree walks of a loaded engine off the end of the stack.
inline constexpr std::uint32_t kSnapMaxTreeDepth = 4096;

static_assert(kSnapLeafRecordSize == 29 && kSnapInnerRecordSize == 13 &&
              kSnapVersionRecordSize == 28);
static_assert(kSnapOffReserved + 4 == kSnapHeaderSize);

}  // namespace velta::persist
