// Snapshot writer. A save runs in three phases:
//  1. body: dictionary, chunks, numbered nodes, objects and counters are
//     appended to one in-memory buffer; counts that do not fit their fields
//     (EOVERFLOW) and chunks borrowed from a damaged mapping (EIO) are
//     refused here, before any file is touched;
//  2. file: header and payload (compressed when that is strictly smaller;
//     mappable layout: padded body plus the chunk trailer) go to path.tmp,
//     which is flushed, fsynced, closed and renamed over path; then the
//     directory is fsynced;
//  3. log: the engine's log state is replaced by a fresh one at path.wal
//     carrying the new generation.
// Until phase 3 the engine is only read. A failure in phase 2 removes
// path.tmp and leaves the old snapshot and log as they were.
#include "persist/snapshot_writer.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "persist/bytebuf.h"
#include "persist/crc32.h"
#include "persist/files.h"
#include "persist/io.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "persist/wal.h"
#include "util/holders.h"

namespace velta::persist {
namespace {

static_assert(std::endian::native == std::endian::little,
              "token arrays are written in memory byte order");

constexpr int kZstdLevel = 19;
constexpr int kZlibLevel = 6;

// Frees a heap bytebuf's storage on scope exit.
struct BufOwner {
  bytebuf b{};
  BufOwner() = default;
  BufOwner(const BufOwner&) = delete;
  BufOwner& operator=(const BufOwner&) = delete;
  ~BufOwner() { free_buffer(&b); }
};

// ---------------------------------------------------------------- node walk

// Stack of the post-order walk: (node, state), state 0 = not descended,
// 1 = left side done, 2 = both sides done.
struct WalkEntry {
  const vl_ext* node;
  std::uint32_t state;
};

struct NodeWalk {
  std::unique_ptr<WalkEntry[], FreeDeleter> stack;  // malloc'd: grown by realloc
  std::size_t n = 0;
  std::size_t cap = 0;
  bool failed = false;  // sticky: a push could not grow the stack
};

// Pushes (node, 0): 256 entries at first, then doubling. Returns 0, or -1
// after setting the walk's failure flag (the stack is then unchanged).
int nw_push(NodeWalk* walk, const vl_ext* node) noexcept {
  if (walk->n == walk->cap) {
    const std::size_t cap = walk->cap == 0 ? 256 : walk->cap * 2;
    void* grown = std::realloc(walk->stack.get(), cap * sizeof(WalkEntry));
    if (grown == nullptr) {
      walk->failed = true;
      return -1;
    }
    walk->stack.release();
    walk->stack.reset(static_cast<WalkEntry*>(grown));
    walk->cap = cap;
  }
  walk->stack[walk->n++] = WalkEntry{node, 0};
  return 0;
}

// Node identity -> (id, depth). Open addressing with linear probing from
// the first half of MurmurHash3's 64-bit finalizer; 8192 slots at first,
// doubled before an insert would take the load past 70 %.
class NodeMap {
 public:
  struct Slot {
    const vl_ext* node;  // NULL: empty
    std::uint32_t id;
    std::uint32_t depth;  // tree levels below and including the node
  };

  NodeMap() : slots_(8192) {}

  const Slot* find(const vl_ext* node) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(node) & mask;; i = (i + 1) & mask) {
      if (slots_[i].node == node) return &slots_[i];
      if (slots_[i].node == nullptr) return nullptr;
    }
  }

  // REQUIRES: node not yet present. Throws std::bad_alloc when growing fails.
  void insert(const vl_ext* node, std::uint32_t id, std::uint32_t depth) {
    if (used_ * 10 > slots_.size() * 7) grow();
    place(slots_, Slot{node, id, depth});
    ++used_;
  }

