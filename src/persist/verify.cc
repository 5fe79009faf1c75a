// Deep verify: judges a store (snapshot P and log P + ".wal") by reading it
// only. The files are read whole into memory; the snapshot is loaded as a
// copy (never mapped, so every chunk's tokens are re-hashed against their
// key) and the log is replayed over that copy with no log attached, so
// nothing is ever written. An open would instead cut or restart the log.
//
// Snapshot checks, in the order the report names the first failure:
//   header   64 bytes, magic, version, header CRC;
//   lengths  the payload is all there and the length fields agree with the
//            layout as the writer sets them (stricter than the loader,
//            which tolerates forms the writer never produces);
//   payload  a compressed payload inflates to exactly total_len bytes;
//   body CRC over the uncompressed body;
//   trailer  CRC of the chunk trailer (mappable layout);
//   body     the loader accepts every section;
//   trees    the loaded engine passes the structure checks below.
// A sound store pays one load: payload and body CRC are only re-checked,
// stage by stage through a small block, to name what made the load fail.
//
// Structure checks (also after the replay): dictionary and chunk store
// invariants; every chunk key follows from its tokens (natural key, or the
// collision chain from it through earlier records); every reachable node
// sums its children and every leaf lies inside its chunk; every version's
// totals match its root; reference counts match the holders.
//
// Log states: absent and stale (an intact header of an older generation: a
// save stopped before restarting the log, and the snapshot holds its
// records) are not damage; a bad or newer header, a sound record replay
// refuses, and bytes after the last sound record are, since an open would
// drop records there.
#include "persist/verify.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "dict/dict.h"
#include "engine/engine.h"
#include "extent/arena.h"
#include "extent/treap.h"
#include "persist/bytereader.h"
#include "persist/crc32.h"
#include "persist/files.h"
#include "persist/recovery.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "persist/wal.h"
#include "persist/wal_format.h"
#include "store/store.h"
#include "util/holders.h"

namespace velta::persist {
namespace {

namespace fmt = velta::wal_format;

constexpr std::size_t kInflateBlock = 64 * 1024;

// A whole file in memory, or why not: 0, ENOENT or another errno.
struct FileImage {
  MallocPtr<std::uint8_t> bytes;
  std::uint64_t len = 0;
  int err = 0;
};

FileImage read_image(const char* path) {
  FileImage f;
  errno = 0;
  f.bytes.reset(static_cast<std::uint8_t*>(read_whole_file(path, &f.len)));
  if (!f.bytes) f.err = errno != 0 ? errno : EIO;  // a short read leaves errno 0
  return f;
}

// ------------------------------------------------------------ snapshot

// The length fields as the writer sets them for each layout (table in
// snapshot_format.h). REQUIRES: a header that passed snap_header_ok.
bool lengths_ok(const SnapHeader& h, std::uint64_t file_len) {
  if (file_len - kSnapHeaderSize < h.stored_len || h.body_len == 0 || h.body_len > h.total_len) {
    return false;
  }
  switch (h.flags) {
    case kSnapFlagPlain:
      return h.stored_len == h.total_len && h.body_len == h.total_len && h.trailer_crc == 0;
    case kSnapFlagZlib:
    case kSnapFlagZstd:
      return h.stored_len > 0 && h.body_len == h.total_len && h.trailer_crc == 0;
    case kSnapFlagMappable:
      return h.stored_len == h.total_len && h.body_len % kSnapTrailerAlign == 0 &&
             (h.total_len - h.body_len) % sizeof(std::uint32_t) == 0;
    default:
      return false;
  }
}

// Counts the uncompressed bytes and the CRC of the first body_len of them.
class BodySink {
 public:
  explicit BodySink(std::uint64_t body_len) noexcept : body_len_(body_len) {}
  void feed(const std::uint8_t* p, std::uint64_t n) noexcept {
    if (seen_ < body_len_) crc_ = crc32_update(crc_, p, std::min(n, body_len_ - seen_));
    seen_ += n;
  }
  std::uint64_t seen() const noexcept { return seen_; }
  std::uint32_t crc() const noexcept { return crc_; }

