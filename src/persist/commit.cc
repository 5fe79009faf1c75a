// Commit under the store's lock file, and the small calls around it.
//
// Lock file P + ".lock": absent -> present (made with O_CREAT | O_EXCL by
// the one commit that wins it; holds "%ld\n" of the holder's pid, which is
// written but never read) -> absent (removed by that same commit after the
// generation check or the save, whatever their outcome). A holder that dies
// leaves the file behind; every later commit then waits its full second
// (200 attempts, 5 ms apart) and gives -3 until vl_lock_break removes it.
//
// A commit never drops acknowledged records: it claims the log's writer
// lock before it saves (-3 while another engine is attached as writer) and
// refuses (-2) when the log holds records for the snapshot on disk that
// this engine has not replayed.
//
// A commit only moves a store's generation forward: the snapshot it writes
// carries a generation above the one it checked, so a generation noted at
// open can never match a store that has been committed since.
#include "persist/commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "persist/files.h"
#include "persist/io.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "persist/snapshot_writer.h"
#include "persist/wal.h"
#include "persist/wal_format.h"
#include "util/holders.h"
#include "util/limits.h"
#include "velta.h"

namespace velta::persist {
namespace {

constexpr int kLockAttempts = 200;
constexpr useconds_t kLockRetryMicros = 5000;

struct WalDestroy {
  void operator()(vl_wal* wal) const noexcept { vl_wal__destroy(wal); }
};

std::string lock_path_of(const char* path) { return std::string(path) + ".lock"; }

// The lock file, removed again when this holder goes if it was taken.
class LockFile {
 public:
  explicit LockFile(std::string path) : path_(std::move(path)) {}
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() {
    if (held_) (void)io().remove(path_.c_str());
  }

  // One attempt at exclusive creation; true when the file is now ours.
  bool try_take() noexcept {
    int fd = io().open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    held_ = true;
    char line[64];
    int n = std::snprintf(line, sizeof line, "%ld\n", static_cast<long>(::getpid()));
    // The pid is for people looking at a stuck store; a failed write or
    // fsync does not make the lock any less ours.
    if (n > 0) (void)!io().write(fd, line, static_cast<std::size_t>(n));
    (void)io().fsync(fd);
    (void)io().close(fd);
    return true;
  }

 private:
  std::string path_;
  bool held_ = false;
};

}  // namespace

std::uint64_t engine_generation(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr ? wal->generation : 0;
}

namespace {

// True when the claimed log holds no record for the snapshot of
// `expected` that this engine has not replayed or written itself: its own
// attached log, a log of another generation or without records, or the
// very log this engine replayed at open (unattached), grown by nothing.
bool log_seen(const vl_engine* engine, const LogClaim& claim, const char* path,
              std::uint64_t expected) {
  if (claim.own) return true;
  struct stat st;
  std::uint8_t hdr[wal_format::kHeaderSize];
  if (io().fstat(claim.fd, &st) != 0) return false;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size <= wal_format::kHeaderSize ||
      io().pread(claim.fd, hdr, sizeof hdr, 0) != static_cast<ssize_t>(sizeof hdr) ||
      !wal_header_matches(hdr, sizeof hdr, expected)) {
    return true;
  }
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr && wal->file == nullptr && wal->generation == expected &&
         same_file(wal->store_path, path) && wal->seen_end == size;
}

}  // namespace

int commit(vl_engine* engine, const char* path, std::uint64_t expected) {
  if (wal_refuses(engine, path)) {
    errno = EROFS;
    return -1;
  }
  LockFile lock(lock_path_of(path));
  bool taken = false;
  for (int attempt = 0; attempt < kLockAttempts && !taken; ++attempt) {
    taken = lock.try_take();
    if (!taken) ::usleep(kLockRetryMicros);
  }
  if (!taken) return kCommitLocked;

  if (vl_store_generation(path) != expected) return kCommitChanged;

  // Held from here until the log restart, so no other engine attaches the
  // log (or appends to it) while the snapshot is replaced.
  LogClaim claim;
  if (wal_claim(engine, path, &claim) != 0) return errno == EBUSY ? -3 : -1;
  if (!log_seen(engine, claim, path, expected)) return -2;

  // The save writes the engine's generation + 1 (1 without a log). An
  // engine below the disk's generation (made in memory, opened without log,
  // or from another store, committed by naming the disk's generation) would
  // move the store's generation back or leave it unchanged, and an engine
  // that opened the store before could then win a later commit over changes
  // it never saw. Such an engine saves as if it were at `expected`.
  std::unique_ptr<vl_wal, WalDestroy> lifted_log;
  vl_wal* own_log = attached_wal(engine);
  const std::uint64_t own_gen = own_log ? own_log->generation : 0;
  if (engine_generation(engine) < expected) {
    if (own_log) {
      own_log->generation = expected;
    } else {
      lifted_log.reset(wal_new(engine, path, expected));
      if (!lifted_log) return -1;
      vl_engine__set_wal(engine, lifted_log.get());
    }
  }
  const int rc = snap_save(engine, path, 0, &claim);
  // A save that got as far as restarting the log has consumed the attached
  // state, whether the restart worked (a new one is attached) or not (none
  // is). A save that failed earlier left it in place: undo the lift.
  if (rc == 0 || attached_wal(engine) == nullptr) {
    (void)lifted_log.release();
  } else if (lifted_log) {
    vl_engine__set_wal(engine, nullptr);
  } else if (own_log) {
    own_log->generation = own_gen;
  }
  return rc;
}

int lock_break(const char* path) { return io().remove(lock_path_of(path).c_str()); }

int lock_held(const char* path) {
  FileHolder f(fopen_regular(lock_path_of(path).c_str()));
  return f ? 1 : 0;
}

std::uint64_t store_generation(const char* path) noexcept {
  FileHolder f(fopen_regular(path));
  if (!f) return 0;
  std::uint8_t hdr[kSnapHeaderSize];
  const std::size_t got = std::fread(hdr, 1, sizeof hdr, f.get());
  f.reset();
  if (got != sizeof hdr || std::memcmp(hdr, kSnapMagic, kSnapMagicLen) != 0) return 0;
  return snap_decode_header(hdr).generation;
}

}  // namespace velta::persist
