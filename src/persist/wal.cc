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
#include <utility>

#include "persist/bytereader.h"
#include "persist/crc32.h"
#include "persist/files.h"
#include "persist/io.h"
#include "persist/wal_format.h"
#include "util/holders.h"

namespace velta::persist {

namespace {

namespace fmt = velta::wal_format;

std::uint32_t crc_of(const std::uint8_t* p, std::uint64_t n) noexcept {
  return crc32_update(0, p, n);
}

// True when the file under wal->file is still this log: not shorter than
// what we wrote and headed by our generation, and, unless we hold the
// writer lock, not unlinked. On success *size holds the current file size.
//
// Under the writer lock (wal->locked) no engine restarts or cuts the file,
// so only its size is looked at, through the one cheap call that gives it
// (lseek to the end: the descriptor appends, so moving its offset changes
// nothing). That still sees a process that ignores the lock cut the file
// below what we wrote, as any restart does once we have written a record.
// The full check costs an fstat and a pread (and, on most mounts, an
// access-time update): several times the write it guards.
bool still_ours(vl_wal* wal, std::uint64_t* size) noexcept {
  const int fd = io().fileno(wal->file);
  if (fd < 0) return false;
  if (wal->locked) {
    const off_t end = io().lseek(fd, 0, SEEK_END);
    if (end < 0) return false;
    const auto cur = static_cast<std::uint64_t>(end);
    if (cur < wal->expected_end || cur < fmt::kHeaderSize) return false;
    *size = cur;
    return true;
  }
  struct stat st;
  if (io().fstat(fd, &st) != 0) return false;
  if (st.st_nlink == 0) return false;  // the path now names another file
  const auto cur = static_cast<std::uint64_t>(st.st_size);
  if (cur < wal->expected_end || cur < fmt::kHeaderSize) return false;
  std::uint8_t hdr[fmt::kHeaderSize];
  ssize_t got = io().pread(wal->read_fd >= 0 ? wal->read_fd : fd, hdr, sizeof hdr, 0);
  if (got < 0 && errno == EBADF && wal->read_fd < 0) {
    // A stream opened write-only ("ab") cannot be read back. Reopening it
    // through /proc reaches the very same file, whatever its path names
    // now. Without /proc the size check above is all we have.
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    wal->read_fd = io().open(proc, O_RDONLY | O_CLOEXEC, 0);
    if (wal->read_fd < 0) {
      *size = cur;
      return true;
    }
    got = io().pread(wal->read_fd, hdr, sizeof hdr, 0);
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
  const int fd = wal_lock_open(wal->wal_path, true, nullptr);
  if (fd < 0) return -1;
  if (wal_adopt_fd(wal, fd) != 0) {
    const int err = errno;
    (void)io().close(fd);
    errno = err;
    return -1;
  }
  return 0;
}

int wal_lock_open(const char* path, bool create, bool* created) noexcept {
  if (created != nullptr) *created = false;
  // O_NONBLOCK: opening a FIFO must not wait for a peer. Cleared below.
  constexpr int kFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK;
  int fd = io().open(path, kFlags, 0);
  if (fd < 0 && errno == ENOENT && create) {
    fd = io().open(path, kFlags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
      fd = io().open(path, kFlags, 0);  // lost a race to another creator
    } else if (fd >= 0 && created != nullptr) {
      *created = true;
    }
  }
  if (fd < 0) return -1;
  Fd holder(fd);
  struct stat st;
  if (io().fstat(fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  if (io().set_fl(fd, O_APPEND) != 0) return -1;
  int rc;
  do rc = io().flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != ENOLCK && errno != EINVAL) {
    if (errno == EAGAIN) errno = EWOULDBLOCK;
    return -1;
  }
  return holder.release();
}

LogClaim::~LogClaim() {
  if (fd >= 0 && !own) (void)io().close(fd);
}

int wal_claim(vl_engine* engine, const char* store_path, LogClaim* out) noexcept {
  MallocPtr<char> wal_path(path_with_suffix(store_path, ".wal"));
  if (!wal_path) {
    errno = ENOMEM;
    return -1;
  }
  vl_wal* cur = vl_engine__wal(engine);
  if (cur != nullptr && cur->file != nullptr && same_file(cur->wal_path, wal_path.get())) {
    // Our own records are in the file: push them out before it is cut.
    if (std::fflush(cur->file) != 0) return -1;
    out->fd = io().fileno(cur->file);
    out->own = true;
    return 0;
  }
  const int fd = wal_lock_open(wal_path.get(), true, nullptr);
  if (fd < 0) {
    if (errno == EWOULDBLOCK) errno = EBUSY;
    return -1;
  }
  out->fd = fd;
  out->own = false;
  return 0;
}

int wal_reset_fd(int fd, std::uint64_t generation) noexcept {
  std::uint8_t hdr[fmt::kHeaderSize];
  wal_encode_header(hdr, generation);
  if (io().ftruncate(fd, 0) != 0) return -1;
  // The descriptor appends: after the truncation the header lands at 0.
  const ssize_t put = io().write(fd, hdr, sizeof hdr);
  if (put != static_cast<ssize_t>(sizeof hdr)) {
    if (put >= 0) errno = EIO;
    return -1;
  }
  return io().fsync(fd);
}

namespace {

// True when fd's open file holds the writer lock. Asking again for a lock
// this descriptor already holds succeeds at once; a descriptor left
// unlocked by wal_lock_open (no flock on this file system) fails.
bool holds_writer_lock(int fd) noexcept {
  int rc;
  do rc = io().flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

int wal_adopt_fd(vl_wal* wal, int fd) noexcept {
  struct stat st;
  if (io().fstat(fd, &st) != 0) return -1;
  const int saved = errno;
  const bool locked = holds_writer_lock(fd);
  errno = saved;
  std::FILE* f = io().fdopen(fd, "a+b");
  if (f == nullptr) return -1;
  wal->file = f;
  wal->locked = locked ? 1 : 0;
  wal->expected_end = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int wal_adopt(vl_wal* wal, LogClaim* claim, vl_wal* old) noexcept {
  if (!claim->own) {
    if (wal_adopt_fd(wal, claim->fd) != 0) return -1;
    claim->fd = -1;
    return 0;
  }
  if (old == nullptr || old->file == nullptr || io().fileno(old->file) != claim->fd) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (io().fstat(claim->fd, &st) != 0) return -1;
  wal->file = std::exchange(old->file, nullptr);
  wal->locked = old->locked;
  wal->expected_end = static_cast<std::uint64_t>(st.st_size);
  claim->fd = -1;
  return 0;
}

bool wal_refuses(const vl_engine* engine, const char* path) noexcept {
  const vl_wal* wal = vl_engine__wal(const_cast<vl_engine*>(engine));
  return wal != nullptr && wal->readonly && same_file(wal->store_path, path);
}

bool same_file(const char* a, const char* b) noexcept {
  if (a == nullptr || b == nullptr) return false;
  if (std::strcmp(a, b) == 0) return true;
  struct stat sa, sb;
  return io().stat(a, &sa) == 0 && io().stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

int wal_restart(const char* path, std::uint64_t generation, bool keep_if_current) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  Fd fd(wal_lock_open(path, true, nullptr));  // closing it drops the lock
  if (fd.get() < 0) return -1;
  if (keep_if_current) {
    std::uint8_t hdr[fmt::kHeaderSize];
    const ssize_t got = io().pread(fd.get(), hdr, sizeof hdr, 0);
    if (got < 0) return -1;
    if (wal_header_matches(hdr, static_cast<std::size_t>(got), generation)) return 1;
  }
  if (wal_reset_fd(fd.get(), generation) != 0) return -1;
  return io().close(fd.release()) == 0 ? 0 : -1;
}

int wal_write_header(const char* path, std::uint64_t generation) noexcept {
  return wal_restart(path, generation, false) < 0 ? -1 : 0;
}

void wal_append(vl_wal* wal, std::span<const std::uint8_t> payload) noexcept {
  // A failed log stays as it is until a save replaces it: appending after
  // a change it could not record would let replay skip that change.
  if (wal == nullptr || wal->file == nullptr || wal->replaying || wal->failed) return;
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
      std::fflush(wal->file) != 0 || (wal->sync == 1 && io().fsync(io().fileno(wal->file)) != 0)) {
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
  if (read_fd >= 0) (void)velta::persist::io().close(read_fd);
  std::free(store_path);
  std::free(wal_path);
  std::free(damaged_path);
}
