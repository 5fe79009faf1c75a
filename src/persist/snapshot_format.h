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

namespace velta::snap {

inline constexpr char kMagic[8] = {'V', 'E', 'L', 'T', 'A', 's', 'n', 'p'};
inline constexpr std::uint32_t kVersion = 3;

// Header layout.
inline constexpr std::size_t kOffMagic = 0;
inline constexpr std::size_t kOffVersion = 8;
inline constexpr std::size_t kOffFlags = 12;
inline constexpr std::size_t kOffGeneration = 16;
inline constexpr std::size_t kOffStoredLen = 24;
inline constexpr std::size_t kOffBodyCrc = 32;
inline constexpr std::size_t kOffTotalLen = 36;
inline constexpr std::size_t kOffBodyLen = 44;
inline constexpr std::size_t kOffTrailerCrc = 52;
inline constexpr std::size_t kOffHeaderCrc = 56;
inline constexpr std::size_t kOffReserved = 60;
inline constexpr std::size_t kHeaderCrcSpan = 56;  // header_crc covers bytes 0..55
inline constexpr std::size_t kHeaderSize = 64;

// Payload kinds (the header's `flags`); the writer sets exactly one.
inline constexpr std::uint32_t kFlagPlain = 0;
inline constexpr std::uint32_t kFlagZlib = 1;
inline constexpr std::uint32_t kFlagZstd = 2;
inline constexpr std::uint32_t kFlagMappable = 4;

// Node record tags.
inline constexpr std::uint8_t kTagLeaf = 0;
inline constexpr std::uint8_t kTagInner = 1;

// A node-id field holding no node (missing child, empty tree).
inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;
// Ids run 0 .. count - 1 and kNoNode is reserved, so at most this many nodes.
inline constexpr std::uint64_t kMaxNodes = 0xFFFFFFFEu;
// Every other count field is a u32.
inline constexpr std::uint64_t kMaxCount = 0xFFFFFFFFu;

// Record sizes in bytes.
inline constexpr std::size_t kLeafRecordSize = 1 + 8 + 4 + 4 + 8 + 4;  // 29
inline constexpr std::size_t kInnerRecordSize = 1 + 4 + 4 + 4;         // 13
inline constexpr std::size_t kVersionRecordSize = 4 + 8 + 8 + 8;       // 28
inline constexpr std::size_t kStatsSize = 6 * 8;                       // 48
inline constexpr std::size_t kDictEntrySize = 4 + 4;                   // 8

// Smallest record of each list, used to bound a count by the bytes present
// before anything is allocated for it.
inline constexpr std::size_t kMinDictEntry = kDictEntrySize;                 // 8
inline constexpr std::size_t kMinChunkRecord = 8 + 4;                        // 12: key, k
inline constexpr std::size_t kMinNodeRecord = kInnerRecordSize;              // 13
inline constexpr std::size_t kMinObjectRecord = 1 + 4 + kVersionRecordSize;  // 33
inline constexpr std::size_t kMinVersionRecord = kVersionRecordSize;         // 28

// Body alignment of the mappable layout, so trailer tokens are aligned u32.
inline constexpr std::size_t kTrailerAlign = 4;

// Deepest tree the loader accepts and the writer will write. Treaps of any
// realistic size are a few dozen levels deep; the limit keeps the
// recursive tree walks of a loaded engine off the end of the stack.
inline constexpr std::uint32_t kMaxTreeDepth = 4096;

static_assert(kLeafRecordSize == 29 && kInnerRecordSize == 13 && kVersionRecordSize == 28);
static_assert(kOffReserved + 4 == kHeaderSize);

}  // namespace velta::snap
