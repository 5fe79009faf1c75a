// Snapshot loader: header checks, payload decompression, body CRC, then the
// five body sections field by field into a fresh engine.
//
// Every count read from the file is checked against the bytes that remain
// before anything is allocated for it, so a corrupt count can never ask for
// more memory than the file could fill; decompression buffers are bounded by
// the codecs' largest possible expansion of the payload present. Failure
// anywhere unwinds through RAII holders: the node table drops the loader's
// references, and the engine (with the objects already attached) is freed.
#include "persist/snapshot_loader.h"

#include <sys/mman.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <unordered_set>
#include <vector>

#include "dict/dict.h"
#include "engine/engine.h"
#include "extent/arena.h"
#include "extent/node.h"
#include "extent/treap.h"
#include "persist/bytereader.h"
#include "persist/crc32.h"
#include "persist/snapshot_format.h"
#include "store/store.h"
#include "util/holders.h"
#include "util/limits.h"

namespace velta::persist {
namespace {

static_assert(std::endian::native == std::endian::little,
              "token arrays are read from and borrowed in file byte order");

// Largest expansion either codec can produce from one payload byte: zlib's
// deflate tops out near 1032:1; a zstd frame needs at least 4 bytes (an RLE
// block) for each 128 KiB it produces.
constexpr std::uint64_t kZlibMaxRatio = 1032;
constexpr std::uint64_t kZstdMaxRatio = 32768;

using MemHolder = MallocPtr<std::uint8_t>;

static_assert(kSnapMaxTreeDepth <= UINT16_MAX, "node depths are kept in 16 bits");

// Whether a load asks for huge pages: only while its nodes take at most
// this much memory. A huge page usually costs a quarter of its small pages
// (a store of 20 MB of nodes opens twice as fast), but where the memory
// behind it must first be brought back from the host it costs several
// times more: measured here, a load of 420 MB of nodes took 145-160 ms
// with huge pages and 1.1 s in one run of three, against a steady 300-360
// ms without. Small loads never showed that spread.
constexpr std::uint64_t kHugePageBudget = std::uint64_t{64} << 20;

// Memory for a loader array of n elements that is written once, front to
// back. Arrays as large as the node section are a large share of an open's
// cost in fresh pages alone, so those come in 2 MiB-aligned pieces mapped
// in one call, marked for huge pages when `huge` (best effort: without the
// calls the pages fault in one by one). From a quarter of a huge page on,
// clearing a whole one costs less than faulting the small pages in.
// Throws std::bad_alloc.
template <class T>
MallocPtr<T> scratch_array(std::size_t n, bool huge) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (n > (SIZE_MAX - kHuge) / sizeof(T)) throw std::bad_alloc();
  const std::size_t bytes = std::max<std::size_t>(n * sizeof(T), 1);
  if (bytes < kHuge / 4) {
    MallocPtr<T> small(static_cast<T*>(std::malloc(bytes)));
    if (small == nullptr) throw std::bad_alloc();
    return small;
  }
  const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
  MallocPtr<T> big(static_cast<T*>(std::aligned_alloc(kHuge, rounded)));
  if (big == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  if (huge) (void)madvise(big.get(), rounded, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  (void)madvise(big.get(), rounded, MADV_POPULATE_WRITE);
#endif
  return big;
}

// Asks for the memory of an array about to be written front to back
// (where it lies is the allocator's choice) to be mapped now, in huge pages
// where they fit when `huge`: a store with hundreds of thousands of
// versions otherwise faults in its version list page by page. Best effort;
// small arrays are left alone.
void prefault(void* p, std::size_t bytes, bool huge) noexcept {
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < kHuge / 4) return;
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t end = at + bytes;
  const std::uintptr_t huge_lo = (at + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t huge_hi = end & ~(kHuge - 1);
#ifdef MADV_HUGEPAGE
  if (huge && huge_hi > huge_lo) {
    (void)madvise(reinterpret_cast<void*>(huge_lo), huge_hi - huge_lo, MADV_HUGEPAGE);
  }
#endif
#ifdef MADV_POPULATE_WRITE
  const std::uintptr_t lo = (at + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t hi = end & ~(kPage - 1);
  if (hi > lo) (void)madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_POPULATE_WRITE);
#endif
  (void)huge_lo;
  (void)huge_hi;
}

// Arrays handed out back to back from scratch_array blocks (huge pages)
// and freed all at once: many arrays of a few hundred elements each cost
// a fault per page of their own otherwise. Throws std::bad_alloc.
template <class T>
class ScratchStack {
 public:
  // `expected`: elements likely needed in all, which sizes the first block
  // (up to a huge page).
  explicit ScratchStack(std::size_t expected = 0, bool huge = false) noexcept
      : block_(std::clamp<std::size_t>(expected, 1, kBlock)), huge_(huge) {}

  // Room for n elements, uninitialised.
  T* take(std::size_t n) {
    if (n > left_) {
      const std::size_t size = std::max(n, block_);
      blocks_.push_back(scratch_array<T>(size, huge_));
      next_ = blocks_.back().get();
      left_ = size;
      block_ = kBlock;
    }
    T* p = next_;
    next_ += n;
    left_ -= n;
    return p;
  }

 private:
  static constexpr std::size_t kBlock = (std::size_t{2} << 20) / sizeof(T);
  std::size_t block_;
  bool huge_;
  std::vector<MallocPtr<T>> blocks_;
  T* next_ = nullptr;
  std::size_t left_ = 0;
};

// One entry per node record built so far, indexed by node id. The table
// holds no references of its own: a node is held by its parents and by the
// versions whose root it is, so after the object section the nodes that
// nothing reaches are exactly the built ones still at refs 0. The
// destructor returns those (and what only they hold) to the arena, on
// success and on failure alike; versions already attached keep theirs.
// A bit per id records that a node surely is held (made a child of a built
// inner node, or the root of an attached object's version), so only the
// other nodes need to be looked at then.
class NodeTable {
 public:
  // Entries are written before they are read (ids below built()), so the
  // arrays are left uninitialised: zeroing them is a pass over memory as
  // large as the node section.
  NodeTable(std::uint32_t count, bool huge)
      : mem_(scratch_array<std::uint8_t>(std::size_t{count} * kEntryBytes, huge)),
        nodes_(reinterpret_cast<vl_ext**>(mem_.get())),
        depth_(reinterpret_cast<std::uint16_t*>(mem_.get() + std::size_t{count} * sizeof(vl_ext*))),
        held_((std::size_t{count} + 63) / 64) {}
  NodeTable(const NodeTable&) = delete;
  NodeTable& operator=(const NodeTable&) = delete;
  ~NodeTable() {
    // Collect before discarding: a discard may free children, and a freed
    // node's refs no longer mean anything. A node at refs 0 has no parent,
    // so no other discard reaches it. The unheld ones are packed to the
    // front of the table (n_unheld <= i, so nothing unread is overwritten).
    // Nearly every node is held: whole words of the bitmap are skipped.
    vl_ext** nodes = nodes_;
    std::uint32_t n_unheld = 0;
    for (std::uint32_t base = 0; base < built_; base += 64) {
      std::uint64_t unheld = ~held_[base / 64];
      if (built_ - base < 64) unheld &= (std::uint64_t{1} << (built_ - base)) - 1;
      for (; unheld != 0; unheld &= unheld - 1) {
        const std::uint32_t i = base + static_cast<std::uint32_t>(std::countr_zero(unheld));
        if (nodes[i]->refs == 0) nodes[n_unheld++] = nodes[i];
      }
    }
    for (std::uint32_t k = 0; k < n_unheld; ++k) extent::discard(nodes[k]);
  }

  std::uint32_t built() const noexcept { return built_; }
  vl_ext* at(std::uint32_t id) const noexcept { return nodes_[id]; }
  std::uint32_t depth(std::uint32_t id) const noexcept { return depth_[id]; }

  // Enters a fresh node (refs 0). REQUIRES: room left.
  void add(vl_ext* node, std::uint32_t depth) noexcept {
    nodes_[built_] = node;
    depth_[built_] = static_cast<std::uint16_t>(depth);
    ++built_;
  }

  // Notes that node `id` now has a holder that outlives the table.
  void held(std::uint32_t id) noexcept { held_[id >> 6] |= std::uint64_t{1} << (id & 63); }

 private:
  static constexpr std::size_t kEntryBytes = sizeof(vl_ext*) + sizeof(std::uint16_t);
  MallocPtr<std::uint8_t> mem_;  // both arrays, pointers first (so both aligned)
  vl_ext** nodes_;
  std::uint16_t* depth_;             // levels: a leaf is 1; at most kSnapMaxTreeDepth
  std::vector<std::uint64_t> held_;  // bit per id; clear means "look at refs"
  std::uint32_t built_ = 0;
};

// Where the payload's uncompressed bytes are and how they may be used.
struct Payload {
  const std::uint8_t* body;
  std::uint64_t body_len;
  const std::uint8_t* trailer;  // chunk trailer, after the body
  std::uint64_t trailer_len;
  bool tokens_in_trailer;  // flags has the mappable bit
  bool borrow;             // trailer lies in the caller's mapping
  std::uint32_t trailer_crc;
};

// Parses the body into `engine`. Every method returns 0 or an errno value.
class BodyParser {
 public:
  BodyParser(vl_engine* engine, const Payload& p) noexcept
      : engine_(engine), p_(p), r_{p.body, p.body_len, 0, 0} {}

  int run() {
    int rc = dictionary();
    if (rc == 0) rc = chunks();
    if (rc == 0) rc = nodes_and_objects();
    return rc;
  }

 private:
  std::uint64_t remaining() const noexcept { return r_.size - r_.pos; }

  // True when `count` records of at least `min_size` bytes each can still
  // be present.
  bool fits(std::uint64_t count, std::uint64_t min_size) const noexcept {
    return count <= remaining() / min_size;
  }

  int dictionary() {
    const std::uint32_t n = read_u32(&r_);
    const std::uint64_t text_len = read_u64(&r_);
    if (r_.failed || text_len > remaining()) return EINVAL;
    const std::uint8_t* blob = r_.data + r_.pos;
    r_.pos += text_len;
    if (!fits(n, kSnapMinDictEntry)) return EINVAL;
    std::vector<std::uint32_t> offs(n);
    std::vector<std::uint32_t> lens(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      offs[i] = read_u32(&r_);
      lens[i] = read_u32(&r_);
    }
    if (r_.failed) return EINVAL;
    errno = 0;
    if (vl_dict__restore(engine_->dict, blob, text_len, offs.data(), lens.data(), n) != 0) {
      return errno == ENOMEM ? ENOMEM : EINVAL;
    }
    dict_size_ = vl_dict__entries(engine_->dict);
    return 0;
  }

  // Notes chunks holding ids the dictionary has not assigned: such an id
  // decodes to nothing now and to some bytes once a later create learns it,
  // which would silently change the length of any leaf over it.
  void note_unassigned(std::uint64_t key, const std::uint32_t* toks, std::uint32_t k) {
    std::uint32_t bad = 0;
    for (std::uint32_t i = 0; i < k; ++i) {
      bad |= static_cast<std::uint32_t>(toks[i] > dict_size_ && toks[i] < kByteTokenBase);
    }
    if (bad != 0) unassigned_.insert(key);
  }

  int put_copy(std::uint64_t key, const std::uint32_t* toks, std::uint32_t k) {
    const std::uint64_t got = vl_store_put(engine_->store, toks, k);
    if (got == 0) return ENOMEM;  // keys are never 0
    if (got != key) return EINVAL;
    note_unassigned(key, toks, k);
    return 0;
  }

  int chunks() {
    const std::uint32_t c = read_u32(&r_);
    const std::uint64_t dedup = read_u64(&r_);
    if (r_.failed || !fits(c, kSnapMinChunkRecord)) return EINVAL;
    const std::uint8_t* cursor = p_.trailer;
    std::uint64_t trailer_left = p_.trailer_len;
    // Borrowed tokens are not looked at here: each chunk is checked against
    // its key (and its ids against this dictionary) at its first use, so
    // opening costs what is read, not the size of the store.
    engine_->store->unchecked_id_limit = dict_size_;
    std::vector<std::uint32_t> scratch;
    for (std::uint32_t i = 0; i < c; ++i) {
      const std::uint64_t key = read_u64(&r_);
      const std::uint32_t k = read_u32(&r_);
      if (r_.failed) return EINVAL;
      const std::uint64_t n_bytes = std::uint64_t{k} * 4;
      const std::uint8_t* src;
      if (!p_.tokens_in_trailer) {
        if (n_bytes > remaining()) return EINVAL;
        src = r_.data + r_.pos;
        r_.pos += n_bytes;
      } else {
        if (n_bytes > trailer_left) return EINVAL;
        src = cursor;
        cursor += n_bytes;
        trailer_left -= n_bytes;
        // A borrowed array must be an aligned u32 array; a crafted body
        // length can misplace the trailer, and such chunks are copied.
        if (p_.borrow && reinterpret_cast<std::uintptr_t>(src) % alignof(std::uint32_t) == 0) {
          const auto* toks = reinterpret_cast<const std::uint32_t*>(src);
          const std::uint32_t before = engine_->store->count;
          errno = 0;
          const std::uint64_t got = vl_store__put_borrowed(engine_->store, key, toks, k);
          if (got != key) return got == 0 && errno == ENOMEM ? ENOMEM : EINVAL;
          // A new record (not a dedupe against one already entered).
          if (engine_->store->count != before) engine_->store->recs[before].unchecked = 1;
          continue;
        }
      }
      if (scratch.size() < k) scratch.resize(k);
      if (k > 0) std::memcpy(scratch.data(), src, n_bytes);
      const int rc = put_copy(key, scratch.data(), k);
      if (rc != 0) return rc;
    }
    std::vector<std::uint32_t>().swap(scratch);
    vl_store__set_deduped(engine_->store, dedup);
    return 0;
  }

  // Record fields are read straight from the body after one bounds check
  // per record: `rec` points past the tag byte.
  int inner(NodeTable& table, std::uint32_t i, const std::uint8_t* rec) {
    const std::uint32_t l = load_u32(rec);
    const std::uint32_t r = load_u32(rec + 4);
    const std::uint32_t prio = load_u32(rec + 8);
    if ((l != kSnapNoNode && l >= i) || (r != kSnapNoNode && r >= i)) return EINVAL;
    // Without children the node would pass for a leaf over chunk key 0,
    // which the next save writes as a leaf record no load accepts.
    if (l == kSnapNoNode && r == kSnapNoNode) return EINVAL;
    vl_ext* left = l == kSnapNoNode ? nullptr : table.at(l);
    vl_ext* right = r == kSnapNoNode ? nullptr : table.at(r);
    // Shared subtrees can double the totals at every level; refuse sums
    // that do not fit before the constructor forms them.
    const std::uint64_t lt = left == nullptr ? 0 : left->tokens;
    const std::uint64_t lb = left == nullptr ? 0 : left->bytes;
    const std::uint64_t rt = right == nullptr ? 0 : right->tokens;
    const std::uint64_t rb = right == nullptr ? 0 : right->bytes;
    if (rt > UINT64_MAX - lt || rb > UINT64_MAX - lb) return EINVAL;
    const std::uint32_t depth =
        1 + std::max(l == kSnapNoNode ? 0 : table.depth(l), r == kSnapNoNode ? 0 : table.depth(r));
    if (depth > kSnapMaxTreeDepth) return EINVAL;
    vl_ext* node = extent::mk_inner(left, right, prio);
    if (node == nullptr) return ENOMEM;
    table.add(node, depth);
    if (l != kSnapNoNode) table.held(l);
    if (r != kSnapNoNode) table.held(r);
    return 0;
  }

  int leaf(NodeTable& table, const std::uint8_t* rec) {
    vl_leaf lf{};
    lf.key = load_u64(rec);
    lf.off = load_u32(rec + 8);
    lf.count = load_u32(rec + 12);
    const std::uint64_t bytes = load_u64(rec + 16);
    const std::uint32_t prio = load_u32(rec + 24);
    vl_chunk* chunk = last_chunk_ != nullptr && last_chunk_->key == lf.key
                          ? last_chunk_
                          : store::find(engine_->store, lf.key);
    if (chunk == nullptr || std::uint64_t{lf.off} + lf.count > chunk->n) return EINVAL;
    last_chunk_ = chunk;
    if (chunk->unchecked != 0 && lf.off == 0 && lf.count == chunk->n) {
      // A whole unchecked chunk: its length is checked with its tokens at
      // first use. Every leaf over it must claim the same length.
      if (chunk->byte_len_valid == 2 && chunk->byte_len != bytes) return EINVAL;
      chunk->byte_len = bytes;
      chunk->byte_len_valid = 2;
      vl_ext* node = extent::mk_leaf(lf, bytes, prio);
      if (node == nullptr) return ENOMEM;
      table.add(node, 1);
      return 0;
    }
    // Reads, splits and searches trust a leaf's byte length to match its
    // tokens; a file that disagrees with its own dictionary is refused.
    if (!unassigned_.empty() && unassigned_.count(lf.key) != 0) {
      for (std::uint32_t t = 0; t < lf.count; ++t) {
        const std::uint32_t id = chunk->toks[lf.off + t];
        if (id > dict_size_ && id < kByteTokenBase) return EINVAL;
      }
    }
    // Part of an unchecked chunk is measured over its tokens as they lie
    // in the mapping; whether they are the chunk's is checked, like a
    // whole chunk's, at its first use. A length that disagrees fails the
    // load here: as damaged tokens (EIO) when the chunk does not check
    // out, else as a lying leaf (EINVAL).
    if (measure(chunk, lf) != bytes) {
      if (chunk->unchecked != 0 && !engine::readable(engine_->dict, engine_->store, chunk)) {
        return EIO;
      }
      return EINVAL;
    }
    vl_ext* node = extent::mk_leaf(lf, bytes, prio);
    if (node == nullptr) return ENOMEM;
    table.add(node, 1);
    return 0;
  }

  // Byte length of a leaf over part of a readable chunk, as ext_bytes
  // gives it. Multi-version stores hold many cut leaves over one chunk, and
  // measuring each one token by token costs their total length; from a
  // chunk's second cut leaf on, its byte offset at every token boundary is
  // kept (load only) and a leaf costs one subtraction.
  std::uint64_t measure(const vl_chunk* chunk, const vl_leaf& lf) {
    // Chunk records stay where they are until the next put, and the node
    // section puts nothing: a record's index names its chunk.
    const vl_store* store = engine_->store;
    if (prefix_.empty()) {
      // At most every token boundary of every chunk in the trailer.
      prefix_.resize(store->count);
      offsets_ = ScratchStack<std::uint64_t>(p_.trailer_len / 4 + store->count, huge_);
    }
    const std::uint64_t*& at = prefix_[static_cast<std::size_t>(chunk - store->recs.get())];
    if (at == nullptr) {
      at = &kSeenOnce;  // measured directly this time
      return vl_detok_len(engine_->dict, chunk->toks + lf.off, lf.count);
    }
    if (at == &kSeenOnce) {
      // Token lengths as detok_len counts them: a byte token is one byte,
      // an assigned id its entry's length, anything else nothing.
      const vl_dict& d = *engine_->dict;
      const std::uint32_t* lens = d.lens.get();
      std::uint64_t* fill = offsets_.take(std::size_t{chunk->n} + 1);
      std::uint64_t sum = 0;
      fill[0] = 0;
      for (std::uint32_t t = 0; t < chunk->n; ++t) {
        const std::uint32_t id = chunk->toks[t];
        sum += id >= kByteTokenBase ? 1 : id != 0 && id <= d.size ? lens[id - 1] : 0;
        fill[t + 1] = sum;
      }
      at = fill;
    }
    return at[std::size_t{lf.off} + lf.count] - at[lf.off];
  }

  // Reads `v` version records into `out` (capacity reserved), checking each
  // root's totals; takes no references.
  int versions(const NodeTable& table, std::uint32_t v, std::vector<vl_version>& out) {
    // Roots lie all over the nodes built: each is asked for some records
    // before it is read.
    constexpr std::uint32_t kRootAhead = 16;
    // The caller checked that v records remain: they are read in place.
    const std::uint8_t* rec = r_.data + r_.pos;
    for (std::uint32_t j = 0; j < v; ++j, rec += kSnapVersionRecordSize) {
      if (v - j > kRootAhead) {
        const std::uint32_t ahead = load_u32(rec + kRootAhead * kSnapVersionRecordSize);
        if (ahead < table.built()) __builtin_prefetch(table.at(ahead));
      }
      const std::uint32_t id = load_u32(rec);
      vl_version ver{};
      ver.tokens = load_u64(rec + 4);
      ver.bytes = load_u64(rec + 12);
      ver.dict_version = load_u64(rec + 20);
      if (id != kSnapNoNode) {
        if (id >= table.built()) return EINVAL;
        ver.root = table.at(id);
      }
      const std::uint64_t tokens = ver.root == nullptr ? 0 : ver.root->tokens;
      const std::uint64_t bytes = ver.root == nullptr ? 0 : ver.root->bytes;
      if (tokens != ver.tokens || bytes != ver.bytes) return EINVAL;
      out.push_back(ver);  // capacity reserved: cannot throw
    }
    r_.pos += std::uint64_t{v} * kSnapVersionRecordSize;
    return 0;
  }

  int object(NodeTable& table) {
    char name[kNameBufBytes];
    if (!read_name(&r_, name)) return EINVAL;
    const std::uint32_t v = read_u32(&r_);
    if (r_.failed || v == 0 || !fits(v, kSnapMinVersionRecord)) return EINVAL;
    // Roots are retained only once every version record has been checked:
    // releasing a root on failure could free it while the table still
    // lists it as a built node at refs 0, which the table would then
    // return to the arena a second time.
    std::unique_ptr<vl_object> obj = engine::make_object(name);
    obj->versions.reserve(v);
    prefault(obj->versions.data(), std::size_t{v} * sizeof(vl_version), huge_);
    const std::uint8_t* records = r_.data + r_.pos;
    const int rc = versions(table, v, obj->versions);
    if (rc != 0) {
      obj->versions.clear();  // holds no reference yet
      return rc;
    }
    for (const vl_version& ver : obj->versions) extent::retain(ver.root);
    engine::attach(engine_, std::move(obj));
    // Only now do the roots have a holder that outlives the table.
    for (std::uint32_t j = 0; j < v; ++j) {
      const std::uint32_t id = load_u32(records + std::size_t{j} * kSnapVersionRecordSize);
      if (id != kSnapNoNode) table.held(id);
    }
    return 0;
  }

  int nodes_and_objects() {
    const std::uint32_t count = read_u32(&r_);
    if (r_.failed || !fits(count, kSnapMinNodeRecord)) return EINVAL;
    huge_ = std::uint64_t{count} * sizeof(vl_ext) <= kHugePageBudget;
    NodeTable table(count, huge_);
    std::optional<extent::HugeBlocks> huge;  // the node section may make millions of nodes
    if (huge_) huge.emplace();
    for (std::uint32_t i = 0; i < count; ++i) {
      if (remaining() < kSnapInnerRecordSize) return EINVAL;  // the shorter record
      const std::uint8_t* rec = r_.data + r_.pos;
      int rc = EINVAL;
      if (rec[0] == kSnapTagInner) {
        r_.pos += kSnapInnerRecordSize;
        rc = inner(table, i, rec + 1);
      } else if (rec[0] == kSnapTagLeaf) {
        if (remaining() < kSnapLeafRecordSize) return EINVAL;
        r_.pos += kSnapLeafRecordSize;
        rc = leaf(table, rec + 1);
      }
      if (rc != 0) return rc;
    }
    // Needed only for the node section.
    decltype(prefix_)().swap(prefix_);
    offsets_ = ScratchStack<std::uint64_t>();

    const std::uint32_t n_obj = read_u32(&r_);
    if (r_.failed || !fits(n_obj, kSnapMinObjectRecord)) return EINVAL;
    engine_->objects.reserve(n_obj);
    for (std::uint32_t i = 0; i < n_obj; ++i) {
      const int rc = object(table);
      if (rc != 0) return rc;
    }

    vl_stats st{};
    st.chunks_put = read_u64(&r_);
    st.chunks_deduped = read_u64(&r_);
    st.tokens_scanned = read_u64(&r_);
    st.tokens_decoded = read_u64(&r_);
    st.bytes_ingested = read_u64(&r_);
    st.store_bytes = read_u64(&r_);
    if (r_.failed) return EINVAL;
    vl_engine__stats_set(engine_, &st);
    return 0;  // the table's destructor drops the loader's references
  }

  vl_engine* engine_;
  Payload p_;
  bytereader r_;
  std::uint32_t dict_size_ = 0;
  vl_chunk* last_chunk_ = nullptr;  // chunk of the previous leaf; runs of leaves share one
  std::unordered_set<std::uint64_t> unassigned_;  // chunk keys; almost always empty
  // Per chunk record met by cut leaves: &kSeenOnce after the first, then
  // its byte offset at every token boundary (see measure), in offsets_.
  // Sized at the first cut leaf.
  static constexpr std::uint64_t kSeenOnce = 0;
  std::vector<const std::uint64_t*> prefix_;
  ScratchStack<std::uint64_t> offsets_;
  bool huge_ = false;  // huge pages for this load's big arrays (kHugePageBudget)
};

// Decompresses `src` into a fresh buffer of exactly `total_len` bytes.
// Returns 0, EINVAL (corrupt, wrong length, impossible ratio) or ENOMEM.
int inflate_payload(std::uint32_t flags, const std::uint8_t* src, std::uint64_t src_len,
                    std::uint64_t total_len, MemHolder* out) noexcept {
  const bool zstd = (flags & kSnapFlagZstd) != 0;
  if (total_len / (zstd ? kZstdMaxRatio : kZlibMaxRatio) > src_len) return EINVAL;
  if (zstd) {
    const unsigned long long declared = ZSTD_getFrameContentSize(src, src_len);
    if (declared == ZSTD_CONTENTSIZE_ERROR) return EINVAL;
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != total_len) return EINVAL;
  }
  if (total_len > SIZE_MAX - 1) return ENOMEM;
  MemHolder buf(static_cast<std::uint8_t*>(std::malloc(total_len == 0 ? 1 : total_len)));
  if (buf == nullptr) return ENOMEM;
  if (zstd) {
    const std::size_t got = ZSTD_decompress(buf.get(), total_len, src, src_len);
    if (ZSTD_isError(got) || got != total_len) return EINVAL;
  } else {
    uLongf got = total_len;
    if (uncompress(buf.get(), &got, src, src_len) != Z_OK || got != total_len) return EINVAL;
  }
  *out = std::move(buf);
  return 0;
}

vl_engine* load(const std::uint8_t* bytes, std::uint64_t length, std::uint64_t* generation_out,
                const void* mapping) {
  if (bytes == nullptr || !snap_header_ok(bytes, length)) {
    errno = EINVAL;
    return nullptr;
  }
  const SnapHeader h = snap_decode_header(bytes);
  if (length - kSnapHeaderSize < h.stored_len || h.body_len > h.total_len) {
    errno = EINVAL;
    return nullptr;
  }
  const std::uint8_t* payload = bytes + kSnapHeaderSize;

  MemHolder inflated;
  const std::uint8_t* data = payload;
  bool in_place = true;
  if ((h.flags & (kSnapFlagZstd | kSnapFlagZlib)) != 0) {
    const int rc = inflate_payload(h.flags, payload, h.stored_len, h.total_len, &inflated);
    if (rc != 0) {
      errno = rc;
      return nullptr;
    }
    data = inflated.get();
    in_place = false;
  } else if (h.total_len != h.stored_len && h.total_len != 0) {
    errno = EINVAL;
    return nullptr;
  }

  if (h.total_len != 0 && h.body_len == 0) {
    errno = EINVAL;
    return nullptr;
  }
  // total_len 0: the body is the stored payload itself, read where it lies
  // (a decompression buffer then holds nothing).
  const std::uint8_t* body = h.total_len == 0 ? payload : data;
  const std::uint64_t body_len = h.total_len == 0 ? h.stored_len : h.body_len;
  if (crc32_update(0, body, body_len) != h.body_crc) {
    errno = EINVAL;
    return nullptr;
  }

  Payload p{};
  p.body = body;
  p.body_len = body_len;
  p.trailer = data + h.body_len;
  p.trailer_len = h.total_len - h.body_len;
  p.tokens_in_trailer = (h.flags & kSnapFlagMappable) != 0;
  p.borrow = mapping != nullptr && in_place;
  p.trailer_crc = h.trailer_crc;

  EngineHolder engine(vl_engine_new());
  if (engine == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  vl_ext_monoid_bind(vl_engine_store(engine.get()));
  const int rc = BodyParser(engine.get(), p).run();
  if (rc != 0) {
    errno = rc;
    return nullptr;
  }
  if (generation_out != nullptr) *generation_out = h.generation;
  return engine.release();
}

}  // namespace

SnapHeader snap_decode_header(const std::uint8_t* bytes) noexcept {
  SnapHeader h{};
  h.version = load_u32(bytes + kSnapOffVersion);
  h.flags = load_u32(bytes + kSnapOffFlags);
  h.generation = load_u64(bytes + kSnapOffGeneration);
  h.stored_len = load_u64(bytes + kSnapOffStoredLen);
  h.body_crc = load_u32(bytes + kSnapOffBodyCrc);
  h.total_len = load_u64(bytes + kSnapOffTotalLen);
  h.body_len = load_u64(bytes + kSnapOffBodyLen);
  h.trailer_crc = load_u32(bytes + kSnapOffTrailerCrc);
  h.header_crc = load_u32(bytes + kSnapOffHeaderCrc);
  return h;
}

bool snap_header_ok(const std::uint8_t* bytes, std::uint64_t length) noexcept {
  if (length < kSnapHeaderSize) return false;
  if (std::memcmp(bytes + kSnapOffMagic, kSnapMagic, kSnapMagicLen) != 0) return false;
  if (load_u32(bytes + kSnapOffVersion) != kSnapVersion) return false;
  return load_u32(bytes + kSnapOffHeaderCrc) == crc32_update(0, bytes, kSnapHeaderCrcSpan);
}

vl_engine* snap_load_ex(const std::uint8_t* bytes, std::uint64_t length,
                        std::uint64_t* generation_out, const void* mapping) noexcept {
  try {
    return load(bytes, length, generation_out, mapping);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
  } catch (const std::length_error&) {
    errno = ENOMEM;
  }
  return nullptr;
}

}  // namespace velta::persist
