// Store inspection: questions about a snapshot file that need no engine
// (its format version, the state of its chunk trailer), and where an
// engine's store lives. The file questions read the 64-byte header and, for
// vl_verify_chunks, the chunk trailer of the mappable layout; nothing here
// ever writes a file.
//
// vl_verify_chunks streams the trailer through one 1 MiB block, so its
// memory use does not grow with the store. It trusts `body_len` and
// `total_len` from an unchecked header: a lie only makes it read short (EIO)
// or compare the wrong bytes (EINVAL), never allocate more.
#include "persist/store_info.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "persist/crc32.h"
#include "persist/files.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "persist/wal.h"
#include "util/holders.h"
#include "velta.h"

namespace velta::persist {
namespace {

constexpr std::size_t kVerifyBlockBytes = 1u << 20;

bool has_snap_magic(const std::uint8_t* hdr) noexcept {
  return std::memcmp(hdr, kSnapMagic, kSnapMagicLen) == 0;
}

}  // namespace

int store_format(const char* path) {
  FileHolder f(fopen_regular(path));
  if (!f) return -1;
  std::uint8_t hdr[kSnapHeaderSize];
  std::size_t got = std::fread(hdr, 1, sizeof hdr, f.get());
  f.reset();
  if (got < kSnapMagicLen || !has_snap_magic(hdr)) return 0;
  if (got < kSnapHeaderSize) {
    errno = EINVAL;
    return -1;
  }
  const SnapHeader h = snap_decode_header(hdr);
  if (h.header_crc != crc32_update(0, hdr, kSnapHeaderCrcSpan)) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(h.version);
}

int verify_chunks(const char* path) {
  FileHolder f(fopen_regular(path));
  if (!f) return -1;
  std::uint8_t hdr[kSnapHeaderSize];
  if (std::fread(hdr, 1, sizeof hdr, f.get()) != sizeof hdr || !has_snap_magic(hdr) ||
      snap_decode_header(hdr).version != kSnapVersion) {
    errno = EINVAL;
    return -1;
  }
  const SnapHeader h = snap_decode_header(hdr);
  const std::uint64_t total_len = h.total_len;
  const std::uint64_t body_len = h.body_len;
  if (body_len >= total_len) return 1;
  // fseeko takes a signed offset; a body_len that does not fit cannot be a
  // real file position either.
  if (body_len > static_cast<std::uint64_t>(INT64_MAX) - kSnapHeaderSize) {
    errno = EINVAL;
    return -1;
  }
  if (fseeko(f.get(), static_cast<off_t>(kSnapHeaderSize + body_len), SEEK_SET) != 0) return -1;

  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kVerifyBlockBytes]);
  if (!block) {
    errno = ENOMEM;
    return -1;
  }
  std::uint64_t left = total_len - body_len;
  std::uint32_t crc = 0;
  while (left > 0) {
    const std::size_t want =
        left < kVerifyBlockBytes ? static_cast<std::size_t>(left) : kVerifyBlockBytes;
    if (std::fread(block.get(), 1, want, f.get()) != want) {
      errno = EIO;
      return -1;
    }
    crc = crc32_update(crc, block.get(), want);
    left -= want;
  }
  if (crc != h.trailer_crc) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

const char* store_path(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr ? wal->store_path : nullptr;
}

}  // namespace velta::persist
