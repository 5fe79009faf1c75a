// Open and recovery: a store on disk back into an engine.
//
// vl_open_ex loads the snapshot at P (mapped in place when it was written
// in the mappable layout, and then checked: trailer CRC and chunk keys;
// otherwise from a copy in memory), then brings the log P + ".wal" into
// line with it. A read-write open first takes the log's writer lock:
//  - missing, or its header names another generation or is damaged: the
//    log is restarted as a bare header; none of its records belongs to this
//    snapshot (a save that crashed between its rename and the log restart
//    leaves exactly such a log, whose records the snapshot already holds);
//  - valid header: records are replayed with logging off up to the first
//    one that is torn, damaged or cannot be applied, and the file is cut
//    after the last one applied. When intact records would go with the cut
//    (an intact record that cannot be applied, or damage with intact
//    records behind it), the cut-off bytes are first kept in a new file
//    beside the store; if they cannot be kept, nothing is cut and the
//    engine runs without log;
//  - not a regular file: left alone, the engine runs without log.
// A log that exists but cannot be read fails the open: an engine without
// its records would lack acknowledged changes.
// When another engine holds the writer lock, or the file cannot be opened
// for writing, and always for a read-only open, the log is read and
// replayed in memory only: nothing is written, cut, created or locked.
// Opening takes no commit lock, so a commit may replace the snapshot while
// we load; a commit holds the writer lock from before its rename to after
// its log restart, so once we hold the lock a generation check tells
// whether the store moved on, and the open then starts over.
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
#include <vector>

#include "dict/dict.h"
#include "engine/edits.h"
#include "engine/engine.h"
#include "persist/bytereader.h"
#include "persist/commit.h"
#include "persist/crc32.h"
#include "persist/files.h"
#include "persist/io.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "persist/wal.h"
#include "persist/wal_format.h"
#include "util/capi_guard.h"
#include "util/holders.h"
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
    if (base_) (void)io().unmap(base_, len_);
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

enum class Applied { kYes, kUndecodable, kRefused };

Applied refused_unless(bool ok) { return ok ? Applied::kYes : Applied::kRefused; }

// Installs each (id, bytes) of an entries record. The whole record is
// decoded and its ids and lengths checked before the first install, so a
// record that does not decode changes nothing: re-pointing an id changes
// the text of every version using it. An id that does not end up holding
// its bytes was refused (out of the dictionary's room) or met out of memory.
Applied apply_entries(vl_engine* engine, bytereader* r) {
  const std::uint32_t count = read_u32(r);
  if (r->failed) return Applied::kUndecodable;
  const bytereader entries = *r;
  // A writer logs ids it just added, next to the ones it holds, so a short
  // record naming an id far past the dictionary was not written by one; it
  // must not make replay size the id arrays for billions of ids.
  constexpr std::uint64_t kIdGap = std::uint64_t{1} << 20;
  const std::uint64_t id_limit =
      std::uint64_t{vl_dict_size(vl_engine_dict(engine))} + count + kIdGap;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t id = read_u32(r);
    const std::uint8_t* len8 = read_bytes(r, 1);
    if (r->failed || len8 == nullptr) return Applied::kUndecodable;
    if (read_bytes(r, *len8) == nullptr || *len8 > fmt::kMaxEntryLen) {
      return Applied::kUndecodable;
    }
    if (id == 0 || id > dict::kMaxId || id > id_limit) return Applied::kRefused;
  }
  *r = entries;
  vl_dict* d = vl_engine_dict(engine);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t id = read_u32(r);
    const std::uint8_t len = *read_bytes(r, 1);
    const std::uint8_t* text = read_bytes(r, len);
    vl_net__install_entry(d, id, text, len);
    std::uint64_t now = 0;
    const std::uint8_t* got = vl_dict_text(d, id, &now);
    const bool holds =
        id <= vl_dict_size(d) && now == len && (now == 0 || std::memcmp(got, text, now) == 0);
    if (!holds) return Applied::kRefused;
  }
  return Applied::kYes;
}

