// Open and recovery: a store on disk back into an engine.
//
// vl_open loads the snapshot at P (mapped in place when it was written in
// the mappable layout, otherwise from a copy in memory), then brings the
// log P + ".wal" into line with it:
//  - missing, or its header names another generation or is damaged: the
//    log is restarted as a bare header; none of its records belongs to this
//    snapshot (a save that crashed between its rename and the log restart
//    leaves exactly such a log, whose records the snapshot already holds);
//  - valid header: every complete record whose CRC holds is replayed with
//    logging off, and the file is cut after the last one applied;
//  - present but unreadable: the engine runs without log, and the file is
//    left as it is (its records cannot be applied, and appending after
//    them would write edits against a state they were never made on).
// Opening takes no commit lock, so a commit by another process may replace
// the snapshot and restart the log while we load. The log is only restarted
// or cut after checking that the store still has the generation we loaded,
// and under an advisory lock on the log file that every restart also holds,
// re-checking the header there; otherwise the open starts over, so it never
// damages a log that belongs to a newer snapshot.
// After a successful open the engine logs into P + ".wal", or has no log
// when the file could not be kept; either way the open itself succeeds.
#include "persist/recovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "persist/bytereader.h"
#include "persist/crc32.h"
#include "persist/files.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "persist/wal.h"
#include "persist/wal_format.h"
#include "util/holders.h"
#include "util/limits.h"
#include "velta.h"

namespace velta::persist {
namespace {

namespace fmt = velta::wal_format;

// A read-only private mapping of a whole file, unmapped unless released.
class Mapping {
 public:
  Mapping(void* base, std::size_t len) noexcept : base_(base), len_(len) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (base_) ::munmap(base_, len_);
  }
  void* release() noexcept { return std::exchange(base_, nullptr); }

 private:
  void* base_;
  std::size_t len_;
};

// Keeps a log in its replaying state for one scope.
class ReplayingScope {
 public:
  explicit ReplayingScope(vl_wal* wal) noexcept : wal_(wal) {
    if (wal_) {
      saved_ = wal_->replaying;
      wal_->replaying = 1;
    }
  }
  ReplayingScope(const ReplayingScope&) = delete;
  ReplayingScope& operator=(const ReplayingScope&) = delete;
  ~ReplayingScope() {
    if (wal_) wal_->replaying = saved_;
  }

