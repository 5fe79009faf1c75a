// The log writer: header creation, the log state's life, and framed appends
// with the stale-file check. Byte layout in wal_format.h.
#include "persist/wal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "persist/bytereader.h"
#include "persist/crc32.h"
#include "persist/files.h"
#include "persist/wal_format.h"

namespace velta::persist {

namespace {

namespace fmt = velta::wal_format;

std::uint32_t crc_of(const std::uint8_t* p, std::uint64_t n) noexcept {
  return crc32_update(0, p, n);
}

// True when the file under wal->file is still this log: not unlinked, not
// shorter than what we wrote, and headed by our generation. On success
// *size holds the current file size.
bool still_ours(vl_wal* wal, std::uint64_t* size) noexcept {
  const int fd = fileno(wal->file);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  if (st.st_nlink == 0) return false;  // the path now names another file
  const auto cur = static_cast<std::uint64_t>(st.st_size);
  if (cur < wal->expected_end || cur < fmt::kHeaderSize) return false;
  std::uint8_t hdr[fmt::kHeaderSize];
  ssize_t got = pread(wal->read_fd >= 0 ? wal->read_fd : fd, hdr, sizeof hdr, 0);
  if (got < 0 && errno == EBADF && wal->read_fd < 0) {
    // A stream opened write-only ("ab") cannot be read back. Reopening it
    // through /proc reaches the very same file, whatever its path names
    // now. Without /proc the size check above is all we have.
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    wal->read_fd = open(proc, O_RDONLY | O_CLOEXEC);
    if (wal->read_fd < 0) {
      *size = cur;
      return true;
    }
    got = pread(wal->read_fd, hdr, sizeof hdr, 0);
  }
  if (got != static_cast<ssize_t>(sizeof hdr) ||
      !wal_header_matches(hdr, sizeof hdr, wal->generation)) {
    return false;
  }
  *size = cur;
  return true;
}

}  // namespace

void wal_encode_header(std::uint8_t (&out)[32], std::uint64_t generation) noexcept {
  bytebuf b = fixed_buf(out, sizeof out);
  put_bytes(&b, fmt::kMagic, sizeof fmt::kMagic);
  put_u32(&b, fmt::kVersion);
  put_u32(&b, 0);  // reserved
  put_u64(&b, generation);
  put_u32(&b, crc_of(out, fmt::kHeaderCrcSpan));
  put_u32(&b, 0);  // padding
}

int wal_header_matches(const std::uint8_t* hdr, std::size_t n, std::uint64_t generation) noexcept {
  if (hdr == nullptr || n < fmt::kHeaderSize) return 0;
  if (std::memcmp(hdr + fmt::kMagicOff, fmt::kMagic, sizeof fmt::kMagic) != 0) return 0;
  if (load_u32(hdr + fmt::kVersionOff) != fmt::kVersion) return 0;
  const std::uint64_t gen = std::uint64_t{load_u32(hdr + fmt::kGenerationOff)} |
                            std::uint64_t{load_u32(hdr + fmt::kGenerationOff + 4)} << 32;
  if (gen != generation) return 0;
  return load_u32(hdr + fmt::kHeaderCrcOff) == crc_of(hdr, fmt::kHeaderCrcSpan) ? 1 : 0;
}

vl_wal* wal_new(vl_engine* engine, const char* store_path, std::uint64_t generation) noexcept {
  if (store_path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  auto* wal = new (std::nothrow) vl_wal;
  if (wal == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  wal->store_path = path_with_suffix(store_path, "");
  wal->wal_path = path_with_suffix(store_path, ".wal");
  if (wal->store_path == nullptr || wal->wal_path == nullptr) {
    delete wal;
    errno = ENOMEM;
    return nullptr;
  }
  wal->engine = engine;
  wal->generation = generation;
  wal->sync = 1;
  return wal;
}

int wal_open_append(vl_wal* wal) noexcept {
  if (wal == nullptr || wal->wal_path == nullptr || wal->file != nullptr) {
    errno = EINVAL;
    return -1;
  }
  // Read access too, so each append can re-read the header it follows;
  // writes still always go to the end of the file. "e": close-on-exec, so a
  // child program the host starts never inherits the log.
  std::FILE* f = std::fopen(wal->wal_path, "a+be");
  if (f == nullptr) return -1;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) {
    const int err = errno;
    std::fclose(f);
    errno = err;
    return -1;
  }
  wal->file = f;
  wal->expected_end = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int wal_restart(const char* path, std::uint64_t generation, bool keep_if_current) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  auto fail = [fd] {
    const int err = errno;
    ::close(fd);  // also drops the lock
    errno = err;
    return -1;
  };
  int rc;
  do rc = ::flock(fd, LOCK_EX);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail();
  std::uint8_t hdr[fmt::kHeaderSize];
  if (keep_if_current) {
    const ssize_t got = ::pread(fd, hdr, sizeof hdr, 0);
    if (got < 0) return fail();
    if (wal_header_matches(hdr, static_cast<std::size_t>(got), generation)) {
      ::close(fd);
      return 1;
    }
  }
  wal_encode_header(hdr, generation);
  if (::ftruncate(fd, 0) != 0) return fail();
  const ssize_t put = ::pwrite(fd, hdr, sizeof hdr, 0);
  if (put != static_cast<ssize_t>(sizeof hdr)) {
    if (put >= 0) errno = EIO;
    return fail();
  }
  if (::fsync(fd) != 0) return fail();
  return ::close(fd) == 0 ? 0 : -1;
}

int wal_write_header(const char* path, std::uint64_t generation) noexcept {
  return wal_restart(path, generation, false) < 0 ? -1 : 0;
}

void wal_append(vl_wal* wal, std::span<const std::uint8_t> payload) noexcept {
  if (wal == nullptr || wal->file == nullptr || wal->replaying) return;
  // A zero-length frame would end replay there and hide every later record.
  if (payload.empty() || payload.size() > fmt::kMaxPayload) {
    wal->failed = 1;
    return;
  }
  std::uint64_t size = 0;
  if (!still_ours(wal, &size)) {
    wal->failed = 1;
    return;
  }
  std::uint8_t frame[fmt::kFrameSize];
  bytebuf f = fixed_buf(frame, sizeof frame);
  put_u32(&f, static_cast<std::uint32_t>(payload.size()));
  put_u32(&f, crc_of(payload.data(), payload.size()));
  if (std::fwrite(frame, 1, sizeof frame, wal->file) != sizeof frame ||
      std::fwrite(payload.data(), 1, payload.size(), wal->file) != payload.size() ||
      std::fflush(wal->file) != 0 || (wal->sync == 1 && fsync(fileno(wal->file)) != 0)) {
    wal->failed = 1;
    return;
  }
  wal->records += 1;
  wal->bytes += payload.size() + fmt::kFrameSize;
  wal->expected_end = size + payload.size() + fmt::kFrameSize;
}

void wal_append(vl_wal* wal, const bytebuf& payload) noexcept {
  if (wal == nullptr || wal->file == nullptr || wal->replaying) return;
  if (payload.failed) {
    wal->failed = 1;
    return;
  }
  wal_append(wal, std::span<const std::uint8_t>(payload.data, payload.len));
}

}  // namespace velta::persist

vl_wal::~vl_wal() {
  velta::persist::free_buffer(&scratch);
  if (file != nullptr) std::fclose(file);
  if (read_fd >= 0) close(read_fd);
  std::free(store_path);
  std::free(wal_path);
}