// Decodes one payload and applies it. Runs the engine's own operations,
// which throw std::bad_alloc when out of memory.
Applied apply_record(vl_engine* engine, const std::uint8_t* payload, std::uint64_t n) {
  namespace eng = velta::engine;
  bytereader r{payload + 1, n - 1, 0, 0};
  char a[kNameBufBytes];
  char b[kNameBufBytes];
  const std::uint8_t* bytes = nullptr;
  std::uint64_t len = 0;
  switch (payload[0]) {
    case fmt::kCreate: {
      if (!read_name(&r, a) || !read_blob(&r, &bytes, &len)) return Applied::kUndecodable;
      eng::create(engine, a, bytes, len);
      return Applied::kYes;
    }
    case fmt::kUpdate: {
      if (!read_name(&r, a)) return Applied::kUndecodable;
      std::uint64_t pos = read_u64(&r);
      std::uint64_t del = read_u64(&r);
      if (r.failed || !read_blob(&r, &bytes, &len)) return Applied::kUndecodable;
      vl_object* obj = eng::find(engine, a);
      return refused_unless(obj && eng::update(engine, obj, pos, del, bytes, len) == 0);
    }
    case fmt::kDelete: {
      if (!read_name(&r, a)) return Applied::kUndecodable;
      return refused_unless(eng::delete_object(engine, a) == 0);
    }
    case fmt::kGraft: {
      if (!read_name(&r, a) || !read_name(&r, b)) return Applied::kUndecodable;
      std::uint64_t dst_pos = read_u64(&r);
      std::uint64_t src_pos = read_u64(&r);
      std::uint64_t count = read_u64(&r);
      if (r.failed) return Applied::kUndecodable;
      vl_object* dst = eng::find(engine, a);
      vl_object* src = eng::find(engine, b);
      return refused_unless(dst && src &&
                            eng::graft(engine, dst, dst_pos, src, src_pos, count) == 0);
    }
    case fmt::kCut: {
      if (!read_name(&r, a)) return Applied::kUndecodable;
      std::uint64_t pos = read_u64(&r);
      std::uint64_t count = read_u64(&r);
      if (r.failed) return Applied::kUndecodable;
      vl_object* obj = eng::find(engine, a);
      return refused_unless(obj && eng::cut(engine, obj, pos, count) == 0);
    }
    case fmt::kTrim: {
      if (!read_name(&r, a)) return Applied::kUndecodable;
      std::uint32_t keep = read_u32(&r);
      if (r.failed) return Applied::kUndecodable;
      vl_object* obj = eng::find(engine, a);
      // A trim is only logged when it drops versions.
      return refused_unless(obj && eng::trim_history(engine, obj, keep) > 0);
    }
    case fmt::kBinary: {
      if (!read_name(&r, a)) return Applied::kUndecodable;
      vl_bin_opts opts;
      opts.target_size = read_u32(&r);
      opts.min_size = read_u32(&r);
      opts.max_size = read_u32(&r);
      opts.fixed_size = read_u32(&r);
      if (r.failed || !read_blob(&r, &bytes, &len)) return Applied::kUndecodable;
      // With an engine and a name, only memory can fail it.
      if (vl_create_binary(engine, a, bytes, len, &opts) == nullptr) throw std::bad_alloc();
      return Applied::kYes;
    }
    case fmt::kEntries:
      return apply_entries(engine, &r);
    default:
      return Applied::kUndecodable;  // kind 0 and 9..255 are never written
  }
}

// ------------------------------------------------------------- the log

enum class LogOutcome {
  kKept,        // attached: the log is in line with the engine and locked
  kUnattached,  // replayed in memory; another writer holds the log, or the
                // open is read-only
  kNoLog,       // it cannot be kept; run without log
  kStale,       // a commit replaced the snapshot while we loaded it; start over
  kFailed,      // the log (or the snapshot's header) could not be read: the
                // engine would lack changes the log holds; the open fails
};

