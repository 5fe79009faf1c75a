// Byte layout of the write-ahead log at P + ".wal", shared by the writer
// (wal.cc) and the replay at open. All integers little-endian; a u64 is its
// low u32 followed by its high u32. CRC-32 is zlib's.
//
// Header, 32 bytes at offset 0:
//   0  8  magic "VELTAwal" (no terminator)
//   8  4  u32 format version (3)
//  12  4  u32 reserved, written 0, ignored when read
//  16  8  u64 generation of the snapshot the log continues
//  24  4  u32 CRC-32 of bytes 0..23
//  28  4  padding, written 0, outside the CRC, ignored when read
//
// Records from offset 32, back to back, no padding, no end marker:
//   0  4  u32 payload length n (1 <= n <= 0xFFFFFFFF)
//   4  4  u32 CRC-32 of the n payload bytes
//   8  n  payload: kind byte, then the kind's fields (names are one length
//         byte 0..63 and that many bytes; byte strings follow their u64
//         length):
//     1 create  name, u64 n, n bytes
//     2 update  name, u64 pos, u64 removed, u64 n, n bytes
//     3 delete  name
//     4 graft   dst name, src name, u64 dst pos, u64 src pos, u64 count
//     5 cut     name, u64 pos, u64 count
//     6 trim    name, u32 versions kept
//     7 binary  name, u32 target, u32 min, u32 max, u32 fixed (the chunking
//               options after normalisation), u64 n, n bytes
//     8 entries u32 count, then count times: u32 id, u8 len (0..64), len
//               bytes; dictionary entries added by calls that log no text
//               (training, installing, learning called directly), replayed
//               by installing each id with its bytes
// Kinds 7 and 8 were added later: a log without them replays as before,
// while a build that predates them stops replay at them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/limits.h"

namespace velta::wal_format {

inline constexpr char kMagic[8] = {'V', 'E', 'L', 'T', 'A', 'w', 'a', 'l'};
inline constexpr std::uint32_t kVersion = 3;

inline constexpr std::size_t kMagicOff = 0;
inline constexpr std::size_t kVersionOff = 8;
inline constexpr std::size_t kReservedOff = 12;
inline constexpr std::size_t kGenerationOff = 16;
inline constexpr std::size_t kHeaderCrcOff = 24;
inline constexpr std::size_t kHeaderCrcSpan = 24;  // bytes the header CRC covers
inline constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 8 + 4 + 4;
static_assert(kHeaderSize == 32);

// Frame in front of every payload: u32 length + u32 CRC-32.
inline constexpr std::size_t kFrameSize = 4 + 4;
inline constexpr std::uint64_t kMaxPayload = 0xFFFFFFFFu;

// Record kinds. Written to disk: never renumber. 0 and 9..255 are never
// written; replay stops at them.
enum Kind : std::uint8_t {
  kCreate = 1,
  kUpdate = 2,
  kDelete = 3,
  kGraft = 4,
  kCut = 5,
  kTrim = 6,
  kBinary = 7,
  kEntries = 8,
};
inline constexpr std::uint8_t kMaxKind = kEntries;

// Names are cut to this many bytes on disk, as in memory.
inline constexpr std::size_t kMaxName = velta::kNameMax;  // 63

// Longest dictionary entry an entries record carries.
inline constexpr std::size_t kMaxEntryLen = 64;

// Beside the store, the bytes an open cut off a log after a damaged
// record that intact records followed: P + ".wal.damaged", or with ".1",
// ".2", ... appended when that name is taken. Never overwritten.
inline constexpr char kDamagedSuffix[] = ".wal.damaged";

}  // namespace velta::wal_format