 private:
  vl_wal* wal_;
  int saved_ = 0;
};

// ---------------------------------------------------------------- replay

// A u64 length followed by that many raw bytes, all within the payload.
bool read_blob(bytereader* r, const std::uint8_t** out, std::uint64_t* len) {
  const std::uint64_t n = read_u64(r);
  const std::uint8_t* p = read_bytes(r, n);
  if (!p) return false;
  *out = p;
  *len = n;
  return true;
}

// Decodes one payload and applies it; false (nothing applied) when it does
// not decode. Results of the operations are ignored: a record whose object
// is gone changes nothing but still counts.
bool apply_record(vl_engine* engine, const std::uint8_t* payload, std::uint64_t n) {
  bytereader r{payload + 1, n - 1, 0, 0};
  char a[kNameBufBytes];
  char b[kNameBufBytes];
  const std::uint8_t* bytes = nullptr;
  std::uint64_t len = 0;
  switch (payload[0]) {
    case fmt::kCreate: {
      if (!read_name(&r, a) || !read_blob(&r, &bytes, &len)) return false;
      vl_create(engine, a, bytes, len);
      return true;
    }
    case fmt::kUpdate: {
      if (!read_name(&r, a)) return false;
      std::uint64_t pos = read_u64(&r);
      std::uint64_t del = read_u64(&r);
      if (r.failed || !read_blob(&r, &bytes, &len)) return false;
      if (vl_object* obj = vl_object_open(engine, a)) {
        vl_update(engine, obj, pos, del, len ? bytes : nullptr, len);
      }
      return true;
    }
    case fmt::kDelete: {
      if (!read_name(&r, a)) return false;
      vl_delete(engine, a);
      return true;
    }
    case fmt::kGraft: {
      if (!read_name(&r, a) || !read_name(&r, b)) return false;
      std::uint64_t dst_pos = read_u64(&r);
      std::uint64_t src_pos = read_u64(&r);
      std::uint64_t count = read_u64(&r);
      if (r.failed) return false;
      vl_object* dst = vl_object_open(engine, a);
      vl_object* src = vl_object_open(engine, b);
      if (dst && src) vl_graft(engine, dst, dst_pos, src, src_pos, count);
      return true;
    }
    case fmt::kCut: {
      if (!read_name(&r, a)) return false;
      std::uint64_t pos = read_u64(&r);
      std::uint64_t count = read_u64(&r);
      if (r.failed) return false;
      if (vl_object* obj = vl_object_open(engine, a)) vl_cut(engine, obj, pos, count);
      return true;
    }
    case fmt::kTrim: {
      if (!read_name(&r, a)) return false;
      std::uint32_t keep = read_u32(&r);
      if (r.failed) return false;
      if (vl_object* obj = vl_object_open(engine, a)) vl_trim_history(engine, obj, keep);
      return true;
    }
    default:
      return false;  // kind 0 and 7..255 are never written
  }
}

// ------------------------------------------------------------- the log

enum class LogHeader { kValid, kMissing, kInvalid, kUnreadable };

LogHeader check_log_header(const char* wal_path, std::uint64_t generation) {
  errno = 0;
  FileHolder f(std::fopen(wal_path, "rb"));
  if (!f) return errno == ENOENT ? LogHeader::kMissing : LogHeader::kUnreadable;
  std::uint8_t h[fmt::kHeaderSize];
  std::size_t got = std::fread(h, 1, sizeof h, f.get());
  if (got < sizeof h && std::ferror(f.get())) return LogHeader::kUnreadable;
  return got == sizeof h && wal_header_matches(h, sizeof h, generation) ? LogHeader::kValid
                                                                        : LogHeader::kInvalid;
}

enum class LogOutcome {
  kKept,   // the log is in line with the engine; open it for appending
  kNoLog,  // it cannot be kept; run without log
  kStale,  // a commit replaced the snapshot while we loaded it; start over
};

// False when the snapshot on disk no longer carries the generation we
// loaded: a commit got in while we were opening, and the log now belongs
// to its snapshot, not ours.
bool snapshot_unchanged(const vl_wal* wal) {
  return vl_store_generation(wal->store_path) == wal->generation;
}

// Starts the log afresh at our generation, unless the store moved on.
LogOutcome restart_log(const vl_wal* wal, bool created) {
  if (!snapshot_unchanged(wal)) return LogOutcome::kStale;
  // Between our header check and now, a commit may have restarted the log
  // for the very snapshot we loaded and appended to it: then load again
  // and replay those records instead of truncating them.
  const int rc = wal_restart(wal->wal_path, wal->generation, /*keep_if_current=*/true);
  if (rc < 0) return LogOutcome::kNoLog;
  if (rc == 1) return LogOutcome::kStale;
  if (created) sync_parent_dir(wal->wal_path);
  return LogOutcome::kKept;
}

// Cuts the log back to `valid` bytes and syncs it. Checks first, on the
// descriptor it cuts through, that the file still starts with our header.
// If it does not, a commit has restarted it for a newer snapshot since we
// read it, and cutting it (or lengthening it: ftruncate also extends) would
// damage the committer's records.
LogOutcome cut_tail(const vl_wal* wal, std::uint64_t valid) {
  Fd fd(::open(wal->wal_path, O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) return LogOutcome::kNoLog;
  // The same lock a restart holds: no commit truncates and rewrites the
  // file between our header check and our cut. Closing fd releases it.
  int rc;
  do rc = ::flock(fd.get(), LOCK_EX);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) return LogOutcome::kNoLog;
  std::uint8_t h[fmt::kHeaderSize];
  struct stat st;
  if (::pread(fd.get(), h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) ||
      ::fstat(fd.get(), &st) != 0) {
    return LogOutcome::kNoLog;
  }
  if (!wal_header_matches(h, sizeof h, wal->generation)) return LogOutcome::kStale;
  if (static_cast<std::uint64_t>(st.st_size) > valid &&
      ::ftruncate(fd.get(), static_cast<off_t>(valid)) != 0) {
    return LogOutcome::kNoLog;
  }
  (void)::fsync(fd.get());
  return LogOutcome::kKept;
}

// Brings the log into line with the freshly loaded engine: replays it and
// cuts its tail, or restarts it.
LogOutcome recover_log(vl_engine* engine, vl_wal* wal) {
  const std::uint64_t generation = wal->generation;
  wal->replayed = 0;
  switch (check_log_header(wal->wal_path, generation)) {
    case LogHeader::kUnreadable:
      return LogOutcome::kNoLog;
    case LogHeader::kMissing:
      return restart_log(wal, true);
    case LogHeader::kInvalid:
      return restart_log(wal, false);
    case LogHeader::kValid:
      break;
  }

  std::uint64_t size = 0;
  MallocPtr<std::uint8_t> image(static_cast<std::uint8_t*>(read_whole_file(wal->wal_path, &size)));
  if (!image) return LogOutcome::kNoLog;
  std::uint64_t valid = fmt::kHeaderSize;
  if (wal_header_matches(image.get(), size, generation)) {
    ReplayResult res = replay(engine, image.get(), size);
    wal->replayed = res.applied;
    valid = res.valid_len;
  }
  image.reset();
  return size > valid ? cut_tail(wal, valid) : LogOutcome::kKept;
}

// ------------------------------------------------------------ snapshot

// The mapped load; none (errno untouched) whenever it does not work out,
// and the caller reads the file instead.
vl_engine* load_mapped(const char* path, std::uint64_t* generation) {
  const int saved_errno = errno;
  vl_engine* engine = nullptr;
  Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() >= 0) {
    off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size > 0) {
      void* base =
          ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
      fd.close();
      if (base != MAP_FAILED) {
        Mapping map(base, static_cast<std::size_t>(size));
        if (reinterpret_cast<std::uintptr_t>(base) % 4 == 0) {
          engine = snap_load_ex(static_cast<const std::uint8_t*>(base),
                                static_cast<std::uint64_t>(size), generation, base);
        }
        if (engine) {
          vl_store__set_map(vl_engine_store(engine), map.release(),
                            static_cast<std::uint64_t>(size), nullptr);
        }
      }
    }
  }
  if (!engine) errno = saved_errno;
  return engine;
}