// kKept while the snapshot on disk carries the generation we loaded; kStale
// when a commit got in while we were opening (the log now belongs to its
// snapshot, not ours); kFailed, errno set, when its header cannot be read.
LogOutcome snapshot_check(const vl_wal* wal) {
  errno = 0;
  if (store_generation(wal->store_path) == wal->generation) return LogOutcome::kKept;
  const bool unreadable = errno != 0 && errno != ENOENT && errno != EINVAL && errno != EISDIR;
  return unreadable ? LogOutcome::kFailed : LogOutcome::kStale;
}

// The first `size` bytes of the open file fd. Throws std::bad_alloc;
// false with errno on a read error.
bool read_prefix(int fd, std::uint64_t size, std::vector<std::uint8_t>* out) {
  out->resize(size);
  std::uint64_t done = 0;
  while (done < size) {
    const ssize_t got = io().pread(fd, out->data() + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // shrank under us
      return false;
    }
    done += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Replays the log image when its header continues our snapshot.
void replay_image(vl_engine* engine, vl_wal* wal, const std::vector<std::uint8_t>& image,
                  ReplayResult* res) {
  *res = ReplayResult{fmt::kHeaderSize, 0, ReplayStop::kEnd};
  if (wal_header_matches(image.data(), image.size(), wal->generation)) {
    *res = replay(engine, image.data(), image.size());
    wal->replayed = res->applied;
  }
}

// Replays the log in memory without attaching or changing anything: for a
// read-only open, and for a read-write open beside another writer. A log
// that is missing or not a regular file leaves the snapshot as it is; one
// that cannot be read fails the open.
LogOutcome replay_unattached(vl_engine* engine, vl_wal* wal) {
  Fd fd(open_regular(wal->wal_path));
  if (fd.get() < 0 && errno != ENOENT && errno != EINVAL && errno != EISDIR) {
    return LogOutcome::kFailed;
  }
  if (fd.get() >= 0) {
    std::vector<std::uint8_t> image;
    struct stat st;
    if (io().fstat(fd.get(), &st) != 0 ||
        !read_prefix(fd.get(), static_cast<std::uint64_t>(st.st_size), &image)) {
      return LogOutcome::kFailed;
    }
    ReplayResult res;
    replay_image(engine, wal, image, &res);
    wal->seen_end = image.size();
  }
  // A log of a newer snapshot holds nothing for ours: load again.
  const LogOutcome now = snapshot_check(wal);
  return now == LogOutcome::kKept ? LogOutcome::kUnattached : now;
}

// Writes the n bytes a cut is about to remove to a new file beside the
// store, under the first free name, and syncs it. 0, or -1 (nothing kept).
int keep_damaged(vl_wal* wal, const std::uint8_t* bytes, std::uint64_t n) {
  const std::string base = std::string(wal->store_path) + fmt::kDamagedSuffix;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = i == 0 ? base : base + "." + std::to_string(i);
    Fd fd(io().open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0 && errno == EEXIST) continue;
    if (fd.get() < 0) return -1;
    std::uint64_t done = 0;
    while (done < n) {
      const ssize_t put = io().write(fd.get(), bytes + done, n - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;
      done += static_cast<std::uint64_t>(put);
    }
    if (done != n || io().fsync(fd.get()) != 0) {
      (void)io().unlink(name.c_str());
      return -1;
    }
    fd.close();
    if (sync_parent_dir(name.c_str()) != 0) {
      (void)io().unlink(name.c_str());
      return -1;
    }
    wal->damaged_path = path_with_suffix(name.c_str(), "");
    wal->damaged_bytes = n;
    return 0;
  }
  errno = EEXIST;
  return -1;
}

// Takes the log's writer lock and brings the log into line with the
// freshly loaded engine: replays it and cuts what could not be applied
// (keeping it aside first when intact records would go with it), or
// restarts it; then attaches it. Another writer: replay in memory only.
LogOutcome attach_log(vl_engine* engine, vl_wal* wal) {
  bool created = false;
  Fd fd(wal_lock_open(wal->wal_path, true, &created));
  if (fd.get() < 0) {
    // Not a regular file: leave it alone. Locked by a writer, or not ours
    // to write (permissions, read-only file system): read what we can.
    if (errno == EINVAL || errno == EISDIR) return LogOutcome::kNoLog;
    return replay_unattached(engine, wal);
  }
  // A commit holds this lock from before its snapshot rename to after its
  // log restart, so from here on the store stands still.
  if (const LogOutcome now = snapshot_check(wal); now != LogOutcome::kKept) return now;
  struct stat st;
  std::vector<std::uint8_t> image;
  if (io().fstat(fd.get(), &st) != 0 ||
      !read_prefix(fd.get(), static_cast<std::uint64_t>(st.st_size), &image)) {
    return LogOutcome::kFailed;
  }
  if (!wal_header_matches(image.data(), image.size(), wal->generation)) {
    // Missing, damaged, or of another generation (a save that crashed
    // between its rename and the log restart leaves a log whose records
    // the snapshot already holds): none of its records belongs here.
    wal->replayed = 0;
    if (wal_reset_fd(fd.get(), wal->generation) != 0) return LogOutcome::kNoLog;
    // A log file whose entry a crash could take back must not acknowledge.
    if (created && sync_parent_dir(wal->wal_path) != 0) return LogOutcome::kNoLog;
  } else {
    ReplayResult res;
    replay_image(engine, wal, image, &res);
    const std::uint64_t valid = res.valid_len;
    if (image.size() > valid) {
      const bool keep = res.stop == ReplayStop::kRefused ||
                        (res.stop == ReplayStop::kDamaged &&
                         intact_record_after(image.data(), image.size(), valid + 1));
      if (keep && keep_damaged(wal, image.data() + valid, image.size() - valid) != 0) {
        return LogOutcome::kNoLog;  // the log stays whole
      }
      if (io().ftruncate(fd.get(), static_cast<off_t>(valid)) != 0) return LogOutcome::kNoLog;
      (void)io().fsync(fd.get());
    }
  }
  if (wal_adopt_fd(wal, fd.get()) != 0) return LogOutcome::kNoLog;
  (void)fd.release();
  return LogOutcome::kKept;
}

// ------------------------------------------------------------ snapshot

// The mapped load; none whenever it does not work out, and the caller
// reads the file instead, except when the mapped file is damaged (*fatal
// set, errno EIO): nothing it holds may be returned.
vl_engine* load_mapped(int fd, std::uint64_t* generation, bool* fatal) {
  const int saved_errno = errno;
  vl_engine* engine = nullptr;
  off_t size = io().lseek(fd, 0, SEEK_END);
  if (size > 0) {
    void* base = io().map_file(fd, static_cast<std::size_t>(size));
    if (base != MAP_FAILED) {
      Mapping map(base, static_cast<std::size_t>(size));
      if (reinterpret_cast<std::uintptr_t>(base) % 4 == 0) {
        engine = snap_load_ex(static_cast<const std::uint8_t*>(base),
                              static_cast<std::uint64_t>(size), generation, base);
        if (!engine && errno == EIO) {
          *fatal = true;
          return nullptr;
        }
      }
      if (engine) {
        vl_store__set_map(vl_engine_store(engine), map.release(), static_cast<std::uint64_t>(size),
                          nullptr);
      }
    }
  }
  if (!engine) errno = saved_errno;
  return engine;
}

// The snapshot as an engine without log; none with errno set.
vl_engine* load_snapshot(const char* path, std::uint64_t* generation) {
  Fd fd(open_regular(path));
  if (fd.get() < 0) {
    if (errno != EISDIR && errno != EINVAL) errno = ENOENT;
    return nullptr;
  }
  std::uint8_t hdr[kSnapHeaderSize];
  const ssize_t got = io().pread(fd.get(), hdr, sizeof hdr, 0);
  if (got == static_cast<ssize_t>(sizeof hdr) && std::memcmp(hdr, kSnapMagic, kSnapMagicLen) == 0 &&
      (snap_decode_header(hdr).flags & kSnapFlagMappable) != 0) {
    bool fatal = false;
    if (vl_engine* engine = load_mapped(fd.get(), generation, &fatal)) return engine;
    if (fatal) return nullptr;
  }
  fd.close();
  errno = 0;
  std::uint64_t size = 0;
  MallocPtr<std::uint8_t> bytes(static_cast<std::uint8_t*>(read_whole_file(path, &size)));
  if (!bytes) {
    if (errno == 0) errno = ENOENT;
    return nullptr;
  }
  return snap_load_ex(bytes.get(), size, generation, nullptr);
}

}  // namespace

// Opening races with commits of other processes, which replace the
// snapshot and then restart the log. An open that finds the store moved on
// under it loads it again; after a few such rounds it gives up on the log
// rather than touch a file that belongs to a newer snapshot.
constexpr int kOpenRounds = 3;

// Throws std::bad_alloc (out of memory while replaying): nothing on disk
// has changed then.
vl_engine* open_store(const char* path, bool readonly) {
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
    wal->readonly = readonly ? 1 : 0;
    const LogOutcome outcome =
        readonly ? replay_unattached(engine.get(), wal) : attach_log(engine.get(), wal);
    if (outcome == LogOutcome::kStale && round < kOpenRounds) continue;
    if (outcome == LogOutcome::kFailed) {
      const int err = errno;
      engine.reset();
      errno = err;
      return nullptr;
    }
    // A read-only engine keeps its state (without file) so that it stays
    // read-only; otherwise running without log means having none.
    if ((outcome == LogOutcome::kNoLog || outcome == LogOutcome::kStale) && !readonly) {
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
  ReplayStop stop = ReplayStop::kEnd;
  if (size > pos && size - pos < fmt::kFrameSize) stop = ReplayStop::kTorn;
  if (size >= fmt::kHeaderSize + fmt::kFrameSize) {
    do {
      bytereader frame{log + pos, fmt::kFrameSize, 0, 0};
      const std::uint64_t n = read_u32(&frame);
      const std::uint32_t crc = read_u32(&frame);
      if (n == 0) {
        stop = ReplayStop::kDamaged;
        break;
      }
      if (n > size - pos - fmt::kFrameSize) {
        stop = ReplayStop::kTorn;
        break;
      }
      const std::uint8_t* payload = log + pos + fmt::kFrameSize;
      if (crc32_update(0, payload, n) != crc) {
        stop = ReplayStop::kDamaged;
        break;
      }
      const Applied applied = apply_record(engine, payload, n);
      if (applied != Applied::kYes) {
        stop = applied == Applied::kRefused ? ReplayStop::kRefused : ReplayStop::kDamaged;
        break;
      }
      ++count;
      pos += fmt::kFrameSize + n;
      end = pos;
      if (size - pos > 0 && size - pos < fmt::kFrameSize) stop = ReplayStop::kTorn;
    } while (size - pos >= fmt::kFrameSize);
  }
  return {std::max<std::uint64_t>(fmt::kHeaderSize, end), count, stop};
}

bool intact_record_after(const std::uint8_t* log, std::uint64_t size, std::uint64_t from) noexcept {
  // Checksumming this much without finding a record is unusual enough to
  // keep the bytes rather than search on.
  constexpr std::uint64_t kBudget = std::uint64_t{256} << 20;
  std::uint64_t spent = 0;
  for (std::uint64_t p = from; p < size && size - p > fmt::kFrameSize; ++p) {
    bytereader frame{log + p, fmt::kFrameSize, 0, 0};
    const std::uint64_t n = read_u32(&frame);
    const std::uint32_t crc = read_u32(&frame);
    if (n == 0 || n > size - p - fmt::kFrameSize) continue;
    const std::uint8_t kind = log[p + fmt::kFrameSize];
    if (kind == 0 || kind > fmt::kMaxKind) continue;
    if ((spent += n) > kBudget) return true;
    if (crc32_update(0, log + p + fmt::kFrameSize, n) == crc) return true;
  }
  return false;
}

}  // namespace velta::persist