 private:
  static std::uint32_t mix(const vl_ext* node) noexcept {
    std::uint64_t x = reinterpret_cast<std::uintptr_t>(node);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x);
  }

  static void place(std::vector<Slot>& slots, const Slot& s) noexcept {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = mix(s.node) & mask;
    while (slots[i].node != nullptr) i = (i + 1) & mask;
    slots[i] = s;
  }

  void grow() {
    std::vector<Slot> bigger(slots_.size() * 2);
    for (const Slot& s : slots_) {
      if (s.node != nullptr) place(bigger, s);
    }
    slots_.swap(bigger);
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

// Numbers every distinct reachable node once, in post-order, appending its
// record to `records`.
class NodeNumbering {
 public:
  bytebuf* records;  // node records in id order
  std::uint32_t next_id = 0;

  explicit NodeNumbering(bytebuf* out) : records(out) {}

  // The id of `root` (kSnapNoNode for an empty tree), writing whatever of
  // its tree has no id yet. Returns 0, ENOMEM or EOVERFLOW.
  int number(const vl_ext* root, std::uint32_t* out) {
    *out = kSnapNoNode;
    if (root == nullptr) return 0;
    if (const NodeMap::Slot* s = map_.find(root)) {
      *out = s->id;
      return 0;
    }
    if (nw_push(&walk_, root) != 0) return ENOMEM;
    while (walk_.n > 0) {
      WalkEntry& top = walk_.stack[walk_.n - 1];
      const vl_ext* node = top.node;
      if (top.state == 0) {
        // Only a node not yet descended can have been numbered meanwhile
        // (reached through another parent); it cannot lie below itself.
        if (map_.find(node) != nullptr) {
          --walk_.n;
          continue;
        }
        top.state = 1;
        if (const vl_ext* l = vl_ext_left(node)) {
          if (nw_push(&walk_, l) != 0) return ENOMEM;
        }
      } else if (top.state == 1) {
        top.state = 2;
        if (const vl_ext* r = vl_ext_right(node)) {
          if (nw_push(&walk_, r) != 0) return ENOMEM;
        }
      } else {
        const int rc = emit(node);
        if (rc != 0) return rc;
        --walk_.n;
      }
    }
    *out = map_.find(root)->id;
    return 0;
  }

 private:
  int emit(const vl_ext* node) {
    if (next_id >= kSnapMaxNodes) return EOVERFLOW;
    std::uint32_t depth = 1;
    if (vl_ext_is_leaf(node)) {
      vl_leaf lf{};
      std::uint64_t bytes = 0;
      vl_ext_leaf_info(node, &lf, &bytes);
      put_u8(records, kSnapTagLeaf);
      put_u64(records, lf.key);
      put_u32(records, lf.off);
      put_u32(records, lf.count);
      put_u64(records, bytes);
      put_u32(records, vl_ext_prio(node));
    } else {
      std::uint32_t ids[2] = {kSnapNoNode, kSnapNoNode};
      const vl_ext* kids[2] = {vl_ext_left(node), vl_ext_right(node)};
      for (int k = 0; k < 2; ++k) {
        if (kids[k] == nullptr) continue;
        const NodeMap::Slot* s = map_.find(kids[k]);
        ids[k] = s->id;
        depth = std::max(depth, s->depth + 1);
      }
      if (depth > kSnapMaxTreeDepth) return EOVERFLOW;
      put_u8(records, kSnapTagInner);
      put_u32(records, ids[0]);
      put_u32(records, ids[1]);
      put_u32(records, vl_ext_prio(node));
    }
    map_.insert(node, next_id++, depth);
    return 0;
  }

  NodeMap map_;
  NodeWalk walk_;
};

// ---------------------------------------------------------------- body

// Builds the uncompressed body into `body`. Returns 0, ENOMEM or EOVERFLOW.
int build_body(vl_engine* engine, bool mappable, bytebuf* body) {
  vl_dict* dict = vl_engine_dict(engine);
  vl_store* store = vl_engine_store(engine);

  // Counts the fixed-width fields cannot carry. The dictionary restore
  // refuses blobs over 4 GiB, so such a file could never be loaded.
  std::uint64_t text_len = 0;
  const std::uint8_t* text = vl_dict__texts(dict, &text_len);
  if (text_len > kSnapMaxCount || engine->objects.size() > kSnapMaxCount) return EOVERFLOW;
  std::uint64_t n_versions = 0;
  for (const auto& obj : engine->objects) {
    if (obj->versions.size() > kSnapMaxCount) return EOVERFLOW;
    n_versions += obj->versions.size();
  }

  // Dictionary.
  const std::uint32_t n_entries = vl_dict__entries(dict);
  const std::uint32_t* offs = vl_dict__offs(dict);
  const std::uint32_t* lens = vl_dict__lens(dict);
  put_u32(body, n_entries);
  put_u64(body, text_len);
  put_bytes(body, text, text_len);
  for (std::uint32_t i = 0; i < n_entries; ++i) {
    put_u32(body, offs[i]);
    put_u32(body, lens[i]);
  }

  // Chunks, in store order.
  const std::uint32_t n_chunks = vl_store__count(store);
  put_u32(body, n_chunks);
  put_u64(body, vl_store__deduped(store));
  for (std::uint32_t i = 0; i < n_chunks; ++i) {
    std::uint32_t k = 0;
    std::uint64_t key = 0;
    const std::uint32_t* toks = vl_store__at(store, i, &k, &key);
    put_u64(body, key);
    put_u32(body, k);
    if (!mappable) put_bytes(body, toks, std::uint64_t{k} * 4);
  }

  // Nodes: number every version's tree, object order then version order.
  BufOwner records;
  NodeNumbering numbering(&records.b);
  std::vector<std::uint32_t> root_ids;
  root_ids.reserve(n_versions);
  for (const auto& obj : engine->objects) {
    for (const vl_version& v : obj->versions) {
      std::uint32_t id = kSnapNoNode;
      const int rc = numbering.number(v.root, &id);
      if (rc != 0) return rc;
      root_ids.push_back(id);
    }
  }
  if (records.b.failed) return ENOMEM;
  put_u32(body, numbering.next_id);
  put_bytes(body, records.b.data, records.b.len);

  // Objects.
  put_u32(body, static_cast<std::uint32_t>(engine->objects.size()));
  std::size_t next_root = 0;
  for (const auto& obj : engine->objects) {
    put_name(body, obj->name);
    put_u32(body, obj->n_versions());
    for (const vl_version& v : obj->versions) {
      put_u32(body, root_ids[next_root++]);
      put_u64(body, v.tokens);
      put_u64(body, v.bytes);
      put_u64(body, v.dict_version);
    }
  }

  // Statistics.
  vl_stats st{};
  vl_engine__stats_get(engine, &st);
  for (std::uint64_t c : {st.chunks_put, st.chunks_deduped, st.tokens_scanned, st.tokens_decoded,
                          st.bytes_ingested, st.store_bytes}) {
    put_u64(body, c);
  }

  if (mappable) {
    while (body->len % kSnapTrailerAlign != 0 && !body->failed) put_u8(body, 0);
  }
  return body->failed ? ENOMEM : 0;
}

// ---------------------------------------------------------------- payload

struct Payload {
  std::unique_ptr<std::uint8_t[]> owned;  // compressed bytes, when compressed
  const std::uint8_t* data;
  std::uint64_t len;
  std::uint32_t flags;
};

// Compresses the body with zstd, else zlib, keeping a result only when it is
// strictly smaller; otherwise the body is stored plain. A method whose output
// buffer cannot be allocated is skipped.
Payload compress_body(const std::uint8_t* body, std::uint64_t len) {
  Payload p{nullptr, body, len, kSnapFlagPlain};
  if (len == 0) return p;
  const std::size_t zstd_cap = std::max<std::size_t>(ZSTD_compressBound(len), 1);
  std::unique_ptr<std::uint8_t[]> out(new (std::nothrow) std::uint8_t[zstd_cap]);
  if (out != nullptr) {
    const std::size_t n = ZSTD_compress(out.get(), zstd_cap, body, len, kZstdLevel);
    if (!ZSTD_isError(n) && n < len) return Payload{std::move(out), nullptr, n, kSnapFlagZstd};
  }
  out.reset();
  uLongf zlib_cap = std::max<uLong>(compressBound(len), 1);
  out.reset(new (std::nothrow) std::uint8_t[zlib_cap]);
  if (out != nullptr && compress2(out.get(), &zlib_cap, body, len, kZlibLevel) == Z_OK &&
      zlib_cap < len) {
    return Payload{std::move(out), nullptr, zlib_cap, kSnapFlagZlib};
  }
  return p;
}

// Fills all 64 bytes from f; version and header_crc are computed here.
void encode_header(std::uint8_t (&h)[kSnapHeaderSize], const SnapHeader& f) noexcept {
  std::memset(h, 0, sizeof h);
  std::memcpy(h + kSnapOffMagic, kSnapMagic, kSnapMagicLen);
  store_u32(h + kSnapOffVersion, kSnapVersion);
  store_u32(h + kSnapOffFlags, f.flags);
  store_u64(h + kSnapOffGeneration, f.generation);
  store_u64(h + kSnapOffStoredLen, f.stored_len);
  store_u32(h + kSnapOffBodyCrc, f.body_crc);
  store_u64(h + kSnapOffTotalLen, f.total_len);
  store_u64(h + kSnapOffBodyLen, f.body_len);
  store_u32(h + kSnapOffTrailerCrc, f.trailer_crc);
  store_u32(h + kSnapOffHeaderCrc, crc32_update(0, h, kSnapHeaderCrcSpan));
}

// ---------------------------------------------------------------- files

// Removes the temporary file unless the rename happened; keeps errno.
class TmpFile {
 public:
  explicit TmpFile(std::string path) : path_(std::move(path)) {}
  TmpFile(const TmpFile&) = delete;
  TmpFile& operator=(const TmpFile&) = delete;
  ~TmpFile() { close_and_remove(); }

  const std::string& path() const noexcept { return path_; }
  std::FILE* file() const noexcept { return f_; }
  bool open() noexcept {
    // fopen(path, "wb"), through the seam.
    Fd fd(io().open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return false;
    created_ = true;
    f_ = io().fdopen(fd.get(), "wb");
    if (f_ != nullptr) (void)fd.release();
    return f_ != nullptr;
  }
  // Closes the stream; false (errno set) when the close reports an error.
  bool close() noexcept {
    std::FILE* f = f_;
    f_ = nullptr;
    return std::fclose(f) == 0;
  }
  void committed() noexcept { keep_ = true; }

 private:
  void close_and_remove() noexcept {
    const int saved = errno;
    if (f_ != nullptr) std::fclose(f_);
    if (created_ && !keep_) (void)io().remove(path_.c_str());
    errno = saved;
  }
  std::string path_;
  std::FILE* f_ = nullptr;
  bool created_ = false;  // we made (or truncated) the file
  bool keep_ = false;
};

// fwrite that reports a short write with errno set (EIO when the C library
// left none).
bool write_all(std::FILE* f, const void* p, std::uint64_t n) noexcept {
  if (n == 0) return true;
  errno = 0;
  if (std::fwrite(p, 1, n, f) == n) return true;
  if (errno == 0) errno = EIO;
  return false;
}

// Writes the chunk trailer: every chunk's tokens in store order. Returns
// false with errno set on a failed write.
bool write_trailer(std::FILE* f, vl_store* store, std::uint32_t* crc_out,
                   std::uint64_t* len_out) noexcept {
  std::uint32_t crc = 0;
  std::uint64_t len = 0;
  const std::uint32_t n_chunks = vl_store__count(store);
  for (std::uint32_t i = 0; i < n_chunks; ++i) {
    std::uint32_t k = 0;
    std::uint64_t key = 0;
    const std::uint32_t* toks = vl_store__at(store, i, &k, &key);
    if (k == 0) continue;
    const std::uint64_t n = std::uint64_t{k} * 4;
    if (!write_all(f, toks, n)) return false;
    crc = crc32_update(crc, reinterpret_cast<const std::uint8_t*>(toks), n);
    len += n;
  }
  *crc_out = crc;
  *len_out = len;
  return true;
}

// Borrowed chunks were taken from the mapped snapshot without re-hashing.
// Before their tokens are written anywhere else, the mapping's trailer must
// still match its checksum: a damaged token would otherwise go into a
// snapshot whose chunk-key check refuses it, replacing a store that opens
// with one that does not. Returns 0, or EIO for a damaged trailer. A
// mapping that does not hold a mappable snapshot is not checked.
int check_mapped_trailer(vl_store* store) noexcept {
  void* map = nullptr;
  std::uint64_t map_len = 0;
  void* aux = nullptr;
  vl_store__get_map(store, &map, &map_len, &aux);
  if (map == nullptr || vl_store__mapped_bytes(store) == 0) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(map);
  if (!snap_header_ok(bytes, map_len)) return 0;
  const SnapHeader h = snap_decode_header(bytes);
  if ((h.flags & kSnapFlagMappable) == 0 || h.stored_len > map_len - kSnapHeaderSize ||
      h.body_len > h.total_len || h.total_len != h.stored_len) {
    return 0;
  }
  const std::uint8_t* trailer = bytes + kSnapHeaderSize + h.body_len;
  return crc32_update(0, trailer, h.total_len - h.body_len) == h.trailer_crc ? 0 : EIO;
}

// Replaces the engine's log state by a fresh, empty log of `generation` in
// the claimed file path.wal, which stays locked throughout. On failure the
// engine is left without a log.
int restart_log(vl_engine* engine, const char* path, std::uint64_t generation,
                LogClaim* claim) noexcept {
  vl_wal* old = vl_engine__wal(engine);
  vl_wal* wal = wal_new(engine, path, generation);
  int rc = wal == nullptr ? -1 : wal_reset_fd(claim->fd, generation);
  if (rc == 0) rc = wal_adopt(wal, claim, old);
  const int saved = errno;
  if (old != nullptr) {
    vl_engine__set_wal(engine, nullptr);
    vl_wal__destroy(old);
  }
  if (rc != 0) {
    vl_wal__destroy(wal);
    errno = saved;
    return -1;
  }
  // A save to a new path creates the log file: make its entry durable too,
  // or no change may be acknowledged through it.
  if (sync_parent_dir(wal->wal_path) != 0) {
    const int err = errno;
    vl_wal__destroy(wal);
    errno = err;
    return -1;
  }
  vl_engine__set_wal(engine, wal);
  return 0;
}

}  // namespace

int snap_save(vl_engine* engine, const char* path, int options, LogClaim* claim) {
  if (engine == nullptr || path == nullptr || path[0] == '\0') {
    errno = EINVAL;
    return -1;
  }
  if (wal_refuses(engine, path)) {
    errno = EROFS;
    return -1;
  }
  if (vl_dict__serializable(vl_engine_dict(engine)) == 0) {
    errno = ENOTSUP;
    return -1;
  }
  // Our own copy: `path` may be the current log's store path
  // (vl_store_path), which the log restart frees.
  const std::string target(path);
  const vl_wal* cur = vl_engine__wal(engine);
  const std::uint64_t generation = cur != nullptr ? cur->generation + 1 : 1;
  const bool mappable = (options & VL_SAVE_MAPPABLE) != 0;
  const bool may_compress = (options & (VL_SAVE_MAPPABLE | VL_SAVE_UNCOMPRESSED)) == 0;

  BufOwner body;
  int rc = check_mapped_trailer(vl_engine_store(engine));
  if (rc == 0) rc = build_body(engine, mappable, &body.b);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  SnapHeader hf{};
  hf.generation = generation;
  hf.body_crc = crc32_update(0, body.b.data, body.b.len);
  hf.body_len = body.b.len;
  hf.total_len = body.b.len;
  Payload payload{nullptr, body.b.data, body.b.len, kSnapFlagPlain};
  if (mappable) {
    payload.flags = kSnapFlagMappable;
  } else if (may_compress) {
    payload = compress_body(body.b.data, body.b.len);
  }
  hf.flags = payload.flags;
  hf.stored_len = payload.len;
  const std::uint8_t* payload_bytes = payload.owned ? payload.owned.get() : payload.data;

  // The log is claimed before the snapshot moves: another engine attached
  // to it as writer holds acknowledged records that a restart would drop.
  LogClaim own_claim;
  if (claim == nullptr) {
    if (wal_claim(engine, target.c_str(), &own_claim) != 0) return -1;
    claim = &own_claim;
  }
  TmpFile tmp(target + ".tmp");
  if (!tmp.open()) return -1;
  std::uint8_t header[kSnapHeaderSize];
  encode_header(header, hf);
  if (!write_all(tmp.file(), header, sizeof header) ||
      !write_all(tmp.file(), payload_bytes, payload.len)) {
    return -1;
  }
  if (mappable) {
    std::uint64_t trailer_len = 0;
    if (!write_trailer(tmp.file(), vl_engine_store(engine), &hf.trailer_crc, &trailer_len)) {
      return -1;
    }
    hf.stored_len += trailer_len;
    hf.total_len += trailer_len;
    encode_header(header, hf);
    if (std::fseek(tmp.file(), 0, SEEK_SET) != 0 || !write_all(tmp.file(), header, sizeof header)) {
      return -1;
    }
  }
  if (std::fflush(tmp.file()) != 0 || io().fsync(io().fileno(tmp.file())) != 0 || !tmp.close())
    return -1;
  if (io().rename(tmp.path().c_str(), target.c_str()) != 0) return -1;
  tmp.committed();
  // Makes the rename durable before the log restarts: restarting the log of
  // a snapshot that a crash could still take back would drop its records.
  // Without that, the old log stays as it is, and is marked failed: what
  // it would record next could belong to either snapshot.
  if (sync_parent_dir(target.c_str()) != 0) {
    if (vl_wal* cur_log = attached_wal(engine)) cur_log->failed = 1;
    return -1;
  }

  return restart_log(engine, target.c_str(), generation, claim);
}

}  // namespace velta::persist