// The snapshot as an engine without log; none with errno set.
vl_engine* load_snapshot(const char* path, std::uint64_t* generation) {
  std::uint8_t hdr[kSnapHeaderSize];
  std::size_t got;
  {
    FileHolder f(std::fopen(path, "rb"));
    if (!f) {
      errno = ENOENT;
      return nullptr;
    }
    got = std::fread(hdr, 1, sizeof hdr, f.get());
  }
  if (got == sizeof hdr && std::memcmp(hdr, kSnapMagic, kSnapMagicLen) == 0 &&
      (snap_decode_header(hdr).flags & kSnapFlagMappable) != 0) {
    if (vl_engine* engine = load_mapped(path, generation)) return engine;
  }
  errno = 0;
  std::uint64_t size = 0;
  MallocPtr<std::uint8_t> bytes(static_cast<std::uint8_t*>(read_whole_file(path, &size)));
  if (!bytes) {
    if (errno == 0) errno = ENOENT;
    return nullptr;
  }
  return snap_load_ex(bytes.get(), size, generation, nullptr);
}

// Opening races with commits of other processes, which replace the
// snapshot and then restart the log. An open that finds the store moved on
// under it loads it again; after a few such rounds it gives up on the log
// rather than touch a file that belongs to a newer snapshot.
constexpr int kOpenRounds = 3;

}  // namespace

vl_engine* open_store(const char* path) {
  for (int round = 1;; ++round) {
    std::uint64_t generation = 0;
    EngineHolder engine(load_snapshot(path, &generation));
    if (!engine) return nullptr;

    vl_wal* wal = wal_new(engine.get(), path, generation);
    if (!wal) {
      errno = ENOMEM;
      return nullptr;
    }
    vl_engine__set_wal(engine.get(), wal);
    const LogOutcome outcome = recover_log(engine.get(), wal);
    if (outcome == LogOutcome::kStale && round < kOpenRounds) continue;
    if (outcome != LogOutcome::kKept || wal_open_append(wal) != 0) {
      vl_engine__set_wal(engine.get(), nullptr);
      vl_wal__destroy(wal);
    }
    return engine.release();
  }
}

ReplayResult replay(vl_engine* engine, const std::uint8_t* log, std::uint64_t size) {
  ReplayingScope replaying(attached_wal(engine));
  std::uint64_t count = 0;
  std::uint64_t end = 0;
  std::uint64_t pos = fmt::kHeaderSize;
  if (size >= fmt::kHeaderSize + fmt::kFrameSize) {
    do {
      bytereader frame{log + pos, fmt::kFrameSize, 0, 0};
      const std::uint64_t n = read_u32(&frame);
      const std::uint32_t crc = read_u32(&frame);
      if (n == 0 || n > size - pos - fmt::kFrameSize) break;
      const std::uint8_t* payload = log + pos + fmt::kFrameSize;
      if (crc32_update(0, payload, n) != crc) break;
      if (!apply_record(engine, payload, n)) break;
      ++count;
      pos += fmt::kFrameSize + n;
      end = pos;
    } while (size - pos >= fmt::kFrameSize);
  }
  return {std::max<std::uint64_t>(fmt::kHeaderSize, end), count};
}

}  // namespace velta::persist