 private:
  std::uint64_t body_len_;
  std::uint64_t seen_ = 0;
  std::uint32_t crc_ = 0;
};

// Streams every zstd frame of the payload; false on a decoding error, an
// unfinished frame or more than `limit` bytes.
bool inflate_zstd(const std::uint8_t* src, std::uint64_t len, std::uint64_t limit, BodySink* sink) {
  struct Free {
    void operator()(ZSTD_DCtx* d) const noexcept { ZSTD_freeDCtx(d); }
  };
  std::unique_ptr<ZSTD_DCtx, Free> dctx(ZSTD_createDCtx());
  if (!dctx) throw std::bad_alloc();
  std::vector<std::uint8_t> block(kInflateBlock);
  ZSTD_inBuffer in{src, len, 0};
  std::size_t ret = 1;
  for (;;) {
    ZSTD_outBuffer out{block.data(), block.size(), 0};
    ret = ZSTD_decompressStream(dctx.get(), &out, &in);
    if (ZSTD_isError(ret)) return false;
    sink->feed(block.data(), out.pos);
    if (sink->seen() > limit) return false;
    if (in.pos == in.size && out.pos < out.size) break;
  }
  return ret == 0;  // 0: the last frame is complete
}

// The same for one zlib stream.
bool inflate_zlib(const std::uint8_t* src, std::uint64_t len, std::uint64_t limit, BodySink* sink) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) throw std::bad_alloc();
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};
  std::vector<std::uint8_t> block(kInflateBlock);
  std::uint64_t left = len;
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (zs.avail_in == 0 && left > 0) {
      const uInt chunk = static_cast<uInt>(std::min<std::uint64_t>(left, 1u << 30));
      zs.next_in = const_cast<Bytef*>(src + (len - left));  // zlib never writes input
      zs.avail_in = chunk;
      left -= chunk;
    }
    zs.next_out = block.data();
    zs.avail_out = static_cast<uInt>(block.size());
    rc = inflate(&zs, Z_NO_FLUSH);
    sink->feed(block.data(), block.size() - zs.avail_out);
    if (sink->seen() > limit) return false;
  }
  return rc == Z_STREAM_END;
}

// Names the stage that made the load of a snapshot fail whose header and
// lengths are sound.
std::uint32_t diagnose(const SnapHeader& h, const std::uint8_t* payload) {
  std::uint32_t body_crc;
  if ((h.flags & (kSnapFlagZstd | kSnapFlagZlib)) != 0) {
    BodySink sink(h.body_len);
    const bool ok = h.flags == kSnapFlagZstd
                        ? inflate_zstd(payload, h.stored_len, h.total_len, &sink)
                        : inflate_zlib(payload, h.stored_len, h.total_len, &sink);
    if (!ok || sink.seen() != h.total_len) return VL_VERIFY_SNAP_PAYLOAD;
    body_crc = sink.crc();
  } else {
    body_crc = crc32_update(0, payload, h.body_len);
  }
  if (body_crc != h.body_crc) return VL_VERIFY_SNAP_BODY_CRC;
  if (h.flags == kSnapFlagMappable &&
      crc32_update(0, payload + h.body_len, h.total_len - h.body_len) != h.trailer_crc) {
    return VL_VERIFY_SNAP_TRAILER;
  }
  return VL_VERIFY_SNAP_BODY;
}

// --------------------------------------------------------- structure

// True when the key of record i follows from its tokens: the natural key,
// or reached from it by next_key through keys that name earlier records of
// other contents (a put takes the first key free or naming its contents).
bool key_follows(vl_store* s, std::uint32_t i) {
  const vl_chunk& c = s->recs[i];
  std::uint64_t k = store::chunk_key(c.toks, c.n);
  for (std::uint32_t steps = 0; k != c.key; ++steps) {
    const vl_chunk* other = store::find(s, k);
    if (other == nullptr || steps >= s->count) return false;
    const auto j = static_cast<std::uint64_t>(other - s->recs.get());
    if (j >= i) return false;
    if (other->n == c.n && (c.n == 0 || std::memcmp(other->toks, c.toks, 4ull * c.n) == 0)) {
      return false;  // identical contents are never stored twice
    }
    k = store::next_key(k);
  }
  return true;
}

struct Census {
  std::uint64_t objects = 0;
  std::uint64_t versions = 0;
  std::uint64_t chunks = 0;
  std::uint64_t nodes = 0;
};

// Every structure check of the file comment over a loaded engine; fills
// *out with its counts. O(chunks + distinct nodes + versions).
bool engine_sound(vl_engine* e, Census* out) {
  *out = Census{};
  if (!dict::check_invariants(*e->dict, false)) return false;
  vl_store* s = e->store;
  if (!store::check_invariants(s, true)) return false;
  out->chunks = s->count;
  for (std::uint32_t i = 0; i < s->count; ++i) {
    if (!key_follows(s, i)) return false;
  }

  std::vector<vl_ext*> roots;
  std::vector<const vl_ext*> todo;
  std::unordered_set<const vl_ext*> seen;
  out->objects = e->objects.size();
  for (const auto& obj : e->objects) {
    if (obj->versions.empty()) return false;
    for (const vl_version& v : obj->versions) {
      ++out->versions;
      if (vl_ext_tokens(v.root) != v.tokens || vl_ext_bytes(v.root) != v.bytes) return false;
      if (v.root == nullptr) continue;
      roots.push_back(v.root);
      todo.push_back(v.root);
    }
  }
  while (!todo.empty()) {
    const vl_ext* n = todo.back();
    todo.pop_back();
    if (!seen.insert(n).second) continue;
    if (!extent::check_invariants(n, false)) return false;
    if (vl_ext_is_leaf(n)) {
      vl_leaf lf{};
      vl_ext_leaf_info(n, &lf, nullptr);
      const vl_chunk* c = store::find(s, lf.key);
      if (c == nullptr || std::uint64_t{lf.off} + lf.count > c->n) return false;
    } else {
      if (const vl_ext* l = vl_ext_left(n)) todo.push_back(l);
      if (const vl_ext* r = vl_ext_right(n)) todo.push_back(r);
    }
  }
  out->nodes = seen.size();
  if (roots.size() > UINT32_MAX) return false;
  const int mismatches = extent::audit(roots.data(), static_cast<std::uint32_t>(roots.size()), 0);
  if (mismatches < 0) throw std::bad_alloc();
  return mismatches == 0;
}

// ----------------------------------------------------------------- log

struct LogVerdict {
  std::uint32_t state = VL_VERIFY_LOG_ABSENT;
  bool replayed = false;  // records were applied to the engine
};

// Scans the log image and replays it over `engine` when there is one.
// `generation` is the snapshot's, or none when its header is bad (the
// log's generation is then not compared).
LogVerdict check_log(const FileImage& log, vl_engine* engine,
                     std::optional<std::uint64_t> generation, vl_verify_report* out) {
  LogVerdict v;
  out->log_bytes = log.len;
  const std::uint8_t* img = log.bytes.get();
  if (log.len < fmt::kHeaderSize) {
    v.state = VL_VERIFY_LOG_HEADER;
    return v;
  }
  const std::uint64_t log_gen = load_u64(img + fmt::kGenerationOff);
  if (!wal_header_matches(img, log.len, log_gen)) {
    v.state = VL_VERIFY_LOG_HEADER;
    return v;
  }
  if (generation && log_gen != *generation) {
    v.state = log_gen < *generation ? VL_VERIFY_LOG_STALE : VL_VERIFY_LOG_NEWER;
    return v;
  }

  // Framing alone, whatever the kinds: where the sound records end.
  std::uint64_t pos = fmt::kHeaderSize;
  while (log.len - pos >= fmt::kFrameSize) {
    const std::uint64_t n = load_u32(img + pos);
    const std::uint32_t crc = load_u32(img + pos + 4);
    if (n == 0 || n > log.len - pos - fmt::kFrameSize) break;
    if (crc32_update(0, img + pos + fmt::kFrameSize, n) != crc) break;
    pos += fmt::kFrameSize + n;
    ++out->log_records;
  }
  out->log_valid_bytes = pos;

  if (engine != nullptr) {
    const ReplayResult r = replay(engine, img, log.len);
    out->log_replayed = r.applied;
    out->log_replayed_bytes = r.valid_len;
    v.replayed = r.applied > 0;
    if (r.valid_len < pos) {
      v.state = VL_VERIFY_LOG_UNREPLAYABLE;
      return v;
    }
  }
  v.state = pos < log.len ? VL_VERIFY_LOG_TORN : VL_VERIFY_LOG_SOUND;
  return v;
}

bool log_damaged(std::uint32_t state) {
  return state != VL_VERIFY_LOG_SOUND && state != VL_VERIFY_LOG_ABSENT &&
         state != VL_VERIFY_LOG_STALE;
}

void put_census(const Census& c, vl_verify_report* out) {
  out->objects = c.objects;
  out->versions = c.versions;
  out->chunks = c.chunks;
  out->nodes = c.nodes;
}

}  // namespace

int verify_store(const char* path, vl_verify_report* out) {
  *out = vl_verify_report{};
  EngineHolder engine;
  std::optional<std::uint64_t> generation;
  {
    FileImage snap = read_image(path);
    if (!snap.bytes) {
      errno = snap.err;
      return -1;
    }
    out->snapshot_bytes = snap.len;
    const std::uint8_t* bytes = snap.bytes.get();
    if (!snap_header_ok(bytes, snap.len)) {
      out->snapshot = VL_VERIFY_SNAP_HEADER;
    } else {
      const SnapHeader h = snap_decode_header(bytes);
      out->flags = h.flags;
      out->generation = h.generation;
      generation = h.generation;
      if (!lengths_ok(h, snap.len)) {
        out->snapshot = VL_VERIFY_SNAP_LENGTHS;
      } else {
        engine.reset(snap_load_ex(bytes, snap.len, nullptr, nullptr));
        const std::uint8_t* payload = bytes + kSnapHeaderSize;
        if (!engine) {
          if (errno == ENOMEM) return -1;
          out->snapshot = diagnose(h, payload);
        } else if (h.flags == kSnapFlagMappable &&
                   crc32_update(0, payload + h.body_len, h.total_len - h.body_len) !=
                       h.trailer_crc) {
          // The copying load re-hashes each chunk's tokens, but trailer
          // bytes past the last chunk belong to no key.
          out->snapshot = VL_VERIFY_SNAP_TRAILER;
        }
      }
    }
  }  // the snapshot bytes go before the log comes in

  Census census;
  if (engine && out->snapshot == VL_VERIFY_SNAP_SOUND && !engine_sound(engine.get(), &census)) {
    out->snapshot = VL_VERIFY_SNAP_TREES;
  }
  if (out->snapshot != VL_VERIFY_SNAP_SOUND) engine.reset();

  char* wal_path_raw = path_with_suffix(path, ".wal");
  if (wal_path_raw == nullptr) throw std::bad_alloc();
  MallocPtr<char> wal_path(wal_path_raw);
  FileImage log = read_image(wal_path.get());
  if (!log.bytes && log.err != ENOENT) {
    errno = log.err;
    return -1;
  }
  if (log.bytes) {
    const LogVerdict v = check_log(log, engine.get(), generation, out);
    out->log = v.state;
    if (v.replayed && !engine_sound(engine.get(), &census)) out->snapshot = VL_VERIFY_SNAP_TREES;
  } else {
    out->log = VL_VERIFY_LOG_ABSENT;
  }
  if (engine) put_census(census, out);

  out->damaged = out->snapshot != VL_VERIFY_SNAP_SOUND || log_damaged(out->log) ? 1 : 0;
  return out->damaged != 0 ? VL_VERIFY_DAMAGED : 0;
}

}  // namespace velta::persist
